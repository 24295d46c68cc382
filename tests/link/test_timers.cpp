#include <gtest/gtest.h>

#include "link/Timers.h"
#include "platform/Clock.h"

TEST(Timers, CountDownExpiresTheSecondAfterItsEnd) {
    FakeClockGuard g;
    TCountDownTimer t;
    const int64_t t0 = appClock().seconds();
    EXPECT_EQ(t.Start(0), t0);
    EXPECT_FALSE(t.IsExpired());
    EXPECT_EQ(t.SecondsLeft(), 0);
    g.fake.advanceMs(999);
    EXPECT_FALSE(t.IsExpired());
    g.fake.advanceMs(1);
    EXPECT_TRUE(t.IsExpired());
    EXPECT_EQ(t.SecondsLeft(), -1);

    t.Start(5);
    g.fake.advanceSeconds(5);
    EXPECT_FALSE(t.IsExpired());
    EXPECT_EQ(t.SecondsLeft(), 0);
    g.fake.advanceSeconds(1);
    EXPECT_TRUE(t.IsExpired());
    g.fake.advanceSeconds(10);
    EXPECT_EQ(t.SecondsLeft(), -11);  // not clamped at 0
}

TEST(Timers, CountUpExpiresAtItsDuration) {
    FakeClockGuard g;
    TCountUpTimer t;
    t.Start(0);
    EXPECT_TRUE(t.IsExpired());
    EXPECT_EQ(t.SecondsElapsed(), 0);

    t.Start(5);
    g.fake.advanceSeconds(4);
    EXPECT_FALSE(t.IsExpired());
    EXPECT_EQ(t.SecondsElapsed(), 4);
    g.fake.advanceSeconds(1);
    EXPECT_EQ(t.SecondsElapsed(), 5);
    EXPECT_TRUE(t.IsExpired());
}

TEST(Timers, ResetAndConstructionCountAsExpired) {
    FakeClockGuard g;
    TCountDownTimer d;
    TCountUpTimer u;
    EXPECT_TRUE(d.IsExpired());
    EXPECT_TRUE(u.IsExpired());
    d.Start(600);
    u.Start(600);
    d.Reset();
    u.Reset();
    EXPECT_EQ(d.End, 0);
    EXPECT_EQ(u.StartTime, 0);
    EXPECT_TRUE(d.IsExpired());
    EXPECT_TRUE(u.IsExpired());
    EXPECT_LT(d.SecondsLeft(), 0);
    EXPECT_GT(u.SecondsElapsed(), 0);
}

TEST(Timers, WallClockChangesDoNotMoveThem) {
    FakeClockGuard g;
    TCountDownTimer d;
    TCountUpTimer u;
    d.Start(600);
    u.Start(3600);
    g.fake.advanceSeconds(300);
    EXPECT_EQ(d.SecondsLeft(), 300);
    // Summer time ends: the local clock goes back an hour.
    g.fake.setLocal({2026, 12, 6, 9, 5, 0, 0});
    EXPECT_EQ(d.SecondsLeft(), 300);
    EXPECT_EQ(u.SecondsElapsed(), 300);
    // And forward again.
    g.fake.setLocal({2026, 12, 6, 11, 5, 0, 0});
    g.fake.advanceSeconds(1);
    EXPECT_EQ(d.SecondsLeft(), 299);
    EXPECT_EQ(u.SecondsElapsed(), 301);
}

TEST(Timers, LongGapWithoutQueriesIsElapsedTime) {
    FakeClockGuard g;
    TCountDownTimer d;
    d.Start(7200);
    g.fake.advanceSeconds(4000);
    EXPECT_EQ(d.SecondsLeft(), 3200);
    g.fake.advanceSeconds(3200);
    EXPECT_FALSE(d.IsExpired());
    g.fake.advanceSeconds(1);
    EXPECT_TRUE(d.IsExpired());

    TCountUpTimer u;
    u.Start(5000);
    g.fake.advanceSeconds(4000);
    EXPECT_EQ(u.SecondsElapsed(), 4000);
    EXPECT_FALSE(u.IsExpired());
    g.fake.advanceSeconds(1000);
    EXPECT_TRUE(u.IsExpired());
}
