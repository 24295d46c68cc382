// The simulated instrument in-process: its side of the protocol (status-line grammar, prompts,
// rejections, line ends), its hardware over model time (valves settle, heaters approach,
// syringes move and stop, pressure builds) and the switches that make it misbehave.
#include <gtest/gtest.h>

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

int commas(const std::string& s) {
    return int(std::count(s.begin(), s.end(), ','));
}

// The fields of a status line after "?N,".
std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    for (size_t pos = 3, c;; pos = c + 1) {
        c = line.find(',', pos);
        out.push_back(line.substr(pos, c == std::string::npos ? std::string::npos : c - pos));
        if (c == std::string::npos) return out;
    }
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
    const bool hex = (p == 3 && index == 6) || ((p == 1 || p == 2) && index != 1 && index != 4 && index != 6);
    return std::stol(fields(part(sim, p)).at(index - 1), nullptr, hex ? 16 : 10);
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
        EXPECT_GE(commas(l[p]), least[p]) << l[p];
        for (unsigned char c : l[p]) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << l[p];
    }
    for (const auto& [query, parts] : {std::pair{"? 13", "13"}, {"? 123", "123"}, {"? 3", "3"}}) {
        std::string got;
        for (const std::string& s : lines(ask(sim, query))) got += s[1];
        EXPECT_EQ(got, parts) << query;
    }
}

TEST(SimProtocol, IdentityLineCarriesVersionsSerialAndReducedFlag) {
    Simulator sim(zsim::InstrumentConfig{.firmware = "3.01", .cpld = "0.9", .serialNumber = 4711});
    auto f = fields(part(sim, 0));
    ASSERT_GE(f.size(), 7u);
    EXPECT_EQ(std::vector<std::string>({f[0], f[1], f[5], f[6]}),
              (std::vector<std::string>{"3.01", "0.9", "4711", "0"}));
    play(sim, {{"=reduced on;=serial 999;=firmware 9.9"}});
    f = fields(part(sim, 0));
    EXPECT_EQ(std::vector<std::string>({f[0], f[5], f[6]}), (std::vector<std::string>{"9.9", "999", "1"}));
}

TEST(SimProtocol, PumpAndHeaterFieldsFollowTheCommands) {
    Simulator sim;
    // Pump 1: 25 ml in units of 0.00001, stopped, no limit, step mode 32, the rate in ul/min, the
    // valve at 1 and in position, the stop pressure. The heater line: the set points, the column at
    // ambient, only the column heater on, the relay input and the recirculation fan.
    play(sim, {{"ML 0 2.50;MS 0 32;STOPPRESSURE 1 470.00;CSETPOINT 60.0;RSETPOINT 84.5;CHEAT ON;RFAN ON"},
               {"=relay on", nullptr, "1.1=2500000 1.2=0 1.3=0 1.5=0x20 1.6=2500 1.7=1 1.9=1 1.10=470"},
               {"", nullptr, "3.1=600 3.2=250 3.3=845 3.5=1 3.6=0x12"}});
}

TEST(SimProtocol, SinglePumpReportsBothLimitsOnTheSecondPumpLineAndRefusesItsCommands) {
    Simulator sim(zsim::InstrumentConfig{.singlePump = true});
    EXPECT_GE(commas(part(sim, 2)), 12);
    play(sim, {{"FWD 2;VALVE 2 1;STOPPRESSURE 2 100.00", "!", "2.3=3"},
               {"FWD 0", ">"},
               {"=single-pump off", nullptr, "2.3=0"}});
}

TEST(SimProtocol, EveryCommandOfTheProgramGetsThePromptAndBadOnesAreRejectedWithoutEffect) {
    Simulator sim;
    const char* commands[] = {
        "MS 0 1", "ML 0 0.005", "FWD 0", "MS 2 32", "ML 2 10.00", "RVS 2", "OFF 0", "OFF 2",
        "STOPPRESSURE 1 370.00", "STOPPRESSURE 2 470.00", "VALVE 1 4", "VALVE 2 5", "CSETPOINT  5.0",
        "CSETPOINT 60.0", "RSETPOINT 84.5", "CHMAX 125.0", "RHMAX 135.0", "CHEAT ON", "CHEAT OFF",
        "RHEAT ON", "RHEAT OFF", "CFORCEHEAT ON", "CFORCEHEAT OFF", "RFORCEHEAT ON", "RFORCEHEAT OFF",
        "RFAN ON", "RFAN OFF", "DOOR OPEN", "DOOR CLOSE", "CFAN ON", "CFAN OFF", ""};
    for (const char* c : commands) EXPECT_EQ(ask(sim, c), ">") << c;
    for (const char* q : {"? 0123", "? 123", "? 13", "? 3"}) EXPECT_TRUE(ask(sim, q).ends_with('>')) << q;
    EXPECT_DOUBLE_EQ(sim.instrument().column().setPoint, 60.0);
    EXPECT_DOUBLE_EQ(sim.instrument().column().hmax, 125.0);
    EXPECT_DOUBLE_EQ(sim.instrument().pump(1).rate, 0.005);

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

// ---------------------------------------------------------------- model

TEST(SimModel, ValveReportsPositionOnlyAfterSettling) {
    Simulator sim;
    play(sim, {{"VALVE 1 4", ">", "1.7=0 1.8=4 1.9=0"},  // between ports
               {"+1499", nullptr, "1.9=0"},
               {"+1", nullptr, "1.7=4 1.9=1"},
               {"VALVE 1 4", ">", "1.9=1"},  // a valve already in place does not move again
               {"=valve-settle 200;VALVE 2 5;+200", nullptr, "2.7=5 2.9=1"},
               {"=valve-lose 1;+60000", nullptr, "1.7=0 1.9=0"},
               {"VALVE 1 1;+200", nullptr, "1.7=1 1.9=1"}});  // a new command finds it again
}

TEST(SimModel, HeaterApproachesItsSetPointAndItsMaximum) {
    Simulator sim;
    play(sim, {{"CSETPOINT 60.0;+60000", nullptr, "3.2=250"},  // no heat without CHEAT ON
               {"CHEAT ON;+60000", nullptr, "3.2=280"},        // 3 degrees a minute
               {"+1200000", nullptr, "3.2=600"},
               {"+600000", nullptr, "3.2=600"},
               {"RHMAX 40.0;RSETPOINT 90.0;RHEAT ON;+3600000", nullptr, "3.4=400"},
               {"RHEAT OFF;+3600000", nullptr, "3.4=0..299"}});
    // A lower set point: the column cools, faster with the fan on and the door open, and is
    // held at the set point, not at ambient.
    long after[2];
    for (int open : {0, 1}) {
        Simulator s;
        play(s, {{"CSETPOINT 60.0;CHEAT ON;+1800000", nullptr, "3.2=600"},
                 {open ? "CSETPOINT 30.0;CFAN ON;DOOR OPEN;+60000" : "CSETPOINT 30.0;+60000"}});
        after[open] = field(s, 3, 2);
        if (open) play(s, {{"+1800000", nullptr, "3.2=300"}});
    }
    EXPECT_LT(after[1], after[0]);
    EXPECT_LT(after[0], 600);
}

TEST(SimModel, SyringeMovesAtItsRateAndStopsAtTheLimits) {
    Simulator sim;
    play(sim, {{"VALVE 1 4;+1500;ML 0 10.00;RVS 0", ">", "1.2=2"},
               {"+60000", nullptr, "1.1=3500000"},
               {"+600000", nullptr, "1.1=10000000 1.2=0 1.3=2"},  // limit A: full
               {"VALVE 1 1;+1500;ML 0 55.00;FWD 0", ">", "1.2=1"},
               {"+60000", nullptr, "1.1=4500000 1.3=0"},
               {"+60000", nullptr, "1.1=0 1.2=0 1.3=1 2.1=2500000"}});  // limit B: empty; pump 2 still
}

TEST(SimModel, PressureBuildsUpToTheStopPressureLeaksAndIsReleased) {
    Simulator sim;
    play(sim, {{"VALVE 1 3;+1500;STOPPRESSURE 1 370.00;MS 0 1;ML 0 0.010;FWD 0"},
               {"+10000", nullptr, "1.4=100001..369999"},
               {"+60000", nullptr, "1.2=0 1.4=370000..371999"}});  // stopped itself
    // A closed path holds its pressure but for the leak; reversing releases it.
    const long p = field(sim, 1, 4);
    sim.advance(600000);
    EXPECT_NEAR(p - field(sim, 1, 4), 5000, 100);
    play(sim, {{"=leak 1 10;+600000"}});
    EXPECT_NEAR(p - field(sim, 1, 4), 105000, 500);
    play(sim, {{"ML 0 0.010;RVS 0;+30000", nullptr, "1.4=-999999..9999"}});
}

TEST(SimModel, FlowThroughTheColumnGivesABackPressureAndABlockedOutletCloses) {
    Simulator sim;
    play(sim, {{"VALVE 1 2;+1500;ML 0 1.00;FWD 0;+10000", nullptr, "1.4=149000..151000"},
               {"OFF 0;+10000", nullptr, "1.4=-1000..1000"},
               {"=block on;FWD 0;+6000", nullptr, "1.4=5000001..999999999"}});  // no stop pressure
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
    for (const std::string& s : lines(a)) EXPECT_LT(commas(s), 5) << s;
    EXPECT_EQ(ask(sim, "OFF 0"), ">");  // ordinary commands are untouched
    EXPECT_GE(commas(lines(ask(sim, "? 123"))[0]), 12);

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
    EXPECT_FALSE(sim.takeDropRequest());
    EXPECT_EQ(sim.control("drop"), "ok");
    EXPECT_TRUE(sim.takeDropRequest());
    EXPECT_FALSE(sim.takeDropRequest());
}

TEST(SimMisbehaviour, ForcedReadingsAndRelay) {
    Simulator sim;
    play(sim, {{"=pressure 1 600;=pressure 2 -999", nullptr, "1.4=600000 2.4=-999000"},
               {"=pressure 1 auto;=temp column 85;=temp reactor -300", nullptr, "1.4=0 3.2=850 3.4=-3000"},
               {"=temp column auto;=volume 2 70", nullptr, "3.2=250 2.1=7000000"},
               {"=relay pulse 2000", nullptr, "3.6=0x10"},
               {"+1999", nullptr, "3.6=0x10"},
               {"+1", nullptr, "3.6=0"},
               {"=relay on;+60000", nullptr, "3.6=0x10"},
               {"=relay off", nullptr, "3.6=0"}});
}

TEST(SimMisbehaviour, ControlRefusesWhatItCannotDo) {
    Simulator sim;
    for (const char* bad : {"pressure 3 5", "pressure 1", "pressure 1 lots", "silent maybe", "volume 1 500",
                            "firmware a,b", "relay pulse -4", "speed 0", "termios?", "valve-lose"})
        EXPECT_EQ(sim.control(bad).rfind("error: ", 0), 0u) << bad;
    EXPECT_EQ(sim.control("frobnicate").rfind("error: unknown command", 0), 0u);
    EXPECT_EQ(sim.control("help").rfind("ok commands:", 0), 0u);
    EXPECT_EQ(sim.control("status").rfind("ok t=", 0), 0u);
    EXPECT_EQ(sim.control("speed 10"), "ok");
    EXPECT_DOUBLE_EQ(sim.speed(), 10.0);
}

}  // namespace
