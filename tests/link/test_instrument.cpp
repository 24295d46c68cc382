// The instrument state: settings, connection steps, the current method and sequence, refill
// volumes, enable and disable (the commands as the simulated instrument receives them), the
// service window and the log header.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
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
    }

    static void writeSetting(const std::string& name, const std::string& value) {
        Registry reg;
        ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
        reg.writeString(name, value);
    }
    static void writeSetting(const std::string& name, int32_t value) {
        Registry reg;
        ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
        reg.writeInteger(name, value);
    }
    static void saveMethod(const std::string& name, const std::string& columnT, const std::string& reactorT,
                           const std::string& runtime, const std::string& flow1, const std::string& flow2,
                           bool flush = false) {
        TMethodINIParams m;
        m.Name = name;
        m.ColumnT = columnT;
        m.ReactorT = reactorT;
        m.Runtime = runtime;
        m.Pump1Flow = flow1;
        m.Pump2Flow = flow2;
        m.flushMethod = flush;
        CMethodNames store;
        ASSERT_TRUE(store.SaveMethod(m));
    }
    static void saveSequence(const QString& name, const QStringList& methods) {
        TSequenceINIParams s;
        s.Name = name;
        for (const QString& m : methods) {
            s.MethodList.Add(m);
            s.RunList.Add("1");
        }
        CSequenceNames store;
        if (methods.isEmpty()) {
            ASSERT_TRUE(store.AddSequence(name.toStdString()));
        } else {
            ASSERT_TRUE(store.SaveSequence(s));
        }
    }
    // The settings every normal start has.
    void standardSettings() {
        writeSetting("ConnectMethod", 3);
        writeSetting("RefillSpeed", 40);
    }
    void create() { module = std::make_unique<TInstrumentModule>(); }
    void openLog() {
        log = std::make_unique<TLogFile>();
        LogFile = log.get();
    }
    std::string logText() const {
        std::ifstream f(env.dir + "/appdata/TressivanLabs/Zentrova.log");
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    TempEnv env;
    FakeClockGuard clock;
    std::unique_ptr<TLogFile> log;
    std::unique_ptr<TInstrumentModule> module;
};

// ---------------------------------------------------------------- settings and connection

TEST_F(InstrumentTest, LoadSettingsReadsTheInstrumentKey) {
    writeSetting("IP", "10.1.2.3");
    writeSetting("PressureMeasure", "psi");
    standardSettings();
    DialogScript dialogs;
    create();
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(module->IP, "10.1.2.3");
    EXPECT_EQ(module->PressureUnit, 2);
    EXPECT_EQ(module->Channel2->Speed, 40);
    for (auto [text, unit] : {std::pair{"bar", 1}, {"BAR", 1}, {"psi", 2}, {"", 2}}) {  // unknown: kept
        writeSetting("PressureMeasure", text);
        module->LoadSettings(true);
        EXPECT_EQ(module->PressureUnit, unit) << text;
    }
    // A new refill speed is not copied into the channels: each procedure start does that.
    writeSetting("RefillSpeed", 20);
    module->ReloadSettings();
    EXPECT_EQ(module->RefillSpeed, 20);
    EXPECT_EQ(module->Channel1->Speed, 40);
}

TEST_F(InstrumentTest, MissingConnectMethodFallsBackToTcpWithABox) {
    DialogScript dialogs;
    create();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Connection Method not defined. Please, reinstall the software.");
    EXPECT_EQ(module->ConnectMethod, 1);
    EXPECT_EQ(module->RefillSpeed, 55) << "a missing refill speed falls back silently";
    // A connect method stored as text cannot be read either.
    writeSetting("ConnectMethod", "3");
    writeSetting("RefillSpeed", "30");
    module->LoadSettings(true);
    EXPECT_EQ(dialogs.shown.size(), 2u);
    EXPECT_EQ(module->ConnectMethod, 1);
    EXPECT_EQ(module->RefillSpeed, 55);
}

class InstrumentLinkTest : public InstrumentTest {
  protected:
    void SetUp() override {
        InstrumentTest::SetUp();
        ASSERT_TRUE(pty.ok());
        D2xx::setDeviceMap({{"KVZ Test", pty.slavePath()}});
        TFZentrova::LastDataTime = 0;
        link = std::make_unique<TFZentrova>();
        link->Timer1->stop();
        FZentrova = link.get();
    }
    void TearDown() override {
        InstrumentTest::TearDown();
        link.reset();
        FTDI.Close();
        D2xx::resetDeviceMap();
    }
    PtyPair pty;
    std::unique_ptr<TFZentrova> link;
};

TEST_F(InstrumentLinkTest, ReconnectAlternatesCloseAndOpen) {
    standardSettings();
    writeSetting("USB", "KVZ Test");
    create();
    ASSERT_FALSE(link->IsConnected());
    module->Reconnect();
    EXPECT_TRUE(link->IsConnected());
    EXPECT_EQ(link->ConnectionType, TFZentrova::ctUSB);
    EXPECT_EQ(link->StatusQuery, "? 0123") << "the connect hook asks for the identity";
    module->Reconnect();
    EXPECT_FALSE(link->IsConnected());
    module->Reconnect();
    EXPECT_TRUE(link->IsConnected());
    EXPECT_TRUE(module->IsConnectionAlive()) << "a USB connect counts as data";
    // Reloading the settings closes the link even when nothing changed.
    module->ReloadSettings();
    EXPECT_FALSE(link->IsConnected());
}

TEST_F(InstrumentLinkTest, UnknownConnectMethodOrUsbWithoutANameStaysClosed) {
    for (auto [method, usb] : {std::pair{7, "KVZ Test"}, {3, ""}}) {
        writeSetting("ConnectMethod", method);
        writeSetting("USB", usb);
        create();
        module->Reconnect();
        module->Reconnect();
        EXPECT_FALSE(link->IsConnected()) << method;
        EXPECT_FALSE(module->IsConnectionAlive());
    }
}

// ---------------------------------------------------------------- current method and sequence

TEST_F(InstrumentTest, GetMethodParamsLoadsTheMethodOfTheCurrentLine) {
    standardSettings();
    saveMethod("Hydrolysis", "60", "130", "30", "0.4", "0.3");
    saveMethod("Wash", "40", "100", "10", "1.0", "1.0");
    saveSequence("Amino", {"Hydrolysis", "Wash"});
    saveSequence("Empty", {});
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

    const std::string text = logText();
    for (const char* line : {",#GetMethodParams(): no default sequence\n", ",#GetSequenceParams(): Amino\n",
                             ",#GetMethodParams(): Wash\n",
                             ",#GetMethodParams(): error: iSequenceItem out of bound: 5; Sequence: Amino; Methods: 2\n",
                             ",#GetMethodParams(): error: iSequenceItem out of bound: 0; Sequence: Empty; Methods: 0\n",
                             ",#GetSequenceParams(): Missing\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

// ---------------------------------------------------------------- refill volumes

TEST_F(InstrumentTest, RefillVolumeForRunFollowsThePumpTimetable) {
    struct Case {
        const char *runtime, *flow;
        std::vector<std::string> times, flows;
        int pump;
        int extraMinutes;
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
    for (const Case& c : cases) {
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
    standardSettings();
    saveMethod("Long", "60", "130", "60", "1.0", "1.0");   // 75 ml each
    saveMethod("Short", "60", "130", "10", "0.5", "0.5");  // 12.5 ml each
    saveMethod("Flush", "60", "130", "60", "5", "5", true);
    saveSequence("S", {"Short", "Long"});
    create();
    module->Method.Runtime = "20";
    module->Method.Pump1Flow = "0.5";
    module->Method.Pump2Flow = "0.25";
    EXPECT_DOUBLE_EQ(module->RefillVolume(1), 17.5);
    EXPECT_DOUBLE_EQ(module->RefillVolume(2), 8.75);
    // Without lines the current method's refill volumes count.
    ZentrovaAPI.Pump2.Volume = 8.75;
    for (auto [volume, enough] : {std::pair{17.49, false}, {17.5, true}}) {
        ZentrovaAPI.Pump1.Volume = volume;
        EXPECT_EQ(module->PumpsHoldEnoughForRun(), enough) << volume;
    }

    module->Sequence.Name = "S";
    module->GetSequenceParams();
    module->LineIndex = 1;
    module->GetMethodParams();
    ZentrovaAPI.Pump1.Volume = ZentrovaAPI.Pump2.Volume = 20.0;
    EXPECT_TRUE(module->PumpsHoldEnoughForRun()) << "the first run uses Short";
    EXPECT_EQ(module->Method.Name, "Long") << "the current method stays";
    ZentrovaAPI.Pump2.Volume = 12.0;
    EXPECT_FALSE(module->PumpsHoldEnoughForRun());
    module->SinglePump = true;
    EXPECT_TRUE(module->PumpsHoldEnoughForRun());
    ZentrovaAPI.Pump1.Volume = 12.49;
    EXPECT_FALSE(module->PumpsHoldEnoughForRun());
    // A flush method needs nothing in the syringes.
    saveSequence("F", {"Flush", "Long"});
    module->Sequence.Name = "F";
    module->GetSequenceParams();
    ZentrovaAPI.Pump1.Volume = ZentrovaAPI.Pump2.Volume = 0.0;
    EXPECT_TRUE(module->PumpsHoldEnoughForRun());
}

// ---------------------------------------------------------------- enable and disable

class InstrumentSimTest : public InstrumentTest {
  protected:
    void SetUp() override {
        InstrumentTest::SetUp();
        standardSettings();
        link = std::make_unique<SimLink>(sim, &clock.fake);
        link->poll();
        link->poll();
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
    saveSequence("Empty", {});
    create();
    const Cmds none;
    struct Case {
        const char *sequence, *columnT, *reactorT, *error;
        Cmds cmds;
    } cases[] = {
        {"S", "60", "130.5", "",
         {"CHMAX 125.0", "CSETPOINT 60.0", "CHEAT ON", "RHMAX 135.0", "RSETPOINT 130.5", "RHEAT ON"}},
        {"S", "5", "9", "",
         {"CHMAX 125.0", "CSETPOINT  5.0", "CHEAT ON", "RHMAX 135.0", "RSETPOINT  9.0", "RHEAT ON"}},
        {"S", "abc", "130", "Default Column Temperature not readable!", none},
        {"S", "60", "", "Default Reactor Temperature not readable!", none},
        {"S", "hot", "hotter", "Default Reactor Temperature not readable!", none},
        {"", "60", "130", "Default Method Not Specified or Incorrect!", none},
        {"Nowhere", "60", "130", "Default Method Not Specified or Incorrect!", none},
        {"Empty", "60", "130", "Sequence \"Empty\" has no lines.", none},
    };
    for (const Case& c : cases) {
        saveMethod("M", c.columnT, c.reactorT, "30", "0.4", "0.3");
        saveSequence("S", {"M"});
        module->Sequence.Name = c.sequence;
        module->Enabled = false;
        EXPECT_EQ(module->EnableInstrument(), c.cmds.size() > 0) << c.columnT;
        EXPECT_EQ(module->Enabled, c.cmds.size() > 0);
        if (*c.error) {
            EXPECT_EQ(module->EnableErrorText, c.error);
        }
        EXPECT_EQ(sent(), c.cmds) << c.sequence << " " << c.columnT << " " << c.reactorT;
    }
    EXPECT_DOUBLE_EQ(sim.instrument().reactor().setPoint, 9.0);
    // Temperatures read with the operator's decimal separator.
    setDecimalSeparator(',');
    saveMethod("M", "60,5", "130", "30", "0,4", "0,3");
    module->Sequence.Name = "S";
    EXPECT_TRUE(module->EnableInstrument());
    EXPECT_EQ(sent(), (Cmds{"CHMAX 125.0", "CSETPOINT 60.5", "CHEAT ON", "RHMAX 135.0", "RSETPOINT 130.0",
                            "RHEAT ON"}));
    setDecimalSeparator('.');
}

TEST_F(InstrumentSimTest, DisableSwitchesHeatersPumpsAndFanOff) {
    create();
    module->Enabled = true;
    module->SetColumnSetPoint(60.0);
    module->SetReactorSetPoint(120.0);
    EXPECT_EQ(sent(), (Cmds{"CSETPOINT 60.0", "RSETPOINT 120.0"}));
    // Nothing moves, no fan: only the heaters.
    EXPECT_TRUE(module->DisableInstrument());
    EXPECT_FALSE(module->Enabled);
    EXPECT_EQ(sent(), (Cmds{"CHEAT OFF", "RHEAT OFF"}));
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
    EXPECT_EQ(sent(),
              (Cmds{"CHEAT OFF", "RHEAT OFF", "OFF 0", "OFF 2", "CFAN OFF", "DOOR CLOSE", "RFAN ON"}));
    link->tick();
    EXPECT_DOUBLE_EQ(module->GetPump1Rate(), 0.0);
    EXPECT_FALSE(sim.instrument().columnFan());
    EXPECT_FALSE(sim.instrument().doorOpen());
    EXPECT_TRUE(sim.instrument().recircFan());

    // A single-pump instrument still stops a moving pump two.
    module->SinglePump = true;
    ZentrovaAPI.Pump2.State = 1;
    ZentrovaAPI.Pump2.ForwardRate = 0.3;
    ZentrovaAPI.Pump1.State = 2;  // aspirating: a rate above 0 too
    ZentrovaAPI.Pump1.ReverseRate = 5;
    module->DisableInstrument();
    EXPECT_EQ(sent(), (Cmds{"CHEAT OFF", "RHEAT OFF", "OFF 0", "OFF 2"}));
}

// ---------------------------------------------------------------- run seconds, cooling delta, log header

TEST_F(InstrumentTest, RunSecondsCountDownTheEquilibrationAndUpTheRun) {
    standardSettings();
    create();
    module->EquilTimer.Start(600);
    clock.fake.advanceSeconds(100);
    for (int s : {3, 4, 5, 7, 12, 19, 31, 32, 37}) {
        module->RunState = uint8_t(s);
        EXPECT_EQ(module->GetRunSeconds(), -500) << s;
    }
    for (int s : {0, 2, 6, 20, 30, 33, 35, 47}) {
        module->RunState = uint8_t(s);
        EXPECT_EQ(module->GetRunSeconds(), 0) << s;
    }
    module->RunState = 34;
    module->RunClock.Start(0);
    clock.fake.advanceSeconds(75);
    EXPECT_EQ(module->GetRunSeconds(), 75);
    clock.fake.advanceSeconds(600);
    module->RunState = 17;
    EXPECT_EQ(module->GetRunSeconds(), 0) << "equilibration over";
}

TEST_F(InstrumentTest, CoolingDeltaReadsAWholeNumber) {
    standardSettings();
    create();
    EXPECT_EQ(module->DeltaValue->text(), "5");
    for (auto [text, delta] : {std::pair{"7", 7.0}, {"2.5", 0.0}, {"$10", 16.0}}) {
        module->DeltaValue->setText(text);
        EXPECT_DOUBLE_EQ(module->CoolingDelta, delta) << text;
    }
}

TEST_F(InstrumentTest, LogHeaderNamesTheInstrumentAndTheCurrentRecords) {
    writeSetting("ConnectMethod", 1);
    writeSetting("IP", "192.168.7.9");
    create();
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
