// The machines' timers run on the monotonic clock: the second they expire, and changes of the
// local clock that must not move them.
#include <gtest/gtest.h>

#include "link/Timers.h"
#include "platform/Clock.h"

TEST(Timers, ExpireOnTheirSecondWhateverTheLocalClockDoes) {
    FakeClockGuard g;
    TCountDownTimer d;
    TCountUpTimer u;
    EXPECT_TRUE(d.IsExpired()) << "never started";
    EXPECT_TRUE(u.IsExpired());
    d.Start(5);
    u.Start(5);
    g.fake.advanceSeconds(4);
    g.fake.setLocal({2026, 12, 6, 9, 5, 0, 0});  // summer time ends: the local clock goes back
    EXPECT_EQ(u.SecondsElapsed(), 4);
    EXPECT_FALSE(u.IsExpired());
    g.fake.advanceSeconds(1);
    EXPECT_TRUE(u.IsExpired());
    EXPECT_EQ(d.SecondsLeft(), 0);
    g.fake.advanceMs(999);
    EXPECT_FALSE(d.IsExpired());
    g.fake.advanceMs(1);
    EXPECT_TRUE(d.IsExpired()) << "a count-down expires the second after its end";
    g.fake.advanceSeconds(7200);
    EXPECT_EQ(d.SecondsLeft(), -7201);  // not clamped at 0
    d.Start(600);
    u.Start(600);
    d.Reset();
    u.Reset();
    EXPECT_TRUE(d.IsExpired());
    EXPECT_TRUE(u.IsExpired());
}
