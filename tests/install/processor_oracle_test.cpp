// Whole install runs on copies of real SYSTEM hives (Windows 10, Windows XP x64) with real
// storage-controller INF files and placeholder driver files; the hives written are read
// back by our checker, python3-hivex and libregf, and compared key by key with the original.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>

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
    // What the DriverDatabase gets: nothing (no such key, or a package of the target
    // already serves the device) or a package of ours.
    bool driverDatabase = false;
    const char* logs = nullptr;  // transaction logs beside the hive ("SYSTEM_B" gives SYSTEM_B.LOG1, .LOG2)
    const char* infText = nullptr;  // instead of `inf`: an INF put into the target's INF folder
};

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// Keys by upper-cased path, so that lookups ignore case as Windows does.
std::map<std::string, HiveReaders::HivexKey> Folded(const HiveReaders::HivexTree& tree)
{
    std::map<std::string, HiveReaders::HivexKey> folded;
    for (const auto& [path, key] : tree) folded[Upper(path)] = key;
    return folded;
}

std::vector<std::string> Tokens(const std::string& values)
{
    std::vector<std::string> tokens;
    std::istringstream in(values);
    for (std::string token; in >> token;) tokens.push_back(token);
    return tokens;
}

bool Under(const std::string& path, const std::string& prefix)
{
    return path.size() >= prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
           (path.size() == prefix.size() || path[prefix.size()] == '\\');
}

// The MULTI_SZ data of a hivex value token as its strings.
std::vector<std::string> MultiString(const std::string& hex)
{
    std::vector<std::string> list;
    std::string current;
    for (size_t i = 0; i + 3 < hex.size(); i += 4) {
        const int c = std::stoi(hex.substr(i, 2), nullptr, 16) | std::stoi(hex.substr(i + 2, 2), nullptr, 16) << 8;
        if (c != 0) {
            current.push_back(static_cast<char>(c));
        } else if (!current.empty()) {
            list.push_back(current);
            current.clear();
        }
    }
    return list;
}

// A value's hex data from a key's dump, or "<none>".
std::string ValueData(const HiveReaders::HivexKey& key, const std::string& name)
{
    for (const std::string& token : Tokens(key.values))
        if (Upper(token.substr(0, name.size() + 1)) == Upper(name) + "=")
            return token.substr(token.find(':') + 1);
    return "<none>";
}

std::string Text(const std::string& hex)
{
    const auto list = MultiString(hex + "0000");
    return list.empty() ? std::string() : list.front();
}

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

// The DriverDatabase after a run, against the hive before it: our package binds every
// identifier it describes to the service, and nothing else changed but what the assistant's
// record lists, the OemInfMap bit, the service's keys (and its event-log source), and what
// the cleanup removes (device instances under Enum, StartOverride keys).
void CheckDriverDatabase(const RunCase& c, const HiveReaders::HivexTree& beforeTree, const HiveReaders::HivexTree& afterTree,
                         const std::shared_ptr<Common::rio_dir>& windows)
{
    // Strings longer than hivex's dump shows are read with our engine.
    auto registry = CreateWindowsRegistry(windows);
    RegistryKey* system = registry->System();
    const auto text = [&](const std::string& path, const std::string& name) {
        return TargetTest::Text(system, Processor::FromUtf8(path), Processor::FromUtf8(name));
    };
    const auto list = [](const std::string& joined) {
        std::vector<std::string> entries;
        std::istringstream in(joined);
        for (std::string entry; std::getline(in, entry, ',');) entries.push_back(Upper(entry));
        return entries;
    };
    const auto before = Folded(beforeTree), after = Folded(afterTree);
    const std::string services = "CONTROLSET001\\SERVICES\\";
    const std::string service = services + Upper(c.service);
    const std::string records = services + "TRANSVIA_ASSISTANT\\PACKAGES\\";
    std::string package, published;
    std::vector<std::string> createdKeys, addedValues;
    for (const auto& [path, key] : after) {
        if (!Under(path, records.substr(0, records.size() - 1)) || path.size() == records.size() - 1) continue;
        package = path.substr(records.size());
        const std::string record = "ControlSet001\\Services\\transvia_assistant\\Packages\\" + package;
        published = text(record, "PublishedName");
        createdKeys = list(text(record, "Keys"));
        addedValues = list(text(record, "Values"));
        EXPECT_EQ(Upper(text(record, "Inf")), Upper("%SystemRoot%\\transvia\\drivers\\" + package + "\\") +
                                                  Upper(fs::path(c.inf ? c.inf : "").filename().string()));
    }
    if (!c.driverDatabase) {
        EXPECT_TRUE(package.empty()) << package;
        for (const auto& [path, key] : before)
            if (Under(path, "DRIVERDATABASE")) {
                EXPECT_TRUE(after.count(path) && after.at(path).values == key.values) << path;
            }
        for (const auto& [path, key] : after)
            if (Under(path, "DRIVERDATABASE")) {
                EXPECT_TRUE(before.count(path)) << path;
            }
        return;
    }
    ASSERT_FALSE(package.empty()) << "no package recorded for the assistant";
    const std::string packageKey = "DRIVERDATABASE\\DRIVERPACKAGES\\" + Upper(package);
    ASSERT_TRUE(after.count(packageKey));
    EXPECT_EQ(Text(ValueData(after.at(packageKey), "")), published);
    EXPECT_EQ(Upper(text("DriverDatabase\\DriverInfFiles\\" + published, "Active")), Upper(package));

    // Every descriptor has its DeviceIds value, and names a configuration of the service.
    int descriptors = 0;
    const std::string descriptorRoot = packageKey + "\\DESCRIPTORS\\";
    for (const auto& [path, key] : after) {
        if (path.compare(0, descriptorRoot.size(), descriptorRoot) != 0 || ValueData(key, "Configuration") == "<none>") continue;
        ++descriptors;
        const std::string id = path.substr(descriptorRoot.size());
        ASSERT_TRUE(after.count("DRIVERDATABASE\\DEVICEIDS\\" + id)) << id;
        EXPECT_EQ(ValueData(after.at("DRIVERDATABASE\\DEVICEIDS\\" + id), published).size(), 8u) << id;
        const std::string configuration = packageKey + "\\CONFIGURATIONS\\" + Upper(Text(ValueData(key, "Configuration")));
        ASSERT_TRUE(after.count(configuration)) << configuration;
        EXPECT_EQ(Upper(text(configuration, "Service")), Upper(c.service));
    }
    EXPECT_GT(descriptors, 0);
    ASSERT_TRUE(after.count(service));
    EXPECT_EQ(ValueData(after.at(service), "Start"), "00000000");
    EXPECT_FALSE(after.count(service + "\\STARTOVERRIDE"));

    const auto listed = [&](const std::string& path) {
        return std::any_of(createdKeys.begin(), createdKeys.end(), [&](const std::string& k) { return Under(path, k); });
    };
    for (const auto& [path, key] : after) {
        if (Under(path, service) || Under(path, services + "TRANSVIA_ASSISTANT") ||
            Under(path, services + "EVENTLOG\\SYSTEM\\" + Upper(c.service)))
            continue;
        auto old = before.find(path);
        if (old == before.end() && listed(path)) continue;
        // A new key outside our trees holds only recorded values, or leads to one.
        if (old == before.end() && key.values.empty()) {
            EXPECT_TRUE(std::any_of(addedValues.begin(), addedValues.end(), [&](const std::string& v) { return Under(v, path); }))
                << "key added and not recorded: " << path;
            continue;
        }
        static const HiveReaders::HivexKey kNone;
        if (old != before.end() && old->second.values == key.values) continue;
        const auto oldTokens = Tokens((old == before.end() ? kNone : old->second).values), newTokens = Tokens(key.values);
        for (const std::string& token : oldTokens) {
            if (path == "DRIVERDATABASE" && token.rfind("OemInfMap=", 0) == 0) continue;
            EXPECT_NE(std::find(newTokens.begin(), newTokens.end(), token), newTokens.end()) << path << " lost " << token;
        }
        for (const std::string& token : newTokens) {
            if (std::find(oldTokens.begin(), oldTokens.end(), token) != oldTokens.end()) continue;
            const std::string name = Upper(token.substr(0, token.find('=')));
            const bool recorded = std::find(addedValues.begin(), addedValues.end(), path + "\\" + name) != addedValues.end();
            EXPECT_TRUE(recorded || (path == "DRIVERDATABASE" && name == "OEMINFMAP")) << path << " gained " << token;
        }
    }
    for (const auto& [path, key] : before) {
        if (after.count(path) || Under(path, "CONTROLSET001\\ENUM")) continue;
        const size_t at = path.find("\\STARTOVERRIDE");
        EXPECT_TRUE(at != std::string::npos && (at + 14 == path.size() || path[at + 14] == '\\')) << "key removed: " << path;
    }
}

}  // namespace

TEST_P(ProcessorOracle, InstallsTheStorageDriverIntoARealHive)
{
    const RunCase& c = GetParam();
    const fs::path data = TestSupport::SharedTestData();
    if (!fs::exists(data / c.hive) || (c.inf && !fs::exists(data / c.inf)))
        GTEST_SKIP() << "shared test data (" << c.hive << ", " << (c.inf ? c.inf : "") << ") is not present beside the repository";

    TargetTest::TargetTree tree(c.windows);
    tree.CopyHive(data / c.hive, "system");
    if (c.logs)
        for (const char* suffix : {".LOG1", ".LOG2"}) tree.CopyHive(data / (std::string(c.logs) + suffix), std::string("system") + suffix);
    tree.Hive("software", std::string("[S\\Microsoft\\Windows NT\\CurrentVersion]\n") + c.software);
    tree.Folder(std::string(c.windows) + "/inf");
    tree.Folder(std::string(c.windows) + "/System32/drivers");
    TestSupport::ScratchDir storage;
    fs::create_directories(storage.path() / "pkg");
    if (c.inf) fs::copy_file(data / c.inf, storage.path() / "pkg" / fs::path(c.inf).filename());
    if (c.infText) tree.Write(std::string(c.windows) + "/inf/stornvme.inf", c.infText);
    storage.write(std::string("pkg/") + c.driver, "placeholder driver");
    if (c.infText) tree.Write(std::string(c.windows) + "/System32/drivers/" + c.driver, "placeholder driver");

    const fs::path hive = tree.ConfigPath() / "system";
    const bool hivex = HiveReaders::HaveHivex();
    HiveReaders::HivexTree original, first, second;
    if (hivex && !c.logs) {
        ASSERT_TRUE(HiveReaders::HivexKeys(hive, original));
    }

    const auto run = [&] {
        InfProcessorImpl processor(3, std::make_unique<CleanerImpl>(nullptr));
        ClassGuidFilter filter(BootCriticalClasses());
        processor.AddFilter(&filter);
        const LocationFlags flags{0, 1};
        ASSERT_TRUE(processor.AddSearchLocation(*storage.dir(), &flags));
        Common::Error result;
        processor.InstallDrivers(result, {DeviceIds(c.ids)}, tree.Root(), Processor::FromUtf8(c.windows), true, nullptr);
        ASSERT_FALSE(result.failed()) << std::hex << result.code();
    };
    run();
    if (hivex && c.logs) {
        // The dirty hive's state before the run: the one the engine recovered from its logs.
        TargetTest::TargetTree recovered(c.windows);
        recovered.CopyHive(data / c.hive, "system");
        for (const char* suffix : {".LOG1", ".LOG2"}) recovered.CopyHive(data / (std::string(c.logs) + suffix), std::string("system") + suffix);
        ASSERT_TRUE(CreateWindowsRegistry(recovered.Windows())->System());
        ASSERT_TRUE(HiveReaders::HivexKeys(recovered.ConfigPath() / "system", original));
    }

    EXPECT_TRUE(fs::exists(tree.path() / c.windows / "System32/drivers" / c.driver));
    const Processor::String service = Processor::FromUtf8(c.service);
    {
        auto registry = CreateWindowsRegistry(tree.Windows());
        RegistryKey* services = registry->Services();
        EXPECT_EQ(TargetTest::Dword(services, service, u"Type"), 1);
        EXPECT_EQ(TargetTest::Dword(services, service, u"Start"), 0);
        EXPECT_FALSE(TargetTest::Has(services, service + u"\\StartOverride"));
        EXPECT_NE(TargetTest::Text(services, service, u"ImagePath").find(std::string(c.driver)), std::string::npos);
        EXPECT_EQ(CriticalEntriesFor(registry->CurrentControlSet(), c.service) > 0, c.criticalDevices);
        EXPECT_EQ(TargetTest::Has(registry->System(), u"DriverDatabase"), std::string(c.hive).find("winxp") == std::string::npos);
        const std::string devicePath =
            TargetTest::Text(registry->Software(), u"Microsoft\\Windows\\CurrentVersion", u"DevicePath");
        EXPECT_EQ(devicePath.find("\\transvia\\drivers\\") != std::string::npos, c.driverDatabase) << devicePath;
    }
    if (c.driverDatabase) {
        std::string package = fs::path(c.inf).filename().string();
        std::transform(package.begin(), package.end(), package.begin(), [](unsigned char ch) { return std::tolower(ch); });
        const fs::path staged = tree.path() / c.windows / "transvia/drivers" / (package + "_amd64_0000000000000000");
        EXPECT_TRUE(fs::exists(staged / fs::path(c.inf).filename()));
        EXPECT_TRUE(fs::exists(staged / c.driver));
    }
    EXPECT_TRUE(tree.Faults("system").empty());
    if (HiveReaders::HaveRegfexport()) {
        std::map<std::string, std::vector<std::string>> keys;
        EXPECT_TRUE(HiveReaders::RegfexportKeys(hive, keys)) << "libregf refused the hive we wrote";
    }
    if (!hivex) return;
    ASSERT_TRUE(HiveReaders::HivexKeys(hive, first)) << "hivex refused the hive we wrote";
    CheckDriverDatabase(c, original, first, tree.Windows());

    // A second run finds everything in place and changes no key or value.
    run();
    ASSERT_TRUE(HiveReaders::HivexKeys(hive, second));
    ASSERT_EQ(first.size(), second.size());
    for (const auto& [path, key] : first)
        EXPECT_TRUE(second.count(path) && second.at(path).values == key.values) << "changed by a second run: " << path;
}

// A stand-in for the target's own stornvme.inf: the section and identifier its
// DriverDatabase package has.
constexpr const char* kInboxStornvme =
    "[Version]\nSignature=\"$WINDOWS NT$\"\nClass=SCSIAdapter\nClassGUID={4D36E97B-E325-11CE-BFC1-08002BE10318}\n"
    "Provider=%MS%\nDriverVer=06/21/2006,10.0.19041.1266\n[SourceDisksNames]\n3426=windows cd\n"
    "[SourceDisksFiles]\nstornvme.sys=3426\n[DestinationDirs]\nDefaultDestDir=12\n[Manufacturer]\n%MS%=Std,NTamd64\n"
    "[Std.NTamd64]\n%Desc%=Stornvme_Inst, PCI\\CC_010802\n[Stornvme_Inst]\nCopyFiles=Files\n[Files]\nstornvme.sys\n"
    "[Stornvme_Inst.Services]\nAddService=stornvme,0x00000002,Svc\n[Svc]\nServiceType=1\nStartType=0\nErrorControl=1\n"
    "ServiceBinary=%12%\\stornvme.sys\nLoadOrderGroup=SCSI miniport\n[Strings]\nMS=Microsoft\nDesc=NVMe\n";

constexpr const char* kWindows10 = "\"CurrentVersion\"=\"6.3\"\n\"CurrentMajorVersionNumber\"=dword:0000000a\n"
                                   "\"CurrentMinorVersionNumber\"=dword:00000000\n";
const std::vector<std::string> kViostorIds{"PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00", "PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4",
                                           "PCI\\VEN_1AF4&DEV_1001&CC_010000", "PCI\\CC_010000"};

INSTANTIATE_TEST_SUITE_P(
    RealHives, ProcessorOracle,
    ::testing::Values(
        RunCase{"Windows10Nvme", "hives/dissect.regf/SYSTEM", "Windows", kWindows10,
                "inf/nvmewin-community/installations/64-bit/Windows10/nvme.inf", "nvme.sys",
                {"PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D&REV_00", "PCI\\VEN_144D&DEV_A808&SUBSYS_A801144D",
                 "PCI\\VEN_144D&DEV_A808&CC_010802", "PCI\\CC_010802"},
                "nvme", false, true},
        RunCase{"Windows10Viostor", "hives/dissect.regf/SYSTEM", "Windows", kWindows10,
                "inf/virtio-win-kvm-guest-drivers-windows/viostor/wlh.inf", "viostor.sys", kViostorIds, "viostor", false, true},
        RunCase{"Windows10DirtyViostor", "hives/regipy/SYSTEM_B", "Windows", kWindows10,
                "inf/virtio-win-kvm-guest-drivers-windows/viostor/wlh.inf", "viostor.sys", kViostorIds, "viostor", false, true,
                "hives/regipy/SYSTEM_B"},
        // The target's own stornvme serves an NVMe controller: only its service is touched.
        RunCase{"Windows10InboxStornvme", "hives/dissect.regf/SYSTEM", "Windows", kWindows10, nullptr, "stornvme.sys",
                {"PCI\\VEN_15AD&DEV_07F0&SUBSYS_07F015AD&REV_00", "PCI\\VEN_15AD&DEV_07F0&SUBSYS_07F015AD",
                 "PCI\\VEN_15AD&DEV_07F0&CC_010802", "PCI\\CC_010802"},
                "stornvme", false, false, nullptr, kInboxStornvme},
        RunCase{"WindowsXpViostor", "hives/winxp-x64/system", "WINDOWS", "\"CurrentVersion\"=\"5.2\"\n",
                "inf/virtio-win-kvm-guest-drivers-windows/viostor/wnet.inf", "viostor.sys", kViostorIds, "viostor", true},
        RunCase{"Windows7VersionViostor", "hives/winxp-x64/system", "WINDOWS", "\"CurrentVersion\"=\"6.1\"\n",
                "inf/virtio-win-kvm-guest-drivers-windows/viostor/wlh.inf", "viostor.sys",
                {"PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00", "PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4"},
                "viostor", true}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });
