// Data packets cut from what a loopback peer sends to a network port (telnet off, so
// every byte arrives as sent).
#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "ports/ZpDataPacket.h"
#include "ports/ZpWinsockPort.h"
#include "ports/net_peer.h"

using netpeer::pumpUntil;

namespace {

class Packets : public ::testing::Test {
  protected:
    void SetUp() override {
        port.SetDeviceLayer(dlWinsock);
        port.SetWsTelnet(false);
        port.SetWsAddress("127.0.0.1");
        port.SetWsPort(std::to_string(peer.port));
        connected = 0;
        port.OnWsConnect = [this](TZpCustomWinsockPort*) { ++connected; };
        port.SetOpen(true);
        fd = peer.accept();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(pumpUntil([&] { return connected == 1; }));
    }
    void TearDown() override {
        packets.clear();
        port.SetOpen(false);
        if (fd >= 0) ::close(fd);
    }
    // A packet on the port that records its packets.
    TZpDataPacket* make(const std::string& start, TPacketEndSet end, int32_t size = 0,
                        const std::string& endStr = "") {
        packets.push_back(std::make_unique<TZpDataPacket>());
        TZpDataPacket* p = packets.back().get();
        p->SetComPort(&port);
        p->SetStartString(start);
        p->SetStartCond(start.empty() ? scAnyData : scString);
        p->SetEndCond(end);
        p->SetPacketSize(size);
        p->SetEndString(endStr);
        p->OnStringPacket = [this, p](TZpDataPacket*, const std::string& d) { got[p].push_back(d); };
        return p;
    }
    void send(const std::string& s) {
        netpeer::writeAll(fd, s);
        netpeer::pumpFor(60);
    }
    netpeer::Listener peer;
    TZpWinsockPort port;
    int fd = -1;
    int connected = 0;
    std::vector<std::unique_ptr<TZpDataPacket>> packets;
    std::map<TZpDataPacket*, std::vector<std::string>> got;
};

}  // namespace

TEST_F(Packets, StartAndEndConditionsCutThePackets) {
    const struct Case {
        std::string start;
        TPacketEndSet end;
        int32_t size;
        std::string endStr;
        bool ignoreCase, include;
        std::vector<std::string> sends, packets;
    } cases[] = {
        {"A?C", ecPacketSize, 5, "", true, true, {"xxAbCdeYY"}, {"AbCde"}},  // ? is any byte
        {"A\\?C", ecPacketSize, 5, "", true, true, {"AbCde", "zA?C12"}, {"A?C12"}},  // \? is a ?
        {"abc", ecPacketSize, 4, "", true, true, {"ABCD"}, {"ABCD"}},
        {"abc", ecPacketSize, 4, "", false, true, {"ABCDabcd"}, {"abcd"}},
        {"ST", ecPacketSize, 6, "", true, true, {"noiseST1234rest"}, {"ST1234"}},  // size counts the start
        {"<", ecString, 0, ">", true, true, {"zz<hel", "lo>tail<a>"}, {"<hello>", "<a>"}},
        {"<", ecString, 0, ">", true, false, {"<inner>"}, {"inner"}},
        {"", ecPacketSize, 3, "", true, true, {"abcdefg", "hi"}, {"abc", "def", "ghi"}},
    };
    for (const Case& c : cases) {
        TZpDataPacket* p = make(c.start, c.end, c.size, c.endStr);
        p->SetIgnoreCase(c.ignoreCase);
        p->SetIncludeStrings(c.include);
        p->SetEnabled(true);
        for (const std::string& s : c.sends) send(s);
        pumpUntil([&] { return got[p].size() >= c.packets.size(); });
        EXPECT_EQ(got[p], c.packets) << c.start << " " << c.sends[0];
        p->SetEnabled(false);
    }
}

TEST_F(Packets, WhileOneCollectsTheOthersPartialMatchIsCancelled) {
    TZpDataPacket* first = make("AB", ecString, 0, "!");
    TZpDataPacket* second = make("ABX", ecPacketSize, 3);
    first->SetEnabled(true);
    second->SetEnabled(true);
    send("ABX12!");
    ASSERT_TRUE(pumpUntil([&] { return got[first].size() == 1; }));
    EXPECT_EQ(got[first][0], "ABX12!");
    EXPECT_TRUE(got[second].empty());
}

TEST_F(Packets, TimeOutHandsOverTheBytesAndFlushesThem) {
    FakeClockGuard clock;
    TZpDataPacket* p = make("<", ecString, 0, ">");
    p->SetTimeOut(10);
    std::string timedOut;
    int timeouts = 0;
    p->OnTimeout = [&](TZpDataPacket* s) {
        ++timeouts;
        s->GetCollectedString(timedOut);
    };
    p->SetEnabled(true);
    send("<abc");
    clock.fake.advanceMs(2000);
    ASSERT_TRUE(pumpUntil([&] { return timeouts == 1; }));
    EXPECT_EQ(timedOut, "<abc");
    send("x>");  // the flushed start is gone: no packet from it
    EXPECT_TRUE(got[p].empty());
    send("<y>");
    ASSERT_TRUE(pumpUntil([&] { return got[p].size() == 1; }));
    EXPECT_EQ(got[p][0], "<y>");
}

TEST_F(Packets, ConfigurationErrors) {
    auto code = [](TZpDataPacket* p) {
        try {
            p->SetEnabled(true);
        } catch (const EInvalidProperty& e) {
            return e.ErrorCode;
        }
        return 0;
    };
    EXPECT_EQ(code(make("", ecPacketSize, 3) /* any data is fine */), 0);
    TZpDataPacket* noStart = make("x", ecPacketSize, 3);
    noStart->SetStartString("");
    EXPECT_EQ(code(noStart), -5501);
    EXPECT_EQ(code(make("toolong", ecPacketSize, 3)), -5502);
    EXPECT_EQ(code(make("", 0)), -5503);
    EXPECT_EQ(code(make("s", ecString, 0, "")), -5504);
    TZpDataPacket* zero = make("", ecPacketSize, 0);
    EXPECT_EQ(code(zero), -5505);
    EXPECT_FALSE(zero->GetEnabled());
}

TEST_F(Packets, WaitForStringPumpsUntilThePacketArrives) {
    TZpDataPacket* p = make("", ecPacketSize, 4);
    netpeer::writeAll(fd, "wxyz");
    std::string s;
    EXPECT_TRUE(p->WaitForString(s));
    EXPECT_EQ(s, "wxyz");
    EXPECT_FALSE(p->GetAutoEnable());
}

TEST_F(Packets, PacketsStopWhenThePortCloses) {
    TZpDataPacket* p = make("", ecPacketSize, 2);
    p->SetEnabled(true);
    port.SetOpen(false);
    EXPECT_FALSE(p->GetEnabled());
    ::close(fd);
    fd = -1;
    // Reopening re-arms the packet.
    connected = 0;
    port.SetOpen(true);
    fd = peer.accept();
    ASSERT_TRUE(pumpUntil([&] { return connected == 1; }));
    EXPECT_TRUE(p->GetEnabled());
    send("ok");
    ASSERT_TRUE(pumpUntil([&] { return got[p].size() == 1; }));
    EXPECT_EQ(got[p][0], "ok");
}
