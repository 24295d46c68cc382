// The network port and its socket component against plain loopback peers: connect, data both
// ways, telnet answers, refused and lost connections, garbage, bad addresses, the server mode,
// bytes a send pulls in, and proxy negotiation against a small proxy in a thread of the test.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <random>
#include <thread>

#include "platform/Dialogs.h"
#include "platform/Winsock.h"
#include "ports/ZpSocket.h"
#include "ports/ZpWinsockPort.h"
#include "ports/net_peer.h"
#include "support/Bytes.h"
#include "support/EventWait.h"

using netpeer::closedPort;
using netpeer::Listener;
using netpeer::readAtLeast;
using netpeer::writeAll;

namespace {

// A port set up the way the instrument link uses it, recording what it reports.
struct Client {
    TZpWinsockPort port;
    std::string received;
    int connects = 0, disconnects = 0, lineErrors = 0;
    std::vector<int32_t> errors;
    Client() {
        port.SetOnTriggerAvail([this](TZpCustomComPort* cp, uint16_t count) {
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
        port.RemoveAllTriggers();
        port.SetOpen(true);
        port.SetStatusTrigger(port.AddStatusTrigger(2), 15, true);
    }
    // Opens to the listener and returns the accepted peer once connected.
    int connect(Listener& l) {
        const int before = connects;
        open("127.0.0.1", l.port);
        const int fd = l.accept();
        EXPECT_TRUE(waitFor([&] { return connects == before + 1; }));
        return fd;
    }
};

class Network : public ::testing::Test {
  protected:
    DialogScript boxes;  // no box may appear
    void TearDown() override {
        for (auto& b : boxes.shown) ADD_FAILURE() << "box shown: " << b.text.toStdString();
    }
};

}  // namespace

TEST_F(Network, CarriesDataBothWaysAndAnswersTelnet) {
    Listener peer;
    Client c;
    c.open("127.0.0.1", peer.port);
    c.port.PutString("? 0123\r");  // queued before the connect completes: goes out once connected
    const int fd = peer.accept();
    ASSERT_TRUE(waitFor([&] { return c.connects == 1; }));
    EXPECT_TRUE(c.port.DCD());
    EXPECT_EQ(readAtLeast(fd, 8), std::string("? 0123\r\0", 8));
    writeAll(fd, bytes({255, 253, 24, 255, 251, 1, 255, 253, 3}) + "ok" + bytes({255, 255}) + "\r\n");
    ASSERT_TRUE(waitFor([&] { return c.received.size() >= 5; }));
    EXPECT_EQ(c.received, "ok" + bytes({255}) + "\r\n");
    EXPECT_EQ(readAtLeast(fd, 9), bytes({255, 251, 24, 255, 253, 1, 255, 252, 3}));
    writeAll(fd, bytes({255, 250, 24, 1, 255, 240}));
    EXPECT_EQ(readAtLeast(fd, 11), bytes({255, 250, 24, 0}) + "vt100" + bytes({255, 240}));
    c.port.SetOpen(false);
    EXPECT_EQ(c.disconnects, 1);
    EXPECT_EQ(readAtLeast(fd, 1, 500), "");  // the peer sees the close
    ::close(fd);
}

TEST_F(Network, ClosedOrResetByThePeerClosesThePortWithoutALineError) {
    Listener peer;
    Client c;
    c.catchErrors();
    for (int round = 0; round < 3; ++round) {
        const int fd = c.connect(peer);
        writeAll(fd, "last words\n");
        linger lg{1, 0};
        if (round == 2) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);  // a reset
        ::close(fd);
        ASSERT_TRUE(waitFor([&] { return !c.port.GetOpen(); }));
        EXPECT_EQ(c.disconnects, round + 1);
    }
    EXPECT_TRUE(c.received.starts_with("last words\nlast words\n"));
    EXPECT_EQ(c.lineErrors, 0);
    EXPECT_EQ(c.errors, std::vector<int32_t>{10054});
}

TEST_F(Network, FailedOpensShowNoBoxAndALivePeerConnectsAfterwards) {
    const uint16_t closed = closedPort();
    Client c;
    for (int round = 0; round < 3; ++round) {
        c.open("127.0.0.1", closed);
        ASSERT_TRUE(waitFor([&] { return !c.port.GetOpen(); })) << round;
    }
    try {
        c.open("no-such-host.invalid", 192);
        ADD_FAILURE() << "no exception";
    } catch (const EZpSocketException& e) {
        EXPECT_EQ(e.ErrorCode, 9007);
        EXPECT_STREQ(e.what(), "Cannot resolve destination address");
    }
    // With an error event assigned, the codes reach it.
    c.catchErrors();
    c.open("127.0.0.1", closed);
    ASSERT_TRUE(waitFor([&] { return !c.port.GetOpen(); }));
    EXPECT_THROW(c.open("no-such-host.invalid", 192), EZPException);
    EXPECT_FALSE(c.port.GetOpen());
    EXPECT_EQ(c.errors, (std::vector<int32_t>{10061, 9007}));
    EXPECT_EQ(c.connects + c.disconnects, 0);
    Listener peer;
    ::close(c.connect(peer));
}

TEST_F(Network, GarbageFromThePeerIsSurvived) {
    Listener peer;
    Client c;
    const int fd = c.connect(peer);
    std::mt19937 rng(7);
    std::string junk;
    for (int i = 0; i < 20000; ++i) junk += static_cast<char>(rng() & 0xFF);
    writeAll(fd, junk + bytes({255, 240}) + "\r\nEND");  // ends any subnegotiation the junk began
    ASSERT_TRUE(waitFor([&] { return c.received.ends_with("END"); }, 5000));
    readAtLeast(fd, 1 << 20, 100);  // the answers to whatever the junk asked
    c.port.PutString("still here\r");
    EXPECT_EQ(readAtLeast(fd, 12), std::string("still here\r\0", 12));
    ::close(fd);
}

TEST_F(Network, CloseFromInsideTheReceiveHandlerAndReopen) {
    Listener peer;
    Client c;
    c.port.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t count) {
        for (uint16_t i = 0; i < count; ++i) c.received += cp->GetChar();
        cp->SetOpen(false);
    });
    const int fd = c.connect(peer);
    writeAll(fd, "bye");
    ASSERT_TRUE(waitFor([&] { return c.port.PortState() == psClosed; }));
    EXPECT_EQ(c.received, "bye");
    ::close(fd);
    ::close(c.connect(peer));
    EXPECT_TRUE(c.port.GetOpen());
}

TEST_F(Network, ServerAcceptsOneClientAtATime) {
    const uint16_t port = closedPort();
    Client s;
    uint32_t fromAddr = 0;
    int accepts = 0;
    s.port.OnWsAccept = [&](TZpCustomWinsockPort*, TInAddr a, bool& ok) {
        ++accepts;
        fromAddr = a.S_addr;
        ok = true;
    };
    s.port.SetDeviceLayer(dlWinsock);
    s.port.SetWsMode(wsServer);
    s.port.SetWsPort(std::to_string(port));
    s.port.SetOpen(true);
    auto dial = [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return fd;
    };
    const int fd = dial();
    ASSERT_TRUE(waitFor([&] { return accepts == 1; }));
    EXPECT_EQ(fromAddr, htonl(INADDR_LOOPBACK));
    const int second = dial();
    EXPECT_EQ(readAtLeast(second, 1, 300), "");  // closed at once
    EXPECT_EQ(accepts, 1);
    writeAll(fd, "hello");
    ASSERT_TRUE(waitFor([&] { return s.received == "hello"; }));
    s.port.PutString("A\r");
    EXPECT_EQ(readAtLeast(fd, 3), std::string("A\r\0", 3));
    ::close(fd);
    ::close(second);
    ASSERT_TRUE(waitFor([&] { return s.disconnects == 1; }));
    EXPECT_TRUE(s.port.GetOpen());  // still listening
    ::close(dial());
    EXPECT_TRUE(waitFor([&] { return accepts == 2; }));
}

// Received bytes that a send pulls in (a read no socket event announced) reach the receive
// handler at once, as a posted round, not at the dispatcher's next timer tick.
TEST_F(Network, BytesPulledInDuringASendReachTheHandlerWithoutTheTimer) {
    Listener peer;
    Client c;
    const int fd = c.connect(peer);
    QCoreApplication::processEvents();
    writeAll(fd, "?3,1>");
    // Only sends and posted events from here: no timer and no socket event is handled.
    for (int i = 0; i < 200 && c.received.empty(); ++i) {
        c.port.PutString("x");
        QCoreApplication::sendPostedEvents();
        if (c.received.empty()) ::usleep(1000);  // the loopback bytes may still be on their way
    }
    EXPECT_EQ(c.received, "?3,1>");
    ::close(fd);
}

namespace {
int startupRc = 0;
uint16_t startupVersion = 0x0101;
int fakeStartup(uint16_t, ws::TWSAData* d) {
    d->wVersion = startupVersion;
    return startupRc;
}

TSockAddrIn loopback(uint16_t port) {
    TSockAddrIn a;
    a.sin_port = ws::wsHtons(port);
    a.sin_addr.S_addr = ws::wsHtonl(0x7F000001);
    return a;
}
}  // namespace

TEST_F(Network, SocketStartupFailuresMakeEveryOperationRaise) {
    ws::WinsockTable fake = ws::systemWinsockTable(), noEntry = fake;
    fake.WSAStartup = fakeStartup;
    noEntry.WSAAsyncSelect = nullptr;
    const struct Case {
        const ws::WinsockTable* table;
        bool missing;
        int rc;
        uint16_t version;
        int32_t error;
        const char* what;
    } cases[] = {{nullptr, true, 0, 0x0101, 9002, "Error loading Winsock DLL"},
                 {&fake, false, 10091, 0x0101, 10091, nullptr},
                 {&fake, false, 0, 0x0202, 9003, "Incorrect version of Winsock"},
                 {&noEntry, false, 0, 0x0101, 9002, nullptr}};
    for (const Case& k : cases) {
        ws::setWinsockTable(k.table);
        ws::setWinsockMissing(k.missing);
        startupRc = k.rc;
        startupVersion = k.version;
        TZpSocket s;
        EXPECT_EQ(s.StartupError(), k.error);
        try {
            s.CreateSocket();
            ADD_FAILURE() << k.error;
        } catch (const EZpSocketException& e) {
            EXPECT_EQ(e.ErrorCode, k.error);
            if (k.what) {
                EXPECT_STREQ(e.what(), k.what);
            }
        }
    }
    ws::setWinsockTable(nullptr);
    ws::setWinsockMissing(false);
    TZpSocket fine;
    EXPECT_EQ(fine.StartupError(), 0);
    EXPECT_EQ(fine.LookupService("telnet"), 23);
    EXPECT_EQ(fine.String2NetAddr("not.an.address"), 0xFFFFFFFFu);
    EXPECT_EQ(fine.LookupName("no-such-host.invalid"), 0u);
}

TEST_F(Network, SocketConnectsWithoutRaisingAndAClosedSocketHearsNothing) {
    Listener peer;
    TZpSocket s;
    int connects = 0, errors = 0, reads = 0, closes = 0, writes = 0;
    s.OnWsConnect = [&](TZpSocket*, TSocket) { ++connects; };
    s.OnWsError = [&](TZpSocket*, TSocket, int32_t) { ++errors; };
    s.OnWsRead = [&](TZpSocket*, TSocket) { ++reads; };
    s.OnWsWrite = [&](TZpSocket*, TSocket) { ++writes; };
    s.OnWsDisconnect = [&](TZpSocket*, TSocket) { ++closes; };
    const TSocket h = s.CreateSocket();
    s.SetAsyncStyles(h, 59);
    const int r = s.ConnectSocket(h, loopback(peer.port));
    EXPECT_TRUE(r == 0 || s.GetLastError() == ws::WSAEWOULDBLOCK);
    // Nothing can be sent before the connect completes: the data is refused as would-block.
    EXPECT_EQ(s.WriteSocket(h, "x", 0, 1), ws::SOCKET_ERROR);
    EXPECT_EQ(s.GetLastError(), ws::WSAEWOULDBLOCK);
    const int fd = peer.accept();
    ASSERT_TRUE(waitFor([&] { return connects == 1 && writes >= 1; }));
    EXPECT_EQ(s.WriteSocket(h, "hi", 0, 2), 2);
    EXPECT_EQ(readAtLeast(fd, 2), "hi");
    writeAll(fd, "abc");
    ASSERT_TRUE(waitFor([&] { return reads >= 1; }));
    char buf[16];
    EXPECT_EQ(s.ReadSocket(h, buf, 0, sizeof buf), 3);
    s.CloseSocket(h);
    const TSocket h2 = s.CreateSocket();
    EXPECT_NE(h2, h);  // handles are never reused
    const int events = connects + reads + writes + closes;
    writeAll(fd, "late");
    ::close(fd);
    spin(100);
    EXPECT_EQ(connects + reads + writes + closes, events);
    EXPECT_EQ(errors, 0);
    s.CloseSocket(h2);
}

TEST_F(Network, SocketErrorWithoutErrorEventRaisesButNeverLeavesTheWindow) {
    TZpSocket s;
    try {
        s.CMZPSocketMessage(123, ws::wsaMakeSelectReply(ws::FD_CLOSE, 10054));
        ADD_FAILURE() << "no exception";
    } catch (const EZpSocketException& e) {
        EXPECT_EQ(e.ErrorCode, 10054);
        EXPECT_STREQ(e.what(), "The virtual circuit has been reset by the partner");
    }
    // Delivered as a window message, the exception ends in the error box instead.
    postMessage(s.GetHandle(), ws::CM_ZPSOCKET, 123, ws::wsaMakeSelectReply(ws::FD_READ, 10053));
    ASSERT_TRUE(waitFor([&] { return !boxes.shown.empty(); }));
    EXPECT_EQ(boxes.shown[0].text, "The virtual circuit has been aborted due to timeout, etc");
    boxes.shown.clear();
}

namespace {
std::string be16(uint16_t v) {
    return bytes({v >> 8, v & 0xFF});
}
const std::string kLoopback = bytes({127, 0, 0, 1});
const std::string kV4 = bytes({4, 1}) + be16(192) + kLoopback + "user" + bytes({0});
const std::string kV5Hello = bytes({5, 2, 0, 2});
const std::string kV5Login = bytes({1, 4}) + "user" + bytes({6}) + "secret";

// For each step, the bytes expected from the port and the reply.
using Script = std::vector<std::pair<std::string, std::string>>;

// A proxy that plays a script to the first client, then reads `tail` bytes of the data after it.
struct Proxy {
    Listener listener;
    std::vector<std::string> got;
    std::string after;
    std::thread th;
    Proxy(const Script& script, size_t tail = 0) {
        th = std::thread([this, script, tail] {
            const int fd = listener.accept(3000, false);
            for (const auto& [expect, reply] : script) {
                got.push_back(readAtLeast(fd, expect.size(), 3000, false));
                writeAll(fd, reply);
            }
            if (tail) after = readAtLeast(fd, tail, 3000, false);
            ::usleep(100000);
            ::close(fd);
        });
    }
    void join() {
        if (th.joinable()) th.join();
    }
    ~Proxy() { join(); }
};

void useProxy(TZpWinsockPort& port, TZpSocksVersion v, uint16_t proxyPort, const std::string& target,
              uint16_t targetPort) {
    port.SetDeviceLayer(dlWinsock);
    port.SetWsAddress(target);
    port.SetWsPort(std::to_string(targetPort));
    port.WsSocksServerInfo().SetSocksVersion(v);
    port.WsSocksServerInfo().SetAddress("127.0.0.1");
    port.WsSocksServerInfo().SetPort(proxyPort);
    port.WsSocksServerInfo().SetUserCode("user");
    port.WsSocksServerInfo().SetPassword("secret");
}
}  // namespace

TEST_F(Network, ProxyRequestBytesOfEachVersionAndTheDataAfterThem) {
    const std::string granted4 = bytes({0, 90, 0, 0, 0, 0, 0, 0});
    const struct Case {
        TZpSocksVersion version;
        std::string target;
        uint16_t port;
        Script script;
        std::string send, after;  // telnet rules apply again after the negotiation
    } cases[] = {
        {svSocks4, "127.0.0.1", 192, {{kV4, granted4}}, "hi\r", std::string("hi\r\0", 4)},
        // 4a sends the host name unresolved.
        {svSocks4a,
         "instrument.invalid",
         23,
         {{bytes({4, 1}) + be16(23) + bytes({0, 0, 0, 1}) + "user" + bytes({0}) + "instrument.invalid" +
               bytes({0}),
           granted4}},
         "",
         ""},
        {svSocks5,
         "127.0.0.1",
         192,
         {{kV5Hello, bytes({5, 0})},
          {bytes({5, 1, 0, 1}) + kLoopback + be16(192), bytes({5, 0, 0, 1, 10, 0, 0, 9, 1, 2})}},
         "ok\n",
         "ok\n"},
        // User name and password; a bound address given as a name is read by the name's length.
        {svSocks5,
         "127.0.0.1",
         4000,
         {{kV5Hello, bytes({5, 2})},
          {kV5Login, bytes({1, 0})},
          {bytes({5, 1, 0, 1}) + kLoopback + be16(4000), bytes({5, 0, 0, 3, 4}) + "host" + be16(80)}},
         "",
         ""},
    };
    for (const Case& k : cases) {
        Proxy proxy(k.script, k.after.size());
        TZpWinsockPort port;
        useProxy(port, k.version, proxy.listener.port, k.target, k.port);
        port.SetOpen(true);
        EXPECT_TRUE(port.GetOpen());
        if (!k.send.empty()) port.PutString(k.send);
        proxy.join();
        ASSERT_EQ(proxy.got.size(), k.script.size());
        for (size_t i = 0; i < k.script.size(); ++i) EXPECT_EQ(proxy.got[i], k.script[i].first) << i;
        EXPECT_EQ(proxy.after, k.after);
    }
}

TEST_F(Network, ProxyRefusalsRaiseTheirCodeOrReachTheErrorEvent) {
    const std::string tail4 = bytes({0, 0, 0, 0, 0, 0});
    const struct Case {
        TZpSocksVersion version;
        Script script;
        int32_t code;
        bool event;
    } cases[] = {
        {svSocks4, {{kV4, bytes({0, 91}) + tail4}}, 9008, false},
        {svSocks4, {{kV4, bytes({0, 91}) + tail4}}, 9008, true},
        {svSocks4, {{kV4, bytes({0, 92}) + tail4}}, 9009, false},
        {svSocks4, {{kV4, bytes({0, 93}) + tail4}}, 9010, false},
        {svSocks4, {{kV4, bytes({0, 7}) + tail4}}, 9011, false},
        {svSocks5, {{kV5Hello, bytes({5, 0xFF})}}, 9011, false},  // no method accepted
        {svSocks5, {{kV5Hello, bytes({5, 2})}, {kV5Login, bytes({1, 1})}}, 9011, false},  // password refused
        {svSocks5,
         {{kV5Hello, bytes({5, 0})}, {bytes({5, 1, 0, 1}) + kLoopback + be16(192), bytes({5, 5, 0, 1, 0})}},
         9016,
         false},                   // connection refused by the target
        {svSocks5, {}, 0, false},  // a proxy that accepts, reads nothing and closes
    };
    for (const Case& c : cases) {
        Proxy proxy(c.script);
        Client client;
        useProxy(client.port, c.version, proxy.listener.port, "127.0.0.1", 192);
        if (c.event) client.catchErrors();
        try {
            client.port.SetOpen(true);
            EXPECT_TRUE(c.event) << "no exception for " << c.code;
        } catch (const EZpSocketException& e) {
            EXPECT_FALSE(c.event);
            if (c.code) {
                EXPECT_EQ(e.ErrorCode, c.code);
            }
        }
        EXPECT_EQ(client.errors, c.event ? std::vector<int32_t>{c.code} : std::vector<int32_t>{});
        EXPECT_TRUE(waitFor([&] { return !client.port.GetOpen(); }))
            << c.code;  // the useless connection closes
    }
    TZpWinsockPort port;
    useProxy(port, svSocks4, 1080, "127.0.0.1", 192);
    port.WsSocksServerInfo().SetAddress("no-such-proxy.invalid");
    try {
        port.SetOpen(true);
        ADD_FAILURE() << "no exception";
    } catch (const EZpSocketException& e) {
        EXPECT_EQ(e.ErrorCode, 9007);
    }
    EXPECT_FALSE(port.GetOpen());
}
