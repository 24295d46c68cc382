// What the shown main window puts on the screen: the status bar's progress panel after real ticks
// of its own timer, read back from the window's backing store (what was painted, not a fresh
// rendering); every LCD message whole in plain 19-pixel type; where windows centred on it sit.
// Pictures go to artefacts/ under the build dir. And closing it: the confirmation, the halt sent
// before the countdown, a second request during it (the halt over a real link is the whole-program
// test's).
#include <QApplication>
#include <QDir>
#include <QFontInfo>
#include <QProcess>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <set>

#include "MainFormHarness.h"
#include "link/pty_pair.h"
#include "methods/EditMethods.h"
#include "methods/ExportImport.h"
#include "methods/LoadSequence.h"
#include "support/EventWait.h"
#include "support/StoredMethods.h"
#include "ui/About.h"
#include "ui/Configuration.h"
#include "unicode/UxMenus.h"

namespace {

class MainFormScreen : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        form->show();
        ASSERT_TRUE(waitFor([&] { return form->windowHandle() && form->windowHandle()->isExposed(); }));
    }
    void TearDown() override {
        form->Timer1->stop();
        MainFormHarness::TearDown();
    }
    static void keep(const QImage& img, const char* name) {
        const QString dir = QString::fromUtf8(ZENTROVA_BINARY_DIR) + "/artefacts";
        QDir().mkpath(dir);
        EXPECT_TRUE(img.save(dir + "/" + name));
    }
    // A sequence whose first line names a method no longer stored starts and stops on error.
    void stopOnAMissingMethod() {
        storeSequence("Amino", {{"Gone", "1"}});
        instrument->Sequence.Name = "Amino";
        instrument->Enabled = true;
        form->SetMode(7);
        instrument->InitSequenceRun();
        for (int i = 0; i < 5 && form->iMode != 2; ++i) tickAlive();
    }
    static void expectWhole(const TUxLabel& line, const QFrame& panel, const QString& text, int pixels = 19) {
        EXPECT_EQ(line.text(), text);
        EXPECT_LE(QFontMetrics(line.font()).horizontalAdvance(text), line.contentsRect().width())
            << text.toStdString();
        EXPECT_LE(line.geometry().right(), panel.contentsRect().right());
        EXPECT_FALSE(QFontInfo(line.font()).bold()) << text.toStdString();
        EXPECT_EQ(line.font().pixelSize(), pixels ? pixels : line.font().pixelSize()) << text.toStdString();
    }
};

TEST_F(MainFormScreen, ProgressPanelFollowsPercentDoneOnEveryTick) {
    link->DataReceived = true;  // alive; the fake clock stands still
    form->StartFlushBoth();
    const QRect panel =
        form->StatusBar1->PanelRect(1).translated(form->StatusBar1->mapTo(form.get(), QPoint()));
    form->Timer1->setInterval(10);
    for (int percent : {25, 60}) {
        form->Timer1->start();
        ASSERT_TRUE(waitFor([&] { return instrument->PercentDone >= percent; }, 10000));
        form->Timer1->stop();
        QCoreApplication::processEvents();
        const QImage shot = form->screen()->grabWindow(form->winId()).toImage();
        int bar = 0;
        for (int x = panel.left(); x <= panel.right(); ++x)
            bar += shot.pixelColor(x, panel.center().y()) == QColor(0, 0, 0x80) ? 1 : 0;
        EXPECT_EQ(bar, panel.width() * instrument->PercentDone / 100) << percent;
        if (percent == 25) keep(shot, "mainwindow-flush.png");
    }
    EXPECT_EQ(form->iMode, 11);
}

TEST_F(MainFormScreen, EveryLcdMessageIsShownWholeInPlainType) {
    // A sequence name of a realistic length; the texts that carry it must still fit.
    storeMethod(plainMethod("M1"));
    storeSequence("Overnight wash 2025-11-30", {{"M1", "250"}});
    instrument->Sequence.Name = "Overnight wash 2025-11-30";
    instrument->PumpStarts = 250;
    std::set<QString> texts;
    for (int before = 0; before < 20; ++before)
        for (uint8_t reason = 0; reason < 4; ++reason)
            for (int m = 1; m < 20; ++m) {
                form->iMode = uint8_t(before);
                instrument->SequenceEndReason = reason;
                form->SetMode(uint8_t(m));
                texts.insert(lcdMessage());
            }
    for (bool on : {true, false, true, false}) {
        form->SetInstrumentEnabled(on);
        texts.insert(lcdMessage());
    }
    form->StopSequence();
    texts.insert(lcdMessage());
    texts.erase("");
    TLCDScreen& lcd = *form->LCDScreen1;
    QString longest;
    for (const QString& text : texts) {
        lcd.SetMessage(text);
        expectWhole(*lcd.String1, *lcd.LCDPanel, text);
        if (text.size() > longest.size()) longest = text;
    }
    // A name far beyond any panel still leaves the whole text on the line, in smaller type.
    lcd.SetMessage(QString("SEQUENCE %1 STARTED").arg(QString(50, 'W')));
    expectWhole(*lcd.String1, *lcd.LCDPanel, lcd.String1->text(), 0);
    for (const TErrorEntry& e : errors->ErrorTable) {
        lcd.SetSecondLine(QString::fromStdString(e.Text), 2, true);
        expectWhole(*lcd.String2, *lcd.LCDPanel, QString::fromStdString(e.Text));
    }
    lcd.SetMessage(longest);
    lcd.SetSecondLine(QString::fromStdString(errors->ErrorTable[5].Text), 2, true);
    keep(form->grab().toImage(), "lcd_longest_message.png");
}

TEST_F(MainFormScreen, MainWindowStartsCentredAndWindowsCentredOnItStayOnTheScreen) {
    const QRect screen = form->screen()->availableGeometry();
    EXPECT_LE((form->frameGeometry().center() - screen.center()).manhattanLength(), 2);
    form->move(screen.topLeft());
    TUxForm editor;
    editor.resize(screen.size() - QSize(60, 60));  // larger than the main window
    editor.show();
    editor.CentreOn(form.get());
    EXPECT_TRUE(screen.contains(editor.frameGeometry()));
    // Where there is room, it sits centred.
    form->move(screen.center() - form->rect().center());
    editor.CentreOn(form.get());
    EXPECT_LE((editor.frameGeometry().center() - form->frameGeometry().center()).manhattanLength(), 2);
}

// One pump on: it can be stopped, the other started, or both started or stopped.
TEST_F(MainFormScreen, OnePumpOnOffersToStopItStartTheOtherOrBoth) {
    form->iMode = 6;
    instrument->Enabled = true;
    for (int on : {1, 2}) {
        instrument->Channel1->State = on == 1 ? 67 : 0;
        instrument->Channel2->State = on == 2 ? 67 : 0;
        form->Control1Click();
        QStringList items;
        for (TUxMenuItem* it : {form->Enable1, form->RefillPumps1, form->FlushPumps1, form->EmptyPumps1,
                                form->Pump1On, form->Pump2On, form->BothPumpsOn, form->BothPumpsOff})
            items << (it->GetEnabled() ? "+" : "-") + it->GetCaption();
        EXPECT_EQ(items.join(","), on == 1 ? "-Disable,-Refill Pumps,-Flush Pumps,-Empty Pumps,+Pump 1 Off,"
                                             "+Pump 2 On,+Both Pumps On,+Both Pumps Off"
                                           : "-Disable,-Refill Pumps,-Flush Pumps,-Empty Pumps,+Pump 1 On,"
                                             "+Pump 2 Off,+Both Pumps On,+Both Pumps Off");
    }
}

TEST_F(MainFormScreen, EveryTitleAndPanelTextShowsWholeOrAsTheTooltip) {
    TUxCustomStatusBar& bar = *form->StatusBar1;
    for (int mode : {0, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14, 15, 16, 17, 18, 19, 200}) {
        form->iMode = uint8_t(mode);
        form->UpdateMenus(uint8_t(mode));
        EXPECT_EQ(bar.PanelTip(0), "") << mode << " " << form->StatusText(0).toStdString();
    }
    const QString longName = "Sequence: Amino acids hydrolysate, overnight";
    const struct {
        int panel;
        QString text;
        bool whole;
    } panels[] = {{0, "REFILLING PUMP(S)", true},    {0, "PREP FOR STORING", true},
                  {0, "INSTRUMENT DISABLED", true},  {1, "250 of 250", true},
                  {2, "Method: NOT LOADED", true},   {2, "Method (12): Gradient hydrolysate long", false},
                  {3, "Sequence: NOT LOADED", true}, {3, longName, false}};
    for (const auto& p : panels) {
        form->StatusBar1->GetPanels()->GetItem(1)->SetStyle(psText);
        form->SetStatusText(p.panel, p.text);
        EXPECT_EQ(bar.PanelTip(p.panel), p.whole ? QString() : p.text) << p.text.toStdString();
    }
    keep(form->grab().toImage(), "mainwindow-long-names.png");

    // Every window at least as wide as its title needs.
    TInstrumentConfiguration config;
    TEditMethodForm editor;
    TLoadSequenceDialog load;
    TAboutForm about;
    TExportImport1 exportImport;
    for (QWidget* w : std::initializer_list<QWidget*>{form.get(), hplc.get(), errors.get(), &config, &editor,
                                                      &load, &about, &exportImport}) {
        w->show();
        QCoreApplication::processEvents();
        EXPECT_GE(w->width(), titleWidth(w->windowTitle())) << w->windowTitle().toStdString();
        if (w != form.get()) w->hide();
    }
}

TEST_F(MainFormScreen, ASequenceStoppedOnErrorShowsWhyUntilTheNextStart) {
    stopOnAMissingMethod();
    ASSERT_EQ(form->iMode, 2);
    const QString reason = "METHOD \"Gone\" OF LINE 1 NOT FOUND";
    for (int i = 0; i < 3; ++i) tickAlive();
    EXPECT_EQ(lcdMessage(), "SEQUENCE STOPPED ON ERROR");
    EXPECT_EQ(form->LCDScreen1->String2->text(), reason);
    keep(form->grab().toImage(), "mainwindow-stopped-on-error.png");
    form->SetMode(11);
    EXPECT_EQ(form->LCDScreen1->String2->text(), "") << "a start clears it";

    // The critical-error monitor's condition is the reason of its stop.
    storeMethod(plainMethod("M1"));
    instrument->Sequence.Name = "Amino";
    form->iMode = 7;
    instrument->SequenceEndReason = 1;
    instrument->Enabled = true;
    ZentrovaAPI.Pump1.Pressure = 495.0;
    EXPECT_TRUE(form->CheckErrors());
    EXPECT_EQ(form->iMode, 3);
    EXPECT_EQ(instrument->SequenceStopReason, "High Pressure on Pump1");
    // It stands after the condition has cleared, and a procedure stopped so says it too.
    tickAlive();
    tickAlive();
    EXPECT_EQ(form->LCDScreen1->String2->text(), "High Pressure on Pump1");
    ZentrovaAPI.Pump1.Pressure = 0.0;
    for (int i = 0; i < 4; ++i) tickAlive();
    EXPECT_EQ(form->LCDScreen1->String2->text(), "High Pressure on Pump1");
    form->SetMode(7);
    EXPECT_EQ(form->LCDScreen1->String2->text(), "");
    form->iMode = 11;
    instrument->Enabled = true;
    ZentrovaAPI.Reactor.Temperature = 141.0;
    EXPECT_TRUE(form->CheckErrors());
    ZentrovaAPI.Reactor.Temperature = 25.0;
    for (int i = 0; i < 4; ++i) tickAlive();
    EXPECT_EQ(form->LCDScreen1->String2->text(), "Reactor Temp at MAX");
}

class MainFormCloseTest : public MainFormHarness {
  protected:
    // While the countdown waits, the fake clock moves 100 ms per 5 ms of real time; each runs then.
    void runClock(const std::function<void()>& each) {
        QObject::connect(&beat, &QTimer::timeout, [this, each] {
            clock.fake.advanceMs(100);
            each();
        });
        beat.start(5);
    }
    QTimer beat;
};

TEST_F(MainFormCloseTest, YesHaltsBeforeTheCountdownAndASecondRequestIsRefused) {
    form->iMode = 6;
    form->Timer1->start();
    TCloseAction action = caFree;
    form->FormClose(action);  // "No" is the default answer
    EXPECT_EQ(action, caNone);
    EXPECT_EQ(takeBoxes(), std::vector<std::string>{
                               "Warning: You asked to close ZentrovaKVZ software.\nPlease, confirm."});
    EXPECT_TRUE(form->Timer1->isActive() && !form->IsClosing());

    instrument->Enabled = true;
    rec.take();
    boxes.answer(mrYes);
    TCloseAction second = caFree;
    std::vector<std::string> sentBeforeCountdown;
    runClock([&] {
        if (second != caFree) return;
        sentBeforeCountdown = rec.sent;
        form->FormClose(second);
    });
    action = caFree;
    form->FormClose(action);
    beat.stop();
    EXPECT_EQ(action, caFree);
    EXPECT_EQ(second, caNone);
    // No link took the halt to the enabled instrument: the operator is told.
    EXPECT_EQ(takeBoxes(),
              (std::vector<std::string>{
                  "Warning: You asked to close ZentrovaKVZ software.\nPlease, confirm.",
                  "Warning: The instrument did not confirm the halt: it may still be heating or "
                  "pumping.\n\nCheck the instrument and switch its heaters and pumps off there."}));
    EXPECT_FALSE(form->Timer1->isActive() || instrument->Enabled);
    ASSERT_GE(sentBeforeCountdown.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(sentBeforeCountdown.begin() + 1, sentBeforeCountdown.begin() + 5),
              (std::vector<std::string>{"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"}));

    // The main loop stays off after consent.
    form->iMode = 2;
    tickDead();
    EXPECT_EQ(form->iMode, 2);
}

// The confirmed close ends a live link; a silent one is left to the end of the process.
TEST_F(MainFormCloseTest, YesClosesTheLinkOnlyWhenItIsAlive) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    for (bool alive : {true, false}) {
        SCOPED_TRACE(alive ? "alive" : "silent");
        stop();
        start({});
        Registry reg;
        ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
        reg.writeString("COM", pty.slavePath());
        link->ConnectSerialClick();
        ASSERT_TRUE(link->IsConnected());
        link->DataReceived = alive;
        link->LastDataTime = 0;
        clock.fake.advanceSeconds(20);
        boxes.answer(mrYes);
        form->CloseCountdownSeconds = 1;
        runClock([] {});
        TCloseAction action = caFree;
        form->FormClose(action);
        beat.stop();
        EXPECT_EQ(action, caFree);
        EXPECT_EQ(link->IsConnected(), !alive);
        link->DisconnectClick();
    }
}

TEST_F(MainFormCloseTest, ClosingTheWindowEndsThroughTheCloseHandler) {
    boxes.answer(mrNo);
    form->show();
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->isVisible());
    boxes.answer(mrYes);
    form->CloseCountdownSeconds = 1;
    runClock([] {});
    EXPECT_TRUE(form->close());
    beat.stop();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(boxes.shown.size(), 2u);
}

// Pictures of the main window in each mode, its menus open, the method editor, the other windows
// and the boxes, for a person to look at: only when ZENTROVA_SCREENSHOTS names a folder (the
// screenshots script runs it under a virtual X display).
TEST_F(MainFormScreen, ScreenshotsOfTheWindowsAndBoxes) {
    const QString dir = qEnvironmentVariable("ZENTROVA_SCREENSHOTS");
    if (dir.isEmpty()) GTEST_SKIP() << "ZENTROVA_SCREENSHOTS is not set";
    QDir().mkpath(dir);
    const auto shot = [&](const QString& name) {
        spin(150);
        const QString file = dir + "/" + name + ".png";
        // The X screen as it is, popups and boxes included.
        const bool taken = QProcess::execute("import", {"-window", "root", file}) == 0 ||
                           form->screen()->grabWindow(0).save(file);
        EXPECT_TRUE(taken) << file.toStdString();
    };
    form->move(20, 20);
    storeMethod(plainMethod("Amino acids gradient"));
    storeSequence("Amino acids hydrolysate, overnight", {{"Amino acids gradient", "12"}});
    form->SetDefaultSequence("Amino acids hydrolysate, overnight");
    instrument->Channel1->State = 67;
    instrument->PercentDone = 40;
    for (int mode : {0, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14, 15, 16, 17, 18, 19}) {
        form->iMode = 2;
        form->SetMode(uint8_t(mode));
        form->iMode = uint8_t(mode);
        form->UpdateMenus(uint8_t(mode));
        shot(QString("mode-%1").arg(mode, 2, 10, QChar('0')));
    }
    form->UpdateMenus(2);  // after the emergency stop's
    form->iMode = 6;
    form->UpdateMenus(6);
    instrument->Enabled = true;
    for (TUxMenuItem* menu :
         {form->File1, form->Control1, form->Method1, form->Sequence1, form->Instrument1, form->Help1}) {
        const QRect at = form->MainMenu1->actionGeometry(menu->action());
        menu->GetMenu()->popup(form->MainMenu1->mapToGlobal(at.bottomLeft()));
        shot("menu-" + menu->objectName());
        menu->GetMenu()->hide();
    }

    TEditMethodForm editor;
    editor.FormOnShow();
    editor.FormOnActivate();
    editor.show();
    editor.move(40, 40);
    shot("method-editor");
    TInstrumentConfiguration config;
    TLoadSequenceDialog load;
    TAboutForm about;
    for (TUxForm* w : std::initializer_list<TUxForm*>{&config, &load, &about, hplc.get()}) {
        w->show();
        w->move(60, 60);
        shot("window-" + w->objectName());
        w->hide();
    }
    editor.show();

    const MessageHandler script = currentMessageHandler();
    setMessageHandler({});  // real boxes
    const struct {
        const char* name;
        QString title, text;
    } boxes[] = {{"box-delete-method", "Please, confirm",
                  "Delete Method \"Amino acids gradient\"?\n\nThe loaded sequence \"Amino acids hydrolysate, "
                  "overnight\" uses this method (line 1)."},
                 {"box-delete-short", "Please, confirm", "Delete Method \"A\"?"},
                 {"box-help-missing", "Help",
                  "The help file /usr/lib/zentrova/share/documentation/ZENTROVAKVZ.html was not found."},
                 {"box-import", "Info",
                  "Imported 1 method and 2 sequences from "
                  "/home/operator/Documents/exports/2026-12-07/instrument-3/import-1252.sav."},
                 {"box-close", "Warning", "You asked to close ZentrovaKVZ software.\nPlease, confirm."}};
    for (const auto& b : boxes) {
        QTimer::singleShot(0, [&] {
            shot(b.name);
            if (QWidget* box = QApplication::activeModalWidget()) box->close();
        });
        messageBox(b.text, b.title, MsgButtons::OKCancel, mrCancel);
    }
    setMessageHandler(script);
    editor.hide();

    form->iMode = 2;
    stopOnAMissingMethod();
    form->UpdateMenus(2);
    shot("stopped-on-error");
}

}  // namespace
