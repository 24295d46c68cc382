// The real program against the simulated instrument, pumps and heaters on: the Close button of a
// temperature calibration notice ends the program without its closing question, and the halt still
// reaches the instrument.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "integration/support_program.h"

namespace {

using progtest::countOf;
using progtest::waitUntil;

TEST(ProgramNotices, CloseInACalibrationNoticeEndsTheProgramAndHaltsTheInstrument) {
    ASSERT_EQ(progtest::missingProgram(), "");
    struct Row {
        const char* menu;
        const char* notice;
        std::unique_ptr<progtest::Sandbox> box = std::make_unique<progtest::Sandbox>();
        std::unique_ptr<progtest::Sim> sim = std::make_unique<progtest::Sim>(*box);
        std::unique_ptr<progtest::Program> prog = std::make_unique<progtest::Program>(*box);
        size_t before = 0;
    };
    Row rows[] = {{"ReactorTemperatureCalibration", "ReactorTempCalibration"},
                  {"ColumnTemperatureCalibration", "ColumnTempCalibration"}};
    const auto status = [](Row& r, const char* state, const char* heat) {
        const std::string s = r.sim->control("status");
        return countOf(s, state) == 2 && countOf(s, heat) == 2;
    };
    // Both programs run side by side: each step for both at once.
    for (Row& r : rows) {
        ASSERT_TRUE(r.sim->startPty()) << r.sim->output();
        ASSERT_TRUE(r.box->setting("ConnectMethod", 2) && r.box->setting("COM", r.sim->ptyPath()));
        ASSERT_TRUE(
            r.box->import("[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Hot]\n"
                          "\"ColumnT\"=sz:40\n\"ReactorT\"=sz:45\n\"Pump1Flow\"=sz:0.5\n"
                          "\"Pump2Flow\"=sz:0.5\n"
                          "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Hot\\0000001]\n"
                          "\"Name\"=sz:Hot\n\"Repeat\"=sz:1\n"));
        ASSERT_TRUE(r.prog->start()) << r.prog->output();
        ASSERT_EQ(r.prog->control("sequence Hot"), "ok");
    }
    for (Row& r : rows) {
        ASSERT_TRUE(r.prog->waitForLog("#main: setMode(): mode=2; current mode=0", 60000))
            << r.prog->logText();
        ASSERT_EQ(r.prog->control("menu Enable1"), "ok");
    }
    for (Row& r : rows) {
        ASSERT_TRUE(waitUntil([&] { return r.prog->state("enabled") == "1"; }, 60000));
        ASSERT_EQ(r.prog->control("menu BothPumpsOn"), "ok");
    }
    for (Row& r : rows) {
        ASSERT_TRUE(waitUntil([&] { return status(r, "state=1", "heat=on"); }, 60000))
            << r.sim->control("status");
        // The simulator acts on a command before its record holds it: both starts are in before
        // the halt is counted from the record.
        ASSERT_TRUE(waitUntil(
            [&] {
                const auto sent = r.sim->nonQueries();
                return std::count(sent.begin(), sent.end(), "FWD 0") > 0 &&
                       std::count(sent.begin(), sent.end(), "FWD 2") > 0;
            },
            60000));
        // No menu shows the calibration items: their commands are run as their click runs them.
        EXPECT_NE(r.prog->control("menu " + std::string(r.menu)), "ok");
        ASSERT_EQ(r.prog->control("invoke " + std::string(r.menu)), "ok");
    }
    for (Row& r : rows) {
        SCOPED_TRACE(r.menu);
        ASSERT_TRUE(waitUntil([&] { return r.prog->control("modal") == r.notice; }, 60000));
        r.before = r.sim->commands().size();
        ASSERT_EQ(r.prog->control("click Close"), "ok");
    }
    for (Row& r : rows) {
        SCOPED_TRACE(r.menu);
        ASSERT_TRUE(r.prog->waitForExit(60000)) << r.prog->logText();
        EXPECT_FALSE(r.prog->crashed());
        EXPECT_EQ(r.prog->exitCode(), 0);
        // Both pumps off, both heaters off, then the disable stops the pumps once more. The
        // program has ended; the simulator may not yet have read all it sent.
        std::vector<std::string> sent;
        const auto sentSince = [&] {
            const auto cmds = r.sim->commands();
            sent.clear();
            for (size_t i = r.before; i < cmds.size(); ++i)
                if (cmds[i][0] != '?') sent.push_back(cmds[i]);
            return sent.size() >= 6;
        };
        EXPECT_TRUE(waitUntil(sentSince, 60000));
        EXPECT_EQ(sent,
                  (std::vector<std::string>{"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF", "OFF 0", "OFF 2"}));
        EXPECT_TRUE(status(r, "state=0", "heat=off")) << r.sim->control("status");
        const std::string log = r.prog->logText();
        EXPECT_EQ(countOf(log, "#main: The program ends outside its close: closing without confirmation"), 1)
            << log;
        EXPECT_EQ(countOf(log, "You asked to close"), 0);
    }
}

}  // namespace
