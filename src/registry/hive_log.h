#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "registry/hive_format.h"

// Transaction logs beside a hive (.LOG, .LOG1, .LOG2), read from their bytes. Every
// size and count in a log is untrusted: nothing here reads outside the given bytes or
// allocates more than the bytes can hold.
namespace Common::Hive {

using Bytes = std::span<const uint8_t>;

constexpr uint32_t kLogBaseSize = 512;
constexpr uint32_t kLogEntryHeader = 40;
constexpr uint32_t kLogFileTypeNew = 6;
constexpr uint32_t kLogEntrySignature = 0x454C7648;  // "HvLE"
constexpr uint32_t kDirtSignature = 0x54524944;      // "DIRT"
// Largest bins size a log may announce: nothing at or beyond 2 GiB is ever read.
constexpr uint32_t kMaxLogBinsSize = kMaxOffset - HBLOCK_SIZE;

enum class LogFormat { none, old_format, new_format };

// The log's copy of the first 512 bytes of the base block.
struct LogBaseBlock {
    LogFormat format = LogFormat::none;  // none: missing, short or invalid
    bool checksum_ok = false;            // seqs of a copy with a good checksum still count
    uint32_t sequence1 = 0;
    uint32_t sequence2 = 0;
    uint64_t timestamp = 0;
    uint32_t bins_size = 0;
};
LogBaseBlock ParseLogBaseBlock(Bytes log);

// 32-bit serial order of sequence numbers.
inline bool SeqAfter(uint32_t a, uint32_t b) { return a != b && uint32_t(a - b) < 0x80000000u; }
inline bool SeqAtLeast(uint32_t a, uint32_t b) { return a == b || SeqAfter(a, b); }

struct LogPage {
    uint32_t bins_offset = 0;
    uint32_t size = 0;
    uint64_t data = 0;  // offset of the page data in the log
};

// One HvLE entry that passed every check but the sequence number.
struct LogEntry {
    uint64_t offset = 0;  // in the log
    uint32_t size = 0;
    uint32_t flags = 0;
    uint32_t sequence = 0;
    uint32_t bins_size = 0;
    uint64_t hash1 = 0;
    uint64_t hash2 = 0;
    std::vector<LogPage> pages;
};

enum class EntryFault {
    none,
    no_signature,   // the normal end of the live entries
    bad_size,       // size not a positive multiple of 512
    truncated,      // the entry runs past the end of the log file
    bad_bins_size,
    bad_header_hash,
    bad_data_hash,
    bad_pages,      // page count or page references out of bounds
    sequence,       // a stale entry or a gap (only from WalkLogEntries)
};
const char* EntryFaultText(EntryFault fault);

// Where the entry whose header starts at `offset` ends, when that header is sound
// (signature, size, header hash) and the entry fits in a log file of `file_size` bytes;
// else 0. The data is not looked at: this only tells how far a log's content reaches.
uint64_t EntryEnd(Bytes log, uint64_t offset, uint64_t file_size);

// Reads and checks the entry at `offset`; `entry.pages` is filled only when it passes.
EntryFault ReadLogEntry(Bytes log, uint64_t offset, LogEntry& entry);

// The live chain of a new-format log: entries from offset 512 carrying `first_sequence`,
// +1, ... up to the first entry that fails a check (never resynchronised).
struct LogWalk {
    std::vector<LogEntry> entries;
    EntryFault stop = EntryFault::none;
    uint64_t stop_offset = 0;
};
LogWalk WalkLogEntries(Bytes log, uint32_t first_sequence);

// Sequence numbers of every entry whose hashes check, at any 512-aligned offset, remnants
// of older sessions included. `complete` is cleared when a hostile log made the scan stop early.
std::vector<uint32_t> ScanLogSequences(Bytes log, bool* complete = nullptr);

// An old-format log: the dirty vector after "DIRT" and where each dirty 512-byte page is.
struct DirtyVector {
    uint32_t bins_size = 0;
    uint64_t data_start = 0;
    std::vector<uint32_t> pages;  // bins page indices (512-byte pages), in log order
    bool complete = false;        // the bitmap and every page lie inside the log
};
DirtyVector ParseDirtyVector(Bytes log, const LogBaseBlock& base);
// How many leading bytes of an old-format log hold its dirty vector and pages: the
// bitmap's end while `log` does not hold the whole bitmap yet.
uint64_t DirtyVectorEnd(Bytes log, const LogBaseBlock& base);

}  // namespace Common::Hive
