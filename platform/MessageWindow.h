// Window handles and window messages for the non-visual layers. A MessageWindow is a
// hidden window with a handle (never reused) and a window procedure that runs on the GUI
// thread. Posts queue a Qt event; a send from the GUI thread calls the procedure at once,
// a send from another thread waits for the GUI thread (at most its time-out).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

using WindowHandle = uint32_t;  // 0 = no window
using WParam = uintptr_t;
using LParam = intptr_t;
using LResult = intptr_t;

class MessageWindow {
  public:
    using Procedure = std::function<LResult(uint32_t msg, WParam w, LParam l)>;
    explicit MessageWindow(Procedure proc);
    ~MessageWindow();  // the handle becomes invalid; messages still queued for it are dropped
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;
    WindowHandle handle() const { return handle_; }

  private:
    WindowHandle handle_;
};

// False when the window does not exist.
bool postMessage(WindowHandle wnd, uint32_t msg, WParam w, LParam l);
// Returns the procedure's result, 0 when the window does not exist.
LResult sendMessage(WindowHandle wnd, uint32_t msg, WParam w, LParam l);
// False when the window does not exist or the time-out expired first; a send that timed
// out is cancelled: its procedure never runs afterwards (one that had already started
// when the time-out expired finishes, and its result is dropped). Destroying the window
// releases waiting senders at once with false.
// From the GUI thread both sends call the procedure directly.
bool sendMessageTimeout(WindowHandle wnd, uint32_t msg, WParam w, LParam l, int timeoutMs, LResult* result);
bool isWindow(WindowHandle wnd);
// Runs the messages already queued for the windows (posts, and sends from other threads) on the
// GUI thread, and nothing else of the application's queue: for a caller without an event loop.
void dispatchQueuedMessages();
