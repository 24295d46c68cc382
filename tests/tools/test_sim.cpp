// The simulated instrument in-process: its side of the protocol (status-line grammar, prompts,
// rejections, line ends) and the switches that make it misbehave; the whole-program tests cover
// what the program sees of its hardware model.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <sstream>

#include "tools/instrument-sim/Simulator.h"

namespace {

using zsim::Simulator;

// Sends the command with its CR and returns what the simulator answers at once.
std::string ask(Simulator& sim, const std::string& command) {
    sim.receive(command + "\r");
    sim.advance(0);
    return sim.takeOutput();
}

// The CR LF ended lines of an answer (the prompt after them is not a line).
std::vector<std::string> lines(const std::string& answer) {
    std::vector<std::string> out;
    for (size_t pos = 0, end; (end = answer.find("\r\n", pos)) != std::string::npos; pos = end + 2)
        out.push_back(answer.substr(pos, end - pos));
    return out;
}

// The line of the given part in the answer to "? 0123", empty if none.
std::string part(Simulator& sim, int p) {
    for (const std::string& l : lines(ask(sim, "? 0123")))
        if (l.size() > 1 && l[1] == char('0' + p)) return l;
    return std::string();
}

// A field of a status part (counted from 1), read as the program reads it: the flags,
// positions and step modes of the pump parts and the inputs of part 3 are hexadecimal.
long field(Simulator& sim, int p, size_t index) {
    std::stringstream line(part(sim, p));
    std::string f;
    for (size_t i = 0; i <= index; ++i)  // field 0 is the "?N"
        if (!std::getline(line, f, ',')) return LONG_MIN;
    const bool hex = (p == 3 && index == 6) || ((p == 1 || p == 2) && index != 1 && index != 4 && index != 6);
    return std::stol(f, nullptr, hex ? 16 : 10);
}

// One step of a script: the actions, ";" between them ("=..." a control command answered "ok",
// "+N" N ms of model time, else a command for the link, answered `answer` when one is given),
// then the checks: "P.I=V" field I of status part P is V, "P.I=LO..HI" it lies in that range.
struct Step {
    std::string acts;
    const char* answer = nullptr;
    std::string checks = "";
};

void play(Simulator& sim, const std::vector<Step>& steps) {
    for (const Step& s : steps) {
        SCOPED_TRACE(s.acts + " " + s.checks);
        std::stringstream acts(s.acts), checks(s.checks);
        for (std::string a; std::getline(acts, a, ';');) {
            if (a.starts_with("="))
                EXPECT_EQ(sim.control(a.substr(1)), "ok");
            else if (a.starts_with("+"))
                sim.advance(std::stoll(a.substr(1)));
            else if (s.answer)
                EXPECT_EQ(ask(sim, a), s.answer);
            else
                ask(sim, a);
        }
        for (std::string c; checks >> c;) {
            int p = 0;
            size_t i = 0;
            long lo = 0, hi = 0;
            const int n = std::sscanf(c.c_str(), "%d.%zu=%li..%li", &p, &i, &lo, &hi);
            ASSERT_GE(n, 3) << c;
            const long v = field(sim, p, i);
            EXPECT_GE(v, lo) << c;
            EXPECT_LE(v, n == 4 ? hi : lo) << c;
        }
    }
}

// ---------------------------------------------------------------- protocol

TEST(SimProtocol, QueriesAnswerTheirPartsInOrderWithEnoughFields) {
    Simulator sim;
    const std::string answer = ask(sim, "? 0123");
    EXPECT_EQ(answer.find('>'), answer.size() - 1);
    // The program's acceptance: part 0 at least 5 commas, parts 1 and 2 at least 12, part 3 at least 7.
    const auto l = lines(answer);
    ASSERT_EQ(l.size(), 4u);
    const int least[] = {5, 12, 12, 7};
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(l[p].substr(0, 3), "?" + std::to_string(p) + ",");
        EXPECT_GE(std::ranges::count(l[p], ','), least[p]) << l[p];
        for (unsigned char c : l[p]) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << l[p];
    }
}

TEST(SimProtocol, SinglePumpReportsBothLimitsOnTheSecondPumpLineAndRefusesItsCommands) {
    Simulator sim(zsim::InstrumentConfig{.singlePump = true});
    EXPECT_GE(std::ranges::count(part(sim, 2), ','), 12);
    play(sim, {{"FWD 2;VALVE 2 1;STOPPRESSURE 2 100.00", "!", "2.3=3"},
               {"FWD 0", ">"},
               {"=single-pump off", nullptr, "2.3=0"}});
}

TEST(SimProtocol, EveryCommandOfTheProgramGetsThePromptAndBadOnesAreRejectedWithoutEffect) {
    Simulator sim;
    // Unusual but valid forms next to the bad ones; the whole-program tests send the ordinary commands.
    for (const char* c : {"ML 0 0.005", "CSETPOINT  5.0", "CFORCEHEAT ON", "RFORCEHEAT OFF", "CFAN ON", ""})
        EXPECT_EQ(ask(sim, c), ">") << c;

    Simulator fresh;
    const char* const bad[] = {
        "FOO",         "fwd 0",        "FWD",      "FWD 1",     "FWD 0 1",   "MS 0 0",
        "ML 0 -1.00",  "ML 0 abc",     "ML 0 1,5", "VALVE 3 1", "VALVE 1 0", "VALVE 1 9",
        "CHEAT MAYBE", "DOOR SHUT",    "? 4",      "?",         "? 12x",     "STOPPRESSURE 0 5",
        "CSETPOINT",   "CSETPOINT 1e3"};
    for (const char* c : bad) EXPECT_EQ(ask(fresh, c), "!") << c;
    EXPECT_EQ(fresh.instrument().pump(1).state, 0);
    EXPECT_EQ(fresh.instrument().valve(1).commanded, 1);
    EXPECT_EQ(ask(fresh, std::string(300, 'A')), "!");
    EXPECT_EQ(ask(fresh, "OFF 0"), ">");  // the long line left nothing behind
}

TEST(SimProtocol, LineEndsAndSplitCommandsAreLoggedWithTheirExactBytes) {
    Simulator sim;
    std::vector<std::string> log;
    sim.responder().onCommand = [&](std::string_view b) { log.emplace_back(b); };
    sim.receive(std::string("OFF 0\r\0MS 0 1\r\nFW", 17));
    sim.receive("D 0\r");
    sim.advance(0);
    EXPECT_EQ(sim.takeOutput(), ">>>");
    EXPECT_EQ(log, (std::vector<std::string>{std::string("OFF 0\r\0", 7), "MS 0 1\r\n", "FWD 0\r"}));
    EXPECT_EQ(sim.responder().commands(), (std::vector<std::string>{"OFF 0", "MS 0 1", "FWD 0"}));
    EXPECT_EQ(sim.instrument().pump(1).state, 1);
}

TEST(SimModel, ValveReportsPositionOnlyAfterSettling) {
    Simulator sim;
    play(sim, {{"VALVE 1 4;+1499", nullptr, "1.7=0 1.8=4 1.9=0"},  // between ports
               {"+1;VALVE 1 4", ">", "1.7=4 1.9=1"},  // a valve already in place does not move again
               {"=valve-settle 200;VALVE 2 5;+200", nullptr, "2.7=5 2.9=1"},
               {"=valve-lose 1;+60000", nullptr, "1.7=0 1.9=0"},
               {"VALVE 1 1;+200", nullptr, "1.7=1 1.9=1"}});  // a new command finds it again
}

// ---------------------------------------------------------------- misbehaviour

TEST(SimMisbehaviour, SilentWithheldAndRejectedCommands) {
    // Pump 1's state after a command shows whether it was executed.
    Simulator sim;
    const auto pump = [&] { return sim.instrument().pump(1).state; };
    play(sim, {{"=silent on"}, {"FWD 0;? 0123", ""}});  // reads nothing, does nothing
    EXPECT_EQ(pump(), 0);
    play(sim, {{"=silent off"}, {"FWD 0;OFF 0", ">"}, {"=withhold 2"}, {"FWD 0;? 123", ""}});
    EXPECT_EQ(pump(), 1) << "withheld replies still execute";
    play(sim, {{"OFF 0", ">"},
               {"=withhold on"},
               {"OFF 0;OFF 0", ""},
               {"=withhold off"},
               {"OFF 0", ">"},
               {"=reject all"},
               {"OFF 0;? 0123", "!"},
               {"=reject none;=reject OFF"},
               {"FWD 0", ">"},
               {"OFF 0", "!"}});
    EXPECT_EQ(pump(), 1) << "the rejected OFF did nothing";
    play(sim, {{"=reject ?"}, {"? 13", "!"}, {"=accept OFF"}, {"OFF 0", ">"}, {"=reject none"}});
    EXPECT_NE(ask(sim, "? 13"), "!");
    EXPECT_EQ(sim.responder().commands().size(), 17u);  // silent or not, every command is on the wire
}

TEST(SimMisbehaviour, MalformedOverlongGarbageDelayEchoAndDrop) {
    Simulator sim;
    sim.control("malformed 1");
    const std::string a = ask(sim, "? 0123");
    EXPECT_EQ(a.back(), '>');
    ASSERT_EQ(lines(a).size(), 4u);
    for (const std::string& s : lines(a)) EXPECT_LT(std::ranges::count(s, ','), 5) << s;
    EXPECT_EQ(ask(sim, "OFF 0"), ">");  // ordinary commands are untouched
    EXPECT_GE(std::ranges::count(lines(ask(sim, "? 123"))[0], ','), 12);

    sim.control("overlong 1");
    auto l = lines(ask(sim, "? 123"));
    ASSERT_EQ(l.size(), 3u);
    EXPECT_GT(l[0].size(), 4000u);
    EXPECT_LT(l[1].size(), 200u);
    EXPECT_LT(lines(ask(sim, "? 123"))[0].size(), 200u);

    sim.control("garbage 64");
    EXPECT_EQ(sim.takeOutput().size(), 64u);
    play(sim, {{"=delay 500"}, {"OFF 0", ""}, {"+499"}});
    EXPECT_EQ(sim.takeOutput(), "");
    sim.advance(1);
    EXPECT_EQ(sim.takeOutput(), ">");
    play(sim, {{"=delay 0"}, {"=echo on"}, {"OFF 0", "OFF 0\r\n>"}, {"=echo off"}});
    EXPECT_EQ(sim.control("drop"), "ok");
    EXPECT_TRUE(sim.takeDropRequest());
    EXPECT_FALSE(sim.takeDropRequest());
}

TEST(SimMisbehaviour, ForcedReadingsRelayIdentityAndBlockedOutlet) {
    Simulator sim;
    play(sim, {{"=pressure 1 600;=pressure 2 -999", nullptr, "1.4=600000 2.4=-999000"},
               {"=pressure 1 auto;=temp column 85;=temp reactor -300", nullptr, "1.4=0 3.2=850 3.4=-3000"},
               {"=temp column auto;=volume 2 70", nullptr, "3.2=250 2.1=7000000"},
               {"=relay pulse 2000", nullptr, "3.6=0x10"},
               {"+1999", nullptr, "3.6=0x10"},
               {"+1", nullptr, "3.6=0"},
               {"=relay on;+60000", nullptr, "3.6=0x10"},
               {"=relay off;=reduced on;=serial 999;=firmware 9.9", nullptr, "3.6=0 0.1=9 0.6=999 0.7=1"},
               {"=block on;VALVE 1 2;+1500;ML 0 1.00;FWD 0;+6000", nullptr, "1.4=5000001..999999999"}});
}

// What drives the outputs, as a whole-program test reads it after every step: pump states and
// rates, heat and force of each heater, the count of commands received.
TEST(SimModel, StateQueryReportsPumpsHeatersAndTheCommandCount) {
    Simulator sim;
    EXPECT_EQ(sim.control("state?"), "ok p1=0/0.000 p2=0/0.000 column=00 reactor=00 received=0");
    play(sim, {{"MS 0 1;ML 0 0.25;FWD 0"}, {"ML 2 1.5"}, {"RVS 2"}, {"CHEAT ON"}, {"RFORCEHEAT ON"}});
    EXPECT_EQ(sim.control("state?"), "ok p1=1/0.250 p2=2/1.500 column=10 reactor=01 received=7");
    play(sim, {{"OFF 0"}, {"RFORCEHEAT OFF"}, {"RHEAT ON"}, {"FWD 9"}});
    EXPECT_EQ(sim.control("state?"), "ok p1=0/0.250 p2=2/1.500 column=10 reactor=10 received=11");
    // A pump that empties stops by itself; an absent second pump never runs.
    play(sim, {{"=volume 2 0.01;=speed 1"}, {"MS 2 1;ML 2 60;FWD 2;+1000"}});
    EXPECT_EQ(sim.control("state?").substr(0, 25), "ok p1=0/0.250 p2=0/60.000");
    EXPECT_EQ(sim.control("single-pump on"), "ok");
    EXPECT_EQ(sim.control("state? now").rfind("error: ", 0), 0u);
}

TEST(SimMisbehaviour, ControlRefusesWhatItCannotDo) {
    Simulator sim;
    for (const char* bad : {"pressure 3 5", "pressure 1", "pressure 1 lots", "silent maybe", "volume 1 500",
                            "firmware a,b", "relay pulse -4", "speed 0", "termios?", "valve-lose"})
        EXPECT_EQ(sim.control(bad).rfind("error: ", 0), 0u) << bad;
    EXPECT_EQ(sim.control("frobnicate").rfind("error: unknown command", 0), 0u);
    EXPECT_EQ(sim.control("speed 10"), "ok");
    EXPECT_DOUBLE_EQ(sim.speed(), 10.0);
}

}  // namespace
