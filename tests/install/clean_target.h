#pragma once

#include <gtest/gtest.h>

#include "inf/memory_file.h"
#include "install/cleaner.h"
#include "install/target_tree.h"

// A target whose SYSTEM hive carries traces of an old machine, with the old drivers' INF
// files and a hardware database: the shared ground of the cleanup tests.
namespace CleanTest {

using TargetTest::TargetTree;


inline const char* const kClass = "[X\\ControlSet001\\Control\\Class\\";
inline const char* const kProcessor = "{50127DC3-0F36-415E-A6CC-4CB3BE910B65}";
inline const char* const kSystem = "{4d36e97d-e325-11ce-bfc1-08002be10318}";

// "hex(7):" bytes of a REG_MULTI_SZ list.
inline std::string MultiHex(std::initializer_list<const char*> list)
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

inline std::string DriverKey(const char* guid, const char* key, const std::string& values)
{
    return std::string(kClass) + guid + "\\" + key + "]\n" + values;
}

inline std::string SystemHive()
{
    std::string reg = "[X\\Select]\n\"Current\"=dword:00000001\n";
    reg += std::string(kClass) + kProcessor + "]\n\"UpperFilters\"=" + MultiHex({"cpufilter"}) + "\n";
    reg += DriverKey(kProcessor, "0000",
                     "\"InfPath\"=\"cpu.inf\"\n\"InfSection\"=\"OldCpu_Inst\"\n\"MatchingDeviceId\"=\"ACPI\\\\OLDCPU\"\n");
    reg += std::string(kClass) + kSystem + "]\n\"UpperFilters\"=" + MultiHex({"OLDBUS"}) +
           "\n\"LowerFilters\"=" + MultiHex({"first", "oldbus", "serialold", "pcibridge", "last"}) + "\n";
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
    // As Windows 10 names the section installed, and as Windows XP and 7 do.
    reg += DriverKey(kSystem, "0009", "\"InfPath\"=\"oem3.inf\"\n\"InfSection\"=\"Dec_Inst.NT\"\n\"MatchingDeviceId\"=\"PCI\\\\VEN_4444&DEV_5555\"\n");
    reg += DriverKey(kSystem, "0010", "\"InfPath\"=\"oem3.inf\"\n\"InfSection\"=\"Ext_Inst\"\n\"InfSectionExt\"=\".NT\"\n");

    const char* services[][2] = {{"oldbus", "0"}, {"pcibridge", "0"}, {"keepme", "0"},   {"acpisvc", "0"},
                                 {"serialold", "3"}, {"isapnpx", "0"}, {"oldcpu", "1"}, {"stopme", "2"},
                                 {"ghost", "0"}, {"decsvc", "3"}, {"extsvc", "1"}};
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
    // Device keys named after longer identifiers than the models give: instances bound to
    // the cleaned driver key go, others stay.
    const std::string bound = "\"Driver\"=\"{4D36E97D-E325-11CE-BFC1-08002BE10318}\\\\0009\"\n";
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_4444&DEV_5555&SUBSYS_00011AB8&REV_01\\1]\n" + bound;
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_4444&DEV_5555&SUBSYS_00021AB8&REV_01\\1]\n" + bound;
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_4444&DEV_5555&SUBSYS_00021AB8&REV_01\\2]\n\"Driver\"=\"{4D36E97D-E325-11CE-BFC1-08002BE10318}\\\\0002\"\n";
    reg += "[X\\ControlSet001\\Enum\\PCI\\VEN_4444&DEV_55556\\1]\n" + bound;
    return reg;
}

inline const char* const kCpuInf = R"([Version]
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

inline const char* const kMachineInf = R"([Version]
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
AddService=goneold,,svc
[Acpi_Inst.Services]
AddService=acpisvc,0x2,svc
[Serial_Inst.ntamd64.Services]
AddService=serialold,,svc
[Serial_Inst.ntia64.Services]
AddService=isapnpx,,svc
[Strings]
Std="Standard"
)";

// Hostile lines too: identifiers that name a whole enumerator, a service name that is a path.
inline const char* const kOem3Inf = R"([Version]
Signature="$WINDOWS NT$"
[Manufacturer]
%M%=M,NTamd64
[M.NTamd64]
%D%=Dec_Inst,PCI\VEN_4444&DEV_5555
%P%=Dec_Inst,PCI
%Q%=Dec_Inst,PCI\,*PNP0C08
[Dec_Inst.NT.Services]
AddService=decsvc,0x2,svc
AddService=a\b,0x2,svc
[Ext_Inst.NT.Services]
AddService=extsvc,0x2,svc
)";

inline const char* const kDatabase = R"([stopsvc]
stopme
notthere
x\y
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
        tree.Write("Windows/INF/oem3.inf", kOem3Inf);
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

}  // namespace CleanTest
