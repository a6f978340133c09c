// Cleanup of the old machine's traces on a SYSTEM hive built from a readable description:
// services of old processor and system drivers, class filters, device instances, start
// overrides, the database's services and registry edits, and bad input on the way.
#include <gtest/gtest.h>

#include "hardware/registry_operation.h"
#include "inf/memory_file.h"
#include "inf/trace_capture.h"
#include "install/cleaner.h"
#include "install/target_tree.h"
#include "transvia/codes.h"

using Processor::String;
using TargetTest::TargetTree;
using Transvia::RegistryKey;

namespace {

const char* const kClass = "[X\\ControlSet001\\Control\\Class\\";
const char* const kProcessor = "{50127DC3-0F36-415E-A6CC-4CB3BE910B65}";
const char* const kSystem = "{4d36e97d-e325-11ce-bfc1-08002be10318}";

// "hex(7):" bytes of a REG_MULTI_SZ list.
std::string MultiHex(std::initializer_list<const char*> list)
{
    std::string out = "hex(7):";
    char byte[8];
    auto add = [&](unsigned char c) {
        std::snprintf(byte, sizeof byte, "%02x,00,", c);
        out += byte;
    };
    for (const char* entry : list) {
        for (const char* c = entry; *c; ++c)
            add(static_cast<unsigned char>(*c));
        add(0);
    }
    out += "00,00";
    return out;
}

std::string DriverKey(const char* guid, const char* key, const std::string& values)
{
    return std::string(kClass) + guid + "\\" + key + "]\n" + values;
}

std::string SystemHive()
{
    std::string reg = "[X\\Select]\n\"Current\"=dword:00000001\n";
    reg += std::string(kClass) + kProcessor + "]\n\"UpperFilters\"=" + MultiHex({"cpufilter"}) + "\n";
    reg += DriverKey(kProcessor, "0000",
                     "\"InfPath\"=\"cpu.inf\"\n\"InfSection\"=\"OldCpu_Inst\"\n\"MatchingDeviceId\"=\"ACPI\\\\OLDCPU\"\n");
    reg += std::string(kClass) + kSystem + "]\n\"UpperFilters\"=" + MultiHex({"OLDBUS"}) +
           "\n\"LowerFilters\"=" + MultiHex({"first", "oldbus", "serialold", "last"}) + "\n";
    reg += DriverKey(kSystem, "0000",
                     "\"InfPath\"=\"machine.inf\"\n\"InfSection\"=\"OldBus_Inst\"\n\"MatchingDeviceId\"=\"PCI\\\\VEN_1111&DEV_2222\"\n");
    reg += DriverKey(kSystem, "0001",
                     "\"InfPath\"=\"machine.inf\"\n\"InfSection\"=\"Acpi_Inst\"\n\"MatchingDeviceId\"=\"acpi\\\\PNP0A03\"\n");
    reg += DriverKey(kSystem, "0002",
                     "\"InfPath\"=\"machine.inf\"\n\"InfSection\"=\"Serial_Inst\"\n\"MatchingDeviceId\"=\"isapnp\\\\PNP0501\"\n");
    // Odd value types: a DWORD MatchingDeviceId says nothing (accepted), a DWORD InfPath ends the key.
    reg += DriverKey(kSystem, "0003", "\"InfPath\"=dword:00000001\n\"InfSection\"=\"OldBus_Inst\"\n\"MatchingDeviceId\"=dword:00000002\n");
    reg += DriverKey(kSystem, "0004", "\"InfPath\"=\"missing.inf\"\n\"InfSection\"=\"X\"\n");
    reg += DriverKey(kSystem, "0005", "\"InfPath\"=\"bad.inf\"\n\"InfSection\"=\"X\"\n\"MatchingDeviceId\"=\"PCI\\\\VEN_1\"\n");
    reg += DriverKey(kSystem, "0006", "\"InfPath\"=\"\"\n\"InfSection\"=\"OldBus_Inst\"\n");
    reg += DriverKey(kSystem, "0007", "\"InfPath\"=\"..\\\\..\\\\..\\\\secret.inf\"\n\"InfSection\"=\"OldBus_Inst\"\n");
    reg += DriverKey(kSystem, "0008", "\"InfPath\"=hex(7):41,00,00,00,00,00\n\"InfSection\"=\"OldBus_Inst\"\n");
    reg += DriverKey(kSystem, "Properties", "\"x\"=dword:00000001\n");

    const char* services[][2] = {{"oldbus", "0"}, {"pcibridge", "0"}, {"keepme", "0"},   {"acpisvc", "0"},
                                 {"serialold", "3"}, {"isapnpx", "0"}, {"oldcpu", "1"}, {"stopme", "2"},
                                 {"ghost", "0"}};
    for (const auto& service : services)
        reg += std::string("[X\\ControlSet001\\Services\\") + service[0] + "]\n\"Start\"=dword:0000000" + service[1] + "\n";
    reg += "[X\\ControlSet001\\Services\\oldbus\\StartOverride]\n\"0\"=dword:00000000\n";
    reg += "[X\\ControlSet001\\Services\\oldbus\\Parameters\\Deep]\n\"v\"=\"1\"\n";
    reg += "[X\\ControlSet001\\Services\\keepme\\startoverride\\Sub]\n";
    reg += "[X\\ControlSet001\\Services\\keepme\\Enum]\n\"Count\"=dword:00000001\n";
    reg += "[X\\ControlSet001\\Services\\ghost\\Parameters]\n";
    reg += "[X\\ControlSet001\\Control\\CrashControl]\n\"AutoReboot\"=dword:00000001\n";

    // Device instances: storage controllers (either letter case) go, the others stay.
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_8086&DEV_7111\\3&1&0&39]\n\"ClassGUID\"=\"{4d36e96a-e325-11ce-bfc1-08002be10318}\"\n";
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_8086&DEV_7111\\3&1&0&39\\Device Parameters]\n\"x\"=dword:00000001\n";
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_15AD&DEV_07F0\\4&2\\Control]\n";
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_15AD&DEV_07F0\\4&2]\n\"ClassGUID\"=\"{4D36E97B-E325-11CE-BFC1-08002BE10318}\"\n";
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_15AD&DEV_07F0\\4&3]\n\"ClassGUID\"=\"{4D36E97B-E325-11CE-BFC1-08002BE10318}\"\n";
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_15AD&DEV_0405\\3&9]\n\"ClassGUID\"=\"{4d36e968-e325-11ce-bfc1-08002be10318}\"\n";
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_5555&DEV_0001\\1]\n\"Driver\"=\"x\"\n";
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_6666&DEV_0001\\1]\n\"ClassGUID\"=dword:00000001\n";
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_7777&DEV_0001\\1]\n\"ClassGUID\"=hex(2):7b,00,34,00,00,00\n";
    // Instances named by the old drivers' models.
    reg += "[X\\ControlSet001\\Enum\\ACPI\\OLDCPU\\0]\n";
    reg += "[X\\ControlSet001\\Enum\\ACPI\\PNP0A03\\0]\n";
    reg += "[X\\ControlSet001\\Enum\\ISAPNP\\PNP0501\\1]\n";
    return reg;
}

const char* const kCpuInf = R"([Version]
Signature="$WINDOWS NT$"
Class=Processor
[Manufacturer]
%Intel%=Intel,NTamd64
[Intel.NTamd64]
%Cpu%=OldCpu_Inst,ACPI\OLDCPU
[OldCpu_Inst.Services]
AddService=oldcpu,0x2,svc
[Strings]
Intel="Intel"
Cpu="Processor"
)";

const char* const kMachineInf = R"([Version]
Signature="$WINDOWS NT$"
Class=System
[Manufacturer]
%Std%=Std
[Std]
%Bus%=OldBus_Inst,PCI\VEN_1111&DEV_2222
%Acpi%=Acpi_Inst,ACPI\PNP0A03
%Serial%=Serial_Inst,ISAPNP\PNP0501
%Other%=Other_Inst,ACPI\OLDCPU
[OldBus_Inst.Services]
AddService=oldbus,0x2,svc
AddService=pcibridge,,svc
AddService=keepme,,svc
AddService=,,svc
AddService=OLDBUS,,svc
[Acpi_Inst.Services]
AddService=acpisvc,0x2,svc
[Serial_Inst.ntamd64.Services]
AddService=serialold,,svc
[Serial_Inst.ntia64.Services]
AddService=isapnpx,,svc
[Strings]
Std="Standard"
)";

const char* const kDatabase = R"([stopsvc]
stopme
notthere
[skipsvc]
KEEPME
[registryops]
ModifyValue,CurrentControlSet,Control\CrashControl,AutoReboot,0
DeleteKey,CurrentControlSet,Services\ghost
Frobnicate,CurrentControlSet,Services\ghost
DeleteKey,HKLM,SYSTEM\ControlSet001\Services\oldbus
DeleteValue,CurrentControlSet,Services\absent\Key,Start
)";

struct CleanTarget {
    TargetTree tree;

    CleanTarget()
    {
        tree.Hive("system", SystemHive());
        tree.Write("Windows/INF/cpu.inf", kCpuInf);
        tree.Write("Windows/INF/MACHINE.INF", kMachineInf);
        tree.Write("Windows/INF/bad.inf", "[Version\nSignature=\"$WINDOWS NT$\"\n[[[\n");
        tree.Write("secret.inf", kMachineInf);
    }

    void Clean()
    {
        auto sources = Transvia::CreateWinSources(tree.Root(), u"windows");
        ASSERT_TRUE(sources);
        auto registry = Transvia::CreateWindowsRegistry(tree.Windows());
        Transvia::MemoryFile file(kDatabase);
        Transvia::CleanerImpl cleaner(Transvia::LoadDeviceDatabase(file));
        cleaner.Clean(*sources, *registry);
    }
};

// Reads the cleaned hive back through a fresh registry object.
struct Result {
    std::unique_ptr<Transvia::WindowsRegistry> registry;
    explicit Result(const TargetTree& tree) : registry(Transvia::CreateWindowsRegistry(tree.Windows())) {}

    std::unique_ptr<RegistryKey> Key(const char16_t* path) { return Transvia::OpenExistingKey(*registry->CurrentControlSet(), path); }
    // The service's "Start", or -1 when the service or the value is missing.
    int64_t Start(const char* service)
    {
        auto key = Key((u"Services\\" + Processor::FromUtf8(service)).getTerminatedBuffer());
        uint32_t type = 0, size = 4, data = 0;
        if (!key || !key->QueryValue(u"Start", type, &data, size) || type != RegistryKey::TypeDword)
            return -1;
        return data;
    }
    // A class's filter list, or {"<none>"} when the value is gone.
    std::vector<std::string> Filters(const char* guid, const char16_t* name)
    {
        auto key = Key((u"Control\\Class\\" + Processor::FromUtf8(guid)).getTerminatedBuffer());
        uint32_t type = 0, size = 0;
        if (!key || !key->QueryValue(name, type, nullptr, size))
            return {"<none>"};
        std::vector<char16_t> data(size / 2 + 1);
        key->QueryValue(name, type, data.data(), size);
        std::vector<std::string> list;
        for (size_t at = 0; at < data.size() && data[at];) {
            std::u16string_view entry(&data[at]);
            list.push_back(Processor::ToUtf8(entry));
            at += entry.size() + 1;
        }
        return list;
    }
    std::vector<std::string> Subkeys(const char16_t* path)
    {
        std::vector<std::string> names;
        if (auto key = Key(path))
            key->EnumSubkeys([&](const String& name) { names.push_back(Processor::ToUtf8(name)); });
        return names;
    }
};

using Names = std::vector<std::string>;

TEST(Cleaner, DisablesServicesOfOldProcessorAndSystemDrivers)
{
    CleanTarget target;
    target.Clean();
    Result result(target.tree);
    EXPECT_EQ(result.Start("oldcpu"), 4);     // processor driver: every service
    EXPECT_EQ(result.Start("oldbus"), 4);     // PCI system driver
    EXPECT_EQ(result.Start("serialold"), 4);  // ISAPNP, from a decorated services section
    EXPECT_EQ(result.Start("pcibridge"), 0);  // bus drivers keep running
    EXPECT_EQ(result.Start("isapnpx"), 0);
    EXPECT_EQ(result.Start("keepme"), 0);     // skipsvc, whatever its letter case
    EXPECT_EQ(result.Start("acpisvc"), 0);    // ACPI system driver: left alone
    EXPECT_EQ(result.Start("stopme"), 4);     // stopsvc
    EXPECT_EQ(result.Start("notthere"), 4);   // stopsvc of a service the target lacks
    EXPECT_EQ(result.Subkeys(u"Services\\oldbus"), Names{"Parameters"});
}

TEST(Cleaner, RemovesDisabledServicesFromClassFilters)
{
    CleanTarget target;
    target.Clean();
    Result result(target.tree);
    EXPECT_EQ(result.Filters(kSystem, u"UpperFilters"), Names{"<none>"});
    EXPECT_EQ(result.Filters(kSystem, u"LowerFilters"), (Names{"first", "last"}));
    EXPECT_EQ(result.Filters(kProcessor, u"UpperFilters"), Names{"cpufilter"});
}

TEST(Cleaner, DeletesInstancesOfOldDevices)
{
    CleanTarget target;
    target.Clean();
    Result result(target.tree);
    // Storage controllers go; the display adapter and instances without a string class stay.
    EXPECT_EQ(result.Subkeys(u"Enum\\PCI\\VEN_8086&DEV_7111"), Names{});
    EXPECT_EQ(result.Subkeys(u"Enum\\PCI\\VEN_15AD&DEV_07F0"), Names{});
    EXPECT_EQ(result.Subkeys(u"Enum\\PCI\\VEN_15AD&DEV_0405"), Names{"3&9"});
    EXPECT_EQ(result.Subkeys(u"Enum\\PCI\\VEN_5555&DEV_0001"), Names{"1"});
    EXPECT_EQ(result.Subkeys(u"Enum\\PCI\\VEN_6666&DEV_0001"), Names{"1"});
    EXPECT_EQ(result.Subkeys(u"Enum\\PCI\\VEN_7777&DEV_0001"), Names{"1"});
    // Models of cleaned drivers name instances to delete: the processor and serial ports
    // go, the ACPI bus (a driver key the system cleaner does not accept) stays.
    EXPECT_EQ(result.Subkeys(u"Enum\\ACPI"), Names{"PNP0A03"});
    EXPECT_EQ(result.Subkeys(u"Enum\\ISAPNP"), Names{});
}

TEST(Cleaner, RemovesEveryStartOverrideAndKeepsOtherSubkeys)
{
    CleanTarget target;
    target.Clean();
    Result result(target.tree);
    EXPECT_EQ(result.Subkeys(u"Services\\keepme"), Names{"Enum"});
    EXPECT_EQ(result.Subkeys(u"Services\\oldbus\\Parameters"), Names{"Deep"});
}

TEST(Cleaner, AppliesTheDatabaseRegistryOperations)
{
    CleanTarget target;
    target.Clean();
    Result result(target.tree);
    auto crash = result.Key(u"Control\\CrashControl");
    ASSERT_TRUE(crash);
    uint32_t type = 0, size = 4, data = 7;
    ASSERT_TRUE(crash->QueryValue(u"AutoReboot", type, &data, size));
    EXPECT_EQ(data, 0u);
    EXPECT_FALSE(result.Key(u"Services\\ghost"));
    // The refused operations changed nothing and the one on a missing key created nothing.
    EXPECT_TRUE(result.Key(u"Services\\oldbus"));
    EXPECT_FALSE(result.Key(u"Services\\absent"));
}

TEST(Cleaner, TracesWhatItDoesAndWhatItCannot)
{
    CleanTarget target;
    TraceTest::TraceCapture trace;
    target.Clean();
    EXPECT_TRUE(trace.Has(2, "Cleanup: Clean '{50127DC3-0F36-415E-A6CC-4CB3BE910B65}'."));
    EXPECT_TRUE(trace.Has(2, "Cleanup: Clean '{4d36e97d-e325-11ce-bfc1-08002be10318}'."));
    EXPECT_TRUE(trace.Has(2, "DisableService: Successfully disable boot startup of 'oldbus'."));
    EXPECT_TRUE(trace.Has(2, "DisableService: Successfully disable boot startup of 'stopme'."));
    EXPECT_FALSE(trace.Has(2, "boot startup of 'keepme'"));
    EXPECT_FALSE(trace.Has(2, "boot startup of 'pcibridge'"));
    EXPECT_TRUE(trace.Has(3, "Cleanup: Unable to open 'missing.inf'."));
    EXPECT_TRUE(trace.Has(3, "Cleanup: Unable to parse 'bad.inf'."));
    EXPECT_TRUE(trace.Has(3, "Cleanup: Unable to open '..\\..\\..\\secret.inf'."));
    EXPECT_TRUE(trace.Has(2, "Perform custom clean."));
    EXPECT_TRUE(trace.Has(2, "Cleanup: Cleanup instance 'VEN_8086&DEV_7111\\3&1&0&39'."));
    EXPECT_TRUE(trace.Has(2, "Cleanup: Cleanup instance 'VEN_15AD&DEV_07F0\\4&3'."));
    EXPECT_FALSE(trace.Has(2, "Cleanup: Cleanup instance 'VEN_15AD&DEV_0405"));
    EXPECT_TRUE(trace.Has(4, "Cleanup: Unable to get class guid size."));
    EXPECT_TRUE(trace.Has(4, "Cleanup: Class guid has incompatible type."));
}

TEST(Cleaner, LeavesAHiveThatChecksSound)
{
    CleanTarget target;
    target.Clean();
    EXPECT_EQ(target.tree.Faults("system"), Names{});
}

TEST(Cleaner, TargetWithoutHivesIsTracedNotFatal)
{
    TargetTree tree;
    tree.Folder("Windows/inf");
    auto sources = Transvia::CreateWinSources(tree.Root(), u"Windows");
    ASSERT_TRUE(sources);
    auto registry = Transvia::CreateWindowsRegistry(tree.Windows());
    TraceTest::TraceCapture trace;
    Transvia::CleanerImpl cleaner(std::make_unique<Transvia::EmptyDeviceDatabase>());
    cleaner.Clean(*sources, *registry);
    EXPECT_TRUE(trace.Has(4, "Cleanup: Unable to check subkeys."));
    EXPECT_TRUE(trace.Has(2, "Perform custom clean."));
    EXPECT_FALSE(std::filesystem::exists(tree.ConfigPath() / "system"));
}

TEST(Cleaner, CorruptHiveIsTracedNotFatal)
{
    TargetTree tree;
    tree.Folder("Windows/inf");
    std::string bytes(8192, '\0');
    bytes.replace(0, 4, "regf");
    tree.Write("Windows/System32/config/system", bytes);
    auto sources = Transvia::CreateWinSources(tree.Root(), u"Windows");
    auto registry = Transvia::CreateWindowsRegistry(tree.Windows());
    Transvia::CleanerImpl cleaner(std::make_unique<Transvia::EmptyDeviceDatabase>());
    cleaner.Clean(*sources, *registry);
    registry.reset();
    EXPECT_EQ(TestSupport::ReadFileBytes(tree.ConfigPath() / "system"), std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

TEST(Cleaner, InstanceCleanerHooks)
{
    TargetTree tree;
    tree.Hive("system", SystemHive());
    auto sources = Transvia::CreateWinSources(tree.Root(), u"Windows");
    auto registry = Transvia::CreateWindowsRegistry(tree.Windows());
    Transvia::SystemInstanceCleaner system(*registry, *sources, Transvia::kSystemClassGuid, {});
    EXPECT_FALSE(system.AcceptService(u"PCI"));
    EXPECT_FALSE(system.AcceptService(u"pciide"));
    EXPECT_FALSE(system.AcceptService(u"IsaPnp"));
    EXPECT_TRUE(system.AcceptService(u"acpi"));
    EXPECT_TRUE(system.AcceptService(u"xpci"));
    auto classKey = Transvia::OpenExistingKey(*registry->Class(), Processor::FromUtf8(kSystem));
    ASSERT_TRUE(classKey);
    const std::pair<const char16_t*, bool> keys[] = {{u"0000", true}, {u"0001", false}, {u"0002", true},
                                                     {u"0003", true}, {u"0004", true}};
    for (const auto& [name, accepted] : keys) {
        auto key = Transvia::OpenExistingKey(*classKey, name);
        ASSERT_TRUE(key);
        EXPECT_EQ(system.AcceptDriverKey(*key), accepted) << Processor::ToUtf8(String(name));
    }
}

}  // namespace
