// The instrument state: stored settings, connection steps, the current method and sequence,
// refill volumes, enable and disable (the commands as the simulated instrument receives them)
// and the log header.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTimer>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "link/FTDI.h"
#include "link/FZentrova.h"
#include "link/Instrument.h"
#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "link/pty_pair.h"
#include "platform/D2xx.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "platform/i18n.h"
#include "support/SimLink.h"
#include "support/StoredMethods.h"
#include "support/TempEnv.h"

namespace {

using Cmds = std::vector<std::string>;

class InstrumentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setInstance("");
        setDecimalSeparator('.');
        ZentrovaAPI = TZentrovaAPI();
        ZentrovaAPI.Column.SetPoint = ZentrovaAPI.Reactor.SetPoint = -100.0;
    }
    void TearDown() override {
        module.reset();
        LogFile = nullptr;
        log.reset();
        setInstance("");
    }
    template <class V>
    static void setting(const std::string& name, const V& value, std::string key = "") {
        Registry reg;
        ASSERT_TRUE(reg.openKey(key.empty() ? TStoredParams::InstrumentRegistryKey() : key, true));
        if constexpr (std::is_integral_v<V>)
            reg.writeInteger(name, value);
        else
            reg.writeString(name, value);
    }
    static void method(const std::string& name, const char* columnT, const char* reactorT, const char* runtime,
                       const char* flow1, const char* flow2, bool flush = false) {
        TMethodINIParams m = plainMethod(name);
        m.ColumnT = columnT, m.ReactorT = reactorT, m.Runtime = runtime;
        m.Pump1Flow = flow1, m.Pump2Flow = flow2, m.flushMethod = flush;
        storeMethod(m);
    }
    static void sequence(const std::string& name, const std::vector<std::string>& methods) {
        std::vector<std::pair<std::string, std::string>> lines;
        for (const auto& m : methods) lines.push_back({m, "1"});
        storeSequence(name, lines);
    }
    void create(bool standard = true) {
        if (standard) setting("ConnectMethod", 3), setting("RefillSpeed", 40);
        module = std::make_unique<TInstrumentModule>();
    }
    void openLog() {
        log = std::make_unique<TLogFile>();
        LogFile = log.get();
    }

    TempEnv env;
    FakeClockGuard clock;
    DialogScript dialogs;
    std::unique_ptr<TLogFile> log;
    std::unique_ptr<TInstrumentModule> module;
};

// ---------------------------------------------------------------- settings and connection

TEST_F(InstrumentTest, SettingsComeFromTheInstancesKey) {
    const std::string key = TStoredParams::InstrumentRegistryKey();
    EXPECT_EQ(key, "\\Software\\TressivanLabs\\Zentrova\\Instrument");
    EXPECT_EQ(TStoredParams::ReadRegistryString(key, "IP"), "");
    EXPECT_THROW(TStoredParams::ReadRegistryInteger(key, "ConnectMethod"), ERegistryException);
    EXPECT_FALSE(Registry().keyExists(key)) << "reading creates no key";
    setting("IP", std::string("10.1.2.3"));
    setting("PressureMeasure", std::string("psi"));
    EXPECT_EQ(TStoredParams::ReadRegistryString(key, "ip"), "10.1.2.3");  // names ignore case
    setInstance("2");
    EXPECT_EQ(TStoredParams::InstrumentRegistryKey(), key + "2");
    EXPECT_EQ(TStoredParams::ReadRegistryString(key + "2", "IP"), "") << "another instance's key is apart";
    setInstance("");

    // Without a readable connect method: TCP with a box; without a refill speed: 55, silently.
    for (auto [connect, speed] : {std::pair{std::string(), std::string()}, {std::string("3"), std::string("30")}}) {
        if (!connect.empty()) setting("ConnectMethod", connect), setting("RefillSpeed", speed);
        create(false);
        EXPECT_EQ(module->ConnectMethod, 1) << "stored as text: '" << connect << "'";
        EXPECT_EQ(module->RefillSpeed, 55);
    }
    ASSERT_EQ(dialogs.shown.size(), 2u);
    EXPECT_EQ(dialogs.shown[0].text, "Connection Method not defined. Please, reinstall the software.");
    create();
    EXPECT_EQ(dialogs.shown.size(), 2u);
    EXPECT_EQ(module->IP, "10.1.2.3");
    EXPECT_EQ(module->Channel2->Speed, 40);
    for (auto [text, unit] : {std::pair{"bar", 1}, {"BAR", 1}, {"psi", 2}, {"", 2}}) {  // unknown: kept
        setting("PressureMeasure", std::string(text));
        module->LoadSettings(true);
        EXPECT_EQ(module->PressureUnit, unit) << text;
    }
    // A new refill speed is not copied into the channels: each procedure start does that.
    setting("RefillSpeed", 20);
    module->ReloadSettings();
    EXPECT_EQ(module->RefillSpeed, 20);
    EXPECT_EQ(module->Channel1->Speed, 40);
    // The cooling delta reads a whole number, in the base its prefix gives.
    for (auto [text, delta] : {std::pair{"7", 7.0}, {"2.5", 0.0}, {"$10", 16.0}}) {
        module->DeltaValue->setText(text);
        EXPECT_DOUBLE_EQ(module->CoolingDelta, delta) << text;
    }
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
        module = std::make_unique<TInstrumentModule>();
        module->Reconnect();
        module->Reconnect();
        EXPECT_FALSE(link->IsConnected()) << connect;
        EXPECT_FALSE(module->IsConnectionAlive());
    }
    setting("USB", std::string("KVZ Test"));
    module = std::make_unique<TInstrumentModule>();
    module->Reconnect();
    EXPECT_TRUE(link->IsConnected());
    EXPECT_EQ(link->StatusQuery, "? 0123") << "the connect hook asks for the identity";
    module->Reconnect();
    EXPECT_FALSE(link->IsConnected());
    module->Reconnect();
    EXPECT_TRUE(module->IsConnectionAlive()) << "a USB connect counts as data";
    module->ReloadSettings();
    EXPECT_FALSE(link->IsConnected()) << "reloading the settings closes the link even when nothing changed";
    module.reset();
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
    openLog();
    create();
    module->Method.Name = "Current";
    EXPECT_FALSE(module->GetMethodParams());
    module->Sequence.Name = "Amino";
    ASSERT_TRUE(module->GetSequenceParams());
    // A line index out of range is clamped to the first or last line and logged.
    for (auto [index, name, clamped] : {std::tuple{1, "Wash", 1}, {5, "Wash", 1}, {-3, "Hydrolysis", 0}}) {
        module->LineIndex = index;
        ASSERT_TRUE(module->GetMethodParams());
        EXPECT_EQ(module->LineIndex, clamped);
        EXPECT_EQ(module->Method.Name, name);
    }
    EXPECT_DOUBLE_EQ(module->Method.RuntimeValue, 30.0);
    // Without lines the method stays as it is.
    module->Sequence.Name = "Empty";
    EXPECT_TRUE(module->GetSequenceParams());
    module->LineIndex = 0;
    EXPECT_FALSE(module->GetMethodParams());
    EXPECT_EQ(module->Method.Name, "Hydrolysis");
    module->Sequence.Name = "Missing";
    EXPECT_FALSE(module->GetSequenceParams());

    std::ifstream f(log->LogPath);
    std::stringstream text;
    text << f.rdbuf();
    for (const char* line : {",#GetMethodParams(): no default sequence\n", ",#GetSequenceParams(): Amino\n",
                             ",#GetMethodParams(): Wash\n",
                             ",#GetMethodParams(): error: iSequenceItem out of bound: 5; Sequence: Amino; Methods: 2\n",
                             ",#GetMethodParams(): error: iSequenceItem out of bound: 0; Sequence: Empty; Methods: 0\n",
                             ",#GetSequenceParams(): Missing\n"})
        EXPECT_NE(text.str().find(line), std::string::npos) << line;
}

TEST_F(InstrumentTest, RefillVolumeForRunFollowsThePumpTimetable) {
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
        {"10", "1.0", {"5"}, {"x"}, 1, 15, 20.0},                // a flow that does not read: 0 from there
        {"10", "1.0", {"2", "5", ""}, {"3"}, 1, 0, 11.0},        // lists of unequal length
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
    create();
    module->Method.Runtime = "20";
    module->Method.Pump1Flow = "0.5";
    module->Method.Pump2Flow = "0.25";
    // Without lines the current method's refill volumes count: 17.5 and 8.75 ml.
    auto enough = [&](const char* sequence, int line, double v1, double v2, bool single = false) {
        module->Sequence.Name = sequence;
        module->GetSequenceParams();
        module->LineIndex = line;
        module->GetMethodParams();
        module->SinglePump = single;
        ZentrovaAPI.Pump1.Volume = v1;
        ZentrovaAPI.Pump2.Volume = v2;
        return module->PumpsHoldEnoughForRun();
    };
    EXPECT_FALSE(enough("", 0, 17.49, 8.75));
    EXPECT_TRUE(enough("", 0, 17.5, 8.75));
    EXPECT_TRUE(enough("S", 1, 20.0, 20.0)) << "the first run uses Short";
    EXPECT_EQ(module->Method.Name, "Long") << "the current method stays";
    EXPECT_FALSE(enough("S", 1, 20.0, 12.0));
    EXPECT_TRUE(enough("S", 1, 12.5, 12.0, true));
    EXPECT_FALSE(enough("S", 1, 12.49, 20.0, true));
    EXPECT_TRUE(enough("F", 1, 0.0, 0.0)) << "a flush method needs nothing in the syringes";
}

// ---------------------------------------------------------------- enable, disable, log header

class InstrumentSimTest : public InstrumentTest {
  protected:
    void SetUp() override {
        InstrumentTest::SetUp();
        link = std::make_unique<SimLink>(sim, &clock.fake);
        link->poll();
        link->poll();
        create();
    }
    void TearDown() override {
        link.reset();
        InstrumentTest::TearDown();
    }
    Cmds sent() {
        link->flush();
        return link->takeSent();
    }
    zsim::Simulator sim;
    std::unique_ptr<SimLink> link;
};

TEST_F(InstrumentSimTest, EnableSendsTheHeaterCommandsOrNothing) {
    sequence("Empty", {});
    const Cmds none;
    const struct {
        const char *sequence, *columnT, *reactorT, *error;
        Cmds cmds;
    } cases[] = {
        {"S", "60", "130.5", "",
         {"CHMAX 125.0", "CSETPOINT 60.0", "CHEAT ON", "RHMAX 135.0", "RSETPOINT 130.5", "RHEAT ON"}},
        {"S", "abc", "130", "Default Column Temperature not readable!", none},
        {"S", "hot", "", "Default Reactor Temperature not readable!", none},
        {"", "60", "130", "Default Method Not Specified or Incorrect!", none},
        {"Nowhere", "60", "130", "Default Method Not Specified or Incorrect!", none},
        {"Empty", "60", "130", "Sequence \"Empty\" has no lines.", none},
    };
    for (const auto& c : cases) {
        method("M", c.columnT, c.reactorT, "30", "0.4", "0.3");
        sequence("S", {"M"});
        module->Sequence.Name = c.sequence;
        module->Enabled = false;
        EXPECT_EQ(module->EnableInstrument(), !c.cmds.empty()) << c.columnT;
        EXPECT_EQ(module->Enabled, !c.cmds.empty());
        EXPECT_EQ(module->EnableErrorText, *c.error ? c.error : module->EnableErrorText);
        EXPECT_EQ(sent(), c.cmds) << c.sequence << " " << c.columnT << " " << c.reactorT;
    }
    // Temperatures read with the operator's decimal separator.
    setDecimalSeparator(',');
    method("M", "60,5", "130", "30", "0,4", "0,3");
    module->Sequence.Name = "S";
    EXPECT_TRUE(module->EnableInstrument());
    setDecimalSeparator('.');
    EXPECT_EQ(sent(), (Cmds{"CHMAX 125.0", "CSETPOINT 60.5", "CHEAT ON", "RHMAX 135.0", "RSETPOINT 130.0",
                            "RHEAT ON"}));
    EXPECT_DOUBLE_EQ(sim.instrument().reactor().setPoint, 130.0);
}

TEST_F(InstrumentSimTest, DisableSwitchesHeatersPumpsAndFanOff) {
    module->Enabled = true;
    module->SetColumnSetPoint(60.0);
    EXPECT_TRUE(module->DisableInstrument());
    EXPECT_FALSE(module->Enabled);
    EXPECT_EQ(sent(), (Cmds{"CSETPOINT 60.0", "CHEAT OFF", "RHEAT OFF"})) << "nothing moves, no fan";
    EXPECT_DOUBLE_EQ(module->GetColumnSetPoint(), -100.0);

    // Both pumps dispensing, a cooling phase under way (as the run machine starts one).
    module->Channel1->PumpForward(1.0);
    module->Channel2->PumpForward(0.5);
    ZentrovaAPI.Column.SetColumnFan(true);
    ZentrovaAPI.Column.SetDoor(true);
    ZentrovaAPI.Column.SetRecircFan(false);
    link->tick();
    link->takeSent();
    module->DisableInstrument();
    EXPECT_EQ(sent(), (Cmds{"CHEAT OFF", "RHEAT OFF", "OFF 0", "OFF 2", "CFAN OFF", "DOOR CLOSE", "RFAN ON"}));
    link->tick();
    EXPECT_DOUBLE_EQ(module->GetPump1Rate(), 0.0);
    EXPECT_FALSE(sim.instrument().columnFan());
    EXPECT_FALSE(sim.instrument().doorOpen());
    EXPECT_TRUE(sim.instrument().recircFan());

    // A single-pump instrument still stops a moving pump two; an aspirating pump is moving too.
    module->SinglePump = true;
    ZentrovaAPI.Pump2.State = 1;
    ZentrovaAPI.Pump2.ForwardRate = 0.3;
    ZentrovaAPI.Pump1.State = 2;
    ZentrovaAPI.Pump1.ReverseRate = 5;
    module->DisableInstrument();
    EXPECT_EQ(sent(), (Cmds{"CHEAT OFF", "RHEAT OFF", "OFF 0", "OFF 2"}));
}

TEST_F(InstrumentTest, RunSecondsCountDownTheEquilibrationAndUpTheRun) {
    create();
    module->EquilTimer.Start(600);
    clock.fake.advanceSeconds(100);
    for (auto [state, seconds] : {std::pair{3, -500}, {17, -500}, {37, -500}, {2, 0}, {33, 0}, {47, 0}}) {
        module->RunState = uint8_t(state);
        EXPECT_EQ(module->GetRunSeconds(), seconds) << state;
    }
    module->RunState = 34;
    module->RunClock.Start(0);
    clock.fake.advanceSeconds(75);
    EXPECT_EQ(module->GetRunSeconds(), 75);
    clock.fake.advanceSeconds(600);
    module->RunState = 17;
    EXPECT_EQ(module->GetRunSeconds(), 0) << "equilibration over";
}

TEST_F(InstrumentTest, LogHeaderNamesTheInstrumentAndTheCurrentRecords) {
    setting("ConnectMethod", 1);
    setting("IP", std::string("192.168.7.9"));
    create(false);
    ZentrovaAPI.SerialNumber = 4711;
    std::strcpy(ZentrovaAPI.FirmwareVersion, "3.1");
    std::strcpy(ZentrovaAPI.CPLDVersion, "9");
    module->Sequence.Name = "Amino";
    module->Method.Name = "Hydrolysis";
    openLog();
    const std::string header = log->WriteHeader();
    for (const char* line : {"\nInstrument S/N: 4711\n", "\nFW version 3.1; CPLD version 9\n",
                             "\nConnection type: 1; IP address: 192.168.7.9\n", "\nCurrent Sequence: Amino\n",
                             "\nCurrent Method:   Hydrolysis\n"})
        EXPECT_NE(header.find(line), std::string::npos) << line << header;
    module.reset();
    EXPECT_EQ(log->WriteHeader().find("Amino"), std::string::npos) << "no source after the state is gone";
}

}  // namespace
