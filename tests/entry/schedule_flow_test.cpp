// ScheduleForWindowsInstall through the exported entry: class selection, the present
// check against the target's INF folder, staging from the host's storages, and a run on
// a copy of a real SYSTEM hive with a real network INF, read back by hivex.
#include <gtest/gtest.h>

#include "entry/library_files.h"
#include "support/trace_capture.h"
#include "install/custom_filter.h"
#include "install/target_tree.h"
#include "registry/hive_readers.h"
#include "support/message_table.h"
#include "transvia/api.h"

namespace fs = std::filesystem;
using namespace Transvia;

namespace {

const char kNetClass[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char kSystemClass[] = "{4D36E97D-E325-11CE-BFC1-08002BE10318}";
const DeviceIds kNic{"PCI\\VEN_10EC&DEV_8139&SUBSYS_813910EC&REV_10", "PCI\\VEN_10EC&DEV_8139", "PCI\\CC_020000",
                     "PCI\\CC_0200"};
const DeviceIds kDisk{"PCI\\VEN_8086&DEV_2922&CC_010601", "PCI\\CC_0106"};

std::vector<uint8_t> PeHeader(uint16_t machine)
{
    std::vector<uint8_t> bytes(128, 0);
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[60] = 64;
    bytes[64] = 'P';
    bytes[65] = 'E';
    bytes[68] = static_cast<uint8_t>(machine);
    bytes[69] = static_cast<uint8_t>(machine >> 8);
    return bytes;
}

// An x86 package of `classGuid` whose models line names `id`.
std::string Package(const std::string& classGuid, const std::string& maker, const std::string& id)
{
    return "[Version]\nSignature=\"$Windows NT$\"\nClassGUID=" + classGuid +
           "\n[Manufacturer]\n\"" + maker + "\"=Models\n[Models]\n\"Device\"=Inst," + id +
           "\n[Inst.NT]\nCopyFiles=Files\n[Files]\ndrv.sys\n[DestinationDirs]\nDefaultDestDir=12\n";
}

class Hardware final : public HardwareEnvironment {
public:
    explicit Hardware(DeviceList devices) : devices_(std::move(devices)) {}
    void EnumerateDevices(Common::Error&, DeviceList& devices) const override { devices = devices_; }
    void EnumerateInstallDevices(Common::Error&, DeviceList&) const override { ADD_FAILURE() << "install devices"; }

private:
    DeviceList devices_;
};

// A storage over a folder, or over none; counts how often it is asked for its folder.
class Storage final : public DriverStorage {
public:
    explicit Storage(std::shared_ptr<Common::i_dir> folder) : folder_(std::move(folder)) {}
    bool IsRemovable() const override { return true; }
    Processor::String DisplayPath() const override { return u"E:\\drivers"; }
    bool IsNetwork() const override { return false; }
    Processor::String VolumeLabel() const override { return {}; }
    bool IsReadOnly() const override { return true; }
    Processor::String Description() const override { return {}; }
    std::shared_ptr<Common::i_dir> Location() const override
    {
        ++asked;
        return folder_;
    }
    mutable int asked = 0;

private:
    std::shared_ptr<Common::i_dir> folder_;
};

class Host final : public InstallDriversCallback {
public:
    void ReportProgress(uint32_t) override {}
    bool IsCancelled() override { return stop; }
    void LocateDeviceDrivers(std::shared_ptr<Common::i_dir>&, const DeviceIds&) override {}
    void RequestSourceMedia(std::shared_ptr<Common::i_dir>&, const Processor::String&, const Processor::String&) override {}
    void ReportStorageUnavailable(DriverStorage&) override { ++unavailable; }
    int unavailable = 0;
    bool stop = false;
};

class ScheduleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Loaded once per process: a table stays alive for the texts errors refer to.
        if (!Transvia::LibraryFiles::StartupError().empty()) {
            ASSERT_TRUE(LibraryFiles::LoadFrom(TRANSVIA_OUTPUT_DIR).empty());
        }
        const std::vector<uint8_t> x86 = PeHeader(0x014C);
        tree.Write("Windows/System32/ntdll.dll", std::string(x86.begin(), x86.end()));
        tree.Folder("Windows/inf");
    }
    // SOFTWARE with a DevicePath; a SYSTEM of our own unless the test brings a real one.
    void Target(bool ownSystem = true)
    {
        if (ownSystem) tree.Hive("system", "[S\\Select]\n\"Current\"=dword:00000001\n");
        tree.Hive("software", "[S\\Microsoft\\Windows NT\\CurrentVersion]\n\"CurrentVersion\"=\"5.1\"\n"
                              "[S\\Microsoft\\Windows\\CurrentVersion]\n\"DevicePath\"=\"%SystemRoot%\\\\inf\"\n");
    }
    Common::Error Schedule(const DeviceList& devices, const DriverStorageList& storages, Host* host = nullptr)
    {
        Hardware hardware(devices);
        return ScheduleForWindowsInstall(PciDeviceClass::Network, tree.Root().get(), L"Windows", storages, host,
                                         &hardware);
    }
    std::string DevicePath()
    {
        auto registry = CreateWindowsRegistry(tree.Windows());
        return TargetTest::Text(registry->Software(), u"Microsoft\\Windows\\CurrentVersion", u"DevicePath");
    }
    static std::string Message(uint32_t number) { return Processor::ToUtf8(Common::MessageTable::Text(number)); }

    TargetTest::TargetTree tree;
    TestSupport::ScratchDir storage;
    TestSupport::TraceCapture traces;
};

}  // namespace

TEST(ScheduleFilter, NetworkClassAloneUnlessTheDatabaseMappedDevices)
{
    auto alone = CreateScheduleFilter(2, false);
    ASSERT_NE(alone, nullptr);
    ASSERT_EQ(alone->classes().size(), 1u);
    EXPECT_EQ(Processor::ToUtf8(alone->classes()[0]), "{4D36E972-E325-11CE-BFC1-08002bE10318}");
    auto mapped = CreateScheduleFilter(2, true);
    ASSERT_EQ(mapped->classes().size(), 2u);
    EXPECT_EQ(Processor::ToUtf8(mapped->classes()[1]), "{4d36e97d-e325-11ce-bfc1-08002be10318}");
    EXPECT_EQ(CreateScheduleFilter(1, true), nullptr) << "other classes are not filtered";
}

TEST_F(ScheduleTest, ArgumentsAndStoragesThatLeaveNothingToDo)
{
    Target();
    EXPECT_EQ(Schedule({kNic}, {}).code(), Common::Codes::kInvalidArgument);

    // No device of the class: done before any storage is looked at.
    auto counting = std::make_shared<Storage>(storage.dir());
    EXPECT_FALSE(Schedule({kDisk}, {counting}).failed());
    EXPECT_TRUE(traces.Has(2, Message(781)));
    EXPECT_EQ(counting->asked, 0);

    // No storage can be reached, even after telling the host.
    Host host;
    Common::Error none = Schedule({kNic}, {std::make_shared<Storage>(nullptr)}, &host);
    EXPECT_EQ(none.code(), Common::Codes::kNoDriverFound);
    EXPECT_EQ(Processor::ToUtf8(std::u16string_view(none.text())), Message(777));
    EXPECT_EQ(host.unavailable, 1);
    EXPECT_TRUE(traces.Has(3, "E:\\drivers"));
}

TEST_F(ScheduleTest, DevicesTheTargetServesAlreadyAreNotStaged)
{
    Target();
    tree.Write("Windows/inf/oem1.inf", Package(kNetClass, "Realtek", "PCI\\VEN_10EC&DEV_8139"));
    storage.write("rtl/rtl.inf", Package(kNetClass, "Realtek", "PCI\\VEN_10EC&DEV_8139"));
    storage.write("rtl/drv.sys", "placeholder driver");
    EXPECT_FALSE(Schedule({kNic, kDisk}, {std::make_shared<Storage>(storage.dir())}).failed());
    EXPECT_TRUE(traces.Has(2, Message(1209)));
    EXPECT_FALSE(traces.Has(1, "check in driver storages"));
    EXPECT_FALSE(fs::exists(tree.path() / "Windows" / "Temp"));
    EXPECT_EQ(DevicePath(), "%SystemRoot%\\inf");
}

TEST_F(ScheduleTest, StagesOnlyPackagesOfTheNetworkClass)
{
    Target();
    // The system-class package names the device's own identifier and would rank first.
    storage.write("sys/sys.inf", Package(kSystemClass, "Other", "PCI\\VEN_10EC&DEV_8139&SUBSYS_813910EC&REV_10"));
    storage.write("sys/drv.sys", "not a network driver");
    storage.write("rtl/rtl.inf", Package(kNetClass, "Realtek", "PCI\\VEN_10EC&DEV_8139"));
    storage.write("rtl/drv.sys", "placeholder driver");
    EXPECT_FALSE(Schedule({kNic}, {std::make_shared<Storage>(storage.dir())}).failed());
    EXPECT_TRUE(traces.Has(1, "check in driver storages"));
    EXPECT_TRUE(fs::exists(tree.path() / "Windows/Temp/RealtekPCICC0200/rtl.inf"));
    EXPECT_FALSE(fs::exists(tree.path() / "Windows/Temp/OtherPCICC0200"));
    EXPECT_EQ(DevicePath(), "%SystemRoot%\\inf;%SystemRoot%\\Temp\\RealtekPCICC0200");
    EXPECT_TRUE(traces.Has(1, "Copying successfully completed."));
}

TEST_F(ScheduleTest, AHostThatAsksToStopEndsTheCallAndNothingIsStaged)
{
    Target();
    storage.write("rtl/rtl.inf", Package(kNetClass, "Realtek", "PCI\\VEN_10EC&DEV_8139"));
    Host host;
    host.stop = true;
    EXPECT_EQ(Schedule({kNic}, {std::make_shared<Storage>(storage.dir())}, &host).code(), Common::Codes::kCancelled);
    EXPECT_FALSE(fs::exists(tree.path() / "Windows" / "Temp"));
    EXPECT_EQ(DevicePath(), "%SystemRoot%\\inf");
}

TEST_F(ScheduleTest, RealHiveAndRealNetworkInf)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const fs::path hive = data / "hives/winxp-x64/system";
    const fs::path inf = data / "inf/reactos-0.4.13/media/inf/netrtl.inf";
    if (!fs::exists(hive) || !fs::exists(inf)) GTEST_SKIP() << "the Windows XP SYSTEM hive or netrtl.inf is absent";
    tree.CopyHive(hive, "system");
    Target(false);
    const auto systemBefore = TestSupport::ReadFileBytes(tree.ConfigPath() / "system");
    fs::create_directories(storage.path() / "realtek");
    fs::copy_file(inf, storage.path() / "realtek/netrtl.inf");
    storage.write("realtek/rtl8139.sys", "placeholder, not a real driver");

    ASSERT_FALSE(Schedule({kNic}, {std::make_shared<Storage>(storage.dir())}).failed());
    const fs::path staged = tree.path() / "Windows/Temp/RealtekPCICC0200";
    EXPECT_TRUE(fs::exists(staged / "netrtl.inf"));
    EXPECT_TRUE(fs::exists(staged / "rtl8139.sys"));
    EXPECT_EQ(TestSupport::ReadFileBytes(tree.ConfigPath() / "system"), systemBefore) << "no service is written";
    EXPECT_TRUE(tree.Faults("software").empty());
    if (!HiveReaders::HaveHivex()) GTEST_SKIP() << "python3-hivex is not installed: DevicePath checked by our reader only";
    // hivex's own reading of the value: REG_EXPAND_SZ (its type 2) and the extended text.
    const std::string script =
        "import hivex, sys\n"
        "h = hivex.Hivex(sys.argv[1])\n"
        "key = h.root()\n"
        "for name in ('Microsoft', 'Windows', 'CurrentVersion'): key = h.node_get_child(key, name)\n"
        "value = h.node_get_value(key, 'DevicePath')\n"
        "print(h.value_type(value)[0], h.value_string(value))\n";
    std::string out;
    ASSERT_EQ(TestSupport::RunCommand(HiveReaders::kPython + " - " + HiveReaders::Quoted(tree.ConfigPath() / "software") +
                                          " <<'EOF'\n" + script + "EOF\n",
                                      &out),
              0)
        << "hivex refused the hive we wrote";
    EXPECT_EQ(out, "2 %SystemRoot%\\inf;%SystemRoot%\\Temp\\RealtekPCICC0200\n");
    EXPECT_EQ(DevicePath(), "%SystemRoot%\\inf;%SystemRoot%\\Temp\\RealtekPCICC0200");
}
