// Cleanup of the old machine's traces on a SYSTEM hive built from a readable description:
// services of old processor and system drivers, class filters, device instances, start
// overrides, the database's services and registry edits, and bad input on the way.
#include <gtest/gtest.h>

#include "hardware/registry_operation.h"
#include "inf/memory_file.h"
#include "inf/trace_capture.h"
#include "install/clean_target.h"
#include "transvia/codes.h"

using Processor::String;
using TargetTest::TargetTree;
using Transvia::RegistryKey;

namespace {
using namespace CleanTest;

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
