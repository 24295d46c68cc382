// The start-up of the program's windows, apart from the entry so that its failure path is
// tested: each window is made in turn, and one that raises while it is made ends the start-up.
#pragma once
#include <functional>

// Runs create (which makes the windows). An exception that escapes it is shown in a box with
// its text (an exception of any other kind with no text) and the answer is false: the program
// then ends without running its event loop. True when every window was made.
bool createWindows(const std::function<void()>& create);
