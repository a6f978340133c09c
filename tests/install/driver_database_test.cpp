// The DriverDatabase encodings against real values (a Windows 10 hive, a captured viostor
// package) and the registration's choices on small hives: names, kept values, refusals.
#include <gtest/gtest.h>

#include "../inf/inf_test_util.h"
#include "install/driver_database.h"
#include "install/driver_database_access.h"
#include "install/driver_database_records.h"
#include "registry/hive_format.h"
#include "registry/windows_registry.h"
#include "target_tree.h"
#include "transvia/codes.h"

using namespace Transvia;
namespace Records = Transvia::DriverDatabaseRecords;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& text)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') { ++i; continue; }
        bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

Bytes Blob(const std::string& guid, const std::string& date, const std::string& version, bool inbox, uint16_t arch = 9)
{
    const auto parsedGuid = Records::ParseGuid(U16(std::string_view(guid)));
    EXPECT_TRUE(parsedGuid) << guid;
    const auto blob = Records::VersionBlob(inbox, arch, parsedGuid.value_or(std::array<uint8_t, 16>{}),
                                           Records::ParseDriverVer(U16(std::string_view(date)), U16(std::string_view(version))));
    return Bytes(blob.begin(), blob.end());
}

constexpr std::string_view kScsiAdapter = "{4D36E97B-E325-11CE-BFC1-08002BE10318}";

}  // namespace

TEST(DriverDatabaseRecords, VersionBlobsOfARealWindows10Hive)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    Common::Error error;
    auto folder = Common::OpenLocalDirectory((data / "hives/dissect.regf").string());
    ASSERT_TRUE(folder);
    Common::file_reg root = Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(folder), u"SYSTEM", error);
    ASSERT_FALSE(root.empty());
    // stornvme's own DriverVer as the device's driver key on that system records it.
    Common::file_reg driverKey = FindPath(root, {u"ControlSet001", u"Control", u"Class",
                                                 u"{4d36e97b-e325-11ce-bfc1-08002be10318}", u"0000"});
    ASSERT_EQ(ReadText(driverKey, u"InfPath").value_or(u""), u"stornvme.inf");
    const std::u16string date = ReadText(driverKey, u"DriverDate").value_or(u"");
    const std::u16string version = ReadText(driverKey, u"DriverVersion").value_or(u"");
    const Common::file_reg packages = FindPath(root, {u"DriverDatabase", u"DriverPackages"});
    uint32_t type = 0;
    Bytes stornvme, pvscsi;
    ASSERT_TRUE(packages.find_subkey(u"stornvme.inf_amd64_1218fad01506b7af").read_value(u"Version", type, stornvme));
    ASSERT_TRUE(packages.find_subkey(u"pvscsi.inf_amd64_9e7bfe6e33172952").read_value(u"Version", type, pvscsi));
    EXPECT_EQ(Blob(std::string(kScsiAdapter), Processor::ToUtf8(date), Processor::ToUtf8(version), true), stornvme);
    EXPECT_EQ(Blob("{4d36e97b-e325-11ce-bfc1-08002be10318}", "04/26/2021", "1.3.17.0", false), pvscsi);
}

TEST(DriverDatabaseRecords, VersionBlobAndDriverVerSpellings)
{
    // A real viostor package's blob as captured from a running Windows.
    EXPECT_EQ(Blob(std::string(kScsiAdapter), "12/02/2021", "100.90.104.21500", false),
              Hex("00ff0900 00000000 7be9364d25e3ce11bfc108002be10318 00c0978c0fe7d701 fc5368005a006400 0000000000000000"));
    // Braces, letter case and '-' or '/' do not matter; a short version fills with zeros.
    EXPECT_EQ(Blob("4d36e97b-e325-11ce-bfc1-08002be10318", "12-2-2021", "100.90.104.21500", false),
              Blob(std::string(kScsiAdapter), "12/02/2021", "100.90.104.21500", false));
    EXPECT_EQ(Records::ParseDriverVer(u"1/1/2010", u"1.2").version, uint64_t(1) << 48 | uint64_t(2) << 32);
    struct Bad { const char16_t* date; const char16_t* version; bool dateRead; bool versionRead; };
    for (const Bad& c : {Bad{u"12/02/21", u"1.0", false, true}, Bad{u"02/29/2021", u"", false, false},
                         Bad{u"02/29/2020", u"1.2.3.4.5", true, false}, Bad{u"13/01/2020", u"1.65536", false, false},
                         Bad{u"", u"x", false, false}}) {
        const auto parsed = Records::ParseDriverVer(c.date, c.version);
        EXPECT_EQ(parsed.dateRead, c.dateRead) << Processor::ToUtf8(std::u16string_view(c.date));
        EXPECT_EQ(parsed.versionRead, c.versionRead) << Processor::ToUtf8(std::u16string_view(c.version));
        EXPECT_EQ(parsed.filetime == 0, !parsed.dateRead);
        EXPECT_EQ(parsed.version == 0, !parsed.versionRead);
    }
    for (const char16_t* bad : {u"", u"{4D36E97B-E325-11CE-BFC1-08002BE1031}", u"4D36E97B+E325-11CE-BFC1-08002BE10318",
                                u"{4D36E97B-E325-11CE-BFC1-08002BE1031G}"})
        EXPECT_FALSE(Records::ParseGuid(bad)) << Processor::ToUtf8(std::u16string_view(bad));
}

TEST(DriverDatabaseRecords, OemInfMapBits)
{
    // The maps of real 10 (19041, 1903, 1709) and 8.1 hives.
    const auto range = [](uint32_t last) {
        std::vector<uint32_t> numbers;
        for (uint32_t n = 0; n <= last; ++n) numbers.push_back(n);
        return numbers;
    };
    EXPECT_EQ(Records::OemNumbers(Hex("ff80")), range(8));
    EXPECT_EQ(Records::OemNumbers(Hex("fff0")), range(11));
    EXPECT_EQ(Records::OemNumbers(Hex("fffc")), range(13));
    EXPECT_EQ(Records::OemNumbers(Hex("e0")), range(2));
    EXPECT_TRUE(Records::OemNumbers({}).empty());
    Bytes map = Hex("ffff");
    Records::SetOemBit(map, 16);
    EXPECT_EQ(map, Hex("ffff80"));
    map = {};
    Records::SetOemBit(map, 9);
    EXPECT_EQ(map, Hex("0040"));
    Records::SetOemBit(map, 9);
    Records::SetOemBit(map, 0);
    EXPECT_EQ(map, Hex("8040"));
    EXPECT_FALSE(Records::OemBit(map, 100));
    EXPECT_EQ(Records::OemNumber(u"OEM12.INF"), 12u);
    EXPECT_EQ(Records::OemNumber(u"oem0.inf"), 0u);
    for (const char16_t* other : {u"oem07.inf", u"oem.inf", u"oem1.inf.bak", u"stornvme.inf", u"oem1234567.inf"})
        EXPECT_FALSE(Records::OemNumber(other)) << Processor::ToUtf8(std::u16string_view(other));
}

TEST(DriverDatabaseRecords, DeviceIdsValuesFromAModelsLine)
{
    auto inf = InfTest::Parse(
        "[Version]\nSignature=\"$Windows NT$\"\nClassGUID={4D36E97B-E325-11CE-BFC1-08002BE10318}\n"
        "Provider=%P%\nDriverVer=12/02/2021,100.90.104.21500\n"
        "[Models.NTamd64]\n"
        "%D%=Scsi_Inst, PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00, PCI\\VEN_1AF4&DEV_1001, PCI\\CC_0100\n"
        "%D%=Scsi_Inst, PCI\\VEN_1AF4&DEV_1042, PCI\\ven_1af4&dev_1001\n"
        "%D%=Other_Inst, PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00\n"
        "%D%=Scsi_Inst, PCI\\VEN_1AF4&DEV_1048\n"
        "[SCSI_INST.NTamd64]\nFeatureScore=0xFE\n[Other_Inst]\n[Strings]\nP=\"Red Hat, Inc.\"\nD=disk\n");
    ASSERT_TRUE(inf);
    const std::vector<Processor::String> device{u"PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00", u"PCI\\VEN_1AF4&DEV_1042"};
    const DriverPackageRegistration input = DescribeDriverPackage(
        *inf, *inf->FindSection(u"SCSI_INST.NTAMD64"), inf->FindSection(u"Models.NTamd64"), device, u"viostor.inf", u"viostor");
    EXPECT_EQ(input.configuration, u"Scsi_Inst.NTAMD64");
    EXPECT_EQ(input.featureScore, 0xFE);
    EXPECT_EQ(input.provider, u"Red Hat, Inc.");
    EXPECT_EQ(input.driverVerVersion, u"100.90.104.21500");
    // Lines of another section, or naming none of the device's identifiers, do not count;
    // an identifier in both roles keeps both bits and its compatible position.
    std::vector<std::string> values;
    for (const ModelsId& id : input.ids) {
        const auto bytes = Records::DeviceIdValue(id.roles, input.featureScore, id.position);
        char hex[9];
        std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3]);
        values.push_back(Processor::ToUtf8(id.id) + "=" + hex);
    }
    EXPECT_EQ(values, (std::vector<std::string>{"PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00=01fe0000",
                                                 "PCI\\VEN_1AF4&DEV_1001=02fe0000", "PCI\\CC_0100=02fe0100",
                                                 "PCI\\VEN_1AF4&DEV_1042=01fe0000"}));
    EXPECT_EQ(Records::DeviceIdValue(3, 0xFF, 0x102), (std::array<uint8_t, 4>{3, 0xFF, 2, 1}));
    EXPECT_EQ(Records::PackageName(u"VioStor.INF", u"amd64"), u"viostor.inf_amd64_0000000000000000");
}

namespace {

// A Windows 10 SYSTEM hive with a small DriverDatabase: stornvme's real entries and an
// oem3.inf taken in the map.
class RegisterTest : public ::testing::Test {
protected:
    void Build(const std::string& database)
    {
        registry.reset();
        std::filesystem::remove(tree.ConfigPath() / "system");
        tree.Hive("system", "[S\\Select]\n\"Current\"=dword:00000001\n[S\\ControlSet001\\Services\\viostor]\n"
                            "[S\\DriverDatabase]\n\"Architecture\"=dword:00000009\n" + database +
                                "[S\\DriverDatabase\\DeviceIds\\pci\\CC_010802]\n\"stornvme.inf\"=hex:01,ff,00,00\n"
                                "[S\\DriverDatabase\\DriverInfFiles\\oem2.inf]\n");
        tree.Folder("Windows/inf");
        registry = CreateWindowsRegistry(tree.Windows());
        input.infName = u"viostor.inf";
        input.configuration = u"scsi_inst";
        input.service = u"viostor";
        input.classGuid = U16(kScsiAdapter);
        input.ids = {{u"PCI\\VEN_1AF4&DEV_1001", Records::IdRole::kHardware, 0}, {u"PCI\\CC_010802", 2, 1}};
    }
    Common::Error Register()
    {
        infFolder = tree.Windows()->open_dir(u"inf");
        return RegisterDriverPackage(*registry, {10, 0}, 3, input, infFolder.get(), writes);
    }
    Common::file_reg Database() { return HiveKeyOf(registry->System()).find_subkey(u"DriverDatabase"); }
    Bytes Value(const DriverDatabasePath& path, std::u16string_view name)
    {
        uint32_t type = 0;
        Bytes data;
        FindPath(Database(), path).read_value(name, type, data);
        return data;
    }

    TargetTest::TargetTree tree;
    std::unique_ptr<WindowsRegistry> registry;
    std::shared_ptr<Common::i_dir> infFolder;
    DriverPackageRegistration input;
    DriverDatabaseWrites writes;
};

}  // namespace

TEST_F(RegisterTest, FirstFreeNameKeepsOtherEntriesAndListsWhatItAdded)
{
    // oem1.inf is a file, oem2.inf a key, oem3.inf a bit: oem4.inf is the first free name.
    Build("\"OemInfMap\"=hex:90\n");
    tree.Write("Windows/inf/OEM1.INF", "x");
    ASSERT_FALSE(Register().failed());
    EXPECT_EQ(writes.publishedName, u"oem4.inf");
    EXPECT_EQ(writes.package, u"viostor.inf_amd64_0000000000000000");
    EXPECT_EQ(Value({}, u"OemInfMap"), Hex("98"));
    EXPECT_EQ(Value({u"DeviceIds", u"PCI", u"CC_010802"}, u"stornvme.inf"), Hex("01ff0000"));
    EXPECT_EQ(Value({u"DeviceIds", u"PCI", u"CC_010802"}, u"oem4.inf"), Hex("02ff0100"));
    EXPECT_EQ(Value({u"DeviceIds", u"PCI", u"VEN_1AF4&DEV_1001"}, u"oem4.inf"), Hex("01ff0000"));
    EXPECT_EQ(ReadText(FindPath(Database(), {u"DriverPackages", writes.package, u"Configurations", u"scsi_inst"}), u"Service"),
              u"viostor");
    EXPECT_EQ(Value({u"DriverPackages", writes.package, u"Configurations", u"scsi_inst"}, u"ConfigScope"), Hex("07000000"));
    EXPECT_EQ(ReadList(FindPath(Database(), {u"DriverInfFiles", u"oem4.inf"}), u""),
              std::vector<std::u16string>{writes.package});
    // DeviceIds keys are shared with the package Windows imports later: values only.
    EXPECT_EQ(writes.keys, (std::vector<std::u16string>{u"DriverDatabase\\DriverInfFiles\\oem4.inf",
                                                         u"DriverDatabase\\DriverPackages\\viostor.inf_amd64_0000000000000000"}));
    EXPECT_EQ(writes.values, (std::vector<std::u16string>{u"DriverDatabase\\DeviceIds\\PCI\\VEN_1AF4&DEV_1001\\oem4.inf",
                                                           u"DriverDatabase\\DeviceIds\\PCI\\CC_010802\\oem4.inf"}));

    // Again: the package keeps its name, nothing new is listed, the map is unchanged.
    DriverDatabaseWrites first = writes;
    ASSERT_FALSE(Register().failed());
    EXPECT_EQ(writes.publishedName, first.publishedName);
    EXPECT_TRUE(writes.keys.empty() && writes.values.empty());
    EXPECT_EQ(Value({}, u"OemInfMap"), Hex("98"));
}

TEST_F(RegisterTest, PublishedNameIsUsedWhenTheDatabaseHasItFreeAndAMissingMapGrows)
{
    Build("");
    input.publishedInf = u"oem12.inf";
    ASSERT_FALSE(Register().failed());
    EXPECT_EQ(writes.publishedName, u"oem12.inf");
    EXPECT_EQ(Value({}, u"OemInfMap"), Hex("0008"));
    // A published name the database already holds is not shared.
    input.infName = u"vioscsi.inf";
    input.publishedInf = u"oem2.inf";
    ASSERT_FALSE(Register().failed());
    EXPECT_EQ(writes.publishedName, u"oem1.inf");
}

TEST_F(RegisterTest, RefusalsWriteNothing)
{
    struct Case { const char* database; std::u16string classGuid; std::u16string id; uint32_t code; };
    for (const Case& c : {Case{"\"OemInfMap\"=dword:00000001\n", U16(kScsiAdapter), u"PCI\\X", Common::Codes::kDriverDatabaseUnusable},
                          Case{"", u"", u"PCI\\X", Common::Codes::kDriverPackageNoClass},
                          Case{"", u"{not-a-guid}", u"PCI\\X", Common::Codes::kDriverPackageNoClass},
                          Case{"", U16(kScsiAdapter), u"PCI\\\\X", Common::Codes::kDriverDatabaseUnusable}}) {
        Build(c.database);
        input.classGuid = c.classGuid;
        input.ids = {{c.id, 1, 0}};
        const auto before = TestSupport::ReadFileBytes(tree.ConfigPath() / "system");
        EXPECT_EQ(Register().code(), c.code) << c.database;
        EXPECT_TRUE(FindPath(Database(), {u"DriverPackages"}).empty());
        EXPECT_TRUE(FindPath(Database(), {u"DriverInfFiles", u"oem1.inf"}).empty());
        registry.reset();
        EXPECT_EQ(TestSupport::ReadFileBytes(tree.ConfigPath() / "system"), before);
    }
}

TEST_F(RegisterTest, TargetChecks)
{
    Build("");
    bool use = false;
    EXPECT_FALSE(UsesDriverDatabase(*registry, {10, 0}, 3, use).failed());
    EXPECT_TRUE(use);
    EXPECT_EQ(UsesDriverDatabase(*registry, {10, 0}, 1, use).code(), Common::Codes::kDriverDatabaseMismatch);
    EXPECT_FALSE(use);
    // A SOFTWARE hive naming an older Windows does not stop the binding the key calls for.
    EXPECT_FALSE(UsesDriverDatabase(*registry, {6, 1}, 3, use).failed());
    EXPECT_TRUE(use);
    EXPECT_EQ(DeviceDatabaseOf(HiveKeyOf(registry->System())), DeviceDatabaseKind::kDriver);
    EXPECT_EQ(DeviceDatabaseWritten(DeviceDatabaseKind::kDriver, {10, 0}), DeviceDatabaseKind::kDriver);
    EXPECT_EQ(DeviceDatabaseWritten(DeviceDatabaseKind::kNone, {6, 1}), DeviceDatabaseKind::kCriticalDevice);
    EXPECT_EQ(DeviceDatabaseWritten(DeviceDatabaseKind::kDriver, {6, 1}), DeviceDatabaseKind::kBoth);
    EXPECT_EQ(DeviceDatabaseWritten(DeviceDatabaseKind::kNone, {6, 3}), DeviceDatabaseKind::kNone);
}

TEST_F(RegisterTest, AnExistingPackageOfTheSameName)
{
    // One an earlier run registered keeps its published name.
    Build("[S\\DriverDatabase\\DriverPackages\\VIOSTOR.INF_AMD64_0000000000000000]\n@=\"oem2.inf\"\n");
    ASSERT_FALSE(Register().failed());
    EXPECT_EQ(writes.publishedName, u"oem2.inf");
    // One whose published name does not read is taken over: its other values stay, and
    // what is added to it is listed value by value, as the key was not ours.
    Build("[S\\DriverDatabase\\DriverPackages\\viostor.inf_amd64_0000000000000000]\n@=dword:00000002\n\"Keep\"=\"x\"\n");
    ASSERT_FALSE(Register().failed());
    EXPECT_EQ(writes.publishedName, u"oem1.inf");
    const Common::file_reg package = FindPath(Database(), {u"DriverPackages", writes.package});
    EXPECT_EQ(ReadText(package, u"Keep"), u"x");
    EXPECT_EQ(ReadText(package, u""), u"oem1.inf");
    EXPECT_EQ(std::count(writes.values.begin(), writes.values.end(),
                         u"DriverDatabase\\DriverPackages\\viostor.inf_amd64_0000000000000000\\Version"), 1);
    EXPECT_EQ(std::count(writes.keys.begin(), writes.keys.end(),
                         u"DriverDatabase\\DriverPackages\\viostor.inf_amd64_0000000000000000"), 0);
}
