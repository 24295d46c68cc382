// The sequence run machine against the simulated instrument, one bRun call per simulated
// second, with methods and a sequence in the store.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <algorithm>

#include "link/support_runharness.h"
#include "support/StoredMethods.h"

namespace {

struct Call {
    int64_t tick;  // commands of this call go out in the link tick with this number
    uint8_t before;
    uint8_t after;
    bool result;
};

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
        TMethodINIParams m2 = m1;
        m2.Name = "M2";
        m2.PumpTimeList.clear();
        m2.Pump1FlowList.clear();
        m2.Pump2FlowList.clear();
        m2.ColumnTimeList.clear();
        m2.ColumnTempList.clear();
        storeMethod(m2);
        storeSequence("S", {{"M1", "2"}, {"M2", "0"}});
        m().Sequence.Name = "S";
    }

    // One bRun call and one link tick.
    Call call(int action = 0) {
        Call c{link().ticks(), m().RunState, 0, false};
        c.result = m().bRun(action);
        c.after = m().RunState;
        link().tick();
        calls_.push_back(c);
        return c;
    }
    // Calls until the machine is in state s (after a call); false when it did not get there.
    bool runTo(uint8_t s, int max, int action = 0) {
        for (int i = 0; i < max; ++i)
            if (call(action).after == s) return true;
        return false;
    }
    // Calls until bRun reports the end.
    bool runToEnd(int max, int action = 0) {
        for (int i = 0; i < max; ++i)
            if (call(action).result) return true;
        return false;
    }
    // Commands sent in [from, to) ticks.
    std::vector<SimLink::Sent> sentBetween(int64_t from, int64_t to) {
        std::vector<SimLink::Sent> out;
        for (const auto& s : link().sent())
            if (s.tick >= from && s.tick < to) out.push_back(s);
        return out;
    }
    std::vector<std::string> textsBetween(int64_t from, int64_t to) {
        std::vector<std::string> out;
        for (const auto& s : sentBetween(from, to)) out.push_back(s.text);
        return out;
    }
    int64_t firstTickOf(const std::string& text, int64_t from = 0) {
        for (const auto& s : link().sent())
            if (s.tick >= from && s.text == text) return s.tick;
        return -1;
    }
    // Gets the first run going (run signal on) and to the end of it (state 36 next).
    void finishFirstRun() {
        ASSERT_TRUE(runTo(18, 30));
        m().RunSignal = true;
        ASSERT_TRUE(runTo(35, 200));
        ASSERT_TRUE(runTo(36, 2));
    }

    std::vector<Call> calls_;
};

TEST_F(SequenceRunTest, FirstRunStartsAtOnceAndWaitsOnlyForTheRunSignal) {
    inst().column().temperatureOverride = 60.0;  // warm, but the first run does not cool
    idle(1);
    m().InitSequenceRun();
    ASSERT_TRUE(runTo(18, 30));
    EXPECT_EQ(m().RunCounter, 1);
    EXPECT_EQ(m().PumpStarts, 1);
    EXPECT_EQ(m().Method.Name, "M1");
    EXPECT_EQ(link().sentTexts(),
              (std::vector<std::string>{"CSETPOINT 40.0", "RSETPOINT 50.0", "VALVE 1 2", "VALVE 2 2",
                                        "MS 0 1", "ML 0 0.25", "FWD 0", "MS 2 1", "ML 2 0.25", "FWD 2"}));
    // No run signal: it waits.
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(call().result);
    EXPECT_EQ(m().RunState, 18);
    m().RunSignal = true;
    EXPECT_EQ(call().after, 33);
    EXPECT_EQ(call().after, 34);  // 33 starts the run clock and performs the first second
    EXPECT_EQ(call().after, 34);
}

TEST_F(SequenceRunTest, TimetablesStepTheFlowsAndRampTheColumn) {
    m().InitSequenceRun();
    ASSERT_TRUE(runTo(18, 30));
    m().RunSignal = true;
    call();  // 18 -> 33
    const int64_t t0 = link().ticks();
    EXPECT_EQ(call().after, 34);  // 33 and the first second of the run
    ASSERT_TRUE(runTo(35, 200));
    const int64_t tEnd = link().ticks();
    // The run lasts its 120 s: state 34 is left on the call at e = 120.
    EXPECT_EQ(tEnd - t0, 121);

    // Pump timetable: the row at 1 min changes both flows in the run's 60th second, once.
    EXPECT_EQ(textsBetween(t0, t0 + 60),
              std::vector<std::string>({"CSETPOINT 40.8", "CSETPOINT 41.7", "CSETPOINT 42.5",
                                        "CSETPOINT 43.3", "CSETPOINT 44.2"}));
    EXPECT_EQ(textsBetween(t0 + 60, t0 + 61),
              (std::vector<std::string>{"OFF 0", "MS 0 1", "ML 0 0.50", "FWD 0", "OFF 2", "MS 2 1",
                                        "ML 2 0.30", "FWD 2", "CSETPOINT 45.0"}));
    // After the last row: nothing until the run ends, not even the unchanged set point.
    EXPECT_TRUE(textsBetween(t0 + 61, tEnd).empty());
    // The set points went out only at multiples of ten seconds.
    for (const auto& s : link().sent())
        if (s.text.rfind("CSETPOINT", 0) == 0 && s.tick >= t0) {
            EXPECT_EQ((s.tick - t0) % 10, 0) << s.text;
        }
    EXPECT_DOUBLE_EQ(ZentrovaAPI.Column.GetSetPoint(), 45.0);

    call();  // 35: pumps stopped
    EXPECT_EQ(textsBetween(tEnd, tEnd + 1), (std::vector<std::string>{"OFF 0", "OFF 2"}));
    EXPECT_EQ(m().RunState, 36);
}

TEST_F(SequenceRunTest, LaterRunsRefillCoolEquilibrateAndWaitForTheSignal) {
    m().InitSequenceRun();
    finishFirstRun();
    m().RunSignal = true;  // present all along: the equilibration still has to end
    inst().pump(1).volume = 1.0;
    inst().pump(2).volume = 1.0;
    inst().column().temperatureOverride = 40.5;  // more than 0.4 above 40
    idle(1);
    const int64_t start = link().ticks();
    call();  // 36
    EXPECT_EQ(m().RunState, 2);
    const int64_t t2 = link().ticks();  // state 2 starts the equilibration
    call();
    EXPECT_TRUE(m().NeedCooling);
    EXPECT_EQ(m().RunCounter, 2);
    ASSERT_TRUE(runTo(13, 100));
    inst().column().temperatureOverride = 34.0;  // below 40 - 5
    ASSERT_TRUE(runTo(17, 400));
    const double filled1 = inst().pump(1).volume;
    const double filled2 = inst().pump(2).volume;
    ASSERT_TRUE(runTo(18, 400));
    const int64_t pumpsOn = link().ticks();
    ASSERT_TRUE(runTo(34, 400));
    const int64_t runStart = link().ticks();
    EXPECT_EQ(m().PumpStarts, 2);

    // Cooling first, in this order, then the refill of both pumps with the run's volume.
    const auto texts = textsBetween(start, pumpsOn);
    auto pos = [&](const std::string& t, size_t after = 0) {
        const auto it = std::find(texts.begin() + static_cast<std::ptrdiff_t>(after), texts.end(), t);
        return static_cast<size_t>(it - texts.begin());
    };
    ASSERT_GE(texts.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 6),
              (std::vector<std::string>{"CSETPOINT 40.0", "RSETPOINT 50.0", "CHEAT OFF", "CFAN ON",
                                        "DOOR OPEN", "RFAN OFF"}));
    EXPECT_LT(pos("VALVE 1 4"), pos("RVS 0"));
    EXPECT_LT(pos("RVS 0"), pos("VALVE 1 2"));
    EXPECT_LT(pos("RVS 2"), pos("VALVE 2 2"));
    EXPECT_LT(pos("VALVE 2 2"), pos("CFAN OFF"));
    EXPECT_EQ(
        std::vector<std::string>(texts.begin() + static_cast<std::ptrdiff_t>(pos("CFAN OFF")), texts.end()),
        (std::vector<std::string>{"CFAN OFF", "RFAN ON", "DOOR CLOSE", "CSETPOINT 40.0", "CHEAT ON", "MS 0 1",
                                  "ML 0 0.25", "FWD 0", "MS 2 1", "ML 2 0.25", "FWD 2"}));
    EXPECT_NEAR(filled1, 4.5, 0.5);  // 15 min at 0.25, 1 min at 0.25, 1 min at 0.5
    EXPECT_GE(filled1, 4.5);
    EXPECT_NEAR(filled2, 4.3, 0.5);
    EXPECT_GE(filled2, 4.3);
    // The refill waited 5 s after the fill before the valves went to 2.
    EXPECT_GE(firstTickOf("VALVE 1 2", start) - firstTickOf("OFF 0", firstTickOf("RVS 0", start)), 5);

    // The cooling ends when less than 420 s of the equilibration remain.
    EXPECT_EQ(firstTickOf("CFAN OFF", start) - t2, 183);
    // Pumps on when less than 300 s of the 600-s equilibration remain; the run when it is over.
    // States 16 and 17 each see less than 300 s left from 301 s on; 31 and 32 follow.
    const int64_t fwd = firstTickOf("FWD 0", start);
    EXPECT_EQ(fwd - t2, 304);
    EXPECT_EQ(pumpsOn - t2, 306);
    // The signal is taken once the 600 s are over (at 601 s); 33 starts the run a second later.
    EXPECT_EQ(runStart - t2, 603);
}

// The cooling's limits, each at the value and just past it: the threshold above the set point
// that calls for cooling, the temperature that ends it, and the five-minute cooling timer.
TEST_F(SequenceRunTest, CoolingLimitsAtTheValueAndJustPast) {
    TMethodINIParams cool = plainMethod("Cool");  // 20 minutes of equilibration
    cool.ColumnT = "39.6";
    cool.EquilTime = "20";
    storeMethod(cool);
    storeSequence("C", {{"Cool", "2"}});
    m().Sequence.Name = "C";
    // Second run of "Cool" with the column at the given temperature: does it cool?
    int64_t t2 = 0;  // the tick in which the equilibration starts
    auto secondRun = [&](double temperature) {
        inst().column().temperatureOverride = 30.0;
        m().InitSequenceRun();
        m().RunSignal = true;
        EXPECT_TRUE(runTo(36, 2000));
        inst().column().temperatureOverride = temperature;
        idle(1);
        link().clearSent();
        EXPECT_TRUE(runTo(2, 1));
        t2 = link().ticks();
        EXPECT_TRUE(runTo(3, 4));
        const auto sent = link().sentTexts();
        return std::find(sent.begin(), sent.end(), "CHEAT OFF") != sent.end();
    };
    EXPECT_FALSE(secondRun(40.0)) << "0.4 above the set point is not too warm";
    // Without cooling the pumps start once less than 300 s of the 1200 s remain.
    ASSERT_TRUE(runTo(18, 1000));
    EXPECT_EQ(firstTickOf("FWD 0", t2) - t2, 903);
    EXPECT_TRUE(secondRun(40.1));

    // Cooling with 20 minutes to go: the five-minute timer runs out first, then the column must
    // fall below the set point less the delta (39.6 - 5): at 34.6 it waits, at 34.5 it ends.
    const int64_t fanOn = firstTickOf("CFAN ON", link().ticks() - 3);
    inst().column().temperatureOverride = 34.6;
    ASSERT_TRUE(runTo(14, 400));
    const int64_t timerEnd = link().ticks();
    for (int i = 0; i < 30; ++i) ASSERT_EQ(call().after, 14);
    inst().column().temperatureOverride = 34.5;
    idle(1);
    ASSERT_TRUE(runTo(16, 3));
    EXPECT_EQ(timerEnd - fanOn, 302) << "the cooling timer's 300 s";
    EXPECT_NE(firstTickOf("CFAN OFF", timerEnd + 30), -1);
}

TEST_F(SequenceRunTest, AWholeSequenceLogsItsStepsAndEnds) {
    m().InitSequenceRun();
    m().RunSignal = true;  // the HPLC gives the signal at once
    ASSERT_TRUE(runToEnd(5000));
    EXPECT_EQ(m().RunState, 47);
    EXPECT_EQ(m().PumpStarts, 3);  // M1 twice, M2 once ("0" counts as one run)
    EXPECT_EQ(m().RunCounter, 3);
    EXPECT_EQ(m().LineIndex, 0);
    EXPECT_EQ(m().SequenceEndReason, 1);
    // The end repeats while the main window keeps calling.
    EXPECT_TRUE(call().result);

    std::vector<std::string> got;
    for (const auto& l : logLines()) {
        for (const char* p : {"#GetSequenceParams(): ", "#bRun(): Sequence started, erunGetSequenceParams, ",
                              "#GetMethodParams(): ", "#bRun(): HPLC Run signal received, starting Run ",
                              "#bRun(): Run finished, ", "#bRun(): Sequence finished, "}) {
            const auto at = l.find(p);
            if (at != std::string::npos) got.push_back(l.substr(at));
        }
    }
    EXPECT_EQ(got, (std::vector<std::string>{
                       "#GetSequenceParams(): S",
                       "#bRun(): Sequence started, erunGetSequenceParams, S",
                       "#GetMethodParams(): M1",
                       "#bRun(): HPLC Run signal received, starting Run M1",
                       "#bRun(): Run finished, M1",
                       "#bRun(): HPLC Run signal received, starting Run M1",
                       "#bRun(): Run finished, M1",
                       "#GetMethodParams(): M2",
                       "#bRun(): HPLC Run signal received, starting Run M2",
                       "#bRun(): Run finished, M2",
                       "#bRun(): Sequence finished, S",
                       "#bRun(): Sequence finished, S",
                   }));
}

TEST_F(SequenceRunTest, RunCountsThatAreNotNumbersGiveOneRun) {
    for (const char* runs : {"0", "", "x"}) {
        storeSequence("One", {{"M2", runs}});
        m().Sequence.Name = "One";
        m().InitSequenceRun();
        m().RunSignal = true;
        ASSERT_TRUE(runToEnd(2000)) << runs;
        EXPECT_EQ(m().PumpStarts, 1) << "runs \"" << runs << "\"";
    }
}

TEST_F(SequenceRunTest, SuspendHoldsBeforeTheNextRunAndResumeContinues) {
    m().InitSequenceRun();
    ASSERT_TRUE(runTo(18, 30));
    m().RunSignal = true;
    ASSERT_TRUE(runTo(34, 5));
    // Suspend during the run: the run finishes, the next one is prepared and held.
    ASSERT_TRUE(runTo(17, 400, 1));
    EXPECT_EQ(m().RunIndex, 1);
    const int64_t held = link().ticks();
    for (int i = 0; i < 900; ++i) ASSERT_EQ(call(1).after, 17);
    EXPECT_TRUE(m().EquilTimer.IsExpired());
    EXPECT_EQ(firstTickOf("FWD 0", held), -1);
    EXPECT_EQ(m().PumpStarts, 1);
    // Resume.
    EXPECT_EQ(call(0).after, 31);
    ASSERT_TRUE(runTo(34, 10));
    EXPECT_EQ(m().PumpStarts, 2);
}

TEST_F(SequenceRunTest, StopLetsTheRunningRunFinish) {
    m().InitSequenceRun();
    ASSERT_TRUE(runTo(18, 30));
    m().RunSignal = true;
    ASSERT_TRUE(runTo(34, 5));
    for (int i = 0; i < 50; ++i) ASSERT_FALSE(call(2).result);
    ASSERT_TRUE(runTo(35, 200, 2));
    EXPECT_EQ(call(2).after, 47);  // 35: pumps off, no next run
    EXPECT_TRUE(call(2).result);
    EXPECT_EQ(m().PumpStarts, 1);
    EXPECT_EQ(logLinesStarting("#bRun(): Run finished, ").size(), 1u);
    EXPECT_EQ(logLinesStarting("#bRun(): Sequence finished, S").size(), 1u);
}

TEST_F(SequenceRunTest, StopWhileWaitingForTheSignalEndsAtOnce) {
    m().InitSequenceRun();
    ASSERT_TRUE(runTo(18, 30));
    link().clearSent();
    const Call c = call(2);
    EXPECT_TRUE(c.result);
    EXPECT_EQ(c.after, 47);
    // The pumps were running: both off.
    EXPECT_EQ(link().sentTexts(), (std::vector<std::string>{"OFF 0", "OFF 2"}));
}

TEST_F(SequenceRunTest, StopDuringTheCoolingTurnsTheColumnHeaterBackOn) {
    m().InitSequenceRun();
    finishFirstRun();
    inst().column().temperatureOverride = 45.0;
    idle(1);
    ASSERT_TRUE(runTo(13, 100));
    EXPECT_TRUE(ZentrovaAPI.Column.ColumnFanOn);
    link().clearSent();
    const Call c = call(2);
    EXPECT_TRUE(c.result);
    EXPECT_EQ(link().sentTexts(),
              (std::vector<std::string>{"CFAN OFF", "RFAN ON", "DOOR CLOSE", "CSETPOINT 40.0", "CHEAT ON"}));
    EXPECT_FALSE(inst().columnFan());
    EXPECT_FALSE(inst().doorOpen());
    EXPECT_TRUE(inst().recircFan());
    EXPECT_TRUE(inst().column().heat);
    EXPECT_DOUBLE_EQ(inst().column().setPoint, 40.0);
}

TEST_F(SequenceRunTest, StopDuringTheRefillOfACoolingRunRestoresTheColumnToo) {
    m().RecFanAlwaysOn->setChecked(true);
    m().InitSequenceRun();
    finishFirstRun();
    inst().column().temperatureOverride = 45.0;
    idle(1);
    ASSERT_TRUE(runTo(4, 20));
    link().clearSent();
    EXPECT_TRUE(call(2).result);
    // The recirculation fan was never switched off; it is switched on with the heater.
    EXPECT_EQ(link().sentTexts(),
              (std::vector<std::string>{"CFAN OFF", "DOOR CLOSE", "CSETPOINT 40.0", "CHEAT ON", "RFAN ON"}));
}

TEST_F(SequenceRunTest, WithoutARunSignalTheWaitTimesOutAfter900Seconds) {
    m().EnableInstrument();
    ASSERT_TRUE(m().Enabled);
    m().InitSequenceRun();
    ASSERT_TRUE(runTo(18, 30));
    for (int i = 0; i < 900; ++i) ASSERT_EQ(call().after, 18) << i;
    link().clearSent();
    EXPECT_EQ(call().after, 47);
    EXPECT_FALSE(m().Enabled);
    EXPECT_EQ(m().SequenceEndReason, 2);
    const auto sent = link().sentTexts();
    EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 4),
              (std::vector<std::string>{"CHEAT OFF", "RHEAT OFF", "OFF 0", "OFF 2"}));
    EXPECT_TRUE(call().result);
    const auto timeout = logLinesStarting("#bRun(): HPLC timeout, stopping Sequence, current Method ");
    ASSERT_EQ(timeout.size(), 1u);
    EXPECT_EQ(timeout[0], "#bRun(): HPLC timeout, stopping Sequence, current Method M1");
    EXPECT_EQ(logLinesStarting("#bRun(): Sequence finished, S").size(), 1u);
}

TEST_F(SequenceRunTest, AFlushMethodRunsUntilThePumpsAreEmpty) {
    TMethodINIParams f;
    f.Name = "F";
    f.ColumnT = "40";
    f.ReactorT = "50";
    f.Runtime = "1";
    f.EquilTime = "0";
    f.Pump1Flow = "30";
    f.Pump2Flow = "30";
    f.flushMethod = true;
    storeMethod(f);
    storeSequence("FS", {{"F", "1"}});
    m().Sequence.Name = "FS";
    m().InitSequenceRun();
    m().RunSignal = true;
    ASSERT_TRUE(runTo(21, 30));
    ASSERT_TRUE(runTo(34, 2000));
    const int64_t runStart = link().ticks();
    EXPECT_TRUE(logLinesStarting("#bRun(): Flush Pumping for Run started, F").size() == 1);
    // Fill: exactly the run's volume, 1 min at 30 ml/min.
    EXPECT_NEAR(inst().pump(1).volume, 30.0, 1.0);
    ASSERT_TRUE(runTo(35, 200));
    // The run time is 60 s; the pumps dispense 30 ml at 30 ml/min, so the run goes on until the
    // syringes are empty.
    EXPECT_GE(link().ticks() - runStart, 60);
    EXPECT_NEAR(inst().pump(1).volume, 0.0, 1e-6);
    EXPECT_TRUE(runToEnd(10));
}

// ---------------------------------------------------------------- timetable functions

TEST(TimetableRows, LatestRowAtOrBeforeAndEarliestRowAfter) {
    const std::vector<std::string> t = {"2", "1", "2", "-1", "abc", "", "0.5", "3"};
    EXPECT_EQ(TInstrumentMachines::FindLastRowAtOrBefore(0, t), -1);
    EXPECT_EQ(TInstrumentMachines::FindLastRowAtOrBefore(30, t), 6);
    EXPECT_EQ(TInstrumentMachines::FindLastRowAtOrBefore(119, t), 1);
    EXPECT_EQ(TInstrumentMachines::FindLastRowAtOrBefore(120, t), 2);  // equal times: the later row
    EXPECT_EQ(TInstrumentMachines::FindLastRowAtOrBefore(1000, t), 7);
    EXPECT_EQ(TInstrumentMachines::FindFirstRowAfter(0, t), 6);
    EXPECT_EQ(TInstrumentMachines::FindFirstRowAfter(60, t), 0);  // equal times: the earlier row
    EXPECT_EQ(TInstrumentMachines::FindFirstRowAfter(180, t), -1);
    EXPECT_EQ(TInstrumentMachines::FindLastRowAtOrBefore(100, {}), -1);
    // Times in minutes, truncated to whole seconds: 0.0166 min is 0 s.
    EXPECT_EQ(TInstrumentMachines::FindLastRowAtOrBefore(0, {"0.0166"}), 0);
    EXPECT_EQ(TInstrumentMachines::FindFirstRowAfter(0, {"1e300", "nan", "inf"}), 0);
}

class ColumnRampTest : public MachineTest {};

TEST_F(ColumnRampTest, InterpolatesBetweenRowsFromTheMethodTemperature) {
    TMethodINIParams& meth = m().Method;
    meth.ColumnT = "40";
    meth.ColumnTimeList = {"10"};
    meth.ColumnTempList = {"50"};
    EXPECT_DOUBLE_EQ(m().ColumnTemperatureAt(0), 40.0);
    EXPECT_TRUE(m().TempRamping);
    EXPECT_DOUBLE_EQ(m().ColumnTemperatureAt(300), 45.0);
    EXPECT_DOUBLE_EQ(m().ColumnTemperatureAt(600), 50.0);
    EXPECT_FALSE(m().TempRamping);
    EXPECT_DOUBLE_EQ(m().ColumnTemperatureAt(5000), 50.0);

    meth.ColumnTimeList.clear();
    meth.ColumnTempList.clear();
    EXPECT_DOUBLE_EQ(m().ColumnTemperatureAt(100), 40.0);
    EXPECT_FALSE(m().TempRamping);
}

TEST_F(ColumnRampTest, RowsThatDoNotReadAreLeftOut) {
    TMethodINIParams& meth = m().Method;
    meth.ColumnT = "40";
    meth.ColumnTimeList = {"x", "10", "5", "20"};
    meth.ColumnTempList = {"90", "50", "hot"};  // row 3 has no temperature at all
    EXPECT_DOUBLE_EQ(m().ColumnTemperatureAt(300), 45.0);
    EXPECT_DOUBLE_EQ(m().ColumnTemperatureAt(1500), 50.0);

    // Without a readable method temperature nothing is invented: the set point stays.
    ZentrovaAPI.Column.SetPoint = 37.0;
    meth.ColumnT = "";
    EXPECT_DOUBLE_EQ(m().ColumnTemperatureAt(300), 37.0);
    EXPECT_DOUBLE_EQ(m().ColumnTemperatureAt(600), 50.0);
}

TEST_F(SequenceRunTest, APumpRowWithoutAReadableFlowIsNoRow) {
    TMethodINIParams meth;
    meth.Name = "Bad";
    meth.ColumnT = "40";
    meth.ReactorT = "50";
    meth.Runtime = "2";
    meth.EquilTime = "0";
    meth.Pump1Flow = "0.25";
    meth.Pump2Flow = "0.25";
    meth.PumpTimeList = {"0.5", "1", "bad"};
    meth.Pump1FlowList = {"0.5", "?"};
    meth.Pump2FlowList = {"x", "0.4", "0.9"};
    storeMethod(meth);
    storeSequence("B", {{"Bad", "1"}});
    m().Sequence.Name = "B";
    m().InitSequenceRun();
    m().RunSignal = true;
    ASSERT_TRUE(runTo(34, 30));
    const int64_t t0 = link().ticks() - 1;
    ASSERT_TRUE(runTo(35, 200));
    std::vector<std::string> flows;
    for (const auto& s : sentBetween(t0, link().ticks()))
        if (s.text.rfind("ML", 0) == 0) flows.push_back(std::to_string(s.tick - t0) + " " + s.text);
    EXPECT_EQ(flows, (std::vector<std::string>{"30 ML 0 0.50", "60 ML 2 0.40"}));
}

}  // namespace
