#include "registry/log_replay.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "registry/hive_check.h"
#include "support/text.h"

namespace Common::Hive {

namespace {

constexpr uint32_t kBaseFlags = 0x90;
constexpr uint32_t kOldPageSize = 512;

bool ChecksumOk(const uint8_t* base) { return BaseBlockChecksum(base) == Get32(base + kBaseChecksum); }

void KeepHighest(uint32_t& highest, uint32_t sequence)
{
    if (SeqAfter(sequence, highest))
        highest = sequence;
}

struct ParsedLog {
    const ReplayLog* log = nullptr;
    LogBaseBlock base;
    std::vector<uint32_t> sequences;  // every hash-valid entry in the file
    size_t report = 0;
};

// Logs are tried as LOG1, LOG2, then the single-log scheme's LOG.
int LogRank(const std::string& name)
{
    std::string lower(name);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.ends_with("log1"))
        return 0;
    if (lower.ends_with("log2"))
        return 1;
    return 2;
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// Extends the range [first, last] (empty while `any` is false) to hold `sequence`.
void Widen(bool& any, uint32_t& first, uint32_t& last, uint32_t sequence)
{
    if (!any || SeqAfter(first, sequence))
        first = sequence;
    if (!any || SeqAfter(sequence, last))
        last = sequence;
    any = true;
}


class Replayer {
public:
    Replayer(Bytes primary, const std::vector<ReplayLog>& logs, const ReplayPolicy& policy)
        : primary_(primary), logs_(logs), policy_(policy)
    {
    }

    ReplayResult run()
    {
        if (primary_.size() < HBLOCK_SIZE || Get32(primary_.data()) != kRegfSignature)
            return refuse(ReplayError::not_a_hive, "the primary file is not a hive");
        checksumOk_ = ChecksumOk(primary_.data());
        const uint32_t s1 = Get32(primary_.data() + kBasePrimarySequence);
        const uint32_t s2 = Get32(primary_.data() + kBaseSecondarySequence);
        highest_ = s1;
        KeepHighest(highest_, s2);
        parse_logs();
        const bool clean = checksumOk_ && s1 == s2;
        // A future entry must beat every seq still lying in the logs, or a stale one could
        // chain. A clean hive whose seq already does keeps it.
        if (clean && !logsReach(s1)) {
            result_.new_sequence = s1;
        } else {
            if (highest_ + 1 == 0)
                return refuse(ReplayError::sequence_overflow, "the sequence number would wrap to 0");
            result_.new_sequence = highest_ + 1;
        }
        if (!clean && !policy_.apply) {
            result_.status = ReplayStatus::not_replayed;
            result_.bins_size = Get32(primary_.data() + kBaseBinsSize);
            return std::move(result_);
        }
        if (clean) {
            result_.status = ReplayStatus::clean;
            result_.bins_size = Get32(primary_.data() + kBaseBinsSize);
            for (ReplayLogReport& log : result_.logs)
                if (log.stop.empty())
                    log.stop = "not used: the hive is clean";
            return std::move(result_);
        }
        std::vector<ParsedLog*> fresh, old;
        for (ParsedLog& log : parsed_) {
            if (log.base.format == LogFormat::new_format)
                fresh.push_back(&log);
            else if (log.base.format == LogFormat::old_format)
                old.push_back(&log);
        }
        if (!fresh.empty()) {
            // The single-log scheme's LOG counts only where no valid LOG1 or LOG2 exists.
            const bool dual = std::any_of(fresh.begin(), fresh.end(),
                                          [](const ParsedLog* log) { return LogRank(log->log->name) < 2; });
            if (dual)
                std::erase_if(fresh, [this](const ParsedLog* log) {
                    if (LogRank(log->log->name) < 2)
                        return false;
                    report(*log).stop = "not used: the hive has dual logs";
                    return true;
                });
            return replay_new(fresh, s2);
        }
        if (!old.empty())
            return replay_old(old);
        return nothing_applicable("no valid log");
    }

private:
    // Whether any seq the logs hold is at least `sequence`.
    bool logsReach(uint32_t sequence) const
    {
        for (const ParsedLog& log : parsed_) {
            if (log.base.checksum_ok &&
                (SeqAtLeast(log.base.sequence1, sequence) || SeqAtLeast(log.base.sequence2, sequence)))
                return true;
            for (uint32_t found : log.sequences)
                if (SeqAtLeast(found, sequence))
                    return true;
        }
        return false;
    }

    void parse_logs()
    {
        for (const ReplayLog& log : logs_) {
            ParsedLog parsed;
            parsed.log = &log;
            parsed.base = ParseLogBaseBlock(log.bytes);
            if (parsed.base.checksum_ok) {
                KeepHighest(highest_, parsed.base.sequence1);
                KeepHighest(highest_, parsed.base.sequence2);
            }
            bool complete = true;
            parsed.sequences = ScanLogSequences(log.bytes, &complete);
            ReplayLogReport report;
            for (uint32_t sequence : parsed.sequences) {
                KeepHighest(highest_, sequence);
                if (report.entries_found == 0 || SeqAfter(report.lowest, sequence))
                    report.lowest = sequence;
                if (report.entries_found == 0 || SeqAfter(sequence, report.highest))
                    report.highest = sequence;
                ++report.entries_found;
            }
            report.name = log.name;
            report.format = parsed.base.format;
            report.base_sequence = parsed.base.sequence1;
            report.scan_incomplete = !complete;
            if (log.bytes.size() < kLogBaseSize)
                report.stop = "absent or shorter than 512 bytes";
            else if (parsed.base.format == LogFormat::none)
                report.stop = "invalid log base block";
            parsed.report = result_.logs.size();
            result_.logs.push_back(std::move(report));
            parsed_.push_back(std::move(parsed));
        }
    }

    ReplayLogReport& report(const ParsedLog& log) { return result_.logs[log.report]; }

    // Whether an entry's pages, taken in bins order, each start within what the file and
    // the pages before give: a hive grows by whole new bins, all logged. A page past a
    // hole is no real change, and would let a few bytes of log make us allocate 2 GiB.
    bool Fits(const LogEntry& entry) const
    {
        std::vector<std::pair<uint64_t, uint64_t>> pages;
        for (const LogPage& page : entry.pages)
            pages.emplace_back(uint64_t(HBLOCK_SIZE) + page.bins_offset, uint64_t(HBLOCK_SIZE) + page.bins_offset + page.size);
        std::sort(pages.begin(), pages.end());
        uint64_t covered = image_.size();
        for (const auto& [start, end] : pages) {
            if (start > covered)
                return false;
            covered = std::max(covered, end);
        }
        return true;
    }

    // Writes logged bytes at a bins offset, growing the image up to their end; false (and
    // nothing written) when they would start past its end.
    bool Put(uint64_t bins_offset, const uint8_t* data, uint32_t size)
    {
        const uint64_t at = uint64_t(HBLOCK_SIZE) + bins_offset;
        if (at > image_.size())
            return false;
        if (at + size > image_.size())
            image_.resize(at + size);
        std::memcpy(image_.data() + at, data, size);
        return true;
    }

    ReplayResult refuse(ReplayError error, std::string message)
    {
        result_.status = ReplayStatus::refused;
        result_.error = error;
        result_.message = std::move(message);
        result_.image.clear();
        return std::move(result_);
    }

    // Dirty, and the logs hold nothing that applies to this primary.
    ReplayResult nothing_applicable(const std::string& why)
    {
        if (!policy_.accept_loss)
            return refuse(ReplayError::no_usable_log,
                          "the hive is dirty and " + why + ": the changes logged by the source system would be lost");
        result_.status = ReplayStatus::primary_only;
        result_.message = "the hive is dirty and " + why + "; the primary is used as it is";
        result_.image.clear();
        return std::move(result_);
    }

    ReplayResult replay_new(std::vector<ParsedLog*> logs, uint32_t secondary)
    {
        result_.format = LogFormat::new_format;
        // Oldest first by base seq, never by file name: either log may hold the older entries.
        std::stable_sort(logs.begin(), logs.end(), [](const ParsedLog* a, const ParsedLog* b) {
            return SeqAfter(b->base.sequence1, a->base.sequence1);
        });
        std::vector<ParsedLog*> chain;
        if (checksumOk_) {
            for (ParsedLog* log : logs) {
                if (SeqAtLeast(log->base.sequence1, secondary))
                    chain.push_back(log);
                else
                    report(*log).stop = "older than the hive (base seq " + std::to_string(log->base.sequence1) +
                                        " < " + std::to_string(secondary) + ")";
            }
        } else {
            // A torn primary base block: only the newest log is trusted, and its copy becomes the base block.
            for (size_t i = 0; i + 1 < logs.size(); ++i)
                report(*logs[i]).stop = "not used: the hive's base block is torn and a newer log exists";
            chain.push_back(logs.back());
        }
        if (chain.empty())
            return nothing_applicable("no log is applicable");

        image_.assign(primary_.begin(), primary_.end());
        if (!checksumOk_) {
            std::memcpy(image_.data(), chain.front()->log->bytes.data(), kLogBaseSize);
            Put32(image_.data() + kBaseFileType, 0);
        }
        uint32_t bins_size = Get32(image_.data() + kBaseBinsSize), last = 0, applied = 0;
        const ParsedLog* walked = chain.front();  // the last log whose entries were walked
        for (size_t i = 0; i < chain.size(); ++i) {
            ParsedLog& log = *chain[i];
            ReplayLogReport& rep = report(log);
            if (i > 0 && (applied == 0 || log.base.sequence1 != last + 1)) {
                rep.stop = applied == 0 ? "not used: the log before it applied nothing"
                                        : "does not continue the chain (base seq " +
                                              std::to_string(log.base.sequence1) + ", " + std::to_string(last + 1) +
                                              " expected)";
                continue;
            }
            walked = &log;
            const LogWalk walk = WalkLogEntries(log.log->bytes, log.base.sequence1);
            std::string stop = std::string(EntryFaultText(walk.stop)) + " at " + Hex(walk.stop_offset);
            size_t taken = 0;
            for (const LogEntry& entry : walk.entries) {
                if (!Fits(entry)) {
                    stop = "a page would leave a hole in the hive bins at " + Hex(entry.offset);
                    break;
                }
                ++taken;
                for (const LogPage& page : entry.pages)
                    Put(page.bins_offset, log.log->bytes.data() + page.data, page.size);
                bins_size = entry.bins_size;
                Put32(image_.data() + kBaseFlags, (Get32(image_.data() + kBaseFlags) & ~1u) | (entry.flags & 1u));
                last = entry.sequence;
                if (rep.applied == 0)
                    rep.first = entry.sequence;
                rep.last = entry.sequence;
                ++rep.applied;
                if (applied++ == 0)
                    result_.first_sequence = entry.sequence;
            }
            rep.stop = stop;
            rep.truncated = taken == walk.entries.size() && walk.stop == EntryFault::truncated;
            if (taken == 0 || taken < walk.entries.size())
                break;  // skipping entries is never allowed
        }
        if (applied == 0)
            return nothing_applicable("no log entry applies");
        result_.entries_applied = applied;
        result_.last_sequence = last;

        // Changes the logs hold beyond what could be chained. A valid entry after the
        // last one applied means every entry from last + 1 on was written and is lost,
        // broken ones included; those are charged to the log where the walk stopped.
        for (const ParsedLog& log : parsed_)
            for (uint32_t sequence : log.sequences)
                if (SeqAfter(sequence, last)) {
                    Widen(result_.lost, result_.lost_first, result_.lost_last, sequence);
                    ReplayLogReport& rep = report(log);
                    Widen(rep.lost, rep.lost_first, rep.lost_last, sequence);
                }
        if (result_.lost) {
            const uint32_t highest_valid = result_.lost_last;
            result_.lost_first = last + 1;
            ReplayLogReport& stopped = report(*walked);
            if (stopped.lost)
                stopped.lost_first = last + 1;
            if (!policy_.accept_loss)
                return refuse(ReplayError::lost_changes,
                              "replay stopped after entry " + std::to_string(last) +
                                  " but the logs hold valid entries up to " + std::to_string(highest_valid) +
                                  ": the changes of entries " + std::to_string(result_.lost_first) + ".." +
                                  std::to_string(result_.lost_last) + " would be lost");
        }
        return finish(bins_size);
    }

    ReplayResult replay_old(std::vector<ParsedLog*> logs)
    {
        result_.format = LogFormat::old_format;
        std::stable_sort(logs.begin(), logs.end(), [](const ParsedLog* a, const ParsedLog* b) {
            return LogRank(a->log->name) < LogRank(b->log->name);
        });
        // The log must belong to this very write of the primary; the first bin's timestamp
        // stands in for a torn base block.
        bool have_reference = true;
        uint64_t reference = 0;
        if (checksumOk_)
            reference = Get64(primary_.data() + kBaseTimestamp);
        else if (primary_.size() >= uint64_t(HBLOCK_SIZE) + kBinHeaderSize &&
                 Get32(primary_.data() + HBLOCK_SIZE) == kBinSignature)
            reference = Get64(primary_.data() + HBLOCK_SIZE + kBinTimestamp);
        else
            have_reference = false;
        // The single-log scheme's LOG counts only where no valid LOG1 or LOG2 exists.
        const bool dual = LogRank(logs.front()->log->name) < 2;
        for (ParsedLog* log : logs) {
            ReplayLogReport& rep = report(*log);
            if (dual && LogRank(log->log->name) == 2) {
                rep.stop = "not used: the hive has dual logs";
                continue;
            }
            if (!have_reference || log->base.timestamp != reference) {
                rep.stop = "not applicable: its timestamp differs from the hive's";
                continue;
            }
            const DirtyVector vector = ParseDirtyVector(log->log->bytes, log->base);
            if (!vector.complete) {
                rep.stop = "truncated: the dirty pages run past the end of the log";
                continue;
            }
            image_.assign(primary_.begin(), primary_.end());
            uint64_t from = vector.data_start;
            for (uint32_t page : vector.pages) {
                if (!Put(uint64_t(page) * kOldPageSize, log->log->bytes.data() + from, kOldPageSize))
                    return refuse(ReplayError::inconsistent, "the dirty pages of " + log->log->name +
                                                                 " leave a hole in the hive bins at " +
                                                                 Hex(uint64_t(page) * kOldPageSize));
                from += kOldPageSize;
            }
            // The log's copy brings the bins size, root cell and flags of the interrupted write.
            std::memcpy(image_.data(), log->log->bytes.data(), kLogBaseSize);
            Put32(image_.data() + kBaseFileType, 0);
            if (policy_.now != 0)
                Put64(image_.data() + kBaseTimestamp, policy_.now);
            rep.applied = static_cast<uint32_t>(vector.pages.size());
            rep.stop = "applied " + std::to_string(vector.pages.size()) + " dirty pages";
            result_.entries_applied = 1;
            return finish(vector.bins_size);
        }
        return nothing_applicable("no old-format log is applicable");
    }

    ReplayResult finish(uint32_t bins_size)
    {
        uint8_t* base = image_.data();
        Put32(base + kBaseFileType, 0);
        Put32(base + kBaseBinsSize, bins_size);
        SetBaseSequences(base, result_.new_sequence);
        // What Windows would refuse to load; deeper faults (hints, order, counts) are the
        // source system's own and are left to the readers, which cope with them.
        if (image_.size() < uint64_t(HBLOCK_SIZE) + bins_size)
            return refuse(ReplayError::inconsistent, "the replayed hive is inconsistent: its bins end past the data "
                                                     "the file and the logs hold");
        if (const char16_t* fault = CheckBinStructure(image_.data() + HBLOCK_SIZE, bins_size, Get32(base + kBaseRootCell)))
            return refuse(ReplayError::inconsistent,
                          "the replayed hive is inconsistent: " + Processor::ToUtf8(std::u16string_view(fault)));
        result_.status = ReplayStatus::replayed;
        result_.bins_size = bins_size;
        result_.image = std::move(image_);
        return std::move(result_);
    }

    Bytes primary_;
    const std::vector<ReplayLog>& logs_;
    const ReplayPolicy& policy_;
    bool checksumOk_ = false;
    uint32_t highest_ = 0;
    std::vector<ParsedLog> parsed_;
    std::vector<uint8_t> image_;
    ReplayResult result_;
};

}  // namespace

bool HiveIsDirty(Bytes primary)
{
    if (primary.size() < HBLOCK_SIZE || Get32(primary.data()) != kRegfSignature)
        return false;
    return !ChecksumOk(primary.data()) ||
           Get32(primary.data() + kBasePrimarySequence) != Get32(primary.data() + kBaseSecondarySequence);
}

ReplayResult ReplayHiveLogs(Bytes primary, const std::vector<ReplayLog>& logs, const ReplayPolicy& policy)
{
    return Replayer(primary, logs, policy).run();
}

std::string DescribeReplay(const ReplayResult& result)
{
    std::string text;
    for (const ReplayLogReport& log : result.logs) {
        text += log.name + ": ";
        if (log.format == LogFormat::new_format)
            text += "new format, base seq " + std::to_string(log.base_sequence) + ", ";
        else if (log.format == LogFormat::old_format)
            text += "old format, ";
        if (log.format == LogFormat::new_format || log.entries_found != 0) {
            text += std::to_string(log.entries_found) + (log.entries_found == 1 ? " valid entry" : " valid entries");
            if (log.entries_found != 0)
                text += " " + std::to_string(log.lowest) + ".." + std::to_string(log.highest);
            text += "; ";
        }
        if (log.applied != 0 && result.format == LogFormat::new_format)
            text += "applied " + std::to_string(log.first) + ".." + std::to_string(log.last) + ", stopped: ";
        text += log.stop.empty() ? std::string("not used") : log.stop;
        if (log.truncated)
            text += " (the file may be an incomplete copy)";
        if (log.scan_incomplete)
            text += " (the search for older entries gave up on this file)";
        if (log.lost)
            text += "; not recovered: entries " + std::to_string(log.lost_first) + ".." + std::to_string(log.lost_last);
        text += "\n";
    }
    if (!result.message.empty())
        text += result.message + "\n";
    return text;
}

}  // namespace Common::Hive
