// `transvia reg` on dirty hives copied with their logs: what a user sees with and without
// the logs, what `reg check` tells about them, and the strict setting.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "dirty_hives.h"
#include "support/fixtures.h"
#include "transvia/codes.h"

namespace fs = std::filesystem;

namespace {

std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

// Runs the program with stderr folded into `out`. `conf` names a transvia.conf, or none:
// a TRANSVIA_CONF of the caller's environment must not decide the outcome.
int Reg(const std::string& arguments, std::string& out, const fs::path& conf = {})
{
    const std::string env = conf.empty() ? "env -u TRANSVIA_CONF " : "env TRANSVIA_CONF=" + Q(conf) + " ";
    return TestSupport::RunCommand(env + Q(fs::path(TRANSVIA_OUTPUT_DIR) / "transvia") + " " + arguments + " 2>&1", &out);
}

std::string LineWith(const std::string& out, const std::string& needle)
{
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.find(needle) != std::string::npos)
            return line;
    return {};
}

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

std::string ErrorCode(uint32_t code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

// NewDirtyHive1 with its logs in a scratch folder; `log2` may be a damaged copy.
struct NewDirtyCopy {
    TestSupport::ScratchDir scratch;
    DirtyHives::DirtyHive files;
    fs::path hive;
    NewDirtyCopy(const fs::path& data, const std::vector<uint8_t>* log2 = nullptr)
        : files(DirtyHives::LoadNewDirtyHive(data)), hive(scratch.path() / "NewDirtyHive")
    {
        if (log2)
            files.log2 = *log2;
        scratch.write("NewDirtyHive", files.primary);
        scratch.write("NewDirtyHive.LOG1", files.log1);
        scratch.write("NewDirtyHive.LOG2", files.log2);
    }
    void ExpectUnchanged() const
    {
        EXPECT_EQ(TestSupport::ReadFileBytes(hive), files.primary) << "the hive file changed";
        EXPECT_EQ(TestSupport::ReadFileBytes(scratch.path() / "NewDirtyHive.LOG1"), files.log1);
        EXPECT_EQ(TestSupport::ReadFileBytes(scratch.path() / "NewDirtyHive.LOG2"), files.log2);
    }
};

}  // namespace

// Export shows the hive as Windows would load it (Key1 and Key2 replaced by Key3), or with
// --no-logs the primary file as it is; neither touches a file. A dirty hive without logs
// is refused under --strict with the names of the logs that were looked for.
TEST(DirtyHiveCli, ExportWithAndWithoutLogs)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    NewDirtyCopy copy(data);
    std::string out;
    ASSERT_EQ(Reg("reg export " + Q(copy.hive), out), 0) << out;
    EXPECT_TRUE(Has(out, "}\\Key3\\Key3_3]") && !Has(out, "}\\Key1]") && !Has(out, "}\\Key2]")) << out;
    ASSERT_EQ(Reg("reg export --no-logs " + Q(copy.hive), out), 0) << out;
    EXPECT_TRUE(Has(out, "}\\Key1]") && Has(out, "}\\Key2\\Key2_2]") && !Has(out, "}\\Key3]")) << out;
    copy.ExpectUnchanged();

    TestSupport::ScratchDir scratch;
    const fs::path truncated =
        scratch.write("TruncatedDirtyHive", TestSupport::ReadFileBytes(data / "hives/yarp/TruncatedDirtyHive"));
    EXPECT_EQ(Reg("reg export --strict " + Q(truncated), out), 1);
    EXPECT_TRUE(Has(out, ErrorCode(Common::Codes::kHiveDirtyWithoutLog))) << out;
    EXPECT_TRUE(Has(out, "TruncatedDirtyHive.LOG1") && Has(out, "TruncatedDirtyHive.LOG2") &&
                Has(out, "TruncatedDirtyHive.LOG)"))
        << out;
}

// A real Windows 10 SYSTEM hive: check names the dirty base block, what each log gave and
// checks the recovered hive; without the logs the dirty base block is the fault.
TEST(DirtyHiveCli, CheckTellsWhatTheLogsHold)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DirtyHives::DirtyHive b = DirtyHives::LoadSystemB(data);
    TestSupport::ScratchDir scratch;
    const fs::path hive = scratch.write("SYSTEM_B", b.primary);
    scratch.write("SYSTEM_B.LOG1", b.log1);
    scratch.write("SYSTEM_B.LOG2", b.log2);
    std::string out;
    EXPECT_EQ(Reg("reg check " + Q(hive), out), 0) << out;
    EXPECT_TRUE(Has(out, "dirty: sequence numbers 1622 and 1621 differ")) << out;
    EXPECT_TRUE(Has(LineWith(out, "SYSTEM_B.LOG1:"), "applied 2107..2110")) << out;
    EXPECT_TRUE(Has(LineWith(out, "SYSTEM_B.LOG2:"), "applied 2111..2130")) << out;
    EXPECT_TRUE(Has(LineWith(out, "recovered from the logs"), "24 entries")) << out;
    EXPECT_TRUE(Has(LineWith(out, "sound;"), " 35595 keys")) << out;

    EXPECT_EQ(Reg("reg check --no-logs " + Q(hive), out), 1) << out;
    EXPECT_TRUE(Has(out, "sequence numbers differ (1622, 1621): the hive is dirty")) << out;
    EXPECT_FALSE(Has(out, "SYSTEM_B.LOG1")) << out;
    EXPECT_EQ(TestSupport::ReadFileBytes(hive), b.primary);
}

// One flipped byte in the page data of LOG2's entry 4: entry 3 is the last that chains, and
// entries 4..5 are lost. By default check goes on as Windows would and says what is lost;
// --strict, or StrictLogReplay in the configuration, refuses; a refused import writes nothing.
TEST(DirtyHiveCli, BrokenLogEntryByPolicy)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    std::vector<uint8_t> log2 = DirtyHives::LoadNewDirtyHive(data).log2;
    log2.at(DirtyHives::kLog2Entry4 + 0x1000) ^= 0x40;
    NewDirtyCopy copy(data, &log2);
    const fs::path conf = copy.scratch.write("transvia.conf", "[Settings]\nStrictLogReplay = 1\n");
    const fs::path lenient = copy.scratch.write("lenient.conf", "[Settings]\nStrictLogReplay = 0\n");
    const std::string lost = ErrorCode(Common::Codes::kHiveLogChangesLost);
    std::string out;

    EXPECT_EQ(Reg("reg check " + Q(copy.hive), out), 0) << out;
    EXPECT_TRUE(Has(LineWith(out, "NewDirtyHive.LOG2:"), "not recovered: entries 4..5")) << out;
    EXPECT_TRUE(Has(LineWith(out, "NewDirtyHive.LOG2:"), "applied 3..3")) << out;
    EXPECT_EQ(Reg("reg check " + Q(copy.hive), out, lenient), 0) << out;

    const std::vector<std::pair<std::string, fs::path>> refusals = {{"--strict", {}}, {"", conf}};
    for (const auto& [flag, file] : refusals) {
        SCOPED_TRACE(flag.empty() ? "StrictLogReplay = 1" : flag);
        EXPECT_EQ(Reg("reg check " + flag + " " + Q(copy.hive), out, file), 1) << out;
        EXPECT_TRUE(Has(out, "error " + lost)) << out;
    }

    const fs::path reg = copy.scratch.write("probe.reg", "Windows Registry Editor Version 5.00\n\n[X\\Probe]\n");
    EXPECT_EQ(Reg("reg import --strict " + Q(copy.hive) + " " + Q(reg), out), 1) << out;
    EXPECT_TRUE(Has(out, "error " + lost)) << out;
    copy.ExpectUnchanged();
}
