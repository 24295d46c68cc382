// Cost of settings reads and writes: a string read must stay well under 50 microseconds, since
// the program reads its settings on the GUI thread; a write checks the whole store first.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Registry.h"

namespace {
const char* const kKey = "\\Software\\TressivanLabs\\Zentrova\\Instrument";

void seed() {
    Registry reg;
    reg.openKey(kKey, true);
    reg.beginTransaction();
    for (int i = 0; i < 50; ++i)
        reg.writeString("Value" + std::to_string(i), "text of value " + std::to_string(i));
    reg.writeString("COM", "COM1");
    reg.writeInteger("ConnectMethod", 2);
    reg.commit();
    // A full store: a hundred methods of 30 values each.
    reg.beginTransaction();
    for (int m = 0; m < 100; ++m) {
        reg.openKey(std::string(kKey) + "\\Methods\\Method" + std::to_string(m), true);
        for (int v = 0; v < 30; ++v) reg.writeString("Value" + std::to_string(v), "0.30;0.30;1.00;40");
    }
    reg.commit();
}

// A key kept open, as a store reading many values does.
void ReadStringOpenKey(benchmark::State& state) {
    Registry reg;
    reg.openKey(kKey, false);
    for (auto _ : state) benchmark::DoNotOptimize(reg.readString("COM"));
}
BENCHMARK(ReadStringOpenKey);

// Open, read, close: what each settings function does for one value.
void ReadStringFreshRegistry(benchmark::State& state) {
    for (auto _ : state) {
        Registry reg;
        if (reg.openKey(kKey, false)) benchmark::DoNotOptimize(reg.readString("COM"));
    }
}
BENCHMARK(ReadStringFreshRegistry);

void ReadInteger(benchmark::State& state) {
    Registry reg;
    reg.openKey(kKey, false);
    for (auto _ : state) benchmark::DoNotOptimize(reg.readInteger("ConnectMethod"));
}
BENCHMARK(ReadInteger);

void ListMethodNames(benchmark::State& state) {
    Registry reg;
    reg.openKey(std::string(kKey) + "\\Methods", false);
    for (auto _ : state) benchmark::DoNotOptimize(reg.getKeyNames());
}
BENCHMARK(ListMethodNames);

void WriteString(benchmark::State& state) {
    Registry reg;
    reg.openKey(kKey, true);
    int i = 0;
    for (auto _ : state) reg.writeString("COM", (++i & 1) ? "COM1" : "COM2");
}
BENCHMARK(WriteString);

// A method saved whole in one transaction.
void SaveMethod(benchmark::State& state) {
    Registry reg;
    const std::string key = std::string(kKey) + "\\Methods\\Method50";
    for (auto _ : state) {
        reg.beginTransaction();
        reg.deleteKey(key);
        reg.openKey(key, true);
        for (int v = 0; v < 30; ++v) reg.writeString("Value" + std::to_string(v), "0.30;0.30;1.00;40");
        reg.commit();
    }
}
BENCHMARK(SaveMethod);
}  // namespace

int main(int argc, char** argv) {
    std::string dir = (std::filesystem::temp_directory_path() / "bench-registry-XXXXXX").string();
    if (!mkdtemp(dir.data())) return 1;
    setenv("ZENTROVA_REGISTRY", (dir + "/registry.db").c_str(), 1);
    int rc = 0;
    try {
        seed();
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv))
            rc = 1;
        else
            benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    } catch (const ERegistryException& e) {
        std::fprintf(stderr, "%s\n", e.what());
        rc = 1;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc;
}
