// The link window over the port component and its threads: serial (the "COM" setting naming a
// pseudo-terminal) and TCP/IP (a loopback server on port 192). Real I/O: the waits end as soon
// as the bytes are there. Failures and the simulator's conversation are in tests/integration.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>

#include "link/FZentrova.h"
#include "link/StoredParams.h"
#include "link/pty_pair.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "ports/net_peer.h"
#include "support/EventWait.h"
#include "support/TempEnv.h"

namespace {

class LinkPortsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TFZentrova::setLogTap([this](const std::string& s) { logged.push_back(s); });
        link->Timer1->stop();
    }
    void TearDown() override {
        link.reset();
        TFZentrova::setLogTap(nullptr);
    }
    void setCom(const std::string& value) {
        Registry reg(RegRoot::CurrentUser);
        ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
        reg.writeString("COM", value);
    }
    bool loggedLine(const std::string& s) const {
        return std::find(logged.begin(), logged.end(), s) != logged.end();
    }
    // The link is closed, its menu says so, and nobody was bothered with a box.
    void expectClosedQuietly() {
        EXPECT_FALSE(link->IsConnected());
        EXPECT_TRUE(link->ConnectSerial1->isEnabled() && link->ConnectTCPIP1->isEnabled());
        EXPECT_FALSE(link->Disconnect1->isEnabled());
        EXPECT_TRUE(dialogs.shown.empty());
    }

    TempEnv env;
    DialogScript dialogs;
    std::vector<std::string> logged;
    std::unique_ptr<TFZentrova> link = std::make_unique<TFZentrova>();
};

TEST_F(LinkPortsTest, SerialLinkOnADevicePath) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    setCom(pty.slavePath());
    link->Logging->setChecked(false);
    link->ConnectionType = TFZentrova::ctSerial;
    link->ConnectSerial1->trigger();
    ASSERT_TRUE(link->IsConnected());
    EXPECT_FALSE(link->ConnectSerial1->isEnabled() || link->ConnectTCPIP1->isEnabled());
    EXPECT_TRUE(link->Disconnect1->isEnabled());
    EXPECT_TRUE(link->Logging->isChecked()) << "a serial connect turns logging on";
    link->Timer1Timer();
    std::string got;
    EXPECT_TRUE(waitFor([&] { return (got += pty.readAvailable()).size() >= 7; }));
    EXPECT_EQ(got, "? 0123\r");
    link->CommandQueue.Add("OFF 0");
    pty.write("?0,1.2,3.4,x,y,z,123,0\r\n>");
    ASSERT_TRUE(waitFor([&] { return loggedLine("OFF 0"); }));
    EXPECT_TRUE(loggedLine("?0,1.2,3.4,x,y,z,123,0"));
    EXPECT_EQ(link->StatusQuery, "? 123") << "the identity reply ends the identity cycle";
    got.clear();
    EXPECT_TRUE(waitFor([&] { return (got += pty.readAvailable()).size() >= 6; }));
    EXPECT_EQ(got, "OFF 0\r");
    EXPECT_TRUE(link->IsConnectionAlive());
    link->DisconnectClick();
    expectClosedQuietly();
}

TEST_F(LinkPortsTest, TcpLinkToPort192) {
    if (geteuid() != 0) GTEST_SKIP() << "port 192 needs root";
    netpeer::Listener server("127.0.0.57", 192);
    ASSERT_GE(server.fd, 0);
    link->IPAddress = "127.0.0.57";
    link->ConnectionType = TFZentrova::ctTCPIP;
    link->ConnectTCPIP1->trigger();
    ASSERT_TRUE(link->IsConnected());
    EXPECT_FALSE(link->ConnectTCPIP1->isEnabled());
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    std::string got;
    ASSERT_TRUE(waitFor([&] {
        link->Timer1Timer();
        got += netpeer::readNow(peer);
        return got.find("? 0123\r") != std::string::npos;
    })) << got;
    netpeer::writeAll(peer, ">?3,250,612,300,845,0,10,0\r\n");
    ASSERT_TRUE(waitFor([&] { return loggedLine(">?3,250,612,300,845,0,10,0"); }));
    EXPECT_TRUE(link->IsConnectionAlive());
    ::close(peer);
    link->DisconnectClick();
    expectClosedQuietly();
}

}  // namespace
