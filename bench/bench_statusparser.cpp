// Status-line parser throughput: a typical "? 123" reply (pump 1, pump 2, heaters) parsed over
// and over. Target: at least one million lines per second on one core.
#include <benchmark/benchmark.h>

#include <string>

#include "link/FZentrova.h"
#include "link/ZentrovaAPI.h"

namespace {

const std::string Lines[] = {
    ">?1,4512345,1,0,152300,0,0,4,0,1,0,0,0",
    "?2,8200000,0,3,1200,0,0,2,0,1,0,0,0",
    "?3,250,612,300,845,3,10,0",
};

void BM_StatusLines(benchmark::State& state) {
    TZentrovaAPI api;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(api.ParseLine(Lines[i]));
        i = (i + 1) % 3;
    }
    benchmark::DoNotOptimize(api.Pump1.Volume);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatusLines);

// As the link takes a line: the comma check, then the parser.
void BM_CheckedStatusLines(benchmark::State& state) {
    TZentrovaAPI api;
    size_t i = 0;
    for (auto _ : state) {
        const std::string& line = Lines[i];
        if (TFZentrova::IsValidStatusLine(line)) benchmark::DoNotOptimize(api.ParseLine(line));
        i = (i + 1) % 3;
    }
    benchmark::DoNotOptimize(api.Pump1.Volume);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CheckedStatusLines);

void BM_IdentityLine(benchmark::State& state) {
    TZentrovaAPI api;
    const std::string line = "?0,2.14.3,1.07,a,b,c,104233,0,x,y,z";
    for (auto _ : state) benchmark::DoNotOptimize(api.ParseLine(line));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IdentityLine);

}  // namespace

BENCHMARK_MAIN();
