// What the operator chooses in a menu left open while the main loop ticks on, and a Critical Error
// over the method editor: the real program and the simulator (at 20 times speed) as processes,
// driven through the program's test-control channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "integration/support_program.h"

namespace {

using progtest::waitUntil;

const std::string kLive = "#main: setMode(): mode=2; current mode=0";

// One method of 3 s and the sequence "One" with one run of it.
const char* kSeed =
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Fast]\n"
    "\"ColumnT\"=sz:30\n\"ReactorT\"=sz:35\n\"Runtime\"=sz:0.05\n\"EquilTime\"=sz:0\n"
    "\"Pump1Flow\"=sz:0.1\n\"Pump2Flow\"=sz:0.1\n"
    "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\One\\0000001]\n"
    "\"Name\"=sz:Fast\n\"Repeat\"=sz:1\n";

struct Rig {
    progtest::Sandbox box;
    progtest::Sim sim{box};
    progtest::Program prog{box};
    bool start() {
        if (!sim.startPty({"--speed", "20"}) || !box.setting("ConnectMethod", 2) ||
            !box.setting("COM", sim.ptyPath()) || !box.import(kSeed) || !prog.start())
            return false;
        return prog.control("sequence One") == "ok" && prog.waitForLog(kLive, 60000);
    }
    // The commands the instrument received since the first `from` that are not status queries.
    std::vector<std::string> sentSince(size_t from) const {
        const auto all = sim.nonQueries();
        return {all.begin() + long(std::min(from, all.size())), all.end()};
    }
};

// The Sequence menu is opened during the run and offers "Suspend Sequence"; the sequence ends under
// it. The click on the stale item starts nothing: the operator is told, the instrument hears
// nothing of a run, and a disabled item of the menu is refused to the test channel too.
TEST(ProgramMenus, AMenuLeftOpenWhileTheSequenceEndsStartsNothing) {
    ASSERT_EQ(progtest::missingProgram(), "");
    Rig r;
    ASSERT_TRUE(r.start()) << r.sim.output() << r.prog.logText();
    progtest::Program& prog = r.prog;
    EXPECT_EQ(prog.control("menu StopSequence1"), "error menu item StopSequence1 is disabled");
    ASSERT_EQ(prog.control("menu Enable1"), "ok");
    ASSERT_TRUE(waitUntil([&] { return prog.state("enabled") == "1"; }, 60000)) << prog.control("boxes");
    ASSERT_EQ(prog.control("menu StartSequence1"), "ok");
    ASSERT_TRUE(waitUntil([&] { return prog.state("mode") == "7"; }, 60000)) << prog.control("boxes");
    ASSERT_EQ(prog.control("popup Sequence1"), "ok");

    ASSERT_TRUE(prog.waitForLog("END OF SEQUENCE REACHED (1 OF 1 RUN", 120000)) << prog.logText();
    ASSERT_TRUE(waitUntil([&] { return prog.state("mode") == "2"; }, 60000));
    const size_t ended = r.sim.nonQueries().size();
    ASSERT_EQ(prog.control("pick StartSequence1"), "ok");
    ASSERT_TRUE(prog.waitForLog("#menu: Suspend Sequence not done", 60000)) << prog.logText();
    EXPECT_TRUE(waitUntil(
        [&] { return prog.control("boxes").find("\"Suspend Sequence\" was not done") != std::string::npos; },
        60000))
        << prog.control("boxes");

    // Some ticks later: still idle, and nothing of a run reached the instrument.
    ASSERT_TRUE(r.sim.waitForPolls(6));
    EXPECT_EQ(prog.state("mode"), "2");
    const std::vector<std::string> sent = r.sentSince(ended);
    for (const std::string& c : sent)
        EXPECT_TRUE(c.rfind("FWD", 0) != 0 && c.rfind("VALVE", 0) != 0 && c.rfind("ML", 0) != 0) << c;
    EXPECT_EQ(progtest::countOf(prog.logText(), "#bRun(): Sequence started"), 1);

    // The menu opened now offers Start Sequence; the test channel is refused what is not offered.
    EXPECT_EQ(prog.control("menu StopSequence1"), "error menu item StopSequence1 is disabled");
    EXPECT_EQ(prog.control("pick StartSequence1"), "error the menu of StartSequence1 is not open");
}

// The method editor is open when a pressure beyond the limit raises a Critical Error: the error is
// the window in front, Escape closes it and leaves the editor open; the next one closes with OK.
TEST(ProgramMenus, ACriticalErrorOverTheMethodEditorIsAnsweredFirst) {
    ASSERT_EQ(progtest::missingProgram(), "");
    Rig r;
    ASSERT_TRUE(r.start()) << r.sim.output() << r.prog.logText();
    progtest::Program& prog = r.prog;
    ASSERT_EQ(prog.control("menu EditDelete1"), "ok");
    ASSERT_TRUE(waitUntil([&] { return prog.control("modal") == "Edit Methods"; }, 60000))
        << prog.control("modal");

    for (const char* answer : {"press escape", "click OKBtn"}) {
        SCOPED_TRACE(answer);
        ASSERT_EQ(r.sim.control("pressure 1 600"), "ok");
        ASSERT_TRUE(waitUntil([&] { return prog.control("modal") == "ErrorMessagesDialog"; }, 60000))
            << prog.control("modal") << prog.logText();
        ASSERT_EQ(prog.control(answer), "ok");
        ASSERT_TRUE(waitUntil([&] { return prog.control("modal") == "Edit Methods"; }, 60000))
            << prog.control("modal");
        ASSERT_EQ(r.sim.control("pressure 1 auto"), "ok");
        // The condition clears on a check without it: the next rise shows the window again. The
        // program does not say when it checks; polls come twice a tick and the first may have
        // been answered before the change: six of them hold at least two ticks' checks.
        ASSERT_TRUE(r.sim.waitForPolls(6));
    }
    EXPECT_EQ(prog.control("modal"), "Edit Methods") << "Escape did not reach the editor";
}

}  // namespace
