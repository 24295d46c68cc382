// A small control channel for whole-program tests, off unless the environment variable
// ZENTROVA_TEST_CONTROL names a Unix socket path. A test connects, writes one command per
// line and reads one answer line per command:
//   state             "mode=<iMode> enabled=<0|1> shown=<0|1> caption=<text> message=<LCD line 1>"
//   menu NAME         opens the menus on the way to the item whose object name is NAME (their
//                     opening handlers run, as the operator's opening does) and clicks it (after
//                     the answer "ok"); "error ..." when the item is then disabled or hidden
//   invoke NAME       runs the command of the item NAME as its click does, whatever the menus
//                     show (for commands that no menu offers, as the calibration notices)
//   popup MENU        opens the menu of the item MENU and leaves it open (ticks go on under it)
//   pick NAME         clicks the item NAME in the open menu as it shows it now, with the mouse;
//                     "error ..." when its menu is not open or it shows the item disabled or hidden
//   press KEY         the key (escape, enter, space) pressed in the window in front: the modal
//                     window in front when there is one, else the active window
//   answer yes|no|ok|cancel   queues the answer of the next message box
//   hold on|off       on: a box without a queued answer stays open (its own event loop runs, as
//                     a real box's does) until an answer arrives
//   open              "<count>" of the boxes open now
//   boxes             "<count>" then, for each box shown so far, " | title: text" (escaped \n);
//                     a box whose text changed while it was open is listed again
//   sequence NAME     makes NAME the current sequence (as the load-sequence dialog does)
//   click NAME        clicks the button whose object name or text is NAME, in a window shown
//                     (only in the modal window in front, when there is one)
//   modal             the object name of the modal window in front, its title when it has no
//                     name ("" when none)
//   key LETTER        the service key Ctrl+Alt+LETTER pressed in the main window
//   real on|off       on: message boxes are shown for real (and not recorded), as without the channel
//   dismiss           closes the modal window or box in front, else every other window shown
//   close             asks the main window to close (the close box still asks)
//   quit              asks the application to quit, as the desktop session's end does
//   freeze SECONDS    blocks the GUI thread for that long (after the answer)
// While the channel is on, message boxes are answered from the queue (else by their default
// button) and never block.
#pragma once
#include <memory>
#include <string>

namespace TestControl {
// Starts the channel when ZENTROVA_TEST_CONTROL is set; false when it is not or cannot listen.
bool startFromEnvironment();
void stop();
// One command line; the answer without its newline (used by the socket and by tests).
std::string handle(const std::string& line);
}  // namespace TestControl
