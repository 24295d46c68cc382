// The pump channel's step machines, tick by tick against the simulated instrument: the exact
// commands in order, the pauses between them, the volumes reached and the hold flag.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "link/PumpChannel.h"
#include "support/SimLink.h"

namespace {

using Cmds = std::vector<std::string>;

// Command lists as one text, commands ended by ';'.
std::string join(const Cmds& cmds) {
    std::string s;
    for (const auto& c : cmds) s += c + ";";
    return s;
}
std::string times(int n, const std::string& s) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
}
const std::string Aspirate = "MS 0 32;ML 0 55.00;RVS 0;OFF 0;";  // at the channel's speed, with its stop
const std::string Dispense = "MS 0 32;ML 0 55.00;FWD 0;OFF 0;";

class PumpChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        link.poll();  // identity and the first status: 25 ml in each syringe
        link.poll();
        ch.Init(1, &api.Pump1, &api.Valve1);
        ch2.Init(2, &api.Pump2, &api.Valve2);
        ch.Speed = ch2.Speed = 55;
    }
    // Calls the step once per tick until it answers false; the number of calls.
    int run(const std::function<bool()>& step, int maxTicks = 3000) {
        int n = 0;
        while (n++ < maxTicks && step()) link.tick();
        link.flush();  // what the last call queued
        return n;
    }
    // Tick of the n-th sent command equal to text (0-based n).
    int64_t tickOf(const std::string& text, int n = 0) {
        for (const auto& s : link.sent())
            if (s.text == text && n-- == 0) return s.tick;
        return -1;
    }
    zsim::SimPump& pump(int n) { return sim.instrument().pump(n); }

    FakeClockGuard clock;
    zsim::Simulator sim;
    TZentrovaAPI api;
    SimLink link{sim, &clock.fake, api};
    TPumpChannel ch, ch2;
};

// Every machine from its start to its end: what the instrument receives, the pause between two
// of the commands (text and occurrence of each, ticks between) and the volume the syringe reaches.
TEST_F(PumpChannelTest, EachMachineSendsItsMovesAndReachesItsVolume) {
    const std::string prime = "VALVE 1 1;" + Dispense;
    const std::string pass = "VALVE 1 4;" + Aspirate + "VALVE 1 1;" + Dispense;
    const std::string flushPass = "VALVE 1 5;" + Aspirate + "VALVE 1 1;" + Dispense;
    auto limitB70 = [&](double volume) {
        return [&, volume] {
            ch.StartEmpty();
            api.Pump1.LimitB = true;
            api.Pump1.Volume = volume;
            ch.EmptyStep(false, 30.0);
            link.poll();  // the real status again
        };
    };
    auto empty = [&] { return ch.EmptyStep(false, 30.0); };
    const struct {
        const char* what;
        double volume;
        std::function<void()> start;
        std::function<bool()> step;
        std::string sent;
        double minVolume, maxVolume;
        const char *from, *to;
        int fromN, toN, ticks;
    } cases[] = {
        {"refill of more than 5 ml: no priming", 5.01, [&] { ch.StartRefill(20.0); },
         [&] { return ch.RefillStep(false); }, "VALVE 1 4;" + Aspirate + "OFF 0;", 20.0, 21.0,  //
         "OFF 0", "OFF 0", 0, 1, 8},  // the stop, then a 5-second pause before the closing stop
        {"refill of 5 ml: one 3-ml and three 1-ml passes", 5.0, [&] { ch.StartRefill(30.0); },
         [&] { return ch.RefillStep(false); }, prime + times(4, pass) + "VALVE 1 4;" + Aspirate + "OFF 0;",
         30.0, 31.0, "OFF 0", "VALVE 1 1", 7, 4, 8},  // 5 s after the last pass's aspirate
        {"flush: empty, a 3-ml pass, three 1-ml passes, a full syringe", 10.0, [&] { ch.StartFlush(); },
         [&] { return ch.FlushStep(false); }, prime + times(5, flushPass), 0.0, 1e-9, "OFF 0", "VALVE 1 1", 1,
         1, 8},
        {"empty", 12.0, [&] { ch.StartEmpty(); }, empty, "VALVE 1 1;MS 0 32;ML 0 30.00;FWD 0;OFF 0;", 0.0,
         1e-9, "FWD 0", "OFF 0", 0, 0, 25},  // 12 ml at 30 ml/min
        {"empty at limit B with less than 70 ml", 25.0, limitB70(69.99), empty,
         "VALVE 1 1;MS 0 32;ML 0 30.00;FWD 0;OFF 0;", 0.0, 1e-9, "FWD 0", "OFF 0", 0, 0, 51},
        {"empty at limit B with 70 ml: one aspirate tick first", 25.0, limitB70(70.0), empty,
         "VALVE 1 5;MS 0 32;ML 0 30.00;RVS 0;OFF 0;VALVE 1 1;MS 0 32;ML 0 30.00;FWD 0;OFF 0;", 0.0, 1e-9,
         "OFF 0", "VALVE 1 1", 0, 0, 8},
        {"flush of an empty syringe, the pump still aspirating: stop, no dispense", 0.0,
         [&] {
             pump(1).state = 2;
             pump(1).rate = api.Pump1.ReverseRate = 10.0;
             link.poll();
             ch.StartFlush();
         },
         [&] { return ch.FlushStep(false); }, "OFF 0;VALVE 1 1;OFF 0;" + times(5, flushPass), 0.0, 1e-9,
         "OFF 0", "VALVE 1 5", 1, 0, 1},
        {"pump-on: valve to the column", 1.0, [&] { ch.StartPumpOn(); }, [&] { return ch.PumpOnStep(0.5); },
         "VALVE 1 2;MS 0 1;ML 0 0.50;FWD 0;OFF 0;", 0.0, 1e-9, "FWD 0", "OFF 0", 0, 0,
         121},  // 1 ml at 0.5 ml/min
        {"pump-out leaves the valve alone", 4.0, [&] { ch.StartEmpty(); },
         [&] { return ch.PumpOutStep(20.0); }, "MS 0 32;ML 0 20.00;FWD 0;OFF 0;", 0.0, 1e-9, "FWD 0", "OFF 0",
         0, 0, 13},  // 4 ml at 20 ml/min
        {"fill to 30", 25.0,
         [&] {
             ch.StartFillTo(30.0);
             link.tick();
         },
         [&] { return !ch.IsFillDone(); }, "MS 0 32;ML 0 55.00;RVS 0;OFF 0;", 30.0, 31.0, "RVS 0", "OFF 0", 0,
         0, 6},
        {"fill to what the syringe holds: no aspirate", 25.0, [&] { ch.StartFillTo(api.Pump1.GetVolume()); },
         [&] { return !ch.IsFillDone(); }, "OFF 0;", 25.0, 25.0, "OFF 0", "OFF 0", 0, 0, 0},
        {"fill to 0 ml: done at once, though the syringe reads below 0 and aspirates", -0.005,
         [&] {
             pump(1).state = 2;
             pump(1).rate = api.Pump1.ReverseRate = 10.0;
             link.poll();
             ch.StartFillTo(0.0);
         },
         [&] { return !ch.IsFillDone(); }, "MS 0 32;ML 0 55.00;RVS 0;OFF 0;", -0.01, 0.0, "RVS 0", "OFF 0", 0,
         0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        link.clearSent();
        api.Pump1.LimitB = false;
        pump(1).volume = c.volume;
        sim.instrument().valve(1).position = sim.instrument().valve(1).commanded = 1;
        api.Valve1.CommandedPosition = 0;  // as after a start: the valve is commanded anew
        link.poll();
        ch.StateTicks = 7;  // left over from an abandoned machine
        c.start();
        run(c.step);
        EXPECT_EQ(join(link.sentTexts()), c.sent);
        EXPECT_GE(pump(1).volume, c.minVolume);
        EXPECT_LE(pump(1).volume, c.maxVolume);
        EXPECT_EQ(tickOf(c.to, c.toN) - tickOf(c.from, c.fromN), c.ticks) << c.from << " to " << c.to;
    }
}

// Each volume limit of the channel machines at the value and just past it: the pass stops
// (the instrument receives "OFF 0") only past its limit. The readings are set by hand.
TEST_F(PumpChannelTest, PassVolumeLimitsAtTheValueAndJustPast) {
    const struct {
        uint8_t state;  // where the pass ends; 0 for a fill to 30 ml
        double volume;
        bool stop;
    } cases[] = {
        {15, 3.0, false},   {15, 3.001, true},  // the refill's 3-ml pass
        {23, 0.999, false}, {23, 1.0, true},    // its 1-ml passes
        {37, 3.0, false},   {37, 3.001, true},  // the flush's 3-ml pass
        {43, 1.0, false},   {43, 1.001, true},  // its 1-ml passes
        {0, 29.999, false}, {0, 30.0, true},    // a fill to 30 ml
    };
    for (const auto& c : cases) {
        // The machine sets the pass volume as it starts the aspirate; the pump reads moving.
        api.Pump1.Volume = 0.0;
        api.Pump1.State = 2;
        ch.StateTicks = 0;
        if (c.state == 0) {
            ch.StartFillTo(30.0);
        } else if (c.state < 30) {
            ch.State = c.state - 1;
            ch.RefillStep(false);
            ch.RefillStep(false);
        } else {
            ch.StartFlush();
            ch.FlushStep(false);  // the first pass aspirates 3 ml, every later one 1 ml
            ch.State = c.state;
            if (c.state == 43) ch.FlushStep(false);
        }
        link.flush();
        link.takeSent();
        api.Pump1.Volume = c.volume;
        c.state == 0 ? ch.IsFillDone() : c.state < 30 ? ch.RefillStep(false) : ch.FlushStep(false);
        link.flush();
        EXPECT_EQ(join(link.takeSent()).find("OFF 0") != std::string::npos, c.stop)
            << int(c.state) << " at " << c.volume;
    }
}

// An aspirate whose pump never starts ends on the third tick that reads it stopped: a refill's
// final fill counts from its own start, a flush pass from the command.
TEST_F(PumpChannelTest, AMoveThatNeverStartsEndsOnTheThirdStoppedTick) {
    sim.responder().rejectWords.insert("RVS");
    pump(1).volume = 0.0;
    link.poll();
    for (auto [state, calls] : {std::pair{30, 5}, {37, 3}}) {
        ch.State = uint8_t(state);
        ch.StateTicks = 0;
        ch.TargetVolume = 50.0;
        ch.PassVolume = 3.0;
        link.clearSent();
        int n = 0;
        while (n < 10 && join(link.sentTexts()).find("OFF 0") == std::string::npos) {
            ++n;
            state == 30 ? ch.RefillStep(false) : ch.FlushStep(false);
            link.tick();
        }
        EXPECT_EQ(n, calls) << state;
        EXPECT_EQ(tickOf("OFF 0") - tickOf("RVS 0"), calls - 1) << state;
    }
}

TEST_F(PumpChannelTest, HoldStopsEachMachineOnlyWhereItMayWait) {
    // A refill under hold goes no further than the valve move before its first aspirate.
    pump(1).volume = 2.0;
    link.poll();
    ch.StartRefill(30.0);
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(ch.RefillStep(true));
        link.tick();
    }
    EXPECT_EQ(join(link.takeSent()), "VALVE 1 1;" + Dispense + "VALVE 1 4;");
    ASSERT_TRUE(ch.RefillStep(false));
    link.tick();
    EXPECT_EQ(join(link.takeSent()), "MS 0 32;ML 0 55.00;RVS 0;") << "released, it goes on";
    // A flush holds only in its first valve state.
    ch.StartFlush();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(ch.FlushStep(true));
        link.tick();
    }
    EXPECT_EQ(join(link.takeSent()), "OFF 0;") << "the stop of the moving pump only";
    ch.State = 36;
    EXPECT_TRUE(ch.FlushStep(true));
    link.flush();
    EXPECT_EQ(join(link.takeSent()), "VALVE 1 5;");
    // An empty holds everywhere but in its waits: its pause and the syringe emptying.
    pump(1).volume = 3.0;
    link.poll();
    ch.StartEmpty();
    EXPECT_TRUE(ch.EmptyStep(true, 30.0));
    EXPECT_EQ(ch.State, 1);
    ch.State = 62;
    pump(1).volume = 0;
    link.poll();
    EXPECT_TRUE(ch.EmptyStep(true, 30.0));
    EXPECT_EQ(ch.State, 90);
    EXPECT_TRUE(ch.EmptyStep(true, 30.0));
    EXPECT_FALSE(ch.EmptyStep(false, 30.0));
}

TEST_F(PumpChannelTest, PressureTestRaisesInTwoStagesAndSendsNoStop) {
    auto& v = sim.instrument().valve(1);
    v.position = v.commanded = 3;  // closed
    pump(1).leak = 0.0;
    link.poll();
    ch.StartPressureTest(470.0);
    run([&] { return ch.PressureTestStep(); });
    EXPECT_EQ(join(link.sentTexts()),
              "STOPPRESSURE 1 370.00;MS 0 1;ML 0 0.01;FWD 0;"
              "STOPPRESSURE 1 470.00;MS 0 1;ML 0 0.001;FWD 0;");
    EXPECT_GE(pump(1).pressure, 470.0);
    EXPECT_LT(pump(1).pressure, 475.0);
    // The first stage's pressure build-up, then the 3-second pause before the second.
    EXPECT_EQ(tickOf("STOPPRESSURE 1 470.00") - tickOf("FWD 0"), 29);
}

TEST_F(PumpChannelTest, RunRateSendsOnlyOnAChange) {
    for (double r : {0.5, 0.5, 0.0, 0.0}) ch.SetRunRate(r);
    ch.PumpForward(12.0);
    ch.SetRunRate(0.0);
    link.flush();
    EXPECT_EQ(join(link.takeSent()), "OFF 0;MS 0 1;ML 0 0.50;FWD 0;OFF 0;MS 0 32;ML 0 12.00;FWD 0;OFF 0;");
}

}  // namespace
