// The link window over the port component and its threads: a serial link on the "COM" setting
// naming a pseudo-terminal, and ports that cannot be opened. Real I/O: the waits end as soon as
// the bytes are there. TCP runs in the reconnect soak and the whole-program link test.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>

#include "link/FZentrova.h"
#include "link/StoredParams.h"
#include "link/pty_pair.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "support/EventWait.h"
#include "support/TempEnv.h"

namespace {

class LinkPortsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TFZentrova::setLogTap([this](const std::string& s) { logged.push_back(s); });
        link->Timer1->stop();
        Registry reg(RegRoot::CurrentUser);
        ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
        reg.writeString("COM", pty.slavePath());
    }
    void TearDown() override {
        link.reset();
        TFZentrova::setLogTap(nullptr);
    }
    // The link is closed, its menu says so, and nobody was bothered with a box.
    void expectClosedQuietly() {
        EXPECT_FALSE(link->IsConnected());
        EXPECT_TRUE(link->ConnectSerial1->isEnabled() && link->ConnectTCPIP1->isEnabled());
        EXPECT_FALSE(link->Disconnect1->isEnabled());
        EXPECT_TRUE(dialogs.shown.empty());
    }

    // The port writes from the event loop: run it while reading.
    std::string readPty(size_t n) {
        std::string got;
        waitFor([&] { return (got += pty.readAvailable()).size() >= n; });
        return got;
    }

    TempEnv env;
    DialogScript dialogs;
    PtyPair pty;
    std::vector<std::string> logged;
    std::unique_ptr<TFZentrova> link = std::make_unique<TFZentrova>();
};

TEST_F(LinkPortsTest, SerialLinkOnADevicePathAndPortsThatCannotBeOpened) {
    link->Logging->setChecked(false);
    link->ConnectionType = TFZentrova::ctSerial;
    link->ConnectSerial1->trigger();
    ASSERT_TRUE(link->IsConnected());
    EXPECT_FALSE(link->ConnectSerial1->isEnabled() || link->ConnectTCPIP1->isEnabled());
    EXPECT_TRUE(link->Disconnect1->isEnabled());
    EXPECT_TRUE(link->Logging->isChecked()) << "a serial connect turns logging on";
    link->Timer1Timer();
    EXPECT_EQ(readPty(7), "? 0123\r");
    link->CommandQueue.Add("OFF 0");
    pty.write("?0,1.2,3.4,x,y,z,123,0\r\n>");
    EXPECT_EQ(readPty(6), "OFF 0\r");
    EXPECT_NE(std::find(logged.begin(), logged.end(), "?0,1.2,3.4,x,y,z,123,0"), logged.end());
    EXPECT_EQ(link->StatusQuery, "? 123") << "the identity reply ends the identity cycle";
    EXPECT_TRUE(link->IsConnectionAlive());
    // OFF 0 is unanswered; a new connection owes nothing of the old one: what waits goes at once.
    link->DisconnectClick();
    link->CommandQueue.Add("OFF 2");
    link->ConnectSerialClick();
    link->processCommandQueue();
    EXPECT_EQ(readPty(6), "OFF 2\r");
    link->DisconnectClick();
    expectClosedQuietly();
    // Ports that cannot be opened leave the link closed, quietly.
    logged.clear();
    for (const std::string& com : {std::string("/dev/zentrova-no-such-port"), env.dir}) {
        Registry reg(RegRoot::CurrentUser);
        ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
        reg.writeString("COM", com);
        link->ConnectSerialClick();
        expectClosedQuietly();
    }
    for (const auto& l : logged) EXPECT_EQ(l.rfind("ConnectSerialClick: ", 0), 0u) << l;
    link->IPAddress = "no host name can look like this..";
    link->ConnectTCPIPClick();
    EXPECT_FALSE(waitFor([&] { return link->IsConnected(); }, 300));
    expectClosedQuietly();
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back().rfind("ConnectTCPIPClick: ", 0), 0u) << logged.back();
    link->QueueCommand("OFF 0");  // nothing escapes
}

}  // namespace
