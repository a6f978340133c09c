// Whole install runs on copies of real SYSTEM hives (Windows 10, Windows XP x64) with real
// storage-controller INF files and placeholder driver files; the hives written are read
// back by our checker, python3-hivex and libregf.
#include <gtest/gtest.h>

#include "install/inf_processor.h"
#include "install/target_tree.h"
#include "registry/hive_readers.h"

namespace fs = std::filesystem;
using namespace Transvia;

namespace {

struct RunCase {
    const char* name;
    const char* hive;      // below the shared test data
    const char* windows;   // the Windows folder's name
    const char* software;  // values of SOFTWARE\Microsoft\Windows NT\CurrentVersion
    const char* inf;       // below the shared test data
    const char* driver;    // the file its install section copies
    std::vector<std::string> ids;
    const char* service;
    bool criticalDevices;  // the target has a critical device database to update
};

// The subkeys of the critical device database whose "Service" is `service`.
int CriticalEntriesFor(RegistryKey* controlSet, const std::string& service)
{
    int count = 0;
    for (const std::string& key : TargetTest::Subkeys(controlSet, u"Control\\CriticalDeviceDatabase"))
        if (TargetTest::Text(controlSet, Processor::FromUtf8("Control\\CriticalDeviceDatabase\\" + key), u"Service") == service)
            ++count;
    return count;
}

class ProcessorOracle : public ::testing::TestWithParam<RunCase> {};

}  // namespace

TEST_P(ProcessorOracle, InstallsTheStorageDriverIntoARealHive)
{
    const RunCase& c = GetParam();
    const fs::path data = TestSupport::SharedTestData();
    if (!fs::exists(data / c.hive) || !fs::exists(data / c.inf))
        GTEST_SKIP() << "shared test data (" << c.hive << ", " << c.inf << ") is not present beside the repository";

    TargetTest::TargetTree tree(c.windows);
    tree.CopyHive(data / c.hive, "system");
    tree.Hive("software", std::string("[S\\Microsoft\\Windows NT\\CurrentVersion]\n") + c.software);
    tree.Folder(std::string(c.windows) + "/inf");
    tree.Folder(std::string(c.windows) + "/System32/drivers");
    TestSupport::ScratchDir storage;
    fs::create_directories(storage.path() / "pkg");
    fs::copy_file(data / c.inf, storage.path() / "pkg" / fs::path(c.inf).filename());
    storage.write(std::string("pkg/") + c.driver, "placeholder driver");

    InfProcessorImpl processor(3, std::make_unique<CleanerImpl>(nullptr));
    ClassGuidFilter filter(BootCriticalClasses());
    processor.AddFilter(&filter);
    const LocationFlags flags{0, 1};
    ASSERT_TRUE(processor.AddSearchLocation(*storage.dir(), &flags));
    Common::Error result;
    processor.InstallDrivers(result, {DeviceIds(c.ids)}, tree.Root(), Processor::FromUtf8(c.windows), true, nullptr);
    ASSERT_FALSE(result.failed()) << std::hex << result.code();

    EXPECT_TRUE(fs::exists(tree.path() / c.windows / "System32/drivers" / c.driver));
    const Processor::String service = Processor::FromUtf8(c.service);
    {
        auto registry = CreateWindowsRegistry(tree.Windows());
        RegistryKey* services = registry->Services();
        EXPECT_EQ(TargetTest::Dword(services, service, u"Type"), 1);
        EXPECT_EQ(TargetTest::Dword(services, service, u"Start"), 0);
        EXPECT_EQ(TargetTest::Dword(services, service, u"ErrorControl"), 1);
        EXPECT_NE(TargetTest::Text(services, service, u"ImagePath").find(std::string(c.driver)), std::string::npos);
        EXPECT_EQ(TargetTest::Text(services, service, u"Group"), "SCSI miniport");
        EXPECT_EQ(CriticalEntriesFor(registry->CurrentControlSet(), c.service) > 0, c.criticalDevices);
    }
    const fs::path hive = tree.ConfigPath() / "system";
    EXPECT_TRUE(tree.Faults("system").empty());
    if (HiveReaders::HaveHivex()) {
        HiveReaders::HivexTree keys;
        ASSERT_TRUE(HiveReaders::HivexKeys(hive, keys)) << "hivex refused the hive we wrote";
        EXPECT_NE(keys["ControlSet001\\Services\\" + std::string(c.service)].values.find("Start=4:00000000"),
                  std::string::npos);
    }
    if (HiveReaders::HaveRegfexport()) {
        std::map<std::string, std::vector<std::string>> keys;
        EXPECT_TRUE(HiveReaders::RegfexportKeys(hive, keys)) << "libregf refused the hive we wrote";
    }
}

INSTANTIATE_TEST_SUITE_P(
    RealHives, ProcessorOracle,
    ::testing::Values(
        RunCase{"Windows10Nvme", "hives/dissect.regf/SYSTEM", "Windows",
                "\"CurrentVersion\"=\"6.3\"\n\"CurrentMajorVersionNumber\"=dword:0000000a\n"
                "\"CurrentMinorVersionNumber\"=dword:00000000\n",
                "inf/nvmewin-community/installations/64-bit/Windows10/nvme.inf", "nvme.sys",
                {"PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D&REV_00", "PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D",
                 "PCI\\VEN_144D&DEV_A808&CC_010802", "PCI\\CC_010802"},
                "nvme", false},
        RunCase{"WindowsXpViostor", "hives/winxp-x64/system", "WINDOWS", "\"CurrentVersion\"=\"5.2\"\n",
                "inf/virtio-win-kvm-guest-drivers-windows/viostor/wnet.inf", "viostor.sys",
                {"PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00", "PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4",
                 "PCI\\VEN_1AF4&DEV_1001&CC_010000", "PCI\\CC_010000"},
                "viostor", true},
        RunCase{"Windows7VersionViostor", "hives/winxp-x64/system", "WINDOWS", "\"CurrentVersion\"=\"6.1\"\n",
                "inf/virtio-win-kvm-guest-drivers-windows/viostor/wlh.inf", "viostor.sys",
                {"PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00", "PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4"},
                "viostor", true}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });
