#pragma once

#include <cstdint>
#include <string>

#include "transvia/devices.h"

// Devices of the machine the engine runs on, used when the host describes no
// hardware. Linux has no SetupAPI; the kernel's sysfs tells the same facts, and
// the identifiers are built the way Windows 10 builds them for the same hardware.
// The sysfs root is a parameter so that a prepared tree can stand in for /sys.
//
// Each set is reported as Windows enumerates one: ordered by identifier lists,
// and a device whose list equals another's reported once.
namespace Transvia {

inline constexpr const char* kDefaultSysfsRoot = "/sys";

// Pseudo-identifiers of the computer (HAL) device.
inline constexpr const char* kHalAcpiApic = "ACPIAPIC";
inline constexpr const char* kHalAcpiApicMp = "ACPIAPIC_MP";
inline constexpr const char* kHalAcpiApicUp = "ACPIAPIC_UP";
inline constexpr const char* kHalAcpiPic = "ACPIPIC";
inline constexpr const char* kHalAcpiPicUp = "ACPIPIC_UP";

// One PCI function, as its configuration header describes it.
struct PciFunction {
    uint16_t vendor = 0;
    uint16_t device = 0;
    uint16_t subsystemVendor = 0;
    uint16_t subsystemDevice = 0;
    uint8_t revision = 0;
    uint32_t classCode = 0;  // base class, subclass, programming interface: 0xCCSSPP
};

// The hardware identifiers, then the compatible identifiers, of a PCI function:
//   PCI\VEN_v&DEV_d&SUBSYS_s&REV_r, PCI\VEN_v&DEV_d&SUBSYS_s, PCI\VEN_v&DEV_d&CC_ccsspp,
//   PCI\VEN_v&DEV_d&CC_ccss, PCI\VEN_v&DEV_d&REV_r, PCI\VEN_v&DEV_d, PCI\VEN_v&CC_ccsspp,
//   PCI\VEN_v&CC_ccss, PCI\VEN_v, PCI\CC_ccsspp, PCI\CC_ccss
// with upper-case hex digits; SUBSYS is the subsystem id followed by the subsystem vendor.
DeviceIds PciIdentifiers(const PciFunction& function);

// The identifiers of an ACPI device: ACPI\HID and *HID, then the same two forms
// of each compatible id that differs from the hardware id.
DeviceIds AcpiIdentifiers(const std::string& hardwareId, const std::vector<std::string>& compatibleIds);

// Clears `devices` and fills it with the PCI functions under <root>/bus/pci/devices.
// A machine without a PCI bus gives an empty list. Throws Common::Error
// (Codes::kPciDeviceSet) when the sysfs root cannot be read at all. A function
// whose attributes cannot be read is traced (Codes::kDevicePropertyRead, level 3)
// and left out.
void DetectPciDevices(DeviceList& devices, const std::string& sysfsRoot = kDefaultSysfsRoot);

// Clears `devices` and fills it, in this order, with:
//   1. the computer device, named by its HAL kind: "ACPIAPIC" on an ACPI machine
//      with an interrupt controller table (APIC), "ACPIPIC" on one without;
//      none on a machine without ACPI;
//   2. ACPI storage adapters (ACPI devices whose physical device hosts a SCSI or ATA host);
//   3. the ACPI system itself, "ACPI_HAL\PNP0C08" and "*PNP0C08", after which the
//      computer device gets its processor count: "ACPIAPIC_MP" when IsMultiprocessor,
//      else "ACPIAPIC_UP" ("ACPIPIC_UP" for an ACPIPIC machine);
//   4. ACPI system devices (buses, interrupt and DMA controllers, timers, clocks,
//      motherboard resources, buttons, containers).
// ACPI objects whose status says they are not present are left out. Throws
// Common::Error (Codes::kComputerDeviceSet) when the sysfs root cannot be read.
void DetectSystemDevices(DeviceList& devices, const std::string& sysfsRoot = kDefaultSysfsRoot);

// Clears `devices` and fills it with the ACPI processor devices (processor objects
// and ACPI0007 devices, both reported as "ACPI\ACPI0007", "*ACPI0007"; the equal
// lists of a machine's processors make one device). Empty when the firmware
// declares none.
void DetectProcessorDevices(DeviceList& devices, const std::string& sysfsRoot = kDefaultSysfsRoot);

// Whether the machine has more than one processor: the kernel's count of online
// processors (<root>/devices/system/cpu/online), or where that is missing or
// unreadable, the number of present ACPI processor objects.
bool IsMultiprocessor(const std::string& sysfsRoot = kDefaultSysfsRoot);

// Number of processors in a kernel CPU list such as "0-3,8,10-11"; 0 when the text
// is not such a list.
unsigned CountCpuList(const std::string& text);

}  // namespace Transvia
