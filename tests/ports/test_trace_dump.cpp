// Character trace and dispatch log: their rules and their dump files (golden files made
// with the injected clock; the compiler and system lines are masked).
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

std::string masked(const std::string& text) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.rfind("Compiler : ", 0) == 0) line = "Compiler : *";
        if (line.rfind("Operating System : ", 0) == 0) line = "Operating System : *";
        out += line + "\n";
    }
    return out;
}

void expectGolden(const std::string& produced, const std::string& name) {
    const std::string path = std::string(ZENTROVA_SOURCE_DIR) + "/tests/ports/golden/" + name;
    const std::string got = masked(readFile(produced));
    if (getenv("ZENTROVA_UPDATE_GOLDEN")) {
        std::ofstream(path, std::ios::binary) << got;
        return;
    }
    EXPECT_EQ(got, readFile(path)) << "golden file " << name;
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

TEST_F(TraceFixture, TraceDumpGolden) {
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
    expectGolden(file("hex.trc"), "trace_hex.txt");

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

TEST_F(TraceFixture, DispatchLogGolden) {
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
    expectGolden(file("d.log"), "dispatch_log.txt");
    EXPECT_FALSE(d.HasDispatchLog());
}
