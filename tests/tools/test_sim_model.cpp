// The simulated hardware over model time: valves settle, heaters approach, syringes move and stop.
#include <gtest/gtest.h>

#include "tests/tools/support_sim.h"

using namespace simtest;
using zsim::Simulator;

TEST(SimModel, ValveReportsPositionOnlyAfterSettling) {
    Simulator sim;
    EXPECT_EQ(ask(sim, "VALVE 1 4"), ">");
    EXPECT_EQ(field(sim, 1, 7, 16), 0);  // between ports
    EXPECT_EQ(field(sim, 1, 8, 16), 4);
    EXPECT_EQ(field(sim, 1, 9, 16), 0);
    sim.advance(1499);
    EXPECT_EQ(field(sim, 1, 9, 16), 0);
    sim.advance(1);
    EXPECT_EQ(field(sim, 1, 7, 16), 4);
    EXPECT_EQ(field(sim, 1, 9, 16), 1);
    // A valve already in place does not move again.
    ask(sim, "VALVE 1 4");
    EXPECT_EQ(field(sim, 1, 9, 16), 1);
    // The settling time is a setting.
    EXPECT_EQ(sim.control("valve-settle 200"), "ok");
    ask(sim, "VALVE 2 5");
    sim.advance(200);
    EXPECT_EQ(field(sim, 2, 7, 16), 5);
    EXPECT_EQ(field(sim, 2, 9, 16), 1);
}

TEST(SimModel, HeaterApproachesSetPointAndHoldsIt) {
    Simulator sim;
    ask(sim, "CSETPOINT 60.0");
    sim.advance(60000);
    EXPECT_EQ(field(sim, 3, 2), 250);  // no heat without CHEAT ON
    ask(sim, "CHEAT ON");
    sim.advance(60000);
    EXPECT_EQ(field(sim, 3, 2), 280);  // 3 degrees a minute
    sim.advance(20 * 60000);
    EXPECT_EQ(field(sim, 3, 2), 600);
    sim.advance(10 * 60000);
    EXPECT_EQ(field(sim, 3, 2), 600);

    // A lower set point: the column cools, faster with the fan on and the door open.
    Simulator other;
    other.instrument().column() = sim.instrument().column();
    ask(sim, "CSETPOINT 30.0");
    ask(other, "CSETPOINT 30.0");
    ask(other, "CFAN ON");
    ask(other, "DOOR OPEN");
    sim.advance(60000);
    other.advance(60000);
    long slow = field(sim, 3, 2), fast = field(other, 3, 2);
    EXPECT_LT(slow, 600);
    EXPECT_LT(fast, slow);
    other.advance(30 * 60000);
    EXPECT_EQ(field(other, 3, 2), 300);  // held at the set point, not at ambient

    // The maximum caps the heater.
    ask(sim, "RHMAX 40.0");
    ask(sim, "RSETPOINT 90.0");
    ask(sim, "RHEAT ON");
    sim.advance(60 * 60000);
    EXPECT_EQ(field(sim, 3, 4), 400);
    ask(sim, "RHEAT OFF");
    sim.advance(60 * 60000);
    EXPECT_LT(field(sim, 3, 4), 300);
}

TEST(SimModel, SyringeMovesAtItsRateAndStopsAtTheLimits) {
    Simulator sim;
    ask(sim, "VALVE 1 4");
    sim.advance(1500);
    ask(sim, "ML 0 10.00");
    ask(sim, "RVS 0");
    EXPECT_EQ(field(sim, 1, 2, 16), 2);
    sim.advance(60000);
    EXPECT_EQ(field(sim, 1, 1), 3500000);
    sim.advance(10 * 60000);
    EXPECT_EQ(field(sim, 1, 1), 10000000);
    EXPECT_EQ(field(sim, 1, 2, 16), 0);
    EXPECT_EQ(field(sim, 1, 3, 16), 2);  // limit A: full

    ask(sim, "VALVE 1 1");
    sim.advance(1500);
    ask(sim, "ML 0 55.00");
    ask(sim, "FWD 0");
    EXPECT_EQ(field(sim, 1, 2, 16), 1);
    sim.advance(60000);
    EXPECT_EQ(field(sim, 1, 1), 4500000);
    EXPECT_EQ(field(sim, 1, 3, 16), 0);
    sim.advance(60000);
    EXPECT_EQ(field(sim, 1, 1), 0);
    EXPECT_EQ(field(sim, 1, 2, 16), 0);
    EXPECT_EQ(field(sim, 1, 3, 16), 1);  // limit B: empty
    // Pump 2 did not move.
    EXPECT_EQ(field(sim, 2, 1), 2500000);
    ask(sim, "OFF 0");
}

TEST(SimModel, PressureBuildsAgainstAClosedValveUpToTheStopPressure) {
    Simulator sim;
    ask(sim, "VALVE 1 3");
    sim.advance(1500);
    ask(sim, "STOPPRESSURE 1 370.00");
    ask(sim, "MS 0 1");
    ask(sim, "ML 0 0.010");
    ask(sim, "FWD 0");
    sim.advance(10000);
    double p = field(sim, 1, 4) / 1000.0;
    EXPECT_GT(p, 100.0);
    EXPECT_LT(p, 370.0);
    sim.advance(60000);
    EXPECT_EQ(field(sim, 1, 2, 16), 0);  // stopped itself
    p = field(sim, 1, 4) / 1000.0;
    EXPECT_GE(p, 370.0);
    EXPECT_LT(p, 372.0);

    // A closed path holds its pressure but for the leak.
    sim.advance(10 * 60000);
    double later = field(sim, 1, 4) / 1000.0;
    EXPECT_NEAR(p - later, 5.0, 0.1);
    EXPECT_EQ(sim.control("leak 1 10"), "ok");
    sim.advance(10 * 60000);
    EXPECT_NEAR(later - field(sim, 1, 4) / 1000.0, 100.0, 0.5);

    // Reversing releases it.
    ask(sim, "ML 0 0.010");
    ask(sim, "RVS 0");
    sim.advance(30000);
    EXPECT_LT(field(sim, 1, 4) / 1000.0, 10.0);
}

TEST(SimModel, FlowThroughTheColumnGivesABackPressureAndABlockedOutletCloses) {
    Simulator sim;
    ask(sim, "VALVE 1 2");
    sim.advance(1500);
    ask(sim, "ML 0 1.00");
    ask(sim, "FWD 0");
    sim.advance(10000);
    EXPECT_NEAR(field(sim, 1, 4) / 1000.0, 150.0, 1.0);
    ask(sim, "OFF 0");
    sim.advance(10000);
    EXPECT_NEAR(field(sim, 1, 4) / 1000.0, 0.0, 1.0);
    sim.control("block on");
    ask(sim, "FWD 0");
    sim.advance(6000);
    EXPECT_GT(field(sim, 1, 4) / 1000.0, 5000.0);  // nothing stops it without a stop pressure
}

TEST(SimModel, RelayPulseEndsAfterItsTime) {
    Simulator sim;
    EXPECT_EQ(field(sim, 3, 6, 16) & 0x10, 0);
    EXPECT_EQ(sim.control("relay pulse 2000"), "ok");
    EXPECT_EQ(field(sim, 3, 6, 16) & 0x10, 0x10);
    sim.advance(1999);
    EXPECT_EQ(field(sim, 3, 6, 16) & 0x10, 0x10);
    sim.advance(1);
    EXPECT_EQ(field(sim, 3, 6, 16) & 0x10, 0);
    sim.control("relay on");
    sim.advance(60000);
    EXPECT_EQ(field(sim, 3, 6, 16) & 0x10, 0x10);
    sim.control("relay off");
    EXPECT_EQ(field(sim, 3, 6, 16) & 0x10, 0);
}
