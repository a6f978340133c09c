#include "host_hardware.h"

#include "command.h"
#include "hardware/critical_devices.h"
#include "hardware/local_detection.h"

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
    Transvia::DeviceList devices;
    Transvia::DetectPciDevices(devices, sysfsRoot);
    Transvia::ArrangeCriticalDevices(devices);
    Transvia::DetectSystemDevices(devices, sysfsRoot);
    Transvia::DetectProcessorDevices(devices, sysfsRoot);
    return devices;
}

}  // namespace TransviaCli
