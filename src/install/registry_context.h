#pragma once

#include <cstdint>

#include "transvia/string.h"

namespace Transvia {

// What "HKR" stands for in a registry section. Callers that give no context leave HKR
// lines without meaning (AddReg refuses them).
struct RegistryContext {
    enum Kind : uint32_t {
        ClassKey = 0,     // `name` below the current control set's Control\Class
        ServiceKey = 1,   // `name` below Services
        EventLogKey = 2,  // an event-log source path below Services ("Eventlog\System\x")
        DeviceKey = 3,    // a device instance path below Enum
        DriverKey = 4,    // `name` below the INF's class GUID key in Control\Class (and any kind above)
    };

    uint32_t kind = ServiceKey;
    Processor::String name;
};

}  // namespace Transvia
