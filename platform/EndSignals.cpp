#include "platform/EndSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace EndSignals {

namespace {

int gPipe[2] = {-1, -1};
volatile std::sig_atomic_t gExitCode = 0;
volatile std::sig_atomic_t gBackstopSeconds = 0;
volatile std::sig_atomic_t gArmed = 0;
std::function<void(int)> gOnSignal;

void onAlarm(int) {
    _exit(gExitCode);
}

void onEndSignal(int signo) {
    const int saved = errno;
    // The first signal arms the backstop; the close path sets its own, shorter time.
    if (!gArmed && gBackstopSeconds > 0) {
        gArmed = 1;
        alarm(unsigned(gBackstopSeconds));
    }
    const unsigned char b = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(gPipe[1], &b, 1);
    errno = saved;
}

void setHandler(int signo, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(signo, &sa, nullptr);
}

}  // namespace

bool install(std::function<void(int signo)> onSignal, int backstopSeconds) {
    if (gPipe[0] < 0 && ::pipe2(gPipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
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
    setHandler(SIGALRM, onAlarm);
    for (int s : {SIGTERM, SIGHUP, SIGINT}) setHandler(s, onEndSignal);
    return true;
}

void armHardExit(int seconds, int code) {
    gExitCode = code;
    setHandler(SIGALRM, onAlarm);
    gArmed = 1;
    alarm(seconds > 0 ? unsigned(seconds) : 0u);
}

std::string name(int signo) {
    switch (signo) {
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGINT:
            return "SIGINT";
        default:
            return "signal " + std::to_string(signo);
    }
}

}  // namespace EndSignals
