// The driver scan of an install run (class filter, matching against a device list) over
// a storage of 10,000 real INF files, against merely reading the same files through the
// same folder objects. Prints the median wall-clock and CPU times, the scan/read ratios
// (goal at most 1.3) and the peak resident memory during the scan (only matched INF
// objects stay alive).
//
//   nice -n 10 build/bench/scan_bench [rounds]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "install/inf_scan.h"
#include "support/text.h"
#include "transvia/dir.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kFiles = 10000;
constexpr size_t kPerFolder = 500;

// Reads every ".inf" below `folder` to its end; returns the bytes read.
uint64_t ReadAll(const Common::i_dir& folder)
{
    uint64_t total = 0;
    std::vector<char> buffer(64 * 1024);
    auto entries = folder.entries();
    Common::dir_entry entry;
    while (entries && entries->next(entry)) {
        if (entry.is_dir) {
            if (auto sub = folder.open_dir(entry.name)) total += ReadAll(*sub);
            continue;
        }
        if (!Processor::UpCased(entry.name).endsWith(u".INF")) continue;
        auto file = folder.open_file(entry.name);
        for (size_t n; file && (n = file->read(buffer.data(), buffer.size())) > 0;) total += n;
    }
    return total;
}

// VmHWM (peak resident set) in kB; writing 5 to clear_refs resets it.
long PeakKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}
long CurrentKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Process CPU time (user and system) in milliseconds: on a shared machine it says more
// than the wall clock, which also counts the time other processes held the CPU.
double CpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

struct Timing {
    double wall = 0, cpu = 0;  // ms
};

template <typename F>
Timing Time(F&& run)
{
    const auto start = std::chrono::steady_clock::now();
    const double cpu = CpuMs();
    run();
    return {std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count(), CpuMs() - cpu};
}

double Median(const std::vector<Timing>& timings, double Timing::*field)
{
    std::vector<double> values;
    for (const Timing& timing : timings) values.push_back(timing.*field);
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const fs::path source = fs::path(TRANSVIA_SHARED_TESTDATA) / "inf";
    std::vector<fs::path> corpus;
    if (fs::is_directory(source))
        for (const auto& item : fs::recursive_directory_iterator(source)) {
            std::string name = item.path().filename().string();
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            if (item.is_regular_file() && name.ends_with(".inf") && name != "layout.inf") corpus.push_back(item.path());
        }
    if (corpus.empty()) {
        std::printf("no INF corpus at %s: nothing to measure\n", source.c_str());
        return 0;
    }
    const fs::path folder = fs::temp_directory_path() / ("transvia-scan-bench-" + std::to_string(::getpid()));
    for (size_t i = 0; i < kFiles; ++i) {
        const fs::path sub = folder / std::to_string(i / kPerFolder);
        if (i % kPerFolder == 0) fs::create_directories(sub);
        fs::copy_file(corpus[i % corpus.size()], sub / (std::to_string(i) + "_" + corpus[i % corpus.size()].filename().string()));
    }
    auto storage = Common::OpenLocalDirectory(folder.string());

    // Devices of a typical machine: NVMe, AHCI, a virtio disk, an LSI SCSI card, the PCI bus.
    const Transvia::DeviceList devices{
        Transvia::DeviceIds{"PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D&REV_00", "PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D",
                            "PCI\\VEN_144D&DEV_A808&CC_010802", "PCI\\CC_010802"},
        Transvia::DeviceIds{"PCI\\VEN_8086&DEV_2922&SUBSYS_11001AF4&REV_02", "PCI\\VEN_8086&DEV_2922", "PCI\\CC_010601"},
        Transvia::DeviceIds{"PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00", "PCI\\VEN_1AF4&DEV_1001", "PCI\\CC_010000"},
        Transvia::DeviceIds{"PCI\\VEN_1000&DEV_0020&REV_01", "PCI\\VEN_1000&DEV_0020", "PCI\\CC_010000"},
        Transvia::DeviceIds{"ACPI\\PNP0A03", "*PNP0A03"}};
    Transvia::ClassGuidFilter filter(Transvia::BootCriticalClasses());
    const std::vector<Transvia::InfFilter*> filters{&filter};
    const std::vector<Transvia::SearchLocation> locations{{storage, {0, 1}}};

    uint64_t bytes = 0;
    ReadAll(*storage);  // warm the page cache for both sides
    // Read and scan rounds alternate, so that a change in the machine's load falls on both.
    std::vector<Timing> reads, scans;
    size_t kept = 0, candidates = 0;
    const long before = CurrentKb();
    ResetPeak();
    for (int round = 0; round < rounds; ++round) {
        reads.push_back(Time([&] { bytes = ReadAll(*storage); }));
        scans.push_back(Time([&] {
            Transvia::ScanResult result = Transvia::ScanLocations(locations, filters, devices, {3, {10, 0}}, nullptr);
            kept = result.kept.size();
            candidates = 0;
            for (const auto& store : result.stores) candidates += store.sectionByRank.size();
        }));
    }
    const long peak = PeakKb();
    fs::remove_all(folder);
    const double read = Median(reads, &Timing::wall), scan = Median(scans, &Timing::wall);
    const double readCpu = Median(reads, &Timing::cpu), scanCpu = Median(scans, &Timing::cpu);

    std::printf("%zu INF files (%zu distinct), %.1f MB; %d rounds, medians\n", kFiles, corpus.size(),
                static_cast<double>(bytes) / 1e6, rounds);
    std::printf("wall: read %.1f ms   scan %.1f ms   scan/read %.2fx (goal 1.3x)\n", read, scan, scan / read);
    std::printf("cpu:  read %.1f ms   scan %.1f ms   scan/read %.2fx\n", readCpu, scanCpu, scanCpu / readCpu);
    std::printf("scan kept %zu INF objects for %zu candidates; resident before the scan %ld kB, peak during it %ld kB "
                "(+%ld kB)\n",
                kept, candidates, before, peak, peak - before);
    return 0;
}
