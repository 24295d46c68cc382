// A sequence driven through the main window's menu commands against the simulated instrument:
// enable, Start Sequence, the HPLC relay signal for every run, the end of the sequence; the
// sequence without a relay signal; the STOP key; the link lost during a run.
//
// The in-process scenarios run the main window, the instrument state and the HPLC module on the
// fake clock, with the simulator behind an in-process link (one main-loop tick per simulated
// second), so the HPLC's 15-minute wait costs no real time. The whole-program scenarios run the
// real program and the simulator as processes and choose the sequence through the program's
// test-control channel ("sequence NAME"); they are skipped when the channel lacks that command.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "integration/support_program.h"
#include "methods/MethodParams.h"
#include "methods/SequenceParams.h"
#include "platform/DdeClient.h"
#include "platform/IniFile.h"
#include "support/SimLink.h"
#include "support/StoredMethods.h"
#include "tools/instrument-sim/Simulator.h"
#include "ui/MainFormHarness.h"

namespace {

using progtest::countOf;

class SequenceScenario : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        writeInstrumentSetting("HPLCType", std::string("Other"));  // run signal from the relay input
        writeInstrumentSetting("RefillSpeed", 55);
        hplc->LoadHPLCType();
        hplc->HPLCState = hsNotRunning;
        instrument->ReloadSettings();

        TMethodINIParams m1;
        m1.Name = "Short";
        m1.ColumnT = "35";
        m1.ReactorT = "40";
        m1.Runtime = "1";  // 60 s
        m1.EquilTime = "0";
        m1.Pump1Flow = "0.5";
        m1.Pump2Flow = "0.3";
        ASSERT_TRUE(CMethodNames().SaveMethod(m1));
        TMethodINIParams m2 = m1;
        m2.Name = "Second";
        m2.Runtime = "0.5";
        ASSERT_TRUE(CMethodNames().SaveMethod(m2));
        storeSequence("Pair", {{"Short", "2"}, {"Second", "1"}});

        sim = std::make_unique<zsim::Simulator>();
        simLink = std::make_unique<SimLink>(*sim, &clock.fake);
        ASSERT_EQ(sim->control("volume 1 40").rfind("ok", 0), 0u);
        ASSERT_EQ(sim->control("volume 2 40").rfind("ok", 0), 0u);
        for (int i = 0; i < 3; ++i) tick();
        ASSERT_EQ(form->iMode, 2);
        newLog();
    }
    void TearDown() override {
        simLink.reset();
        MainFormHarness::TearDown();
        sim.reset();
    }

    // One second: the main loop, the link (commands out, the instrument moves, a status line
    // in), the HPLC module's poll.
    void tick() {
        link->DataReceived = !silent;
        form->Timer1Timer();
        simLink->tick(1000);
        hplc->UpdateState();
    }
    // Ticks until done() or max ticks; false on time-out.
    bool tickUntil(const std::function<bool()>& done, int max) {
        for (int i = 0; i < max; ++i) {
            if (done()) return true;
            tick();
        }
        return done();
    }
    // The HPLC's answer while the run machine waits for it: a relay pulse of 3 s.
    void relayWhenWaiting() {
        if (instrument->RunState == 18 && !sim->instrument().relayInput()) {
            ASSERT_EQ(sim->control("relay pulse 3000").rfind("ok", 0), 0u);
            ++pulses;
        }
    }
    void startSequence() {
        form->SetDefaultSequence("Pair");
        form->Enable1->Click();
        ASSERT_TRUE(instrument->Enabled);
        form->StartSequence1Click();
        ASSERT_EQ(form->iMode, 7);
    }

    bool pumping(int n) { return sim->instrument().pump(n).state != 0; }

    std::unique_ptr<zsim::Simulator> sim;
    std::unique_ptr<SimLink> simLink;
    bool silent = false;
    int pulses = 0;
};

TEST_F(SequenceScenario, RelaySignalForEveryRunEndsTheSequence) {
    startSequence();
    EXPECT_EQ(lcdMessage(), "SEQUENCE Pair STARTED");
    ASSERT_TRUE(tickUntil(
        [&] {
            relayWhenWaiting();
            return form->iMode != 7;
        },
        3000));
    EXPECT_EQ(form->iMode, 2);
    EXPECT_EQ(pulses, 3);
    EXPECT_EQ(instrument->PumpStarts, 3);
    const std::string log = newLog();
    EXPECT_NE(log.find("#menu: Control->Enable"), std::string::npos);
    EXPECT_NE(log.find("#menu: Sequence Start"), std::string::npos);
    EXPECT_EQ(count(log, "#bRun(): HPLC Run signal received, starting Run "), 3);
    EXPECT_NE(log.find("END OF SEQUENCE REACHED (3 OF 3 RUNS)"), std::string::npos);
    EXPECT_EQ(lcdMessage(), "END OF SEQUENCE REACHED (3 OF 3 RUNS)");
    EXPECT_EQ(form->StatusText(1), "");
    EXPECT_FALSE(pumping(1));
    EXPECT_FALSE(pumping(2));
}

TEST_F(SequenceScenario, StatusPanelsFollowTheRun) {
    startSequence();
    ASSERT_TRUE(tickUntil(
        [&] {
            relayWhenWaiting();
            return instrument->RunState == 34 && instrument->GetRunSeconds() >= 30;
        },
        600));
    tick();
    EXPECT_EQ(form->StatusText(0).left(5), "RUN (");
    EXPECT_EQ(form->StatusText(1), "1 of 3");
    EXPECT_EQ(form->StatusText(2), "Method (1): Short");
    EXPECT_EQ(form->StatusText(3), "Sequence: Pair");
}

TEST_F(SequenceScenario, WithoutTheRelaySignalTheSequenceStops) {
    startSequence();
    ASSERT_TRUE(tickUntil([&] { return form->iMode != 7; }, 1200));
    EXPECT_EQ(form->iMode, 2);
    EXPECT_FALSE(instrument->Enabled);
    const std::string log = newLog();
    EXPECT_NE(log.find("#bRun(): HPLC timeout, stopping Sequence, current Method Short"), std::string::npos);
    EXPECT_NE(log.find("SEQUENCE STOPPED (RUN 1) - NO RELAY SIGNAL"), std::string::npos);
    EXPECT_EQ(lcdMessage(), "SEQUENCE STOPPED (RUN 1) - NO RELAY SIGNAL");
}

// The data system answered RUN and then hangs: once its request has timed out it is no longer
// taken as running, the run waits for it and the sequence ends on the HPLC time-out.
TEST_F(SequenceScenario, HungDataSystemIsNotTakenAsRunning) {
    writeInstrumentSetting("HPLCType", std::string("Agilent ChemStation"));
    writeInstrumentSetting("ChemInstance", std::string("1"));
    env->set("ZENTROVA_WINDIR", env->dir);
    env->set("ZENTROVA_DDE_DIR", env->dir);
    IniFile ini(env->path("chemstation.ini"));
    ini.writeString("PCS,1", "_DDEOnLine", "SEQ1");
    ASSERT_TRUE(ini.updateFile());
    bool answering = true;
    DdeServer server;
    server.setHandler([&](const std::string&, const std::string&) -> std::optional<std::string> {
        if (answering) return std::string("RUN");
        return std::nullopt;
    });
    ASSERT_TRUE(server.listen("SEQ1"));
    TChemStation1 cs;
    cs.Timer1->setInterval(3600 * 1000);  // polled below, every third tick
    hplc->ChemStation = &cs;
    hplc->LoadHPLCType();
    int n = 0;
    const auto tickAndPoll = [&] {
        if (n++ % 3 == 0) cs.Timer1Timer();
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
        cs.DdeClientConv->checkTimeout();
        tick();
    };
    for (int i = 0; i < 100 && hplc->GetState() != hsRunning; ++i) tickAndPoll();
    ASSERT_EQ(hplc->GetState(), hsRunning);
    answering = false;
    for (int i = 0; i < 20 && hplc->GetState() == hsRunning; ++i) tickAndPoll();
    ASSERT_EQ(hplc->GetState(), hsNotRunning) << "within one time-out of the request";

    startSequence();
    for (int i = 0; i < 1500 && form->iMode == 7; ++i) tickAndPoll();
    EXPECT_EQ(form->iMode, 2);
    const std::string log = newLog();
    EXPECT_EQ(log.find("HPLC Run signal received"), std::string::npos);
    EXPECT_NE(log.find("#bRun(): HPLC timeout, stopping Sequence, current Method Short"), std::string::npos);
    hplc->ChemStation = nullptr;
}

TEST_F(SequenceScenario, StopKeyHaltsEverythingAtOnce) {
    startSequence();
    ASSERT_TRUE(tickUntil(
        [&] {
            relayWhenWaiting();
            return instrument->RunState == 34;
        },
        600));
    tick();
    ASSERT_TRUE(pumping(1));
    simLink->takeSent();
    form->StopBtnImg->OnMouseDown(Qt::LeftButton);
    EXPECT_EQ(form->iMode, 4);
    EXPECT_EQ(form->StopReset1->GetCaption(), "Reset");
    tick();  // the halt's commands go out with the next link tick
    const std::vector<std::string> sent = simLink->takeSent();
    for (const char* c : {"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"})
        EXPECT_NE(std::find(sent.begin(), sent.end(), c), sent.end()) << c;
    EXPECT_FALSE(pumping(1));
    EXPECT_FALSE(pumping(2));
    // Nothing goes on while halted.
    for (int i = 0; i < 120; ++i) tick();
    EXPECT_EQ(form->iMode, 4);
    EXPECT_FALSE(pumping(1));
    const std::string log = newLog();
    EXPECT_NE(log.find("#menu: Stop Button Image clicked"), std::string::npos);
    EXPECT_NE(log.find("#main: Stop pressed"), std::string::npos);
    EXPECT_EQ(log.find("#bRun(): Run finished"), std::string::npos);
}

TEST_F(SequenceScenario, LostLinkDuringARunShowsTheBoxAndNothingResumes) {
    startSequence();
    ASSERT_TRUE(tickUntil(
        [&] {
            relayWhenWaiting();
            return instrument->RunState == 34;
        },
        600));
    silent = true;
    ASSERT_TRUE(tickUntil([&] { return form->iMode == 0; }, 20));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Unrecoverable Error!");
    EXPECT_EQ(boxes.shown[0].text, "Lost connection with Instrument. Operation stopped.");
    newLog();
    silent = false;
    for (int i = 0; i < 120; ++i) tick();
    EXPECT_EQ(form->iMode, 2);
    EXPECT_FALSE(instrument->Enabled);
    EXPECT_FALSE(pumping(1));
    EXPECT_FALSE(pumping(2));
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(newLog().find("#bRun()"), std::string::npos);
}

// ---------------------------------------------------------------- the real program

// The real program and the simulator in their own processes, a method and a sequence seeded
// with regtool; the commands come through the program's test-control channel. Runs real
// seconds (the run time of each method is 3 s).
class ProgramSequence : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const std::string& p :
             {progtest::programPath(), progtest::simulatorPath(), progtest::regtoolPath()})
            ASSERT_TRUE(QFile::exists(QString::fromStdString(p))) << p << " is not built";
        ASSERT_TRUE(box.ok());
        ASSERT_TRUE(sim.startPty({"--speed", "20"})) << sim.output();
        ASSERT_TRUE(box.setting("ConnectMethod", 3));
        ASSERT_TRUE(box.setting("USB", "KVZ Sim"));
        ASSERT_TRUE(box.setting("HPLCType", "Other"));
        ASSERT_TRUE(box.setting("RefillSpeed", 55));
        ASSERT_TRUE(seed());
        ASSERT_TRUE(prog.start({}, {{"ZENTROVA_D2XX_MAP", "KVZ Sim=" + sim.ptyPath()}})) << prog.output();
        const std::string chosen = prog.control("sequence Pair");
        if (chosen.rfind("error", 0) == 0)
            GTEST_SKIP() << "the program's test channel cannot choose a sequence";
        ASSERT_TRUE(prog.waitForLog("#SetDefaultSequence: Pair", 3000)) << prog.logText();
        ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=0", 20000)) << prog.logText();
    }

    // Two methods of 3 s and the sequence "Pair" with one run of each.
    bool seed() {
        const char* text =
            "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Fast]\n"
            "\"ColumnT\"=sz:30\n\"ReactorT\"=sz:35\n\"Runtime\"=sz:0.05\n\"EquilTime\"=sz:0\n"
            "\"Pump1Flow\"=sz:0.1\n\"Pump2Flow\"=sz:0.1\n"
            "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Faster]\n"
            "\"ColumnT\"=sz:30\n\"ReactorT\"=sz:35\n\"Runtime\"=sz:0.05\n\"EquilTime\"=sz:0\n"
            "\"Pump1Flow\"=sz:0.2\n\"Pump2Flow\"=sz:0.1\n"
            "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Pair\\0000001]\n"
            "\"Name\"=sz:Fast\n\"Repeat\"=sz:1\n"
            "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Pair\\0000002]\n"
            "\"Name\"=sz:Faster\n\"Repeat\"=sz:1\n";
        return box.import(text);
    }

    void menu(const std::string& name) { ASSERT_EQ(prog.control("menu " + name), "ok"); }

    // Enables the instrument and starts the sequence through the menu commands.
    void enableAndStart() {
        if (prog.state("enabled") != "1") menu("Enable1");  // a sequence's end leaves it enabled
        ASSERT_TRUE(waitFor([&] { return prog.state("enabled") == "1"; }, 5000)) << prog.control("boxes");
        menu("StartSequence1");
        ASSERT_TRUE(waitFor([&] { return prog.state("mode") == "7"; }, 5000)) << prog.control("boxes");
    }

    // The HPLC's answer for run n: relay pulses of 2 s until the program reports the run started.
    bool relayForRun(int n, int timeoutMs) {
        const std::string started = "#bRun(): HPLC Run signal received, starting Run ";
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            if (sim.control("relay pulse 40000").rfind("ok", 0) != 0) return false;  // 2 s at speed 20
            if (prog.waitForLog(started, 2500, n)) return true;
        }
        return false;
    }

    static bool waitFor(const std::function<bool()>& done, int timeoutMs) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            if (done()) return true;
            progtest::pause(100);
        }
        return done();
    }

    progtest::Sandbox box;
    progtest::Simulator sim{box};
    progtest::Program prog{box};
};

TEST_F(ProgramSequence, RelayForEveryRunEndsTheSequenceThenStopHaltsTheNext) {
    enableAndStart();
    ASSERT_TRUE(relayForRun(1, 20000)) << prog.logText();
    ASSERT_TRUE(relayForRun(2, 60000)) << prog.logText();
    ASSERT_TRUE(prog.waitForLog("END OF SEQUENCE REACHED (2 OF 2 RUNS)", 20000)) << prog.logText();
    EXPECT_EQ(prog.state("mode"), "2");
    std::string log = prog.logText();
    EXPECT_NE(log.find("#menu: Control->Enable"), std::string::npos);
    EXPECT_NE(log.find("#menu: Sequence Start"), std::string::npos);
    EXPECT_EQ(countOf(log, "#bRun(): Run finished, "), 2);

    // Again, and the STOP command during the first run halts everything at once.
    enableAndStart();
    ASSERT_TRUE(relayForRun(3, 20000)) << prog.logText();
    const size_t before = sim.nonQueries().size();
    menu("StopReset1");
    ASSERT_TRUE(waitFor([&] { return prog.state("mode") == "4"; }, 3000));
    ASSERT_TRUE(waitFor(
        [&] {
            const auto c = sim.nonQueries();
            return std::count(c.begin() + long(before), c.end(), "RHEAT OFF") > 0;
        },
        3000));
    const auto after = sim.nonQueries();
    const std::vector<std::string> halt(after.begin() + long(before), after.end());
    for (const char* c : {"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"})
        EXPECT_NE(std::find(halt.begin(), halt.end(), c), halt.end()) << c;
    progtest::pause(5000);  // longer than the run: it does not finish
    log = prog.logText();
    EXPECT_EQ(countOf(log, "#bRun(): Run finished, "), 2);
    EXPECT_NE(log.find("#main: Stop pressed"), std::string::npos);
    EXPECT_EQ(prog.state("mode"), "4");
}

}  // namespace
