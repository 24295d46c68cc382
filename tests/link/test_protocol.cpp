// The instrument's protocol: the command texts, the status-line grammar and its readings, the
// identity and query cycle, and the command queue that carries the commands to the link.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "link/CommandQueue.h"
#include "link/LogFile.h"
#include "link/ZentrovaAPI.h"
#include "platform/Clock.h"
#include "support/TempEnv.h"

namespace {

class FakeLink : public ZentrovaLink {
  public:
    void QueueCommand(const std::string& line) override { queued.push_back(line); }
    void ClearQueue() override {}
    void SetStatusQuery(const std::string& q) override { query = q; }
    std::string_view LastLine() const override { return last; }
    void SetOnStatusLine(std::function<void()> h) override { handler = std::move(h); }
    // Delivers a line as the link window does.
    void receive(const std::string& line) {
        last = line;
        if (handler) handler();
    }
    std::vector<std::string> queued;
    std::string query, last;
    std::function<void()> handler;
};

class Protocol : public ::testing::Test {
  protected:
    void SetUp() override { TZentrovaAPI::SetLink(&link); }
    void TearDown() override { TZentrovaAPI::SetLink(nullptr); }
    std::string sent() {
        const std::string s = link.queued.empty() ? "<nothing>" : link.queued.back();
        link.queued.clear();
        return s;
    }
    FakeLink link;
    TZentrovaAPI api;
};

// The readings of the part a status line carries.
std::string readings(const TZentrovaAPI& a, char part) {
    std::ostringstream s;
    if (part == '0') return a.VersionText() + " " + std::to_string(a.SerialNumber);
    if (part == '3') {
        s << a.Column.GetTemperature() << ' ' << a.Reactor.GetTemperature() << (a.RelayInput ? " relay" : "");
        return s.str();
    }
    const TPump& p = part == '1' ? a.Pump1 : a.Pump2;
    const TValve& v = part == '1' ? a.Valve1 : a.Valve2;
    s << p.GetVolume() << " ml " << p.GetPressure() << " bar rate " << p.GetRate() << (p.LimitA ? " A" : "")
      << (p.LimitB ? " B" : "") << " valve " << int(v.GetPosition()) << (v.IsInPosition() ? " in" : "")
      << (a.Pump2Absent ? " absent" : "");
    return s.str();
}

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
        {fwd(9.999), "MS 0 1;ML 0 10.00;FWD 0"},  // rounded by the format, chosen by the rate
        {fwd(10), "MS 0 32;ML 0 10.00;FWD 0"},
        {fwd(inf), "OFF 0"},
        {rvs(0.3), "MS 2 1;ML 2 0.30;RVS 2"},
        {rvs(nan), "OFF 2"},
        {[&] { p2.SetStopPressure(nan); }, "<nothing>"},
        {[&] { api.Column.SetSetPoint(5); }, "CSETPOINT  5.0"},
        {[&] { api.Column.SetForceHeat(true); }, "CFORCEHEAT ON"},
        {[&] { api.Reactor.SetSetPoint(85.25); }, "RSETPOINT 85.2"},
        {[&] { api.Reactor.SetSetPoint(nan); }, "<nothing>"},
        {[&] { api.Reactor.SetForceHeat(false); }, "RFORCEHEAT OFF"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        cases[i].first();
        EXPECT_EQ(sent(), cases[i].second) << "case " << i;
    }
    // A switched-off heater's set point reads -100; a refused value keeps the old one.
    EXPECT_EQ(api.Reactor.GetSetPoint(), 85.25);
    api.Reactor.SetHeat(false);
    EXPECT_EQ(api.Reactor.GetSetPoint(), -100.0);
    // A locale with a decimal comma must not leak into commands.
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    const bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
    fwd(2.5)();
    const std::string text = sent();
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(text, "MS 0 1;ML 0 2.50;FWD 0");
    if (!comma) GTEST_LOG_(INFO) << "no decimal-comma locale installed; checked in C only";
}

// Each status line sets the readings of its part; a line that does not scan changes none.
TEST_F(Protocol, StatusLinesSetTheirPartsReadingsOrNone) {
    api.Valve1.MoveTo(4);
    api.Valve2.MoveTo(4);
    api.Pump2.SetForwardRate(1.5);
    api.Pump2.SetReverseRate(0.7);
    const struct {
        std::string line;
        const char* readings;  // nullptr: refused
    } cases[] = {
        {"?1,1234567,1,2,1500,0,0,4,0,1,0,0,0", "12.3457 ml 1.5 bar rate 0 A valve 4 in"},
        {"?2,0,1,0,0,0,0,4,1,0,0,0,0", "0 ml 0 bar rate 1.5 valve 4"},  // field 8 is not the settled flag
        {"?2,0,2,0,0,0,0,4,0,1,0,0,0", "0 ml 0 bar rate 0.7 valve 4 in"},
        {"?2,0,ff,0,0,0,0,3,0,1,0,0,0", "0 ml 0 bar rate 0 valve 3"},  // settled, not where commanded
        {">>?2,8200001,0,1,0,0,0,0,0,0,0,0,0", "82 ml 0 bar rate 0 B valve 0"},
        {"?2,0,0,3,0,0,0,0,0,0,0,0,0", "0 ml 0 bar rate 0 A B valve 0 absent"},
        {"?1,0,0,0,0,0,0,0,0,0,0,0,0", "0 ml 0 bar rate 0 valve 0 absent"},  // part 1 leaves it
        {"?2,0,0,13,0,0,0,0,0,0,0,0,0", "0 ml 0 bar rate 0 A B valve 0"},    // exactly 3, not bits 0 and 1
        // Hexadecimal with a prefix, upper case, blanks and signs as formatted input takes them.
        {"?2, -500,0x2, 3,-250,A,7,FF,0,1,0,0,0", "-0.005 ml -0.25 bar rate 0.7 A B valve -1 absent"},
        {"?1,-2147483648,0,0,2147483647,0,0,0,0,0,0,0,0",
         "-21474.8 ml 2.14748e+06 bar rate 0 valve 0 absent"},
        {">>?3,250,612,300,845,0,10,0", "61.2 84.5 relay"},
        {"?3,0,-15,0,1000,15,EF,0,0", "-1.5 100"},  // 0xEF has bit 4 clear
        {"?3,0,0,0,0,0,0x10,", "0 0 relay"},
        {"?3,250,612,300,845,0," + std::string(4000 - 21, '0') + "10", "61.2 84.5"},  // the rest unseen
        {"?0,1.0,2.0,x,y,z,5", "FW version 1.0; CPLD version 2.0 5"},
        {"", nullptr},
        {">>>", nullptr},
        {"?", nullptr},
        {"?4,1,2,3,4,5,6,7,8,9,10,11,12", nullptr},
        {"?a,1", nullptr},
        {"x?1,0,0,0,0,0,0,0,0,0,0,0,0", nullptr},
        {" ?1,0,0,0,0,0,0,0,0,0,0,0,0", nullptr},
        {"?0", "FW version ; CPLD version  0"},                    // every field missing: empty texts and 0
        {"?0;9.9,a,b,c,d,e", "FW version 9.9; CPLD version a 0"},  // any character after the part digit
        {"?0 9.9,a,b,c,d,77", "FW version 9.9; CPLD version a 77"},
        {"?1,,,,,,,,,,,,", nullptr},                          // empty fields
        {"?1,99,1,2,1500,0,0,4,0,1,0,zz,0", nullptr},         // field 11 does not convert
        {"?1,99,1,2,1500,0,0,4,0,1,0,100000000,0", nullptr},  // hexadecimal beyond 32 bits
        {"?1,2147483648,1,2,1500,0,0,4,0,1,0,0,0", nullptr},  // one past the largest integer
        {"?2,1.5,1,0,0,0,0,0,0,0,0,0,0", nullptr},            // a decimal point is not an integer
        {"?2;1,1,0,0,0,0,0,0,0,0,0,0,0", "1e-05 ml 0 bar rate 1.5 valve 0"},  // not only a comma
        {"?3 250,612,300,845,0,10,0", "61.2 84.5 relay"},
        {"?3,250,612,300,845,0,xyz,0", nullptr},                   // flags do not convert
        {"?3,1,2,3,4,5 6,7,8", nullptr},                           // blank where a comma belongs
        {"?3,-,1,2,3,4,5,6", nullptr},                             // a sign without digits
        {std::string("?3,250,61\0,300,845,0,10,0", 25), nullptr},  // cut at the NUL: too few fields
        {std::string(5000, '>') + "?3,250,612,300,845,0,10,0", nullptr},
    };
    auto all = [&] {
        return readings(api, '0') + readings(api, '1') + readings(api, '2') + readings(api, '3');
    };
    for (const auto& c : cases) {
        const std::string before = all();
        EXPECT_EQ(api.ParseLine(c.line), c.readings != nullptr) << c.line.substr(0, 60);
        const size_t part = c.line.find('?') + 1;
        EXPECT_EQ(c.readings ? readings(api, c.line.at(part)) : all(), c.readings ? c.readings : before)
            << c.line.substr(0, 60);
    }
}

TEST_F(Protocol, IdentityLinesAndTheQueryCycle) {
    api.OnConnectSerial();
    EXPECT_EQ(link.query, "? 0123");
    ASSERT_TRUE(link.handler);
    link.receive("?0,1.2,3.4,x,y,z,123");
    EXPECT_EQ(link.query, "? 123");
    EXPECT_EQ(api.VersionText(), "FW version 1.2; CPLD version 3.4");
    link.receive(">?0,1.2,3.4,x,y,z,123,1");
    EXPECT_EQ(link.query, "? 13");
    // A reconnect asks for the identity again until the next identity line.
    link.handler = nullptr;
    api.OnConnectTCPIP();
    EXPECT_EQ(link.query, "? 0123");
    link.receive("?1,1234567,1,2,1500,0,0,4,0,1,0,0,0");
    EXPECT_EQ(link.query, "? 0123");
    link.receive("?0,a,b,c,d,e,7");
    EXPECT_EQ(link.query, "? 123");

    const std::string fw(300, 'F'), cut = std::string(78, 'a') + "\xC3\xA9zz";
    const struct {
        std::string line, firmware, cpld;
        uint32_t serial;
        bool reduced;
    } cases[] = {
        {"?0,,", "", "", 0, false},
        {"?0,,CPLD 2,x,y,z,9", "", "CPLD 2", 9, false},  // an empty first field stays in its place
        {"?0, FW 7 , CPLD,,,, 42 , 0 ,a,b", "FW 7 ", "CPLD", 42, false},  // blanks after a comma are skipped
        {"?0,a,b,c,d,e,12abc,7x", "a", "b", 12, true},
        {"?0,a,b,c,d,e,99999999999,x", "a", "b", 0, false},                // out of range: no number
        {"?0," + fw + ",C,x,y,z,5", std::string(79, 'F'), "C", 5, false},  // cut at 79, the rest still read
        {"?0," + cut + ",b", std::string(78, 'a'), "b", 0, false},         // never inside a character
    };
    for (const auto& c : cases) {
        api.ParseLine(c.line);
        EXPECT_EQ(std::string(api.FirmwareVersion), c.firmware) << c.line;
        EXPECT_EQ(std::string(api.CPLDVersion), c.cpld) << c.line;
        EXPECT_EQ(api.SerialNumber, c.serial) << c.line;
        EXPECT_EQ(api.ReducedQuery, c.reduced) << c.line;
    }
}

// ---------------------------------------------------------------- the command queue

TEST(CommandQueue, SplitsLinesIntoCommandsAndRefusesOverlongOnes) {
    const std::string p29(29, 'a'), p30(30, 'b');
    std::string l199;
    std::vector<std::string> pieces199;
    for (int i = 0; i < 33; ++i) l199 += "OFF 0;", pieces199.push_back("OFF 0");
    l199 += "Z", pieces199.push_back("Z");
    ASSERT_EQ(l199.size(), TCommandQueue::MaxLine);
    const struct {
        std::string line;
        std::vector<std::string> queued;
        bool ok;
    } cases[] = {
        {"MS 0 1;ML 0 0.005;FWD 0", {"MS 0 1", "ML 0 0.005", "FWD 0"}, true},
        {";A;;B ; C;", {"A", "B ", " C"}, true},  // empty pieces skipped, blanks kept
        {";;;", {}, true},
        {p29, {p29}, true},
        {"X;" + p30 + ";Y", {"X", "Y"}, true},          // a piece of 30 is dropped, its neighbours kept
        {std::string("A;B\0;C", 6), {"A", "B"}, true},  // text after a NUL is not seen
        {l199, pieces199, true},
        {l199 + "Z", {}, true},  // 200 characters: refused whole
    };
    for (const auto& c : cases) {
        TCommandQueue q;
        EXPECT_EQ(q.Add(c.line), c.ok) << c.line.substr(0, 40);
        std::vector<std::string> got;
        while (const char* s = q.Next()) got.push_back(s);
        EXPECT_EQ(got, c.queued) << c.line.substr(0, 40);
    }
}

TEST(CommandQueue, TheRingWrapsAndRefusesWhenFullWithoutLoss) {
    TCommandStack st;
    st.Push(std::string(30, 'b'));
    EXPECT_EQ(st.Count(), 0) << "a slot holds 29 characters";
    for (int i = 0; i < 150; ++i) {
        st.Push(("C" + std::to_string(i)).c_str());
        ASSERT_STREQ(st.Pop(), ("C" + std::to_string(i)).c_str());
    }
    for (int i = 0; i < 99; ++i) st.Push(("D" + std::to_string(i)).c_str());
    EXPECT_EQ(st.Count(), 99);  // across the end of the ring
    const int32_t w = st.WriteIndex();
    EXPECT_EQ(st.Push("extra"), w);
    EXPECT_TRUE(st.IsLast("D98"));
    const char* popped = st.Pop();
    EXPECT_NE(st.Push("after"), w);  // room again
    EXPECT_STREQ(popped, "D0") << "a popped command stays readable until its slot is reused";
    EXPECT_STREQ(st.Pop(), "D1");
    st.Push("again");
    EXPECT_STREQ(popped, "again");
    for (int i = 2; i < 99; ++i) ASSERT_STREQ(st.Pop(), ("D" + std::to_string(i)).c_str());
    EXPECT_STREQ(st.Pop(), "after");
    EXPECT_STREQ(st.Pop(), "again");
    EXPECT_EQ(st.Pop(), nullptr);
    EXPECT_FALSE(st.IsLast("again")) << "taken: the slot still holds it, but nothing is unread";

    // Through the queue: a line that overfills the ring keeps what fitted (the log says so,
    // below); Add answers true all the same.
    TCommandQueue q;
    for (int i = 0; i < 98; ++i) q.Add("X");
    EXPECT_TRUE(q.Add("A;B"));
    EXPECT_EQ(q.Count(), 99);
    EXPECT_TRUE(q.IsLast("A")) << "the newest, not the next";
    EXPECT_FALSE(q.IsLast("X"));
    EXPECT_TRUE(q.Clear());
    EXPECT_EQ(q.Next(), nullptr);
}

TEST(CommandQueue, RefusalsAreLoggedOncePerEpisode) {
    TempEnv env;
    FakeClockGuard clock;
    TLogFile log;
    LogFile = &log;
    TCommandQueue q;
    for (int i = 0; i < 99; ++i) q.Add("? 123");
    q.Add("OFF 0");
    q.Add("OFF 2");  // still full: not logged again
    q.Next();
    q.Add("VALVE 1 4");  // room for one
    q.Add("OFF 0");      // full again: a new episode
    q.Add(std::string(250, 'x'));
    q.Add("A;" + std::string(31, 'y'));
    LogFile = nullptr;

    std::ifstream in(log.LogPath);
    std::string refusals;
    for (std::string l; std::getline(in, l);)
        if (l.find("TCommand") != std::string::npos) refusals += l.substr(l.find("TCommand")) + "\n";
    const std::string full = "TCommandStack: queue full (99 commands waiting), command dropped: OFF 0\n";
    EXPECT_EQ(refusals,
              full + full + "TCommandQueue: command line of 250 characters refused (at most 199): " +
                  std::string(60, 'x') +
                  "...\nTCommandQueue: command of 31 characters dropped: " + std::string(31, 'y') + "\n");
}
