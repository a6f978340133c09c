#pragma once

#include <memory>
#include <set>
#include <vector>

#include "hardware/device_database.h"
#include "inf/inf.h"
#include "inf/win_sources.h"
#include "registry/registry_path.h"
#include "registry/windows_registry.h"
#include "transvia/string.h"

// Removes what the old machine left in the target's SYSTEM hive before drivers for the
// new one are installed: services and class filters of old processor and system drivers,
// device instances of old storage controllers, start overrides, and the edits the
// hardware database names. Nothing here fails the install: every problem is traced and
// the cleanup goes on.
namespace Transvia {

class Cleaner {
public:
    virtual ~Cleaner() = default;
    virtual void Clean(WinSources& sources, WindowsRegistry& registry) = 0;
};

class CleanerImpl final : public Cleaner {
public:
    // Without a database the shipped one is loaded at each Clean (an empty one when it
    // cannot be); tests hand one in.
    explicit CleanerImpl(std::unique_ptr<DeviceDatabase> database = nullptr) : database_(std::move(database)) {}
    void Clean(WinSources& sources, WindowsRegistry& registry) override;

private:
    std::unique_ptr<DeviceDatabase> database_;
};

// Visits subkey names. Keys are listed before the first visit, so a visitor may delete
// the key it is given.
class EnumKeyCallback {
public:
    virtual ~EnumKeyCallback() = default;
    virtual void OnKey(const Processor::String& name) = 0;
};
// False when the key's subkeys cannot be listed.
bool EnumerateKeys(RegistryKey& key, EnumKeyCallback& callback);

// Cleans the driver keys of one device class (the subkeys 0000, 0001, ... of its key
// below Control\Class): the services their install sections add are disabled and taken
// out of the class filters, and the device instances their models name are deleted.
class InstanceCleaner {
public:
    // `skip`: services never to disable; the cleaner adds every service it disables.
    InstanceCleaner(WindowsRegistry& registry, WinSources& sources, const Processor::String& classGuid,
                    const std::vector<Processor::String>& skip);
    virtual ~InstanceCleaner() = default;
    virtual void HandleDriverKey(const Processor::String& name);
    virtual bool AcceptDriverKey(RegistryKey& driverKey) = 0;
    virtual bool AcceptService(const Processor::String& name) = 0;

    // Traces the class and handles each of its driver keys.
    void Run();

protected:
    // `sections`: the install section as the driver key names it, first as written, then
    // with the driver key's extension appended when it has one.
    void DisableServices(Inf& inf, const std::vector<Processor::String>& sections);
    void RemoveFromFilters(const Processor::String& service);
    // `driverKey`: the name of the driver key below the class key ("0003").
    void DeleteInstances(Inf& inf, const std::vector<Processor::String>& sections, const Processor::String& driverKey);
    void DeleteDeviceInstances(const Processor::String& hardwareId, const Processor::String& driver);
    bool Skipped(const Processor::String& service) const;

    WindowsRegistry& registry_;
    WinSources& sources_;
    Processor::String classGuid_;
    std::unique_ptr<RegistryKey> classKey_;
    std::set<Processor::String> skip_;  // upper-cased names
};

// Processors: every driver key and every service.
class ClassInstanceCleaner final : public InstanceCleaner {
public:
    using InstanceCleaner::InstanceCleaner;
    bool AcceptDriverKey(RegistryKey&) override { return true; }
    bool AcceptService(const Processor::String&) override { return true; }
};

// System devices: only drivers of PCI and ISA plug-and-play devices (or keys that do not
// say), and never the bus drivers themselves.
class SystemInstanceCleaner final : public InstanceCleaner {
public:
    using InstanceCleaner::InstanceCleaner;
    bool AcceptDriverKey(RegistryKey& driverKey) override;
    bool AcceptService(const Processor::String& name) override;
};

constexpr const char16_t* kProcessorClassGuid = u"{50127DC3-0F36-415E-A6CC-4CB3BE910B65}";
constexpr const char16_t* kSystemClassGuid = u"{4d36e97d-e325-11ce-bfc1-08002be10318}";
constexpr const char16_t* kHdcClassGuid = u"{4D36E96A-E325-11CE-BFC1-08002BE10318}";
constexpr const char16_t* kScsiAdapterClassGuid = u"{4D36E97B-E325-11CE-BFC1-08002BE10318}";

// An install section's name without its platform decoration: what follows the first
// ".NT", ".NTx86", ".NTamd64", ".NTia64", ".NTarm" or ".NTarm64" (any letter case) that
// ends the name or is followed by a dot is dropped. "IntelPPM_Inst.NT" gives
// "IntelPPM_Inst"; a name without decoration is returned as it is.
Processor::String UndecoratedSection(const Processor::String& section);

// A service name the cleanup may act on: not empty, and a single key name.
bool UsableServiceName(const Processor::String& name);

}  // namespace Transvia
