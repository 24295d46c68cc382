#include "platform/EndSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <system_error>
#include <thread>

namespace EndSignals {

namespace {

// Signals that ask the program to end, besides the real-time ones.
constexpr int kEnding[] = {SIGTERM, SIGHUP,    SIGINT,  SIGQUIT, SIGUSR1,   SIGUSR2,
                           SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGSTKFLT, SIGPWR};
// Signals that report a failed write or a readiness the program never asks for.
constexpr int kIgnored[] = {SIGPIPE, SIGXFSZ, SIGIO};

int gPipe[2] = {-1, -1};
std::function<void(int)> gOnSignal;

// The backstop: the time the program may still run (0: none), counted down by a thread of its
// own in short steps, woken through an eventfd when the time is set anew. No signal is involved,
// so none sent from outside can end the process early. Only the time the process runs counts:
// the thread stops with it (SIGSTOP, a debugger, a frozen cgroup), and a step found to have
// lasted much longer than asked counts as a few, so that the halt still has its time after a
// continue; a busy machine that runs the thread late still has it counted.
std::atomic<int64_t> gLeftNs{0};
std::atomic<int> gExitCode{1};
std::atomic<int> gBackstopSeconds{0};
int gWake = -1;
static_assert(std::atomic<int64_t>::is_always_lock_free, "used inside a signal handler");
constexpr int kStepMs = 50;
constexpr int64_t kMostOfAStepNs = int64_t(5 * kStepMs) * 1000000;

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void wakeBackstop() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(gWake, &one, sizeof one);
}

// The time since last, at most kMostOfAStepNs; last moves on to now.
int64_t ranSince(int64_t& last) {
    const int64_t now = nowNs();
    const int64_t ran = std::min(now - last, kMostOfAStepNs);
    last = now;
    return ran;
}

[[noreturn]] void runBackstop() {
    int64_t last = nowNs();
    for (;;) {
        const int64_t left = gLeftNs.load();
        int timeoutMs = -1;
        if (left != 0) timeoutMs = int(std::min<int64_t>((left + 999999) / 1000000, kStepMs));
        pollfd p{gWake, POLLIN, 0};
        const bool woken = ::poll(&p, 1, timeoutMs) > 0;
        const int64_t ran = ranSince(last);
        if (woken) {
            // The time was set anew: it counts from now.
            uint64_t count;
            [[maybe_unused]] const ssize_t n = ::read(gWake, &count, sizeof count);
            continue;
        }
        int64_t expected = gLeftNs.load();
        if (expected == 0) continue;
        const int64_t rest = expected - ran;
        if (rest <= 0) _exit(gExitCode.load());
        // A time set meanwhile wins: this step is not taken from it.
        gLeftNs.compare_exchange_strong(expected, rest);
    }
}

void onEndSignal(int signo) {
    const int saved = errno;
    // The first signal arms the backstop; the close path sets its own, shorter time.
    int64_t none = 0;
    const int seconds = gBackstopSeconds.load();
    if (seconds > 0 && gLeftNs.compare_exchange_strong(none, int64_t(seconds) * 1000000000)) wakeBackstop();
    const unsigned char b = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(gPipe[1], &b, 1);
    errno = saved;
}

// A handler rather than SIG_IGN: programs started from this one get the default action back.
void onIgnored(int) {}

void setHandler(int signo, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(signo, &sa, nullptr);
}

bool startBackstop() {
    if (gWake >= 0) return true;
    gWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (gWake < 0) return false;
    // The thread takes no signal: each one's handler runs on a thread that can act on it.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    bool started = true;
    try {
        std::thread(runBackstop).detach();
    } catch (const std::system_error&) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!started) {
        ::close(gWake);
        gWake = -1;
    }
    return started;
}

}  // namespace

void ignoreWriteFailures() {
    for (int s : kIgnored) setHandler(s, onIgnored);
}

bool install(std::function<void(int signo)> onSignal, int backstopSeconds) {
    ignoreWriteFailures();
    if (gPipe[0] < 0 && ::pipe2(gPipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    if (!startBackstop()) return false;
    gOnSignal = std::move(onSignal);
    gBackstopSeconds = backstopSeconds;
    auto* notifier = new QSocketNotifier(gPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        unsigned char buf[16];
        ssize_t n;
        while ((n = ::read(gPipe[0], buf, sizeof buf)) > 0)
            for (ssize_t i = 0; i < n; ++i)
                if (gOnSignal) gOnSignal(buf[i]);
    });
    for (int s : kEnding) setHandler(s, onEndSignal);
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) setHandler(s, onEndSignal);
    return true;
}

void armHardExit(int seconds, int code) {
    if (!startBackstop()) return;
    gExitCode.store(code);
    gLeftNs.store(seconds > 0 ? int64_t(seconds) * 1000000000 : 0);
    wakeBackstop();
}

void RunningClock::start() {
    lastNs_ = nowNs();
    countedNs_ = 0;
}

int64_t RunningClock::elapsed() {
    countedNs_ += ranSince(lastNs_);
    return countedNs_ / 1000000;
}

int64_t RunningClock::restart() {
    const int64_t ms = elapsed();
    start();
    return ms;
}

std::string name(int signo) {
    // The real-time signals as kill -l names them: the lower half from SIGRTMIN, the rest from
    // SIGRTMAX.
    if (signo == SIGRTMIN) return "SIGRTMIN";
    if (signo == SIGRTMAX) return "SIGRTMAX";
    if (signo > SIGRTMIN && signo < SIGRTMAX)
        return signo - SIGRTMIN <= (SIGRTMAX - SIGRTMIN) / 2 ? "SIGRTMIN+" + std::to_string(signo - SIGRTMIN)
                                                             : "SIGRTMAX-" + std::to_string(SIGRTMAX - signo);
    if (const char* abbrev = sigabbrev_np(signo)) return std::string("SIG") + abbrev;
    return "signal " + std::to_string(signo);
}

}  // namespace EndSignals
