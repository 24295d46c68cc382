// The main window's commands, menus and status bar: enablement and captions by mode and pump
// count, each command's boxes, log line and requested mode, Stop and Reset, enabling the
// instrument, choosing the current sequence, the status panels and the progress bar.
#include <QImage>
#include <QMenu>
#include <QPainter>

#include "MainFormHarness.h"
#include "methods/EditMethods.h"
#include "methods/EditSequence.h"
#include "methods/ExportImport.h"
#include "methods/LoadSequence.h"
#include "methods/MethodParams.h"
#include "methods/SequenceParams.h"
#include "platform/Help.h"
#include "platform/i18n.h"
#include "support/StoredMethods.h"
#include "ui/About.h"
#include "ui/Calibration.h"
#include "ui/Configuration.h"
#include "ui/MainFormCommands.h"

namespace {

using Handler = void (TMainFormCommands::*)();

class Commands : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        setDecimalSeparator('.');
        storeMethod(plainMethod("M1"));
        TMethodINIParams m2 = plainMethod("M2");
        m2.ColumnT = "warm";  // does not read as a number
        storeMethod(m2);
        storeSequence("S", {{"M1", "2"}, {"M2", "1"}});
        storeSequence("Bad", {{"M2", "1"}});
        newLog();
    }

    void enable() {
        instrument->Sequence.Name = "S";
        ASSERT_TRUE(form->SetInstrumentEnabled(true));
        ASSERT_TRUE(instrument->Enabled);
        boxes.shown.clear();
        newLog();
    }
    void volumes(double v1, double v2) {
        ZentrovaAPI.Pump1.Volume = v1;
        ZentrovaAPI.Pump2.Volume = v2;
    }
    void pumpsOn(bool on1, bool on2) {
        form->iMode = 6;
        instrument->Channel1->State = on1 ? 67 : 0;
        instrument->Channel2->State = on2 ? 67 : 0;
    }
    QString panel(int i) const { return form->StatusText(i); }
    void run(Handler h) { (form.get()->*h)(); }
};

// ---------------------------------------------------------------- components

// ---------------------------------------------------------------- menus as they open

TEST_F(Commands, ControlMenuDuringProceduresOffersNothingButDisableIsGreyedWhenEnabled) {
    for (uint8_t mode : {0, 1, 4, 7, 8, 9, 11, 12, 13, 14, 15, 16, 17, 18, 19}) {
        form->iMode = mode;
        form->Control1Click();
        for (TUxMenuItem* it : {form->RefillPumps1, form->FlushPumps1, form->EmptyPumps1, form->Pump1On,
                                form->Pump2On, form->BothPumpsOn, form->BothPumpsOff})
            EXPECT_FALSE(it->GetEnabled()) << int(mode) << " " << it->objectName().toStdString();
        EXPECT_TRUE(form->Enable1->GetEnabled()) << int(mode);  // disabled instrument: "Enable" stays
    }
    enable();
    form->iMode = 12;
    form->Control1Click();
    EXPECT_FALSE(form->Enable1->GetEnabled());
    EXPECT_EQ(form->Enable1->GetCaption(), "Disable");
    form->iMode = 2;
    form->Control1Click();
    EXPECT_TRUE(form->Enable1->GetEnabled());
    EXPECT_EQ(form->Enable1->GetCaption(), "Disable");
}

// ---------------------------------------------------------------- every tick

TEST_F(Commands, UpdateMenusShowsTheModeAndAdjustsTheMenus) {
    struct Case {
        uint8_t mode;
        const char* text;
    } cases[] = {
        {0, "NOT CONNECTED"},  {1, "UNKNOWN"},           {2, "READY"},          {3, "STOP"},
        {4, "EMERGENCY STOP"}, {8, "SEQ SUSPENDED"},     {9, "SEQ STOPPED"},    {11, "FLUSH"},
        {12, "REFILL"},        {13, "PREP FOR STORING"}, {14, "PRESSURE TEST"}, {15, "SYS PRESS TEST"},
        {16, "EMPTYING"},      {17, "INSTR FLUSH"},      {18, "SEAL CHANGE"},   {19, "INSTRUMENT DISABLED"},
        {5, "UNKNOWN"},        {200, "UNKNOWN"}};
    for (const Case& c : cases) {
        form->iMode = c.mode;
        form->UpdateMenus(c.mode);
        EXPECT_EQ(panel(0), c.text) << int(c.mode);
        // The progress bar takes panel 1 while a procedure runs.
        const bool progress = c.mode >= 11 && c.mode <= 18;
        EXPECT_EQ(form->StatusBar1->GetPanels()->GetItem(1)->GetStyle(), progress ? psOwnerDraw : psText)
            << int(c.mode);
    }

    auto enabled = [&](std::initializer_list<TUxMenuItem*> items) {
        std::string out;
        for (TUxMenuItem* it : items) out += it->GetEnabled() ? '1' : '0';
        return out;
    };
    TMainForm& f = *form;
    auto menus = [&] { return enabled({f.Control1, f.Maintenance1, f.Instrument1, f.Method1, f.Sequence1}); };
    f.UpdateMenus(2);
    EXPECT_EQ(menus(), "11111");
    f.UpdateMenus(0);
    EXPECT_EQ(menus(), "00111");
    f.UpdateMenus(2);
    f.UpdateMenus(4);
    EXPECT_EQ(menus(), "01000");
    f.UpdateMenus(3);  // unchanged
    EXPECT_EQ(menus(), "01000");
    f.UpdateMenus(2);
    f.UpdateMenus(7);
    EXPECT_EQ(menus(), "01011");
    f.UpdateMenus(2);
    f.UpdateMenus(8);
    EXPECT_EQ(menus(), "01011");
    for (uint8_t mode : {6, 11, 13, 14, 15, 16, 17, 18}) {
        f.UpdateMenus(2);
        f.iMode = mode;
        f.UpdateMenus(mode);
        EXPECT_EQ(menus(), "10111") << int(mode);
    }
    f.UpdateMenus(2);
    f.UpdateMenus(12);
    EXPECT_EQ(menus(), "11111");
}

TEST_F(Commands, PumpsOnPanelNamesThePumpsThatRun) {
    pumpsOn(true, true);
    form->UpdateMenus(6);
    EXPECT_EQ(panel(0), "PUMPS ON");
    pumpsOn(true, false);
    form->UpdateMenus(6);
    EXPECT_EQ(panel(0), "PUMP 1 ON");
    pumpsOn(false, true);
    form->UpdateMenus(6);
    EXPECT_EQ(panel(0), "PUMP 2 ON");
    instrument->SinglePump = true;
    pumpsOn(true, false);
    form->UpdateMenus(6);
    EXPECT_EQ(panel(0), "PUMP ON");
}

TEST_F(Commands, RunningSequenceShowsRunTimeRunCounterAndMethod) {
    form->SetDefaultSequence("S");
    form->iMode = 7;
    instrument->RunState = 34;  // run in progress
    instrument->RunClock.Start(0);
    clock.fake.advanceSeconds(90);
    instrument->RunCounter = 2;
    instrument->LineIndex = 0;
    form->UpdateMenus(7);
    EXPECT_EQ(panel(0), "RUN (1.5)");
    EXPECT_EQ(panel(1), "2 of 3");
    EXPECT_EQ(panel(2), "Method (1): M1");
    EXPECT_EQ(form->StatusBar1->GetPanels()->GetItem(1)->GetStyle(), psText);

    // Ramping the column: a short LCD line on each tick.
    instrument->TempRamping = true;
    form->UpdateMenus(7);
    EXPECT_EQ(lcdMessage(), "DOING TEMP RAMPING");
    EXPECT_NE(newLog().find("#LCDFrame: Message=DOING TEMP RAMPING timeout=2"), std::string::npos);
}

TEST_F(Commands, SuspendedSequenceEmptiesTheMessageWhileEquilibrating) {
    form->iMode = 8;
    form->LCDScreen1->SetMessage("FINISHING CURRENT RUN");
    instrument->EquilTimer.Start(100);
    newLog();
    form->UpdateMenus(8);
    EXPECT_EQ(lcdMessage(), "");
    EXPECT_NE(newLog().find("#LCDFrame: Message= timeout=-1"), std::string::npos);
    form->LCDScreen1->SetMessage("FINISHING CURRENT RUN");
    clock.fake.advanceSeconds(200);
    form->UpdateMenus(8);
    EXPECT_EQ(lcdMessage(), "FINISHING CURRENT RUN");
}

TEST_F(Commands, ProgressBarFillsItsShareOfPanelOne) {
    auto draw = [&](int32_t percent, int index) {
        instrument->PercentDone = percent;
        QImage img(100, 10, QImage::Format_RGB32);
        img.fill(Qt::white);
        QPainter p(&img);
        form->StatusBar1OnDrawPanel(p, index, QRect(0, 0, 100, 10));
        p.end();
        int filled = 0;
        for (int x = 0; x < 100; ++x) {
            if (img.pixelColor(x, 5) == QColor(0, 0, 0x80)) ++filled;
            EXPECT_EQ(img.pixelColor(x, 0), img.pixelColor(x, 9));  // full height
        }
        return filled;
    };
    EXPECT_EQ(draw(50, 1), 50);
    EXPECT_EQ(draw(37, 1), 37);
    EXPECT_EQ(draw(0, 1), 0);
    EXPECT_EQ(draw(-20, 1), 0);
    EXPECT_EQ(draw(250, 1), 100);
    EXPECT_EQ(draw(50, 0), 0);  // only panel 1 is owner-drawn

    // The panel drawn by the bar itself.
    form->UpdateMenus(11);
    instrument->PercentDone = 50;
    form->StatusBar1->resize(600, 20);
    QImage shot(form->StatusBar1->size(), QImage::Format_RGB32);
    form->StatusBar1->render(&shot);
    const QRect r = form->StatusBar1->PanelRect(1);
    EXPECT_EQ(shot.pixelColor(r.left() + 2, r.center().y()), QColor(0, 0, 0x80));
    EXPECT_NE(shot.pixelColor(r.right() - 2, r.center().y()), QColor(0, 0, 0x80));
}

// ---------------------------------------------------------------- commands with a confirmation

TEST_F(Commands, EachProcedureCommandConfirmsLogsAndRequestsItsMode) {
    struct Case {
        Handler handler;
        const char* log;
        const char* confirm;
        uint8_t mode;
        const char* panel0;  // "" when the starter leaves it
    } cases[] = {
        {&TMainFormCommands::RefillPumpClick, "#menu: Refill Pump",
         "You requested the Refill Pump procedure. It will take approximately 2 minutes. Do you want to "
         "continue?",
         12, ""},
        {&TMainFormCommands::RefillPump1Click, "#menu: Refill Pump1",
         "You requested the Refill Pump1 procedure. It will take approximately 4 minutes. Do you want to "
         "continue?",
         12, ""},
        {&TMainFormCommands::RefillPump2Click, "#menu: Refill Pump2",
         "You requested the Refill Pump2 procedure. It will take approximately 4 minutes. Do you want to "
         "continue?",
         12, ""},
        {&TMainFormCommands::RefillBothPumpsClick, "#menu: Refill Both Pumps",
         "You requested the Refill Pumps procedure. It will take approximately 4 minutes. Do you want to "
         "continue?",
         12, "REFILLING PUMP(S)"},
        {&TMainFormCommands::FlushPumpClick, "#menu: Flush Pump",
         "You requested Flush Pump(s) procedure. It will take approximately 10 minutes. Do you want to "
         "continue?",
         11, ""},
        {&TMainFormCommands::FlushPump1Click, "#menu: Flush Pump1",
         "You requested the Flush Pump1 procedure. It will take approximately 6 minutes. Do you want to "
         "continue?",
         11, ""},
        {&TMainFormCommands::FlushPump2Click, "#menu: Flush Pump2",
         "You requested the Flush Pump2 procedure. It will take approximately 6 minutes. Do you want to "
         "continue?",
         11, ""},
        {&TMainFormCommands::FlushBothPumpsClick, "#menu: Flush Both Pumps",
         "You requested the Flush Pumps procedure. It will take approximately 6 minutes. Do you want to "
         "continue?",
         11, "FLUSHING PUMP(S)"},
        {&TMainFormCommands::EmptyPumpClick, "#menu: Empty Pump",
         "You are asking to empty the Pump. Continue?", 16, ""},
        {&TMainFormCommands::EmptyPump1Click, "#menu: Empty Pump1",
         "You are asking to empty the Pump 1. Continue?", 16, ""},
        {&TMainFormCommands::EmptyPump2Click, "#menu: Empty Pump2",
         "You are asking to empty the Pump 2. Continue?", 16, ""},
        {&TMainFormCommands::EmptyBothPumpsClick, "#menu: Empty Both Pumps",
         "You are asking to empty the pumps. Continue?", 16, ""},
        {&TMainFormCommands::PrepareforStorageShipping1Click, "#menu: Maintenance->Prepare for Storage",
         "You requested the Prepare for Storage/Shipping Procedure.\n\nIt will take approximately 30 "
         "minutes.\n\nDo you want to continue?",
         13, ""},
        {&TMainFormCommands::FlushInstrument1Click, "#menu: Maintenance->Flush Instrument",
         "You requested the Instrument Flush Procedure.\n\nIt will take approximately 20 minutes.\n\nDo you "
         "want to continue?",
         17, ""},
    };
    enable();
    for (const Case& c : cases) {
        for (bool yes : {false, true}) {
            SCOPED_TRACE(std::string(c.log) + (yes ? " yes" : " no"));
            form->iMode = 2;
            form->SetStatusText(0, "READY");
            volumes(82.0, 82.0);
            boxes.shown.clear();
            newLog();
            if (yes) boxes.answer(mrYes);
            run(c.handler);
            ASSERT_EQ(boxes.shown.size(), 1u);
            EXPECT_EQ(boxes.shown[0].text, c.confirm);
            EXPECT_EQ(boxes.shown[0].title, "Warning");
            EXPECT_EQ(boxes.shown[0].buttons, MsgButtons::YesNo);
            EXPECT_EQ(boxes.shown[0].defaultButton, mrNo);
            const std::string log = newLog();
            const size_t menuAt = log.find(c.log);
            ASSERT_NE(menuAt, std::string::npos);
            EXPECT_EQ(log.find("#main: setMode"),
                      yes ? log.find("#main: setMode", menuAt) : std::string::npos);
            EXPECT_EQ(form->iMode, yes ? c.mode : 2);
            if (yes && *c.panel0) {
                EXPECT_EQ(panel(0), c.panel0);
            }
        }
    }
}

TEST_F(Commands, RefillRefusesAPumpAbove82) {
    struct Case {
        Handler handler;
        double v1, v2;
        const char* box;  // "" when the confirmation comes
    } cases[] = {
        {&TMainFormCommands::RefillPumpClick, 82.0, 0.0, ""},
        {&TMainFormCommands::RefillPumpClick, 82.01, 0.0, "Please, empty Pump first."},
        {&TMainFormCommands::RefillPump1Click, 82.01, 0.0, "Please, empty Pump 1."},
        {&TMainFormCommands::RefillPump2Click, 0.0, 90.0, "Please, empty Pump 2."},
        {&TMainFormCommands::RefillPump2Click, 90.0, 82.0, ""},
        {&TMainFormCommands::RefillBothPumpsClick, 90.0, 90.0, "Please, empty both pumps."},
        {&TMainFormCommands::RefillBothPumpsClick, 10.0, 90.0, "Please, empty Pump 2."},
        {&TMainFormCommands::RefillBothPumpsClick, 90.0, 10.0, "Please, empty Pump 1."},
    };
    for (const Case& c : cases) {
        form->iMode = 2;
        volumes(c.v1, c.v2);
        boxes.shown.clear();
        run(c.handler);
        ASSERT_EQ(boxes.shown.size(), 1u);
        if (*c.box) {
            EXPECT_EQ(boxes.shown[0].text, c.box);
            EXPECT_EQ(boxes.shown[0].title, "Warning");
            EXPECT_EQ(boxes.shown[0].buttons, MsgButtons::OK);
        } else {
            EXPECT_EQ(boxes.shown[0].buttons, MsgButtons::YesNo);
        }
        EXPECT_EQ(form->iMode, 2);
    }
}

TEST_F(Commands, StartersSetTheLcdDisplayModeAndStartTheChannels) {
    volumes(10, 10);
    boxes.answer(mrYes);
    form->RefillPump2Click();
    EXPECT_EQ(form->LCDScreen1->DisplayMode, 3);
    EXPECT_NE(instrument->Channel2->State, 0);
    EXPECT_EQ(lcdMessage(), "REFILL STARTED");
    form->iMode = 2;
    boxes.answer(mrYes);
    form->FlushPump1Click();
    EXPECT_EQ(form->LCDScreen1->DisplayMode, 2);
}

TEST_F(Commands, InstrumentFlushAsksForTheEnableFirst) {
    boxes.answer(mrYes);  // the flush
    boxes.answer(mrNo);   // not enabled: enable it?
    form->FlushInstrument1Click();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].text,
              "Can not start Instrument Flush Procedure. You have to Enable Instrument first. "
              "Do you want to Enable Instrument?");
    EXPECT_EQ(boxes.shown[1].title, "Error");
    EXPECT_EQ(boxes.shown[1].defaultButton, mrNo);
    EXPECT_EQ(form->iMode, 2);

    instrument->Sequence.Name = "S";
    boxes.shown.clear();
    boxes.answer(mrYes);
    boxes.answer(mrYes);
    form->FlushInstrument1Click();
    EXPECT_TRUE(instrument->Enabled);
    EXPECT_EQ(form->iMode, 17);
}

// ---------------------------------------------------------------- pumps on and off

TEST_F(Commands, PumpOnAsksToEnableAndStartsThePump) {
    form->Pump1OnClick();  // not enabled; "No" is the default answer
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "You have to Enable Instrument first. Do you want to Enable Instrument?");
    EXPECT_EQ(boxes.shown[0].title, "Error");
    EXPECT_EQ(form->iMode, 2);
    EXPECT_NE(newLog().find("#menu: Pump1 On"), std::string::npos);

    instrument->Sequence.Name = "S";
    boxes.answer(mrYes);
    form->Pump2OnClick();
    EXPECT_TRUE(instrument->Enabled);
    EXPECT_EQ(instrument->Channel2->State, 1);
    EXPECT_EQ(form->iMode, 6);
    EXPECT_TRUE(form->IsPumpOn(2));
    EXPECT_FALSE(form->IsPumpOn(1));
    EXPECT_FALSE(form->IsPumpOn(3));
}

TEST_F(Commands, PumpSwitchedOffKeepsPumpModeWhileTheOtherRuns) {
    enable();
    pumpsOn(true, true);
    rec.take();
    form->Pump1OnClick();
    EXPECT_EQ(rec.take(), std::vector<std::string>{"OFF 0"});
    EXPECT_EQ(form->iMode, 6);

    pumpsOn(false, true);
    form->Pump2OnClick();
    EXPECT_EQ(rec.take(), std::vector<std::string>{"OFF 2"});
    EXPECT_EQ(form->iMode, 3);
}

TEST_F(Commands, BothPumpsOnAndOff) {
    enable();
    form->BothPumpsOnClick();
    EXPECT_EQ(instrument->Channel1->State, 1);
    EXPECT_EQ(instrument->Channel2->State, 1);
    EXPECT_EQ(form->iMode, 6);

    pumpsOn(true, true);
    rec.take();
    newLog();
    form->BothPumpsOffClick();
    const std::string log = newLog();
    const size_t both = log.find("#menu: Both Pumps Off");
    const size_t p1 = log.find("#menu: Pump1 On");
    const size_t p2 = log.find("#menu: Pump2 On");
    ASSERT_NE(both, std::string::npos);
    ASSERT_NE(p1, std::string::npos);
    ASSERT_NE(p2, std::string::npos);
    EXPECT_LT(both, p1);
    EXPECT_LT(p1, p2);
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"OFF 0", "OFF 2"}));

    // Pump 1 only: its toggle alone, and the pumps are done.
    pumpsOn(true, false);
    newLog();
    form->BothPumpsOffClick();
    EXPECT_EQ(count(newLog(), "#menu: Pump"), 1);
    EXPECT_EQ(form->iMode, 3);
}

// ---------------------------------------------------------------- sequence

TEST_F(Commands, StartSequenceSuspendsAndResumes) {
    form->iMode = 7;
    form->StartSequence1Click();
    EXPECT_EQ(form->iMode, 8);
    EXPECT_EQ(lcdMessage(), "FINISHING CURRENT RUN");
    form->StartSequence1Click();
    EXPECT_EQ(form->iMode, 7);
    EXPECT_EQ(count(newLog(), "#menu: Sequence Start"), 2);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Commands, StartSequenceWhileStoppingChangesNothing) {
    enable();
    volumes(100, 100);
    form->SetDefaultSequence("S");
    form->iMode = 9;
    instrument->RunState = 34;
    instrument->RunCounter = 2;
    newLog();
    rec.take();
    form->StartSequence1Click();
    EXPECT_EQ(form->iMode, 9);
    EXPECT_EQ(instrument->RunState, 34);
    EXPECT_EQ(instrument->RunCounter, 2);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(rec.take().empty());
    const std::string log = newLog();
    EXPECT_NE(log.find("#menu: Sequence Start"), std::string::npos);
    EXPECT_EQ(log.find("setMode"), std::string::npos);
}

TEST_F(Commands, StartSequenceWhileDisabledOnlyEnables) {
    instrument->Sequence.Name = "S";
    volumes(100, 100);
    boxes.answer(mrYes);
    form->StartSequence1Click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(
        boxes.shown[0].text,
        "Can not start Sequence. You have to Enable Instrument first. Do you want to Enable Instrument?");
    EXPECT_EQ(boxes.shown[0].title, "Error");
    EXPECT_EQ(boxes.shown[0].defaultButton, mrNo);
    EXPECT_TRUE(instrument->Enabled);
    EXPECT_EQ(form->iMode, 2);
}

TEST_F(Commands, StartSequenceNeedsFilledPumps) {
    enable();
    form->SetDefaultSequence("S");
    volumes(1, 1);
    form->StartSequence1Click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text,
              "Can not start Sequence. Please, refill your pumps to the appropriate volume.");
    EXPECT_EQ(boxes.shown[0].title, "Error");
    EXPECT_EQ(form->iMode, 2);

    volumes(100, 100);
    instrument->RunCounter = 5;
    form->iMode = 6;
    form->StartSequence1Click();
    EXPECT_EQ(form->iMode, 7);
    EXPECT_EQ(lcdMessage(), "SEQUENCE S STARTED");
    EXPECT_EQ(instrument->RunCounter, 0);  // the run fields start over
}

TEST_F(Commands, StartSequenceOutsideTheIdleModesIsIgnored) {
    enable();
    volumes(100, 100);
    for (uint8_t mode : {0, 4, 11, 12, 17}) {
        form->iMode = mode;
        form->StartSequence1Click();
        EXPECT_EQ(form->iMode, mode);
    }
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Commands, StopSequenceShowsTheNameThenFinishesTheRun) {
    form->SetDefaultSequence("S");
    form->iMode = 7;
    newLog();
    form->StopSequence1Click();
    const std::string log = newLog();
    const size_t menu = log.find("#menu: Sequence Stop");
    const size_t stopping = log.find("#LCDFrame: Message=Stopping Sequence S. timeout=-1");
    const size_t mode = log.find("#main: setMode(): mode=9; current mode=7");
    ASSERT_NE(menu, std::string::npos);
    ASSERT_NE(stopping, std::string::npos);
    ASSERT_NE(mode, std::string::npos);
    EXPECT_LT(menu, stopping);
    EXPECT_LT(stopping, mode);
    EXPECT_EQ(form->iMode, 9);
    EXPECT_EQ(lcdMessage(), "FINISHING CURRENT RUN");
}

TEST_F(Commands, SetDefaultSequenceLoadsSequenceMethodAndSetPoints) {
    instrument->LineIndex = 1;
    form->SetDefaultSequence("S");
    EXPECT_EQ(instrument->Sequence.Name, "S");
    EXPECT_EQ(instrument->Sequence.MethodList.GetCount(), 2);
    EXPECT_EQ(instrument->Method.Name, "M1");
    EXPECT_EQ(instrument->LineIndex, 0);
    EXPECT_EQ(panel(3), "Sequence: S");
    EXPECT_EQ(panel(2), "Method: M1");
    EXPECT_DOUBLE_EQ(instrument->GetColumnSetPoint(), 40.0);
    EXPECT_DOUBLE_EQ(instrument->GetReactorSetPoint(), 50.0);
    EXPECT_NE(newLog().find("#SetDefaultSequence: S"), std::string::npos);

    // A method whose column temperature does not read: neither set point moves.
    form->SetDefaultSequence("Bad");
    EXPECT_EQ(instrument->Method.Name, "M2");
    EXPECT_EQ(panel(2), "Method: M2");
    EXPECT_DOUBLE_EQ(instrument->GetColumnSetPoint(), 40.0);
    EXPECT_DOUBLE_EQ(instrument->GetReactorSetPoint(), 50.0);

    // During a run the current line stays.
    for (uint8_t mode : {7, 8}) {
        form->iMode = mode;
        instrument->LineIndex = 1;
        form->SetDefaultSequence("S");
        EXPECT_EQ(instrument->LineIndex, 1);
    }
    form->iMode = 9;
    form->SetDefaultSequence("S");
    EXPECT_EQ(instrument->LineIndex, 0);
}

TEST_F(Commands, SetDefaultSequenceOfAMissingSequenceNamesNoMethod) {
    form->SetDefaultSequence("Nowhere");
    EXPECT_EQ(instrument->Sequence.Name, "Nowhere");
    EXPECT_EQ(instrument->Method.Name, "");
    EXPECT_EQ(panel(3), "Sequence: Nowhere");
    EXPECT_EQ(panel(2), "Method: ");
}

TEST_F(Commands, PrintRefusesWithoutMethodOrSequence) {
    form->Pring1Click();
    form->Print1Click();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, "Can not print: No Default Method set.");
    EXPECT_EQ(boxes.shown[0].title, "Error!");
    EXPECT_EQ(boxes.shown[1].text, "Can not print: No Default Sequence set.");
    EXPECT_EQ(boxes.shown[1].title, "Error!");
    const std::string log = newLog();
    EXPECT_NE(log.find("#menu: Method Print"), std::string::npos);
    EXPECT_NE(log.find("#menu: Sequence Print"), std::string::npos);
}

TEST_F(Commands, PrintAsksForTheCurrentMethodAndSequence) {
    form->SetDefaultSequence("S");
    form->Pring1Click();  // "No" is the default answer: nothing is printed
    form->Print1Click();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, "Print Method \"M1\"?");
    EXPECT_EQ(boxes.shown[1].text, "Print Sequence \"S\"?");
}

// ---------------------------------------------------------------- enable, stop and reset

TEST_F(Commands, EnableFailureShowsTheReason) {
    newLog();
    form->Enable1Click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Can't Enable Instrument:\n\nDefault Method Not Specified or Incorrect!");
    EXPECT_EQ(boxes.shown[0].title, "Error");
    EXPECT_EQ(boxes.shown[0].buttons, MsgButtons::OK);
    EXPECT_FALSE(instrument->Enabled);
    EXPECT_EQ(form->Enable1->GetCaption(), "Enable");
    EXPECT_NE(newLog().find("#menu: Control->Enable"), std::string::npos);
    EXPECT_FALSE(form->SetInstrumentEnabled(true));
}

TEST_F(Commands, EnableAndDisableToggleCaptionMessageAndMode) {
    instrument->Sequence.Name = "S";
    form->Enable1Click();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(instrument->Enabled);
    EXPECT_EQ(form->Enable1->GetCaption(), "Disable");
    EXPECT_EQ(lcdMessage(), "Instrument Enabled. Heaters are On.");
    EXPECT_EQ(form->iMode, 2);

    form->Enable1Click();
    EXPECT_FALSE(instrument->Enabled);
    EXPECT_EQ(form->Enable1->GetCaption(), "Enable");
    EXPECT_EQ(lcdMessage(), "Instrument Disabled. Heaters and Pumps are Off.");
    EXPECT_EQ(form->iMode, 3);
    EXPECT_TRUE(form->SetInstrumentEnabled(false));
}

TEST_F(Commands, StopHaltsEverythingAndResetUnloads) {
    enable();
    form->SetDefaultSequence("S");
    form->SetStatusText(1, "1 of 3");
    form->Pump1On->SetChecked(true);
    form->iMode = 7;
    rec.take();
    newLog();
    form->StopReset1->Click();
    EXPECT_EQ(form->StopReset1->GetCaption(), "Reset");
    EXPECT_EQ(form->RedLightImg->GetBrushColor(), QColor(Qt::red));
    EXPECT_EQ(form->iMode, 4);
    EXPECT_FALSE(instrument->Enabled);
    const std::vector<std::string> sent = rec.take();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), "<clear>");
    EXPECT_NE(std::find(sent.begin(), sent.end(), "OFF 0"), sent.end());
    EXPECT_NE(std::find(sent.begin(), sent.end(), "OFF 2"), sent.end());
    for (TUxMenuItem* m : {form->Control1, form->Method1, form->Sequence1, form->Instrument1})
        EXPECT_FALSE(m->GetEnabled());
    std::string log = newLog();
    ASSERT_NE(log.find("#menu: Stop"), std::string::npos);
    EXPECT_LT(log.find("#menu: Stop"), log.find("#main: Stop pressed"));
    EXPECT_LT(log.find("#main: Stop pressed"), log.find("#main: setMode(): mode=4; current mode=7"));
    EXPECT_EQ(lcdMessage(), "SYSTEM HALTED, INSTRUMENT STOPPED");

    form->StopReset1Click();
    EXPECT_EQ(form->StopReset1->GetCaption(), "Stop");
    EXPECT_EQ(form->RedLightImg->GetBrushColor(), QColor(0x80, 0, 0));
    EXPECT_EQ(form->iMode, 2);
    EXPECT_EQ(lcdMessage(), "INSTRUMENT RESET");
    for (TUxMenuItem* m : {form->Control1, form->Method1, form->Sequence1, form->Instrument1})
        EXPECT_TRUE(m->GetEnabled());
    EXPECT_FALSE(form->Pump1On->GetChecked());
    EXPECT_EQ(instrument->Method.Name, "");
    EXPECT_EQ(instrument->Sequence.Name, "");
    EXPECT_EQ(panel(3), "Sequence: NOT LOADED");
    EXPECT_EQ(panel(2), "Method: NOT LOADED");
    EXPECT_EQ(panel(1), "");
    log = newLog();
    EXPECT_NE(log.find("#main: Reset pressed"), std::string::npos);
}

// ---------------------------------------------------------------- other commands

TEST_F(Commands, ExitAsksTheCloseQuestion) {
    form->Exit1Click();  // "No" is the default answer
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "You asked to close ZentrovaKVZ software.\nPlease, confirm.");
    EXPECT_FALSE(form->IsClosing());
    EXPECT_NE(newLog().find("#menu: File->Exit"), std::string::npos);
}

}  // namespace
