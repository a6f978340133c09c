#include "entry/run_devices.h"

#include "entry/platform.h"
#include "hardware/critical_devices.h"
#include "hardware/processor_features.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/trace.h"

namespace Transvia {

DeviceList DetectLocalDevices(const std::string& sysfsRoot)
{
    DeviceList devices;
    DetectPciDevices(devices, sysfsRoot);
    ArrangeCriticalDevices(devices);
    // Each detection fills a list of its own: append, never replace what came before.
    for (auto detect : {&DetectSystemDevices, &DetectProcessorDevices}) {
        DeviceList more;
        detect(more, sysfsRoot);
        devices.insert(devices.end(), more.begin(), more.end());
    }
    return devices;
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

RunDevices CollectRunDevices(const HardwareEnvironment* hardware, bool forInstall, const LocalMachine& machine)
{
    if (hardware != nullptr) return {DevicesFromHost(*hardware, forInstall), true};
    DeviceList devices = DetectLocalDevices(machine.sysfsRoot);
    return {std::move(devices), machine.hasLongMode != nullptr ? machine.hasLongMode() : HasLongMode()};
}

void AppendRunDevices(DeviceList& devices, DeviceDatabase* database)
{
    devices.push_back(DeviceIds{kPrimaryIdeChannel});
    devices.push_back(DeviceIds{kSecondaryIdeChannel});
    if (database == nullptr) return;
    DeviceList more;
    database->MapDevices(devices, more);
    database->AddedDevices(more);
    devices.insert(devices.end(), more.begin(), more.end());
    DeviceList hals;
    database->HalDevices(hals);
    ReplaceHal(devices, hals);
}

void CheckProcessorFor(uint32_t platform, bool processorPassed)
{
    if ((platform == Platform::kIa64 || platform == Platform::kAmd64) && !processorPassed) {
        Common::Trace(4, Common::MessageTable::Text(Common::Messages::kNo64BitProcessor));
        Common::Raise(Common::Codes::kNo64BitProcessor, TV_HERE,
                      Common::MessageTable::Text(Common::Messages::kNeed64BitProcessor));
    }
}

}  // namespace Transvia
