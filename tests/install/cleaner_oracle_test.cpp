// The cleanup read back by python3-hivex: on a hive built by the tests and on a copy of a
// real Windows 10 SYSTEM hive, compared fact by fact with the hive before the cleanup.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "install/clean_target.h"

namespace fs = std::filesystem;
using namespace CleanTest;

namespace {

bool HaveHivex() { return TestSupport::RunCommand("/usr/bin/python3 -c 'import hivex' 2>/dev/null") == 0; }

#define REQUIRE_HIVEX()        \
    if (!HaveHivex())          \
    GTEST_SKIP() << "python3-hivex is not installed (tools/setup.sh installs it)"

// The facts hive_facts.py reads with hivex, one per line; fails the test when hivex refuses the hive.
std::set<std::string> Facts(const fs::path& hive)
{
    const std::string script = std::string(TRANSVIA_SOURCE_DIR) + "/tests/install/hive_facts.py";
    std::string out;
    EXPECT_EQ(TestSupport::RunCommand("/usr/bin/python3 '" + script + "' '" + hive.string() + "'", &out), 0)
        << "hivex refused " << hive;
    std::set<std::string> facts;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        facts.insert(line);
    return facts;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');)
        fields.push_back(field);
    return fields;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::map<std::string, std::string> Starts(const std::set<std::string>& facts)
{
    std::map<std::string, std::string> starts;
    for (const std::string& fact : facts)
        if (fact.rfind("S\t", 0) == 0) {
            const auto f = Fields(fact);
            starts[f[1]] = f.size() > 2 ? f[2] : "";
        }
    return starts;
}

TEST(CleanerOracle, BuiltHiveAsHivexReadsIt)
{
    REQUIRE_HIVEX();
    CleanTarget target;
    target.Clean();
    const auto facts = Facts(target.tree.ConfigPath() / "system");
    const auto starts = Starts(facts);
    EXPECT_EQ(starts.at("oldbus"), "4");
    EXPECT_EQ(starts.at("oldcpu"), "4");
    EXPECT_EQ(starts.at("serialold"), "4");
    EXPECT_EQ(starts.at("pcibridge"), "0");
    EXPECT_EQ(starts.at("keepme"), "0");
    EXPECT_EQ(starts.at("acpisvc"), "0");
    // The emptied UpperFilters is gone, LowerFilters lost only the disabled services.
    std::set<std::string> filters;
    for (const std::string& fact : facts)
        if (fact.rfind("F\t", 0) == 0)
            filters.insert(fact);
    EXPECT_EQ(filters, (std::set<std::string>{"F\t{4d36e97d-e325-11ce-bfc1-08002be10318}\tlowerfilters\tfirst,last",
                                              "F\t{50127dc3-0f36-415e-a6cc-4cb3be910b65}\tupperfilters\tcpufilter"}));
    EXPECT_TRUE(facts.count("O\tkeepme\tEnum"));
    EXPECT_FALSE(facts.count("O\tkeepme\tstartoverride"));
    EXPECT_FALSE(facts.count("O\toldbus\tStartOverride"));
    EXPECT_TRUE(facts.count("P\tVEN_15AD&DEV_0405\t3&9\t{4d36e968-e325-11ce-bfc1-08002be10318}"));
    EXPECT_FALSE(facts.count("P\tVEN_15AD&DEV_07F0\t4&2\t{4D36E97B-E325-11CE-BFC1-08002BE10318}"));
    EXPECT_TRUE(facts.count("R\tautoreboot\t0"));
}

// The old drivers of the real hive's processor and system driver keys, as their INF
// files name their services.
void WriteRealInfs(const TargetTree& tree)
{
    const std::string head = "[Version]\nSignature=\"$Windows NT$\"\n";
    tree.Write("Windows/INF/cpu.inf", head +
                                          "[Manufacturer]\n%Intel%=Intel,NTamd64\n"
                                          "[Intel.NTamd64]\n%Cpu%=IntelPPM_Inst.NT,ACPI\\GenuineIntel_-_Intel64\n"
                                          "[IntelPPM_Inst.NT.Services]\nAddService=intelppm,0x2,svc\n");
    tree.Write("Windows/INF/machine.inf", head + "[MSISADRV.Services]\nAddService=msisadrv,0x2,svc\n"
                                                 "[NO_DRV.Services]\nAddService=,0x2\n");
    tree.Write("Windows/INF/pci.inf", head + "[PCI_BRIDGE.Services]\nAddService=pci,0x2,svc\n");
    tree.Write("Windows/INF/hdaudbus.inf", head + "[HDAudio_Device.NT.Services]\nAddService=HDAudBus,0x2,svc\n");
    tree.Write("Windows/INF/oem2.inf", head + "[vmci.install.x64.NT.Services]\nAddService=vmci,0x2,svc\n");
}

TEST(CleanerOracle, RealWindows10SystemHive)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    REQUIRE_HIVEX();
    const fs::path original = data / "hives/dissect.regf/SYSTEM";
    const auto originalBytes = TestSupport::ReadFileBytes(original);

    TargetTree tree;
    tree.CopyHive(original, "SYSTEM");
    WriteRealInfs(tree);
    {
        auto sources = Transvia::CreateWinSources(tree.Root(), u"WINDOWS");
        ASSERT_TRUE(sources);
        auto registry = Transvia::CreateWindowsRegistry(tree.Windows());
        Transvia::MemoryFile database(
            "[skipsvc]\nvmci\n[stopsvc]\nvmhgfs\n"
            "[registryops]\nModifyValue,CurrentControlSet,Control\\CrashControl,AutoReboot,0\n");
        Transvia::CleanerImpl cleaner(Transvia::LoadDeviceDatabase(database));
        cleaner.Clean(*sources, *registry);
    }
    EXPECT_EQ(tree.Faults("SYSTEM"), std::vector<std::string>{});

    const auto before = Facts(original);
    const auto after = Facts(tree.ConfigPath() / "SYSTEM");

    // Services: only the accepted old drivers' services and the one to stop are disabled.
    auto expected = Starts(before);
    for (const char* name : {"intelppm", "msisadrv", "HDAudBus", "vmhgfs"}) {
        ASSERT_TRUE(expected.count(name)) << name;
        EXPECT_NE(expected[name], "4") << name;
        expected[name] = "4";
    }
    EXPECT_EQ(Starts(after), expected);

    // Subkeys of services: every StartOverride gone, nothing else.
    std::set<std::string> subkeysBefore, subkeysAfter;
    size_t overrides = 0;
    for (const std::string& fact : before)
        if (fact.rfind("O\t", 0) == 0) {
            if (Lower(Fields(fact)[2]) == "startoverride")
                ++overrides;
            else
                subkeysBefore.insert(fact);
        }
    for (const std::string& fact : after)
        if (fact.rfind("O\t", 0) == 0)
            subkeysAfter.insert(fact);
    EXPECT_GT(overrides, 10u);
    EXPECT_EQ(subkeysAfter, subkeysBefore);

    // PCI instances: those of the two storage classes gone, every other one (display too) stays.
    std::set<std::string> pciExpected, pciAfter;
    size_t storage = 0;
    for (const std::string& fact : before)
        if (fact.rfind("P\t", 0) == 0) {
            const std::string guid = Lower(Fields(fact)[3]);
            if (guid == "{4d36e96a-e325-11ce-bfc1-08002be10318}" || guid == "{4d36e97b-e325-11ce-bfc1-08002be10318}")
                ++storage;
            else
                pciExpected.insert(fact);
        }
    for (const std::string& fact : after)
        if (fact.rfind("P\t", 0) == 0)
            pciAfter.insert(fact);
    EXPECT_EQ(storage, 3u);
    EXPECT_EQ(pciAfter, pciExpected);
    EXPECT_TRUE(pciAfter.count(
        "P\tVEN_15AD&DEV_0405&SUBSYS_040515AD&REV_00\t3&61aaa01&0&78\t{4d36e968-e325-11ce-bfc1-08002be10318}"));

    EXPECT_TRUE(after.count("R\tautoreboot\t0"));
    EXPECT_TRUE(before.count("R\tautoreboot\t1"));
    // Everything else read by hivex is as it was.
    for (const std::string& fact : before) {
        if (fact[0] == 'A' || fact[0] == 'F') {
            EXPECT_TRUE(after.count(fact)) << fact;
        }
    }
    EXPECT_EQ(TestSupport::ReadFileBytes(original), originalBytes);
}

}  // namespace
