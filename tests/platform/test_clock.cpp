#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/Instance.h"

TEST(Clock, FakeClockCrossesMidnightAndKeepsSecondsAwayFromZero) {
    FakeClockGuard g;
    g.fake.setLocal({2026, 12, 31, 23, 59, 59, 990});
    EXPECT_GT(appClock().seconds(), 1'000'000);
    int64_t s0 = appClock().seconds();
    g.fake.advanceMs(20);
    LocalTime t = appClock().localNow();
    EXPECT_EQ(t.year, 2027);
    EXPECT_EQ(t.month, 1);
    EXPECT_EQ(t.day, 1);
    EXPECT_EQ(t.hour, 0);
    EXPECT_EQ(t.millisecond, 10);
    g.fake.advanceSeconds(5);
    EXPECT_EQ(appClock().seconds(), s0 + 5);
}

TEST(Clock, SystemSecondsAreWallClockBased) {
    EXPECT_GT(appClock().seconds(), 1'600'000'000);
}

TEST(Instance, OnlyExactDigitsOneToFour) {
    auto of = [](const char* a) {
        char prog[] = "zentrova";
        std::string s = a;
        char* argv[] = {prog, s.data(), nullptr};
        return instanceFromArgs(2, argv);
    };
    EXPECT_EQ(of("1"), "1");
    EXPECT_EQ(of("4"), "4");
    EXPECT_EQ(of("5"), "");
    EXPECT_EQ(of("01"), "");
    EXPECT_EQ(of("2 "), "");
    char prog[] = "zentrova";
    char* argv[] = {prog, nullptr};
    EXPECT_EQ(instanceFromArgs(1, argv), "");
}
