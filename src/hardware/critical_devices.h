#pragma once

#include "transvia/devices.h"

namespace Transvia {

// The display device of Microsoft's virtual machines: listed with the critical
// devices because a restored system cannot be driven without it there.
inline constexpr const char* kVirtualDisplayId = "PCI\\VEN_1414&DEV_5353&CC_0300";

// Reduces a detected device list to the classes a system needs to boot, in the
// order their drivers must go in: CC_0E (intelligent I/O), CC_01 (mass storage),
// the virtual display above, CC_0C04 (Fibre Channel), CC_0601 (ISA bridges),
// CC_0C03 (USB). Every other device is dropped; a device of two of these classes
// is listed once for each.
void ArrangeCriticalDevices(DeviceList& devices);

}  // namespace Transvia
