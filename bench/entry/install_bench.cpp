// A whole InstallDrivers run on a copy of a real Windows 10 SYSTEM hive (11 MB) with a
// storage of 1,000 INF files (the real INF corpus, replicated, each copy in a folder of
// its own with placeholder files for the driver files it names) and a virtio disk and an
// NVMe controller as the new hardware. Prints the median wall time of warm runs (goal below 1 s) and its
// split: preparation (devices, platform, staging, the registry opened on a working copy),
// cleanup and scan, install, commit of the SYSTEM hive.
//
//   nice -n 10 build/bench/install_bench [rounds]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "entry/install_flow.h"
#include "entry/library_files.h"
#include "registry/file_reg.h"
#include "registry/hive_create.h"
#include "registry/reg_text.h"
#include "support/text.h"
#include "support/trace.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kFiles = 1000;

double Ms(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Every driver file an INF names, roughly: the keys of [SourceDisksFiles*] and the bare
// file names of file-list lines. Placeholders for them let file copy succeed.
std::vector<std::string> NamedFiles(const fs::path& inf)
{
    static const std::regex name(R"(^\s*([A-Za-z0-9_.\-]+\.(sys|dll|exe|cat|cpl|ocx|bin))\s*(=|,|$))",
                                 std::regex::icase);
    std::vector<std::string> names;
    std::ifstream in(inf);
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (std::regex_search(line, match, name)) names.push_back(match[1]);
    }
    return names;
}

// Relays the run's position: the scan reports up to 50, the installs 50 to 100, then the
// SYSTEM hive is committed. Offers no folders and never cancels.
class Timing final : public Transvia::InstallDriversCallback {
public:
    void ReportProgress(uint32_t position) override
    {
        const Clock::time_point now = Clock::now();
        if (position == 0 && started == Clock::time_point()) started = now;
        if (position >= 50 && scanned == Clock::time_point()) scanned = now;
        if (position >= 100) installed = now;
    }
    bool IsCancelled() override { return false; }
    void LocateDeviceDrivers(std::shared_ptr<Common::i_dir>&, const Transvia::DeviceIds&) override {}
    void RequestSourceMedia(std::shared_ptr<Common::i_dir>&, const Processor::String&, const Processor::String&) override {}
    void ReportStorageUnavailable(Transvia::DriverStorage&) override {}
    Clock::time_point started, scanned, installed;
};

class Hardware final : public Transvia::HardwareEnvironment {
public:
    void EnumerateDevices(Common::Error&, Transvia::DeviceList&) const override {}
    void EnumerateInstallDevices(Common::Error&, Transvia::DeviceList& devices) const override
    {
        devices = {Transvia::DeviceIds{"PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00", "PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4",
                                       "PCI\\VEN_1AF4&DEV_1001&CC_010000", "PCI\\VEN_1AF4&DEV_1001", "PCI\\CC_010000"},
                   Transvia::DeviceIds{"PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D&REV_00", "PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D",
                                       "PCI\\VEN_144D&DEV_A808&CC_010802", "PCI\\VEN_144D&DEV_A808", "PCI\\CC_010802",
                                       "PCI\\CC_0108"}};
    }
};

// Counts the INF files kept as a device's candidate (a copy that ranks no better than one
// seen before is not kept) and the devices that got a driver.
class Counter final : public Common::TraceLogic {
public:
    void Text(const char*, Common::EventLevel, uint32_t, uint32_t, const char16_t* text) override
    {
        if (std::u16string_view(text).find(u"' matches '") != std::u16string_view::npos) ++matches;
    }
    void Event(const char*, Common::EventLevel, uint32_t, uint32_t, const char16_t*, const Common::EventField*,
               int32_t) override
    {
    }
    void ErrorEvent(const char*, Common::EventLevel, const Common::Error& error) override
    {
        if (error.code() == 0 && error.text() && std::u16string_view(error.text()).find(u"was installed") != std::u16string_view::npos)
            ++installed;
    }
    int matches = 0, installed = 0;
};

bool MakeSoftwareHive(const fs::path& config)
{
    auto folder = Common::OpenLocalDirectory(config.string());
    if (!folder || Common::CreateHive(*folder, u"SOFTWARE", 5, u"ROOT").failed()) return false;
    std::vector<Common::RegText::Edit> edits;
    Common::Error error;
    const std::string reg = std::string(Common::RegText::kHeader) +
                            "\n\n[S\\Microsoft\\Windows NT\\CurrentVersion]\n\"CurrentVersion\"=\"6.3\"\n"
                            "\"CurrentMajorVersionNumber\"=dword:0000000a\n\"CurrentMinorVersionNumber\"=dword:00000000\n";
    if (!Common::RegText::Parse(reg, u"", edits, error)) return false;
    Common::file_reg root = Common::file_reg::open_hive(folder, u"SOFTWARE", false, error);
    return !root.empty() && Common::RegText::Apply(root, edits, error);
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const fs::path data = fs::path(TRANSVIA_SHARED_TESTDATA);
    const fs::path system = data / "hives/dissect.regf/SYSTEM";
    std::vector<fs::path> corpus;
    if (fs::is_directory(data / "inf"))
        for (const auto& item : fs::recursive_directory_iterator(data / "inf")) {
            std::string name = item.path().filename().string();
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            if (item.is_regular_file() && name.ends_with(".inf") && name != "layout.inf") corpus.push_back(item.path());
        }
    if (corpus.empty() || !fs::exists(system)) {
        std::printf("no INF corpus or no dissect.regf SYSTEM under %s: nothing to measure\n", data.c_str());
        return 0;
    }
    if (Common::Error error = Transvia::LibraryFiles::LoadFrom(TRANSVIA_OUTPUT_DIR); error.failed()) {
        std::printf("no message table in %s: build the transvia_messages target\n", TRANSVIA_OUTPUT_DIR);
        return 1;
    }
    const fs::path work = fs::temp_directory_path() / ("transvia-install-bench-" + std::to_string(::getpid()));
    const fs::path storage = work / "storage", model = work / "model", target = work / "target";
    // How many of the files name one of the devices (whatever their architecture).
    static const std::regex named(R"(VEN_1AF4&DEV_1001|CC_010802)", std::regex::icase);
    size_t naming = 0;
    for (size_t i = 0; i < kFiles; ++i) {
        const fs::path& inf = corpus[i % corpus.size()];
        std::ifstream text(inf);
        const std::string content((std::istreambuf_iterator<char>(text)), std::istreambuf_iterator<char>());
        if (std::regex_search(content, named)) ++naming;
        const fs::path folder = storage / std::to_string(i);
        fs::create_directories(folder);
        fs::copy_file(inf, folder / inf.filename());
        for (const std::string& name : NamedFiles(inf))
            if (!fs::exists(folder / name)) std::ofstream(folder / name) << "placeholder, not a real driver\n";
    }
    fs::create_directories(model / "Windows/System32/config");
    fs::create_directories(model / "Windows/System32/drivers");
    fs::create_directories(model / "Windows/inf");
    fs::copy_file(system, model / "Windows/System32/config/SYSTEM");
    fs::permissions(model / "Windows/System32/config/SYSTEM", fs::perms::owner_read | fs::perms::owner_write);
    std::string ntdll(64, '\0');  // the PE header of an amd64 ntdll.dll
    ntdll[0] = 'M', ntdll[1] = 'Z', ntdll[60] = 64;
    std::ofstream(model / "Windows/System32/ntdll.dll", std::ios::binary) << ntdll << std::string("PE\0\0\x64\x86", 6)
                                                                          << std::string(18, '\0');
    if (!MakeSoftwareHive(model / "Windows/System32/config")) {
        std::printf("cannot write the SOFTWARE hive of the model target\n");
        return 1;
    }
    const fs::path conf = work / "transvia.conf";
    std::ofstream(conf) << "[Settings]\nhwdb.txt=\"" << (fs::path(TRANSVIA_OUTPUT_DIR) / "hwdb.txt").string() << "\"\n";
    setenv("TRANSVIA_CONF", conf.c_str(), 1);

    static Counter counter;
    Common::AddTraceLogic(&counter);
    Transvia::InstallFlowSetup setup;
    setup.shippedFolder = TRANSVIA_OUTPUT_DIR;
    Hardware hardware;
    std::vector<double> total, prepare, scan, install, commit;
    Common::Error last;
    // Round 0 warms the page cache and is not counted.
    for (int round = 0; round <= rounds; ++round) {
        fs::remove_all(target);
        fs::copy(model, target, fs::copy_options::recursive);
        auto root = Common::OpenLocalDirectory(target.string());
        Timing timing;
        Transvia::InstallDriversParams params;
        params.callback = &timing;
        params.hardware = &hardware;
        params.storages.push_back(Transvia::CreateFolderStorage(storage.string()));
        counter = Counter();
        const Clock::time_point start = Clock::now();
        last = Common::Error();
        try {
            Transvia::RunInstallDrivers(*root, u"Windows", params, setup);
        } catch (const Common::Error& error) {
            last = error;
        }
        const Clock::time_point end = Clock::now();
        if (round == 0) continue;
        total.push_back(Ms(start, end));
        prepare.push_back(Ms(start, timing.started));
        scan.push_back(Ms(timing.started, timing.scanned));
        install.push_back(Ms(timing.scanned, timing.installed));
        commit.push_back(Ms(timing.installed, end));
    }
    fs::remove_all(work);

    auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    std::printf("%zu INF files (%zu distinct), SYSTEM %.1f MB; %d warm rounds, medians\n", kFiles, corpus.size(),
                static_cast<double>(fs::file_size(system)) / 1e6, rounds);
    std::printf("InstallDrivers: %.1f ms (goal < 1000 ms)\n", median(total));
    std::printf("  prepare %.1f ms, clean + scan %.1f ms, install %.1f ms, commit %.1f ms\n", median(prepare),
                median(scan), median(install), median(commit));
    std::printf("%zu files name a device; last run: %d INF files kept as candidates, %d devices got a driver "
                "(with the assistant), result 0x%X\n",
                naming, counter.matches, counter.installed, last.code());
    return 0;
}
