// The link window over the port component: serial (the "COM" setting naming a pseudo-terminal)
// and TCP/IP (a loopback server on port 192). Failures of the port layer leave the link closed
// and never escape. Real I/O: the waits end as soon as the bytes are there.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QTimer>
#include <functional>

#include "link/FZentrova.h"
#include "link/StoredParams.h"
#include "link/pty_pair.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "support/EventWait.h"
#include "support/TempEnv.h"

namespace {

// A loopback listener playing the instrument's network side.
class Listener {
  public:
    bool listen(const char* addr, uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, addr, &sa.sin_addr);
        return fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
               ::listen(fd_, 2) == 0;
    }
    bool accept() {
        peer_ = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        return peer_ >= 0;
    }
    std::string read() {
        std::string out;
        char buf[1024];
        ssize_t n;
        while (peer_ >= 0 && (n = ::read(peer_, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
        return out;
    }
    void write(const std::string& s) { (void)!::write(peer_, s.data(), s.size()); }
    void closePeer() {
        if (peer_ >= 0) ::close(peer_);
        peer_ = -1;
    }
    ~Listener() {
        closePeer();
        if (fd_ >= 0) ::close(fd_);
    }

  private:
    int fd_ = -1, peer_ = -1;
};

class LinkPortsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TFZentrova::setLogTap([this](const std::string& s) { logged.push_back(s); });
        link = std::make_unique<TFZentrova>();
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

    TempEnv env;
    DialogScript dialogs;
    std::unique_ptr<TFZentrova> link;
    std::vector<std::string> logged;
};

TEST_F(LinkPortsTest, SerialLinkOnADevicePath) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    setCom(pty.slavePath());
    link->Logging->setChecked(false);
    link->ConnectionType = TFZentrova::ctSerial;
    link->ConnectSerial1->trigger();
    ASSERT_TRUE(link->IsConnected());
    EXPECT_FALSE(link->ConnectSerial1->isEnabled());
    EXPECT_FALSE(link->ConnectTCPIP1->isEnabled());
    EXPECT_TRUE(link->Disconnect1->isEnabled());
    EXPECT_TRUE(link->Logging->isChecked()) << "a serial connect turns logging on";
    EXPECT_EQ(link->StatusQuery, "? 0123");

    link->Timer1Timer();
    std::string got;
    EXPECT_TRUE(waitFor([&] { return (got += pty.readAvailable()).size() >= 7; }));
    EXPECT_EQ(got, "? 0123\r");
    link->CommandQueue.Add("OFF 0");
    pty.write("?0,1.2,3.4,x,y,z,123,0\r\n>");
    ASSERT_TRUE(waitFor([&] { return loggedLine("OFF 0"); }));
    EXPECT_TRUE(loggedLine("?0,1.2,3.4,x,y,z,123,0"));
    EXPECT_EQ(link->StatusQuery, "? 123");
    got.clear();
    EXPECT_TRUE(waitFor([&] { return (got += pty.readAvailable()).size() >= 6; }));
    EXPECT_EQ(got, "OFF 0\r");
    EXPECT_TRUE(link->IsConnectionAlive());

    link->DisconnectClick();
    EXPECT_FALSE(link->IsConnected());
    EXPECT_TRUE(link->ConnectSerial1->isEnabled());
    EXPECT_FALSE(link->Disconnect1->isEnabled());
}

TEST_F(LinkPortsTest, SerialOpenFailuresLeaveTheLinkClosed) {
    // No such device: nothing happens.
    setCom("/dev/zentrova-no-such-port");
    link->ConnectSerialClick();
    EXPECT_FALSE(link->IsConnected());
    // Something that is there but is no serial port.
    setCom(env.dir);
    link->ConnectSerialClick();
    EXPECT_FALSE(link->IsConnected());
    EXPECT_TRUE(link->ConnectSerial1->isEnabled());
    EXPECT_FALSE(link->Disconnect1->isEnabled());
    EXPECT_TRUE(dialogs.shown.empty()) << "no port dialog, no error box";
    for (const auto& l : logged) EXPECT_EQ(l.rfind("ConnectSerialClick: ", 0), 0u) << l;
}

TEST_F(LinkPortsTest, TcpLinkToPort192) {
    if (geteuid() != 0) GTEST_SKIP() << "port 192 needs root";
    Listener server;
    ASSERT_TRUE(server.listen("127.0.0.57", 192));
    link->IPAddress = "127.0.0.57";
    link->ConnectionType = TFZentrova::ctTCPIP;
    link->ConnectTCPIP1->trigger();
    ASSERT_TRUE(link->IsConnected());
    EXPECT_FALSE(link->ConnectTCPIP1->isEnabled());
    ASSERT_TRUE(waitFor([&] { return server.accept(); }));
    std::string got;
    ASSERT_TRUE(waitFor([&] {
        link->Timer1Timer();
        got += server.read();
        return got.find("? 0123\r") != std::string::npos;
    })) << got;
    server.write(">?3,250,612,300,845,0,10,0\r\n");
    ASSERT_TRUE(waitFor([&] { return loggedLine(">?3,250,612,300,845,0,10,0"); }));
    EXPECT_TRUE(link->IsConnectionAlive());

    // The peer goes away: sending is a recorded failure at worst, never an exception.
    server.closePeer();
    waitFor([] { return false; }, 200);
    link->PendingAcks = link->PendingStatus = 0;
    link->QueueCommand("OFF 0");
    if (link->IsConnected())
        EXPECT_TRUE(loggedLine("OFF 0") ||
                    loggedLine("processCommandQueue: Failed! while pushing to Port: OFF 0"));
    else
        EXPECT_EQ(link->CommandQueue.Count(), 1) << "kept for the next connection";
    link->DisconnectClick();
    EXPECT_FALSE(link->IsConnected());
    EXPECT_TRUE(link->ConnectTCPIP1->isEnabled());
}

TEST_F(LinkPortsTest, TcpOpenFailureLeavesTheLinkClosed) {
    link->IPAddress = "no host name can look like this..";
    link->ConnectTCPIPClick();
    waitFor([] { return false; }, 300);
    EXPECT_FALSE(link->IsConnected());
    EXPECT_TRUE(link->ConnectTCPIP1->isEnabled());
    EXPECT_FALSE(link->Disconnect1->isEnabled());
    EXPECT_TRUE(dialogs.shown.empty());
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back().rfind("ConnectTCPIPClick: ", 0), 0u) << logged.back();
    link->PendingAcks = link->PendingStatus = 0;
    link->QueueCommand("OFF 0");  // nothing escapes
    link->DisconnectClick();
    EXPECT_FALSE(link->IsConnected());
}

}  // namespace
