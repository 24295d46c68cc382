// The main window with the forms it drives, in a fresh settings store and log folder, on a
// fake clock. Commands to the instrument go to a recording link unless a test connects the
// real link window. The main loop's timer is stopped: tests call the tick themselves.
#pragma once
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "link/ChemStation.h"
#include "link/FZentrova.h"
#include "link/HPLC.h"
#include "link/Instrument.h"
#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "link/ZentrovaAPI.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "support/TempEnv.h"
#include "ui/ErrorMessages.h"
#include "ui/LCDFrame.h"
#include "ui/MainForm.h"
#include "unicode/UxControls.h"

// Records what the instrument API sends.
class RecordingLink : public ZentrovaLink {
  public:
    void QueueCommand(const std::string& line) override { sent.push_back(line); }
    void ClearQueue() override { sent.push_back("<clear>"); }
    void SetStatusQuery(const std::string&) override {}
    std::string_view LastLine() const override { return {}; }
    void SetOnStatusLine(std::function<void()>) override {}
    std::vector<std::string> take() {
        std::vector<std::string> out;
        out.swap(sent);
        return out;
    }
    std::vector<std::string> sent;
};

class MainFormHarness : public ::testing::Test {
  protected:
    void SetUp() override { start({}); }
    void TearDown() override { stop(); }

    void start(const std::vector<std::string>& args) {
        env = std::make_unique<TempEnv>();
        Registry reg;
        reg.openKey("\\Software\\TressivanLabs\\Zentrova\\Instrument", true);
        reg.writeInteger("ConnectMethod", 3);
        ZentrovaAPI = TZentrovaAPI();
        MainLoopSkipTicks = 0;
        TErrorMessagesDialog::ValveLostCount1 = 0;
        TErrorMessagesDialog::ValveLostCount2 = 0;
        TErrorMessagesDialog::HPLCErrorCount = 0;
        form = std::make_unique<TMainForm>(args);
        MainForm = form.get();
        form->Timer1->stop();
        link = std::make_unique<TFZentrova>();
        FZentrova = link.get();
        link->Timer1->stop();
        instrument = std::make_unique<TInstrumentModule>();
        InstrumentModule = instrument.get();
        log = std::make_unique<TLogFile>();
        LogFile = log.get();
        hplc = std::make_unique<THPLCModule>();
        HPLCModule = hplc.get();
        hplc->Timer1->stop();
        hplc->HPLCState = hsNoHPLC;
        errors = std::make_unique<TErrorMessagesDialog>();
        ErrorMessagesDialog = errors.get();
        TZentrovaAPI::SetLink(&rec);
        // Valves in position and sensors in range: no condition raised unless a test asks.
        ZentrovaAPI.Valve1.Position = ZentrovaAPI.Valve2.Position = 1;
        ZentrovaAPI.Valve1.InPosition = ZentrovaAPI.Valve2.InPosition = true;
        ZentrovaAPI.Column.Temperature = ZentrovaAPI.Reactor.Temperature = 25.0;
    }
    void stop() {
        TZentrovaAPI::SetLink(nullptr);
        errors.reset();
        hplc.reset();
        LogFile = nullptr;
        log.reset();
        instrument.reset();
        link.reset();
        form.reset();
        MainForm = nullptr;
        FZentrova = nullptr;
        HPLCModule = nullptr;
        ErrorMessagesDialog = nullptr;
        env.reset();
    }

    // One tick with the link alive (a byte came) or dead (nothing for more than 10 s).
    void tickAlive() {
        link->DataReceived = true;
        form->Timer1Timer();
        clock.fake.advanceSeconds(1);
    }
    void tickDead() {
        link->DataReceived = false;
        FZentrova->LastDataTime = 0;
        form->Timer1Timer();
        clock.fake.advanceSeconds(1);
    }

    std::string logText() const { return fileBytes(log->LogPath); }
    // The log since the last call.
    std::string newLog() {
        const std::string all = logText();
        std::string out = all.substr(std::min(logSeen, all.size()));
        logSeen = all.size();
        return out;
    }
    static bool has(const std::string& text, const std::string& what) {
        return text.find(what) != std::string::npos;
    }
    // True when the lines occur in text in this order.
    static bool inOrder(const std::string& text, std::initializer_list<std::string> lines) {
        size_t at = 0;
        for (const std::string& l : lines) {
            if ((at = text.find(l, at)) == std::string::npos) return false;
            at += l.size();
        }
        return true;
    }
    // Queues the operator's answers to the next boxes.
    void answers(std::initializer_list<MsgResult> results) {
        for (MsgResult r : results) boxes.answer(r);
    }
    // The boxes shown since the last call, as "title: text".
    std::vector<std::string> takeBoxes() {
        std::vector<std::string> out;
        for (const MessageRequest& r : boxes.shown) out.push_back((r.title + ": " + r.text).toStdString());
        boxes.shown.clear();
        return out;
    }
    static int count(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
        return n;
    }
    QString lcdMessage() const { return form->LCDScreen1->String1->GetCaption(); }
    QString lcdSecondLine() const { return form->LCDScreen1->String2->GetCaption(); }

    FakeClockGuard clock;
    DialogScript boxes;
    std::unique_ptr<TempEnv> env;
    RecordingLink rec;
    std::unique_ptr<TMainForm> form;
    std::unique_ptr<TFZentrova> link;
    std::unique_ptr<TInstrumentModule> instrument;
    std::unique_ptr<TLogFile> log;
    std::unique_ptr<THPLCModule> hplc;
    std::unique_ptr<TErrorMessagesDialog> errors;
    size_t logSeen = 0;
};
