#include "install/driver_store_index.h"

#include <unicode/uchar.h>

#include "support/errors.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"

namespace Transvia {

using Processor::String;
namespace Index = DriverStoreIndex;

namespace {

bool ReadU32(Common::i_file& file, uint64_t offset, uint32_t& value)
{
    uint8_t bytes[4];
    if (file.read_at(offset, bytes, 4) != 4) return false;
    value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
    return true;
}

// A NUL-terminated UTF-16 text at `offset`, at most kMaxNameBytes with its NUL. `end`
// receives the offset just after the NUL. False when the file ends or the bound is hit first.
bool ReadName(Common::i_file& file, uint64_t offset, String& name, uint64_t& end)
{
    uint8_t bytes[Index::kMaxNameBytes];
    const size_t got = file.read_at(offset, bytes, sizeof bytes) & ~size_t{1};
    name.remove();
    for (size_t i = 0; i < got; i += 2) {
        const char16_t unit = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
        if (unit == 0) {
            end = offset + i + 2;
            return true;
        }
        name.append(unit);
    }
    return false;
}

}  // namespace

uint32_t Index::Bucket(const String& name)
{
    uint32_t sum = 0;
    for (int32_t i = 0; i < name.length(); ++i) sum += static_cast<char16_t>(u_tolower(name.charAt(i)));
    return sum % kBuckets;
}

std::optional<String> FindInDriverStoreIndex(Common::i_file& published, Common::i_file& store, const String& infName)
{
    if (infName.isEmpty()) return std::nullopt;
    uint32_t limit = 0;
    uint32_t offset = 0;
    if (!ReadU32(published, 0, limit) || !ReadU32(published, Index::kTableOffset + 4 * Index::Bucket(infName), offset))
        return std::nullopt;
    const int64_t size = published.size();
    if (size < 0) return std::nullopt;
    // Each entry takes its link, a name of at least a NUL and its record: a chain longer
    // than the file could hold entries loops.
    const uint64_t maxSteps = static_cast<uint64_t>(size) / (4 + 2 + Index::kRecordSize) + 1;
    uint64_t recordAt = 0;
    for (uint64_t step = 0;; ++step) {
        if (offset == Index::kNone || offset < Index::kFirstEntry || offset >= limit || step >= maxSteps)
            return std::nullopt;
        const uint64_t at = uint64_t{offset} + Index::kTableOffset;
        uint32_t next = 0;
        String name;
        uint64_t end = 0;
        if (!ReadU32(published, at, next) || !ReadName(published, at + 4, name, end)) return std::nullopt;
        if (Processor::EqualNoCase(name, infName)) {
            recordAt = end;
            break;
        }
        offset = next;
    }
    uint8_t record[Index::kRecordSize];
    if (published.read_at(recordAt, record, sizeof record) != sizeof record) return std::nullopt;
    for (uint32_t i = 0; i < Index::kStoreOffsets; ++i) {
        const uint8_t* p = record + 32 + 4 * i;
        const uint32_t storeOffset = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
        if (storeOffset == Index::kNone) continue;
        String folder;
        uint64_t end = 0;
        if (ReadName(store, uint64_t{storeOffset} + Index::kStoreNameOffset, folder, end) && !folder.isEmpty())
            return folder;
    }
    return std::nullopt;
}

std::optional<String> FindDriverStoreFolder(const Common::i_dir& folder, const String& infName, Common::Error& error)
{
    error = Common::Error();
    if (infName.isEmpty()) return std::nullopt;
    std::shared_ptr<Common::i_file> files[2];
    const char16_t* names[2] = {Index::kPublishedFile, Index::kStoreFile};
    for (int i = 0; i < 2; ++i) {
        files[i] = folder.open_file(names[i]);
        if (!files[i]) {
            error = Common::MakeError(Common::Codes::kDriverStoreIndex, TV_HERE,
                                      Common::MessageTable::Text(Common::Messages::kDriverStoreIndexNotOpened,
                                                                 {String(names[i]), folder.full_path()}),
                                      folder.last_error());
            return std::nullopt;
        }
    }
    return FindInDriverStoreIndex(*files[0], *files[1], infName);
}

std::optional<String> LookupDriverStoreFolder(const Common::i_dir& folder, const String& infName)
{
    Common::Error error;
    std::optional<String> found = FindDriverStoreFolder(folder, infName, error);
    if (error.failed()) {
        Common::TraceError(4, error);
        Common::Raise(error);
    }
    return found;
}

}  // namespace Transvia
