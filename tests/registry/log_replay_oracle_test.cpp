#include <gtest/gtest.h>

#include "registry/log_replay.h"
#include "support/fixtures.h"

using namespace Common::Hive;

namespace {

// Every key of a hive for python3-hivex: path, last-write time and values, sorted.
std::string HivexFacts(const std::string& path)
{
    const std::string script =
        "/usr/bin/python3 -c 'import hivex,sys\n"
        "h=hivex.Hivex(sys.argv[1]);s=[(h.root(),\"\")];out=[]\n"
        "while s:\n"
        " k,p=s.pop();vals=sorted((h.value_key(v),)+tuple(h.value_value(v)) for v in h.node_values(k))\n"
        " out.append(\"%s %d %r\" % (p.lower(),h.node_timestamp(k),vals))\n"
        " s.extend((c,p+\"\\\\\"+h.node_name(c)) for c in h.node_children(k))\n"
        "print(\"\\n\".join(sorted(out)))' '" +
        path + "'";
    std::string out;
    return TestSupport::RunCommand(script, &out) == 0 ? out : std::string();
}

}  // namespace

// The replayed Windows 10 SYSTEM hive read by two readers that are not ours.
TEST(LogReplayOracle, ReplayedSystemHiveKeysForHivexAndLibregf)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    if (!TestSupport::HaveProgram("regfexport") || TestSupport::RunCommand("/usr/bin/python3 -c 'import hivex'") != 0)
        GTEST_SKIP() << "python3-hivex or regfexport (libregf-utils) is not installed";
    const auto dir = data / "hives" / "regipy";
    const auto primary = TestSupport::ReadFileBytes(dir / "SYSTEM_B");
    const ReplayResult r = ReplayHiveLogs(primary,
                                          {{"SYSTEM_B.LOG2", TestSupport::ReadFileBytes(dir / "SYSTEM_B.LOG2")},
                                           {"SYSTEM_B.LOG1", TestSupport::ReadFileBytes(dir / "SYSTEM_B.LOG1")}},
                                          {});
    ASSERT_EQ(r.status, ReplayStatus::replayed) << r.message;
    TestSupport::ScratchDir scratch;
    const std::vector<uint8_t> image(r.image.begin(), r.image.begin() + 4096 + r.bins_size);
    const std::string replayed = scratch.write("SYSTEM", image).string();
    const std::string original = (dir / "SYSTEM_B").string();
    const std::string count_hivex =
        "/usr/bin/python3 -c 'import hivex,sys\n"
        "h=hivex.Hivex(sys.argv[1]);s=[h.root()];n=0\n"
        "while s:\n k=s.pop();n+=1;s.extend(h.node_children(k))\n"
        "print(n)' ";
    std::string out;
    ASSERT_EQ(TestSupport::RunCommand(count_hivex + "'" + replayed + "'", &out), 0);
    EXPECT_EQ(std::stoul(out), 35595u);
    ASSERT_EQ(TestSupport::RunCommand(count_hivex + "'" + original + "'", &out), 0);
    EXPECT_EQ(std::stoul(out), 33123u);  // the primary alone
    ASSERT_EQ(TestSupport::RunCommand("regfexport '" + replayed + "' 2>/dev/null | grep -c '^Key path'", &out), 0);
    EXPECT_EQ(std::stoul(out), 35595u);
}

// The old-format replay of OldDirtyHive holds the keys, values and timestamps of the hive
// Windows 7 recovered from the same files.
TEST(LogReplayOracle, OldDirtyHiveEqualsWindows7InHivex)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    if (TestSupport::RunCommand("/usr/bin/python3 -c 'import hivex'") != 0)
        GTEST_SKIP() << "python3-hivex is not installed";
    const auto dir = data / "hives" / "yarp" / "OldDirtyHive";
    const ReplayResult r = ReplayHiveLogs(TestSupport::ReadFileBytes(dir / "OldDirtyHive"),
                                          {{"OldDirtyHive.LOG1", TestSupport::ReadFileBytes(dir / "OldDirtyHive.LOG1")}},
                                          {});
    ASSERT_EQ(r.status, ReplayStatus::replayed) << r.message;
    TestSupport::ScratchDir scratch;
    const std::string replayed = scratch.write("OldDirtyHive", r.image).string();
    const std::string windows = HivexFacts((dir / "RecoveredHive_Windows7").string());
    ASSERT_FALSE(windows.empty());
    EXPECT_NE(HivexFacts((dir / "OldDirtyHive").string()), windows);  // the primary alone lacks changes
    EXPECT_EQ(HivexFacts(replayed), windows);
}
