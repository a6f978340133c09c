#include "registry/hive_recovery.h"

#include <cerrno>
#include <ctime>

#include "registry/hive_format.h"
#include "support/copy.h"
#include "support/errors.h"
#include "support/text.h"
#include "support/trace.h"
#include "transvia/codes.h"

namespace Common {

using namespace Hive;

namespace {

const char16_t* const kLogSuffixes[] = {u".LOG1", u".LOG2", u".LOG"};

// Now as a FILETIME: what Windows writes into a hive it has just recovered.
uint64_t FileTimeNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    constexpr uint64_t kEpochDifference = 11644473600ull;  // 1601-01-01 to 1970-01-01, in seconds
    return (static_cast<uint64_t>(now.tv_sec) + kEpochDifference) * 10000000ull +
           static_cast<uint64_t>(now.tv_nsec) / 100;
}

uint32_t CodeFor(ReplayError error)
{
    switch (error) {
    case ReplayError::no_usable_log: return Codes::kHiveDirtyWithoutLog;
    case ReplayError::lost_changes: return Codes::kHiveLogChangesLost;
    case ReplayError::inconsistent: return Codes::kHiveReplayInconsistent;
    case ReplayError::sequence_overflow: return Codes::kHiveSequenceOverflow;
    case ReplayError::not_a_hive:
    case ReplayError::none: break;
    }
    return Codes::kHiveInvalid;
}

// "system.LOG1, system.LOG2, system.LOG": what a user should look for beside the hive.
std::string LogNames(const Processor::String& hive)
{
    std::string names;
    for (const char16_t* suffix : kLogSuffixes) {
        if (!names.empty())
            names += ", ";
        names += Processor::ToUtf8(hive + suffix);
    }
    return names;
}

// The report's lines joined for one error text or one trace line.
std::string OneLine(const ReplayResult& result)
{
    std::string text;
    for (char c : DescribeReplay(result))
        text += c == '\n' ? std::string("; ") : std::string(1, c);
    while (text.ends_with("; "))
        text.resize(text.size() - 2);
    return text;
}

Error RefusalError(const Processor::String& path, const Processor::String& name, const ReplayResult& result,
                  uint64_t site)
{
    std::string text = Processor::ToUtf8(path) + ": " + result.message;
    ReplayResult logs = result;
    logs.message.clear();  // said already, before the logs
    if (result.logs.empty())
        text += " (looked for " + LogNames(name) + ")";
    else
        text += " (" + OneLine(logs) + ")";
    return MakeError(CodeFor(result.error), site, Processor::FromUtf8(text));
}

// Traces what the logs gave: level 2 for what was recovered, level 3 for what was not.
void TraceOutcome(const Processor::String& path, const Processor::String& name, const ReplayResult& result)
{
    const std::string hive = Processor::ToUtf8(path);
    if (result.status == ReplayStatus::replayed) {
        Trace(2, Processor::FromUtf8(hive + ": recovered from its transaction logs, " +
                                     (result.format == LogFormat::new_format
                                          ? std::to_string(result.entries_applied) +
                                                (result.entries_applied == 1 ? " entry " : " entries ") +
                                                std::to_string(result.first_sequence) + ".." +
                                                std::to_string(result.last_sequence)
                                          : std::string("1 log")) +
                                     " applied; sequence number now " + std::to_string(result.new_sequence)));
    } else if (result.status == ReplayStatus::not_replayed) {
        Trace(2, Processor::FromUtf8(hive + ": dirty, and its logs are not replayed as asked; sequence number to write " +
                                     std::to_string(result.new_sequence)));
    } else if (result.status == ReplayStatus::clean && result.new_sequence != 0) {
        Trace(1, Processor::FromUtf8(hive + ": clean; sequence number to write " + std::to_string(result.new_sequence)));
    }
    if (result.status == ReplayStatus::primary_only) {
        ReplayResult refused = result;
        refused.error = ReplayError::no_usable_log;
        refused.message = "the hive is dirty and no log applies: it is used as it is, and the changes the source "
                          "system logged are lost";
        TraceError(3, RefusalError(path, name, refused, TV_HERE));
    }
    for (const ReplayLogReport& log : result.logs) {
        if (log.lost)
            TraceError(3, MakeError(Codes::kHiveLogChangesLost, TV_HERE,
                                    Processor::FromUtf8(hive + ": the changes of entries " + std::to_string(log.lost_first) +
                                                        ".." + std::to_string(log.lost_last) + " in " + log.name +
                                                        " are lost: replay stopped after entry " +
                                                        std::to_string(result.last_sequence))));
        if (log.truncated)
            Trace(3, Processor::FromUtf8(hive + ": " + log.name +
                                         " ends inside a log entry; it may be an incomplete copy of the log"));
    }
    if (!result.logs.empty() && TraceEnabled(2))
        Trace(2, Processor::FromUtf8(hive + ": " + OneLine(result)));
}

Processor::String PathOf(const i_dir& directory, const Processor::String& name)
{
    Processor::String path = directory.full_path();
    path += u"/";
    path += name;
    return path;
}

}  // namespace

HiveLogFiles ReadHiveLogs(const i_dir& directory, const Processor::String& name)
{
    HiveLogFiles files;
    for (size_t i = 0; i < std::size(kLogSuffixes); ++i) {
        const Processor::String logName = name + kLogSuffixes[i];
        Error error;
        if (!ReadWholeFile(directory, logName, files.contents[i], error, kMaxLogFileSize)) {
            files.contents[i].clear();
            if (error.code() != Codes::FromSystemError(ENOENT)) {
                TraceError(3, MakeError(error.code(), TV_HERE,
                                        PathOf(directory, logName) + u": the log cannot be read and is not used", error));
                files.unreadable.push_back(Processor::ToUtf8(logName));
            }
            continue;
        }
        files.logs.push_back(ReplayLog{Processor::ToUtf8(logName), files.contents[i]});
    }
    return files;
}

ReplayResult RecoverHive(const i_dir& directory, const Processor::String& name, Bytes primary,
                         const HiveLogPolicy& policy, bool for_writing, Error& error)
{
    ReplayResult result;
    // A hive we write must beat the logs' seqs even when they are not replayed.
    if (!for_writing && (!policy.use_logs || !HiveIsDirty(primary))) {
        result.status = ReplayStatus::clean;
        return result;
    }
    const HiveLogFiles logs = ReadHiveLogs(directory, name);
    const Processor::String path = PathOf(directory, name);
    if (policy.use_logs && policy.strict && !logs.unreadable.empty() && HiveIsDirty(primary)) {
        std::string names;
        for (const std::string& log : logs.unreadable)
            names += (names.empty() ? "" : ", ") + log;
        const bool one = logs.unreadable.size() == 1;
        error = MakeError(Codes::kHiveLogChangesLost, TV_HERE,
                          path + Processor::FromUtf8(": the hive is dirty and " + std::string(one ? "its log " : "its logs ") +
                                                     names + " cannot be read: the changes " +
                                                     (one ? "it holds" : "they hold") + " would be lost"));
        TraceError(4, error);
        result.status = ReplayStatus::refused;
        result.error = ReplayError::lost_changes;
        return result;
    }
    ReplayPolicy replay;
    replay.accept_loss = !policy.strict;
    replay.now = FileTimeNow();
    replay.apply = policy.use_logs;
    result = ReplayHiveLogs(primary, logs.logs, replay);
    if (result.status == ReplayStatus::refused) {
        if (result.error == ReplayError::not_a_hive) {
            // Not ours to judge here: the open's own validation says what is wrong.
            result = ReplayResult();
            result.status = ReplayStatus::clean;
            return result;
        }
        error = RefusalError(path, name, result, TV_HERE);
        TraceError(4, error);
        return result;
    }
    TraceOutcome(path, name, result);
    return result;
}

bool ReadHiveFile(const i_dir& directory, const Processor::String& name, std::vector<uint8_t>& bytes, Error& error)
{
    if (ReadWholeFile(directory, name, bytes, error, uint64_t(kMaxOffset) + HBLOCK_SIZE))
        return true;
    if (error.code() == Codes::FromSystemError(EFBIG))
        error = MakeError(Codes::kHiveInvalid, TV_HERE, PathOf(directory, name) + u": the file is larger than 2 GiB");
    return false;
}

Error CannotEditHive(const i_dir& directory, const Processor::String& name, const Error& cause)
{
    return MakeError(cause.code(), TV_HERE, PathOf(directory, name) + u": the hive cannot be opened for editing", cause);
}

Error ReadHiveForEditing(const i_dir& directory, const Processor::String& name, const HiveLogPolicy& policy,
                         std::vector<uint8_t>& image)
{
    Error error;
    if (!ReadHiveFile(directory, name, image, error))
        return error;
    ReplayResult result = RecoverHive(directory, name, image, policy, true, error);
    if (error.failed())
        return error;
    if (result.status == ReplayStatus::replayed) {
        result.image.resize(uint64_t(HBLOCK_SIZE) + result.bins_size);
        image = std::move(result.image);
    } else if (result.new_sequence != 0 && image.size() >= HBLOCK_SIZE &&
               BaseBlockChecksum(image.data()) == Get32(image.data() + kBaseChecksum)) {
        // A torn base block is left for the open to refuse; sealing it would hide the damage.
        SetBaseSequences(image.data(), result.new_sequence);
    }
    return error;
}

}  // namespace Common
