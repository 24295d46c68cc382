// The signals that would end the program. Those that ask it to end (SIGTERM from a session or
// service manager, SIGHUP when its terminal goes, SIGINT and SIGQUIT from the keyboard, SIGUSR1,
// SIGUSR2, the timer and power signals, the real-time signals, all from kill) are delivered on
// the GUI thread: the handler only writes the signal's number to a pipe, and a socket notifier
// reads it in whatever event loop runs, a box's nested loop too. Those that only report a failed
// write (SIGPIPE, SIGXFSZ) or readiness (SIGIO) are caught and do nothing: the write fails as any
// failed write does. Faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS) keep their
// default action. A last-resort timer of the program's own, on a thread that no signal reaches,
// ends the process when the GUI thread never gets there; it counts only the time the process
// runs, so a process stopped and continued on its way out still has the time for the halt.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace EndSignals {

// Catches the signals that report a failed write or readiness, so that they cannot end the
// process; the first thing the program does, before anything can write to standard error.
void ignoreWriteFailures();
// Installs the handlers of the ending signals and starts the backstop's thread; onSignal runs on
// the GUI thread for each signal delivered. The first signal also arms the backstop: the process
// ends with status 1 after backstopSeconds. Needs a QCoreApplication; false when the pipe or the
// thread cannot be made.
bool install(std::function<void(int signo)> onSignal, int backstopSeconds);
// Ends the process with code (_exit) after seconds of running, whatever the GUI thread is doing; replaces
// an earlier time; 0 cancels.
void armHardExit(int seconds, int code);
// "SIGTERM", "SIGHUP", "SIGRTMIN+3", ..., else "signal N".
std::string name(int signo);

// Elapsed time that counts only while the process runs, for waits on the way out that a stop
// (SIGSTOP, a debugger) must not use up. Read often: a gap between two readings of more than a
// quarter of a second (the process was stopped) counts as a quarter of a second.
class RunningClock {
  public:
    void start();
    int64_t elapsed();  // milliseconds since start()
    int64_t restart();  // elapsed(), then start()

  private:
    int64_t lastNs_ = 0;
    int64_t countedNs_ = 0;
};

}  // namespace EndSignals
