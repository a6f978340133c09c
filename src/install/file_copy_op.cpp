#include "install/file_copy_op.h"

#include "inf/architecture.h"
#include "install/driver_store_index.h"
#include "install/safe_names.h"
#include "support/copy.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/logger.h"
#include "support/parse_number.h"
#include "support/text.h"
#include "support/trace.h"

namespace Transvia {

using Common::MessageTable::Get;
using Common::MessageTable::Text;
namespace Messages = Common::Messages;

using Processor::String;

namespace {

constexpr const char16_t* kDestinationDirs = u"DestinationDirs";
constexpr const char16_t* kDefaultDestDir = u"DefaultDestDir";
constexpr const char16_t* kDriverStore = u"DriverStore";
constexpr const char16_t* kFileRepository = u"DriverStore\\FileRepository";

// A field with its %key% tokens replaced; empty for a missing field.
String Expanded(Inf& inf, const char16_t* field)
{
    if (field == nullptr) return String();
    const char16_t* expanded = inf.ExpandString(field, nullptr);
    return expanded == nullptr ? String() : String(expanded);
}

String Raw(const char16_t* field) { return field == nullptr ? String() : String(field); }

Common::Error Refused(const String& what, const String& name)
{
    Common::Error error = Common::MakeError(Common::Codes::kCopyNameRefused, TV_HERE, Text(Messages::kCopyNameLeavesFolder, {what, name}));
    Common::TraceError(3, error);
    return error;
}

// Opens `path` below `base`; an unsafe path is traced and gives null.
std::shared_ptr<const Common::i_dir> OpenBelow(const Common::i_dir& base, const String& path)
{
    if (!IsRelativeBeneath(path)) {
        Refused(u"layout folder", path);
        return nullptr;
    }
    return base.open_dir(path);
}

}  // namespace

struct FileCopyOpImpl::Call {
    Inf& inf;
    const Common::i_dir& infFolder;
    const char16_t* infFileName;
    bool fromTargetInf;
};

FileCopyOpImpl::FileCopyOpImpl(WinSources& sources, uint32_t platform)
    : sources_(sources), architecture_(InfPlatform::ArchitectureText(platform))
{
}

Common::Error FileCopyOpImpl::Execute(Inf& inf, const Common::i_dir& infFolder, const String& rawName,
                                      const char16_t* infFileName)
{
    String raw(rawName);
    const String name = Expanded(inf, Processor::Terminated(raw));
    if (name.isEmpty()) {
        Common::Error error = Common::MakeError(Common::Codes::kInvalidArgument, TV_HERE,
                                                u"Empty file section name was specified for copying.");
        Common::TraceError(4, error);
        return error;
    }
    Common::rio_dir* targetInf = sources_.GetInfDir(true);
    Call call{inf, infFolder, infFileName, targetInf != nullptr && targetInf->compare(infFolder) == 0};
    if (name.charAt(0) != u'@') return CopySection(call, name);

    const String file(name, 1);
    Common::Error error;
    std::shared_ptr<Common::rio_dir> target = Destination(call, nullptr, error);
    if (!target) return error;
    return CopyOne(call, file, *target, file);
}

std::shared_ptr<Common::rio_dir> FileCopyOpImpl::Destination(Call& call, const String* section, Common::Error& error)
{
    const String shown = section != nullptr ? *section : String(kDefaultDestDir);
    Section* dirs = call.inf.FindSection(kDestinationDirs);
    if (dirs == nullptr) {
        error = Common::MakeError(Common::Codes::kCopySectionNotFound, TV_HERE,
                                  Text(Messages::kCopyNoDestinationDirs, {shown}));
        return nullptr;
    }
    SectionEntry* line = nullptr;
    String key = section != nullptr ? *section : String();
    if (section != nullptr) line = dirs->FindEntry(Processor::Terminated(key));
    if (line == nullptr) line = dirs->FindEntry(kDefaultDestDir);
    if (line == nullptr) {
        Common::Trace(4, u"CopyFiles({0}): Unable to find destination for this file", {shown});
        error = Common::MakeError(Common::Codes::kCopyLineInvalid, TV_HERE,
                                  Text(Messages::kCopyNoDestinationLine, {shown}));
        return nullptr;
    }
    const String id = Raw(line->GetField(0));
    String subfolder = Expanded(call.inf, line->GetField(1));
    int32_t lead = 0;
    while (lead < subfolder.length() && (subfolder.charAt(lead) == u'\\' || subfolder.charAt(lead) == u'/')) ++lead;
    subfolder.remove(0, lead);

    std::shared_ptr<Common::rio_dir> folder;
    Common::Error cause;
    if (Common::rio_dir* base = GetDirectoryById(sources_, id)) folder = OpenOrCreateFolder(*base, subfolder, cause);
    if (!folder) {
        Common::Trace(4, u"CopyFiles({0}): Failed to open target dir '{1}/{2}'", {shown, id, subfolder});
        error = Common::MakeError(Common::Codes::kCopySectionNotFound, TV_HERE,
                                  Text(Messages::kCopyDestinationNotOpened, {shown, id, subfolder}),
                                  cause);
    }
    return folder;
}

Common::Error FileCopyOpImpl::CopySection(Call& call, const String& sectionName)
{
    String key(sectionName);
    Section* section = call.inf.FindSection(Processor::Terminated(key));
    if (section == nullptr)
        return Common::MakeError(Common::Codes::kCopySectionNotFound, TV_HERE,
                                 Text(Messages::kCopySectionMissing, {sectionName}));
    Common::Error error;
    std::shared_ptr<Common::rio_dir> target = Destination(call, &sectionName, error);
    if (!target) return error;

    for (int32_t i = 0; SectionEntry* line = section->GetEntry(i); ++i) {
        const String destination = Expanded(call.inf, line->GetField(0));
        String source = Expanded(call.inf, line->GetField(1));
        if (source.isEmpty()) source = destination;
        uint64_t flags = 0;
        if (line->GetFieldCount() >= 4) {
            const String text = Expanded(call.inf, line->GetField(3));
            // An empty flags field is the common "no flags" of real INF files.
            if (!text.isEmpty() && !Processor::ParseNumber(text, flags))
                return Common::MakeError(Common::Codes::kCopyLineInvalid, TV_HERE,
                                         Text(Messages::kCopyFlagsNotNumber, {sectionName, text, destination}));
        }
        if (IsPlainFileName(destination)) {
            const bool exists = target->exists(destination);
            if (((flags & CopyFlags::kNoOverwrite) && exists) || ((flags & CopyFlags::kReplaceOnly) && !exists)) {
                Common::Trace(1, u"File '{0}:{1}' skipped.", {sectionName, source});
                continue;
            }
        }
        error = CopyOne(call, source, *target, destination);
        if (!error.empty()) return error;
    }
    return Common::Error();
}

std::vector<std::shared_ptr<const Common::i_dir>> FileCopyOpImpl::Candidates(const Common::i_dir& base,
                                                                             const String& file)
{
    std::vector<std::shared_ptr<const Common::i_dir>> folders;
    if (auto self = base.reopen()) folders.push_back(std::move(self));
    if (layout_ == nullptr) return folders;
    for (uint32_t i = 0; i < layout_->Count(); ++i) {
        const FileRecord* record = layout_->Record(i);
        if (record == nullptr) break;
        if (!Processor::EqualNoCase(record->name, file)) continue;
        if (!record->architecture.isEmpty() && !Processor::EqualNoCase(record->architecture, architecture_)) continue;
        std::shared_ptr<const Common::i_dir> disk;
        if (!record->diskPath.isEmpty()) {
            disk = OpenBelow(base, record->diskPath);
            if (disk) folders.push_back(disk);
        }
        // The file subfolder lies below the disk folder, or below the base without one.
        const Common::i_dir* parent = record->diskPath.isEmpty() ? &base : disk.get();
        if (!record->filePath.isEmpty() && parent != nullptr)
            if (auto sub = OpenBelow(*parent, record->filePath)) folders.push_back(std::move(sub));
    }
    return folders;
}

Common::Error FileCopyOpImpl::CopyOne(Call& call, const String& source, Common::rio_dir& target,
                                      const String& destination)
{
    if (!IsPlainFileName(source)) return Refused(u"source file", source);
    if (!IsPlainFileName(destination)) return Refused(u"destination file", destination);

    Common::Error failure;  // a copy that found the file but could not write it
    for (const auto& folder : Candidates(call.infFolder, source)) {
        if (!folder->exists(source)) continue;
        failure = Common::CopyFile(*folder, source, target, destination);
        if (failure.empty()) return failure;
    }
    if (cab_ != nullptr && !call.fromTargetInf && FromDriverCache(source, target, destination, failure))
        return Common::Error();
    if (call.fromTargetInf) {
        if (Processor::EqualNoCase(source, destination) && target.exists(destination)) {
            Common::Trace(2, Get(Messages::kCopyFileInPlace), {destination});
            return Common::Error();
        }
        if (FromDriverStore(call, source, target, destination, failure)) return Common::Error();
    }
    if (failure.failed()) return failure;

    Common::Error missing = Common::MakeError(Common::Codes::kCopySourceNotFound, TV_HERE,
                                              Text(Messages::kCopySourceMissing, {source}));
    if (fallback_ == nullptr) return missing;
    std::shared_ptr<Common::i_dir> location;
    fallback_->FindLocation(location, source);
    if (!location) return missing;
    return Common::CopyFile(*location, source, target, destination);
}

bool FileCopyOpImpl::FromDriverCache(const String& source, Common::rio_dir& target, const String& destination,
                                     Common::Error& failure)
{
    Common::rio_dir* cache = sources_.GetDriverCacheDir();
    if (cache == nullptr) return false;
    for (const auto& folder : Candidates(*cache, source)) {
        if (folder->exists(source)) {
            failure = Common::CopyFile(*folder, source, target, destination);
            if (failure.empty()) {
                Common::Trace(2, Get(Messages::kCopyFileFound), {source, folder->full_path()});
                return true;
            }
        } else if (cab_->Extract(source, target, destination, *folder)) {
            return true;
        }
    }
    return false;
}

bool FileCopyOpImpl::FromDriverStore(Call& call, const String& source, Common::rio_dir& target,
                                     const String& destination, Common::Error& failure)
{
    if (call.infFileName == nullptr || *call.infFileName == 0) return false;
    Common::rio_dir* system32 = sources_.GetSystem32Dir();
    if (system32 == nullptr) return false;
    std::shared_ptr<const Common::i_dir> store = system32->open_dir(kDriverStore);
    const Common::i_dir& indexFolder = store ? *store : call.infFolder;
    Common::Error error;
    const std::optional<String> folderName = FindDriverStoreFolder(indexFolder, String(call.infFileName), error);
    if (error.failed()) {
        // Without an index the store cannot be searched; the file is looked for elsewhere.
        Common::TraceError(4, error);
        return false;
    }
    if (!folderName) return false;
    if (!IsPlainFileName(*folderName)) {
        Refused(u"driver store folder", *folderName);
        return false;
    }
    std::shared_ptr<const Common::i_dir> package = system32->open_dir(String(kFileRepository).append(u'\\').append(*folderName));
    if (!package || !package->exists(source)) return false;
    failure = Common::CopyFile(*package, source, target, destination);
    if (!failure.empty()) return false;
    Common::Trace(2, Get(Messages::kCopyFileFound), {source, package->full_path()});
    return true;
}

std::unique_ptr<FileCopyOp> CreateFileCopyOp(WinSources& sources, uint32_t platform)
{
    return std::make_unique<FileCopyOpImpl>(sources, platform);
}

}  // namespace Transvia
