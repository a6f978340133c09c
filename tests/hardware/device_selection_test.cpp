// Identifier comparison, PCI class selectors and the arrangement of critical devices.
#include <gtest/gtest.h>

#include "hardware/critical_devices.h"
#include "hardware/pci_class.h"
#include "hardware/processor_features.h"

namespace Transvia {
namespace {

std::vector<std::string> Names(const DeviceList& devices)
{
    std::vector<std::string> names;
    for (const DeviceIds& device : devices)
        names.push_back(device.empty() ? "<none>" : device.name());
    return names;
}

TEST(DeviceIdsTest, ComparesIgnoringAsciiCaseOnly)
{
    EXPECT_TRUE(SameId("PCI\\VEN_8086&DEV_2922", "pci\\ven_8086&dev_2922"));
    EXPECT_FALSE(SameId("PCI\\VEN_8086", "PCI\\VEN_8086&DEV_2922"));
    EXPECT_FALSE(SameId("ACPI\\PNP0A03", "ACPI/PNP0A03"));
    // Bytes above ASCII are compared as they are: E9 and C9 are not folded.
    EXPECT_FALSE(SameId("\xE9", "\xC9"));

    const DeviceIds device{"PCI\\VEN_8086&DEV_2922&CC_010601", "PCI\\VEN_8086"};
    EXPECT_TRUE(device.contains("pci\\ven_8086"));
    EXPECT_FALSE(device.contains("PCI\\VEN_808"));
    EXPECT_TRUE(device == (DeviceIds{"pci\\VEN_8086&dev_2922&cc_010601", "PCI\\ven_8086"}));
    EXPECT_FALSE(device == (DeviceIds{"PCI\\VEN_8086&DEV_2922&CC_010601"}));
    EXPECT_FALSE(device == (DeviceIds{"PCI\\VEN_8086", "PCI\\VEN_8086&DEV_2922&CC_010601"}));
}

TEST(PciClassSelectorTest, BuildsPatternFromGivenParts)
{
    EXPECT_EQ(PciClassSelector(1, 255, 255).pattern(), "CC_01");
    EXPECT_EQ(PciClassSelector(12, 4, 255).pattern(), "CC_0C04");
    EXPECT_EQ(PciClassSelector(1, 6, 1).pattern(), "CC_010601");
    // A programming interface without a subclass says nothing.
    EXPECT_EQ(PciClassSelector(1, 255, 1).pattern(), "CC_01");
    EXPECT_EQ(PciClassSelector(0xFE, 0xAB, 0x0F).pattern(), "CC_FEAB0F");
}

TEST(PciClassSelectorTest, MatchesBySubstringInLetterCaseAsWritten)
{
    const PciClassSelector ahci(1, 6, 1);
    EXPECT_TRUE(ahci.matches(DeviceIds{"PCI\\VEN_8086&DEV_2922", "PCI\\CC_010601"}));
    EXPECT_FALSE(ahci.matches(DeviceIds{"PCI\\VEN_8086&DEV_2922&CC_0106", "PCI\\CC_0106"}));
    EXPECT_FALSE(ahci.matches(DeviceIds{"pci\\cc_010601"}));
    EXPECT_FALSE(ahci.matches(DeviceIds{}));
    // CC_01 is also found inside CC_0106 and CC_010601.
    EXPECT_TRUE(PciClassSelector(1).matches(DeviceIds{"PCI\\VEN_8086&DEV_2922&CC_010601"}));
}

TEST(DeviceSelectionTest, SelectAppendsCopiesAndKeepPreservesOrder)
{
    const DeviceList devices{
        {"PCI\\VEN_1000&DEV_0001&CC_0104", "PCI\\CC_0104"},
        {"PCI\\VEN_8086&DEV_100E&CC_0200", "PCI\\CC_0200"},
        {},
        {"PCI\\VEN_8086&DEV_2922&CC_010601", "PCI\\CC_0106"},
    };
    DeviceList selected{{"ALREADY_THERE"}};
    SelectByClass(devices, PciClassSelector(1), selected);
    EXPECT_EQ(Names(selected),
              (std::vector<std::string>{"ALREADY_THERE", "PCI\\VEN_1000&DEV_0001&CC_0104", "PCI\\VEN_8086&DEV_2922&CC_010601"}));

    DeviceList byId;
    SelectById(devices, "pci\\cc_0200", byId);
    EXPECT_EQ(Names(byId), (std::vector<std::string>{"PCI\\VEN_8086&DEV_100E&CC_0200"}));
    SelectById(devices, "PCI\\CC_02", byId);  // whole identifiers only
    EXPECT_EQ(byId.size(), 1u);

    DeviceList kept = devices;
    KeepByClass(kept, PciClassSelector(1));
    EXPECT_EQ(Names(kept), (std::vector<std::string>{"PCI\\VEN_1000&DEV_0001&CC_0104", "PCI\\VEN_8086&DEV_2922&CC_010601"}));
    KeepByClass(kept, PciClassSelector(3));
    EXPECT_TRUE(kept.empty());
}

TEST(ArrangeCriticalDevicesTest, OrdersCriticalClassesAndDropsTheRest)
{
    DeviceList devices{
        {"PCI\\VEN_8086&DEV_2934&CC_0C0300", "PCI\\CC_0C03"},            // USB
        {"PCI\\VEN_8086&DEV_100E&CC_020000", "PCI\\CC_0200"},            // network: dropped
        {"PCI\\VEN_1077&DEV_2532&CC_0C0400", "PCI\\CC_0C04"},            // Fibre Channel
        {"PCI\\VEN_8086&DEV_7000&CC_060100", "PCI\\CC_0601"},            // ISA bridge
        {"PCI\\VEN_1414&DEV_5353&SUBSYS_00000000", "pci\\ven_1414&dev_5353&cc_0300"},  // virtual display
        {"PCI\\VEN_1234&DEV_1111&CC_030000", "PCI\\CC_0300"},            // other display: dropped
        {"PCI\\VEN_8086&DEV_2922&CC_010601", "PCI\\CC_0106"},            // AHCI
        {"PCI\\VEN_1000&DEV_0001&CC_0E00", "PCI\\CC_0E00"},              // I2O
        {"PCI\\VEN_8086&DEV_1237&CC_060000", "PCI\\CC_0600"},            // host bridge: dropped
        {"PCI\\VEN_144D&DEV_A808&CC_010802", "PCI\\CC_0108"},            // NVMe
        {"PCI\\VEN_BEEF&DEV_0001&CC_0E00", "PCI\\CC_0104"},              // I2O and RAID: twice
    };
    ArrangeCriticalDevices(devices);
    EXPECT_EQ(Names(devices), (std::vector<std::string>{
                                  "PCI\\VEN_1000&DEV_0001&CC_0E00",
                                  "PCI\\VEN_BEEF&DEV_0001&CC_0E00",
                                  "PCI\\VEN_8086&DEV_2922&CC_010601",
                                  "PCI\\VEN_144D&DEV_A808&CC_010802",
                                  "PCI\\VEN_BEEF&DEV_0001&CC_0E00",
                                  "PCI\\VEN_1414&DEV_5353&SUBSYS_00000000",
                                  "PCI\\VEN_1077&DEV_2532&CC_0C0400",
                                  "PCI\\VEN_8086&DEV_7000&CC_060100",
                                  "PCI\\VEN_8086&DEV_2934&CC_0C0300",
                              }));
    // Copies keep every identifier of the device.
    EXPECT_EQ(devices[5].size(), 2u);

    DeviceList none;
    ArrangeCriticalDevices(none);
    EXPECT_TRUE(none.empty());
}

TEST(ProcessorFeaturesTest, LongModeBit)
{
    EXPECT_TRUE(LongModeFromCpuid(0x80000008u, 1u << 29));
    EXPECT_FALSE(LongModeFromCpuid(0x80000008u, ~(1u << 29)));
    // Without the extended function its register holds nothing meaningful.
    EXPECT_FALSE(LongModeFromCpuid(0x80000000u, 1u << 29));
    EXPECT_FALSE(LongModeFromCpuid(0, 0xFFFFFFFFu));
#if defined(__x86_64__)
    // This test itself runs in 64-bit mode, so the processor has it.
    EXPECT_TRUE(HasLongMode());
#endif
}

}  // namespace
}  // namespace Transvia
