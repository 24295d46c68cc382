// The instrument state: stored settings, connection steps, the current method and sequence,
// refill volumes, enable and disable (the commands as the simulated instrument receives them)
// and the log header.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTimer>
#include <cstring>

#include "link/FTDI.h"
#include "link/FZentrova.h"
#include "link/pty_pair.h"
#include "link/support_runharness.h"
#include "platform/D2xx.h"
#include "platform/i18n.h"
#include "support/StoredMethods.h"

namespace {

class InstrumentTest : public MachineTest {
  protected:
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
        m.ColumnT = columnT, m.ReactorT = reactorT, m.Runtime = runtime;
        m.Pump1Flow = flow1, m.Pump2Flow = flow2, m.flushMethod = flush;
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
};

// ---------------------------------------------------------------- settings and connection

TEST_F(InstrumentTest, SettingsComeFromTheInstancesKey) {
    // Another instance has its own key, here without a readable connect method: TCP with a box;
    // without a refill speed: 55, silently.
    setInstance("2");
    EXPECT_EQ(TStoredParams::InstrumentRegistryKey(), "\\Software\\TressivanLabs\\Zentrova\\Instrument2");
    for (auto [connect, speed] :
         {std::pair{std::string(), std::string()}, {std::string("3"), std::string("30")}}) {
        if (!connect.empty()) setting("ConnectMethod", connect), setting("RefillSpeed", speed);
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
    // A new refill speed is not copied into the channels: each procedure start does that.
    setting("RefillSpeed", 20);
    m().ReloadSettings();
    EXPECT_EQ(m().RefillSpeed, 20);
    EXPECT_EQ(m().Channel1->Speed, 40);
    // The cooling delta reads a whole number, in the base its prefix gives.
    for (auto [text, delta] : {std::pair{"7", 7.0}, {"2.5", 0.0}, {"$10", 16.0}}) {
        m().DeltaValue->setText(text);
        EXPECT_DOUBLE_EQ(m().CoolingDelta, delta) << text;
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

// ---------------------------------------------------------------- enable, disable, log header

TEST_F(InstrumentTest, EnableSendsTheHeaterCommandsOrNothing) {
    sequence("Empty", {});
    const struct {
        const char *sequence, *columnT, *reactorT, *error, *cmds;
    } cases[] = {
        {"S", "60", "130.5", "", "CHMAX 125.0;CSETPOINT 60.0;CHEAT ON;RHMAX 135.0;RSETPOINT 130.5;RHEAT ON;"},
        {"S", "abc", "130", "Default Column Temperature not readable!", ""},
        {"S", "hot", "", "Default Reactor Temperature not readable!", ""},
        {"", "60", "130", "Default Method Not Specified or Incorrect!", ""},
        {"Nowhere", "60", "130", "Default Method Not Specified or Incorrect!", ""},
        {"Empty", "60", "130", "Sequence \"Empty\" has no lines.", ""},
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
    EXPECT_EQ(sent(), "CSETPOINT 60.0;CHEAT OFF;RHEAT OFF;") << "nothing moves, no fan";
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

}  // namespace
