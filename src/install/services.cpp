#include "install/services.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "inf/inf.h"
#include "inf/win_sources.h"
#include "install/add_reg.h"
#include "install/cleaner.h"
#include "install/safe_names.h"
#include "install/service_groups.h"
#include "install/string_list.h"
#include "registry/registry_path.h"
#include "registry/windows_registry.h"
#include "support/parse_number.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/trace_levels.h"
#include "support/message_table.h"

namespace Transvia {

// Texts from the message table, by number.
using Common::MessageTable::Get;
namespace Messages = Common::Messages;

using Processor::String;

namespace {

using namespace Common::TraceLevel;

// Needs/Include chains are followed this deep; an INF that includes itself would
// otherwise recurse until the stack runs out.
constexpr int kMaxNeedsDepth = 4;

bool KeyIs(const SectionEntry& entry, const char16_t* key)
{
    const char16_t* own = entry.GetKey();
    return own && Processor::EqualNoCase(std::u16string_view(own), std::u16string_view(key));
}

String Raw(const SectionEntry& entry, uint32_t index)
{
    const char16_t* field = index < entry.GetFieldCount() ? entry.GetField(static_cast<int32_t>(index)) : nullptr;
    return field ? String(field) : String();
}

String Substituted(Inf& inf, const char16_t* field, ExternalVariables* resolver = nullptr)
{
    const char16_t* expanded = field ? inf.ExpandString(field, resolver) : nullptr;
    return expanded ? String(expanded) : String();
}

// Field 0 of the line `key` of a service-install section, string-substituted; false when
// there is no such line.
bool Lookup(Inf& inf, Section& section, const char16_t* key, String& value, ExternalVariables* resolver = nullptr)
{
    SectionEntry* entry = section.FindEntry(key);
    if (!entry)
        return false;
    value = Substituted(inf, entry->GetField(0), resolver);
    return true;
}

bool ValueExists(RegistryKey& key, const char16_t* name)
{
    uint32_t type = 0, size = 0;
    return key.QueryValue(name, type, nullptr, size);
}

// A service key name must be one key below Services.
bool PlainServiceName(const String& name)
{
    return UsableServiceName(name) && name != String(u".") && name != String(u"..");
}

// ImagePath is read by the loader relative to the system root; a ".." component would let
// a driver package point the boot at a file outside the Windows folder.
bool ImagePathStaysInside(const String& path)
{
    int32_t start = 0;
    while (start <= path.length()) {
        int32_t end = start;
        while (end < path.length() && path.charAt(end) != u'\\' && path.charAt(end) != u'/')
            ++end;
        if (String(path, start, end - start).trim() == String(u".."))
            return false;
        start = end + 1;
    }
    return true;
}

// "Type", "Start" or "ErrorControl" from its INF line: the line must be there and read as a
// number. With `keep` an existing value stays.
bool WriteNumber(Inf& inf, Section& section, RegistryKey& key, const String& service, const char16_t* infKey,
                 const char16_t* valueName, bool keep)
{
    String text;
    uint64_t number = 0;
    if (!Lookup(inf, section, infKey, text) || text.isEmpty() || !Processor::ParseNumber(text, number)) {
        Common::Trace(kFailure, Get(Messages::kServiceNumberMissing), {service, String(infKey)});
        return false;
    }
    if (keep && ValueExists(key, valueName))
        return true;
    if (!key.SetDword(valueName, static_cast<uint32_t>(number))) {
        Common::Trace(kFailure, Get(Messages::kServiceValueNotWritten), {service, String(valueName)});
        return false;
    }
    return true;
}

void WriteOptionalString(Inf& inf, Section& section, RegistryKey& key, const char16_t* infKey,
                         const char16_t* valueName, bool keep)
{
    String text;
    if (!Lookup(inf, section, infKey, text) || text.isEmpty())
        return;
    if (keep && ValueExists(key, valueName))
        return;
    key.SetString(valueName, text, false);  // a display text is no reason to fail the service
}

const char16_t* EventLogOf(const String& type)
{
    if (Processor::EqualNoCase(type, String(u"Security")))
        return u"Eventlog\\Security";
    if (Processor::EqualNoCase(type, String(u"Application")))
        return u"Eventlog\\Application";
    return u"Eventlog\\System";  // empty, "System" and anything unknown
}

// Driver services of a group that Control\GroupOrderList orders load by their "Tag": the
// position of the tag in the group's list is the load position. A new driver takes the
// first listed tag no service of the group holds yet, or else one past the highest tag in
// use (it then loads after the listed ones). A service that already has a tag keeps it.
void AssignTag(WindowsRegistry& registry, RegistryKey& key, const String& service, const String& group)
{
    uint32_t type = 0, size = 4, current = 0;
    if (key.QueryValue(u"Tag", type, &current, size))
        return;
    RegistryKey* cs = registry.CurrentControlSet();
    RegistryKey* services = registry.Services();
    auto orderList = cs ? OpenExistingKey(*cs, u"Control\\GroupOrderList") : nullptr;
    std::vector<uint32_t> listed;
    size = 0;
    if (!services || !orderList || !orderList->QueryValue(group, type, nullptr, size) || size < 4 ||
        size > 4 * 4096 || type != RegistryKey::TypeBinary)
        return;  // the group does not order by tags
    std::vector<uint32_t> words(size / 4 + 1, 0);
    if (!orderList->QueryValue(group, type, words.data(), size))
        return;
    const size_t count = std::min<size_t>(words[0], size / 4 - 1);
    listed.assign(words.begin() + 1, words.begin() + 1 + static_cast<std::ptrdiff_t>(count));

    std::vector<String> names;
    services->EnumSubkeys([&](const String& name) { names.push_back(name); });
    std::vector<uint32_t> used;
    for (const String& name : names) {
        if (Processor::EqualNoCase(name, service))
            continue;
        auto other = OpenExistingKey(*services, name);
        String otherGroup;
        uint32_t tag = 0;
        size = 4;
        if (other && ReadStringValue(*other, u"Group", otherGroup) && Processor::EqualNoCase(otherGroup, group) &&
            other->QueryValue(u"Tag", type, &tag, size) && type == RegistryKey::TypeDword)
            used.push_back(tag);
    }
    auto inUse = [&](uint32_t tag) { return std::find(used.begin(), used.end(), tag) != used.end(); };
    uint32_t tag = 0;
    for (uint32_t candidate : listed)
        if (candidate != 0 && !inUse(candidate)) {
            tag = candidate;
            break;
        }
    if (tag == 0) {
        for (uint32_t t : used) tag = std::max(tag, t);
        for (uint32_t t : listed) tag = std::max(tag, t);
        ++tag;
    }
    if (!key.SetDword(u"Tag", tag))
        Common::Trace(kWarning, Get(Messages::kServiceValueNotWritten), {service, String(u"Tag")});
}

// Runs the AddReg sections named by every "AddReg" line of `section` with `context` as
// HKR; the first error ends the run and is traced.
bool RunAddRegLines(Inf& inf, Section& section, const RegistryContext& context, WindowsRegistry& registry)
{
    const uint32_t count = section.GetEntryCount();
    for (uint32_t i = 0; i < count; ++i) {
        SectionEntry* entry = section.GetEntry(static_cast<int32_t>(i));
        if (!entry || !KeyIs(*entry, u"AddReg"))
            continue;  // DelReg and the rest are not carried out
        for (uint32_t f = 0; f < entry->GetFieldCount(); ++f) {
            const String name = Raw(*entry, f);
            if (name.isEmpty())
                continue;
            if (Common::Error error = AddReg(inf, name, &context, registry); error.failed()) {
                Common::TraceError(kFailure, error);
                return false;
            }
        }
    }
    return true;
}

bool InstallServicesAt(Inf& inf, const String& section, WindowsRegistry& registry, WinSources& sources,
                       String* associated, bool topLevel, int depth);

// Needs with Include: the named section of an INF in the target's INF folder. Only a
// failing install of that section fails the caller; a missing or unreadable file does not.
bool InstallNeeds(Section& services, const SectionEntry& needs, WindowsRegistry& registry,
                  WinSources& sources, String* associated, int depth)
{
    SectionEntry* include = services.FindEntry(u"Include");
    if (!include)
        return true;
    const String file = Raw(*include, 0);
    const String dependent = Raw(needs, 0);
    if (file.isEmpty() || dependent.isEmpty())
        return true;
    if (!IsPlainFileName(file)) {
        Common::Trace(kWarning, Get(Messages::kServicesIncludeRefused), {String(services.GetName()), file});
        return true;
    }
    if (depth >= kMaxNeedsDepth) {
        Common::Trace(kWarning, Get(Messages::kServicesNeedsTooDeep), {String(services.GetName()), file});
        return true;
    }
    Common::rio_dir* folder = sources.GetInfDir(true);
    std::shared_ptr<Common::i_file> stream = folder ? folder->open_file(file) : nullptr;
    std::unique_ptr<Inf> included = stream ? ParseInf(*stream, nullptr, nullptr, 0) : nullptr;
    if (!included)
        return true;
    return InstallServicesAt(*included, dependent, registry, sources, associated, false, depth + 1);
}

bool InstallServicesAt(Inf& inf, const String& section, WindowsRegistry& registry, WinSources& sources,
                       String* associated, bool topLevel, int depth)
{
    String lookup(section);
    Section* services = inf.FindSection(lookup.getTerminatedBuffer());
    if (!services) {
        Common::Trace(kWarning, u"InstallServices: No service section '{0}' found", {section});
        return false;
    }
    Common::Trace(kDetail, u"InstallServices: Section {0}", {section});
    if (topLevel && associated)
        associated->remove();

    const uint32_t count = services->GetEntryCount();
    for (uint32_t i = 0; i < count; ++i) {
        SectionEntry* entry = services->GetEntry(static_cast<int32_t>(i));
        if (!entry || !entry->GetKey() || *entry->GetKey() == u'\0')
            continue;
        if (KeyIs(*entry, u"Needs")) {
            if (!InstallNeeds(*services, *entry, registry, sources, associated, depth))
                return false;
            continue;
        }
        if (!KeyIs(*entry, u"AddService"))
            continue;  // DelService and anything else: services are never deleted

        const String name = Raw(*entry, 0);
        if (name.isEmpty()) {
            Common::Trace(kDetail, u"InstallServices({0}): Skip empty service.", {section});
            continue;
        }
        uint64_t flags = 0;
        const String flagText = entry->GetFieldCount() > 1 ? Substituted(inf, entry->GetField(1)) : String();
        if (!flagText.isEmpty() && !Processor::ParseNumber(flagText, flags)) {
            Common::Trace(kFailure, Get(Messages::kServicesFlagsNotNumber), {section, flagText, name});
            return false;
        }
        const String installName = Raw(*entry, 2);
        String installLookup(installName);
        Section* install = installName.isEmpty() ? nullptr : inf.FindSection(installLookup.getTerminatedBuffer());
        if (!install) {
            Common::Trace(kFailure, Get(Messages::kServicesNoInstallSection),
                          {section, installName, name});
            return false;
        }
        if (!AddService(inf, static_cast<uint32_t>(flags), name, *install, registry))
            return false;

        if (associated && (flags & ServiceFlags::kAssociateService)) {
            if (associated->isEmpty()) {
                *associated = name;
            } else if (SectionEntry* group = install->FindEntry(u"LoadOrderGroup")) {
                if (IsListedServiceGroup(Raw(*group, 0))) {
                    *associated = name;
                    Common::Trace(kDetail, u"InstallServices({0}): Replace associated service.", {section});
                } else {
                    Common::Trace(kDetail, u"InstallServices({0}): Omit associated service '{1}'.", {section, name});
                }
            }
        }

        const String logSectionName = Raw(*entry, 3);
        String logLookup(logSectionName);
        Section* logSection = logSectionName.isEmpty() ? nullptr : inf.FindSection(logLookup.getTerminatedBuffer());
        if (logSection) {
            String source = Raw(*entry, 5);
            if (source.isEmpty())
                source = name;
            if (PlainServiceName(source))
                AddEventLog(inf, String(EventLogOf(Raw(*entry, 4))) + u"\\" + source, *logSection, registry);
            else
                Common::Trace(kWarning, Get(Messages::kServicesEventSourceRefused), {section, source});
        }
    }
    return true;
}

}  // namespace

bool InstallServices(Inf& inf, const String& section, WindowsRegistry& registry, WinSources& sources,
                     String* associatedService, bool topLevel)
{
    return InstallServicesAt(inf, section, registry, sources, associatedService, topLevel, 0);
}

bool AddService(Inf& inf, uint32_t flags, const String& serviceName, Section& section, WindowsRegistry& registry)
{
    RegistryKey* services = registry.Services();
    std::unique_ptr<RegistryKey> key;
    if (!PlainServiceName(serviceName)) {
        Common::Trace(kFailure, Get(Messages::kServiceNameRefused), {serviceName});
        return false;
    }
    if (services)
        key = services->CreateKey(serviceName);
    if (!key) {
        Common::Trace(kFailure, Get(Messages::kServiceKeyNotOpened), {serviceName});
        return false;
    }
    Common::Trace(kDetail, u"AddService({0})", {serviceName});

    WriteOptionalString(inf, section, *key, u"DisplayName", u"DisplayName", flags & ServiceFlags::kKeepDisplayName);
    WriteOptionalString(inf, section, *key, u"Description", u"Description", flags & ServiceFlags::kKeepDescription);
    if (!WriteNumber(inf, section, *key, serviceName, u"ServiceType", u"Type", false) ||
        !WriteNumber(inf, section, *key, serviceName, u"StartType", u"Start", flags & ServiceFlags::kKeepStart) ||
        !WriteNumber(inf, section, *key, serviceName, u"ErrorControl", u"ErrorControl",
                     flags & ServiceFlags::kKeepErrorControl))
        return false;

    // Image paths stay relative to the system root ("System32\drivers\x.sys"), as Windows
    // writes them, so the fixed directory texts are used rather than the target's drive.
    MapWindowsDirectoy relative;
    String image;
    if (!Lookup(inf, section, u"ServiceBinary", image, &relative) || image.isEmpty()) {
        Common::Trace(kFailure, Get(Messages::kServiceBinaryMissing), {serviceName});
        return false;
    }
    if (!ImagePathStaysInside(image)) {
        Common::Trace(kFailure, Get(Messages::kServiceImagePathRefused), {serviceName, image});
        return false;
    }
    if (!key->SetString(u"ImagePath", image, true)) {
        Common::Trace(kFailure, Get(Messages::kServiceValueNotWritten), {serviceName, String(u"ImagePath")});
        return false;
    }

    WriteOptionalString(inf, section, *key, u"LoadOrderGroup", u"Group", flags & ServiceFlags::kKeepGroup);
    String group;
    uint32_t serviceType = 0, size = 4, valueType = 0;
    if (ReadStringValue(*key, u"Group", group) && !group.isEmpty() &&
        key->QueryValue(u"Type", valueType, &serviceType, size) && (serviceType == 1 || serviceType == 2))
        AssignTag(registry, *key, serviceName, group);  // kernel and file-system drivers only
    if (SectionEntry* dependencies = section.FindEntry(u"Dependencies")) {
        const String first = Substituted(inf, dependencies->GetField(0));
        if (!first.isEmpty() && !((flags & ServiceFlags::kKeepDependencies) && ValueExists(*key, u"DependOnService"))) {
            StringList list;
            list.Append(first);
            for (uint32_t i = 1; i < dependencies->GetFieldCount(); ++i)
                list.Append(Substituted(inf, dependencies->GetField(static_cast<int32_t>(i))));
            key->SetMultiString(u"DependOnService", list.Build().c_str());
        }
    }

    return RunAddRegLines(inf, section, RegistryContext{RegistryContext::ServiceKey, serviceName}, registry);
}

void AddEventLog(Inf& inf, const String& path, Section& section, WindowsRegistry& registry)
{
    RegistryKey* services = registry.Services();
    std::unique_ptr<RegistryKey> key = services ? services->CreateKey(path) : nullptr;
    if (!key)
        return;
    key.reset();  // AddReg opens it again as its HKR
    Common::Trace(kDetail, u"AddEventLog({0})", {path});
    RunAddRegLines(inf, section, RegistryContext{RegistryContext::EventLogKey, path}, registry);
}

}  // namespace Transvia
