#pragma once

#include <memory>
#include <string>

#include "registry/reg_key.h"
#include "transvia/dir.h"
#include "transvia/error.h"

namespace Transvia {

// The registry of the target Windows installation, as hive files under its Windows
// folder. Keys handed out belong to this object and stay valid until it goes or
// Commit() releases them; null means not available.
class WindowsRegistry {
public:
    virtual ~WindowsRegistry() = default;
    virtual RegistryKey* Software() = 0;
    virtual RegistryKey* System() = 0;
    virtual RegistryKey* CurrentControlSet() = 0;
    virtual RegistryKey* Services() = 0;
    virtual RegistryKey* Enum() = 0;
    virtual RegistryKey* Class() = 0;
    // The Windows folder as the target sees it ("C:\WINDOWS"), or null.
    virtual const Processor::String* SystemRoot() = 0;
    // Edit SYSTEM on a copy in the temporary folder; takes effect at the first System().
    virtual void UseWorkingCopy() = 0;
    // Puts the working copy in place of "system" (atomically); releases the SYSTEM keys.
    virtual Common::Error Commit() = 0;
};

// A dirty hive is read and edited as recovered from its transaction logs, as `policy`
// says; the target's files change only when a hive is written.
std::unique_ptr<WindowsRegistry> CreateWindowsRegistry(std::shared_ptr<Common::rio_dir> windows,
                                                       const Common::HiveLogPolicy& policy = {});

// What `transvia inspect` shows of a target, read without writing anything.
struct WindowsRegistryInfo {
    std::string current_version;  // SOFTWARE ...\CurrentVersion "CurrentVersion"
    std::string build_number;     // "CurrentBuildNumber"
    std::string product_name;     // "ProductName"
    std::string control_set;      // "ControlSet001"
    std::string system_root;      // "C:\Windows"
    std::string problems;         // why something is missing, one line per cause
};
// `windows` is the target's Windows folder; nothing is created or written.
WindowsRegistryInfo InspectWindowsRegistry(const std::shared_ptr<Common::i_dir>& windows,
                                           const Common::HiveLogPolicy& policy = {});

}  // namespace Transvia
