#pragma once

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "transvia/api.h"

namespace TransviaCli {

// What `install` and `schedule` share: the target, the host's driver storages and
// hardware, the console callback, the summary and the JSON report.
struct HostJobOptions {
    std::string target;
    std::string windows = "Windows";
    std::vector<std::string> storages;
    std::string hardware;
    std::string sysfs;
    std::string json;
    bool noPrompt = false;
    bool verbose = false;
    std::string done = "installed";  // what a device that got its driver reads in the report
    // A device whose candidates all failed to install fails the run. The engine counts the
    // run a success once the host has no further folder to offer; a person running the
    // program needs to hear that a driver meant for the machine is missing.
    bool failedInstallsFail = false;
};

void AddHostJobOptions(CLI::App& command, HostJobOptions& options);

struct HostObjects {
    Common::rio_dir& target;
    std::wstring windows;
    const Transvia::DriverStorageList& storages;
    Transvia::InstallDriversCallback* callback;
    const Transvia::HardwareEnvironment* hardware;  // null: the engine looks at this machine
};

// Builds the host objects, runs `call` (one of the library's entries) with them, prints
// each device's result, the summary and what changed, writes the JSON report, and ends
// the command with status 1 when the run failed (130 when it was cancelled).
void RunHostJob(const HostJobOptions& options, const std::function<Common::Error(const HostObjects&)>& call);

}  // namespace TransviaCli
