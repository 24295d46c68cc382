// The dispatcher's rings, triggers, notifications, character trace and dispatch log, run round by
// round on the test thread.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "ports/FakeSerial.h"

namespace {
struct Note {
    uint32_t msg, trigger;
};

struct Dispatcher : ::testing::Test {
    FakeClockGuard clock;
    QTemporaryDir dir;
    std::shared_ptr<FakeSerialState> dev = std::make_shared<FakeSerialState>();
    ManualDispatcher d{dev};
    std::vector<Note> notes;
    std::string got;  // what the handler read
    void SetUp() override {
        ASSERT_EQ(d.Open(), 0);
        d.DeviceName = "COM3";
    }
    // A handler that records every notification and reads the bytes each one announces.
    void listen(ManualDispatcher& on) {
        on.RegisterEventTriggerHandler(this, [this, &on](uint32_t m, uint32_t t, int32_t) {
            notes.push_back({m, t});
            uint8_t c;
            for (uint32_t i = 0; m == ZpTriggerAvail && i < t && on.GetChar(c) == 0; ++i)
                got.push_back(static_cast<char>(c));
        });
    }
    std::string dump(bool trace, bool hex = true, const char* name = "out") {
        const std::string path = (dir.path() + "/" + name).toStdString();
        EXPECT_EQ(trace ? d.DumpTrace(path, hex, false) : d.DumpDispatchLog(path, true, false), 0);
        std::ifstream f(path, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
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

TEST_F(Dispatcher, DataTriggersMatchAndAvailStopsBeforeTheMatch) {
    const int32_t h = d.AddDataTrigger("ab", false);
    const int32_t hi = d.AddDataTrigger("OK", true);
    d.ChangeLengthTrigger(1);
    listen(d);
    dev->push("xyaab");
    d.DispatchRound();
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ(notes[0].msg, ZpTriggerAvail);
    EXPECT_EQ(notes[0].trigger, 3u);  // "xya" precede "ab"
    EXPECT_EQ(notes[1].msg, ZpTriggerData);
    EXPECT_EQ(notes[1].trigger, uint32_t(h));
    dev->push("..ok");
    d.DispatchRound();
    EXPECT_TRUE(
        std::any_of(notes.begin(), notes.end(), [&](const Note& n) { return n.trigger == uint32_t(hi); }));
    EXPECT_EQ(got, "xyaab..ok");
}

// Trigger and ring limits at the value and just past it.
TEST_F(Dispatcher, TriggerLimitsAtTheValueAndJustPast) {
    EXPECT_GT(d.AddDataTrigger(std::string(MaxTrigData, 'x'), false), 0);
    EXPECT_EQ(d.AddDataTrigger(std::string(MaxTrigData + 1, 'x'), false), -5002);
    EXPECT_EQ(d.AddStatusTrigger(6), -1002);
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

TEST_F(Dispatcher, StatusTriggersFollowModemLinesAndLineErrors) {
    const int32_t ms = d.AddStatusTrigger(stModem);
    const int32_t ls = d.AddStatusTrigger(stLine);
    ASSERT_EQ(d.SetStatusTrigger(ms, MS_CTS_ON, true), 0);
    ASSERT_EQ(d.SetStatusTrigger(ls, 1 | 4, true), 0);  // overrun, framing
    listen(d);
    d.DispatchRound();
    dev->setLines(MS_CTS_ON);
    d.MapEventsToMS(0);
    d.DispatchRound();
    EXPECT_TRUE(d.CheckDeltaCTS());
    EXPECT_FALSE(d.CheckDeltaCTS());  // reading clears the change bit
    dev->addErrors(CE_OVERRUN | CE_FRAME);
    d.DispatchRound();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].trigger, uint32_t(ms));
    EXPECT_EQ(notes[1].trigger, uint32_t(ls));
    EXPECT_EQ(d.GetLineError(), 2);
    EXPECT_EQ(d.GetLineError(), 0);  // both cleared
    dev->addErrors(CE_BREAK);
    d.DispatchRound();
    EXPECT_EQ(d.GetLineError(), 9);
    EXPECT_TRUE(d.CheckLineBreak());
}

TEST_F(Dispatcher, TimerFiresOnceOnTheInjectedClock) {
    ASSERT_EQ(d.SetTimerTrigger(d.AddTimerTrigger(), 2, true), 0);
    listen(d);
    d.DispatchRound();
    EXPECT_TRUE(notes.empty());
    clock.fake.advanceMs(3 * 55);
    d.DispatchRound();
    d.DispatchRound();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].msg, ZpTriggerTimer);
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

TEST_F(Dispatcher, FlowLimitsAndSavedTriggers) {
    EXPECT_EQ(d.HWFlowOptions(3000, 4000, 1), -1002);
    EXPECT_EQ(d.HWFlowOptions(5000, 100, 1), -1002);
    ASSERT_EQ(d.HWFlowOptions(3686, 409, 1 | 8), 0);
    CommState s;
    d.GetComState(s);
    EXPECT_TRUE(s.Flags & CommState::fOutxCtsFlow);
    EXPECT_EQ(s.XoffLim, 4096 - 3686);
    EXPECT_EQ(s.XonLim, 409);
    const bool dtr = dev->dtr;
    d.SetDtr(!dtr);  // under handshake the line is left alone
    EXPECT_EQ(dev->dtr.load(), dtr);
    const int32_t h = d.AddDataTrigger("OK", false);
    TTriggerSave save;
    d.SaveTriggers(save);
    d.RemoveAllTriggers();
    EXPECT_EQ(d.TriggerType(h), ttNone);
    d.RestoreTriggers(save);
    EXPECT_EQ(d.TriggerType(h), ttData);
    EXPECT_NE(d.AddTimerTrigger(), h);
}

TEST_F(Dispatcher, TraceKeepsItsSizeAndDumpsPrintableOrHex) {
    EXPECT_EQ(d.InitTracing(0), -1002);
    EXPECT_EQ(d.InitTracing(4000001), -1002);
    EXPECT_FALSE(d.HasTrace());
    ASSERT_EQ(d.InitTracing(3), 0);
    dev->push("ABCDE");
    d.ChangeLengthTrigger(1);
    listen(d);
    d.DispatchRound();
    EXPECT_EQ(dump(true), "Receive: CDE\n");
    EXPECT_FALSE(d.HasTrace());  // a dump frees the trace
    ASSERT_EQ(d.InitTracing(1000), 0);
    ASSERT_EQ(d.PutString("A B"), 0);
    dev->push("line with a space \x7f and more text to pass column seventy-eight easily ok\r\n");
    d.DispatchRound();
    d.AddTraceEntry('X', '!');
    // Printable bytes as they are, the others in hex; lines wrap before column 79.
    EXPECT_EQ(dump(true),
              "Transmit: A[20]B\n"
              "Receive: line[20]with[20]a[20]space[20][7F][20]and[20]more[20]text[20]to[20]pa\n"
              "ss[20]column[20]seventy-eight[20]easily[20]ok[0D][0A]\n"
              "Special-X: !\n");
    ASSERT_EQ(d.InitTracing(100), 0);
    ASSERT_EQ(d.PutString("A B\r"), 0);
    EXPECT_EQ(dump(true, false), "Transmit: A B[13]\n");
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

TEST_F(Dispatcher, DispatchLogRecordsTriggersTrafficAndUserText) {
    ASSERT_EQ(d.InitDispatchLogging(10000), 0);
    clock.fake.advanceMs(1234);
    d.AddDataTrigger("OK", false);
    const int32_t sent = d.AddStatusTrigger(stOutSent);
    d.SetStatusTrigger(sent, 0, true);
    d.SetTimerTrigger(d.AddTimerTrigger(), 18, true);
    d.ChangeLengthTrigger(1);
    clock.fake.advanceMs(10);
    ASSERT_EQ(d.PutString("? 0\r"), 0);
    dev->push("reply OK\r\n");
    clock.fake.advanceMs(5);
    d.DispatchRound();
    d.AddStringToLog("user text [not hex]");
    clock.fake.advanceMs(2000);
    d.DispatchRound();
    d.RemoveTrigger(sent);
    const std::string log = dump(false);
    for (const char* line : {"Device: COM3\n", "0001.234  Add       DataTrigger   00000008  OK\n",
                             "0001.234  Change    TimerTrigger  00000018  [12][00][00][00]\n",
                             "0001.244  Dispatch  WriteCom      00000004  ?[20]0[0D]\n",
                             "0001.249  Dispatch  ReadCom       0000000a  reply[20]OK[0D][0A]\n",
                             "0001.249  Trigger   Avail         00000006  \n"
                             "0001.249  Trigger   Data          00000008  \n",
                             "0001.249  User                    00000000  user[20]text[20][not[20]hex]\n",
                             "0003.249  Trigger   Timer         00000018  \n",
                             "0003.249  Remove    StatusTrig    00000015  (Output sent)\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << log;
}
