// Cleanup of the old machine's traces on a SYSTEM hive built from a readable description:
// services of old processor and system drivers, class filters, device instances, start
// overrides, the database's services and registry edits, and bad input on the way.
#include <gtest/gtest.h>

#include "support/trace_capture.h"
#include "install/clean_target.h"

using Processor::String;
using TargetTest::TargetTree;

namespace {
using namespace CleanTest;
using Names = std::vector<std::string>;

// The cleaned hive, read back through a fresh registry object.
struct Result {
    std::unique_ptr<Transvia::WindowsRegistry> registry;
    explicit Result(const TargetTree& tree) : registry(Transvia::CreateWindowsRegistry(tree.Windows())) {}

    int64_t Start(const char* service)
    {
        return TargetTest::Dword(registry->Services(), Processor::FromUtf8(service), u"Start");
    }
    std::string Filters(const char* guid, const char16_t* name)
    {
        return TargetTest::Text(registry->Class(), Processor::FromUtf8(guid), name);
    }
    Names Subkeys(const char16_t* path) { return TargetTest::Subkeys(registry->CurrentControlSet(), path); }
    bool Has(const char16_t* path) { return TargetTest::Has(registry->CurrentControlSet(), path); }
};

struct Cleaned : testing::Test {
    static void SetUpTestSuite()
    {
        target = new CleanTarget;
        trace = new TestSupport::TraceCapture;
        target->Clean();
        result = new Result(target->tree);
    }
    static void TearDownTestSuite()
    {
        delete result;
        delete trace;
        delete target;
    }
    static CleanTarget* target;
    static TestSupport::TraceCapture* trace;
    static Result* result;
};
CleanTarget* Cleaned::target = nullptr;
TestSupport::TraceCapture* Cleaned::trace = nullptr;
Result* Cleaned::result = nullptr;

TEST_F(Cleaned, DisablesServicesOfOldProcessorAndSystemDrivers)
{
    EXPECT_EQ(result->Start("oldcpu"), 4);     // processor driver: every service
    EXPECT_EQ(result->Start("oldbus"), 4);     // PCI system driver
    EXPECT_EQ(result->Start("serialold"), 4);  // ISAPNP, from a decorated services section
    EXPECT_EQ(result->Start("decsvc"), 4);     // "InfSection" already decorated
    EXPECT_EQ(result->Start("extsvc"), 4);     // "InfSection" + "InfSectionExt"
    EXPECT_EQ(result->Start("pcibridge"), 0);  // bus drivers keep running
    EXPECT_EQ(result->Start("isapnpx"), 0);
    EXPECT_EQ(result->Start("keepme"), 0);     // skipsvc, whatever its letter case
    EXPECT_EQ(result->Start("acpisvc"), 0);    // ACPI system driver: left alone
    EXPECT_EQ(result->Start("stopme"), 4);     // stopsvc
    EXPECT_EQ(result->Subkeys(u"Services\\oldbus"), Names{"Parameters"});
    // Services the target lacks, from stopsvc and from an old driver's section, are not created.
    EXPECT_FALSE(result->Has(u"Services\\notthere"));
    EXPECT_FALSE(result->Has(u"Services\\goneold"));
    EXPECT_TRUE(trace->Has(1, "DisableService: 'notthere' is not installed in the target."));
    EXPECT_FALSE(trace->Has(4, "boot startup of 'notthere'"));
}

TEST_F(Cleaned, ServiceNamesThatArePathsCreateNothing)
{
    EXPECT_FALSE(result->Has(u"Services\\a"));
    EXPECT_FALSE(result->Has(u"Services\\x"));
    EXPECT_TRUE(trace->Has(3, "DisableService: Refused service name 'a\\b'."));
    EXPECT_TRUE(trace->Has(3, "DisableService: Refused service name 'x\\y'."));
}

TEST_F(Cleaned, RemovesEveryCollectedServiceFromClassFilters)
{
    // pcibridge keeps running but leaves the filters with the disabled ones.
    EXPECT_EQ(result->Filters(kSystem, u"UpperFilters"), "<none>");
    EXPECT_EQ(result->Filters(kSystem, u"LowerFilters"), "first,last");
    EXPECT_EQ(result->Filters(kProcessor, u"UpperFilters"), "cpufilter");
}

TEST_F(Cleaned, DeletesInstancesOfOldDevices)
{
    // Storage controllers go; the display adapter and instances without a string class stay.
    EXPECT_EQ(result->Subkeys(u"Enum\\PCI\\VEN_8086&DEV_7111"), Names{});
    EXPECT_EQ(result->Subkeys(u"Enum\\PCI\\VEN_15AD&DEV_07F0"), Names{});
    EXPECT_EQ(result->Subkeys(u"Enum\\PCI\\VEN_15AD&DEV_0405"), Names{"3&9"});
    EXPECT_EQ(result->Subkeys(u"Enum\\PCI\\VEN_5555&DEV_0001"), Names{"1"});
    EXPECT_EQ(result->Subkeys(u"Enum\\PCI\\VEN_6666&DEV_0001"), Names{"1"});
    EXPECT_EQ(result->Subkeys(u"Enum\\PCI\\VEN_7777&DEV_0001"), Names{"1"});
    // Models of cleaned drivers name instances to delete: the processor and serial ports
    // go, the ACPI bus (a driver key the system cleaner does not accept) stays.
    EXPECT_EQ(result->Subkeys(u"Enum\\ACPI"), Names{"PNP0A03"});
    EXPECT_EQ(result->Subkeys(u"Enum\\ISAPNP"), Names{});
    // Longer device key names: only instances bound to the cleaned driver key, and only
    // where the models identifier ends at a separator.
    EXPECT_FALSE(result->Has(u"Enum\\PCI\\VEN_4444&DEV_5555&SUBSYS_00011AB8&REV_01"));
    EXPECT_EQ(result->Subkeys(u"Enum\\PCI\\VEN_4444&DEV_5555&SUBSYS_00021AB8&REV_01"), Names{"2"});
    EXPECT_EQ(result->Subkeys(u"Enum\\PCI\\VEN_4444&DEV_55556"), Names{"1"});
}

TEST_F(Cleaned, IdentifierWithoutADevicePartDeletesNothing)
{
    EXPECT_TRUE(trace->Has(3, "Cleanup: Refused to delete 'PCI': it names no single device."));
    EXPECT_TRUE(trace->Has(3, "Cleanup: Refused to delete 'PCI\\': it names no single device."));
    EXPECT_EQ(result->Subkeys(u"Enum\\PCI").size(), 8u);
}

TEST_F(Cleaned, RemovesEveryStartOverrideAndKeepsOtherSubkeys)
{
    EXPECT_EQ(result->Subkeys(u"Services\\keepme"), Names{"Enum"});
    EXPECT_EQ(result->Subkeys(u"Services\\oldbus\\Parameters"), Names{"Deep"});
}

TEST_F(Cleaned, AppliesTheDatabaseRegistryOperations)
{
    EXPECT_EQ(TargetTest::Dword(result->registry->CurrentControlSet(), u"Control\\CrashControl", u"AutoReboot"), 0);
    EXPECT_FALSE(result->Has(u"Services\\ghost"));
    // The refused operations changed nothing and the one on a missing key created nothing.
    EXPECT_TRUE(result->Has(u"Services\\oldbus"));
    EXPECT_FALSE(result->Has(u"Services\\absent"));
}

TEST_F(Cleaned, TracesWhatItDoesAndWhatItCannot)
{
    EXPECT_TRUE(trace->Has(2, "Cleanup: Clean '{50127DC3-0F36-415E-A6CC-4CB3BE910B65}'."));
    EXPECT_TRUE(trace->Has(2, "Cleanup: Clean '{4d36e97d-e325-11ce-bfc1-08002be10318}'."));
    EXPECT_TRUE(trace->Has(2, "DisableService: Successfully disable boot startup of 'oldbus'."));
    EXPECT_TRUE(trace->Has(2, "DisableService: Successfully disable boot startup of 'stopme'."));
    EXPECT_FALSE(trace->Has(2, "boot startup of 'keepme'"));
    EXPECT_FALSE(trace->Has(2, "boot startup of 'pcibridge'"));
    EXPECT_TRUE(trace->Has(3, "Cleanup: Unable to open 'missing.inf'."));
    EXPECT_TRUE(trace->Has(3, "Cleanup: Unable to parse 'bad.inf'."));
    EXPECT_TRUE(trace->Has(3, "Cleanup: Unable to open '..\\..\\..\\secret.inf'."));
    EXPECT_TRUE(trace->Has(2, "Perform custom clean."));
    EXPECT_TRUE(trace->Has(2, "Cleanup: Cleanup instance 'VEN_8086&DEV_7111\\3&1&0&39'."));
    EXPECT_FALSE(trace->Has(2, "Cleanup: Cleanup instance 'VEN_15AD&DEV_0405"));
    EXPECT_TRUE(trace->Has(4, "Cleanup: Unable to get class guid size."));
    EXPECT_TRUE(trace->Has(4, "Cleanup: Class guid has incompatible type."));
}

TEST_F(Cleaned, LeavesAHiveThatChecksSound)
{
    EXPECT_EQ(target->tree.Faults("system"), Names{});
}

TEST(Cleaner, TargetWithoutHivesIsTracedNotFatal)
{
    TargetTree tree;
    tree.Folder("Windows/inf");
    auto sources = Transvia::CreateWinSources(tree.Root(), u"Windows");
    ASSERT_TRUE(sources);
    auto registry = Transvia::CreateWindowsRegistry(tree.Windows());
    TestSupport::TraceCapture trace;
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

TEST(Cleaner, UndecoratedSectionDropsThePlatformDecorationOnly)
{
    const std::pair<const char*, const char*> cases[] = {
        {"IntelPPM_Inst.NT", "IntelPPM_Inst"},   {"x.ntAMD64", "x"},          {"vmci.install.x64.NT", "vmci.install.x64"},
        {"A.NTamd64.10.0...17763", "A"},         {"A.NT.Services", "A"},      {"A.NTFS", "A.NTFS"},
        {"A.NTx86x", "A.NTx86x"},                {".NT", ".NT"},              {"A.NTia64", "A"},
        {"Plain_Inst", "Plain_Inst"}};
    for (const auto& [section, plain] : cases)
        EXPECT_EQ(Processor::ToUtf8(Transvia::UndecoratedSection(Processor::FromUtf8(section))), plain) << section;
}

}  // namespace
