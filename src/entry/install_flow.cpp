#include "entry/install_flow.h"

#include "entry/logger.h"
#include "entry/platform.h"
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
    DeviceList devices;
    if (params.hardware != nullptr) devices = DevicesFromHost(*params.hardware, true);
    LoggerHandle logger = CreateLogger(false);
    const uint32_t platform = DetectPlatform(target, windowsDir, *logger);
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
    DeviceList devices;
    if (hardware != nullptr) devices = DevicesFromHost(*hardware, false);
    LoggerHandle logger = CreateLogger(false);
    const uint32_t platform = DetectPlatform(target, windowsDir, *logger);
    NotAvailableYet(u"ScheduleForWindowsInstall", platform);
}

}  // namespace Transvia
