// The pressure tests' step machine against the stand-in instrument: boxes and their answers,
// the commands of each phase, the timing of the pressurise limit and the two ten-minute
// phases, the pass and error thresholds, the result texts, the release and emptying, and the
// single-pump cases.
#include <QDate>
#include <QFile>
#include <QFont>
#include <QLabel>
#include <QLocale>
#include <QPrinter>
#include <map>

#include "link/Instrument.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Printer.h"
#include "ui/PressureTest.h"
#include "ui/test_pressuretest_rig.h"

namespace {

const QString kBlock470 =
    "\nPressure after 10 minutes: 470 psi\nPressure after 20 minutes: 470 psi\nPressure Drop: 0 psi\nPassing "
    "Criteria: 50 psi/10 min";

class PressureTestTest : public RigHarness {
  protected:
    void SetUp() override {
        RigHarness::SetUp();
        test = std::make_unique<TPressureTest>();
        PressureTest = test.get();
        pdf = QString::fromStdString(env->dir + "/sheet.pdf");
        printer::setDialogHandler([this](QPrinter& p) {
            ++printDialogs;
            p.setOutputFormat(QPrinter::PdfFormat);
            p.setOutputFileName(pdf);
            return printConfirmed;
        });
        ZentrovaAPI.Reactor.Temperature = 25.0;
    }
    void TearDown() override {
        printer::setDialogHandler(nullptr);
        test.reset();
        RigHarness::TearDown();
    }
    // One tick of the test and one second of the instrument; the step's result.
    bool step() {
        const bool busy = test->Step();
        second();
        return busy;
    }
    // Steps until the machine is in state s before a step; the steps taken (-1: not reached).
    int runTo(uint8_t s, int limit = 4000) {
        for (int n = 0; n < limit; ++n) {
            if (test->TestState == s) return n;
            step();
        }
        return test->TestState == s ? limit : -1;
    }
    // The operator answers Yes, OK, OK to the three boxes before the pressurising.
    void agree() {
        boxes.answer(mrYes);
        boxes.answer(mrOk);
        boxes.answer(mrOk);
    }
    const MessageRequest* box(const QString& title, int nth = 0) const {
        for (const MessageRequest& r : boxes.shown)
            if (r.title == title && nth-- == 0) return &r;
        return nullptr;
    }

    std::unique_ptr<TPressureTest> test;
    QString pdf;
    int printDialogs = 0;
    bool printConfirmed = true;
};

TEST_F(PressureTestTest, RefusalsEndAtOnceWithoutMovingAnything) {
    test->StartPumpTest(3);
    EXPECT_FALSE(step());  // No is the default of the first box
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Please, confirm");
    EXPECT_EQ(
        boxes.shown[0].text,
        "You requested Pump Pressure Test Procedure.\n\nPlease, follow step-by-step instructions.\n\nDo you "
        "want to continue?");
    EXPECT_EQ(boxes.shown[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(boxes.shown[0].defaultButton, mrNo);

    test->StartSystemTest();
    boxes.answer(mrYes);
    boxes.answer(mrCancel);
    EXPECT_TRUE(step());
    EXPECT_TRUE(step());
    EXPECT_FALSE(step());
    EXPECT_EQ(boxes.shown[1].text.left(48), "You requested System Pressure Test Procedure.\n\nP");
    EXPECT_EQ(
        boxes.shown[2].text,
        "Pressure Test Procedure is about to start.\n\nPlease, remove analytical column and replace it with "
        "a blocked union.\n\nPlease, make sure the Flush Reservoir is filled with 80/20 "
        "Water/Methanol.\n\nReady to continue?");
    EXPECT_EQ(boxes.shown[2].buttons, MsgButtons::OKCancel);
    EXPECT_TRUE(rig.take().empty());
}

TEST_F(PressureTestTest, TicksDuringABoxDoNothing) {
    test->StartPumpTest(1);
    boxes.answer(mrYes);
    int nested = 0;
    boxes.onShow = [&](const MessageRequest&) {
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(test->Step());
        nested += 3;
        EXPECT_EQ(test->TestState, TPressureTest::eptParked);
    };
    step();
    EXPECT_EQ(nested, 3);
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(test->TestState, 1);
    EXPECT_EQ(test->TickCount, 1);
}

TEST_F(PressureTestTest, SystemTestNeedsTheReactorAtMost40) {
    instrument->Enabled = true;
    ZentrovaAPI.Reactor.Temperature = 40.1;
    test->StartSystemTest();
    boxes.answer(mrYes);
    step();
    EXPECT_FALSE(step());
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].title, "Test execution stopped");
    EXPECT_EQ(boxes.shown[1].text,
              "Reactor Temperature must be less than 40 to perform the test. Test execution stopped.");
    EXPECT_FALSE(PumpRig::has(rig.take(), "CHEAT OFF"));

    ZentrovaAPI.Reactor.Temperature = 40.0;
    test->StartSystemTest();
    boxes.answer(mrYes);
    step();
    step();
    EXPECT_EQ(test->TestState, 2);
    const auto sent = rig.take();
    EXPECT_TRUE(PumpRig::has(sent, "CHEAT OFF"));
    EXPECT_TRUE(PumpRig::has(sent, "RHEAT OFF"));
    EXPECT_FALSE(instrument->Enabled);
}

TEST_F(PressureTestTest, PumpTestOfBothPumpsRunsItsPhasesAndPasses) {
    instrument->Enabled = true;
    test->StartPumpTest(3);
    agree();
    boxes.answer(mrNo);  // no print

    ASSERT_GE(runTo(5), 0);
    auto sent = rig.take();
    EXPECT_TRUE(PumpRig::has(sent, "CHEAT OFF"));
    EXPECT_TRUE(PumpRig::has(sent, "VALVE 1 1"));  // the flush goes through its positions
    EXPECT_TRUE(PumpRig::has(sent, "VALVE 2 5"));

    step();  // 5: both valves to 5
    EXPECT_EQ(rig.take(), (std::vector<std::string>{"VALVE 1 5", "VALVE 2 5"}));
    ASSERT_GE(runTo(7), 0);
    step();  // 7: fill to 65 ml
    EXPECT_EQ(rig.take(), (std::vector<std::string>{"MS 0 32;ML 0 55.00;RVS 0", "MS 2 32;ML 2 55.00;RVS 2"}));
    ASSERT_GE(runTo(9), 0);
    EXPECT_GE(ZentrovaAPI.Pump1.Volume, 65.0);
    rig.take();
    step();  // 9: a pump test closes the valves at 3
    EXPECT_EQ(rig.take(), (std::vector<std::string>{"VALVE 1 3", "VALVE 2 3"}));
    ASSERT_GE(runTo(TPressureTest::eptPressuriseTo480psiStart), 0);
    const MessageRequest* instructions = box("Instructions");
    ASSERT_TRUE(instructions);
    EXPECT_EQ(
        instructions->text,
        "The pump(s) are now ready for pressure test.\n\nPlease, brush a kim-wipe around all the connections "
        "of the valve and pump looking for leaks.\nRemove Waste line (from port 6) and look for a small "
        "leak.\nA leak in the small o-rings of the valve will result in a small leak out of port 6.\n\nPress "
        "OK when ready to continue.");
    EXPECT_EQ(instructions->buttons, MsgButtons::OK);

    newLog();
    ASSERT_GE(runTo(17), 0);
    sent = rig.take();
    const std::vector<std::string> firstStage = {"STOPPRESSURE 1 370.00", "MS 0 1;ML 0 0.01;FWD 0",
                                                 "STOPPRESSURE 2 370.00", "MS 2 1;ML 2 0.01;FWD 2"};
    for (const auto& c : firstStage) EXPECT_TRUE(PumpRig::has(sent, c)) << c;
    EXPECT_TRUE(PumpRig::has(sent, "STOPPRESSURE 1 470.00"));
    EXPECT_TRUE(PumpRig::has(sent, "MS 0 1;ML 0 0.001;FWD 0"));
    EXPECT_FALSE(PumpRig::has(sent, "OFF 0"));  // the instrument stops the pump itself
    const std::string log = newLog();
    EXPECT_EQ(count(log, "PressureTestDialog: case eptPressuriseTo480psiStart"), 1);
    EXPECT_EQ(count(log, "PressureTestDialog: case eptPressuriseTo480psiWaitForStatus"), 1);
    EXPECT_GE(count(log, "PressureTestDialog: case eptPressuriseTo480psi\n"), 2);
    EXPECT_NE(log.find("#LCDFrame: Message=PRESSURIZING PUMP(S) timeout=-1"), std::string::npos);

    // Ten minutes of equilibration: the readings A come 601 ticks after the timer's start.
    step();
    EXPECT_EQ(runTo(19), 601);
    step();
    EXPECT_EQ(test->Pump1ReadingA, 470);
    EXPECT_EQ(test->Pump2ReadingA, 470);
    EXPECT_EQ(runTo(21), 601);
    step();
    EXPECT_EQ(lcdMessage(), "");
    const MessageRequest* result = box("Pressure Test Result");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->text, "Pump1 passes the Pressure Test." + kBlock470 +
                                "\n\nPump2 passes the Pressure Test." + kBlock470 +
                                "\n\nPrint test results?");
    EXPECT_EQ(result->buttons, MsgButtons::YesNo);
    EXPECT_EQ(result->defaultButton, mrNo);
    EXPECT_EQ(printDialogs, 0);

    // Release, then empty through position 1.
    rig.take();
    step();
    EXPECT_EQ(rig.take(), (std::vector<std::string>{"MS 0 1;ML 0 0.01;RVS 0", "MS 2 1;ML 2 0.01;RVS 2"}));
    int left = 200;
    while (step() && --left > 0) {
    }
    EXPECT_EQ(test->TestState, TPressureTest::eptEnd);
    sent = rig.take();
    EXPECT_TRUE(PumpRig::has(sent, "OFF 0"));
    EXPECT_TRUE(PumpRig::has(sent, "VALVE 1 1"));
    EXPECT_TRUE(PumpRig::has(sent, "MS 0 32;ML 0 55.00;FWD 0"));
    EXPECT_LE(ZentrovaAPI.Pump1.Volume, 0.0);
    EXPECT_EQ(instrument->PercentDone, test->TickCount * 100 / 1800);
    EXPECT_TRUE(boxes.shown.size() == 4u);
}

TEST_F(PressureTestTest, CountdownShowsMinutesLeftPlusOne) {
    test->StartPumpTest(1);
    test->TestState = 17;
    ZentrovaAPI.Pump1.Pressure = 470.0;
    step();
    std::map<int32_t, QString> shown;
    while (test->TestState == 18) {
        step();
        shown[test->LastSecondsShown] = lcdMessage();
    }
    EXPECT_EQ(shown[599], "EQUILIBRATING PRESSURE. 10 MIN LEFT.");
    EXPECT_EQ(shown[540], "EQUILIBRATING PRESSURE. 10 MIN LEFT.");
    EXPECT_EQ(shown[539], "EQUILIBRATING PRESSURE. 9 MIN LEFT.");
    EXPECT_EQ(shown[60], "EQUILIBRATING PRESSURE. 2 MIN LEFT.");
    EXPECT_EQ(shown[59], "EQUILIBRATING PRESSURE. 1 MIN LEFT.");
    EXPECT_EQ(shown[0], "EQUILIBRATING PRESSURE. 1 MIN LEFT.");
    step();  // 19
    step();
    EXPECT_EQ(lcdMessage(), "MEASURING PRESSURE CHANGE. 10 MIN LEFT.");
}

TEST_F(PressureTestTest, PressureNotReachedWithinThreeMinutesStopsTheTest) {
    rig.pumps[0].canPressurise = false;
    test->StartPumpTest(1);
    agree();
    ASSERT_GE(runTo(TPressureTest::eptPressuriseTo480psiStart), 0);
    const int64_t start = appClock().seconds();
    int64_t shownAt = 0;
    boxes.onShow = [&](const MessageRequest&) { shownAt = appClock().seconds(); };
    newLog();
    for (int n = 0; n < 400 && !box("Pressure Test Error"); ++n) step();
    EXPECT_EQ(shownAt - start, 181);
    EXPECT_EQ(test->TestState, 23);  // the tick runs the release once the box is closed
    const MessageRequest* error = box("Pressure Test Error");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->icon, MsgIcon::Error);
    EXPECT_EQ(error->text,
              "Pumps could not reach target pressure of 470 psi in 3 minutes.\n\nStopping the test.");
    EXPECT_EQ(test->LastErrorText, error->text);
    EXPECT_NE(
        newLog().find("PressureTest: checkForErrors(): problem found, displayed: Pumps could not reach"),
        std::string::npos);
    // The release and emptying still run; no second check.
    int left = 200;
    while (step() && --left > 0) {
    }
    EXPECT_EQ(test->TestState, TPressureTest::eptEnd);
    EXPECT_EQ(boxes.shown.size(), 4u);
}

TEST_F(PressureTestTest, ADropOfExactly50FailsTheResultButNotTheCheck) {
    test->StartPumpTest(1);
    test->TestState = 19;
    ZentrovaAPI.Pump1.Pressure = 470.9;
    step();
    EXPECT_EQ(test->Pump1ReadingA, 470);
    ZentrovaAPI.Pump1.Pressure = 420.0;
    ASSERT_GE(runTo(22), 0);
    EXPECT_FALSE(box("Pressure Test Error"));
    EXPECT_EQ(test->Pump1Drop, 50);
    const MessageRequest* result = box("Pressure Test Result");
    ASSERT_TRUE(result);
    EXPECT_EQ(
        result->text,
        "Pump1 Channel has a problem holding the pressure.\nPressure after 10 minutes: 470 psi\nPressure "
        "after "
        "20 minutes: 420 psi\nPressure Drop: 50 psi\nPassing Criteria: 50 psi/10 min\n\nPrint test results?");
}

TEST_F(PressureTestTest, AFallOfMoreThan50WhileMeasuringStopsTheTest) {
    test->StartPumpTest(3);
    test->TestState = 19;
    ZentrovaAPI.Pump1.Pressure = ZentrovaAPI.Pump2.Pressure = 470.0;
    step();
    for (int i = 0; i < 149; ++i) step();
    ZentrovaAPI.Pump2.Pressure = 419.9;
    boxes.onShow = [&](const MessageRequest&) { EXPECT_EQ(test->TestState, 22); };
    step();
    const MessageRequest* error = box("Pressure Test Error");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text, "Pressure in Pump 2 fell more than 50 psi in 3 minutes.\n\nStopping the test.");
    EXPECT_FALSE(box("Pressure Test Result"));
    EXPECT_TRUE(test->ErrorShown);
}

TEST_F(PressureTestTest, PressureBelow300AfterPressurisingStopsTheTest) {
    test->StartPumpTest(3);
    test->TestState = 17;
    ZentrovaAPI.Pump1.Pressure = 299.9;
    ZentrovaAPI.Pump2.Pressure = 470.0;
    step();
    ASSERT_TRUE(box("Pressure Test Error"));
    EXPECT_EQ(box("Pressure Test Error")->text,
              "Pressure in Pump 1 fell below 300 psi.\n\nStopping the test.");

    // A fall found while measuring gives way to pump 2 below 300.
    test->StartPumpTest(3);
    test->TestState = 20;
    test->PhaseTimer.Start(600);
    test->Pump1ReadingA = 470;
    ZentrovaAPI.Pump1.Pressure = 400.0;
    ZentrovaAPI.Pump2.Pressure = 250.0;
    step();
    ASSERT_TRUE(box("Pressure Test Error", 1));
    EXPECT_EQ(box("Pressure Test Error", 1)->text,
              "Pressure in Pump 2 fell below 300 psi.\n\nStopping the test.");

    // A pump that is not tested is not checked.
    test->StartPumpTest(2);
    test->TestState = 18;
    test->PhaseTimer.Start(600);
    ZentrovaAPI.Pump1.Pressure = 0.0;
    ZentrovaAPI.Pump2.Pressure = 470.0;
    step();
    EXPECT_FALSE(box("Pressure Test Error", 2));
}

TEST_F(PressureTestTest, ReleaseWaitsForEachPumpBelow10PsiOrStopped) {
    test->StartPumpTest(3);
    test->TestState = 24;
    ZentrovaAPI.Pump1.State = ZentrovaAPI.Pump2.State = 2;
    ZentrovaAPI.Pump1.Pressure = 10.0;
    ZentrovaAPI.Pump2.Pressure = 10.5;
    test->Step();
    EXPECT_EQ(rig.take(), std::vector<std::string>{"OFF 0"});
    EXPECT_EQ(test->TestState, 24);
    ZentrovaAPI.Pump1.State = 0;
    ZentrovaAPI.Pump2.Pressure = 2.0;
    test->Step();
    EXPECT_EQ(rig.take(), std::vector<std::string>{"OFF 2"});
    EXPECT_EQ(test->TestState, 25);
}

TEST_F(PressureTestTest, ResultBoxLetsTheReleaseRunAndPrintsTheSheet) {
    test->StartPumpTest(1);
    test->TestState = 21;
    test->Pump1ReadingA = 470;
    ZentrovaAPI.Pump1.Pressure = 465.0;
    ZentrovaAPI.Pump2.Pressure = 0.0;
    boxes.answer(mrYes);
    boxes.onShow = [&](const MessageRequest&) {
        test->Step();
        EXPECT_EQ(rig.take(), std::vector<std::string>{"MS 0 1;ML 0 0.01;RVS 0"});
    };
    test->Step();
    EXPECT_EQ(test->TestState, 23);
    EXPECT_EQ(printDialogs, 1);
    QFile f(pdf);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.read(4) == "%PDF");
    EXPECT_GT(f.size(), 1000);
    EXPECT_EQ(printer::lastPrintedImage().size(), QSize(735, 756));  // the sheet's own window
    EXPECT_EQ(test->TitleLbl->text(), "Zentrova Pump and Valve Seal Pressure Test Results");
    EXPECT_EQ(test->TestPassed1Value->text(), "PASSED");
    EXPECT_EQ(test->PressureDrop1Value->text(), "5 psi");

    // A cancelled print dialog prints nothing.
    QFile::remove(pdf);
    printConfirmed = false;
    test->TestState = 21;
    boxes.onShow = nullptr;
    boxes.answer(mrYes);
    test->Step();
    EXPECT_EQ(printDialogs, 2);
    EXPECT_FALSE(QFile::exists(pdf));
}

TEST_F(PressureTestTest, SheetShowsTestedAndUntestedColumns) {
    ZentrovaAPI.SerialNumber = 0;
    test->StartPumpTest(1);
    test->Pump1ReadingA = 470, test->Pump1ReadingB = 400, test->Pump1Drop = 70;
    test->Pump2ReadingA = 12;
    test->PrintResults(false, true);
    EXPECT_TRUE(test->SystemTestPassedLbl->isHidden());
    EXPECT_EQ(test->SNValue->text(), "Unknown");
    EXPECT_EQ(test->TestPassed1Value->text(), "FAILED");
    EXPECT_TRUE(test->TestPassed1Value->font().bold());
    EXPECT_TRUE(test->TestPassed1Value->font().italic());
    EXPECT_EQ(test->ReadingB1Value->text(), "400 psi");
    EXPECT_FALSE(test->ReadingA1Lbl->isHidden());
    EXPECT_FALSE(test->Pump2Lbl->isHidden());
    EXPECT_EQ(test->TestPassed2Value->text(), "NOT TESTED");
    EXPECT_FALSE(test->TestPassed2Value->font().italic());
    EXPECT_TRUE(test->ReadingA2Lbl->isHidden());
    EXPECT_TRUE(test->PassingCriteria2Value->isHidden());
    EXPECT_EQ(test->PassingCriteria1Value->text(), "50 psi/10 min");
    const LocalTime t = appClock().localNow();
    EXPECT_TRUE(test->DateValue->text().startsWith(
        QLocale::system().toString(QDate(t.year, t.month, t.day), QLocale::ShortFormat) + "  "));
    EXPECT_FALSE(test->DoneByValue->text().isEmpty());

    ZentrovaAPI.SerialNumber = 4711;
    test->SystemTest = 1;
    test->PrintResults(true, false);
    EXPECT_EQ(test->TitleLbl->text(), "Zentrova System Pressure Test Results");
    EXPECT_EQ(test->SNValue->text(), "4711");
    EXPECT_FALSE(test->SystemTestPassedLbl->isHidden());
    EXPECT_EQ(test->SystemTestPassedLbl->text(), "Instrument FAILED System Test");
    EXPECT_TRUE(test->SystemTestPassedLbl->font().italic());
    test->PrintResults(true, true);
    EXPECT_EQ(test->SystemTestPassedLbl->text(), "Instrument Passed System Test");
    EXPECT_FALSE(test->SystemTestPassedLbl->font().italic());
    EXPECT_TRUE(test->SystemTestPassedLbl->font().bold());
}

TEST_F(PressureTestTest, SinglePumpSystemTestUsesPump1AndHidesPump2) {
    singlePump();
    test->StartSystemTest();
    agree();
    boxes.answer(mrYes);
    ASSERT_GE(runTo(11), 0);
    rig.take();
    step();
    EXPECT_EQ(rig.take(), std::vector<std::string>{"VALVE 1 2"});  // a system test closes at 2
    ASSERT_GE(runTo(22), 0);
    const MessageRequest* instructions = box("Instructions");
    ASSERT_TRUE(instructions);
    EXPECT_TRUE(
        instructions->text.startsWith("Please, do following.\n\nFor Single Pump System:\n- connect a "
                                      "blocked union to the end of the Heated Reactor\n"));
    const MessageRequest* result = box("Pressure Test Result");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->text,
              "System passes the Pressure Test.\n\nPump 1:" + kBlock470 + "\n\nPrint test results?");
    EXPECT_TRUE(test->Pump2Lbl->isHidden());
    EXPECT_TRUE(test->TestPassed2Value->isHidden());
    EXPECT_EQ(test->TestPassed1Value->text(), "PASSED");
    EXPECT_EQ(printDialogs, 1);
}

TEST_F(PressureTestTest, SystemVerdictUsesBothDrops) {
    test->StartSystemTest();
    test->TestState = 21;
    test->Pump1ReadingA = 470, test->Pump2ReadingA = 470;
    ZentrovaAPI.Pump1.Pressure = 470.0;
    ZentrovaAPI.Pump2.Pressure = 420.0;
    test->Step();
    ASSERT_TRUE(box("Pressure Test Result"));
    EXPECT_TRUE(box("Pressure Test Result")
                    ->text.startsWith("System has a problem holding the pressure.\n\nPump 1:"));
    EXPECT_TRUE(
        box("Pressure Test Result")->text.contains("\n\nPump 2:\nPressure after 10 minutes: 470 psi"));
}

TEST_F(PressureTestTest, Pump2AloneOnASinglePumpInstrumentRunsWithBothChannelsIdle) {
    singlePump();
    test->StartPumpTest(2);
    agree();
    ASSERT_GE(runTo(3), 0);
    EXPECT_EQ(test->PumpMask, 0u);
    ASSERT_GE(runTo(22), 0);
    const MessageRequest* result = box("Pressure Test Result");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->text, "\n\nPrint test results?");
    EXPECT_FALSE(box("Pressure Test Error"));
    for (const auto& c : rig.take()) EXPECT_EQ(c.rfind("VALVE", 0), std::string::npos) << c;
}

TEST_F(PressureTestTest, MainLoopRunsTheTestInMode14AndEndsInMode2) {
    form->iMode = 2;
    test->StartPumpTest(1);
    form->SetMode(14);
    EXPECT_EQ(lcdMessage(), "PRESSURE TEST STARTED");
    tickAlive();  // the operator says No
    EXPECT_EQ(form->iMode, 2);
    EXPECT_EQ(lcdMessage(), "PRESSURE TEST DONE");

    test->StartSystemTest();
    form->SetMode(15);
    tickAlive();
    EXPECT_EQ(form->iMode, 2);
    EXPECT_EQ(lcdMessage(), "SYSTEM PRESSURE TEST DONE");
}

}  // namespace
