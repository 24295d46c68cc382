// The LCD panel's cost per main-loop tick (Redraw and the paint it causes), idle and with
// both pumps running. The main loop ticks once a second, so the time per tick in
// seconds times 100 is the share of a core in percent (counter core%); the idle program must
// stay under 1%.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include "bench/qt_bench_main.h"
#include "ui/LCDFrame.h"

namespace {

void feed(TLCDScreen& s, double rate) {
    s.SetReactorTemperature(74.8);
    s.SetReactorSetPoint(75);
    s.SetColumnTemperature(41.2);
    s.SetColumnSetPoint(57);
    s.SetPump1Pressure(250);
    s.SetPump2Pressure(120);
    s.SetPump1Rate(rate);
    s.SetPump2Rate(rate);
    s.SetPump1Volume(40);
    s.SetPump2Volume(63);
}

void tick(benchmark::State& state, double rate) {
    TLCDScreen s;
    s.show();
    feed(s, rate);
    s.Redraw();
    QCoreApplication::processEvents();
    for (auto _ : state) {
        feed(s, rate);
        s.Redraw();
        QCoreApplication::processEvents();
    }
    // Percent of a core at one tick per second: 100 x seconds per tick.
    state.counters["core%"] = benchmark::Counter(static_cast<double>(state.iterations()) / 100.0,
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_TickIdle(benchmark::State& state) {
    tick(state, 0);
}
void BM_TickPumpsRunning(benchmark::State& state) {
    tick(state, 0.5);
}
BENCHMARK(BM_TickIdle);
BENCHMARK(BM_TickPumpsRunning);

}  // namespace

int main(int argc, char** argv) {
    return runQtBenchmarks(argc, argv);
}
