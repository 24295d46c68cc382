// The port component over the serial dispatcher and its I/O thread: a pseudo-terminal
// flood, notifications, closing while they are pending, modem and line events from a
// fake device, flow settings.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <atomic>
#include <chrono>
#include <thread>

#include "ports/FakeSerial.h"
#include "ports/ZpComPort.h"
#include "ports/ZpStatusLight.h"
#include "support/EventWait.h"
#include "support/TempEnv.h"
#include "support/ThreadCpu.h"

namespace {

struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty() {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
        // The program opens the slave by its path; this copy only keeps the pty alive.
    }
    ~Pty() {
        if (slave >= 0) ::close(slave);
        if (master >= 0) ::close(master);
    }
};

std::string pattern(size_t n, int seed) {
    std::string s(n, '\0');
    uint32_t x = static_cast<uint32_t>(seed) * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

}  // namespace

TEST(SerialPort, FloodsAMegabyteEachWayThroughAPseudoTerminal) {
    TempEnv env;
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    const size_t total = 1 << 20;
    const std::string toDevice = pattern(total, 1), toPort = pattern(total, 2);
    TZpComPort port;
    port.SetComDevice(pty.path);
    std::string received;
    port.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t count) {
        for (uint16_t i = 0; i < count; ++i) received.push_back(cp->GetChar());
    });
    port.SetOpen(true);
    ASSERT_TRUE(port.GetOpen());

    std::string atDevice;
    std::atomic<size_t> atDeviceCount{0};
    std::atomic<bool> stop{false};
    std::thread far([&] {
        size_t sent = 0;
        while (!stop && (sent < total || atDevice.size() < total)) {
            pollfd p{pty.master, static_cast<short>(POLLIN | (sent < total ? POLLOUT : 0)), 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            if (p.revents & POLLIN) {
                char buf[4096];
                const ssize_t n = ::read(pty.master, buf, sizeof buf);
                if (n > 0) {
                    atDevice.append(buf, static_cast<size_t>(n));
                    atDeviceCount += static_cast<size_t>(n);
                }
            }
            if ((p.revents & POLLOUT) && sent < total) {
                const ssize_t n =
                    ::write(pty.master, toPort.data() + sent, std::min<size_t>(4096, total - sent));
                if (n > 0) sent += static_cast<size_t>(n);
            }
        }
    });
    size_t put = 0;
    const bool done = waitFor(
        [&] {
            while (put < total) {
                const size_t room = port.OutBuffFree();
                if (room == 0) break;
                const size_t n = std::min(room, total - put);
                port.PutString(toDevice.substr(put, n));
                put += n;
            }
            return put == total && received.size() >= total;
        },
        60000);
    const bool farDone = waitFor([&] { return atDeviceCount.load() >= total; }, 20000);
    stop = true;
    far.join();
    EXPECT_TRUE(done);
    EXPECT_TRUE(farDone);
    EXPECT_TRUE(received == toPort) << "received " << received.size();
    EXPECT_TRUE(atDevice == toDevice) << "device got " << atDevice.size();
    port.SetOpen(false);
}

TEST(SerialPort, OpensWithTheDefaultLineOnAPseudoTerminal) {
    TempEnv env;
    Pty pty;
    TZpComPort port;
    port.SetComDevice(pty.path);
    port.SetOpen(true);
    ASSERT_TRUE(port.GetOpen());
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_lflag & ICANON);
    // A second open of the same device is refused as "in use".
    TZpComPort other;
    other.SetComDevice(pty.path);
    EXPECT_THROW(other.SetOpen(true), EAlreadyOpen);
    EXPECT_FALSE(other.GetOpen());
    port.SetOpen(false);
    EXPECT_FALSE(port.GetOpen());
}

TEST(SerialPort, AHungUpDeviceNeverSpinsTheThread) {
    TempEnv env;
    Pty pty;
    TZpComPort port;
    port.SetComDevice(pty.path);
    port.SetOpen(true);
    ASSERT_TRUE(port.GetOpen());
    // The far side goes away: a hung-up tty polls readable forever but reads nothing.
    ::close(pty.master);
    ::close(pty.slave);
    pty.master = pty.slave = -1;
    port.PutString("? 123\r");
    const double cpu0 = otherThreadsCpu();
    const auto t0 = std::chrono::steady_clock::now();
    waitFor([] { return false; }, 600);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(otherThreadsCpu() - cpu0, 0.2 * wall) << "the I/O thread spins";
    EXPECT_TRUE(port.GetOpen());
    port.SetOpen(false);
    EXPECT_FALSE(port.GetOpen());
}

struct FakePort : ::testing::Test {
    TempEnv env;
    FakeSerialGuard fake;
    TZpComPort port;
    void SetUp() override { port.SetComNumber(99); }
};

TEST_F(FakePort, ClosingInsideANotificationIsDeferredAndCanReopen) {
    int avail = 0;
    bool stateInside = false;
    port.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t) {
        ++avail;
        cp->SetOpen(false);
        stateInside = cp->PortState() == psShuttingDown && !cp->GetOpen();
        EXPECT_EQ(cp->GetChar(), 0);  // a closing port gives byte 0
        cp->SetOpen(true);            // reopens once the close is done
    });
    port.SetOpen(true);
    fake.state->push("abc");
    ASSERT_TRUE(waitFor([&] { return avail == 1; }));
    EXPECT_TRUE(stateInside);
    ASSERT_TRUE(waitFor([&] { return port.PortState() == psOpen; }));
    EXPECT_TRUE(port.GetOpen());
    EXPECT_EQ(fake.state->opens.load(), 2);
    port.SetOpen(false);
    EXPECT_EQ(port.PortState(), psClosed);
}

TEST_F(FakePort, ClosingWhileTheGuiThreadIsBusyNeverDeliversStaleBytes) {
    int avail = 0;
    port.SetOnTriggerAvail([&](TZpCustomComPort*, uint16_t) { ++avail; });
    port.SetOpen(true);
    fake.state->push("stale");
    // The I/O thread is now waiting for the GUI thread to take the notification.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto t0 = std::chrono::steady_clock::now();
    port.SetOpen(false);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    waitFor([] { return false; }, 100);
    EXPECT_EQ(avail, 0);
    EXPECT_EQ(port.PortState(), psClosed);
}

TEST_F(FakePort, BytesAreAnnouncedAgainAfterASendTimedOut) {
    std::string got;
    port.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t n) {
        for (uint16_t i = 0; i < n; ++i) got.push_back(cp->GetChar());
    });
    port.SetOpen(true);
    fake.state->push("hello");
    std::this_thread::sleep_for(std::chrono::milliseconds(3400));  // longer than the 3-s send limit
    ASSERT_TRUE(waitFor([&] { return got == "hello"; }, 3000)) << got;
    port.SetOpen(false);
}

TEST_F(FakePort, ModemChangesAndLineErrorsReachTheirEvents) {
    int modem = 0;
    uint16_t lineError = 0;
    port.SetOnTriggerModemStatus([&](TZpCustomComPort*) { ++modem; });
    port.SetOnTriggerLineError([&](TZpCustomComPort*, uint16_t e, bool) { lineError = e; });
    port.SetOpen(true);
    const uint16_t ms = port.AddStatusTrigger(stModem);
    port.SetStatusTrigger(ms, MS_CTS_ON | MS_DSR_ON, true);
    const uint16_t ls = port.AddStatusTrigger(stLine);
    port.SetStatusTrigger(ls, 15, true);
    fake.state->setLines(MS_CTS_ON);
    ASSERT_TRUE(waitFor([&] { return modem == 1; }));
    EXPECT_TRUE(port.CTS());
    EXPECT_FALSE(port.DSR());
    fake.state->addErrors(CE_FRAME);
    ASSERT_TRUE(waitFor([&] { return lineError != 0; }));
    EXPECT_EQ(lineError, 4);
    port.SetOpen(false);
}

TEST_F(FakePort, DataTriggersAndTimersFromTheThread) {
    std::vector<uint16_t> data, timers;
    port.SetOnTriggerData([&](TZpCustomComPort*, uint16_t h) { data.push_back(h); });
    port.SetOnTriggerTimer([&](TZpCustomComPort*, uint16_t h) { timers.push_back(h); });
    port.SetOpen(true);
    port.RemoveAllTriggers();
    EXPECT_EQ(port.GetTriggerLength(), 0);
    const uint16_t d = port.AddDataTrigger("\r\n", false);
    const uint16_t t = port.AddTimerTrigger();
    port.SetTimerTrigger(t, 1, true);
    fake.state->push("?3,1,2\r\n");
    ASSERT_TRUE(waitFor([&] { return !data.empty() && !timers.empty(); }));
    EXPECT_EQ(data[0], d);
    EXPECT_EQ(timers[0], t);
    port.SetOpen(false);
}

TEST_F(FakePort, FlowThresholdsAndLinesReachTheDevice) {
    port.SetHWFlowOptions(hwfRequireCTS);
    EXPECT_EQ(port.GetBufferFull(), 3686);
    EXPECT_EQ(port.GetBufferResume(), 409);
    EXPECT_FALSE(port.GetRS485Mode());
    port.SetOpen(true);
    {
        std::lock_guard g(fake.state->m);
        EXPECT_TRUE(fake.state->state.Flags & CommState::fOutxCtsFlow);
        EXPECT_EQ(fake.state->state.XoffLim, 4096 - 3686);
        EXPECT_EQ(fake.state->state.BaudRate, 19200u);
    }
    EXPECT_TRUE(fake.state->dtr.load());
    port.SetDTR(false);
    EXPECT_FALSE(fake.state->dtr.load());
    port.SetBaud(9600);
    {
        std::lock_guard g(fake.state->m);
        EXPECT_EQ(fake.state->state.BaudRate, 9600u);
    }
    port.PutString("out");
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard g(fake.state->m);
        return fake.state->output == "out";
    }));
    port.SetOpen(false);
}

TEST_F(FakePort, LampsFollowTheLinkTraffic) {
    TZpStatusLight rx, tx;
    TZpSLController ctl;
    ctl.SetComPort(&port);
    ctl.Lights().RXDLight = &rx;
    ctl.Lights().TXDLight = &tx;
    std::string got;
    port.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t n) {
        for (uint16_t i = 0; i < n; ++i) got.push_back(cp->GetChar());
    });
    ctl.SetMonitoring(true);  // port closed: wanted, nothing installed
    EXPECT_FALSE(ctl.GetMonitoring());
    port.SetOpen(true);
    EXPECT_TRUE(ctl.GetMonitoring());
    fake.state->push("data");
    ASSERT_TRUE(waitFor([&] { return got == "data"; }));
    EXPECT_TRUE(rx.GetLit());
    ASSERT_TRUE(waitFor([&] { return !rx.GetLit(); }));
    port.PutString("x");
    ASSERT_TRUE(waitFor([&] { return tx.GetLit(); }));
    ASSERT_TRUE(waitFor([&] { return !tx.GetLit(); }));
    port.SetOpen(false);
    EXPECT_FALSE(ctl.GetMonitoring());
    port.SetOpen(true);
    EXPECT_TRUE(ctl.GetMonitoring());  // back after a reconnect
    port.SetOpen(false);
}

TEST_F(FakePort, TracingAndLoggingAreDumpedAtClose) {
    port.SetTraceName(env.path("z.trc"));
    port.SetTracing(tlDump);
    EXPECT_EQ(port.GetTracing(), tlOff);
    port.SetTracing(tlOn);
    port.SetOpen(true);
    port.PutString("AB");
    port.SetOpen(false);
    EXPECT_EQ(port.GetTracing(), tlOff);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(env.path("z.trc"))));
    port.SetTraceSize(5000000);
    EXPECT_EQ(port.GetTraceSize(), 4000000u);
    port.SetLogSize(20000000);
    EXPECT_EQ(port.GetLogSize(), 16000000u);
    port.SetOpen(true);
    port.SetTraceSize(0);
    EXPECT_THROW(port.SetTracing(tlOn), EBadArgument);  // an empty trace is refused
    port.SetOpen(false);
}

TEST_F(FakePort, OpenRulesOfThePort) {
    TZpComPort p;
    p.SetPromptForPort(false);
    EXPECT_THROW(p.SetOpen(true), ENoPortSelected);
    EXPECT_FALSE(p.GetOpen());
    p.SetDeviceLayer(dlWinsock);  // not supported by the plain serial port
    EXPECT_EQ(p.GetDeviceLayer(), dlWin32);
    p.RemoveAllTriggers();  // closed: does not open
    EXPECT_EQ(p.PortState(), psClosed);
    EXPECT_EQ(p.GetTriggerLength(), 1);
    port.FlushInBuffer();  // AutoOpen opens first
    EXPECT_TRUE(port.GetOpen());
    port.SetOpen(true);
    EXPECT_EQ(fake.state->opens.load(), 1);
    port.SetAutoOpen(false);
    port.SetOpen(false);
    EXPECT_THROW(port.PutString("x"), ECommNotOpen);
}

TEST_F(FakePort, SettingsChangeWhileDataFlows) {
    std::string got;
    port.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t n) {
        for (uint16_t i = 0; i < n; ++i) got.push_back(cp->GetChar());
    });
    port.SetOpen(true);
    std::string sent;
    for (int i = 0; i < 40; ++i) {
        const std::string chunk = "chunk" + std::to_string(i) + ";";
        sent += chunk;
        fake.state->push(chunk);
        port.SetHWFlowOptions(i % 2 ? hwfRequireCTS | hwfUseRTS : 0);
        port.SetSWFlowOptions(i % 3 ? swfNone : swfBoth);
        port.SetDTR(i % 2 == 0);
        fake.state->setLines(i % 2 ? MS_CTS_ON : 0);
        EXPECT_GE(port.GetFlowState(), 1);
        port.PutString("x");
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(waitFor([&] { return got.size() >= sent.size(); }));
    EXPECT_EQ(got, sent);
    port.SetOpen(false);
}
