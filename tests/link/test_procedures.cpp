// The maintenance procedures against the simulated instrument, one step per simulated second:
// the commands each channel sends, the alternation of the channels, the operator's boxes and
// the progress figure.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "link/support_runharness.h"

namespace {

using Commands = std::vector<std::string>;

Commands fwd(int ch, const std::string& rate, bool fast = true) {
    const std::string m = ch == 1 ? "0" : "2";
    return {"MS " + m + (fast ? " 32" : " 1"), "ML " + m + " " + rate, "FWD " + m};
}
Commands rvs(int ch, const std::string& rate) {
    const std::string m = ch == 1 ? "0" : "2";
    return {"MS " + m + " 32", "ML " + m + " " + rate, "RVS " + m};
}
Commands off(int ch) {
    return {ch == 1 ? "OFF 0" : "OFF 2"};
}
Commands valve(int ch, int p) {
    return {"VALVE " + std::to_string(ch) + " " + std::to_string(p)};
}
Commands cat(std::initializer_list<Commands> parts) {
    Commands out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class ProceduresTest : public MachineTest {
  protected:
    Commands channel(int ch) {
        Commands out;
        for (const auto& s : link().sent())
            if (isChannelCommand(s.text, ch)) out.push_back(s.text);
        return out;
    }
    std::vector<int> valvePositions(int ch) {
        std::vector<int> out;
        const std::string prefix = "VALVE " + std::to_string(ch) + " ";
        for (const auto& s : link().sent())
            if (s.text.rfind(prefix, 0) == 0) out.push_back(std::stoi(s.text.substr(prefix.size())));
        return out;
    }
    // Ticks in which the channel started a motion.
    std::set<int64_t> motionTicks(int ch) {
        std::set<int64_t> out;
        const std::string m = ch == 1 ? " 0" : " 2";
        for (const auto& s : link().sent())
            if (s.text == "FWD" + m || s.text == "RVS" + m) out.insert(s.tick);
        return out;
    }
    // One step that also notes the fullest syringe 1 and every tick in which a pump dispenses
    // slowly while its valve is not at the column (2).
    std::function<bool()> watched(std::function<bool()> step) {
        return [this, step] {
            const bool busy = step();
            peak1 = std::max(peak1, inst().pump(1).volume);
            for (int n : {1, 2})
                if (inst().pump(n).state == 1 && inst().pump(n).rate < 1.0 && inst().valve(n).position != 2)
                    ++slowAwayFromColumn;
            return busy;
        };
    }
    double peak1 = 0.0;
    int slowAwayFromColumn = 0;
    bool anyChannel2() {
        for (const auto& s : link().sent())
            if (isChannelCommand(s.text, 2)) return true;
        return false;
    }
    // Stores a method and a one-line sequence naming it, and makes it the current sequence.
    void storeMethod(const std::string& name, const std::string& flow1, const std::string& flow2,
                     const std::string& runtime) {
        TMethodINIParams rec;
        rec.Name = name;
        rec.ColumnT = "40";
        rec.ReactorT = "50";
        rec.Runtime = runtime;
        rec.EquilTime = "5";
        rec.Pump1Flow = flow1;
        rec.Pump2Flow = flow2;
        CMethodNames().SaveMethod(rec);
        TSequenceINIParams seq;
        seq.Name = "Seq";
        seq.MethodList.Add(QString::fromStdString(name));
        seq.RunList.Add("1");
        CSequenceNames().SaveSequence(seq);
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

TEST_F(ProceduresTest, FlushOfBothPumpsAlternatesTheChannelsAndCountsTo360) {
    m().RefillSpeed = 40;
    ASSERT_TRUE(m().StartFlush());
    EXPECT_EQ(m().Channel1->Speed, 40);
    EXPECT_EQ(m().Channel2->Speed, 40);
    const int calls = runWhile([&] { return m().FlushStep(); }, 2000);
    ASSERT_GT(calls, 0);
    // Percent of the last call: the ticks before it.
    EXPECT_EQ(m().PercentDone, (calls - 1) * 100 / 360);

    for (int ch : {1, 2}) {
        const Commands cycle =
            cat({valve(ch, 1), fwd(ch, "40.00"), off(ch), valve(ch, 5), rvs(ch, "40.00"), off(ch)});
        Commands expected = cycle;
        for (int i = 0; i < 4; ++i) expected = cat({expected, cycle});
        expected = cat({expected, valve(ch, 1), fwd(ch, "40.00"), off(ch)});
        EXPECT_EQ(channel(ch), expected) << "channel " << ch;
    }
    // The two channels never start a move in the same tick.
    for (int64_t t : motionTicks(1)) EXPECT_EQ(motionTicks(2).count(t), 0u) << "tick " << t;
    EXPECT_NEAR(inst().pump(1).volume, 0.0, 1e-6);
    EXPECT_EQ(inst().pump(1).state, 0);
}

TEST_F(ProceduresTest, FlushOfOnePumpIdlesTheOtherAndABadPumpNumberArmsNothing) {
    m().Channel1->State = 17;
    ASSERT_TRUE(m().StartFlushPump(2));
    EXPECT_EQ(m().Channel1->State, 0);
    EXPECT_GT(runWhile([&] { return m().FlushStep(); }, 2000), 0);
    EXPECT_TRUE(channel(1).empty());
    EXPECT_FALSE(channel(2).empty());

    m().Channel1->State = 0;
    m().Channel2->State = 0;
    m().StepCount = 9;
    m().PercentDone = 9;
    ASSERT_TRUE(m().StartFlushPump(3));
    EXPECT_EQ(m().StepCount, 0);
    EXPECT_EQ(m().PercentDone, 0);
    EXPECT_EQ(m().Channel1->State, 0);
    EXPECT_EQ(m().Channel2->State, 0);
    EXPECT_FALSE(m().FlushStep());
}

TEST_F(SinglePumpTest, FlushAndRefillLeaveAnAbsentSecondPumpAlone) {
    ASSERT_TRUE(ZentrovaAPI.Pump2Absent);
    m().Channel2->State = 34;
    m().StartFlush();
    EXPECT_EQ(m().Channel2->State, 0);
    EXPECT_GT(runWhile([&] { return m().FlushStep(); }, 2000), 0);
    storeMethod("M", "1.0", "1.0", "10");
    m().StartRefill();
    EXPECT_EQ(m().Channel2->State, 0);
    EXPECT_GT(runWhile([&] { return m().RefillStep(); }, 2000), 0);
    EXPECT_FALSE(anyChannel2());
}

TEST_F(ProceduresTest, RefillOfBothPumpsReloadsTheMethodPrimesAndFillsToTheRunVolume) {
    storeMethod("M", "1.0", "0.5", "10");
    m().Method = TMethodINIParams();
    m().RunIndex = 3;
    inst().pump(1).volume = 2.0;
    inst().pump(2).volume = 8.0;
    idle(1);
    ASSERT_TRUE(m().StartRefill());
    EXPECT_EQ(m().RunIndex, 0);
    EXPECT_EQ(m().Method.Name, "M");
    EXPECT_DOUBLE_EQ(m().Channel1->TargetVolume, 25.0);  // 15 + 10 minutes at 1.0
    EXPECT_DOUBLE_EQ(m().Channel2->TargetVolume, 12.5);
    const int calls = runWhile([&] { return m().RefillStep(); }, 3000);
    ASSERT_GT(calls, 0);
    EXPECT_EQ(m().PercentDone, (calls - 1) * 100 / 240);
    EXPECT_GE(inst().pump(1).volume, 25.0);
    EXPECT_LT(inst().pump(1).volume, 27.0);
    EXPECT_GE(inst().pump(2).volume, 12.5);
    EXPECT_LT(inst().pump(2).volume, 14.0);
    // Pump 1 (2 ml) is primed through position 1 and 4: one 3-ml pass and three 1-ml passes.
    EXPECT_EQ(valvePositions(1), (std::vector<int>{1, 4, 1, 4, 1, 4, 1, 4, 1, 4}));
    // Pump 2 holds more than 5 ml: straight to the final fill.
    EXPECT_EQ(valvePositions(2), (std::vector<int>{4}));
    for (int64_t t : motionTicks(1)) EXPECT_EQ(motionTicks(2).count(t), 0u) << "tick " << t;
}

TEST_F(ProceduresTest, RefillOfOnePumpUsesTheMethodAlreadyLoaded) {
    storeMethod("Stored", "1.0", "1.0", "10");
    m().Method = TMethodINIParams();
    m().Method.Name = "Loaded";
    m().Method.Runtime = "10";
    m().Method.Pump2Flow = "2.0";
    ASSERT_TRUE(m().StartRefillPump(2));
    EXPECT_EQ(m().Method.Name, "Loaded");
    EXPECT_DOUBLE_EQ(m().Channel2->TargetVolume, 50.0);
    EXPECT_EQ(m().Channel1->State, 0);
    EXPECT_GT(runWhile([&] { return m().RefillStep(); }, 3000), 0);
    EXPECT_TRUE(channel(1).empty());
    EXPECT_GE(inst().pump(2).volume, 50.0);
}

TEST_F(ProceduresTest, EmptyDrivesBothChannelsAndCountsTo120) {
    ASSERT_TRUE(m().StartEmpty());
    const int calls = runWhile([&] { return m().EmptyStep(); }, 500);
    ASSERT_GT(calls, 0);
    EXPECT_EQ(m().PercentDone, (calls - 1) * 100 / 120);
    for (int ch : {1, 2}) EXPECT_EQ(channel(ch), cat({valve(ch, 1), fwd(ch, "55.00"), off(ch)})) << ch;
    for (int64_t t : motionTicks(1)) EXPECT_EQ(motionTicks(2).count(t), 0u) << "tick " << t;
    EXPECT_NEAR(inst().pump(2).volume, 0.0, 1e-6);

    link().clearSent();
    ASSERT_TRUE(m().StartEmptyPump(1));
    EXPECT_EQ(m().Channel2->State, 0);
    EXPECT_GT(runWhile([&] { return m().EmptyStep(); }, 500), 0);
    EXPECT_TRUE(channel(2).empty());
}

TEST_F(SinglePumpTest, EmptyArmsTheSecondChannelEvenWithoutASecondPump) {
    ASSERT_TRUE(m().StartEmpty());
    EXPECT_EQ(m().Channel2->State, 1);
    for (int i = 0; i < 5; ++i) tick([&] { return m().EmptyStep(); });
    EXPECT_EQ(valvePositions(2), (std::vector<int>{1}));
}

TEST_F(ProceduresTest, PumpOnTakesTheMethodFlowsAndStepsBothChannels) {
    m().Method.Pump1Flow = "0.5";
    m().Method.Pump2Flow = "abc";
    m().StepCount = 7;
    m().PercentDone = 3;
    m().Channel2->State = 0;
    ASSERT_TRUE(m().StartPumpOn(1));
    EXPECT_DOUBLE_EQ(m().PumpOnRate1, 0.5);
    EXPECT_DOUBLE_EQ(m().PumpOnRate2, 0.0);
    EXPECT_EQ(m().StepCount, 7);
    EXPECT_EQ(m().PercentDone, 3);
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(tick([&] { return m().PumpOnStep(); }));
    EXPECT_EQ(channel(1), cat({valve(1, 2), fwd(1, "0.50", false)}));
    EXPECT_TRUE(channel(2).empty());

    // A channel left armed is stepped as well.
    m().Channel2->StartPumpOn();
    for (int i = 0; i < 6; ++i) tick([&] { return m().PumpOnStep(); });
    EXPECT_EQ(channel(2), cat({valve(2, 2), off(2)}));  // rate 0: the forward command becomes "OFF"
}

TEST_F(ProceduresTest, StoragePreparationRunsItsCyclesAndAsksTwice) {
    ASSERT_EQ(sim_->control("valve-settle 5000"), "ok");  // a move takes several ticks
    ASSERT_TRUE(m().StartStorageProcedure());
    std::vector<int64_t> boxTicks;
    int nestedCalls = 0;
    dialogs_.onShow = [&](const MessageRequest&) {
        boxTicks.push_back(link().ticks());
        // The main timer keeps calling under the box: those calls do nothing and do not count.
        const int32_t steps = m().StepCount;
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(m().StorageProcedureStep());
            ++nestedCalls;
        }
        EXPECT_EQ(m().StepCount, steps);
        EXPECT_EQ(m().StorageStep, 42);
    };
    const int calls = runWhile(watched([&] { return m().StorageProcedureStep(); }), 5000);
    ASSERT_GT(calls, 0);
    EXPECT_EQ(nestedCalls, 6);
    EXPECT_EQ(slowAwayFromColumn, 0) << "the slow pump-out waits for the valves at the column";
    EXPECT_EQ(m().StepCount, calls);  // every call of the main loop counts, the calls under a box not
    EXPECT_EQ(m().PercentDone, m().StepCount * 100 / 1800);

    ASSERT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(dialogs_.shown[0].title, "Action Required");
    EXPECT_EQ(dialogs_.shown[0].text,
              "Please replace your reagent with mixture of water-methanol (80/20).\nClick OK when finished.");
    EXPECT_EQ(dialogs_.shown[0].buttons, MsgButtons::OKCancel);
    EXPECT_EQ(dialogs_.shown[1].text, "Please empty piston wash and flush bottles.\nClick OK when finished.");

    // Valves: reagent in (4), out (1), the flush's five passes, water in (5), slow pump-out (2),
    // empty (1), then the two rinse cycles through 5 and 1.
    const std::vector<int> v = {4, 1, 5, 1, 5, 1, 5, 1, 5, 1, 5, 1, 5, 2, 1, 5, 1, 5, 1};
    EXPECT_EQ(valvePositions(1), v);
    EXPECT_EQ(valvePositions(2), v);

    // The slow pump-out at 0.3 ml/min is cut off on its 902nd tick, both pumps off.
    const auto& sent = link().sent();
    size_t slow = 0;
    for (size_t i = 0; i + 1 < sent.size(); ++i)
        if (sent[i].text == "ML 0 0.30") slow = i;
    ASSERT_GT(slow, 0u);
    EXPECT_EQ(sent[slow - 1].text, "MS 0 1");
    size_t cut = slow;
    while (cut < sent.size() && sent[cut].text != "OFF 0") ++cut;
    ASSERT_LT(cut + 1, sent.size());
    EXPECT_EQ(sent[cut + 1].text, "OFF 2");
    EXPECT_EQ(sent[cut].tick - sent[slow].tick, 901);

    // The last rinse ends when both syringes are below 40 ml.
    EXPECT_EQ(sent.back().text, "OFF 2");
    EXPECT_EQ(sent[sent.size() - 2].text, "OFF 0");
    EXPECT_LT(inst().pump(1).volume, 40.0);
    EXPECT_GT(inst().pump(1).volume, 38.0);
    EXPECT_LT(inst().pump(2).volume, 40.0);
    EXPECT_GT(inst().pump(2).volume, 38.0);
    EXPECT_EQ(boxTicks.size(), 2u);
}

TEST_F(ProceduresTest, StoragePreparationEndsOnCancelWithoutMoves) {
    dialogs_.answer(mrCancel);
    m().StartStorageProcedure();
    EXPECT_TRUE(tick([&] { return m().StorageProcedureStep(); }));  // state 0
    EXPECT_TRUE(tick([&] { return m().StorageProcedureStep(); }));  // the box, cancelled
    EXPECT_EQ(m().StorageStep, 68);
    EXPECT_FALSE(tick([&] { return m().StorageProcedureStep(); }));  // over
    EXPECT_TRUE(link().sent().empty());
    EXPECT_EQ(dialogs_.shown.size(), 1u);
}

TEST_F(ProceduresTest, StoragePreparationPercentKeepsRisingPast100) {
    m().StartStorageProcedure();
    m().StorageStep = 24;  // a state without action: busy, nothing sent
    for (int i = 0; i < 1801; ++i) EXPECT_TRUE(m().StorageProcedureStep());
    EXPECT_EQ(m().PercentDone, 100);
    for (int i = 0; i < 18; ++i) m().StorageProcedureStep();
    EXPECT_EQ(m().PercentDone, 101);
}

TEST_F(SinglePumpTest, StoragePreparationAndInstrumentFlushNeverAddressAnAbsentPump) {
    m().SyncPumpCount();
    ASSERT_TRUE(m().SinglePump);
    m().StartStorageProcedure();
    EXPECT_GT(runWhile([&] { return m().StorageProcedureStep(); }, 5000), 0);
    EXPECT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_FALSE(anyChannel2());
    EXPECT_LT(inst().pump(1).volume, 40.0);

    link().clearSent();
    m().StartInstrumentFlush();
    EXPECT_GT(runWhile([&] { return m().InstrumentFlushStep(); }, 5000), 0);
    EXPECT_FALSE(anyChannel2());
    EXPECT_NEAR(inst().pump(1).volume, 0.0, 1e-6);
}

TEST_F(ProceduresTest, InstrumentFlushSendsItsMovesInOrderAndCountsTo1200) {
    ASSERT_TRUE(m().StartInstrumentFlush());
    const int calls = runWhile(watched([&] { return m().InstrumentFlushStep(); }), 5000);
    ASSERT_GT(calls, 0);
    EXPECT_EQ(slowAwayFromColumn, 0);
    EXPECT_GE(peak1, 70.0) << "the second fill takes the syringes to 70 ml";
    EXPECT_LT(peak1, 71.0);
    EXPECT_EQ(m().InstrumentFlushState, 25);
    EXPECT_EQ(m().PercentDone, (calls - 1) * 100 / 1200);
    for (int ch : {1, 2}) {
        const Commands expected =
            cat({valve(ch, 1), fwd(ch, "55.00"), off(ch),               // empty
                 valve(ch, 5), rvs(ch, "55.00"), off(ch),               // fill to 10
                 valve(ch, 1), fwd(ch, "55.00"), off(ch),               // empty
                 valve(ch, 5), rvs(ch, "55.00"), off(ch),               // fill to 70
                 valve(ch, 2), fwd(ch, "0.30", false), off(1), off(2),  // slow pump-out, cut off
                 valve(ch, 1), fwd(ch, "55.00"), off(ch)});             // empty
        Commands got;
        for (const auto& s : link().sent())
            if (isChannelCommand(s.text, ch) || (s.text.rfind("OFF", 0) == 0)) got.push_back(s.text);
        // Keep only this channel's commands plus the cut-off pair that follows the slow pump-out.
        Commands filtered;
        bool inSlow = false;
        for (const auto& c : got) {
            if (c == "ML " + std::string(ch == 1 ? "0" : "2") + " 0.30") inSlow = true;
            if (isChannelCommand(c, ch) || (inSlow && c.rfind("OFF", 0) == 0)) filtered.push_back(c);
            if (inSlow && c == "OFF 2") inSlow = false;
        }
        EXPECT_EQ(filtered, expected) << "channel " << ch;
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

}  // namespace
