// Critical device entries on a copy of a real Windows XP x64 SYSTEM hive (it has a
// CriticalDeviceDatabase), checked by our checker and hivex after each write.
#include <gtest/gtest.h>

#include "install/action_target.h"
#include "install/critical_device_database.h"

using Processor::String;
using TargetTest::Text;
using Transvia::TargetVersion;

namespace {

struct Cdd : testing::Test {
    TargetTest::TargetTree tree{"WINDOWS"};
    std::unique_ptr<Transvia::WindowsRegistry> registry;
    std::unique_ptr<Transvia::Inf> inf = ActionTest::InfText(
        "[Version]\nSignature=\"$Windows NT$\"\nClassGuid={4D36E97B-E325-11CE-BFC1-08002BE10318}\n");

    void SetUp() override
    {
        const auto hive = TestSupport::SharedTestData() / "hives/winxp-x64/system";
        if (!std::filesystem::exists(hive))
            GTEST_SKIP() << "no " << hive << " (../shared/testdata is absent)";
        tree.CopyHive(hive, "system");
        registry = Transvia::CreateWindowsRegistry(tree.Windows());
        ASSERT_TRUE(inf);
    }
    Common::Error Update(TargetVersion version, const Transvia::DeviceIds& ids)
    {
        Common::Error result;
        Common::Error error = Transvia::UpdateCriticalDeviceDatabase(version, result, ids, *registry, *inf, u"demo");
        EXPECT_EQ(error.code(), result.code());
        return error;
    }
    std::string Entry(const char16_t* key, const char16_t* value)
    {
        return Text(registry->CurrentControlSet(), String(u"Control\\CriticalDeviceDatabase\\") + key, value);
    }
    void ExpectSoundHive()
    {
        registry.reset();
        EXPECT_EQ(tree.Faults("system"), std::vector<std::string>());
        HiveReaders::HivexTree keys;
        if (HiveReaders::HaveHivex()) {
            ASSERT_TRUE(HiveReaders::HivexKeys(tree.ConfigPath() / "system", keys));
            EXPECT_TRUE(keys.count("ControlSet001\\Control\\CriticalDeviceDatabase\\pci#ven_8086&dev_2922&cc_0106") ||
                        keys.count("ControlSet001\\Control\\CriticalDeviceDatabase\\PCI#VEN_8086&DEV_2922&CC_0106"));
        }
        registry = Transvia::CreateWindowsRegistry(tree.Windows());
    }
};

TEST_F(Cdd, PrimaryAtTheSixthAndSecondaryAtTheFirstIdentifier)
{
    const Transvia::DeviceIds ids{"PCI\\VEN_8086&DEV_2922&SUBSYS_1&REV_02", "PCI\\VEN_8086&DEV_2922&SUBSYS_1",
                                  "PCI\\VEN_8086&DEV_2922&CC_010601", "PCI\\VEN_8086&DEV_2922&CC_0106",
                                  "PCI\\VEN_8086&DEV_2922", "PCI\\VEN_8086&CC_010601",
                                  "PCI\\VEN_8086&CC_0106", "PCI\\CC_0106"};
    EXPECT_FALSE(Update({5, 2}, ids).failed());
    EXPECT_EQ(Entry(u"PCI#VEN_8086&CC_010601", u"Service"), "demo");
    EXPECT_EQ(Entry(u"PCI#VEN_8086&CC_010601", u"ClassGUID"), "{4D36E97B-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(Entry(u"PCI#VEN_8086&DEV_2922&SUBSYS_1&REV_02", u"Service"), "demo");
    EXPECT_EQ(Entry(u"PCI#VEN_8086&DEV_2922&SUBSYS_1", u"Service"), "<none>");
    EXPECT_EQ(Entry(u"PCI#CC_0106", u"Service"), "<none>");

    // Windows 7 (6.1) still has the database; one identifier makes both entries one key.
    EXPECT_FALSE(Update({6, 1}, {"PCI\\VEN_8086&DEV_2922&CC_0106"}).failed());
    EXPECT_EQ(Entry(u"PCI#VEN_8086&DEV_2922&CC_0106", u"Service"), "demo");
    ExpectSoundHive();
}

TEST_F(Cdd, LaterWindowsGetNoEntries)
{
    const auto before = TestSupport::ReadFileBytes(tree.ConfigPath() / "system");
    for (TargetVersion version : {TargetVersion{6, 2}, TargetVersion{6, 3}, TargetVersion{10, 0}, TargetVersion{4, 0}})
        EXPECT_FALSE(Update(version, {"PCI\\VEN_1&DEV_2"}).failed());
    registry.reset();
    EXPECT_EQ(TestSupport::ReadFileBytes(tree.ConfigPath() / "system"), before);
}

TEST(CriticalDeviceKeyName, ReplacesEveryBackslash)
{
    EXPECT_EQ(Transvia::CriticalDeviceKeyName("PCI\\VEN_1\\X"), String(u"PCI#VEN_1#X"));
    EXPECT_EQ(Transvia::CriticalDeviceKeyName("*PNP0A03"), String(u"*PNP0A03"));
}

}  // namespace
