// Dirty hives edited through the engine, then read by hivex and libregf: what Windows
// had in its logs is kept, our edits are there, and the hive left behind is one Windows
// will never replay old log entries over.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

#include "dirty_hives.h"
#include "hive_readers.h"
#include "registry/file_reg.h"
#include "registry/log_replay.h"
#include "registry/windows_registry.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;
using HiveReaders::HivexTree;

namespace {

#define TV_REQUIRE_READERS()                                                                  \
    if (!HiveReaders::HaveHivex() || !HiveReaders::HaveRegfexport())                          \
    GTEST_SKIP() << "python3-hivex or regfexport (libregf-utils) is not installed"

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset)
{
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
           uint32_t(bytes[offset + 3]) << 24;
}

// The highest sequence number a log mentions: its base block's two, and every "HvLE" entry
// header at a 512-byte boundary, valid or not. A superset of what replay may chain.
uint32_t HighestLogSequence(const std::vector<uint8_t>& log)
{
    uint32_t highest = std::max(Le32(log, 4), Le32(log, 8));
    for (size_t at = 512; at + 16 <= log.size(); at += 512)
        if (log[at] == 'H' && log[at + 1] == 'v' && log[at + 2] == 'L' && log[at + 3] == 'E')
            highest = std::max(highest, Le32(log, at + 12));
    return highest;
}

// What Windows demands of a hive before it ignores the logs beside it: both sequence
// numbers equal and a base block checksum that holds (XOR of the first 127 dwords). And
// above every sequence number the logs mention, so that no entry can ever chain onto it.
void ExpectCleanAboveLogs(const std::vector<uint8_t>& hive, const std::vector<uint8_t>& log1,
                          const std::vector<uint8_t>& log2)
{
    ASSERT_GE(hive.size(), 4096u);
    uint32_t sum = 0;
    for (size_t at = 0; at < 508; at += 4)
        sum ^= Le32(hive, at);
    sum = sum == 0 ? 1 : sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum;
    EXPECT_EQ(Le32(hive, 508), sum) << "base block checksum";
    EXPECT_EQ(Le32(hive, 4), Le32(hive, 8)) << "sequence numbers differ: the hive is still dirty";
    EXPECT_GT(Le32(hive, 4), std::max(HighestLogSequence(log1), HighestLogSequence(log2)));
    const auto again = Common::Hive::ReplayHiveLogs(hive, {{"LOG1", log1}, {"LOG2", log2}}, {});
    EXPECT_TRUE(again.status == Common::Hive::ReplayStatus::clean) << again.message;
}

// Windows' next session on a hive we left behind: it marks the primary dirty (seq + 1 and
// seq) and starts LOG2 again with entry `seq` at 0x200. Here that entry logs the first page
// as it is and is just long enough to end where the stale entry 5 of the old session lies,
// so that only the sequence numbers keep entry 5 from continuing the chain.
Common::Hive::ReplayResult NextSession(std::vector<uint8_t> hive, const DirtyHives::DirtyHive& old)
{
    using namespace Common::Hive;
    const uint32_t seq = Le32(hive, 4);
    Put32(hive.data() + kBasePrimarySequence, seq + 1);
    DirtyHives::FixChecksum(hive);
    std::vector<uint8_t> log2 = old.log2;
    Put32(log2.data() + kBasePrimarySequence, seq);
    Put32(log2.data() + kBaseSecondarySequence, seq);
    DirtyHives::FixChecksum(log2);
    uint8_t* entry = log2.data() + DirtyHives::kLog2Entry3;
    const uint32_t size = DirtyHives::kLog2Entry5 - DirtyHives::kLog2Entry3;
    std::fill(entry, entry + size, 0);
    std::copy_n("HvLE", 4, entry);
    Put32(entry + 4, size);
    Put32(entry + 12, seq);
    Put32(entry + 16, Le32(hive, kBaseBinsSize));
    Put32(entry + 20, 1);  // one page reference: bins offset 0, 4096 bytes
    Put32(entry + 44, 4096);
    std::copy_n(hive.begin() + 4096, 4096, entry + 48);
    DirtyHives::RehashEntry(log2, DirtyHives::kLog2Entry3);
    return ReplayHiveLogs(hive, {{"LOG1", old.log1}, {"LOG2", log2}}, {});
}

// `after` must read as `before` plus the keys of `added` (path -> values), with nothing
// else changed: same keys, values and last-write times. Only keys in `touched` (parents
// of what we created) may carry a new time.
void ExpectTreePlus(const HivexTree& after, const HivexTree& before, const std::map<std::string, std::string>& added,
                    const std::set<std::string>& touched)
{
    HivexTree expected = before, actual = after;
    for (const auto& [path, values] : added) {
        ASSERT_TRUE(actual.count(path)) << "hivex does not see " << path;
        EXPECT_EQ(actual[path].values, values) << path;
        EXPECT_FALSE(expected.count(path)) << path << " was there before";
        actual.erase(path);
    }
    for (const std::string& path : touched) {
        if (actual.count(path) && expected.count(path))
            actual[path].timestamp = expected[path].timestamp;
    }
    EXPECT_EQ(actual.size(), expected.size());
    size_t differences = 0;
    for (const auto& [path, key] : expected) {
        const auto found = actual.find(path);
        if (found == actual.end() || !(found->second == key)) {
            if (++differences <= 10)
                ADD_FAILURE() << "key changed or lost: " << path;
        }
    }
    EXPECT_EQ(differences, 0u);
}

std::set<std::string> KeyPaths(const std::map<std::string, std::vector<std::string>>& keys)
{
    std::set<std::string> paths;
    for (const auto& entry : keys)
        paths.insert(entry.first);
    return paths;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

std::string TransviaProgram() { return (fs::path(TRANSVIA_OUTPUT_DIR) / "transvia").string(); }

}  // namespace

// SYSTEM of a restored Windows 10 with both logs (named in other letter cases than the
// hive): the working copy starts from the recovered hive and Commit() puts a clean hive
// in place whose sequence number no log entry can follow.
TEST(DirtyHiveOracle, SystemWorkingCopyCommitsTheRecoveredHive)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    TV_REQUIRE_READERS();
    const DirtyHives::DirtyHive b = DirtyHives::LoadSystemB(data);
    TestSupport::ScratchDir scratch;
    const fs::path config = scratch.path() / "Windows/System32/config";
    scratch.write("Windows/System32/config/SYSTEM", b.primary);
    scratch.write("Windows/System32/config/system.log1", b.log1);
    scratch.write("Windows/System32/config/System.Log2", b.log2);

    auto registry = Transvia::CreateWindowsRegistry(scratch.dir("Windows"));
    registry->UseWorkingCopy();
    Transvia::RegistryKey* system = registry->System();
    ASSERT_NE(system, nullptr);
    auto probe = system->CreateKey(u"ControlSet001\\Services\\transvia_probe");
    ASSERT_NE(probe, nullptr);
    ASSERT_TRUE(probe->SetDword(u"Start", 42));
    const uint8_t blob[] = {1, 2, 3};
    ASSERT_TRUE(probe->SetBinary(u"Blob", blob, sizeof blob));
    probe.reset();
    EXPECT_EQ(TestSupport::ReadFileBytes(config / "SYSTEM"), b.primary) << "the target changed before Commit()";
    ASSERT_TRUE(registry->Commit().empty());
    registry.reset();

    // The hive went back under its own name, and nothing else appeared beside it.
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(config))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"SYSTEM", "System.Log2", "system.log1"}));
    const auto committed = TestSupport::ReadFileBytes(config / "SYSTEM");
    EXPECT_EQ(TestSupport::ReadFileBytes(config / "system.log1"), b.log1);
    EXPECT_EQ(TestSupport::ReadFileBytes(config / "System.Log2"), b.log2);
    ExpectCleanAboveLogs(committed, b.log1, b.log2);
    EXPECT_GE(Le32(committed, 4), 2131u);

    // Expected: the hive as replayed on bytes, plus our key. The replay itself is held to
    // Windows' own results elsewhere; here it is the yardstick for what the commit kept.
    const auto replayed = Common::Hive::ReplayHiveLogs(b.primary, {{"SYSTEM.LOG1", b.log1}, {"SYSTEM.LOG2", b.log2}}, {});
    ASSERT_TRUE(replayed.status == Common::Hive::ReplayStatus::replayed) << replayed.message;
    const fs::path reference =
        scratch.write("replayed", std::vector<uint8_t>(replayed.image.begin(), replayed.image.begin() + 4096 + replayed.bins_size));
    HivexTree before, after;
    ASSERT_TRUE(HiveReaders::HivexKeys(reference, before));
    ASSERT_TRUE(HiveReaders::HivexKeys(config / "SYSTEM", after)) << "hivex refuses the committed hive";
    EXPECT_EQ(before.size(), 35595u);
    EXPECT_EQ(after.size(), 35596u);
    ExpectTreePlus(after, before, {{"ControlSet001\\Services\\transvia_probe", "Blob=3:010203 Start=4:2a000000"}},
                   {"ControlSet001\\Services"});

    // libregf lists the same keys as hivex (it is too slow on this hive to run it twice).
    std::map<std::string, std::vector<std::string>> libregf;
    ASSERT_TRUE(HiveReaders::RegfexportKeys(config / "SYSTEM", libregf)) << "regfexport cannot read the committed hive";
    EXPECT_EQ(libregf.size(), 35596u);
    std::set<std::string> hivexPaths;
    for (const auto& entry : after)
        hivexPaths.insert(entry.first.empty() ? "ROOT" : "ROOT\\" + entry.first);
    EXPECT_TRUE(KeyPaths(libregf) == hivexPaths);
    EXPECT_NE(Joined(libregf["ROOT\\ControlSet001\\Services\\transvia_probe"])
                  .find(" Start\nType: 32-bit integer little-endian (REG_DWORD_LITTLE_ENDIAN)\nData size: 4\nData: 42\n"),
              std::string::npos);
}

// NewDirtyHive1 edited in place, once through the engine's writable open and once by
// `transvia reg import`: the result holds what Windows 10 recovered from the same files
// (Key3 with its three subkeys; Key1 and Key2 gone) plus our edit, for both readers.
TEST(DirtyHiveOracle, NewDirtyHiveEditedInPlaceHoldsWindowsRecoveryAndOurKey)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    TV_REQUIRE_READERS();
    const DirtyHives::DirtyHive hive = DirtyHives::LoadNewDirtyHive(data);
    const fs::path windows10 = data / "hives/yarp/NewDirtyHive1/RecoveredHive_Windows10";
    HivexTree recovered;
    ASSERT_TRUE(HiveReaders::HivexKeys(windows10, recovered));
    ASSERT_TRUE(recovered.count("Key3\\Key3_3") && !recovered.count("Key1") && !recovered.count("Key2"));
    std::map<std::string, std::vector<std::string>> windowsKeys;
    ASSERT_TRUE(HiveReaders::RegfexportKeys(windows10, windowsKeys));

    // The yardstick below can fail: a hive left with sequence number 4 (the largest of its
    // own two plus one) lets Windows chain the stale entry 5 after its next entry 4.
    std::vector<uint8_t> sealedLow = hive.recovered;
    Common::Hive::SetBaseSequences(sealedLow.data(), 4);
    EXPECT_EQ(NextSession(sealedLow, hive).last_sequence, 5u);

    const std::vector<std::pair<std::string, std::function<void(TestSupport::ScratchDir&)>>> ways = {
        {"writable open",
         [](TestSupport::ScratchDir& scratch) {
             Common::Error error;
             Common::file_reg root =
                 Common::file_reg::open_hive(scratch.dir("target"), u"NewDirtyHive", false, error);
             ASSERT_FALSE(root.empty()) << std::hex << error.code();
             Common::file_reg probe = root.create_key(u"Probe");
             ASSERT_FALSE(probe.empty());
             ASSERT_FALSE(probe.create_key(u"Deep").empty());
             ASSERT_TRUE(probe.set_dword(u"Start", 42));
             const uint8_t blob[] = {1, 2, 3};
             ASSERT_TRUE(probe.set_binary(u"Blob", blob, sizeof blob));
         }},
        {"transvia reg import",
         [](TestSupport::ScratchDir& scratch) {
             if (!fs::exists(TransviaProgram()))
                 GTEST_SKIP() << TransviaProgram() << " is not built (target transvia_cli)";
             const fs::path reg = scratch.write("probe.reg",
                                                "Windows Registry Editor Version 5.00\n\n"
                                                "[X\\Probe]\n\"Start\"=dword:0000002a\n\"Blob\"=hex:01,02,03\n\n"
                                                "[X\\Probe\\Deep]\n");
             std::string out;
             ASSERT_EQ(TestSupport::RunCommand("'" + TransviaProgram() + "' reg import '" +
                                                   (scratch.path() / "target/NewDirtyHive").string() + "' '" +
                                                   reg.string() + "' 2>&1",
                                               &out),
                       0)
                 << out;
         }},
    };
    for (const auto& [way, edit] : ways) {
        SCOPED_TRACE(way);
        TestSupport::ScratchDir scratch;
        scratch.write("target/NewDirtyHive", hive.primary);
        scratch.write("target/NewDirtyHive.LOG1", hive.log1);
        scratch.write("target/newdirtyhive.log2", hive.log2);
        edit(scratch);
        if (IsSkipped() || HasFatalFailure())
            return;
        const fs::path edited = scratch.path() / "target/NewDirtyHive";
        EXPECT_EQ(TestSupport::ReadFileBytes(scratch.path() / "target/NewDirtyHive.LOG1"), hive.log1);
        EXPECT_EQ(TestSupport::ReadFileBytes(scratch.path() / "target/newdirtyhive.log2"), hive.log2);
        const std::vector<uint8_t> result = TestSupport::ReadFileBytes(edited);
        ExpectCleanAboveLogs(result, hive.log1, hive.log2);
        const auto next = NextSession(result, hive);
        EXPECT_EQ(next.entries_applied, 1u) << Common::Hive::DescribeReplay(next);
        EXPECT_TRUE(next.status == Common::Hive::ReplayStatus::replayed &&
                    std::equal(result.begin() + 4096, result.end(), next.image.begin() + 4096))
            << "a stale entry of the old session was replayed over the hive";

        HivexTree after;
        ASSERT_TRUE(HiveReaders::HivexKeys(edited, after)) << "hivex refuses the edited hive";
        ExpectTreePlus(after, recovered, {{"Probe", "Blob=3:010203 Start=4:2a000000"}, {"Probe\\Deep", ""}}, {""});

        std::map<std::string, std::vector<std::string>> keys;
        ASSERT_TRUE(HiveReaders::RegfexportKeys(edited, keys)) << "regfexport cannot read the edited hive";
        const std::string root = "{dedef10d-30ff-45b5-9d44-b3fa249ecd49}";
        std::set<std::string> expectedPaths = KeyPaths(windowsKeys);
        expectedPaths.insert({root + "\\Probe", root + "\\Probe\\Deep"});
        EXPECT_TRUE(KeyPaths(keys) == expectedPaths);
        EXPECT_EQ(keys[root + "\\Key3"], windowsKeys[root + "\\Key3"]);
        EXPECT_NE(Joined(keys[root + "\\Probe"]).find(" Start\nType: 32-bit integer little-endian (REG_DWORD_LITTLE_ENDIAN)\nData size: 4\nData: 42\n"),
                  std::string::npos);
    }
}
