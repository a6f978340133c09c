// transvia plan: which driver an install would pick for each device, and in which order it
// would try the others, without writing anything.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "command.h"
#include "entry/platform.h"
#include "entry/run_devices.h"
#include "install/driver_database.h"
#include "host_hardware.h"
#include "install/driver_plan.h"
#include "support/text.h"
#include "transvia/dir.h"

namespace TransviaCli {
namespace {

using Json = nlohmann::ordered_json;

struct PlanOptions {
    std::string target;
    std::string windows = "Windows";
    std::vector<std::string> storages;
    std::string hardware;
    std::string sysfs = Transvia::kDefaultSysfsRoot;
    bool json = false;
    bool verbose = false;
};

std::string Utf8(const Processor::String& text) { return Processor::ToUtf8(text); }

// The devices an install run would try: those the host hands in, then what the run itself
// adds (the IDE channels, the hardware database's devices and HAL).
Transvia::DeviceList Devices(const PlanOptions& options)
{
    Transvia::DeviceList devices = DescribedDevices(options.hardware, options.sysfs);
    Transvia::AppendRunDevices(devices, Transvia::LoadDeviceDatabase().get());
    return devices;
}

Json ToJson(const Transvia::DriverPlan& plan)
{
    Json devices = Json::array();
    for (const auto& device : plan.devices) {
        Json candidates = Json::array();
        for (const auto& c : device.candidates)
            candidates.push_back({{"inf", Utf8(c.inf)},
                                  {"install_section", Utf8(c.installSection)},
                                  {"models_section", Utf8(c.modelsSection)},
                                  {"rank", c.rank},
                                  {"level", c.level},
                                  {"manufacturer", Utf8(c.manufacturer)},
                                  {"description", Utf8(c.description)},
                                  {"driver_ver", Utf8(c.driverVer)},
                                  {"location", Utf8(c.location)},
                                  {"preferred", c.preferred}});
        devices.push_back({{"ids", device.ids.ids()}, {"candidates", candidates}});
    }
    const char16_t* platform = Transvia::InfPlatform::ArchitectureText(plan.platform);
    return {{"target", {{"platform", platform[0] ? Processor::ToUtf8(std::u16string_view(platform)) : "unknown"},
                        {"version", {plan.version.major, plan.version.minor}}}},
            {"devices", devices}};
}

void PrintTable(const Transvia::DriverPlan& plan)
{
    const char16_t* platform = Transvia::InfPlatform::ArchitectureText(plan.platform);
    std::cout << "target: " << (platform[0] ? Processor::ToUtf8(std::u16string_view(platform)) : "unknown")
              << ", Windows " << plan.version.major << "." << plan.version.minor << ", " << plan.infFiles
              << " INF files examined\n";
    std::cout << "rank = level x identifiers + (identifiers if compatible id) + position of the matching identifier;"
                 " lower is better, preferred locations first\n";
    for (const auto& device : plan.devices) {
        std::cout << "\ndevice " << (device.ids.empty() ? std::string("?") : device.ids.name()) << "\n";
        for (size_t i = 0; i < device.ids.size(); ++i) std::cout << "  id " << i << ": " << device.ids[i] << "\n";
        if (device.candidates.empty()) std::cout << "  no candidate\n";
        int order = 1;
        for (const auto& c : device.candidates) {
            std::cout << "  " << order++ << ". rank " << c.rank << " (level " << c.level << ")"
                      << (c.preferred ? " preferred" : "") << "  " << Utf8(c.inf) << "  [" << Utf8(c.installSection)
                      << "] from [" << Utf8(c.modelsSection) << "]\n"
                      << "     " << Utf8(c.manufacturer) << ": " << Utf8(c.description) << "  DriverVer "
                      << (c.driverVer.isEmpty() ? std::string("none") : Utf8(c.driverVer)) << "\n"
                      << "     in " << Utf8(c.location) << "\n";
        }
    }
}

// Where an install would bind the boot devices: the DriverDatabase (Windows 8 and later),
// the CriticalDeviceDatabase (before) or neither.
std::string DeviceDatabasePlan(const std::shared_ptr<Common::rio_dir>& root, const Processor::String& windows,
                               const Transvia::TargetVersion& version)
{
    const auto present = Transvia::InspectDeviceDatabase(root->open_dir(windows));
    return Transvia::DeviceDatabaseName(Transvia::DeviceDatabaseWritten(present, version));
}

void RunPlan(const PlanOptions& options)
{
    if (options.verbose) EnableVerboseTraces();
    const Transvia::DeviceList devices = Devices(options);
    auto root = OpenFolder(options.target);
    std::vector<std::shared_ptr<Common::i_dir>> storages;
    for (const std::string& storage : options.storages) storages.push_back(OpenFolder(storage));
    try {
        Transvia::LoggerHandle logger = Transvia::CreateLogger(true);
        const Processor::String windows = Processor::FromFileName(options.windows);
        const uint32_t platform = Transvia::DetectPlatform(*root, windows, *logger);
        const Transvia::DriverPlan plan = Transvia::PlanDrivers(root, windows, platform, storages, devices);
        const std::string deviceDatabase = DeviceDatabasePlan(root, windows, plan.version);
        if (options.json) {
            Json out = ToJson(plan);
            out["target"]["device_database"] = deviceDatabase;
            std::cout << out.dump(2) << "\n";
        } else {
            std::cout << "boot devices would be bound in: " << deviceDatabase << "\n";
            PrintTable(plan);
        }
    } catch (const Common::Error& error) {
        PrintError(error);
        throw CLI::RuntimeError(1);
    }
}

CommandRegistration registration(55, [](CLI::App& app) {
    auto options = std::make_shared<PlanOptions>();
    CLI::App* command = app.add_subcommand(
        "plan", "Show which drivers an install would choose for each device, in the order it would try them; "
                "changes nothing.");
    command->add_option("--target", options->target, "Root folder of the restored Windows installation")
        ->required()
        ->check(CLI::ExistingDirectory);
    command->add_option("--windows", options->windows, "Name of the Windows folder below the target")
        ->capture_default_str();
    command->add_option("--storage", options->storages, "Driver storage folder (searched with its subfolders)")
        ->required()
        ->check(CLI::ExistingDirectory);
    auto* sysfs = command->add_option("--sysfs", options->sysfs, "Root of the sysfs tree to detect devices from")
                      ->capture_default_str();
    command->add_option("--hardware", options->hardware, "Hardware description file instead of detection")
        ->check(CLI::ExistingFile)
        ->excludes(sysfs);
    command->add_flag("--json", options->json, "Write JSON instead of a table");
    command->add_flag("-v,--verbose", options->verbose, "Show the engine's traces on stderr");
    command->callback([options] { RunPlan(*options); });
});

}  // namespace
}  // namespace TransviaCli
