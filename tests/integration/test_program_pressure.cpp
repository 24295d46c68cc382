// A pump pressure test left under pressure, by Stop and by a lost link: the real program against
// the simulated instrument (at 20 times speed). Pump 1 is pressurised against its closed valve;
// then the halt goes out, and after it the pump draws the pressure back down to 10 psi and is
// switched off; with the link lost, only once it is back. Checked on the simulator's own state
// and command record; the operator is told that the path may hold pressure until then.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "integration/support_program.h"

namespace {

using progtest::countOf;
using progtest::waitUntil;

const std::string kLive = "#main: setMode(): mode=2; current mode=0";

// The value after "key=" in pump 1's part of the simulator's status ("" when absent).
std::string pump1(progtest::Sim& sim, const std::string& key) {
    const std::string s = sim.control("status");
    const size_t p1 = s.find(" p1=[");
    const size_t at = s.find(" " + key + "=", p1);
    if (p1 == std::string::npos || at == std::string::npos) return "";
    const size_t from = at + key.size() + 2;
    return s.substr(from, s.find_first_of(" ]", from) - from);
}

double pump1Psi(progtest::Sim& sim) {
    const std::string v = pump1(sim, "psi");
    return v.empty() ? -1.0 : std::stod(v);
}

// The index of the first command at or after from that contains what; -1 when there is none.
long firstAt(const std::vector<std::string>& cmds, size_t from, const std::string& what) {
    for (size_t i = from; i < cmds.size(); ++i)
        if (cmds[i].find(what) != std::string::npos) return long(i);
    return -1;
}

TEST(ProgramPressure, ATestStoppedOrCutOffUnderPressureIsReleasedAfterTheHalt) {
    ASSERT_EQ(progtest::missingProgram(), "");
    struct Row {
        const char* what;
        bool lost;
        std::unique_ptr<progtest::Sandbox> box = std::make_unique<progtest::Sandbox>();
        std::unique_ptr<progtest::Sim> sim = std::make_unique<progtest::Sim>(*box);
        std::unique_ptr<progtest::Program> prog = std::make_unique<progtest::Program>(*box);
        size_t before = 0;
    };
    Row rows[] = {{"Stop", false}, {"link lost", true}};
    // Both programs run side by side: each step for both at once.
    for (Row& r : rows) {
        ASSERT_TRUE(r.sim->startPty({"--speed", "20"})) << r.sim->output();
        ASSERT_TRUE(r.box->setting("ConnectMethod", 2) && r.box->setting("COM", r.sim->ptyPath()));
        ASSERT_TRUE(r.box->setting("RefillSpeed", 55));
        ASSERT_TRUE(r.prog->start()) << r.prog->output();
    }
    for (Row& r : rows) {
        ASSERT_TRUE(r.prog->waitForLog(kLive, 60000)) << r.prog->logText();
        for (const char* a : {"answer yes", "answer ok", "answer ok"}) ASSERT_EQ(r.prog->control(a), "ok");
        ASSERT_EQ(r.prog->control("menu Pump11"), "ok");
    }
    // Flush, fill, the valve closed, then pressurised to 470 psi: the equilibration begins.
    for (Row& r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_TRUE(waitUntil([&] { return r.prog->state("message").find("EQUILIBRATING") == 0; }, 240000))
            << r.prog->logText();
        EXPECT_GT(pump1Psi(*r.sim), 400.0) << r.sim->control("status");
        r.before = r.sim->commands().size();
        if (r.lost) {
            ASSERT_EQ(r.sim->control("silent on"), "ok");
        } else {
            ASSERT_EQ(r.prog->control("menu StopReset1"), "ok");
        }
    }
    for (Row& r : rows) {
        SCOPED_TRACE(r.what);
        if (!r.lost) continue;
        ASSERT_TRUE(r.prog->waitForLog("#main: Connection lost", 60000, 2)) << r.prog->logText();
        // While the link is dead nothing draws back; the pressure holds.
        EXPECT_EQ(firstAt(r.sim->commands(), r.before, "RVS"), -1);
        EXPECT_GT(pump1Psi(*r.sim), 400.0) << r.sim->control("status");
        ASSERT_EQ(r.sim->control("silent off"), "ok");
    }
    for (Row& r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_TRUE(
            waitUntil([&] { return pump1Psi(*r.sim) <= 10.0 && pump1(*r.sim, "state") == "0"; }, 60000))
            << r.sim->control("status") << r.prog->logText();
        ASSERT_TRUE(r.prog->waitForLog("PressureTest: pressure released after the stopped test", 60000))
            << r.prog->logText();
        // The halt, then the release (reverse), then the pump off at 10 psi: the simulator acts
        // on a command before its record holds it, and the program logs the release as it sends
        // the OFF.
        const auto released = [&] {
            const auto c = r.sim->commands();
            const long back = firstAt(c, r.before, "RVS 0");
            return back >= 0 && firstAt(c, size_t(back), "OFF 0") > back;
        };
        EXPECT_TRUE(waitUntil(released, 60000));
        const auto cmds = r.sim->commands();
        const long halt = firstAt(cmds, r.before, "RHEAT OFF");
        const long reverse = firstAt(cmds, r.before, "RVS 0");
        ASSERT_GE(halt, 0);
        ASSERT_GT(reverse, halt) << "the release follows the halt";
        EXPECT_GT(firstAt(cmds, size_t(reverse), "OFF 0"), reverse);
        EXPECT_EQ(firstAt(cmds, r.before, "RVS 2"), -1) << "pump 2 was not tested";
        EXPECT_EQ(firstAt(cmds, r.before, "FWD"), -1);
        const std::string told =
            "The pressure test was stopped: the tested path may hold pressure until it is released.";
        EXPECT_TRUE(
            waitUntil([&] { return r.prog->control("boxes").find(told) != std::string::npos; }, 60000))
            << r.prog->control("boxes");
        EXPECT_EQ(r.prog->state("mode"), r.lost ? "2" : "4");
        if (!r.lost) {
            EXPECT_EQ(r.prog->state("message"), "SYSTEM HALTED, INSTRUMENT STOPPED");
        }
    }
    // Nothing moves afterwards: the release's OFF is in the record (above), then some polls.
    for (Row& r : rows) {
        SCOPED_TRACE(r.what);
        const size_t after = r.sim->commands().size();
        ASSERT_TRUE(r.sim->waitForPolls(6));
        const auto cmds = r.sim->commands();
        for (size_t i = after; i < cmds.size(); ++i) EXPECT_EQ(cmds[i][0], '?') << cmds[i];
        EXPECT_EQ(pump1(*r.sim, "state"), "0");
        r.prog->stop();
    }
}

}  // namespace
