// Dirty hives through the ways the engine opens them: read-only, writable in place, the
// SYSTEM working copy; and what the policy does when the logs cannot give everything.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>

#include "registry/file_reg.h"
#include "registry/hive_commit.h"
#include "registry/hive_recovery.h"
#include "registry/log_replay.h"
#include "registry/reg_text.h"
#include "registry/windows_registry.h"
#include "support/message_format.h"
#include "registry_test_util.h"
#include "transvia/codes.h"

#include "dirty_hives.h"

using namespace Common::Hive;
using namespace DirtyHives;
namespace fs = std::filesystem;

namespace {

// A folder holding a hive and its logs, under names of other letter cases than the
// engine asks for: "HIVE", "hive.log1", "Hive.Log2".
struct HiveFolder {
    TestSupport::ScratchDir scratch;
    explicit HiveFolder(const DirtyHive& hive, const std::vector<uint8_t>* log2 = nullptr)
    {
        scratch.write("HIVE", hive.primary);
        scratch.write("hive.log1", hive.log1);
        scratch.write("Hive.Log2", log2 ? *log2 : hive.log2);
    }
    std::vector<uint8_t> hive() const { return TestSupport::ReadFileBytes(scratch.path() / "HIVE"); }
    std::vector<uint8_t> log(int n) const
    {
        return TestSupport::ReadFileBytes(scratch.path() / (n == 1 ? "hive.log1" : "Hive.Log2"));
    }
};

Common::HiveLogPolicy Policy(bool strict, bool use_logs = true)
{
    Common::HiveLogPolicy policy;
    policy.strict = strict;
    policy.use_logs = use_logs;
    return policy;
}

// The key paths of a hive as its .reg export lists them.
std::vector<std::string> Keys(const Common::file_reg& root)
{
    std::string text;
    EXPECT_TRUE(Common::RegText::Export(root, u"", u"R", text));
    std::vector<std::string> keys;
    for (size_t at = text.find("\n["); at != std::string::npos; at = text.find("\n[", at + 1))
        keys.push_back(text.substr(at + 2, text.find(']', at) - at - 2));
    return keys;
}

bool Has(const std::vector<std::string>& keys, const std::string& key)
{
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

uint32_t Sequence(const std::vector<uint8_t>& hive, uint32_t field) { return Get32(hive.data() + field); }

void ExpectCleanAbove(const std::vector<uint8_t>& hive, uint32_t highest_in_logs)
{
    ASSERT_GE(hive.size(), HBLOCK_SIZE);
    EXPECT_FALSE(HiveIsDirty(hive));
    EXPECT_GT(Sequence(hive, kBasePrimarySequence), highest_in_logs);
}

bool TracedError(const RegistryTest::TraceCapture& trace, int level, uint32_t code)
{
    for (const auto& [l, c] : trace.Errors())
        if (l == level && c == code)
            return true;
    return false;
}

// LOG2 with one byte of entry 4's page data flipped: its hash fails, so replay stops after
// entry 3 while entry 5 still lies valid behind it.
std::vector<uint8_t> BrokenEntry4(const DirtyHive& hive)
{
    std::vector<uint8_t> log2 = hive.log2;
    log2[kLog2Entry4 + 0x400] ^= 0x55;
    return log2;
}

}  // namespace

TEST(HiveRecovery, ReadOnlyOpenShowsTheRecoveredHiveAndWritesNothing)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive dirty = LoadNewDirtyHive(data);
    HiveFolder folder(dirty);
    Common::Error error;
    {
        Common::file_reg root = Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(folder.scratch.dir()), u"hive", error);
        ASSERT_FALSE(root.empty()) << Processor::ToUtf8(Processor::RenderError(error));
        const auto keys = Keys(root);
        EXPECT_TRUE(Has(keys, "R\\Key3\\Key3_3"));
        EXPECT_FALSE(Has(keys, "R\\Key1"));
    }
    {
        // The primary as it is, on request.
        Common::file_reg root = Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(folder.scratch.dir()), u"HIVE",
                                                            error, Policy(false, false));
        ASSERT_FALSE(root.empty());
        EXPECT_TRUE(Has(Keys(root), "R\\Key1"));
    }
    {
        // A read-only open through a writable directory is just as read-only.
        Common::file_reg root = Common::file_reg::open_hive(folder.scratch.dir(), u"HIVE", true, error);
        ASSERT_FALSE(root.empty());
        EXPECT_FALSE(Has(Keys(root), "R\\Key1"));
    }
    EXPECT_EQ(folder.hive(), dirty.primary);
    EXPECT_EQ(folder.log(1), dirty.log1);
    EXPECT_EQ(folder.log(2), dirty.log2);
}

TEST(HiveRecovery, WritableOpenPutsWindowsOwnRecoveryInPlaceBeforeTheFirstEdit)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive dirty = LoadNewDirtyHive(data);
    HiveFolder folder(dirty);
    Common::Error error;
    {
        Common::file_reg root = Common::file_reg::open_hive(folder.scratch.dir(), u"hive", false, error);
        ASSERT_FALSE(root.empty()) << Processor::ToUtf8(Processor::RenderError(error));
        // Windows 10 kept its recovered file at its preallocated length; ours ends with the bins.
        const std::vector<uint8_t> windows(dirty.recovered.begin(), dirty.recovered.begin() + HBLOCK_SIZE + 0x5000);
        EXPECT_TRUE(folder.hive() == windows) << "the file is not the hive Windows 10 recovered";
        ASSERT_FALSE(root.create_key(u"Added\\Below").empty());
        ASSERT_TRUE(root.set_dword(u"Marker", 7));
    }
    const std::vector<uint8_t> written = folder.hive();
    ExpectCleanAbove(written, 5);
    EXPECT_EQ(folder.log(1), dirty.log1);
    EXPECT_EQ(folder.log(2), dirty.log2);

    // Read back: the recovered keys and ours, and nothing left to replay.
    const ReplayResult again = ReplayHiveLogs(written, {{"hive.log1", dirty.log1}, {"Hive.Log2", dirty.log2}}, {});
    EXPECT_EQ(again.status, ReplayStatus::clean);
    Common::file_reg root = Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(folder.scratch.dir()), u"hive", error);
    ASSERT_FALSE(root.empty());
    const auto keys = Keys(root);
    EXPECT_TRUE(Has(keys, "R\\Key3\\Key3_1"));
    EXPECT_TRUE(Has(keys, "R\\Added\\Below"));
    EXPECT_EQ(root.get_dword(u"Marker", 0), 7u);
}

TEST(HiveRecovery, ChangesTheLogsCannotGiveAreTracedByDefaultAndRefusedWhenStrict)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive dirty = LoadNewDirtyHive(data);
    const std::vector<uint8_t> log2 = BrokenEntry4(dirty);
    Common::Error error;
    {
        HiveFolder folder(dirty, &log2);
        RegistryTest::TraceCapture trace;
        Common::file_reg root = Common::file_reg::open_hive(folder.scratch.dir(), u"hive", false, error, Policy(true));
        EXPECT_TRUE(root.empty());
        EXPECT_EQ(error.code(), Common::Codes::kHiveLogChangesLost);
        EXPECT_NE(Processor::ToUtf8(Processor::RenderError(error)).find("5"), std::string::npos);
        EXPECT_EQ(folder.hive(), dirty.primary);
        EXPECT_EQ(folder.log(2), log2);
    }
    {
        HiveFolder folder(dirty, &log2);
        RegistryTest::TraceCapture trace;
        error = Common::Error();
        Common::file_reg root = Common::file_reg::open_hive(folder.scratch.dir(), u"hive", false, error);
        ASSERT_FALSE(root.empty()) << Processor::ToUtf8(Processor::RenderError(error));
        EXPECT_TRUE(TracedError(trace, 3, Common::Codes::kHiveLogChangesLost));
        bool named = false;  // which log and which entries (as the engine asked for it)
        for (const auto& [level, text] : trace.Texts())
            named = named || text.find("hive.LOG2: new format, base seq 3") != std::string::npos;
        EXPECT_TRUE(named);
        root = Common::file_reg();
        // Entry 5 is lost, but it must never chain onto this hive later either.
        ExpectCleanAbove(folder.hive(), 5);
        EXPECT_EQ(folder.log(2), log2);
    }
}

TEST(HiveRecovery, DirtyHiveWithoutApplicableLog)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    DirtyHive dirty = LoadNewDirtyHive(data);
    // Seqs 7/6 with the real logs (bases 2 and 3): nothing applies.
    Put32(dirty.primary.data() + kBasePrimarySequence, 7);
    Put32(dirty.primary.data() + kBaseSecondarySequence, 6);
    FixChecksum(dirty.primary);
    HiveFolder folder(dirty);
    Common::Error error;
    Common::file_reg strict =
        Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(folder.scratch.dir()), u"hive", error, Policy(true));
    EXPECT_TRUE(strict.empty());
    EXPECT_EQ(error.code(), Common::Codes::kHiveDirtyWithoutLog);
    {
        RegistryTest::TraceCapture trace;
        Common::file_reg root = Common::file_reg::open_hive(folder.scratch.dir(), u"hive", false, error);
        ASSERT_FALSE(root.empty());
        EXPECT_TRUE(Has(Keys(root), "R\\Key1"));  // the primary as it is
        EXPECT_TRUE(TracedError(trace, 3, Common::Codes::kHiveDirtyWithoutLog));
    }
    const std::vector<uint8_t> written = folder.hive();
    ExpectCleanAbove(written, 7);
    EXPECT_EQ(Sequence(written, kBasePrimarySequence), 8u);
}

TEST(HiveRecovery, ReplayedHiveThatFailsTheCheckIsAlwaysRefused)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive dirty = LoadNewDirtyHive(data);
    // Entry 5's first page with its bin signature wiped, hashes made valid again: only the
    // structural check can catch it.
    std::vector<uint8_t> log2 = dirty.log2;
    const uint32_t pages = Get32(log2.data() + kLog2Entry5 + 20);
    log2[kLog2Entry5 + 40 + 8 * pages] ^= 0xFF;
    RehashEntry(log2, kLog2Entry5);
    HiveFolder folder(dirty, &log2);
    for (bool read_only : {true, false}) {
        Common::Error error;
        Common::file_reg root = Common::file_reg::open_hive(folder.scratch.dir(), u"hive", read_only, error);
        EXPECT_TRUE(root.empty());
        EXPECT_EQ(error.code(), Common::Codes::kHiveReplayInconsistent);
    }
    EXPECT_EQ(folder.hive(), dirty.primary);
}

TEST(HiveRecovery, CleanHiveWeWriteIsRaisedAboveItsLogs)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    DirtyHive dirty = LoadNewDirtyHive(data);
    dirty.primary.assign(dirty.recovered.begin(), dirty.recovered.begin() + HBLOCK_SIZE + 0x5000);
    SetBaseSequences(dirty.primary.data(), 4);  // sealed by some tool below the logs' 5
    HiveFolder folder(dirty);
    Common::Error error;
    ASSERT_FALSE(Common::file_reg::open_hive(folder.scratch.dir(), u"hive", false, error).empty());
    std::vector<uint8_t> written = folder.hive();
    EXPECT_EQ(Sequence(written, kBasePrimarySequence), 6u);
    EXPECT_EQ(Sequence(written, kBaseSecondarySequence), 6u);
    // Only the seqs and the checksum changed.
    SetBaseSequences(written.data(), 4);
    EXPECT_TRUE(written == dirty.primary);
}

TEST(HiveRecovery, LogOutsideTheTargetIsNeverRead)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive dirty = LoadNewDirtyHive(data);
    HiveFolder folder(dirty);
    TestSupport::ScratchDir outside;
    const fs::path real = outside.write("NewDirtyHive.LOG2", dirty.log2);
    fs::remove(folder.scratch.path() / "Hive.Log2");
    fs::create_symlink(real, folder.scratch.path() / "Hive.Log2");
    Common::Error error;
    EXPECT_TRUE(Common::file_reg::open_hive(folder.scratch.dir(), u"hive", false, error, Policy(true)).empty());
    EXPECT_EQ(error.code(), Common::Codes::kHiveLogChangesLost);
    EXPECT_EQ(folder.hive(), dirty.primary);
    // By default the readable log alone is used, and the hive beats every seq it could see.
    RegistryTest::TraceCapture trace;
    Common::file_reg root = Common::file_reg::open_hive(folder.scratch.dir(), u"hive", false, error);
    ASSERT_FALSE(root.empty());
    EXPECT_TRUE(Has(Keys(root), "R\\Key1"));  // only entry 2 of LOG1 was applied
    EXPECT_FALSE(trace.Errors().empty());
}

TEST(HiveRecovery, WorkingCopyLeavesTheTargetAloneUntilCommit)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive dirty = LoadNewDirtyHive(data);
    TestSupport::ScratchDir target;
    target.write("Windows/System32/config/SYSTEM", dirty.primary);
    target.write("Windows/System32/config/SYSTEM.LOG1", dirty.log1);
    target.write("Windows/System32/config/system.log2", dirty.log2);
    const fs::path config = target.path() / "Windows/System32/config";
    {
        auto registry = Transvia::CreateWindowsRegistry(target.dir("Windows"));
        registry->UseWorkingCopy();
        Transvia::RegistryKey* system = registry->System();
        ASSERT_NE(system, nullptr);
        EXPECT_NE(system->OpenKey(u"Key3\\Key3_2"), nullptr);
        ASSERT_NE(system->CreateKey(u"Transvia"), nullptr);
        EXPECT_EQ(TestSupport::ReadFileBytes(config / "SYSTEM"), dirty.primary);
        ASSERT_FALSE(registry->Commit().failed());
    }
    ExpectCleanAbove(TestSupport::ReadFileBytes(config / "SYSTEM"), 5);
    EXPECT_EQ(TestSupport::ReadFileBytes(config / "SYSTEM.LOG1"), dirty.log1);
    EXPECT_EQ(TestSupport::ReadFileBytes(config / "system.log2"), dirty.log2);

    // Strict, with a log that cannot give everything: no SYSTEM, and nothing written.
    target.write("Windows/System32/config/SYSTEM", dirty.primary);
    target.write("Windows/System32/config/system.log2", BrokenEntry4(dirty));
    auto registry = Transvia::CreateWindowsRegistry(target.dir("Windows"), Policy(true));
    registry->UseWorkingCopy();
    EXPECT_EQ(registry->System(), nullptr);
    EXPECT_EQ(TestSupport::ReadFileBytes(config / "SYSTEM"), dirty.primary);
}


// ---- Review of the dirty-hive work: each test below shows one fault ------------------

namespace {

// A one-entry log for a dirty `primary` whose seqs are s2 + 1 / s2: entry s2 rewrites the
// first page as it already is, so the replayed hive has exactly the primary's content.
std::vector<uint8_t> IdentityLog(const std::vector<uint8_t>& primary)
{
    const uint32_t s2 = Get32(primary.data() + kBaseSecondarySequence);
    std::vector<uint8_t> log(primary.begin(), primary.begin() + kLogBaseSize);
    SetBaseSequences(log.data(), s2);
    Put32(log.data() + kBaseFileType, kLogFileTypeNew);
    Put32(log.data() + kBaseChecksum, BaseBlockChecksum(log.data()));
    const size_t at = log.size(), size = (kLogEntryHeader + 8 + HBLOCK_SIZE + 511) / 512 * 512;
    log.resize(at + size, 0);
    Put32(log.data() + at, kLogEntrySignature);
    Put32(log.data() + at + 4, static_cast<uint32_t>(size));
    Put32(log.data() + at + 12, s2);
    Put32(log.data() + at + 16, Get32(primary.data() + kBaseBinsSize));
    Put32(log.data() + at + 20, 1);
    Put32(log.data() + at + 40, 0);
    Put32(log.data() + at + 44, HBLOCK_SIZE);
    std::copy(primary.begin() + HBLOCK_SIZE, primary.begin() + 2 * HBLOCK_SIZE, log.begin() + at + 48);
    RehashEntry(log, at);
    return log;
}

}  // namespace

// A hive Windows wrote opens as it is (the checker's only complaint is an lf hint); the
// same content, dirty with a log that changes nothing, must open just as well: replay
// may refuse a broken structure, not the checker's opinions about hints and counts.
TEST(HiveRecoveryReview, DirtyHiveOpensWhenTheCleanSameContentDoes)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    std::vector<uint8_t> primary = TestSupport::ReadFileBytes(data / "hives" / "yarp" / "CompHive");
    TestSupport::ScratchDir scratch;
    scratch.write("CLEAN", primary);
    Put32(primary.data() + kBasePrimarySequence, Get32(primary.data() + kBaseSecondarySequence) + 1);
    FixChecksum(primary);
    scratch.write("DIRTY", primary);
    scratch.write("DIRTY.LOG1", IdentityLog(primary));
    Common::Error error;
    auto dir = std::shared_ptr<Common::i_dir>(scratch.dir());
    Common::file_reg clean = Common::file_reg::open_hive(dir, u"CLEAN", error);
    ASSERT_FALSE(clean.empty()) << Processor::ToUtf8(Processor::RenderError(error));
    Common::file_reg dirty = Common::file_reg::open_hive(dir, u"DIRTY", error);
    ASSERT_FALSE(dirty.empty()) << Processor::ToUtf8(Processor::RenderError(error));
    EXPECT_EQ(Keys(dirty), Keys(clean));
}

// --no-logs edits the primary as it is, but the hive it writes must still beat every seq
// in the logs beside it: NewDirtyHive's LOG2 holds valid entries 4 and 5, and a hive
// sealed at 4 lets Windows chain the stale entry 5 after its next session.
TEST(HiveRecoveryReview, EditWithoutLogsStillWritesASequenceAboveTheLogs)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive dirty = LoadNewDirtyHive(data);
    HiveFolder folder(dirty);
    const Common::Error error = Common::EditHiveAtomically(
        folder.scratch.dir(), u"hive", [](Common::file_reg& root, Common::Error&) { return root.set_dword(u"Marker", 1); },
        Policy(false, false));
    ASSERT_FALSE(error.failed()) << Processor::ToUtf8(Processor::RenderError(error));
    ExpectCleanAbove(folder.hive(), 5);
    EXPECT_EQ(folder.log(2), dirty.log2);
}

// One "HvLE" with a huge size in the garbage of a log must not end the search for the
// valid entries behind it: here entry 5 is still in LOG2, so a strict open refuses as it
// does for BrokenEntry4 alone, and any hive we write must beat 5.
TEST(HiveRecoveryReview, HugeGarbageEntryDoesNotHideTheEntriesBehindIt)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive dirty = LoadNewDirtyHive(data);
    std::vector<uint8_t> log2 = BrokenEntry4(dirty);
    Put32(log2.data() + kLog2Entry4 + 0x200, kLogEntrySignature);
    Put32(log2.data() + kLog2Entry4 + 0x204, 0xFFFFFE00u);
    const ReplayResult strict = ReplayHiveLogs(dirty.primary, {{"hive.log1", dirty.log1}, {"Hive.Log2", log2}}, {});
    EXPECT_EQ(strict.status, ReplayStatus::refused);
    EXPECT_EQ(strict.error, ReplayError::lost_changes);
    ReplayPolicy lenient;
    lenient.accept_loss = true;
    const ReplayResult used = ReplayHiveLogs(dirty.primary, {{"hive.log1", dirty.log1}, {"Hive.Log2", log2}}, lenient);
    EXPECT_GT(used.new_sequence, 5u);
}

// Errors and warnings name the user's hive, never the working copy in the temporary folder.
TEST(HiveRecoveryReview, EditErrorsNameTheHiveNotItsWorkingCopy)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    std::vector<uint8_t> torn = LoadNewDirtyHive(data).primary;
    Put32(torn.data() + kBaseChecksum, Get32(torn.data() + kBaseChecksum) ^ 1);  // torn base block, no logs
    TestSupport::ScratchDir scratch;
    scratch.write("TornHive", torn);
    const Common::Error error = Common::EditHiveAtomically(
        scratch.dir(), u"TornHive", [](Common::file_reg& root, Common::Error&) { return root.set_dword(u"Marker", 1); });
    ASSERT_TRUE(error.failed());
    EXPECT_NE(Processor::ToUtf8(Processor::RenderError(error)).find("TornHive"), std::string::npos)
        << Processor::ToUtf8(Processor::RenderError(error));
    EXPECT_EQ(TestSupport::ReadFileBytes(scratch.path() / "TornHive"), torn);
}

// A FIFO where a log is looked for (a hostile or broken target) must not block the open:
// nothing ever writes to it. The test releases the reader itself if the engine waits.
TEST(HiveRecoveryReview, FifoNamedLikeALogDoesNotBlockTheOpen)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHive dirty = LoadNewDirtyHive(data);
    HiveFolder folder(dirty);
    const fs::path fifo = folder.scratch.path() / "hive.log1";
    fs::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto opened = std::async(std::launch::async, [&] {
        Common::Error error;
        return !Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(folder.scratch.dir()), u"hive", error).empty();
    });
    const bool waited = opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready;
    while (opened.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // lets a blocked reader see end of file
        if (writer >= 0)
            ::close(writer);
    }
    EXPECT_FALSE(waited) << "the open waited on a FIFO named hive.log1";
    opened.get();
}

// A SYSTEM file far beyond the 2 GiB a hive can have (a sparse file costs nothing on the
// target) is refused like any invalid hive; it must not take the host process down with
// an allocation failure while the working copy is made. Run in a child process, so that
// a failure here does not end the other tests.
TEST(HiveRecoveryReview, HugeSystemFileIsRefusedNotFatal)
{
    TestSupport::ScratchDir target;
    fs::create_directories(target.path() / "Windows/System32/config");
    ASSERT_FALSE(Common::CreateHive(*target.dir("Windows/System32/config"), u"SYSTEM", 5, u"ROOT").failed());
    fs::resize_file(target.path() / "Windows/System32/config/SYSTEM", uint64_t(1) << 41);
    EXPECT_EXIT(
        {
            bool refused = false;
            {
                auto registry = Transvia::CreateWindowsRegistry(target.dir("Windows"));
                registry->UseWorkingCopy();
                refused = registry->System() == nullptr;
            }
            std::exit(refused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Every replayed image goes through the checker. An ri list whose K leaves are all one
// li list of K entries makes it expand that list K times: K = 65,535 is a 260 KB hive
// and 4.3 billion entries (K = 4,000 already takes 260 MB and 4.6 s). A list met again
// is reported, not expanded again, so the faults stay in proportion to the hive.
TEST(HiveRecoveryReview, CheckerDoesNotExpandARepeatedSubkeyList)
{
    TestSupport::ScratchDir scratch;
    ASSERT_FALSE(Common::CreateHive(*scratch.dir(), u"H", 5, u"ROOT").failed());
    std::vector<uint8_t> hive = TestSupport::ReadFileBytes(scratch.path() / "H");
    constexpr uint32_t K = 500;
    const uint32_t bins = Get32(hive.data() + kBaseBinsSize), root = Get32(hive.data() + kBaseRootCell);
    ASSERT_EQ(hive.size(), HBLOCK_SIZE + bins);
    const uint32_t cell = (8 + 4 * K + 7) / 8 * 8;  // size, kind, count, K offsets
    const uint32_t binSize = (kBinHeaderSize + 2 * cell + 8 + HBLOCK_SIZE - 1) / HBLOCK_SIZE * HBLOCK_SIZE;
    hive.resize(HBLOCK_SIZE + bins + binSize, 0);
    uint8_t* bin = hive.data() + HBLOCK_SIZE + bins;
    Put32(bin, kBinSignature);
    Put32(bin + kBinOffset, bins);
    Put32(bin + kBinSize, binSize);
    const uint32_t ri = bins + kBinHeaderSize, li = ri + cell;
    uint8_t* p = bin + kBinHeaderSize;
    for (const auto& [kind, target] : {std::pair{kSigRi, li}, std::pair{kSigLi, root}}) {
        Put32(p, 0u - cell);  // allocated
        Put16(p + 4, kind);
        Put16(p + 6, K);
        for (uint32_t i = 0; i < K; ++i)
            Put32(p + 8 + 4 * i, target);
        p += cell;
    }
    Put32(p, binSize - kBinHeaderSize - 2 * cell);  // the rest of the bin, free
    Put32(hive.data() + kBaseBinsSize, bins + binSize);
    Put32(hive.data() + kCellDataBase + root + Nk::kSubkeyCount, 1);
    Put32(hive.data() + kCellDataBase + root + Nk::kSubkeyList, ri);
    Put32(hive.data() + kBaseChecksum, BaseBlockChecksum(hive.data()));
    std::vector<std::string> faults;
    Common::HiveCheckSummary summary;
    EXPECT_FALSE(Common::CheckHive(hive.data(), hive.size(), faults, summary));
    EXPECT_LT(faults.size(), 4 * K) << "first fault: " << (faults.empty() ? std::string() : faults.front());
}
