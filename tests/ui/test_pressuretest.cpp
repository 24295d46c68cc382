// The pressure tests and the seal-change preparation against a stand-in instrument: boxes and
// answers, the commands of each phase, the pressurise limit and the two ten-minute phases, the
// pass and error thresholds, the result texts and sheet, the release, the single-pump cases;
// and, on the real event loop with the main window's own timer, ticks going on under their boxes.
#include <QDate>
#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QPrinter>
#include <set>
#include <sstream>

#include "MainFormHarness.h"
#include "platform/Printer.h"
#include "platform/SystemInfo.h"
#include "support/EventWait.h"
#include "ui/ChangeSeal.h"
#include "ui/PressureTest.h"

namespace {

using Cmds = std::vector<std::string>;

// Takes the commands the API sends and, each second, moves the pumps and valves as the
// instrument would: volumes, limits, pressure against a closed path, valves settling.
class PumpRig : public RecordingLink {
  public:
    void QueueCommand(const std::string& line) override {
        RecordingLink::QueueCommand(line);
        std::stringstream all(line);
        std::string part;
        while (std::getline(all, part, ';')) apply(part);
    }
    void tick() {
        for (int i = 0; i < 2; ++i) {
            TValve& valve = i == 0 ? ZentrovaAPI.Valve1 : ZentrovaAPI.Valve2;
            if (valveTarget[i] != 0 && !stuckValve[i]) valve.UpdateStatus(uint32_t(valveTarget[i]), true);
            TPump& p = i == 0 ? ZentrovaAPI.Pump1 : ZentrovaAPI.Pump2;
            const bool closed = valve.Position == 2 || valve.Position == 3;
            if (p.State == 1 && closed) {
                if (canPressurise[i]) p.Pressure += 60.0;
                if (stopPressure[i] >= 0 && p.Pressure >= stopPressure[i]) {
                    p.Pressure = stopPressure[i];
                    p.State = 0;
                }
            } else if (p.State == 1) {
                p.Volume = std::max(0.0, p.Volume - 20.0);
                if (p.Volume == 0.0) p.State = 0;
            } else if (p.State == 2 && p.Pressure > 0.0) {
                p.Pressure = std::max(0.0, p.Pressure - 200.0);
            } else if (p.State == 2) {
                p.Volume = std::min(70.0, p.Volume + 20.0);
                if (p.Volume == 70.0) p.State = 0;
            }
            p.LimitB = p.Volume <= 0.0;
            p.LimitA = p.Volume >= 70.0;
        }
    }
    static bool has(const Cmds& cmds, const std::string& c) {
        return std::find(cmds.begin(), cmds.end(), c) != cmds.end();
    }

    double stopPressure[2] = {-1.0, -1.0};  // none set
    bool canPressurise[2] = {true, true};
    int valveTarget[2] = {0, 0};
    bool stuckValve[2] = {false, false};

  private:
    void apply(const std::string& command) {
        std::stringstream in(command);
        std::string verb, a, b;
        in >> verb >> a >> b;
        const int pump = a == "0" ? 0 : a == "2" ? 1 : -1;
        TPump* p = pump == 0 ? &ZentrovaAPI.Pump1 : pump == 1 ? &ZentrovaAPI.Pump2 : nullptr;
        if (verb == "VALVE" && (a == "1" || a == "2")) valveTarget[std::stoi(a) - 1] = std::stoi(b);
        if (p && (verb == "FWD" || verb == "RVS" || verb == "OFF"))
            p->State = verb == "FWD" ? 1 : verb == "RVS" ? 2 : 0;
        if (verb == "STOPPRESSURE" && (a == "1" || a == "2")) stopPressure[std::stoi(a) - 1] = std::stod(b);
    }
};

const QString kBlock470 =
    "\nPressure after 10 minutes: 470 psi\nPressure after 20 minutes: 470 psi\nPressure Drop: 0 psi\nPassing "
    "Criteria: 50 psi/10 min";

class Procedures : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        TZentrovaAPI::SetLink(&rig);
        ZentrovaAPI.Pump1.Volume = ZentrovaAPI.Pump2.Volume = 30.0;
        instrument->Channel1->Speed = instrument->Channel2->Speed = 55;
        PressureTest = &test;
        ChangeSeal = &seal;
        pdf = QString::fromStdString(env->dir + "/sheet.pdf");
        printer::setDialogHandler([this](QPrinter& p) {
            ++printDialogs;
            p.setOutputFormat(QPrinter::PdfFormat);
            p.setOutputFileName(pdf);
            return printConfirmed;
        });
    }
    void TearDown() override {
        form->Timer1->stop();
        printer::setDialogHandler(nullptr);
        PressureTest = nullptr;
        ChangeSeal = nullptr;
        MainFormHarness::TearDown();
    }
    void singlePump() {
        ZentrovaAPI.Pump2Absent = true;
        instrument->SinglePump = true;
    }
    // One tick of the procedure, then one second of the instrument and the clock.
    bool step(bool sealChange = false) {
        const bool busy = sealChange ? seal.Step() : test.Step();
        rig.tick();
        clock.fake.advanceSeconds(1);
        return busy;
    }
    // Steps until the test is in state s before a step; the steps taken (-1: not reached).
    int runTo(uint8_t s) {
        for (int n = 0; n < 4000; ++n) {
            if (test.TestState == s) return n;
            step();
        }
        return -1;
    }
    void runToEnd(bool sealChange = false) {
        for (int left = 400; step(sealChange) && left > 0; --left) {
        }
    }
    const MessageRequest* box(const QString& title, int nth = 0) const {
        for (const MessageRequest& r : boxes.shown)
            if (r.title == title && nth-- == 0) return &r;
        return nullptr;
    }
    QString boxText(const QString& title, int nth = 0) const {
        return box(title, nth) ? box(title, nth)->text : "-";
    }
    // Runs the main timer (short period) until the first box titled title was answered;
    // underBox runs while it is open.
    void runToBox(const QString& title, const std::function<void()>& underBox) {
        bool answered = false;
        boxes.onShow = [&](const MessageRequest& r) {
            if (r.title != title || answered) return;
            underBox();
            answered = true;
        };
        link->DataReceived = true;  // alive; the fake clock stands still
        form->Timer1->setInterval(10);
        form->Timer1->start();
        ASSERT_TRUE(waitFor([&] { return answered; }, 5000));
        spin(50);
        form->Timer1->stop();
        boxes.onShow = nullptr;
    }

    PumpRig rig;
    TPressureTest test;
    TChangeSeal seal;
    QString pdf;
    int printDialogs = 0;
    bool printConfirmed = true;
};

TEST_F(Procedures, RefusalsEndAtOnceWithoutMovingAnything) {
    test.StartPumpTest(3);
    EXPECT_FALSE(step());  // No is the default of the first box
    EXPECT_EQ(boxes.shown[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(boxes.shown[0].defaultButton, mrNo);
    EXPECT_TRUE(
        takeBoxes().at(0).starts_with("Please, confirm: You requested Pump Pressure Test Procedure."));
    test.StartSystemTest();
    answers({mrYes, mrCancel});
    EXPECT_TRUE(step());
    EXPECT_TRUE(step());
    EXPECT_FALSE(step());
    EXPECT_EQ(boxes.shown[1].buttons, MsgButtons::OKCancel);
    EXPECT_TRUE(
        boxes.shown[1].text.startsWith("Pressure Test Procedure is about to start.\n\nPlease, remove"));
    boxes.shown.clear();
    seal.StartProcedure();
    EXPECT_FALSE(step(true));
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(rig.take().empty());
}

TEST_F(Procedures, SystemTestNeedsTheReactorAtMost40) {
    for (double t : {40.1, 40.0}) {
        instrument->Enabled = true;
        ZentrovaAPI.Reactor.Temperature = t;
        test.StartSystemTest();
        boxes.answer(mrYes);
        step();
        EXPECT_EQ(step(), t == 40.0);
        const Cmds sent = rig.take();
        EXPECT_EQ(PumpRig::has(sent, "CHEAT OFF") && PumpRig::has(sent, "RHEAT OFF"), t == 40.0) << t;
        EXPECT_EQ(instrument->Enabled, t != 40.0);
    }
    EXPECT_EQ(takeBoxes().at(1),
              "Test execution stopped: Reactor Temperature must be less than 40 to perform the test. Test "
              "execution stopped.");
}

TEST_F(Procedures, PumpTestOfBothPumpsRunsItsPhasesAndPasses) {
    test.StartPumpTest(3);
    answers({mrYes, mrOk, mrOk, mrNo});  // the three boxes before the pressurising; no print
    ASSERT_GE(runTo(5), 0);
    rig.take();
    step();
    EXPECT_EQ(rig.take(), (Cmds{"VALVE 1 5", "VALVE 2 5"}));
    ASSERT_GE(runTo(7), 0);
    step();  // fill to 65 ml
    EXPECT_EQ(rig.take(), (Cmds{"MS 0 32;ML 0 55.00;RVS 0", "MS 2 32;ML 2 55.00;RVS 2"}));
    ASSERT_GE(runTo(9), 0);
    EXPECT_GE(ZentrovaAPI.Pump1.Volume, 65.0);
    rig.take();
    step();  // a pump test closes the valves at 3
    EXPECT_EQ(rig.take(), (Cmds{"VALVE 1 3", "VALVE 2 3"}));
    ASSERT_GE(runTo(17), 0);
    Cmds sent = rig.take();
    for (const auto& c : {"STOPPRESSURE 1 370.00", "MS 0 1;ML 0 0.01;FWD 0", "STOPPRESSURE 2 370.00",
                          "MS 2 1;ML 2 0.01;FWD 2", "STOPPRESSURE 1 470.00", "MS 0 1;ML 0 0.001;FWD 0"})
        EXPECT_TRUE(PumpRig::has(sent, c)) << c;
    EXPECT_FALSE(PumpRig::has(sent, "OFF 0"));  // the instrument stops the pump itself

    // Ten minutes of equilibration, ten of measuring: each phase is 601 ticks from its start.
    step();
    EXPECT_EQ(runTo(19), 601);
    step();
    EXPECT_EQ(runTo(21), 601);
    step();
    EXPECT_EQ(boxText("Pressure Test Result"), "Pump1 passes the Pressure Test." + kBlock470 +
                                                   "\n\nPump2 passes the Pressure Test." + kBlock470 +
                                                   "\n\nPrint test results?");
    EXPECT_EQ(box("Pressure Test Result")->defaultButton, mrNo);

    // Release, then empty through position 1.
    rig.take();
    step();
    EXPECT_EQ(rig.take(), (Cmds{"MS 0 1;ML 0 0.01;RVS 0", "MS 2 1;ML 2 0.01;RVS 2"}));
    runToEnd();
    EXPECT_EQ(test.TestState, TPressureTest::eptEnd);
    sent = rig.take();
    EXPECT_TRUE(PumpRig::has(sent, "VALVE 1 1") && PumpRig::has(sent, "MS 0 32;ML 0 55.00;FWD 0"));
    EXPECT_LE(ZentrovaAPI.Pump1.Volume, 0.0);
    EXPECT_EQ(instrument->PercentDone, test.TickCount * 100 / 1800);
    EXPECT_EQ(boxes.shown.size(), 4u);
}

TEST_F(Procedures, PressureNotReachedWithinThreeMinutesStopsTheTest) {
    rig.canPressurise[0] = false;
    test.StartPumpTest(1);
    answers({mrYes, mrOk, mrOk});
    ASSERT_GE(runTo(TPressureTest::eptPressuriseTo480psiStart), 0);
    const int64_t start = appClock().seconds();
    int64_t shownAt = 0;
    boxes.onShow = [&](const MessageRequest&) { shownAt = appClock().seconds(); };
    for (int n = 0; n < 400 && !box("Pressure Test Error"); ++n) step();
    EXPECT_EQ(shownAt - start, 181);
    ASSERT_TRUE(box("Pressure Test Error"));
    EXPECT_EQ(box("Pressure Test Error")->icon, MsgIcon::Error);
    EXPECT_EQ(box("Pressure Test Error")->text,
              "Pumps could not reach target pressure of 470 psi in 3 minutes.\n\nStopping the test.");
    runToEnd();  // the release and emptying still run; no second check
    EXPECT_EQ(test.TestState, TPressureTest::eptEnd);
    EXPECT_EQ(boxes.shown.size(), 4u);
}

TEST_F(Procedures, PressureChecksWhileHoldingAndMeasuring) {
    const struct {
        int pumps;
        uint8_t state;
        int steady;                  // steps at 470 psi before the pressures change
        double p1, p2;               // then
        const char *error, *result;  // "-": no such box; result: its start
    } rows[] = {
        // a drop of exactly 50 fails the result but is no error; the first reading is truncated
        {1, 19, 1, 420.0, 0.0, "-",
         "Pump1 Channel has a problem holding the pressure.\nPressure after 10 minutes: 470 psi\nPressure "
         "after 20 minutes: 420 psi\nPressure Drop: 50 psi"},
        {3, 19, 150, 470.0, 419.9,
         "Pressure in Pump 2 fell more than 50 psi in 3 minutes.\n\nStopping the test.", "-"},
        {3, 17, 0, 299.9, 470.0, "Pressure in Pump 1 fell below 300 psi.\n\nStopping the test.", "-"},
        // a fall found while measuring gives way to pump 2 below 300
        {3, 20, 0, 400.0, 250.0, "Pressure in Pump 2 fell below 300 psi.\n\nStopping the test.", "-"},
        {2, 20, 0, 0.0, 470.0, "-", "Pump2 passes"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.state));
        boxes.shown.clear();
        test.StartPumpTest(r.pumps);
        test.TestState = r.state;
        test.PhaseTimer.Start(600);
        test.Pump1ReadingA = test.Pump2ReadingA = 470;
        ZentrovaAPI.Pump1.State = ZentrovaAPI.Pump2.State = 0;  // no release left from the row before
        ZentrovaAPI.Pump1.Pressure = 470.9;
        ZentrovaAPI.Pump2.Pressure = 470.0;
        for (int i = 0; i < r.steady; ++i) step();
        ZentrovaAPI.Pump1.Pressure = r.p1;
        ZentrovaAPI.Pump2.Pressure = r.p2;
        boxes.onShow = [&](const MessageRequest& m) {
            EXPECT_TRUE(m.title != "Pressure Test Error" || test.TestState == 22);
        };
        for (int n = 0; n < 1300 && !box("Pressure Test Error") && !box("Pressure Test Result"); ++n) step();
        boxes.onShow = nullptr;
        EXPECT_EQ(boxText("Pressure Test Error"), r.error);
        EXPECT_TRUE(boxText("Pressure Test Result").startsWith(r.result));
    }
}

TEST_F(Procedures, ReleaseWaitsForEachPumpBelow10PsiOrStopped) {
    test.StartPumpTest(3);
    test.TestState = 24;
    ZentrovaAPI.Pump1.State = ZentrovaAPI.Pump2.State = 2;
    ZentrovaAPI.Pump1.Pressure = 10.0;
    ZentrovaAPI.Pump2.Pressure = 10.5;
    test.Step();
    EXPECT_EQ(rig.take(), Cmds{"OFF 0"});
    EXPECT_EQ(test.TestState, 24);
    ZentrovaAPI.Pump1.State = 0;
    ZentrovaAPI.Pump2.Pressure = 2.0;
    test.Step();
    EXPECT_EQ(rig.take(), Cmds{"OFF 2"});
    EXPECT_EQ(test.TestState, 25);
}

TEST_F(Procedures, ResultSheetIsPrintedOnRequest) {
    test.StartPumpTest(1);
    test.TestState = 21;
    test.Pump1ReadingA = 470;
    ZentrovaAPI.Pump1.Pressure = 465.0;
    boxes.answer(mrYes);
    test.Step();
    EXPECT_EQ(printDialogs, 1);
    QFile f(pdf);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.read(4) == "%PDF");
    EXPECT_EQ(printer::lastPrintedImage().size(), QSize(735, 756));  // the sheet's own window
    EXPECT_EQ(test.TestPassed1Value->text() + " " + test.PressureDrop1Value->text() + " " +
                  test.TestPassed2Value->text(),
              "PASSED 5 psi NOT TESTED");

    // A cancelled print dialog prints nothing.
    QFile::remove(pdf);
    printConfirmed = false;
    test.TestState = 21;
    boxes.answer(mrYes);
    test.Step();
    EXPECT_EQ(printDialogs, 2);
    EXPECT_FALSE(QFile::exists(pdf));

    // The system test's verdict line.
    test.SystemTest = 1;
    test.PrintResults(true, false);
    EXPECT_EQ(test.SystemTestPassedLbl->text(), "Instrument FAILED System Test");
}

// Each pressure-test command logs its menu line once the test has started.
TEST_F(Procedures, PressureTestCommandsLogTheirMenuLineAfterTheStart) {
    using C = TMainFormCommands;
    const struct {
        void (C::*click)();
        std::string line;
    } rows[] = {{&C::TestPressure1Click, "#menu: Maintenance->Test Pressure\n"},
                {&C::Pump11Click, "#menu: Maintenance->Test Pressure->Pump 1\n"},
                {&C::Pump21Click, "#menu: Maintenance->Test Pressure->Pump 2\n"},
                {&C::BothPumps1Click, "#menu: Maintenance->Test Pressure->Both Pumps\n"}};
    for (const auto& r : rows) {
        form->iMode = 2;
        newLog();
        (form.get()->*r.click)();
        const std::string log = newLog();
        EXPECT_EQ(count(log, r.line), 1) << log;
        EXPECT_TRUE(inOrder(log, {"#main: setMode(): mode=14; current mode=2", r.line})) << log;
    }
}

// The pressurising line, the countdown's minutes (seconds left / 60 + 1) and the sheet's date,
// serial number ("Unknown" for 0) and user.
TEST_F(Procedures, PanelLinesCountWholeMinutesAndTheSheetNamesDateInstrumentAndUser) {
    ZentrovaAPI.Pump1.Pressure = ZentrovaAPI.Pump2.Pressure = 470.0;
    test.StartPumpTest(1);
    test.TestState = 14;
    test.Step();
    EXPECT_EQ(lcdMessage(), "PRESSURIZING PUMP(S)");
    test.TestState = 17;
    test.Step();
    ASSERT_EQ(test.TestState, 18);
    const struct {
        int left;
        const char* minutes;
    } rows[] = {{599, "10"}, {540, "10"}, {539, "9"}, {120, "3"}, {60, "2"}, {59, "1"}, {1, "1"}};
    int left = 600;
    for (const auto& r : rows) {
        clock.fake.advanceSeconds(left - r.left);
        left = r.left;
        test.Step();
        EXPECT_EQ(lcdMessage(), QString("EQUILIBRATING PRESSURE. %1 MIN LEFT.").arg(r.minutes)) << r.left;
    }
    test.TestState = 19;
    test.Step();
    ASSERT_EQ(test.TestState, 20);
    test.Step();
    EXPECT_EQ(lcdMessage(), "MEASURING PRESSURE CHANGE. 11 MIN LEFT.");

    for (uint32_t sn : {0u, 4711u}) {
        ZentrovaAPI.SerialNumber = sn;
        test.PrintResults(true, true);
        EXPECT_TRUE(test.DateValue->text().startsWith(
            QLocale::system().toString(QDate(2026, 12, 6), QLocale::ShortFormat) + "  "))
            << test.DateValue->text().toStdString();
        EXPECT_EQ(test.SNValue->text(), sn ? "4711" : "Unknown");
        EXPECT_EQ(test.DoneByValue->text().toStdString(), SystemInfo::userName());
    }
}

TEST_F(Procedures, SinglePumpSystemTestUsesPump1AndPump2AloneLeavesTheValves) {
    singlePump();
    test.StartSystemTest();
    answers({mrYes, mrOk, mrOk, mrYes});
    ASSERT_GE(runTo(11), 0);
    rig.take();
    step();
    EXPECT_EQ(rig.take(), Cmds{"VALVE 1 2"});  // a system test closes at 2
    ASSERT_GE(runTo(22), 0);
    EXPECT_TRUE(boxText("Instructions").startsWith("Please, do following.\n\nFor Single Pump System:\n"));
    EXPECT_EQ(boxText("Pressure Test Result"),
              "System passes the Pressure Test.\n\nPump 1:" + kBlock470 + "\n\nPrint test results?");
    EXPECT_TRUE(test.Pump2Lbl->isHidden());
    EXPECT_EQ(printDialogs, 1);

    boxes.shown.clear();
    rig.take();
    test.StartPumpTest(2);  // both channels stay idle
    answers({mrYes, mrOk, mrOk});
    ASSERT_GE(runTo(22), 0);
    EXPECT_EQ(boxText("Pressure Test Result"), "\n\nPrint test results?");
    EXPECT_FALSE(box("Pressure Test Error"));
    for (const auto& c : rig.take()) EXPECT_FALSE(c.starts_with("VALVE")) << c;
}

TEST_F(Procedures, SealChangeFlushesTurnsTheValvesAndFillsOneOrTwoPumps) {
    for (bool single : {false, true}) {
        SCOPED_TRACE(single);
        if (single) singlePump();
        rig.stuckValve[1] = single;  // valve 2 would never report: it must not be waited for
        boxes.shown.clear();
        seal.StartProcedure();
        answers({mrYes, mrOk});
        runToEnd(true);
        EXPECT_EQ(seal.SealState, TChangeSeal::SealEnd);
        EXPECT_EQ(boxes.shown.at(0).defaultButton, mrNo);
        EXPECT_EQ(boxes.shown.at(1).buttons, MsgButtons::OKCancel);
        EXPECT_EQ(takeBoxes().at(2),
                  "Instructions: The pumps are now ready for seal change.\nPlease follow procedure in the "
                  "operating manual.");
        EXPECT_GE(ZentrovaAPI.Pump1.Volume, 65.0);
        // The flush first (through position 1), then the valves to 5, then the aspirate to 65 ml.
        const Cmds sent = rig.take();
        EXPECT_TRUE(PumpRig::has(sent, "VALVE 1 1"));
        if (single) {
            for (const auto& c : sent) EXPECT_FALSE(c.starts_with("VALVE 2") || c.ends_with(" 2")) << c;
        } else {
            ASSERT_GE(sent.size(), 6u);
            EXPECT_EQ(Cmds(sent.end() - 6, sent.end()),
                      (Cmds{"VALVE 1 5", "VALVE 2 5", "MS 0 32;ML 0 55.00;RVS 0", "MS 2 32;ML 2 55.00;RVS 2",
                            "OFF 0", "OFF 2"}));
            EXPECT_GE(ZentrovaAPI.Pump2.Volume, 65.0);
        }
    }
    // Cancel after the valves turned leaves them at 5.
    seal.StartProcedure();
    answers({mrYes, mrCancel});
    runToEnd(true);
    EXPECT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(rig.take().back(), "VALVE 1 5");
}

TEST_F(Procedures, TicksGoOnUnderEveryProcedureBox) {
    const struct {
        uint8_t mode;
        std::function<void()> start;
        QString title;
        MsgResult refuse;
    } rows[] = {{13, [&] { instrument->StartStorageProcedure(); }, "Action Required", mrCancel},
                {18, [&] { seal.StartProcedure(); }, "Please, confirm", mrNo},
                {14, [&] { test.StartPumpTest(3); }, "Please, confirm", mrNo}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.mode);
        boxes.shown.clear();
        ZentrovaAPI.RelayInput = false;
        hplc->SetRelayInput(false);
        r.start();
        form->SetMode(r.mode);
        boxes.answer(r.refuse);
        bool ticked = false;
        runToBox(r.title, [&] {
            ZentrovaAPI.RelayInput = true;  // a later tick copies it to the HPLC module
            ticked = waitFor([&] { return hplc->RelayInput; }, 2000);
            spin(100);  // some more ticks under the box
            EXPECT_EQ(form->iMode, r.mode) << "the procedure goes on under its box";
        });
        EXPECT_TRUE(ticked);
        EXPECT_TRUE(box(r.title) && !box(r.title, 1)) << "shown once";
        form->SetMode(2);
    }
}

// The test ends on the ticks under its result box; the step that opened the box returns after
// that end and ends nothing again.
TEST_F(Procedures, PressureIsReleasedWhileTheResultBoxIsOpen) {
    for (const uint8_t mode : {14, 15}) {
        SCOPED_TRACE(int(mode));
        boxes.shown.clear();
        mode == 14 ? test.StartPumpTest(1) : test.StartSystemTest();
        form->SetMode(mode);
        newLog();
        ZentrovaAPI.Pump1.Pressure = ZentrovaAPI.Pump2.Pressure = 470.0;
        test.Pump1ReadingA = test.Pump2ReadingA = 470;
        test.TestState = 21;
        uint8_t underBox = 0;
        boxes.answer(mrNo);  // no print
        runToBox("Pressure Test Result", [&] {
            waitFor(
                [&] {
                    rig.tick();
                    return test.TestState == TPressureTest::eptEnd;
                },
                3000);
            underBox = test.TestState;
        });
        EXPECT_EQ(underBox, TPressureTest::eptEnd);
        EXPECT_LE(ZentrovaAPI.Pump1.Pressure, TPressureTest::ReleasedPressure);
        EXPECT_EQ(form->iMode, 2);
        const std::string log = newLog();
        EXPECT_EQ(count(log, "setMode(): mode=2; current mode=" + std::to_string(mode)), 1);
        EXPECT_EQ(count(log, "#main: setMode(): mode="), 1) << "its end runs once:\n" << log;
        EXPECT_FALSE(box("Pressure Test Result", 1));
        // A test that ends by itself leaves its result box as it is: nothing retells it.
        EXPECT_EQ(count(log, "procedure stopped while its box was open"), 0) << log;
        for (const MessageRequest& b : boxes.shown)
            EXPECT_FALSE(b.text.contains("Operation stopped")) << b.text.toStdString();
    }
}

}  // namespace

namespace {

// Every step that opens a box, with the mode changed under the box (the link lost and back,
// Stop, or Stop and the same procedure started again): the box says why the procedure stopped,
// once; after it closes the instrument hears nothing but the halt, the mode stays where the
// change put it, and a procedure started again is left as its start left it.
TEST_F(Procedures, ABoxWhoseProcedureStopsUnderItSaysWhyAndNothingFollowsTheHalt) {
    const auto pressureTest = [this](uint8_t state, uint8_t mode = 14) {
        return [this, state, mode] {
            mode == 14 ? test.StartPumpTest(3) : test.StartSystemTest();
            form->SetMode(mode);
            test.TestState = state;
        };
    };
    const auto sealChange = [this](uint8_t state) {
        return [this, state] {
            seal.StartProcedure();
            form->SetMode(18);
            seal.SealState = state;
        };
    };
    const auto storage = [this](uint8_t state) {
        return [this, state] {
            instrument->StartStorageProcedure();
            form->SetMode(13);
            instrument->StorageStep = state;
        };
    };
    const struct {
        const char* what;
        std::function<void()> arm;
        QString title;
        MsgResult goOn;
    } rows[] = {
        {"pressure test, first question", pressureTest(0), "Please, confirm", mrYes},
        {"pressure test, column removed", pressureTest(2), "Please, confirm", mrOk},
        {"pressure test, leak check", pressureTest(13), "Instructions", mrOk},
        {"system test, reactor too hot",
         [&] {
             pressureTest(1, 15)();
             ZentrovaAPI.Reactor.Temperature = 41.0;
         },
         "Test execution stopped", mrOk},
        {"pressure test, error while measuring",
         [&] {
             pressureTest(20)();
             test.PhaseTimer.Start(600);
             test.Pump1ReadingA = test.Pump2ReadingA = 470;
             ZentrovaAPI.Pump1.Pressure = 400.0;
             ZentrovaAPI.Pump2.Pressure = 470.0;
         },
         "Pressure Test Error", mrOk},
        {"pressure test, result",
         [&] {
             pressureTest(21)();
             test.Pump1ReadingA = test.Pump2ReadingA = 470;
             ZentrovaAPI.Pump1.Pressure = ZentrovaAPI.Pump2.Pressure = 470.0;
         },
         "Pressure Test Result", mrYes},
        {"seal change, first question", sealChange(0), "Please, confirm", mrYes},
        {"seal change, flush line out", sealChange(3), "Instructions", mrOk},
        {"seal change, ready", sealChange(8), "Instructions", mrOk},
        {"storage, reagent", storage(1), "Action Required", mrOk},
        {"storage, bottles", storage(25), "Action Required", mrOk},
    };
    enum Change { LostAndBack, Stop, StopAndAgain };
    const std::set<std::string> halt = {"<clear>", "OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"};
    const auto machines = [&] { return std::tuple(test.TestState, seal.SealState, instrument->StorageStep); };
    for (const auto& r : rows) {
        for (Change change : {LostAndBack, Stop, StopAndAgain}) {
            SCOPED_TRACE(std::string(r.what) + " / change " + std::to_string(change));
            form->iMode = 2;
            ZentrovaAPI.Pump1.State = ZentrovaAPI.Pump2.State = 0;
            r.arm();
            boxes.answer(r.goOn);
            boxes.shown.clear();
            bool changed = false;
            uint8_t modeAfter = 0;
            std::tuple<uint8_t, uint8_t, uint8_t> restarted;
            boxes.onShow = [&](const MessageRequest& m) {
                if (m.title != r.title || changed) return;
                changed = true;
                rig.take();
                newLog();
                if (change == LostAndBack) {
                    tickDead();
                    tickAlive();
                } else {
                    form->StopReset1Click();
                }
                if (change == StopAndAgain) {
                    form->StopReset1Click();  // Reset
                    r.arm();
                    restarted = machines();
                }
                modeAfter = form->iMode;
            };
            tickAlive();
            boxes.onShow = nullptr;
            ASSERT_TRUE(changed);
            if (change == StopAndAgain) {
                EXPECT_EQ(machines(), restarted) << "the new start is left as it is";
            } else {
                tickAlive();
                tickAlive();
            }
            // A test stopped under pressure has the pressure of its pumps released after the halt
            // (the operator is told so); a test started again takes the pumps over.
            const bool pressed = std::string(r.what).starts_with("pressure test, error") ||
                                 std::string(r.what).starts_with("pressure test, result");
            const Cmds sent = rig.take();
            EXPECT_TRUE(PumpRig::has(sent, "RHEAT OFF"));
            for (const std::string& c : sent)
                EXPECT_TRUE(halt.count(c) ||
                            (pressed && change != StopAndAgain &&
                             (c.find("RVS") != std::string::npos || c.find("0.01") != std::string::npos)))
                    << c;
            EXPECT_EQ(form->iMode, modeAfter);
            EXPECT_EQ(count(newLog(), "#main: setMode(): mode=2;"), change == Stop ? 0 : 1)
                << "no second end";
            const QString why = change == LostAndBack
                                    ? "Lost connection with Instrument. Operation stopped."
                                    : "SYSTEM HALTED, INSTRUMENT STOPPED\n\nOperation stopped.";
            ASSERT_EQ(boxes.shown.size(), pressed ? 3u : 2u) << "the box, then the box saying why";
            if (pressed) {
                EXPECT_TRUE(boxes.shown[2].text.startsWith("The pressure test was stopped: the tested path"));
            }
            // Under a title that fits what it now says.
            const QString title = change == LostAndBack ? "Unrecoverable Error!" : "Warning";
            EXPECT_EQ((boxes.shown[1].title + ": " + boxes.shown[1].text).toStdString(),
                      (title + ": " + why).toStdString());
            EXPECT_EQ(boxes.shown[1].buttons, MsgButtons::OK);
            if (form->iMode == 4) form->StopReset1Click();  // Reset
        }
    }
    EXPECT_EQ(printDialogs, 0);
}

}  // namespace

namespace {

// Every question whose Yes starts something, with the link lost and back while it is open (the
// halt went out meanwhile): the box says the link was lost, under a title that fits, and its
// answer starts nothing: after the halt the instrument hears nothing, the mode stays idle and the
// instrument disabled.
TEST_F(Procedures, AQuestionAnsweredAfterTheLinkWasLostStartsNothing) {
    using C = TMainFormCommands;
    using Click = void (C::*)();
    const QString nothing = "Lost connection with Instrument. Nothing was started.";
    const QString stopped = "Lost connection with Instrument. Operation stopped.";
    const struct {
        const char* what;
        Click click;
        QString title;                  // of the question under which the link is lost
        std::vector<MsgResult> before;  // answers to the questions before it
        bool onTick;                    // the question comes with the procedure's first step
        QString why;
    } rows[] = {
        {"refill pump", &C::RefillPumpClick, "Warning", {}, false, nothing},
        {"refill pump 1", &C::RefillPump1Click, "Warning", {}, false, nothing},
        {"refill pump 2", &C::RefillPump2Click, "Warning", {}, false, nothing},
        {"refill both", &C::RefillBothPumpsClick, "Warning", {}, false, nothing},
        {"flush pump", &C::FlushPumpClick, "Warning", {}, false, nothing},
        {"flush pump 1", &C::FlushPump1Click, "Warning", {}, false, nothing},
        {"flush pump 2", &C::FlushPump2Click, "Warning", {}, false, nothing},
        {"flush both", &C::FlushBothPumpsClick, "Warning", {}, false, nothing},
        {"empty pump", &C::EmptyPumpClick, "Warning", {}, false, nothing},
        {"empty pump 1", &C::EmptyPump1Click, "Warning", {}, false, nothing},
        {"empty pump 2", &C::EmptyPump2Click, "Warning", {}, false, nothing},
        {"empty both", &C::EmptyBothPumpsClick, "Warning", {}, false, nothing},
        {"pump 1 on, enable", &C::Pump1OnClick, "Error", {}, false, nothing},
        {"pump 2 on, enable", &C::Pump2OnClick, "Error", {}, false, nothing},
        {"both pumps on, enable", &C::BothPumpsOnClick, "Error", {}, false, nothing},
        {"storage", &C::PrepareforStorageShipping1Click, "Warning", {}, false, nothing},
        {"instrument flush", &C::FlushInstrument1Click, "Warning", {}, false, nothing},
        {"instrument flush, enable", &C::FlushInstrument1Click, "Error", {mrYes}, false, nothing},
        {"start sequence, enable", &C::StartSequence1Click, "Error", {}, false, nothing},
        {"pressure test pump 1", &C::Pump11Click, "Please, confirm", {}, true, stopped},
        {"pressure test pump 2", &C::Pump21Click, "Please, confirm", {}, true, stopped},
        {"pressure test both", &C::BothPumps1Click, "Please, confirm", {}, true, stopped},
        {"pressure test single pump", &C::TestPressure1Click, "Please, confirm", {}, true, stopped},
        {"system pressure test", &C::SystemPressureTest1Click, "Please, confirm", {}, true, stopped},
        {"seal change", &C::ChangeSeal1Click, "Please, confirm", {}, true, stopped},
    };
    const std::set<std::string> halt = {"<clear>", "OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"};
    instrument->Sequence.Name = "S";
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        tickAlive();
        ASSERT_EQ(form->iMode, 2);
        ASSERT_FALSE(instrument->Enabled);
        for (MsgResult a : r.before) boxes.answer(a);
        boxes.answer(mrYes);
        boxes.shown.clear();
        bool lost = false;
        Cmds halted;
        boxes.onShow = [&](const MessageRequest& m) {
            if (lost || m.title != r.title || m.buttons != MsgButtons::YesNo) return;
            lost = true;
            tickDead();
            tickAlive();
            halted = rig.take();
            newLog();
        };
        rig.take();
        (form.get()->*r.click)();
        if (r.onTick) tickAlive();
        boxes.onShow = nullptr;
        ASSERT_TRUE(lost);
        tickAlive();
        tickAlive();
        EXPECT_TRUE(PumpRig::has(halted, "RHEAT OFF"));
        for (const std::string& c : halted) EXPECT_TRUE(halt.count(c)) << c;
        EXPECT_EQ(rig.take(), Cmds{}) << "nothing after the halt";
        EXPECT_EQ(form->iMode, 2);
        EXPECT_FALSE(instrument->Enabled);
        EXPECT_EQ(count(newLog(), "#main: setMode()"), 0);
        ASSERT_FALSE(boxes.shown.empty());
        const MessageRequest& told = boxes.shown.back();
        EXPECT_EQ((told.title + ": " + told.text).toStdString(),
                  ("Unrecoverable Error!: " + r.why).toStdString());
        EXPECT_EQ(told.buttons, MsgButtons::OK);
    }
}

}  // namespace

namespace {

// A pressure test left under pressure by anything but its own end (Stop, a lost link, a disable by
// the monitor, an end of the program): the halt comes first, then the tested pump draws back at
// 0.01 ml/min until 10 psi and is switched off; with the link lost only once it is back, and on
// the way out not at all. The operator is told each time that the path may hold pressure. A test
// left before it pressurised releases nothing, and a new start ends the release.
TEST_F(Procedures, ATestLeftUnderPressureIsReleasedAfterTheHalt) {
    enum How { Stop, Lost, Monitor, LostInRelease, Early, NewStart, Ending };
    const QString told =
        "Warning: The pressure test was stopped: the tested path may hold pressure until it is "
        "released.\n\n";
    const struct {
        const char* what;
        How how;
        QString when;  // "": not told
    } rows[] = {
        {"Stop", Stop, "It is released now: the pump draws back slowly down to 10 psi."},
        {"link lost", Lost,
         "It is released once the connection with the instrument is back: the pump draws back slowly down "
         "to 10 psi."},
        {"monitor", Monitor, "It is released now: the pump draws back slowly down to 10 psi."},
        {"link lost during the release", LostInRelease,
         "It is released now: the pump draws back slowly down to 10 psi."},
        {"before the pressure", Early, ""},
        {"new start", NewStart, "It is released now: the pump draws back slowly down to 10 psi."},
        {"program ends", Ending, ""},
    };
    const std::set<std::string> halt = {"<clear>", "OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"};
    const auto isReverse = [](const std::string& c) { return c.find("RVS 0") != std::string::npos; };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        tickAlive();
        ASSERT_EQ(form->iMode, 2);
        test.StartPumpTest(1);
        form->SetMode(14);
        test.TestState = r.how == Early ? 8 : 18;  // filling, or equilibrating at 470 psi
        test.PhaseTimer.Start(600);
        ZentrovaAPI.Pump1.Pressure = r.how == Early ? 0.0 : 470.0;
        ZentrovaAPI.Pump1.State = ZentrovaAPI.Pump2.State = 0;
        ZentrovaAPI.Valve1.Position = 3;
        rig.valveTarget[0] = 3;
        rig.take();
        boxes.shown.clear();
        newLog();
        switch (r.how) {
            case Stop:
            case LostInRelease:
            case Early:
            case NewStart:
                form->StopReset1Click();
                break;
            case Lost:
                tickDead();
                tickDead();
                EXPECT_EQ(std::count_if(rig.sent.begin(), rig.sent.end(), isReverse), 0) << "not while lost";
                break;
            case Monitor:
                ZentrovaAPI.Column.Temperature = 81.0;
                tickAlive();
                ZentrovaAPI.Column.Temperature = 25.0;
                break;
            case Ending:
                form->EndWithoutQuestion("test");
                break;
        }
        EXPECT_EQ(test.TestState, 28) << "the test is over";
        const std::vector<std::string> shown = takeBoxes();
        const std::string notice = (told + r.when).toStdString();
        EXPECT_EQ(std::count(shown.begin(), shown.end(), notice), r.when.isEmpty() ? 0 : 1);
        if (r.how == Ending) {
            EXPECT_TRUE(has(newLog(), "The program ends before it can release it")) << logText();
            tickAlive();
            for (const std::string& c : rig.take()) EXPECT_TRUE(halt.count(c)) << c;
            break;  // the form has ended
        }
        if (r.how == NewStart) {
            form->StopReset1Click();  // Reset: the release goes on
            tickAlive();
            rig.tick();
            ASSERT_TRUE(test.ReleasePending());
            rig.take();
            form->StartFlushPump(1);  // something new takes the pumps over
            EXPECT_EQ(rig.take(), Cmds{"OFF 0"});
            EXPECT_FALSE(test.ReleasePending());
            form->StopReset1Click();
            form->StopReset1Click();
            continue;
        }
        Cmds sent;
        if (r.how == LostInRelease) {
            // The halt at the link's return stops the pump half way: the release starts again.
            tickAlive();
            rig.tick();
            tickDead();
            tickAlive();
            rig.tick();
            sent = rig.take();
            EXPECT_EQ(std::count_if(sent.begin(), sent.end(), isReverse), 2) << "drawn back again";
            EXPECT_GT(ZentrovaAPI.Pump1.Pressure, 10.0);
        }
        for (int i = 0; i < 8; ++i) {
            tickAlive();
            rig.tick();
        }
        sent = rig.take();
        const auto reverse = std::find_if(sent.begin(), sent.end(), isReverse);
        if (r.how == LostInRelease) {
            EXPECT_EQ(sent, Cmds{"OFF 0"}) << "off at 10 psi";
            EXPECT_LE(ZentrovaAPI.Pump1.Pressure, 10.0);
            EXPECT_FALSE(test.ReleasePending());
            continue;
        }
        if (r.how == Early) {
            for (const std::string& c : sent) EXPECT_TRUE(halt.count(c)) << c;
        } else {
            ASSERT_TRUE(reverse != sent.end());
            EXPECT_TRUE(std::find(sent.begin(), reverse, "RHEAT OFF") != reverse) << "the halt comes first";
            EXPECT_EQ(std::count_if(sent.begin(), sent.end(), isReverse), 1);
            EXPECT_EQ(std::find(reverse, sent.end(), "OFF 0") + 1, sent.end()) << "off at 10 psi, last";
            EXPECT_LE(ZentrovaAPI.Pump1.Pressure, 10.0);
        }
        for (auto c = reverse; c != sent.end(); ++c) EXPECT_EQ(c->find(" 2"), std::string::npos) << *c;
        EXPECT_FALSE(test.ReleasePending());
        if (r.how == Stop) {
            EXPECT_EQ(lcdMessage(), "SYSTEM HALTED, INSTRUMENT STOPPED");
        }
        for (int i = 0; i < 3; ++i) tickAlive();
        EXPECT_EQ(rig.take(), Cmds{}) << "nothing more";
        if (form->iMode == 4) form->StopReset1Click();
    }
}

}  // namespace

namespace {

// File > Exit while a test holds pressure: nothing but the halt reaches the instrument, and before
// the countdown the operator learns that the path may hold pressure, since no release follows.
TEST_F(Procedures, ExitUnderPressureHaltsOnlyAndSaysThePathMayHoldPressure) {
    tickAlive();
    test.StartPumpTest(1);
    form->SetMode(14);
    test.TestState = 18;
    ZentrovaAPI.Pump1.Pressure = 470.0;
    rig.take();
    boxes.shown.clear();
    form->CloseCountdownSeconds = 1;
    boxes.answer(mrYes);
    QTimer beat;  // the fake clock moves 100 ms per 5 ms while the countdown waits
    QObject::connect(&beat, &QTimer::timeout, [this] { clock.fake.advanceMs(100); });
    beat.start(5);
    TCloseAction action = caFree;
    form->FormClose(action);
    beat.stop();
    EXPECT_EQ(action, caFree);
    const std::vector<std::string> shown = takeBoxes();
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(
        shown[1],
        "Warning: The pressure test was stopped: the tested path may hold pressure until it is released."
        "\n\nThe program ends before it can release it: release it on the instrument before the path is "
        "opened.");
    const std::set<std::string> halt = {"<clear>", "OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"};
    for (const std::string& c : rig.take()) EXPECT_TRUE(halt.count(c)) << c;
    tickAlive();
    EXPECT_EQ(rig.take(), Cmds{}) << "the main loop stays off";
}

}  // namespace
