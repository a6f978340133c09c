#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "install/inf_processor.h"
#include "support/fixtures.h"
#include "target_tree.h"

using namespace Transvia;

namespace {

constexpr uint32_t kAmd64 = 3;

std::string ScsiInf(const std::string& id, const std::string& section = "Drv", const std::string& date = "01/01/2010")
{
    return "[Version]\nSignature=\"$Windows NT$\"\nClassGUID={4D36E97B-E325-11CE-BFC1-08002BE10318}\nDriverVer=" + date +
           ",1.0\n[Manufacturer]\n%Mfg%=Models,NTamd64\n[Models.NTamd64]\n%Dev%=" + section + "," + id + "\n[" +
           section + "]\nx=1\n[Strings]\nMfg=\"Maker\"\nDev=\"Disk controller\"\n";
}

// Writes a mark into SYSTEM, as the real cleaner edits it, so tests see whether the
// working copy reached the hive file.
// Points value `second`'s data at value `first`'s data cell, a fault Windows' readers
// pass over but an edit of either value spreads; the base block's checksum is kept right.
void ShareDataCell(const std::filesystem::path& hive, const std::string& first, const std::string& second)
{
    std::vector<uint8_t> bytes = TestSupport::ReadFileBytes(hive);
    auto get32 = [&](size_t at) { return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 | uint32_t(bytes[at + 3]) << 24; };
    auto put32 = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    auto valueRecord = [&](const std::string& name) {
        for (size_t at = 4096; at + 20 + name.size() <= bytes.size(); ++at)
            if (bytes[at] == 'v' && bytes[at + 1] == 'k' && bytes[at + 2] == name.size() && bytes[at + 3] == 0 &&
                std::equal(name.begin(), name.end(), bytes.begin() + static_cast<long>(at) + 20))
                return at;
        ADD_FAILURE() << "no value " << name;
        return size_t{0};
    };
    put32(valueRecord(second) + 8, get32(valueRecord(first) + 8));
    uint32_t sum = 0;
    for (size_t at = 0; at < 508; at += 4) sum ^= get32(at);
    put32(508, sum);
    std::ofstream(hive, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

class MarkingCleaner final : public Cleaner {
public:
    void Clean(WinSources&, WindowsRegistry& registry) override
    {
        ++calls;
        if (auto key = registry.System() ? registry.System()->OpenKey(u"Cleaned") : nullptr) key->SetDword(u"Mark", 1);
    }
    int calls = 0;
};

// Records what the processor asks of it; fails the sections named in `failing`.
class RecordingInstall final : public CustomInstall {
public:
    // Marks SYSTEM as the cleaner does, to show when the working copy is committed.
    void Prepare(WinSources&, WindowsRegistry& registry) override
    {
        ++prepared;
        if (auto key = registry.System() ? registry.System()->OpenKey(u"Prepared") : nullptr) key->SetDword(u"Mark", 1);
    }
    void SetCandidate(const std::shared_ptr<Common::i_dir>&, const DeviceIds&, Section& section,
                      const Processor::String& fileName) override
    {
        tried.push_back(Processor::ToUtf8(fileName) + ":" + Processor::ToUtf8(Processor::String(section.GetName())));
    }
    void SetNames(const Processor::String& manufacturer, const Processor::String&) override
    {
        names.push_back(Processor::ToUtf8(manufacturer));
    }
    void Install(Common::Error& error, WinSources&, WindowsRegistry&) override
    {
        for (const std::string& name : failing)
            if (tried.back().rfind(name, 0) == 0) error = Common::Error::Make(0x1D0099, 0);
    }
    int prepared = 0;
    std::vector<std::string> tried, names, failing;
};

class Recorder final : public OperationsProgress {
public:
    void OperationStarted(const Processor::String& name) override { operations.push_back(Processor::ToUtf8(name)); }
    void OperationFinished(const Processor::String&) override {}
    void Progress(uint32_t position) override { progress.push_back(position); }
    void DeviceStarted(const DeviceIds& device, const Processor::String& manufacturer, const Processor::String&) override
    {
        started.push_back(device.name() + "/" + Processor::ToUtf8(manufacturer));
    }
    void DeviceFinished(const DeviceIds& device, const Common::Error& result) override
    {
        finished.push_back(device.name() + "=" + std::to_string(result.code()));
    }
    std::vector<std::string> operations, started, finished;
    std::vector<uint32_t> progress;
};

class ProcessorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.Hive("system", "[S\\Select]\n\"Current\"=dword:00000001\n[S\\ControlSet001\\Services]\n");
        tree.Hive("software", "[S\\Microsoft\\Windows NT\\CurrentVersion]\n\"CurrentVersion\"=\"5.2\"\n");
        tree.Folder("Windows/inf");
        auto cleaner = std::make_unique<MarkingCleaner>();
        marks = cleaner.get();
        processor = std::make_unique<InfProcessorImpl>(kAmd64, std::move(cleaner));
        processor->Subscribe(&recorder);
    }
    std::vector<uint8_t> System() const { return TestSupport::ReadFileBytes(tree.ConfigPath() / "system"); }
    Common::Error Run(const DeviceList& devices, bool useTargetInf, CustomInstall* custom, const char* windows = "Windows")
    {
        Common::Error result;
        processor->InstallDrivers(result, devices, tree.Root(), Processor::FromUtf8(windows), useTargetInf, custom);
        return result;
    }

    TargetTest::TargetTree tree;
    TestSupport::ScratchDir storage;
    MarkingCleaner* marks = nullptr;
    Recorder recorder;
    std::unique_ptr<InfProcessorImpl> processor;
};

}  // namespace

TEST_F(ProcessorTest, FailuresBeforeTheInstallPhaseLeaveSystemAsItWas)
{
    const auto before = System();
    RecordingInstall custom;
    EXPECT_EQ(Run({}, true, nullptr).code(), Common::Codes::kInvalidArgument);
    EXPECT_EQ(Run({DeviceIds{}}, true, nullptr).code(), Common::Codes::kInvalidArgument);
    EXPECT_EQ(Run({DeviceIds{"A"}}, true, nullptr, "").code(), Common::Codes::kInvalidArgument);
    Common::Error missing = Run({DeviceIds{"A"}}, true, nullptr, "NoSuchWindows");
    EXPECT_EQ(missing.code(), Common::Codes::kInvalidArgument);
    EXPECT_TRUE(missing.cause().failed()) << "the folder's error is attached";
    EXPECT_EQ(Run({DeviceIds{"A"}}, false, nullptr).code(), Common::Codes::kNoDriverFound) << "no location at all";

    // The target's own INF folder is empty: nothing to examine.
    EXPECT_EQ(Run({DeviceIds{"A"}}, true, nullptr).code(), Common::Codes::kNoInfFound);
    EXPECT_EQ(recorder.progress.back(), 100u);
    // An INF is examined, but for another device.
    tree.Write("Windows/inf/oem1.inf", ScsiInf("OTHER"));
    EXPECT_EQ(Run({DeviceIds{"A"}}, true, nullptr).code(), Common::Codes::kNoDriverFound);
    EXPECT_EQ(marks->calls, 2) << "the cleaner ran in both scanning runs";
    EXPECT_EQ(System(), before) << "the cleaner's edits were on the discarded working copy";
    EXPECT_TRUE(custom.tried.empty());

    // No INF folder and no location.
    std::filesystem::remove_all(tree.path() / "Windows/inf");
    EXPECT_EQ(Run({DeviceIds{"A"}}, true, nullptr).code(), Common::Codes::kNoSearchLocation);
    EXPECT_EQ(System(), before);

    // A hive that cannot be opened is the registry's failure, not a missing key's.
    tree.Folder("Windows/inf");
    tree.Write("Windows/inf/oem1.inf", ScsiInf("A"));
    std::filesystem::remove(tree.ConfigPath() / "software");
    EXPECT_EQ(Run({DeviceIds{"A"}}, true, nullptr).code(), Common::Codes::kRegistryOpenFailed);
    EXPECT_EQ(System(), before);
    std::filesystem::remove(tree.ConfigPath() / "system");
    EXPECT_EQ(Run({DeviceIds{"A"}}, true, nullptr).code(), Common::Codes::kRegistryOpenFailed);
    EXPECT_EQ(marks->calls, 3) << "no preparation without a SYSTEM hive";

    // A hive our checker faults is not edited: an edit could spread the fault.
    const std::string faulty = "[S\\Select]\n\"Current\"=dword:00000001\n[S\\ControlSet001\\Services\\x]\n"
                               "\"A\"=\"first value\"\n\"B\"=\"second value\"\n";
    tree.Hive("system", faulty);
    ShareDataCell(tree.ConfigPath() / "system", "A", "B");
    tree.Hive("software", "[S\\Microsoft\\Windows NT\\CurrentVersion]\n\"CurrentVersion\"=\"5.2\"\n");
    const auto faultySystem = System();
    EXPECT_EQ(Run({DeviceIds{"A"}}, true, nullptr).code(), Common::Codes::kRegistryOpenFailed);
    EXPECT_EQ(System(), faultySystem);
    EXPECT_EQ(marks->calls, 3);
    tree.Hive("system", "[S\\Select]\n\"Current\"=dword:00000001\n[S\\ControlSet001\\Services]\n");
    tree.Hive("software", faulty + "[S\\Microsoft\\Windows NT\\CurrentVersion]\n\"CurrentVersion\"=\"5.2\"\n");
    ShareDataCell(tree.ConfigPath() / "software", "A", "B");
    const auto faultySoftware = TestSupport::ReadFileBytes(tree.ConfigPath() / "software");
    EXPECT_EQ(Run({DeviceIds{"A"}}, true, nullptr).code(), Common::Codes::kRegistryOpenFailed);
    EXPECT_EQ(TestSupport::ReadFileBytes(tree.ConfigPath() / "software"), faultySoftware);
}

TEST_F(ProcessorTest, TriesPreferredThenByRankAndCommitsAtTheEnd)
{
    storage.write("plain/a.inf", ScsiInf("ID0"));
    storage.write("pref/b.inf", ScsiInf("ID1", "PrefDrv"));
    storage.write("plain/sub/c.inf", ScsiInf("ID0", "Sub", "01/01/2000"));
    tree.Write("Windows/inf/oem1.inf", ScsiInf("OTHER-DEVICE", "Own"));
    const LocationFlags plain{0, 1}, preferred{1, 0};
    EXPECT_TRUE(processor->AddSearchLocation(*storage.dir("plain"), &plain));
    EXPECT_TRUE(processor->AddSearchLocation(*storage.dir("pref"), &preferred));
    EXPECT_TRUE(processor->AddSearchLocation(*storage.dir("plain"), &preferred)) << "a second add is only traced";

    RecordingInstall custom;
    custom.failing = {"b.inf"};
    const auto before = System();
    Common::Error result = Run({DeviceIds{"ID0", "ID1"}, DeviceIds{"NONE"}, DeviceIds{"OTHER-DEVICE"}}, true, &custom);
    EXPECT_FALSE(result.failed()) << std::hex << result.code();
    // Preferred first although its rank (5) is worse than a.inf's (4); c.inf has a.inf's rank and an older date.
    EXPECT_EQ(custom.tried, (std::vector<std::string>{"b.inf:PREFDRV", "a.inf:DRV", "oem1.inf:OWN"}));
    EXPECT_EQ(custom.prepared, 1);
    EXPECT_EQ(marks->calls, 0) << "a custom install takes over preparation";
    EXPECT_EQ(recorder.started, (std::vector<std::string>{"ID0/Maker", "OTHER-DEVICE/Maker"}));
    EXPECT_EQ(recorder.finished, (std::vector<std::string>{"ID0=0", "OTHER-DEVICE=0"}));
    EXPECT_EQ(recorder.progress.front(), 0u);
    EXPECT_EQ(recorder.progress.back(), 100u);
    EXPECT_TRUE(std::is_sorted(recorder.progress.begin(), recorder.progress.end()));
    EXPECT_NE(std::find(recorder.progress.begin(), recorder.progress.end(), 50u), recorder.progress.end());
    EXPECT_NE(System(), before) << "a run that reached its install phase commits";
    EXPECT_TRUE(tree.Faults("system").empty());

    // Every candidate fails: the device's result, and the run's, is "no driver".
    custom.failing = {"a.inf", "b.inf", "c.inf"};
    custom.tried.clear();
    result = Run({DeviceIds{"ID0", "ID1"}}, false, &custom);
    EXPECT_EQ(result.code(), Common::Codes::kNoDriverFound);
    EXPECT_EQ(custom.tried.size(), 2u) << "c.inf lost its tie with a.inf and is no candidate";
    EXPECT_TRUE(processor->RemoveSearchLocation(*storage.dir("pref")));
    EXPECT_FALSE(processor->RemoveSearchLocation(*storage.dir("pref")));
}
