#include "platform/Clock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <ctime>

namespace {

int64_t kernelMs(int clockId) {
    timespec ts{};
    clock_gettime(static_cast<clockid_t>(clockId), &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

}  // namespace

SystemClock::SystemClock(RawMs raw)
    : raw_(raw ? raw : kernelMs),
      startMono_(monotonicMs()),
      startSeconds_(static_cast<int64_t>(std::time(nullptr))) {}

// Counts on through a suspend of the computer, as the instrument does.
int64_t SystemClock::monotonicMs() const {
    return raw_(CLOCK_BOOTTIME);
}

int64_t SystemClock::seconds() const {
    return startSeconds_ + (monotonicMs() - startMono_) / 1000;
}

LocalTime SystemClock::localNow() const {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    LocalTime lt;
    lt.year = tm.tm_year + 1900;
    lt.month = tm.tm_mon + 1;
    lt.day = tm.tm_mday;
    lt.hour = tm.tm_hour;
    lt.minute = tm.tm_min;
    lt.second = tm.tm_sec;
    lt.millisecond = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    return lt;
}

namespace {

SystemClock& systemClock() {
    static SystemClock c;
    return c;
}

std::atomic<Clock*> installed{nullptr};

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t daysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

}  // namespace

Clock& appClock() {
    Clock* c = installed.load();
    return c ? *c : systemClock();
}

void setClock(Clock* c) {
    installed.store(c);
}

FakeClock::FakeClock() : mono_(1'000'000), startSeconds_(1'796'558'400), startMono_(1'000'000) {
    setLocal(LocalTime{2026, 12, 6, 10, 0, 0, 0});
}

int64_t FakeClock::seconds() const {
    return startSeconds_ + (mono_ - startMono_) / 1000;
}

void FakeClock::advanceMs(int64_t ms) {
    mono_ += ms;
    localMs_ += ms;
}

void FakeClock::setLocal(const LocalTime& t) {
    localMs_ =
        (daysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second) * 1000 +
        t.millisecond;
}

LocalTime FakeClock::localNow() const {
    LocalTime lt;
    int64_t days = localMs_ / 86'400'000;
    int64_t rest = localMs_ % 86'400'000;
    civilFromDays(days, lt.year, lt.month, lt.day);
    lt.hour = static_cast<int>(rest / 3'600'000);
    lt.minute = static_cast<int>(rest / 60'000 % 60);
    lt.second = static_cast<int>(rest / 1000 % 60);
    lt.millisecond = static_cast<int>(rest % 1000);
    return lt;
}
