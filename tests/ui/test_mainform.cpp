// The main window's loop: start-up ticks, the lost and returning link, each mode change's LCD
// text, time-out and log line, the sequence's end, the valve watchdog; and the critical-error
// monitor: each limit at and just beyond it, one window per occurrence, lost valves, HPLC time-out.
#include <QImage>

#include "platform/Help.h"
#include "ui/MainFormHarness.h"

namespace {

using Cmds = std::vector<std::string>;

class MainFormTest : public MainFormHarness {
  protected:
    bool check(bool single = false) { return errors->CheckInstrumentErrors(single); }
    QString windowText() const { return errors->MessageLbl->GetCaption(); }
};

TEST_F(MainFormTest, LinkReturningHaltsAndDisablesTheInstrumentOnce) {
    // Every tick without the link logs the loss and the mode request, before the first
    // connection too; how long the outage lasted is logged when it ends.
    for (int i = 0; i < 3; ++i) tickDead();
    const std::string outage = newLog();
    EXPECT_EQ(count(outage, "#main: Connecting to the instrument"), 0) << outage;
    EXPECT_EQ(count(outage, "#main: Connection lost"), 3) << outage;
    EXPECT_EQ(count(outage, "#main: setMode(): mode=0"), 3) << outage;
    ZentrovaAPI.Pump1.State = 1;
    ZentrovaAPI.Pump1.ForwardRate = 2.0;
    ZentrovaAPI.Column.ColumnFanOn = true;
    instrument->Enabled = true;
    rec.take();
    newLog();
    tickAlive();
    EXPECT_EQ(form->iMode, 2);
    EXPECT_FALSE(instrument->Enabled);
    EXPECT_EQ(rec.take(), (Cmds{"<clear>", "OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF", "OFF 0", "OFF 2",
                                "CFAN OFF", "DOOR CLOSE", "RFAN ON"}));
    EXPECT_TRUE(
        inOrder(newLog(), {"#main: Connected after 3 ticks\n", "#main: setMode(): mode=2; current mode=0"}));
    tickAlive();
    EXPECT_TRUE(rec.take().empty());
    tickDead();
    tickAlive();
    EXPECT_TRUE(
        inOrder(newLog(), {"#main: Connection lost\n", "#main: Connection back after 1 tick without it\n"}));
}

// What a run or procedure queued while the link died is dropped with it: after the loss the
// queue holds nothing of it, and the halt is the first thing queued once the link is back.
TEST_F(MainFormTest, ALostLinkDropsTheStoppedRunsCommandsAndTheHaltComesFirst) {
    TZentrovaAPI::SetLink(link.get());  // the link window's own queue; nothing is connected
    const auto queued = [&] {
        Cmds out;
        while (const char* c = link->CommandQueue.Next()) out.push_back(c);
        return out;
    };
    for (uint8_t mode : {7, 13}) {
        SCOPED_TRACE(int(mode));
        form->SetMode(mode);
        ZentrovaAPI.Reactor.SetSetPoint(35.0);  // the run's next commands, not sent yet
        ZentrovaAPI.Valve1.MoveTo(2);
        tickDead();
        EXPECT_EQ(link->CommandQueue.Count(), 0);
        tickAlive();
        const Cmds sent = queued();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.front(), "OFF 0");
        EXPECT_EQ(std::count(sent.begin(), sent.end(), "VALVE 1 2"), 0);
    }
    TZentrovaAPI::SetLink(&rec);
}

// A lost link ends whatever ran: the LCD and the status bar stop telling of it (the run's start
// text, its counter and its line), and say the operation stopped; an idle one's message goes.
TEST_F(MainFormTest, ALostLinkLeavesNothingOfTheEndedRunOnThePanelAndStatusBar) {
    const struct {
        uint8_t mode;
        const char* methodName;
        QString lcd, panel1, panel2;
    } rows[] = {
        {7, "M1", "Lost connection with Instrument. Operation stopped.", "", "Method: M1"},
        {8, "", "Lost connection with Instrument. Operation stopped.", "", "Method: NOT LOADED"},
        {12, "M1", "Lost connection with Instrument. Operation stopped.", "1 of 3", "Method (1): M1"},
        {2, "M1", "", "1 of 3", "Method (1): M1"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.mode));
        tickAlive();
        instrument->Sequence.Name = "S";
        instrument->Method.Name = r.methodName;
        form->SetMode(r.mode);
        if (r.mode == 2) form->SetInstrumentEnabled(true);
        form->SetStatusText(1, "1 of 3");
        form->SetStatusText(2, "Method (1): M1");
        ASSERT_FALSE(lcdMessage().isEmpty());
        tickDead();
        EXPECT_EQ(lcdMessage().toStdString(), r.lcd.toStdString());
        EXPECT_EQ(form->StatusText(1).toStdString(), r.panel1.toStdString());
        EXPECT_EQ(form->StatusText(2).toStdString(), r.panel2.toStdString());
        tickDead();
        EXPECT_EQ(lcdMessage().toStdString(), r.lcd.toStdString())
            << "said once, kept while the outage lasts";
    }
}

// The caption: the instance's stored label wins; else "Instrument " and the instance for any first
// argument (the word and its blank alone for one that names no instance); else the program's name.
// A saved configuration renews it.
TEST_F(MainFormTest, CaptionIsTheLabelOrTheInstanceOrTheProgramsName) {
    const struct {
        std::vector<std::string> args;
        const char* label;
        const char* caption;
    } rows[] = {
        {{}, "", "ZentrovaKVZ"},     {{"3"}, "", "Instrument 3"},        {{"7"}, "", "Instrument "},
        {{"3 "}, "", "Instrument "}, {{"3", "x"}, "Bench 3", "Bench 3"}, {{}, "Bench", "Bench"},
    };
    for (const auto& r : rows) {
        stop();
        start(r.args);
        if (*r.label) {
            Registry reg;
            ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
            reg.writeString("InstrumentLabel", r.label);
            form = std::make_unique<TMainForm>(r.args);
            MainForm = form.get();
            form->Timer1->stop();
        }
        EXPECT_EQ(form->GetCaption().toStdString(), r.caption) << (r.args.empty() ? "-" : r.args[0]);
    }
    Registry reg;
    ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
    reg.writeString("InstrumentLabel", "Renamed");
    form->ApplyConfiguration();
    EXPECT_EQ(form->GetCaption(), "Renamed");
}

TEST_F(MainFormTest, LiveValuesReachThePanel) {
    ZentrovaAPI.Pump1.Volume = 12.5;
    ZentrovaAPI.Pump2.Pressure = 200.0;
    instrument->PressureUnit = 1;
    tickAlive();
    TLCDScreen& lcd = *form->LCDScreen1;
    EXPECT_TRUE(lcd.Pump1Volume == 12.5 && lcd.Pump2Pressure == 200.0 && lcd.PressureInBar);
    // One pump: its volume shows in the second syringe, the first keeps what it had.
    ZentrovaAPI.Pump2Absent = true;
    ZentrovaAPI.Pump1.Volume = 7.0;
    instrument->PressureUnit = 2;
    tickAlive();
    EXPECT_EQ(std::vector<double>({lcd.Pump1Volume, lcd.Pump2Volume}), std::vector<double>({12.5, 7.0}));
    EXPECT_TRUE(lcd.SinglePump && !lcd.PressureInBar);
}

TEST_F(MainFormTest, FrontPanelCarriesTheLogo) {
    form->show();
    QCoreApplication::processEvents();
    const QImage panel = form->Panel1->grab().toImage();
    const QRect logo = form->LogoImg->geometry();
    int navy = 0, white = 0;
    for (int y = logo.top(); y <= logo.bottom(); ++y)
        for (int x = logo.left(); x <= logo.right(); ++x) {
            const QColor c = panel.pixelColor(QPoint(x, y) * panel.devicePixelRatio());
            navy += c == QColor(0, 0, 0x80);
            white += c == QColor(Qt::white);
        }
    // The disc with its letters, and the white mark on it.
    EXPECT_GT(navy, logo.width() * logo.height() / 4) << navy;
    EXPECT_GT(white, 20) << white;
}

TEST_F(MainFormTest, RunSignalFollowsTheHplcState) {
    instrument->EquilTimer.Start(5);
    const struct {
        THPLCState state;
        int wait;
        bool signal;
    } rows[] = {{hsRunning, 0, true}, {hsNoHPLC, 0, false}, {hsNoHPLC, 6, true}, {hsError, 0, false}};
    for (const auto& r : rows) {
        hplc->HPLCState = r.state;
        clock.fake.advanceSeconds(r.wait);
        form->UpdateRunSignal();
        EXPECT_EQ(instrument->RunSignal, r.signal) << int(r.state) << " after " << r.wait;
    }
}

TEST_F(MainFormTest, EachTickRunsTheModesMachine) {
    form->iMode = 6;  // pumps on: ends through stop to idle
    tickAlive();
    EXPECT_EQ(form->iMode, 3);
    EXPECT_EQ(rec.take(), (Cmds{"OFF 0", "OFF 2"}));
    tickAlive();
    EXPECT_EQ(form->iMode, 2);

    // A sequence waiting for its pumps' start: running starts them, suspended waits, stopping ends.
    instrument->Sequence.RunList.Add("1");
    hplc->HPLCState = hsRunning;
    const struct {
        uint8_t mode;
        int32_t stateAfter;
        uint8_t modeAfter;
    } rows[] = {{7, 31, 7}, {8, 17, 8}, {9, -1, 2}};
    for (const auto& r : rows) {
        form->iMode = r.mode;
        instrument->RunState = 17;
        tickAlive();
        EXPECT_EQ(form->iMode, r.modeAfter) << int(r.mode);
        EXPECT_EQ(instrument->RunState, r.stateAfter < 0 ? instrument->RunState : r.stateAfter)
            << int(r.mode);
    }
    EXPECT_EQ(lcdMessage(), "SEQUENCE STOPPED");
    EXPECT_EQ(hplc->GetState(), hsStopped);
}

TEST_F(MainFormTest, EveryTransitionShowsItsTextWithItsTimeOut) {
    instrument->Sequence.Name = "Assay";
    instrument->Sequence.RunList.Add("2");
    instrument->Sequence.RunList.Add("3");
    instrument->PumpStarts = 4;
    instrument->RunCounter = 1;
    const struct {
        int from, to;
        const char* text;  // nullptr: no LCD text
        int timeout;
        uint8_t endReason = 0;
    } rows[] = {{2, 1, "HPLC ERROR, INSTRUMENT DISABLED", -1},
                {5, 3, "INSTRUMENT RESET", -1},
                {9, 2, "SEQUENCE STOPPED", -1},
                {13, 3, "CLEANUP FLUSH DONE", -1},
                {15, 2, "SYSTEM PRESSURE TEST DONE", -1},
                {17, 2, "INSTRUMENT FLUSH DONE", -1},
                {8, 2, nullptr, 0},
                {18, 2, nullptr, 0},
                {2, 4, "SYSTEM HALTED, INSTRUMENT STOPPED", -1},
                {2, 16, nullptr, 0},
                {8, 7, "SEQUENCE Assay RESUMED", 60},
                {7, 9, "FINISHING CURRENT RUN", -1},
                {2, 12, "REFILL STARTED", 20},
                {2, 18, "PREPARING INSTRUMENT FOR SEAL CHANGE", 60},
                {2, 19, "Instrument Disabled. Heaters and Pumps are Off.", -1},
                {7, 2, "END OF SEQUENCE REACHED (5 OF 5 RUNS)", -1, 1},
                {7, 2, "SEQUENCE STOPPED (RUN 4) - NO RELAY SIGNAL", -1, 2},
                {7, 3, "SEQUENCE STOPPED ON ERROR", -1, 0},
                {4, 2, "INSTRUMENT RESET", -1},
                {11, 2, "FLUSH DONE", -1},
                {12, 3, "REFILL DONE", -1},
                {14, 2, "PRESSURE TEST DONE", -1},
                {16, 2, "EMPTY PUMP(S) DONE", -1},
                {2, 6, nullptr, 0},
                {2, 7, "SEQUENCE Assay STARTED", 60},
                {2, 8, "FINISHING CURRENT RUN", -1},
                {2, 11, "FLUSH PUMP(S) STARTED", 60},
                {2, 13, "CLEANUP FLUSH STARTED", 60},
                {2, 14, "PRESSURE TEST STARTED", 60},
                {2, 15, "SYSTEM PRESSURE TEST STARTED", 60},
                {2, 17, "INSTRUMENT FLUSH STARTED", 60}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.from) + " -> " + std::to_string(r.to));
        form->LCDScreen1->SetMessage("-");
        form->iMode = uint8_t(r.from);
        instrument->SequenceEndReason = r.endReason;
        form->SetMode(uint8_t(r.to));
        EXPECT_EQ(form->iMode, r.to);
        EXPECT_EQ(lcdMessage(), r.text ? r.text : "-");
        EXPECT_TRUE(!r.text || form->LCDScreen1->Message1Ticks == r.timeout);
    }
    EXPECT_TRUE(boxes.shown.empty());

    // 5 and 10 are no modes: the request is logged and changes nothing.
    for (int m : {5, 10}) {
        form->LCDScreen1->SetMessage("-");
        form->iMode = 11;
        newLog();
        form->SetMode(uint8_t(m));
        EXPECT_EQ(form->iMode, 11) << m;
        EXPECT_EQ(lcdMessage(), "-") << m;
        EXPECT_TRUE(has(newLog(), "#main: setMode(): mode=" + std::to_string(m) + "; current mode=11")) << m;
    }
}

TEST_F(MainFormTest, TheEndOfASequenceCountsItsRunsInTheRightNumber) {
    const struct {
        const char* runs;
        const char* text;
    } rows[] = {{"1", "END OF SEQUENCE REACHED (1 OF 1 RUN)"},
                {"2", "END OF SEQUENCE REACHED (2 OF 2 RUNS)"}};
    for (const auto& r : rows) {
        instrument->Sequence.RunList.Clear();
        instrument->Sequence.RunList.Add(r.runs);
        instrument->SequenceEndReason = 1;
        form->iMode = 7;
        form->SetMode(2);
        EXPECT_EQ(lcdMessage(), r.text);
    }
}

TEST_F(MainFormTest, LostLinkBoxOnlyWhenLeavingSequenceStoppingOrInstrumentFlush) {
    for (int from : {7, 9, 17, 8, 2, 6, 11, 4}) {
        SCOPED_TRACE(from);
        form->iMode = uint8_t(from);
        int modeUnderBox = -1;
        boxes.onShow = [&](const MessageRequest&) {
            modeUnderBox = form->iMode;
            tickDead();  // the main loop goes on under the box
        };
        newLog();
        tickDead();
        boxes.onShow = nullptr;
        EXPECT_EQ(form->iMode, 0);
        const bool box = from == 7 || from == 9 || from == 17;
        EXPECT_EQ(modeUnderBox, box ? 0 : -1);
        EXPECT_EQ(
            takeBoxes(),
            box ? Cmds{"Unrecoverable Error!: Lost connection with Instrument. Operation stopped."} : Cmds{})
            << "shown once, not again by ticks under it";
        EXPECT_EQ(
            inOrder(newLog(), {"#main: SetMode(): pop-up Connection Lost message\n",
                               "#main: SetMode(): pop-up Connection Lost message closed, Instrument Halted"}),
            box);
    }
}

TEST_F(MainFormTest, ValveCommandIsRepeatedAfterSevenThenEveryTenSeconds) {
    form->iMode = 7;
    // Seconds until a command starting with prefix is sent again (0: none in 30 s); the valve does not
    // report.
    const auto resentAfter = [&](TValve& v, const std::string& prefix) {
        v.InPosition = false;
        rec.take();
        for (int s = 1; s <= 30; ++s) {
            clock.fake.advanceSeconds(1);
            form->checkValveState();
            for (const std::string& c : rec.take())
                if (c.starts_with(prefix)) return s;
        }
        return 0;
    };
    TValve &v1 = ZentrovaAPI.Valve1, &v2 = ZentrovaAPI.Valve2;
    v1.MoveTo(3);
    v1.InPosition = true;
    form->checkValveState();  // in position: the watchdog waits 7 s from here
    EXPECT_EQ(resentAfter(v1, "VALVE 1 3"), 8);
    EXPECT_TRUE(has(logText(), "#checkValveState: Repeated Valve1 Command to Position: 3"));
    EXPECT_EQ(resentAfter(v1, "VALVE 1 3"), 11);
    // Valve 2 only on a two-pump instrument; no valve without a commanded position.
    for (bool single : {false, true}) {
        instrument->SinglePump = single;
        v2.MoveTo(2);
        EXPECT_EQ(resentAfter(v2, "VALVE 2 2") > 0, !single);
    }
    instrument->SinglePump = false;
    v1.CommandedPosition = v2.CommandedPosition = 0;
    EXPECT_EQ(resentAfter(v1, "VALVE") + resentAfter(v2, "VALVE"), 0);
    form->iMode = 6;  // other modes leave the valve alone
    v1.MoveTo(3);
    EXPECT_EQ(resentAfter(v1, "VALVE"), 0);
}

TEST_F(MainFormTest, MonitorStoppingASequenceEndsItOnErrorWithItsCleanUp) {
    instrument->Sequence.RunList.Add("3");
    for (uint8_t mode : {9, 8, 7}) {  // stopping, suspended, running
        instrument->SequenceEndReason = 1;
        instrument->Enabled = true;
        hplc->HPLCState = hsRunning;
        form->iMode = mode;
        ZentrovaAPI.Pump1.Pressure = 495.0;
        newLog();
        EXPECT_TRUE(form->CheckErrors());
        EXPECT_FALSE(instrument->Enabled);
        EXPECT_EQ(form->iMode, 3) << int(mode);
        EXPECT_EQ(instrument->SequenceEndReason, 3) << int(mode);
        EXPECT_EQ(hplc->GetState(), hsStopped) << int(mode);
    }
    const std::string l = newLog();
    EXPECT_TRUE(has(l, "#LCDFrame: Message=SEQUENCE STOPPED ON ERROR"));
    // The run's commands still queued are dropped before the heaters go off.
    const Cmds sent = rec.take();
    EXPECT_EQ(Cmds(sent.begin(), sent.begin() + 3), (Cmds{"<clear>", "CHEAT OFF", "RHEAT OFF"}));
    EXPECT_EQ(count(l, "#main: setMode()"), 1) << "no second mode change";
    tickAlive();
    EXPECT_EQ(form->iMode, 2);

    // An instrument that is off is left as it is.
    ZentrovaAPI.Pump1.Pressure = 0.0;
    ZentrovaAPI.Reactor.Temperature = 141.0;
    rec.take();
    EXPECT_TRUE(form->CheckErrors());
    EXPECT_EQ(form->iMode, 2);
    EXPECT_TRUE(rec.sent.empty());
}

// ---------------------------------------------------------------- the critical-error monitor

TEST_F(MainFormTest, EachLimitRaisesNothingAtItAndItsEntryJustBeyond) {
    TPump &p1 = ZentrovaAPI.Pump1, &p2 = ZentrovaAPI.Pump2;
    THeater &column = ZentrovaAPI.Column, &reactor = ZentrovaAPI.Reactor;
    const struct {
        double* value;
        double limit, beyond;  // the value that raises nothing, one just beyond
        int entry;
        const char* text;
        bool disables;
    } rows[] = {{&p1.Pressure, 490.0, 490.001, 5, "High Pressure on Pump1", true},
                {&p2.Pressure, 490.0, 490.001, 6, "High Pressure on Pump2", true},
                {&reactor.Temperature, 140.0, 140.1, 7, "Reactor Temp at MAX", true},
                {&column.Temperature, 80.0, 80.1, 8, "Column Temp at MAX", true},
                {&p1.Pressure, -900.0, -900.001, 1, "Transducer1 not connected", false},
                {&p2.Pressure, -900.0, -900.001, 2, "Transducer2 not connected", false},
                {&column.Temperature, -200.0, -200.1, 3, "Column Temp Sensor Error", false},
                {&reactor.Temperature, -200.0, -200.1, 4, "Reactor Temp Sensor Error", false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        stop();
        start({});
        instrument->Enabled = true;
        *r.value = r.limit;
        EXPECT_FALSE(check());
        EXPECT_EQ(lcdSecondLine(), "");

        *r.value = r.beyond;
        EXPECT_EQ(check(), r.disables);
        EXPECT_EQ(lcdSecondLine(), r.text);
        EXPECT_EQ(errors->ErrorTable[size_t(r.entry)].State, r.disables ? 2 : 0);
        EXPECT_EQ(windowText(), r.disables ? QString(r.text) + "\n\nInstrument was Disabled" : "")
            << "sensor faults never open the window";
        // Through the main window: the instrument is disabled only for a disabling entry.
        EXPECT_EQ(form->CheckErrors(), r.disables);
        EXPECT_EQ(instrument->Enabled, !r.disables);
    }
}

TEST_F(MainFormTest, AConditionIsShownOncePerOccurrenceAndLaterOnesWaitForTheWindow) {
    ZentrovaAPI.Column.Temperature = 85.0;
    EXPECT_TRUE(check());
    ZentrovaAPI.Pump2.Pressure = 500.0;
    EXPECT_TRUE(check());
    EXPECT_EQ(errors->ErrorTable[6].State, 1) << "not shown while the window is open";
    EXPECT_EQ(windowText(), "Column Temp at MAX\n\nInstrument was Disabled");
    errors->OKBtn->Click();
    EXPECT_TRUE(check());
    EXPECT_EQ(windowText(), "High Pressure on Pump2\n\nInstrument was Disabled");
    errors->OKBtn->Click();
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(check()) << "a lasting condition keeps disabling";
    EXPECT_FALSE(errors->isVisible()) << "but its window comes once";

    ZentrovaAPI.Pump2.Pressure = 0.0;
    ZentrovaAPI.Column.Temperature = 60.0;
    EXPECT_FALSE(check());
    ZentrovaAPI.Column.Temperature = 81.0;
    EXPECT_TRUE(check());
    EXPECT_TRUE(errors->isVisible()) << "it came back: a new occurrence";
}

TEST_F(MainFormTest, TwoConditionsInOneCheckShareOneWindowAndTheHigherHelpContext) {
    const std::string longText(250, 'x');  // a long translation is kept whole
    errors->SetErrorEntry(7, longText.c_str(), true, 2600);
    ZentrovaAPI.Pump1.Pressure = 600.0;
    ZentrovaAPI.Reactor.Temperature = 150.0;
    ZentrovaAPI.Pump2.Pressure = -950.0;  // a sensor fault in the same check
    EXPECT_TRUE(check());
    EXPECT_EQ(windowText().toStdString(),
              "High Pressure on Pump1\n" + longText + "\n\nInstrument was Disabled");
    EXPECT_EQ(lcdSecondLine().toStdString(), longText) << "the highest active entry";
    EXPECT_EQ(form->LCDScreen1->String2->GetFontColor(), QColor(255, 0, 0));
    std::vector<uint32_t> opened;
    Help::setOpenHook([&](uint32_t, uint32_t topic) { opened.push_back(topic); });
    errors->HelpBtn->Click();
    Help::setOpenHook(nullptr);
    EXPECT_EQ(opened, std::vector<uint32_t>{2600});
}

TEST_F(MainFormTest, MonitorIsQuietWhereItMustBe) {
    ZentrovaAPI.Pump1.Pressure = 3000.0;
    for (int mode : {14, 15}) {  // the pressure tests may exceed the limit
        form->iMode = uint8_t(mode);
        EXPECT_FALSE(check()) << mode;
    }
    form->iMode = 6;
    EXPECT_TRUE(check());
    errors->OKBtn->Click();

    // Not connected: kept for the first report.
    stop();
    start({});
    form->iMode = 0;
    ZentrovaAPI.Reactor.Temperature = 150.0;
    EXPECT_FALSE(check());
    EXPECT_FALSE(errors->isVisible());
    form->iMode = 2;
    EXPECT_TRUE(check());
    EXPECT_TRUE(errors->isVisible());

    // One pump: the pump 2 entries are ignored.
    stop();
    start({});
    ZentrovaAPI.Pump2.Pressure = 600.0;
    ZentrovaAPI.Valve2.Position = 0;
    for (int i = 0; i < 40; ++i) EXPECT_FALSE(check(true));
    ZentrovaAPI.Pump2.Pressure = -1000.0;
    check(true);
    EXPECT_EQ(lcdSecondLine(), "");
}

TEST_F(MainFormTest, ValveLostAfterTwentyFourChecksAtPositionZero) {
    for (int valve : {1, 2}) {
        SCOPED_TRACE(valve);
        stop();
        start({});
        TValve& v = valve == 1 ? ZentrovaAPI.Valve1 : ZentrovaAPI.Valve2;
        for (int round : {1, 2}) {  // one report of a position starts the count again
            v.Position = 2;
            EXPECT_FALSE(check());
            v.Position = 0;
            for (int i = 1; i <= 23; ++i) EXPECT_FALSE(check()) << "check " << i << " of round " << round;
            EXPECT_TRUE(check()) << "the 24th";
            EXPECT_EQ(windowText(), QString("Valve%1 Lost\n\nInstrument was Disabled").arg(valve));
            errors->OKBtn->Click();
        }
    }
}

TEST_F(MainFormTest, HplcErrorEndsPumpOnOrSequenceAfterNineHundredChecks) {
    hplc->HPLCState = hsError;
    for (int mode : {6, 7}) {
        SCOPED_TRACE(mode);
        instrument->Enabled = true;
        form->iMode = uint8_t(mode);
        TErrorMessagesDialog::HPLCErrorCount = 0;
        for (int i = 1; i <= 900; ++i) ASSERT_FALSE(check()) << "check " << i;
        newLog();
        // A missing sensor in the same check puts its own text on the second line first: the
        // time-out is still what the stop gives as its reason.
        ZentrovaAPI.Column.Temperature = -300.0;
        instrument->SequenceStopReason.clear();
        EXPECT_TRUE(form->CheckErrors());
        ZentrovaAPI.Column.Temperature = 25.0;
        EXPECT_EQ(lcdSecondLine(), "HPLC ERROR, INSTRUMENT DISABLED");
        EXPECT_EQ(instrument->SequenceStopReason, mode == 7 ? "HPLC ERROR, INSTRUMENT DISABLED" : "");
        EXPECT_FALSE(instrument->Enabled);
        EXPECT_EQ(form->iMode, 3);
        EXPECT_TRUE(inOrder(newLog(), {"#main: setMode(): mode=1; current mode=" + std::to_string(mode),
                                       "#main: HPLC Critical Error: HPLC State=4; iMode=1",
                                       "#main: ErrorMessagesDialog Critical Error",
                                       "#main: setMode(): mode=3; current mode=1"}));
    }
    EXPECT_EQ(hplc->GetState(), hsStopped);

    // Another state or another mode in between starts the count again.
    form->iMode = 7;
    TErrorMessagesDialog::HPLCErrorCount = 0;
    for (int i = 0; i < 899; ++i) check();
    hplc->HPLCState = hsRunning;
    check();
    hplc->HPLCState = hsError;
    for (int i = 0; i < 900; ++i) ASSERT_FALSE(check());
    form->iMode = 2;
    check();
    form->iMode = 7;
    for (int i = 0; i < 900; ++i) ASSERT_FALSE(check());
}

}  // namespace
