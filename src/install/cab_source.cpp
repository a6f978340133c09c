#include "install/cab_source.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "install/safe_names.h"
#include "support/copy.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"

namespace Transvia {

using Common::MessageTable::Get;
using Common::MessageTable::Text;
namespace Messages = Common::Messages;

using Processor::String;

namespace {

// A cabinet data block never expands to more than this.
constexpr uint64_t kBlockMax = 32768;

bool EndsWithCab(const String& name)
{
    return name.length() > 4 && Processor::EqualNoCase(String(name, name.length() - 4), String(u".cab"));
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Cabinet names are 8-bit text: equal ignoring ASCII case, or, for other letters, equal
// under case folding of their UTF-8 reading.
bool SameEntryName(const char* entry, const std::string& wanted, const String& wantedText)
{
    if (entry == nullptr) return false;
    const size_t length = std::char_traits<char>::length(entry);
    if (length == wanted.size() &&
        std::equal(wanted.begin(), wanted.end(), entry, [](char a, char b) { return FoldAscii(a) == FoldAscii(b); }))
        return true;
    return Processor::EqualNoCase(Processor::FromUtf8(std::string_view(entry, length)), wantedText);
}

CabTimestamp TimeOf(const mscabd_file& entry)
{
    return {entry.date_y, entry.date_m, entry.date_d, entry.time_h, entry.time_m, entry.time_s};
}

// A name beside the destination that no one else picks; the entry is written there and
// renamed over the destination only when it is whole.
String StagingName(const String& name)
{
    static std::atomic<uint64_t> counter{0};
    static const uint64_t salt = (uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
    const uint64_t n = salt + counter.fetch_add(1) * 0x9E3779B97F4A7C15ull;
    String staged(u".");
    staged.append(name).append(u".cab-");
    for (int shift = 60; shift >= 0; shift -= 4) staged.append(static_cast<char16_t>(u"0123456789abcdef"[(n >> shift) & 0xF]));
    return staged;
}

const char16_t* ReasonOf(int code)
{
    switch (code) {
    case MSPACK_ERR_OPEN: return u"it cannot be opened";
    case MSPACK_ERR_READ: return u"it is truncated or cannot be read";
    case MSPACK_ERR_WRITE: return u"the extracted file cannot be written";
    case MSPACK_ERR_SEEK: return u"it is truncated";
    case MSPACK_ERR_NOMEMORY: return u"it needs more memory than a cabinet is allowed";
    case MSPACK_ERR_SIGNATURE: return u"it is not a cabinet";
    case MSPACK_ERR_DATAFORMAT: return u"its headers are malformed";
    case MSPACK_ERR_CHECKSUM: return u"a data block fails its checksum";
    case MSPACK_ERR_DECRUNCH: return u"its compressed data is corrupt";
    default: return u"the decompressor failed";
    }
}

String CabinetPath(const Common::i_dir& folder, const String& name)
{
    String path = folder.full_path();
    if (!path.isEmpty()) path.append(u'/');
    return path.append(name);
}

}  // namespace

struct CabSourceImpl::Found {
    mscabd_cabinet* cabinet = nullptr;
    const mscabd_file* entry = nullptr;
    CabTimestamp time;
    String path;
};

CabSourceImpl::CabSourceImpl() = default;

CabSourceImpl::~CabSourceImpl()
{
    CabSystem::Active active(system_);
    for (auto& [path, opened] : opened_) decompressor_->close(decompressor_, opened.cabinet);
    if (decompressor_ != nullptr) mspack_destroy_cab_decompressor(decompressor_);
}

mscab_decompressor* CabSourceImpl::Decompressor()
{
    if (decompressor_ == nullptr) decompressor_ = mspack_create_cab_decompressor(system_.get());
    return decompressor_;
}

mscabd_cabinet* CabSourceImpl::Open(const std::shared_ptr<const Common::i_dir>& folder, const Common::dir_entry& entry,
                                    const String& path, const String& fileName)
{
    // A driver install takes many files out of the same few cabinets; reading a large
    // cabinet's headers for each of them would cost more than the extraction.
    auto cached = opened_.find(path);
    if (cached != opened_.end()) {
        const Common::dir_entry& file = cached->second.file;
        if (file.id == entry.id && file.size == entry.size && file.modified_ns == entry.modified_ns &&
            file.created_ns == entry.created_ns)
            return cached->second.cabinet;
        decompressor_->close(decompressor_, cached->second.cabinet);
        opened_.erase(cached);
    }
    system_.ClearDiagnostics();
    mscabd_cabinet* cabinet = decompressor_->open(decompressor_, system_.AddCabinet(folder, entry.name));
    if (cabinet == nullptr) {
        const String text =
            Text(Messages::kCabinetPassedOver, {fileName, path, String(ReasonOf(decompressor_->last_error(decompressor_)))});
        Common::TraceError(3, Common::MakeError(Common::Codes::kCabinetRejected, TV_HERE, text, system_.IoError()));
        return nullptr;
    }
    opened_[path] = {cabinet, entry};
    return cabinet;
}

bool CabSourceImpl::Extract(const String& fileName, Common::rio_dir& destination, const String& destinationName,
                            const Common::i_dir& folder)
{
    if (!IsPlainFileName(fileName) || !IsPlainFileName(destinationName)) {
        Common::TraceError(3, Common::MakeError(Common::Codes::kCopyNameRefused, TV_HERE,
                                                Text(Messages::kCabinetNameRefused, {fileName, destinationName})));
        return false;
    }
    CabSystem::Active active(system_);
    mscab_decompressor* cabd = Decompressor();
    if (cabd == nullptr) {
        Common::Trace(3, Get(Messages::kCabinetNoDecompressor), {fileName});
        return false;
    }

    std::vector<Common::dir_entry> cabinets;
    {
        auto it = folder.entries();
        if (!it) return false;
        Common::dir_entry entry;
        while (it->next(entry))
            if (!entry.is_dir && EndsWithCab(entry.name)) cabinets.push_back(entry);
    }
    // Listing order is the file system's; sorted, "first found" means the same on every run.
    std::sort(cabinets.begin(), cabinets.end(), [](const Common::dir_entry& a, const Common::dir_entry& b) {
        return Processor::CompareNoCase(a.name, b.name) < 0;
    });

    std::shared_ptr<const Common::i_dir> searched = folder.reopen();
    if (!searched) return false;
    const std::string wanted = Processor::ToUtf8(fileName);
    Found best;
    for (const Common::dir_entry& file : cabinets) {
        const String path = CabinetPath(folder, file.name);
        Common::Trace(1, u"CopyFiles({0}): Search driver in '{1}'.", {fileName, path});
        mscabd_cabinet* cabinet = Open(searched, file, path, fileName);
        if (cabinet == nullptr) continue;
        bool announced = false;
        for (const mscabd_file* entry = cabinet->files; entry != nullptr; entry = entry->next) {
            if (!SameEntryName(entry->filename, wanted, fileName)) continue;
            if (!announced) Common::Trace(1, u"CopyFiles({0}): File in '{1}' found.", {fileName, path});
            announced = true;
            const CabTimestamp time = TimeOf(*entry);
            // Strictly newer only: on equal times the entry found first stays.
            if (best.entry != nullptr && !(best.time < time)) continue;
            best = {cabinet, entry, time, path};
        }
    }
    return best.entry != nullptr && ExtractEntry(best, fileName, destination, destinationName);
}

bool CabSourceImpl::ExtractEntry(const Found& found, const String& fileName, Common::rio_dir& destination,
                                 const String& destinationName)
{
    const mscabd_file& entry = *found.entry;
    auto failed = [&](const String& reason, const Common::Error& cause = Common::Error()) {
        String text = Text(Messages::kCabinetExtractFailed, {fileName, found.path, reason});
        if (!system_.LastMessage().empty())
            text.append(u" (").append(Processor::FromUtf8(system_.LastMessage())).append(u")");
        Common::TraceError(3, Common::MakeError(Common::Codes::kCabinetRejected, TV_HERE, text, cause));
        return false;
    };

    // A cabinet can claim any size; what its data blocks can hold bounds what we write.
    const uint64_t capacity = entry.folder != nullptr ? uint64_t{entry.folder->num_blocks} * kBlockMax : 0;
    if (entry.length > kMaxEntryBytes || uint64_t{entry.offset} + entry.length > capacity)
        return failed(String(u"the entry announces ").append(Processor::FromUtf8(std::to_string(entry.length)))
                          .append(u" bytes, more than its cabinet can hold"));

    const String staged = StagingName(destinationName);
    std::shared_ptr<Common::o_file> out = destination.create_file(staged);
    if (!out) return failed(u"the destination cannot be created", destination.last_error());
    system_.ClearDiagnostics();
    system_.SetOutput(out, entry.length);
    const int result = decompressor_->extract(decompressor_, const_cast<mscabd_file*>(&entry), CabSystem::kOutput);
    const uint64_t written = system_.Written();
    const bool overflowed = system_.Overflowed();
    system_.SetOutput(nullptr, 0);

    String reason;
    Common::Error cause = system_.IoError();
    if (overflowed)
        reason = String(u"the entry decompresses to more than the ")
                     .append(Processor::FromUtf8(std::to_string(entry.length)))
                     .append(u" bytes it announces");
    else if (result != MSPACK_ERR_OK)
        reason = String(u"the cabinet is refused: ").append(ReasonOf(result));
    else if (written != entry.length)
        reason = u"the entry ends before the size it announces";
    else if (!out->flush()) {
        reason = u"the extracted file cannot be written";
        cause = out->last_error();
    }
    out->close();
    if (reason.isEmpty() && !destination.move(staged, destinationName, true)) {
        reason = u"the extracted file cannot be put in place";
        cause = destination.last_error();
    }
    if (!reason.isEmpty()) {
        destination.delete_file(staged);
        return failed(reason, cause);
    }
    Common::TraceFileWritten(destination, destinationName);
    return true;
}

std::unique_ptr<CabSource> CreateCabSource(WinSources&) { return std::make_unique<CabSourceImpl>(); }

}  // namespace Transvia
