#include "registry/hive_recovery.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "registry/hive_check.h"
#include "registry/hive_format.h"
#include "support/errors.h"
#include "support/message_table.h"
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

// Opens a file for reading and tells its size; null with `error` when it cannot, or when
// it is larger than `limit` (EFBIG).
std::shared_ptr<i_file> OpenSized(const i_dir& directory, const Processor::String& name, uint64_t limit,
                                  uint64_t& size, Error& error)
{
    auto file = directory.open_file(name);
    if (!file) {
        error = directory.last_error();
        return nullptr;
    }
    const int64_t length = file->size();
    if (length < 0) {
        error = file->last_error();
        return nullptr;
    }
    size = static_cast<uint64_t>(length);
    if (size > limit) {
        error = MakeError(Codes::FromSystemError(EFBIG), TV_HERE, MessageTable::Text(Messages::kHiveFileTooLarge, {PathOf(directory, name)}));
        return nullptr;
    }
    return file;
}

// How far past the last sound entry header a log is read, looking for the remnants of
// older sessions (what a new entry left of a longer old one lies in between).
constexpr uint64_t kLogSlack = 4u << 20;

// Reads the leading part of a log that holds its content: the base block and, for the
// old format, the dirty vector and its pages; for the new format every entry whose header
// is sound, with kLogSlack after the last. A log file grows ahead of its entries and may
// be sparse: its size says nothing of its content.
bool ReadLogFile(const i_dir& directory, const Processor::String& name, std::vector<uint8_t>& bytes, Error& error)
{
    uint64_t size = 0;
    auto file = OpenSized(directory, name, kMaxLogFileSize, size, error);
    if (!file)
        return false;
    bytes.clear();
    auto readTo = [&](uint64_t end) {
        end = std::min(end, size);
        if (end <= bytes.size())
            return true;
        const uint64_t from = bytes.size();
        bytes.resize(end);
        return ReadHiveBytes(*file, bytes.data(), from, end, error);
    };
    if (!readTo(kLogBaseSize))
        return false;
    const LogBaseBlock base = ParseLogBaseBlock(bytes);
    if (base.format == LogFormat::old_format) {
        if (!readTo(DirtyVectorEnd(bytes, base)))  // the bitmap
            return false;
        return readTo(DirtyVectorEnd(bytes, base));  // and the pages it marks
    }
    uint64_t reach = kLogBaseSize, scanned = kLogBaseSize;
    for (;;) {
        const uint64_t wanted = std::min(size, reach + kLogSlack);
        if (wanted <= bytes.size())
            return true;
        if (!readTo(wanted))
            return false;
        for (; scanned + kLogEntryHeader <= bytes.size(); scanned += kLogBaseSize)
            reach = std::max(reach, EntryEnd(bytes, scanned, size));
    }
}

}  // namespace

HiveLogFiles ReadHiveLogs(const i_dir& directory, const Processor::String& name)
{
    HiveLogFiles files;
    for (size_t i = 0; i < std::size(kLogSuffixes); ++i) {
        const Processor::String logName = name + kLogSuffixes[i];
        Error error;
        if (!ReadLogFile(directory, logName, files.contents[i], error)) {
            files.contents[i].clear();
            if (error.code() != Codes::FromSystemError(ENOENT)) {
                TraceError(3, MakeError(error.code(), TV_HERE,
                                        MessageTable::Text(Messages::kHiveLogUnreadable, {PathOf(directory, logName)}), error));
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

uint64_t HiveFileExtent(i_file& file, uint64_t file_size)
{
    uint8_t base[HBLOCK_SIZE];
    if (file_size < HBLOCK_SIZE || file.read_at(0, base, HBLOCK_SIZE) != HBLOCK_SIZE || Get32(base) != kRegfSignature)
        return std::min<uint64_t>(file_size, HBLOCK_SIZE);
    const uint64_t end = std::min<uint64_t>(file_size, uint64_t(kMaxOffset) + HBLOCK_SIZE);
    uint64_t position = HBLOCK_SIZE;
    while (end - position >= kBinHeaderSize) {
        uint8_t header[kBinHeaderSize];
        if (file.read_at(position, header, kBinHeaderSize) != kBinHeaderSize)
            break;
        const uint32_t size = Get32(header + kBinSize);
        if (Get32(header) != kBinSignature || Get32(header + kBinOffset) != position - HBLOCK_SIZE || size < HBLOCK_SIZE ||
            size % HBLOCK_SIZE != 0 || size > end - position)
            break;
        position += size;
    }
    const bool clean = !HiveIsDirty(Bytes(base, HBLOCK_SIZE));
    const uint64_t announced = uint64_t(HBLOCK_SIZE) + Get32(base + kBaseBinsSize);
    return clean ? std::min(position, announced) : position;
}

bool ReadHiveFile(const i_dir& directory, const Processor::String& name, std::vector<uint8_t>& bytes, Error& error)
{
    uint64_t size = 0;
    auto file = OpenSized(directory, name, uint64_t(kMaxOffset) + HBLOCK_SIZE, size, error);
    if (!file) {
        if (error.code() == Codes::FromSystemError(EFBIG))
            error = MakeError(Codes::kHiveInvalid, TV_HERE, MessageTable::Text(Messages::kHiveFileOver2GiB, {PathOf(directory, name)}));
        return false;
    }
    bytes.resize(HiveFileExtent(*file, size));
    if (ReadHiveBytes(*file, bytes.data(), 0, bytes.size(), error))
        return true;
    error = MakeError(error.code(), TV_HERE, MessageTable::Text(Messages::kHiveUnreadable, {PathOf(directory, name)}), error);
    return false;
}

bool ReadHiveBytes(i_file& file, uint8_t* bytes, uint64_t from, uint64_t to, Error& error)
{
    for (uint64_t done = from; done < to;) {
        const size_t got = file.read_at(done, bytes + done, to - done);
        if (got == 0) {
            error = file.last_error().failed() ? file.last_error()
                                               : MakeError(Codes::kHiveInvalid, TV_HERE, MessageTable::Get(Messages::kHiveEndedEarly));
            return false;
        }
        done += got;
    }
    return true;
}

Error CannotEditHive(const i_dir& directory, const Processor::String& name, const Error& cause)
{
    return MakeError(cause.code(), TV_HERE, MessageTable::Text(Messages::kHiveNotEditable, {PathOf(directory, name)}), cause);
}

Error StructuralFault(const i_dir& directory, const Processor::String& name, const std::vector<uint8_t>& image,
                      uint32_t message)
{
    std::vector<std::string> faults;
    HiveCheckSummary summary;
    if (CheckHive(image.data(), image.size(), faults, summary))
        return Error();
    const Processor::String first = Processor::FromUtf8(faults.empty() ? std::string() : faults.front());
    return MakeError(Codes::kHiveInvalid, TV_HERE, MessageTable::Text(message, {PathOf(directory, name), first}));
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
