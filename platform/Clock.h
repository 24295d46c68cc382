// The program's one source of time: monotonic milliseconds for timers and pacing,
// seconds that never start near 0, and the local wall-clock time for logs and dates.
// Tests install a FakeClock and advance it instead of sleeping.
//
// The instrument pumps and heats while the computer sleeps, so the monotonic time counts the
// time spent in suspend too (the kernel's boot-time clock, not one that stops in suspend).
#pragma once
#include <cstdint>

struct LocalTime {
    int year = 0, month = 0, day = 0;  // month 1-12, day 1-31
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    // Monotonic milliseconds; never wraps, arbitrary origin.
    virtual int64_t monotonicMs() const = 0;
    // Wall-clock seconds at start-up plus monotonic elapsed seconds (never near 0).
    virtual int64_t seconds() const = 0;
    virtual LocalTime localNow() const = 0;
};

// The system's clock read through a raw source: tests give it one whose boot time and
// suspend-blind monotonic time part, as after a sleep of the computer.
class SystemClock : public Clock {
  public:
    // Milliseconds of a kernel clock (CLOCK_BOOTTIME, CLOCK_MONOTONIC, ...).
    using RawMs = int64_t (*)(int clockId);
    explicit SystemClock(RawMs raw = nullptr);
    int64_t monotonicMs() const override;
    int64_t seconds() const override;
    LocalTime localNow() const override;

  private:
    RawMs raw_;
    int64_t startMono_;
    int64_t startSeconds_;
};

// The installed clock (the system clock unless a test installed another).
Clock& appClock();
// Installs a clock; nullptr restores the system clock. The caller keeps ownership.
void setClock(Clock* c);

class FakeClock : public Clock {
  public:
    // Starts on 2026-12-06 10:00:00.00 local time, monotonic 1,000,000 ms.
    FakeClock();
    int64_t monotonicMs() const override { return mono_; }
    int64_t seconds() const override;
    LocalTime localNow() const override;
    // Moves all three views of time forward.
    void advanceMs(int64_t ms);
    void advanceSeconds(int64_t s) { advanceMs(s * 1000); }
    // Sets the local wall-clock time; monotonic time is unchanged.
    void setLocal(const LocalTime& t);

  private:
    int64_t mono_;
    int64_t startSeconds_;
    int64_t startMono_;
    int64_t localMs_;  // local time as milliseconds since 1970-01-01 00:00 (no time zone)
};

// Installs a FakeClock for the lifetime of the guard.
class FakeClockGuard {
  public:
    FakeClockGuard() { setClock(&fake); }
    ~FakeClockGuard() { setClock(nullptr); }
    FakeClock fake;
};
