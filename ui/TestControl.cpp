#include "ui/TestControl.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <thread>
#include <vector>

#include "link/Instrument.h"
#include "platform/Dialogs.h"
#include "platform/LocalSocket.h"
#include "ui/LCDFrame.h"
#include "ui/MainForm.h"
#include "unicode/UxControls.h"
#include "unicode/UxMenus.h"

namespace {

struct Client {
    int fd = -1;
    QSocketNotifier* notifier = nullptr;
    std::string input;
};

struct State {
    localsocket::Listener listener;
    QSocketNotifier* acceptNotifier = nullptr;
    std::map<int, Client> clients;
    std::deque<MsgResult> answers;
    std::vector<MessageRequest> boxes;
    bool hold = false;
    int open = 0;
    std::vector<QEventLoop*> waiting;  // held boxes, innermost last
    MessageHandler handler;            // the channel's own answerer
};

State& state() {
    static State s;
    return s;
}

std::string escape(const QString& text) {
    std::string out;
    for (char c : text.toStdString()) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

void closeClient(int fd) {
    auto it = state().clients.find(fd);
    if (it == state().clients.end()) return;
    it->second.notifier->deleteLater();
    ::close(fd);
    state().clients.erase(it);
}

void readClient(int fd) {
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        closeClient(fd);
        return;
    }
    auto it = state().clients.find(fd);
    if (it == state().clients.end()) return;
    it->second.input.append(buf, size_t(n));
    size_t nl;
    while ((nl = it->second.input.find('\n')) != std::string::npos) {
        std::string line = it->second.input.substr(0, nl);
        it->second.input.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string answer = TestControl::handle(line) + "\n";
        // Answers are short; the test reads them at once.
        [[maybe_unused]] ssize_t w = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
}

void acceptClient() {
    const int fd = ::accept4(state().listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    Client c;
    c.fd = fd;
    c.notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    QObject::connect(c.notifier, &QSocketNotifier::activated, [fd] { readClient(fd); });
    state().clients[fd] = c;
}

TUxMenuItem* findItem(const std::string& name) {
    if (!MainForm) return nullptr;
    return MainForm->findChild<TUxMenuItem*>(QString::fromStdString(name));
}

// The menus that hold the item, outermost first.
std::vector<TUxMenuItem*> menusAbove(TUxMenuItem* item) {
    std::vector<TUxMenuItem*> out;
    for (TUxMenuItem* p = item->GetParentItem(); p; p = p->GetParentItem()) out.insert(out.begin(), p);
    return out;
}

// Why the operator could not choose the item as the menus show it now ("" when they could).
std::string unavailable(TUxMenuItem* item, const std::string& name) {
    std::vector<TUxMenuItem*> path = menusAbove(item);
    path.push_back(item);
    for (TUxMenuItem* it : path) {
        const std::string which = it == item ? "menu item " + name : "menu " + it->objectName().toStdString();
        if (!it->GetVisible()) return "error " + which + " is hidden";
        if (!it->GetEnabled()) return "error " + which + " is disabled";
    }
    return {};
}

}  // namespace

namespace TestControl {

bool startFromEnvironment() {
    const char* path = std::getenv("ZENTROVA_TEST_CONTROL");
    if (!path || !*path) return false;
    State& s = state();
    std::string error;
    // Mode 0600 whatever the umask; a file already at the path is not ours to remove.
    if (!localsocket::listenPrivate(path, 4, true, s.listener, error)) {
        std::fprintf(stderr, "zentrova: test control: %s\n", error.c_str());
        return false;
    }
    s.acceptNotifier = new QSocketNotifier(s.listener.fd, QSocketNotifier::Read);
    QObject::connect(s.acceptNotifier, &QSocketNotifier::activated, [] { acceptClient(); });
    s.handler = [](const MessageRequest& req) {
        State& s = state();
        s.boxes.push_back(req);
        ++s.open;
        while (s.hold && s.answers.empty()) {
            QEventLoop loop;
            s.waiting.push_back(&loop);
            loop.exec();
            s.waiting.pop_back();
        }
        --s.open;
        if (!state().answers.empty()) {
            const MsgResult r = state().answers.front();
            state().answers.pop_front();
            return r;
        }
        if (req.defaultButton != mrNone) return req.defaultButton;
        return req.buttons == MsgButtons::YesNo || req.buttons == MsgButtons::YesNoCancel ? mrYes : mrOk;
    };
    setMessageHandler(s.handler);
    // A box whose procedure was stopped while it was open shows why: listed again as it is now.
    setChangeHandler([](const MessageRequest& req) { state().boxes.push_back(req); });
    return true;
}

void stop() {
    State& s = state();
    while (!s.clients.empty()) closeClient(s.clients.begin()->first);
    delete s.acceptNotifier;
    s.acceptNotifier = nullptr;
    localsocket::closeAndRemove(s.listener);
}

std::string handle(const std::string& line) {
    const size_t sp = line.find(' ');
    const std::string cmd = line.substr(0, sp);
    const std::string arg = sp == std::string::npos ? std::string() : line.substr(sp + 1);
    if (cmd == "state") {
        if (!MainForm) return "error no main window";
        std::string out = "mode=" + std::to_string(int(MainForm->iMode));
        out += " enabled=" + std::string(InstrumentModule && InstrumentModule->Enabled ? "1" : "0");
        out += " shown=" + std::string(MainForm->isVisible() ? "1" : "0");
        out += " caption=" + escape(MainForm->GetCaption());
        out += " message=" + escape(MainForm->LCDScreen1->String1->GetCaption());
        return out;
    }
    if (cmd == "menu") {
        TUxMenuItem* item = findItem(arg);
        if (!item) return "error no menu item " + arg;
        // The operator opens each menu on the way: its opening handler sets what it offers.
        for (TUxMenuItem* m : menusAbove(item))
            if (QMenu* menu = m->GetMenu()) Q_EMIT menu->aboutToShow();
        const std::string refused = unavailable(item, arg);
        if (!refused.empty()) return refused;
        // After the answer: the command may open boxes that run their own loops.
        QTimer::singleShot(0, item, [item] { item->Click(); });
        return "ok";
    }
    if (cmd == "invoke") {
        TUxMenuItem* item = findItem(arg);
        if (!item) return "error no menu item " + arg;
        // What no menu offers (the calibration notices): the item's command as its click runs it.
        QTimer::singleShot(0, item, [item] { item->Click(); });
        return "ok";
    }
    if (cmd == "popup") {
        TUxMenuItem* item = findItem(arg);
        QMenu* menu = item ? item->GetMenu() : nullptr;
        if (!menu) return "error no menu " + arg;
        const std::string refused = unavailable(item, arg);
        if (!refused.empty()) return refused;
        // Opens as the operator's click opens it; nothing waits for a choice.
        menu->popup(MainForm->mapToGlobal(QPoint(0, 0)));
        return "ok";
    }
    if (cmd == "pick") {
        TUxMenuItem* item = findItem(arg);
        if (!item || !item->GetParentItem()) return "error no menu item " + arg;
        QMenu* menu = item->GetParentItem()->GetMenu();
        if (!menu || !menu->isVisible()) return "error the menu of " + arg + " is not open";
        const std::string refused = unavailable(item, arg);
        if (!refused.empty()) return refused;
        // The operator's click on the item as the open menu shows it: pressed and released over it.
        QPointer<QMenu> open = menu;
        QAction* action = item->action();
        QTimer::singleShot(0, menu, [open, action] {
            if (!open) return;
            const QPoint at = open->actionGeometry(action).center();
            const QPoint global = open->mapToGlobal(at);
            for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
                if (!open) return;
                QMouseEvent e(type, QPointF(at), QPointF(global), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                              Qt::NoModifier);
                QCoreApplication::sendEvent(open, &e);
            }
        });
        return "ok";
    }
    if (cmd == "press") {
        static const std::map<std::string, int> keys{
            {"escape", Qt::Key_Escape}, {"enter", Qt::Key_Return}, {"space", Qt::Key_Space}};
        auto it = keys.find(arg);
        if (it == keys.end()) return "error press escape|enter|space";
        const int key = it->second;
        // As the keyboard's press arrives: to the focus of the window in front.
        QTimer::singleShot(0, [key] {
            QWidget* front = QApplication::activeModalWidget();
            if (!front) front = QApplication::activeWindow();
            if (!front) return;
            QWidget* target = front->focusWidget() ? front->focusWidget() : front;
            QPointer<QWidget> alive = target;
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QCoreApplication::sendEvent(target, &press);
            if (!alive) return;
            QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
            QCoreApplication::sendEvent(target, &release);
        });
        return "ok";
    }
    if (cmd == "answer") {
        static const std::map<std::string, MsgResult> names{
            {"yes", mrYes}, {"no", mrNo}, {"ok", mrOk}, {"cancel", mrCancel}};
        auto it = names.find(arg);
        if (it == names.end()) return "error unknown answer " + arg;
        state().answers.push_back(it->second);
        if (!state().waiting.empty()) state().waiting.back()->quit();
        return "ok";
    }
    if (cmd == "hold") {
        if (arg != "on" && arg != "off") return "error hold on|off";
        state().hold = arg == "on";
        for (QEventLoop* loop : state().waiting) loop->quit();
        return "ok";
    }
    if (cmd == "open") return std::to_string(state().open);
    if (cmd == "boxes") {
        std::string out = std::to_string(state().boxes.size());
        for (const auto& b : state().boxes) out += " | " + escape(b.title) + ": " + escape(b.text);
        return out;
    }
    if (cmd == "sequence") {
        if (!MainForm) return "error no main window";
        if (arg.empty()) return "error no sequence name";
        // After the answer, as a dialog's choice arrives: from the event loop.
        QTimer::singleShot(0, MainForm, [arg] {
            try {
                if (MainForm) MainForm->SetDefaultSequence(arg);
            } catch (const std::exception& e) {
                showException(e);
            }
        });
        return "ok";
    }
    if (cmd == "click") {
        QAbstractButton* button = nullptr;
        const QString name = QString::fromStdString(arg);
        // A modal window in front takes the click, as the operator's would: nothing behind it.
        QWidget* modal = QApplication::activeModalWidget();
        const QWidgetList windows = modal ? QWidgetList{modal} : QApplication::topLevelWidgets();
        for (QWidget* w : windows)
            for (QAbstractButton* b : w->findChildren<QAbstractButton*>())
                if (!button && w->isVisible() && (b->objectName() == name || b->text() == name)) button = b;
        if (!button) return "error no button " + arg;
        // After the answer: the button may open a modal window that runs its own loop.
        QTimer::singleShot(0, button, [button] { button->click(); });
        return "ok";
    }
    if (cmd == "modal") {
        const QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return {};
        return escape(modal->objectName().isEmpty() ? modal->windowTitle() : modal->objectName());
    }
    if (cmd == "key") {
        if (!MainForm) return "error no main window";
        if (arg.size() != 1 || !std::isalpha(static_cast<unsigned char>(arg[0]))) return "error key LETTER";
        const int key = Qt::Key_A + (std::toupper(static_cast<unsigned char>(arg[0])) - 'A');
        // After the answer, as a key press arrives: from the event loop.
        QTimer::singleShot(0, MainForm, [key] {
            QKeyEvent press(QEvent::KeyPress, key, Qt::ControlModifier | Qt::AltModifier);
            QCoreApplication::sendEvent(MainForm, &press);
        });
        return "ok";
    }
    if (cmd == "real") {
        if (arg != "on" && arg != "off") return "error real on|off";
        setMessageHandler(arg == "on" ? MessageHandler() : state().handler);
        return "ok";
    }
    if (cmd == "dismiss") {
        QTimer::singleShot(0, [] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                modal->close();
                return;
            }
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w != MainForm && w->isVisible()) w->close();
        });
        return "ok";
    }
    if (cmd == "close") {
        if (!MainForm) return "error no main window";
        QTimer::singleShot(0, MainForm, [] { MainForm->close(); });
        return "ok";
    }
    if (cmd == "freeze") {
        // The GUI thread blocks, as on a file or a display that never answers.
        const int seconds = std::atoi(arg.c_str());
        if (seconds <= 0) return "error freeze SECONDS";
        // Signals do not cut it short: the sleep goes on after their handlers.
        QTimer::singleShot(0, [seconds] { std::this_thread::sleep_for(std::chrono::seconds(seconds)); });
        return "ok";
    }
    if (cmd == "quit") {
        // As the platform asks at the end of the desktop session.
        QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        return "ok";
    }
    return "error unknown command " + cmd;
}

}  // namespace TestControl
