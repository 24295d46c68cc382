// CPU time of the other threads of this process, for tests that a worker thread does not spin.
#pragma once
#include <sys/resource.h>

// CPU seconds used by every thread of this process but the calling one.
inline double otherThreadsCpu() {
    rusage all{}, self{};
    ::getrusage(RUSAGE_SELF, &all);
    ::getrusage(RUSAGE_THREAD, &self);
    auto sec = [](const rusage& r) {
        return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    return sec(all) - sec(self);
}
