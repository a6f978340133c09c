#pragma once

#include <cstdint>

#include "transvia/string.h"

namespace Transvia {

class Inf;
class Section;
class WindowsRegistry;
class WinSources;

// SPSVCINST_ bits of an AddService line that take effect.
namespace ServiceFlags {
constexpr uint32_t kAssociateService = 0x00000002;
constexpr uint32_t kKeepDisplayName = 0x00000008;
constexpr uint32_t kKeepStart = 0x00000010;
constexpr uint32_t kKeepErrorControl = 0x00000020;
constexpr uint32_t kKeepGroup = 0x00000040;
constexpr uint32_t kKeepDependencies = 0x00000080;
constexpr uint32_t kKeepDescription = 0x00000100;
}  // namespace ServiceFlags

// Installs the services named by the "AddService" lines of the services section `section`
// (and, through Needs and Include, of a section of another INF in the target's INF
// folder). `associatedService`, when given, receives the service the device runs on; a
// top-level call clears it first. False when the section is missing, a flags field does
// not read, a service-install section is missing or a service cannot be written; what was
// written before stays.
bool InstallServices(Inf& inf, const Processor::String& section, WindowsRegistry& registry, WinSources& sources,
                     Processor::String* associatedService, bool topLevel);

// Writes one service key from its service-install section. False on a missing or
// unreadable ServiceType, StartType or ErrorControl, a missing or refused ServiceBinary, a
// failed write of Type, Start, ErrorControl or ImagePath, a failed AddReg, or a service name
// that is not a single key name. The service key is never deleted.
bool AddService(Inf& inf, uint32_t flags, const Processor::String& serviceName, Section& installSection,
                WindowsRegistry& registry);

// Creates the event-log source `path` below Services ("Eventlog\System\name") and runs the
// AddReg sections of `section` with it as HKR. Failures are traced only.
void AddEventLog(Inf& inf, const Processor::String& path, Section& section, WindowsRegistry& registry);

}  // namespace Transvia
