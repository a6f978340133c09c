#pragma once

#include <string>

#include "entry/run_devices.h"
#include "transvia/api.h"

namespace Transvia {

// What the install run takes from the machine it runs on; the entry uses the defaults.
struct InstallFlowSetup {
    std::string shippedFolder;  // the assistant package's folder; empty: the library's own
    LocalMachine machine;
};

// The flow behind InstallDrivers. Throws Common::Error.
void RunInstallDrivers(Common::rio_dir& target, const Processor::String& windowsDir, const InstallDriversParams& params,
                       const InstallFlowSetup& setup = {});

// Whether a device left without a driver after a pass is dropped because of its first
// identifier: ACPI and plug-and-play system devices Windows drives itself. Case-sensitive.
bool IgnoredAfterPass(const std::string& firstId);

}  // namespace Transvia
