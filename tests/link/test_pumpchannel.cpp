// The pump channel's step machines, tick by tick against the simulated instrument: the exact
// commands in order, the pauses between them, the volumes reached and the hold flag.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "link/PumpChannel.h"
#include "support/SimLink.h"

namespace {

using Cmds = std::vector<std::string>;

const Cmds kAspirate55 = {"MS 0 32", "ML 0 55.00", "RVS 0"};
const Cmds kDispense55 = {"MS 0 32", "ML 0 55.00", "FWD 0"};

Cmds operator+(Cmds a, const Cmds& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class PumpChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        link.poll();  // identity and the first status
        link.poll();
        ch.Init(1, &api.Pump1, &api.Valve1);
        ch.Speed = 55;
        ch2.Init(2, &api.Pump2, &api.Valve2);
        ch2.Speed = 55;
    }

    // Calls the step once per tick until it answers false.
    int run(const std::function<bool()>& step, int maxTicks = 2000) {
        int n = 0;
        while (n < maxTicks) {
            ++n;
            if (!step()) break;
            link.tick();
        }
        link.flush();  // what the last call queued
        return n;
    }
    zsim::SimPump& pump1() { return sim.instrument().pump(1); }
    // Tick of the n-th sent command equal to text (0-based n).
    int64_t tickOf(const std::string& text, int n = 0) {
        for (const auto& s : link.sent())
            if (s.text == text && n-- == 0) return s.tick;
        return -1;
    }
    int count(const std::string& text) {
        auto t = link.sentTexts();
        return int(std::count(t.begin(), t.end(), text));
    }

    FakeClockGuard clock;
    zsim::Simulator sim;
    TZentrovaAPI api;
    SimLink link{sim, &clock.fake, api};
    TPumpChannel ch, ch2;
};

// Each volume limit of the channel machines at the value and just past it: the pass stops
// (the instrument receives "OFF 0") only past its limit. The readings are set by hand.
TEST_F(PumpChannelTest, PassVolumeLimitsAtTheValueAndJustPast) {
    auto moving = [&](double volume) {
        api.Pump1.Volume = volume;
        api.Pump1.State = 2;
        api.Pump1.LimitA = api.Pump1.LimitB = false;
    };
    auto stops = [&](double volume, const std::function<void()>& arm, const std::function<void()>& step) {
        ch.StateTicks = 0;
        arm();
        link.flush();
        link.takeSent();
        moving(volume);
        step();
        link.flush();
        const auto sent = link.takeSent();
        return std::find(sent.begin(), sent.end(), "OFF 0") != sent.end();
    };
    auto refillFrom = [&](uint8_t s) {
        return [&, s] {
            ch.State = s;  // the aspirate state that sets the pass volume, then its start tick
            ch.RefillStep(false);
            ch.RefillStep(false);
        };
    };
    auto refill = [&] { ch.RefillStep(false); };
    auto flushFrom = [&](uint8_t s) {
        return [&, s] {
            ch.StartFlush();
            ch.FlushStep(false);  // the first pass aspirates 3 ml
            ch.State = s;
            if (s == 43) {
                ch.StateTicks = 0;
                moving(0.0);
                ch.FlushStep(false);  // every later pass 1 ml
            }
        };
    };
    auto flush = [&] { ch.FlushStep(false); };
    struct Case {
        const char* what;
        std::function<void()> arm, step;
        double volume;
        bool stop;
    } cases[] = {
        {"refill 3-ml pass", refillFrom(14), refill, 3.0, false},
        {"refill 3-ml pass", refillFrom(14), refill, 3.001, true},
        {"refill 1-ml pass", refillFrom(22), refill, 0.999, false},
        {"refill 1-ml pass", refillFrom(22), refill, 1.0, true},
        {"flush 3-ml pass", flushFrom(37), flush, 3.0, false},
        {"flush 3-ml pass", flushFrom(37), flush, 3.001, true},
        {"flush 1-ml pass", flushFrom(43), flush, 1.0, false},
        {"flush 1-ml pass", flushFrom(43), flush, 1.001, true},
        {"fill to 30", [&] { ch.StartFillTo(30.0); }, [&] { ch.IsFillDone(); }, 29.999, false},
        {"fill to 30", [&] { ch.StartFillTo(30.0); }, [&] { ch.IsFillDone(); }, 30.0, true},
    };
    for (const Case& c : cases) {
        api.Pump1.Volume = 0.0;
        EXPECT_EQ(stops(c.volume, c.arm, c.step), c.stop) << c.what << " at " << c.volume;
    }
    // A fill to what the syringe holds already sends nothing; a hair more aspirates.
    api.Pump1.State = 0;
    for (auto [volume, aspirates] : {std::pair{30.0, false}, {29.999, true}}) {
        api.Pump1.Volume = volume;
        ch.StartFillTo(30.0);
        link.flush();
        const auto sent = link.takeSent();
        EXPECT_EQ(std::find(sent.begin(), sent.end(), "RVS 0") != sent.end(), aspirates) << volume;
    }
}

// A refill's final fill whose pump never starts ends on the third tick that reads it stopped.
TEST_F(PumpChannelTest, FinalFillThatNeverStartsStopsOnTheThirdTick) {
    api.Pump1.Volume = 10.0;
    api.Pump1.State = 0;
    ch.TargetVolume = 50.0;
    ch.State = 30;
    ch.RefillStep(false);  // aspirate
    ch.RefillStep(false);  // a tick for the move to start
    link.flush();
    link.takeSent();
    int calls = 0;
    bool stopped = false;
    while (!stopped && calls < 10) {
        ch.RefillStep(false);
        ++calls;
        link.flush();
        stopped = !link.takeSent().empty();
    }
    EXPECT_EQ(calls, 3);
}

TEST_F(PumpChannelTest, RefillOfAFilledSyringeSkipsThePriming) {
    pump1().volume = 5.01;
    link.poll();
    ch.StartRefill(20.0);
    run([&] { return ch.RefillStep(false); });

    EXPECT_EQ(link.sentTexts(), (Cmds{"VALVE 1 4"} + kAspirate55 + Cmds{"OFF 0", "OFF 0"}));
    EXPECT_GE(pump1().volume, 20.0);
    EXPECT_LT(pump1().volume, 21.0);
    EXPECT_EQ(sim.instrument().valve(1).position, 4);
    // The stop, then a 5-second pause before the closing stop.
    EXPECT_EQ(tickOf("OFF 0", 1) - tickOf("OFF 0", 0), 8);
}

TEST_F(PumpChannelTest, RefillOfANearlyEmptySyringePrimesOneThreeAndThreeOneMlPasses) {
    pump1().volume = 5.0;
    link.poll();
    ch.StartRefill(30.0);
    run([&] { return ch.RefillStep(false); });

    const Cmds expected =
        Cmds{"VALVE 1 1"} + kDispense55 + Cmds{"OFF 0", "VALVE 1 4"} + kAspirate55 +  // 3 ml
        Cmds{"OFF 0", "VALVE 1 1"} + kDispense55 + Cmds{"OFF 0"} +                    //
        Cmds{"VALVE 1 4"} + kAspirate55 + Cmds{"OFF 0", "VALVE 1 1"} + kDispense55 +  // 1 ml
        Cmds{"OFF 0"} +                                                               //
        Cmds{"VALVE 1 4"} + kAspirate55 + Cmds{"OFF 0", "VALVE 1 1"} + kDispense55 +  // 1 ml
        Cmds{"OFF 0"} +                                                               //
        Cmds{"VALVE 1 4"} + kAspirate55 + Cmds{"OFF 0", "VALVE 1 1"} + kDispense55 +  // 1 ml
        Cmds{"OFF 0"} +                                                               //
        Cmds{"VALVE 1 4"} + kAspirate55 + Cmds{"OFF 0", "OFF 0"};                     // fill
    EXPECT_EQ(link.sentTexts(), expected);
    EXPECT_GE(pump1().volume, 30.0);
    // A 5-second pause after each aspirating pass before the valve turns to dispense.
    for (int pass : {1, 2, 3, 4}) EXPECT_EQ(tickOf("VALVE 1 1", pass) - tickOf("OFF 0", 2 * pass - 1), 8) << pass;
}

TEST_F(PumpChannelTest, RefillWithHoldAlwaysSetStopsBeforeTheFirstAspirate) {
    pump1().volume = 2.0;
    link.poll();
    ch.StartRefill(30.0);
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(ch.RefillStep(true));
        link.tick();
    }
    EXPECT_EQ(ch.State, 14);
    const Cmds want = Cmds{"VALVE 1 1"} + kDispense55 + Cmds{"OFF 0", "VALVE 1 4"};
    EXPECT_EQ(link.sentTexts(), want);
    EXPECT_EQ(count("RVS 0"), 0);
    // Released, it goes on.
    ASSERT_TRUE(ch.RefillStep(false));
    EXPECT_EQ(ch.State, 80);
}

TEST_F(PumpChannelTest, AlternatingHoldLetsOnlyOneChannelStartAMoveInATick) {
    pump1().volume = 2.0;
    sim.instrument().pump(2).volume = 2.0;
    link.poll();
    ch.StartRefill(10.0);
    ch2.StartRefill(10.0);
    int counter = 0;
    for (int i = 0; i < 400; ++i) {
        ++counter;
        bool busy = ch.RefillStep(counter % 2 == 1);
        busy = ch2.RefillStep(counter % 2 == 0) || busy;
        if (!busy) break;
        link.tick();
    }
    EXPECT_EQ(ch.State, 0);
    EXPECT_EQ(ch2.State, 0);
    // No tick sends an aspirate on both pumps.
    std::map<int64_t, int> aspirates;
    for (const auto& s : link.sent())
        if (s.text == "RVS 0" || s.text == "RVS 2") ++aspirates[s.tick];
    EXPECT_EQ(aspirates.size(), 10u);
    for (auto& [tick, n] : aspirates) EXPECT_EQ(n, 1) << "tick " << tick;
    EXPECT_GE(sim.instrument().pump(2).volume, 10.0);
}

TEST_F(PumpChannelTest, FlushPassesThroughPositionsOneAndFive) {
    pump1().volume = 10.0;
    link.poll();
    ch.StartFlush();
    EXPECT_TRUE(link.sentTexts().empty()) << "a stopped pump needs no stop";
    run([&] { return ch.FlushStep(false); }, 3000);

    const Cmds pass1 =
        Cmds{"VALVE 1 5"} + kAspirate55 + Cmds{"OFF 0", "VALVE 1 1"} + kDispense55 + Cmds{"OFF 0"};
    const Cmds expected = Cmds{"VALVE 1 1"} + kDispense55 + Cmds{"OFF 0"} +  // empty the syringe
                          Cmds{"VALVE 1 5"} + kAspirate55 + Cmds{"OFF 0", "VALVE 1 1"} + kDispense55 +
                          Cmds{"OFF 0"} +          // 3-ml pass
                          pass1 + pass1 + pass1 +  // three 1-ml passes
                          Cmds{"VALVE 1 5"} + kAspirate55 + Cmds{"OFF 0", "VALVE 1 1"} + kDispense55 +
                          Cmds{"OFF 0"};  // a full syringe; the last dispense is stopped by state 90
    EXPECT_EQ(link.sentTexts(), expected);
    EXPECT_LE(pump1().volume, 1e-9);
    EXPECT_EQ(sim.instrument().valve(1).position, 1);
}

TEST_F(PumpChannelTest, FlushStopsARunningPumpAndSkipsADispenseOfAnEmptySyringe) {
    pump1().volume = 0.0;
    pump1().state = 2;
    pump1().rate = 10.0;
    api.Pump1.ReverseRate = 10.0;
    link.poll();
    ch.StartFlush();
    EXPECT_EQ(link.takeSent().size(), 0u);  // queued, goes out with the next tick
    link.flush();
    EXPECT_EQ(link.takeSent(), Cmds{"OFF 0"});
    pump1().volume = 0.0;
    link.poll();
    for (int i = 0; i < 12 && ch.State != 37; ++i) {
        ch.FlushStep(false);
        link.tick();
    }
    // Limit B at once: no dispense, just the stop.
    EXPECT_EQ(link.takeSent(), (Cmds{"VALVE 1 1", "OFF 0", "VALVE 1 5"}));
}

TEST_F(PumpChannelTest, FlushMoveThatNeverStartsEndsOnLateStopped) {
    pump1().volume = 0.0;
    link.poll();
    ch.State = 37;  // aspirate pass, valve already at 5
    ch.StateTicks = 0;
    ch.PassVolume = 3.0;
    sim.responder().rejectWords.insert("RVS");
    std::vector<Cmds> perTick;
    for (int i = 0; i < 4 && ch.State == 37; ++i) {
        ch.FlushStep(false);
        link.tick();
        perTick.push_back(link.takeSent());
    }
    ASSERT_EQ(perTick.size(), 3u);
    EXPECT_EQ(perTick[0], kAspirate55);
    EXPECT_TRUE(perTick[1].empty()) << "stopped on the second tick does not count yet";
    EXPECT_EQ(perTick[2], Cmds{"OFF 0"});
    EXPECT_EQ(ch.State, 39);
}

TEST_F(PumpChannelTest, FlushHoldsOnlyInItsFirstValveState) {
    ch.StartFlush();
    EXPECT_TRUE(ch.FlushStep(true));
    EXPECT_EQ(ch.State, 34);
    EXPECT_TRUE(ch.FlushStep(true));
    EXPECT_EQ(ch.State, 34);
    link.tick();
    EXPECT_TRUE(link.sentTexts().empty());
    ch.State = 36;
    ch.StateTicks = 0;
    EXPECT_TRUE(ch.FlushStep(true));
    link.tick();
    EXPECT_EQ(link.sentTexts(), Cmds{"VALVE 1 5"});
}

TEST_F(PumpChannelTest, EmptyDispensesThroughPositionOne) {
    pump1().volume = 12.0;
    link.poll();
    ch.StateTicks = 7;  // left over from an abandoned machine
    ch.StartEmpty();
    run([&] { return ch.EmptyStep(false, 30.0); });
    EXPECT_EQ(link.sentTexts(), (Cmds{"VALVE 1 1", "MS 0 32", "ML 0 30.00", "FWD 0", "OFF 0"}));
    EXPECT_EQ(ch.State, 0);
    EXPECT_LE(pump1().volume, 1e-9);
}

TEST_F(PumpChannelTest, EmptyHoldsEverywhereButInItsWaits) {
    pump1().volume = 3.0;
    link.poll();
    ch.StartEmpty();
    EXPECT_TRUE(ch.EmptyStep(true, 30.0));
    EXPECT_EQ(ch.State, 1);
    int n = 0;
    while (ch.EmptyStep(n % 2 == 0, 30.0) && n < 100) {
        link.tick();
        ++n;
    }
    link.flush();
    EXPECT_EQ(link.sentTexts(), (Cmds{"VALVE 1 1", "MS 0 32", "ML 0 30.00", "FWD 0", "OFF 0"}));
    // State 62 (waiting for the syringe to empty) goes on under hold.
    ch.State = 62;
    pump1().volume = 0;
    link.poll();
    EXPECT_TRUE(ch.EmptyStep(true, 30.0));
    EXPECT_EQ(ch.State, 90);
    EXPECT_TRUE(ch.EmptyStep(true, 30.0));
    EXPECT_EQ(ch.State, 90);
    EXPECT_FALSE(ch.EmptyStep(false, 30.0));
}

TEST_F(PumpChannelTest, EmptyAtLimitBWithSeventyMlFirstAspiratesOneTick) {
    ch.StartEmpty();
    api.Pump1.LimitB = true;
    api.Pump1.Volume = 69.99;
    ch.EmptyStep(false, 30.0);
    EXPECT_EQ(ch.State, 58);

    ch.StartEmpty();
    api.Pump1.Volume = 70.0;
    ch.EmptyStep(false, 30.0);
    EXPECT_EQ(ch.State, 55);
    link.poll();  // the real status again: syringe of 25 ml
    run([&] { return ch.EmptyStep(false, 30.0); });
    EXPECT_EQ(link.sentTexts(), (Cmds{"VALVE 1 5", "MS 0 32", "ML 0 30.00", "RVS 0", "OFF 0", "VALVE 1 1",
                                      "MS 0 32", "ML 0 30.00", "FWD 0", "OFF 0"}));
    EXPECT_EQ(tickOf("VALVE 1 1") - tickOf("OFF 0"), 8) << "a 5-second pause";
}

TEST_F(PumpChannelTest, PumpOutDispensesWithoutTouchingTheValve) {
    pump1().volume = 4.0;
    link.poll();
    ch.StartEmpty();
    const int n = run([&] { return ch.PumpOutStep(20.0); });
    EXPECT_EQ(link.sentTexts(), (Cmds{"MS 0 32", "ML 0 20.00", "FWD 0", "OFF 0"}));
    EXPECT_GE(n, 14);  // 4 ml at 20 ml/min
    // Another machine's state is not pump-out's.
    ch.State = 58;
    EXPECT_FALSE(ch.PumpOutStep(20.0));
    EXPECT_EQ(ch.State, 58);
}

TEST_F(PumpChannelTest, PumpOnMovesTheValveToTheColumnAndDispenses) {
    sim.instrument().pump(2).volume = 1.0;
    link.poll();
    ch2.StartPumpOn();
    run([&] { return ch2.PumpOnStep(0.5); }, 400);
    EXPECT_EQ(link.sentTexts(), (Cmds{"VALVE 2 2", "MS 2 1", "ML 2 0.50", "FWD 2", "OFF 2"}));
    EXPECT_EQ(ch2.State, 0);
    EXPECT_EQ(sim.instrument().valve(2).position, 2);
}

TEST_F(PumpChannelTest, PressureTestRaisesInTwoStagesAndSendsNoStop) {
    auto& v = sim.instrument().valve(1);
    v.position = v.commanded = 3;  // closed
    pump1().leak = 0.0;
    link.poll();
    ch.StartPressureTest(470.0);
    run([&] { return ch.PressureTestStep(); }, 1000);
    EXPECT_EQ(link.sentTexts(), (Cmds{"STOPPRESSURE 1 370.00", "MS 0 1", "ML 0 0.01", "FWD 0",
                                      "STOPPRESSURE 1 470.00", "MS 0 1", "ML 0 0.001", "FWD 0"}));
    EXPECT_EQ(ch.State, 0);
    EXPECT_GE(pump1().pressure, 470.0);
    EXPECT_LT(pump1().pressure, 475.0);
    // The first stage's pressure build-up, then the 3-second pause before the second.
    EXPECT_EQ(tickOf("STOPPRESSURE 1 470.00") - tickOf("FWD 0"), 29);
    EXPECT_EQ(count("OFF 0"), 0);
}

TEST_F(PumpChannelTest, FillToAspiratesToTheTarget) {
    link.poll();  // 25 ml
    ch.StartFillTo(30.0);
    EXPECT_EQ(ch.State, 1);
    link.tick();  // right after the command the pump still reads "stopped"
    int n = 0;
    while (!ch.IsFillDone() && n < 100) {
        link.tick();
        ++n;
    }
    link.flush();
    EXPECT_EQ(link.sentTexts(), (kAspirate55 + Cmds{"OFF 0"}));
    EXPECT_EQ(ch.State, 90);
    EXPECT_GE(pump1().volume, 30.0);
    EXPECT_LT(pump1().volume, 31.0);
}

TEST_F(PumpChannelTest, FillToBelowTheVolumeSendsNothingAndIsDoneAtOnce) {
    link.poll();
    ch.StartFillTo(10.0);
    EXPECT_EQ(ch.State, 90);
    link.flush();
    EXPECT_TRUE(link.sentTexts().empty());
    EXPECT_TRUE(ch.IsFillDone());
    link.flush();
    EXPECT_EQ(link.sentTexts(), Cmds{"OFF 0"});

    // A target of 0 is done at once too, even while the pump moves.
    api.Pump1.State = 2;
    ch.TargetVolume = 0.0;
    EXPECT_TRUE(ch.IsFillDone());
    // A pump that still reads "stopped" right after the aspirate counts as done.
    ch.StartFillTo(50.0);
    api.Pump1.State = 0;
    EXPECT_TRUE(ch.IsFillDone());
}

TEST_F(PumpChannelTest, RunRateSendsOnlyOnAChange) {
    ch.SetRunRate(0.5);
    ch.SetRunRate(0.5);
    link.flush();
    EXPECT_EQ(link.takeSent(), (Cmds{"OFF 0", "MS 0 1", "ML 0 0.50", "FWD 0"}));
    ch.SetRunRate(0.0);
    ch.SetRunRate(0.0);
    link.flush();
    EXPECT_EQ(link.takeSent(), Cmds{"OFF 0"});
    ch.PumpForward(12.0);
    EXPECT_DOUBLE_EQ(ch.RunRate, -1.0);
    ch.SetRunRate(0.0);
    link.flush();
    EXPECT_EQ(link.takeSent(), (Cmds{"MS 0 32", "ML 0 12.00", "FWD 0", "OFF 0"}));
}

TEST_F(PumpChannelTest, ValveWaitsWithoutLimitForItsPosition) {
    ch.StartPumpOn();
    ch.PumpOnStep(1.0);
    sim.instrument().config().valveSettleMs = 1000000;  // never arrives
    for (int i = 0; i < 30; ++i) {
        EXPECT_TRUE(ch.PumpOnStep(1.0));
        link.tick();
    }
    EXPECT_EQ(link.sentTexts(), Cmds{"VALVE 1 2"}) << "the command goes out once";
    EXPECT_EQ(ch.State, 63);
    EXPECT_TRUE(ch.IsValvePositionUnknown());
}

}  // namespace
