#include "entry/install_flow.h"

#include "support/logger.h"
#include "entry/platform.h"
#include "hardware/critical_devices.h"
#include "hardware/local_detection.h"
#include "hardware/processor_features.h"
#include "support/errors.h"
#include "support/message_format.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"

namespace Transvia {

namespace {

// What this build can do so far: read the devices and the target's platform. Driver
// selection and installation come with the INF processor.
[[noreturn]] void NotAvailableYet(const char16_t* entry, uint32_t platform)
{
    Common::Raise(Common::Codes::kNoDriverFound, TV_HERE,
                  Processor::Format(u"{0}: driver installation is not available in this build yet; the devices and "
                                    u"the target platform ({1}) were read and nothing was changed.",
                                    {Processor::String(entry), PlatformDecoration(platform)}));
}

// The devices of the machine the engine runs on, reduced to the critical classes,
// then the computer (HAL) device and the processors.
DeviceList DetectLocalDevices()
{
    DeviceList devices;
    DetectPciDevices(devices);
    ArrangeCriticalDevices(devices);
    DetectSystemDevices(devices);
    DetectProcessorDevices(devices);
    return devices;
}

// A 64-bit target needs a processor with a 64-bit mode, when the hardware is this machine's.
void CheckProcessorFor(uint32_t platform, bool processorPassed)
{
    if ((platform == Platform::kIa64 || platform == Platform::kAmd64) && !processorPassed) {
        Common::Trace(4, Common::MessageTable::Text(Common::Messages::kNo64BitProcessor));
        Common::Raise(Common::Codes::kNo64BitProcessor, TV_HERE,
                      Common::MessageTable::Text(Common::Messages::kNeed64BitProcessor));
    }
}

DeviceList DevicesFromHost(const HardwareEnvironment& hardware, bool forInstall)
{
    DeviceList devices;
    Common::Error error;
    if (forInstall) hardware.EnumerateInstallDevices(error, devices);
    else hardware.EnumerateDevices(error, devices);
    if (error.failed()) throw error;
    return devices;
}

}  // namespace

void RunInstallDrivers(Common::rio_dir& target, const Processor::String& windowsDir, const InstallDriversParams& params)
{
    // A host that describes the hardware answers for its processor too.
    const bool processorPassed = params.hardware != nullptr || HasLongMode();
    const DeviceList devices = params.hardware != nullptr ? DevicesFromHost(*params.hardware, true) : DetectLocalDevices();
    LoggerHandle logger = CreateLogger(false);
    const uint32_t platform = DetectPlatform(target, windowsDir, *logger);
    CheckProcessorFor(platform, processorPassed);
    for (const DeviceIds& device : devices)
        if (!device.empty()) Common::Trace(2, Common::MessageTable::Text(Common::Messages::kDeviceListed, {Processor::FromUtf8(device.name())}));
    NotAvailableYet(u"InstallDrivers", platform);
}

void RunScheduleForWindowsInstall(PciDeviceClass, Common::rio_dir& target, const Processor::String& windowsDir,
                                  const DriverStorageList& storages, InstallDriversCallback*,
                                  const HardwareEnvironment* hardware)
{
    if (storages.empty()) {
        Common::Trace(1, u"Empty storage list isn't allowed.");
        Common::Raise(Common::Codes::kInvalidArgument, TV_HERE,
                      Common::MessageTable::Text(Common::Messages::kInvalidArgument, {u"Windows install scheduler"}));
    }
    const bool processorPassed = hardware != nullptr || HasLongMode();
    const DeviceList devices = hardware != nullptr ? DevicesFromHost(*hardware, false) : DetectLocalDevices();
    LoggerHandle logger = CreateLogger(false);
    const uint32_t platform = DetectPlatform(target, windowsDir, *logger);
    CheckProcessorFor(platform, processorPassed);
    (void)devices;  // the scheduler's class filter and staging come with the INF processor
    NotAvailableYet(u"ScheduleForWindowsInstall", platform);
}

}  // namespace Transvia
