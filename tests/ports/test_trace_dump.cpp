// Character trace and dispatch log: their rules and the lines of their dump files.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>
#include <sstream>

#include "platform/Clock.h"
#include "ports/FakeSerial.h"

namespace {

std::string readFile(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

struct TraceFixture : ::testing::Test {
    FakeClockGuard clock;
    QTemporaryDir dir;
    std::shared_ptr<FakeSerialState> dev = std::make_shared<FakeSerialState>();
    ManualDispatcher d{dev};
    void SetUp() override {
        ASSERT_EQ(d.Open(), 0);
        d.DeviceName = "COM3";
    }
    std::string file(const char* n) { return (dir.path() + "/" + n).toStdString(); }
};

}  // namespace

TEST_F(TraceFixture, TraceKeepsTheLastEntriesAndDumpsFromTheOldest) {
    ASSERT_EQ(d.InitTracing(3), 0);
    dev->push("ABCDE");
    d.DispatchRound();
    uint8_t c;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(d.GetChar(c), 0);
    ASSERT_EQ(d.DumpTrace(file("t.trc"), true, false), 0);
    EXPECT_EQ(readFile(file("t.trc")), "Receive: CDE\n");
    EXPECT_FALSE(d.HasTrace());  // a dump frees the trace
}

TEST_F(TraceFixture, TraceRefusesSizeZeroAndTooLarge) {
    EXPECT_EQ(d.InitTracing(0), -1002);
    EXPECT_EQ(d.InitTracing(4000001), -1002);
    EXPECT_FALSE(d.HasTrace());
    // Adding to a trace that was refused changes nothing.
    d.AddTraceEntry('T', 'x');
    EXPECT_EQ(d.DumpTrace(file("none.trc"), true, false), 0);
}

TEST_F(TraceFixture, TraceDumpWrapsAndAppends) {
    ASSERT_EQ(d.InitTracing(1000), 0);
    ASSERT_EQ(d.PutString("? 123\r"), 0);
    dev->push(std::string("?1,2,3 \x01\xff") + std::string(40, 'z') + "\r\n");
    d.DispatchRound();
    uint8_t c;
    while (d.GetChar(c) == 0) {
    }
    d.AddTraceEntry('X', '!');
    ASSERT_EQ(d.InitTracing(1000), 0);  // running: cleared, size kept
    ASSERT_EQ(d.PutString("A B"), 0);
    dev->push(std::string("line with a space \x7f and more text to pass column seventy-eight easily ok\r\n"));
    d.DispatchRound();
    while (d.GetChar(c) == 0) {
    }
    d.AddTraceEntry('X', '!');
    ASSERT_EQ(d.DumpTrace(file("hex.trc"), true, false), 0);
    // Printable bytes as they are, the others in hex; lines wrap before column 79.
    EXPECT_EQ(readFile(file("hex.trc")),
              "Transmit: A[20]B\n"
              "Receive: line[20]with[20]a[20]space[20][7F][20]and[20]more[20]text[20]to[20]pa\n"
              "ss[20]column[20]seventy-eight[20]easily[20]ok[0D][0A]\n"
              "Special-X: !\n");

    ASSERT_EQ(d.InitTracing(100), 0);
    ASSERT_EQ(d.PutString("A B\r"), 0);
    ASSERT_EQ(d.DumpTrace(file("dec.trc"), false, false), 0);
    EXPECT_EQ(readFile(file("dec.trc")), "Transmit: A B[13]\n");
    ASSERT_EQ(d.InitTracing(100), 0);
    ASSERT_EQ(d.PutString("A B"), 0);
    ASSERT_EQ(d.AppendTrace(file("dec.trc"), true, true), 0);
    EXPECT_EQ(readFile(file("dec.trc")), "Transmit: A B[13]\nTransmit: [41][20][42]\n");
}

TEST_F(TraceFixture, DispatchLogEntriesAreWholeOrNotAtAll) {
    ASSERT_EQ(d.InitDispatchLogging(64), 0);
    d.AddStringToLog(std::string(100, 'x'));  // larger than the queue: dropped
    ASSERT_EQ(d.DumpDispatchLog(file("empty.log"), true, false), 0);
    std::string text = readFile(file("empty.log"));
    EXPECT_EQ(text.find("User"), std::string::npos);

    ASSERT_EQ(d.InitDispatchLogging(64), 0);
    d.AddStringToLog("first_entry.");  // 16 + 12
    d.AddStringToLog("second_entry");  // 16 + 12: queue holds 56
    d.AddStringToLog("third_entry!");  // needs room: the oldest goes
    ASSERT_EQ(d.DumpDispatchLog(file("roll.log"), true, false), 0);
    text = readFile(file("roll.log"));
    EXPECT_EQ(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second_entry"), std::string::npos);
    EXPECT_NE(text.find("third_entry!"), std::string::npos);
}

TEST_F(TraceFixture, DispatchLogWrapsWithoutOverrun) {
    ASSERT_EQ(d.InitDispatchLogging(100), 0);
    for (int i = 0; i < 50; ++i) {
        clock.fake.advanceMs(7);
        d.AddStringToLog(std::string(static_cast<size_t>(i % 23), static_cast<char>('a' + i % 26)));
    }
    ASSERT_EQ(d.DumpDispatchLog(file("wrap.log"), true, false), 0);
    const std::string text = readFile(file("wrap.log"));
    // Only whole entries: the newest is there in full.
    EXPECT_NE(text.find(std::string(49 % 23, 'x')), std::string::npos);
}

TEST_F(TraceFixture, DispatchLogRecordsTriggersTrafficAndUserText) {
    ASSERT_EQ(d.InitDispatchLogging(10000), 0);
    clock.fake.advanceMs(1234);
    const int32_t h = d.AddDataTrigger("OK", false);
    const int32_t s = d.AddStatusTrigger(stOutSent);
    d.SetStatusTrigger(s, 0, true);
    const int32_t t = d.AddTimerTrigger();
    d.SetTimerTrigger(t, 18, true);
    d.ChangeLengthTrigger(1);
    clock.fake.advanceMs(10);
    ASSERT_EQ(d.PutString("? 0\r"), 0);
    dev->push("reply OK\r\n");
    clock.fake.advanceMs(5);
    d.DispatchRound();
    d.AddStringToLog("user text [not hex]");
    clock.fake.advanceMs(2000);
    d.DispatchRound();
    d.RemoveTrigger(h);
    d.RemoveTrigger(s);
    ASSERT_EQ(d.DumpDispatchLog(file("d.log"), true, false), 0);
    const std::string log = readFile(file("d.log"));
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
    EXPECT_FALSE(d.HasDispatchLog());
}
