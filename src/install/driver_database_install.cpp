#include "install/driver_database_install.h"

#include <algorithm>
#include <set>

#include "hardware/registry_operation.h"
#include "install/driver_database_access.h"
#include "install/safe_names.h"
#include "registry/registry_path.h"
#include "support/copy.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/trace_levels.h"
#include "transvia/codes.h"

namespace Transvia {

using Common::MessageTable::Get;
using Common::MessageTable::Text;
namespace Messages = Common::Messages;

using Processor::String;
using namespace Common::TraceLevel;

namespace {

constexpr const char16_t* kCurrentVersionKey = u"Microsoft\\Windows\\CurrentVersion";
constexpr const char16_t* kDevicePath = u"DevicePath";
// What Windows searches when DevicePath is missing.
constexpr const char16_t* kDefaultDevicePath = u"%SystemRoot%\\inf";

String StagedFolder(const String& package) { return String(kStagedDriversFolder) + u"\\" + package; }

// Where a layout record puts its file below the package folder.
String LayoutPath(const FileRecord& record)
{
    String path;
    for (const String* part : {&record.diskPath, &record.filePath}) {
        String trimmed = *part;
        while (trimmed.startsWith(u"\\") || trimmed.startsWith(u"/")) trimmed.remove(0, 1);
        while (trimmed.endsWith(u"\\") || trimmed.endsWith(u"/")) trimmed.truncate(trimmed.length() - 1);
        if (trimmed.isEmpty() || trimmed == u".") continue;
        path.append(path.isEmpty() ? u"" : u"\\").append(trimmed);
    }
    return path;
}

std::vector<String> SplitList(const String& text)
{
    std::vector<String> entries;
    int32_t start = 0;
    while (start <= text.length()) {
        int32_t end = text.indexOf(u';', start);
        if (end < 0) end = text.length();
        String entry = text.tempSubString(start, end - start);
        entry.trim();
        if (!entry.isEmpty()) entries.push_back(entry);
        start = end + 1;
    }
    return entries;
}

// The entries of an earlier record kept, those of this registration added once.
std::vector<String> Merged(RegistryKey& record, const char16_t* name, const std::vector<std::u16string>& added)
{
    std::vector<String> list;
    ReadMultiStringValue(record, name, list);
    for (const std::u16string& entry : added)
        if (std::none_of(list.begin(), list.end(), [&](const String& e) { return Processor::EqualNoCase(U16(e), entry); }))
            list.push_back(Str(entry));
    return list;
}

}  // namespace

bool MakeServiceBootable(WindowsRegistry& registry, const String& service)
{
    RegistryKey* services = registry.Services();
    if (services == nullptr || service.isEmpty()) return false;
    const bool gone = DeleteKeyPath(*services, service + u"\\StartOverride");
    if (!gone) Common::Trace(kWarning, Get(Messages::kStartOverrideNotDeleted), {service});
    return gone;
}

Common::Error StageDriverPackage(WinSources& sources, const Common::i_dir& packageFolder, const DriverSources& files,
                                 const String& infName, const String& package)
{
    Common::rio_dir* windows = sources.GetWindowsDir();
    Common::Error error;
    std::shared_ptr<Common::rio_dir> staged = windows ? OpenOrCreateFolder(*windows, StagedFolder(package), error) : nullptr;
    if (!staged)
        return Common::MakeError(Common::Codes::kCopyFilesFailed, TV_HERE,
                                 Text(Messages::kStagingFolderNotCreated, {package}), error);
    if (!IsPlainFileName(infName))
        return Common::MakeError(Common::Codes::kCopyNameRefused, TV_HERE, Text(Messages::kNotPlainFileName, {infName}));
    if (error = Common::CopyFile(packageFolder, infName, *staged, infName); error.failed()) return error;

    std::set<std::u16string> copied{U16(Processor::UpCased(infName))};
    for (uint32_t i = 0; i < files.Count(); ++i) {
        const FileRecord* record = files.Record(i);
        if (record == nullptr) break;
        const String folder = LayoutPath(*record);
        const String relative = folder.isEmpty() ? record->name : folder + u"\\" + record->name;
        if (!copied.insert(U16(Processor::UpCased(relative))).second) continue;
        if (!IsPlainFileName(record->name) || !IsRelativeBeneath(folder)) {
            Common::Trace(kWarning, Get(Messages::kStageLeavesPackage), {relative});
            continue;
        }
        if (!packageFolder.exists(relative)) {
            Common::Trace(kDetail, Get(Messages::kStageNotInPackage), {relative});
            continue;
        }
        std::shared_ptr<Common::rio_dir> target = folder.isEmpty() ? staged : OpenOrCreateFolder(*staged, folder, error);
        if (target) error = Common::CopyFile(packageFolder, relative, *target, record->name);
        if (!target || error.failed())
            Common::TraceError(kWarning, Common::MakeError(Common::Codes::kCopyFilesFailed, TV_HERE,
                                                           Text(Messages::kStagingFileFailed, {relative}), error));
    }
    return {};
}

bool AddToDevicePath(WindowsRegistry& registry, const String& package)
{
    RegistryKey* software = registry.Software();
    std::unique_ptr<RegistryKey> key = software ? OpenExistingKey(*software, kCurrentVersionKey) : nullptr;
    if (!key) key = software ? software->CreateKey(kCurrentVersionKey) : nullptr;
    if (!key) {
        Common::Trace(kWarning, Get(Messages::kStageSoftwareKeyNotOpened),
                      {String(kCurrentVersionKey)});
        return false;
    }
    uint32_t type = RegistryKey::TypeExpandString, size = 0;
    String text;
    const bool exists = key->QueryValue(kDevicePath, type, nullptr, size);
    if (exists && !ReadStringValue(*key, kDevicePath, text)) {
        Common::Trace(kWarning, Get(Messages::kStageDevicePathType));
        return false;
    }
    const bool expand = !exists || type == RegistryKey::TypeExpandString;
    // A plain string is not expanded, so it gets the folder as the target sees it.
    const String* systemRoot = expand ? nullptr : registry.SystemRoot();
    const String entry = (systemRoot ? *systemRoot : String(u"%SystemRoot%")) + u"\\" + StagedFolder(package);
    std::vector<String> entries = SplitList(exists ? text : String(kDefaultDevicePath));
    if (std::any_of(entries.begin(), entries.end(), [&](const String& e) { return Processor::EqualNoCase(e, entry); }))
        return true;
    String joined = exists ? text : String(kDefaultDevicePath);
    while (joined.endsWith(u";")) joined.truncate(joined.length() - 1);
    joined.append(joined.isEmpty() ? u"" : u";").append(entry);
    if (key->SetString(kDevicePath, joined, expand)) return true;
    Common::Trace(kWarning, Get(Messages::kStageDevicePathNotWritten));
    return false;
}

bool RecordDriverPackage(WindowsRegistry& registry, const DriverDatabaseWrites& writes, const String& infName)
{
    RegistryKey* services = registry.Services();
    const String path = String(kAssistantService) + u"\\" + kPackagesKey + u"\\" + Str(writes.package);
    std::unique_ptr<RegistryKey> record = services ? services->CreateKey(path) : nullptr;
    const bool written =
        record &&
        record->SetString(u"Inf", u"%SystemRoot%\\" + StagedFolder(Str(writes.package)) + u"\\" + infName, true) &&
        record->SetString(u"PublishedName", Str(writes.publishedName), false) &&
        WriteMultiStringValue(*record, u"Keys", Merged(*record, u"Keys", writes.keys)) &&
        WriteMultiStringValue(*record, u"Values", Merged(*record, u"Values", writes.values));
    if (!written) Common::Trace(kWarning, Get(Messages::kPackageRecordNotWritten), {Str(writes.package)});
    return written;
}

Common::Error RegisterBootDriver(WindowsRegistry& registry, WinSources& sources, const TargetVersion& version,
                                 uint32_t platform, const DriverPackageRegistration& input,
                                 const Common::i_dir& packageFolder, const DriverSources& files, const DeviceIds& device)
{
    const String service = Str(input.service);
    MakeServiceBootable(registry, service);
    bool use = false;
    if (Common::Error error = UsesDriverDatabase(registry, version, platform, use); error.failed() || !use) return error;
    if (ServedByExistingPackage(registry, device, service)) return {};

    DriverDatabaseWrites writes;
    if (Common::Error error = RegisterDriverPackage(registry, version, platform, input, sources.GetInfDir(false), writes);
        error.failed())
        return error;
    const String infName = Str(input.infName);
    // The boot entries are written: a package that cannot be staged leaves the device
    // bootable, only without the later import; the record still lists what to remove.
    if (Common::Error error = StageDriverPackage(sources, packageFolder, files, infName, Str(writes.package)); error.failed())
        Common::TraceError(kWarning, error);
    else
        AddToDevicePath(registry, Str(writes.package));
    RecordDriverPackage(registry, writes, infName);
    return {};
}

}  // namespace Transvia
