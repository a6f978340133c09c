#include "install/cleaner.h"

#include <string_view>

#include "hardware/registry_operation.h"
#include "registry/registry_path.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/trace_levels.h"
#include "transvia/codes.h"

namespace Transvia {

using Common::MessageTable::Get;
namespace Messages = Common::Messages;

using Processor::String;

namespace {

using namespace Common::TraceLevel;

// INF decorations whose services sections an old driver may have used; the target's
// own architecture does not matter, the old install section may be any of them.
constexpr const char16_t* kDecorations[] = {u"ntx86", u"ntamd64", u"ntia64"};

class NameCollector final : public EnumKeyCallback {
public:
    void OnKey(const String& name) override { names.push_back(name); }
    std::vector<String> names;
};

// A service the target lacks is left absent: a key holding only "Start" would be a
// broken service entry that Windows reports at every start. True when it is disabled now.
bool DisableService(RegistryKey* services, const String& name)
{
    auto key = services ? OpenExistingKey(*services, name) : nullptr;
    if (services && !key) {
        Common::Trace(kDetail, Get(Messages::kDisableServiceAbsent), {name});
        return false;
    }
    const bool disabled = key && key->SetDword(u"Start", 4);
    if (disabled)
        Common::Trace(kNotable, u"DisableService: Successfully disable boot startup of '{0}'.", {name});
    else
        Common::Trace(kFailure, u"DisableService: Failed to disable boot startup of '{0}'.", {name});
    return disabled;
}

// Hands each driver key of a class to its cleaner.
class InstanceEnumer final : public EnumKeyCallback {
public:
    explicit InstanceEnumer(InstanceCleaner& cleaner) : cleaner_(cleaner) {}
    void OnKey(const String& name) override { cleaner_.HandleDriverKey(name); }

private:
    InstanceCleaner& cleaner_;
};

// Deletes the "StartOverride" subkey of each service it is shown.
class RemoveStartOverrideKey final : public EnumKeyCallback {
public:
    explicit RemoveStartOverrideKey(RegistryKey& services) : services_(services) {}
    void OnKey(const String& service) override
    {
        auto key = services_.OpenKey(service);
        if (!key)
            return;
        NameCollector subkeys;
        EnumerateKeys(*key, subkeys);
        for (const String& name : subkeys.names) {
            if (!Processor::EqualNoCase(name, String(u"StartOverride")))
                continue;
            if (key->DeleteKey(name))
                Common::Trace(kDetail, Get(Messages::kCleanupValueRemoved), {service, name});
            else
                Common::Trace(kWarning, Get(Messages::kCleanupValueNotRemoved), {service, name});
        }
    }

private:
    RegistryKey& services_;
};

// Deletes the instances of one PCI device whose class is a storage controller class: the
// old controllers' instances would otherwise claim the boot device on the new machine.
class PciEnumCleaner final : public EnumKeyCallback {
public:
    explicit PciEnumCleaner(RegistryKey& pci) : pci_(pci) {}
    void OnKey(const String& device) override
    {
        auto deviceKey = pci_.OpenKey(device);
        if (!deviceKey) {
            Common::Trace(kFailure, u"Cleanup: Unable to open '{0}' to cleanup.", {device});
            return;
        }
        NameCollector instances;
        if (!EnumerateKeys(*deviceKey, instances)) {
            Common::Trace(kFailure, u"Cleanup: Unable to enumerate '{0}' instance subkeys.", {device});
            return;
        }
        for (const String& instance : instances.names)
            CleanInstance(*deviceKey, device, instance);
    }

private:
    void CleanInstance(RegistryKey& deviceKey, const String& device, const String& instance)
    {
        const String path = device + String(u"\\") + instance;
        auto key = deviceKey.OpenKey(instance);
        if (!key) {
            Common::Trace(kFailure, u"Cleanup: Unable to open '{0}' to cleanup.", {path});
            return;
        }
        uint32_t type = 0;
        uint32_t size = 0;
        if (!key->QueryValue(u"ClassGUID", type, nullptr, size)) {
            Common::Trace(kFailure, u"Cleanup: Unable to get class guid size.");
            return;
        }
        std::u16string data(size / 2 + 1, u'\0');
        if (!key->QueryValue(u"ClassGUID", type, data.data(), size)) {
            Common::Trace(kFailure, u"Cleanup: Unable to get class guid.");
            return;
        }
        if (type != RegistryKey::TypeString) {
            Common::Trace(kFailure, u"Cleanup: Class guid has incompatible type.");
            return;
        }
        const String guid(data.c_str());
        if (!Processor::EqualNoCase(guid, String(kHdcClassGuid)) &&
            !Processor::EqualNoCase(guid, String(kScsiAdapterClassGuid)))
            return;
        key.reset();
        Common::Trace(kNotable, u"Cleanup: Cleanup instance '{0}'.", {path});
        if (!deviceKey.DeleteKey(instance))
            Common::Trace(kFailure, u"Cleanup: Failed to delete instance key '{0}'.", {path});
    }

    RegistryKey& pci_;
};

void StopServices(WindowsRegistry& registry, DeviceDatabase& database)
{
    std::vector<String> names;
    database.ServicesToStop(names);
    for (const String& name : names) {
        if (name.isEmpty())
            continue;
        if (!UsableServiceName(name)) {
            Common::Trace(kWarning, Get(Messages::kDisableServiceRefused), {name});
            continue;
        }
        DisableService(registry.Services(), name);
    }
}

void RemoveStartOverrides(WindowsRegistry& registry)
{
    Common::Error failure;
    RegistryKey* services = registry.Services();
    if (!services) {
        failure = Common::MakeError(Common::Codes::kCleanServicesKey, TV_HERE, u"Services");
    } else {
        RemoveStartOverrideKey remover(*services);
        if (!EnumerateKeys(*services, remover))
            failure = Common::MakeError(Common::Codes::kCleanEnumeration, TV_HERE, u"Services");
    }
    if (failure.failed())
        Common::TraceError(kFailure, Common::MakeError(Common::Codes::kCleanCustomStep, TV_HERE, u"StartOverride", failure));
}

void ApplyRegistryOperations(WindowsRegistry& registry, DeviceDatabase& database)
{
    std::vector<RegistryOperationRecord> records;
    database.RegistryOperations(records);
    for (const RegistryOperationRecord& record : records) {
        try {
            MakeRegistryOperation(record)->Apply(registry);
        } catch (const Common::Error& error) {
            Common::TraceError(kWarning, error);
        }
    }
}

void RemovePciStorageInstances(WindowsRegistry& registry)
{
    RegistryKey* enumKey = registry.Enum();
    auto pci = enumKey ? enumKey->OpenKey(u"PCI") : nullptr;
    if (!pci) {
        Common::Trace(kFailure, u"Cleanup: Unable to open '{0}' to cleanup.", {String(u"PCI")});
        return;
    }
    PciEnumCleaner cleaner(*pci);
    if (!EnumerateKeys(*pci, cleaner))
        Common::Trace(kFailure, u"Cleanup: Unable to enumerate '{0}' instance subkeys.", {String(u"PCI")});
}

void CustomClean(WindowsRegistry& registry, DeviceDatabase& database)
{
    Common::Trace(kNotable, u"Perform custom clean.");
    StopServices(registry, database);
    RemoveStartOverrides(registry);
    ApplyRegistryOperations(registry, database);
    RemovePciStorageInstances(registry);
}

}  // namespace

bool EnumerateKeys(RegistryKey& key, EnumKeyCallback& callback)
{
    std::vector<String> names;
    if (!key.EnumSubkeys([&names](const String& name) { names.push_back(name); }))
        return false;
    for (const String& name : names)
        callback.OnKey(name);
    return true;
}

InstanceCleaner::InstanceCleaner(WindowsRegistry& registry, WinSources& sources, const String& classGuid,
                                 const std::vector<String>& skip)
    : registry_(registry), sources_(sources), classGuid_(classGuid)
{
    if (RegistryKey* classes = registry_.Class())
        classKey_ = classes->OpenKey(classGuid_);
    for (const String& name : skip)
        skip_.insert(Processor::UpCased(name));
}

bool InstanceCleaner::Skipped(const String& service) const
{
    return skip_.count(Processor::UpCased(service)) != 0;
}

void InstanceCleaner::Run()
{
    Common::Trace(kNotable, u"Cleanup: Clean '{0}'.", {classGuid_});
    InstanceEnumer enumer(*this);
    if (!classKey_ || !EnumerateKeys(*classKey_, enumer))
        Common::Trace(kFailure, u"Cleanup: Unable to check subkeys.");
}

void InstanceCleaner::HandleDriverKey(const String& name)
{
    auto driverKey = classKey_ ? classKey_->OpenKey(name) : nullptr;
    if (!driverKey || !AcceptDriverKey(*driverKey))
        return;
    String infPath;
    String infSection;
    String extension;
    if (!ReadStringValue(*driverKey, u"InfPath", infPath) || infPath.isEmpty())
        return;
    if (!ReadStringValue(*driverKey, u"InfSection", infSection))
        return;
    // Windows XP and 7 keep the decoration of the section they installed apart ("InfSection"
    // "IntelPPM_Inst", "InfSectionExt" ".NT"); the services are those of the section as
    // installed, "IntelPPM_Inst.NT.Services".
    std::vector<String> sections{infSection};
    if (ReadStringValue(*driverKey, u"InfSectionExt", extension) && !extension.isEmpty())
        sections.push_back(infSection + extension);
    driverKey.reset();

    Common::rio_dir* infDir = sources_.GetInfDir(true);
    auto file = infDir ? infDir->open_file(infPath) : nullptr;
    if (!file) {
        Common::Trace(kWarning, u"Cleanup: Unable to open '{0}'.", {infPath});
        return;
    }
    ParseError error;
    std::unique_ptr<Inf> inf = ParseInf(*file, nullptr, &error, 0);
    if (!inf) {
        Common::Trace(kWarning, u"Cleanup: Unable to parse '{0}'.", {infPath});
        return;
    }
    DisableServices(*inf, sections);
    DeleteInstances(*inf, sections, name);
}

void InstanceCleaner::DisableServices(Inf& inf, const std::vector<String>& installed)
{
    std::vector<String> sections;
    for (const String& section : installed)
        sections.push_back(section + String(u".Services"));
    for (const char16_t* decoration : kDecorations)
        sections.push_back(installed.front() + String(u".") + String(decoration) + String(u".Services"));

    std::vector<String> names;
    for (String& sectionName : sections) {
        Section* services = inf.FindSection(Processor::Terminated(sectionName));
        if (!services)
            continue;
        for (uint32_t i = 0; i < services->GetEntryCount(); ++i) {
            SectionEntry* entry = services->GetEntry(static_cast<int32_t>(i));
            if (!entry || !entry->GetKey() || !Processor::EqualNoCase(std::u16string_view(entry->GetKey()), std::u16string_view(u"AddService")))
                continue;
            const char16_t* field = entry->GetField(0);
            if (!field || *field == u'\0' || Skipped(field))
                continue;
            if (!UsableServiceName(field)) {
                Common::Trace(kWarning, Get(Messages::kDisableServiceRefused), {String(field)});
                continue;
            }
            bool listed = false;
            for (const String& name : names)
                listed = listed || Processor::EqualNoCase(name, String(field));
            if (!listed)
                names.emplace_back(field);
        }
    }

    for (const String& name : names) {
        // A service the hook keeps running still leaves the filter lists: the class's
        // filters belong to the old drivers' devices.
        if (AcceptService(name)) {
            if (DisableService(registry_.Services(), name))
                skip_.insert(Processor::UpCased(name));
        }
        RemoveFromFilters(name);
    }
}

void InstanceCleaner::RemoveFromFilters(const String& service)
{
    if (!classKey_)
        return;
    for (const char16_t* valueName : {u"LowerFilters", u"UpperFilters"}) {
        std::vector<String> list;
        if (!ReadMultiStringValue(*classKey_, valueName, list))
            continue;  // missing, or not a list: not ours to repair
        std::vector<String> kept;
        for (const String& entry : list)
            if (!Processor::EqualNoCase(entry, service))
                kept.push_back(entry);
        if (kept.size() == list.size())
            continue;
        // An empty filter list is removed rather than left as an empty value.
        const bool updated = kept.empty() ? classKey_->DeleteValue(valueName) : WriteMultiStringValue(*classKey_, valueName, kept);
        if (updated)
            Common::Trace(kDetail, Get(Messages::kCleanupFilterRemoved), {service, String(valueName), classGuid_});
        else
            Common::Trace(kWarning, Get(Messages::kCleanupFilterNotUpdated), {String(valueName), classGuid_});
    }
}

void InstanceCleaner::DeleteInstances(Inf& inf, const std::vector<String>& sections, const String& driverKey)
{
    Section* manufacturer = inf.FindSection(u"Manufacturer");
    if (!manufacturer || !registry_.Enum())
        return;
    // Models lines name the install section without its decoration while Windows 10 keeps
    // the decorated name in "InfSection" ("IntelPPM_Inst" against "IntelPPM_Inst.NT"), so
    // the undecorated name counts too. This goes past what the documented driver key
    // layout promises; it is what real Windows 7 and 10 hives hold.
    const String undecorated = UndecoratedSection(sections.back());
    auto installs = [&](const String& install) {
        for (const String& section : sections)
            if (Processor::EqualNoCase(install, section))
                return true;
        return Processor::EqualNoCase(install, undecorated);
    };
    const String driver = classGuid_ + u"\\" + driverKey;
    for (uint32_t i = 0; i < manufacturer->GetEntryCount(); ++i) {
        SectionEntry* line = manufacturer->GetEntry(static_cast<int32_t>(i));
        const char16_t* models = line ? line->GetField(0) : nullptr;
        if (!models || *models == u'\0')
            continue;
        // The plain models section and the decorated ones the line names after it.
        std::vector<String> names{String(models)};
        for (uint32_t f = 1; f < line->GetFieldCount(); ++f)
            if (const char16_t* decoration = line->GetField(static_cast<int32_t>(f)); decoration && *decoration)
                names.push_back(String(models) + String(u".") + String(decoration));
        for (String& name : names) {
            Section* modelsSection = inf.FindSection(Processor::Terminated(name));
            if (!modelsSection)
                continue;
            for (uint32_t m = 0; m < modelsSection->GetEntryCount(); ++m) {
                SectionEntry* model = modelsSection->GetEntry(static_cast<int32_t>(m));
                const char16_t* install = model ? model->GetField(0) : nullptr;
                const char16_t* hardwareId = model ? model->GetField(1) : nullptr;
                if (install && hardwareId && *hardwareId != u'\0' && installs(String(install)))
                    DeleteDeviceInstances(String(hardwareId), driver);
            }
        }
    }
}

void InstanceCleaner::DeleteDeviceInstances(const String& hardwareId, const String& driver)
{
    RegistryKey& enumKey = *registry_.Enum();
    const std::vector<String> parts = SplitKeyPath(hardwareId);
    if (parts.size() < 2) {
        // "PCI" alone would name every PCI device of the machine. Identifiers such as
        // "*PNP0A03" are compatible identifiers that never name a device key.
        if (!hardwareId.startsWith(String(u"*")))
            Common::Trace(kWarning, Get(Messages::kCleanupDeviceRefused), {hardwareId});
        return;
    }
    if (OpenExistingKey(enumKey, hardwareId)) {
        if (DeleteKeyPath(enumKey, hardwareId))
            Common::Trace(kDetail, Get(Messages::kCleanupDeviceDeleted), {hardwareId});
        else
            Common::Trace(kWarning, Get(Messages::kCleanupDeviceNotDeleted), {hardwareId});
    }
    if (parts.size() != 2)
        return;
    // Windows names a device key after the device's most specific identifier
    // ("VEN_80EE&DEV_CAFE&SUBSYS_00000000&REV_00", "GenuineIntel_-_EM64T_Family_6_Model_37")
    // while models lines give a shorter one. Instances of such keys go when their "Driver"
    // value names the very driver key being cleaned, so nothing another driver serves is
    // touched.
    auto enumerator = OpenExistingKey(enumKey, parts[0]);
    NameCollector devices;
    if (!enumerator || !EnumerateKeys(*enumerator, devices))
        return;
    const String prefix = Processor::UpCased(parts[1]);
    for (const String& device : devices.names) {
        const String upper = Processor::UpCased(device);
        if (upper.length() <= prefix.length() || !upper.startsWith(prefix) ||
            (upper.charAt(prefix.length()) != u'&' && upper.charAt(prefix.length()) != u'_'))
            continue;
        auto deviceKey = enumerator->OpenKey(device);
        NameCollector instances;
        if (!deviceKey || !EnumerateKeys(*deviceKey, instances))
            continue;
        size_t deleted = 0;
        for (const String& instance : instances.names) {
            auto instanceKey = deviceKey->OpenKey(instance);
            String bound;
            if (!instanceKey || !ReadStringValue(*instanceKey, u"Driver", bound) || !Processor::EqualNoCase(bound, driver))
                continue;
            instanceKey.reset();
            const String path = parts[0] + u"\\" + device + u"\\" + instance;
            if (deviceKey->DeleteKey(instance)) {
                ++deleted;
                Common::Trace(kDetail, Get(Messages::kCleanupDeviceDeleted), {path});
            } else {
                Common::Trace(kWarning, Get(Messages::kCleanupDeviceNotDeleted), {path});
            }
        }
        // A device key whose every instance went is removed with them.
        if (deleted != 0 && deleted == instances.names.size()) {
            deviceKey.reset();
            enumerator->DeleteKey(device);
        }
    }
}

bool SystemInstanceCleaner::AcceptDriverKey(RegistryKey& driverKey)
{
    String matching;
    if (!ReadStringValue(driverKey, u"MatchingDeviceId", matching))
        return true;
    const String upper = Processor::UpCased(matching);
    return upper.startsWith(String(u"PCI\\")) || upper.startsWith(String(u"ISAPNP\\"));
}

bool SystemInstanceCleaner::AcceptService(const String& name)
{
    // The bus drivers themselves serve the new machine as well.
    const String upper = Processor::UpCased(name);
    return !upper.startsWith(String(u"PCI")) && !upper.startsWith(String(u"ISAPNP"));
}

String UndecoratedSection(const String& section)
{
    static const char16_t* const kPlatforms[] = {u"", u"X86", u"AMD64", u"IA64", u"ARM", u"ARM64"};
    const String upper = Processor::UpCased(section);
    for (int32_t at = upper.indexOf(String(u".NT")); at > 0; at = upper.indexOf(String(u".NT"), at + 1)) {
        const int32_t after = at + 3;
        for (const char16_t* platform : kPlatforms) {
            const String tail(platform);
            const int32_t end = after + tail.length();
            if (upper.compare(after, tail.length(), tail) == 0 && (end == upper.length() || upper.charAt(end) == u'.'))
                return String(section, 0, at);
        }
    }
    return section;
}

bool UsableServiceName(const String& name)
{
    return !name.isEmpty() && name.indexOf(u'\\') < 0;
}

void CleanerImpl::Clean(WinSources& sources, WindowsRegistry& registry)
{
    std::unique_ptr<DeviceDatabase> loaded;
    DeviceDatabase* database = database_.get();
    if (!database) {
        loaded = LoadDeviceDatabase();
        if (!loaded)
            loaded = std::make_unique<EmptyDeviceDatabase>();
        database = loaded.get();
    }
    std::vector<String> skip;
    database->ServicesToSkip(skip);

    ClassInstanceCleaner processors(registry, sources, kProcessorClassGuid, skip);
    processors.Run();
    SystemInstanceCleaner system(registry, sources, kSystemClassGuid, skip);
    system.Run();
    CustomClean(registry, *database);
}

}  // namespace Transvia
