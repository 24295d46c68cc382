// The critical-error monitor: every entry at and just beyond its limit, one window per
// occurrence, the LCD second line, the instrument disabled where the table says, the lost
// valves' count and the HPLC time-out.
#include "platform/Help.h"
#include "ui/MainFormHarness.h"

namespace {

class ErrorMonitorTest : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        form->iMode = 2;
    }
    bool check(bool single = false) { return errors->CheckInstrumentErrors(single); }
    QString windowText() const { return errors->MessageLbl->GetCaption(); }
    // Closes the window as the OK button does.
    void closeWindow() { errors->OKBtn->Click(); }
};

struct Limit {
    const char* what;
    std::function<void(double)> set;
    double limit;   // the value that raises nothing
    double beyond;  // just beyond it
    int entry;
    const char* text;
    bool disables;
};

TEST_F(ErrorMonitorTest, EachLimitRaisesNothingAtItAndItsEntryJustBeyond) {
    const std::vector<Limit> limits = {
        {"pump 1 pressure", [](double v) { ZentrovaAPI.Pump1.Pressure = v; }, 490.0, 490.001, 5,
         "High Pressure on Pump1", true},
        {"pump 2 pressure", [](double v) { ZentrovaAPI.Pump2.Pressure = v; }, 490.0, 490.001, 6,
         "High Pressure on Pump2", true},
        {"reactor max", [](double v) { ZentrovaAPI.Reactor.Temperature = v; }, 140.0, 140.1, 7,
         "Reactor Temp at MAX", true},
        {"column max", [](double v) { ZentrovaAPI.Column.Temperature = v; }, 80.0, 80.1, 8,
         "Column Temp at MAX", true},
        {"transducer 1", [](double v) { ZentrovaAPI.Pump1.Pressure = v; }, -900.0, -900.001, 1,
         "Transducer1 not connected", false},
        {"transducer 2", [](double v) { ZentrovaAPI.Pump2.Pressure = v; }, -900.0, -900.001, 2,
         "Transducer2 not connected", false},
        {"column sensor", [](double v) { ZentrovaAPI.Column.Temperature = v; }, -200.0, -200.1, 3,
         "Column Temp Sensor Error", false},
        {"reactor sensor", [](double v) { ZentrovaAPI.Reactor.Temperature = v; }, -200.0, -200.1, 4,
         "Reactor Temp Sensor Error", false},
    };
    for (const Limit& l : limits) {
        SCOPED_TRACE(l.what);
        stop();
        start({});
        form->iMode = 2;
        instrument->Enabled = true;
        l.set(l.limit);
        newLog();
        EXPECT_FALSE(check());
        EXPECT_FALSE(errors->isVisible());
        EXPECT_EQ(lcdSecondLine(), "");

        l.set(l.beyond);
        EXPECT_EQ(check(), l.disables);
        EXPECT_EQ(lcdSecondLine(), l.text);
        EXPECT_EQ(form->LCDScreen1->Message2Ticks, 2);
        EXPECT_EQ(errors->isVisible(), l.disables) << "sensor faults never open the window";
        if (l.disables) {
            EXPECT_EQ(windowText(), QString(l.text) + "\n\nInstrument was Disabled");
            EXPECT_EQ(errors->ErrorTable[size_t(l.entry)].State, 2);
            EXPECT_NE(newLog().find("#main: ErrorMessagesDialog Critical Error"), std::string::npos);
        } else {
            EXPECT_EQ(errors->ErrorTable[size_t(l.entry)].State, 0);
            EXPECT_EQ(newLog().find("Critical Error"), std::string::npos);
        }

        // Through the main window: the instrument is disabled only for a disabling entry.
        EXPECT_EQ(form->CheckErrors(), l.disables);
        EXPECT_EQ(instrument->Enabled, !l.disables);
    }
}

TEST_F(ErrorMonitorTest, AConditionIsShownOncePerOccurrence) {
    ZentrovaAPI.Column.Temperature = 85.0;
    EXPECT_TRUE(check());
    ASSERT_TRUE(errors->isVisible());
    closeWindow();
    newLog();
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(check()) << "a lasting condition keeps disabling";
    EXPECT_FALSE(errors->isVisible()) << "but its window comes once";
    EXPECT_EQ(count(newLog(), "#main: ErrorMessagesDialog Critical Error"), 5);

    ZentrovaAPI.Column.Temperature = 60.0;
    EXPECT_FALSE(check());
    EXPECT_EQ(errors->ErrorTable[8].State, 0);
    ZentrovaAPI.Column.Temperature = 81.0;
    EXPECT_TRUE(check());
    EXPECT_TRUE(errors->isVisible()) << "it came back: a new occurrence";
}

TEST_F(ErrorMonitorTest, TwoConditionsInOneCheckShareOneWindowAndTheHigherHelpContext) {
    ZentrovaAPI.Pump1.Pressure = 600.0;
    ZentrovaAPI.Reactor.Temperature = 150.0;
    ZentrovaAPI.Pump2.Pressure = -950.0;  // a sensor fault in the same check
    EXPECT_TRUE(check());
    EXPECT_EQ(windowText(), "High Pressure on Pump1\nReactor Temp at MAX\n\nInstrument was Disabled");
    EXPECT_EQ(errors->ErrorHelpContext, 2600u);
    EXPECT_EQ(lcdSecondLine(), "Reactor Temp at MAX") << "the highest active entry";
    EXPECT_EQ(form->LCDScreen1->String2->GetFontColor(), QColor(255, 0, 0));

    std::vector<uint32_t> opened;
    Help::setOpenHook([&](uint32_t, uint32_t topic) { opened.push_back(topic); });
    errors->HelpBtn->Click();
    Help::setOpenHook(nullptr);
    EXPECT_EQ(opened, std::vector<uint32_t>{2600});
}

TEST_F(ErrorMonitorTest, ConditionsRaisedWhileTheWindowIsOpenWaitForItToClose) {
    ZentrovaAPI.Column.Temperature = 90.0;
    check();
    ZentrovaAPI.Pump2.Pressure = 500.0;
    check();
    EXPECT_EQ(errors->ErrorTable[6].State, 1) << "not shown while the window is open";
    EXPECT_EQ(windowText(), "Column Temp at MAX\n\nInstrument was Disabled");
    closeWindow();
    check();
    EXPECT_TRUE(errors->isVisible());
    EXPECT_EQ(windowText(), "High Pressure on Pump2\n\nInstrument was Disabled");
}

TEST_F(ErrorMonitorTest, PressureTestsMayExceedTheLimit) {
    ZentrovaAPI.Pump1.Pressure = 3000.0;
    for (int mode : {14, 15}) {
        form->iMode = uint8_t(mode);
        EXPECT_FALSE(check());
        EXPECT_EQ(errors->ErrorTable[5].State, 0);
    }
    form->iMode = 6;
    EXPECT_TRUE(check());
}

TEST_F(ErrorMonitorTest, NothingIsReportedWhileNotConnected) {
    form->iMode = 0;
    ZentrovaAPI.Reactor.Temperature = 150.0;
    EXPECT_FALSE(check());
    EXPECT_FALSE(errors->isVisible());
    EXPECT_TRUE(errors->ErrorTable[7].Active) << "kept for the first report";
    form->iMode = 2;
    EXPECT_TRUE(check());
    EXPECT_TRUE(errors->isVisible());
}

TEST_F(ErrorMonitorTest, SinglePumpIgnoresThePumpTwoEntries) {
    ZentrovaAPI.Pump2.Pressure = 600.0;
    ZentrovaAPI.Valve2.Position = 0;
    for (int i = 0; i < 40; ++i) EXPECT_FALSE(check(true));
    EXPECT_EQ(errors->ErrorTable[6].State, 0);
    EXPECT_EQ(errors->ErrorTable[10].State, 0);
    EXPECT_EQ(TErrorMessagesDialog::ValveLostCount2, 0);
    ZentrovaAPI.Pump2.Pressure = -1000.0;
    check(true);
    EXPECT_EQ(lcdSecondLine(), "");
}

TEST_F(ErrorMonitorTest, ValveLostAfterTwentyFourChecksAtPositionZero) {
    for (int valve : {1, 2}) {
        SCOPED_TRACE(valve);
        stop();
        start({});
        form->iMode = 2;
        TValve& v = valve == 1 ? ZentrovaAPI.Valve1 : ZentrovaAPI.Valve2;
        v.Position = 0;
        for (int i = 1; i <= 23; ++i) EXPECT_FALSE(check()) << "check " << i;
        EXPECT_TRUE(check()) << "the 24th";
        EXPECT_EQ(windowText(), QString("Valve%1 Lost\n\nInstrument was Disabled").arg(valve));
        EXPECT_EQ(errors->ErrorHelpContext, 2800u);

        // One report of a position starts the count again.
        closeWindow();
        v.Position = 2;
        EXPECT_FALSE(check());
        v.Position = 0;
        for (int i = 1; i <= 23; ++i) EXPECT_FALSE(check());
        EXPECT_TRUE(check());
    }
}

TEST_F(ErrorMonitorTest, HplcErrorEndsPumpOnOrSequenceAfterNineHundredChecks) {
    hplc->HPLCState = hsError;
    instrument->Enabled = true;
    for (int mode : {6, 7}) {
        SCOPED_TRACE(mode);
        form->iMode = uint8_t(mode);
        TErrorMessagesDialog::HPLCErrorCount = 0;
        for (int i = 1; i <= 900; ++i) ASSERT_FALSE(check()) << "check " << i;
        newLog();
        EXPECT_TRUE(check());
        EXPECT_EQ(form->iMode, 1);
        EXPECT_EQ(lcdMessage(), "HPLC ERROR, INSTRUMENT DISABLED");
        const std::string l = newLog();
        EXPECT_NE(l.find("#main: HPLC Critical Error: HPLC State=4; iMode=1"), std::string::npos);
        EXPECT_NE(l.find("#main: ErrorMessagesDialog Critical Error"), std::string::npos);
    }

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

TEST_F(ErrorMonitorTest, HplcTimeOutDuringASequenceDisablesAndCleansUpThroughTheMainWindow) {
    hplc->HPLCState = hsError;
    instrument->Enabled = true;
    form->iMode = 7;
    TErrorMessagesDialog::HPLCErrorCount = 900;
    newLog();
    EXPECT_TRUE(form->CheckErrors());
    EXPECT_FALSE(instrument->Enabled);
    EXPECT_EQ(form->iMode, 3);
    EXPECT_EQ(hplc->GetState(), hsStopped);
    const std::string l = newLog();
    EXPECT_NE(l.find("#main: setMode(): mode=1; current mode=7"), std::string::npos);
    EXPECT_NE(l.find("#main: setMode(): mode=3; current mode=1"), std::string::npos);
}

TEST_F(ErrorMonitorTest, LongTranslatedTextsAreKeptWhole) {
    const std::string longText(250, 'x');
    errors->SetErrorEntry(8, longText.c_str(), true, 2700);
    ZentrovaAPI.Column.Temperature = 99.0;
    check();
    EXPECT_EQ(windowText().toStdString(), longText + "\n\nInstrument was Disabled");
    EXPECT_EQ(lcdSecondLine().toStdString(), longText);
}

TEST_F(ErrorMonitorTest, DoorEntryIsNeverRaisedAndOkHides) {
    for (int i = 0; i < 30; ++i) check();
    EXPECT_EQ(errors->ErrorTable[0].State, 0);
    EXPECT_EQ(errors->ErrorTable[0].Text, "Column Door Open");
    EXPECT_EQ(errors->ErrorTable[0].HelpContext, 2100u);
    EXPECT_EQ(errors->windowTitle(), "Critical Error");
    ZentrovaAPI.Reactor.Temperature = 145.0;
    check();
    ASSERT_TRUE(errors->isVisible());
    EXPECT_EQ(errors->OKBtn->y(), errors->HelpBtn->y());
    EXPECT_EQ(errors->HelpBtn->x() - errors->OKBtn->x(), 176);
    EXPECT_EQ(errors->OKBtn->y(), errors->MessageLbl->y() + errors->MessageLbl->height() + 11);
    closeWindow();
    EXPECT_FALSE(errors->isVisible());
}

}  // namespace
