// The network port and its socket component against plain loopback peers: connect, data both
// ways, telnet answers, refused and lost connections, garbage, bad addresses,
// bytes a send pulls in, and proxy negotiation against a small proxy in a thread of the test.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <random>
#include <thread>

#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Winsock.h"
#include "ports/ZpSocket.h"
#include "ports/ZpWinsockPort.h"
#include "ports/net_peer.h"
#include "support/Bytes.h"
#include "support/EventWait.h"

using netpeer::closedByPeer;
using netpeer::closedPort;
using netpeer::dial;
using netpeer::Listener;
using netpeer::readAtLeast;
using netpeer::writeAll;

namespace {

// The tests run over a copy of the real sockets table, installed before the first socket exists
// (the library keeps the table it started with), so that a test can replace an entry of it.
ws::WinsockTable netTable;
struct NetTableEnvironment : ::testing::Environment {
    void SetUp() override {
        netTable = ws::systemWinsockTable();
        ws::setWinsockTable(&netTable);
    }
};
[[maybe_unused]] ::testing::Environment* const netTableEnvironment =
    ::testing::AddGlobalTestEnvironment(new NetTableEnvironment);

// Entries of the table replaced for a scope.
struct ReplacedEntries {
    ws::WinsockTable saved = netTable;
    ~ReplacedEntries() { netTable = saved; }
};

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

// A flooding peer is read a slice at a time: past a slice's share nothing is read, by the
// socket event or the dispatcher's timer, until the next slice begins; nothing is lost.
TEST_F(Network, AFloodingPeerIsReadNoFasterThanTheSlicesAllow) {
    FakeClockGuard clock;
    Listener peer;
    Client c;
    const int fd = c.connect(peer);
    std::string flood(3 * ws::kRecvSliceBytes + 1000, '\0');
    for (size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<char>('a' + i % 26);
    std::thread writer([&] { writeAll(fd, flood); });
    for (int64_t slice = 1; slice <= 3; ++slice) {
        SCOPED_TRACE(slice);
        ASSERT_TRUE(waitFor([&] { return int64_t(c.received.size()) >= slice * ws::kRecvSliceBytes; }, 5000));
        spin(150);  // the dispatcher's timer and the resume run, the fake clock stands still
        EXPECT_EQ(int64_t(c.received.size()), slice * ws::kRecvSliceBytes);
        clock.fake.advanceMs(ws::kRecvSliceMs);
    }
    ASSERT_TRUE(waitFor([&] { return c.received.size() == flood.size(); }, 5000));
    writer.join();
    EXPECT_TRUE(c.received == flood);
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

// Received bytes that a send pulls in (a read no socket event announced) reach the receive
// handler at once, as a posted round, not at the dispatcher's next timer tick.
TEST_F(Network, BytesPulledInDuringASendReachTheHandlerWithoutTheTimer) {
    Listener peer;
    Client c;
    const int fd = c.connect(peer);
    QCoreApplication::processEvents();
    // Each time, not only the first.
    for (const std::string reply : {"?3,1>", "?4,2>", "?5,3>"}) {
        c.received.clear();
        writeAll(fd, reply);
        // Only sends and posted events from here: no timer and no socket event is handled.
        for (int i = 0; i < 2000 && c.received.size() < reply.size(); ++i) {
            c.port.PutString("x");
            QCoreApplication::sendPostedEvents();
            if (c.received.size() < reply.size())
                ::usleep(1000);  // the loopback bytes may still be on their way
        }
        EXPECT_EQ(c.received, reply);
    }
    ::close(fd);
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
const char* const kHost = "127.0.0.1";
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

TEST_F(Network, ProxyNegotiationBytesRefusalsAndTheDataAfterThem) {
    const std::string ok4 = bytes({0, 90, 0, 0, 0, 0, 0, 0}), tail4 = bytes({0, 0, 0, 0, 0, 0});
    const std::string v4a =
        bytes({4, 1}) + be16(23) + bytes({0, 0, 0, 1}) + "user" + bytes({0}) + "box.invalid" + bytes({0});
    const std::string to192 = bytes({5, 1, 0, 1}) + kLoopback + be16(192);
    const std::string to4000 = bytes({5, 1, 0, 1}) + kLoopback + be16(4000);
    const std::string bound = bytes({5, 0, 0, 3, 4}) + "host" + be16(80);
    const std::pair<std::string, std::string> hello = {kV5Hello, bytes({5, 0})},
                                              helloLogin = {kV5Hello, bytes({5, 2})};
    const struct Case {
        TZpSocksVersion version;
        Script script;
        int32_t code;  // 0 opens, -1 any refusal
        bool event = false;
        std::string send = "", after = "";  // telnet rules apply again after the negotiation
        const char* target = kHost;
        uint16_t port = 192;
    } cases[] = {
        {svSocks4, {{kV4, ok4}}, 0, false, "hi\r", std::string("hi\r\0", 4)},
        // 4a sends the name unresolved.
        {svSocks4a, {{v4a, ok4}}, 0, false, "", "", "box.invalid", 23},
        {svSocks5, {hello, {to192, bytes({5, 0, 0, 1, 10, 0, 0, 9, 1, 2})}}, 0, false, "ok\n", "ok\n"},
        // A bound address given as a name is read by the name's length.
        {svSocks5, {helloLogin, {kV5Login, bytes({1, 0})}, {to4000, bound}}, 0, false, "", "", kHost, 4000},
        {svSocks4, {{kV4, bytes({0, 91}) + tail4}}, 9008},
        {svSocks4, {{kV4, bytes({0, 91}) + tail4}}, 9008, true},
        {svSocks4, {{kV4, bytes({0, 7}) + tail4}}, 9011},
        {svSocks5, {{kV5Hello, bytes({5, 0xFF})}}, 9011},            // no method accepted
        {svSocks5, {helloLogin, {kV5Login, bytes({1, 1})}}, 9011},   // bad password
        {svSocks5, {hello, {to192, bytes({5, 5, 0, 1, 0})}}, 9016},  // the target refused
        {svSocks5, {}, -1},  // a proxy that accepts, reads nothing and closes
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(&k - cases);  // the row
        Proxy proxy(k.script, k.after.size());
        Client c;
        useProxy(c.port, k.version, proxy.listener.port, k.target, k.port);
        if (k.event) c.catchErrors();
        int32_t raised = 0;
        try {
            c.port.SetOpen(true);
            c.port.PutString(k.send);
        } catch (const EZpSocketException& e) {
            raised = e.ErrorCode;
        }
        if (k.code < 0) {
            EXPECT_NE(raised, 0);
        } else {
            EXPECT_EQ(raised, k.event ? 0 : k.code);
        }
        EXPECT_EQ(c.errors, k.event ? std::vector<int32_t>{k.code} : std::vector<int32_t>{});
        // A useless connection closes, and a proxy that had answered is heard to go.
        EXPECT_TRUE(waitFor([&] { return c.port.GetOpen() == (k.code == 0); }));
        EXPECT_EQ(c.port.Connected(), k.code == 0);
        EXPECT_EQ(c.disconnects, k.code == 0 ? 0 : c.connects);
        if (k.code > 0) {
            EXPECT_EQ(c.connects, 1);
        }
        proxy.join();
        ASSERT_EQ(proxy.got.size(), k.script.size());
        for (size_t i = 0; i < k.script.size(); ++i) EXPECT_EQ(proxy.got[i], k.script[i].first) << i;
        EXPECT_EQ(proxy.after, k.after);
    }
}

TEST_F(Network, AProxyThatCannotBeReachedIsReportedAsUnresolvedToTheErrorEvent) {
    ReplacedEntries replaced;
    netTable.connect = [](ws::TSocket, const ws::TSockAddrIn*) -> int {
        ws::systemWinsockTable().WSASetLastError(ws::WSAENETUNREACH);
        return ws::SOCKET_ERROR;
    };
    for (const bool event : {true, false}) {
        SCOPED_TRACE(event);
        Client c;
        useProxy(c.port, svSocks5, 1080, kHost, 192);
        if (event) c.catchErrors();
        int32_t raised = 0;
        try {
            c.port.SetOpen(true);
            ADD_FAILURE() << "opened";
        } catch (const EZpSocketException& e) {
            raised = e.ErrorCode;
        } catch (const EZPException& e) {
            raised = -1;
        }
        EXPECT_EQ(raised, event ? -1 : ws::WSAENETUNREACH);
        EXPECT_EQ(c.errors, event ? std::vector<int32_t>{9007} : std::vector<int32_t>{});
        EXPECT_FALSE(c.port.GetOpen());
    }
}

namespace {

const uint32_t kLoopbackNet = htonl(INADDR_LOOPBACK);

// A port listening as a server on a loopback port, recording what it reports.
struct Server {
    TZpWinsockPort port;
    uint16_t at = closedPort();
    bool answer = true;
    std::vector<uint32_t> offered;  // the addresses asked about
    std::vector<bool> connectedWhenAsked;
    std::vector<int32_t> errors;
    std::string received;
    int disconnects = 0;
    Server() {
        port.SetOnTriggerAvail([this](TZpCustomComPort* cp, uint16_t count) {
            for (uint16_t i = 0; i < count; ++i) received += cp->GetChar();
        });
        port.OnWsAccept = [this](TZpCustomWinsockPort* p, TInAddr a, bool& accept) {
            offered.push_back(a.S_addr);
            connectedWhenAsked.push_back(p->DCD());
            accept = answer;
        };
        port.OnWsDisconnect = [this](TZpCustomWinsockPort*) { ++disconnects; };
        port.OnWsError = [this](TZpCustomWinsockPort*, int32_t e) { errors.push_back(e); };
        port.SetDeviceLayer(dlWinsock);
        port.SetWsMode(wsServer);
        port.SetWsPort(std::to_string(at));
        port.SetOpen(true);
    }
};

int acceptFailures = 0;

}  // namespace

TEST_F(Network, AServerTakesOneClientAtATimeAndListensOnWhenItLeaves) {
    Server s;
    ASSERT_TRUE(s.port.GetOpen());
    const int a = dial(s.at);
    ASSERT_TRUE(waitFor([&] { return s.port.DCD(); }));
    EXPECT_EQ(s.offered, std::vector<uint32_t>{kLoopbackNet});
    writeAll(a, "hi\r\n");
    ASSERT_TRUE(waitFor([&] { return s.received == "hi\r\n"; }));
    s.port.PutString("ok\r\n");
    EXPECT_EQ(readAtLeast(a, 4), "ok\r\n");
    // A second client while the first is connected is accepted and closed at once, unasked.
    const int b = dial(s.at);
    EXPECT_TRUE(closedByPeer(b));
    EXPECT_EQ(s.offered.size(), 1u);
    writeAll(a, "still");
    ASSERT_TRUE(waitFor([&] { return s.received == "hi\r\nstill"; }));
    // The client leaves: the port stays open and listens on.
    ::close(a);
    ASSERT_TRUE(waitFor([&] { return s.disconnects == 1; }));
    EXPECT_TRUE(s.port.GetOpen());
    EXPECT_FALSE(s.port.DCD());
    // A client the port refuses is closed.
    s.answer = false;
    const int c = dial(s.at);
    EXPECT_TRUE(closedByPeer(c));
    EXPECT_EQ(s.offered.size(), 2u);
    EXPECT_FALSE(s.port.DCD());
    s.answer = true;
    const int d = dial(s.at);
    ASSERT_TRUE(waitFor([&] { return s.port.DCD(); }));
    writeAll(d, "!");
    ASSERT_TRUE(waitFor([&] { return s.received.ends_with("still!"); }));
    EXPECT_EQ(s.errors, std::vector<int32_t>{});
    s.port.SetOpen(false);
    EXPECT_TRUE(closedByPeer(d));
    for (int fd : {b, c, d}) ::close(fd);
}

// The port hears of an accept that failed, with no address; even a yes connects nothing.
TEST_F(Network, AFailedAcceptIsStillOfferedAndConnectsNothing) {
    ReplacedEntries replaced;
    acceptFailures = 1;
    netTable.accept = [](ws::TSocket s, ws::TSockAddrIn* addr) -> ws::TSocket {
        const ws::WinsockTable& sys = ws::systemWinsockTable();
        const ws::TSocket r = sys.accept(s, addr);
        if (acceptFailures == 0 || r == ws::INVALID_SOCKET) return r;
        --acceptFailures;
        sys.closesocket(r);
        sys.WSASetLastError(ws::WSAEMFILE);
        return ws::INVALID_SOCKET;
    };
    Server s;
    const int a = dial(s.at);
    EXPECT_TRUE(closedByPeer(a));
    ASSERT_TRUE(waitFor([&] { return !s.errors.empty(); }));
    EXPECT_EQ(s.offered, std::vector<uint32_t>{0});
    EXPECT_EQ(s.errors, std::vector<int32_t>{ws::WSAEMFILE});
    EXPECT_FALSE(s.port.DCD());
    const int b = dial(s.at);
    ASSERT_TRUE(waitFor([&] { return s.port.DCD(); }));
    EXPECT_EQ(s.offered, (std::vector<uint32_t>{0, kLoopbackNet}));
    EXPECT_EQ(s.connectedWhenAsked, (std::vector<bool>{false, false}));
    writeAll(b, "x");
    EXPECT_TRUE(waitFor([&] { return s.received == "x"; }));
    for (int fd : {a, b}) ::close(fd);
}

// The remote port is a number or a TCP service name, the address loses the blanks around it; on an
// open port only the value already stored may be assigned again.
TEST_F(Network, PortNumbersServiceNamesAndTheValuesAnOpenPortKeeps) {
    const struct Row {
        const char* port;
        uint16_t listenAt;  // 0: the open fails with `code`
        int32_t code;
    } rows[] = {
        {"192", 192, 0}, {" 192\t", 192, 0}, {"telnet", 23, 0}, {"no-such-service", 0, 9005},
        {"0", 0, 9005},  {"65536", 0, 9005}, {"19x2", 0, 9005},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.port);
        std::unique_ptr<Listener> peer;
        if (r.listenAt) {
            peer = std::make_unique<Listener>("127.0.0.29", r.listenAt);
            if (peer->fd < 0) GTEST_SKIP() << "port " << r.listenAt << " needs root";
        }
        Client c;
        c.port.SetDeviceLayer(dlWinsock);
        c.port.SetWsAddress(" \t127.0.0.29 ");
        EXPECT_EQ(c.port.GetWsAddress(), "127.0.0.29");
        c.port.SetWsPort(r.port);
        try {
            c.port.SetOpen(true);
            EXPECT_EQ(r.code, 0) << "opened";
        } catch (const EZpSocketException& e) {
            EXPECT_EQ(e.ErrorCode, r.code);
            EXPECT_STREQ(e.what(), "Specified port is not valid");
        }
        if (!peer) {
            EXPECT_FALSE(c.port.GetOpen());
            continue;
        }
        const int fd = peer->accept();
        ASSERT_GE(fd, 0) << "nothing connected";
        ASSERT_TRUE(waitFor([&] { return c.connects == 1; }));
        // The stored value again changes nothing; any other, even in its blanks only, is refused.
        const std::string stored = c.port.GetWsPort();
        c.port.SetWsAddress("127.0.0.29");
        c.port.SetWsPort(stored);
        c.port.SetWsMode(wsClient);
        const std::function<void()> refused[] = {
            [&] { c.port.SetWsAddress(" 127.0.0.29"); }, [&] { c.port.SetWsAddress("127.0.0.30"); },
            [&] { c.port.SetWsPort(stored + " "); }, [&] { c.port.SetWsMode(wsServer); }};
        for (const auto& change : refused) {
            try {
                change();
                ADD_FAILURE() << "changed on an open port";
            } catch (const EZpSocketException& e) {
                EXPECT_EQ(e.ErrorCode, 9006);
                EXPECT_STREQ(e.what(), "Cannot change parameter while socket is connected");
            }
        }
        EXPECT_EQ(c.port.GetWsAddress(), "127.0.0.29");
        EXPECT_EQ(c.port.GetWsPort(), stored);
        EXPECT_EQ(c.port.GetWsMode(), wsClient);
        EXPECT_TRUE(c.port.Connected());
        ::close(fd);
    }
}

TEST_F(Network, AClientPortNeedsAnAddress) {
    for (const char* address : {"", " \t "}) {
        Client c;
        c.port.SetDeviceLayer(dlWinsock);
        c.port.SetWsAddress(address);
        c.port.SetWsPort("192");
        try {
            c.port.SetOpen(true);
            ADD_FAILURE() << "opened";
        } catch (const EZpSocketException& e) {
            EXPECT_EQ(e.ErrorCode, 10039);
            EXPECT_STREQ(e.what(), "The destination address is required for this operation");
        }
        EXPECT_FALSE(c.port.GetOpen());
    }
}

namespace {
// A socket error as the sockets layer reports it for the port's own socket.
void socketError(TZpCustomComPort& port, int32_t code) {
    const ws::TSocket own = port.Dispatcher()->DeviceHandle();
    ZpDeviceSocket().CMZPSocketMessage(own, ws::wsaMakeSelectReply(ws::FD_READ, static_cast<uint16_t>(code)));
}
}  // namespace

// Every socket error reaches the error event. A reset, aborted or refused connection ends a
// client's port and a server's client; other errors leave both as they are.
TEST_F(Network, WhichSocketErrorsEndTheConnection) {
    const struct Row {
        int32_t code;
        bool ends;
    } rows[] = {
        {10052, true},  {10053, true},  {10054, true},  {10061, true},
        {10060, false}, {10055, false}, {10050, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.code);
        {
            Listener peer;
            Client c;
            c.catchErrors();
            const int fd = c.connect(peer);
            socketError(c.port, r.code);
            ASSERT_TRUE(waitFor([&] { return !c.errors.empty(); }));
            EXPECT_EQ(c.errors, std::vector<int32_t>{r.code});
            if (r.ends) {
                EXPECT_TRUE(waitFor([&] { return !c.port.GetOpen(); }));
            }
            spin(50);
            EXPECT_EQ(c.port.GetOpen(), !r.ends);
            EXPECT_EQ(c.disconnects, r.ends ? 1 : 0);
            ::close(fd);
        }
        {
            Server s;
            const int fd = dial(s.at);
            ASSERT_TRUE(waitFor([&] { return s.port.DCD(); }));
            socketError(s.port, r.code);
            ASSERT_TRUE(waitFor([&] { return !s.errors.empty(); }));
            EXPECT_EQ(s.errors, std::vector<int32_t>{r.code});
            EXPECT_EQ(s.disconnects, r.ends ? 1 : 0);
            EXPECT_TRUE(s.port.GetOpen());  // a server listens on
            ::close(fd);
        }
    }
}

// A client port that an error closes before its connect completes (any error then, also one that
// leaves a connected port open): the error reaches the error event, the port closes, and no
// connect or disconnect is reported; the next open connects.
TEST_F(Network, AnErrorBeforeTheConnectCompletesClosesTheClientPort) {
    Listener first;
    Client c;
    c.catchErrors();
    c.open("127.0.0.1", first.port);
    socketError(c.port, 10060);  // before the event loop has run: the connect is still under way
    ASSERT_TRUE(waitFor([&] { return !c.port.GetOpen(); }));
    spin(100);
    EXPECT_FALSE(c.port.GetOpen());
    EXPECT_EQ(c.errors, std::vector<int32_t>{10060});
    EXPECT_EQ(c.connects, 0);
    EXPECT_EQ(c.disconnects, 0);
    Listener next;
    const int fd = c.connect(next);
    EXPECT_TRUE(c.port.GetOpen());
    ::close(fd);
}

// With telnet doubling every byte, a block as large as the output size goes out whole, also
// when it is queued before the connection exists.
TEST_F(Network, ALargeBlockOfDoubledBytesGoesOutWhole) {
    const struct Row {
        uint16_t outSize;
        bool connectedFirst;
    } rows[] = {{8192, false}, {8192, true}, {20000, false}, {4096, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        Listener peer;
        Client c;
        c.port.SetOutSize(r.outSize);
        int fd = -1;
        if (r.connectedFirst)
            fd = c.connect(peer);
        else
            c.open("127.0.0.1", peer.port);
        std::string block(r.outSize, '\xFF');
        for (size_t i = 0; i < block.size(); i += 7) block[i] = static_cast<char>('a' + i % 26);
        c.port.PutString(block);
        if (!r.connectedFirst) fd = peer.accept();
        std::string wire;
        for (char ch : block) wire += ch == '\xFF' ? std::string(2, '\xFF') : std::string(1, ch);
        std::string got = readAtLeast(fd, wire.size(), 5000);
        got += netpeer::readNow(fd);  // nothing more
        EXPECT_EQ(got.size(), wire.size());
        EXPECT_TRUE(got == wire) << "the block went out damaged";
        ::close(fd);
    }
}

// A client that resets its connection leaves like one that closes it: the server hears it go
// once and takes the next client.
TEST_F(Network, AServerListensOnAfterItsClientResets) {
    Server s;
    const int a = dial(s.at);
    ASSERT_TRUE(waitFor([&] { return s.port.DCD(); }));
    linger lg{1, 0};
    ::setsockopt(a, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(a);
    ASSERT_TRUE(waitFor([&] { return !s.port.DCD() && s.disconnects == 1; }));
    EXPECT_EQ(s.errors, std::vector<int32_t>{ws::WSAECONNRESET});
    const int b = dial(s.at);
    ASSERT_TRUE(waitFor([&] { return s.port.DCD(); }));
    EXPECT_EQ(s.offered.size(), 2u);
    writeAll(b, "next");
    EXPECT_TRUE(waitFor([&] { return s.received == "next"; }));
    spin(50);
    EXPECT_EQ(s.disconnects, 1);
    ::close(b);
}
