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
#include "support/TempEnv.h"
#include "platform/i18n.h"
#include "support/SimLink.h"

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

// ---------------------------------------------------------------- settings

TEST_F(InstrumentTest, LoadSettingsReadsTheInstrumentKey) {
    writeSetting("IP", "10.1.2.3");
    writeSetting("USB", "KVZ Test");
    writeSetting("PressureMeasure", "psi");
    writeSetting("ConnectMethod", 3);
    writeSetting("RefillSpeed", 40);
    DialogScript dialogs;
    create();
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(module->IP, "10.1.2.3");
    EXPECT_EQ(module->USB, "KVZ Test");
    EXPECT_EQ(module->PressureUnit, 2);
    EXPECT_EQ(module->ConnectMethod, 3);
    EXPECT_EQ(module->RefillSpeed, 40);
    ASSERT_NE(module->Channel1, nullptr);
    ASSERT_NE(module->Channel2, nullptr);
    EXPECT_EQ(module->Channel1->Speed, 40);
    EXPECT_EQ(module->Channel2->Speed, 40);
    EXPECT_EQ(module->Channel1->Pump, &ZentrovaAPI.Pump1);
    EXPECT_EQ(module->Channel2->Valve, &ZentrovaAPI.Valve2);
    EXPECT_EQ(ZentrovaAPI.Pump2.ChannelNumber, 2u);
    EXPECT_FALSE(module->SinglePump);
    EXPECT_EQ(InstrumentModule, module.get());

    writeSetting("PressureMeasure", "bar");
    module->LoadSettings(true);
    EXPECT_EQ(module->PressureUnit, 1);
    // Only the exact lower-case words count.
    writeSetting("PressureMeasure", "BAR");
    module->LoadSettings(true);
    EXPECT_EQ(module->PressureUnit, 1);
    writeSetting("PressureMeasure", "psi");
    module->LoadSettings(true);
    writeSetting("PressureMeasure", "");
    module->LoadSettings(true);
    EXPECT_EQ(module->PressureUnit, 2);
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
    EXPECT_EQ(dialogs.shown[0].title, "Error");
    EXPECT_EQ(dialogs.shown[0].buttons, MsgButtons::OK);
    EXPECT_EQ(module->ConnectMethod, 1);
    EXPECT_EQ(module->RefillSpeed, 55) << "a missing refill speed falls back silently";
    EXPECT_EQ(module->IP, "");
    EXPECT_EQ(module->PressureUnit, 0);

    // A connect method stored as text cannot be read either.
    writeSetting("ConnectMethod", "3");
    writeSetting("RefillSpeed", "30");
    module->LoadSettings(true);
    EXPECT_EQ(dialogs.shown.size(), 2u);
    EXPECT_EQ(module->ConnectMethod, 1);
    EXPECT_EQ(module->RefillSpeed, 55);
}

// ---------------------------------------------------------------- connection

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
    writeSetting("IP", "10.0.0.9");
    create();
    ASSERT_FALSE(link->IsConnected());
    module->Reconnect();
    EXPECT_TRUE(link->IsConnected());
    EXPECT_EQ(link->ConnectionType, TFZentrova::ctUSB);
    EXPECT_EQ(link->USBDeviceName, "KVZ Test");
    EXPECT_EQ(link->StatusQuery, "? 0123") << "the connect hook asks for the identity";
    EXPECT_TRUE(link->TimerCommand->isActive());
    EXPECT_TRUE(module->StopUSBPolling());
    EXPECT_FALSE(link->TimerCommand->isActive());
    module->Reconnect();
    EXPECT_FALSE(link->IsConnected());
    module->Reconnect();
    EXPECT_TRUE(link->IsConnected());
    EXPECT_TRUE(module->IsConnectionAlive()) << "a USB connect counts as data";

    // Reloading the settings closes the link even when nothing changed.
    module->ReloadSettings();
    EXPECT_FALSE(link->IsConnected());

    module->ShowCommunicationWindow();
    EXPECT_EQ(link->IPAddress, "10.0.0.9");
    EXPECT_TRUE(link->isVisible());
}

TEST_F(InstrumentLinkTest, UnknownConnectMethodDoesNothing) {
    writeSetting("ConnectMethod", 7);
    writeSetting("USB", "KVZ Test");
    create();
    module->Reconnect();
    EXPECT_FALSE(link->IsConnected());
    EXPECT_EQ(link->ConnectionType, 7);
    module->Reconnect();
    EXPECT_FALSE(link->IsConnected());
    EXPECT_FALSE(module->IsConnectionAlive());
}

TEST_F(InstrumentLinkTest, UsbWithoutADeviceNameStaysClosed) {
    writeSetting("ConnectMethod", 3);
    create();
    module->Reconnect();
    EXPECT_FALSE(link->IsConnected());
}

TEST_F(InstrumentLinkTest, ClearCommandQueueEmptiesTheLinkQueue) {
    standardSettings();
    create();
    link->CommandQueue.Add("CFAN ON;RFAN ON");
    module->ClearCommandQueue();
    EXPECT_EQ(link->CommandQueue.Count(), 0);
}

// ---------------------------------------------------------------- current method and sequence

TEST_F(InstrumentTest, GetMethodParamsLoadsTheMethodOfTheCurrentLine) {
    standardSettings();
    saveMethod("Hydrolysis", "60", "130", "30", "0.4", "0.3");
    saveMethod("Wash", "40", "100", "10", "1.0", "1.0");
    saveSequence("Amino", {"Hydrolysis", "Wash"});
    openLog();
    create();
    module->Sequence.Name = "Amino";
    ASSERT_TRUE(module->GetSequenceParams());
    EXPECT_EQ(module->Sequence.MethodList.GetCount(), 2);
    module->LineIndex = 1;
    ASSERT_TRUE(module->GetMethodParams());
    EXPECT_EQ(module->Method.Name, "Wash");
    EXPECT_EQ(module->Method.ColumnT, "40");
    EXPECT_DOUBLE_EQ(module->Method.RuntimeValue, 10.0);

    // A line index past the end is clamped to the last line and logged.
    module->LineIndex = 5;
    ASSERT_TRUE(module->GetMethodParams());
    EXPECT_EQ(module->LineIndex, 1);
    EXPECT_EQ(module->Method.Name, "Wash");

    const std::string text = logText();
    EXPECT_NE(text.find(",#GetSequenceParams(): Amino\n"), std::string::npos);
    EXPECT_NE(text.find(",#GetMethodParams(): Wash\n"), std::string::npos);
    EXPECT_NE(
        text.find(",#GetMethodParams(): error: iSequenceItem out of bound: 5; Sequence: Amino; Methods: 2\n"),
        std::string::npos);
}

TEST_F(InstrumentTest, GetMethodParamsWithoutSequenceOrLinesKeepsTheMethod) {
    standardSettings();
    saveSequence("Empty", {});
    openLog();
    create();
    module->Method.Name = "Current";
    module->Method.ColumnT = "55";
    EXPECT_FALSE(module->GetMethodParams());
    EXPECT_NE(logText().find(",#GetMethodParams(): no default sequence\n"), std::string::npos);

    module->Sequence.Name = "Empty";
    EXPECT_TRUE(module->GetSequenceParams());
    EXPECT_EQ(module->Sequence.MethodList.GetCount(), 0);
    module->LineIndex = 0;
    EXPECT_FALSE(module->GetMethodParams());
    EXPECT_EQ(module->LineIndex, 0);
    EXPECT_EQ(module->Method.Name, "Current");
    EXPECT_EQ(module->Method.ColumnT, "55");
    EXPECT_NE(logText().find(
                  ",#GetMethodParams(): error: iSequenceItem out of bound: 0; Sequence: Empty; Methods: 0\n"),
              std::string::npos);

    // A sequence that is not stored loads as false, empty.
    module->Sequence.Name = "Missing";
    EXPECT_FALSE(module->GetSequenceParams());
    EXPECT_NE(logText().find(",#GetSequenceParams(): Missing\n"), std::string::npos);
}

TEST_F(InstrumentTest, GetMethodParamsWithANegativeLineIndexTakesTheFirstLine) {
    standardSettings();
    saveMethod("A", "60", "130", "30", "0.4", "0.3");
    saveSequence("S", {"A"});
    create();
    module->Sequence.Name = "S";
    module->GetSequenceParams();
    module->LineIndex = -3;
    EXPECT_TRUE(module->GetMethodParams());
    EXPECT_EQ(module->LineIndex, 0);
    EXPECT_EQ(module->Method.Name, "A");
}

// ---------------------------------------------------------------- refill volumes

TEST_F(InstrumentTest, RefillVolumeForRunFollowsThePumpTimetable) {
    TMethodINIParams m;
    m.Runtime = "10";
    m.Pump1Flow = "1.0";
    m.Pump2Flow = "0";
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 1, 15), 25.0);
    m.PumpTimeList = {"5"};
    m.Pump1FlowList = {"2.0"};
    m.Pump2FlowList = {"2.0"};
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 1, 15), 30.0);
    // Start flow 0: the row's flow from minute 5 on, plus 3 ml.
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 2, 15), 13.0);
    // Rows are taken in list order; an earlier time after a later one subtracts.
    m.PumpTimeList = {"8", "4"};
    m.Pump1FlowList = {"2.0", "0.5"};
    m.Pump2FlowList = {"0", "0"};
    // 15 + 8 x 1 + (4 - 8) x 2 + (10 - 4) x 0.5 = 18
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 1, 15), 18.0);
    // A row past the run time adds its part; nothing after it.
    m.PumpTimeList = {"12"};
    m.Pump1FlowList = {"5"};
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 1, 0), 12.0);
    // Flow 0 and no rows: nothing needed, no 3 ml either.
    m.PumpTimeList.clear();
    m.Pump1FlowList.clear();
    m.Pump2FlowList.clear();
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 2, 15), 0.0);
    // Without a run time, or with a flow or run time that does not read: a full 70 ml.
    m.Runtime = "";
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 1, 15), 70.0);
    m.Runtime = "10";
    m.Pump1Flow = "fast";
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 1, 15), 70.0);
    m.Pump1Flow = "1.0";
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 3, 15), 70.0);
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 0, 15), 70.0);
}

TEST_F(InstrumentTest, RefillVolumeForRunSkipsUnreadableTimetableCells) {
    TMethodINIParams m;
    m.Runtime = "10";
    m.Pump1Flow = "1.0";
    m.Pump2Flow = "1.0";
    // A row whose time does not read is left out whole.
    m.PumpTimeList = {"abc", "5"};
    m.Pump1FlowList = {"9", "2.0"};
    m.Pump2FlowList = {"9", "x"};
    EXPECT_NO_THROW(TInstrumentModule::RefillVolumeForRun(m, 1, 15));
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 1, 15), 30.0);
    // A flow that does not read counts as 0 from its row on.
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 2, 15), 20.0);
    // Lists of unequal length (a damaged store) are read as far as the times go.
    m.PumpTimeList = {"2", "5", ""};
    m.Pump1FlowList = {"3"};
    EXPECT_DOUBLE_EQ(TInstrumentModule::RefillVolumeForRun(m, 1, 0), 2.0 + 9.0 + 0.0);
}

TEST_F(InstrumentTest, RefillVolumeUsesTheCurrentMethodWithFifteenMinutes) {
    standardSettings();
    create();
    module->Method.Runtime = "20";
    module->Method.Pump1Flow = "0.5";
    module->Method.Pump2Flow = "0.25";
    EXPECT_DOUBLE_EQ(module->RefillVolume(1), 17.5);
    EXPECT_DOUBLE_EQ(module->RefillVolume(2), 8.75);
    EXPECT_DOUBLE_EQ(module->RefillVolumeForRun(1, 0), 10.0);

    // The service window shows them.
    module->PercentDone = 42;
    module->CalculateRefillVolBtn->click();
    EXPECT_EQ(module->RefillVol1->text(), "17.5");
    EXPECT_EQ(module->RefillVol2->text(), "8.75");
    EXPECT_EQ(module->PercentDoneVal->text(), "42");
}

TEST_F(InstrumentTest, PumpsHoldEnoughJudgesTheFirstLinesMethod) {
    standardSettings();
    saveMethod("Long", "60", "130", "60", "1.0", "1.0");   // 75 ml each
    saveMethod("Short", "60", "130", "10", "0.5", "0.5");  // 12.5 ml each
    saveMethod("Flush", "60", "130", "60", "5", "5", true);
    saveSequence("S", {"Short", "Long"});
    create();
    module->Sequence.Name = "S";
    module->GetSequenceParams();
    module->LineIndex = 1;
    module->GetMethodParams();
    ASSERT_EQ(module->Method.Name, "Long");

    ZentrovaAPI.Pump1.Volume = 20.0;
    ZentrovaAPI.Pump2.Volume = 20.0;
    EXPECT_TRUE(module->PumpsHoldEnoughForRun()) << "the first run uses Short";
    EXPECT_EQ(module->Method.Name, "Long") << "the current method stays";
    EXPECT_EQ(module->Method.Runtime, "60");

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

TEST_F(InstrumentTest, PumpsHoldEnoughWithoutSequenceLinesUsesTheCurrentMethod) {
    standardSettings();
    create();
    module->Method.Runtime = "10";
    module->Method.Pump1Flow = "1";
    module->Method.Pump2Flow = "1";
    ZentrovaAPI.Pump1.Volume = ZentrovaAPI.Pump2.Volume = 25.0;
    EXPECT_TRUE(module->PumpsHoldEnoughForRun());
    ZentrovaAPI.Pump1.Volume = 24.9;
    EXPECT_FALSE(module->PumpsHoldEnoughForRun());
    module->Method.flushMethod = true;
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

TEST_F(InstrumentSimTest, EnableSendsTheHeaterCommandsInOrder) {
    saveMethod("Hydrolysis", "60", "130.5", "30", "0.4", "0.3");
    saveSequence("Amino", {"Hydrolysis"});
    create();
    module->Sequence.Name = "Amino";
    ASSERT_TRUE(module->EnableInstrument());
    EXPECT_TRUE(module->Enabled);
    EXPECT_EQ(sent(), (Cmds{"CHMAX 125.0", "CSETPOINT 60.0", "CHEAT ON", "RHMAX 135.0", "RSETPOINT 130.5",
                            "RHEAT ON"}));
    EXPECT_DOUBLE_EQ(module->GetColumnSetPoint(), 60.0);
    EXPECT_DOUBLE_EQ(module->GetReactorSetPoint(), 130.5);
    EXPECT_TRUE(sim.instrument().column().heat);
    EXPECT_DOUBLE_EQ(sim.instrument().reactor().setPoint, 130.5);
    EXPECT_DOUBLE_EQ(sim.instrument().column().hmax, 125.0);

    // A small set point keeps its four places.
    saveMethod("Hydrolysis", "5", "9", "30", "0.4", "0.3");
    ASSERT_TRUE(module->EnableInstrument());
    EXPECT_EQ(sent(), (Cmds{"CHMAX 125.0", "CSETPOINT  5.0", "CHEAT ON", "RHMAX 135.0", "RSETPOINT  9.0",
                            "RHEAT ON"}));
}

TEST_F(InstrumentSimTest, EnableWithAnUnreadableTemperatureSendsNothing) {
    saveMethod("M", "abc", "130", "30", "0.4", "0.3");
    saveSequence("S", {"M"});
    create();
    module->Sequence.Name = "S";
    EXPECT_FALSE(module->EnableInstrument());
    EXPECT_FALSE(module->Enabled);
    EXPECT_EQ(module->EnableErrorText, "Default Column Temperature not readable!");
    EXPECT_TRUE(sent().empty());
    EXPECT_DOUBLE_EQ(module->GetColumnSetPoint(), -100.0);

    saveMethod("M", "60", "", "30", "0.4", "0.3");
    EXPECT_FALSE(module->EnableInstrument());
    EXPECT_EQ(module->EnableErrorText, "Default Reactor Temperature not readable!");
    EXPECT_TRUE(sent().empty());

    // Both unreadable: the reactor's reason is the last one.
    saveMethod("M", "hot", "hotter", "30", "0.4", "0.3");
    EXPECT_FALSE(module->EnableInstrument());
    EXPECT_EQ(module->EnableErrorText, "Default Reactor Temperature not readable!");
    EXPECT_TRUE(sent().empty());
}

TEST_F(InstrumentSimTest, EnableWithoutAUsableSequenceSendsNothing) {
    create();
    EXPECT_FALSE(module->EnableInstrument());
    EXPECT_EQ(module->EnableErrorText, "Default Method Not Specified or Incorrect!");
    module->Sequence.Name = "Nowhere";
    EXPECT_FALSE(module->EnableInstrument());
    EXPECT_EQ(module->EnableErrorText, "Default Method Not Specified or Incorrect!");
    saveSequence("Empty", {});
    module->Sequence.Name = "Empty";
    EXPECT_FALSE(module->EnableInstrument());
    EXPECT_EQ(module->EnableErrorText, "Default Method Not Specified or Incorrect!");
    EXPECT_TRUE(sent().empty());
    EXPECT_FALSE(module->Enabled);
}

TEST_F(InstrumentSimTest, EnableReadsTemperaturesWithTheLocaleSeparator) {
    setDecimalSeparator(',');
    saveMethod("M", "60,5", "130", "30", "0,4", "0,3");
    saveSequence("S", {"M"});
    create();
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
    EXPECT_DOUBLE_EQ(module->GetReactorSetPoint(), -100.0);

    // Both pumps dispensing, the column fan on.
    module->Channel1->PumpForward(1.0);
    module->Channel2->PumpForward(0.5);
    ZentrovaAPI.Column.SetColumnFan(true);
    link->tick();
    link->takeSent();
    EXPECT_GT(module->GetPump1Rate(), 0.0);
    EXPECT_GT(module->GetPump2Rate(), 0.0);
    module->DisableInstrument();
    EXPECT_EQ(sent(), (Cmds{"CHEAT OFF", "RHEAT OFF", "OFF 0", "OFF 2", "CFAN OFF", "DOOR CLOSE"}));
    EXPECT_FALSE(sim.instrument().columnFan());
    link->tick();
    EXPECT_DOUBLE_EQ(module->GetPump1Rate(), 0.0);
}

TEST_F(InstrumentSimTest, DisableOnASinglePumpInstrumentStillStopsAMovingPumpTwo) {
    create();
    module->SinglePump = true;
    ZentrovaAPI.Pump2.State = 1;
    ZentrovaAPI.Pump2.ForwardRate = 0.3;
    ZentrovaAPI.Pump1.State = 2;  // aspirating: a rate above 0 too
    ZentrovaAPI.Pump1.ReverseRate = 5;
    module->DisableInstrument();
    EXPECT_EQ(sent(), (Cmds{"CHEAT OFF", "RHEAT OFF", "OFF 0", "OFF 2"}));
}

TEST_F(InstrumentSimTest, GettersReadTheParsedStatus) {
    sim.instrument().pump(1).volume = 33.5;
    sim.instrument().pump(2).volume = 12.25;
    sim.instrument().column().temperatureOverride = 61.2;
    sim.instrument().reactor().temperatureOverride = 84.5;
    sim.instrument().setRelay(true);
    sim.instrument().config().singlePump = false;
    link->poll();
    create();
    EXPECT_DOUBLE_EQ(module->GetPump1Volume(), 33.5);
    EXPECT_DOUBLE_EQ(module->GetPump2Volume(), 12.25);
    EXPECT_NEAR(module->GetColumnTemperature(), 61.2, 1e-9);
    EXPECT_NEAR(module->GetReactorTemperature(), 84.5, 1e-9);
    EXPECT_TRUE(module->GetRelayInput());
    EXPECT_EQ(module->GetInstrumentNumber(), 12345u);
    EXPECT_EQ(module->GetVersionText(), "FW version 2.14; CPLD version 1.07");
    EXPECT_DOUBLE_EQ(module->GetPump1Pressure(), 0.0);

    sim.control("single-pump on");
    link->poll();
    module->SyncPumpCount();
    EXPECT_TRUE(module->SinglePump);
}

// ---------------------------------------------------------------- run seconds, window, log header

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
    // Equilibration over: 0.
    clock.fake.advanceSeconds(600);
    module->RunState = 17;
    EXPECT_EQ(module->GetRunSeconds(), 0);
}

TEST_F(InstrumentTest, ServiceWindowControlsAndCoolingDelta) {
    standardSettings();
    create();
    EXPECT_EQ(module->GetCaption(), "Instrument");
    EXPECT_EQ(module->DeltaValue->text(), "5");
    EXPECT_TRUE(module->Forced5MinChkBox->isChecked());
    EXPECT_FALSE(module->RecFanAlwaysOn->isChecked());
    EXPECT_EQ(module->RefillVol1->text(), "N/I");
    EXPECT_FALSE(module->isVisible());

    module->DeltaValue->setText("7");
    EXPECT_DOUBLE_EQ(module->CoolingDelta, 7.0);
    EXPECT_EQ(module->DeltaRealValue->text(), "7");
    module->DeltaValue->setText("2.5");
    EXPECT_DOUBLE_EQ(module->CoolingDelta, 0.0) << "not a whole number";
    EXPECT_EQ(module->DeltaRealValue->text(), "0");
    module->DeltaValue->setText("$10");
    EXPECT_DOUBLE_EQ(module->CoolingDelta, 16.0);
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
    EXPECT_NE(header.find("\nInstrument S/N: 4711\n"), std::string::npos) << header;
    EXPECT_NE(header.find("\nFW version 3.1; CPLD version 9\n"), std::string::npos);
    EXPECT_NE(header.find("\nConnection type: 1; IP address: 192.168.7.9\n"), std::string::npos);
    EXPECT_NE(header.find("\nCurrent Sequence: Amino\n"), std::string::npos);
    EXPECT_NE(header.find("\nCurrent Method:   Hydrolysis\n"), std::string::npos);
    module.reset();
    EXPECT_EQ(log->WriteHeader().find("Amino"), std::string::npos) << "no source after the state is gone";
}

}  // namespace
