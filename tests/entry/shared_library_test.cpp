#include <gtest/gtest.h>

#include <filesystem>

#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;

// Copies the host probe and the library into `folder`, with or without a message table.
void Stage(const fs::path& folder, const fs::path* table)
{
    fs::copy_file(HOST_PROBE, folder / "probe");
    fs::copy_file(SHARED_LIBRARY, folder / SHARED_LIBRARY_SONAME);
    if (table) fs::copy_file(*table, folder / "solvane.msg");
}

std::string RunProbe(const TestSupport::ScratchDir& scratch, const std::string& folder, int* status)
{
    std::string out;
    *status = TestSupport::RunCommand((scratch.path() / folder / "probe").string() + " " +
                                          (scratch.path() / "target").string() + " 2>&1",
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
    Stage(scratch.path() / "good", &table);
    int status = 0;
    const std::string out = RunProbe(scratch, "good", &status);
    // Driver installation is not built yet: the entry reads devices and platform, then says so.
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("error 0x1D0192"), std::string::npos) << out;
    EXPECT_NE(out.find("ntamd64"), std::string::npos) << out;
    // Level-2 trace of the device from the message table reached the host's callback.
    EXPECT_NE(out.find("trace 2 29 0 Device 'PCI\\VEN_8086&DEV_2922&CC_010601'"), std::string::npos) << out;
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
