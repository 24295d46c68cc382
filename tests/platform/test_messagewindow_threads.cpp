// Window messages between worker threads and the GUI thread.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/MessageWindow.h"
#include "support/EventWait.h"

namespace {
// A window that records the messages it handles and answers msg * 10 + w.
struct Recorder {
    std::vector<uint32_t> seen;
    std::thread::id ranOn;
    std::unique_ptr<MessageWindow> window =
        std::make_unique<MessageWindow>([this](uint32_t m, WParam w, LParam) {
            seen.push_back(m);
            ranOn = std::this_thread::get_id();
            return LResult(m * 10 + w);
        });
    WindowHandle h = window->handle();
};
}  // namespace

TEST(MessageWindow, SendRunsAtOncePostsLaterAndDeadHandlesAreNeverReused) {
    auto a = std::make_unique<Recorder>();
    EXPECT_EQ(sendMessage(a->h, 7, 2, 0), 72);
    LResult r = 0;
    EXPECT_TRUE(sendMessageTimeout(a->h, 8, 1, 0, 0, &r));
    EXPECT_EQ(r, 81);
    ASSERT_TRUE(postMessage(a->h, 1, 0, 0));
    EXPECT_EQ(a->seen, (std::vector<uint32_t>{7, 8}));
    ASSERT_TRUE(waitFor([&] { return a->seen.size() == 3; }));
    // What is queued for a window that goes is dropped, and never reaches a new one.
    ASSERT_TRUE(postMessage(a->h, 2, 0, 0));
    const WindowHandle dead = a->h;
    a.reset();
    EXPECT_FALSE(isWindow(dead));
    Recorder b;
    EXPECT_NE(b.h, dead);
    spin(50);
    EXPECT_TRUE(b.seen.empty());
    EXPECT_FALSE(postMessage(dead, 1, 0, 0));
    EXPECT_FALSE(sendMessageTimeout(dead, 1, 0, 0, 100, &r));
    EXPECT_EQ(sendMessage(dead, 1, 0, 0), 0);
    EXPECT_FALSE(postMessage(0, 1, 0, 0));
}

TEST(MessageWindow, PostsFromSeveralThreadsArriveInOrderPerSender) {
    constexpr int kThreads = 4, kEach = 400;
    std::map<uint32_t, std::vector<WParam>> got;
    int total = 0;
    MessageWindow w([&](uint32_t msg, WParam wp, LParam) {
        got[msg].push_back(wp);
        return LResult(++total);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([h = w.handle(), t] {
            for (int i = 0; i < kEach; ++i) postMessage(h, 100 + t, WParam(i), 0);
        });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(waitFor([&] { return total == kThreads * kEach; }));
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(got[100 + t].size(), size_t(kEach));
        for (int i = 0; i < kEach; ++i) ASSERT_EQ(got[100 + t][i], WParam(i)) << "sender " << t;
    }
}

TEST(MessageWindow, SendsFromAWorkerRunOnTheGuiThreadOrTimeOutAndNeverRunLate) {
    Recorder w;
    std::atomic<int> phase{0};
    bool late = true, ok = false;
    LResult unchanged = 77, timed = 0, plain = 0;
    std::thread worker([&] {
        late = sendMessageTimeout(w.h, 9, 0, 0, 30, &unchanged);  // the GUI thread does not pump yet
        phase = 1;
        ok = sendMessageTimeout(w.h, 4, 2, 0, 5000, &timed);
        plain = sendMessage(w.h, 5, 3, 0);
        phase = 2;
    });
    while (phase == 0) std::this_thread::yield();
    ASSERT_TRUE(waitFor([&] { return phase == 2; }));
    worker.join();
    spin(50);
    EXPECT_FALSE(late);
    EXPECT_EQ(unchanged, 77);
    EXPECT_TRUE(ok);
    EXPECT_EQ(timed, 42);
    EXPECT_EQ(plain, 53);
    EXPECT_EQ(w.seen, (std::vector<uint32_t>{4, 5})) << "the timed-out send is cancelled";
    EXPECT_EQ(w.ranOn, std::this_thread::get_id());
}

TEST(MessageWindow, SendToAWindowBeingDestroyedFailsWithoutHanging) {
    for (int round = 0; round < 20; ++round) {
        auto w = std::make_unique<Recorder>();
        std::atomic<bool> started{false};
        bool timedOk = true;
        LResult plain = -1;
        std::thread worker([&, h = w->h] {
            started = true;
            timedOk = sendMessageTimeout(h, 1, 0, 0, 10000, nullptr);
            plain = sendMessage(h, 2, 0, 0);  // no time limit: must still come back
        });
        while (!started) std::this_thread::yield();
        if (round % 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        w.reset();
        // Joining without running the event loop would deadlock if a waiting send were
        // not released by the window's destruction.
        worker.join();
        EXPECT_FALSE(timedOk);
        EXPECT_EQ(plain, 0);
    }
}

TEST(MessageWindow, ProcedureExceptionsAreShownAndDoNotStopDelivery) {
    DialogScript script;
    int calls = 0;
    MessageWindow w([&](uint32_t msg, WParam, LParam) -> LResult {
        ++calls;
        if (msg == 1) throw std::runtime_error("procedure failed");
        return 5;
    });
    ASSERT_TRUE(postMessage(w.handle(), 1, 0, 0));
    ASSERT_TRUE(postMessage(w.handle(), 2, 0, 0));
    ASSERT_TRUE(waitFor([&] { return calls == 2; }));
    EXPECT_EQ(sendMessage(w.handle(), 1, 0, 0), 0);
    ASSERT_EQ(script.shown.size(), 2u);
    EXPECT_EQ(script.shown[1].text, "procedure failed");
}

TEST(MessageWindow, MessagesAreHandledInsideANestedEventLoop) {
    std::vector<uint32_t> order;
    WindowHandle self = 0;
    MessageWindow w([&](uint32_t msg, WParam, LParam) {
        order.push_back(msg);
        if (msg == 1) {
            // As a modal box does: a nested loop while the first message is handled.
            std::thread worker([h = self] { sendMessage(h, 3, 0, 0); });
            waitFor([&] { return order.size() >= 3; });
            worker.join();
            order.push_back(99);
        }
        return LResult(0);
    });
    self = w.handle();
    ASSERT_TRUE(postMessage(self, 1, 0, 0));
    ASSERT_TRUE(postMessage(self, 2, 0, 0));
    ASSERT_TRUE(waitFor([&] { return order.size() == 4; }));
    // The worker's send and the second post both ran inside the first handler.
    EXPECT_EQ(order.front(), 1u);
    EXPECT_EQ(order.back(), 99u);
}

// On the way out without an event loop: the windows' queued messages run, a worker's send
// among them, while other events of the application stay queued.
TEST(MessageWindow, QueuedMessagesRunWithoutAnEventLoopAndNothingElse) {
    Recorder a;
    bool other = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { other = true; }, Qt::QueuedConnection);
    ASSERT_TRUE(postMessage(a.h, 1, 0, 0));
    std::atomic<bool> sent{false};
    std::thread worker([&] { sent = sendMessageTimeout(a.h, 2, 0, 0, 5000, nullptr); });
    for (int i = 0; i < 500 && a.seen.size() < 2; ++i) {
        dispatchQueuedMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    worker.join();
    EXPECT_TRUE(sent);
    // The worker's send may overtake the post: both ran, in either order.
    std::sort(a.seen.begin(), a.seen.end());
    EXPECT_EQ(a.seen, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(a.ranOn, std::this_thread::get_id());
    EXPECT_FALSE(other);
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(other);
}
