// The maintenance procedures against the simulated instrument, one step per simulated second:
// the commands each channel sends, the alternation of the channels, the operator's boxes, the
// volumes reached and the progress figure.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "link/support_runharness.h"
#include "support/StoredMethods.h"

namespace {

// One channel's moves as text, commands ended by ';': valve, aspirate and dispense at the speed,
// each move with its stop.
std::string valve(int ch, int p) {
    return "VALVE " + std::to_string(ch) + " " + std::to_string(p) + ";";
}
std::string motion(int ch, const char* word, const std::string& rate = "55.00", const char* step = "32") {
    const std::string m = ch == 1 ? "0" : "2";
    return "MS " + m + " " + step + ";ML " + m + " " + rate + ";" + word + " " + m + ";OFF " + m + ";";
}
std::string times(int n, const std::string& s) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
}

class ProceduresTest : public MachineTest {
  protected:
    std::string channel(int ch) {
        std::string out;
        for (const auto& s : link().sent())
            if (isChannelCommand(s.text, ch)) out += s.text + ";";
        return out;
    }
    // The positions the channel's valve was sent to, one digit each.
    std::string valves(int ch) {
        std::string out;
        for (const auto& s : link().sent())
            if (s.text.rfind(valve(ch, 0).substr(0, 8), 0) == 0) out += s.text.substr(8);
        return out;
    }
    // No tick in which both channels start a move.
    void expectAlternation() {
        std::map<int64_t, int> starts;
        for (const auto& s : link().sent())
            if (s.text.rfind("FWD", 0) == 0 || s.text.rfind("RVS", 0) == 0) ++starts[s.tick];
        for (auto [tick, n] : starts) EXPECT_EQ(n, 1) << "both channels start a move in tick " << tick;
    }
    // A step that also notes the fullest syringe 1 and every tick in which a pump dispenses
    // slowly while its valve is not at the column (2).
    std::function<bool()> watched(std::function<bool()> step) {
        return [this, step] {
            peak1 = std::max(peak1, inst().pump(1).volume);
            for (int n : {1, 2})
                if (inst().pump(n).state == 1 && inst().pump(n).rate < 1.0 && inst().valve(n).position != 2)
                    ++slowAwayFromColumn;
            return step();
        };
    }
    double peak1 = 0.0;
    int slowAwayFromColumn = 0;
    // Stores a method and a one-line sequence naming it, and makes it the current sequence.
    void useMethod(const char* flow1, const char* flow2) {
        TMethodINIParams rec = plainMethod("M");
        rec.Runtime = "10";
        rec.Pump1Flow = flow1;
        rec.Pump2Flow = flow2;
        storeMethod(rec);
        storeSequence("Seq", {{"M", "1"}});
        m().Sequence.Name = "Seq";
        m().GetSequenceParams();
    }
};

class SinglePumpTest : public ProceduresTest {
  protected:
    zsim::InstrumentConfig simConfig() override {
        zsim::InstrumentConfig c;
        c.singlePump = true;
        return c;
    }
};

// Flush, refill and empty of both pumps or one: each channel's moves, the channels never
// starting a move in the same tick, the volumes reached and the percent of the last call.
TEST_F(ProceduresTest, EachProcedureDrivesItsChannelsInTurn) {
    useMethod("1.0", "0.5");  // refills of 25 and 12.5 ml: 15 + 10 minutes of flow
    m().RefillSpeed = 40;     // each start hands the speed to the channels
    auto at40 = [](int ch, const char* word) { return motion(ch, word, "40.00"); };
    auto flushCycles = [&](int ch) {
        return times(5, valve(ch, 1) + at40(ch, "FWD") + valve(ch, 5) + at40(ch, "RVS")) + valve(ch, 1) +
               at40(ch, "FWD");
    };
    const std::string refill1 = valve(1, 1) + at40(1, "FWD") +
                                times(4, valve(1, 4) + at40(1, "RVS") + valve(1, 1) + at40(1, "FWD")) +
                                valve(1, 4) + at40(1, "RVS");
    const std::string refill2 = valve(2, 4) + at40(2, "RVS");
    const struct {
        const char* what;
        std::function<bool()> start, step;
        int fullTicks;
        std::string ch1, ch2;
        double volume1, volume2;  // at least, and less than one more ml
    } cases[] = {
        {"flush", [&] { return m().StartFlush(); }, [&] { return m().FlushStep(); }, 360, flushCycles(1),
         flushCycles(2), 0, 0},
        {"flush of pump 2", [&] { return m().StartFlushPump(2); }, [&] { return m().FlushStep(); }, 360, "",
         flushCycles(2), 2, 0},
        {"refill", [&] { return m().StartRefill(); }, [&] { return m().RefillStep(); }, 240,
         refill1 + "OFF 0;", refill2 + "OFF 2;", 25, 12.5},
        {"empty", [&] { return m().StartEmpty(); }, [&] { return m().EmptyStep(); }, 120,
         valve(1, 1) + at40(1, "FWD"), valve(2, 1) + at40(2, "FWD"), 0, 0},
        {"empty of pump 1", [&] { return m().StartEmptyPump(1); }, [&] { return m().EmptyStep(); }, 120,
         valve(1, 1) + at40(1, "FWD"), "", 0, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        inst().pump(1).volume = 2.0;
        inst().pump(2).volume = 8.0;
        m().Channel1->State = m().Channel2->State = 17;  // left over: the channel not taking part idles
        for (int n : {1, 2}) inst().valve(n).position = inst().valve(n).commanded = 3;
        ZentrovaAPI.Valve1.CommandedPosition = ZentrovaAPI.Valve2.CommandedPosition = 0;
        idle(1);
        link().clearSent();
        ASSERT_TRUE(c.start());
        const int calls = runWhile(c.step, 3000);
        ASSERT_GT(calls, 0);
        EXPECT_EQ(m().PercentDone, (calls - 1) * 100 / c.fullTicks);
        EXPECT_EQ(channel(1), c.ch1);
        EXPECT_EQ(channel(2), c.ch2);
        expectAlternation();
        EXPECT_GE(inst().pump(1).volume, c.volume1);
        EXPECT_LT(inst().pump(1).volume, c.volume1 + 1.0);
        EXPECT_GE(inst().pump(2).volume, c.volume2);
        EXPECT_LT(inst().pump(2).volume, c.volume2 + 1.0);
    }
    // A refill of one pump uses the method already loaded; a bad pump number arms nothing.
    m().Method.Pump2Flow = "2.0";
    ASSERT_TRUE(m().StartRefillPump(2));
    EXPECT_DOUBLE_EQ(m().Channel2->TargetVolume, 50.0);
    EXPECT_EQ(m().Channel1->State, 0);
    m().Channel2->SetIdle();
    ASSERT_TRUE(m().StartFlushPump(3));
    EXPECT_FALSE(m().FlushStep());
}

TEST_F(ProceduresTest, PumpOnTakesTheMethodFlowsAndStepsBothChannels) {
    m().Method.Pump1Flow = "0.5";
    m().Method.Pump2Flow = "abc";
    ASSERT_TRUE(m().StartPumpOn(1));
    EXPECT_DOUBLE_EQ(m().PumpOnRate2, 0.0);
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(tick([&] { return m().PumpOnStep(); }));
    EXPECT_EQ(channel(1), "VALVE 1 2;MS 0 1;ML 0 0.50;FWD 0;");
    EXPECT_EQ(channel(2), "");
    // A channel left armed is stepped as well; rate 0 makes its forward command an "OFF".
    m().Channel2->StartPumpOn();
    for (int i = 0; i < 6; ++i) tick([&] { return m().PumpOnStep(); });
    EXPECT_EQ(channel(2), "VALVE 2 2;OFF 2;");
}

TEST_F(ProceduresTest, StoragePreparationRunsItsCyclesAndAsksTwice) {
    ASSERT_EQ(sim_->control("valve-settle 5000"), "ok");  // a move takes several ticks
    ASSERT_TRUE(m().StartStorageProcedure());
    int nestedCalls = 0;
    dialogs_.onShow = [&](const MessageRequest&) {
        // The main timer keeps calling under the box: those calls do nothing and do not count.
        const int32_t steps = m().StepCount;
        for (int i = 0; i < 3; ++i, ++nestedCalls) EXPECT_TRUE(m().StorageProcedureStep());
        EXPECT_EQ(m().StepCount, steps);
    };
    const int calls = runWhile(watched([&] { return m().StorageProcedureStep(); }), 5000);
    ASSERT_GT(calls, 0);
    EXPECT_EQ(nestedCalls, 6);
    EXPECT_EQ(slowAwayFromColumn, 0) << "the slow pump-out waits for the valves at the column";
    EXPECT_EQ(m().StepCount, calls);
    EXPECT_EQ(m().PercentDone, calls * 100 / 1800);
    ASSERT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(dialogs_.shown[0].title, "Action Required");
    EXPECT_EQ(dialogs_.shown[0].text,
              "Please replace your reagent with mixture of water-methanol (80/20).\nClick OK when finished.");
    EXPECT_EQ(dialogs_.shown[0].buttons, MsgButtons::OKCancel);
    EXPECT_EQ(dialogs_.shown[1].text, "Please empty piston wash and flush bottles.\nClick OK when finished.");

    // Valves: reagent in (4), out (1), the flush's five passes, water in (5), slow pump-out (2),
    // empty (1), then the two rinse cycles through 5 and 1.
    EXPECT_EQ(valves(1), "4151515151515215151");
    EXPECT_EQ(valves(2), "4151515151515215151");
    // The slow pump-out at 0.3 ml/min is cut off on its 902nd tick.
    int64_t slowStart = -1, cut = -1;
    for (const auto& s : link().sent())
        if (s.text == "ML 0 0.30")
            slowStart = s.tick;
        else if (slowStart >= 0 && cut < 0 && s.text == "OFF 0")
            cut = s.tick;
    EXPECT_NE(slowStart, -1);
    EXPECT_EQ(cut - slowStart, 901);
    // The last rinse ends when both syringes are below 40 ml.
    for (int n : {1, 2}) {
        EXPECT_LT(inst().pump(n).volume, 40.0);
        EXPECT_GT(inst().pump(n).volume, 38.0);
    }
    // The percent keeps rising past 100.
    m().StorageStep = 24;  // a state without action
    for (int i = 0; i < 1800; ++i) m().StorageProcedureStep();
    EXPECT_EQ(m().PercentDone, (calls + 1800) * 100 / 1800);
}

TEST_F(ProceduresTest, StoragePreparationEndsOnCancelWithoutMoves) {
    dialogs_.answer(mrCancel);
    m().StartStorageProcedure();
    EXPECT_EQ(runWhile([&] { return m().StorageProcedureStep(); }, 10), 3);
    EXPECT_TRUE(link().sent().empty());
    EXPECT_EQ(dialogs_.shown.size(), 1u);
}

TEST_F(ProceduresTest, InstrumentFlushSendsItsMovesInOrderAndCountsTo1200) {
    ASSERT_TRUE(m().StartInstrumentFlush());
    const int calls = runWhile(watched([&] { return m().InstrumentFlushStep(); }), 5000);
    ASSERT_GT(calls, 0);
    EXPECT_EQ(slowAwayFromColumn, 0);
    EXPECT_GE(peak1, 70.0) << "the second fill takes the syringes to 70 ml";
    EXPECT_LT(peak1, 71.0);
    EXPECT_EQ(m().PercentDone, (calls - 1) * 100 / 1200);
    for (int ch : {1, 2}) {
        const std::string slow = valve(ch, 2) + motion(ch, "FWD", "0.30", "1");
        const std::string cycle = valve(ch, 1) + motion(ch, "FWD") + valve(ch, 5) + motion(ch, "RVS");
        EXPECT_EQ(channel(ch), cycle + cycle + slow + valve(ch, 1) + motion(ch, "FWD"));
    }
    EXPECT_NEAR(inst().pump(1).volume, 0.0, 1e-6);
    EXPECT_FALSE(m().InstrumentFlushStep());  // stays over
}

TEST_F(ProceduresTest, TheLongProceduresWaitForBothValves) {
    m().StartInstrumentFlush();
    tick([&] { return m().InstrumentFlushStep(); });
    tick([&] { return m().InstrumentFlushStep(); });  // both valves to 1
    ASSERT_EQ(sim_->control("valve-lose 2"), "ok");
    idle(1);
    for (int i = 0; i < 20; ++i) tick([&] { return m().InstrumentFlushStep(); });
    for (const auto& s : link().sent()) EXPECT_EQ(s.text.rfind("FWD", 0), std::string::npos) << s.text;
}

TEST_F(SinglePumpTest, NoProcedureAddressesAnAbsentPump) {
    m().SyncPumpCount();
    ASSERT_TRUE(ZentrovaAPI.Pump2Absent);
    useMethod("1.0", "1.0");
    const std::vector<std::pair<std::function<bool()>, std::function<bool()>>> procedures = {
        {[&] { return m().StartFlush(); }, [&] { return m().FlushStep(); }},
        {[&] { return m().StartRefill(); }, [&] { return m().RefillStep(); }},
        {[&] { return m().StartStorageProcedure(); }, [&] { return m().StorageProcedureStep(); }},
        {[&] { return m().StartInstrumentFlush(); }, [&] { return m().InstrumentFlushStep(); }},
    };
    m().Channel2->State = 34;
    for (const auto& [start, step] : procedures) {
        start();
        EXPECT_EQ(m().Channel2->State, 0);
        EXPECT_GT(runWhile(step, 5000), 0);
    }
    EXPECT_EQ(channel(2), "");
    EXPECT_NEAR(inst().pump(1).volume, 0.0, 1e-6);
    // Empty arms the second channel all the same: its valve is commanded.
    link().clearSent();
    ASSERT_TRUE(m().StartEmpty());
    for (int i = 0; i < 5; ++i) tick([&] { return m().EmptyStep(); });
    EXPECT_EQ(channel(2), "VALVE 2 1;");
}

}  // namespace
