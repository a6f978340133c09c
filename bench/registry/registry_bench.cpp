// The hive engine against hivex, each as a program run on the same files:
//   export: `transvia reg export SYSTEM` against `hivexml SYSTEM` (the real 11 MB
//           Windows 10 SYSTEM hive of the shared test data);
//   import: 10,000, 40,000 and 160,000 keys with 3 values each under one parent in an
//           empty hive, and below ControlSet001\Services and DriverDatabase\DeviceIds
//           of a copy of that SYSTEM hive, our engine against a small libhivex program
//           doing the same for 10,000; and the small keys: every service looked up by
//           name and given a subkey with a value.
// Run: bench/registry_bench --benchmark_counters_tabular=true; the ratios come last.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <sys/resource.h>
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

// Work of a child program, timed by the CPU time it used (user and system) so that a
// busy machine changes the figures less than wall-clock time would.
bool TimeChild(benchmark::State& state, const std::string& command)
{
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
        state.SkipWithError(("failed: " + command).c_str());
        return false;
    }
    const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    getrusage(RUSAGE_CHILDREN, &after);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    const double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_stime);
    state.SetIterationTime(cpu);
    state.counters["real_s"] += real;
    return true;
}

// Imports state.range(0) keys with three values each through `program`, into a fresh
// empty hive or into a copy of the real SYSTEM hive (below two of its large keys),
// made outside the timing for every run. 0 keys: the small-keys run over the services.
void Import(benchmark::State& state, const std::string& program, bool realTree)
{
    if (realTree && !fs::exists(kSystem))
        return state.SkipWithError("shared test data absent (../shared/testdata/hives/dissect.regf/SYSTEM)");
    const fs::path folder = fs::temp_directory_path() / ("hive-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const fs::path hive = folder / "hive";
    const std::string parents = !realTree            ? ""
                                : state.range(0) == 0 ? " 'ControlSet001\\Services'"
                                                      : " 'ControlSet001\\Services' 'DriverDatabase\\DeviceIds'";
    for (auto _ : state) {
        fs::remove(hive);
        if (realTree) {
            fs::copy_file(kSystem, hive);
        } else if (std::system(("'" + kTransvia.string() + "' reg new '" + hive.string() + "'").c_str()) != 0) {
            state.SkipWithError("transvia reg new failed");
            break;
        }
        const std::string command = "'" + (kBenchDir / program).string() + "' '" + hive.string() + "' " +
                                    std::to_string(state.range(0)) + parents;
        if (!TimeChild(state, command))
            break;
    }
    state.counters["real_s"] /= std::max<double>(1, double(state.iterations()));
    fs::remove_all(folder);
}

void ImportOurs(benchmark::State& state) { Import(state, "hive_import_ours", false); }
void ImportHivex(benchmark::State& state) { Import(state, "hive_import_hivex", false); }
void RealTreeOurs(benchmark::State& state) { Import(state, "hive_import_ours", true); }
void RealTreeHivex(benchmark::State& state) { Import(state, "hive_import_hivex", true); }

// The console output, then the ratios the goals are about.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Iteration)
                times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        Ratio("ImportOurs/10000", "ImportHivex/10000", "goal at most 0.05");
        Ratio("ImportOurs/160000", "ImportOurs/10000", "goal at most 20");
        Ratio("RealTreeOurs/10000", "RealTreeHivex/10000", "");
        Ratio("RealTreeOurs/160000", "RealTreeOurs/10000", "");
        Ratio("RealTreeOurs/0", "RealTreeHivex/0", "the small keys of the services");
    }

private:
    void Ratio(const std::string& a, const std::string& b, const char* goal)
    {
        const auto x = Find(a), y = Find(b);
        if (x > 0 && y > 0)
            std::printf("%s / %s: %.4fx CPU%s%s\n", a.c_str(), b.c_str(), x / y, *goal ? "; " : "", goal);
    }
    double Find(const std::string& prefix) const
    {
        for (const auto& [name, time] : times_)
            if (name.rfind(prefix, 0) == 0)
                return time;
        return 0;
    }
    std::map<std::string, double> times_;
};

}  // namespace

BENCHMARK(ExportOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(ExportHivexml)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
// Times are the children's CPU seconds; real_s is their wall-clock time.
BENCHMARK(ImportOurs)->Arg(10000)->Arg(40000)->Arg(160000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(ImportHivex)->Arg(10000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(RealTreeOurs)->Arg(0)->Arg(10000)->Arg(40000)->Arg(160000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(RealTreeHivex)->Arg(0)->Arg(10000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
