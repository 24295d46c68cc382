// Window messages between worker threads and the GUI thread.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/MessageWindow.h"

namespace {
using namespace std::chrono_literals;

// Runs the GUI thread's event loop until pred holds or the real-time limit passes.
template <typename Pred>
bool pumpUntil(Pred pred, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

void pumpFor(std::chrono::milliseconds d) {
    const auto end = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < end) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}
}  // namespace

TEST(MessageWindow, HandlesAreNeverReusedAndDeadWindowsRefuseMessages) {
    WindowHandle first;
    {
        MessageWindow w([](uint32_t, WParam, LParam) { return LResult(0); });
        first = w.handle();
        EXPECT_NE(first, 0u);
        EXPECT_TRUE(isWindow(first));
    }
    EXPECT_FALSE(isWindow(first));
    MessageWindow second([](uint32_t, WParam, LParam) { return LResult(0); });
    EXPECT_NE(second.handle(), first);
    EXPECT_FALSE(postMessage(first, 1, 0, 0));
    LResult r = 99;
    EXPECT_FALSE(sendMessageTimeout(first, 1, 0, 0, 100, &r));
    EXPECT_EQ(sendMessage(first, 1, 0, 0), 0);
    EXPECT_FALSE(isWindow(0));
    EXPECT_FALSE(postMessage(0, 1, 0, 0));
}

TEST(MessageWindow, SendOnTheGuiThreadCallsTheProcedureAtOnce) {
    std::vector<uint32_t> seen;
    MessageWindow w([&](uint32_t msg, WParam wp, LParam lp) {
        seen.push_back(msg);
        return LResult(wp + lp);
    });
    EXPECT_EQ(sendMessage(w.handle(), 7, 40, 2), 42);
    LResult r = 0;
    EXPECT_TRUE(sendMessageTimeout(w.handle(), 8, 1, 1, 0, &r));
    EXPECT_EQ(r, 2);
    EXPECT_EQ(seen, (std::vector<uint32_t>{7, 8}));
}

TEST(MessageWindow, PostsRunLaterAndAreDroppedWhenTheWindowGoes) {
    int calls = 0;
    auto w = std::make_unique<MessageWindow>([&](uint32_t, WParam, LParam) {
        ++calls;
        return LResult(0);
    });
    ASSERT_TRUE(postMessage(w->handle(), 1, 0, 0));
    EXPECT_EQ(calls, 0);
    ASSERT_TRUE(pumpUntil([&] { return calls == 1; }));

    ASSERT_TRUE(postMessage(w->handle(), 2, 0, 0));
    ASSERT_TRUE(postMessage(w->handle(), 3, 0, 0));
    w.reset();
    // A new window must not receive what was queued for the old one.
    int newCalls = 0;
    MessageWindow other([&](uint32_t, WParam, LParam) {
        ++newCalls;
        return LResult(0);
    });
    pumpFor(50ms);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(newCalls, 0);
}

TEST(MessageWindow, PostsFromSeveralThreadsArriveInOrderPerSender) {
    constexpr int kThreads = 4, kEach = 400;
    std::map<uint32_t, std::vector<WParam>> got;
    int total = 0;
    MessageWindow w([&](uint32_t msg, WParam wp, LParam) {
        got[msg].push_back(wp);
        ++total;
        return LResult(0);
    });
    const WindowHandle h = w.handle();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([h, t] {
            for (int i = 0; i < kEach; ++i) postMessage(h, 100 + t, static_cast<WParam>(i), 0);
        });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(pumpUntil([&] { return total == kThreads * kEach; }));
    for (int t = 0; t < kThreads; ++t) {
        const auto& v = got[100 + t];
        ASSERT_EQ(v.size(), static_cast<size_t>(kEach));
        for (int i = 0; i < kEach; ++i) ASSERT_EQ(v[i], static_cast<WParam>(i)) << "sender " << t;
    }
}

TEST(MessageWindow, SendFromAWorkerRunsOnTheGuiThreadAndReturnsTheResult) {
    const std::thread::id gui = std::this_thread::get_id();
    std::thread::id ranOn;
    MessageWindow w([&](uint32_t msg, WParam wp, LParam) {
        ranOn = std::this_thread::get_id();
        return LResult(msg * 10 + wp);
    });
    const WindowHandle h = w.handle();
    std::atomic<bool> done{false};
    LResult timed = 0, plain = 0;
    bool ok = false;
    std::thread worker([&] {
        ok = sendMessageTimeout(h, 4, 2, 0, 5000, &timed);
        plain = sendMessage(h, 5, 3, 0);
        done = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(timed, 42);
    EXPECT_EQ(plain, 53);
    EXPECT_EQ(ranOn, gui);
}

TEST(MessageWindow, TimedOutSendIsCancelledAndNeverRunsLate) {
    int calls = 0;
    MessageWindow w([&](uint32_t, WParam, LParam) {
        ++calls;
        return LResult(1);
    });
    const WindowHandle h = w.handle();
    bool ok = true;
    LResult r = 77;
    // The GUI thread is busy (joining) while the worker waits.
    std::thread worker([&] { ok = sendMessageTimeout(h, 9, 0, 0, 30, &r); });
    worker.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(r, 77);
    pumpFor(50ms);
    EXPECT_EQ(calls, 0);
    // The window still works afterwards.
    EXPECT_TRUE(postMessage(h, 1, 0, 0));
    ASSERT_TRUE(pumpUntil([&] { return calls == 1; }));
}

TEST(MessageWindow, SendToAWindowBeingDestroyedFailsWithoutHanging) {
    for (int round = 0; round < 20; ++round) {
        int calls = 0;
        auto w = std::make_unique<MessageWindow>([&](uint32_t, WParam, LParam) {
            ++calls;
            return LResult(1);
        });
        const WindowHandle h = w->handle();
        std::atomic<bool> started{false};
        bool timedOk = true;
        LResult plain = -1;
        std::thread worker([&] {
            started = true;
            timedOk = sendMessageTimeout(h, 1, 0, 0, 10000, nullptr);
            plain = sendMessage(h, 2, 0, 0);  // no time limit: must still come back
        });
        while (!started) std::this_thread::yield();
        if (round % 2) std::this_thread::sleep_for(1ms);
        w.reset();
        // Joining without running the event loop would deadlock if a waiting send were
        // not released by the window's destruction.
        worker.join();
        EXPECT_FALSE(timedOk);
        EXPECT_EQ(plain, 0);
        pumpFor(5ms);
        EXPECT_EQ(calls, 0);
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
    ASSERT_TRUE(pumpUntil([&] { return calls == 2; }));
    ASSERT_EQ(script.shown.size(), 1u);
    EXPECT_EQ(script.shown[0].text, "procedure failed");
    EXPECT_EQ(script.shown[0].icon, MsgIcon::Error);
    EXPECT_EQ(sendMessage(w.handle(), 1, 0, 0), 0);
    EXPECT_EQ(script.shown.size(), 2u);
}

TEST(MessageWindow, MessagesAreHandledInsideANestedEventLoop) {
    std::vector<uint32_t> order;
    WindowHandle self = 0;
    MessageWindow w([&](uint32_t msg, WParam, LParam) {
        order.push_back(msg);
        if (msg == 1) {
            // As a modal box does: a nested loop while the first message is handled.
            QEventLoop nested;
            std::thread worker([h = self] { sendMessage(h, 3, 0, 0); });
            QTimer::singleShot(0, &nested, [] {});
            pumpUntil([&] { return order.size() >= 3; });
            worker.join();
            order.push_back(99);
        }
        return LResult(0);
    });
    self = w.handle();
    ASSERT_TRUE(postMessage(w.handle(), 1, 0, 0));
    ASSERT_TRUE(postMessage(w.handle(), 2, 0, 0));
    ASSERT_TRUE(pumpUntil([&] { return order.size() == 4; }));
    // The worker's send and the second post both ran inside the first handler.
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order.front(), 1u);
    EXPECT_EQ(order.back(), 99u);
}
