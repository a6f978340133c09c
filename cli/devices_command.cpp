// transvia devices: the hardware identifiers of this machine (or of a sysfs tree or a
// description file), written as a hardware description that install can read back.
#include <cstdio>
#include <memory>
#include <string>

#include "command.h"
#include "hardware/critical_devices.h"
#include "hardware/hardware_file.h"
#include "hardware/local_detection.h"
#include "hardware/processor_features.h"

namespace {

struct DevicesOptions {
    std::string sysfs = Transvia::kDefaultSysfsRoot;
    std::string hardware;
    bool critical = false;
    bool json = false;
    bool verbose = false;
};

// The devices the install flow would see on this machine: PCI functions (reduced to
// the critical classes on request), then the computer and ACPI system devices, then
// the processors.
Transvia::DeviceList DetectDevices(const DevicesOptions& options)
{
    Transvia::DeviceList devices;
    Transvia::DetectPciDevices(devices, options.sysfs);
    if (options.critical)
        Transvia::ArrangeCriticalDevices(devices);
    for (auto detect : {&Transvia::DetectSystemDevices, &Transvia::DetectProcessorDevices}) {
        Transvia::DeviceList more;
        detect(more, options.sysfs);
        devices.insert(devices.end(), more.begin(), more.end());
    }
    return devices;
}

void WriteOut(const std::string& text)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "error: cannot write the device list\n");
        throw CLI::RuntimeError(1);
    }
}

}  // namespace

Transvia::DeviceList TransviaCli::ReadHardwareFile(const std::string& path)
{
    Transvia::DeviceList devices;
    Transvia::HardwareFileError error;
    if (!Transvia::LoadHardwareDescription(path, devices, error)) {
        std::fprintf(stderr, "error: %s: %s\n", path.c_str(), error.describe().c_str());
        throw CLI::RuntimeError(2);
    }
    return devices;
}

namespace {

void RunDevices(const DevicesOptions& options)
{
    if (options.verbose)
        TransviaCli::EnableVerboseTraces();

    Transvia::DeviceList devices = options.hardware.empty() ? DetectDevices(options) : TransviaCli::ReadHardwareFile(options.hardware);

    const auto format = options.json ? Transvia::HardwareFileFormat::Json : Transvia::HardwareFileFormat::Text;
    std::string text;
    Transvia::HardwareFileError error;
    if (!Transvia::FormatHardwareDescription(devices, format, text, error)) {
        std::fprintf(stderr, "error: %s\n", error.describe().c_str());
        throw CLI::RuntimeError(1);
    }
    if (!options.json) {
        std::string header = "# " + std::to_string(devices.size()) + (devices.size() == 1 ? " device" : " devices");
        header += options.hardware.empty() ? " detected under " + options.sysfs : " read from " + options.hardware;
        if (options.critical)
            header += ", PCI devices reduced to the critical classes";
        header += "\n";
        if (options.hardware.empty())
            header += std::string("# 64-bit processor: ") + (Transvia::HasLongMode() ? "yes" : "no") + "\n";
        text = header + text;
    }
    WriteOut(text);
}

TransviaCli::CommandRegistration registration(60, [](CLI::App& app) {
    auto options = std::make_shared<DevicesOptions>();
    CLI::App* command = app.add_subcommand(
        "devices", "Print the hardware identifiers of this machine as a hardware description (text or JSON).");
    auto* sysfs = command->add_option("--sysfs", options->sysfs, "Root of the sysfs tree to read")
                      ->capture_default_str();
    auto* hardware =
        command->add_option("--hardware", options->hardware, "Read this hardware description file instead of detecting")
            ->check(CLI::ExistingFile)
            ->excludes(sysfs);
    // The install flow arranges detected PCI devices only; a description is taken as written.
    command->add_flag("--critical", options->critical,
                      "Keep only the PCI device classes needed to boot, in install order")
        ->excludes(hardware);
    command->add_flag("--json", options->json, "Write JSON instead of the text form");
    command->add_flag("-v,--verbose", options->verbose, "Show the engine's traces on stderr");
    command->callback([options] { RunDevices(*options); });
});

}  // namespace
