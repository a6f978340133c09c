// The InstallDrivers run on small targets built here, with the real INF processor: which
// devices it tries, how it asks the host, and how it ends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "assistant_stand_in.h"
#include "entry/callbacks_impl.h"
#include "entry/install_flow.h"
#include "entry/library_files.h"
#include "support/message_table.h"
#include "support/trace.h"
#include "target_tree.h"

using namespace Transvia;

namespace {

// A storage-controller INF for the given identifiers (empty install section).
std::string ControllerInf(const std::string& classGuid, const std::vector<std::string>& ids)
{
    std::string models;
    for (const std::string& id : ids) models += "%Dev%=Drv," + id + "\n";
    return "[Version]\nSignature=\"$Windows NT$\"\nClassGUID=" + classGuid +
           "\nDriverVer=01/01/2010,1.0\n[Manufacturer]\n%Mfg%=Models,NTamd64\n[Models.NTamd64]\n" + models +
           "[Drv]\nx=1\n[Strings]\nMfg=\"Maker\"\nDev=\"Controller\"\n";
}
constexpr const char* kHdcClass = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";

// One ordered log of what the run traced and what it asked of the host.
std::vector<std::string>* g_log = nullptr;

class LogTraces final : public Common::TraceLogic {
public:
    void Text(const char*, Common::EventLevel level, uint32_t, uint32_t, const char16_t* text) override
    {
        if (g_log) g_log->push_back("T" + std::to_string(static_cast<int>(level)) + " " + Processor::ToUtf8(std::u16string_view(text)));
    }
    void Event(const char*, Common::EventLevel, uint32_t, uint32_t, const char16_t*, const Common::EventField*, int32_t) override {}
    void ErrorEvent(const char*, Common::EventLevel level, const Common::Error& error) override
    {
        char code[16];
        std::snprintf(code, sizeof code, "0x%X", error.code());
        if (g_log)
            g_log->push_back("E" + std::to_string(static_cast<int>(level)) + " " + code + " " +
                             Processor::ToUtf8(std::u16string_view(error.text() ? error.text() : u"")));
    }
};

class Hardware final : public HardwareEnvironment {
public:
    explicit Hardware(DeviceList devices) : devices_(std::move(devices)) {}
    void EnumerateDevices(Common::Error&, DeviceList&) const override {}
    void EnumerateInstallDevices(Common::Error&, DeviceList& devices) const override { devices = devices_; }

private:
    DeviceList devices_;
};

// Answers each device's request from a queue of folders per device (none when empty) and
// each media request with `media`; logs what it is asked.
class Host final : public InstallDriversCallback {
public:
    void ReportProgress(uint32_t position) override { g_log->push_back("progress " + std::to_string(position)); }
    bool IsCancelled() override
    {
        g_log->push_back("cancelled?");
        return cancel;
    }
    void LocateDeviceDrivers(std::shared_ptr<Common::i_dir>& location, const DeviceIds& device) override
    {
        g_log->push_back("locate " + device.name());
        auto& queue = answers[device.name()];
        if (queue.empty()) return;
        location = queue.front();
        queue.erase(queue.begin());
    }
    void RequestSourceMedia(std::shared_ptr<Common::i_dir>& location, const Processor::String& manufacturer,
                            const Processor::String& description) override
    {
        g_log->push_back("media " + Processor::ToUtf8(manufacturer) + "/" + Processor::ToUtf8(description));
        location = media;
    }
    void ReportStorageUnavailable(DriverStorage& storage) override
    {
        g_log->push_back("unavailable " + Processor::ToUtf8(storage.DisplayPath()));
    }
    bool cancel = false;
    std::map<std::string, std::vector<std::shared_ptr<Common::i_dir>>> answers;
    std::shared_ptr<Common::i_dir> media;
};

class MissingStorage final : public DriverStorage {
public:
    bool IsRemovable() const override { return true; }
    Processor::String DisplayPath() const override { return u"D:\\drivers"; }
    bool IsNetwork() const override { return false; }
    Processor::String VolumeLabel() const override { return {}; }
    bool IsReadOnly() const override { return true; }
    Processor::String Description() const override { return {}; }
    std::shared_ptr<Common::i_dir> Location() const override { return nullptr; }
};

class LocationList final : public LocationCollection {
public:
    explicit LocationList(std::vector<std::shared_ptr<Common::i_dir>> folders) : folders_(std::move(folders)) {}
    uint32_t GetCount() const override { return static_cast<uint32_t>(folders_.size()); }
    std::shared_ptr<Common::i_dir> GetLocation(uint32_t index) const override { return folders_[index]; }

private:
    std::vector<std::shared_ptr<Common::i_dir>> folders_;
};

class SourceItem final : public DriverSourceItem {
public:
    SourceItem(std::string name, std::shared_ptr<Common::i_dir> folder) : name_(std::move(name)), folder_(std::move(folder)) {}
    void GetName(Processor::String& name) const override { name = Processor::FromUtf8(name_); }
    void GetLocations(std::shared_ptr<LocationCollection>& collection, uint32_t) const override
    {
        collection = std::make_shared<LocationList>(std::vector<std::shared_ptr<Common::i_dir>>{folder_});
    }

private:
    std::string name_;
    std::shared_ptr<Common::i_dir> folder_;
};

class Sources final : public DriverSourceSet {
public:
    std::vector<std::shared_ptr<DriverSourceItem>> items;
    std::vector<std::shared_ptr<Common::i_dir>> locations;
    uint32_t GetCount() const override { return static_cast<uint32_t>(items.size()); }
    void GetItem(std::shared_ptr<DriverSourceItem>& item, uint32_t index) const override { item = items[index]; }
    void GetLocations(std::shared_ptr<LocationCollection>& collection, uint32_t) const override
    {
        collection = std::make_shared<LocationList>(locations);
    }
};

class InstallFlowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Transvia::LibraryFiles::StartupError().empty()) {
            ASSERT_TRUE(LibraryFiles::LoadFrom(TRANSVIA_OUTPUT_DIR).empty());
        }
        static LogTraces traces;
        static const bool added = (Common::AddTraceLogic(&traces), true);
        (void)added;
        threshold_ = Common::GetTraceThreshold();
        Common::SetTraceThreshold(1);
        g_log = &log;

        tree.Hive("system", "[S\\Select]\n\"Current\"=dword:00000001\n[S\\ControlSet001\\Services]\n");
        tree.Hive("software", "[S\\Microsoft\\Windows NT\\CurrentVersion]\n\"CurrentVersion\"=\"6.1\"\n");
        tree.Folder("Windows/inf");
        // The PE header of an amd64 ntdll.dll: all the platform detection reads.
        std::string ntdll(64, '\0');
        ntdll[0] = 'M', ntdll[1] = 'Z', ntdll[60] = 64;
        ntdll += std::string("PE\0\0\x64\x86", 6) + std::string(18, '\0');
        tree.Write("Windows/System32/ntdll.dll", ntdll);

        shipped.write("assistant.inf", kStandInAssistantInf);
        shipped.write("transvia_assistant.exe", kStandInAssistantProgram);
        setup.shippedFolder = shipped.path().string();
        setup.machine.sysfsRoot = scratch.path().string();  // a machine without PCI or ACPI
        Configure("");
        // The IDE channels get their driver from the storage unless a test leaves it out.
        storage.write("hdc/ide.inf", ControllerInf(kHdcClass, {"primary_ide_channel", "secondary_ide_channel"}));
    }
    void TearDown() override
    {
        g_log = nullptr;
        Common::SetTraceThreshold(threshold_);
        unsetenv("TRANSVIA_CONF");
    }

    // The settings file of the run; no hardware database unless a test writes one.
    void Configure(const std::string& settings)
    {
        const auto conf = scratch.write("transvia.conf", "[Settings]\nhwdb.txt=\"" + (scratch.path() / "hwdb.txt").string() +
                                                              "\"\n" + settings);
        setenv("TRANSVIA_CONF", conf.c_str(), 1);
    }

    Common::Error Run(InstallDriversParams params, bool withStorage = true)
    {
        if (withStorage) params.storages.push_back(CreateFolderStorage(storage.path().string()));
        try {
            RunInstallDrivers(*tree.Root(), u"Windows", params, setup);
        } catch (const Common::Error& error) {
            return error;
        }
        return {};
    }

    // Entries of the log that start with `prefix`, in order, without it.
    std::vector<std::string> Logged(const std::string& prefix) const
    {
        std::vector<std::string> found;
        for (const std::string& entry : log)
            if (entry.rfind(prefix, 0) == 0) found.push_back(entry.substr(prefix.size()));
        return found;
    }
    size_t Position(const std::string& entry, size_t from = 0) const
    {
        for (size_t i = from; i < log.size(); ++i)
            if (log[i] == entry) return i;
        return std::string::npos;
    }
    // What the run did, one word per processor run, host request and searched folder.
    std::vector<std::string> Steps(const std::map<std::string, std::string>& folders) const
    {
        std::vector<std::string> steps;
        for (const std::string& entry : log) {
            if (entry.rfind("T2 Install: Windows folder", 0) == 0) steps.push_back("run");
            if (entry.rfind("locate ", 0) == 0) steps.push_back(entry);
            for (const auto& [name, path] : folders)
                if (entry == "T2 Install: Search drivers in '" + path + "'") steps.push_back("search " + name);
        }
        return steps;
    }

    TargetTest::TargetTree tree;
    TestSupport::ScratchDir shipped, storage, scratch;
    InstallFlowSetup setup;
    std::vector<std::string> log;
    int32_t threshold_ = 2;
};

TEST(IgnoreRuleTest, DropsAcpiAndPnpSystemDevicesButNotTheBusesAndIsCaseSensitive)
{
    for (const char* kept : {"*PNP0A03", "*PNP0A08", "*PNP0C08", "*pnp0f13", "pnp0c14", "*acpi0007", "acpi\\processor",
                             "PCI\\VEN_8086&DEV_2922", "ACPI\\PNP0A03", "primary_ide_channel"})
        EXPECT_FALSE(IgnoredAfterPass(kept)) << kept;
    for (const char* dropped : {"*PNP0F13", "*PNP", "PNP0C14", "PNP0C14_WMI", "*ACPI0007", "*ATK0110", "*AWY0001",
                                "ACPI\\Processor", "*PNP0A03X"})
        EXPECT_TRUE(IgnoredAfterPass(dropped)) << dropped;
}

using TestSupport::ThrownCode;

TEST(CallbacksImplTest, RelaysToTheHostAsksAboutCancellingAndKeepsTheInstalledDevices)
{
    if (!Transvia::LibraryFiles::StartupError().empty()) {
        ASSERT_TRUE(LibraryFiles::LoadFrom(TRANSVIA_OUTPUT_DIR).empty());
    }
    const TestSupport::ScratchDir media;
    CallbacksImpl callbacks(nullptr);
    callbacks.DeviceStarted(DeviceIds{"A"}, u"Maker", Processor::String());
    EXPECT_EQ(Processor::ToUtf8(callbacks.manufacturer()), "Maker");
    EXPECT_TRUE(callbacks.description().isEmpty());

    std::vector<std::string> seen;
    g_log = &seen;
    Host host;
    host.media = media.dir();
    CallbacksImpl relay(&host);
    relay.DeviceStarted(DeviceIds{"A"}, u"Maker", u"Disk");
    relay.Progress(40);
    std::shared_ptr<Common::i_dir> found;
    relay.FindLocation(found, u"disk.sys");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(Processor::ToUtf8(found->full_path()), media.path().string());
    relay.DeviceFinished(DeviceIds{"A", "A2"}, {});
    relay.DeviceFinished(DeviceIds{"B"}, Common::Error::Make(0x1D0099, 0));
    EXPECT_EQ(relay.installed(), (DeviceList{DeviceIds{"A", "A2"}}));
    EXPECT_EQ(seen, (std::vector<std::string>{"progress 40", "cancelled?", "media Maker/Disk", "cancelled?",
                                                         "cancelled?", "cancelled?"}));
    host.cancel = true;
    EXPECT_EQ(ThrownCode([&] { relay.OperationStarted(u"CopyFiles"); }), Common::Codes::kCancelled);
    EXPECT_EQ(ThrownCode([&] { relay.DeviceFinished(DeviceIds{"C"}, {}); }), Common::Codes::kCancelled);
    EXPECT_EQ(relay.installed().size(), 1u) << "a cancelled device is not counted as installed";

    // Without a host nothing is asked; a missing file cannot be asked for either.
    callbacks.Progress(50);
    callbacks.OperationStarted(u"CopyFiles");
    EXPECT_EQ(ThrownCode([&] { callbacks.FindLocation(found, u"disk.sys"); }), Common::Codes::kSourceMediaNeeded);
    g_log = nullptr;
}

TEST_F(InstallFlowTest, TheProcessorTestAppliesOnlyToThisMachinesOwnHardware)
{
    setup.machine.hasLongMode = [] { return false; };
    const Common::Error local = Run({});
    EXPECT_EQ(local.code(), Common::Codes::kNo64BitProcessor);
    const size_t traced = Position("T4 " + Processor::ToUtf8(Common::MessageTable::Text(Common::Messages::kNo64BitProcessor)));
    EXPECT_NE(traced, std::string::npos);
    EXPECT_TRUE(Logged("E2 0x1D07D0").empty()) << "the run stops before its device list";

    Hardware hardware({DeviceIds{"PCI\\VEN_8086&DEV_2922"}});
    InstallDriversParams params;
    params.hardware = &hardware;
    params.optimistic = true;
    EXPECT_FALSE(Run(params).failed()) << "a host that describes the hardware answers for its processor";
}

TEST_F(InstallFlowTest, TracesTheDeviceListWithThePseudoDevicesAndTheDatabasesDevices)
{
    scratch.write("hwdb.txt", "[hwmap]\nPCI\\VEN_1234&DEV_0001=MAPPED\n[hw]\nADDED\n[hal]\nACPIAPIC_UP\n");
    Hardware hardware({DeviceIds{"PCI\\VEN_1234&DEV_0001", "PCI\\CC_0106"}, DeviceIds{"ACPIAPIC", "ACPIAPIC_MP"}});
    InstallDriversParams params;
    params.hardware = &hardware;
    params.optimistic = true;
    ASSERT_FALSE(Run(params).failed());
    std::vector<std::string> listed;
    for (const std::string& entry : Logged("E2 0x1D07D0 Device '")) listed.push_back(entry.substr(0, entry.find('\'')));
    // The detected HAL gives way to the database's; the assistant's device comes last.
    EXPECT_EQ(listed, (std::vector<std::string>{"PCI\\VEN_1234&DEV_0001", "primary_ide_channel", "secondary_ide_channel",
                                                "MAPPED", "ADDED", "ACPIAPIC_UP", "DisableHWUI_ID"}));
}

TEST_F(InstallFlowTest, OptimisticRunEndsAfterOnePassWithTheDevicesLeftAndDropsIgnorableOnes)
{
    storage.write("hdc/ide.inf", "");  // the IDE channels stay without a driver too
    Hardware hardware({DeviceIds{"PCI\\VEN_DEAD&DEV_BEEF"}, DeviceIds{"*PNP0F13"}, DeviceIds{"*PNP0A03"}});
    InstallDriversParams params;
    params.hardware = &hardware;
    params.optimistic = true;
    EXPECT_FALSE(Run(params).failed());
    EXPECT_EQ(Steps({}), std::vector<std::string>{"run"});
    EXPECT_EQ(Logged("E2 0x1D07D1 "), std::vector<std::string>{"Device '*PNP0F13' needs no driver in this target and is skipped."});
    EXPECT_NE(Position("T2 Optimistic mode is on."), std::string::npos);
    // The controller, the root bus (never ignored) and the two IDE channels.
    EXPECT_EQ(Logged("E2 0x1D07D2 "), std::vector<std::string>{"4 devices are left without a driver; going on as asked."});
    EXPECT_NE(Position("T1 Exit InstallDrivers."), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(tree.path() / "Windows/System32/transvia_assistant.exe"));
}

TEST_F(InstallFlowTest, WithoutAHostOneDeviceLeftFailsTheRunUnlessTheSettingSaysOtherwise)
{
    Hardware hardware({DeviceIds{"PCI\\VEN_DEAD&DEV_BEEF"}});
    InstallDriversParams params;
    params.hardware = &hardware;
    const Common::Error error = Run(params);
    EXPECT_EQ(error.code(), Common::Codes::kDevicesWithoutDriver);
    EXPECT_EQ(Processor::ToUtf8(std::u16string_view(error.text())), "No driver was found for device 'PCI\\VEN_DEAD&DEV_BEEF'.");
    EXPECT_EQ(Position("T1 Exit InstallDrivers."), std::string::npos);

    Configure("IgnoreDriverWarnings=1\n");
    log.clear();
    EXPECT_FALSE(Run(params).failed());
    EXPECT_EQ(Logged("E2 0x1D07D2 "), std::vector<std::string>{"1 devices are left without a driver; going on as asked."});
}

TEST_F(InstallFlowTest, AHostWithNoFolderToOfferIsAskedOncePerDeviceAndTheRunSucceeds)
{
    Hardware hardware({DeviceIds{"PCI\\VEN_DEAD&DEV_0001"}, DeviceIds{"PCI\\VEN_DEAD&DEV_0002"}});
    Host host;
    InstallDriversParams params;
    params.hardware = &hardware;
    params.callback = &host;
    EXPECT_FALSE(Run(params).failed());
    EXPECT_EQ(Steps({}), (std::vector<std::string>{"run", "locate PCI\\VEN_DEAD&DEV_0001", "locate PCI\\VEN_DEAD&DEV_0002"}));
    EXPECT_EQ(Logged("E3 0x1D0343 ").size(), 2u);

    host.cancel = true;  // the processor's first progress report already ends the run
    log.clear();
    EXPECT_EQ(Run(params).code(), Common::Codes::kCancelled);
}

TEST_F(InstallFlowTest, AHostFolderServesOnePassAndIsRemovedBeforeTheNextRequests)
{
    const TestSupport::ScratchDir first, second;
    Hardware hardware({DeviceIds{"PCI\\VEN_DEAD&DEV_BEEF"}});
    Host host;
    // The same folder twice: it must be taken out before it is offered again, or the
    // removal after pass 3 would drop the new offer.
    host.answers["PCI\\VEN_DEAD&DEV_BEEF"] = {first.dir(), first.dir(), second.dir()};
    InstallDriversParams params;
    params.hardware = &hardware;
    params.callback = &host;
    EXPECT_FALSE(Run(params).failed());
    const std::string device = "locate PCI\\VEN_DEAD&DEV_BEEF";
    EXPECT_EQ(Steps({{"first", Processor::ToUtf8(first.dir()->full_path())},
                     {"second", Processor::ToUtf8(second.dir()->full_path())}}),
              (std::vector<std::string>{"run", device, "run", "search first", device, "run", "search first", device,
                                        "run", "search second", device}));
}

TEST_F(InstallFlowTest, TextModeSetupFilesAddTheirNonPciDevicesAndSourceLocationsAreSearched)
{
    const TestSupport::ScratchDir disk;
    disk.write("txtsetup.oem",
               "[scsi]\nVIRT = \"Virtual disk\"\nOTHER = \"Other disk\"\n"
               "[HardwareIds.scsi.VIRT]\nid = \"pci\\VEN_1AF4&DEV_1001\", \"viostor\"\nid = \"Pci\\VEN_1AF4&DEV_1004\", \"viostor\"\n"
               "id = \"ACPI\\QEMU0002\", \"viostor\"\n"
               "[HardwareIds.scsi.OTHER]\nid = \"ACPI\\OTHER0001\", \"other\"\n");
    // An item whose file does not parse adds nothing and stops nothing.
    const TestSupport::ScratchDir broken;
    static const char kBroken[] = "[scsi\nVIRT = \"Virtual disk\"\n\0\xff[HardwareIds.scsi.VIRT]\nid = \"ACPI\\BROKEN\"\n";
    broken.write("txtsetup.oem", std::string(kBroken, sizeof kBroken - 1));
    Sources sources;
    sources.items.push_back(std::make_shared<SourceItem>("Virtual disk", broken.dir()));
    sources.items.push_back(std::make_shared<SourceItem>("virtual DISK", disk.dir()));
    sources.locations.push_back(disk.dir());
    Hardware hardware({DeviceIds{"PCI\\VEN_1AF4&DEV_1001"}});
    Host host;
    InstallDriversParams params;
    params.hardware = &hardware;
    params.callback = &host;
    params.sources = &sources;
    EXPECT_FALSE(Run(params).failed());
    EXPECT_EQ(Steps({{"disk", Processor::ToUtf8(disk.dir()->full_path())}}),
              (std::vector<std::string>{"run", "search disk", "locate PCI\\VEN_1AF4&DEV_1001", "locate ACPI\\QEMU0002"}));
}

TEST_F(InstallFlowTest, AnUnavailableStorageIsOfferedToTheHostWhoMayCancel)
{
    Hardware hardware({DeviceIds{"PCI\\VEN_DEAD&DEV_BEEF"}});
    Host host;
    InstallDriversParams params;
    params.hardware = &hardware;
    params.callback = &host;
    params.optimistic = true;
    params.storages.push_back(std::make_shared<MissingStorage>());
    EXPECT_FALSE(Run(params).failed());
    EXPECT_EQ(Logged("unavailable "), std::vector<std::string>{"D:\\drivers"});
    EXPECT_NE(Position("T2 The driver storage 'D:\\drivers' is not accessible."), std::string::npos);

    host.cancel = true;
    EXPECT_EQ(Run(params).code(), Common::Codes::kStorageRegistration);
}

// The processor opens the target's registry with the configured hive log policy: a dirty
// SYSTEM whose logs are gone is refused when the settings ask for strict recovery.
TEST_F(InstallFlowTest, TheHiveLogSettingReachesTheRegistryTheRunOpens)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const std::filesystem::path dirty = data / "hives/regipy/SYSTEM_B";
    if (!std::filesystem::exists(dirty)) GTEST_SKIP() << "regipy SYSTEM_B absent";
    tree.CopyHive(dirty, "system");  // without its .LOG1 and .LOG2
    Hardware hardware({DeviceIds{"PCI\\VEN_DEAD&DEV_BEEF"}});
    InstallDriversParams params;
    params.hardware = &hardware;
    params.optimistic = true;
    const std::vector<uint8_t> before = TestSupport::ReadFileBytes(tree.ConfigPath() / "system");
    Configure("StrictLogReplay=1\n");
    Run(params);
    EXPECT_FALSE(Logged("E4 0xBE0052 ").empty()) << "strict: the dirty hive without logs is refused";
    EXPECT_EQ(TestSupport::ReadFileBytes(tree.ConfigPath() / "system"), before);

    Configure("");
    log.clear();
    EXPECT_FALSE(Run(params).failed());
    EXPECT_TRUE(Logged("E4 0xBE0052 ").empty()) << "without the setting the hive is taken as it is";
}

}  // namespace
