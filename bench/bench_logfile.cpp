// The daily log's cost per line: AddLine of a 60-character line on an open file (target:
// at most 10 microseconds on average), with the system clock.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QTemporaryDir>
#include <string>

#include "bench/qt_bench_main.h"
#include "link/LogFile.h"

static void BM_AddLine(benchmark::State& state) {
    QTemporaryDir dir;
    setenv("APPDATA", dir.path().toUtf8().constData(), 1);
    setenv("ZENTROVA_REGISTRY", (dir.path() + "/registry.db").toUtf8().constData(), 1);
    TLogFile log;
    const std::string line = "#FZentrova: Sent: P1,VOL,12.345,RATE,0.500,STATUS,RUN,CHK,42";
    for (auto _ : state) log.AddLine(line);
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AddLine);

int main(int argc, char** argv) {
    return runQtBenchmarks(argc, argv);
}
