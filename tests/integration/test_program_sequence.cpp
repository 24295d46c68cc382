// A sequence in step with the HPLC: the real program and the simulator as processes, the
// sequence chosen through the program's test-control channel, the relay signal for every run,
// the end of the sequence, then the STOP command during a run.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <algorithm>
#include <functional>
#include <string>

#include "integration/support_program.h"

namespace {

using progtest::countOf;

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
