// The main window's life and its main loop: start-up rules, the skipped first ticks, the lost
// and returning link, every mode transition's LCD text, time-out and log line, the valve
// watchdog and the end of a sequence stopped by the critical-error monitor.
#include "ui/MainFormHarness.h"

namespace {

class MainFormTest : public MainFormHarness {};

// ---------------------------------------------------------------- start-up

// ---------------------------------------------------------------- the main loop

TEST_F(MainFormTest, FirstFiveTicksDoNothingAndTheSixthFindsNoLink) {
    MainLoopSkipTicks = 5;
    newLog();
    for (int i = 0; i < 5; ++i) tickDead();
    EXPECT_EQ(newLog(), "");
    EXPECT_TRUE(rec.sent.empty());
    EXPECT_EQ(form->iMode, 2);

    tickDead();
    const std::string l = newLog();
    EXPECT_NE(l.find("#main: Connection lost"), std::string::npos);
    EXPECT_NE(l.find("#main: setMode(): mode=0; current mode=2"), std::string::npos);
    EXPECT_EQ(form->iMode, 0);
    EXPECT_TRUE(boxes.shown.empty());

    tickDead();
    const std::string again = newLog();
    EXPECT_EQ(count(again, "#main: Connection lost"), 1) << "logged on every dead tick";
    EXPECT_EQ(count(again, "#main: setMode(): mode=0; current mode=0"), 1);
}

TEST_F(MainFormTest, LinkReturningHaltsAndDisablesTheInstrument) {
    tickDead();
    ASSERT_EQ(form->iMode, 0);
    ZentrovaAPI.Pump1.State = 1;
    ZentrovaAPI.Pump1.ForwardRate = 2.0;
    ZentrovaAPI.Column.ColumnFanOn = true;
    instrument->Enabled = true;
    rec.take();
    newLog();

    tickAlive();
    EXPECT_EQ(form->iMode, 2);
    EXPECT_FALSE(instrument->Enabled);
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"<clear>", "OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF",
                                                    "OFF 0", "CFAN OFF", "DOOR CLOSE", "RFAN ON"}));
    EXPECT_NE(newLog().find("#main: setMode(): mode=2; current mode=0"), std::string::npos);

    tickAlive();
    EXPECT_TRUE(rec.take().empty()) << "the halt comes once, when the link comes back";
}

TEST_F(MainFormTest, LiveValuesReachThePanel) {
    ZentrovaAPI.Pump1.Volume = 12.5;
    ZentrovaAPI.Pump2.Volume = 30.0;
    ZentrovaAPI.Pump1.Pressure = 100.0;
    ZentrovaAPI.Pump2.Pressure = 200.0;
    ZentrovaAPI.Column.Temperature = 40.0;
    instrument->PressureUnit = 1;
    tickAlive();
    TLCDScreen& lcd = *form->LCDScreen1;
    EXPECT_DOUBLE_EQ(lcd.Pump1Volume, 12.5);
    EXPECT_DOUBLE_EQ(lcd.Pump2Volume, 30.0);
    EXPECT_DOUBLE_EQ(lcd.Pump1Pressure, 100.0);
    EXPECT_DOUBLE_EQ(lcd.Pump2Pressure, 200.0);
    EXPECT_TRUE(lcd.PressureInBar);

    // One pump: its volume shows in the second syringe, the first keeps what it had.
    ZentrovaAPI.Pump2Absent = true;
    ZentrovaAPI.Pump1.Volume = 7.0;
    instrument->PressureUnit = 2;
    tickAlive();
    EXPECT_DOUBLE_EQ(lcd.Pump1Volume, 12.5);
    EXPECT_DOUBLE_EQ(lcd.Pump2Volume, 7.0);
    EXPECT_FALSE(lcd.PressureInBar);
    EXPECT_TRUE(lcd.SinglePump);
}

TEST_F(MainFormTest, RunSignalFollowsTheHplcState) {
    hplc->HPLCState = hsRunning;
    form->UpdateRunSignal();
    EXPECT_TRUE(instrument->RunSignal);
    hplc->HPLCState = hsNoHPLC;
    instrument->EquilTimer.Start(5);
    form->UpdateRunSignal();
    EXPECT_FALSE(instrument->RunSignal) << "no HPLC: the signal waits for the equilibration";
    clock.fake.advanceSeconds(6);
    form->UpdateRunSignal();
    EXPECT_TRUE(instrument->RunSignal);
    hplc->HPLCState = hsError;
    form->UpdateRunSignal();
    EXPECT_FALSE(instrument->RunSignal);
}

TEST_F(MainFormTest, PumpOnEndsThroughStopToIdle) {
    form->iMode = 6;
    rec.take();
    tickAlive();
    EXPECT_EQ(form->iMode, 3);
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"OFF 0", "OFF 2"}));
    tickAlive();
    EXPECT_EQ(form->iMode, 2);
}

// ---------------------------------------------------------------- SetMode

struct Transition {
    int from;
    int to;
    const char* text;  // nullptr: no LCD text
    int timeout;
};

TEST_F(MainFormTest, EveryTransitionShowsItsTextWithItsTimeOutAndIsLogged) {
    instrument->Sequence.Name = "Assay";
    instrument->Sequence.RunList.Add("2");
    instrument->Sequence.RunList.Add("3");
    instrument->PumpStarts = 4;
    const Transition table[] = {
        {2, 1, "HPLC ERROR, INSTRUMENT DISABLED", -1}, {4, 2, "INSTRUMENT RESET", -1},
        {5, 3, "INSTRUMENT RESET", -1}, {9, 2, "SEQUENCE STOPPED", -1}, {11, 2, "FLUSH DONE", -1},
        {12, 2, "REFILL DONE", -1}, {13, 3, "CLEANUP FLUSH DONE", -1}, {14, 2, "PRESSURE TEST DONE", -1},
        {15, 2, "SYSTEM PRESSURE TEST DONE", -1}, {16, 2, "EMPTY PUMP(S) DONE", -1},
        {17, 2, "INSTRUMENT FLUSH DONE", -1}, {6, 2, nullptr, 0}, {8, 2, nullptr, 0}, {18, 2, nullptr, 0},
        {2, 4, "SYSTEM HALTED, INSTRUMENT STOPPED", -1}, {2, 6, nullptr, 0}, {2, 16, nullptr, 0},
        {2, 7, "SEQUENCE Assay STARTED", 60}, {8, 7, "SEQUENCE Assay RESUMED", 60},
        {7, 8, "FINISHING CURRENT RUN", -1}, {7, 9, "FINISHING CURRENT RUN", -1},
        {2, 11, "FLUSH PUMP(S) STARTED", 60}, {2, 12, "REFILL STARTED", 20},
        {2, 13, "CLEANUP FLUSH STARTED", 60}, {2, 14, "PRESSURE TEST STARTED", 60},
        {2, 15, "SYSTEM PRESSURE TEST STARTED", 60}, {2, 17, "INSTRUMENT FLUSH STARTED", 60},
        {2, 18, "PREPARING INSTRUMENT FOR SEAL CHANGE", 60},
        {2, 19, "Instrument Disabled. Heaters and Pumps are Off.", -1},
    };
    for (const Transition& t : table) {
        SCOPED_TRACE(std::to_string(t.from) + " -> " + std::to_string(t.to));
        form->LCDScreen1->SetMessage("-");
        newLog();
        form->iMode = uint8_t(t.from);
        form->SetMode(uint8_t(t.to));
        EXPECT_EQ(form->iMode, t.to);
        const std::string l = newLog();
        EXPECT_NE(l.find("#main: setMode(): mode=" + std::to_string(t.to) +
                         "; current mode=" + std::to_string(t.from)),
                  std::string::npos);
        if (t.text) {
            EXPECT_EQ(lcdMessage(), t.text);
            EXPECT_EQ(form->LCDScreen1->Message1Ticks, t.timeout);
            EXPECT_NE(
                l.find(std::string("#LCDFrame: Message=") + t.text + " timeout=" + std::to_string(t.timeout)),
                std::string::npos);
        } else {
            EXPECT_EQ(lcdMessage(), "-");
            EXPECT_EQ(count(l, "#LCDFrame"), 0);
        }
    }
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(MainFormTest, SequenceEndTextFollowsTheEndReason) {
    instrument->Sequence.RunList.Add("2");
    instrument->Sequence.RunList.Add("3");
    instrument->PumpStarts = 4;
    instrument->RunCounter = 1;
    form->iMode = 7;
    instrument->SequenceEndReason = 1;
    form->SetMode(2);
    EXPECT_EQ(lcdMessage(), "END OF SEQUENCE REACHED (5 OF 5 RUNS)");
    form->iMode = 7;
    instrument->SequenceEndReason = 2;
    form->SetMode(2);
    EXPECT_EQ(lcdMessage(), "SEQUENCE STOPPED (RUN 4) - NO RELAY SIGNAL");
    form->iMode = 7;
    instrument->SequenceEndReason = 0;
    form->SetMode(3);
    EXPECT_EQ(lcdMessage(), "SEQUENCE STOPPED ON ERROR");
}

TEST_F(MainFormTest, LostLinkBoxOnlyWhenLeavingSequenceStoppingOrInstrumentFlush) {
    for (int from : {7, 9, 17, 8, 2, 6, 11, 4}) {
        SCOPED_TRACE(from);
        boxes.shown.clear();
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
        const std::string l = newLog();
        const bool box = from == 7 || from == 9 || from == 17;
        ASSERT_EQ(boxes.shown.size(), box ? 1u : 0u) << "shown once, not again by ticks under it";
        if (!box) continue;
        EXPECT_EQ(modeUnderBox, 0);
        EXPECT_EQ(boxes.shown[0].title, "Unrecoverable Error!");
        EXPECT_EQ(boxes.shown[0].text, "Lost connection with Instrument. Operation stopped.");
        EXPECT_EQ(boxes.shown[0].buttons, MsgButtons::OK);
        const size_t popped = l.find("#main: SetMode(): pop-up Connection Lost message\n");
        const size_t closed =
            l.find("#main: SetMode(): pop-up Connection Lost message closed, Instrument Halted");
        ASSERT_NE(popped, std::string::npos);
        ASSERT_NE(closed, std::string::npos);
        EXPECT_LT(popped, closed);
    }
}

TEST_F(MainFormTest, LinkComingBackUnderTheLostLinkBoxIsNotUndone) {
    form->iMode = 7;
    boxes.onShow = [&](const MessageRequest&) { tickAlive(); };
    tickDead();
    EXPECT_EQ(form->iMode, 2) << "the tick under the box brought the link back and halted";
}

// ---------------------------------------------------------------- valve watchdog

TEST_F(MainFormTest, ValveCommandIsRepeatedAfterSevenThenEveryTenSeconds) {
    form->iMode = 7;
    TValve& v1 = ZentrovaAPI.Valve1;
    v1.MoveTo(3);
    v1.InPosition = true;
    form->checkValveState();  // in position: the watchdog waits 7 s from here
    v1.InPosition = false;
    rec.take();
    newLog();
    auto resent = [&] {
        form->checkValveState();
        const auto s = rec.take();
        return std::count(s.begin(), s.end(), "VALVE 1 3");
    };
    for (int s = 1; s <= 7; ++s) {
        clock.fake.advanceSeconds(1);
        EXPECT_EQ(resent(), 0) << "second " << s;
    }
    clock.fake.advanceSeconds(1);
    EXPECT_EQ(resent(), 1) << "8 s after the valve was last in position";
    EXPECT_NE(newLog().find("#checkValveState: Repeated Valve1 Command to Position: 3"), std::string::npos);
    v1.InPosition = false;  // MoveTo clears it; the valve still does not report
    for (int s = 1; s <= 10; ++s) {
        clock.fake.advanceSeconds(1);
        EXPECT_EQ(resent(), 0) << "second " << s;
    }
    clock.fake.advanceSeconds(1);
    EXPECT_EQ(resent(), 1);

    // Other modes leave the valve alone.
    form->iMode = 6;
    clock.fake.advanceSeconds(30);
    EXPECT_EQ(resent(), 0);
}

TEST_F(MainFormTest, ValveTwoOnlyOnATwoPumpInstrument) {
    form->iMode = 7;
    TValve& v2 = ZentrovaAPI.Valve2;
    v2.MoveTo(2);
    rec.take();
    form->checkValveState();  // the 5 s start-up timer still runs
    clock.fake.advanceSeconds(6);
    form->checkValveState();
    auto s = rec.take();
    EXPECT_EQ(std::count(s.begin(), s.end(), "VALVE 2 2"), 1);
    EXPECT_NE(logText().find("#checkValveState: Repeated Valve2 Command to Position: 2"), std::string::npos);

    instrument->SinglePump = true;
    clock.fake.advanceSeconds(60);
    form->checkValveState();
    s = rec.take();
    EXPECT_EQ(std::count(s.begin(), s.end(), "VALVE 2 2"), 0);
}

TEST_F(MainFormTest, ValveWithoutACommandIsNeverRepeated) {
    form->iMode = 7;
    ZentrovaAPI.Valve1.InPosition = false;
    ZentrovaAPI.Valve1.CommandedPosition = 0;
    ZentrovaAPI.Valve2.InPosition = false;
    ZentrovaAPI.Valve2.CommandedPosition = 0;
    for (int i = 0; i < 30; ++i) {
        form->checkValveState();
        clock.fake.advanceSeconds(1);
    }
    EXPECT_TRUE(rec.sent.empty());
}

// ---------------------------------------------------------------- monitor and sequence

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
    EXPECT_NE(l.find("#LCDFrame: Message=SEQUENCE STOPPED ON ERROR"), std::string::npos);
    EXPECT_EQ(l.find("END OF SEQUENCE REACHED"), std::string::npos);
    EXPECT_EQ(count(l, "#main: setMode()"), 1) << "no second mode change";
    EXPECT_NE(l.find("#main: setMode(): mode=3; current mode=7"), std::string::npos);
    tickAlive();
    EXPECT_EQ(form->iMode, 2);
}

TEST_F(MainFormTest, MonitorDoesNotDisableAnInstrumentThatIsOff) {
    instrument->Enabled = false;
    form->iMode = 2;
    ZentrovaAPI.Reactor.Temperature = 141.0;
    rec.take();
    EXPECT_TRUE(form->CheckErrors());
    EXPECT_EQ(form->iMode, 2);
    EXPECT_TRUE(rec.sent.empty());
}

TEST_F(MainFormTest, SequenceFinishedReturnsToIdleAndStopsTheHplc) {
    instrument->SequenceEndReason = 1;
    instrument->Sequence.RunList.Add("1");
    hplc->HPLCState = hsRunning;
    form->iMode = 7;
    EXPECT_TRUE(form->SequenceFinished());
    EXPECT_EQ(form->iMode, 2);
    EXPECT_EQ(hplc->GetState(), hsStopped);
    EXPECT_EQ(lcdMessage(), "END OF SEQUENCE REACHED (1 OF 1 RUNS)");
}

TEST_F(MainFormTest, HaltClearsTheQueueSwitchesPumpsOffAndDisables) {
    instrument->Enabled = true;
    rec.take();
    EXPECT_TRUE(form->HaltInstrument());
    EXPECT_FALSE(instrument->Enabled);
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"<clear>", "OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"}));
    EXPECT_TRUE(form->ShowLCDMessage("PRESSURE 12"));
    EXPECT_EQ(lcdMessage(), "PRESSURE 12");
    EXPECT_EQ(form->LCDScreen1->Message1Ticks, -1);
}

}  // namespace
