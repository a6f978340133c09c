#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "registry/log_replay.h"
#include "transvia/dir.h"
#include "transvia/error.h"
#include "transvia/string.h"

// A hive and the transaction logs beside it, as files: finding and reading the logs,
// bringing a dirty hive up to date and telling what that recovered or lost. The byte
// rules are in log_replay; this is where they meet the directory layer and the traces.
namespace Common {

// How an open treats the transaction logs beside a hive.
struct HiveLogPolicy {
    // Off: the primary file as it is, even when it is dirty (a stale view).
    bool use_logs = true;
    // Refuse a dirty hive whose logs cannot all be recovered. Otherwise go on, as Windows
    // does at its next start, with what can be recovered, and trace what is lost.
    bool strict = false;
};

// A log larger than this is not read: no real hive's log comes near it.
constexpr uint64_t kMaxLogFileSize = uint64_t(1) << 30;

// The logs found beside hive `name`, in the order LOG1, LOG2, LOG; names are looked up
// case-insensitively like every name of the target. Absent files are left out.
struct HiveLogFiles {
    std::array<std::vector<uint8_t>, 3> contents;
    std::vector<Hive::ReplayLog> logs;  // views into `contents`
    // Logs that exist but cannot be read: refused by the directory layer (a link out of
    // the target), unreadable, or too large. What they hold cannot be recovered.
    std::vector<std::string> unreadable;
};
HiveLogFiles ReadHiveLogs(const i_dir& directory, const Processor::String& name);

// Replays the logs beside hive `name` over `primary`, the bytes of its file. A clean hive
// is left alone; with `for_writing` its logs are read all the same, because the hive we
// write must carry a sequence number above every one they hold (result.new_sequence).
// A refusal comes back in `error` (kHiveDirtyWithoutLog, kHiveLogChangesLost,
// kHiveReplayInconsistent, kHiveSequenceOverflow) naming the hive and what would be lost.
// new_sequence is 0 when the logs were not consulted.
Hive::ReplayResult RecoverHive(const i_dir& directory, const Processor::String& name, Hive::Bytes primary,
                               const HiveLogPolicy& policy, bool for_writing, Error& error);

// How many leading bytes of a hive file of `file_size` bytes hold the hive: the base
// block and the bins chained from the first (each "hbin" with its own offset and a size
// inside the file and below 2 GiB), of a clean hive no further than the bins size its
// base block announces. Only bin headers are read: what a file merely claims (a sparse
// file of 2 GiB, a bins size beyond the bins there are) costs nothing. The bins of a dirty
// hive may reach past the size it announces; its logs decide what counts.
uint64_t HiveFileExtent(i_file& file, uint64_t file_size);

// Reads the hive in a file: the first HiveFileExtent bytes. A file over 2 GiB is no hive
// and is refused (kHiveInvalid).
bool ReadHiveFile(const i_dir& directory, const Processor::String& name, std::vector<uint8_t>& bytes, Error& error);
// Reads bytes [from, to) of a hive or log file to the same offsets of `bytes`; false with
// `error` when the file ends early or cannot be read.
bool ReadHiveBytes(i_file& file, uint8_t* bytes, uint64_t from, uint64_t to, Error& error);

// The bytes hive `name` must have before anything edits it: brought up to date from its
// logs, its sequence numbers above every one in the logs. Reads only; the hive and its
// logs stay as they are.
Error ReadHiveForEditing(const i_dir& directory, const Processor::String& name, const HiveLogPolicy& policy,
                         std::vector<uint8_t>& image);

// The error of a failed open of a hive's working copy: it names the hive, and its cause
// the copy.
Error CannotEditHive(const i_dir& directory, const Processor::String& name, const Error& cause);
// Empty when the image of hive `name` of `directory` passes the structural checker; else
// the error that refuses it, text `message` with {0} the hive's path and {1} its first fault.
Error StructuralFault(const i_dir& directory, const Processor::String& name, const std::vector<uint8_t>& image,
                      uint32_t message);
// How a working copy is opened: it was brought up to date from the hive's logs already.
inline HiveLogPolicy WorkingCopyPolicy()
{
    HiveLogPolicy policy;
    policy.use_logs = false;
    return policy;
}

}  // namespace Common
