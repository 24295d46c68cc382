// The daily log never loses lines silently: lines dropped while the file cannot be written
// are counted and reported in the log, the operator is told once, and a flood of bad lines
// from the instrument costs kilobytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <string>

#include "link/LogFile.h"
#include "platform/Clock.h"
#include "platform/Instance.h"
#include "support/TempEnv.h"

namespace {

class LogLoss : public ::testing::Test {
  protected:
    void SetUp() override {
        setInstance("");
        OnLogTrouble = [this](const QString& text) { told.push_back(text.toStdString()); };
    }
    void TearDown() override { OnLogTrouble = nullptr; }
    // Everything after the header block.
    std::string body(const TLogFile& log) const {
        const std::string text = fileBytes(log.LogPath);
        return text.substr(text.find("\n\n") + 2);
    }

    TempEnv env;
    FakeClockGuard clock;
    std::vector<std::string> told;
};

TEST_F(LogLoss, LinesDroppedOnAFullDiskAreCountedAndTheOperatorIsToldOnce) {
    TLogFile log;
    log.AddLine("before");
    // The disk fills up: every write fails with "no space".
    const int good = ::dup(log.LogHandle);
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    ASSERT_GE(::dup2(full, log.LogHandle), 0);
    ::close(full);

    testing::internal::CaptureStderr();
    const std::string x(100, 'x');  // 113 bytes a line with prefix and line feed
    for (int i = 0; i < 40; ++i) {
        log.AddLine(x);
        clock.fake.advanceMs(1000);
    }
    QCoreApplication::processEvents();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.DroppedLines(), 4u);  // 36 wait, the rest are over the cap
    EXPECT_NE(log.StatusText().find("No space left on device"), std::string::npos) << log.StatusText();
    EXPECT_EQ(err, log.StatusText() + "\n");
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], log.StatusText());

    // Space again: the waiting lines, one line on the loss, then the new line.
    ASSERT_GE(::dup2(good, log.LogHandle), 0);
    ::close(good);
    log.AddLine("after");
    std::string expected = "10:00:00.00,before\n";
    for (int i = 0; i < 36; ++i)
        expected += "10:00:" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".00," + x + "\n";
    expected +=
        "10:00:40.00,#log: 4 lines lost since 10:00:36 06/12/2026: the log file could not be written\n";
    expected += "10:00:40.00,after\n";
    EXPECT_EQ(body(log), expected);
    EXPECT_EQ(log.DroppedLines(), 0u);
    EXPECT_EQ(log.StatusText(), "");
    QCoreApplication::processEvents();
    EXPECT_EQ(told.size(), 1u);
}

TEST_F(LogLoss, AFloodOfBadReceivedLinesCostsKilobytes) {
    TLogFile log;
    LogFile = &log;
    const std::string huge(5000, 'g');
    EXPECT_EQ(*receivedLogEntry(huge, false, false), std::string(200, 'g') + " ... (5000 bytes)");
    EXPECT_EQ(*receivedLogEntry(huge.substr(0, 4000), true, true),
              std::string(200, 'g') + " ... (4000 bytes or more)");
    // A misbehaving peer sends ten thousand such lines within the minute; good lines still get through.
    int kept = 0;
    for (int i = 0; i < 10000; ++i) {
        if (const auto entry = receivedLogEntry(huge, false, false)) {
            logLine(*entry);
            ++kept;
        }
        if (i % 1000 == 0) {
            EXPECT_EQ(*receivedLogEntry("?3,1,2,3,4,5,6,7", true, false), "?3,1,2,3,4,5,6,7");
        }
    }
    EXPECT_EQ(kept, TLogFile::BadLinesPerMinute - 2);
    EXPECT_LT(fileBytes(log.LogPath).size(), 12000u);
    // A minute on, the count goes into the log before the next line that is kept.
    clock.fake.advanceSeconds(60);
    EXPECT_TRUE(receivedLogEntry("?3,1,2,3,4,5,6,7", true, false));
    EXPECT_NE(body(log).find("10:01:00.00,#log: " + std::to_string(10000 - kept) +
                             " malformed or overlong received lines not logged since 10:00:00 06/12/2026\n"),
              std::string::npos)
        << body(log).substr(body(log).size() - 300);
    LogFile = nullptr;
}
}  // namespace
