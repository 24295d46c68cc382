// The dispatcher's rings, triggers, notifications, character trace and dispatch log, run round by
// round on the test thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "ports/FakeSerial.h"
#include "ports/ZpComDispatcher.h"
#include "support/TempEnv.h"

namespace {
struct Dispatcher : ::testing::Test {
    FakeClockGuard clock;
    TempEnv env;
    std::shared_ptr<FakeSerialState> dev = std::make_shared<FakeSerialState>();
    ManualDispatcher d{dev};
    std::vector<std::pair<uint32_t, uint32_t>> notes;  // message, trigger
    std::string got;                                   // what the handler read
    void SetUp() override { ASSERT_EQ(d.Open(), 0); }
    // A handler that records every notification and reads the bytes each one announces.
    void listen(ManualDispatcher& on) {
        on.RegisterEventTriggerHandler(this, [this, &on](uint32_t m, uint32_t t, int32_t) {
            notes.push_back({m, t});
            uint8_t c;
            for (uint32_t i = 0; m == ZpTriggerAvail && i < t && on.GetChar(c) == 0; ++i)
                got.push_back(static_cast<char>(c));
        });
    }
    std::string dump(bool trace, bool hex = true) {
        const std::string path = env.path("out");
        EXPECT_EQ(trace ? d.DumpTrace(path, hex, false) : d.DumpDispatchLog(path, true, false), 0);
        return fileBytes(path);
    }
};
}  // namespace

TEST_F(Dispatcher, RingExactlyFullReportsFullAndABurstArrivesWhole) {
    std::string burst;
    for (int i = 0; i < 20000; ++i) burst.push_back(static_cast<char>('A' + i % 26));
    dev->push(burst);
    d.ExtractData();
    d.ExtractData();  // a full ring takes nothing more
    EXPECT_EQ(d.InBuffUsed(), 8192);
    EXPECT_EQ(d.InBuffFree(), 0);
    d.ChangeLengthTrigger(1);
    listen(d);
    for (int i = 0; i < 10 && got.size() < burst.size(); ++i) d.DispatchRound();
    EXPECT_EQ(got, burst);
    EXPECT_EQ(d.InBuffUsed(), 0);
}

TEST_F(Dispatcher, HandlersOfOneNotificationSeeTheSameBytes) {
    d.ChangeLengthTrigger(1);
    std::string a, b;
    for (std::string* out : {&a, &b}) {
        d.RegisterEventTriggerHandler(out, [this, out](uint32_t m, uint32_t, int32_t) {
            uint8_t c;
            for (int i = 0; m == ZpTriggerAvail && i < 3 && d.GetChar(c) == 0; ++i) out->push_back(char(c));
        });
    }
    dev->push("12345");
    d.DispatchRound();
    EXPECT_EQ(a + b, "123123");
    EXPECT_EQ(d.InBuffUsed(), 2);  // the tail moves once, after all handlers
}

// Trigger and ring limits at the value and just past it.
TEST_F(Dispatcher, TriggerLimitsAtTheValueAndJustPast) {
    EXPECT_GT(d.AddDataTrigger(std::string(MaxTrigData, 'x'), false), 0);
    EXPECT_EQ(d.AddDataTrigger(std::string(MaxTrigData + 1, 'x'), false), -5002);
    EXPECT_EQ(d.AddStatusTrigger(6), -1002);
    EXPECT_EQ(d.HWFlowOptions(3000, 3001, 1), -1002);  // resuming above the full mark
    EXPECT_EQ(d.HWFlowOptions(4097, 100, 1), -1002);   // full past the ring
    EXPECT_EQ(d.HWFlowOptions(4096, 4096, 1), 0);
    EXPECT_EQ(d.SetTimerTrigger(d.AddDataTrigger("a", false), 5, true), -5003);  // not a timer
    ManualDispatcher small(dev);
    ASSERT_EQ(small.Open(16), 0);
    ASSERT_EQ(small.PutString(std::string(10, 'a')), 0);  // 6 free, 10 used
    EXPECT_EQ(small.PutString(std::string(7, 'b')), -3006);
    listen(small);
    const struct Case {
        int32_t type, value;
        bool fires;
    } cases[] = {{stOutBuffFree, 6, true},
                 {stOutBuffFree, 7, false},
                 {stOutBuffUsed, 10, true},
                 {stOutBuffUsed, 9, false}};
    for (const Case& c : cases) {
        notes.clear();
        const int32_t h = small.AddStatusTrigger(c.type);
        ASSERT_EQ(small.SetStatusTrigger(h, c.value, true), 0);
        small.DispatchRound();
        EXPECT_EQ(notes.size(), c.fires ? 1u : 0u) << c.type << " at " << c.value;
        EXPECT_EQ(small.RemoveTrigger(h), 0);
    }
    EXPECT_EQ(small.PutString(std::string(6, 'c')), 0);
    small.Drain();
    EXPECT_EQ(dev->takeOutput(), std::string(10, 'a') + std::string(6, 'c'));
    small.DeregisterEventTriggerHandler(this);
}

TEST_F(Dispatcher, LineErrorsFireTheirTriggerAndClearWhenRead) {
    const int32_t ls = d.AddStatusTrigger(stLine);
    ASSERT_EQ(d.SetStatusTrigger(ls, 1 | 4, true), 0);  // overrun, framing
    listen(d);
    d.DispatchRound();
    EXPECT_TRUE(notes.empty());
    dev->addErrors(CE_OVERRUN | CE_FRAME);
    d.DispatchRound();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].second, uint32_t(ls));
    EXPECT_EQ(d.GetLineError(), 2);
    EXPECT_EQ(d.GetLineError(), 0);  // both cleared
    dev->addErrors(CE_BREAK);
    d.DispatchRound();
    EXPECT_EQ(d.GetLineError(), 9);
    EXPECT_TRUE(d.CheckLineBreak());
}

TEST_F(Dispatcher, RemovingAHandlerDuringItsNotificationIsDeferred) {
    d.ChangeLengthTrigger(1);
    int calls = 0;
    d.RegisterEventTriggerHandler(this, [&](uint32_t, uint32_t, int32_t) {
        ++calls;
        d.DeregisterEventTriggerHandler(this);
    });
    for (const char* s : {"ab", "cd"}) {
        dev->push(s);
        d.DispatchRound();
    }
    EXPECT_EQ(calls, 1);
}

TEST_F(Dispatcher, TraceKeepsItsLastEntriesAndDumpsPrintableOrHex) {
    EXPECT_EQ(d.InitTracing(0), -1002);
    EXPECT_EQ(d.InitTracing(4000001), -1002);
    ASSERT_EQ(d.InitTracing(4), 0);
    ASSERT_EQ(d.PutString("A B\r"), 0);
    EXPECT_EQ(dump(true, false), "Transmit: A B[13]\n");
    EXPECT_FALSE(d.HasTrace());  // a dump frees the trace
    ASSERT_EQ(d.InitTracing(3), 0);
    dev->push("AB C\x7f");
    d.ChangeLengthTrigger(1);
    listen(d);
    d.DispatchRound();
    EXPECT_EQ(dump(true), "Receive: [20]C[7F]\n");
}

TEST_F(Dispatcher, DispatchLogKeepsOnlyWholeEntries) {
    ASSERT_EQ(d.InitDispatchLogging(64), 0);
    d.AddStringToLog(std::string(100, 'x'));  // larger than the queue: dropped
    EXPECT_EQ(dump(false).find("User"), std::string::npos);
    ASSERT_EQ(d.InitDispatchLogging(64), 0);
    for (const char* s : {"first_entry.", "second_entry", "third_entry!"}) d.AddStringToLog(s);  // 28 each
    const std::string log = dump(false);
    EXPECT_EQ(log.find("first"), std::string::npos);
    EXPECT_NE(log.find("second_entry"), std::string::npos);
    EXPECT_NE(log.find("third_entry!"), std::string::npos);
    ASSERT_EQ(d.InitDispatchLogging(100), 0);
    for (int i = 0; i < 50; ++i) d.AddStringToLog(std::string(size_t(i % 23), char('a' + i % 26)));
    EXPECT_NE(dump(false).find(std::string(49 % 23, 'x')), std::string::npos);  // the newest, whole
}

TEST_F(Dispatcher, PortListFindsADispatcherOfTheAskedClassAndForgetsOneGone) {
    auto* other = new ManualDispatcher(dev);
    const int32_t h = other->Handle();
    EXPECT_EQ(GetTComRecPtr<TZpBaseDispatcher>(d.Handle()), &d);
    EXPECT_EQ(GetTComRecPtr<ManualDispatcher>(h), other);
    EXPECT_EQ(GetTComRecPtr<TZpWin32Dispatcher>(h), nullptr);  // another class
    EXPECT_EQ(GetTComRecPtr<TZpBaseDispatcher>(h + 1), nullptr);
    EXPECT_EQ(GetTComRecPtr<TZpBaseDispatcher>(h), other);  // the last one asked for
    delete other;
    EXPECT_EQ(GetTComRecPtr<TZpBaseDispatcher>(h), nullptr);
    ManualDispatcher again(dev);
    ASSERT_EQ(again.Handle(), h);  // the first free slot
    EXPECT_EQ(GetTComRecPtr<ManualDispatcher>(h), &again);
}

// Data triggers match at their last byte, also over a repeated first byte; an avail
// notification before a match announces only the bytes that precede the matched string.
TEST_F(Dispatcher, DataTriggersMatchAtTheirLastByteAfterTheBytesBeforeThem) {
    const struct Case {
        const char *trigger, *input;
        bool ignoreCase;
        std::vector<std::string> notes;  // "A" + bytes read, or "D"
    } cases[] = {
        {"ab", "aab", false, {"Aa", "D", "Aab"}},     {"aab", "aaab", false, {"Aa", "D", "Aaab"}},
        {"AB", "xab", true, {"Ax", "D", "Aab"}},      {"AB", "xab", false, {"Axab"}},
        {"OK", "xyzOK", false, {"Axyz", "D", "AOK"}}, {"OK", "OK", false, {"D", "AOK"}},
    };
    d.ChangeLengthTrigger(1);
    std::vector<std::string> seen;
    d.RegisterEventTriggerHandler(this, [&](uint32_t m, uint32_t t, int32_t) {
        std::string s = m == ZpTriggerData ? "D" : "A";
        uint8_t c;
        for (uint32_t i = 0; m == ZpTriggerAvail && i < t && d.GetChar(c) == 0; ++i) s.push_back(char(c));
        seen.push_back(s);
    });
    for (const Case& c : cases) {
        seen.clear();
        const int32_t h = d.AddDataTrigger(c.trigger, c.ignoreCase);
        dev->push(c.input);
        d.DispatchRound();
        EXPECT_EQ(seen, c.notes) << c.trigger << " over " << c.input;
        d.RemoveTrigger(h);
    }
}

// Triggers matched at one byte are told from the last to the first; a handler that removes
// triggers ends the walk where the list no longer reaches, and the one left keeps matching.
TEST_F(Dispatcher, ADataHandlerRemovingTriggersEndsTheWalk) {
    const int32_t k = d.AddDataTrigger("K", false);
    const int32_t ok = d.AddDataTrigger("OK", false);
    const int32_t zok = d.AddDataTrigger("zOK", false);
    std::vector<uint32_t> told;
    d.RegisterEventTriggerHandler(this, [&](uint32_t m, uint32_t t, int32_t) {
        if (m != ZpTriggerData) return;
        told.push_back(t);
        if (int32_t(t) == zok) {
            d.RemoveTrigger(zok);
            d.RemoveTrigger(ok);
        }
    });
    dev->push("zOK");
    d.DispatchRound();
    EXPECT_EQ(told, std::vector<uint32_t>{uint32_t(zok)});
    told.clear();
    dev->push("K");
    d.DispatchRound();
    EXPECT_EQ(told, std::vector<uint32_t>{uint32_t(k)});
}

// A handler that closes the port ends the notification: no later handler runs and the ring
// is left to the close.
TEST_F(Dispatcher, ClosingFromAHandlerEndsTheNotification) {
    static int procCalls;
    procCalls = 0;
    d.ChangeLengthTrigger(1);
    d.RegisterEventTriggerHandler(this, [&](uint32_t, uint32_t, int32_t) {
        uint8_t c;
        d.GetChar(c);
        d.DonePort();
    });
    d.RegisterProcTriggerHandler([](uint32_t, uint32_t, int32_t) { ++procCalls; });
    dev->push("abc");
    d.DispatchRound();
    EXPECT_TRUE(d.ClosePending());
    EXPECT_EQ(procCalls, 0);
    EXPECT_EQ(d.InBuffUsed(), 3);
}

// The port's own window (the first) hears notifications only while the port handler is on;
// with a second window both hear them.
TEST_F(Dispatcher, WindowHandlersAndThePortHandler) {
    std::vector<int> heard;
    MessageWindow own([&](uint32_t m, WParam, LParam) -> LResult {
        if (m == ZpTriggerAvail) heard.push_back(1);
        return 0;
    });
    MessageWindow more([&](uint32_t m, WParam, LParam) -> LResult {
        if (m == ZpTriggerAvail) heard.push_back(2);
        return 0;
    });
    d.ChangeLengthTrigger(1);
    listen(d);  // handlers of another kind: the windows are still asked for by their count
    d.RegisterWndTriggerHandler(own.handle());
    const struct Step {
        TApHandlerFlagUpdate port;
        bool second;
        std::vector<int> heard;
    } steps[] = {{fuDisablePort, false, {}},
                 {fuEnablePort, false, {1}},
                 {fuDisablePort, true, {1, 2}},
                 {fuEnablePort, true, {1, 2}}};
    for (const Step& s : steps) {
        heard.clear();
        d.UpdateHandlerFlags(s.port);
        if (s.second) d.RegisterWndTriggerHandler(more.handle());
        d.FlushInBuffer();
        dev->push("x");
        d.DispatchRound();
        EXPECT_EQ(heard, s.heard) << "port handler " << s.port << ", second window " << s.second;
        if (s.second) d.DeregisterWndTriggerHandler(more.handle());
    }
}

// A ring filled to its last byte and then read from is no longer full: the rest of a burst
// follows, whichever way the bytes are taken.
TEST_F(Dispatcher, AFullRingThatIsReadFromTakesTheRestOfTheBurst) {
    for (const bool byBlock : {false, true}) {
        std::string burst, got;
        for (int i = 0; i < 9000; ++i) burst.push_back(static_cast<char>('a' + (i * 7 + byBlock) % 26));
        dev->push(burst);
        for (int round = 0; round < 50 && got.size() < burst.size(); ++round) {
            d.ExtractData();
            uint8_t buf[1000];
            if (byBlock) {
                const int32_t n = d.GetBlock(buf, std::min(1000, d.InBuffUsed()));
                if (n > 0) got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
            } else
                for (int i = 0; i < 1000 && d.GetChar(buf[0]) == 0; ++i) got.push_back(char(buf[0]));
        }
        EXPECT_TRUE(got == burst) << (byBlock ? "GetBlock" : "GetChar") << ": " << got.size() << " bytes";
    }
}

// The wait before a line change: the output ring drains, then 18 characters' time at the line in
// force; nothing at all when the line does not change.
TEST_F(Dispatcher, ALineChangeWaitsForTheTransmitterOnlyWhenTheLineChanges) {
    const struct Case {
        int32_t baud, parity, dataBits, stopBits;
        int drainAfter;  // polls before the far side has taken the ring
        std::vector<int32_t> sleeps;
    } cases[] = {
        {9600, 0, 8, 1, 0, {19}},  {115200, 0, 8, 1, 0, {2}},
        {230400, 0, 8, 1, 0, {2}},  // below a millisecond: twice the time
        {300, 2, 7, 2, 0, {660}},  {9600, 0, 8, 1, 3, {2, 2, 2, 19}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(d.SetLine(c.baud, c.parity, c.dataBits, c.stopBits), 0);
        ASSERT_EQ(d.PutString("x"), 0);
        int polls = 0;
        d.onSleep = [&] {
            if (++polls == c.drainAfter) d.Drain();
        };
        if (c.drainAfter == 0) d.Drain();
        d.sleeps.clear();
        const int writes = dev->stateWrites.load();
        EXPECT_EQ(d.ChangeBaud(c.baud == 9600 ? 4800 : 9600), 0);
        EXPECT_EQ(d.sleeps, c.sleeps) << c.baud << " baud, " << c.dataBits << " bits";
        EXPECT_EQ(dev->stateWrites.load(), writes + 1);
        d.sleeps.clear();
        EXPECT_EQ(d.ChangeBaud(c.baud == 9600 ? 4800 : 9600), 0);  // in force: no wait, no write
        EXPECT_EQ(d.SetLine(0, 5, 9, 3), 0);
        EXPECT_TRUE(d.sleeps.empty());
        EXPECT_EQ(dev->stateWrites.load(), writes + 1);
        d.onSleep = nullptr;
    }
}

// The open options set DTR and RTS as asked, off as well as on; an automatic line is left to
// the driver.
TEST(DispatcherOpen, TheOpenOptionsSetOrClearDtrAndRts) {
    const struct Row {
        uint32_t options;
        bool dtr, rts;
    } rows[] = {
        {0, false, false},
        {ipAssertDTR, true, false},
        {ipAssertRTS, false, true},
        {ipAssertDTR | ipAssertRTS, true, true},
        {ipAutoDTR, true, false},  // left as it was
        {ipAutoRTS | ipAssertDTR, true, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.options);
        auto dev = std::make_shared<FakeSerialState>();
        dev->dtr = true;  // as another program left the lines
        dev->rts = true;
        ManualDispatcher d(dev);
        ASSERT_EQ(d.InitPort("FAKE", 19200, 0, 8, 1, 4096, 4096, r.options), 0);
        EXPECT_EQ(dev->dtr.load(), r.dtr);
        EXPECT_EQ(dev->rts.load(), r.rts);
        EXPECT_EQ(d.DtrState(), r.dtr && !(r.options & ipAutoDTR));
        EXPECT_EQ(d.RtsState(), r.rts && !(r.options & ipAutoRTS));
    }
}

// Lines under handshake are the driver's: setting them by hand leaves them alone.
TEST_F(Dispatcher, ALineUnderHandshakeIsNotSetByHand) {
    ASSERT_TRUE(dev->dtr.load());  // asserted at open
    ASSERT_TRUE(dev->rts.load());
    ASSERT_EQ(d.HWFlowOptions(4000, 100, 1 | 2), 0);
    EXPECT_EQ(d.SetDtr(false), 0);
    EXPECT_EQ(d.SetRts(false), 0);
    EXPECT_TRUE(dev->dtr.load());
    EXPECT_TRUE(dev->rts.load());
    ASSERT_EQ(d.HWFlowOptions(4000, 100, 0), 0);
    EXPECT_EQ(d.SetDtr(false), 0);
    EXPECT_EQ(d.SetRts(false), 0);
    EXPECT_FALSE(dev->dtr.load());
    EXPECT_FALSE(dev->rts.load());
}

// RS-485: RTS rises before the first byte reaches the device and drops only once the ring, the
// driver's queue and 18 character times have passed; a driver that keys RTS itself is left to it.
// A break is keyed by hand, also while RTS is otherwise the driver's.
TEST_F(Dispatcher, RS485KeysRtsAroundEachTransmissionAndBreak) {
    const std::vector<std::string> keyed = {"RTS+", "BRK+", "BRK-", "RTS-"}, keyedOn = {"RTS+", "BRK+"},
                                   keyedOff = {"RTS+", "BRK-", "RTS-"};
    const struct Case {
        bool driver, rs485;
        int queued;  // bytes the driver still holds when the ring has drained
        std::vector<std::string> put, sent, brk, set, clear;
        std::vector<int32_t> sleeps;
    } cases[] = {
        {false, true, 0, {"RTS+"}, {"W:a", "W:b", "RTS-"}, keyed, keyedOn, keyedOff, {10}},
        {false, true, 2, {"RTS+"}, {"W:a", "W:b", "RTS-"}, keyed, keyedOn, keyedOff, {2, 2, 10}},
        {true, true, 0, {}, {"W:a", "W:b"}, keyed, keyedOn, keyedOff, {}},
        {false, false, 0, {}, {"W:a", "W:b"}, {"BRK+", "BRK-"}, {"BRK+"}, {"BRK-"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        {
            std::lock_guard g(dev->m);
            dev->driverRs485 = c.driver;
        }
        d.SetRS485Mode(c.rs485);
        ASSERT_EQ(d.HWFlowOptions(4000, 100, 0), 0);  // in RS-485 RTS is no longer set by hand
        EXPECT_EQ(d.KeysRS485(), c.rs485 && !c.driver);
        EXPECT_EQ(dev->rs485.load(), c.rs485 && c.driver);
        dev->takeEvents();
        EXPECT_EQ(d.PutString(std::string(5000, 'x')), -3006);  // refused: nothing keyed
        EXPECT_EQ(dev->takeEvents(), std::vector<std::string>{});
        ASSERT_EQ(d.PutString("ab"), 0);
        d.ReleaseRS485Key();  // not while the ring still holds them
        EXPECT_EQ(dev->takeEvents(), c.put);
        dev->outQueue = c.queued;
        int polls = 0;
        d.sleeps.clear();
        d.Drain();
        // Asked again after each wait it names, as the I/O thread does; it never sleeps itself.
        std::vector<int32_t> waits;
        for (int32_t w; (w = d.ReleaseRS485Key()) > 0 && waits.size() < 20;) {
            waits.push_back(w);
            clock.fake.advanceMs(w);
            if (++polls == 2) dev->outQueue = 0;
        }
        EXPECT_EQ(dev->takeEvents(), c.sent);
        EXPECT_EQ(waits, c.sleeps);
        EXPECT_EQ(d.sleeps, std::vector<int32_t>{});
        EXPECT_EQ(d.SendBreak(0, false), 0);
        EXPECT_EQ(dev->takeEvents(), c.brk);
        EXPECT_EQ(d.SetBreak(true), 0);
        EXPECT_EQ(dev->takeEvents(), c.set);
        EXPECT_EQ(d.SetBreak(false), 0);
        EXPECT_EQ(dev->takeEvents(), c.clear);
        d.SetRS485Mode(false);
    }
    // Keyed by the port: output queued while the last bytes leave, and a break sent meanwhile,
    // keep the line up until everything has gone.
    d.SetRS485Mode(true);
    ASSERT_TRUE(d.KeysRS485());
    dev->takeEvents();
    ASSERT_EQ(d.PutString("c"), 0);
    d.Drain();
    EXPECT_EQ(d.ReleaseRS485Key(), 10);
    EXPECT_EQ(d.PutString("d"), 0);
    clock.fake.advanceMs(10);
    EXPECT_EQ(d.ReleaseRS485Key(), 0);
    EXPECT_EQ(dev->takeEvents(), (std::vector<std::string>{"RTS+", "W:c", "RTS+"}));
    d.Drain();
    EXPECT_EQ(d.SendBreak(0, false), 0);
    EXPECT_EQ(dev->takeEvents(), (std::vector<std::string>{"W:d", "RTS+", "BRK+", "BRK-"}));
    EXPECT_EQ(d.ReleaseRS485Key(), 10);
    EXPECT_EQ(dev->takeEvents(), std::vector<std::string>{});
    clock.fake.advanceMs(10);
    EXPECT_EQ(d.ReleaseRS485Key(), 0);
    EXPECT_EQ(dev->takeEvents(), std::vector<std::string>{"RTS-"});
}

// RS-485 keyed by the port: RTS stays up as long as the driver's queue needs at the line's speed
// (4 KB at 2400 baud take 17 s), however long that is, and drops 18 character times after the
// queue has emptied; a queue that never empties holds it twice the time its bytes need. The
// release never sleeps, so the I/O thread reads input all the while.
TEST_F(Dispatcher, RS485KeepsRtsUpForWhatTheDriverStillSends) {
    ASSERT_EQ(d.SetLine(2400, 0, 8, 1), 0);
    d.SetRS485Mode(true);
    ASSERT_TRUE(d.KeysRS485());
    const struct Row {
        bool drains;      // the driver's queue empties after 16 s
        int64_t dropsAt;  // ms after the ring drained
    } rows[] = {{true, 16000 + 75}, {false, 2 * 17067 + 75}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.drains);
        dev->takeEvents();
        d.sleeps.clear();
        ASSERT_EQ(d.PutString("x"), 0);
        d.Drain();
        dev->outQueue = 4096;
        int64_t elapsed = 0;
        bool dropped = false;
        for (int i = 0; i < 10000 && !dropped; ++i) {
            const int32_t w = d.ReleaseRS485Key();
            dropped = w == 0;
            if (dropped) break;
            EXPECT_LE(w, 50);  // input is read at least every 50 ms
            clock.fake.advanceMs(w);
            elapsed += w;
            if (r.drains && elapsed >= 16000) dev->outQueue = 0;
        }
        EXPECT_TRUE(dropped);
        EXPECT_NEAR(static_cast<double>(elapsed), static_cast<double>(r.dropsAt), 60.0);
        EXPECT_EQ(dev->takeEvents(), (std::vector<std::string>{"RTS+", "W:x", "RTS-"}));
        EXPECT_EQ(d.sleeps, std::vector<int32_t>{});
        dev->outQueue = 0;
    }
}

// What the flow states report for the holds the device reports, and the options read back.
TEST_F(Dispatcher, FlowStatesAndOptionsFollowTheHoldsAndSettings) {
    const struct Hw {
        uint32_t options, holds;
        int32_t state;
    } hw[] = {
        {0, 1 | 2, 1}, {8, 1, 2},  // flow without a handshake line: not looked at
        {2 | 8, 1, 4}, {1 | 4, 2, 3}, {1 | 2 | 4 | 8, 1 | 2, 4}, {1 | 4, 0, 2}, {2 | 8, 2, 2},
    };
    for (const Hw& c : hw) {
        SCOPED_TRACE(c.options);
        ASSERT_EQ(d.HWFlowOptions(4000, 100, c.options), 0);
        dev->holdFlags = c.holds;
        EXPECT_EQ(d.HWFlowState(), c.state);
        uint32_t hwOpts = 99, swOpts = 99;
        int32_t full = 7, resume = 9;
        char on = 0, off = 0;
        d.GetFlowOptions(hwOpts, swOpts, full, resume, on, off);
        EXPECT_EQ(hwOpts, c.options);
        EXPECT_EQ(swOpts, 0u);
        EXPECT_EQ(full, 7);  // left as passed
        EXPECT_EQ(resume, 9);
    }
    ASSERT_EQ(d.HWFlowOptions(4000, 100, 0), 0);
    const struct Sw {
        uint32_t options, holds;
        int32_t state;
    } sw[] = {{0, 8 | 16, 1}, {1, 8 | 16, 8}, {2, 8, 6}, {3, 16, 7}, {1, 0, 2}, {2, 1 | 2, 2}};
    for (const Sw& c : sw) {
        SCOPED_TRACE(c.options);
        ASSERT_EQ(d.SWFlowDisable(), 0);
        ASSERT_EQ(d.SWFlowChars('A', 'B'), 0);
        ASSERT_EQ(d.SWFlowEnable(4000, 100, c.options), 0);
        dev->holdFlags = c.holds;
        EXPECT_EQ(d.SWFlowState(), c.state);
        uint32_t hwOpts = 99, swOpts = 99;
        int32_t full = 0, resume = 0;
        char on = 0, off = 0;
        d.GetFlowOptions(hwOpts, swOpts, full, resume, on, off);
        EXPECT_EQ(swOpts, c.options);
        EXPECT_EQ(hwOpts, 0u);
        EXPECT_EQ(on, c.options ? 17 : 'A');  // enabling sets the usual characters
        EXPECT_EQ(off, c.options ? 19 : 'B');
    }
}

// Handles count up to 4096 triggers; then the first free multiple of 8 up to 4096 is reused
// (a status handle counted without its kind), and none free refuses the trigger.
TEST_F(Dispatcher, TriggerHandlesPastTheCounterReuseTheFirstFreeOne) {
    EXPECT_EQ(d.AddTimerTrigger(), 8);
    EXPECT_EQ(d.AddStatusTrigger(stModem), 16 + stModem);
    EXPECT_EQ(d.AddDataTrigger("ab", false), 24);
    for (int32_t i = 4; i < 4096; ++i) ASSERT_EQ(d.AddTimerTrigger(), i * 8);
    const struct Step {
        int32_t remove;  // 0: none
        int kind;        // 0 timer, 1 data, 2 status (line)
        int32_t handle;
    } steps[] = {
        {0, 0, -5001},        {0, 1, -5001},    {0, 2, -5001},
        {24, 0, 24},          {4000, 1, 4000},  {16 + 1, 2, 16 + stLine},
        {32, 2, 32 + stLine}, {5000, 0, -5001}, {4096, 0, 4096},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(&s - steps);
        if (s.remove) {
            ASSERT_EQ(d.RemoveTrigger(s.remove), 0);
        }
        const int32_t h = s.kind == 0   ? d.AddTimerTrigger()
                          : s.kind == 1 ? d.AddDataTrigger("x", false)
                                        : d.AddStatusTrigger(stLine);
        EXPECT_EQ(h, s.handle);
    }
    d.RemoveAllTriggers();
    EXPECT_EQ(d.AddTimerTrigger(), 8);
}

// Inside an avail notification the reads of a handler start after what it already took: the
// ring's answers are offset by that count, and a flush discards everything once it ends.
TEST_F(Dispatcher, InsideAnAvailNotificationReadsAreOffsetAndAFlushTakesAll) {
    const struct Case {
        int take;
        bool flush;
        bool ready;
        int32_t peekRc;
        std::string peeked;  // PeekChar(1) and PeekBlock(2)
        int32_t usedInside, usedAfter;
    } cases[] = {
        {2, false, true, 0, "ccd", 4, 4},
        {5, false, true, 0, "X", 1, 1},
        {6, false, false, -3007, "", 0, 0},
        {2, true, true, 0, "ccd", 4, 0},
    };
    d.ChangeLengthTrigger(6);
    const int32_t trig = d.AddDataTrigger("XY", false);
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        d.FlushInBuffer();
        std::string peeked;
        bool ready = false;
        int32_t peekRc = 1, usedInside = -1;
        std::vector<uint32_t> msgs;
        d.RegisterEventTriggerHandler(this, [&](uint32_t m, uint32_t, int32_t) {
            msgs.push_back(m);
            if (m != ZpTriggerAvail) return;
            uint8_t ch, block[2];
            for (int i = 0; i < c.take; ++i) ASSERT_EQ(d.GetChar(ch), 0);
            ready = d.CharReady();
            peekRc = d.PeekChar(ch, 1);
            if (peekRc == 0) peeked.push_back(char(ch));
            if (d.PeekBlock(block, 2) == 2) peeked.append(reinterpret_cast<char*>(block), 2);
            usedInside = d.InBuffUsed();
            if (c.flush) d.FlushInBuffer();
        });
        dev->push("abcdeX");
        d.DispatchRound();
        d.DeregisterEventTriggerHandler(this);
        EXPECT_EQ(ready, c.ready);
        EXPECT_EQ(peekRc, c.peekRc);
        EXPECT_EQ(peeked, c.peeked);
        EXPECT_EQ(usedInside, c.usedInside);
        EXPECT_EQ(d.InBuffUsed(), c.usedAfter);
        // The half-matched trigger starts over after a flush: "Y" alone completes nothing.
        msgs.clear();
        d.RegisterEventTriggerHandler(this, [&](uint32_t m, uint32_t, int32_t) { msgs.push_back(m); });
        dev->push("Y");
        d.DispatchRound();
        d.DeregisterEventTriggerHandler(this);
        EXPECT_EQ(std::count(msgs.begin(), msgs.end(), ZpTriggerData), c.flush ? 0 : 1);
    }
    d.RemoveTrigger(trig);
}

// A failed read takes no bytes: what follows arrives whole and in order.
TEST_F(Dispatcher, AFailedSecondReadTakesNothing) {
    dev->push(std::string(8000, 'x'));
    d.ExtractData();
    uint8_t buf[8000];
    ASSERT_EQ(d.GetBlock(buf, 8000), 8000);  // the head now stands 192 bytes before the end
    std::string data;
    for (int i = 0; i < 500; ++i) data.push_back(char('a' + i % 26));
    dev->push(data);
    {
        std::lock_guard g(dev->m);
        dev->failReadIn = 1;  // the read past the end of the ring fails
        dev->failReadWith = -7;
    }
    d.ExtractData();
    EXPECT_EQ(d.InBuffUsed(), 192);
    d.ExtractData();
    ASSERT_EQ(d.InBuffUsed(), 500);
    ASSERT_EQ(d.GetBlock(buf, 500), 500);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 500), data);
}

// Also before anything was written since open a line change waits for the transmitter: 18
// characters at the line in force.
TEST_F(Dispatcher, ALineChangeBeforeTheFirstWriteWaitsToo) {
    ManualDispatcher fresh(dev);
    ASSERT_EQ(fresh.Open(), 0);
    fresh.sleeps.clear();
    EXPECT_EQ(fresh.ChangeBaud(300), 0);
    EXPECT_EQ(fresh.sleeps, std::vector<int32_t>{10});  // 18 characters at 19200 baud, 8N1
    ASSERT_EQ(fresh.PutString("x"), 0);
    fresh.Drain();
    fresh.sleeps.clear();
    EXPECT_EQ(fresh.ChangeBaud(9600), 0);
    EXPECT_EQ(fresh.sleeps, std::vector<int32_t>{600});  // 18 characters at 300 baud, 8N1
}

// The stop-bit code each request gives: 0 and 1 one, 2 and above two, 3 the code in force; five
// data bits always go with one and a half.
TEST_F(Dispatcher, StopBitsFollowTheRequestAndFiveDataBitsTakeOneAndAHalf) {
    const struct Row {
        int32_t dataBits, stopBits;
        uint8_t code;
    } rows[] = {
        {8, 0, 0}, {8, 1, 0}, {8, 2, 2}, {8, 4, 2}, {7, 2, 2}, {8, 3, 2},
        {5, 1, 1}, {5, 2, 1}, {5, 0, 1}, {5, 3, 1}, {6, 1, 0}, {9, 1, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        ASSERT_EQ(d.SetLine(0, 5, r.dataBits, r.stopBits), 0);
        std::lock_guard g(dev->m);
        EXPECT_EQ(dev->state.StopBits, r.code);
    }
}

// Without the I/O thread an output flush still purges the device's output, not its input.
TEST(DispatcherDevice, FlushingTheOutputWithoutTheThreadKeepsTheInput) {
    FakeSerialGuard fake;
    TZpWin32Dispatcher w(nullptr);
    ASSERT_GE(w.OpenCom("FAKE", 4096, 4096), 0);
    fake.state->push("abc");
    EXPECT_EQ(w.FlushCom(0), 0);
    EXPECT_EQ(fake.state->takeEvents(), std::vector<std::string>{"PURGE TX"});
    EXPECT_EQ(fake.state->input.size(), 3u);
    EXPECT_EQ(w.FlushCom(1), 0);
    EXPECT_EQ(fake.state->takeEvents(), std::vector<std::string>{"PURGE RX"});
    EXPECT_TRUE(fake.state->input.empty());
    w.CloseCom();
}

namespace {
std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> v;
    size_t p = 0;
    for (size_t n; (n = s.find('\n', p)) != std::string::npos; p = n + 1) v.push_back(s.substr(p, n - p));
    return v;
}
}  // namespace

// Appending adds to a file (creating one that is missing, for its owner only); long lines break
// before column 78, the log's continuing 44 blanks in; with AllHex user text stays as it is.
TEST_F(Dispatcher, DumpsAppendAndBreakTheirLines) {
    const std::string path = env.path("dumps/trace.txt");
    std::filesystem::create_directories(env.path("dumps"));
    ASSERT_EQ(d.InitTracing(200), 0);
    ASSERT_EQ(d.PutString(std::string(100, 'A')), 0);
    ASSERT_EQ(d.AppendTrace(path, false, false), 0);  // created
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    ASSERT_EQ(d.InitTracing(200), 0);
    ASSERT_EQ(d.PutString("BC"), 0);
    ASSERT_EQ(d.AppendTrace(path, true, true), 0);  // added after what was there
    EXPECT_EQ(lines(fileBytes(path)), (std::vector<std::string>{"Transmit: " + std::string(68, 'A'),
                                                                std::string(32, 'A'), "Transmit: [42][43]"}));
    ASSERT_EQ(d.InitTracing(200), 0);
    ASSERT_EQ(d.PutString(std::string(20, 'D')), 0);
    ASSERT_EQ(d.DumpTrace(path, true, true), 0);  // a dump starts the file anew
    EXPECT_EQ(lines(fileBytes(path)), (std::vector<std::string>{"Transmit: " +
                                                                    [] {
                                                                        std::string s;
                                                                        for (int i = 0; i < 17; ++i)
                                                                            s += "[44]";
                                                                        return s;
                                                                    }(),
                                                                "[44][44][44]"}));

    const std::string log = env.path("dumps/log.txt");
    { std::ofstream(log) << "before\n"; }
    ASSERT_EQ(d.InitDispatchLogging(4096), 0);
    d.AddStringToLog(std::string(34, 'u') + "VWXYZ");
    ASSERT_EQ(d.PutString("AB"), 0);
    ASSERT_EQ(d.AppendDispatchLog(log, true, true), 0);
    const auto l = lines(fileBytes(log));
    ASSERT_GE(l.size(), 9u);
    EXPECT_EQ(l[0], "before");
    EXPECT_EQ(l[1].rfind("ZPORT ", 0), 0u);
    EXPECT_EQ(l[7].size(), 78u);  // the user entry: 44 columns of heading and 34 bytes
    EXPECT_EQ(l[7].substr(44), std::string(34, 'u'));
    EXPECT_EQ(l[8], std::string(44, ' ') + "VWXYZ");  // as they are, with AllHex on
    EXPECT_EQ(l[9].substr(44), "[41][42]");           // the write, in hex
}

// Status triggers added and removed name their kind in the dispatch log.
TEST_F(Dispatcher, TheLogNamesTheKindOfStatusTriggers) {
    const char* names[] = {"(Not active)",         "(Modem status)",       "(Line status)",
                           "(Output buffer free)", "(Output buffer used)", "(Output sent)"};
    ASSERT_EQ(d.InitDispatchLogging(8192), 0);
    std::vector<int32_t> handles;
    for (int32_t kind = 0; kind < 6; ++kind) handles.push_back(d.AddStatusTrigger(kind));
    for (int32_t h : handles) ASSERT_EQ(d.RemoveTrigger(h), 0);
    const std::string text = dump(false);
    for (int32_t kind = 0; kind < 6; ++kind) {
        SCOPED_TRACE(kind);
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08x  ", handles[size_t(kind)]);
        int seen = 0;
        for (const std::string& line : lines(text)) {
            if (line.find(hex) == std::string::npos) continue;
            ++seen;
            EXPECT_EQ(line.substr(line.size() - std::strlen(names[kind])), names[kind]) << line;
        }
        EXPECT_EQ(seen, 2);  // added, removed
    }
}
