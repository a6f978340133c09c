#pragma once

#include <cstdint>
#include <string>

#include "hardware/device_database.h"
#include "hardware/local_detection.h"
#include "transvia/api.h"

// The first steps both install flows share: the devices of the new machine and the
// processor test that goes with them.
namespace Transvia {

// Pseudo-devices of the install run, each with this one identifier. INF files match them
// like any other device: the IDE channels get their driver, the assistant comes from the
// staging storage.
inline constexpr const char* kPrimaryIdeChannel = "primary_ide_channel";
inline constexpr const char* kSecondaryIdeChannel = "secondary_ide_channel";
inline constexpr const char* kAssistantDevice = "DisableHWUI_ID";

// The machine the engine runs on, as the device steps see it; tests stand in for it.
struct LocalMachine {
    std::string sysfsRoot = kDefaultSysfsRoot;
    bool (*hasLongMode)() = nullptr;  // null: ask this machine's processor
};

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
RunDevices CollectRunDevices(const HardwareEnvironment* hardware, bool forInstall, const LocalMachine& machine = {});

// What an install run adds to the devices it was given, at the end: the two IDE channel
// pseudo-devices, then (with a database) the devices the database maps from those present
// and the devices it adds; a HAL list of the database replaces the detected HAL device.
void AppendRunDevices(DeviceList& devices, DeviceDatabase* database);

// Throws 0x1D0008 (after tracing why) for a 64-bit target when the processor test failed.
void CheckProcessorFor(uint32_t platform, bool processorPassed);

}  // namespace Transvia
