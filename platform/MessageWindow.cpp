// Window messages as Qt events. The messages themselves travel through our own queues
// under one std::mutex; Qt only carries a wake-up event per message to the dispatcher,
// which lives on the GUI thread. Keeping the payload out of Qt's queue keeps the hand-off
// visible to the thread checker and lets a destroyed window's messages be dropped.
#include "platform/MessageWindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <unordered_map>

#include "platform/Dialogs.h"

namespace {

struct PendingSend {
    enum State { Waiting, Running, Done, Failed, Abandoned };
    State state = Waiting;
    LResult result = 0;
};

struct Entry {
    MessageWindow::Procedure proc;
    // Sends from other threads still waiting for this window.
    std::vector<std::shared_ptr<PendingSend>> pending;
};

struct Message {
    WindowHandle wnd;
    uint32_t msg;
    WParam w;
    LParam l;
    std::shared_ptr<PendingSend> send;  // empty for a post
};

const QEvent::Type PostEventType = static_cast<QEvent::Type>(QEvent::User + 0x3A1);
const QEvent::Type SendEventType = static_cast<QEvent::Type>(QEvent::User + 0x3A2);

class Dispatcher : public QObject {
  public:
    bool event(QEvent* e) override;
};

struct Registry {
    std::mutex mutex;
    std::condition_variable sendDone;
    std::unordered_map<WindowHandle, std::shared_ptr<Entry>> windows;
    std::deque<Message> posts;
    std::deque<Message> sends;
    WindowHandle next = 1;
    QPointer<Dispatcher> dispatcher;
    QThread* guiThread = nullptr;
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: worker threads may outlive statics
    return *r;
}

void runProcedure(const MessageWindow::Procedure& proc, uint32_t msg, WParam w, LParam l, LResult& result) {
    try {
        result = proc(msg, w, l);
    } catch (const std::exception& e) {
        result = 0;
        showException(QString::fromUtf8(e.what()));
    } catch (...) {
        result = 0;
        showException(QStringLiteral("Unknown error"));
    }
}

void removePending(Entry& entry, const std::shared_ptr<PendingSend>& p) {
    auto& v = entry.pending;
    v.erase(std::remove(v.begin(), v.end(), p), v.end());
}

bool Dispatcher::event(QEvent* e) {
    Registry& r = registry();
    // Locking before the event is looked at orders it after the poster's writes (the
    // event was posted under this lock), which Qt's own queue does not show the checker.
    std::unique_lock lock(r.mutex);
    if (e->type() != PostEventType && e->type() != SendEventType) {
        lock.unlock();
        return QObject::event(e);
    }
    auto& queue = e->type() == PostEventType ? r.posts : r.sends;
    if (queue.empty()) return true;
    Message m = std::move(queue.front());
    queue.pop_front();
    auto it = r.windows.find(m.wnd);
    std::shared_ptr<Entry> entry = it == r.windows.end() ? nullptr : it->second;
    if (m.send) {
        if (entry) removePending(*entry, m.send);
        if (m.send->state != PendingSend::Waiting) return true;  // abandoned or failed already
        if (!entry) {
            m.send->state = PendingSend::Failed;
            r.sendDone.notify_all();
            return true;
        }
        m.send->state = PendingSend::Running;
    }
    if (!entry) return true;  // the window is gone: its messages are dropped
    lock.unlock();
    LResult result = 0;
    runProcedure(entry->proc, m.msg, m.w, m.l, result);
    if (m.send) {
        lock.lock();
        m.send->result = result;
        m.send->state = PendingSend::Done;
        r.sendDone.notify_all();
    }
    return true;
}

bool onGuiThread(const Registry& r) {
    return r.guiThread == nullptr || QThread::currentThread() == r.guiThread;
}

// Called with the lock held.
void ensureDispatcher(Registry& r) {
    if (r.dispatcher) return;
    QCoreApplication* app = QCoreApplication::instance();
    auto* d = new Dispatcher;
    if (app) {
        d->moveToThread(app->thread());
        d->setParent(app);
        r.guiThread = app->thread();
    }
    r.dispatcher = d;
}

}  // namespace

MessageWindow::MessageWindow(Procedure proc) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    ensureDispatcher(r);
    while (r.next == 0 || r.windows.count(r.next)) ++r.next;
    handle_ = r.next++;
    auto entry = std::make_shared<Entry>();
    entry->proc = std::move(proc);
    r.windows.emplace(handle_, std::move(entry));
}

MessageWindow::~MessageWindow() {
    Registry& r = registry();
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard lock(r.mutex);
        auto it = r.windows.find(handle_);
        if (it == r.windows.end()) return;
        entry = std::move(it->second);
        r.windows.erase(it);
        // Waiting senders learn at once that the window is gone.
        for (auto& p : entry->pending)
            if (p->state == PendingSend::Waiting) p->state = PendingSend::Failed;
        entry->pending.clear();
        r.sendDone.notify_all();
    }
    // The procedure (and what it captured) is released outside the lock.
    entry.reset();
}

bool isWindow(WindowHandle wnd) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return wnd != 0 && r.windows.count(wnd) != 0;
}

bool postMessage(WindowHandle wnd, uint32_t msg, WParam w, LParam l) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (wnd == 0 || !r.windows.count(wnd) || !r.dispatcher) return false;
    r.posts.push_back(Message{wnd, msg, w, l, nullptr});
    QCoreApplication::postEvent(r.dispatcher.data(), new QEvent(PostEventType));
    return true;
}

namespace {
// Waits at most timeoutMs (negative: without limit).
bool sendFromWorker(Registry& r, WindowHandle wnd, uint32_t msg, WParam w, LParam l, int timeoutMs,
                    LResult* result) {
    std::unique_lock lock(r.mutex);
    auto it = r.windows.find(wnd);
    if (wnd == 0 || it == r.windows.end() || !r.dispatcher) return false;
    auto pending = std::make_shared<PendingSend>();
    it->second->pending.push_back(pending);
    r.sends.push_back(Message{wnd, msg, w, l, pending});
    // Sent messages go ahead of posted ones, as a window's sent messages do.
    QCoreApplication::postEvent(r.dispatcher.data(), new QEvent(SendEventType), Qt::HighEventPriority);
    auto finished = [&] {
        return pending->state == PendingSend::Done || pending->state == PendingSend::Failed;
    };
    if (timeoutMs < 0) {
        r.sendDone.wait(lock, finished);
    } else if (!r.sendDone.wait_for(lock, std::chrono::milliseconds(timeoutMs), finished)) {
        // Cancelled: a procedure that has not started never starts. One that is already
        // running finishes, but its result is no longer wanted.
        if (pending->state == PendingSend::Waiting) {
            pending->state = PendingSend::Abandoned;
            auto again = r.windows.find(wnd);
            if (again != r.windows.end()) removePending(*again->second, pending);
        }
        return false;
    }
    if (pending->state != PendingSend::Done) return false;
    if (result) *result = pending->result;
    return true;
}

bool sendOnGuiThread(Registry& r, WindowHandle wnd, uint32_t msg, WParam w, LParam l, LResult* result) {
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard lock(r.mutex);
        auto it = r.windows.find(wnd);
        if (wnd == 0 || it == r.windows.end()) return false;
        entry = it->second;
    }
    LResult res = 0;
    runProcedure(entry->proc, msg, w, l, res);
    if (result) *result = res;
    return true;
}
}  // namespace

LResult sendMessage(WindowHandle wnd, uint32_t msg, WParam w, LParam l) {
    Registry& r = registry();
    LResult result = 0;
    bool onGui;
    {
        std::lock_guard lock(r.mutex);
        onGui = onGuiThread(r);
    }
    if (onGui)
        sendOnGuiThread(r, wnd, msg, w, l, &result);
    else
        sendFromWorker(r, wnd, msg, w, l, -1, &result);
    return result;
}

bool sendMessageTimeout(WindowHandle wnd, uint32_t msg, WParam w, LParam l, int timeoutMs, LResult* result) {
    Registry& r = registry();
    bool onGui;
    {
        std::lock_guard lock(r.mutex);
        onGui = onGuiThread(r);
    }
    if (onGui) return sendOnGuiThread(r, wnd, msg, w, l, result);
    return sendFromWorker(r, wnd, msg, w, l, std::max(0, timeoutMs), result);
}

void dispatchQueuedMessages() {
    Registry& r = registry();
    QPointer<Dispatcher> d;
    {
        std::lock_guard lock(r.mutex);
        if (!onGuiThread(r)) return;
        d = r.dispatcher;
    }
    if (d) QCoreApplication::sendPostedEvents(d.data(), 0);
}
