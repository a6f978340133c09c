#pragma once

#include "transvia/api.h"

namespace Transvia {

// The flows behind the two install entries. They throw Common::Error.
void RunInstallDrivers(Common::rio_dir& target, const Processor::String& windowsDir, const InstallDriversParams& params);
void RunScheduleForWindowsInstall(PciDeviceClass deviceClass, Common::rio_dir& target,
                                  const Processor::String& windowsDir, const DriverStorageList& storages,
                                  InstallDriversCallback* callback, const HardwareEnvironment* hardware);

}  // namespace Transvia
