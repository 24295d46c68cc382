#include "link/ReceiveGuard.h"

#include <algorithm>

#include "platform/i18n.h"

void TReceiveGuard::roll(int64_t nowMs) {
    if (windowStart_ != INT64_MIN && nowMs - windowStart_ < 1000 && nowMs >= windowStart_) return;
    windowStart_ = nowMs;
    windowBytes_ = 0;
    windowLines_ = 0;
}

void TReceiveGuard::notable(int64_t nowMs) {
    if (inPeriod_) return;
    // Counts start afresh with the first drop after a report.
    inPeriod_ = true;
    periodStart_ = nowMs;
    counts_ = {};
}

size_t TReceiveGuard::Take(size_t n, int64_t nowMs) {
    roll(nowMs);
    const auto left = static_cast<size_t>(std::max<int64_t>(0, BytesPerSecond - windowBytes_));
    const size_t taken = std::min(n, left);
    windowBytes_ += static_cast<int64_t>(taken);
    if (taken < n) notable(nowMs);
    counts_.bytes += n;
    counts_.overBudget += n - taken;
    return taken;
}

bool TReceiveGuard::LineShown(int64_t nowMs) {
    roll(nowMs);
    const bool shown = ++windowLines_ <= LinesPerSecond;
    if (!shown) notable(nowMs);
    ++counts_.lines;
    if (!shown) ++counts_.notLogged;
    return shown;
}

void TReceiveGuard::NulDropped(int64_t nowMs) {
    notable(nowMs);
    ++counts_.nul;
}

void TReceiveGuard::CutDropped(int64_t nowMs) {
    notable(nowMs);
    ++counts_.cut;
}

std::string TReceiveGuard::Report(int64_t nowMs, int lineMax) {
    if (!inPeriod_ || nowMs - periodStart_ < ReportEveryMs) return {};
    inPeriod_ = false;
    const Counts c = counts_;
    counts_ = {};
    using ull = unsigned long long;
    return cformat(
        "#link: received %llu bytes, %llu lines in %lld s; dropped %llu bytes over %lld a second, %llu NUL "
        "bytes, %llu bytes past %d a line; %llu lines not logged",
        ull(c.bytes), ull(c.lines), static_cast<long long>((nowMs - periodStart_) / 1000), ull(c.overBudget),
        static_cast<long long>(BytesPerSecond), ull(c.nul), ull(c.cut), lineMax, ull(c.notLogged));
}
