// The program's time goes on while the computer sleeps: the instrument pumped and heated through
// the sleep, so a run, an equilibration or the HPLC wait has less left afterwards. The system
// clock reads a kernel clock given by the test, whose suspend-blind monotonic time stands still
// while its boot time counts the sleep.
#include <gtest/gtest.h>

#include <ctime>

#include "link/Timers.h"
#include "platform/Clock.h"

namespace {

// Milliseconds of the test's kernel: awake time counts on both clocks, a sleep on boot time only.
struct Kernel {
    static inline int64_t awake = 5'000'000;
    static inline int64_t asleep = 0;
    static int64_t read(int clockId) { return clockId == CLOCK_BOOTTIME ? awake + asleep : awake; }
};

class Suspend : public ::testing::Test {
  protected:
    void SetUp() override {
        Kernel::awake = 5'000'000;
        Kernel::asleep = 0;
        setClock(&clock);
    }
    void TearDown() override { setClock(nullptr); }
    SystemClock clock{&Kernel::read};
};

TEST_F(Suspend, TimersCountTheTimeTheComputerSlept) {
    const int64_t ms = clock.monotonicMs();
    const int64_t s = clock.seconds();
    EXPECT_GT(s, 1'000'000'000) << "seconds never start near 0";

    TCountDownTimer equilibration, hplcWait;
    TCountUpTimer run;
    equilibration.Start(600);
    hplcWait.Start(900);
    run.Start(1200);
    Kernel::awake += 100'000;
    EXPECT_EQ(equilibration.SecondsLeft(), 500);

    // Ten minutes of sleep: the equilibration is over, the HPLC wait and the run went on.
    Kernel::asleep += 600'000;
    EXPECT_EQ(clock.monotonicMs() - ms, 700'000);
    EXPECT_EQ(clock.seconds() - s, 700);
    EXPECT_TRUE(equilibration.IsExpired());
    EXPECT_EQ(equilibration.SecondsLeft(), -100);
    EXPECT_EQ(hplcWait.SecondsLeft(), 200);
    EXPECT_EQ(run.SecondsElapsed(), 700);
    EXPECT_FALSE(run.IsExpired());

    // Two hours asleep are two hours: no hour is taken for a change of the local clock.
    Kernel::asleep += 7'200'000;
    EXPECT_EQ(run.SecondsElapsed(), 7900);
    EXPECT_TRUE(run.IsExpired() && hplcWait.IsExpired());
}

}  // namespace
