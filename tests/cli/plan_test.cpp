// transvia plan on a target tree: the candidates an install would try, and nothing written.
#include <gtest/gtest.h>

#include <fstream>

#include "cli/cli_run.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;
using namespace CliTest;

namespace {

constexpr const char* kTenInf =
    "[Version]\nSignature=\"$Windows NT$\"\nClassGUID={4D36E97B-E325-11CE-BFC1-08002BE10318}\nDriverVer=01/01/2020,2.0\n"
    "[Manufacturer]\n%Mfg%=Models,NTamd64,NTamd64.10.0\n[Models.NTamd64]\n%Old%=Old,PCI\\VEN_1234&DEV_0001\n"
    "[Models.NTamd64.10.0]\n%New%=New,PCI\\VEN_1234&DEV_0001\n[Old]\nx=1\n[New.NTamd64]\nx=1\n"
    "[Strings]\nMfg=\"Maker\"\nOld=\"Old controller\"\nNew=\"New controller\"\n";
constexpr const char* kOwnInf =
    "[Version]\nSignature=\"$Windows NT$\"\nClassGUID={4D36E97B-E325-11CE-BFC1-08002BE10318}\n"
    "[Manufacturer]\nMaker=Models,NTamd64\n[Models.NTamd64]\nOwn=Own,PCI\\CC_0108\n[Own]\nx=1\n";

class PlanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(MakeWindows(target.path() / "Windows"));
        target.write("Windows/inf/oem3.inf", kOwnInf);
        storage.write("vendor/ten/ten.inf", kTenInf);
        const fs::path nvme = TestSupport::SharedTestData() / "inf/nvmewin-community/installations/64-bit/Windows10/nvme.inf";
        if (fs::exists(nvme)) storage.write("nvme/nvme.inf", TestSupport::ReadFileBytes(nvme));
        devices = scratch.write("devices.txt", "PCI\\VEN_1234&DEV_0001&REV_01 PCI\\VEN_1234&DEV_0001 PCI\\CC_010802 PCI\\CC_0108\n"
                                                  "ACPI\\PNP0A03\n");
        // The run's own devices come from this database: a mapped, an added and a HAL device.
        const fs::path hwdb = scratch.write("hwdb.txt", "[hwmap]\nPCI\\VEN_1234&DEV_0001=MAPPED_ID\n[hw]\nADDED_ID\n"
                                                        "[hal]\nACPIAPIC_UP\n");
        conf = scratch.write("transvia.conf", "[Settings]\nhwdb.txt=\"" + hwdb.string() + "\"\n");
    }
    void Software(const std::string& values)
    {
        ASSERT_TRUE(MakeSoftware(target.path() / "Windows/System32/config/SOFTWARE", values, scratch.path() / "software.reg"));
    }
    // The --json report; the printed table is its text() when `extra` asks for no JSON.
    Report Plan(const std::string& extra = "--json")
    {
        std::string out;
        EXPECT_EQ(TestSupport::RunCommand("TRANSVIA_CONF=" + conf.string() + " " + kCli + " plan --target " +
                                              target.path().string() + " --storage " + storage.path().string() +
                                              " --hardware " + devices.string() + " " + extra,
                                          &out),
                  0)
            << out;
        return Report(out);
    }

    TestSupport::ScratchDir target, storage, scratch;
    fs::path devices, conf;
};

}  // namespace

TEST_F(PlanTest, ListsCandidatesInTryOrderAndWritesNothing)
{
    Software("\"CurrentVersion\"=\"6.3\"\n\"CurrentMajorVersionNumber\"=dword:0000000a\n"
             "\"CurrentMinorVersionNumber\"=dword:00000000\n");
    const auto before = Snapshot(target.path());
    const auto storageBefore = Snapshot(storage.path());
    const Report plan = Plan();
    ASSERT_TRUE(plan.valid());
    EXPECT_EQ(Snapshot(target.path()), before) << "the target is untouched";
    EXPECT_EQ(Snapshot(storage.path()), storageBefore);

    EXPECT_EQ(plan["/target/platform"], "amd64");
    EXPECT_EQ(plan.List("/target/version"), (std::vector<std::string>{"10", "0"}));
    // The description's two devices, then those the run adds, in the order it adds them.
    EXPECT_EQ(plan.List("/devices", "/ids/0"),
              (std::vector<std::string>{"PCI\\VEN_1234&DEV_0001&REV_01", "ACPI\\PNP0A03", "primary_ide_channel",
                                        "secondary_ide_channel", "MAPPED_ID", "ADDED_ID", "ACPIAPIC_UP"}));
    EXPECT_EQ(plan["/devices/0/ids/1"], "PCI\\VEN_1234&DEV_0001");
    const size_t candidates = plan.Count("/devices/0/candidates");
    ASSERT_GE(candidates, 2u);
    // The 10.0 models win on a Windows 10 target: level 0, hardware id at position 1 of 4.
    const std::string first = "/devices/0/candidates/0/";
    EXPECT_EQ(plan[first + "inf"], "vendor/ten/ten.inf");
    EXPECT_EQ(plan[first + "models_section"], "MODELS.NTAMD64.10.0");
    EXPECT_EQ(plan[first + "install_section"], "NEW.NTAMD64");
    EXPECT_EQ(plan[first + "rank"], "1");
    EXPECT_EQ(plan[first + "level"], "0");
    EXPECT_EQ(plan[first + "description"], "New controller");
    EXPECT_EQ(plan[first + "manufacturer"], "Maker");
    EXPECT_EQ(plan[first + "driver_ver"], "01/01/2020,2.0");
    EXPECT_EQ(plan[first + "preferred"], "false");
    EXPECT_EQ(plan.List("/devices/0/candidates", "/inf").back(), "inf/oem3.inf")
        << "the target's own INF folder is searched last";
    const auto ranks = plan.List("/devices/0/candidates", "/rank");
    for (size_t i = 1; i < candidates; ++i) EXPECT_LT(std::stol(ranks[i - 1]), std::stol(ranks[i]));
    EXPECT_EQ(plan.Count("/devices/1/candidates"), 0u);

    const std::string table = Plan("").text();
    EXPECT_NE(table.find("no candidate"), std::string::npos) << table;
    EXPECT_EQ(Snapshot(target.path()), before);
}

TEST_F(PlanTest, WithoutTheWindowsTenNumbersTheOldModelsApply)
{
    Software("\"CurrentVersion\"=\"6.3\"\n");
    const Report plan = Plan();
    ASSERT_TRUE(plan.valid());
    EXPECT_EQ(plan.List("/target/version"), (std::vector<std::string>{"6", "3"}));
    EXPECT_EQ(plan["/devices/0/candidates/0/models_section"], "MODELS.NTAMD64");
    EXPECT_EQ(plan["/devices/0/candidates/0/install_section"], "OLD");
    EXPECT_EQ(plan["/devices/0/candidates/0/level"], "2");
}

TEST_F(PlanTest, SaysWhichDeviceDatabaseAnInstallWouldWrite)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const fs::path system = target.path() / "Windows/System32/config/SYSTEM";
    struct Case { const char* version; const char* hive; const char* expected; };
    for (const Case& c : {Case{"\"CurrentVersion\"=\"6.3\"\n", "hives/dissect.regf/SYSTEM", "DriverDatabase"},
                          Case{"\"CurrentVersion\"=\"6.1\"\n", "hives/winxp-x64/system", "CriticalDeviceDatabase"},
                          // The install binds in both when SOFTWARE and SYSTEM disagree.
                          Case{"\"CurrentVersion\"=\"6.1\"\n", "hives/dissect.regf/SYSTEM",
                               "CriticalDeviceDatabase and DriverDatabase"},
                          // A Windows 10 hive without the key gets neither: the run warns instead.
                          Case{"\"CurrentVersion\"=\"6.3\"\n", "hives/winxp-x64/system", "none"}}) {
        Software(c.version);
        fs::copy_file(data / c.hive, system, fs::copy_options::overwrite_existing);
        EXPECT_EQ(Plan()["/target/device_database"], c.expected) << c.hive << " " << c.version;
    }
    EXPECT_NE(Plan("").text().find("boot devices would be bound in: none"), std::string::npos);
}

// An INF that does not fit in the memory the run may use costs that file, not the scan.
TEST_F(PlanTest, AnInfTooLargeForMemoryIsPassedOver)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit this test sets";
#endif
    Software("\"CurrentVersion\"=\"6.3\"\n");
    fs::create_directories(storage.path() / "big");
    std::ofstream big(storage.path() / "big/big.inf", std::ios::binary);
    big << "[Version]\nSignature=\"$Windows NT$\"\nClassGUID={4D36E97B-E325-11CE-BFC1-08002BE10318}\n[Junk]\n";
    // 40 million short lines, 160 MB: what a parse keeps per line is several times the line.
    std::string lines;
    for (int i = 0; i < (1 << 20); ++i) lines += "a=b\n";
    for (int i = 0; i < 40; ++i) big << lines;
    big.close();
    std::string out;
    const int status = TestSupport::RunCommand("ulimit -v 400000; TRANSVIA_CONF=" + conf.string() + " " + kCli +
                                                   " plan --json --target " + target.path().string() + " --storage " +
                                                   storage.path().string() + " --hardware " + devices.string(),
                                               &out);
    ASSERT_EQ(status, 0) << out.substr(0, 2000);
    const Report plan(out);
    ASSERT_TRUE(plan.valid());
    EXPECT_EQ(plan["/devices/0/candidates/0/inf"], "vendor/ten/ten.inf");
}

