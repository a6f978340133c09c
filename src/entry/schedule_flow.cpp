#include "entry/schedule_flow.h"

#include "entry/platform.h"
#include "entry/run_devices.h"
#include "hardware/processor_features.h"
#include "support/errors.h"
#include "support/logger.h"
#include "support/message_format.h"
#include "support/message_table.h"
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

}  // namespace

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
