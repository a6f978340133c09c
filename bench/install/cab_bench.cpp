// Extracting one file out of a 50 MB MSZIP cabinet: CabSourceImpl against cabextract doing
// the same in the same run. The file asked for is the last one of the cabinet's single
// folder, so both must decompress the whole stream before it.
//
// The cabinet is built by gcab at start-up. At the end the program prints the ratio of the
// two real times (the goal is at most 1.2x).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "install/cab_source.h"
#include "support/local_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 6;
constexpr size_t kFileBytes = size_t{10} << 20;

// Driver-like content: mostly incompressible code with runs of text and zeros, so that the
// compressed cabinet comes to about 50 MB.
std::string Content(uint32_t seed)
{
    std::mt19937 random(seed);
    std::string bytes(kFileBytes, '\0');
    for (size_t block = 0; block < kFileBytes; block += 4096) {
        const uint32_t kind = random() % 8;
        for (size_t i = block; i < block + 4096 && i < kFileBytes; ++i)
            bytes[i] = kind < 7 ? static_cast<char>(random()) : "DriverVer=06/21/2006,10.0.19041.1 "[i % 34];
    }
    return bytes;
}

struct Cabinet {
    fs::path folder;
    std::string cab;
    std::string last;
    std::shared_ptr<Common::rio_dir> cabinets, out;

    Cabinet()
    {
        char path[] = "/tmp/cab-bench-XXXXXX";
        if (::mkdtemp(path) == nullptr) std::abort();
        folder = path;
        fs::create_directories(folder / "src");
        fs::create_directories(folder / "cache");
        fs::create_directories(folder / "out");
        std::string names;
        for (int i = 1; i <= kFiles; ++i) {
            const std::string name = "file" + std::to_string(i) + ".sys";
            std::ofstream(folder / "src" / name, std::ios::binary) << Content(static_cast<uint32_t>(i));
            names += " " + name;
            last = name;
        }
        cab = (folder / "cache" / "driver.cab").string();
        const std::string command = "cd '" + (folder / "src").string() + "' && gcab -c -n -z '" + cab + "'" + names;
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "gcab failed: %s\n", command.c_str());
            std::exit(1);
        }
        std::printf("cabinet: %.1f MB MSZIP, %d files of %zu MB; extracting %s\n",
                    static_cast<double>(fs::file_size(cab)) / (1 << 20), kFiles, kFileBytes >> 20, last.c_str());
        Common::Error error;
        cabinets = Common::OpenLocalDir((folder / "cache").string(), error);
        out = Common::OpenLocalDir((folder / "out").string(), error);
        if (!cabinets || !out) std::abort();
    }
    ~Cabinet() { fs::remove_all(folder); }
};

Cabinet& TheCabinet()
{
    static Cabinet cabinet;
    return cabinet;
}

void CabSource(benchmark::State& state)
{
    Cabinet& cabinet = TheCabinet();
    Transvia::CabSourceImpl source;
    const Processor::String name = Processor::String::fromUTF8(cabinet.last);
    for (auto _ : state) {
        if (!source.Extract(name, *cabinet.out, u"ours.sys", *cabinet.cabinets)) {
            state.SkipWithError("extraction failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

void Cabextract(benchmark::State& state)
{
    Cabinet& cabinet = TheCabinet();
    const std::string command = "cabextract -q -d '" + (cabinet.folder / "out").string() + "' -F '" + cabinet.last +
                                "' '" + cabinet.cab + "'";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("cabextract failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

// A driver cache's shape: one cabinet of many small files, from which an install takes
// one file after another (every tenth, in cabinet order). Measures what reading the
// cabinet's headers again for each file would cost.
struct ManyFiles {
    static constexpr int kCount = 2000;
    fs::path folder;
    std::shared_ptr<Common::rio_dir> cabinets, out;

    ManyFiles()
    {
        char path[] = "/tmp/cab-bench-many-XXXXXX";
        if (::mkdtemp(path) == nullptr) std::abort();
        folder = path;
        fs::create_directories(folder / "src");
        fs::create_directories(folder / "cache");
        fs::create_directories(folder / "out");
        std::ofstream list(folder / "list");
        for (int i = 0; i < kCount; ++i) {
            const std::string name = "drv" + std::to_string(i) + ".sys";
            std::mt19937 random(static_cast<uint32_t>(i));
            std::string bytes(2048, '\0');
            for (size_t b = 0; b < bytes.size(); ++b) bytes[b] = b % 512 < 384 ? static_cast<char>(random()) : 'x';
            std::ofstream(folder / "src" / name, std::ios::binary) << bytes;
            list << name << "\n";
        }
        list.close();
        const std::string command = "cd '" + (folder / "src").string() + "' && xargs gcab -c -n -z '" +
                                    (folder / "cache" / "many.cab").string() + "' < '" + (folder / "list").string() + "'";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "gcab failed: %s\n", command.c_str());
            std::exit(1);
        }
        Common::Error error;
        cabinets = Common::OpenLocalDir((folder / "cache").string(), error);
        out = Common::OpenLocalDir((folder / "out").string(), error);
        if (!cabinets || !out) std::abort();
    }
    ~ManyFiles() { fs::remove_all(folder); }
};

void CabSourceManyFiles(benchmark::State& state)
{
    static ManyFiles cabinet;
    for (auto _ : state) {
        Transvia::CabSourceImpl source;  // one install's worth of files
        for (int i = 0; i < ManyFiles::kCount; i += 10) {
            const std::string name = "drv" + std::to_string(i) + ".sys";
            if (!source.Extract(Processor::String::fromUTF8(name), *cabinet.out, u"out.sys", *cabinet.cabinets)) {
                state.SkipWithError("extraction failed");
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * (ManyFiles::kCount / 10));
}

BENCHMARK(CabSource)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CabSourceManyFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Cabextract)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console output, then CabSource / Cabextract in real time (cabextract's work happens
// in a child process, so CPU time of this process says nothing about it).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            auto& [real, fromMedian] = times_[run.run_name.function_name];
            if (median || (run.run_type == Run::RT_Iteration && !fromMedian)) {
                real = run.GetAdjustedRealTime();
                fromMedian = median;
            }
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const auto ours = times_.find("CabSource");
        const auto theirs = times_.find("Cabextract");
        if (ours == times_.end() || theirs == times_.end() || theirs->second.first <= 0) return;
        std::printf("CabSource / cabextract: %.2fx real (%s; goal 1.2x)\n", ours->second.first / theirs->second.first,
                    ours->second.second && theirs->second.second ? "medians" : "single runs");
    }

private:
    std::map<std::string, std::pair<double, bool>> times_;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TheCabinet();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
