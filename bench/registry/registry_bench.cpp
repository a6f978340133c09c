// The hive engine against hivex, each as a program run on the same files:
//   export: `transvia reg export SYSTEM` against `hivexml SYSTEM` (the real 11 MB
//           Windows 10 SYSTEM hive of the shared test data);
//   import: 10,000 keys with 3 values each into an empty hive, our engine against a
//           small libhivex program doing the same.
// Run: bench/registry_bench --benchmark_counters_tabular=true; compare the pairs' times.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const fs::path kSystem = fs::path(TRANSVIA_SHARED_TESTDATA) / "hives/dissect.regf/SYSTEM";
const fs::path kTransvia = fs::path(TRANSVIA_OUTPUT_DIR) / "transvia";
const fs::path kBenchDir = fs::path(TRANSVIA_OUTPUT_DIR) / "../bench";

void Run(benchmark::State& state, const std::string& command)
{
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError(("failed: " + command).c_str());
            return;
        }
    }
}

void ExportOurs(benchmark::State& state)
{
    if (!fs::exists(kSystem))
        return state.SkipWithError("shared test data absent");
    Run(state, "'" + kTransvia.string() + "' reg export '" + kSystem.string() + "' > /dev/null");
}

void ExportHivexml(benchmark::State& state)
{
    if (!fs::exists(kSystem))
        return state.SkipWithError("shared test data absent");
    Run(state, "hivexml '" + kSystem.string() + "' > /dev/null");
}

// A fresh empty hive for every run, made outside the timing.
void Import(benchmark::State& state, const std::string& program)
{
    const fs::path folder = fs::temp_directory_path() / ("hive-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const fs::path hive = folder / "hive";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(hive);
        const std::string make = "'" + kTransvia.string() + "' reg new '" + hive.string() + "'";
        if (std::system(make.c_str()) != 0) {
            state.SkipWithError("transvia reg new failed");
            break;
        }
        state.ResumeTiming();
        const std::string command = "'" + (kBenchDir / program).string() + "' '" + hive.string() + "' 10000";
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError(("failed: " + command).c_str());
            break;
        }
    }
    fs::remove_all(folder);
}

void ImportOurs(benchmark::State& state) { Import(state, "hive_import_ours"); }
void ImportHivex(benchmark::State& state) { Import(state, "hive_import_hivex"); }

}  // namespace

BENCHMARK(ExportOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(ExportHivexml)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(ImportOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(ImportHivex)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

BENCHMARK_MAIN();
