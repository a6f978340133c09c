#pragma once

#include "transvia/api.h"

namespace Transvia {

// The flow behind ScheduleForWindowsInstall. Throws Common::Error.
void RunScheduleForWindowsInstall(PciDeviceClass deviceClass, Common::rio_dir& target,
                                  const Processor::String& windowsDir, const DriverStorageList& storages,
                                  InstallDriversCallback* callback, const HardwareEnvironment* hardware);

}  // namespace Transvia
