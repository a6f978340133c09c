// `transvia reg` run as a user runs it.
#include <gtest/gtest.h>

#include <filesystem>

#include "registry_test_util.h"

namespace fs = std::filesystem;

namespace {

std::string Transvia() { return "'" + (fs::path(TRANSVIA_OUTPUT_DIR) / "transvia").string() + "'"; }

int Reg(const std::string& arguments, std::string* out = nullptr)
{
    return TestSupport::RunCommand(Transvia() + " " + arguments + " 2>&1", out);
}

std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

}  // namespace

TEST(RegCli, NewImportExportCheck)
{
    TestSupport::ScratchDir scratch;
    // A file name that is not UTF-8 is still the name of that file, byte for byte.
    const fs::path hive = scratch.path() / "h\xff";
    ASSERT_EQ(Reg("reg new " + Q(hive) + " --minor 3 --root Top"), 0);
    ASSERT_TRUE(fs::exists(hive));
    std::string out;
    ASSERT_EQ(Reg("reg check " + Q(hive), &out), 0) << out;
    EXPECT_NE(out.find("sound; version 1.3"), std::string::npos) << out;

    const fs::path reg = scratch.write("in.reg",
                                       "Windows Registry Editor Version 5.00\r\n\r\n"
                                       "; a comment\r\n"
                                       "[Top\\Services\\viostor]\r\n"
                                       "\"Start\"=dword:00000000\r\n"
                                       "\"ImagePath\"=hex(2):5c,00,53,00,\\\r\n"
                                       "  00,00\r\n"
                                       "\"Quote\"=\"a \\\"b\\\" c:\\\\d\"\r\n"
                                       "@=\"default\"\r\n"
                                       "\"Gone\"=\"x\"\r\n"
                                       "\"Gone\"=-\r\n"
                                       "[Top\\Old\\Deep\\Deeper]\r\n"
                                       "[-Top\\Old]\r\n");
    ASSERT_EQ(Reg("reg import " + Q(hive) + " " + Q(reg), &out), 0) << out;
    ASSERT_EQ(Reg("reg check " + Q(hive), &out), 0) << out;
    ASSERT_EQ(Reg("reg export " + Q(hive) + " Services --prefix 'HKEY_LOCAL_MACHINE\\SYSTEM'", &out), 0);
    EXPECT_EQ(out,
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\Services]\n\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\Services\\viostor]\n"
              "\"Start\"=dword:00000000\n"
              "\"ImagePath\"=hex(2):5c,00,53,00,00,00\n"
              "\"Quote\"=\"a \\\"b\\\" c:\\\\d\"\n"
              "@=\"default\"\n\n");
    ASSERT_EQ(Reg("reg export " + Q(hive), &out), 0);
    EXPECT_EQ(out.find("Old"), std::string::npos);
    EXPECT_NE(Reg("reg export " + Q(hive) + " Missing", &out), 0);
}

TEST(RegCli, Utf16ImportAndRefusals)
{
    TestSupport::ScratchDir scratch;
    const fs::path hive = scratch.path() / "h";
    ASSERT_EQ(Reg("reg new " + Q(hive)), 0);
    const std::string text = "Windows Registry Editor Version 5.00\n\n[ROOT\\\xC3\xA9t\xC3\xA9]\n\"n\"=\"\xD0\x96\"\n";
    const Processor::String wide = Processor::FromUtf8(text);
    std::vector<uint8_t> utf16 = {0xFF, 0xFE};
    for (int32_t i = 0; i < wide.length(); ++i) {
        utf16.push_back(static_cast<uint8_t>(wide.charAt(i)));
        utf16.push_back(static_cast<uint8_t>(wide.charAt(i) >> 8));
    }
    const fs::path reg = scratch.write("u16.reg", utf16);
    std::string out;
    ASSERT_EQ(Reg("reg import " + Q(hive) + " " + Q(reg), &out), 0) << out;
    ASSERT_EQ(Reg("reg export " + Q(hive), &out), 0);
    EXPECT_NE(out.find("[ROOT\\\xC3\xA9t\xC3\xA9]\n\"n\"=\"\xD0\x96\"\n"), std::string::npos) << out;

    // A malformed file changes nothing, not even the keys before the bad line.
    const auto before = TestSupport::ReadFileBytes(hive);
    const fs::path bad = scratch.write("bad.reg", "Windows Registry Editor Version 5.00\n[ROOT\\New]\n\"x\"=dword:zz\n");
    EXPECT_NE(Reg("reg import " + Q(hive) + " " + Q(bad), &out), 0);
    EXPECT_NE(out.find("line 3"), std::string::npos) << out;
    EXPECT_EQ(TestSupport::ReadFileBytes(hive), before);
    const fs::path notReg = scratch.write("x.reg", "hello\n");
    EXPECT_NE(Reg("reg import " + Q(hive) + " " + Q(notReg), &out), 0);
    EXPECT_EQ(TestSupport::ReadFileBytes(hive), before);

    // Damaged hives: clear errors, exit status non-zero, nothing written.
    auto damaged = before;
    damaged[0x1FC] ^= 0xFF;
    scratch.write("damaged", damaged);
    EXPECT_NE(Reg("reg export " + Q(scratch.path() / "damaged"), &out), 0);
    EXPECT_NE(out.find("checksum"), std::string::npos) << out;
    EXPECT_NE(Reg("reg check " + Q(scratch.path() / "damaged"), &out), 0);
    EXPECT_NE(out.find("checksum"), std::string::npos) << out;
    EXPECT_NE(Reg("reg import " + Q(scratch.path() / "damaged") + " " + Q(reg), &out), 0);
    EXPECT_EQ(TestSupport::ReadFileBytes(scratch.path() / "damaged"), damaged);
}
