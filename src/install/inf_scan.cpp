#include "install/inf_scan.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <set>
#include <string_view>
#include <utility>

#include "registry/registry_path.h"
#include "support/errors.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/message_table.h"

namespace Transvia {

// Texts from the message table, by number.
using Common::MessageTable::Get;
namespace Messages = Common::Messages;

namespace {

// Subfolder nesting a recursive location may have; deeper folders are not driver packages.
constexpr int kMaxFolderDepth = 32;

struct InfFile {
    std::shared_ptr<Common::i_dir> folder;   // the folder holding the file
    std::shared_ptr<Common::i_dir> location; // the search location it was found under
    Processor::String name;
    bool preferred = false;
};

// Whether `name` upper-cased ends with (or, with `whole`, is) `upper`; unit by unit,
// as UpCased would compare, without making the upper-cased copy for every file.
bool UpperMatches(const Processor::String& name, std::u16string_view upper, bool whole)
{
    const int32_t length = name.length(), size = static_cast<int32_t>(upper.size());
    if (length < size || (whole && length != size)) return false;
    for (int32_t i = 0; i < size; ++i)
        if (Processor::UpCase(name.charAt(length - size + i)) != upper[static_cast<size_t>(i)]) return false;
    return true;
}

bool IsInfName(const Processor::String& name)
{
    return UpperMatches(name, u".INF", false) && !UpperMatches(name, u"LAYOUT.INF", true);
}

// Identity of a folder, so that a link back up the tree is entered only once.
struct FolderKey {
    uint64_t device, inode;
    auto operator<=>(const FolderKey&) const = default;
};

void ListFolder(const std::shared_ptr<Common::i_dir>& folder, const SearchLocation& location, bool preferred,
                bool recursive, int depth, std::set<FolderKey>& seen, std::vector<InfFile>& files)
{
    Common::file_identifier id;
    if (folder->identify(id) && !seen.insert({id.device, id.inode}).second) return;
    auto entries = folder->entries();
    if (!entries) return;
    std::vector<Processor::String> subfolders;
    Common::dir_entry entry;
    while (entries->next(entry)) {
        if (entry.is_dir) {
            if (recursive) subfolders.push_back(entry.name);
        } else if (IsInfName(entry.name)) {
            files.push_back({folder, location.folder, entry.name, preferred});
        }
    }
    if (depth >= kMaxFolderDepth) return;
    for (const Processor::String& name : subfolders)
        if (auto sub = folder->open_dir(name)) ListFolder(sub, location, preferred, recursive, depth + 1, seen, files);
}

std::unique_ptr<RegistryKey> CurrentVersionKey(WindowsRegistry& registry, Common::Error& error)
{
    RegistryKey* software = registry.Software();
    if (software == nullptr) {
        error = Common::MakeError(Common::Codes::kRegistryOpenFailed, TV_HERE, Get(Messages::kSoftwareHiveUnreadable));
        return nullptr;
    }
    auto key = OpenExistingKey(*software, u"Microsoft\\Windows NT\\CurrentVersion");
    if (!key)
        error = Common::MakeError(Common::Codes::FromSystemError(ENOENT), TV_HERE,
                                  Get(Messages::kCurrentVersionKeyMissing));
    return key;
}

bool ReadDword(RegistryKey& key, const Processor::String& name, uint32_t& value)
{
    uint32_t type = 0, size = sizeof(value);
    return key.QueryValue(name, type, &value, size) && type == RegistryKey::TypeDword && size == sizeof(value);
}

}  // namespace

std::vector<Processor::String> BootCriticalClasses()
{
    return {u"{4D36E96A-E325-11CE-BFC1-08002BE10318}", u"{4D36E97B-E325-11CE-BFC1-08002BE10318}",
            u"{4D36E966-E325-11CE-BFC1-08002BE10318}", u"{4d36e97d-e325-11ce-bfc1-08002be10318}",
            u"{50127DC3-0F36-415E-A6CC-4CB3BE910B65}", u"{36FC9E60-C465-11CF-8056-444553540000}",
            u"{18AFF41B-E184-4fe2-8218-BACC7758257F}"};
}

uint32_t ClassGuidFilter::Check(Inf& inf) { return CheckClassGuid(inf, classes_); }

uint32_t CheckClassGuid(Inf& inf, const std::vector<Processor::String>& classes)
{
    const char16_t* guid = inf.GetClassGuid();
    if (guid == nullptr) return Common::Codes::kInvalidFormat;
    for (const Processor::String& accepted : classes)
        if (Processor::EqualNoCase(std::u16string_view(guid), std::u16string_view(accepted.getBuffer(), accepted.length())))
            return 0;
    return Common::Codes::kInfClassRejected;
}

bool FilterInfByCLSID::Accept(Inf& inf, Section& section)
{
    if (!Processor::EqualNoCase(std::u16string_view(section.GetName()), u"version")) return true;
    if (filters_.empty()) return true;
    for (InfFilter* filter : filters_) {
        const uint32_t code = filter->Check(inf);
        if (code == 0) return true;
        if (code == Common::Codes::kCancelled || code == Common::Codes::kInfClassRejected) return false;
    }
    return false;
}

LocationFlags FlagsOf(const std::vector<SearchLocation>& locations, const Common::i_dir& folder)
{
    for (const SearchLocation& location : locations)
        if (location.folder->compare(folder) == 0) return location.flags;
    for (const SearchLocation& location : locations)
        if (location.folder->compare(folder) == 1) return location.flags;
    return {};
}

bool ScanResult::AnyCandidate() const
{
    for (const CandidateStore& store : stores)
        if (!store.sectionByRank.empty()) return true;
    return false;
}

ScanResult ScanLocations(const std::vector<SearchLocation>& locations, const std::vector<InfFilter*>& filters,
                         const DeviceList& devices, const MatchSettings& settings,
                         const std::function<void(uint32_t)>& progress)
{
    ScanResult result;
    for (const DeviceIds& device : devices) result.stores.emplace_back(device);
    std::vector<CandidateStore*> stores;
    for (CandidateStore& store : result.stores) stores.push_back(&store);
    FilterInfByCLSID parserFilter(filters);
    const double share = locations.empty() ? 0.0 : 50.0 / static_cast<double>(locations.size());

    for (size_t l = 0; l < locations.size(); ++l) {
        const SearchLocation& location = locations[l];
        const LocationFlags flags = FlagsOf(locations, *location.folder);
        Common::Trace(2, Get(Messages::kScanLocation), {location.folder->full_path()});
        std::vector<InfFile> files;
        std::set<FolderKey> seen;
        ListFolder(location.folder, location, flags.preferred != 0, flags.recursive != 0, 0, seen, files);
        result.infFiles += static_cast<uint32_t>(files.size());

        for (size_t f = 0; f < files.size(); ++f) {
            const InfFile& file = files[f];
            if (progress) progress(static_cast<uint32_t>(share * static_cast<double>(l) +
                                                         share * static_cast<double>(f) / static_cast<double>(files.size())));
            auto handle = file.folder->open_file(file.name);
            if (!handle) {
                Common::Trace(4, Get(Messages::kScanOpenFailed),
                              {file.name, file.folder->full_path(), file.folder->last_error().code()});
                continue;
            }
            ParseError error;
            std::unique_ptr<Inf> inf;
            try {
                // Entries are split only in the sections that matching reads: most of a file never is.
                inf = ParseInf(*handle, &parserFilter, &error, DeferEntries);
            } catch (const std::bad_alloc&) {
                // One file too large for this machine's memory costs that file, not the scan.
                Common::TraceError(3, Common::MakeError(Common::Codes::kOutOfMemory, TV_HERE,
                                                        Common::MessageTable::Text(Messages::kScanTooLarge,
                                                                                   {file.name, file.folder->full_path()})));
                continue;
            }
            // An empty file is passed over silently; its size is asked only when the parse
            // failed, which saves a system call on every other file.
            const bool empty = !inf && error.code == ParseReadError && handle->size() <= 0;
            handle.reset();
            if (!inf) {
                if (error.code != ParseRejected && !empty)
                    Common::Trace(3, Get(Messages::kScanParseFailed),
                                  {file.name, file.folder->full_path(), error.line});
                continue;
            }
            const std::vector<bool> matches = MatchInf(*inf, stores, file.preferred, settings);
            bool matched = false;
            for (size_t s = 0; s < stores.size(); ++s) {
                if (!matches[s]) continue;
                CandidateStore& store = *stores[s];
                matched = true;
                Common::Trace(2, Get(Messages::kScanDeviceMatches),
                              {Processor::FromUtf8(store.identifiers.name()), file.name, file.folder->full_path()});
                store.folderByInf[inf.get()] = file.folder;
                store.fileNameByInf[inf.get()] = file.name;
                store.locationByInf[inf.get()] = file.location;
            }
            if (matched) result.kept.push_back(std::move(inf));
        }
        if (progress) progress(static_cast<uint32_t>(share * static_cast<double>(l + 1)));
    }
    if (progress) progress(50);
    return result;
}

Common::Error ReadTargetVersion(WindowsRegistry& registry, TargetVersion& version)
{
    version = {};
    Common::Error error;
    auto key = CurrentVersionKey(registry, error);
    if (!key) return error;
    uint32_t major = 0, minor = 0;
    if (ReadDword(*key, u"CurrentMajorVersionNumber", major) && ReadDword(*key, u"CurrentMinorVersionNumber", minor)) {
        version = {major, minor};
        return {};
    }
    Processor::String text;
    if (!ReadStringValue(*key, u"CurrentVersion", text))
        return Common::MakeError(Common::Codes::FromSystemError(ENOENT), TV_HERE,
                                 Get(Messages::kCurrentVersionUnreadable));
    // "5.2": each part up to the first that is not a number; the rest stays 0.
    uint32_t parts[2] = {0, 0};
    int32_t position = 0;
    for (int part = 0; part < 2; ++part) {
        const int32_t dot = text.indexOf(u'.', position);
        const int32_t end = dot < 0 ? text.length() : dot;
        if (end == position) break;
        uint64_t value = 0;
        bool number = true;
        for (int32_t i = position; i < end && number; ++i) {
            const char16_t c = text.charAt(i);
            number = c >= u'0' && c <= u'9';
            value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(c - u'0'), UINT32_MAX);
        }
        if (!number) break;
        parts[part] = static_cast<uint32_t>(value);
        if (dot < 0) break;
        position = dot + 1;
    }
    version = {parts[0], parts[1]};
    return {};
}

}  // namespace Transvia
