// Receive latency of a port: each iteration sends one byte from the far side and waits, in the
// program's own event loop, until the port's receive handler has counted it. The median must stay
// within 2 ms (counters median_us, p99_us, within_2ms).
#pragma once

#include <benchmark/benchmark.h>

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

#include "ports/ZpComPort.h"

// Counts the bytes the port receives and wakes the event loop for each batch.
inline void countReceivedBytes(TZpCustomComPort& port, QEventLoop& loop, int& received) {
    port.SetOnTriggerAvail([&loop, &received](TZpCustomComPort* cp, uint16_t count) {
        for (uint16_t i = 0; i < count; ++i) cp->GetChar();
        received += count;
        loop.quit();
    });
}

// Times each iteration from send() until arrived() holds, running loop meanwhile; guard is a
// single-shot timer that quits loop and bounds each wait to one second. Sets median_us and p99_us
// and returns the median.
inline double measureLatency(benchmark::State& state, QEventLoop& loop, QTimer& guard,
                             const std::function<void()>& send, const std::function<bool()>& arrived) {
    std::vector<double> us;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        send();
        guard.start(1000);
        while (!arrived() && guard.isActive()) loop.exec();
        guard.stop();
        const double d =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
        us.push_back(d);
        state.SetIterationTime(d / 1e6);
    }
    if (us.empty()) return 0;
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    return us[us.size() / 2];
}

inline void measureReceiveLatency(benchmark::State& state, QEventLoop& loop, QTimer& guard,
                                  const int& received, const std::function<void()>& sendByte) {
    int before = 0;
    const double median = measureLatency(
        state, loop, guard,
        [&] {
            before = received;
            sendByte();
        },
        [&] { return received != before; });
    state.counters["within_2ms"] = median <= 2000.0 ? 1 : 0;
}

// A single-shot timer that ends the wait of loop when it fires.
inline void makeGuard(QTimer& guard, QEventLoop& loop) {
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
}
