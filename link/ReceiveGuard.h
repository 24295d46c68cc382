// What a flooding peer may cost the link: each second the reader takes at most BytesPerSecond
// bytes (the rest are taken from the transport and dropped) and shows and logs at most
// LinesPerSecond received lines. Whatever was dropped or left out is counted, and while that
// goes on the link logs one line of counts every ReportEveryMs instead of a line per line.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

class TReceiveGuard {
  public:
    // An instrument sends a few hundred bytes and about six lines a second; a serial line at
    // its fastest carries 11,520 bytes a second.
    static constexpr int64_t BytesPerSecond = 16384;
    static constexpr int LinesPerSecond = 20;
    static constexpr int64_t ReportEveryMs = 10000;

    // n bytes arrived at nowMs: how many of them (from the first) the reader takes.
    size_t Take(size_t n, int64_t nowMs);
    // A received line is complete: true when it is shown and logged.
    bool LineShown(int64_t nowMs);
    // Bytes the reader itself drops: NUL bytes, bytes past the longest line it keeps.
    void NulDropped(int64_t nowMs);
    void CutDropped(int64_t nowMs);
    // The line of counts when one is due (something was dropped and ReportEveryMs have passed
    // since the first of it), else "". Asked at least twice a second.
    std::string Report(int64_t nowMs, int lineMax);

    struct Counts {
        uint64_t bytes = 0, lines = 0, overBudget = 0, nul = 0, cut = 0, notLogged = 0;
    };
    const Counts& Pending() const { return counts_; }

  private:
    void roll(int64_t nowMs);
    void notable(int64_t nowMs);

    int64_t windowStart_ = INT64_MIN;  // the current second
    int64_t windowBytes_ = 0;
    int windowLines_ = 0;
    bool inPeriod_ = false;  // something was dropped since the last report
    int64_t periodStart_ = 0;
    Counts counts_;
};
