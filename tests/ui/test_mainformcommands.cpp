// The main window's commands, menus and status bar: enablement and captions by mode, each
// command's boxes, log line and requested mode, Stop and Reset, enabling the instrument,
// starting and stopping a sequence, choosing the current one, the status panels.

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>

#include "MainFormHarness.h"
#include "methods/ExportImport.h"
#include "platform/i18n.h"
#include "support/StoredMethods.h"
#include "ui/MainFormCommands.h"

namespace {

using Handler = void (TMainFormCommands::*)();
using C = TMainFormCommands;
using Boxes = std::vector<std::string>;

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
        storeSequence("Empty", {});
        newLog();
    }
    void enable() {
        instrument->Sequence.Name = "S";
        ASSERT_TRUE(form->SetInstrumentEnabled(true));
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
    std::string menus() const {
        std::string out;
        for (TUxMenuItem* it :
             {form->Control1, form->Maintenance1, form->Instrument1, form->Method1, form->Sequence1})
            out += it->GetEnabled() ? '1' : '0';
        return out;
    }
};

TEST_F(Commands, ControlMenuOutsideTheIdleModesOffersOnlyTheEnable) {
    for (uint8_t mode : {0, 1, 4, 7, 8, 9, 11, 12, 13, 14, 15, 16, 17, 18, 19}) {
        form->iMode = mode;
        form->Control1Click();
        for (TUxMenuItem* it : {form->RefillPumps1, form->FlushPumps1, form->EmptyPumps1, form->Pump1On,
                                form->Pump2On, form->BothPumpsOn, form->BothPumpsOff})
            EXPECT_FALSE(it->GetEnabled()) << int(mode) << " " << it->objectName().toStdString();
        EXPECT_TRUE(form->Enable1->GetEnabled()) << int(mode);
    }
    enable();
    for (uint8_t mode : {12, 2}) {
        form->iMode = mode;
        form->Control1Click();
        EXPECT_EQ(form->Enable1->GetEnabled(), mode == 2);
        EXPECT_EQ(form->Enable1->GetCaption(), "Disable");
    }
}

TEST_F(Commands, EachTickShowsTheModeAndAdjustsTheMenus) {
    const struct {
        uint8_t mode;
        const char* text;   // nullptr: the mode's own details
        const char* menus;  // Control, Maintenance, Instrument, Method, Sequence; "": unchanged
    } rows[] = {{0, "NOT CONNECTED", "00111"}, {2, "READY", "11111"},         {4, "EMERGENCY STOP", "01000"},
                {3, "STOP", "01000"},          {2, "READY", "11111"},         {6, nullptr, "10111"},
                {7, nullptr, "01011"},         {8, "SEQ SUSPENDED", "01011"}, {9, "SEQ STOPPED", ""},
                {11, "FLUSH", "10111"},        {12, "REFILL", "11111"},       {15, "SYS PRESS TEST", "10111"},
                {17, "INSTR FLUSH", "10111"},  {18, "SEAL CHANGE", "10111"},  {19, "INSTRUMENT DISABLED", ""},
                {200, "UNKNOWN", ""}};
    for (const auto& r : rows) {
        if (*r.menus && r.mode != 3) form->UpdateMenus(2);  // after an emergency stop, stop changes nothing
        form->iMode = r.mode;
        form->UpdateMenus(r.mode);
        EXPECT_EQ(panel(0), r.text ? r.text : panel(0)) << int(r.mode);
        EXPECT_EQ(menus(), *r.menus ? r.menus : menus()) << int(r.mode);
        // The progress bar takes panel 1 while a procedure runs.
        EXPECT_EQ(form->StatusBar1->GetPanels()->GetItem(1)->GetStyle(),
                  r.mode >= 11 && r.mode <= 18 ? psOwnerDraw : psText)
            << int(r.mode);
    }
}

// The Control menu as it opens on a one- and a two-pump instrument, idle and with pumps on (each
// visible item's caption, "-" when disabled), and the status panel of the pump mode.
TEST_F(Commands, ControlMenuAndPumpPanelFollowThePumpsThereAreAndRun) {
    const struct {
        bool single;
        uint8_t mode;
        bool on1, on2;
        const char* items;
        const char* panel;  // mode 6 only
    } rows[] = {
        {true, 2, false, false, "Refill Pump,Flush Pump,Empty Pump,Pump On", ""},
        {false, 2, false, false,
         "Refill Pumps,Flush Pumps,Empty Pumps,Pump 1 On,Pump 2 On,Both Pumps On,Both Pumps Off-", ""},
        {true, 6, true, false, "Refill Pump-,Flush Pump-,Empty Pump-,Pump Off", "PUMP ON"},
        {false, 6, true, true,
         "Refill Pumps-,Flush Pumps-,Empty Pumps-,Pump 1 Off,Pump 2 Off,Both Pumps On-,Both Pumps Off",
         "PUMPS ON"},
        {false, 6, true, false,
         "Refill Pumps-,Flush Pumps-,Empty Pumps-,Pump 1 Off,Pump 2 On,Both Pumps On,Both Pumps Off",
         "PUMP 1 ON"},
        {false, 6, false, true,
         "Refill Pumps-,Flush Pumps-,Empty Pumps-,Pump 1 On,Pump 2 Off,Both Pumps On,Both Pumps Off",
         "PUMP 2 ON"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.single ? "single, " : "two, ") + std::to_string(r.mode) +
                     (r.on1 ? " 1" : "") + (r.on2 ? " 2" : ""));
        instrument->SinglePump = r.single;
        pumpsOn(r.on1, r.on2);
        form->iMode = r.mode;
        form->Control1Click();
        QStringList items;
        for (TUxMenuItem* it :
             {form->RefillPump, form->FlushPump, form->EmptyPump, form->RefillPumps1, form->FlushPumps1,
              form->EmptyPumps1, form->Pump1On, form->Pump2On, form->BothPumpsOn, form->BothPumpsOff})
            if (it->GetVisible()) items << it->GetCaption() + (it->GetEnabled() ? "" : "-");
        EXPECT_EQ(items.join(",").toStdString(), r.items);
        if (r.mode != 6) continue;
        form->UpdateMenus(6);
        EXPECT_EQ(panel(0).toStdString(), r.panel);
    }
}

// While a suspended sequence's equilibration runs, each tick empties the panel's message line.
TEST_F(Commands, SuspendedSequenceEmptiesTheMessageLineWhileItsEquilibrationRuns) {
    form->iMode = 8;
    instrument->EquilTimer.Start(30);
    for (bool running : {true, false}) {
        form->LCDScreen1->SetMessage("SEQUENCE S RESUMED");
        form->UpdateMenus(8);
        EXPECT_EQ(lcdMessage(), running ? "" : "SEQUENCE S RESUMED") << running;
        clock.fake.advanceSeconds(31);
    }
}

TEST_F(Commands, RunningAndSuspendedSequencePanelsAndMessages) {
    form->SetDefaultSequence("S");
    form->iMode = 7;
    instrument->RunState = 34;  // run in progress
    instrument->RunClock.Start(0);
    clock.fake.advanceSeconds(90);
    instrument->RunCounter = 2;
    instrument->LineIndex = 0;
    instrument->TempRamping = true;
    form->UpdateMenus(7);
    EXPECT_EQ(panel(0) + " | " + panel(1) + " | " + panel(2), "RUN (1.5) | 2 of 3 | Method (1): M1");
    EXPECT_EQ(lcdMessage(), "DOING TEMP RAMPING");
    EXPECT_EQ(form->LCDScreen1->Message1Ticks, 2);
}

QString asked(const char* what, int minutes) {
    return QString(
               "You requested %1 procedure. It will take approximately %2 minutes. Do you want to continue?")
        .arg(what)
        .arg(minutes);
}

TEST_F(Commands, EachProcedureCommandConfirmsLogsAndRequestsItsModeAndRefillRefusesAPumpAbove82) {
    const struct {
        Handler handler;
        const char* log;
        double v1, v2;
        uint8_t mode;  // 2: refused
        QString box;
    } rows[] = {
        {&C::RefillPumpClick, "Refill Pump", 82.0, 0.0, 12, asked("the Refill Pump", 2)},
        {&C::RefillPump1Click, "Refill Pump1", 82.0, 0.0, 12, asked("the Refill Pump1", 4)},
        {&C::RefillPump2Click, "Refill Pump2", 90.0, 82.0, 12, asked("the Refill Pump2", 4)},
        {&C::RefillBothPumpsClick, "Refill Both Pumps", 82.0, 82.0, 12, asked("the Refill Pumps", 4)},
        {&C::RefillPumpClick, "Refill Pump", 82.01, 0.0, 2, "Please, empty Pump first."},
        {&C::RefillPump1Click, "Refill Pump1", 82.01, 0.0, 2, "Please, empty Pump 1."},
        {&C::RefillPump2Click, "Refill Pump2", 0.0, 90.0, 2, "Please, empty Pump 2."},
        {&C::RefillBothPumpsClick, "Refill Both Pumps", 90.0, 90.0, 2, "Please, empty both pumps."},
        {&C::RefillBothPumpsClick, "Refill Both Pumps", 10.0, 90.0, 2, "Please, empty Pump 2."},
        {&C::RefillBothPumpsClick, "Refill Both Pumps", 90.0, 10.0, 2, "Please, empty Pump 1."},
        {&C::FlushPumpClick, "Flush Pump", 0, 0, 11, asked("Flush Pump(s)", 10)},
        {&C::FlushPump2Click, "Flush Pump2", 0, 0, 11, asked("the Flush Pump2", 6)},
        {&C::EmptyPumpClick, "Empty Pump", 0, 0, 16, "You are asking to empty the Pump. Continue?"},
        {&C::EmptyPump2Click, "Empty Pump2", 0, 0, 16, "You are asking to empty the Pump 2. Continue?"},
        {&C::EmptyBothPumpsClick, "Empty Both Pumps", 0, 0, 16,
         "You are asking to empty the pumps. Continue?"},
        {&C::PrepareforStorageShipping1Click, "Maintenance->Prepare for Storage", 0, 0, 13,
         "You requested the Prepare for Storage/Shipping Procedure.\n\nIt will take approximately 30 "
         "minutes.\n\nDo you want to continue?"},
        {&C::FlushInstrument1Click, "Maintenance->Flush Instrument", 0, 0, 17,
         "You requested the Instrument Flush Procedure.\n\nIt will take approximately 20 minutes.\n\nDo you "
         "want to continue?"}};
    enable();
    for (const auto& r : rows) {
        for (bool yes : {false, true}) {
            SCOPED_TRACE(std::string(r.log) + " " + std::to_string(r.v1) + (yes ? " yes" : " no"));
            form->iMode = 2;
            volumes(r.v1, r.v2);
            newLog();
            if (yes) boxes.answer(mrYes);
            (form.get()->*r.handler)();
            ASSERT_EQ(boxes.shown.size(), 1u);
            // a question with No as its default; a refusal is a plain notice
            EXPECT_EQ(boxes.shown[0].buttons == MsgButtons::YesNo && boxes.shown[0].defaultButton == mrNo,
                      r.mode != 2);
            EXPECT_EQ(takeBoxes(), Boxes{"Warning: " + r.box.toStdString()});
            EXPECT_TRUE(has(newLog(), std::string("#menu: ") + r.log + "\n"));
            EXPECT_EQ(form->iMode, yes ? r.mode : 2);
        }
    }
}

TEST_F(Commands, CommandsOnADisabledInstrumentAskToEnableItFirst) {
    const std::string enableFirst = "You have to Enable Instrument first. Do you want to Enable Instrument?";
    answers({mrYes, mrNo});  // the flush; not enabled: enable it? No
    form->FlushInstrument1Click();
    EXPECT_EQ(boxes.shown.at(1).defaultButton, mrNo);
    EXPECT_EQ(takeBoxes().at(1), "Error: Can not start Instrument Flush Procedure. " + enableFirst);
    form->Pump1OnClick();  // "No" is the default answer
    EXPECT_EQ(takeBoxes(), Boxes{"Error: " + enableFirst});
    EXPECT_EQ(form->iMode, 2);
    EXPECT_FALSE(instrument->Enabled);
    EXPECT_TRUE(has(newLog(), "#menu: Pump1 On"));

    instrument->Sequence.Name = "S";
    boxes.answer(mrYes);
    form->Pump2OnClick();
    EXPECT_TRUE(instrument->Enabled);
    EXPECT_EQ(instrument->Channel2->State, 1);
    EXPECT_EQ(form->iMode, 6);
}

TEST_F(Commands, PumpsOnAndOff) {
    // A pump switched off keeps the pump mode while the other runs.
    pumpsOn(true, true);
    rec.take();
    form->Pump1OnClick();
    EXPECT_EQ(rec.take(), std::vector<std::string>{"OFF 0"});
    EXPECT_EQ(form->iMode, 6);
    pumpsOn(false, true);
    form->Pump2OnClick();
    EXPECT_EQ(rec.take(), std::vector<std::string>{"OFF 2"});
    EXPECT_EQ(form->iMode, 3);

    // Both off: each running pump's own toggle, and the pumps are done.
    for (bool both : {true, false}) {
        pumpsOn(true, both);
        form->BothPumpsOffClick();
        EXPECT_EQ(rec.take(), both ? (Boxes{"OFF 0", "OFF 2"}) : Boxes{"OFF 0"});
        EXPECT_TRUE(both || form->iMode == 3);
    }
}

TEST_F(Commands, StartSequenceByModeVolumesAndSequence) {
    const std::string canNot = "Error: Can not start Sequence. ";
    const struct {
        uint8_t mode;
        double volume;
        const char* sequence;
        std::string box;  // "": none
        uint8_t modeAfter;
        const char* lcd;  // nullptr: not checked
    } rows[] = {
        // The first row finds the instrument disabled: enabling is all it gets.
        {2, 100, "S", canNot + "You have to Enable Instrument first. Do you want to Enable Instrument?", 2,
         nullptr},
        {2, 1, "S", canNot + "Please, refill your pumps to the appropriate volume.", 2, nullptr},
        {2, 100, "Empty", canNot + "Sequence \"Empty\" has no lines.", 2, nullptr},
        {9, 100, "S", "", 9, nullptr},
        {17, 100, "S", "", 17, nullptr},
        {6, 100, "S", "", 7, "SEQUENCE S STARTED"},
        {7, 100, "S", "", 8, "FINISHING CURRENT RUN"},
        {8, 100, "S", "", 7, nullptr}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.mode) + " " + r.sequence);
        form->SetDefaultSequence(r.sequence);
        volumes(r.volume, r.volume);
        form->iMode = r.mode;
        instrument->RunState = 34;
        instrument->RunCounter = 2;
        boxes.answer(mrYes);
        const bool wasEnabled = instrument->Enabled;
        rec.take();
        form->StartSequence1Click();
        EXPECT_EQ(takeBoxes(), r.box.empty() ? Boxes{} : Boxes{r.box});
        EXPECT_EQ(form->iMode, r.modeAfter);
        EXPECT_TRUE(instrument->Enabled);
        EXPECT_EQ(lcdMessage(), r.lcd ? r.lcd : lcdMessage());
        if (wasEnabled && r.modeAfter == r.mode) {
            EXPECT_TRUE(rec.take().empty());
            EXPECT_EQ(instrument->RunCounter, 2);
        }
        EXPECT_EQ(instrument->RunCounter == 0, r.mode == 6);  // a started sequence's run fields start over
    }
}

TEST_F(Commands, SetDefaultSequenceLoadsSequenceMethodAndSetPoints) {
    instrument->LineIndex = 1;
    form->SetDefaultSequence("S");
    EXPECT_EQ(instrument->LineIndex, 0);
    EXPECT_EQ(panel(3), "Sequence: S");
    EXPECT_EQ(panel(2), "Method: M1");
    EXPECT_DOUBLE_EQ(instrument->GetColumnSetPoint(), 40.0);
    EXPECT_DOUBLE_EQ(instrument->GetReactorSetPoint(), 50.0);

    // A method whose column temperature does not read: neither set point moves.
    form->SetDefaultSequence("Bad");
    EXPECT_EQ(panel(2), "Method: M2");
    EXPECT_DOUBLE_EQ(instrument->GetColumnSetPoint(), 40.0);
    EXPECT_DOUBLE_EQ(instrument->GetReactorSetPoint(), 50.0);

    // During a run the current line stays.
    for (uint8_t mode : {7, 8, 9}) {
        form->iMode = mode;
        instrument->LineIndex = 1;
        form->SetDefaultSequence("S");
        EXPECT_EQ(instrument->LineIndex, mode == 9 ? 0 : 1) << int(mode);
    }
}

// An import stored a method of the loaded sequence: its set points show at once; a run in
// progress keeps the method it started with.
TEST_F(Commands, AnImportedMethodOfTheLoadedSequenceShowsAtOnceOutsideARun) {
    form->SetDefaultSequence("S");
    TMethodINIParams m1 = plainMethod("M1");
    m1.ColumnT = "45";
    m1.ReactorT = "60";
    storeMethod(m1);
    ASSERT_TRUE(OnLoadedSequenceStored);
    for (uint8_t mode : {7, 8, 9, 2}) {
        form->iMode = mode;
        OnLoadedSequenceStored();
        const bool follows = mode == 2;
        EXPECT_EQ(instrument->Method.ColumnT, follows ? "45" : "40") << int(mode);
        EXPECT_DOUBLE_EQ(instrument->GetColumnSetPoint(), follows ? 45.0 : 40.0) << int(mode);
        EXPECT_DOUBLE_EQ(instrument->GetReactorSetPoint(), follows ? 60.0 : 50.0) << int(mode);
    }
}

TEST_F(Commands, EnableAndDisableToggleCaptionMessageAndMode) {
    form->Enable1Click();
    EXPECT_EQ(boxes.shown.at(0).buttons, MsgButtons::OK);
    EXPECT_EQ(takeBoxes(),
              Boxes{"Error: Can't Enable Instrument:\n\nDefault Method Not Specified or Incorrect!"});
    instrument->Sequence.Name = "Empty";
    EXPECT_FALSE(form->SetInstrumentEnabled(true));
    EXPECT_EQ(takeBoxes(), Boxes{"Error: Can't Enable Instrument:\n\nSequence \"Empty\" has no lines."});
    EXPECT_FALSE(instrument->Enabled);
    instrument->Sequence.Name = "S";
    for (bool on : {true, false}) {
        form->Enable1Click();
        EXPECT_EQ(instrument->Enabled, on);
        EXPECT_EQ(form->Enable1->GetCaption(), on ? "Disable" : "Enable");
        EXPECT_EQ(lcdMessage(), on ? "Instrument Enabled. Heaters are On."
                                   : "Instrument Disabled. Heaters and Pumps are Off.");
        EXPECT_EQ(form->iMode, on ? 2 : 3);
    }
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Commands, StopHaltsEverythingAndResetUnloads) {
    enable();
    form->SetDefaultSequence("S");
    form->SetStatusText(1, "1 of 3");
    form->Pump1On->SetChecked(true);
    form->iMode = 7;
    rec.take();
    form->StopReset1->Click();
    EXPECT_EQ(form->StopReset1->GetCaption(), "Reset");
    EXPECT_EQ(form->iMode, 4);
    EXPECT_FALSE(instrument->Enabled);
    const std::vector<std::string> sent = rec.take();
    EXPECT_EQ(Boxes(sent.begin(), sent.begin() + 3), (Boxes{"<clear>", "OFF 0", "OFF 2"}));
    EXPECT_FALSE(form->Method1->GetEnabled());

    form->StopReset1Click();
    EXPECT_EQ(form->StopReset1->GetCaption(), "Stop");
    EXPECT_EQ(form->iMode, 2);
    EXPECT_EQ(lcdMessage(), "INSTRUMENT RESET");
    EXPECT_TRUE(form->Method1->GetEnabled());
    EXPECT_FALSE(form->Pump1On->GetChecked());
    EXPECT_EQ(panel(1) + panel(2) + panel(3), "Method: NOT LOADEDSequence: NOT LOADED");
}

TEST_F(Commands, SequenceInstrumentAndHelpMenusFollowTheModeAsTheyOpen) {
    // A stopping sequence (9) finishes its run before anything is started or suspended.
    const struct {
        uint8_t mode;
        const char *start, *stop;  // caption, "+" when enabled
        bool sendLog;
    } rows[] = {{0, "Start Sequence", "Stop Sequence", true},
                {2, "Start Sequence+", "Stop Sequence", true},
                {3, "Start Sequence+", "Stop Sequence", true},
                {4, "Start Sequence", "Stop Sequence", false},
                {6, "Start Sequence+", "Stop Sequence", false},
                {7, "Suspend Sequence+", "Stop Sequence+", false},
                {8, "Resume Sequence+", "Stop Sequence+", false},
                {9, "Suspend Sequence", "Stopping Sequence...", false},
                {11, "Start Sequence", "Stop Sequence", false},
                {12, "Start Sequence", "Stop Sequence", false},
                {17, "Start Sequence", "Stop Sequence", false},
                {19, "Start Sequence", "Stop Sequence", false},
                {1, "Start Sequence", "Stop Sequence", false}};
    const auto item = [](TUxMenuItem* it) {
        return (it->GetCaption() + (it->GetEnabled() ? "+" : "")).toStdString();
    };
    for (const auto& r : rows) {
        form->iMode = r.mode;
        // What the last opening left must not count.
        form->StartSequence1->SetEnabled(!std::string(r.start).ends_with('+'));
        form->StopSequence1->SetEnabled(!std::string(r.stop).ends_with('+'));
        form->SendLogToSupport1->SetEnabled(!r.sendLog);
        form->Sequence1Click();
        form->Help1Click();
        EXPECT_EQ(item(form->StartSequence1), r.start) << int(r.mode);
        EXPECT_EQ(item(form->StopSequence1), r.stop) << int(r.mode);
        EXPECT_EQ(form->SendLogToSupport1->GetEnabled(), r.sendLog) << int(r.mode);
    }
    // The pressure test's item for the pump count, in every mode.
    for (bool single : {true, false, true}) {
        instrument->SinglePump = single;
        form->Instrument1Click();
        EXPECT_EQ(form->TestPressure1->GetVisible(), single);
        EXPECT_EQ(form->TestPressure2->GetVisible(), !single);
    }
}

TEST_F(Commands, ServiceKeysNeedControlAndAltAndShowTheirWindows) {
    instrument->IP = "10.1.2.3";
    const struct {
        int key;
        Qt::KeyboardModifiers mods;
        QWidget* shown;  // nullptr: none
    } rows[] = {
        {Qt::Key_C, Qt::ControlModifier | Qt::AltModifier, link.get()},
        {Qt::Key_L, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier, log.get()},
        {Qt::Key_H, Qt::ControlModifier | Qt::AltModifier, hplc.get()},
        {Qt::Key_I, Qt::ControlModifier | Qt::AltModifier, instrument.get()},
        {Qt::Key_C, Qt::ControlModifier, nullptr},
        {Qt::Key_L, Qt::AltModifier, nullptr},
        {Qt::Key_I, Qt::ShiftModifier, nullptr},
        {Qt::Key_S, Qt::ControlModifier | Qt::AltModifier, nullptr},
    };
    for (const auto& r : rows) {
        for (QWidget* w :
             std::initializer_list<QWidget*>{link.get(), log.get(), hplc.get(), instrument.get()})
            w->hide();
        QKeyEvent press(QEvent::KeyPress, r.key, r.mods);
        QCoreApplication::sendEvent(form.get(), &press);
        for (QWidget* w :
             std::initializer_list<QWidget*>{link.get(), log.get(), hplc.get(), instrument.get()})
            EXPECT_EQ(w->isVisible(), w == r.shown) << r.key << " " << w->objectName().toStdString();
        EXPECT_FALSE(form->isVisible() && QApplication::activeModalWidget()) << "not modal";
    }
    EXPECT_EQ(link->IPAddress, "10.1.2.3") << "the link window gets the configured address";
    for (QWidget* w : std::initializer_list<QWidget*>{link.get(), log.get(), hplc.get(), instrument.get()})
        w->hide();
}

TEST_F(Commands, StopKeyImageTakesTheLeftButtonOnly) {
    enable();
    form->iMode = 2;
    rec.take();
    for (Qt::MouseButton b : {Qt::RightButton, Qt::MiddleButton}) {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), b, b, Qt::NoModifier);
        QCoreApplication::sendEvent(form->StopBtnImg, &press);
    }
    EXPECT_EQ(form->iMode, 2);
    EXPECT_TRUE(rec.take().empty());
    EXPECT_EQ(newLog(), "");
    QMouseEvent left(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(form->StopBtnImg, &left);
    EXPECT_EQ(form->iMode, 4);
    EXPECT_EQ(form->StopReset1->GetCaption(), "Reset");
    EXPECT_TRUE(
        inOrder(newLog(), {"#menu: Stop Button Image clicked\n", "#menu: Stop\n", "#main: Stop pressed\n"}));
    EXPECT_EQ(rec.take().front(), "<clear>");
}

TEST_F(Commands, PrintRefusesWithoutACurrentMethodOrSequence) {
    const struct {
        Handler print;
        const char *line, *box;
    } rows[] = {
        {&C::Pring1Click, "#menu: Method Print", "Error!: Can not print: No Default Method set."},
        {&C::Print1Click, "#menu: Sequence Print", "Error!: Can not print: No Default Sequence set."}};
    for (const auto& r : rows) {
        (form.get()->*r.print)();
        EXPECT_EQ(takeBoxes(), Boxes{r.box});
        EXPECT_TRUE(has(newLog(), std::string(r.line) + "\n")) << r.line;
    }
}

}  // namespace
