// Detection of this machine's devices, run on sysfs trees built the way the kernel
// lays them out: bus folders of symbolic links into the device hierarchy.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "hardware/local_detection.h"
#include "support/fixtures.h"
#include "support/trace_capture.h"
#include "transvia/codes.h"
#include "transvia/error.h"

namespace Transvia {
namespace {

namespace fs = std::filesystem;

struct PciAttributes {
    std::string vendor, device, subsystemVendor, subsystemDevice, revision, classCode;
};

class FakeSysfs {
public:
    std::string root() const { return scratch_.path().string(); }

    void AddPci(const std::string& address, const PciAttributes& a)
    {
        const std::string folder = "devices/pci0000:00/" + address;
        Write(folder + "/vendor", a.vendor);
        Write(folder + "/device", a.device);
        if (!a.subsystemVendor.empty())
            Write(folder + "/subsystem_vendor", a.subsystemVendor);
        if (!a.subsystemDevice.empty())
            Write(folder + "/subsystem_device", a.subsystemDevice);
        Write(folder + "/revision", a.revision);
        Write(folder + "/class", a.classCode);
        Link("bus/pci/devices/" + address, "../../../" + folder);
    }

    // An ACPI object; `status` empty means the attribute is absent (always present).
    void AddAcpi(const std::string& name, const std::string& hid, const std::string& modalias,
                 const std::string& status = "")
    {
        const std::string folder = "devices/LNXSYSTM:00/" + name;
        fs::create_directories(scratch_.path() / folder);
        if (!hid.empty())
            Write(folder + "/hid", hid);
        if (!modalias.empty())
            Write(folder + "/modalias", modalias);
        if (!status.empty())
            Write(folder + "/status", status);
        Write(folder + "/path", "\\_SB_." + name.substr(0, 4));
        Link("bus/acpi/devices/" + name, "../../../" + folder);
    }

    // Gives an ACPI object a physical device with a child (a SCSI host, an ATA port).
    void AddPhysicalNode(const std::string& name, const std::string& platformDevice, const std::string& child)
    {
        fs::create_directories(scratch_.path() / "devices/platform" / platformDevice / child);
        Link("devices/LNXSYSTM:00/" + name + "/physical_node", "../../platform/" + platformDevice);
    }

    void SetOnlineCpus(const std::string& list) { Write("devices/system/cpu/online", list); }
    void AddAcpiTable(const std::string& name) { Write("firmware/acpi/tables/" + name, ""); }
    void Write(const std::string& relative, const std::string& text) { scratch_.write(relative, text + "\n"); }
    fs::path Path(const std::string& relative) const { return scratch_.path() / relative; }

private:
    void Link(const std::string& at, const std::string& target)
    {
        fs::create_directories((scratch_.path() / at).parent_path());
        fs::create_directory_symlink(target, scratch_.path() / at);
    }

    TestSupport::ScratchDir scratch_;
};

const PciAttributes kAhci{"0x8086", "0x2922", "0x1af4", "0x1100", "0x02", "0x010601"};
const PciAttributes kNvme{"0x144d", "0xa808", "0x144d", "0xa801", "0x00", "0x010802"};
const PciAttributes kDisplay{"0x1414", "0x5353", "0x0000", "0x0000", "0x00", "0x030000"};
const PciAttributes kIsaBridge{"0x8086", "0x7000", "0x1af4", "0x1100", "0x00", "0x060100"};
const PciAttributes kNetwork{"0x8086", "0x100e", "0x8086", "0x001e", "0x03", "0x020000"};

const std::vector<std::string> kAhciIds{
    "PCI\\VEN_8086&DEV_2922&SUBSYS_11001AF4&REV_02",
    "PCI\\VEN_8086&DEV_2922&SUBSYS_11001AF4",
    "PCI\\VEN_8086&DEV_2922&CC_010601",
    "PCI\\VEN_8086&DEV_2922&CC_0106",
    "PCI\\VEN_8086&DEV_2922&REV_02",
    "PCI\\VEN_8086&DEV_2922",
    "PCI\\VEN_8086&CC_010601",
    "PCI\\VEN_8086&CC_0106",
    "PCI\\VEN_8086",
    "PCI\\CC_010601",
    "PCI\\CC_0106",
};
std::vector<std::vector<std::string>> Lists(const DeviceList& devices)
{
    std::vector<std::vector<std::string>> lists;
    for (const DeviceIds& device : devices)
        lists.push_back(device.ids());
    return lists;
}

using TestSupport::ThrownCode;

TEST(LocalDetectionTest, PciDevicesCarryWindowsIdentifiersInEnumerationOrder)
{
    FakeSysfs sysfs;
    sysfs.AddPci("0000:00:1f.2", kAhci);
    sysfs.AddPci("0000:01:00.0", kNvme);
    sysfs.AddPci("0000:00:08.0", kDisplay);
    sysfs.AddPci("0000:00:01.0", kIsaBridge);
    sysfs.AddPci("0000:00:03.0", kNetwork);
    sysfs.AddPci("0000:00:04.0", kNetwork);  // a second, identical adapter

    DeviceList devices{{"LEFT_OVER"}};
    DetectPciDevices(devices, sysfs.root());
    ASSERT_EQ(devices.size(), 5u);
    // Ordered by identifier lists, byte-wise; the two network adapters are one entry.
    EXPECT_EQ(devices[0].name(), "PCI\\VEN_1414&DEV_5353&SUBSYS_00000000&REV_00");
    EXPECT_EQ(devices[1].name(), "PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D&REV_00");
    EXPECT_EQ(devices[2].name(), "PCI\\VEN_8086&DEV_100E&SUBSYS_001E8086&REV_03");
    EXPECT_EQ(Lists(devices)[3], kAhciIds);
    EXPECT_EQ(devices[4].name(), "PCI\\VEN_8086&DEV_7000&SUBSYS_11001AF4&REV_00");
}

TEST(LocalDetectionTest, PciFunctionsThatCannotBeReadAreLeftOut)
{
    FakeSysfs sysfs;
    sysfs.AddPci("0000:00:1f.2", kAhci);
    sysfs.AddPci("0000:00:02.0", {"0x8086", "0x1234", "", "", "0x01", "0x0c0330"});  // no subsystem: zero
    sysfs.AddPci("0000:00:05.0", {"0xffff", "0xffff", "0xffff", "0xffff", "0xff", "0xffffff"});  // removed
    sysfs.AddPci("0000:00:06.0", {"0x8086", "0x1235", "0x0000", "0x0000", "0x01", "storage"});  // not a number
    sysfs.AddPci("0000:00:07.0", {"0x18086", "0x1236", "0x0000", "0x0000", "0x01", "0x010000"});  // too wide
    sysfs.AddPci("0000:00:09.0", kNvme);
    fs::remove(sysfs.Path("devices/pci0000:00/0000:00:09.0/revision"));  // a required attribute missing
    sysfs.AddPci("0000:00:0a.0", kDisplay);
    fs::remove(sysfs.Path("devices/pci0000:00/0000:00:0a.0/class"));
    fs::create_directory(sysfs.Path("devices/pci0000:00/0000:00:0a.0/class"));  // unreadable
    sysfs.AddPci("0000:00:0b.0", kDisplay);
    fs::remove(sysfs.Path("devices/pci0000:00/0000:00:0b.0/vendor"));
    ASSERT_EQ(::mkfifo(sysfs.Path("devices/pci0000:00/0000:00:0b.0/vendor").c_str(), 0600), 0);  // would block

    TestSupport::TraceCapture traced;
    DeviceList devices;
    DetectPciDevices(devices, sysfs.root());
    // Each unreadable function is traced as a failed property read at level 3.
    using Traced = std::vector<std::pair<int, uint32_t>>;
    EXPECT_EQ(traced.Errors(), Traced(5, {3, Common::Codes::kDevicePropertyRead}));
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].name(), "PCI\\VEN_8086&DEV_1234&SUBSYS_00000000&REV_01");
    EXPECT_EQ(devices[0][9], "PCI\\CC_0C0330");
    EXPECT_EQ(Lists(devices)[1], kAhciIds);
}

TEST(LocalDetectionTest, MissingSourcesAndRoots)
{
    FakeSysfs empty;
    DeviceList devices{{"LEFT_OVER"}};
    DetectPciDevices(devices, empty.root());  // a machine without a PCI bus
    EXPECT_TRUE(devices.empty());
    DetectSystemDevices(devices, empty.root());  // nor ACPI
    EXPECT_TRUE(devices.empty());
    DetectProcessorDevices(devices, empty.root());
    EXPECT_TRUE(devices.empty());
    EXPECT_FALSE(IsMultiprocessor(empty.root()));

    const std::string missing = empty.root() + "/no/such/sysfs";
    EXPECT_EQ(ThrownCode([&] { DetectPciDevices(devices, missing); }), Common::Codes::kPciDeviceSet);
    EXPECT_EQ(ThrownCode([&] { DetectSystemDevices(devices, missing); }), Common::Codes::kComputerDeviceSet);
    DetectProcessorDevices(devices, missing);
    EXPECT_TRUE(devices.empty());
}

// The ACPI namespace of a small PC: root, buses, an interrupt link repeated four
// times, a keyboard and a battery (other device classes), an absent device, a
// PCI slot known only by its address, and `cpus` processors.
void AddPcNamespace(FakeSysfs& sysfs, int cpus, const std::string& processorHid = "ACPI0007")
{
    sysfs.AddAcpi("LNXSYSTM:00", "LNXSYSTM", "acpi:LNXSYSTM:");
    sysfs.AddAcpi("LNXSYBUS:00", "LNXSYBUS", "acpi:LNXSYBUS:");
    sysfs.AddAcpi("LNXPWRBN:00", "LNXPWRBN", "acpi:LNXPWRBN:");
    sysfs.AddAcpi("PNP0A03:00", "PNP0A03", "acpi:PNP0A03:", "15");
    sysfs.AddAcpi("PNP0A08:00", "PNP0A08", "acpi:PNP0A08:PNP0A03:");
    for (int i = 0; i < 4; ++i)
        sysfs.AddAcpi("PNP0C0F:0" + std::to_string(i), "PNP0C0F", "acpi:PNP0C0F:", "11");
    sysfs.AddAcpi("PNP0303:00", "PNP0303", "acpi:PNP0303:", "15");
    sysfs.AddAcpi("PNP0C0A:00", "PNP0C0A", "acpi:PNP0C0A:");
    sysfs.AddAcpi("PNP0103:00", "PNP0103", "acpi:PNP0103:", "0");  // not present
    sysfs.AddAcpi("device:00", "", "");
    sysfs.AddAcpi("QEMU0002:00", "QEMU0002", "acpi:QEMU0002:PNP0C02:");  // motherboard resources by compatible id
    for (int i = 0; i < cpus; ++i)
        sysfs.AddAcpi(processorHid + ":0" + std::to_string(i), processorHid, "acpi:" + processorHid + ":");
    sysfs.AddAcpiTable("APIC");
    sysfs.AddAcpiTable("DSDT");
}

const std::vector<std::vector<std::string>> kSystemDevicesAfterHal{
    {"ACPI_HAL\\PNP0C08", "*PNP0C08"},
    {"ACPI\\PNP0A03", "*PNP0A03"},
    {"ACPI\\PNP0A08", "*PNP0A08", "ACPI\\PNP0A03", "*PNP0A03"},
    {"ACPI\\PNP0C0F", "*PNP0C0F"},
    {"ACPI\\QEMU0002", "*QEMU0002", "ACPI\\PNP0C02", "*PNP0C02"},
};

std::vector<std::vector<std::string>> WithComputer(std::vector<std::string> computer)
{
    std::vector<std::vector<std::string>> lists{std::move(computer)};
    lists.insert(lists.end(), kSystemDevicesAfterHal.begin(), kSystemDevicesAfterHal.end());
    return lists;
}

TEST(LocalDetectionTest, SystemDevicesOnOneAndOnFourProcessors)
{
    for (const auto& [cpus, online, hal] : {std::tuple{1, "0", "ACPIAPIC_UP"}, std::tuple{4, "0-3", "ACPIAPIC_MP"}}) {
        FakeSysfs sysfs;
        AddPcNamespace(sysfs, cpus);
        sysfs.SetOnlineCpus(online);
        DeviceList devices;
        DetectSystemDevices(devices, sysfs.root());
        EXPECT_EQ(Lists(devices), WithComputer({"ACPIAPIC", hal}));
        EXPECT_EQ(IsMultiprocessor(sysfs.root()), cpus > 1);
        // Processors with equal lists are one device, as Windows reports them.
        DetectProcessorDevices(devices, sysfs.root());
        EXPECT_EQ(Lists(devices), (std::vector<std::vector<std::string>>{{"ACPI\\ACPI0007", "*ACPI0007"}}));
    }
}

TEST(LocalDetectionTest, ProcessorCountFallsBackToAcpiProcessorObjects)
{
    FakeSysfs four;
    AddPcNamespace(four, 4, "LNXCPU");  // processors declared the old way
    EXPECT_TRUE(IsMultiprocessor(four.root()));
    DeviceList devices;
    DetectSystemDevices(devices, four.root());
    ASSERT_FALSE(devices.empty());
    EXPECT_EQ(devices[0].ids(), (std::vector<std::string>{"ACPIAPIC", "ACPIAPIC_MP"}));
    DetectProcessorDevices(devices, four.root());
    EXPECT_EQ(Lists(devices), (std::vector<std::vector<std::string>>{{"ACPI\\ACPI0007", "*ACPI0007"}}));

    FakeSysfs garbled;
    AddPcNamespace(garbled, 2);
    garbled.SetOnlineCpus("garbage");  // a count that cannot be read does not count
    EXPECT_TRUE(IsMultiprocessor(garbled.root()));

    // The kernel's count wins over the firmware's list of possible processors.
    FakeSysfs offline;
    AddPcNamespace(offline, 4);
    offline.SetOnlineCpus("2");
    EXPECT_FALSE(IsMultiprocessor(offline.root()));
}

TEST(LocalDetectionTest, StorageAdaptersComeBeforeTheAcpiSystem)
{
    FakeSysfs sysfs;
    AddPcNamespace(sysfs, 2);
    sysfs.SetOnlineCpus("0,1");
    sysfs.AddAcpi("AMDI0600:00", "AMDI0600", "acpi:AMDI0600:");
    sysfs.AddPhysicalNode("AMDI0600:00", "AMDI0600:00", "ata1");
    sysfs.AddAcpi("PNP0C02:00", "PNP0C02", "acpi:PNP0C02:");
    sysfs.AddPhysicalNode("PNP0C02:00", "PNP0C02:00", "hostile0x");  // not a SCSI host

    DeviceList devices;
    DetectSystemDevices(devices, sysfs.root());
    ASSERT_EQ(devices.size(), 8u);
    EXPECT_EQ(devices[0].ids(), (std::vector<std::string>{"ACPIAPIC", "ACPIAPIC_MP"}));
    EXPECT_EQ(devices[1].ids(), (std::vector<std::string>{"ACPI\\AMDI0600", "*AMDI0600"}));
    EXPECT_EQ(devices[2].name(), "ACPI_HAL\\PNP0C08");
    EXPECT_EQ(devices[5].ids(), (std::vector<std::string>{"ACPI\\PNP0C02", "*PNP0C02"}));
}

TEST(LocalDetectionTest, AcpiWithoutInterruptControllerTable)
{
    FakeSysfs sysfs;
    AddPcNamespace(sysfs, 1);
    fs::remove(sysfs.Path("firmware/acpi/tables/APIC"));

    DeviceList devices;
    DetectSystemDevices(devices, sysfs.root());
    EXPECT_EQ(Lists(devices), WithComputer({"ACPIPIC", "ACPIPIC_UP"}));
}

TEST(LocalDetectionTest, IdentifierBuilders)
{
    PciFunction f;
    f.vendor = 0xabcd;
    f.device = 0x00ef;
    f.subsystemVendor = 0x0001;
    f.subsystemDevice = 0xf00d;
    f.revision = 0xa;
    f.classCode = 0x0c0330;
    const DeviceIds ids = PciIdentifiers(f);
    ASSERT_EQ(ids.size(), 11u);
    EXPECT_EQ(ids[0], "PCI\\VEN_ABCD&DEV_00EF&SUBSYS_F00D0001&REV_0A");
    EXPECT_EQ(ids[3], "PCI\\VEN_ABCD&DEV_00EF&CC_0C03");
    EXPECT_EQ(ids[10], "PCI\\CC_0C03");

    EXPECT_EQ(AcpiIdentifiers("PNP0A08", {"PNP0A03"}).ids(),
              (std::vector<std::string>{"ACPI\\PNP0A08", "*PNP0A08", "ACPI\\PNP0A03", "*PNP0A03"}));
}

TEST(LocalDetectionTest, CpuLists)
{
    EXPECT_EQ(CountCpuList("0\n"), 1u);
    EXPECT_EQ(CountCpuList("0-3"), 4u);
    EXPECT_EQ(CountCpuList("0-3,8,10-11\n"), 7u);
    EXPECT_EQ(CountCpuList(""), 0u);
    EXPECT_EQ(CountCpuList("3-1"), 0u);
    EXPECT_EQ(CountCpuList("0,,1"), 0u);
    EXPECT_EQ(CountCpuList("0x1"), 0u);
    EXPECT_EQ(CountCpuList("0-99999999999"), 0u);
    EXPECT_EQ(CountCpuList("-1"), 0u);
}

}  // namespace
}  // namespace Transvia
