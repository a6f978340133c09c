// The hardware database: the six answers with their traces, files that do not parse, the
// configured path, and the database that ships with the engine.
#include <gtest/gtest.h>

#include "hardware/device_database.h"
#include "inf/memory_file.h"
#include "support/trace_capture.h"
#include "support/fixtures.h"
#include "support/text.h"

namespace {

using namespace Transvia;

std::unique_ptr<DeviceDatabase> FromText(std::string_view text)
{
    MemoryFile file(text);
    return LoadDeviceDatabase(file);
}

// Devices as plain lists, so that a failure prints the identifiers.
std::vector<std::vector<std::string>> Ids(const DeviceList& devices)
{
    std::vector<std::vector<std::string>> out;
    for (const DeviceIds& device : devices)
        out.push_back(device.ids());
    return out;
}

std::vector<std::string> Names(const std::vector<Processor::String>& names)
{
    std::vector<std::string> out;
    for (const auto& name : names)
        out.push_back(Processor::ToUtf8(name));
    return out;
}

TEST(DeviceDatabase, MapDevicesTakesTheFirstMappedIdentifierOfEachDevice)
{
    auto database = FromText(R"(
[HwMap]
PCI\VEN_1&DEV_2 = PCI\GENERIC_A
PCI\CC_0106     = PCI\GENERIC_B
PCI\VEN_3&DEV_4 = pci\generic_a
PCI\CC_0107     = PCI\GENERIC_C
)");
    const DeviceList devices = {
        // Both identifiers have a line: only the first, in the device's order, counts.
        {"PCI\\VEN_1&DEV_2", "PCI\\CC_0106"},
        // Maps to a replacement already produced (in another letter case): the search goes
        // on with the next identifier.
        {"pci\\ven_3&dev_4", "PCI\\CC_0107"},
        // Same replacement as the first device and nothing else: no device.
        {"PCI\\VEN_1&DEV_2"},
        {"PCI\\UNKNOWN"},
    };
    TestSupport::TraceCapture trace;
    DeviceList mapped = {{"EXISTING"}};
    database->MapDevices(devices, mapped);
    EXPECT_EQ(Ids(mapped), Ids({{"EXISTING"}, {"PCI\\GENERIC_A"}, {"PCI\\GENERIC_C"}}));
    EXPECT_TRUE(trace.Has(1, "Database entry found PCI\\VEN_1&DEV_2 -> PCI\\GENERIC_A"));
    EXPECT_FALSE(trace.Has(1, "GENERIC_B"));
    EXPECT_TRUE(trace.Has(1, "Database entry found PCI\\CC_0107 -> PCI\\GENERIC_C"));
}

TEST(DeviceDatabase, AddedDevicesOncePerIdentifierInAnyCase)
{
    auto database = FromText("[hw]\nACPI\\PNP0A03\nacpi\\pnp0a03\nROOT\\EXTRA\n");
    TestSupport::TraceCapture trace;
    DeviceList devices;
    database->AddedDevices(devices);
    EXPECT_EQ(Ids(devices), Ids({{"ACPI\\PNP0A03"}, {"ROOT\\EXTRA"}}));
    EXPECT_TRUE(trace.Has(1, "Add device 'ROOT\\EXTRA.'"));
}

TEST(DeviceDatabase, HalFromTheFirstLineOnly)
{
    auto database = FromText("[HAL]\nacpiapic_mp, acpiapic_up\nE_ISA_UP\n");
    TestSupport::TraceCapture trace;
    DeviceList devices;
    database->HalDevices(devices);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].ids(), (std::vector<std::string>{"acpiapic_mp", "acpiapic_up"}));
    EXPECT_TRUE(trace.Has(1, "Replace hal with 'acpiapic_mp.'"));
}

TEST(DeviceDatabase, ServiceListsKeepOrderAndDuplicates)
{
    auto database = FromText("[stopsvc]\nalpha\nBeta\nalpha\n[SkipSvc]\nkeep = me\n");
    std::vector<Processor::String> stop;
    std::vector<Processor::String> skip;
    database->ServicesToStop(stop);
    database->ServicesToSkip(skip);
    EXPECT_EQ(Names(stop), (std::vector<std::string>{"alpha", "Beta", "alpha"}));
    // The first field of a keyed line is the text right of "=".
    EXPECT_EQ(Names(skip), (std::vector<std::string>{"me"}));
}

TEST(DeviceDatabase, RegistryOperationRecordsHoldFiveFields)
{
    auto database = FromText(R"([registryops]
DeleteKey, HKLM, System\Old
ModifyValue, CurrentControlSet, Control\CrashControl, AutoReboot, 0, extra1, extra2
)");
    std::vector<RegistryOperationRecord> records;
    database->RegistryOperations(records);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(Names({records[0].begin(), records[0].end()}),
              (std::vector<std::string>{"DeleteKey", "HKLM", "System\\Old", "", ""}));
    EXPECT_EQ(Names({records[1].begin(), records[1].end()}),
              (std::vector<std::string>{"ModifyValue", "CurrentControlSet", "Control\\CrashControl", "AutoReboot", "0"}));
}

TEST(DeviceDatabase, MissingSectionsAndTheEmptyDatabaseAnswerNothing)
{
    auto database = FromText("[Other]\nx\n");
    EmptyDeviceDatabase empty;
    for (DeviceDatabase* db : {database.get(), static_cast<DeviceDatabase*>(&empty)}) {
        DeviceList devices;
        db->MapDevices({{"A"}}, devices);
        db->AddedDevices(devices);
        db->HalDevices(devices);
        std::vector<Processor::String> names;
        db->ServicesToStop(names);
        db->ServicesToSkip(names);
        std::vector<RegistryOperationRecord> records;
        db->RegistryOperations(records);
        EXPECT_TRUE(devices.empty());
        EXPECT_TRUE(names.empty());
        EXPECT_TRUE(records.empty());
    }
}

TEST(DeviceDatabase, FileThatDoesNotParseIsTracedAndAnswersNothing)
{
    const std::string broken[] = {
        "[hw]\nA\n[stopsvc\nsvc\n",      // unterminated section header
        std::string("\xFF\xFE[\0h\0", 6),  // UTF-16 cut inside the first header
        "[hw]\n= no key\n",               // a line with "=" and nothing left of it
    };
    for (const std::string& text : broken) {
        TestSupport::TraceCapture trace;
        auto database = FromText(text);
        ASSERT_NE(database, nullptr);
        DeviceList devices;
        database->AddedDevices(devices);
        std::vector<Processor::String> names;
        database->ServicesToStop(names);
        EXPECT_TRUE(trace.Has(4, "Hardware database: parse failed")) << text;
        EXPECT_TRUE(devices.empty());
        EXPECT_TRUE(names.empty());
    }
}

TEST(DeviceDatabase, ConfiguredPathIsTracedAndAMissingFileGivesNone)
{
    TestSupport::ScratchDir scratch;
    const auto db = scratch.write("db/custom hwdb.txt", "[stopsvc]\nfromconfig\n");
    const auto conf = scratch.write("transvia.conf", "[Settings]\nhwdb.txt = \"" + db.string() + "\"\n");
    TestSupport::TraceCapture trace;
    auto database = LoadDeviceDatabase(LoadConfigurationFile(conf.string()));
    ASSERT_NE(database, nullptr);
    EXPECT_TRUE(trace.Has(2, db.string()));
    std::vector<Processor::String> names;
    database->ServicesToStop(names);
    EXPECT_EQ(Names(names), (std::vector<std::string>{"fromconfig"}));

    const auto missing = scratch.write("missing.conf", "[Settings]\nhwdb.txt = " + (scratch.path() / "no.txt").string() + "\n");
    EXPECT_EQ(LoadDeviceDatabase(LoadConfigurationFile(missing.string())), nullptr);
}

TEST(DeviceDatabase, ShippedDatabaseParsesAndHoldsOnlyKnownOperations)
{
    const auto conf_text = std::string("[Settings]\nhwdb.txt = \"") + TRANSVIA_SOURCE_DIR + "/data/hwdb.txt\"\n";
    TestSupport::ScratchDir scratch;
    const auto conf = scratch.write("transvia.conf", conf_text);
    TestSupport::TraceCapture trace;
    auto database = LoadDeviceDatabase(LoadConfigurationFile(conf.string()));
    ASSERT_NE(database, nullptr);
    EXPECT_FALSE(trace.Has(4, "Hardware database"));

    std::vector<Processor::String> stop;
    std::vector<Processor::String> skip;
    database->ServicesToStop(stop);
    database->ServicesToSkip(skip);
    EXPECT_FALSE(stop.empty());
    EXPECT_FALSE(skip.empty());
    // A service both stopped and protected would depend on the order of the cleanup steps.
    for (const auto& name : stop)
        for (const auto& kept : skip)
            EXPECT_FALSE(Processor::EqualNoCase(name, kept)) << Processor::ToUtf8(name);

    std::vector<RegistryOperationRecord> records;
    database->RegistryOperations(records);
    ASSERT_FALSE(records.empty());
    for (const auto& record : records) {
        const std::string operation = Processor::ToUtf8(record[0]);
        const std::string root = Processor::ToUtf8(record[1]);
        EXPECT_TRUE(operation == "DeleteKey" || operation == "DeleteValue" || operation == "ModifyValue") << operation;
        EXPECT_TRUE(root == "HKLM" || root == "HKCR" || root == "CurrentControlSet") << root;
        EXPECT_FALSE(record[2].isEmpty());
        if (operation != "DeleteKey") {
            EXPECT_FALSE(record[3].isEmpty());
        }
    }
}

}  // namespace
