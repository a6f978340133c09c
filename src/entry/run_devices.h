#pragma once

#include <cstdint>
#include <string>

#include "hardware/local_detection.h"
#include "transvia/api.h"

// The first steps both install flows share: the devices of the new machine and the
// processor test that goes with them.
namespace Transvia {

struct RunDevices {
    DeviceList devices;
    // A host that describes the hardware answers for its processor too; otherwise this
    // machine's processor must have a 64-bit mode for a 64-bit target.
    bool processorPassed = false;
};

// The devices of this machine reduced to the critical classes, then the computer (HAL)
// device with the ACPI system devices, then the processors.
DeviceList DetectLocalDevices(const std::string& sysfsRoot = kDefaultSysfsRoot);

// The host's devices: EnumerateInstallDevices for an install, EnumerateDevices otherwise.
// An error with a non-zero code is thrown unchanged.
DeviceList DevicesFromHost(const HardwareEnvironment& hardware, bool forInstall);

// The host's devices when it describes the hardware, else this machine's.
RunDevices CollectRunDevices(const HardwareEnvironment* hardware, bool forInstall);

// Throws 0x1D0008 (after tracing why) for a 64-bit target when the processor test failed.
void CheckProcessorFor(uint32_t platform, bool processorPassed);

}  // namespace Transvia
