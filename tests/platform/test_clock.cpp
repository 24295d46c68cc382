#include <gtest/gtest.h>

#include "platform/Clock.h"

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
