// The signals that ask a program to end (SIGTERM from a session or service manager, SIGHUP when
// its terminal goes, SIGINT from Ctrl+C), delivered on the GUI thread. The handler only writes
// the signal's number to a pipe; a socket notifier reads it in whatever event loop runs, a box's
// nested loop too. A last-resort alarm ends the process when the GUI thread never gets there.
#pragma once
#include <functional>
#include <string>

namespace EndSignals {

// Installs the handlers; onSignal runs on the GUI thread for each signal delivered. The first
// signal also arms a hard exit after backstopSeconds. Needs a QCoreApplication; false when the
// pipe cannot be made.
bool install(std::function<void(int signo)> onSignal, int backstopSeconds);
// Ends the process with code (_exit) after seconds, whatever the GUI thread is doing; replaces
// an earlier time; 0 cancels.
void armHardExit(int seconds, int code);
// "SIGTERM", "SIGHUP", "SIGINT", else "signal N".
std::string name(int signo);

}  // namespace EndSignals
