// The one dialog service: every message box and input query of the program goes
// through here, so that tests can answer them (and keep ticking the main loop meanwhile).
#pragma once
#include <QString>
#include <cstdint>
#include <exception>
#include <functional>
#include <vector>

class QObject;
class QTimer;
class QWidget;

enum class MsgButtons { OK, OKCancel, YesNo, YesNoCancel };
enum class MsgIcon { None, Information, Warning, Error, Question };
enum MsgResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

struct MessageRequest {
    QString title;
    QString text;
    MsgButtons buttons = MsgButtons::OK;
    MsgResult defaultButton = mrOk;
    MsgIcon icon = MsgIcon::None;
    // The procedure the box belongs to (currentProcedure() of the step that opens it); 0: none.
    uint64_t procedure = 0;
    // A question whose Yes starts something on the instrument: the link's session it was asked
    // in (linkSession()); 0: none.
    uint64_t linkSession = 0;
};

struct InputRequest {
    QString caption;
    QString prompt;
    QString cancelCaption;  // empty: the usual "Cancel"
    QString value;
};

// Shows a modal message box (owned by the application's active window); returns the button
// pressed. A default button the box does not have becomes its first button (OK or Yes).
MsgResult messageBox(const MessageRequest& req);
// procedure: as MessageRequest::procedure.
MsgResult messageBox(const QString& text, const QString& title, MsgButtons buttons = MsgButtons::OK,
                     MsgResult defaultButton = mrNone, MsgIcon icon = MsgIcon::None, uint64_t procedure = 0);
// Shows a modal input query; true on OK with value edited, false on Cancel (value unchanged).
bool inputQuery(const QString& caption, const QString& prompt, QString& value,
                const QString& cancelCaption = QString());
// Procedures and their boxes. The main window begins a procedure when it enters a procedure's
// mode; a step that opens a box puts currentProcedure() into the box's request. A procedure that
// ends by itself is finished: its open boxes stay as they are. One that is stopped (lost link,
// Stop, disabled instrument) closes its open boxes: the last one opened shows why instead, with
// an OK button, and every one of them answers mrNone. currentProcedure() changes whenever a
// procedure begins, finishes or is stopped, so a step compares it after its box and does nothing
// more once it changed.
uint64_t currentProcedure();
void beginProcedure();
void finishProcedure();
// True when a box of the stopped procedure was open (the operator has been told why); that box
// then bears title (its own when empty).
bool stopProcedure(const QString& why, const QString& title = QString());
// The link's sessions: a question whose Yes starts something on the instrument is asked in the
// session of the link that is up. A lost link ends the session: its open questions close as a
// stopped procedure's boxes do (the last one says why, under title) and answer mrNone, and
// linkSession() changes, so a command compares it after its question and starts nothing then.
uint64_t linkSession();
bool endLinkSession(const QString& why, const QString& title);

// The width a window needs for its title to show whole in its title bar.
int titleWidth(const QString& title);

// Window placement. A window manager may leave a window without a position to the operator, and
// hold the display meanwhile, so every window the program shows gets one of the program's before
// it appears: a window that has none is centred on the main window (the main window itself on the
// screen). Once watched, every top-level window passes through this as it is shown.
void watchWindowPlacement();
void setMainWindow(QWidget* w);
QWidget* mainWindow();
// Centres w over other (the screen when other is null or hidden), whole on the screen and with
// its title bar, by which it is moved, below the screen's top edge.
void centreWindow(QWidget* w, const QWidget* other);
// Shows a non-modal window in front. One taken as shown that is not on the screen (the window
// manager never put it there, or it was iconified) is shown anew.
void showWindow(QWidget* w);
// The application's error box for an exception that reached the event loop.
void showException(const QString& message);
void showException(const std::exception& e);
// Runs an event handler (nothing when empty); whatever it raises is shown with showException
// and goes no further, so an exception never crosses the event loop.
void runGuarded(const std::function<void()>& handler);
// Runs handler on every tick of timer, from an event posted by the tick rather than inside the
// timer's own delivery: a timer is not delivered again while its slot runs, and a box that the
// handler opens must leave the timer ticking underneath it. A tick whose timer was stopped or
// started again before its event ran, or whose timer or context is gone, is dropped (a stopped
// timer asks nothing more; a restart counts its interval afresh). An error is shown in the error box;
// while that box is open, errors of later ticks of the same timer go to the diagnostic output
// instead of opening box upon box.
void connectTimer(QTimer* timer, QObject* context, std::function<void()> handler);

// Test hooks: while a handler is installed no real box is shown; the handler answers.
using MessageHandler = std::function<MsgResult(const MessageRequest&)>;
using InputHandler = std::function<bool(InputRequest&)>;
// Told when an open box changes its text (its procedure was stopped): the box as it is now.
using ChangeHandler = std::function<void(const MessageRequest&)>;
void setMessageHandler(MessageHandler h);  // empty function: real boxes again
void setInputHandler(InputHandler h);
void setChangeHandler(ChangeHandler h);
MessageHandler currentMessageHandler();
InputHandler currentInputHandler();

// A scripted answerer for tests: records every box and answers from a queue
// (default: the box's default button, OK for a box without one). An input query without a
// queued answer is cancelled (so a loop that asks again ends). A box whose text changes while
// it is open (its procedure was stopped) is recorded again as it is now. Installs its handlers
// for its lifetime and restores the previous ones afterwards.
class DialogScript {
  public:
    DialogScript();
    ~DialogScript();
    DialogScript(const DialogScript&) = delete;
    DialogScript& operator=(const DialogScript&) = delete;
    void answer(MsgResult r) { answers_.push_back(r); }
    // ok: OK with value as the edited text; otherwise Cancel.
    void answerInput(bool ok, const QString& value = QString()) { inputs_.push_back({ok, value}); }
    // Called while a box is shown, before it is answered (e.g. to tick a timer).
    std::function<void(const MessageRequest&)> onShow;
    std::function<void(const InputRequest&)> onInput;
    std::vector<MessageRequest> shown;
    std::vector<InputRequest> queried;

  private:
    MessageHandler prevMessage_;
    InputHandler prevInput_;
    ChangeHandler prevChange_;
    std::vector<MsgResult> answers_;
    std::vector<std::pair<bool, QString>> inputs_;
};
