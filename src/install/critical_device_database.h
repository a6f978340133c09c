#pragma once

#include <cstdint>

#include "install/target_version.h"
#include "support/logger.h"
#include "transvia/devices.h"
#include "transvia/error.h"
#include "transvia/string.h"

namespace Transvia {

class Inf;
class WindowsRegistry;

// Binds the device to the driver's class and service in Control\CriticalDeviceDatabase, so
// that Windows 5.x to 6.1 load the boot driver before Plug and Play has seen the device.
// Later versions have no such database: nothing is written and the result is success.
// Two entries at most: the identifier at index min(n-1, 5) (stepping down past empty
// ones) and the most specific identifier whose key opens. The error (code
// kRegistryOperationFailed) is also stored in `result`; `observers` hear the step's name.
Common::Error UpdateCriticalDeviceDatabase(const TargetVersion& version, Common::Error& result, const DeviceIds& ids,
                                           WindowsRegistry& registry, Inf& inf, const Processor::String& service,
                                           const Utils::EventNotifier<OperationsProgress>* observers = nullptr);

// The key name of an identifier: every backslash replaced by '#'.
Processor::String CriticalDeviceKeyName(const std::string& id);

}  // namespace Transvia
