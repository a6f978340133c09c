// transvia plan on a target tree: the candidates an install would try, and nothing written.
#include <gtest/gtest.h>

#include <map>

#include <nlohmann/json.hpp>

#include "support/fixtures.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kTenInf =
    "[Version]\nSignature=\"$Windows NT$\"\nClassGUID={4D36E97B-E325-11CE-BFC1-08002BE10318}\nDriverVer=01/01/2020,2.0\n"
    "[Manufacturer]\n%Mfg%=Models,NTamd64,NTamd64.10.0\n[Models.NTamd64]\n%Old%=Old,PCI\\VEN_1234&DEV_0001\n"
    "[Models.NTamd64.10.0]\n%New%=New,PCI\\VEN_1234&DEV_0001\n[Old]\nx=1\n[New.NTamd64]\nx=1\n"
    "[Strings]\nMfg=\"Maker\"\nOld=\"Old controller\"\nNew=\"New controller\"\n";
constexpr const char* kOwnInf =
    "[Version]\nSignature=\"$Windows NT$\"\nClassGUID={4D36E97B-E325-11CE-BFC1-08002BE10318}\n"
    "[Manufacturer]\nMaker=Models,NTamd64\n[Models.NTamd64]\nOwn=Own,PCI\\CC_0108\n[Own]\nx=1\n";

int Shell(const std::string& command, std::string* out = nullptr)
{
    return TestSupport::RunCommand(command + " 2>&1", out);
}

// Contents of every file below `root`, by relative path.
std::map<std::string, std::vector<uint8_t>> Snapshot(const fs::path& root)
{
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        files[fs::relative(entry.path(), root).string() + (entry.is_directory() ? "/" : "")] =
            entry.is_regular_file() ? TestSupport::ReadFileBytes(entry.path()) : std::vector<uint8_t>();
    return files;
}

class PlanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const fs::path windows = target.path() / "Windows";
        fs::create_directories(windows / "System32/config");
        fs::create_directories(windows / "inf");
        ASSERT_EQ(Shell("python3 " TRANSVIA_SOURCE_DIR "/tools/make_ntdll_header.py " + (windows / "System32/ntdll.dll").string() +
                      " amd64"),
                  0);
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
        const fs::path hive = target.path() / "Windows/System32/config/SOFTWARE";
        fs::remove(hive);
        ASSERT_EQ(Shell(std::string(TRANSVIA_CLI) + " reg new " + hive.string()), 0);
        const fs::path reg = scratch.write("software.reg", "Windows Registry Editor Version 5.00\n\n"
                                                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n" +
                                                               values);
        ASSERT_EQ(Shell(std::string(TRANSVIA_CLI) + " reg import --prefix 'HKEY_LOCAL_MACHINE\\SOFTWARE' " + hive.string() +
                      " " + reg.string()),
                  0);
    }
    nlohmann::json Plan(const std::string& extra = "--json")
    {
        std::string out;
        EXPECT_EQ(TestSupport::RunCommand("TRANSVIA_CONF=" + conf.string() + " " + TRANSVIA_CLI + " plan --target " + target.path().string() +
                                              " --storage " + storage.path().string() + " --hardware " +
                                              devices.string() + " " + extra,
                                          &out),
                  0)
            << out;
        return extra == "--json" ? nlohmann::json::parse(out, nullptr, false) : nlohmann::json(out);
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
    const nlohmann::json plan = Plan();
    ASSERT_FALSE(plan.is_discarded());
    EXPECT_EQ(Snapshot(target.path()), before) << "the target is untouched";
    EXPECT_EQ(Snapshot(storage.path()), storageBefore);

    EXPECT_EQ(plan["target"]["platform"], "amd64");
    EXPECT_EQ(plan["target"]["version"], nlohmann::json::array({10, 0}));
    // The description's two devices, then those the run adds, in the order it adds them.
    std::vector<std::string> names;
    for (const nlohmann::json& listed : plan["devices"]) names.push_back(listed["ids"][0]);
    EXPECT_EQ(names, (std::vector<std::string>{"PCI\\VEN_1234&DEV_0001&REV_01", "ACPI\\PNP0A03", "primary_ide_channel",
                                               "secondary_ide_channel", "MAPPED_ID", "ADDED_ID", "ACPIAPIC_UP"}));
    const nlohmann::json& device = plan["devices"][0];
    EXPECT_EQ(device["ids"][1], "PCI\\VEN_1234&DEV_0001");
    const nlohmann::json& candidates = device["candidates"];
    ASSERT_GE(candidates.size(), 2u);
    // The 10.0 models win on a Windows 10 target: level 0, hardware id at position 1 of 4.
    EXPECT_EQ(candidates[0]["inf"], "vendor/ten/ten.inf");
    EXPECT_EQ(candidates[0]["models_section"], "MODELS.NTAMD64.10.0");
    EXPECT_EQ(candidates[0]["install_section"], "NEW.NTAMD64");
    EXPECT_EQ(candidates[0]["rank"], 1);
    EXPECT_EQ(candidates[0]["level"], 0);
    EXPECT_EQ(candidates[0]["description"], "New controller");
    EXPECT_EQ(candidates[0]["manufacturer"], "Maker");
    EXPECT_EQ(candidates[0]["driver_ver"], "01/01/2020,2.0");
    EXPECT_EQ(candidates[0]["preferred"], false);
    EXPECT_EQ(candidates.back()["inf"], "inf/oem3.inf") << "the target's own INF folder is searched last";
    for (size_t i = 1; i < candidates.size(); ++i) EXPECT_LT(candidates[i - 1]["rank"], candidates[i]["rank"]);
    EXPECT_TRUE(plan["devices"][1]["candidates"].empty());

    const std::string table = Plan("").get<std::string>();
    EXPECT_NE(table.find("no candidate"), std::string::npos) << table;
    EXPECT_EQ(Snapshot(target.path()), before);
}

TEST_F(PlanTest, WithoutTheWindowsTenNumbersTheOldModelsApply)
{
    Software("\"CurrentVersion\"=\"6.3\"\n");
    const nlohmann::json plan = Plan();
    ASSERT_FALSE(plan.is_discarded());
    EXPECT_EQ(plan["target"]["version"], nlohmann::json::array({6, 3}));
    const nlohmann::json& first = plan["devices"][0]["candidates"][0];
    EXPECT_EQ(first["models_section"], "MODELS.NTAMD64");
    EXPECT_EQ(first["install_section"], "OLD");
    EXPECT_EQ(first["level"], 2);
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
        const nlohmann::json plan = Plan();
        ASSERT_FALSE(plan.is_discarded());
        EXPECT_EQ(plan["target"]["device_database"], c.expected) << c.hive << " " << c.version;
    }
    EXPECT_NE(Plan("").get<std::string>().find("boot devices would be bound in: none"), std::string::npos);
}
