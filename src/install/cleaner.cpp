#include "install/cleaner.h"

#include <string_view>

#include "hardware/registry_operation.h"
#include "support/errors.h"
#include "support/text.h"
#include "support/trace.h"
#include "transvia/codes.h"

namespace Transvia {

using Processor::String;

namespace {

constexpr int32_t kDetail = 1;
constexpr int32_t kNotable = 2;
constexpr int32_t kWarning = 3;
constexpr int32_t kFailure = 4;

// INF decorations whose services sections an old driver may have used; the target's
// own architecture does not matter, the old install section may be any of them.
constexpr const char16_t* kDecorations[] = {u"ntx86", u"ntamd64", u"ntia64"};

class NameCollector final : public EnumKeyCallback {
public:
    void OnKey(const String& name) override { names.push_back(name); }
    std::vector<String> names;
};

String Terminated(const std::vector<char16_t>& data)
{
    return String(data.data(), static_cast<int32_t>(std::u16string_view(data.data()).size()));
}

// A REG_MULTI_SZ value as its strings, up to the first empty one.
bool ReadMultiString(RegistryKey& key, const String& name, std::vector<String>& list)
{
    uint32_t type = 0;
    uint32_t size = 0;
    if (!key.QueryValue(name, type, nullptr, size) || type != RegistryKey::TypeMultiString)
        return false;
    std::vector<char16_t> data(size / 2 + 2, u'\0');
    if (!key.QueryValue(name, type, data.data(), size))
        return false;
    for (size_t at = 0; at < data.size() && data[at] != u'\0';) {
        const std::u16string_view entry(&data[at]);
        list.emplace_back(entry.data(), static_cast<int32_t>(entry.size()));
        at += entry.size() + 1;
    }
    return true;
}

bool WriteMultiString(RegistryKey& key, const String& name, const std::vector<String>& list)
{
    std::u16string packed;
    for (const String& entry : list) {
        packed.append(reinterpret_cast<const char16_t*>(entry.getBuffer()), static_cast<size_t>(entry.length()));
        packed.push_back(u'\0');
    }
    packed.push_back(u'\0');
    return key.SetMultiString(name, packed.c_str());
}

bool DisableStart(RegistryKey* services, const String& name)
{
    if (!services)
        return false;
    auto key = services->OpenKey(name);
    return key && key->SetDword(u"Start", 4);
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
                Common::Trace(kDetail, u"Cleanup: Removed '{0}\\{1}'.", {service, name});
            else
                Common::Trace(kWarning, u"Cleanup: Unable to remove '{0}\\{1}'.", {service, name});
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
        std::vector<char16_t> data(size / 2 + 1, u'\0');
        if (!key->QueryValue(u"ClassGUID", type, data.data(), size)) {
            Common::Trace(kFailure, u"Cleanup: Unable to get class guid.");
            return;
        }
        if (type != RegistryKey::TypeString) {
            Common::Trace(kFailure, u"Cleanup: Class guid has incompatible type.");
            return;
        }
        const String guid = Terminated(data);
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
        if (DisableStart(registry.Services(), name))
            Common::Trace(kNotable, u"DisableService: Successfully disable boot startup of '{0}'.", {name});
        else
            Common::Trace(kFailure, u"DisableService: Failed to disable boot startup of '{0}'.", {name});
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

bool ReadStringValue(RegistryKey& key, const String& name, String& text)
{
    uint32_t type = 0;
    uint32_t size = 0;
    if (!key.QueryValue(name, type, nullptr, size))
        return false;
    if (type != RegistryKey::TypeString && type != RegistryKey::TypeExpandString)
        return false;
    std::vector<char16_t> data(size / 2 + 1, u'\0');
    if (!key.QueryValue(name, type, data.data(), size))
        return false;
    text = Terminated(data);
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
    if (!ReadStringValue(*driverKey, u"InfPath", infPath) || infPath.isEmpty())
        return;
    if (!ReadStringValue(*driverKey, u"InfSection", infSection))
        return;
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
    DisableServices(*inf, infSection);
    DeleteInstances(*inf, infSection);
}

void InstanceCleaner::DisableServices(Inf& inf, const String& section)
{
    std::vector<String> sections{section + String(u".Services")};
    for (const char16_t* decoration : kDecorations)
        sections.push_back(section + String(u".") + String(decoration) + String(u".Services"));

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
            bool listed = false;
            for (const String& name : names)
                listed = listed || Processor::EqualNoCase(name, String(field));
            if (!listed)
                names.emplace_back(field);
        }
    }

    for (const String& name : names) {
        if (!AcceptService(name))
            continue;
        if (DisableStart(registry_.Services(), name)) {
            Common::Trace(kNotable, u"DisableService: Successfully disable boot startup of '{0}'.", {name});
            skip_.insert(Processor::UpCased(name));
        } else {
            Common::Trace(kFailure, u"DisableService: Failed to disable boot startup of '{0}'.", {name});
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
        if (!ReadMultiString(*classKey_, valueName, list))
            continue;  // missing, or not a list: not ours to repair
        std::vector<String> kept;
        for (const String& entry : list)
            if (!Processor::EqualNoCase(entry, service))
                kept.push_back(entry);
        if (kept.size() == list.size())
            continue;
        // An empty filter list is removed rather than left as an empty value.
        const bool updated = kept.empty() ? classKey_->DeleteValue(valueName) : WriteMultiString(*classKey_, valueName, kept);
        if (updated)
            Common::Trace(kDetail, u"Cleanup: Removed '{0}' from '{1}' of '{2}'.", {service, String(valueName), classGuid_});
        else
            Common::Trace(kWarning, u"Cleanup: Unable to update '{0}' of '{1}'.", {String(valueName), classGuid_});
    }
}

void InstanceCleaner::DeleteInstances(Inf& inf, const String& section)
{
    Section* manufacturer = inf.FindSection(u"Manufacturer");
    RegistryKey* enumKey = registry_.Enum();
    if (!manufacturer || !enumKey)
        return;
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
                if (!install || !hardwareId || *hardwareId == u'\0' || !Processor::EqualNoCase(String(install), section))
                    continue;
                if (!OpenExistingKey(*enumKey, hardwareId))
                    continue;  // nothing left of that device
                if (DeleteKeyPath(*enumKey, hardwareId))
                    Common::Trace(kDetail, u"Cleanup: Deleted device key '{0}'.", {String(hardwareId)});
                else
                    Common::Trace(kWarning, u"Cleanup: Unable to delete device key '{0}'.", {String(hardwareId)});
            }
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
