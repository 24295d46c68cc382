// The port component over the serial dispatcher and its I/O thread: a pseudo-terminal
// flood, notifications, closing while they are pending, modem and line events from a
// fake device, flow settings, output across the ring's end, packets cut from the input.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "ports/FakeSerial.h"
#include "ports/ZpComDispatcher.h"
#include "ports/ZpComPort.h"
#include "ports/ZpDataPacket.h"
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

// A synchronised handler the GUI thread does not reach in time: the call is not left behind,
// and the bytes it should have taken are announced again without new ones arriving.
TEST(SerialDispatcher, ASynchronisedHandlerThatTimedOutGetsItsBytesAgain) {
    TempEnv env;
    FakeSerialGuard fake;
    TZpWin32Dispatcher d(nullptr);
    ASSERT_EQ(d.InitPort("FAKE", 19200, 0, 8, 1, 4096, 4096, 3), 0);
    std::string got;
    int calls = 0;
    d.RegisterSyncEventTriggerHandler(&got, [&](uint32_t m, uint32_t n, int32_t) {
        ++calls;
        uint8_t c;
        for (uint32_t i = 0; m == ZpTriggerAvail && i < n && d.GetChar(c) == 0; ++i) got.push_back(char(c));
    });
    d.ChangeLengthTrigger(1);
    fake.state->push("hello");
    std::this_thread::sleep_for(std::chrono::milliseconds(3400));  // longer than the 3-s send limit
    EXPECT_TRUE(waitFor([&] { return got == "hello"; }, 3000)) << got;
    EXPECT_EQ(calls, 1);  // the abandoned call never ran
    EXPECT_TRUE(waitFor([] { return ZpPendingSyncCalls() == 0; })) << ZpPendingSyncCalls();
    d.DeregisterEventTriggerHandler(&got);
}

// Output held by CTS is reported; DSR never holds output here, whatever the options say.
TEST(SerialDispatcher, OnlyCtsHoldsOutput) {
    TempEnv env;
    FakeSerialGuard fake;
    TZpWin32Dispatcher d(nullptr);
    ASSERT_EQ(d.InitPort("FAKE", 19200, 0, 8, 1, 4096, 4096, 3), 0);
    ASSERT_EQ(d.HWFlowOptions(4000, 100, 1 | 2 | 4 | 8), 0);
    const struct Row {
        uint32_t lines;
        int32_t state;
    } rows[] = {{0, 4}, {MS_DSR_ON, 4}, {MS_CTS_ON, 2}, {MS_CTS_ON | MS_DSR_ON, 2}};
    for (const Row& r : rows) {
        fake.state->lines = r.lines;
        EXPECT_EQ(d.HWFlowState(), r.state) << r.lines;
    }
}

// In RS-485 mode RTS is up while the port sends and drops once all has left; a driver that keys
// RTS itself is left to it.
TEST_F(FakePort, RS485KeysRtsAroundWhatThePortSends) {
    for (const bool driver : {false, true}) {
        {
            std::lock_guard g(fake.state->m);
            fake.state->driverRs485 = driver;
        }
        port.SetRS485Mode(true);
        port.SetOpen(true);
        EXPECT_EQ(fake.state->rs485.load(), driver);
        fake.state->takeEvents();
        port.PutString("hello");
        const std::vector<std::string> want = driver ? std::vector<std::string>{"W:hello"}
                                                     : std::vector<std::string>{"RTS+", "W:hello", "RTS-"};
        std::vector<std::string> seen;
        EXPECT_TRUE(waitFor([&] {
            for (auto& e : fake.state->takeEvents()) seen.push_back(e);
            return seen.size() >= want.size();
        })) << driver;
        spin(50);
        for (auto& e : fake.state->takeEvents()) seen.push_back(e);
        EXPECT_EQ(seen, want) << driver;
        port.SetOpen(false);
        port.SetRS485Mode(false);
    }
}

// Keyed by the port, RTS stays up while the driver still sends, and the port reads its input
// all the while: the wait for the line to fall idle does not hold the I/O thread.
TEST_F(FakePort, RS485KeyedByThePortStillReadsInputWhileTheDriverSends) {
    port.SetRS485Mode(true);
    port.SetOpen(true);
    ASSERT_TRUE(port.Dispatcher()->KeysRS485());
    fake.state->outQueue = 20000;  // ten seconds and more at 19200 baud
    fake.state->takeEvents();
    port.PutString("hello");
    std::vector<std::string> seen;
    auto collect = [&] {
        for (auto& e : fake.state->takeEvents()) seen.push_back(e);
    };
    ASSERT_TRUE(waitFor([&] {
        collect();
        return seen.size() >= 2;
    }));
    fake.state->push("reply");
    EXPECT_TRUE(waitFor([&] { return got == "reply"; }, 3000)) << got;
    collect();
    EXPECT_EQ(seen, (std::vector<std::string>{"RTS+", "W:hello"}));  // still keyed
    fake.state->outQueue = 0;
    EXPECT_TRUE(waitFor([&] {
        collect();
        return seen.size() >= 3;
    }));
    EXPECT_EQ(seen, (std::vector<std::string>{"RTS+", "W:hello", "RTS-"}));
    port.SetOpen(false);
}

// A flush of the output discards what waits in the ring: it never reaches the device.
TEST_F(FakePort, FlushingTheOutputDiscardsWhatWasQueued) {
    port.SetOpen(true);
    fake.state->setWriteRoom(0);
    port.PutString("stale");
    port.FlushOutBuffer();
    EXPECT_EQ(port.OutBuffUsed(), 0);
    fake.state->setWriteRoom(-1);
    port.PutString("new");
    ASSERT_TRUE(waitFor([&] { return deviceOutput() == "new"; })) << deviceOutput();
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

TEST_F(FakePort, OutputAcrossTheEndOfTheRingLeavesInOneWrite) {
    port.SetOutSize(16);
    port.SetOpen(true);
    fake.state->setWriteRoom(10);
    port.PutString("ABCDEFGHIJKL");
    ASSERT_TRUE(waitFor([&] { return deviceOutput().size() == 10; }));
    port.PutString("MNOPQRST");  // the ring now holds K..P at its end and Q..T at its start
    fake.state->setWriteRoom(-1);
    ASSERT_TRUE(waitFor([&] { return deviceOutput() == "ABCDEFGHIJKLMNOPQRST"; })) << deviceOutput();
    std::lock_guard g(fake.state->m);
    EXPECT_EQ(fake.state->writes, (std::vector<int>{10, 10}));
}

namespace {
// Packets on a serial port whose notifications come from its I/O thread.
struct Packets : ::testing::Test {
    TempEnv env;
    FakeSerialGuard fake;
    TZpComPort port;
    std::vector<std::unique_ptr<TZpDataPacket>> owned;
    std::vector<std::string> events;  // "name:data", "name timed out:data"
    const std::thread::id mainThread = std::this_thread::get_id();
    bool offMainThread = false;
    void SetUp() override { port.SetComNumber(99); }
    TZpDataPacket* add(const std::string& name, const std::string& start, TPacketEndSet end = 0,
                       int32_t size = 0, const std::string& endString = "") {
        auto p = std::make_unique<TZpDataPacket>();
        p->setObjectName(QString::fromStdString(name));
        p->SetComPort(&port);
        p->SetStartCond(start.empty() ? scAnyData : scString);
        p->SetStartString(start);
        p->SetEndCond(end);
        p->SetEndString(endString);
        p->SetPacketSize(size);
        p->OnStringPacket = [this, name](TZpDataPacket*, const std::string& d) {
            events.push_back(name + ":" + d);
            offMainThread |= std::this_thread::get_id() != mainThread;
        };
        p->OnTimeout = [this, name](TZpDataPacket* s) {
            std::string d;
            s->GetCollectedString(d);
            events.push_back(name + " timed out:" + d);
            offMainThread |= std::this_thread::get_id() != mainThread;
        };
        owned.push_back(std::move(p));
        return owned.back().get();
    }
    const std::string& buffer() { return TZpDataPacketManager::GetPortManager(&port)->Buffer(); }
};
}  // namespace

TEST_F(Packets, StartStringsWithWildcardsCaseAndSize) {
    const struct Case {
        const char* start;
        bool ignoreCase;
        int32_t size;
        const char *input, *packet;
    } cases[] = {
        {"A?C", true, 0, "zAxC", "AxC"}, {"A\\?C", true, 0, "AxCA?C", "A?C"},  {"ab", true, 0, "xAB", "AB"},
        {"ab", false, 0, "xABab", "ab"}, {"AB", true, 5, "zzAB1234", "AB123"},
    };
    for (const Case& c : cases) {
        events.clear();
        port.SetOpen(true);
        TZpDataPacket* p = add("P", c.start, c.size ? ecPacketSize : 0, c.size);
        p->SetIgnoreCase(c.ignoreCase);
        p->SetEnabled(true);
        fake.state->push(c.input);
        EXPECT_TRUE(waitFor([&] { return !events.empty(); })) << c.start;
        EXPECT_EQ(events, std::vector<std::string>{std::string("P:") + c.packet})
            << c.start << " over " << c.input;
        port.SetOpen(false);
        owned.clear();
    }
    EXPECT_FALSE(offMainThread);
}

// While one packet collects, another's partial start is cancelled: once the collector lets go,
// the other finds its start from the beginning.
TEST_F(Packets, ACollectingPacketCancelsTheOthersPartialStart) {
    port.SetOpen(true);
    TZpDataPacket* p1 = add("P1", "XY");
    TZpDataPacket* p2 = add("P2", "X", ecPacketSize, 3);
    p1->SetEnabled(true);
    p2->SetEnabled(true);
    fake.state->push("X");
    ASSERT_TRUE(waitFor([&] { return p2->Mode() == dpCollecting; }));
    fake.state->push("Y");
    ASSERT_TRUE(waitFor([&] { return buffer() == "XY"; }));
    EXPECT_TRUE(events.empty());
    p2->SetEnabled(false);
    EXPECT_EQ(events, std::vector<std::string>{"P1:XY"});
}

// Inside a packet's event the other packets are off; afterwards they are armed again and
// offered what is left; a packet re-arms after its own packet only by AutoEnable; the events
// run on the main thread.
TEST_F(Packets, InsideAPacketEventTheOthersAreOffAndComeBackAfter) {
    port.SetOpen(true);
    TZpDataPacket* p1 = add("P1", "A", ecString, 0, "!");
    TZpDataPacket* p2 = add("P2", "B", ecString, 0, "!");
    bool p2Inside = true;
    p1->OnPacket = [&](TZpDataPacket*, const char*, int32_t) { p2Inside = p2->GetEnabled(); };
    p2->SetAutoEnable(false);
    p1->SetEnabled(true);
    p2->SetEnabled(true);
    fake.state->push("A1!B2!");
    ASSERT_TRUE(waitFor([&] { return events.size() >= 2; })) << events.size();
    EXPECT_EQ(events, (std::vector<std::string>{"P1:A1!", "P2:B2!"}));
    EXPECT_FALSE(p2Inside);
    EXPECT_TRUE(p1->GetEnabled());
    EXPECT_FALSE(p2->GetEnabled());  // armed again after the other's packet, not after its own
    EXPECT_FALSE(offMainThread);
}

// A time-out takes the bytes from its match start on; those before it stay for the others.
TEST_F(Packets, ATimedOutPacketFlushesOnlyItsOwnBytes) {
    port.SetOpen(true);
    TZpDataPacket* p1 = add("P1", "ST", ecString, 0, "!");
    p1->SetTimeOut(2);
    TZpDataPacket* p2 = add("P2", "x");
    p1->SetEnabled(true);
    p2->SetEnabled(true);
    fake.state->push("xST12");
    ASSERT_TRUE(waitFor([&] { return events.size() >= 2; })) << events.size();
    EXPECT_EQ(events, (std::vector<std::string>{"P1 timed out:ST12", "P2:x"}));
    EXPECT_EQ(buffer(), "");
    EXPECT_FALSE(offMainThread);
}

TEST_F(Packets, APlainOpenCloseCallbackStopsAndRestartsThePackets) {
    port.SetOpen(true);
    TZpDataPacket* p = add("P", "AB");
    p->SetEnabled(true);
    TZpDataPacketManager* m = TZpDataPacketManager::GetPortManager(&port);
    ASSERT_TRUE(m->Enabled());
    m->PortOpenClose(&port, false);
    EXPECT_FALSE(p->GetEnabled());
    EXPECT_FALSE(m->Enabled());
    m->PortOpenClose(&port, true);
    EXPECT_TRUE(p->GetEnabled());
    EXPECT_TRUE(m->Enabled());
    fake.state->push("AB");
    EXPECT_TRUE(waitFor([&] { return !events.empty(); }));
    EXPECT_EQ(events, std::vector<std::string>{"P:AB"});
}
