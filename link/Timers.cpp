#include "link/Timers.h"

#include <algorithm>
#include <limits>

#include "platform/Clock.h"

namespace {

int64_t now() {
    return appClock().seconds();
}

int32_t clamp32(int64_t v) {
    return static_cast<int32_t>(
        std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

}  // namespace

int64_t TCountDownTimer::Start(int32_t seconds) {
    LastSeen = now();
    End = LastSeen + seconds;
    return End;
}

void TCountDownTimer::Reset() {
    LastSeen = 0;
    End = 0;
}

bool TCountDownTimer::IsExpired() {
    LastSeen = now();
    return LastSeen > End;
}

int32_t TCountDownTimer::SecondsLeft() {
    LastSeen = now();
    return clamp32(End - LastSeen);
}

int64_t TCountUpTimer::Start(int32_t duration) {
    LastSeen = now();
    Duration = duration;
    StartTime = LastSeen;
    return StartTime;
}

void TCountUpTimer::Reset() {
    LastSeen = 0;
    StartTime = 0;
    Duration = 0;
}

bool TCountUpTimer::IsExpired() {
    LastSeen = now();
    return LastSeen >= StartTime + Duration;
}

int32_t TCountUpTimer::SecondsElapsed() {
    LastSeen = now();
    return clamp32(LastSeen - StartTime);
}
