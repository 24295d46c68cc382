// A sequence in step with the HPLC, then a lost link under a running sequence: the real program
// and the simulator (at 20 times speed) as processes, the sequence chosen through the program's
// test-control channel, the relay signal for every run, the end of the sequence; then the box
// held open while the instrument goes silent and comes back, and the halt under the open box,
// first of all commands after the loss.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "integration/support_program.h"

namespace {

using progtest::countOf;
using progtest::waitUntil;

const std::string kLive = "#main: setMode(): mode=2; current mode=0";

// Two methods of 3 s and the sequence "Pair" with one run of each.
const char* kSeed =
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

TEST(ProgramSequence, RunsInStepWithTheRelayThenTheLinkReturnsUnderTheLostLinkBox) {
    ASSERT_EQ(progtest::missingProgram(), "");
    progtest::Sandbox box;
    progtest::Sim sim(box);
    ASSERT_TRUE(sim.startPty({"--speed", "20"})) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    ASSERT_TRUE(box.setting("HPLCType", "Other"));  // the run signal comes from the relay input
    ASSERT_TRUE(box.setting("RefillSpeed", 55));
    ASSERT_TRUE(box.import(kSeed));
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start()) << prog.output();
    ASSERT_EQ(prog.control("sequence Pair"), "ok");
    ASSERT_TRUE(prog.waitForLog(kLive, 60000)) << prog.logText();
    const auto enableAndStart = [&] {
        if (prog.state("enabled") != "1") {
            ASSERT_EQ(prog.control("menu Enable1"), "ok");  // a sequence's end leaves it enabled
        }
        ASSERT_TRUE(waitUntil([&] { return prog.state("enabled") == "1"; }, 60000)) << prog.control("boxes");
        ASSERT_EQ(prog.control("menu StartSequence1"), "ok");
        ASSERT_TRUE(waitUntil([&] { return prog.state("mode") == "7"; }, 60000)) << prog.control("boxes");
    };
    // The HPLC's answer for run n: relay pulses of 2 s until the program reports the run started.
    const auto relayForRun = [&](int n) {
        return waitUntil(
            [&] {
                return sim.control("relay pulse 40000") == "ok" &&
                       prog.waitForLog("#bRun(): HPLC Run signal received, starting Run ", 2500, n);
            },
            120000);
    };
    enableAndStart();
    ASSERT_TRUE(relayForRun(1)) << prog.logText();
    ASSERT_TRUE(relayForRun(2)) << prog.logText();
    ASSERT_TRUE(prog.waitForLog("END OF SEQUENCE REACHED (2 OF 2 RUNS)", 60000)) << prog.logText();
    // The end's mode change follows its text.
    EXPECT_TRUE(waitUntil([&] { return prog.state("mode") == "2"; }, 60000)) << prog.state("mode");
    std::string log = prog.logText();
    EXPECT_NE(log.find("#SetDefaultSequence: Pair"), std::string::npos);
    EXPECT_NE(log.find("#menu: Sequence Start"), std::string::npos);
    EXPECT_EQ(countOf(log, "#bRun(): Run finished, "), 2);

    // Again, and the instrument falls silent while the sequence waits for the HPLC.
    enableAndStart();
    ASSERT_EQ(prog.control("hold on"), "ok");
    ASSERT_EQ(sim.control("silent on"), "ok");
    ASSERT_TRUE(prog.waitForLog("#main: SetMode(): pop-up Connection Lost message", 60000)) << prog.logText();
    ASSERT_TRUE(waitUntil([&] { return prog.control("open") == "1"; }, 60000));
    const size_t before = sim.nonQueries().size();
    ASSERT_EQ(sim.control("silent off"), "ok");

    // With the box still open: the reconnect and the halt on the wire.
    ASSERT_TRUE(prog.waitForLog(kLive, 60000, 2)) << prog.logText();
    std::vector<std::string> sent;
    const auto sentSince = [&] {
        const auto all = sim.nonQueries();
        sent.assign(all.begin() + long(before), all.end());
        return std::find(sent.begin(), sent.end(), "RHEAT OFF") != sent.end();
    };
    ASSERT_TRUE(waitUntil(sentSince, 60000)) << prog.logText();
    // Nothing of the stopped run follows the loss: the halt is the first thing the instrument
    // hears after the reconnect; after it nothing starts again, though the status polls go on.
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 4),
              (std::vector<std::string>{"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"}));
    // The polls counted from here, after the halt: those during the silence came before it.
    ASSERT_TRUE(sim.waitForPolls(4));
    sentSince();
    EXPECT_TRUE(std::none_of(std::find(sent.begin(), sent.end(), "RHEAT OFF"), sent.end(),
                             [](auto& c) { return c.rfind("FWD", 0) == 0 || c.rfind("VALVE", 0) == 0; }));
    EXPECT_EQ(prog.control("open"), "1");
    EXPECT_EQ(prog.state("mode"), "2");
    EXPECT_EQ(countOf(prog.logText(), "pop-up Connection Lost message"), 1);

    ASSERT_EQ(prog.control("answer ok"), "ok");
    ASSERT_TRUE(prog.waitForLog("pop-up Connection Lost message closed, Instrument Halted", 60000));
    EXPECT_TRUE(waitUntil([&] { return prog.control("open") == "0"; }, 60000));
    // The box returns to mode 0; the next tick halts again and is ready.
    EXPECT_TRUE(waitUntil([&] { return prog.state("mode") == "2"; }, 60000));
    EXPECT_EQ(prog.state("enabled"), "0");

    // A storage preparation waits in its first box and the instrument falls silent: the box
    // says why the procedure stopped; after it, nothing but the halt reaches the instrument.
    ASSERT_EQ(prog.control("answer yes"), "ok");  // the start's question
    ASSERT_EQ(prog.control("menu PrepareforStorageShipping1"), "ok");
    ASSERT_TRUE(waitUntil(
        [&] { return prog.control("boxes").find("Please replace your reagent") != std::string::npos; },
        60000))
        << prog.control("boxes");
    ASSERT_EQ(sim.control("silent on"), "ok");
    ASSERT_TRUE(prog.waitForLog("#main: SetMode(): procedure stopped while its box was open", 60000))
        << prog.logText();
    const size_t lost = sim.nonQueries().size();
    EXPECT_TRUE(waitUntil(
        [&] {
            return prog.control("boxes").find(
                       "Unrecoverable Error!: Lost connection with Instrument. Operation stopped.") !=
                   std::string::npos;
        },
        60000))
        << prog.control("boxes");
    ASSERT_EQ(sim.control("silent off"), "ok");
    ASSERT_TRUE(prog.waitForLog(kLive, 60000, 3)) << prog.logText();
    ASSERT_EQ(prog.control("answer ok"), "ok");
    ASSERT_TRUE(waitUntil([&] { return prog.control("open") == "0"; }, 60000));
    const auto sentSinceLoss = [&] {
        const auto all = sim.nonQueries();
        return std::vector<std::string>(all.begin() + long(lost), all.end());
    };
    // The reconnect's first tick polls, then halts; the halt is whole with the disable's second
    // OFF to each pump. A few polls later nothing else has followed it.
    ASSERT_TRUE(waitUntil([&] { return sentSinceLoss().size() >= 6; }, 60000)) << prog.logText();
    ASSERT_TRUE(sim.waitForPolls(4));
    const auto after = sentSinceLoss();
    EXPECT_EQ(std::vector<std::string>(after.begin(), after.begin() + 4),
              (std::vector<std::string>{"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"}));
    for (const std::string& c : after)
        EXPECT_TRUE(c.rfind("OFF ", 0) == 0 || c.find("HEAT OFF") != std::string::npos) << c;
    EXPECT_EQ(prog.state("mode"), "2");
}

}  // namespace
