// The network port against plain loopback peers: connect, data both ways, telnet answers,
// refused and lost connections, garbage, bad addresses and the server mode.
#include <gtest/gtest.h>

#include <random>

#include "platform/Dialogs.h"
#include "ports/ZpWinsockPort.h"
#include "ports/net_peer.h"
#include "support/Bytes.h"

using netpeer::pumpUntil;

namespace {

// A port set up the way the instrument link uses it, recording what it reports.
struct Client {
    TZpWinsockPort port;
    std::string received;
    std::vector<uint16_t> counts;
    int connects = 0, disconnects = 0, lineErrors = 0;
    std::vector<int32_t> errors;

    Client() {
        port.SetOnTriggerAvail([this](TZpCustomComPort* cp, uint16_t count) {
            counts.push_back(count);
            for (uint16_t i = 0; i < count; ++i) received += cp->GetChar();
        });
        port.SetOnTriggerLineError([this](TZpCustomComPort*, uint16_t, bool) { ++lineErrors; });
        port.OnWsConnect = [this](TZpCustomWinsockPort*) { ++connects; };
        port.OnWsDisconnect = [this](TZpCustomWinsockPort*) { ++disconnects; };
    }
    void catchErrors() {
        port.OnWsError = [this](TZpCustomWinsockPort*, int32_t e) { errors.push_back(e); };
    }
    // The link's open step.
    void open(const std::string& addr, uint16_t tcpPort) {
        port.SetOpen(false);
        port.SetDeviceLayer(dlWinsock);
        port.SetWsPort(std::to_string(tcpPort));
        port.SetWsAddress(addr);
        port.SetWsMode(wsClient);
        port.RemoveAllTriggers();
        port.FlushInBuffer();
        port.FlushOutBuffer();
        port.SetOpen(true);
        uint16_t h = port.AddStatusTrigger(2);
        port.SetStatusTrigger(h, 15, true);
    }
};

class WinsockPort : public ::testing::Test {
  protected:
    DialogScript boxes;  // no box may appear
    void TearDown() override {
        for (auto& b : boxes.shown) ADD_FAILURE() << "box shown: " << b.text.toStdString();
    }
};

}  // namespace

TEST_F(WinsockPort, ConnectsAndCarriesDataBothWays) {
    netpeer::Listener peer;
    Client c;
    c.open("127.0.0.1", peer.port);
    EXPECT_TRUE(c.port.GetOpen());
    // Queued before the connect completes: it goes out once connected.
    c.port.PutString("? 0123\r");
    int fd = peer.accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(pumpUntil([&] { return c.connects == 1; }));
    EXPECT_TRUE(c.port.DCD());
    EXPECT_EQ(netpeer::readAtLeast(fd, 8), std::string("? 0123\r\0", 8));
    c.port.PutString("X 1\r");
    EXPECT_EQ(netpeer::readAtLeast(fd, 5), std::string("X 1\r\0", 5));
    netpeer::writeAll(fd, ">?3,1,2,3,4,5,6,7\r\n");
    ASSERT_TRUE(pumpUntil([&] { return c.received.size() >= 18; }));
    EXPECT_EQ(c.received, ">?3,1,2,3,4,5,6,7\r\n");
    int total = 0;
    for (auto n : c.counts) total += n;
    EXPECT_EQ(total, 19);
    c.port.SetOpen(false);
    EXPECT_FALSE(c.port.GetOpen());
    EXPECT_EQ(c.disconnects, 1);
    EXPECT_EQ(netpeer::readAtLeast(fd, 1, 500), "");  // the peer sees the close
    ::close(fd);
}

TEST_F(WinsockPort, AnswersTheNegotiationOfATelnetPeer) {
    netpeer::Listener peer;
    Client c;
    c.open("127.0.0.1", peer.port);
    int fd = peer.accept();
    ASSERT_TRUE(pumpUntil([&] { return c.connects == 1; }));
    netpeer::writeAll(fd,
                      bytes({255, 253, 24, 255, 251, 1, 255, 253, 3}) + "ok" + bytes({255, 255}) + "\r\n");
    ASSERT_TRUE(pumpUntil([&] { return c.received.size() >= 5; }));
    EXPECT_EQ(c.received, "ok" + bytes({255}) + "\r\n");
    EXPECT_EQ(netpeer::readAtLeast(fd, 9), bytes({255, 251, 24, 255, 253, 1, 255, 252, 3}));
    netpeer::writeAll(fd, bytes({255, 250, 24, 1, 255, 240}));
    EXPECT_EQ(netpeer::readAtLeast(fd, 11), bytes({255, 250, 24, 0}) + "vt100" + bytes({255, 240}));
    ::close(fd);
}

TEST_F(WinsockPort, PeerThatClosesClosesThePortAndANewConnectWorks) {
    netpeer::Listener peer;
    Client c;
    for (int round = 0; round < 3; ++round) {
        c.open("127.0.0.1", peer.port);
        int fd = peer.accept();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(pumpUntil([&] { return c.connects == round + 1; }));
        netpeer::writeAll(fd, "last words\n");
        ::close(fd);
        ASSERT_TRUE(pumpUntil([&] { return !c.port.GetOpen(); }));
        EXPECT_EQ(c.disconnects, round + 1);
    }
    EXPECT_EQ(c.received, "last words\nlast words\nlast words\n");
    EXPECT_EQ(c.lineErrors, 0);
}

TEST_F(WinsockPort, RefusedConnectionClosesThePortWithoutAnErrorBox) {
    uint16_t closed = netpeer::closedPort();
    Client c;
    for (int round = 0; round < 5; ++round) {
        c.open("127.0.0.1", closed);
        ASSERT_TRUE(pumpUntil([&] { return !c.port.GetOpen(); })) << round;
    }
    EXPECT_EQ(c.connects, 0);
    EXPECT_EQ(c.disconnects, 0);
    // With an error event assigned, the code reaches it.
    c.catchErrors();
    c.open("127.0.0.1", closed);
    ASSERT_TRUE(pumpUntil([&] { return !c.port.GetOpen(); }));
    ASSERT_EQ(c.errors.size(), 1u);
    EXPECT_EQ(c.errors[0], 10061);
    // And a live peer connects afterwards.
    netpeer::Listener peer;
    c.open("127.0.0.1", peer.port);
    int fd = peer.accept();
    ASSERT_TRUE(pumpUntil([&] { return c.connects == 1; }));
    EXPECT_TRUE(c.port.GetOpen());
    ::close(fd);
}

TEST_F(WinsockPort, ResetByThePeerIsNeverALineError) {
    netpeer::Listener peer;
    Client c;
    c.catchErrors();
    c.open("127.0.0.1", peer.port);
    int fd = peer.accept();
    ASSERT_TRUE(pumpUntil([&] { return c.connects == 1; }));
    linger lg{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(fd);  // a reset, not an orderly close
    ASSERT_TRUE(pumpUntil([&] { return !c.port.GetOpen(); }));
    netpeer::pumpFor(100);
    EXPECT_EQ(c.lineErrors, 0);
    ASSERT_FALSE(c.errors.empty());
    EXPECT_EQ(c.errors[0], 10054);
}

TEST_F(WinsockPort, GarbageFromThePeerIsSurvived) {
    netpeer::Listener peer;
    Client c;
    c.open("127.0.0.1", peer.port);
    int fd = peer.accept();
    ASSERT_TRUE(pumpUntil([&] { return c.connects == 1; }));
    std::mt19937 rng(7);
    std::string junk;
    for (int i = 0; i < 20000; ++i) junk += static_cast<char>(rng() & 0xFF);
    netpeer::writeAll(fd, junk);
    netpeer::writeAll(fd, bytes({255, 240}) + "\r\nEND");  // ends any subnegotiation the junk began
    ASSERT_TRUE(pumpUntil([&] { return c.received.size() >= 3 && c.received.ends_with("END"); }, 5000));
    EXPECT_TRUE(c.port.GetOpen());
    netpeer::readNow(fd);  // the answers to whatever the junk asked
    c.port.PutString("still here\r");
    EXPECT_EQ(netpeer::readAtLeast(fd, 12), std::string("still here\r\0", 12));
    ::close(fd);
}

TEST_F(WinsockPort, UnresolvableAddressFailsTheOpenQuietly) {
    Client c;
    try {
        c.open("no-such-host.invalid", 192);
        FAIL() << "no exception";
    } catch (const EZpSocketException& e) {
        EXPECT_EQ(e.ErrorCode, 9007);
        EXPECT_STREQ(e.what(), "Cannot resolve destination address");
    }
    EXPECT_FALSE(c.port.GetOpen());
    c.catchErrors();
    EXPECT_THROW(c.open("no-such-host.invalid", 192), EZPException);
    ASSERT_EQ(c.errors.size(), 1u);
    EXPECT_EQ(c.errors[0], 9007);
    EXPECT_FALSE(c.port.GetOpen());
    netpeer::Listener peer;
    c.open("127.0.0.1", peer.port);
    int fd = peer.accept();
    ASSERT_TRUE(pumpUntil([&] { return c.connects == 1; }));
    ::close(fd);
}

TEST_F(WinsockPort, CloseFromInsideTheReceiveHandlerAndReopen) {
    netpeer::Listener peer;
    Client c;
    c.port.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t count) {
        for (uint16_t i = 0; i < count; ++i) c.received += cp->GetChar();
        cp->SetOpen(false);
    });
    c.open("127.0.0.1", peer.port);
    int fd = peer.accept();
    ASSERT_TRUE(pumpUntil([&] { return c.connects == 1; }));
    netpeer::writeAll(fd, "bye");
    ASSERT_TRUE(pumpUntil([&] { return !c.port.GetOpen() && c.port.PortState() == psClosed; }));
    EXPECT_EQ(c.received, "bye");
    ::close(fd);
    c.open("127.0.0.1", peer.port);
    int fd2 = peer.accept();
    ASSERT_TRUE(pumpUntil([&] { return c.connects == 2; }));
    EXPECT_TRUE(c.port.GetOpen());
    ::close(fd2);
}

TEST_F(WinsockPort, ServerAcceptsOneClientAtATime) {
    uint16_t port = netpeer::closedPort();
    TZpWinsockPort s;
    std::string received;
    int accepts = 0, disconnects = 0;
    uint32_t fromAddr = 0;
    s.OnWsAccept = [&](TZpCustomWinsockPort*, TInAddr a, bool& ok) {
        ++accepts;
        fromAddr = a.S_addr;
        ok = true;
    };
    s.OnWsDisconnect = [&](TZpCustomWinsockPort*) { ++disconnects; };
    s.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t n) {
        for (uint16_t i = 0; i < n; ++i) received += cp->GetChar();
    });
    s.SetDeviceLayer(dlWinsock);
    s.SetWsMode(wsServer);
    s.SetWsPort(std::to_string(port));
    s.SetOpen(true);
    ASSERT_TRUE(s.GetOpen());
    auto dial = [&] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(0x7F000001);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return fd;
    };
    int fd = dial();
    ASSERT_TRUE(pumpUntil([&] { return accepts == 1; }));
    EXPECT_EQ(fromAddr, htonl(0x7F000001));
    int second = dial();
    netpeer::pumpFor(100);
    EXPECT_EQ(netpeer::readAtLeast(second, 1, 300), "");  // closed at once
    EXPECT_EQ(accepts, 1);
    netpeer::writeAll(fd, "hello");
    ASSERT_TRUE(pumpUntil([&] { return received == "hello"; }));
    s.PutString("A\r");
    EXPECT_EQ(netpeer::readAtLeast(fd, 3), std::string("A\r\0", 3));
    ::close(fd);
    ::close(second);
    ASSERT_TRUE(pumpUntil([&] { return disconnects == 1; }));
    EXPECT_TRUE(s.GetOpen());  // still listening
    int again = dial();
    ASSERT_TRUE(pumpUntil([&] { return accepts == 2; }));
    ::close(again);
    s.SetOpen(false);
}
