// Polled seconds timers for waits and run clocks: a countdown that expires a given number of
// seconds after its start, and a stopwatch with a duration. They never fire by themselves.
//
// Both read appClock().seconds(), which advances with the monotonic clock, so a change of the
// wall clock (summer time, an operator setting the time) never moves them and no one-hour
// correction is needed; a long gap between queries is simply elapsed time.
#pragma once
#include <cstdint>

class TCountDownTimer {
  public:
    TCountDownTimer() { Reset(); }
    int64_t Start(int32_t seconds);  // returns the new end
    void Reset();                    // end := 0: expired at the first query
    bool IsExpired();                // now > end
    int32_t SecondsLeft();           // end - now, negative once expired (clamped to 32 bits)

    int64_t LastSeen = 0;  // clock at the last start or query; 0 after reset
    int64_t End = 0;
};

class TCountUpTimer {
  public:
    TCountUpTimer() { Reset(); }
    int64_t Start(int32_t duration);  // returns the new start
    void Reset();                     // all fields 0: expired at the first query
    bool IsExpired();                 // now >= start + duration
    int32_t SecondsElapsed();         // now - start (clamped to 32 bits)

    int64_t LastSeen = 0;
    int64_t StartTime = 0;
    int32_t Duration = 0;
};
