// Boxes that a tick of the main loop opens leave the loop ticking: the real program and the
// simulator as processes over a serial pseudo-terminal, the box held open through the
// program's test channel while the instrument goes silent and comes back.
#include <gtest/gtest.h>

#include <QFile>
#include <algorithm>
#include <string>

#include "integration/support_program.h"

namespace {

using progtest::waitUntil;

bool started(const std::string& c) {
    return c.rfind("FWD", 0) == 0 || c.rfind("VALVE", 0) == 0;
}

TEST(ProgramBoxes, LinkReturnsUnderTheLostLinkBoxAndTheHaltReachesTheInstrument) {
    for (const std::string& p : {progtest::programPath(), progtest::simulatorPath(), progtest::regtoolPath()})
        ASSERT_TRUE(QFile::exists(QString::fromStdString(p))) << p << " is not built";
    progtest::Sandbox box;
    progtest::Simulator sim(box);
    ASSERT_TRUE(sim.startPty({"--speed", "20"})) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    ASSERT_TRUE(box.setting("HPLCType", "Other"));
    ASSERT_TRUE(
        box.import("[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Long]\n"
                   "\"ColumnT\"=sz:30\n\"ReactorT\"=sz:35\n\"Runtime\"=sz:1\n\"EquilTime\"=sz:0\n"
                   "\"Pump1Flow\"=sz:0.5\n\"Pump2Flow\"=sz:0.5\n"
                   "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Slow\\0000001]\n"
                   "\"Name\"=sz:Long\n\"Repeat\"=sz:1\n"));
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start()) << prog.output();
    ASSERT_EQ(prog.control("sequence Slow"), "ok");
    ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=0", 20000)) << prog.logText();
    ASSERT_EQ(prog.control("menu Enable1"), "ok");
    ASSERT_TRUE(waitUntil([&] { return prog.state("enabled") == "1"; }, 5000)) << prog.control("boxes");
    ASSERT_EQ(prog.control("menu StartSequence1"), "ok");
    ASSERT_TRUE(waitUntil([&] { return prog.state("mode") == "7"; }, 5000)) << prog.control("boxes");

    ASSERT_EQ(prog.control("hold on"), "ok");
    ASSERT_EQ(sim.control("silent on").rfind("ok", 0), 0u);
    ASSERT_TRUE(prog.waitForLog("#main: SetMode(): pop-up Connection Lost message", 20000)) << prog.logText();
    ASSERT_EQ(prog.control("open"), "1");
    const size_t before = sim.nonQueries().size();
    ASSERT_EQ(sim.control("silent off").rfind("ok", 0), 0u);

    // With the box still open: the reconnect and the halt on the wire.
    ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=0", 8000, 2)) << prog.logText();
    std::vector<std::string> sent;
    const auto halted = [&] {
        const auto all = sim.nonQueries();
        sent.assign(all.begin() + long(before), all.end());
        return std::count(sent.begin(), sent.end(), "RHEAT OFF") > 0;
    };
    ASSERT_TRUE(waitUntil(halted, 5000)) << prog.logText();
    for (const char* c : {"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"})
        EXPECT_NE(std::find(sent.begin(), sent.end(), c), sent.end()) << c;
    // Commands the run had queued may still leave before the halt clears the queue; after the
    // halt nothing starts again, though ticks go on.
    progtest::pause(2000);
    halted();
    const auto halt = std::find(sent.begin(), sent.end(), "RHEAT OFF");
    EXPECT_EQ(std::count_if(halt, sent.end(), started), 0);
    EXPECT_EQ(prog.control("open"), "1");
    EXPECT_EQ(prog.state("mode"), "2");
    EXPECT_EQ(progtest::countOf(prog.logText(), "pop-up Connection Lost message"), 1);

    ASSERT_EQ(prog.control("answer ok"), "ok");
    ASSERT_TRUE(prog.waitForLog("pop-up Connection Lost message closed, Instrument Halted", 3000));
    EXPECT_EQ(prog.control("open"), "0");
    EXPECT_EQ(prog.state("mode"), "2");
    EXPECT_EQ(prog.state("enabled"), "0");
}

}  // namespace
