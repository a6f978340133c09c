#include "registry/hive_log.h"

#include "registry/marvin32.h"

namespace Common::Hive {

namespace {

// Entry header fields.
constexpr uint32_t kEntrySize = 4;
constexpr uint32_t kEntryFlags = 8;
constexpr uint32_t kEntrySequence = 12;
constexpr uint32_t kEntryBinsSize = 16;
constexpr uint32_t kEntryPageCount = 20;
constexpr uint32_t kEntryHash1 = 24;
constexpr uint32_t kEntryHash2 = 32;
constexpr uint32_t kHash2Length = 32;

bool ValidBinsSize(uint32_t size) { return size >= HBLOCK_SIZE && size % HBLOCK_SIZE == 0 && size <= kMaxLogBinsSize; }

}  // namespace

LogBaseBlock ParseLogBaseBlock(Bytes log)
{
    LogBaseBlock base;
    if (log.size() < kLogBaseSize || Get32(log.data()) != kRegfSignature)
        return base;
    const uint8_t* b = log.data();
    base.checksum_ok = BaseBlockChecksum(b) == Get32(b + kBaseChecksum);
    base.sequence1 = Get32(b + kBasePrimarySequence);
    base.sequence2 = Get32(b + kBaseSecondarySequence);
    base.timestamp = Get64(b + kBaseTimestamp);
    base.bins_size = Get32(b + kBaseBinsSize);
    // A copy whose seqs differ was torn while the log was written.
    if (!base.checksum_ok || base.sequence1 != base.sequence2 || Get32(b + kBaseMajor) != 1 ||
        Get32(b + kBaseFormat) != 1 || Get32(b + kBaseClusterFactor) != 1 || !ValidBinsSize(base.bins_size))
        return base;
    const uint32_t type = Get32(b + kBaseFileType);
    if (type == kLogFileTypeNew)
        base.format = LogFormat::new_format;
    else if ((type == 1 || type == 2) && log.size() >= kLogBaseSize + 4 && Get32(b + kLogBaseSize) == kDirtSignature)
        base.format = LogFormat::old_format;
    return base;
}

const char* EntryFaultText(EntryFault fault)
{
    switch (fault) {
    case EntryFault::none: return "none";
    case EntryFault::no_signature: return "no further entry";
    case EntryFault::bad_size: return "entry size is not a positive multiple of 512";
    case EntryFault::truncated: return "the log file ends inside the entry";
    case EntryFault::bad_bins_size: return "entry bins size is invalid";
    case EntryFault::bad_header_hash: return "entry header hash mismatch";
    case EntryFault::bad_data_hash: return "entry data hash mismatch";
    case EntryFault::bad_pages: return "entry page references out of bounds";
    case EntryFault::sequence: return "entry sequence number breaks the chain";
    }
    return "?";
}

uint64_t EntryEnd(Bytes log, uint64_t offset, uint64_t file_size)
{
    if (offset > log.size() || log.size() - offset < kLogEntryHeader)
        return 0;
    const uint8_t* e = log.data() + offset;
    const uint32_t size = Get32(e + kEntrySize);
    if (Get32(e) != kLogEntrySignature || size < kLogBaseSize || size % kLogBaseSize != 0 || offset > file_size ||
        size > file_size - offset || Marvin32(e, kHash2Length) != Get64(e + kEntryHash2))
        return 0;
    return offset + size;
}

EntryFault ReadLogEntry(Bytes log, uint64_t offset, LogEntry& entry)
{
    const uint64_t length = log.size();
    if (offset > length || length - offset < kLogEntryHeader)
        return EntryFault::no_signature;
    const uint8_t* e = log.data() + offset;
    if (Get32(e) != kLogEntrySignature)
        return EntryFault::no_signature;
    const uint32_t size = Get32(e + kEntrySize);
    if (size < kLogBaseSize || size % kLogBaseSize != 0)
        return EntryFault::bad_size;
    if (uint64_t(size) > length - offset)
        return EntryFault::truncated;
    entry.offset = offset;
    entry.size = size;
    entry.flags = Get32(e + kEntryFlags);
    entry.sequence = Get32(e + kEntrySequence);
    entry.bins_size = Get32(e + kEntryBinsSize);
    entry.hash1 = Get64(e + kEntryHash1);
    entry.hash2 = Get64(e + kEntryHash2);
    entry.pages.clear();
    if (!ValidBinsSize(entry.bins_size))
        return EntryFault::bad_bins_size;
    if (Marvin32(e, kHash2Length) != entry.hash2)
        return EntryFault::bad_header_hash;
    if (Marvin32(e + kLogEntryHeader, size - kLogEntryHeader) != entry.hash1)
        return EntryFault::bad_data_hash;
    const uint64_t count = Get32(e + kEntryPageCount);
    if (count == 0 || kLogEntryHeader + 8 * count > size)
        return EntryFault::bad_pages;
    // References first, then the page data in the same order.
    uint64_t data = kLogEntryHeader + 8 * count;
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* ref = e + kLogEntryHeader + 8 * i;
        const uint32_t bins_offset = Get32(ref), page_size = Get32(ref + 4);
        if (page_size < HBLOCK_SIZE || page_size % HBLOCK_SIZE != 0 || bins_offset % HBLOCK_SIZE != 0 ||
            uint64_t(bins_offset) + page_size > entry.bins_size || data + page_size > size)
            return EntryFault::bad_pages;
        data += page_size;
    }
    // Bounded by the entry's size, which lies inside the log.
    entry.pages.reserve(count);
    data = kLogEntryHeader + 8 * count;
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* ref = e + kLogEntryHeader + 8 * i;
        entry.pages.push_back({Get32(ref), Get32(ref + 4), offset + data});
        data += Get32(ref + 4);
    }
    return EntryFault::none;
}

LogWalk WalkLogEntries(Bytes log, uint32_t first_sequence)
{
    LogWalk walk;
    uint64_t offset = kLogBaseSize;
    uint32_t expected = first_sequence;
    for (;;) {
        LogEntry entry;
        walk.stop_offset = offset;
        walk.stop = ReadLogEntry(log, offset, entry);
        if (walk.stop != EntryFault::none)
            return walk;
        if (entry.sequence != expected) {
            walk.stop = EntryFault::sequence;
            return walk;
        }
        offset += entry.size;
        ++expected;
        walk.entries.push_back(std::move(entry));
    }
}

std::vector<uint32_t> ScanLogSequences(Bytes log, bool* complete)
{
    std::vector<uint32_t> sequences;
    // Headers crafted to pass the cheap header hash at every offset would make the data
    // hash run over the rest of the file each time: the bytes hashed are capped.
    uint64_t budget = 4 * uint64_t(log.size()) + (1u << 20);
    if (complete)
        *complete = true;
    for (uint64_t offset = kLogBaseSize; offset + kLogEntryHeader <= log.size(); offset += kLogBaseSize) {
        if (Get32(log.data() + offset) != kLogEntrySignature)
            continue;
        const uint32_t size = Get32(log.data() + offset + kEntrySize);
        // An entry that cannot fit in the file costs nothing to reject, and must not end
        // the search for the valid entries behind it.
        if (size > log.size() - offset)
            continue;
        if (size > budget) {
            if (complete)
                *complete = false;
            break;
        }
        LogEntry entry;
        const EntryFault fault = ReadLogEntry(log, offset, entry);
        if (fault == EntryFault::none || fault == EntryFault::bad_data_hash || fault == EntryFault::bad_pages)
            budget -= size;
        if (fault == EntryFault::none) {
            sequences.push_back(entry.sequence);
            offset += entry.size - kLogBaseSize;  // entries never overlap
        }
    }
    return sequences;
}

namespace {

// One bit per 512-byte page of the bins; the pages start at the next 512 boundary.
constexpr uint64_t kBitmap = kLogBaseSize + 4;
uint64_t BitmapBytes(const LogBaseBlock& base) { return uint64_t(base.bins_size) / HBLOCK_SIZE; }
uint64_t DataStart(const LogBaseBlock& base)
{
    return (kBitmap + BitmapBytes(base) + kLogBaseSize - 1) / kLogBaseSize * kLogBaseSize;
}
uint64_t DirtyPages(Bytes log, const LogBaseBlock& base)
{
    uint64_t count = 0;
    for (uint64_t i = 0; i < BitmapBytes(base); ++i)
        count += __builtin_popcount(log[kBitmap + i]);
    return count;
}

}  // namespace

uint64_t DirtyVectorEnd(Bytes log, const LogBaseBlock& base)
{
    if (kBitmap + BitmapBytes(base) > log.size())
        return kBitmap + BitmapBytes(base);
    return DataStart(base) + uint64_t(kLogBaseSize) * DirtyPages(log, base);
}

DirtyVector ParseDirtyVector(Bytes log, const LogBaseBlock& base)
{
    DirtyVector vector;
    if (base.format != LogFormat::old_format)
        return vector;
    vector.bins_size = base.bins_size;
    const uint64_t bitmap = kBitmap, bitmap_bytes = BitmapBytes(base);
    vector.data_start = DataStart(base);
    if (bitmap + bitmap_bytes > log.size())
        return vector;
    const uint64_t count = DirtyPages(log, base);
    if (vector.data_start > log.size() || (log.size() - vector.data_start) / kLogBaseSize < count)
        return vector;
    vector.pages.reserve(count);
    for (uint64_t i = 0; i < bitmap_bytes; ++i)
        for (uint32_t bit = 0; bit < 8; ++bit)
            if (log[bitmap + i] & (1u << bit))
                vector.pages.push_back(static_cast<uint32_t>(i * 8 + bit));
    vector.complete = true;
    return vector;
}

}  // namespace Common::Hive
