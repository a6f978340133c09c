#include <gtest/gtest.h>

#include "install/inf_processor.h"
#include "support/fixtures.h"
#include "target_tree.h"

using namespace Transvia;

namespace {

constexpr const char* kHeader =
    "[Version]\nSignature=\"$Windows NT$\"\nClassGUID={4D36E97B-E325-11CE-BFC1-08002BE10318}\n"
    "DriverVer=01/01/2010,1.0\n[Manufacturer]\nMfg=Models,NTamd64\n[Models.NTamd64]\nDev=Drv,ID\n"
    "[SourceDisksNames]\n1=disk\n[SourceDisksFiles]\na.sys=1\nb.sys=1\nc.sys=1\nd.sys=1\nsvc.sys=1\n"
    "[DestinationDirs]\nDefaultDestDir=12\n";

class Operations final : public OperationsProgress {
public:
    void OperationStarted(const Processor::String& name) override { names.push_back(Processor::ToUtf8(name)); }
    void OperationFinished(const Processor::String&) override {}
    void Progress(uint32_t) override {}
    void DeviceStarted(const DeviceIds&, const Processor::String&, const Processor::String&) override {}
    void DeviceFinished(const DeviceIds&, const Common::Error& result) override { results.push_back(result.code()); }
    std::vector<std::string> names;
    std::vector<uint32_t> results;
};

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.Hive("system", "[S\\Select]\n\"Current\"=dword:00000001\n[S\\ControlSet001\\Services]\n"
                            "[S\\ControlSet001\\Control\\Class]\n");
        tree.Hive("software", "[S\\Microsoft\\Windows NT\\CurrentVersion]\n\"CurrentVersion\"=\"6.3\"\n"
                              "\"CurrentMajorVersionNumber\"=dword:0000000a\n\"CurrentMinorVersionNumber\"=dword:00000000\n");
        tree.Folder("Windows/inf");
        tree.Folder("Windows/System32/drivers");
        for (const char* file : {"a.sys", "b.sys", "c.sys", "d.sys", "svc.sys"}) storage.write(std::string("pkg/") + file, file);
        processor.Subscribe(&operations);
        const LocationFlags flags{0, 1};
        processor.AddSearchLocation(*storage.dir(), &flags);
    }
    Common::Error Run(const std::string& inf)
    {
        storage.write("pkg/drv.inf", std::string(kHeader) + inf);
        Common::Error result;
        processor.InstallDrivers(result, {DeviceIds{"ID"}}, tree.Root(), u"Windows", true, nullptr);
        return result;
    }
    std::unique_ptr<WindowsRegistry> Registry() { return CreateWindowsRegistry(tree.Windows()); }
    bool Copied(const char* file) const { return std::filesystem::exists(tree.path() / "Windows/System32/drivers" / file); }

    TargetTest::TargetTree tree;
    TestSupport::ScratchDir storage;
    Operations operations;
    InfProcessorImpl processor{3, nullptr};
};

}  // namespace

TEST_F(InstallTest, CopyFilesInOrderFirstAddRegLineAndUndecoratedServicesIgnored)
{
    const Common::Error result = Run(
        "[Drv.NTamd64]\nCopyFiles=@a.sys,@b.sys\nCopyFiles=@c.sys,@d.sys\nAddReg=First1,First2\nAddReg=Second\n"
        "[First1]\nHKR,,Bad,0x10001,1\nHKLM,System\\CurrentControlSet\\Services\\Mark,One,0x10001,1\n"
        "[First2]\nHKLM,System\\CurrentControlSet\\Services\\Mark,Two,0x10001,2\n"
        "[Second]\nHKLM,System\\CurrentControlSet\\Services\\Mark,Three,0x10001,3\n"
        "[Drv.Services]\nAddService=svc,2,Svc\n[Svc]\nServiceType=1\nStartType=0\nErrorControl=1\nServiceBinary=%12%\\svc.sys\n");
    EXPECT_FALSE(result.failed()) << std::hex << result.code();
    EXPECT_EQ(operations.names, (std::vector<std::string>{"CopyFiles", "CopyFiles", "CopyFiles", "CopyFiles", "AddReg"}));
    for (const char* file : {"a.sys", "b.sys", "c.sys", "d.sys"}) EXPECT_TRUE(Copied(file)) << file;
    auto registry = Registry();
    // The HKR line (no context here) ends First1 before "One"; First2 still runs; the second AddReg line never does.
    EXPECT_EQ(TargetTest::Dword(registry->Services(), u"Mark", u"One"), -1);
    EXPECT_EQ(TargetTest::Dword(registry->Services(), u"Mark", u"Two"), 2);
    EXPECT_EQ(TargetTest::Dword(registry->Services(), u"Mark", u"Three"), -1);
    EXPECT_FALSE(TargetTest::Has(registry->Services(), u"svc")) << "DRV.NTAMD64 has no .Services section";
}

TEST_F(InstallTest, ServicesOfTheDecoratedSectionAndACopyFailureEndsTheTry)
{
    Common::Error result =
        Run("[Drv.NTamd64]\nCopyFiles=@svc.sys\n[Drv.NTamd64.Services]\nAddService=svc,2,Svc\n"
            "[Svc]\nServiceType=1\nStartType=0\nErrorControl=1\nServiceBinary=%12%\\svc.sys\nLoadOrderGroup=SCSI miniport\n");
    EXPECT_FALSE(result.failed()) << std::hex << result.code();
    EXPECT_EQ(operations.names, (std::vector<std::string>{"CopyFiles", "DRV.NTAMD64.SERVICES"}));
    {
        auto registry = Registry();
        EXPECT_EQ(TargetTest::Dword(registry->Services(), u"svc", u"Start"), 0);
        EXPECT_EQ(TargetTest::Text(registry->Services(), u"svc", u"Group"), "SCSI miniport");
    }
    EXPECT_TRUE(tree.Faults("system").empty());

    // The second file is nowhere: the first line's copy stays, the try fails, and so the device.
    operations.names.clear();
    std::filesystem::remove(tree.path() / "Windows/System32/drivers/a.sys");
    result = Run("[Drv.NTamd64]\nCopyFiles=@a.sys,@missing.sys\n");
    EXPECT_EQ(result.code(), Common::Codes::kNoDriverFound);
    EXPECT_EQ(operations.results, (std::vector<uint32_t>{0, Common::Codes::kNoDriverFound}));
    EXPECT_TRUE(Copied("a.sys"));
}

TEST_F(InstallTest, NeedsAndIncludeAreOneLevelDeep)
{
    tree.Write("Windows/inf/a.inf", "[Version]\nSignature=\"$Windows NT$\"\n[Sec1]\nAddReg=DepReg\n"
                                    "[DepReg]\nHKLM,System\\CurrentControlSet\\Services\\Dep,From,0x10001,1\n"
                                    "[Sec2]\nAddReg=Sec2Reg\n[Sec2Reg]\nHKLM,System\\CurrentControlSet\\Services\\Dep,Two,0x10001,1\n"
                                    "[Nested]\nNeeds=Sec1\nInclude=a.inf\n");
    EXPECT_FALSE(Run("[Drv.NTamd64]\nInclude=a.inf,b.inf\nNeeds=Sec1,Sec2\n").failed());
    EXPECT_EQ(operations.names, (std::vector<std::string>{"Needs", "AddReg"}));
    {
        auto registry = Registry();
        EXPECT_EQ(TargetTest::Dword(registry->Services(), u"Dep", u"From"), 1);
        EXPECT_EQ(TargetTest::Dword(registry->Services(), u"Dep", u"Two"), -1) << "only the first Needs field";
    }
    // A dependent section with its own Needs, Needs without Include, a missing dependent section.
    EXPECT_EQ(Run("[Drv.NTamd64]\nInclude=a.inf\nNeeds=Nested\n").code(), Common::Codes::kNoDriverFound);
    EXPECT_EQ(Run("[Drv.NTamd64]\nNeeds=Sec1\n").code(), Common::Codes::kNoDriverFound);
    EXPECT_EQ(Run("[Drv.NTamd64]\nInclude=a.inf\nNeeds=NoSuch\n").code(), Common::Codes::kNoDriverFound);
    // A dependent INF missing from the target is passed over.
    EXPECT_FALSE(Run("[Drv.NTamd64]\nInclude=gone.inf\nNeeds=Sec1\n").failed());
}
