#pragma once

#include "transvia/api.h"

namespace Transvia {

// Devices named by the text-mode setup files ("txtsetup.oem") of the host's driver source
// items: for each item whose first location holds one, the [scsi] entries whose first
// field is the item's name lead to "HardwareIds.scsi.<key>" sections, and every
// identifier listed there that is not a PCI one becomes a device of its own (PCI devices
// are found by their INF files anyway). Items without such a file, or whose file does not
// parse or lacks the sections, add nothing.
void HarvestTextModeDevices(const DriverSourceSet& sources, DeviceList& devices);

}  // namespace Transvia
