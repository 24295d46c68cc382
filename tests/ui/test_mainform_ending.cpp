// The ends of the program and the save of the settings, as the main window runs them: once a
// close is confirmed (and in every ending) no command runs and nothing but the halt reaches the
// instrument; the close warns whenever a heater or pump may be on; the halt waits for a status
// reply that is owed when it begins, so that it is never taken as answered by that reply; a
// save of the settings halts on the old link, waits for the halt, then drops and reopens the
// link, reloads the HPLC type and closes the data-system conversation.
#include <QTimer>
#include <functional>

#include "MainFormHarness.h"
#include "link/pty_pair.h"
#include "platform/DdeClient.h"
#include "platform/IniFile.h"
#include "support/EventWait.h"

namespace {

class MainFormEnding : public MainFormHarness {
  protected:
    // While a wait of the ending runs, the fake clock moves 100 ms per 5 ms of real time; each
    // runs then.
    void runClock(const std::function<void()>& each) {
        QObject::connect(&beat, &QTimer::timeout, [this, each] {
            clock.fake.advanceMs(100);
            each();
        });
        beat.start(5);
    }
    void stopClock() {
        beat.stop();
        QObject::disconnect(&beat, nullptr, nullptr, nullptr);
    }
    // The real link window on the slave side of pty, which plays the instrument; the instrument
    // API sends through it.
    void connectLink(PtyPair& pty) {
        Registry reg;
        ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
        reg.writeInteger("ConnectMethod", 2);
        reg.writeString("COM", pty.slavePath());
        instrument->ConnectMethod = 2;
        link->ConnectSerialClick();
        ASSERT_TRUE(link->IsConnected());
        TZentrovaAPI::SetLink(link.get());
    }
    // The commands the instrument read so far (CR ends each), taken from its buffer.
    static std::vector<std::string> commandsOf(std::string& buffer) {
        std::vector<std::string> out;
        for (size_t cr; (cr = buffer.find('\r')) != std::string::npos; buffer.erase(0, cr + 1))
            out.push_back(buffer.substr(0, cr));
        return out;
    }
    QTimer beat;
};

const std::vector<std::string> kHalt{"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF", "OFF 0", "OFF 2"};

}  // namespace

// File > Exit answered Yes: during the countdown every command of the window (menu items, the
// front-panel STOP key) is refused, and what another window still sends never reaches the
// instrument; the halt is all it hears.
TEST_F(MainFormEnding, TheCountdownRunsNoCommandAndOnlyTheHaltReachesTheInstrument) {
    instrument->Enabled = true;
    form->iMode = 2;
    form->CloseCountdownSeconds = 1;
    const struct {
        const char* what;
        std::function<void()> act;
    } rows[] = {
        {"Enable1", [&] { form->Enable1->OnClick(); }},
        {"BothPumpsOn", [&] { form->BothPumpsOn->OnClick(); }},
        {"Pump1On", [&] { form->Pump1On->OnClick(); }},
        {"RefillBothPumps", [&] { form->RefillBothPumps->OnClick(); }},
        {"Load1", [&] { form->Load1->OnClick(); }},
        {"StartSequence1", [&] { form->StartSequence1->OnClick(); }},
        {"StopReset1", [&] { form->StopReset1->OnClick(); }},
        {"Configure1", [&] { form->Configure1->OnClick(); }},
        {"Exit1", [&] { form->Exit1->OnClick(); }},
        {"StopBtnImg", [&] { form->StopBtnImg->OnMouseDown(Qt::LeftButton); }},
    };
    std::vector<std::string> halt;
    bool acted = false;
    runClock([&] {
        if (acted) return;
        acted = true;
        halt = rec.sent;
        for (const auto& r : rows) r.act();
        // Another window (an editor's save, the load dialog) still sets the heaters.
        InstrumentModule->SetColumnSetPoint(40.0);
        ZentrovaAPI.Column.SetHeat(true);
        InstrumentModule->ClearCommandQueue();
    });
    boxes.answer(mrYes);
    TCloseAction action = caFree;
    form->FormClose(action);
    stopClock();
    ASSERT_TRUE(acted);
    EXPECT_EQ(action, caFree);
    ASSERT_GE(halt.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(halt.begin() + 1, halt.begin() + 7), kHalt);
    EXPECT_EQ(rec.sent, halt) << "nothing after the halt";
    const std::string log = logText();
    for (const auto& r : rows)
        EXPECT_EQ(count(log, std::string("#main: The program is ending; command refused: ") + r.what), 1)
            << r.what;
    EXPECT_TRUE(has(log, "#main: The program is ending; command not sent: CSETPOINT 40.0"));
    EXPECT_TRUE(has(log, "#main: The program is ending; command not sent: CHEAT ON"));
    // Only the close's own boxes: no command asked or refused anything.
    EXPECT_EQ(takeBoxes().size(), 2u);
    EXPECT_EQ(form->iMode, 2);
}

// Ending without a question (a signal, the end of the session) closes the gate the same way.
TEST_F(MainFormEnding, AnEndWithoutQuestionLetsOnlyTheHaltThrough) {
    instrument->Enabled = true;
    form->EndDrainMs = 200;
    form->EndWithoutQuestion("SIGTERM received");
    const std::vector<std::string> halt = rec.take();
    ASSERT_GE(halt.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(halt.begin() + 1, halt.begin() + 7), kHalt);
    form->Enable1->OnClick();
    ZentrovaAPI.Reactor.SetHeat(true);
    EXPECT_TRUE(rec.sent.empty()) << rec.sent.front();
    EXPECT_TRUE(form->RefusesCommand("test"));
}

// With no link to take the halt, the close warns whenever a heater or pump may be on: the
// instrument enabled, an operation running on a disabled instrument, a pump last reported
// running, or the link lost while one of these held.
TEST_F(MainFormEnding, WithoutALinkTheCloseWarnsWheneverAHeaterOrPumpMayBeOn) {
    const std::string warning =
        "Warning: The instrument did not confirm the halt: it may still be heating or pumping.\n\nCheck "
        "the instrument and switch its heaters and pumps off there.";
    const struct {
        const char* what;
        bool enabled;
        uint8_t mode;
        uint8_t pumpState;
        bool loseLink;
        bool warns;
    } rows[] = {
        {"nothing runs", false, 2, 0, false, false},
        {"enabled", true, 2, 0, false, true},
        {"refill on a disabled instrument", false, 12, 0, false, true},
        {"pressure test on a disabled instrument", false, 14, 0, false, true},
        {"a pump reported running", false, 2, 1, false, true},
        {"link lost during a flush", false, 11, 0, true, true},
        {"link lost while idle", false, 2, 0, true, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        stop();
        start({});
        instrument->Enabled = r.enabled;
        form->iMode = r.mode;
        if (r.loseLink) {
            tickDead();
            ASSERT_EQ(form->iMode, 0);
        }
        ZentrovaAPI.Pump2.State = r.pumpState;
        takeBoxes();
        boxes.answer(mrYes);
        form->CloseCountdownSeconds = 1;
        runClock([] {});
        TCloseAction action = caFree;
        form->FormClose(action);
        stopClock();
        const std::vector<std::string> shown = takeBoxes();
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back() == warning, r.warns);
    }
}

// A status reply that is on its way when the halt begins ends with the prompt that also
// answers a command. The halt waits for that prompt; its commands are then each answered by
// their own reply, so an instrument that leaves the last command unanswered has not confirmed
// the halt.
TEST_F(MainFormEnding, TheHaltWaitsForAnOwedStatusReplyAndCountsOnlyItsOwnReplies) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    connectLink(pty);
    instrument->Enabled = true;
    ZentrovaAPI.Pump1.State = ZentrovaAPI.Pump2.State = 1;
    link->PendingStatus = 1;  // a status query is on its way
    link->LastSendTime = clock.fake.seconds();
    std::string read;
    std::vector<std::string> commands;
    int beats = 0;
    bool promptSent = false;
    size_t beforePrompt = 0;
    runClock([&] {
        ++beats;
        read += pty.readAvailable();
        for (const std::string& c : commandsOf(read)) {
            commands.push_back(c);
            // Every command but the halt's last is answered.
            if (commands.size() < kHalt.size()) pty.write(">");
        }
        // The status reply comes in two pieces: its lines, then a while later its prompt.
        if (beats == 4) pty.write("?1,0\r\n?2,0\r\n?3,0\r\n");
        if (beats == 30 && !promptSent) {
            beforePrompt = commands.size();
            promptSent = true;
            pty.write(">");
        }
    });
    form->EndWithoutQuestion("SIGTERM received");
    stopClock();
    EXPECT_TRUE(promptSent);
    EXPECT_EQ(beforePrompt, 0u) << "a halt command left before the status reply's prompt";
    EXPECT_EQ(commands, kHalt);
    const std::string log = logText();
    EXPECT_TRUE(has(log, "#main: The instrument did not confirm the halt; program ends")) << log;
    EXPECT_FALSE(has(log, "#main: Instrument halted; program ends"));
}

// Configure > Save while an operation runs on a disabled instrument: the halt goes out on the
// link the instrument runs on and is answered before that link is dropped; the link then opens
// with the new settings, the HPLC type is reloaded, the data-system conversation closed, the
// caption follows the label, and the panel says that the settings change stopped the operation.
TEST_F(MainFormEnding, ASaveOfTheSettingsHaltsOnTheOldLinkThenAppliesTheNewSettings) {
    PtyPair before, after;
    ASSERT_TRUE(before.ok() && after.ok());
    connectLink(before);
    env->set("ZENTROVA_DDE_DIR", env->dir);
    env->set("ZENTROVA_WINDIR", env->dir);
    DdeServer server;
    ASSERT_TRUE(server.listen("HPLCSIM1")) << server.lastError();
    server.setHandler(
        [](const std::string&, const std::string&) { return std::optional<std::string>("RUN"); });
    TChemStation1 chem;
    ChemStation1 = &chem;
    chem.Timer1->stop();
    ASSERT_TRUE(chem.DdeClientConv->setLink("HPLCSIM1", TChemStation1::Topic));
    ASSERT_TRUE(chem.DdeClientConv->openLink());
    ASSERT_TRUE(chem.DdeClientConv->isOpen());

    // What the dialog saved.
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
        reg.writeString("COM", after.slavePath());
        reg.writeString("HPLCType", "Waters");
        reg.writeString("InstrumentLabel", "Bench 2");
    }
    form->iMode = 12;  // a refill on a disabled instrument
    ZentrovaAPI.Pump1.State = 2;
    std::string read;
    std::vector<std::string> halt;
    runClock([&] {
        read += before.readAvailable();
        for (const std::string& c : commandsOf(read)) {
            halt.push_back(c);
            before.write(">");
        }
    });
    EXPECT_TRUE(form->ApplySettings());
    stopClock();
    ChemStation1 = nullptr;

    EXPECT_EQ(halt, kHalt);
    // The new link: what the instrument API sends now reaches the other port.
    ASSERT_TRUE(link->IsConnected());
    link->Timer1->stop();
    InstrumentModule->DisableInstrument();
    std::string got;
    EXPECT_TRUE(waitFor([&] {
        return (got += after.readAvailable()).find("CHEAT OFF\r") != std::string::npos;
    })) << got;
    EXPECT_EQ(before.readAvailable(), "");
    EXPECT_EQ(hplc->HPLCType, htWaters);
    EXPECT_FALSE(chem.DdeClientConv->isOpen());
    EXPECT_EQ(form->GetCaption(), "Bench 2");
    EXPECT_EQ(form->iMode, 0);
    EXPECT_EQ(lcdMessage(), "SETTINGS CHANGED, OPERATION STOPPED");
    EXPECT_TRUE(has(logText(), "#main: Settings saved; instrument halted; the link opens anew"));
}

// A sequence stopped by a save of the settings is tidied up as at its end: the HPLC state says
// stopped and the run counter goes from the status bar.
TEST_F(MainFormEnding, ASaveOfTheSettingsEndsARunningSequenceAsItsEndDoes) {
    form->iMode = 7;
    form->SetStatusText(1, "2 of 5");
    hplc->HPLCState = hsRunning;
    EXPECT_TRUE(form->ApplySettings());
    EXPECT_EQ(hplc->GetState(), hsStopped);
    EXPECT_EQ(form->StatusText(1), "");
    EXPECT_EQ(form->iMode, 0);
    EXPECT_EQ(lcdMessage(), "SETTINGS CHANGED, OPERATION STOPPED");
}
