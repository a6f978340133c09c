// The cleanup on copies of real SYSTEM hives (Windows XP x64, Windows 10), with the shipped
// hardware database and INF files shaped like the in-box ones of the hives' own driver
// keys. Every key and value is read before and after by python3-hivex, and the difference
// must be exactly the expected one.
#include <gtest/gtest.h>

#include <fstream>
#include <iomanip>
#include <map>
#include <set>
#include <sstream>

#include "inf/memory_file.h"
#include "install/cleaner.h"
#include "install/target_tree.h"

namespace fs = std::filesystem;
using TargetTest::TargetTree;

namespace {

bool HaveHivex() { return TestSupport::RunCommand("/usr/bin/python3 -c 'import hivex' 2>/dev/null") == 0; }

#define REQUIRE_HIVEX()        \
    if (!HaveHivex())          \
    GTEST_SKIP() << "python3-hivex is not installed (tools/setup.sh installs it)"

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Hex(const std::string& bytes)
{
    std::ostringstream out;
    for (unsigned char c : bytes)
        out << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(c);
    return out.str();
}

// Every key ("K<tab>path") and value ("V<tab>path<tab>name<tab>type<tab>hex") of a hive as
// hivex reads it; fails the test when hivex refuses the file.
class HiveLines {
public:
    explicit HiveLines(const fs::path& hive)
    {
        const std::string script = std::string(TRANSVIA_SOURCE_DIR) + "/tests/registry/hive_dump.py";
        std::string out;
        EXPECT_EQ(TestSupport::RunCommand("/usr/bin/python3 '" + script + "' hivex '" + hive.string() + "'", &out), 0)
            << "hivex refused " << hive;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                lines.insert(line);
    }

    // The key path as the hive spells it, found without regard to case; empty when absent.
    std::string Key(const std::string& path)
    {
        if (keys_.empty())
            for (const std::string& line : lines)
                if (line.rfind("K\t", 0) == 0)
                    keys_[Lower(line.substr(2))] = line.substr(2);
        const auto found = keys_.find(Lower(path));
        return found == keys_.end() ? std::string() : found->second;
    }

    // Edits that describe what the cleanup should have done.
    void DeleteTree(const std::string& path)
    {
        const std::string key = Key(path);
        ASSERT_FALSE(key.empty()) << path << " is not in the original hive";
        for (const char* kind : {"K\t", "V\t"}) {
            const std::string prefix = kind + key;
            for (auto it = lines.lower_bound(prefix); it != lines.end() && it->rfind(prefix, 0) == 0;) {
                const char next = it->size() > prefix.size() ? (*it)[prefix.size()] : '\0';
                it = next == '\0' || next == '\t' || next == '\\' ? lines.erase(it) : std::next(it);
            }
        }
    }
    // Keys below the current control set's Enum, each with its subtree.
    void DeleteEnum(std::initializer_list<const char*> paths)
    {
        for (const char* path : paths)
            DeleteTree("ControlSet001\\Enum\\" + std::string(path));
    }
    // AutoReboot set to 0 and its old value kept under the assistant's service key.
    void NoAutoReboot()
    {
        SetDword("ControlSet001\\Control\\CrashControl", "AutoReboot", 0);
        lines.insert("K\tControlSet001\\Services\\transvia_assistant");
        SetDword("ControlSet001\\Services\\transvia_assistant\\OriginalValues",
                 "CurrentControlSet\\Control\\CrashControl\\AutoReboot", 1);
    }
    // Sets a value, replacing the one of the same name; a missing key is added as `path`.
    void Set(const std::string& path, const std::string& name, int type, const std::string& bytes)
    {
        std::string key = Key(path);
        if (key.empty()) {
            key = keys_[Lower(path)] = path;
            lines.insert("K\t" + key);
        }
        const std::string prefix = "V\t" + key + "\t";
        for (auto it = lines.lower_bound(prefix); it != lines.end() && it->rfind(prefix, 0) == 0;)
            it = Lower(it->substr(prefix.size(), name.size() + 1)) == Lower(name + "\t") ? lines.erase(it) : std::next(it);
        lines.insert(prefix + name + "\t" + std::to_string(type) + "\t" + Hex(bytes));
    }
    void SetDword(const std::string& path, const std::string& name, uint32_t value)
    {
        Set(path, name, 4, std::string{static_cast<char>(value), static_cast<char>(value >> 8),
                                        static_cast<char>(value >> 16), static_cast<char>(value >> 24)});
    }
    // The DWORD as hivex read it, or -1.
    int64_t Dword(const std::string& path, const std::string& name)
    {
        const std::string prefix = "V\t" + Key(path) + "\t";
        for (auto it = lines.lower_bound(prefix); it != lines.end() && it->rfind(prefix, 0) == 0; ++it)
            if (Lower(it->substr(prefix.size())).rfind(Lower(name) + "\t4\t", 0) == 0) {
                const std::string hex = it->substr(prefix.size() + name.size() + 3);
                return std::stoll(hex.substr(6, 2) + hex.substr(4, 2) + hex.substr(2, 2) + hex.substr(0, 2), nullptr, 16);
            }
        return -1;
    }

    std::set<std::string> lines;

private:
    std::map<std::string, std::string> keys_;  // lower-cased path -> path as spelt
};

// Lists, on failure, what the cleanup changed beyond the expected and what it missed.
void ExpectSame(const HiveLines& after, const HiveLines& expected)
{
    std::vector<std::string> extra, missing;
    std::set_difference(after.lines.begin(), after.lines.end(), expected.lines.begin(), expected.lines.end(),
                        std::back_inserter(extra));
    std::set_difference(expected.lines.begin(), expected.lines.end(), after.lines.begin(), after.lines.end(),
                        std::back_inserter(missing));
    std::string report;
    for (size_t i = 0; i < extra.size() && i < 30; ++i)
        report += "  unexpected: " + extra[i] + "\n";
    for (size_t i = 0; i < missing.size() && i < 30; ++i)
        report += "  missing:    " + missing[i] + "\n";
    EXPECT_TRUE(extra.empty() && missing.empty()) << extra.size() << " unexpected, " << missing.size()
                                                  << " missing lines\n" << report;
}

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string kCs = "ControlSet001";
const std::string kServices = kCs + "\\Services\\";
const std::string kOriginal = kServices + "transvia_assistant\\OriginalValues";
const std::string kHead = "[Version]\nSignature=\"$Windows NT$\"\n";

// Copies a real SYSTEM hive into a target, cleans it with the shipped hardware database
// and returns what hivex reads before and after.
struct RealHive {
    TargetTree tree;
    fs::path original;
    std::vector<uint8_t> originalBytes;

    explicit RealHive(const fs::path& hive) : original(hive), originalBytes(TestSupport::ReadFileBytes(hive))
    {
        tree.CopyHive(hive, "SYSTEM");
    }
    void Inf(const std::string& name, const std::string& text) const { tree.Write("Windows/INF/" + name, text); }
    HiveLines Clean() const
    {
        {
            auto sources = Transvia::CreateWinSources(tree.Root(), u"WINDOWS");
            EXPECT_TRUE(sources);
            auto registry = Transvia::CreateWindowsRegistry(tree.Windows());
            Transvia::MemoryFile database(ReadText(fs::path(TRANSVIA_SOURCE_DIR) / "data/hwdb.txt"));
            Transvia::CleanerImpl cleaner(Transvia::LoadDeviceDatabase(database));
            cleaner.Clean(*sources, *registry);
        }
        EXPECT_EQ(tree.Faults("SYSTEM"), std::vector<std::string>{});
        EXPECT_EQ(TestSupport::ReadFileBytes(original), originalBytes);
        return HiveLines(tree.ConfigPath() / "SYSTEM");
    }
};

// Services of the new machine's boot path that must keep their start type.
void ExpectBootPathKept(HiveLines& before, HiveLines& after)
{
    for (const char* name : {"pci", "ACPI", "isapnp", "msisadrv", "atapi", "intelide", "storahci", "stornvme", "disk",
                             "volmgr", "partmgr", "Ntfs", "Processor"}) {
        const std::string key = kServices + name;
        EXPECT_EQ(after.Dword(key, "Start"), before.Dword(key, "Start")) << name;
    }
}

// Windows XP x64: driver keys with "InfSection" + "InfSectionExt", a VirtualBox guest
// driver among the system devices.
TEST(CleanerOracle, RealWindowsXpX64SystemHive)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    REQUIRE_HIVEX();
    RealHive target(data / "hives/winxp-x64/system");
    target.Inf("cpu.inf", kHead +
                              "Class=Processor\n[Manufacturer]\n%Intel%=Intel_CPU,NTamd64\n"
                              "[Intel_CPU.NTamd64]\n%GenuineIntel.DeviceDesc%=IntelPPM_Inst,ACPI\\GenuineIntel_-_EM64T\n"
                              "[IntelPPM_Inst.NT]\nCopyFiles=IntelPPM_CopyFiles\n"
                              "[IntelPPM_Inst.NT.Services]\nAddService=intelppm,%SPSVCINST_ASSOCSERVICE%,IntelPPM_Service_Inst\n"
                              "[Strings]\nSPSVCINST_ASSOCSERVICE=0x00000002\nIntel=\"Intel\"\n");
    target.Inf("machine.inf", kHead +
                                  "Class=System\n[Manufacturer]\n%GenDev_Mfg%=GENDEV_SYS\n%Intel_Mfg%=INTEL_SYS\n"
                                  "[GENDEV_SYS]\n%*pnp0000.DeviceDesc%=NO_DRV_PIC,*PNP0000\n"
                                  "%ACPI\\FixedButton.DeviceDesc%=NO_DRV,ACPI\\FixedButton\n"
                                  "[INTEL_SYS]\n%PCI\\VEN_8086&DEV_1237.DeviceDesc%=NO_DRV,PCI\\VEN_8086&DEV_1237\n"
                                  "%PCI\\VEN_8086&DEV_7000.DeviceDesc%=ISAPNP_DRV,PCI\\VEN_8086&DEV_7000\n"
                                  "[NO_DRV]\n[NO_DRV.Services]\nAddService=,0x00000002\n"
                                  "[ISAPNP_DRV]\nCopyFiles=ISAPNP_CopyFiles\n"
                                  "[ISAPNP_DRV.Services]\nAddService=isapnp,0x00000002,isapnp_Service_Inst\n");
    target.Inf("oem0.inf", kHead +
                               "Class=System\n[Manufacturer]\n%ORACLE%=VBoxGuest,NTamd64\n"
                               "[VBoxGuest.NTamd64]\n%VBoxGuest.DeviceDesc%=VBoxGuest_Install,PCI\\VEN_80ee&DEV_cafe\n"
                               "[VBoxGuest_Install]\nCopyFiles=VBoxGuest_CopyFiles\n"
                               "[VBoxGuest_Install.Services]\nAddService=VBoxGuest,0x00000002,VBoxGuest_ServiceInstallSection\n");
    HiveLines before(target.original);
    HiveLines after = target.Clean();

    HiveLines expected = before;
    // Old processor and guest drivers: disabled, their instances gone; the ISA bridge's
    // bus driver stays although its instance goes.
    expected.SetDword(kServices + "intelppm", "Start", 4);
    expected.SetDword(kServices + "VBoxGuest", "Start", 4);
    expected.DeleteEnum({"ACPI\\GenuineIntel_-_EM64T_Family_6_Model_37",
                         "PCI\\VEN_80EE&DEV_CAFE&SUBSYS_00000000&REV_00",
                         "PCI\\VEN_8086&DEV_1237&SUBSYS_00000000&REV_02",
                         "PCI\\VEN_8086&DEV_7000&SUBSYS_00000000&REV_00"});
    // A models line of the shared NO_DRV section names this key itself.
    expected.DeleteEnum({"ACPI\\FixedButton"});
    // The old IDE controller's instance.
    expected.DeleteEnum({"PCI\\VEN_8086&DEV_7111&SUBSYS_00000000&REV_01\\3&267a616a&0&09"});
    // [stopsvc] names amdppm, which this system lacks: nothing is created for it.
    expected.NoAutoReboot();
    ExpectSame(after, expected);
    ExpectBootPathKept(before, after);
}

// Windows 10: "InfSection" holds the decorated name, the models lines the plain one; a
// VMware guest driver among the system devices; start overrides on many services.
TEST(CleanerOracle, RealWindows10SystemHive)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    REQUIRE_HIVEX();
    RealHive target(data / "hives/dissect.regf/SYSTEM");
    const fs::path reactos = data / "inf/reactos-0.4.13/media/inf";
    target.Inf("machine.inf", ReadText(reactos / "machine.inf"));
    target.Inf("hdaudbus.inf", ReadText(reactos / "hdaudbus.inf"));
    target.Inf("cpu.inf", kHead +
                              "Class=Processor\n[Manufacturer]\n%Intel%=Intel_CPU,NTamd64\n%AMD%=AMD_CPU,NTamd64\n"
                              "[Intel_CPU.NTamd64]\n%GenuineIntel.DeviceDesc%=IntelPPM_Inst,ACPI\\GenuineIntel_-_Intel64\n"
                              "[AMD_CPU.NTamd64]\n%AuthenticAMD.DeviceDesc%=AmdPPM_Inst,ACPI\\AuthenticAMD_-_AMD64\n"
                              "[IntelPPM_Inst.NT]\nCopyFiles=IntelPPM_CopyFiles\n"
                              "[IntelPPM_Inst.NT.Services]\nAddService=intelppm,%SPSVCINST_ASSOCSERVICE%,IntelPPM_Service_Inst\n"
                              "[AmdPPM_Inst.NT.Services]\nAddService=amdppm,%SPSVCINST_ASSOCSERVICE%,AmdPPM_Service_Inst\n"
                              "[Strings]\nSPSVCINST_ASSOCSERVICE=0x00000002\n");
    target.Inf("pci.inf", kHead +
                              "Class=System\n[Manufacturer]\n%GENDEV_MFG%=GENDEV_SYS,NTamd64\n"
                              "[GENDEV_SYS.NTamd64]\n%PCI\\CC_0604.DeviceDesc%=PCI_BRIDGE,PCI\\CC_0604\n"
                              "[PCI_BRIDGE.Services]\nAddService=pci,0x00000002,pci_ServiceInstallSection\n");
    target.Inf("oem2.inf", kHead +
                               "Class=System\n[Manufacturer]\n%VMware%=VMware,NTamd64\n"
                               "[VMware.NTamd64]\n%vmci.DeviceDesc%=vmci.install.x64,PCI\\VEN_15AD&DEV_0740&SUBSYS_074015AD\n"
                               "%vmci.host.DeviceDesc%=vmci.install.x64,ROOT\\VMWVMCIHOSTDEV\n"
                               "[vmci.install.x64.NT]\nCopyFiles=vmci.copyfiles.x64\n"
                               "[vmci.install.x64.NT.Services]\nAddService=vmci,0x00000002,vmci.service\n");
    HiveLines before(target.original);
    HiveLines after = target.Clean();

    HiveLines expected = before;
    for (const char* service : {"intelppm", "AmdPPM", "HDAudBus", "vmci"}) {
        EXPECT_NE(before.Dword(kServices + service, "Start"), 4) << service;
        expected.SetDword(kServices + service, "Start", 4);
    }
    // Both processors' instances (one per driver key), the VMCI device and the host
    // bridge; the VMCI host device and FixedButton are named by models lines exactly.
    expected.DeleteEnum({"ACPI\\GenuineIntel_-_Intel64_Family_6_Model_141_-_11th_Gen_Intel(R)_Core(TM)_i9-11950H_@_2.60GHz",
                         "PCI\\VEN_15AD&DEV_0740&SUBSYS_074015AD&REV_10",
                         "PCI\\VEN_8086&DEV_7190&SUBSYS_197615AD&REV_01",
                         "ROOT\\VMWVMCIHOSTDEV",
                         "ACPI\\FixedButton"});
    // Storage controller instances: two IDE, one SCSI adapter.
    expected.DeleteEnum({"PCI\\VEN_8086&DEV_7111&SUBSYS_197615AD&REV_01\\3&61aaa01&0&39",
                         "PCI\\VEN_15AD&DEV_07E0&SUBSYS_07E015AD&REV_00\\4&bbf9765&0&1888",
                         "PCI\\VEN_15AD&DEV_07F0&SUBSYS_07F015AD&REV_00\\4&3b50545d&0&00B8"});
    size_t overrides = 0;
    for (const std::string& line : before.lines) {
        const std::string lower = Lower(line);
        if (line.rfind("K\t", 0) == 0 && lower.size() > 16 && lower.compare(lower.size() - 14, 14, "\\startoverride") == 0 &&
            lower.rfind(Lower("K\t" + kServices), 0) == 0 && std::count(lower.begin(), lower.end(), '\\') == 3) {
            expected.DeleteTree(line.substr(2));
            ++overrides;
        }
    }
    EXPECT_GT(overrides, 10u);
    expected.NoAutoReboot();
    expected.SetDword(kOriginal, "CurrentControlSet\\Services\\storahci\\Start", 0);
    expected.SetDword(kOriginal, "CurrentControlSet\\Services\\stornvme\\Start", 0);
    ExpectSame(after, expected);
    ExpectBootPathKept(before, after);
}

}  // namespace
