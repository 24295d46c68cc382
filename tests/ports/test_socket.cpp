// The socket component: start-up failures, lookups, the wrappers' error rule and the
// notifications that real loopback sockets produce.
#include <gtest/gtest.h>

#include "platform/Dialogs.h"
#include "platform/Winsock.h"
#include "ports/ZpSocket.h"
#include "ports/net_peer.h"

using netpeer::pumpUntil;

namespace {

int startupRc = 0;
uint16_t startupVersion = 0x0101;
int fakeStartup(uint16_t, ws::TWSAData* d) {
    d->wVersion = startupVersion;
    return startupRc;
}

struct TableGuard {
    explicit TableGuard(const ws::WinsockTable* t) { ws::setWinsockTable(t); }
    ~TableGuard() {
        ws::setWinsockTable(nullptr);
        ws::setWinsockMissing(false);
    }
};

TSockAddrIn loopback(uint16_t port) {
    TSockAddrIn a;
    a.sin_port = ws::wsHtons(port);
    a.sin_addr.S_addr = ws::wsHtonl(0x7F000001);
    return a;
}

}  // namespace

TEST(Socket, StartupFailuresMakeEveryOperationRaise) {
    {
        TableGuard g(nullptr);
        ws::setWinsockMissing(true);
        TZpSocket s;
        EXPECT_EQ(s.StartupError(), 9002);
        try {
            s.CreateSocket();
            FAIL() << "no exception";
        } catch (const EZpSocketException& e) {
            EXPECT_EQ(e.ErrorCode, 9002);
            EXPECT_STREQ(e.what(), "Error loading Winsock DLL");
        }
        EXPECT_THROW(s.LookupService("telnet"), EZpSocketException);
    }
    ws::WinsockTable t = ws::systemWinsockTable();
    t.WSAStartup = fakeStartup;
    {
        TableGuard g(&t);
        startupRc = 10091;
        TZpSocket s;
        EXPECT_EQ(s.StartupError(), 10091);
        EXPECT_THROW(s.GetLocalHost(), EZpSocketException);
        startupRc = 0;
        startupVersion = 0x0202;
        TZpSocket v;
        EXPECT_EQ(v.StartupError(), 9003);
        try {
            v.CheckLoaded();
            FAIL() << "no exception";
        } catch (const EZpSocketException& e) {
            EXPECT_STREQ(e.what(), "Incorrect version of Winsock");
        }
        startupVersion = 0x0101;
    }
    ws::WinsockTable missingEntry = ws::systemWinsockTable();
    missingEntry.WSAAsyncSelect = nullptr;
    {
        TableGuard g(&missingEntry);
        TZpSocket s;
        EXPECT_EQ(s.StartupError(), 9002);
    }
    TZpSocket fine;
    EXPECT_EQ(fine.StartupError(), 0);
}

TEST(Socket, LookupsOfServicesAndAddresses) {
    TZpSocket s;
    EXPECT_EQ(s.LookupService("telnet"), 23);
    EXPECT_EQ(s.LookupService("no-such-service-here"), 0);
    EXPECT_EQ(s.LookupPort(23), "telnet");
    EXPECT_EQ(s.String2NetAddr("127.0.0.2"), ws::wsHtonl(0x7F000002));
    EXPECT_EQ(s.String2NetAddr("not.an.address"), 0xFFFFFFFFu);
    EXPECT_EQ(s.NetAddr2String(TInAddr{ws::wsHtonl(0xC0A80001)}), "192.168.0.1");
    EXPECT_EQ(s.LookupName("localhost"), ws::wsHtonl(0x7F000001));
    EXPECT_EQ(s.LookupName("no-such-host.invalid"), 0u);
    EXPECT_FALSE(s.GetLocalHost().empty());
}

TEST(Socket, NonBlockingConnectRaisesNothingAndConnectsLater) {
    netpeer::Listener peer;
    TZpSocket s;
    int connects = 0, errors = 0, reads = 0, closes = 0, writes = 0;
    s.OnWsConnect = [&](TZpSocket*, TSocket) { ++connects; };
    s.OnWsError = [&](TZpSocket*, TSocket, int32_t) { ++errors; };
    s.OnWsRead = [&](TZpSocket*, TSocket) { ++reads; };
    s.OnWsWrite = [&](TZpSocket*, TSocket) { ++writes; };
    s.OnWsDisconnect = [&](TZpSocket*, TSocket) { ++closes; };
    TSocket h = s.CreateSocket();
    s.SetAsyncStyles(h, 59);
    int r = s.ConnectSocket(h, loopback(peer.port));
    EXPECT_TRUE(r == 0 || s.GetLastError() == ws::WSAEWOULDBLOCK);
    // Nothing can be sent before the connect completes: the data is refused as would-block.
    EXPECT_EQ(s.WriteSocket(h, "x", 0, 1), ws::SOCKET_ERROR);
    EXPECT_EQ(s.GetLastError(), ws::WSAEWOULDBLOCK);
    EXPECT_EQ(errors, 0);
    int fd = peer.accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(pumpUntil([&] { return connects == 1; }));
    EXPECT_TRUE(pumpUntil([&] { return writes >= 1; }));
    EXPECT_EQ(s.WriteSocket(h, "hi", 0, 2), 2);
    EXPECT_EQ(netpeer::readAtLeast(fd, 2), "hi");
    netpeer::writeAll(fd, "abc");
    ASSERT_TRUE(pumpUntil([&] { return reads >= 1; }));
    char buf[16];
    EXPECT_EQ(s.ReadSocket(h, buf, 0, sizeof buf), 3);
    ::close(fd);
    ASSERT_TRUE(pumpUntil([&] { return closes == 1; }));
    EXPECT_EQ(errors, 0);
    s.CloseSocket(h);
}

TEST(Socket, RefusedConnectReachesTheErrorEvent) {
    uint16_t port = netpeer::closedPort();
    TZpSocket s;
    int32_t err = 0;
    int connects = 0;
    s.OnWsError = [&](TZpSocket*, TSocket, int32_t e) { err = e; };
    s.OnWsConnect = [&](TZpSocket*, TSocket) { ++connects; };
    TSocket h = s.CreateSocket();
    s.SetAsyncStyles(h, 59);
    s.ConnectSocket(h, loopback(port));
    ASSERT_TRUE(pumpUntil([&] { return err != 0; }));
    EXPECT_EQ(err, 10061);
    EXPECT_EQ(connects, 0);
    s.CloseSocket(h);
}

TEST(Socket, ErrorNotificationWithoutErrorEventRaisesButNeverLeavesTheWindow) {
    TZpSocket s;
    try {
        s.CMZPSocketMessage(123, ws::wsaMakeSelectReply(ws::FD_CLOSE, 10054));
        FAIL() << "no exception";
    } catch (const EZpSocketException& e) {
        EXPECT_EQ(e.ErrorCode, 10054);
        EXPECT_STREQ(e.what(), "The virtual circuit has been reset by the partner");
    }
    // Delivered as a window message, the exception ends in the error box instead.
    DialogScript boxes;
    postMessage(s.GetHandle(), ws::CM_ZPSOCKET, 123, ws::wsaMakeSelectReply(ws::FD_READ, 10053));
    ASSERT_TRUE(pumpUntil([&] { return !boxes.shown.empty(); }));
    EXPECT_EQ(boxes.shown[0].text, "The virtual circuit has been aborted due to timeout, etc");
}

TEST(Socket, MessagesForAClosedSocketReachNobody) {
    netpeer::Listener peer;
    TZpSocket s;
    int events = 0;
    s.OnWsRead = s.OnWsDisconnect = s.OnWsConnect = s.OnWsWrite = [&](TZpSocket*, TSocket) { ++events; };
    TSocket h = s.CreateSocket();
    s.SetAsyncStyles(h, 59);
    s.ConnectSocket(h, loopback(peer.port));
    int fd = peer.accept();
    ASSERT_TRUE(pumpUntil([&] { return events > 0; }));
    s.CloseSocket(h);
    TSocket h2 = s.CreateSocket();
    EXPECT_NE(h2, h);  // handles are never reused
    events = 0;
    netpeer::writeAll(fd, "late");
    ::close(fd);
    netpeer::pumpFor(100);
    EXPECT_EQ(events, 0);
    s.CloseSocket(h2);
}
