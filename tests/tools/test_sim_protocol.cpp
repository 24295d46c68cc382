// The simulator's side of the protocol: status-line grammar, prompts, rejections and line ends.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/tools/support_sim.h"

using namespace simtest;
using zsim::Simulator;

TEST(SimProtocol, FullQueryAnswersEveryPartInOrderWithEnoughFields) {
    Simulator sim;
    std::string answer = ask(sim, "? 0123");
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer.back(), '>');
    EXPECT_EQ(answer.find('>'), answer.size() - 1);
    auto l = lines(answer);
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[0].substr(0, 3), "?0,");
    EXPECT_EQ(l[1].substr(0, 3), "?1,");
    EXPECT_EQ(l[2].substr(0, 3), "?2,");
    EXPECT_EQ(l[3].substr(0, 3), "?3,");
    // The program's acceptance: part 0 at least 5 commas, parts 1 and 2 at least 12, part 3 at least 7.
    EXPECT_GE(commas(l[0]), 5);
    EXPECT_GE(commas(l[1]), 12);
    EXPECT_GE(commas(l[2]), 12);
    EXPECT_GE(commas(l[3]), 7);
    for (const std::string& s : l)
        for (unsigned char c : s) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << s;
    // Short queries answer only their parts, part 3 last.
    l = lines(ask(sim, "? 13"));
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].substr(0, 2), "?1");
    EXPECT_EQ(l[1].substr(0, 2), "?3");
    l = lines(ask(sim, "? 123"));
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[2].substr(0, 2), "?3");
}

TEST(SimProtocol, IdentityLineCarriesVersionsSerialAndReducedFlag) {
    zsim::InstrumentConfig c;
    c.firmware = "3.01";
    c.cpld = "0.9";
    c.serialNumber = 4711;
    Simulator sim(c);
    auto f = fields(part(sim, 0));
    ASSERT_GE(f.size(), 7u);
    EXPECT_EQ(f[0], "3.01");
    EXPECT_EQ(f[1], "0.9");
    EXPECT_EQ(f[5], "4711");
    EXPECT_EQ(f[6], "0");
    EXPECT_EQ(sim.control("reduced on"), "ok");
    EXPECT_EQ(fields(part(sim, 0))[6], "1");
}

TEST(SimProtocol, PumpAndHeaterLinesScanWithTheProgramsPatterns) {
    Simulator sim;
    ask(sim, "ML 0 2.50");
    ask(sim, "MS 0 32");
    ask(sim, "STOPPRESSURE 1 470.00");
    ask(sim, "CSETPOINT 60.0");
    ask(sim, "RSETPOINT 84.5");
    ask(sim, "CHEAT ON");
    ask(sim, "RFAN ON");
    sim.control("relay on");

    int f[11] = {};
    std::string p1 = part(sim, 1);
    ASSERT_EQ(std::sscanf(p1.c_str() + 3, "%d,%x,%x,%d,%x,%d,%x,%x,%x,%x,%x", &f[0], &f[1], &f[2], &f[3],
                          &f[4], &f[5], &f[6], &f[7], &f[8], &f[9], &f[10]),
              11)
        << p1;
    EXPECT_EQ(f[0], 2500000);  // 25 ml in units of 0.00001
    EXPECT_EQ(f[1], 0);        // stopped
    EXPECT_EQ(f[2], 0);        // no limit
    EXPECT_EQ(f[4], 0x20);     // step mode 32
    EXPECT_EQ(f[5], 2500);     // rate in ul/min
    EXPECT_EQ(f[6], 1);        // valve at 1
    EXPECT_EQ(f[8], 1);        // in position
    EXPECT_EQ(f[9], 470);

    int h[6] = {};
    std::string p3 = part(sim, 3);
    ASSERT_EQ(std::sscanf(p3.c_str() + 3, "%d,%d,%d,%d,%d,%x", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5]), 6)
        << p3;
    EXPECT_EQ(h[0], 600);
    EXPECT_EQ(h[1], 250);  // still at ambient
    EXPECT_EQ(h[2], 845);
    EXPECT_EQ(h[4] & 1, 1);        // column heater on
    EXPECT_EQ(h[4] & 4, 0);        // reactor heater off
    EXPECT_EQ(h[5] & 0x10, 0x10);  // relay input
    EXPECT_EQ(h[5] & 2, 2);        // recirculation fan
}

TEST(SimProtocol, SinglePumpReportsBothLimitsOnPartTwoAndRefusesItsCommands) {
    zsim::InstrumentConfig c;
    c.singlePump = true;
    Simulator sim(c);
    auto f = fields(part(sim, 2));
    ASSERT_GE(f.size(), 12u);
    EXPECT_EQ(f[2], "3");
    EXPECT_GE(commas(part(sim, 2)), 12);
    EXPECT_EQ(ask(sim, "FWD 2"), "!");
    EXPECT_EQ(ask(sim, "VALVE 2 1"), "!");
    EXPECT_EQ(ask(sim, "STOPPRESSURE 2 100.00"), "!");
    EXPECT_EQ(ask(sim, "FWD 0"), ">");
    EXPECT_EQ(sim.control("single-pump off"), "ok");
    EXPECT_EQ(fields(part(sim, 2))[2], "0");
}

TEST(SimProtocol, EveryCommandOfTheProgramGetsThePrompt) {
    Simulator sim;
    const char* commands[] = {
        "MS 0 1", "ML 0 0.005", "FWD 0", "MS 2 32", "ML 2 10.00", "RVS 2", "OFF 0", "OFF 2",
        "STOPPRESSURE 1 370.00", "STOPPRESSURE 2 470.00", "VALVE 1 4", "VALVE 2 5", "CSETPOINT  5.0",
        "CSETPOINT 60.0", "RSETPOINT 84.5", "CHMAX 125.0", "RHMAX 135.0", "CHEAT ON", "CHEAT OFF",
        "RHEAT ON", "RHEAT OFF", "CFORCEHEAT ON", "CFORCEHEAT OFF", "RFORCEHEAT ON", "RFORCEHEAT OFF",
        "RFAN ON", "RFAN OFF", "DOOR OPEN", "DOOR CLOSE", "CFAN ON", "CFAN OFF", ""};
    for (const char* c : commands) EXPECT_EQ(ask(sim, c), ">") << c;
    EXPECT_DOUBLE_EQ(sim.instrument().column().setPoint, 60.0);
    EXPECT_DOUBLE_EQ(sim.instrument().column().hmax, 125.0);
    EXPECT_DOUBLE_EQ(sim.instrument().pump(1).rate, 0.005);
    for (const char* q : {"? 0123", "? 123", "? 13", "? 3"}) EXPECT_TRUE(ask(sim, q).ends_with('>')) << q;
}

TEST(SimProtocol, UnknownCommandsAndBadArgumentsAreRejectedWithoutEffect) {
    Simulator sim;
    const char* bad[] = {
        "FOO",         "fwd 0",        "FWD",      "FWD 1",     "FWD 0 1",   "MS 0 0",
        "ML 0 -1.00",  "ML 0 abc",     "ML 0 1,5", "VALVE 3 1", "VALVE 1 0", "VALVE 1 9",
        "CHEAT MAYBE", "DOOR SHUT",    "? 4",      "?",         "? 12x",     "STOPPRESSURE 0 5",
        "CSETPOINT",   "CSETPOINT 1e3"};
    for (const char* c : bad) EXPECT_EQ(ask(sim, c), "!") << c;
    EXPECT_EQ(sim.instrument().pump(1).state, 0);
    EXPECT_EQ(sim.instrument().valve(1).commanded, 1);
    EXPECT_EQ(ask(sim, std::string(300, 'A')), "!");
    EXPECT_EQ(ask(sim, "OFF 0"), ">");  // the long line left nothing behind
}

TEST(SimProtocol, LineEndsAndSplitCommandsAreLoggedWithTheirExactBytes) {
    Simulator sim;
    std::vector<std::string> log;
    sim.responder().onCommand = [&](std::string_view b) { log.emplace_back(b); };
    sim.receive(std::string("OFF 0\r\0MS 0 1\r\nFW", 17));
    sim.receive("D 0\r");
    sim.advance(0);
    EXPECT_EQ(sim.takeOutput(), ">>>");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], std::string("OFF 0\r\0", 7));
    EXPECT_EQ(log[1], "MS 0 1\r\n");
    EXPECT_EQ(log[2], "FWD 0\r");
    EXPECT_EQ(sim.responder().commands(), (std::vector<std::string>{"OFF 0", "MS 0 1", "FWD 0"}));
    EXPECT_EQ(sim.instrument().pump(1).state, 1);
}
