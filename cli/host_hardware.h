#pragma once

#include <string>

#include "transvia/api.h"

namespace TransviaCli {

// The new machine's devices as the host hands them to the engine: a fixed list, read from
// a hardware description file or detected under a sysfs tree.
class ListedHardware final : public Transvia::HardwareEnvironment {
public:
    explicit ListedHardware(Transvia::DeviceList devices) : devices_(std::move(devices)) {}
    void EnumerateDevices(Common::Error& error, Transvia::DeviceList& devices) const override;
    void EnumerateInstallDevices(Common::Error& error, Transvia::DeviceList& devices) const override;
    const Transvia::DeviceList& devices() const { return devices_; }

private:
    Transvia::DeviceList devices_;
};

// The devices of a description file when `hardwareFile` is given, otherwise those detected
// under `sysfsRoot` with the PCI devices reduced to the classes a system needs to boot.
Transvia::DeviceList DescribedDevices(const std::string& hardwareFile, const std::string& sysfsRoot);

}  // namespace TransviaCli
