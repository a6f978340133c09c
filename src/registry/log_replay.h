#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "registry/hive_log.h"

// Recovery of a dirty hive from its transaction logs, on bytes only: no file is read
// or written here. The caller finds the logs and decides where the image goes.
namespace Common::Hive {

struct ReplayLog {
    std::string name;  // for the notes and the old format's LOG1 / LOG2 / LOG preference
    Bytes bytes;       // empty when the file is absent
};

struct ReplayPolicy {
    // Use what can be recovered, as Windows does at its next start, instead of refusing
    // when the logs cannot bring the hive up to date.
    bool accept_loss = false;
    // FILETIME written into the base block after an old-format replay, so the stale log
    // never matches this hive again; 0 keeps the log's timestamp.
    uint64_t now = 0;
    // False: the logs are only read for the sequence number a write must carry.
    bool apply = true;
};

enum class ReplayStatus {
    clean,         // nothing to replay; `image` is empty
    replayed,      // `image` holds the recovered hive
    primary_only,  // dirty, nothing applicable, accepted as is by the policy; `image` empty
    not_replayed,  // dirty, and the policy said not to apply the logs; `image` empty
    refused,
};

enum class ReplayError {
    none,
    not_a_hive,        // primary too short or without "regf"
    no_usable_log,     // dirty and no valid, applicable log
    lost_changes,      // replay stopped before changes the logs hold
    inconsistent,      // the replayed image fails the structural check
    sequence_overflow, // the next sequence number would wrap to 0
};

struct ReplayLogReport {
    std::string name;
    LogFormat format = LogFormat::none;
    uint32_t base_sequence = 0;
    uint32_t applied = 0;
    uint32_t first = 0, last = 0;  // sequence numbers applied (new format)
    std::string stop;              // why the walk ended, or why the log was not used
    bool truncated = false;        // the file ends inside an entry: maybe an incomplete copy
    bool scan_incomplete = false;  // a hostile log stopped the search for remnant entries
    // What the file holds: hash-valid entries anywhere in it, remnants included.
    uint32_t entries_found = 0;
    uint32_t lowest = 0, highest = 0;
    // Hash-valid entries of this file after the last applied one: changes not recovered.
    bool lost = false;
    uint32_t lost_first = 0, lost_last = 0;
};

struct ReplayResult {
    ReplayStatus status = ReplayStatus::refused;
    ReplayError error = ReplayError::none;
    std::string message;
    LogFormat format = LogFormat::none;
    std::vector<uint8_t> image;  // at least 4096 + bins_size bytes; bytes beyond are dead
    uint32_t bins_size = 0;
    // To write into both seqs of this hive whenever it is written: above every seq in the
    // logs, so that no stale entry can ever chain onto what we write. A clean hive whose seq
    // already beats the logs keeps it.
    uint32_t new_sequence = 0;
    uint32_t entries_applied = 0;
    uint32_t first_sequence = 0, last_sequence = 0;
    // Hash-valid entries after the last applied one that were not applied, over all logs.
    bool lost = false;
    uint32_t lost_first = 0, lost_last = 0;
    std::vector<ReplayLogReport> logs;
};

// A hive is dirty when its base block checksum is wrong or its two seqs differ.
bool HiveIsDirty(Bytes primary);

ReplayResult ReplayHiveLogs(Bytes primary, const std::vector<ReplayLog>& logs, const ReplayPolicy& policy);

// One line per log for traces and reports: what the file holds and what became of it,
// "SYSTEM.LOG1: new format, base seq 2107, 33 valid entries 1586..2110; applied 2107..2110, stopped: ...".
std::string DescribeReplay(const ReplayResult& result);

}  // namespace Common::Hive
