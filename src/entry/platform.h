#pragma once

#include <array>
#include <cstdint>

#include "support/logger.h"
#include "inf/architecture.h"
#include "transvia/devices.h"
#include "transvia/dir.h"

namespace Transvia {

// Platform codes: 1 x86, 2 ia64, 3 amd64, 0 not recognised.
namespace Platform = InfPlatform;

// HAL kind identifiers, in the order the replacement rule removes them.
constexpr std::array<const char*, 8> kHalKinds = {"E_ISA_UP", "ACPIPIC_UP", "ACPIAPIC_UP", "ACPIAPIC_MP",
                                                  "MPS_UP",   "MPS_MP",     "ACPIPIC",     "ACPIAPIC"};

// Reads the target's own "System32\ntdll.dll" header: 1 x86, 2 ia64, 3 amd64, 0 any
// other machine type. Throws Common::Error (0x1D0007) when the header cannot be read.
uint32_t DetectPlatform(const Common::i_dir& target, const Processor::String& windowsDir, Logger& logger);

// "ntx86", "ntia64", "ntamd64", or empty for any other code.
Processor::String PlatformDecoration(uint32_t platform);

// Replaces the detected HAL devices by the database's HAL list (nothing when it is empty).
void ReplaceHal(DeviceList& devices, const DeviceList& hals);

}  // namespace Transvia
