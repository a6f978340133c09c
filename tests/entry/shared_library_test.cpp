#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "assistant_stand_in.h"
#include "support/fixtures.h"
#include "target_tree.h"

namespace {

namespace fs = std::filesystem;

// Copies the host probe and the library into `folder`, with or without a message table
// and the assistant package (the build's own when it made one).
// Returns whether the package is the build's own.
bool Stage(const fs::path& folder, const fs::path* table, bool assistant = false)
{
    fs::copy_file(HOST_PROBE, folder / "probe");
    fs::copy_file(SHARED_LIBRARY, folder / SHARED_LIBRARY_SONAME);
    if (table) fs::copy_file(*table, folder / "solvane.msg");
    if (!assistant) return false;
    const fs::path built = fs::path(TRANSVIA_OUTPUT_DIR);
    if (fs::exists(built / "assistant.inf") && fs::exists(built / "transvia_assistant.exe")) {
        fs::copy_file(built / "assistant.inf", folder / "assistant.inf");
        fs::copy_file(built / "transvia_assistant.exe", folder / "transvia_assistant.exe");
        return true;
    }
    std::ofstream(folder / "assistant.inf") << kStandInAssistantInf;
    std::ofstream(folder / "transvia_assistant.exe") << kStandInAssistantProgram;
    return false;
}

std::string RunProbe(const TestSupport::ScratchDir& scratch, const std::string& folder, int* status,
                     const std::string& arguments = "", const fs::path& target = {},
                     const std::string& environment = "")
{
    std::string out;
    *status = TestSupport::RunCommand(environment + " " + (scratch.path() / folder / "probe").string() + " " +
                                          (target.empty() ? scratch.path() / "target" : target).string() + " " +
                                          arguments + " 2>&1",
                                      &out);
    return out;
}

class SharedLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestSupport::RunCommand("python3 " TRANSVIA_SOURCE_DIR "/tools/make_ntdll_header.py " +
                                (scratch.path() / "ntdll").string() + " amd64");
        fs::create_directories(scratch.path() / "target/WINDOWS/system32");
        fs::copy_file(scratch.path() / "ntdll", scratch.path() / "target/WINDOWS/system32/NTDLL.DLL");
    }
    TestSupport::ScratchDir scratch;
};

TEST_F(SharedLibraryTest, RunsThroughThePublicApiWithItsTableBesideIt)
{
    fs::create_directories(scratch.path() / "good");
    const fs::path table = fs::path(TRANSVIA_OUTPUT_DIR) / "solvane.msg";
    Stage(scratch.path() / "good", &table, true);
    int status = 0;
    const std::string out = RunProbe(scratch, "good", &status);
    // The target has no hives: the run gets as far as opening its registry.
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("error 0x1D0190"), std::string::npos) << out;
    // The device list reached the host's callback from the message table, the run's own
    // pseudo-devices after the host's device.
    EXPECT_NE(out.find("trace-error 2 0x1D07D0 Device 'PCI\\VEN_8086&DEV_2922&CC_010601' is to get a driver.\n"
                       "trace-error 2 0x1D07D0 Device 'primary_ide_channel' is to get a driver.\n"
                       "trace-error 2 0x1D07D0 Device 'secondary_ide_channel' is to get a driver.\n"
                       "trace-error 2 0x1D07D0 Device 'DisableHWUI_ID' is to get a driver.\n"),
              std::string::npos)
        << out;

    // Without the assistant package beside the library the run names the missing file.
    fs::create_directories(scratch.path() / "bare");
    Stage(scratch.path() / "bare", &table);
    const std::string bare = RunProbe(scratch, "bare", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(bare.find("error 0x1D0347 The file 'assistant.inf'"), std::string::npos) << bare;
}

// A whole run through the library as a host loads it: a copy of a real Windows 10 SYSTEM
// hive, a real storage driver INF with a placeholder driver file, optimistic by setting.
TEST_F(SharedLibraryTest, InstallsARealStorageDriverIntoARealSystemHive)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const fs::path system = data / "hives/dissect.regf/SYSTEM";
    const fs::path inf = data / "inf/virtio-win-kvm-guest-drivers-windows/viostor/wlh.inf";
    if (!fs::exists(system) || !fs::exists(inf)) GTEST_SKIP() << "dissect.regf SYSTEM or viostor wlh.inf absent";

    TargetTest::TargetTree tree("Windows");
    tree.CopyHive(system, "SYSTEM");
    tree.Hive("SOFTWARE", "[S\\Microsoft\\Windows NT\\CurrentVersion]\n\"CurrentVersion\"=\"6.3\"\n"
                          "\"CurrentMajorVersionNumber\"=dword:0000000a\n\"CurrentMinorVersionNumber\"=dword:00000000\n");
    tree.Folder("Windows/inf");
    tree.Folder("Windows/System32/drivers");
    fs::copy_file(scratch.path() / "ntdll", tree.path() / "Windows/System32/ntdll.dll");
    const fs::path storage = scratch.path() / "storage";
    fs::create_directories(storage / "viostor");
    fs::copy_file(inf, storage / "viostor/viostor.inf");
    std::ofstream(storage / "viostor/viostor.sys") << "placeholder, not a real driver\n";

    fs::create_directories(scratch.path() / "lib");
    const fs::path table = fs::path(TRANSVIA_OUTPUT_DIR) / "solvane.msg";
    const bool builtAssistant = Stage(scratch.path() / "lib", &table, true);
    const fs::path conf = scratch.write("transvia.conf", "[Settings]\nIgnoreDriverWarnings=1\n");

    int status = 0;
    const std::string out = RunProbe(scratch, "lib", &status,
                                     "--device 'PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00 PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4' " + storage.string(),
                                     tree.path(), "TRANSVIA_CONF=" + conf.string());
    ASSERT_EQ(status, 0) << out;
    // Nothing on the target drives the IDE channels: the setting lets the run end with them.
    EXPECT_NE(out.find("trace-error 2 0x1D07D2 2 devices"), std::string::npos) << out;
    EXPECT_NE(out.find("0x1D07D0 Device 'PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00' is to get a driver"),
              std::string::npos);

    EXPECT_TRUE(tree.Faults("SYSTEM").empty());
    const std::string hive = (tree.ConfigPath() / "SYSTEM").string();
    if (!TestSupport::HaveProgram("hivexget")) GTEST_SKIP() << "hivexget (Debian package libhivex-bin) not installed";
    std::string start, image;
    EXPECT_EQ(TestSupport::RunCommand("hivexget " + hive + " 'ControlSet001\\Services\\viostor' Start", &start), 0);
    EXPECT_EQ(start, "0\n");
    EXPECT_EQ(TestSupport::RunCommand("hivexget " + hive + " 'ControlSet001\\Services\\viostor' ImagePath", &image), 0);
    EXPECT_NE(image.find("viostor.sys"), std::string::npos) << image;
    EXPECT_TRUE(fs::exists(tree.path() / "Windows/System32/drivers/viostor.sys"));
    EXPECT_TRUE(fs::exists(tree.path() / "Windows/System32/transvia_assistant.exe")) << "the assistant came from its staging";
    if (builtAssistant) {
        std::string assistantStart;
        EXPECT_EQ(TestSupport::RunCommand("hivexget " + hive + " 'ControlSet001\\Services\\transvia_assistant' Start",
                                          &assistantStart),
                  0);
        EXPECT_EQ(assistantStart, "2\n") << "the shipped package installs the assistant as an auto-start service";
    }
}

TEST_F(SharedLibraryTest, RefusesToStartWithoutAValidTable)
{
    fs::create_directories(scratch.path() / "missing");
    Stage(scratch.path() / "missing", nullptr);
    int status = 0;
    std::string out = RunProbe(scratch, "missing", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("error 0x1D0010"), std::string::npos) << out;
    EXPECT_NE(out.find("solvane.msg' is missing"), std::string::npos) << out;
    EXPECT_NE(out.find("trace-error 4 0x1D0010"), std::string::npos) << out;

    // A table of 1269 entries is refused too.
    fs::create_directories(scratch.path() / "short");
    std::vector<uint8_t> table = TestSupport::ReadFileBytes(fs::path(TRANSVIA_OUTPUT_DIR) / "solvane.msg");
    table[0] = 0xF5;  // 1270 = 0x4F6; 0x4F5 = 1269
    const fs::path bad = scratch.write("1269.msg", table);
    Stage(scratch.path() / "short", &bad);
    out = RunProbe(scratch, "short", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("does not hold exactly 1270 messages"), std::string::npos) << out;
}

}  // namespace
