// The link window over TCP/IP against the simulated instrument running as its own process.
// The link connects to port 192 of a loopback address where a relay of this test listens and
// passes everything on to the simulator, recording the exact bytes on the wire. Needs the
// right to listen on port 192 (the tests run as root); skipped otherwise. Runs real seconds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "integration/simproc.h"
#include "link/FZentrova.h"
#include "link/LogFile.h"
#include "platform/Dialogs.h"
#include "ports/net_peer.h"
#include "support/Bytes.h"

namespace {

const char* kAddress = "127.0.0.61";  // this test's own loopback address

// Listens on port 192 and relays each connection to the simulator, one at a time.
class Relay {
  public:
    bool start(uint16_t simPort) {
        simPort_ = simPort;
        listener_ = std::make_unique<netpeer::Listener>(kAddress, 192);
        if (listener_->fd < 0) return false;
        th_ = std::thread([this] { loop(); });
        return true;
    }
    ~Relay() {
        stop_ = true;
        if (th_.joinable()) th_.join();
    }
    std::string wire() {
        std::lock_guard g(m_);
        return fromLink_;
    }
    void clearWire() {
        std::lock_guard g(m_);
        fromLink_.clear();
    }
    // Bytes sent to the link right after its next connect, ahead of the simulator's.
    void injectOnConnect(const std::string& s) {
        std::lock_guard g(m_);
        inject_ = s;
    }
    int connections() const { return connections_; }

  private:
    void loop() {
        while (!stop_) {
            pollfd p{listener_->fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int c = ::accept(listener_->fd, nullptr, nullptr);
            if (c < 0) continue;
            ++connections_;
            int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(simPort_);
            ::inet_pton(AF_INET, kAddress, &a.sin_addr);
            if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(s);
                ::close(c);
                continue;
            }
            {
                std::lock_guard g(m_);
                if (!inject_.empty()) ::send(c, inject_.data(), inject_.size(), MSG_NOSIGNAL);
                inject_.clear();
            }
            relay(c, s);
            ::close(c);
            ::close(s);
        }
    }
    void relay(int c, int s) {
        char buf[4096];
        while (!stop_) {
            pollfd p[2] = {{c, POLLIN, 0}, {s, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0) continue;
            if (p[0].revents) {
                ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) return;
                {
                    std::lock_guard g(m_);
                    fromLink_.append(buf, static_cast<size_t>(n));
                }
                ::send(s, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
            }
            if (p[1].revents) {
                ssize_t n = ::recv(s, buf, sizeof buf, 0);
                if (n <= 0) return;
                ::send(c, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
            }
        }
    }
    std::unique_ptr<netpeer::Listener> listener_;
    uint16_t simPort_ = 0;
    std::thread th_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex m_;
    std::string fromLink_, inject_;
};

class LinkTcpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        simproc::isolateStore(tmp.path());
        ASSERT_TRUE(sim.start(
            {"--tcp", QString(kAddress) + ":0", "--log", tmp.path() + "/sim.log", "--serial", "4711"}))
            << sim.error();
        ASSERT_NE(sim.tcpPort(), 0) << sim.readyLine();
        if (!relay.start(sim.tcpPort())) {
            // Root (as in CI) must be able to: a failure there is a failure, not a skip.
            ASSERT_NE(::geteuid(), 0u) << "cannot listen on port 192 of " << kAddress;
            GTEST_SKIP() << "cannot listen on port 192 of " << kAddress << " (needs root)";
        }
        log = std::make_unique<TLogFile>();
        LogFile = log.get();
        link = std::make_unique<TFZentrova>();
        FZentrova = link.get();
        link->ConnectionType = TFZentrova::ctTCPIP;
        link->IPAddress = kAddress;
    }
    void TearDown() override {
        link.reset();
        LogFile = nullptr;
        log.reset();
        sim.stop();
        for (const auto& b : boxes.shown) ADD_FAILURE() << "box shown: " << b.text.toStdString();
    }
    void run(int ms) { sim.run(ms); }
    template <class F>
    bool runUntil(F cond, int ms) {
        return sim.runUntil(cond, ms);
    }
    void control(const char* command) { ASSERT_EQ(sim.control(command).rfind("ok", 0), 0u) << command; }
    // The commands on the wire: each must end "\r\0".
    std::vector<std::string> wireCommands() {
        std::vector<std::string> out;
        std::string w = relay.wire();
        size_t pos = 0, end;
        while ((end = w.find('\r', pos)) != std::string::npos) {
            EXPECT_TRUE(end + 1 < w.size() && w[end + 1] == '\0') << "CR without NUL at " << end;
            out.push_back(w.substr(pos, end - pos));
            pos = end + 2;
        }
        EXPECT_EQ(pos, w.size()) << "bytes after the last command: " << w.substr(std::min(pos, w.size()));
        return out;
    }
    std::string dailyLog() const { return simproc::dailyLog(tmp.path()); }

    DialogScript boxes;  // nothing may show a box
    QTemporaryDir tmp;
    simproc::SimProcess sim;
    Relay relay;
    std::unique_ptr<TLogFile> log;
    std::unique_ptr<TFZentrova> link;
};

TEST_F(LinkTcpTest, ConversationWithTheSimulatorAndTheBytesOnTheWire) {
    link->ConnectTCPIP1->trigger();
    ASSERT_TRUE(link->IsConnected());
    run(1800);  // identity and a few status polls
    link->QueueCommand("CFAN ON;RFAN ON;CFAN OFF;RFAN OFF");
    run(700);
    control("reject DOOR");
    link->QueueCommand("DOOR OPEN;RFAN ON");
    run(600);
    control("accept DOOR");
    control("malformed 1");
    run(1100);

    const auto cmds = wireCommands();
    ASSERT_GE(cmds.size(), 8u);
    EXPECT_EQ(cmds[0], "? 0123");
    std::vector<std::string> burst;
    for (const auto& c : cmds)
        if (c.rfind("? ", 0) != 0) burst.push_back(c);
    ASSERT_GE(burst.size(), 6u);
    EXPECT_EQ(
        std::vector<std::string>(burst.begin(), burst.begin() + 6),
        (std::vector<std::string>{"CFAN ON", "RFAN ON", "CFAN OFF", "RFAN OFF", "DOOR OPEN", "RFAN ON"}));
    for (size_t i = 1; i < cmds.size(); ++i) {
        if (cmds[i].rfind("? ", 0) == 0) {
            EXPECT_EQ(cmds[i], "? 123");
        }
    }

    // The simulator logged the same commands, with the same CR NUL ends.
    QFile simLog(tmp.path() + "/sim.log");
    ASSERT_TRUE(simLog.open(QIODevice::ReadOnly));
    std::string simText = simLog.readAll().toStdString();
    std::string expected;
    for (const auto& c : cmds) expected += c + "\\r\\0\n";
    EXPECT_EQ(simText, expected);

    // The replies reached the line reader: status lines in the daily log, and the malformed one.
    const std::string daily = dailyLog();
    EXPECT_NE(daily.find(",?0,"), std::string::npos) << daily;
    EXPECT_NE(daily.find(",?3,"), std::string::npos) << daily;
    EXPECT_NE(daily.find("Error: Malformed status line!!! See above."), std::string::npos);
    EXPECT_TRUE(link->IsConnectionAlive());

    link->Disconnect1->setEnabled(true);
    link->Disconnect1->trigger();
    EXPECT_FALSE(link->IsConnected());
    const size_t before = relay.wire().size();
    run(700);
    EXPECT_EQ(relay.wire().size(), before);
}

TEST_F(LinkTcpTest, APeerThatClosesOrSendsGarbageAndANewConnect) {
    link->ConnectTCPIP1->trigger();
    ASSERT_TRUE(link->IsConnected());
    run(1200);
    ASSERT_TRUE(link->IsConnectionAlive());
    control("garbage 4000");
    run(1500);
    EXPECT_TRUE(link->IsConnected());
    control("drop");
    ASSERT_TRUE(runUntil([&] { return !link->IsConnected(); }, 3000)) << "the port closes when the peer does";
    // The alive check, polled once a second as the instrument state does, reports the closed
    // link lost after 10 silent seconds; closing showed no box (checked at the end).
    int seconds = 0;
    while (seconds < 14 && link->IsConnectionAlive()) {
        run(1000);
        ++seconds;
    }
    EXPECT_GE(seconds, 9);
    EXPECT_LE(seconds, 12) << "no data for 10 seconds is a lost link";
    // The instrument state reconnects on its next tick; do the same.
    relay.clearWire();
    link->ConnectTCPIPClick();
    ASSERT_TRUE(link->IsConnected());
    run(1200);
    const auto cmds = wireCommands();
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds[0], "? 0123") << "a new connection asks for the identity again";
    EXPECT_TRUE(link->IsConnectionAlive());
}

TEST_F(LinkTcpTest, TelnetNegotiationFromThePeerIsAnswered) {
    relay.injectOnConnect(bytes({255, 253, 24, 255, 251, 3, 255, 253, 1}));
    link->ConnectTCPIP1->trigger();
    ASSERT_TRUE(runUntil([&] { return relay.wire().size() >= 9; }, 3000));
    run(800);
    const std::string w = relay.wire();
    const std::string answers = bytes({255, 251, 24, 255, 253, 3, 255, 252, 1});
    ASSERT_EQ(w.substr(0, 9), answers);
    relay.clearWire();
    run(600);
    EXPECT_TRUE(link->IsConnected());
    EXPECT_FALSE(wireCommands().empty());
}

TEST_F(LinkTcpTest, RefusedAndUnresolvableAddressesFailQuietlyEveryTime) {
    link->IPAddress = "127.0.0.62";  // nothing listens there
    for (int tick = 0; tick < 5; ++tick) {
        if (link->IsConnected())
            link->DisconnectClick();
        else
            link->ConnectTCPIPClick();
        run(200);
    }
    EXPECT_FALSE(link->IsConnected());
    link->IPAddress = "no-such-host.invalid";
    for (int tick = 0; tick < 3; ++tick) {
        link->ConnectTCPIPClick();
        run(100);
        EXPECT_FALSE(link->IsConnected());
    }
    // The right address still connects afterwards.
    link->IPAddress = kAddress;
    link->ConnectTCPIPClick();
    ASSERT_TRUE(link->IsConnected());
    run(1200);
    EXPECT_TRUE(link->IsConnectionAlive());
}

}  // namespace
