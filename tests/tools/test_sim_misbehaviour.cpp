// The switches that make the simulated instrument misbehave.
#include <gtest/gtest.h>

#include <random>

#include "tests/tools/support_sim.h"

using namespace simtest;
using zsim::Simulator;

TEST(SimMisbehaviour, SilentWithheldAndRejectedCommands) {
    // A step either sets a switch ("=...", answered "ok") or sends a command; pump 1's state after it
    // (-1: not checked) shows whether the command was executed.
    const struct Step {
        const char* send;
        const char* answer;
        int pumpState;
    } steps[] = {
        {"=silent on", "", -1}, {"FWD 0", "", 0}, {"? 0123", "", -1},  // reads nothing, does nothing
        {"=silent off", "", -1}, {"FWD 0", ">", 1}, {"OFF 0", ">", 0},
        {"=withhold 2", "", -1}, {"FWD 0", "", 1}, {"? 123", "", -1},  // withheld replies still execute
        {"OFF 0", ">", 0}, {"=withhold on", "", -1}, {"OFF 0", "", -1}, {"OFF 0", "", -1},
        {"=withhold off", "", -1}, {"OFF 0", ">", -1},
        {"=reject all", "", -1}, {"OFF 0", "!", -1}, {"? 0123", "!", -1}, {"=reject none", "", -1},
        {"=reject OFF", "", -1}, {"FWD 0", ">", 1}, {"OFF 0", "!", 1},  // the rejected OFF did nothing
        {"=reject ?", "", -1}, {"? 13", "!", -1}, {"=accept OFF", "", -1}, {"OFF 0", ">", 0},
    };
    Simulator sim;
    for (const Step& s : steps) {
        if (s.send[0] == '=') {
            EXPECT_EQ(sim.control(s.send + 1), "ok") << s.send;
        } else {
            EXPECT_EQ(ask(sim, s.send), s.answer) << s.send;
        }
        if (s.pumpState >= 0) {
            EXPECT_EQ(sim.instrument().pump(1).state, s.pumpState) << s.send;
        }
    }
    sim.control("reject none");
    EXPECT_NE(ask(sim, "? 13"), "!");
    EXPECT_EQ(sim.responder().commands().size(), 17u);  // silent or not, every command is on the wire
}

TEST(SimMisbehaviour, MalformedAndOverlongStatusLines) {
    Simulator sim;
    sim.control("malformed 1");
    std::string a = ask(sim, "? 0123");
    EXPECT_EQ(a.back(), '>');
    auto l = lines(a);
    ASSERT_EQ(l.size(), 4u);
    for (const std::string& s : l) EXPECT_LT(commas(s), 5) << s;
    EXPECT_EQ(ask(sim, "OFF 0"), ">");  // ordinary commands are untouched
    EXPECT_GE(commas(lines(ask(sim, "? 123"))[0]), 12);

    sim.control("overlong 1");
    l = lines(ask(sim, "? 123"));
    ASSERT_EQ(l.size(), 3u);
    EXPECT_GT(l[0].size(), 4000u);
    EXPECT_LT(l[1].size(), 200u);
    EXPECT_LT(lines(ask(sim, "? 123"))[0].size(), 200u);
}

TEST(SimMisbehaviour, GarbageDelayEchoAndDrop) {
    Simulator sim;
    sim.control("garbage 64");
    EXPECT_EQ(sim.takeOutput().size(), 64u);

    sim.control("delay 500");
    EXPECT_EQ(ask(sim, "OFF 0"), "");
    sim.advance(499);
    EXPECT_EQ(sim.takeOutput(), "");
    sim.advance(1);
    EXPECT_EQ(sim.takeOutput(), ">");
    sim.control("delay 0");

    sim.control("echo on");
    EXPECT_EQ(ask(sim, "OFF 0"), "OFF 0\r\n>");
    sim.control("echo off");

    EXPECT_FALSE(sim.takeDropRequest());
    EXPECT_EQ(sim.control("drop"), "ok");
    EXPECT_TRUE(sim.takeDropRequest());
    EXPECT_FALSE(sim.takeDropRequest());
}

TEST(SimMisbehaviour, ForcedReadingsAndLostValve) {
    Simulator sim;
    EXPECT_EQ(sim.control("pressure 1 600"), "ok");
    EXPECT_EQ(field(sim, 1, 4), 600000);
    EXPECT_EQ(sim.control("pressure 2 -999"), "ok");
    EXPECT_EQ(field(sim, 2, 4), -999000);
    sim.control("pressure 1 auto");
    EXPECT_EQ(field(sim, 1, 4), 0);

    EXPECT_EQ(sim.control("temp column 85"), "ok");
    EXPECT_EQ(field(sim, 3, 2), 850);
    sim.control("temp reactor -300");
    EXPECT_EQ(field(sim, 3, 4), -3000);
    sim.control("temp column auto");
    EXPECT_EQ(field(sim, 3, 2), 250);

    EXPECT_EQ(sim.control("valve-lose 1"), "ok");
    sim.advance(60000);
    EXPECT_EQ(field(sim, 1, 7, 16), 0);
    EXPECT_EQ(field(sim, 1, 9, 16), 0);
    ask(sim, "VALVE 1 1");  // a new command finds the position again
    sim.advance(1500);
    EXPECT_EQ(field(sim, 1, 7, 16), 1);
    EXPECT_EQ(field(sim, 1, 9, 16), 1);

    EXPECT_EQ(sim.control("volume 2 70"), "ok");
    EXPECT_EQ(field(sim, 2, 1), 7000000);
    sim.control("serial 999");
    sim.control("firmware 9.9");
    auto f = fields(part(sim, 0));
    EXPECT_EQ(f[0], "9.9");
    EXPECT_EQ(f[5], "999");
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
