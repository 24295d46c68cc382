#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <functional>
#include <string>
#include <vector>

#include "link/ZentrovaAPI.h"

namespace {

class FakeLink : public ZentrovaLink {
  public:
    void QueueCommand(const std::string& line) override { queued.push_back(line); }
    void ClearQueue() override { ++clears; }
    void SetStatusQuery(const std::string& q) override { query = q; }
    std::string_view LastLine() const override { return last; }
    void SetOnStatusLine(std::function<void()> h) override { handler = std::move(h); }

    // Delivers a line as the link window does.
    void receive(const std::string& line) {
        last = line;
        if (handler) handler();
    }

    std::vector<std::string> queued;
    int clears = 0;
    std::string query;
    std::string last;
    std::function<void()> handler;
};

class Protocol : public ::testing::Test {
  protected:
    void SetUp() override { TZentrovaAPI::SetLink(&link); }
    void TearDown() override { TZentrovaAPI::SetLink(nullptr); }

    std::string sent() {
        if (link.queued.empty()) return "<nothing>";
        std::string s = link.queued.back();
        link.queued.clear();
        return s;
    }

    FakeLink link;
    TZentrovaAPI api;
};

// Every reading of the API, to check that a rejected line changes none of them.
std::string snapshot(const TZentrovaAPI& a) {
    std::string s;
    auto add = [&](double v) { s += std::to_string(v) + "|"; };
    for (const TPump* p : {&a.Pump1, &a.Pump2}) {
        add(p->Volume), add(p->Pressure), add(p->State), add(p->LimitA), add(p->LimitB);
    }
    for (const TValve* v : {&a.Valve1, &a.Valve2}) add(v->Position), add(v->InPosition);
    add(a.Column.Temperature), add(a.Reactor.Temperature), add(a.RelayInput), add(a.Pump2Absent);
    s += a.FirmwareVersion + std::string("|") + a.CPLDVersion + "|" + std::to_string(a.SerialNumber);
    add(a.ReducedQuery), add(a.IdentityWanted);
    return s;
}

const char* const Pump1Line = "?1,1234567,1,2,1500,0,0,4,0,1,0,0,0";

}  // namespace

TEST_F(Protocol, CommandTexts) {
    api.Pump1.ChannelNumber = 1;
    api.Pump2.ChannelNumber = 2;
    api.Valve2.ValveNumber = 2;
    TPump& p1 = api.Pump1;
    TPump& p2 = api.Pump2;
    auto fwd = [&](double r) { return [&p1, r] { p1.SetForwardRate(r), p1.Forward(); }; };
    auto rvs = [&](double r) { return [&p2, r] { p2.SetReverseRate(r), p2.Reverse(); }; };
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {fwd(0.005), "MS 0 1;ML 0 0.005;FWD 0"},
        {fwd(0.01), "MS 0 1;ML 0 0.01;FWD 0"},
        {fwd(5), "MS 0 1;ML 0 5.00;FWD 0"},
        {fwd(9.999), "MS 0 1;ML 0 10.00;FWD 0"},  // rounded by the format, chosen by the rate
        {fwd(10), "MS 0 32;ML 0 10.00;FWD 0"},
        {fwd(0), "OFF 0"},
        {fwd(-1), "OFF 0"},
        {fwd(nan), "OFF 0"},
        {fwd(inf), "OFF 0"},
        {rvs(0.3), "MS 2 1;ML 2 0.30;RVS 2"},
        {rvs(10), "MS 2 32;ML 2 10.00;RVS 2"},
        {rvs(0.001), "MS 2 1;ML 2 0.001;RVS 2"},
        {rvs(-2), "MS 2 1;ML 2 -2.000;RVS 2"},  // no test for r <= 0 on the way back
        {rvs(nan), "OFF 2"},
        {[&] { p2.Off(); }, "OFF 2"},
        {[&] { p1.SetStopPressure(3500); }, "STOPPRESSURE 1 3500.00"},
        {[&] { p2.SetStopPressure(0.5); }, "STOPPRESSURE 2 0.50"},
        {[&] { p2.SetStopPressure(nan); }, "<nothing>"},
        {[&] { api.Valve2.MoveTo(4); }, "VALVE 2 4"},
        {[&] { api.Column.SetSetPoint(5); }, "CSETPOINT  5.0"},
        {[&] { api.Column.SetSetPoint(60); }, "CSETPOINT 60.0"},
        {[&] { api.Column.SetHMax(125); }, "CHMAX 125.0"},
        {[&] { api.Column.SetHeat(true); }, "CHEAT ON"},
        {[&] { api.Column.SetForceHeat(true); }, "CFORCEHEAT ON"},
        {[&] { api.Column.SetForceHeat(false); }, "CFORCEHEAT OFF"},
        {[&] { api.Reactor.SetSetPoint(85.25); }, "RSETPOINT 85.2"},
        {[&] { api.Reactor.SetSetPoint(nan); }, "<nothing>"},
        {[&] { api.Reactor.SetHMax(135); }, "RHMAX 135.0"},
        {[&] { api.Reactor.SetHeat(true); }, "RHEAT ON"},
        {[&] { api.Reactor.SetForceHeat(true); }, "RFORCEHEAT ON"},
        {[&] { api.Reactor.SetForceHeat(false); }, "RFORCEHEAT OFF"},
        {[&] { api.Column.SetRecircFan(true); }, "RFAN ON"},
        {[&] { api.Column.SetRecircFan(false); }, "RFAN OFF"},
        {[&] { api.Column.SetDoor(true); }, "DOOR OPEN"},
        {[&] { api.Column.SetDoor(false); }, "DOOR CLOSE"},
        {[&] { api.Column.SetColumnFan(true); }, "CFAN ON"},
        {[&] { api.Column.SetColumnFan(false); }, "CFAN OFF"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        cases[i].first();
        EXPECT_EQ(sent(), cases[i].second) << "case " << i;
    }
    // Set points: a switched-off heater reads -100, a refused value keeps the old one.
    EXPECT_EQ(api.Reactor.GetSetPoint(), 85.25);
    EXPECT_EQ(api.Column.GetSetPoint(), 60.0);
    api.Column.SetHeat(false);
    api.Reactor.SetHeat(false);
    EXPECT_EQ(sent(), "RHEAT OFF");
    EXPECT_EQ(api.Column.GetSetPoint(), -100.0);
    EXPECT_EQ(api.Reactor.GetSetPoint(), -100.0);
}

TEST_F(Protocol, CommandsIgnoreTheProcessLocale) {
    // A locale with a decimal comma must not leak into commands.
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    bool have = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
    api.Pump1.SetForwardRate(2.5);
    api.Pump1.Forward();
    api.Column.SetSetPoint(42.5);
    std::setlocale(LC_NUMERIC, saved.c_str());
    ASSERT_EQ(link.queued.size(), 2u);
    EXPECT_EQ(link.queued[0], "MS 0 1;ML 0 2.50;FWD 0");
    EXPECT_EQ(link.queued[1], "CSETPOINT 42.5");
    if (!have) GTEST_LOG_(INFO) << "no decimal-comma locale installed; checked in C only";
}

TEST_F(Protocol, ValvePositionAndSettling) {
    api.Valve2.MoveTo(4);
    EXPECT_TRUE(api.ParseLine("?2,0,0,0,0,0,0,4,0,0,0,0,0"));
    EXPECT_EQ(api.Valve2.GetPosition(), 4);
    EXPECT_FALSE(api.Valve2.InPosition);  // field 9 = 0: still moving
    EXPECT_TRUE(api.ParseLine("?2,0,0,0,0,0,0,4,1,0,0,0,0"));
    EXPECT_FALSE(api.Valve2.InPosition) << "field 8 is not the settled flag";
    EXPECT_TRUE(api.ParseLine("?2,0,0,0,0,0,0,4,0,1,0,0,0"));
    EXPECT_TRUE(api.Valve2.InPosition);
    EXPECT_TRUE(api.ParseLine("?2,0,0,0,0,0,0,3,0,1,0,0,0"));
    EXPECT_FALSE(api.Valve2.InPosition);  // settled, but not where commanded
    // A new command clears in-position until the instrument reports it.
    EXPECT_TRUE(api.ParseLine("?2,0,0,0,0,0,0,4,0,1,0,0,0"));
    api.Valve2.MoveTo(4);
    EXPECT_FALSE(api.Valve2.InPosition);
    EXPECT_EQ(api.Valve1.GetPosition(), 0);  // part 2 is valve 2 only
}

TEST_F(Protocol, PumpLineReadings) {
    EXPECT_TRUE(api.ParseLine(Pump1Line));
    EXPECT_DOUBLE_EQ(api.Pump1.GetVolume(), 12.34567);
    EXPECT_DOUBLE_EQ(api.Pump1.GetPressure(), 1.5);
    EXPECT_EQ(api.Pump1.State, 1);
    EXPECT_TRUE(api.Pump1.LimitA);
    EXPECT_FALSE(api.Pump1.LimitB);
    EXPECT_EQ(api.Valve1.GetPosition(), 4);
    EXPECT_FALSE(api.Pump1.IsStopped());
    EXPECT_TRUE(api.Pump1.IsVolumeAtMost82());

    api.Pump1.SetForwardRate(1.5);
    api.Pump1.SetReverseRate(0.7);
    EXPECT_EQ(api.Pump1.GetRate(), 1.5);
    EXPECT_TRUE(api.ParseLine(">>?1,8200001,2,1,0,0,0,0,0,0,0,0,0"));
    EXPECT_EQ(api.Pump1.GetRate(), 0.7);
    EXPECT_FALSE(api.Pump1.LimitA);
    EXPECT_TRUE(api.Pump1.LimitB);
    EXPECT_FALSE(api.Pump1.IsVolumeAtMost82());
    EXPECT_TRUE(api.ParseLine("?1,8200000,0,0,0,0,0,0,0,0,0,0,0"));
    EXPECT_EQ(api.Pump1.GetRate(), 0.0);
    EXPECT_TRUE(api.Pump1.IsStopped());
    EXPECT_TRUE(api.Pump1.IsVolumeAtMost82());
    EXPECT_TRUE(api.ParseLine("?1,0,ff,0,0,0,0,0,0,0,0,0,0"));
    EXPECT_EQ(api.Pump1.GetRate(), 0.0);  // unknown state

    // Hexadecimal fields with a prefix, upper case, blanks and signs as formatted input takes them.
    EXPECT_TRUE(api.ParseLine("?2, -500,0x2, 3,-250,A,7,FF,0,1,0,0,0"));
    EXPECT_DOUBLE_EQ(api.Pump2.GetVolume(), -0.005);
    EXPECT_DOUBLE_EQ(api.Pump2.GetPressure(), -0.25);
    EXPECT_EQ(api.Pump2.State, 2);
    EXPECT_EQ(api.Valve2.GetPosition(), -1);  // low 8 bits of 0xFF
    EXPECT_TRUE(api.Pump2Absent);
    EXPECT_EQ(api.Pump1.GetVolume(), 0.0);  // part 2 leaves pump 1 alone
}

TEST_F(Protocol, Pump2AbsentFollowsLatestPart2Line) {
    EXPECT_TRUE(api.ParseLine("?2,0,0,3,0,0,0,0,0,0,0,0,0"));
    EXPECT_TRUE(api.Pump2Absent);
    EXPECT_TRUE(api.ParseLine("?1,0,0,0,0,0,0,0,0,0,0,0,0"));
    EXPECT_TRUE(api.Pump2Absent);  // part 1 does not touch it
    EXPECT_TRUE(api.ParseLine("?2,0,0,0,0,0,0,0,0,0,0,0,0"));
    EXPECT_FALSE(api.Pump2Absent);
    EXPECT_TRUE(api.ParseLine("?2,0,0,13,0,0,0,0,0,0,0,0,0"));
    EXPECT_FALSE(api.Pump2Absent);  // exactly 3, not "bits 0 and 1 set"
}

TEST_F(Protocol, HeaterLineReadings) {
    EXPECT_TRUE(api.ParseLine(">>?3,250,612,300,845,0,10,0"));
    EXPECT_DOUBLE_EQ(api.Column.GetTemperature(), 61.2);
    EXPECT_DOUBLE_EQ(api.Reactor.GetTemperature(), 84.5);
    EXPECT_TRUE(api.RelayInput);
    EXPECT_TRUE(api.ParseLine("?3,0,-15,0,1000,15,EF,0,0"));
    EXPECT_DOUBLE_EQ(api.Column.GetTemperature(), -1.5);
    EXPECT_DOUBLE_EQ(api.Reactor.GetTemperature(), 100.0);
    EXPECT_FALSE(api.RelayInput);  // 0xEF has bit 4 clear
    EXPECT_TRUE(api.ParseLine("?3,0,0,0,0,0,0x10,"));
    EXPECT_TRUE(api.RelayInput);
}

TEST_F(Protocol, IdentityLineAndQueryCycle) {
    api.OnConnectSerial();
    EXPECT_EQ(link.query, "? 0123");
    ASSERT_TRUE(link.handler);

    link.receive("?0,1.2,3.4,x,y,z,123");
    EXPECT_STREQ(api.FirmwareVersion, "1.2");
    EXPECT_STREQ(api.CPLDVersion, "3.4");
    EXPECT_EQ(api.SerialNumber, 123u);
    EXPECT_FALSE(api.ReducedQuery);
    EXPECT_FALSE(api.IdentityWanted);
    EXPECT_EQ(link.query, "? 123");
    EXPECT_EQ(api.VersionText(), "FW version 1.2; CPLD version 3.4");

    link.receive(">?0,1.2,3.4,x,y,z,123,1");
    EXPECT_TRUE(api.ReducedQuery);
    EXPECT_EQ(link.query, "? 13");

    // A reconnect asks for identity again until the next identity line.
    link.handler = nullptr;
    api.OnConnectTCPIP();
    EXPECT_EQ(link.query, "? 0123");
    ASSERT_TRUE(link.handler);
    link.receive(Pump1Line);
    EXPECT_EQ(link.query, "? 0123");
    link.receive("?0, FW 7 , CPLD,,,, 42 , 0 ,a,b,c,d");
    EXPECT_STREQ(api.FirmwareVersion, "FW 7 ");  // blanks after a comma are skipped, not before one
    EXPECT_STREQ(api.CPLDVersion, "CPLD");
    EXPECT_EQ(api.SerialNumber, 42u);
    EXPECT_FALSE(api.ReducedQuery);
    EXPECT_EQ(link.query, "? 123");
}

TEST_F(Protocol, IdentityMissingAndOddFields) {
    api.ParseLine("?0,,");
    EXPECT_STREQ(api.FirmwareVersion, "");  // an empty first field stays empty
    EXPECT_STREQ(api.CPLDVersion, "");
    EXPECT_EQ(api.SerialNumber, 0u);
    api.ParseLine("?0,a,b,c,d,e,12abc,7x");
    EXPECT_EQ(api.SerialNumber, 12u);
    EXPECT_TRUE(api.ReducedQuery);
    api.ParseLine("?0,a,b,c,d,e,99999999999,x");
    EXPECT_EQ(api.SerialNumber, 0u);  // out of range: no number
    EXPECT_FALSE(api.ReducedQuery);
    api.ParseLine("?0,1.0,2.0");
    EXPECT_FALSE(api.ParseLine("?0"));  // no fields at all: the identity is kept
    EXPECT_FALSE(api.ParseLine("?0;9.9,a,b,c,d,e"));
    EXPECT_STREQ(api.FirmwareVersion, "1.0");
}

TEST_F(Protocol, IdentityTextsAreCutAt79) {
    const std::string fw(300, 'F'), cpld(79, 'C');
    api.ParseLine("?0," + fw + "," + cpld + ",x,y,z,5");
    EXPECT_EQ(std::string(api.FirmwareVersion), std::string(79, 'F'));
    EXPECT_EQ(std::string(api.CPLDVersion), cpld);
    EXPECT_EQ(api.SerialNumber, 5u);  // the fields after the long one are still read
    // A cut never splits a multi-byte character.
    std::string wide = std::string(78, 'a') + "\xC3\xA9zz";
    api.ParseLine("?0," + wide + ",b");
    EXPECT_EQ(std::string(api.FirmwareVersion), std::string(78, 'a'));
}

TEST_F(Protocol, LinesThatAreNotStatusLinesAreIgnored) {
    const std::string before = snapshot(api);
    for (const char* l : {"", ">", ">>>", "?", "?4,1,2,3,4,5,6,7,8,9,10,11,12", "?a,1",
                          "x?1,0,0,0,0,0,0,0,0,0,0,0,0", " ?1,0,0,0,0,0,0,0,0,0,0,0,0", "OFF 0"})
        EXPECT_FALSE(api.ParseLine(l)) << l;
    EXPECT_EQ(snapshot(api), before);
}

TEST_F(Protocol, LineThatDoesNotScanKeepsAllReadings) {
    api.Valve1.CommandedPosition = 4;
    ASSERT_TRUE(api.ParseLine("?1,1234567,1,2,1500,0,0,4,0,1,0,0,0"));
    ASSERT_TRUE(api.ParseLine("?2,500,2,3,700,0,0,2,0,1,0,0,0"));
    ASSERT_TRUE(api.ParseLine("?3,250,612,300,845,0,10,0"));
    const std::string before = snapshot(api);
    for (const char* l : {
             "?1,,,,,,,,,,,,",                           // empty fields
             "?1,99,1,2,1500,0,0,4,0,1,0,zz,0",          // field 11 does not convert
             "?1,99,1,2,1500,0,0,4,0,1,0",               // too few fields
             "?1,99999999999,1,2,1500,0,0,4,0,1,0,0,0",  // volume out of range
             "?1,99,1,2,1500,0,0,4,0,1,0,100000000,0",   // hexadecimal beyond 32 bits
             "?1,2147483648,1,2,1500,0,0,4,0,1,0,0,0",   // one past the largest integer
             "?2,1.5,1,0,0,0,0,0,0,0,0,0,0",             // a decimal point is not an integer
             "?2;1,1,0,0,0,0,0,0,0,0,0,0,0",             // the comma is part of the grammar
             "?3,250,612,300,845,0,xyz,0",               // flags do not convert
             "?3,250,612,300,845,0",                     // flags missing
             "?3,1,2,3,4,5 6,7,8",                       // blank where a comma belongs
             "?3,-,1,2,3,4,5,6",                         // a sign without digits
         })
        EXPECT_FALSE(api.ParseLine(l)) << l;
    EXPECT_EQ(snapshot(api), before);
    EXPECT_TRUE(api.ParseLine("?1,-2147483648,0,0,2147483647,0,0,0,0,0,0,0,0"));  // the extremes fit
    EXPECT_DOUBLE_EQ(api.Pump1.GetPressure(), 2147483.647);
}

TEST_F(Protocol, NulAndLongLinesAreCutLikeTheLineBuffer) {
    std::string l = "?3,250,612,300,845,0,10,0";
    l[9] = '\0';  // "?3,250,61" then NUL: too few fields
    const std::string before = snapshot(api);
    EXPECT_FALSE(api.ParseLine(l));
    EXPECT_EQ(snapshot(api), before);

    // Fields beyond the 4000th character are not seen.
    std::string longLine = "?3,250,612,300,845,0," + std::string(4000 - 21, '0') + "10";
    EXPECT_TRUE(api.ParseLine(longLine));
    EXPECT_FALSE(api.RelayInput);
    std::string prompts = std::string(5000, '>') + "?3,250,612,300,845,0,10,0";
    EXPECT_FALSE(api.ParseLine(prompts));
}
