#include "host_hardware.h"

#include "command.h"
#include "entry/run_devices.h"

namespace TransviaCli {

void ListedHardware::EnumerateDevices(Common::Error& error, Transvia::DeviceList& devices) const
{
    error = Common::Error();
    devices.insert(devices.end(), devices_.begin(), devices_.end());
}

void ListedHardware::EnumerateInstallDevices(Common::Error& error, Transvia::DeviceList& devices) const
{
    EnumerateDevices(error, devices);
}

Transvia::DeviceList DescribedDevices(const std::string& hardwareFile, const std::string& sysfsRoot)
{
    if (!hardwareFile.empty()) return ReadHardwareFile(hardwareFile);
    return Transvia::DetectLocalDevices(sysfsRoot);
}

}  // namespace TransviaCli
