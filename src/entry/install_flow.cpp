#include "entry/install_flow.h"

#include "entry/platform.h"
#include "entry/run_devices.h"
#include "support/errors.h"
#include "support/logger.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"

namespace Transvia {

void RunInstallDrivers(Common::rio_dir& target, const Processor::String& windowsDir, const InstallDriversParams& params)
{
    const RunDevices run = CollectRunDevices(params.hardware, true);
    LoggerHandle logger = CreateLogger(false);
    const uint32_t platform = DetectPlatform(target, windowsDir, *logger);
    CheckProcessorFor(platform, run.processorPassed);
    for (const DeviceIds& device : run.devices)
        if (!device.empty()) Common::Trace(2, Common::MessageTable::Text(Common::Messages::kDeviceListed, {Processor::FromUtf8(device.name())}));
    // The install passes come next; until then nothing is changed.
    Common::Raise(Common::Codes::kNoDriverFound, TV_HERE,
                  u"InstallDrivers: driver installation is not wired into this build yet; the target is " +
                      PlatformDecoration(platform) + u" and nothing was changed.");
}

}  // namespace Transvia
