// Replaying a real Windows 10 SYSTEM hive's logs (24 entries, 33,123 -> 35,595 keys),
// against the baselines of merely reading the same files and of opening the primary alone.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>

#include "registry/file_reg.h"
#include "registry/hive_recovery.h"
#include "registry/log_replay.h"
#include "support/local_dir.h"

namespace {

const std::filesystem::path kFolder = std::filesystem::path(TRANSVIA_SHARED_TESTDATA) / "hives" / "regipy";
const char* const kFiles[] = {"SYSTEM_B", "SYSTEM_B.LOG1", "SYSTEM_B.LOG2"};

std::vector<uint8_t> Read(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes(std::filesystem::file_size(path));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

bool HaveData(benchmark::State& state)
{
    if (std::filesystem::exists(kFolder / kFiles[0]))
        return true;
    state.SkipWithError("../shared/testdata is not beside this clone");
    return false;
}

void ReadFiles(benchmark::State& state)
{
    if (!HaveData(state))
        return;
    for (auto _ : state)
        for (const char* name : kFiles)
            benchmark::DoNotOptimize(Read(kFolder / name));
}

void ReplayInMemory(benchmark::State& state)
{
    if (!HaveData(state))
        return;
    const auto primary = Read(kFolder / kFiles[0]), log1 = Read(kFolder / kFiles[1]), log2 = Read(kFolder / kFiles[2]);
    for (auto _ : state) {
        auto result = Common::Hive::ReplayHiveLogs(primary, {{"LOG1", log1}, {"LOG2", log2}}, {});
        if (result.status != Common::Hive::ReplayStatus::replayed)
            state.SkipWithError("replay failed");
        benchmark::DoNotOptimize(result.image.data());
    }
}

void Open(benchmark::State& state, bool use_logs)
{
    if (!HaveData(state))
        return;
    Common::Error error;
    auto folder = Common::OpenLocalDir(kFolder.string(), error);
    Common::HiveLogPolicy policy;
    policy.use_logs = use_logs;
    for (auto _ : state) {
        auto root = Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(folder), u"SYSTEM_B", error, policy);
        if (root.empty())
            state.SkipWithError("open failed");
        benchmark::DoNotOptimize(root);
    }
}

void OpenPrimaryOnly(benchmark::State& state) { Open(state, false); }
void OpenWithLogs(benchmark::State& state) { Open(state, true); }

}  // namespace

BENCHMARK(ReadFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(ReplayInMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(OpenPrimaryOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(OpenWithLogs)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

BENCHMARK_MAIN();
