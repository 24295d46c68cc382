// The port component over the serial dispatcher and its I/O thread: a pseudo-terminal
// flood, notifications, closing while they are pending, modem and line events from a
// fake device, flow settings.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ports/FakeSerial.h"
#include "ports/ZpComDispatcher.h"
#include "ports/ZpComPort.h"
#include "support/EventWait.h"
#include "support/TempEnv.h"
#include "support/ThreadCpu.h"

namespace {

struct PtyPort : ::testing::Test {
    TempEnv env;
    int master = -1, slave = -1;
    TZpComPort port;
    void SetUp() override {
        char name[256];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        port.SetComDevice(name);  // opened by its path; our slave copy only keeps the pty alive
    }
    void TearDown() override {
        port.SetOpen(false);
        for (int fd : {master, slave})
            if (fd >= 0) ::close(fd);
    }
};

struct FakePort : ::testing::Test {
    TempEnv env;
    FakeSerialGuard fake;
    TZpComPort port;
    std::string got;
    void SetUp() override {
        port.SetComNumber(99);
        port.SetOnTriggerAvail([this](TZpCustomComPort* cp, uint16_t n) {
            for (uint16_t i = 0; i < n; ++i) got.push_back(cp->GetChar());
        });
    }
    std::string deviceOutput() {
        std::lock_guard g(fake.state->m);
        return fake.state->output;
    }
};

}  // namespace

TEST_F(PtyPort, FloodsAMegabyteEachWayThroughAPseudoTerminal) {
    const size_t total = 1 << 20;
    std::string toDevice(total, '\0'), toPort(total, '\0'), received, atDevice;
    for (size_t i = 0; i < total; ++i) {
        toDevice[i] = static_cast<char>(i * 7 + i / 251);
        toPort[i] = static_cast<char>(i * 13 + i / 241);
    }
    port.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t count) {
        for (uint16_t i = 0; i < count; ++i) received.push_back(cp->GetChar());
    });
    port.SetOpen(true);
    std::atomic<size_t> atDeviceCount{0};
    std::atomic<bool> stop{false};
    std::thread far([&] {
        for (size_t sent = 0; !stop && (sent < total || atDevice.size() < total);) {
            pollfd p{master, static_cast<short>(POLLIN | (sent < total ? POLLOUT : 0)), 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buf[4096];
            const ssize_t n = (p.revents & POLLIN) ? ::read(master, buf, sizeof buf) : 0;
            if (n > 0) atDevice.append(buf, static_cast<size_t>(n));
            atDeviceCount = atDevice.size();
            const ssize_t w =
                (p.revents & POLLOUT) && sent < total
                    ? ::write(master, toPort.data() + sent, std::min<size_t>(4096, total - sent))
                    : 0;
            if (w > 0) sent += static_cast<size_t>(w);
        }
    });
    size_t put = 0;
    const double cpu0 = otherThreadsCpu();
    const auto start = std::chrono::steady_clock::now();
    auto receivedAll = start;
    EXPECT_TRUE(waitFor(
        [&] {
            for (size_t n; put < total && (n = std::min<size_t>(port.OutBuffFree(), total - put)) > 0;
                 put += n)
                port.PutString(toDevice.substr(put, n));
            if (received.size() < total) receivedAll = std::chrono::steady_clock::now();
            return put == total && received.size() >= total;
        },
        60000));
    // The device is read no faster than its slices allow: a flooding device waits.
    const auto slices = static_cast<int64_t>(total) / TZpWin32Dispatcher::SliceBytes;
    EXPECT_GE(receivedAll - start, std::chrono::milliseconds((slices - 1) * TZpWin32Dispatcher::SliceMs));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Meanwhile the I/O thread waits for the next slice instead of polling a readable device.
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(otherThreadsCpu() - cpu0, 0.25 * elapsed);
#else
    (void)cpu0;
#endif
    EXPECT_TRUE(waitFor([&] { return atDeviceCount.load() >= total; }, 20000));
    stop = true;
    far.join();
    EXPECT_TRUE(received == toPort) << "received " << received.size();
    EXPECT_TRUE(atDevice == toDevice) << "device got " << atDevice.size();
}

TEST_F(PtyPort, AHungUpDeviceNeverSpinsTheThread) {
    port.SetOpen(true);
    // The far side goes away: a hung-up tty polls readable forever but reads nothing.
    ::close(master);
    ::close(slave);
    master = slave = -1;
    port.PutString("? 123\r");
    const double cpu0 = otherThreadsCpu();
    spin(600);
    EXPECT_LT(otherThreadsCpu() - cpu0, 0.12) << "the I/O thread spins";
    EXPECT_TRUE(port.GetOpen());
}

TEST_F(FakePort, ClosingInsideANotificationIsDeferredAndCanReopen) {
    // A close that waited for the notification it is called from would never return.
    ::alarm(60);
    bool stateInside = false;
    port.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t) {
        cp->SetOpen(false);
        stateInside = cp->PortState() == psShuttingDown && !cp->GetOpen();
        got.push_back(cp->GetChar());  // a closing port gives byte 0
        cp->SetOpen(true);             // reopens once the close is done
    });
    port.SetOpen(true);
    fake.state->push("abc");
    ASSERT_TRUE(waitFor([&] { return !got.empty() && port.PortState() == psOpen; }));
    EXPECT_EQ(got, std::string(1, '\0'));
    EXPECT_TRUE(stateInside);
    EXPECT_EQ(fake.state->opens.load(), 2);
    port.SetOpen(false);
    EXPECT_EQ(port.PortState(), psClosed);
    ::alarm(0);
}

TEST_F(FakePort, ClosingWhileTheGuiThreadIsBusyNeverDeliversStaleBytes) {
    port.SetOpen(true);
    fake.state->push("stale");
    // The I/O thread is now waiting for the GUI thread to take the notification.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto t0 = std::chrono::steady_clock::now();
    port.SetOpen(false);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    // Asked outside a notification, the close is over on return: a reopen right after it opens.
    EXPECT_EQ(port.PortState(), psClosed);
    port.SetOpen(true);
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_EQ(fake.state->opens.load(), 2);
    port.SetOpen(false);
    spin(100);
    EXPECT_EQ(got, "");
}

TEST_F(FakePort, BytesAreAnnouncedAgainAfterASendTimedOut) {
    port.SetOpen(true);
    fake.state->push("hello");
    std::this_thread::sleep_for(std::chrono::milliseconds(3400));  // longer than the 3-s send limit
    EXPECT_TRUE(waitFor([&] { return got == "hello"; }, 3000)) << got;
}

TEST_F(FakePort, TheLinksSetupReachesTheDeviceAndLineErrorsTheirEvent) {
    uint16_t lineError = 0;
    port.SetOnTriggerLineError([&](TZpCustomComPort*, uint16_t e, bool) { lineError = e; });
    port.SetOpen(true);
    port.SetStatusTrigger(port.AddStatusTrigger(stLine), 15, true);
    {
        std::lock_guard g(fake.state->m);
        EXPECT_EQ(fake.state->state.BaudRate, 19200u);
    }
    EXPECT_TRUE(fake.state->dtr.load());
    port.PutString("out");
    fake.state->addErrors(CE_FRAME);
    ASSERT_TRUE(waitFor([&] { return lineError != 0 && deviceOutput() == "out"; }));
    EXPECT_EQ(lineError, 4);
    port.SetAutoOpen(false);
    port.SetOpen(false);
    EXPECT_THROW(port.PutString("x"), ECommNotOpen);
}
