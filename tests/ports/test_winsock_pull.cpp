// Received bytes that a send pulls in from the network (a read that no socket event announced)
// reach the receive handler at once, as a posted round, not at the dispatcher's next timer tick.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>

#include "ports/ZpWinsockPort.h"
#include "ports/net_peer.h"

TEST(WinsockPull, BytesPulledInDuringASendReachTheHandlerWithoutTheTimer) {
    netpeer::Listener server;
    ASSERT_GE(server.fd, 0);
    TZpWinsockPort port;
    std::string got;
    bool connected = false;
    port.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t n) {
        for (uint16_t i = 0; i < n; ++i) got += cp->GetChar();
    });
    port.OnWsConnect = [&](TZpCustomWinsockPort*) { connected = true; };
    port.SetDeviceLayer(dlWinsock);
    port.SetWsAddress("127.0.0.1");
    port.SetWsPort(std::to_string(server.port));
    port.SetOpen(true);
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(netpeer::pumpUntil([&] { return connected; }));
    QCoreApplication::processEvents();

    netpeer::writeAll(peer, "?3,1>");
    // Only sends and posted events from here: no timer and no socket event is handled.
    for (int i = 0; i < 200 && got.empty(); ++i) {
        port.PutString("x");
        QCoreApplication::sendPostedEvents();
        if (got.empty()) ::usleep(1000);  // the loopback bytes may still be on their way
    }
    EXPECT_EQ(got, "?3,1>");
    port.SetOpen(false);
    ::close(peer);
}
