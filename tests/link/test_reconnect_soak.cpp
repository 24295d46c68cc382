// Thousands of reconnects, as the main loop makes them through a long outage: the link's and
// the lamps' triggers are never piled up, no open runs out of trigger handles, and the lamps
// still follow the traffic afterwards. Real I/O over a pseudo-terminal and loopback TCP.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <functional>

#include "link/FZentrova.h"
#include "link/StoredParams.h"
#include "link/pty_pair.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "ports/ZpWinsockPort.h"
#include "ports/net_peer.h"
#include "support/EventWait.h"
#include "support/TempEnv.h"

namespace {

constexpr int kCycles = 5000;

class ReconnectSoak : public ::testing::Test {
  protected:
    void SetUp() override {
        link->Timer1->stop();
        link->Logging->setChecked(false);
    }

    size_t triggerCount() {
        TTriggerSave s;
        link->Port->Dispatcher()->SaveTriggers(s);
        return s.tsTimerTriggers.size() + s.tsDataTriggers.size() + s.tsStatusTriggers.size();
    }
    // A command goes out and its prompt comes back: both lamps light.
    void lampsFollowTraffic(const std::function<void(const std::string&)>& peerWrite) {
        link->PendingAcks = link->PendingStatus = 0;
        link->QueueCommand("OFF 0");
        EXPECT_TRUE(waitFor([&] { return link->TxLit(); }, 3000)) << "TX lamp";
        peerWrite(">");
        EXPECT_TRUE(waitFor([&] { return link->RxLit(); }, 3000)) << "RX lamp";
    }

    TempEnv env;
    DialogScript dialogs;
    std::unique_ptr<TFZentrova> link = std::make_unique<TFZentrova>();
    PtyPair pty;
};

TEST_F(ReconnectSoak, SerialReconnectsKeepOneSetOfTriggers) {
    Registry reg(RegRoot::CurrentUser);
    ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
    reg.writeString("COM", pty.slavePath());
    link->ConnectionType = TFZentrova::ctSerial;
    link->ConnectSerialClick();
    ASSERT_TRUE(link->IsConnected());
    const size_t first = triggerCount();
    for (int i = 0; i < kCycles; ++i) {
        link->DisconnectClick();
        link->ConnectSerialClick();
        ASSERT_TRUE(link->IsConnected()) << "cycle " << i;
        if (i % 64 == 0) pty.readAvailable();
    }
    EXPECT_EQ(triggerCount(), first);
    pty.readAvailable();
    lampsFollowTraffic([&](const std::string& s) { pty.write(s); });
}

TEST_F(ReconnectSoak, RefusedTcpConnectsKeepOneSetOfTriggers) {
    if (geteuid() != 0) GTEST_SKIP() << "port 192 needs root";
    link->IPAddress = "127.0.0.59";  // nothing listens there: every connect is refused
    link->ConnectionType = TFZentrova::ctTCPIP;
    for (int i = 0; i < kCycles; ++i) {
        link->DisconnectClick();
        link->ConnectTCPIPClick();
        ASSERT_TRUE(netpeer::pumpUntil([&] { return !link->IsConnected(); }, 2000)) << "cycle " << i;
    }
    netpeer::Listener server("127.0.0.59", 192);
    ASSERT_GE(server.fd, 0);
    link->DisconnectClick();
    link->ConnectTCPIPClick();
    ASSERT_TRUE(link->IsConnected());
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    // One set: the lamps' output-sent trigger and two timers.
    EXPECT_EQ(triggerCount(), 3u);
    lampsFollowTraffic([&](const std::string& s) { netpeer::writeAll(peer, s); });
    ::close(peer);
}

}  // namespace
