// INF parse throughput against merely reading the same bytes, over the shared corpus of
// real INF files replicated to at least 100 MB. Both sides go through the same file
// objects, so the ratio shows what parsing adds on top of I/O.
//
// At the end it prints the ratio of ParseFiles to ReadFiles (the goal is at most 1.5x),
// from the medians when repetitions are asked for. On a shared machine compare CPU time:
//
//   bench/inf_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "inf/inf.h"
#include "inf/memory_file.h"
#include "support/text.h"
#include "transvia/dir.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kTargetBytes = 100u * 1024 * 1024;
constexpr size_t kChunk = 64 * 1024;

struct Corpus {
    std::vector<std::string> files;          // the distinct files' bytes
    std::vector<uint32_t> flags;             // HashComments for txtsetup.oem
    std::vector<size_t> replicaOf;           // per replica: index into files
    std::vector<Processor::String> replicas; // paths beneath folder
    size_t bytes = 0;                        // total over all replicas
    fs::path folder;
    std::shared_ptr<Common::rio_dir> dir;

    ~Corpus()
    {
        std::error_code ignored;
        if (!folder.empty())
            fs::remove_all(folder, ignored);
    }
};

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const Corpus* Load()
{
    static Corpus corpus;
    static bool tried = false;
    if (tried)
        return corpus.dir ? &corpus : nullptr;
    tried = true;
    const fs::path source = fs::path(TRANSVIA_SHARED_TESTDATA) / "inf";
    if (!fs::is_directory(source))
        return nullptr;
    for (const auto& item : fs::recursive_directory_iterator(source)) {
        const std::string name = Lower(item.path().filename().string());
        if (!item.is_regular_file() || !(name.ends_with(".inf") || name == "txtsetup.oem"))
            continue;
        std::ifstream in(item.path(), std::ios::binary);
        corpus.files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        corpus.flags.push_back(name == "txtsetup.oem" ? Transvia::HashComments : 0u);
    }
    if (corpus.files.empty())
        return nullptr;

    corpus.folder = fs::temp_directory_path() / ("transvia-inf-bench-" + std::to_string(::getpid()));
    for (size_t round = 0; corpus.bytes < kTargetBytes; ++round) {
        const fs::path sub = corpus.folder / std::to_string(round);
        fs::create_directories(sub);
        for (size_t i = 0; i < corpus.files.size(); ++i) {
            const std::string name = std::to_string(i) + ".inf";
            std::ofstream(sub / name, std::ios::binary) << corpus.files[i];
            corpus.replicas.push_back(Processor::FromUtf8(std::to_string(round) + "/" + name));
            corpus.replicaOf.push_back(i);
            corpus.bytes += corpus.files[i].size();
        }
    }
    Common::Error error;
    corpus.dir = Common::OpenLocalDirectory(corpus.folder.string(), &error);
    return corpus.dir ? &corpus : nullptr;
}

size_t ReadAll(Common::i_file& file, std::vector<unsigned char>& buffer)
{
    size_t total = 0;
    while (size_t got = file.read(buffer.data(), buffer.size()))
        total += got;
    return total;
}

std::vector<std::unique_ptr<Transvia::MemoryFile>> MemoryFiles(const Corpus& corpus)
{
    std::vector<std::unique_ptr<Transvia::MemoryFile>> files;
    for (const std::string& bytes : corpus.files)
        files.push_back(std::make_unique<Transvia::MemoryFile>(std::string_view(bytes)));
    return files;
}

void Finish(benchmark::State& state, const Corpus& corpus)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.bytes));
    state.counters["files"] = static_cast<double>(corpus.replicas.size());
    state.counters["MB"] = static_cast<double>(corpus.bytes) / 1e6;
}

void ReadFiles(benchmark::State& state)
{
    const Corpus* corpus = Load();
    if (corpus == nullptr)
        return state.SkipWithError("../shared/testdata/inf is missing");
    std::vector<unsigned char> buffer(kChunk);
    for (auto _ : state) {
        size_t total = 0;
        for (const Processor::String& path : corpus->replicas) {
            auto file = corpus->dir->open_file(path);
            total += ReadAll(*file, buffer);
            file->close();
        }
        if (total != corpus->bytes)
            return state.SkipWithError("short read");
    }
    Finish(state, *corpus);
}

void ParseFiles(benchmark::State& state)
{
    const Corpus* corpus = Load();
    if (corpus == nullptr)
        return state.SkipWithError("../shared/testdata/inf is missing");
    for (auto _ : state) {
        for (size_t i = 0; i < corpus->replicas.size(); ++i) {
            auto file = corpus->dir->open_file(corpus->replicas[i]);
            auto inf = Transvia::ParseInf(*file, nullptr, nullptr, corpus->flags[corpus->replicaOf[i]]);
            benchmark::DoNotOptimize(inf.get());
            file->close();
        }
    }
    Finish(state, *corpus);
}

// The same work without the file system: the parser's own cost against a copy of the bytes.
void ReadMemory(benchmark::State& state)
{
    const Corpus* corpus = Load();
    if (corpus == nullptr)
        return state.SkipWithError("../shared/testdata/inf is missing");
    const auto files = MemoryFiles(*corpus);
    std::vector<unsigned char> buffer(kChunk);
    for (auto _ : state) {
        for (size_t index : corpus->replicaOf) {
            files[index]->seek(0);
            benchmark::DoNotOptimize(ReadAll(*files[index], buffer));
        }
    }
    Finish(state, *corpus);
}

void ParseMemory(benchmark::State& state)
{
    const Corpus* corpus = Load();
    if (corpus == nullptr)
        return state.SkipWithError("../shared/testdata/inf is missing");
    const auto files = MemoryFiles(*corpus);
    for (auto _ : state) {
        for (size_t index : corpus->replicaOf) {
            auto inf = Transvia::ParseInf(*files[index], nullptr, nullptr, corpus->flags[index]);
            benchmark::DoNotOptimize(inf.get());
        }
    }
    Finish(state, *corpus);
}

BENCHMARK(ReadFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ParseFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadMemory)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ParseMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console output, then the parse/read ratio, so that a run states the figure the
// goal is about instead of leaving the division to the reader.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            // A median wins over single repetitions; without repetitions the one run counts.
            Times& times = times_[run.run_name.function_name];
            if (median || (run.run_type == Run::RT_Iteration && !times.median)) {
                times = {run.GetAdjustedCPUTime(), run.GetAdjustedRealTime(), median};
            }
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const auto read = times_.find("ReadFiles");
        const auto parse = times_.find("ParseFiles");
        if (read == times_.end() || parse == times_.end() || read->second.cpu <= 0 || read->second.real <= 0)
            return;
        std::printf("ParseFiles / ReadFiles: %.2fx CPU, %.2fx real (%s; goal 1.5x)\n",
                    parse->second.cpu / read->second.cpu, parse->second.real / read->second.real,
                    read->second.median && parse->second.median ? "medians" : "single runs");
    }

private:
    struct Times {
        double cpu = 0;
        double real = 0;
        bool median = false;
    };
    std::map<std::string, Times> times_;
};

}  // namespace

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
