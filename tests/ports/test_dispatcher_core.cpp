// The dispatcher's rings, triggers, notifications, character trace and dispatch log, run round by
// round on the test thread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Clock.h"
#include "ports/FakeSerial.h"
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
