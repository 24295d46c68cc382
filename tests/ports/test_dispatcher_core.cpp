// The dispatcher's rings, triggers, notifications, character trace and dispatch log, run round by
// round on the test thread.
#include <gtest/gtest.h>

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
