#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>

#include "registry/hive_check.h"
#include "registry/hive_format.h"
#include "registry/hive_log.h"
#include "registry/log_replay.h"
#include "registry/marvin32.h"
#include "support/fixtures.h"

#include "dirty_hives.h"

using namespace Common::Hive;
using namespace DirtyHives;

namespace {

std::vector<uint8_t> Iota(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i);
    return v;
}

ReplayResult Replay(const std::vector<uint8_t>& primary, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                    bool accept_loss = false)
{
    ReplayPolicy policy;
    policy.accept_loss = accept_loss;
    return ReplayHiveLogs(primary, {{"HIVE.LOG1", a}, {"HIVE.LOG2", b}}, policy);
}

}  // namespace

TEST(Marvin32, KnownVectorsWithTheLogSeed)
{
    const std::vector<uint8_t> zeros(8, 0), bytes = Iota(32);
    EXPECT_EQ(Marvin32(nullptr, 0), 0xb39efca403966e08ull);
    EXPECT_EQ(Marvin32(zeros.data(), 4), 0x2400585e2d116fbfull);
    EXPECT_EQ(Marvin32(zeros.data(), 8), 0x4e4ae7b5c7f032fdull);
    EXPECT_EQ(Marvin32(bytes.data(), 32), 0xc64feee425c2e24cull);
    // The tail bytes take part: lengths that differ only in a zero tail hash differently.
    EXPECT_NE(Marvin32(zeros.data(), 5), Marvin32(zeros.data(), 4));
    EXPECT_NE(Marvin32(zeros.data(), 7), Marvin32(zeros.data(), 6));
}

TEST(HiveLog, SerialSequenceOrderAcrossTheWrap)
{
    EXPECT_TRUE(SeqAfter(5, 0xFFFFFFF0u));
    EXPECT_FALSE(SeqAfter(0xFFFFFFF0u, 5));
    EXPECT_TRUE(SeqAtLeast(7, 7));
    EXPECT_FALSE(SeqAfter(7, 7));
    EXPECT_FALSE(SeqAtLeast(6, 7));
}

TEST(HiveLog, RealEntryHashesVerify)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive hive = LoadNewDirtyHive(data);
    const LogBaseBlock base = ParseLogBaseBlock(hive.log1);
    EXPECT_EQ(base.format, LogFormat::new_format);
    EXPECT_EQ(base.sequence1, 2u);
    LogEntry entry;
    ASSERT_EQ(ReadLogEntry(hive.log1, 0x200, entry), EntryFault::none);
    EXPECT_EQ(entry.hash1, 0x67866c661807e431ull);
    EXPECT_EQ(entry.hash2, 0xcd44f3cfa7657f02ull);
    EXPECT_EQ(Marvin32(hive.log1.data() + 0x228, 0x6000 - 0x228), entry.hash1);
    EXPECT_EQ(entry.sequence, 2u);
    EXPECT_EQ(entry.size, 0x5E00u);

    const LogWalk walk = WalkLogEntries(hive.log2, ParseLogBaseBlock(hive.log2).sequence1);
    ASSERT_EQ(walk.entries.size(), 3u);
    EXPECT_EQ(walk.entries[0].sequence, 3u);
    EXPECT_EQ(walk.entries[2].sequence, 5u);
}

TEST(HiveLog, HostileEntryFieldsStopTheWalk)
{
    // A synthetic log: base block copy of type 6, then one entry with one page.
    std::vector<uint8_t> log(0x200 + 0x2000, 0);
    Put32(log.data(), kRegfSignature);
    Put32(log.data() + kBasePrimarySequence, 9);
    Put32(log.data() + kBaseSecondarySequence, 9);
    Put32(log.data() + kBaseMajor, 1);
    Put32(log.data() + kBaseFileType, kLogFileTypeNew);
    Put32(log.data() + kBaseFormat, 1);
    Put32(log.data() + kBaseBinsSize, 0x1000);
    Put32(log.data() + kBaseClusterFactor, 1);
    FixChecksum(log);
    uint8_t* e = log.data() + 0x200;
    Put32(e, kLogEntrySignature);
    Put32(e + 4, 0x2000);
    Put32(e + 12, 9);
    Put32(e + 16, 0x1000);
    Put32(e + 20, 1);
    Put32(e + 40, 0);
    Put32(e + 44, 0x1000);
    RehashEntry(log, 0x200);
    ASSERT_EQ(ParseLogBaseBlock(log).format, LogFormat::new_format);
    LogEntry entry;
    ASSERT_EQ(ReadLogEntry(log, 0x200, entry), EntryFault::none);
    ASSERT_EQ(entry.pages.size(), 1u);
    EXPECT_EQ(entry.pages[0].data, 0x200u + 48);

    struct Case {
        uint32_t field;
        uint32_t value;
        EntryFault fault;
    };
    const Case cases[] = {
        {20, 0xFFFFFFFFu, EntryFault::bad_pages},     // page count far beyond the entry
        {20, 0, EntryFault::bad_pages},               // no page
        {44, 0x2000, EntryFault::bad_pages},          // page past the entry's bins size
        {40, 0xFFFFF000u, EntryFault::bad_pages},     // offset + size wraps in 32 bits
        {44, 0x800, EntryFault::bad_pages},           // not a whole page
        {16, 0xFFFFF000u, EntryFault::bad_bins_size},  // beyond 2 GiB
        {16, 0x1800, EntryFault::bad_bins_size},
        {4, 0x4000, EntryFault::truncated},
        {4, 0x300, EntryFault::bad_size},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = log;
        Put32(bad.data() + 0x200 + c.field, c.value);
        if (c.fault != EntryFault::truncated && c.fault != EntryFault::bad_size)
            RehashEntry(bad, 0x200);
        EXPECT_EQ(ReadLogEntry(bad, 0x200, entry), c.fault) << "field " << c.field << " = " << c.value;
        EXPECT_TRUE(WalkLogEntries(bad, 9).entries.empty());
    }
    // Unhashed changes fail the hashes.
    std::vector<uint8_t> bad = log;
    bad[0x200 + 0x1000] ^= 1;
    EXPECT_EQ(ReadLogEntry(bad, 0x200, entry), EntryFault::bad_data_hash);
    bad = log;
    bad[0x200 + 8] ^= 1;
    EXPECT_EQ(ReadLogEntry(bad, 0x200, entry), EntryFault::bad_header_hash);
    // A wrong sequence number ends the chain; the entry is still counted by the scan.
    EXPECT_EQ(WalkLogEntries(log, 8).stop, EntryFault::sequence);
    EXPECT_EQ(ScanLogSequences(log), std::vector<uint32_t>{9});
    // Short or torn base block copies are no log.
    EXPECT_EQ(ParseLogBaseBlock(std::span(log.data(), 511)).format, LogFormat::none);
    bad = log;
    Put32(bad.data() + kBaseSecondarySequence, 10);
    FixChecksum(bad);
    EXPECT_EQ(ParseLogBaseBlock(bad).format, LogFormat::none);
}

TEST(HiveLog, ScanOfEntriesThatEachSpanTheRestOfTheFileIsBounded)
{
    // Every 512 bytes a header with a good header hash whose entry runs to the end of the
    // file and whose data hash fails: unbounded, the scan would hash gigabytes.
    std::vector<uint8_t> log(8u << 20, 0);
    Put32(log.data(), kRegfSignature);
    for (size_t off = 512; off + 512 <= log.size(); off += 512) {
        uint8_t* e = log.data() + off;
        Put32(e, kLogEntrySignature);
        Put32(e + 4, static_cast<uint32_t>(log.size() - off));
        Put32(e + 16, 0x1000);
        Put32(e + 20, 1);
        Put64(e + 32, Marvin32(e, 32));
    }
    bool complete = true;
    EXPECT_TRUE(ScanLogSequences(log, &complete).empty());
    EXPECT_FALSE(complete);
    LogEntry entry;
    EXPECT_EQ(ReadLogEntry(log, 512, entry), EntryFault::bad_data_hash);
}

TEST(LogReplay, NewDirtyHiveEqualsWindowsRecoveryInEitherOrder)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive hive = LoadNewDirtyHive(data);
    EXPECT_TRUE(HiveIsDirty(hive.primary));
    for (bool swapped : {false, true}) {
        const ReplayResult r = swapped ? Replay(hive.primary, hive.log2, hive.log1) : Replay(hive.primary, hive.log1, hive.log2);
        ASSERT_EQ(r.status, ReplayStatus::replayed) << r.message;
        EXPECT_EQ(r.entries_applied, 4u);
        EXPECT_EQ(r.first_sequence, 2u);
        EXPECT_EQ(r.last_sequence, 5u);
        EXPECT_EQ(r.new_sequence, 6u);
        EXPECT_FALSE(r.lost);
        EXPECT_EQ(r.bins_size, 0x5000u);
        EXPECT_TRUE(r.image == hive.recovered) << "replayed image differs from RecoveredHive_Windows10";
        EXPECT_FALSE(HiveIsDirty(r.image));
    }
    // Windows' own recovered hive is clean: its logs are never replayed again.
    const ReplayResult clean = Replay(hive.recovered, hive.log1, hive.log2);
    EXPECT_EQ(clean.status, ReplayStatus::clean);
    EXPECT_TRUE(clean.image.empty());
    EXPECT_EQ(clean.new_sequence, 6u);  // its own seq already beats every seq in the logs
    // A clean hive that another tool sealed with too small a seq is raised above the logs.
    std::vector<uint8_t> low = hive.recovered;
    SetBaseSequences(low.data(), 4);
    const ReplayResult raised = Replay(low, hive.log1, hive.log2);
    EXPECT_EQ(raised.status, ReplayStatus::clean);
    EXPECT_EQ(raised.new_sequence, 6u);
    // A single-scheme .LOG beside dual logs is left out, even when it looks usable.
    const ReplayResult dual =
        ReplayHiveLogs(hive.primary, {{"H.LOG", hive.log2}, {"H.LOG1", hive.log1}, {"H.LOG2", hive.log2}}, {});
    ASSERT_EQ(dual.status, ReplayStatus::replayed) << dual.message;
    EXPECT_TRUE(dual.image == hive.recovered);
    EXPECT_EQ(dual.logs[0].stop, "not used: the hive has dual logs");
}

TEST(LogReplay, CorruptOrTruncatedEntryStopsTheChain)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive hive = LoadNewDirtyHive(data);
    struct Variant {
        const char* what;
        std::vector<uint8_t> log2;
        bool lost;  // a valid entry 5 is left behind
    };
    std::vector<Variant> variants;
    variants.push_back({"page byte of entry 4", hive.log2, true});
    variants.back().log2[0x3000] ^= 0x55;
    variants.push_back({"flags of entry 4", hive.log2, true});
    variants.back().log2[0x2008] ^= 1;
    variants.push_back({"cut inside entry 4",
                        std::vector<uint8_t>(hive.log2.begin(), hive.log2.begin() + 0x5000), false});
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        const ReplayResult strict = Replay(hive.primary, hive.log1, v.log2);
        const ReplayResult loose = Replay(hive.primary, hive.log1, v.log2, true);
        ASSERT_EQ(loose.status, ReplayStatus::replayed) << loose.message;
        EXPECT_EQ(loose.last_sequence, 3u);
        EXPECT_EQ(loose.entries_applied, 2u);
        EXPECT_EQ(loose.new_sequence, v.lost ? 6u : 4u);
        EXPECT_FALSE(loose.image == hive.recovered);
        EXPECT_EQ(loose.lost, v.lost);
        if (v.lost) {
            EXPECT_EQ(loose.lost_first, 4u);  // the broken entry 4 was written too
            EXPECT_EQ(loose.lost_last, 5u);
            EXPECT_EQ(loose.logs[1].lost_first, 4u);
            EXPECT_EQ(strict.status, ReplayStatus::refused);
            EXPECT_EQ(strict.error, ReplayError::lost_changes);
            EXPECT_TRUE(strict.image.empty());
        } else {
            EXPECT_EQ(strict.status, ReplayStatus::replayed);
            EXPECT_TRUE(strict.logs[1].truncated) << DescribeReplay(strict);
        }
    }
}

TEST(LogReplay, BrokenBaseBlocks)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive hive = LoadNewDirtyHive(data);
    // LOG2's copy broken: only LOG1's entry 2 applies, while 3..5 sit in LOG2.
    std::vector<uint8_t> log2 = hive.log2;
    log2[kBaseChecksum] ^= 1;
    ReplayResult r = Replay(hive.primary, hive.log1, log2);
    EXPECT_EQ(r.error, ReplayError::lost_changes);
    r = Replay(hive.primary, hive.log1, log2, true);
    ASSERT_EQ(r.status, ReplayStatus::replayed);
    EXPECT_EQ(r.last_sequence, 2u);
    EXPECT_EQ(r.lost_first, 3u);
    EXPECT_EQ(r.lost_last, 5u);
    EXPECT_EQ(r.new_sequence, 6u);

    // The primary's own base block torn: the newest log alone, its copy as the base block.
    std::vector<uint8_t> primary = hive.primary;
    primary[kBaseChecksum] ^= 1;
    for (bool swapped : {false, true}) {
        r = swapped ? Replay(primary, hive.log2, hive.log1) : Replay(primary, hive.log1, hive.log2);
        ASSERT_EQ(r.status, ReplayStatus::replayed) << r.message;
        EXPECT_EQ(r.first_sequence, 3u);
        EXPECT_EQ(r.last_sequence, 5u);
        EXPECT_TRUE(r.image == hive.recovered);
    }
}

TEST(LogReplay, DirtyHiveWithoutApplicableLogIsRefused)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const auto truncated = TestSupport::ReadFileBytes(data / "hives" / "yarp" / "TruncatedDirtyHive");
    ReplayResult r = ReplayHiveLogs(truncated, {{"TruncatedDirtyHive.LOG1", {}}}, {});
    EXPECT_EQ(r.status, ReplayStatus::refused);
    EXPECT_EQ(r.error, ReplayError::no_usable_log);
    r = ReplayHiveLogs(truncated, {}, {.accept_loss = true});
    EXPECT_EQ(r.status, ReplayStatus::primary_only);

    // Logs older than the hive.
    const DirtyHive hive = LoadNewDirtyHive(data);
    std::vector<uint8_t> primary = hive.primary;
    Put32(primary.data() + kBasePrimarySequence, 7);
    Put32(primary.data() + kBaseSecondarySequence, 6);
    FixChecksum(primary);
    r = Replay(primary, hive.log1, hive.log2);
    EXPECT_EQ(r.error, ReplayError::no_usable_log) << DescribeReplay(r);

    // Not a hive at all.
    EXPECT_EQ(Replay(std::vector<uint8_t>(100, 0), hive.log1, hive.log2).error, ReplayError::not_a_hive);
}

TEST(LogReplay, MangledLogsNeverYieldAnUncheckedImage)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive hive = LoadNewDirtyHive(data);
    std::mt19937 random(6);
    for (int round = 0; round < 60; ++round) {
        std::vector<uint8_t> log1 = hive.log1, log2 = hive.log2;
        std::vector<uint8_t>& target = round % 2 ? log1 : log2;
        for (int k = 0; k < 4; ++k)
            target[random() % target.size()] = static_cast<uint8_t>(random());
        // Give the mangled entries valid hashes half the time, so the bounds checks are reached.
        if (round % 4 < 2)
            for (size_t off = 0x200; off + 40 <= target.size(); off += 0x200)
                if (Get32(target.data() + off) == kLogEntrySignature) {
                    const uint32_t size = Get32(target.data() + off + 4);
                    if (size >= 512 && size % 512 == 0 && off + size <= target.size())
                        RehashEntry(target, off);
                }
        const ReplayResult r = Replay(hive.primary, log1, log2, true);
        if (r.status == ReplayStatus::replayed) {
            std::vector<std::string> faults;
            Common::HiveCheckSummary summary;
            EXPECT_TRUE(Common::CheckHive(r.image.data(), 4096 + uint64_t(r.bins_size), faults, summary));
        }
    }
}

TEST(LogReplay, OldFormatMatchesWindows7Bins)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const auto dir = data / "hives" / "yarp" / "OldDirtyHive";
    const auto primary = TestSupport::ReadFileBytes(dir / "OldDirtyHive");
    const auto log1 = TestSupport::ReadFileBytes(dir / "OldDirtyHive.LOG1");
    const auto windows = TestSupport::ReadFileBytes(dir / "RecoveredHive_Windows7");
    ASSERT_EQ(ParseLogBaseBlock(log1).format, LogFormat::old_format);
    const DirtyVector vector = ParseDirtyVector(log1, ParseLogBaseBlock(log1));
    EXPECT_TRUE(vector.complete);
    EXPECT_EQ(vector.data_start, 1024u);
    EXPECT_EQ(vector.pages.size(), 64u);

    const ReplayResult r = ReplayHiveLogs(primary, {{"OldDirtyHive.LOG1", log1}}, {.now = 0x01D3000000000000ull});
    ASSERT_EQ(r.status, ReplayStatus::replayed) << r.message;
    EXPECT_EQ(r.format, LogFormat::old_format);
    EXPECT_EQ(r.bins_size, 0x77000u);
    EXPECT_EQ(r.new_sequence, 6u);
    EXPECT_EQ(Get64(r.image.data() + kBaseTimestamp), 0x01D3000000000000ull);
    ASSERT_EQ(r.image.size(), windows.size());
    // Windows wrote the hive twice more: the first bin's timestamp and one key's value
    // name length hint are the only bins bytes that may differ.
    std::vector<size_t> differ;
    for (size_t i = 4096; i < 4096 + r.bins_size; ++i)
        if (r.image[i] != windows[i] && !(i >= 0x1014 && i < 0x101C) && !(i >= 0x6BDC8 && i < 0x6BDCC))
            differ.push_back(i);
    EXPECT_TRUE(differ.empty()) << differ.size() << " bytes differ, first at " << differ.front();

    // A log whose timestamp does not match the hive is someone else's.
    std::vector<uint8_t> other = log1;
    Put64(other.data() + kBaseTimestamp, Get64(other.data() + kBaseTimestamp) + 1);
    FixChecksum(other);
    EXPECT_EQ(ReplayHiveLogs(primary, {{"OldDirtyHive.LOG1", other}}, {}).error, ReplayError::no_usable_log);
    // The single-log scheme's name serves only where no dual log is valid.
    EXPECT_EQ(ReplayHiveLogs(primary, {{"OldDirtyHive.LOG", log1}}, {}).status, ReplayStatus::replayed);
    EXPECT_EQ(ReplayHiveLogs(primary, {{"OldDirtyHive.LOG", log1}, {"OldDirtyHive.LOG2", other}}, {}).error,
              ReplayError::no_usable_log);
    EXPECT_EQ(ReplayHiveLogs(primary, {{"OldDirtyHive.log2", log1}, {"OldDirtyHive.LOG1", other}}, {}).status,
              ReplayStatus::replayed);
    // A truncated log is not applied.
    const std::vector<uint8_t> cut(log1.begin(), log1.end() - 512);
    EXPECT_EQ(ReplayHiveLogs(primary, {{"OldDirtyHive.LOG1", cut}}, {}).error, ReplayError::no_usable_log);
}

TEST(LogReplay, RealWindows10SystemHive)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const auto dir = data / "hives" / "regipy";
    const auto primary = TestSupport::ReadFileBytes(dir / "SYSTEM_B");
    const auto log1 = TestSupport::ReadFileBytes(dir / "SYSTEM_B.LOG1");
    const auto log2 = TestSupport::ReadFileBytes(dir / "SYSTEM_B.LOG2");
    for (bool swapped : {false, true}) {
        const auto start = std::chrono::steady_clock::now();
        const ReplayResult r = swapped ? Replay(primary, log2, log1) : Replay(primary, log1, log2);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        ASSERT_EQ(r.status, ReplayStatus::replayed) << r.message << DescribeReplay(r);
        EXPECT_EQ(r.entries_applied, 24u);
        EXPECT_EQ(r.first_sequence, 2107u);
        EXPECT_EQ(r.last_sequence, 2130u);
        EXPECT_EQ(r.new_sequence, 2131u);
        EXPECT_EQ(r.bins_size, 0xC02000u);
        EXPECT_FALSE(r.lost);
        std::vector<std::string> faults;
        Common::HiveCheckSummary summary;
        EXPECT_TRUE(Common::CheckHive(r.image.data(), 4096 + uint64_t(r.bins_size), faults, summary))
            << (faults.empty() ? "" : faults.front());
        EXPECT_EQ(summary.keys, 35595u);
        if (!swapped) {
            // yarp's independent recovery of this hive has these bins (MD5 of the file from the first bin on).
            TestSupport::ScratchDir scratch;
            const auto file = scratch.write("SYSTEM", r.image);
            std::string md5;
            ASSERT_EQ(TestSupport::RunCommand("tail -c +4097 '" + file.string() + "' | md5sum", &md5), 0);
            EXPECT_EQ(md5.substr(0, 32), "4883c762e6414dd7b8c48e10c4be08cb");
        }
        std::cout << "SYSTEM_B replay (with check): " << ms.count() << " ms\n" << DescribeReplay(r);
    }
}

// An old-format log of a 12 MiB hive: its bitmap needs 3074 bytes, so the pages start at
// 4096, not at 1024. Built from the two states of SYSTEM_B, before and after its own replay.
TEST(LogReplay, OldFormatPagesStartAfterALongBitmap)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const auto dir = data / "hives" / "regipy";
    const auto primary = TestSupport::ReadFileBytes(dir / "SYSTEM_B");
    const ReplayResult after = Replay(primary, TestSupport::ReadFileBytes(dir / "SYSTEM_B.LOG1"),
                                      TestSupport::ReadFileBytes(dir / "SYSTEM_B.LOG2"));
    ASSERT_EQ(after.status, ReplayStatus::replayed);
    const uint32_t bins = after.bins_size;

    std::vector<uint8_t> log(after.image.begin(), after.image.begin() + 512);
    Put32(log.data() + kBaseFileType, 1);
    Put32(log.data() + kBasePrimarySequence, 1700);
    Put32(log.data() + kBaseSecondarySequence, 1700);
    Put64(log.data() + kBaseTimestamp, Get64(primary.data() + kBaseTimestamp));
    FixChecksum(log);
    log.resize(516 + bins / 4096, 0);
    Put32(log.data() + 512, kDirtSignature);
    std::vector<uint32_t> dirty;
    for (uint32_t page = 0; page < bins / 512; ++page) {
        const size_t at = 4096 + size_t(page) * 512;
        if (at + 512 > primary.size() || std::memcmp(&primary[at], &after.image[at], 512) != 0) {
            log[516 + page / 8] |= static_cast<uint8_t>(1u << (page % 8));
            dirty.push_back(page);
        }
    }
    ASSERT_EQ(log.size(), 516u + 3074u);
    log.resize(4096, 0);
    for (uint32_t page : dirty)
        log.insert(log.end(), after.image.begin() + 4096 + size_t(page) * 512,
                   after.image.begin() + 4096 + size_t(page) * 512 + 512);

    const LogBaseBlock base = ParseLogBaseBlock(log);
    ASSERT_EQ(base.format, LogFormat::old_format);
    const DirtyVector vector = ParseDirtyVector(log, base);
    EXPECT_TRUE(vector.complete);
    EXPECT_EQ(vector.data_start, 4096u);
    EXPECT_EQ(vector.pages, dirty);

    const ReplayResult r = ReplayHiveLogs(primary, {{"SYSTEM.LOG1", log}}, {});
    ASSERT_EQ(r.status, ReplayStatus::replayed) << r.message;
    EXPECT_EQ(r.format, LogFormat::old_format);
    EXPECT_EQ(r.bins_size, 0xC02000u);
    EXPECT_EQ(r.new_sequence, 1701u);
    EXPECT_TRUE(std::equal(r.image.begin() + 4096, r.image.begin() + 4096 + bins, after.image.begin() + 4096));
}

// A few hash-valid bytes of log announcing 2 GiB of bins must not make us allocate them.
TEST(LogReplay, HugeLoggedBinsSizeIsRefusedWithoutGrowing)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive hive = LoadNewDirtyHive(data);
    std::vector<uint8_t> log1 = hive.log1;
    Put32(log1.data() + 0x200 + 16, 0x7FFFE000);
    RehashEntry(log1, 0x200);
    const ReplayResult r = Replay(hive.primary, log1, {}, true);
    EXPECT_EQ(r.status, ReplayStatus::refused);
    EXPECT_EQ(r.error, ReplayError::inconsistent) << r.message;
    // A page far past the end of the hive is a hole no log fills: the entry is not applied.
    log1 = hive.log1;
    Put32(log1.data() + 0x200 + 16, 0x7FFFE000);
    Put32(log1.data() + 0x200 + 40, 0x70000000);  // the first page's bins offset
    RehashEntry(log1, 0x200);
    const ReplayResult hole = Replay(hive.primary, log1, {}, true);
    EXPECT_NE(hole.status, ReplayStatus::replayed);
    EXPECT_NE(DescribeReplay(hole).find("hole"), std::string::npos) << DescribeReplay(hole);
}
