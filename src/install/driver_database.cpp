#include "install/driver_database.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "inf/architecture.h"
#include "inf/inf.h"
#include "install/driver_database_access.h"
#include "install/driver_database_records.h"
#include "install/name_generator.h"
#include "registry/hive_format.h"
#include "registry/registry_path.h"
#include "registry/windows_registry.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/trace_levels.h"
#include "transvia/codes.h"

namespace Transvia {

using Common::MessageTable::Get;
namespace Messages = Common::Messages;

using Common::file_reg;
using Processor::String;
using namespace Common::TraceLevel;
namespace Records = DriverDatabaseRecords;

namespace {

constexpr const char16_t* kDriverDatabase = u"DriverDatabase";
// Windows itself has a DriverDatabase from 6.2 (Windows 8) on.
constexpr TargetVersion kFirstDriverDatabaseVersion{6, 2};
// The configuration's ConfigScope in packages that ship with Windows 10 and later.
constexpr uint32_t kConfigScope = 7;

Common::Error Failed(uint32_t code, uint64_t site, uint32_t message, std::initializer_list<Processor::Variant> arguments)
{
    Common::Error error = Common::MakeError(code, site, Common::MessageTable::Text(message, arguments));
    Common::TraceError(kFailure, error);
    return error;
}

std::u16string View(const char16_t* text) { return text ? std::u16string(text) : std::u16string(); }

// Keys and values this registration wrote, for the assistant's record. Only the keys
// named after our package and published INF are ours as whole trees: Windows adds its own
// values under DeviceIds keys when it imports the real package, so there only our values
// are listed, never a key, even one created here.
class Writer {
public:
    Writer(file_reg root, DriverDatabaseWrites& writes) : root_(std::move(root)), writes_(writes) {}

    // Adds the owned trees by their paths; `Set` lists what it adds outside them.
    void Own(const DriverDatabasePath& path) { owned_.push_back(path); }

    bool Set(const DriverDatabasePath& path, std::u16string_view name, uint32_t type, const std::vector<uint8_t>& data)
    {
        file_reg key = Open(path);
        if (key.empty()) return false;
        uint32_t oldType = 0;
        std::vector<uint8_t> old;
        const bool existed = key.read_value(name, oldType, old);
        if (existed && oldType == type && old == data) return true;
        if (!key.set_value(name, data.data(), static_cast<uint32_t>(data.size()), type)) return false;
        if (!existed && !InCreated(path)) writes_.values.push_back(JoinPath(path) + u"\\" + std::u16string(name));
        return true;
    }

    bool SetText(const DriverDatabasePath& path, std::u16string_view name, std::u16string_view text)
    {
        return Set(path, name, Common::Hive::REG_SZ, Records::StringBytes(text));
    }
    bool SetDword(const DriverDatabasePath& path, std::u16string_view name, uint32_t value)
    {
        const std::vector<uint8_t> bytes{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                         static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        return Set(path, name, Common::Hive::REG_DWORD, bytes);
    }
    // A multi-string holding what it held plus `entry` (compared ignoring case).
    bool AddToList(const DriverDatabasePath& path, std::u16string_view name, const std::u16string& entry)
    {
        std::vector<std::u16string> list;
        if (file_reg key = FindPath(root_, path); !key.empty()) list = ReadList(key, name);
        if (std::none_of(list.begin(), list.end(), [&](const std::u16string& e) { return Processor::EqualNoCase(e, entry); }))
            list.push_back(entry);
        return Set(path, name, Common::Hive::REG_MULTI_SZ, Records::MultiStringBytes(list));
    }

private:
    file_reg Open(const DriverDatabasePath& path)
    {
        file_reg key = root_;
        DriverDatabasePath walked;
        for (const std::u16string& part : path) {
            walked.push_back(part);
            file_reg next = key.find_subkey(part);
            if (next.empty()) {
                next = key.create_subkey(part);
                if (next.empty()) return {};
                const bool ownedRoot = std::any_of(owned_.begin(), owned_.end(), [&](const DriverDatabasePath& o) {
                    return Processor::EqualNoCase(JoinPath(o), JoinPath(walked));
                });
                if (ownedRoot) writes_.keys.push_back(JoinPath(walked));
            }
            key = next;
        }
        return key;
    }

    bool InCreated(const DriverDatabasePath& path) const
    {
        const std::u16string joined = JoinPath(path);
        for (const std::u16string& key : writes_.keys)
            if (joined.size() >= key.size() && Processor::EqualNoCase(std::u16string_view(joined).substr(0, key.size()), key) &&
                (joined.size() == key.size() || joined[key.size()] == u'\\'))
                return true;
        return false;
    }

    file_reg root_;
    DriverDatabaseWrites& writes_;
    std::vector<DriverDatabasePath> owned_;
};

DriverDatabasePath Path(std::initializer_list<std::u16string> parts, const DriverDatabasePath& tail = {})
{
    DriverDatabasePath path{kDriverDatabase};
    path.insert(path.end(), parts.begin(), parts.end());
    path.insert(path.end(), tail.begin(), tail.end());
    return path;
}

// The oemN.inf name for the package: the one an earlier run gave it, else the name the
// INF was published under in the target's INF folder when that is an oemN.inf name still
// free in the database, else the lowest number free in OemInfMap, in the INF folder and
// among DriverInfFiles. Publication and registration then agree whenever they can; when
// they cannot, the database name is still one Windows will not hand out again.
std::optional<std::u16string> PublishedName(const file_reg& database, const std::vector<uint8_t>& oemMap,
                                            const DriverPackageRegistration& input, const std::u16string& package,
                                            const Common::i_dir* infFolder)
{
    const file_reg infFiles = database.find_subkey(u"DriverInfFiles");
    const file_reg existing = FindPath(database, {u"DriverPackages", package});
    if (!existing.empty()) {
        const std::optional<std::u16string> earlier = ReadText(existing, u"");
        if (earlier && IsKeyName(*earlier) && !infFiles.find_subkey(*earlier).empty()) return earlier;
        Common::Trace(kWarning, Get(Messages::kDriverDatabasePackageRewritten),
                      {String(package.c_str())});
    }
    const auto freeInDatabase = [&](uint32_t number, const std::u16string& name) {
        return !Records::OemBit(oemMap, number) && (infFiles.empty() || infFiles.find_subkey(name).empty());
    };
    if (const auto number = Records::OemNumber(input.publishedInf); number && freeInDatabase(*number, input.publishedInf))
        return input.publishedInf;
    // Numbering from 1 as the publication does; every real map has bit 0 set anyway.
    for (uint32_t number = 1; number <= kOemInfNameLimit; ++number) {
        const std::u16string name = u"oem" + U16(std::to_string(number)) + u".inf";
        if (freeInDatabase(number, name) && !(infFolder && infFolder->exists(String(name.c_str())))) return name;
    }
    return std::nullopt;
}

}  // namespace

DeviceDatabaseKind DeviceDatabaseOf(const file_reg& systemRoot)
{
    if (!systemRoot.find_subkey(kDriverDatabase).empty()) return DeviceDatabaseKind::kDriver;
    const file_reg select = systemRoot.find_subkey(u"Select");
    uint32_t type = 0, current = 1;
    std::vector<uint8_t> data;
    if (select.read_value(u"Current", type, data) && type == Common::Hive::REG_DWORD && data.size() == 4)
        current = data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24;
    std::string number = std::to_string(current);
    number.insert(0, number.size() < 3 ? 3 - number.size() : 0, '0');
    const file_reg database =
        FindPath(systemRoot, {u"ControlSet" + U16(number), u"Control", u"CriticalDeviceDatabase"});
    return database.empty() ? DeviceDatabaseKind::kNone : DeviceDatabaseKind::kCriticalDevice;
}

DeviceDatabaseKind InspectDeviceDatabase(const std::shared_ptr<Common::i_dir>& windows, const Common::HiveLogPolicy& policy)
{
    std::shared_ptr<Common::i_dir> config = windows ? windows->open_dir(u"System32\\config") : nullptr;
    Common::Error error;
    const file_reg root = config ? file_reg::open_hive(config, u"SYSTEM", error, policy) : file_reg();
    return DeviceDatabaseOf(root);
}

DeviceDatabaseKind DeviceDatabaseWritten(DeviceDatabaseKind present, const TargetVersion& version)
{
    if (version.major == 0) return DeviceDatabaseKind::kNone;
    if (VersionBelow(version, kFirstDriverDatabaseVersion)) {
        if (version.major < 5) return DeviceDatabaseKind::kNone;
        // UsesDriverDatabase binds in a DriverDatabase the hive has, whatever SOFTWARE says.
        return present == DeviceDatabaseKind::kDriver ? DeviceDatabaseKind::kBoth : DeviceDatabaseKind::kCriticalDevice;
    }
    return present == DeviceDatabaseKind::kDriver ? DeviceDatabaseKind::kDriver : DeviceDatabaseKind::kNone;
}

const char* DeviceDatabaseName(DeviceDatabaseKind kind)
{
    switch (kind) {
    case DeviceDatabaseKind::kCriticalDevice: return "CriticalDeviceDatabase";
    case DeviceDatabaseKind::kDriver: return "DriverDatabase";
    case DeviceDatabaseKind::kBoth: return "CriticalDeviceDatabase and DriverDatabase";
    default: return "none";
    }
}

Common::Error UsesDriverDatabase(WindowsRegistry& registry, const TargetVersion& version, uint32_t platform, bool& use)
{
    use = false;
    const file_reg root = HiveKeyOf(registry.System());
    const file_reg database = root.find_subkey(kDriverDatabase);
    const bool newer = !VersionBelow(version, kFirstDriverDatabaseVersion);
    if (database.empty()) {
        if (newer)
            Common::Trace(kWarning, Get(Messages::kDriverDatabaseMissing),
                          {version.major, version.minor, String(kDriverDatabase)});
        return {};
    }
    // Only Windows 8 and later make this key. When SOFTWARE names an older version, one of
    // the two is wrong: the critical device entries the older version reads are written as
    // before, and the binding here is written too, as a Windows that does not read it
    // ignores it while a newer one cannot boot without it.
    if (!newer)
        Common::Trace(kWarning, Get(Messages::kDriverDatabaseUnexpected),
                      {version.major, version.minor, String(kDriverDatabase)});
    uint32_t type = 0;
    std::vector<uint8_t> data;
    const std::optional<uint16_t> expected = Records::ArchitectureCode(platform);
    if (!database.read_value(u"Architecture", type, data) || type != Common::Hive::REG_DWORD || data.size() != 4) {
        Common::Trace(kWarning, Get(Messages::kDriverDatabaseNoArchitecture));
    } else if (const uint32_t recorded = data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24;
               !expected || recorded != *expected) {
        return Failed(Common::Codes::kDriverDatabaseMismatch, TV_HERE,
                      Messages::kDriverDatabaseOtherArchitecture,
                      {recorded, String(View(InfPlatform::ArchitectureText(platform)).c_str())});
    }
    // "Version" is major << 24 | minor << 16 of the Windows that keeps the database; a
    // SOFTWARE hive that says otherwise is worth a warning, not a refusal.
    if (database.read_value(u"Version", type, data) && type == Common::Hive::REG_DWORD && data.size() == 4 &&
        (data[3] != version.major || data[2] != version.minor))
        Common::Trace(kWarning, Get(Messages::kDriverDatabaseOtherVersion),
                      {uint32_t(data[3]), uint32_t(data[2]), version.major, version.minor});
    use = true;
    return {};
}

DriverPackageRegistration DescribeDriverPackage(Inf& inf, Section& installSection, Section* models,
                                                const std::vector<String>& deviceIds, const String& infName,
                                                const String& service)
{
    DriverPackageRegistration input;
    input.infName = U16(infName);
    input.service = U16(service);
    input.classGuid = View(inf.GetClassGuid());
    const std::u16string resolved = View(installSection.GetName());
    input.configuration = resolved;
    if (Section* version = inf.FindSection(u"Version")) {
        if (SectionEntry* driverVer = version->FindEntry(u"DriverVer")) {
            input.driverVerDate = View(driverVer->GetField(0));
            input.driverVerVersion = View(driverVer->GetField(1));
        }
        if (SectionEntry* provider = version->FindEntry(u"Provider"))
            input.provider = View(inf.ExpandString(provider->GetField(0), nullptr));
    }
    if (SectionEntry* score = installSection.FindEntry(u"FeatureScore")) {
        const std::string text = Processor::ToUtf8(View(score->GetField(0)));
        char* end = nullptr;
        const unsigned long value = text.empty() ? 256 : std::strtoul(text.c_str(), &end, 0);
        if (end && *end == 0 && value <= 0xFF)
            input.featureScore = static_cast<uint8_t>(value);
        else
            Common::Trace(kWarning, Get(Messages::kFeatureScoreUnreadable),
                          {Processor::FromUtf8(text)});
    }
    if (models == nullptr) return input;

    const auto matchesDevice = [&](const char16_t* id) {
        return id && std::any_of(deviceIds.begin(), deviceIds.end(),
                                 [&](const String& d) { return Processor::EqualNoCase(std::u16string_view(id), U16(d)); });
    };
    for (uint32_t l = 0; l < models->GetEntryCount(); ++l) {
        SectionEntry* line = models->GetEntry(static_cast<int32_t>(l));
        if (line == nullptr || line->GetFieldCount() < 2) continue;
        // The line names the undecorated section; the resolved one adds ".NTamd64" and the like.
        const std::u16string install = View(line->GetField(0));
        if (install.empty() || resolved.size() < install.size() ||
            !Processor::EqualNoCase(std::u16string_view(resolved).substr(0, install.size()), install) ||
            (resolved.size() > install.size() && resolved[install.size()] != u'.'))
            continue;
        bool relevant = false;
        for (uint32_t f = 1; f < line->GetFieldCount(); ++f) relevant = relevant || matchesDevice(line->GetField(static_cast<int32_t>(f)));
        if (!relevant) continue;
        // The INF's own spelling of the section, as Windows keeps it.
        input.configuration = install + resolved.substr(install.size());
        for (uint32_t f = 1; f < line->GetFieldCount(); ++f) {
            const std::u16string id = View(line->GetField(static_cast<int32_t>(f)));
            if (id.empty()) continue;
            const uint8_t role = f == 1 ? Records::IdRole::kHardware : Records::IdRole::kCompatible;
            auto known = std::find_if(input.ids.begin(), input.ids.end(),
                                      [&](const ModelsId& m) { return Processor::EqualNoCase(m.id, id); });
            if (known == input.ids.end()) {
                input.ids.push_back({id, role, static_cast<uint16_t>(f >= 2 ? f - 2 : 0)});
                continue;
            }
            if (role == Records::IdRole::kCompatible && !(known->roles & role)) known->position = static_cast<uint16_t>(f - 2);
            known->roles = static_cast<uint8_t>(known->roles | role);
        }
    }
    return input;
}

bool ServedByExistingPackage(WindowsRegistry& registry, const DeviceIds& device, const String& service,
                             String* package)
{
    const file_reg database = HiveKeyOf(registry.System()).find_subkey(kDriverDatabase);
    if (database.empty()) return false;
    const std::u16string wanted = U16(service);
    for (const std::string& narrow : device) {
        std::u16string id;
        for (unsigned char c : narrow) id.push_back(static_cast<char16_t>(c));
        const DriverDatabasePath parts = SplitDeviceId(id);
        if (parts.empty()) continue;
        DriverDatabasePath idPath{u"DeviceIds"};
        idPath.insert(idPath.end(), parts.begin(), parts.end());
        const file_reg entries = FindPath(database, idPath);
        for (const std::u16string& inf : ValueNames(entries)) {
            const std::optional<std::u16string> active = ReadText(FindPath(database, {u"DriverInfFiles", inf}), u"Active");
            if (!active || !IsKeyName(*active)) continue;
            const file_reg packageKey = FindPath(database, {u"DriverPackages", *active});
            DriverDatabasePath descriptor{u"Descriptors"};
            descriptor.insert(descriptor.end(), parts.begin(), parts.end());
            const std::optional<std::u16string> configuration = ReadText(FindPath(packageKey, descriptor), u"Configuration");
            if (!configuration || !IsKeyName(*configuration)) continue;
            const std::optional<std::u16string> bound =
                ReadText(FindPath(packageKey, {u"Configurations", *configuration}), u"Service");
            if (!bound || !Processor::EqualNoCase(*bound, wanted)) continue;
            Common::Trace(kNotable, Get(Messages::kDriverDatabaseAlreadyBound),
                          {String(active->c_str()), String(id.c_str()), service});
            if (package) *package = String(active->c_str());
            return true;
        }
    }
    return false;
}

Common::Error RegisterDriverPackage(WindowsRegistry& registry, const TargetVersion& version, uint32_t platform,
                                    const DriverPackageRegistration& input, const Common::i_dir* infFolder,
                                    DriverDatabaseWrites& writes)
{
    writes = {};
    const file_reg root = HiveKeyOf(registry.System());
    const file_reg database = root.find_subkey(kDriverDatabase);
    const std::optional<uint16_t> architecture = Records::ArchitectureCode(platform);
    if (database.empty() || !architecture)
        return Failed(Common::Codes::kDriverDatabaseUnusable, TV_HERE,
                      Messages::kDriverDatabaseNone, {String(input.infName.c_str())});

    // Everything is checked before the first write, so that a refused candidate leaves
    // the database as it was.
    const std::optional<std::array<uint8_t, 16>> classGuid = Records::ParseGuid(input.classGuid);
    if (!classGuid)
        return Failed(Common::Codes::kDriverPackageNoClass, TV_HERE,
                      Messages::kDriverPackageNoClassGuid, {String(input.infName.c_str()), String(input.classGuid.c_str())});
    if (!IsKeyName(input.infName) || !IsKeyName(input.configuration) || !IsKeyName(input.service))
        return Failed(Common::Codes::kDriverDatabaseUnusable, TV_HERE,
                      Messages::kDriverDatabaseNamesUnusable, {String(input.infName.c_str())});
    std::vector<std::pair<DriverDatabasePath, const ModelsId*>> ids;
    for (const ModelsId& id : input.ids) {
        DriverDatabasePath parts = SplitDeviceId(id.id);
        if (parts.empty())
            Common::Trace(kWarning, Get(Messages::kDriverDatabaseIdPassedOver),
                          {String(id.id.c_str())});
        else
            ids.emplace_back(std::move(parts), &id);
    }
    if (ids.empty())
        return Failed(Common::Codes::kDriverDatabaseUnusable, TV_HERE,
                      Messages::kDriverDatabaseNoId, {String(input.infName.c_str())});
    uint32_t mapType = Common::Hive::REG_BINARY;
    std::vector<uint8_t> oemMap;
    if (database.read_value(u"OemInfMap", mapType, oemMap) && mapType != Common::Hive::REG_BINARY)
        return Failed(Common::Codes::kDriverDatabaseUnusable, TV_HERE,
                      Messages::kOemInfMapType, {mapType});

    const Records::DriverVer driverVer = Records::ParseDriverVer(input.driverVerDate, input.driverVerVersion);
    if (!driverVer.dateRead || !driverVer.versionRead)
        Common::Trace(kWarning, Get(Messages::kDriverVerPartial),
                      {String(input.driverVerDate.c_str()), String(input.driverVerVersion.c_str()),
                       String(input.infName.c_str())});

    writes.package = Records::PackageName(input.infName, View(InfPlatform::ArchitectureText(platform)));
    const std::optional<std::u16string> published = PublishedName(database, oemMap, input, writes.package, infFolder);
    if (!published)
        return Failed(Common::Codes::kUniqueNamesExhausted, TV_HERE, Messages::kNoFreeOemName,
                      {String(input.infName.c_str())});
    writes.publishedName = *published;
    Common::Trace(kNotable, Get(Messages::kDriverDatabaseRegistered),
                  {String(input.infName.c_str()), String(published->c_str()), String(writes.package.c_str())});

    Writer writer(root, writes);
    writer.Own(Path({u"DriverInfFiles", *published}));
    writer.Own(Path({u"DriverPackages", writes.package}));
    bool written = true;
    if (const auto number = Records::OemNumber(*published); number && !Records::OemBit(oemMap, *number)) {
        Records::SetOemBit(oemMap, *number);
        file_reg key = database;
        written = key.set_value(std::u16string_view(u"OemInfMap"), oemMap.data(), static_cast<uint32_t>(oemMap.size()), Common::Hive::REG_BINARY);
    }
    for (const auto& [parts, id] : ids) {
        const auto value = Records::DeviceIdValue(id->roles, input.featureScore, id->position);
        written = written && writer.Set(Path({u"DeviceIds"}, parts), *published, Common::Hive::REG_BINARY,
                                        std::vector<uint8_t>(value.begin(), value.end()));
    }
    const DriverDatabasePath infFile = Path({u"DriverInfFiles", *published});
    written = written && writer.AddToList(infFile, u"", writes.package) &&
              writer.SetText(infFile, u"Active", writes.package) &&
              writer.AddToList(infFile, u"Configurations", input.configuration);
    const DriverDatabasePath package = Path({u"DriverPackages", writes.package});
    const auto blob = Records::VersionBlob(false, *architecture, *classGuid, driverVer);
    written = written && writer.SetText(package, u"", *published) &&
              writer.Set(package, u"Version", Common::Hive::REG_BINARY, std::vector<uint8_t>(blob.begin(), blob.end())) &&
              writer.SetText(package, u"InfName", input.infName) &&
              (input.provider.empty() || writer.SetText(package, u"Provider", input.provider));
    const DriverDatabasePath configuration = Path({u"DriverPackages", writes.package, u"Configurations", input.configuration});
    written = written && writer.SetText(configuration, u"Service", input.service) &&
              writer.SetDword(configuration, u"ConfigFlags", 0) &&
              (version.major < 10 || writer.SetDword(configuration, u"ConfigScope", kConfigScope));
    for (const auto& [parts, id] : ids)
        written = written && writer.SetText(Path({u"DriverPackages", writes.package, u"Descriptors"}, parts),
                                            u"Configuration", input.configuration);
    if (!written)
        return Failed(Common::Codes::kRegistryOperationFailed, TV_HERE,
                      Messages::kDriverDatabaseNotWritten, {String(input.infName.c_str())});
    return {};
}

}  // namespace Transvia
