// The main() of a benchmark that needs a Qt application (offscreen, so it runs headless).
#pragma once

#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdlib>

inline int runQtBenchmarks(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
