// The host program as a person runs it.
#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace {

struct Result {
    int status;
    std::string out;
};

Result Cli(const std::string& arguments, const std::string& environment = "")
{
    Result r;
    r.status = TestSupport::RunCommand(environment + TRANSVIA_CLI + " " + arguments + " 2>&1", &r.out);
    return r;
}

class InspectTest : public ::testing::Test {
protected:
    void Ntdll(const std::string& machine, const std::string& layout = "Windows/System32/ntdll.dll")
    {
        std::filesystem::create_directories((scratch.path() / layout).parent_path());
        ASSERT_EQ(TestSupport::RunCommand("python3 " TRANSVIA_SOURCE_DIR "/tools/make_ntdll_header.py " +
                                          (scratch.path() / layout).string() + " " + machine),
                  0);
    }
    Result Inspect(const std::string& extra = "") { return Cli("inspect --target " + scratch.path().string() + " " + extra); }

    TestSupport::ScratchDir scratch;
};

TEST_F(InspectTest, ReportsPlatformCodeAndDecoration)
{
    Ntdll("amd64", "WINDOWS/system32/NtDll.Dll");
    Result r = Inspect("--json");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\"platform\": 3"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"decoration\": \"ntamd64\""), std::string::npos) << r.out;

    Ntdll("0x01C4");
    r = Inspect();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("platform:    0 (not recognised)"), std::string::npos) << r.out;
}

TEST_F(InspectTest, ShowsWhichKeyBindsBootDevices)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    Ntdll("amd64");
    for (const auto& [hive, expected] : {std::pair{"hives/dissect.regf/SYSTEM", "DriverDatabase"},
                                         std::pair{"hives/winxp-x64/system", "CriticalDeviceDatabase"}}) {
        std::filesystem::create_directories(scratch.path() / "Windows/System32/config");
        std::filesystem::copy_file(data / hive, scratch.path() / "Windows/System32/config/SYSTEM",
                                   std::filesystem::copy_options::overwrite_existing);
        Result r = Inspect();
        EXPECT_NE(r.out.find(std::string("boot device binding: ") + expected + "\n"), std::string::npos) << r.out;
    }
}

TEST_F(InspectTest, HeaderFaultsExitNonZeroWithCodeAndText)
{
    scratch.write("Windows/System32/ntdll.dll", std::string(63, 'M'));
    Result r = Inspect();
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("0x001D0007: Failed access 'ntdll.dll', to detect platform."), std::string::npos) << r.out;

    r = Cli("inspect --target " + scratch.path().string() + " --windows ../..");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("refused"), std::string::npos) << r.out;
}

TEST_F(InspectTest, VerboseRoutesTracesToStderr)
{
    Result r = Inspect("-v");  // no Windows folder: the level-4 error is traced, then printed
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("[4] 0x001D0007: Unable to open 'system32' directory."), std::string::npos) << r.out;
}

TEST(CliTest, VersionAndHelp)
{
    Result r = Cli("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("transvia ", 0), 0u) << r.out;
    r = Cli("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("inspect"), std::string::npos);
    r = Cli("no-such-command");
    EXPECT_NE(r.status, 0);
}

TEST(CliTest, SampleTargetIsAnAmd64Windows10)
{
    TestSupport::ScratchDir scratch;
    const std::string copy = (scratch.path() / "sample").string();
    ASSERT_EQ(TestSupport::RunCommand(TRANSVIA_SOURCE_DIR "/tools/make_sample_target.sh " TRANSVIA_CLI " " + copy), 0);
    // A locale with its own digits must not change the names read from the target.
    for (const char* environment : {"", "LANG=ar_EG.UTF-8 LC_ALL=ar_EG.UTF-8 "}) {
        Result r = Cli("inspect --target " + copy + " --json", environment);
        EXPECT_EQ(r.status, 0) << environment << r.out;
        for (const char* expected : {"\"decoration\": \"ntamd64\"", "\"product\": \"Windows 10 Pro\"",
                                     "\"control_set\": \"ControlSet001\"", "\"system_root\": \"C:\\\\Windows\""})
            EXPECT_NE(r.out.find(expected), std::string::npos) << environment << expected << "\n" << r.out;
    }
    // Both hives pass our own structural check.
    for (const char* hive : {"SYSTEM", "SOFTWARE"}) {
        Result check = Cli("reg check " + copy + "/Windows/System32/config/" + hive);
        EXPECT_EQ(check.status, 0) << check.out;
    }
}

}  // namespace
