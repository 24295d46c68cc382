// The sequence run machine against the simulated instrument, one bRun call per simulated
// second, with methods and a sequence in the store: what the instrument receives and when.
#include <gtest/gtest.h>

#include <QCheckBox>

#include "link/Timers.h"
#include "link/support_runharness.h"
#include "support/StoredMethods.h"

namespace {

class SequenceRunTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        TMethodINIParams m1 = plainMethod("M1");  // runtime 120 s, equilibration 600 s
        m1.PumpTimeList = {"1"};
        m1.Pump1FlowList = {"0.5"};
        m1.Pump2FlowList = {"0.3"};
        m1.ColumnTimeList = {"1"};
        m1.ColumnTempList = {"45"};
        storeMethod(m1);
        storeMethod(plainMethod("M2"));
        storeSequence("S", {{"M1", "2"}, {"M2", "0"}});
        use("S");
    }
    void use(const std::string& sequence) {
        m().Sequence.Name = QString::fromStdString(sequence);
        m().InitSequenceRun();
    }
    // One bRun call and one link tick.
    bool call(int action = 0) {
        return tick([&] { return m().bRun(action); });
    }
    // Calls until the machine is in state s after a call; false when it did not get there.
    bool runTo(uint8_t s, int max, int action = 0) {
        for (int i = 0; i < max; ++i)
            if (call(action), m().RunState == s) return true;
        return false;
    }
    // Commands sent in ticks [from, to), each as "tick - from:text;".
    std::string timeline(int64_t from, int64_t to = INT64_MAX, bool withTicks = true) {
        std::string out;
        for (const auto& s : link().sent())
            if (s.tick >= from && s.tick < to)
                out += (withTicks ? std::to_string(s.tick - from) + ":" : "") + s.text + ";";
        return out;
    }
    int64_t firstTickOf(const std::string& text, int64_t from = 0) {
        for (const auto& s : link().sent())
            if (s.tick >= from && s.text == text) return s.tick;
        return -1;
    }
    // Gets the first run going (run signal on) and to its end (state 36 next).
    void finishFirstRun() {
        ASSERT_TRUE(runTo(18, 30));
        m().RunSignal = true;
        ASSERT_TRUE(runTo(36, 200));
    }
};

TEST_F(SequenceRunTest, TheFirstRunStartsAtOnceAndItsTimetablesStepFlowsAndColumn) {
    inst().column().temperatureOverride = 60.0;  // warm, but the first run does not cool
    idle(1);
    ASSERT_TRUE(runTo(18, 30));
    EXPECT_EQ(timeline(0, INT64_MAX, false),
              "CSETPOINT 40.0;RSETPOINT 50.0;VALVE 1 2;VALVE 2 2;"
              "MS 0 1;ML 0 0.25;FWD 0;MS 2 1;ML 2 0.25;FWD 2;");
    for (int i = 0; i < 20; ++i) ASSERT_FALSE(call());
    EXPECT_EQ(m().RunState, 18) << "no run signal: it waits";
    m().RunSignal = true;
    call();  // 18 -> 33; 33 starts the run clock and performs the first second
    const int64_t t0 = link().ticks();
    ASSERT_TRUE(runTo(35, 200));
    EXPECT_EQ(link().ticks() - t0, 121) << "the run lasts its 120 s";
    // The column ramps in steps of ten seconds; the pump row at 1 min changes both flows in the
    // run's 60th second, once; after the last row nothing goes out, not even the same set point.
    EXPECT_EQ(timeline(t0),
              "10:CSETPOINT 40.8;20:CSETPOINT 41.7;30:CSETPOINT 42.5;40:CSETPOINT 43.3;"
              "50:CSETPOINT 44.2;60:OFF 0;60:MS 0 1;60:ML 0 0.50;60:FWD 0;60:OFF 2;60:MS 2 1;"
              "60:ML 2 0.30;60:FWD 2;60:CSETPOINT 45.0;");
    const int64_t end = link().ticks();
    call();
    EXPECT_EQ(timeline(end), "0:OFF 0;0:OFF 2;") << "state 35 stops the pumps";
    EXPECT_EQ(m().RunState, 36);
}

TEST_F(SequenceRunTest, LaterRunsRefillCoolEquilibrateAndWaitForTheSignal) {
    finishFirstRun();
    inst().pump(1).volume = inst().pump(2).volume = 1.0;
    inst().column().temperatureOverride = 40.5;  // more than 0.4 above 40
    idle(1);
    call();                             // 36
    const int64_t t2 = link().ticks();  // state 2 starts the equilibration
    ASSERT_TRUE(runTo(13, 100));
    inst().column().temperatureOverride = 34.0;  // below 40 - 5
    ASSERT_TRUE(runTo(17, 400));
    const double filled1 = inst().pump(1).volume, filled2 = inst().pump(2).volume;
    ASSERT_TRUE(runTo(34, 400));
    EXPECT_EQ(m().PumpStarts, 2);
    // Cooling first, then the refill of both pumps with the run's volume, 5 s for the valves,
    // the end of the cooling when less than 420 s of the equilibration remain, the heater and
    // then the pumps when less than 300 s remain (states 16 and 17 each take the 301st second),
    // and the run when the equilibration is over (the signal is taken at 601 s, 33 starts it).
    EXPECT_EQ(timeline(t2),
              "0:CSETPOINT 40.0;0:RSETPOINT 50.0;1:CHEAT OFF;1:CFAN ON;1:DOOR OPEN;1:RFAN OFF;"
              "2:VALVE 1 4;2:VALVE 2 4;5:MS 0 32;5:ML 0 55.00;5:RVS 0;5:MS 2 32;5:ML 2 55.00;5:RVS 2;"
              "9:OFF 0;9:OFF 2;17:VALVE 1 2;17:VALVE 2 2;183:CFAN OFF;183:RFAN ON;183:DOOR CLOSE;"
              "301:CSETPOINT 40.0;301:CHEAT ON;304:MS 0 1;304:ML 0 0.25;304:FWD 0;304:MS 2 1;"
              "304:ML 2 0.25;304:FWD 2;");
    EXPECT_EQ(link().ticks() - t2, 603);
    // 15 min at 0.25, 1 min at 0.25, 1 min at 0.5 (and 0.3), plus what was left.
    EXPECT_GE(filled1, 4.5);
    EXPECT_LT(filled1, 5.0);
    EXPECT_GE(filled2, 4.3);
    EXPECT_LT(filled2, 4.8);
}

// The cooling's limits, each at the value and just past it: the threshold above the set point
// that calls for cooling, the temperature that ends it, and the five-minute cooling timer.
TEST_F(SequenceRunTest, CoolingLimitsAtTheValueAndJustPast) {
    TMethodINIParams cool = plainMethod("Cool");
    cool.ColumnT = "39.6";
    cool.EquilTime = "20";
    storeMethod(cool);
    storeSequence("C", {{"Cool", "2"}});
    int64_t t2 = 0;  // the tick in which the equilibration starts
    auto secondRunCools = [&](double temperature) {
        inst().column().temperatureOverride = 30.0;
        use("C");
        m().RunSignal = true;
        EXPECT_TRUE(runTo(36, 2000));
        inst().column().temperatureOverride = temperature;
        idle(1);
        EXPECT_TRUE(runTo(2, 1));
        t2 = link().ticks();
        EXPECT_TRUE(runTo(3, 4));
        return firstTickOf("CHEAT OFF", t2) != -1;
    };
    EXPECT_FALSE(secondRunCools(40.0)) << "0.4 above the set point is not too warm";
    ASSERT_TRUE(runTo(18, 1000));
    EXPECT_EQ(firstTickOf("FWD 0", t2) - t2, 903) << "without cooling the pumps start 300 s before the end";
    EXPECT_TRUE(secondRunCools(40.1));

    // Cooling with 20 minutes to go: the five-minute timer runs out first, then the column must
    // fall below the set point less the delta (39.6 - 5): at 34.6 it waits, at 34.5 it ends.
    const int64_t fanOn = firstTickOf("CFAN ON", t2);
    inst().column().temperatureOverride = 34.6;
    ASSERT_TRUE(runTo(14, 400));
    EXPECT_EQ(link().ticks() - fanOn, 302) << "the cooling timer's 300 s";
    for (int i = 0; i < 30; ++i) ASSERT_FALSE(runTo(15, 1));
    inst().column().temperatureOverride = 34.5;
    idle(1);
    ASSERT_TRUE(runTo(16, 3));
    EXPECT_EQ(firstTickOf("CFAN OFF", fanOn), link().ticks() - 1);
}

TEST_F(SequenceRunTest, AWholeSequenceLogsItsRunsAndEnds) {
    m().RunSignal = true;  // the HPLC gives the signal at once
    EXPECT_GT(runWhile([&] { return m().bRun(0); }, 5000, true), 0);
    EXPECT_EQ(m().PumpStarts, 3) << "M1 twice, M2 once: \"0\" counts as one run";
    EXPECT_EQ(m().SequenceEndReason, 1);
    EXPECT_TRUE(call()) << "the end repeats while the main window keeps calling";
    EXPECT_EQ(logLines({"#GetSequenceParams(): ", "#GetMethodParams(): ", "#bRun(): "}),
              (std::vector<std::string>{
                  "#GetSequenceParams(): S", "#bRun(): Sequence started, erunGetSequenceParams, S",
                  "#GetMethodParams(): M1", "#bRun(): HPLC Run signal received, starting Run M1",
                  "#bRun(): Run finished, M1", "#bRun(): HPLC Run signal received, starting Run M1",
                  "#bRun(): Run finished, M1", "#GetMethodParams(): M2",
                  "#bRun(): HPLC Run signal received, starting Run M2", "#bRun(): Run finished, M2",
                  "#bRun(): Sequence finished, S", "#bRun(): Sequence finished, S"}));
}

TEST_F(SequenceRunTest, SuspendHoldsBeforeTheNextRunAndStopLetsTheRunFinish) {
    m().RunSignal = true;
    ASSERT_TRUE(runTo(34, 30));
    // Suspend during the run: the run finishes, the next one is prepared and held.
    ASSERT_TRUE(runTo(17, 400, 1));
    const int64_t held = link().ticks();
    for (int i = 0; i < 900; ++i) ASSERT_FALSE(runTo(31, 1, 1));
    EXPECT_EQ(firstTickOf("FWD 0", held), -1);
    // Resume, then stop during the second run: it finishes, there is no next one.
    EXPECT_TRUE(runTo(31, 1));
    ASSERT_TRUE(runTo(34, 10));
    EXPECT_EQ(m().PumpStarts, 2);
    ASSERT_TRUE(runTo(35, 200, 2));
    EXPECT_FALSE(call(2)) << "35: pumps off";
    EXPECT_EQ(m().RunState, 47);
    EXPECT_TRUE(call(2));
    EXPECT_EQ(logLines({"#bRun(): Run finished, ", "#bRun(): Sequence finished, "}),
              (std::vector<std::string>{"#bRun(): Run finished, M1", "#bRun(): Run finished, M1",
                                        "#bRun(): Sequence finished, S"}));
}

// A stop before the run ends the sequence at once and undoes what the machine started.
TEST_F(SequenceRunTest, StopBeforeTheRunEndsAtOnceAndRestoresTheColumn) {
    const struct {
        const char* what;
        bool cooling, recFanAlwaysOn;
        uint8_t state;
        const char* sent;
    } cases[] = {
        {"waiting for the signal", false, false, 18, "OFF 0;OFF 2;"},
        {"cooling", true, false, 13, "CFAN OFF;RFAN ON;DOOR CLOSE;CSETPOINT 40.0;CHEAT ON;"},
        {"the refill of a cooling run", true, true, 4,
         "CFAN OFF;DOOR CLOSE;CSETPOINT 40.0;CHEAT ON;RFAN ON;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m().RecFanAlwaysOn->setChecked(c.recFanAlwaysOn);
        use("S");
        if (c.cooling) {
            finishFirstRun();
            inst().column().temperatureOverride = 45.0;
            idle(1);
        }
        ASSERT_TRUE(runTo(c.state, 100));
        const int64_t stop = link().ticks();
        EXPECT_TRUE(call(2));
        EXPECT_EQ(m().RunState, 47);
        EXPECT_EQ(timeline(stop, INT64_MAX, false), c.sent);
    }
    EXPECT_FALSE(inst().columnFan());
    EXPECT_FALSE(inst().doorOpen());
    EXPECT_TRUE(inst().recircFan());
    EXPECT_TRUE(inst().column().heat);
}

TEST_F(SequenceRunTest, WithoutARunSignalTheWaitTimesOutAfter900Seconds) {
    m().EnableInstrument();
    ASSERT_TRUE(runTo(18, 30));
    for (int i = 0; i < 900; ++i) ASSERT_FALSE(runTo(47, 1)) << i;
    const int64_t out = link().ticks();
    EXPECT_TRUE(runTo(47, 1));
    EXPECT_FALSE(m().Enabled);
    EXPECT_EQ(m().SequenceEndReason, 2);
    EXPECT_EQ(timeline(out, INT64_MAX, false).rfind("CHEAT OFF;RHEAT OFF;OFF 0;OFF 2;", 0), 0u);
    EXPECT_TRUE(call());
    EXPECT_EQ(logLines({"#bRun(): HPLC timeout", "#bRun(): Sequence finished"}),
              (std::vector<std::string>{"#bRun(): HPLC timeout, stopping Sequence, current Method M1",
                                        "#bRun(): Sequence finished, S"}));
}

TEST_F(SequenceRunTest, AFlushMethodRunsUntilThePumpsAreEmpty) {
    TMethodINIParams f = plainMethod("F");
    f.Runtime = "1";
    f.EquilTime = "0";
    f.Pump1Flow = f.Pump2Flow = "30";
    f.flushMethod = true;
    storeMethod(f);
    storeSequence("FS", {{"F", "1"}});
    use("FS");
    m().RunSignal = true;
    ASSERT_TRUE(runTo(21, 30));
    ASSERT_TRUE(runTo(34, 2000));
    const int64_t runStart = link().ticks();
    EXPECT_EQ(logLines({"#bRun(): Flush Pumping"}).size(), 1u);
    EXPECT_NEAR(inst().pump(1).volume, 30.0, 1.0) << "the fill holds the run's volume: 1 min at 30 ml/min";
    ASSERT_TRUE(runTo(35, 200));
    EXPECT_GE(link().ticks() - runStart, 60) << "the run goes on until the syringes are empty";
    EXPECT_NEAR(inst().pump(1).volume, 0.0, 1e-6);
}

// A sequence line whose method is not loaded ends the sequence: the instrument receives nothing
// of the method the record held before (an earlier sequence's).
TEST_F(SequenceRunTest, ALineWithoutItsMethodSendsNothingOfTheMethodBefore) {
    ASSERT_TRUE(m().GetSequenceParams());
    ASSERT_TRUE(m().GetMethodParams());
    for (const auto& lines :
         std::vector<std::vector<std::pair<std::string, std::string>>>{{}, {{"Gone", "2"}}}) {
        storeSequence("B", lines);
        use("B");
        EXPECT_EQ(runWhile([&] { return m().bRun(0); }, 10, true), 3);
        EXPECT_EQ(m().SequenceEndReason, 3);
    }
    EXPECT_EQ(timeline(0), "");
    EXPECT_EQ(logLines({"#bRun(): no method loaded for line 1 of Sequence B"}).size(), 2u);
}

// ---------------------------------------------------------------- timers and timetables

// The machines' timers run on the monotonic clock: the second they expire, and changes of the
// local clock that must not move them.
TEST(Timers, ExpireOnTheirSecondWhateverTheLocalClockDoes) {
    FakeClockGuard g;
    TCountDownTimer d;
    TCountUpTimer u;
    EXPECT_TRUE(d.IsExpired() && u.IsExpired()) << "never started";
    d.Start(5);
    u.Start(5);
    g.fake.advanceSeconds(4);
    g.fake.setLocal({2026, 12, 6, 9, 5, 0, 0});  // summer time ends: the local clock goes back
    EXPECT_FALSE(u.IsExpired());
    g.fake.advanceMs(1999);
    EXPECT_TRUE(u.IsExpired());
    EXPECT_FALSE(d.IsExpired());
    g.fake.advanceMs(1);
    EXPECT_TRUE(d.IsExpired()) << "a count-down expires the second after its end";
    EXPECT_EQ(d.SecondsLeft(), -1);
}

TEST(TimetableRows, LatestRowAtOrBeforeAndEarliestRowAfter) {
    const std::vector<std::string> t = {"2", "1", "2", "-1", "abc", "", "0.5", "3"};
    for (auto [s, row] :
         {std::pair{0, -1}, {30, 6}, {119, 1}, {120, 2}, {1000, 7}})  // equal times: the later
        EXPECT_EQ(TInstrumentMachines::FindLastRowAtOrBefore(s, t), row) << s;
    for (auto [s, row] : {std::pair{0, 6}, {60, 0}, {180, -1}})  // equal times: the earlier row
        EXPECT_EQ(TInstrumentMachines::FindFirstRowAfter(s, t), row) << s;
    // Times in minutes, truncated to whole seconds: 0.0166 min is 0 s.
    EXPECT_EQ(TInstrumentMachines::FindLastRowAtOrBefore(0, {"0.0166"}), 0);
    EXPECT_EQ(TInstrumentMachines::FindFirstRowAfter(0, {"1e300", "nan", "inf"}), 0);
}

TEST_F(SequenceRunTest, TheColumnRampLeavesOutRowsThatDoNotRead) {
    TMethodINIParams& meth = m().Method;
    meth.ColumnT = "40";
    meth.ColumnTimeList = {"x", "10", "5", "20"};
    meth.ColumnTempList = {"90", "50", "hot"};  // row 3 has no temperature at all
    for (auto [s, t, ramping] :
         {std::tuple{0, 40.0, true}, {300, 45.0, true}, {600, 50.0, false}, {1500, 50.0, false}}) {
        EXPECT_DOUBLE_EQ(m().ColumnTemperatureAt(s), t) << s;
        EXPECT_EQ(m().TempRamping, ramping) << s;
    }
    // Without a readable method temperature nothing is invented: the set point stays.
    ZentrovaAPI.Column.SetPoint = 37.0;
    meth.ColumnT = "";
    EXPECT_DOUBLE_EQ(m().ColumnTemperatureAt(300), 37.0);

    // A pump row without a readable flow for a pump is no row for it.
    TMethodINIParams bad = plainMethod("Bad");
    bad.EquilTime = "0";
    bad.PumpTimeList = {"0.5", "1", "bad"};
    bad.Pump1FlowList = {"0.5", "?"};
    bad.Pump2FlowList = {"x", "0.4", "0.9"};
    storeMethod(bad);
    storeSequence("B", {{"Bad", "1"}});
    use("B");
    m().RunSignal = true;
    ASSERT_TRUE(runTo(34, 30));
    const int64_t t0 = link().ticks() - 1;
    ASSERT_TRUE(runTo(35, 200));
    std::string flows;
    for (const auto& s : link().sent())
        if (s.tick >= t0 && s.text.rfind("ML", 0) == 0)
            flows += std::to_string(s.tick - t0) + ":" + s.text + ";";
    EXPECT_EQ(flows, "30:ML 0 0.50;60:ML 2 0.40;");
}

}  // namespace
