// Services sections installed into a small target: the values of the service key, the
// keep flags, tags of ordered groups, event-log sources, the associated service, Needs with
// Include, and hostile lines that must fail without writing elsewhere.
#include <gtest/gtest.h>

#include "support/trace_capture.h"
#include "inf/win_sources.h"
#include "install/action_target.h"
#include "install/service_groups.h"
#include "install/services.h"

using Processor::String;
using TargetTest::Dword;
using TargetTest::Has;
using TargetTest::Text;

namespace {

const char* const kInf = R"INF([Version]
Signature="$Windows NT$"
ClassGuid={4D36E97B-E325-11CE-BFC1-08002BE10318}
[Strings]
Desc="Demo storage"

[Drv.Services]
AddService=first,0x2,First_Svc,First_Log,Setup
AddService=scsi,0x00000002,Scsi_Svc
AddService=bbe,2,Bbe_Svc,App_Log,application,Source
AddService=,2,First_Svc
DelService=old
Needs=Other.Services

[First_Svc]
DisplayName=%Desc%
ServiceType=1
StartType=0
ErrorControl=1
ServiceBinary=%12%\first.sys
LoadOrderGroup=SCSI miniport
Dependencies=a,b
AddReg=First_AddReg
[First_AddReg]
HKR,Parameters,Key,0x10001,5
[First_Log]
AddReg=Log_AddReg
DelReg=Ignored
[App_Log]
AddReg=Log_AddReg
[Log_AddReg]
HKR,,EventMessageFile,0x20000,%11%\IoLogMsg.dll
HKR,,TypesSupported,0x10001,7
[Scsi_Svc]
ServiceType=1
StartType=0
ErrorControl=1
ServiceBinary=%12%\scsi.sys
LoadOrderGroup=SCSI miniport
[Bbe_Svc]
ServiceType=1
StartType=0
ErrorControl=1
ServiceBinary=%12%\bbe.sys
LoadOrderGroup=Boot Bus Extender

[Other.Services]
AddService=other,2,Scsi_Svc

[Keep.Services]
AddService=keep,0x00000010,Keep_Svc
[Keep_Svc]
ServiceType=1
StartType=0
ErrorControl=1
ServiceBinary=System32\drivers\new.sys

[NoError.Services]
AddService=noerr,0,NoError_Svc
[NoError_Svc]
DisplayName=No error control
ServiceType=1
StartType=3
ServiceBinary=%12%\noerr.sys

[Dep.Services]
Needs=Dep2.Services
Include=dep.inf
[Self.Services]
Needs=Self.Services
Include=self.inf
AddService=selfsvc,0,Scsi_Svc

[Slash.Services]
AddService=a\b,0,Scsi_Svc
[Dots.Services]
AddService=..,0,Scsi_Svc
[Climb.Services]
AddService=evil,0,Evil_Svc
[Evil_Svc]
ServiceType=1
StartType=0
ErrorControl=1
ServiceBinary=%12%\..\..\..\evil.sys
[BadFlags.Services]
AddService=badflags,zz,Scsi_Svc
[NoInstall.Services]
AddService=noinstall,0,Missing_Svc
[BadReg.Services]
AddService=badreg,0,BadReg_Svc
[BadReg_Svc]
ServiceType=1
StartType=0
ErrorControl=1
ServiceBinary=x.sys
AddReg=BadReg_AddReg
[BadReg_AddReg]
HKCU,x,y,,z
)INF";

const char* const kSystem =
    "[X\\ControlSet002\\Control\\GroupOrderList]\n\"SCSI miniport\"=hex:02,00,00,00,01,00,00,00,02,00,00,00\n"
    "[X\\ControlSet002\\Services\\tagged]\n\"Group\"=\"scsi MINIPORT\"\n\"Tag\"=dword:00000001\n"
    "[X\\ControlSet002\\Services\\keep]\n\"Start\"=dword:00000004\n\"Type\"=dword:00000002\n\"ImagePath\"=\"old.sys\"\n";

struct ServicesTest : testing::Test {
    ActionTest::ActionTarget target{kSystem};
    std::unique_ptr<Transvia::Inf> inf = ActionTest::InfText(kInf);
    std::unique_ptr<Transvia::WinSources> sources;
    String associated;

    void SetUp() override
    {
        target.tree.Folder("WINDOWS/inf");
        target.tree.Write("WINDOWS/inf/dep.inf", "[Version]\nSignature=\"$Windows NT$\"\n[Dep2.Services]\n"
                                                 "AddService=depsvc,0,Dep_Svc\n[Dep_Svc]\nServiceType=1\n"
                                                 "StartType=3\nErrorControl=0\nServiceBinary=%12%\\dep.sys\n");
        target.tree.Write("WINDOWS/inf/self.inf", std::string(kInf));
        sources = Transvia::CreateWinSources(target.tree.Root(), u"WINDOWS");
        ASSERT_TRUE(inf);
        ASSERT_TRUE(sources);
    }
    bool Install(const char16_t* section, bool topLevel = true)
    {
        return Transvia::InstallServices(*inf, section, *target.registry, *sources, &associated, topLevel);
    }
    Transvia::RegistryKey* Services() { return target.registry->Services(); }
};

TEST_F(ServicesTest, WritesTheServiceKeysAndPicksTheAssociatedService)
{
    TestSupport::TraceCapture trace;
    associated = u"stale";
    EXPECT_TRUE(Install(u"Drv.Services"));
    // "SCSI miniport" is a listed group; "Boot Bus Extender" is not ("Boot Bus Extende" is).
    EXPECT_EQ(associated, String(u"scsi"));
    EXPECT_TRUE(trace.Has(1, "InstallServices(Drv.Services): Replace associated service."));
    EXPECT_TRUE(trace.Has(1, "InstallServices(Drv.Services): Omit associated service 'bbe'."));
    EXPECT_TRUE(trace.Has(1, "InstallServices(Drv.Services): Skip empty service."));
    target.ExpectSoundHives();

    EXPECT_EQ(Dword(Services(), u"first", u"Type"), 1);
    EXPECT_EQ(Dword(Services(), u"first", u"Start"), 0);
    EXPECT_EQ(Dword(Services(), u"first", u"ErrorControl"), 1);
    EXPECT_EQ(Text(Services(), u"first", u"ImagePath"), "System32\\drivers\\first.sys");
    EXPECT_EQ(Text(Services(), u"first", u"DisplayName"), "Demo storage");
    EXPECT_EQ(Text(Services(), u"first", u"Group"), "SCSI miniport");
    EXPECT_EQ(Text(Services(), u"first", u"DependOnService"), "a,b");
    EXPECT_EQ(Text(Services(), u"first", u"Description"), "<none>");
    EXPECT_EQ(Dword(Services(), u"first\\Parameters", u"Key"), 5);
    // GroupOrderList lists tags 1 and 2 and "tagged" holds 1: the first free listed tag, then
    // one past the highest. A group without a list gets no tag.
    EXPECT_EQ(Dword(Services(), u"first", u"Tag"), 2);
    EXPECT_EQ(Dword(Services(), u"scsi", u"Tag"), 3);
    EXPECT_EQ(Dword(Services(), u"bbe", u"Tag"), -1);
    // The event-log type "Setup" is not known: the System log.
    EXPECT_EQ(Text(Services(), u"Eventlog\\System\\first", u"EventMessageFile"), "C:\\WINDOWS\\system32\\IoLogMsg.dll");
    EXPECT_EQ(Dword(Services(), u"Eventlog\\Application\\Source", u"TypesSupported"), 7);
    EXPECT_FALSE(Has(Services(), u"other"));  // Needs without Include does nothing
    EXPECT_TRUE(Has(Services(), u"tagged"));

    uint32_t type = 0, size = 0;
    auto first = Transvia::OpenExistingKey(*Services(), u"first");
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->QueryValue(u"ImagePath", type, nullptr, size));
    EXPECT_EQ(type, Transvia::RegistryKey::TypeExpandString);
}

TEST_F(ServicesTest, KeepFlagsAndPartialWrites)
{
    EXPECT_TRUE(Install(u"Keep.Services"));
    EXPECT_TRUE(associated.isEmpty());  // flag 0x2 not set
    EXPECT_EQ(Dword(Services(), u"keep", u"Start"), 4);
    EXPECT_EQ(Dword(Services(), u"keep", u"Type"), 1);
    EXPECT_EQ(Text(Services(), u"keep", u"ImagePath"), "System32\\drivers\\new.sys");

    // Without ErrorControl the service fails after what comes before it was written.
    EXPECT_FALSE(Install(u"NoError.Services"));
    EXPECT_EQ(Text(Services(), u"noerr", u"DisplayName"), "No error control");
    EXPECT_EQ(Dword(Services(), u"noerr", u"Type"), 1);
    EXPECT_EQ(Dword(Services(), u"noerr", u"Start"), 3);
    EXPECT_EQ(Dword(Services(), u"noerr", u"ErrorControl"), -1);
    EXPECT_EQ(Text(Services(), u"noerr", u"ImagePath"), "<none>");
}

TEST_F(ServicesTest, NeedsWithIncludeFromTheInfFolder)
{
    EXPECT_TRUE(Install(u"Dep.Services"));
    EXPECT_EQ(Dword(Services(), u"depsvc", u"Start"), 3);
    // An INF that includes itself stops after a few levels instead of recursing for ever.
    EXPECT_TRUE(Install(u"Self.Services"));
    EXPECT_EQ(Dword(Services(), u"selfsvc", u"Type"), 1);
}

TEST_F(ServicesTest, HostileLinesFailWithoutWritingElsewhere)
{
    for (const char16_t* section : {u"Slash.Services", u"Dots.Services", u"Climb.Services", u"BadFlags.Services",
                                    u"NoInstall.Services", u"BadReg.Services", u"Missing.Services"})
        EXPECT_FALSE(Install(section)) << Processor::ToUtf8(String(section));
    EXPECT_FALSE(Has(Services(), u"a"));
    EXPECT_FALSE(Has(Services(), u".."));
    EXPECT_EQ(Text(Services(), u"evil", u"ImagePath"), "<none>");
    EXPECT_FALSE(Has(Services(), u"badflags"));
    EXPECT_FALSE(Has(Services(), u"noinstall"));
    EXPECT_EQ(Text(Services(), u"badreg", u"ImagePath"), "x.sys");  // written before its AddReg failed
    target.ExpectSoundHives();
}

TEST(ServiceGroupList, HoldsTheKnownGroups)
{
    EXPECT_EQ(String(Transvia::ServiceGroupList[1]), String(u"Boot Bus Extende"));
    EXPECT_EQ(String(Transvia::ServiceGroupList[60]), String(u"PCI Configuration"));
    EXPECT_TRUE(Transvia::IsListedServiceGroup(u"fsfilter physical quota management"));
    EXPECT_FALSE(Transvia::IsListedServiceGroup(u"Boot Bus Extender"));
    EXPECT_FALSE(Transvia::IsListedServiceGroup(u""));
}

}  // namespace
