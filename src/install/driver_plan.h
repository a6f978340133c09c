#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "install/inf_matching.h"
#include "transvia/devices.h"
#include "transvia/dir.h"
#include "transvia/string.h"

// What an install run would choose, worked out without changing anything: the scan and
// matching of a run over the host's storages and the target's own INF folder, with each
// device's candidates in the order the run would try them.
namespace Transvia {

struct PlannedCandidate {
    Processor::String inf;             // below its storage; "inf/NAME" for the target's INF folder
    Processor::String installSection;  // the platform-decorated section the install would carry out
    Processor::String modelsSection;
    uint32_t rank = 0;
    uint32_t level = 0;
    Processor::String manufacturer;
    Processor::String description;
    Processor::String driverVer;  // the DriverVer line's fields as written, comma-separated
    Processor::String location;   // full path of the storage (or INF folder) it was found under
    bool preferred = false;
};

struct PlannedDevice {
    DeviceIds ids;
    std::vector<PlannedCandidate> candidates;  // in try order
};

struct DriverPlan {
    uint32_t platform = 0;
    TargetVersion version;
    uint32_t infFiles = 0;
    std::vector<PlannedDevice> devices;
};

// An INF as `plan` and the install's device events name it: "inf/NAME" when `location` is
// the target's INF folder, otherwise its path below `location` with '/' separators.
Processor::String InfDisplayName(const Common::i_dir& location, const Common::i_dir& folder,
                                 const Processor::String& name, const Common::i_dir* targetInf);

// Storages are scanned with their subfolders and are not preferred, as the host's driver
// storages of an install run; the target's INF folder comes last. Opens the target's
// SOFTWARE hive only to read its version. Throws Common::Error when the Windows folder or
// the version cannot be read.
DriverPlan PlanDrivers(const std::shared_ptr<Common::rio_dir>& root, const Processor::String& windowsName,
                       uint32_t platform, const std::vector<std::shared_ptr<Common::i_dir>>& storages,
                       const DeviceList& devices);

}  // namespace Transvia
