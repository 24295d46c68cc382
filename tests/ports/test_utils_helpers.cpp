#include <gtest/gtest.h>

#include <sstream>

#include "platform/Clock.h"
#include "ports/ZpUtils.h"

TEST(ZpUtils, TimersRunOnTheInjectedClock) {
    FakeClockGuard clock;
    EventTimer t;
    NewTimer(t, 0);
    EXPECT_FALSE(TimerExpired(t));
    clock.fake.advanceMs(55);
    EXPECT_TRUE(TimerExpired(t));
    EXPECT_EQ(RemainingTime(t), 0);

    NewTimer(t, 10);
    clock.fake.advanceMs(5 * 55);
    EXPECT_EQ(ElapsedTime(t), 5);
    EXPECT_EQ(RemainingTime(t), 5);
    clock.fake.advanceMs(6 * 55);
    EXPECT_TRUE(TimerExpired(t));
    EXPECT_EQ(RemainingTime(t), 0);

    NewTimer(t, MaxTicks + 100);  // capped
    EXPECT_EQ(t.ExpireTicks - t.StartTicks, MaxTicks);
}

TEST(ZpUtils, TimersDoNotWrapAfterTwoToThe31Milliseconds) {
    FakeClockGuard clock;
    clock.fake.advanceMs(int64_t(1) << 31);  // past where a 32-bit tick count wrapped
    EventTimer t;
    NewTimer(t, 18);
    clock.fake.advanceMs(int64_t(1) << 32);
    EXPECT_TRUE(TimerExpired(t));
    NewTimer(t, 18);
    EXPECT_FALSE(TimerExpired(t));
    EXPECT_EQ(RemainingTime(t), 18);
}

TEST(ZpUtils, PathHelpers) {
    EXPECT_EQ(JustExtensionZ("README"), "");
    EXPECT_EQ(JustExtensionZ("trace.trc"), "trc");
    EXPECT_EQ(JustExtensionZ("dir.x\\file"), "");
    EXPECT_EQ(JustFilenameZ("C:\\logs\\z.log"), "z.log");
    EXPECT_EQ(JustPathnameZ("C:\\logs\\z.log"), "C:\\logs");
    EXPECT_EQ(JustPathnameZ("C:\\z.log"), "C:\\");
    EXPECT_EQ(JustPathnameZ("z.log"), "");
    EXPECT_EQ(AddBackSlash("C:\\logs"), "C:\\logs\\");
    EXPECT_EQ(AddBackSlash("C:\\logs\\"), "C:\\logs\\");
    EXPECT_EQ(AddBackSlash("C:"), "C:");
    EXPECT_EQ(AddBackSlash("\"C:\\my logs\""), "\"C:\\my logs\\\"");
    EXPECT_EQ(AddBackSlashZ(""), "");
    EXPECT_EQ(ForceExtensionZ("a.trc", "log"), "a.log");
    EXPECT_EQ(DefaultExtensionZ("a", "log"), "a.log");
    EXPECT_EQ(DefaultExtensionZ("a.trc", "log"), "a.trc");
    EXPECT_EQ(JustName("C:\\dir\\name.tar.gz"), "name");
    EXPECT_EQ(StrStCopy("abcdef", 2, 3), "cde");
    EXPECT_EQ(StrStCopy("abc", 5, 3), "");
    int32_t v = 0;
    EXPECT_TRUE(Str2LongZ(" 42 ", v));
    EXPECT_EQ(v, 42);
    EXPECT_FALSE(Str2LongZ("4x", v));
    uint8_t b[5] = {0, 1, 2, 0xFF, 0x0F};
    NotBuffer(b, 5);
    EXPECT_EQ(b[0], 0xFF);
    EXPECT_EQ(b[4], 0xF0);
}

TEST(ZpUtils, LineReaderSplitsOnCrAcrossPages) {
    std::string text = "first\r\nsecond\r" + std::string(5000, 'x') + "\r\nlast\x1a";
    std::istringstream in(text);
    TLineReader r(in);
    std::string line;
    ASSERT_TRUE(r.NextLine(line));
    EXPECT_EQ(line, "first");
    ASSERT_TRUE(r.NextLine(line));
    EXPECT_EQ(line, "second");
    ASSERT_TRUE(r.NextLine(line));
    EXPECT_EQ(line.size(), 5000u);
    ASSERT_TRUE(r.NextLine(line));
    EXPECT_EQ(line, "last");
    EXPECT_FALSE(r.NextLine(line));
}
