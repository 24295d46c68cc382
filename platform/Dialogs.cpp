#include "platform/Dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProperty>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <memory>

#include "platform/i18n.h"

namespace {
MessageHandler& messageHandlerSlot() {
    static MessageHandler h;
    return h;
}

InputHandler& inputHandlerSlot() {
    static InputHandler h;
    return h;
}

ChangeHandler& changeHandlerSlot() {
    static ChangeHandler h;
    return h;
}

// Procedures: the number changes on every begin, finish and stop; a running procedure's id is
// the number its begin gave.
struct ProcedureState {
    uint64_t number = 1;
    uint64_t running = 0;
    uint64_t linkSession = 1;
};
ProcedureState& procedures() {
    static ProcedureState p;
    return p;
}

// A box while it is open, so that the stop of its procedure can reach it.
struct OpenBox {
    MessageRequest req;
    bool stopped = false;
    std::function<void()> close;                        // real box: closes it
    std::function<void(const MessageRequest&)> retext;  // real box: shows the request instead
};
std::vector<OpenBox*>& openBoxes() {
    static std::vector<OpenBox*> boxes;
    return boxes;
}

// The first button of the set: what a box without a stated default offers.
MsgResult firstButton(MsgButtons b) {
    return b == MsgButtons::OK || b == MsgButtons::OKCancel ? mrOk : mrYes;
}

bool hasButton(MsgButtons b, MsgResult r) {
    switch (b) {
        case MsgButtons::OK:
            return r == mrOk;
        case MsgButtons::OKCancel:
            return r == mrOk || r == mrCancel;
        case MsgButtons::YesNo:
            return r == mrYes || r == mrNo;
        case MsgButtons::YesNoCancel:
            return r == mrYes || r == mrNo || r == mrCancel;
    }
    return false;
}

QMessageBox::Icon qtIcon(MsgIcon i) {
    switch (i) {
        case MsgIcon::None:
            return QMessageBox::NoIcon;
        case MsgIcon::Information:
            return QMessageBox::Information;
        case MsgIcon::Warning:
            return QMessageBox::Warning;
        case MsgIcon::Error:
            return QMessageBox::Critical;
        case MsgIcon::Question:
            return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

QWidget* ownerWindow() {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return nullptr;
    return QApplication::activeWindow();
}

// A box wraps its text between words only, so a long name would run past its edge. A file path
// (a word with a "/") may break after each "/" and nowhere else; in another long word, after its
// first characters, an invisible break chance follows each character.
QString wrappable(const QString& text) {
    constexpr int kLongWord = 24;
    const QChar breakChance(0x200B);  // zero-width space
    QString out;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = start;
        while (end < text.size() && !text[end].isSpace()) ++end;
        const QString word = text.mid(start, end - start);
        if (word.contains(QLatin1Char('/'))) {
            for (const QChar c : word) {
                out += c;
                if (c == QLatin1Char('/')) out += breakChance;
            }
        } else {
            int run = 0;
            for (const QChar c : word) {
                out += c;
                if (++run >= kLongWord && !c.isHighSurrogate()) out += breakChance;
            }
        }
        while (end < text.size() && text[end].isSpace()) out += text[end++];
        start = end;
    }
    return out;
}

MsgResult showRealBox(const MessageRequest& req, OpenBox& open) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return req.defaultButton;
    QMessageBox box(ownerWindow());
    std::vector<std::pair<QAbstractButton*, MsgResult>> buttons;
    const auto fill = [&box, &buttons](const MessageRequest& r) {
        struct Choice {
            MsgResult result;
            const char* text;
            QMessageBox::ButtonRole role;
        };
        static const Choice choices[] = {{mrOk, "OK", QMessageBox::AcceptRole},
                                         {mrYes, "Yes", QMessageBox::YesRole},
                                         {mrNo, "No", QMessageBox::NoRole},
                                         {mrCancel, "Cancel", QMessageBox::RejectRole}};
        box.setWindowTitle(r.title);
        box.setText(wrappable(r.text));
        box.setIcon(qtIcon(r.icon));
        // A button taken out of the box is no longer its child: it goes with it.
        for (const auto& [b, result] : buttons) {
            box.removeButton(b);
            delete b;
        }
        buttons.clear();
        QAbstractButton* escape = nullptr;
        for (const Choice& c : choices) {
            if (!hasButton(r.buttons, c.result)) continue;
            QPushButton* b = box.addButton(_(c.text), c.role);
            buttons.emplace_back(b, c.result);
            if (c.result == r.defaultButton) box.setDefaultButton(b);
            if (c.result == mrCancel || (c.result == mrOk && r.buttons == MsgButtons::OK)) escape = b;
        }
        if (escape) box.setEscapeButton(escape);
    };
    fill(req);
    // A short question under a long title: the box is as wide as its title needs.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(titleWidth(req.title), 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    open.close = [&box] { box.done(0); };
    open.retext = fill;
    box.exec();
    open.close = nullptr;
    open.retext = nullptr;
    for (const auto& [b, r] : buttons)
        if (box.clickedButton() == b) return r;
    // Closed without a button: what Escape would give.
    return hasButton(req.buttons, mrCancel) ? mrCancel : req.buttons == MsgButtons::YesNo ? mrNo : mrOk;
}

bool showRealInput(InputRequest& req) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return false;
    QDialog dlg(ownerWindow());
    dlg.setWindowTitle(req.caption);
    auto* layout = new QVBoxLayout(&dlg);
    auto* prompt = new QLabel(req.prompt, &dlg);
    auto* edit = new QLineEdit(req.value, &dlg);
    prompt->setBuddy(edit);
    edit->selectAll();
    auto* buttons = new QDialogButtonBox(&dlg);
    QPushButton* ok = buttons->addButton(_("OK"), QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton(req.cancelCaption.isEmpty() ? _("Cancel") : req.cancelCaption,
                                             QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    cancel->setAutoDefault(false);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dlg, &QDialog::reject);
    layout->addWidget(prompt);
    layout->addWidget(edit);
    layout->addWidget(buttons);
    dlg.setMinimumWidth(300);
    if (dlg.exec() != QDialog::Accepted) return false;
    req.value = edit->text();
    return true;
}
}  // namespace

int titleWidth(const QString& title) {
    // Title bars commonly use a bold face; beside the title stand the icon and three buttons.
    constexpr int kTitleBarExtras = 150;
    QFont f = QApplication::font();
    f.setBold(true);
    return QFontMetrics(f).horizontalAdvance(title) + kTitleBarExtras;
}

MsgResult messageBox(const MessageRequest& request) {
    MessageRequest req = request;
    if (!hasButton(req.buttons, req.defaultButton)) req.defaultButton = firstButton(req.buttons);
    OpenBox open;
    open.req = req;
    std::vector<OpenBox*>& boxes = openBoxes();
    boxes.push_back(&open);
    struct Closed {
        std::vector<OpenBox*>& boxes;
        OpenBox* open;
        ~Closed() { std::erase(boxes, open); }
    } closed{boxes, &open};
    MsgResult r;
    // Copy: the handler may replace itself while it runs.
    if (MessageHandler h = messageHandlerSlot())
        r = h(req);
    else
        r = showRealBox(req, open);
    return open.stopped ? mrNone : r;
}

uint64_t currentProcedure() {
    return procedures().number;
}

void beginProcedure() {
    ProcedureState& p = procedures();
    p.running = ++p.number;
}

void finishProcedure() {
    ProcedureState& p = procedures();
    if (p.running == 0) return;
    p.running = 0;
    ++p.number;
}

namespace {
// Closes the open boxes that stopped() picks; the last one opened shows why instead, with an OK
// button. True when there was one.
bool stopBoxes(const std::function<bool(const MessageRequest&)>& stopped, const QString& why,
               const QString& title) {
    OpenBox* last = nullptr;
    for (OpenBox* b : openBoxes()) {
        if (!stopped(b->req)) continue;
        b->stopped = true;
        if (last && last->close) last->close();
        last = b;
    }
    if (!last) return false;
    // The operator reads why in the box that was open; OK closes it.
    last->req.text = why;
    if (!title.isEmpty()) last->req.title = title;
    last->req.buttons = MsgButtons::OK;
    last->req.defaultButton = mrOk;
    last->req.icon = MsgIcon::Warning;
    if (last->retext) last->retext(last->req);
    if (ChangeHandler h = changeHandlerSlot()) h(last->req);
    return true;
}
}  // namespace

bool stopProcedure(const QString& why, const QString& title) {
    ProcedureState& p = procedures();
    const uint64_t stopped = p.running;
    if (stopped == 0) return false;
    p.running = 0;
    ++p.number;
    return stopBoxes([stopped](const MessageRequest& r) { return r.procedure == stopped; }, why, title);
}

uint64_t linkSession() {
    return procedures().linkSession;
}

bool endLinkSession(const QString& why, const QString& title) {
    const uint64_t ended = procedures().linkSession++;
    return stopBoxes([ended](const MessageRequest& r) { return r.linkSession == ended; }, why, title);
}

MsgResult messageBox(const QString& text, const QString& title, MsgButtons buttons, MsgResult defaultButton,
                     MsgIcon icon, uint64_t procedure) {
    MessageRequest req;
    req.text = text;
    req.title = title;
    req.buttons = buttons;
    req.defaultButton = defaultButton;
    req.icon = icon;
    req.procedure = procedure;
    return messageBox(req);
}

bool inputQuery(const QString& caption, const QString& prompt, QString& value, const QString& cancelCaption) {
    InputRequest req{caption, prompt, cancelCaption, value};
    bool ok;
    if (InputHandler h = inputHandlerSlot())
        ok = h(req);
    else
        ok = showRealInput(req);
    if (ok) value = req.value;
    return ok;
}

// ---------------------------------------------------------------- window placement

namespace {

QPointer<QWidget>& mainWindowSlot() {
    static QPointer<QWidget> w;
    return w;
}

// Windows the window manager places: not menus, tool tips and the like.
bool managed(const QWidget* w) {
    switch (w->windowType()) {
        case Qt::Popup:
        case Qt::ToolTip:
        case Qt::SplashScreen:
        case Qt::Desktop:
        case Qt::SubWindow:
            return false;
        default:
            return !(w->windowFlags() & Qt::X11BypassWindowManagerHint);
    }
}

constexpr const char* kPlaced = "zentrovaPlaced";

// Sees every window as it is shown, before the window system maps it.
class Placement : public QObject {
  protected:
    bool eventFilter(QObject* watched, QEvent* e) override {
        // The receiver first: events that the port threads post to the message windows' object
        // are read by their receiver under its lock, never here.
        if (!watched->isWidgetType() || e->type() != QEvent::Show) return false;
        auto* w = static_cast<QWidget*>(watched);
        if (!w->isWindow() || !managed(w)) return false;
        if (!w->property(kPlaced).toBool()) {
            w->setProperty(kPlaced, true);
            // A dialog has centred itself on its owner; a window the program moved keeps its place.
            if (!w->testAttribute(Qt::WA_Moved) && !qobject_cast<QDialog*>(w))
                centreWindow(w, w == mainWindow() ? nullptr : mainWindow());
        }
        // The position counts as the program's even where it did not change, so that the window
        // manager takes it as it is.
        if (QWindow* h = w->windowHandle()) h->setPosition(h->position());
        return false;
    }
};

}  // namespace

void watchWindowPlacement() {
    static QPointer<Placement> placement;
    if (placement || !qobject_cast<QApplication*>(QCoreApplication::instance())) return;
    placement = new Placement;
    placement->setParent(QCoreApplication::instance());
    QCoreApplication::instance()->installEventFilter(placement);
}

void setMainWindow(QWidget* w) {
    mainWindowSlot() = w;
    watchWindowPlacement();
}

QWidget* mainWindow() {
    return mainWindowSlot();
}

namespace {
// The frame the window manager puts around a window: its own once known, else the last one seen,
// so that a window is placed alike before it first appears (its frame unknown) and after.
// A window's own frame as the window system knows it now (the widget's copy may lag behind).
QMargins ownFrameMargins(const QWidget* x) {
    if (const QWindow* h = x->windowHandle()) return h->frameMargins();
    const QRect f = x->frameGeometry(), g = x->geometry();
    return QMargins(g.left() - f.left(), g.top() - f.top(), f.right() - g.right(), f.bottom() - g.bottom());
}

QMargins frameMargins(const QWidget* w) {
    static QMargins seen;
    for (const QWidget* x : {w, static_cast<const QWidget*>(mainWindow())}) {
        if (!x) continue;
        const QMargins m = ownFrameMargins(x);
        if (m.isNull()) continue;
        seen = m;
        break;
    }
    return seen;
}
}  // namespace

void centreWindow(QWidget* w, const QWidget* other) {
    if (!w) return;
    QRect area;
    const QScreen* s = nullptr;
    if (other && other != w && other->isVisible()) {
        area = other->geometry().marginsAdded(ownFrameMargins(other));
        s = QGuiApplication::screenAt(area.center());
        if (!s) s = other->screen();
    } else if ((s = w->screen())) {
        area = s->availableGeometry();
    }
    if (!area.isValid()) return;
    const QMargins frame = frameMargins(w);
    QRect r = w->geometry().marginsAdded(frame);
    // Until its own frame is known, room for a title bar is kept above the window.
    constexpr int kTitleBar = 30;
    const bool ownFrame = !ownFrameMargins(w).isNull();
    const int top = ownFrame ? 0 : std::max(0, kTitleBar - frame.top());
    r.moveCenter(area.center());
    // A window larger than the one it centres on stays on the screen; its title bar, with
    // which it is moved, never leaves the top.
    if (s) {
        const QRect avail = s->availableGeometry();
        if (r.right() > avail.right()) r.moveRight(avail.right());
        if (r.bottom() > avail.bottom()) r.moveBottom(avail.bottom());
        if (r.left() < avail.left()) r.moveLeft(avail.left());
        if (r.top() < avail.top() + top) r.moveTop(avail.top() + top);
    }
    // The client's own position, which means the same whether the frame is known yet or not (a
    // frame position is taken as the client's until the window system has told the frame). The
    // size stays as it is, and a window not sized yet still takes its own size when it appears.
    const bool sized = w->testAttribute(Qt::WA_Resized);
    w->setGeometry(QRect(r.topLeft() + QPoint(frame.left(), frame.top()), w->size()));
    w->setAttribute(Qt::WA_Resized, sized);
}

void showWindow(QWidget* w) {
    if (!w) return;
    watchWindowPlacement();
    const QWindow* h = w->windowHandle();
    // Taken as shown, but the window system has not put it on the screen: asked again.
    if (w->isVisible() && !(h && h->isExposed())) w->hide();
    if (w->isMinimized())
        w->showNormal();
    else
        w->show();
    w->raise();
    w->activateWindow();
}

void showException(const QString& message) {
    QString title = QGuiApplication::applicationDisplayName();
    if (title.isEmpty()) title = QCoreApplication::applicationName();
    messageBox(message, title, MsgButtons::OK, mrOk, MsgIcon::Error);
}

void showException(const std::exception& e) {
    showException(QString::fromUtf8(e.what()));
}

void runGuarded(const std::function<void()>& handler) {
    if (!handler) return;
    try {
        handler();
    } catch (const std::exception& e) {
        showException(e);
    } catch (...) {
        showException(QStringLiteral("Unknown error"));
    }
}

namespace {

// Lives as a child of its timer and counts its starts and stops: a tick posted in one run of
// the timer is stale once the timer has been stopped or started again.
class TickGate : public QObject {
  public:
    explicit TickGate(QTimer* timer)
        : QObject(timer), runs_(timer->bindableActive().addNotifier([this] { ++run; })) {}
    uint64_t run = 0;
    bool boxOpen = false;

  private:
    QPropertyNotifier runs_;
};

}  // namespace

void connectTimer(QTimer* timer, QObject* context, std::function<void()> handler) {
    const QPointer<TickGate> gate = new TickGate(timer);
    const auto report = [gate](const QString& message) {
        if (gate && gate->boxOpen) {
            qWarning("%s", qUtf8Printable(message));
            return;
        }
        if (gate) gate->boxOpen = true;
        struct Closed {
            const QPointer<TickGate>& gate;
            ~Closed() {
                if (gate) gate->boxOpen = false;
            }
        } closed{gate};
        showException(message);
    };
    const auto run = std::make_shared<const std::function<void()>>([handler = std::move(handler), report] {
        try {
            handler();
        } catch (const std::exception& e) {
            report(QString::fromUtf8(e.what()));
        } catch (...) {
            report(QStringLiteral("Unknown error"));
        }
    });
    // The tick is taken down here and run from the event it posts; by then the timer may have
    // been stopped (or restarted), or be gone with its owner, and the tick is dropped.
    QObject::connect(
        timer, &QTimer::timeout, context,
        [gate, context, run] {
            if (!gate) return;
            QMetaObject::invokeMethod(
                context,
                [gate, posted = gate->run, run] {
                    if (gate && gate->run == posted) (*run)();
                },
                Qt::QueuedConnection);
        },
        Qt::DirectConnection);
}

void setMessageHandler(MessageHandler h) {
    messageHandlerSlot() = std::move(h);
}
void setInputHandler(InputHandler h) {
    inputHandlerSlot() = std::move(h);
}
void setChangeHandler(ChangeHandler h) {
    changeHandlerSlot() = std::move(h);
}
MessageHandler currentMessageHandler() {
    return messageHandlerSlot();
}
InputHandler currentInputHandler() {
    return inputHandlerSlot();
}

DialogScript::DialogScript()
    : prevMessage_(currentMessageHandler()),
      prevInput_(currentInputHandler()),
      prevChange_(changeHandlerSlot()) {
    setChangeHandler([this](const MessageRequest& req) { shown.push_back(req); });
    setMessageHandler([this](const MessageRequest& req) {
        shown.push_back(req);
        if (onShow) onShow(req);
        if (!answers_.empty()) {
            MsgResult r = answers_.front();
            answers_.erase(answers_.begin());
            return r;
        }
        return req.defaultButton == mrNone ? mrOk : req.defaultButton;
    });
    setInputHandler([this](InputRequest& req) {
        queried.push_back(req);
        if (onInput) onInput(req);
        if (inputs_.empty()) return false;
        auto [ok, value] = inputs_.front();
        inputs_.erase(inputs_.begin());
        if (ok) req.value = value;
        return ok;
    });
}

DialogScript::~DialogScript() {
    setMessageHandler(prevMessage_);
    setInputHandler(prevInput_);
    setChangeHandler(prevChange_);
}
