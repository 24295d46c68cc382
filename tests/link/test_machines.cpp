// The instrument state and its step machines against the simulated instrument in-process, one
// step per simulated second: stored settings, connection steps, the current method and refill
// volumes, enable and disable, the maintenance procedures and the sequence run machine, each
// with what the instrument receives and when, the volumes reached, the boxes and the log.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "link/FTDI.h"
#include "link/FZentrova.h"
#include "link/Instrument.h"
#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "link/Timers.h"
#include "link/pty_pair.h"
#include "platform/Clock.h"
#include "platform/D2xx.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "platform/i18n.h"
#include "support/SimLink.h"
#include "support/StoredMethods.h"
#include "support/TempEnv.h"
#include "tools/instrument-sim/Simulator.h"

namespace {

// Commands of one channel (pump motor 0 or 2, valve 1 or 2) out of a list of sent commands.
bool isChannelCommand(const std::string& c, int channel) {
    const char motor = channel == 1 ? '0' : '2';
    if (c.rfind("VALVE ", 0) == 0) return c.size() > 6 && c[6] == char('0' + channel);
    if (c.rfind("MS ", 0) == 0 || c.rfind("ML ", 0) == 0) return c.size() > 3 && c[3] == motor;
    return (c.rfind("FWD ", 0) == 0 || c.rfind("RVS ", 0) == 0 || c.rfind("OFF ", 0) == 0) &&
           c.back() == motor;
}

std::string times(int n, const std::string& s) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
}

// A fresh settings store and log folder, the fake clock, the simulated instrument behind SimLink,
// a daily log, scripted dialogs and the instrument state. One machine call per simulated second:
// call the step, then tick the link (which sends what the step queued and moves clock and
// simulator by 1 s).
class MachineTest : public ::testing::Test {
  protected:
    // Override to change the simulated instrument before it starts.
    virtual zsim::InstrumentConfig simConfig() { return {}; }

    void SetUp() override {
        setInstance("");
        setting("ConnectMethod", 3);
        setting("RefillSpeed", 55);
        ZentrovaAPI = TZentrovaAPI();
        sim_ = std::make_unique<zsim::Simulator>(simConfig());
        link_ = std::make_unique<SimLink>(*sim_, &clock_.fake);
        log_ = std::make_unique<TLogFile>();
        LogFile = log_.get();
        module_ = std::make_unique<TInstrumentModule>();
        // Identity, pump and heater readings before the first step.
        link_->tick();
        link_->tick();
        module_->SyncPumpCount();
        link_->clearSent();
    }
    void TearDown() override {
        module_.reset();
        LogFile = nullptr;
    }

    TInstrumentModule& m() { return *module_; }
    zsim::Instrument& inst() { return sim_->instrument(); }
    SimLink& link() { return *link_; }

    // One simulated second: the step, then the link.
    bool tick(const std::function<bool()>& step) {
        const bool r = step();
        link_->tick();
        return r;
    }
    // Calls the step once a second until it answers `until`; the number of calls, or -1 when
    // it did not within max calls.
    int runWhile(const std::function<bool()>& step, int max, bool until = false) {
        for (int i = 1; i <= max; ++i)
            if (tick(step) == until) return i;
        return -1;
    }
    // Ticks the link alone (the instrument works on by itself).
    void idle(int seconds) {
        for (int i = 0; i < seconds; ++i) link_->tick();
    }
    // Today's log lines that hold one of the texts, from that text on.
    std::vector<std::string> logLines(const std::vector<std::string>& texts) {
        std::vector<std::string> out;
        std::ifstream in(log_->LogPath);
        for (std::string l; std::getline(in, l);)
            for (const auto& t : texts)
                if (l.find(t) != std::string::npos) out.push_back(l.substr(l.find(t)));
        return out;
    }

    template <class V>
    static void setting(const std::string& name, const V& value) {
        Registry reg;
        ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
        if constexpr (std::is_integral_v<V>)
            reg.writeInteger(name, value);
        else
            reg.writeString(name, value);
    }
    static void method(const std::string& name, const char* columnT, const char* reactorT,
                       const char* runtime, const char* flow1, const char* flow2, bool flush = false) {
        TMethodINIParams m = plainMethod(name);
        m.ColumnT = columnT;
        m.ReactorT = reactorT;
        m.Runtime = runtime;
        m.Pump1Flow = flow1;
        m.Pump2Flow = flow2;
        m.flushMethod = flush;
        storeMethod(m);
    }
    static void sequence(const std::string& name, const std::vector<std::string>& methods) {
        std::vector<std::pair<std::string, std::string>> lines;
        for (const auto& m : methods) lines.push_back({m, "1"});
        storeSequence(name, lines);
    }
    // What the instrument received since the last call, commands ended by ';'.
    std::string sent() {
        link().flush();
        std::string out;
        for (const auto& c : link().takeSent()) out += c + ";";
        return out;
    }
    // A channel's moves in order: the valve position it was sent to, F(orward), R(everse) and "."
    // for a stop; rates and step modes apart.
    std::string moves(int ch) {
        std::string out;
        for (const auto& s : link().sent())
            if (isChannelCommand(s.text, ch) && s.text[0] != 'M')
                out += s.text[0] == 'V' ? s.text.back() : s.text[0] == 'O' ? '.' : s.text[0];
        return out;
    }
    // No tick in which both channels start a move.
    void expectAlternation() {
        std::map<int64_t, int> starts;
        for (const auto& s : link().sent())
            if (s.text.rfind("FWD", 0) == 0 || s.text.rfind("RVS", 0) == 0) ++starts[s.tick];
        for (auto [tick, n] : starts) EXPECT_EQ(n, 1) << "both channels start a move in tick " << tick;
    }
    // A step that also notes every tick in which a pump dispenses slowly
    // while its valve is not at the column (2), every tick in which a pump moves while a valve
    // is still turning, and the whole millilitres each fill of syringe 1 reached (fills of 5 ml
    // or more that stop short of a full syringe: a flush's passes are not counted).
    std::function<bool()> watched(std::function<bool()> step) {
        return [this, step] {
            for (int n : {1, 2}) {
                if (inst().pump(n).state == 1 && inst().pump(n).rate < 1.0 && inst().valve(n).position != 2)
                    ++slowAwayFromColumn;
                const bool turning = inst().valve(1).settleLeftMs > 0 || inst().valve(2).settleLeftMs > 0;
                if (inst().pump(n).state != 0 && turning) ++movedWhileTurning;
            }
            const zsim::SimPump& p1 = inst().pump(1);
            if (filling1 && p1.state != 2 && p1.volume >= 5.0 && !p1.limitA())
                fills1.push_back(int(p1.volume));
            filling1 = p1.state == 2;
            return step();
        };
    }
    int slowAwayFromColumn = 0;
    int movedWhileTurning = 0;
    bool filling1 = false;
    std::vector<int> fills1;
    // Stores a method and a one-line sequence naming it, and makes it the current sequence.
    void useMethod(const char* flow1, const char* flow2) {
        method("M", "40", "50", "10", flow1, flow2);
        sequence("Seq", {"M"});
        m().Sequence.Name = "Seq";
        m().GetSequenceParams();
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
        for (int i = 0; i < max; ++i) {
            call(action);
            if (m().RunState == s) return true;
        }
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

    TempEnv env_;
    FakeClockGuard clock_;
    DialogScript dialogs_;
    std::unique_ptr<zsim::Simulator> sim_;
    std::unique_ptr<SimLink> link_;
    std::unique_ptr<TLogFile> log_;
    std::unique_ptr<TInstrumentModule> module_;
};
using InstrumentTest = MachineTest;
using ProceduresTest = MachineTest;

class SinglePumpTest : public MachineTest {
  protected:
    zsim::InstrumentConfig simConfig() override {
        zsim::InstrumentConfig c;
        c.singlePump = true;
        return c;
    }
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
        storeMethod(plainMethod("M2"));
        storeSequence("S", {{"M1", "2"}, {"M2", "0"}});
        use("S");
    }
};

// ---------------------------------------------------------------- settings and connection

TEST_F(InstrumentTest, SettingsComeFromTheInstancesKey) {
    // Another instance has its own key, here without a readable connect method: TCP with a box;
    // without a refill speed: 55, silently.
    setInstance("2");
    EXPECT_EQ(TStoredParams::InstrumentRegistryKey(), "\\Software\\TressivanLabs\\Zentrova\\Instrument2");
    for (auto [connect, speed] :
         {std::pair{std::string(), std::string()}, {std::string("3"), std::string("30")}}) {
        if (!connect.empty()) {
            setting("ConnectMethod", connect);
            setting("RefillSpeed", speed);
        }
        module_ = std::make_unique<TInstrumentModule>();
        EXPECT_EQ(m().ConnectMethod, 1) << "stored as text: '" << connect << "'";
        EXPECT_EQ(m().RefillSpeed, 55);
    }
    ASSERT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(dialogs_.shown[0].text, "Connection Method not defined. Please, reinstall the software.");
    setInstance("");
    setting("IP", std::string("10.1.2.3"));
    setting("RefillSpeed", 40);
    module_ = std::make_unique<TInstrumentModule>();
    EXPECT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(m().IP, "10.1.2.3");
    EXPECT_EQ(m().Channel2->Speed, 40);
    // The cooling delta reads a whole number, in the base its prefix gives.
    for (auto [text, delta] : {std::pair{"7", 7.0}, {"2.5", 0.0}, {"$10", 16.0}}) {
        m().DeltaValue->setText(text);
        EXPECT_DOUBLE_EQ(m().CoolingDelta, delta) << text;
    }
}

// Only the exact texts set the pressure unit; any other text leaves it as it was.
TEST_F(InstrumentTest, PressureUnitTakesOnlyBarOrPsiAsStored) {
    const struct {
        const char* stored;
        int32_t unit;
    } rows[] = {{"bar", 1}, {"psi", 2}, {"BAR", 2},  {"Bar", 2}, {" bar", 2}, {"", 2},
                {"bar", 1}, {"PSI", 1}, {"psi ", 1}, {"kPa", 1}, {"psi", 2}};
    for (const auto& r : rows) {
        setting("PressureMeasure", std::string(r.stored));
        m().LoadSettings(true);
        EXPECT_EQ(m().PressureUnit, r.unit) << "'" << r.stored << "'";
    }
    setting("PressureMeasure", std::string("BAR"));
    module_ = std::make_unique<TInstrumentModule>();
    EXPECT_EQ(m().PressureUnit, 0) << "not set at all";
}

TEST_F(InstrumentTest, ReconnectAlternatesCloseAndOpen) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    D2xx::setDeviceMap({{"KVZ Test", pty.slavePath()}});
    TFZentrova::LastDataTime = 0;
    auto link = std::make_unique<TFZentrova>();
    link->Timer1->stop();
    FZentrova = link.get();
    for (auto [connect, usb] : {std::pair{7, "KVZ Test"}, {3, ""}}) {  // unknown method, USB without a name
        setting("ConnectMethod", connect);
        setting("USB", std::string(usb));
        module_ = std::make_unique<TInstrumentModule>();
        m().Reconnect();
        m().Reconnect();
        EXPECT_FALSE(link->IsConnected()) << connect;
        EXPECT_FALSE(m().IsConnectionAlive());
    }
    setting("USB", std::string("KVZ Test"));
    module_ = std::make_unique<TInstrumentModule>();
    m().Reconnect();
    EXPECT_TRUE(link->IsConnected());
    EXPECT_EQ(link->StatusQuery, "? 0123") << "the connect hook asks for the identity";
    m().Reconnect();
    EXPECT_FALSE(link->IsConnected());
    m().Reconnect();
    EXPECT_TRUE(m().IsConnectionAlive()) << "a USB connect counts as data";
    m().ReloadSettings();
    EXPECT_FALSE(link->IsConnected()) << "reloading the settings closes the link even when nothing changed";
    module_.reset();
    link.reset();
    FTDI.Close();
    D2xx::resetDeviceMap();
}

// ---------------------------------------------------------------- current method, refill volumes

TEST_F(InstrumentTest, GetMethodParamsLoadsTheMethodOfTheCurrentLine) {
    method("Hydrolysis", "60", "130", "30", "0.4", "0.3");
    method("Wash", "40", "100", "10", "1.0", "1.0");
    sequence("Amino", {"Hydrolysis", "Wash"});
    sequence("Empty", {});
    m().Method.Name = "Current";
    EXPECT_FALSE(m().GetMethodParams());
    m().Sequence.Name = "Amino";
    ASSERT_TRUE(m().GetSequenceParams());
    // A line index out of range is clamped to the first or last line and logged.
    for (auto [index, name, clamped] : {std::tuple{1, "Wash", 1}, {5, "Wash", 1}, {-3, "Hydrolysis", 0}}) {
        m().LineIndex = index;
        ASSERT_TRUE(m().GetMethodParams());
        EXPECT_EQ(m().LineIndex, clamped);
        EXPECT_EQ(m().Method.Name, name);
    }
    EXPECT_DOUBLE_EQ(m().Method.RuntimeValue, 30.0);
    // Without lines the method stays as it is.
    m().Sequence.Name = "Empty";
    EXPECT_TRUE(m().GetSequenceParams());
    m().LineIndex = 0;
    EXPECT_FALSE(m().GetMethodParams());
    EXPECT_EQ(m().Method.Name, "Hydrolysis");
    EXPECT_EQ(logLines({"#GetMethodParams(): no", "#GetMethodParams(): error"}),
              (std::vector<std::string>{
                  "#GetMethodParams(): no default sequence",
                  "#GetMethodParams(): error: iSequenceItem out of bound: 5; Sequence: Amino; Methods: 2",
                  "#GetMethodParams(): error: iSequenceItem out of bound: -3; Sequence: Amino; Methods: 2",
                  "#GetMethodParams(): error: iSequenceItem out of bound: 0; Sequence: Empty; Methods: 0"}));
}

TEST(RefillVolume, FollowsThePumpTimetable) {
    const struct {
        const char *runtime, *flow;
        std::vector<std::string> times, flows;
        int pump, extraMinutes;
        double ml;
    } cases[] = {
        {"10", "1.0", {}, {}, 1, 15, 25.0},
        {"10", "1.0", {"5"}, {"2.0"}, 1, 15, 30.0},
        {"10", "0", {"5"}, {"2.0"}, 2, 15, 13.0},  // start flow 0: the row's flow from minute 5, plus 3 ml
        // rows in list order; an earlier time after a later one subtracts: 15 + 8 + (4-8) x 2 + 6 x 0.5
        {"10", "1.0", {"8", "4"}, {"2.0", "0.5"}, 1, 15, 18.0},
        {"10", "1.0", {"12"}, {"5"}, 1, 0, 12.0},  // a row past the run time adds its part
        {"10", "0", {}, {}, 2, 15, 0.0},           // nothing needed, no 3 ml either
        {"", "1.0", {}, {}, 1, 15, 70.0},          // unreadable: a full syringe
        {"10", "fast", {}, {}, 1, 15, 70.0},
        {"10", "1.0", {}, {}, 3, 15, 70.0},
        {"10", "1.0", {"abc", "5"}, {"9", "2.0"}, 1, 15, 30.0},  // a row whose time does not read
        // A row whose flow does not read is skipped, as the run skips it: the flow before holds.
        {"10", "1.0", {"5"}, {"x"}, 1, 15, 25.0},
        {"10", "0.5", {"1", "2"}, {"3.0", "x"}, 1, 15, 35.0},  // the run pumps 0.5 + 9 x 3.0 = 27.5
        {"10", "0.5", {"1", "2"}, {"3.0", "x"}, 1, 0, 27.5},
        {"10", "1.0", {"2", "5", ""}, {"3"}, 1, 0, 26.0},  // lists of unequal length
    };
    for (const auto& c : cases) {
        TMethodINIParams m;
        m.Runtime = c.runtime;
        m.Pump1Flow = m.Pump2Flow = c.flow;
        m.PumpTimeList = c.times;
        m.Pump1FlowList = m.Pump2FlowList = c.flows;
        EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, c.pump, c.extraMinutes), c.ml)
            << c.runtime << " " << c.flow << " rows " << c.times.size() << " pump " << c.pump;
    }
}

TEST_F(InstrumentTest, PumpsHoldEnoughJudgesTheFirstLinesMethod) {
    method("Long", "60", "130", "60", "1.0", "1.0");   // 75 ml each
    method("Short", "60", "130", "10", "0.5", "0.5");  // 12.5 ml each
    method("Flush", "60", "130", "60", "5", "5", true);
    sequence("S", {"Short", "Long"});
    sequence("F", {"Flush", "Long"});
    m().Method.Runtime = "20";
    m().Method.Pump1Flow = "0.5";
    m().Method.Pump2Flow = "0.25";
    // Without lines the current method's refill volumes count: 17.5 and 8.75 ml.
    auto enough = [&](const char* sequence, int line, double v1, double v2, bool single = false) {
        m().Sequence.Name = sequence;
        m().GetSequenceParams();
        m().LineIndex = line;
        m().GetMethodParams();
        m().SinglePump = single;
        ZentrovaAPI.Pump1.Volume = v1;
        ZentrovaAPI.Pump2.Volume = v2;
        return m().PumpsHoldEnoughForRun();
    };
    EXPECT_FALSE(enough("", 0, 17.49, 8.75));
    EXPECT_TRUE(enough("", 0, 17.5, 8.75));
    EXPECT_TRUE(enough("S", 1, 20.0, 20.0)) << "the first run uses Short";
    EXPECT_EQ(m().Method.Name, "Long") << "the current method stays";
    EXPECT_FALSE(enough("S", 1, 20.0, 12.0));
    EXPECT_TRUE(enough("S", 1, 12.5, 12.0, true));
    EXPECT_FALSE(enough("S", 1, 12.49, 20.0, true));
    EXPECT_TRUE(enough("F", 1, 0.0, 0.0)) << "a flush method needs nothing in the syringes";
}

// The status bar's run time: up in a run, down below zero while the equilibration before the
// next run counts, 0 elsewhere and once the equilibration is over.
TEST_F(InstrumentTest, RunSecondsCountUpInARunAndBelowZeroWhileTheEquilibrationRuns) {
    const std::set<int> preparing{3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 31, 32, 37};
    m().RunClock.Start(0);
    m().EquilTimer.Start(600);
    const struct {
        int advance, inRun, preparing;
    } rows[] = {{0, 0, -600}, {90, 90, -510}, {509, 599, -1}, {1, 600, 0}, {1, 601, 0}, {100, 701, 0}};
    for (const auto& r : rows) {
        clock_.fake.advanceSeconds(r.advance);
        for (int state = 0; state <= 47; ++state) {
            m().RunState = static_cast<uint8_t>(state);
            const int want = state == 34 ? r.inRun : preparing.count(state) ? r.preparing : 0;
            EXPECT_EQ(m().GetRunSeconds(), want) << "state " << state << " after " << r.inRun << " s";
        }
    }
}

TEST_F(InstrumentTest, CalculateShowsBothRefillVolumesAndThePercentDone) {
    setDecimalSeparator('.');
    const struct {
        const char *runtime, *flow1, *flow2;
        int percent;
        QString vol1, vol2, done;
    } rows[] = {{"10", "1.0", "0.5", 42, "25", "12.5", "42"},
                {"", "1.0", "0.5", 150, "70", "70", "150"},  // no run time: a full syringe
                {"10", "0", "0.25", -3, "0", "6.25", "-3"}};
    for (const auto& r : rows) {
        m().Method.Runtime = r.runtime;
        m().Method.Pump1Flow = r.flow1;
        m().Method.Pump2Flow = r.flow2;
        m().PercentDone = r.percent;
        m().CalculateRefillVolBtn->click();
        EXPECT_EQ(m().RefillVol1->text() + " " + m().RefillVol2->text() + " " + m().PercentDoneVal->text(),
                  r.vol1 + " " + r.vol2 + " " + r.done);
    }
}

// ---------------------------------------------------------------- enable, disable, log header

TEST_F(InstrumentTest, EnableSendsTheHeaterCommandsOrNothing) {
    sequence("Empty", {});
    sequence("Gone", {"Missing"});
    const struct {
        const char *sequence, *columnT, *reactorT, *error, *cmds;
    } cases[] = {
        {"S", "60", "130.5", "", "CHMAX 125.0;CSETPOINT 60.0;CHEAT ON;RHMAX 135.0;RSETPOINT 130.5;RHEAT ON;"},
        {"S", "abc", "130", "Default Column Temperature not readable!", ""},
        {"S", "hot", "", "Default Reactor Temperature not readable!", ""},
        {"", "60", "130", "Default Method Not Specified or Incorrect!", ""},
        {"Empty", "60", "130", "Sequence \"Empty\" has no lines.", ""},
        // A line whose method is not stored: not an emptied method's temperatures.
        {"Gone", "60", "130", "Default Method Not Specified or Incorrect!", ""},
    };
    for (const auto& c : cases) {
        method("M", c.columnT, c.reactorT, "30", "0.4", "0.3");
        sequence("S", {"M"});
        m().Sequence.Name = c.sequence;
        m().Enabled = false;
        EXPECT_EQ(m().EnableInstrument(), !*c.error) << c.columnT;
        EXPECT_EQ(m().Enabled, !*c.error);
        EXPECT_EQ(m().EnableErrorText, *c.error ? c.error : m().EnableErrorText);
        EXPECT_EQ(sent(), c.cmds) << c.sequence << " " << c.columnT << " " << c.reactorT;
    }
    // Temperatures read with the operator's decimal separator.
    setDecimalSeparator(',');
    method("M", "60,5", "130", "30", "0,4", "0,3");
    m().Sequence.Name = "S";
    EXPECT_TRUE(m().EnableInstrument());
    setDecimalSeparator('.');
    EXPECT_EQ(sent(), "CHMAX 125.0;CSETPOINT 60.5;CHEAT ON;RHMAX 135.0;RSETPOINT 130.0;RHEAT ON;");
    EXPECT_DOUBLE_EQ(inst().reactor().setPoint, 130.0);
}

TEST_F(InstrumentTest, DisableSwitchesHeatersPumpsAndFanOff) {
    m().Enabled = true;
    m().SetColumnSetPoint(60.0);
    EXPECT_TRUE(m().DisableInstrument());
    EXPECT_FALSE(m().Enabled);
    // Both pumps get OFF though neither reports a rate: a start not yet reported stops too.
    EXPECT_EQ(sent(), "CSETPOINT 60.0;CHEAT OFF;RHEAT OFF;OFF 0;OFF 2;") << "no fan";
    EXPECT_DOUBLE_EQ(m().GetColumnSetPoint(), -100.0);

    // Both pumps dispensing, a cooling phase under way (as the run machine starts one).
    m().Channel1->PumpForward(1.0);
    m().Channel2->PumpForward(0.5);
    ZentrovaAPI.Column.SetColumnFan(true);
    ZentrovaAPI.Column.SetDoor(true);
    ZentrovaAPI.Column.SetRecircFan(false);
    link().tick();
    link().takeSent();
    m().DisableInstrument();
    EXPECT_EQ(sent(), "CHEAT OFF;RHEAT OFF;OFF 0;OFF 2;CFAN OFF;DOOR CLOSE;RFAN ON;");

    // A single-pump instrument still stops a moving pump two; an aspirating pump is moving too.
    m().SinglePump = true;
    ZentrovaAPI.Pump2.State = 1;
    ZentrovaAPI.Pump2.ForwardRate = 0.3;
    ZentrovaAPI.Pump1.State = 2;
    ZentrovaAPI.Pump1.ReverseRate = 5;
    m().DisableInstrument();
    EXPECT_EQ(sent(), "CHEAT OFF;RHEAT OFF;OFF 0;OFF 2;");
}

TEST_F(InstrumentTest, LogHeaderNamesTheInstrumentAndTheCurrentRecords) {
    setting("ConnectMethod", 1);
    setting("IP", std::string("192.168.7.9"));
    m().LoadSettings(true);
    ZentrovaAPI.SerialNumber = 4711;
    std::strcpy(ZentrovaAPI.FirmwareVersion, "3.1");
    std::strcpy(ZentrovaAPI.CPLDVersion, "9");
    m().Sequence.Name = "Amino";
    m().Method.Name = "Hydrolysis";
    const std::string header = log_->WriteHeader();
    for (const char* line : {"\nInstrument S/N: 4711\n", "\nFW version 3.1; CPLD version 9\n",
                             "\nConnection type: 1; IP address: 192.168.7.9\n", "\nCurrent Sequence: Amino\n",
                             "\nCurrent Method:   Hydrolysis\n"})
        EXPECT_NE(header.find(line), std::string::npos) << line << header;
    module_.reset();
    EXPECT_EQ(log_->WriteHeader().find("Amino"), std::string::npos) << "no source after the state is gone";
}

// ---------------------------------------------------------------- procedures

// Flush, refill and empty of both pumps or one: each channel's moves, the channels never
// starting a move in the same tick, the volumes reached and the percent of the last call.
TEST_F(ProceduresTest, EachProcedureDrivesItsChannelsInTurn) {
    useMethod("1.0", "0.5");  // refills of 25 and 12.5 ml: 15 + 10 minutes of flow
    m().RefillSpeed = 40;     // each start hands the speed to the channels
    const std::string flush = times(5, "1F.5R.") + "1F.", refill1 = "1F." + times(4, "4R.1F.") + "4R..";
    const struct {
        const char* what;
        std::function<bool()> start, step;
        int fullTicks;
        std::string moves1, moves2;
        double volume1, volume2;  // at least, and less than one more ml
        int32_t runIndex;         // after the start, from 3
    } cases[] = {
        {"flush", [&] { return m().StartFlush(); }, [&] { return m().FlushStep(); }, 360, flush, flush, 0, 0,
         3},
        {"flush of pump 2", [&] { return m().StartFlushPump(2); }, [&] { return m().FlushStep(); }, 360, "",
         flush, 2, 0, 3},
        {"refill", [&] { return m().StartRefill(); }, [&] { return m().RefillStep(); }, 240, refill1, "4R..",
         25, 12.5, 0},  // the sequence's runs start again
        {"empty", [&] { return m().StartEmpty(); }, [&] { return m().EmptyStep(); }, 120, "1F.", "1F.", 0, 0,
         3},
        {"empty of pump 1", [&] { return m().StartEmptyPump(1); }, [&] { return m().EmptyStep(); }, 120,
         "1F.", "", 0, 8, 3},
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
        m().RunIndex = 3;
        ASSERT_TRUE(c.start());
        EXPECT_EQ(m().RunIndex, c.runIndex);
        const int calls = runWhile(c.step, 3000);
        ASSERT_GT(calls, 0);
        EXPECT_EQ(m().PercentDone, (calls - 1) * 100 / c.fullTicks);
        EXPECT_EQ(moves(1), c.moves1);
        EXPECT_EQ(moves(2), c.moves2);
        expectAlternation();
        EXPECT_GE(inst().pump(1).volume, c.volume1);
        EXPECT_LT(inst().pump(1).volume, c.volume1 + 1.0);
        EXPECT_GE(inst().pump(2).volume, c.volume2);
        EXPECT_LT(inst().pump(2).volume, c.volume2 + 1.0);
    }
    EXPECT_NE(sent().find("MS 0 32;ML 0 40.00;FWD 0;"), std::string::npos);
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
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(tick([&] { return m().PumpOnStep(); }));
    EXPECT_EQ(sent(), "VALVE 1 2;MS 0 1;ML 0 0.50;FWD 0;");
    // A channel armed by another machine is not the operator's choice: it is not stepped.
    m().Channel2->StartPumpOn();
    for (int i = 0; i < 6; ++i) tick([&] { return m().PumpOnStep(); });
    EXPECT_EQ(sent(), "");
    EXPECT_EQ(m().Channel2->State, 1);
    // Chosen, it is; rate 0 makes its forward command an "OFF".
    ASSERT_TRUE(m().StartPumpOn(2));
    for (int i = 0; i < 6; ++i) tick([&] { return m().PumpOnStep(); });
    EXPECT_EQ(sent(), "VALVE 2 2;OFF 2;");
}

// Every stop sends OFF to both pumps and leaves both channels idle: no later step resumes what a
// stopped machine left half done. One pump switched off by hand goes idle alone.
TEST_F(ProceduresTest, AStopSendsOffToBothPumpsAndIdlesBothChannels) {
    m().Method.Pump1Flow = m().Method.Pump2Flow = "0.5";
    ASSERT_TRUE(m().StartPumpOn(1));
    ASSERT_TRUE(m().StartPumpOn(2));
    tick([&] { return m().PumpOnStep(); });
    m().Channel1->StartFillTo(60.0);
    sent();
    m().StopPump(1);
    EXPECT_EQ(sent(), "OFF 0;");
    EXPECT_EQ(m().Channel1->State, 0);
    EXPECT_EQ(m().Channel2->State, 63);
    m().StopPumps();
    EXPECT_EQ(sent(), "OFF 0;OFF 2;");
    EXPECT_EQ(m().Channel2->State, 0);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(tick([&] { return m().PumpOnStep(); }));
    EXPECT_EQ(sent(), "");
}

TEST_F(ProceduresTest, StoragePreparationRunsItsCyclesAndAsksTwice) {
    ASSERT_EQ(sim_->control("valve-settle 5000"), "ok");  // a move takes several ticks
    inst().pump(1).volume = inst().pump(2).volume = 0.0;  // the first fill is not skipped
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
    EXPECT_EQ(movedWhileTurning, 0) << "every move waits for both valves";
    EXPECT_EQ(fills1, (std::vector<int>{20, 20, 70, 70}));
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
    for (int ch : {1, 2}) {
        std::string valves = moves(ch);
        std::erase_if(valves, [](char c) { return c < '0' || c > '9'; });
        EXPECT_EQ(valves, "4151515151515215151");
    }
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

// The last rinse cycle: a pump-out that ends before both syringes are below 40 ml goes round
// again (valves to the water, another fill to 70 ml); below 40 ml both pumps stop and it is over.
TEST_F(ProceduresTest, StoragePreparationsLastCycleRepeatsUntilBothSyringesAreBelow40) {
    const struct {
        bool pumpOutEnded, singlePump;
        double volume1, volume2;
        uint8_t next;
        const char* sent;
    } rows[] = {
        {false, false, 45.0, 45.0, 41, ""},
        {true, false, 45.0, 45.0, 34, ""},
        {true, false, 39.0, 40.0, 34, ""},
        {true, false, 40.0, 39.0, 34, ""},
        {false, false, 39.9, 40.0, 41, ""},
        {false, false, 39.9, 39.9, 68, "OFF 0;OFF 2;"},
        {true, false, 12.0, 0.0, 68, "OFF 0;OFF 2;"},
        {false, true, 39.9, 60.0, 68, "OFF 0;OFF 2;"},  // an absent pump's reading is not waited for
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.volume1) + " " + std::to_string(r.volume2));
        m().SinglePump = r.singlePump;
        m().StorageStep = 41;
        m().Channel1->State = m().Channel2->State = r.pumpOutEnded ? 0 : 54;  // idle, or dispensing
        ZentrovaAPI.Pump1.State = ZentrovaAPI.Pump2.State = 1;
        ZentrovaAPI.Pump1.Volume = r.volume1;
        ZentrovaAPI.Pump2.Volume = r.volume2;
        EXPECT_TRUE(m().StorageProcedureStep()) << "over only at the next call";
        EXPECT_EQ(m().StorageStep, r.next);
        EXPECT_EQ(sent(), r.sent);
    }
    // Round again: the valves go to the water and the syringes are filled to 70 ml.
    m().SinglePump = false;
    m().StorageStep = 34;
    EXPECT_GT(runWhile([&] { return m().StorageStep != 38 && m().StorageProcedureStep(); }, 600), 0);
    for (int n : {1, 2}) EXPECT_NEAR(inst().pump(n).volume, 70.0, 1.0);
}

TEST_F(ProceduresTest, StoragePreparationEndsOnCancelWithoutMoves) {
    dialogs_.answer(mrCancel);
    m().StartStorageProcedure();
    EXPECT_EQ(runWhile([&] { return m().StorageProcedureStep(); }, 10), 3);
    EXPECT_TRUE(link().sent().empty());
    EXPECT_EQ(dialogs_.shown.size(), 1u);
}

TEST_F(ProceduresTest, InstrumentFlushSendsItsMovesInOrderAndCountsTo1200) {
    ASSERT_EQ(sim_->control("valve-settle 5000"), "ok");  // a move takes several ticks
    ASSERT_TRUE(m().StartInstrumentFlush());
    const int calls = runWhile(watched([&] { return m().InstrumentFlushStep(); }), 5000);
    ASSERT_GT(calls, 0);
    EXPECT_EQ(slowAwayFromColumn, 0);
    EXPECT_EQ(movedWhileTurning, 0) << "every move waits for both valves";
    EXPECT_EQ(fills1, (std::vector<int>{10, 70}));
    EXPECT_EQ(m().PercentDone, (calls - 1) * 100 / 1200);
    // Empty, fill to 10, empty, fill to 70, the slow pump-out at the column (cut off), empty.
    EXPECT_EQ(moves(1), "1F.5R.1F.5R.2F.1F.");
    EXPECT_EQ(moves(2), "1F.5R.1F.5R.2F.1F.");
    EXPECT_NE(sent().find("MS 0 1;ML 0 0.30;FWD 0;MS 2 1;ML 2 0.30;FWD 2;"), std::string::npos);
    EXPECT_NEAR(inst().pump(1).volume, 0.0, 1e-6);
    EXPECT_FALSE(m().InstrumentFlushStep());  // stays over
}

// The instrument flush's slow pump-out has its own count of ticks: it is cut off on its 902nd
// tick whatever the storage preparation's count holds, and each flush counts afresh.
TEST_F(ProceduresTest, TheInstrumentFlushsSlowPumpOutIsCutOffAfter901Ticks) {
    for (int32_t storageTicks : {5000, 0}) {
        SCOPED_TRACE(storageTicks);
        m().StoragePumpOutTicks = storageTicks;
        const int64_t from = link().ticks();
        ASSERT_TRUE(m().StartInstrumentFlush());
        auto stepWhile = [&](auto holds) {
            return runWhile([&] { return m().InstrumentFlushStep() && holds(m().InstrumentFlushState); },
                            3000);
        };
        ASSERT_GT(stepWhile([](uint8_t s) { return s != 20; }), 0);  // up to the pump-out armed
        EXPECT_EQ(stepWhile([](uint8_t s) { return s == 20; }), 902);
        EXPECT_EQ(m().InstrumentFlushState, 21);
        const int64_t slowStart = firstTickOf("ML 0 0.30", from);
        ASSERT_NE(slowStart, -1);
        EXPECT_EQ(firstTickOf("ML 2 0.30", from), slowStart);
        EXPECT_EQ(firstTickOf("OFF 0", slowStart) - slowStart, 901);
        EXPECT_EQ(firstTickOf("OFF 2", slowStart) - slowStart, 901);
        EXPECT_GT(inst().pump(1).volume, 60.0) << "the slow pump-out was cut off, not run dry";
        m().InstrumentFlushPumpOutTicks = 5000;  // left over: the next flush counts from 0
    }
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
    // Each procedure with the volume syringe 1 ends with: empty, the refill's 25 ml, the storage's
    // last rinse cut off below 40 ml. Pump two gets only the stops that end the slow pump-outs
    // and the storage preparation, sent to both pumps whatever their number.
    const struct {
        std::function<bool()> start, step;
        double low, high;
        const char* pump2;
    } procedures[] = {
        {[&] { return m().StartFlush(); }, [&] { return m().FlushStep(); }, 0, 1e-6, ""},
        {[&] { return m().StartRefill(); }, [&] { return m().RefillStep(); }, 25, 26, ""},
        {[&] { return m().StartStorageProcedure(); }, [&] { return m().StorageProcedureStep(); }, 38, 39.999,
         "OFF 2;OFF 2;"},
        {[&] { return m().StartInstrumentFlush(); }, [&] { return m().InstrumentFlushStep(); }, 0, 1e-6,
         "OFF 2;"},
    };
    m().Channel2->State = 34;
    for (const auto& p : procedures) {
        link().clearSent();
        p.start();
        EXPECT_EQ(m().Channel2->State, 0);
        EXPECT_GT(runWhile(p.step, 5000), 0);
        EXPECT_GE(inst().pump(1).volume, p.low);
        EXPECT_LE(inst().pump(1).volume, p.high);
        std::string pump2;
        for (const auto& s : link().sent())
            if (isChannelCommand(s.text, 2)) pump2 += s.text + ";";
        EXPECT_EQ(pump2, p.pump2) << p.low;
    }
    // Empty arms the second channel all the same: its valve is commanded.
    link().clearSent();
    ASSERT_TRUE(m().StartEmpty());
    for (int i = 0; i < 5; ++i) tick([&] { return m().EmptyStep(); });
    EXPECT_EQ(moves(2), "1");
}

// ---------------------------------------------------------------- the sequence run machine

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

// A cooling run to its end with the recirculation fan kept on, and without: the fan is never
// switched off, and it is switched on again with the heater instead of with the door.
TEST_F(SequenceRunTest, ACoolingKeepsTheRecirculationFanOnWhenAskedTo) {
    const struct {
        bool alwaysOn;
        const char* column;  // the column's commands from state 2 to state 17
    } rows[] = {
        {true,
         "CSETPOINT 40.0;RSETPOINT 50.0;CHEAT OFF;CFAN ON;DOOR OPEN;CFAN OFF;DOOR CLOSE;"
         "CSETPOINT 40.0;CHEAT ON;RFAN ON;"},
        {false,
         "CSETPOINT 40.0;RSETPOINT 50.0;CHEAT OFF;CFAN ON;DOOR OPEN;RFAN OFF;CFAN OFF;RFAN ON;DOOR CLOSE;"
         "CSETPOINT 40.0;CHEAT ON;"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.alwaysOn ? "always on" : "off while cooling");
        m().RecFanAlwaysOn->setChecked(r.alwaysOn);
        ZentrovaAPI.Column.SetRecircFan(true);
        idle(1);
        ASSERT_TRUE(inst().recircFan());
        inst().column().temperatureOverride = 30.0;
        use("S");
        finishFirstRun();
        inst().column().temperatureOverride = 40.5;
        idle(1);
        call();  // 36
        const int64_t t2 = link().ticks();
        ASSERT_TRUE(runTo(14, 400));
        EXPECT_EQ(inst().recircFan(), r.alwaysOn) << "while the door is open";
        inst().column().temperatureOverride = 34.0;
        ASSERT_TRUE(runTo(17, 400));
        std::string column;
        for (const auto& s : link().sent())
            if (s.tick >= t2 && !isChannelCommand(s.text, 1) && !isChannelCommand(s.text, 2))
                column += s.text + ";";
        EXPECT_EQ(column, r.column);
        EXPECT_TRUE(inst().recircFan());
        EXPECT_FALSE(inst().doorOpen());
    }
}

// Without the forced five minutes state 13 hands on at its first call; with them it holds.
TEST_F(SequenceRunTest, WithoutTheForcedFiveMinutesTheCoolingGoesOnAtOnce) {
    for (bool forced : {false, true}) {
        SCOPED_TRACE(forced ? "forced" : "not forced");
        m().Forced5MinChkBox->setChecked(forced);
        inst().column().temperatureOverride = 30.0;
        use("S");
        finishFirstRun();
        inst().column().temperatureOverride = 40.5;
        idle(1);
        ASSERT_TRUE(runTo(13, 100));
        call();
        EXPECT_EQ(m().RunState, forced ? 13 : 14);
        for (int i = 0; i < 30; ++i) call();
        EXPECT_EQ(m().RunState, forced ? 13 : 14) << "14 waits for the column to cool";
    }
}

// Each run counts once, when it is prepared (state 2); a new sequence counts from 0 again.
TEST_F(SequenceRunTest, EachRunCountsOnceWhenItIsPrepared) {
    m().RunSignal = true;
    std::vector<int32_t> counted;
    auto step = [&] {
        const uint8_t state = m().RunState;
        const int32_t before = m().RunCounter;
        const bool over = m().bRun(0);
        if (m().RunCounter != before) counted.push_back(state);
        return over;
    };
    EXPECT_GT(runWhile(step, 5000, true), 0);
    EXPECT_EQ(counted, (std::vector<int32_t>{2, 2, 2})) << "M1 twice, M2 once";
    EXPECT_EQ(m().RunCounter, 3);
    use("S");
    EXPECT_EQ(m().RunCounter, 0);
    ASSERT_TRUE(runTo(3, 5));
    EXPECT_EQ(m().RunCounter, 1);
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
        // The end sends OFF to both pumps whatever they report.
        {"cooling", true, false, 13, "CFAN OFF;RFAN ON;DOOR CLOSE;CSETPOINT 40.0;CHEAT ON;OFF 0;OFF 2;"},
        {"the refill of a cooling run", true, true, 4,
         "CFAN OFF;DOOR CLOSE;CSETPOINT 40.0;CHEAT ON;RFAN ON;OFF 0;OFF 2;"},
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
    const struct {
        std::vector<std::pair<std::string, std::string>> lines;
        const char* reason;
    } cases[] = {
        {{}, "METHOD \"\" OF LINE 1 NOT FOUND"},
        {{{"Gone", "2"}}, "METHOD \"Gone\" OF LINE 1 NOT FOUND"},
        {{{"Run %s", "1"}}, "METHOD \"Run %s\" OF LINE 1 NOT FOUND"},  // the name is not filled in
        {{{"%s%s", "1"}}, "METHOD \"%s%s\" OF LINE 1 NOT FOUND"},
    };
    for (const auto& c : cases) {
        storeSequence("B", c.lines);
        use("B");
        EXPECT_EQ(runWhile([&] { return m().bRun(0); }, 10, true), 3);
        EXPECT_EQ(m().SequenceEndReason, 3);
        EXPECT_EQ(m().SequenceStopReason, c.reason);
    }
    // Nothing but the end's OFF to both pumps.
    EXPECT_EQ(timeline(0, INT64_MAX, false), "OFF 0;OFF 2;OFF 0;OFF 2;OFF 0;OFF 2;OFF 0;OFF 2;");
    EXPECT_EQ(logLines({"#bRun(): no method loaded for line 1 of Sequence B"}).size(), 4u);
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
