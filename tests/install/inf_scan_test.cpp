#include <gtest/gtest.h>

#include <regex>

#include "../inf/inf_test_util.h"
#include "support/trace_capture.h"
#include "install/inf_scan.h"
#include "support/fixtures.h"
#include "target_tree.h"

using namespace Transvia;

namespace {

constexpr const char* kScsiInf =
    "[Version]\nSignature=\"$Windows NT$\"\nClassGUID={4D36E97B-E325-11CE-BFC1-08002BE10318}\n"
    "DriverVer=01/01/2010,1.0\n[Manufacturer]\nMfg=Models,NTamd64\n[Models.NTamd64]\nDev=Drv,PCI\\VEN_1&DEV_2\n"
    "[Drv]\nx=1\n";
constexpr const char* kNetInf =
    "[Version]\nSignature=\"$Windows NT$\"\nClassGUID={4D36E972-E325-11CE-BFC1-08002BE10318}\n"
    "[Manufacturer]\nMfg=Models,NTamd64\n[Models.NTamd64]\nDev=Drv,PCI\\VEN_1&DEV_2\n[Drv]\nx=1\n";

class FixedFilter final : public InfFilter {
public:
    explicit FixedFilter(uint32_t code) : code_(code) {}
    uint32_t Check(Inf&) override { return code_; }

private:
    uint32_t code_;
};

// Counts the sections a parse got to read.
size_t SectionsRead(const std::vector<InfFilter*>& filters, const char* text)
{
    FilterInfByCLSID filter(filters);
    ParseError error;
    auto inf = InfTest::Parse(text, 0, &error, &filter);
    return inf ? inf->GetSectionCount() : 0;
}

}  // namespace

TEST(FilterInfByCLSID, FirstAcceptOrRejectDecidesAndSilenceRejects)
{
    FixedFilter accept(0), reject(Common::Codes::kInfClassRejected), cancel(Common::Codes::kCancelled),
        noOpinion(Common::Codes::kInvalidFormat);
    EXPECT_EQ(SectionsRead({}, kScsiInf), 4u) << "no filter accepts everything";
    EXPECT_EQ(SectionsRead({&accept}, kScsiInf), 4u);
    EXPECT_EQ(SectionsRead({&noOpinion, &accept}, kScsiInf), 4u);
    EXPECT_EQ(SectionsRead({&reject, &accept}, kScsiInf), 0u);
    EXPECT_EQ(SectionsRead({&cancel}, kScsiInf), 0u);
    EXPECT_EQ(SectionsRead({&noOpinion}, kScsiInf), 0u) << "no filter said yes";

    ClassGuidFilter classes(BootCriticalClasses());
    EXPECT_EQ(classes.Check(*InfTest::Parse(kScsiInf)), 0u);
    EXPECT_EQ(classes.Check(*InfTest::Parse(kNetInf)), Common::Codes::kInfClassRejected);
    EXPECT_EQ(classes.Check(*InfTest::Parse("[Version]\nSignature=\"$Windows NT$\"\n")), Common::Codes::kInvalidFormat);
}

TEST(ScanLocations, FilesFoldersFlagsAndKeptInfs)
{
    TestSupport::ScratchDir scratch;
    scratch.write("top/a.inf", kScsiInf);
    scratch.write("top/LAYOUT.INF", kScsiInf);  // never a driver
    scratch.write("top/net.inf", kNetInf);      // other class: dropped after [Version]
    scratch.write("top/a.inx", kScsiInf);
    scratch.write("top/empty.inf", "");
    scratch.write("top/bad.inf", "[Version\n");
    scratch.write("top/sub/deep/b.INF", std::regex_replace(std::string(kScsiInf), std::regex("PCI.VEN_1&DEV_2"), "SUB"));
    scratch.write("flat/c.inf", kScsiInf);
    scratch.write("flat/sub/d.inf", kScsiInf);

    std::vector<SearchLocation> locations{{scratch.dir("top"), {0, 1}}, {scratch.dir("flat"), {1, 0}}};
    ClassGuidFilter filter(BootCriticalClasses());
    std::vector<uint32_t> progress;
    TestSupport::TraceCapture trace;
    ScanResult scan = ScanLocations(locations, {&filter}, DeviceList{DeviceIds{"PCI\\VEN_1&DEV_2", "SUB"}, DeviceIds{"OTHER"}},
                                    {3, {5, 2}}, [&](uint32_t p) { progress.push_back(p); });

    EXPECT_EQ(scan.infFiles, 6u) << "a, net, empty, bad, sub/deep/b and c; d is below a flat location";
    // Only the malformed file is traced: the empty one and the other class pass silently.
    EXPECT_TRUE(trace.Has(3, "bad.inf"));
    EXPECT_FALSE(trace.Has(3, "empty.inf"));
    EXPECT_FALSE(trace.Has(3, "net.inf"));
    ASSERT_EQ(scan.kept.size(), 3u);
    ASSERT_EQ(scan.stores.size(), 2u);
    EXPECT_TRUE(scan.stores[1].sectionByRank.empty());
    const CandidateStore& store = scan.stores[0];
    ASSERT_EQ(store.sectionByRank.size(), 2u);
    // Equal ranks: the preferred (flat) location wins over the first found.
    const Inf* chosen = store.sectionByRank.at(4)->GetInf();
    EXPECT_EQ(Processor::ToUtf8(store.fileNameByInf.at(chosen)), "c.inf");
    EXPECT_TRUE(store.Preferred(4));
    std::set<std::string> folders;
    for (const auto& [inf, folder] : store.folderByInf) folders.insert(Processor::ToUtf8(folder->full_path()));
    EXPECT_EQ(folders.count((scratch.path() / "top/sub/deep").string()), 1u) << "a subfolder is its own folder";
    EXPECT_EQ(store.locationByInf.size(), 3u);

    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.back(), 50u);
}

TEST(ScanLocations, LocationFlagsComeFromAContainingLocation)
{
    TestSupport::ScratchDir scratch;
    scratch.write("outer/inner/x.txt", "");
    scratch.write("other/x.txt", "");
    std::vector<SearchLocation> locations{{scratch.dir("outer"), {1, 1}}};
    EXPECT_EQ(FlagsOf(locations, *scratch.dir("outer/inner")).preferred, 1);
    EXPECT_EQ(FlagsOf(locations, *scratch.dir("other")).preferred, 0);
    EXPECT_EQ(FlagsOf(locations, *scratch.dir("other")).recursive, 0);
}

TEST(ReadTargetVersion, CurrentVersionOrTheWindowsTenNumbers)
{
    struct Case {
        const char* values;
        bool ok;
        TargetVersion expected;
    };
    const Case cases[] = {
        {"\"CurrentVersion\"=\"5.2\"\n", true, {5, 2}},
        {"\"CurrentVersion\"=\"6.3\"\n\"CurrentMajorVersionNumber\"=dword:0000000a\n"
         "\"CurrentMinorVersionNumber\"=dword:00000000\n", true, {10, 0}},
        // Both numbers are needed, as DWORDs.
        {"\"CurrentVersion\"=\"6.3\"\n\"CurrentMajorVersionNumber\"=dword:0000000a\n", true, {6, 3}},
        {"\"CurrentVersion\"=\"6.3\"\n\"CurrentMajorVersionNumber\"=\"10\"\n\"CurrentMinorVersionNumber\"=\"0\"\n", true, {6, 3}},
        {"\"CurrentVersion\"=\"6\"\n", true, {6, 0}},
        {"\"CurrentVersion\"=\"6.x.1\"\n", true, {6, 0}},
        {"\"CurrentVersion\"=\"x.1\"\n", true, {0, 0}},
        {"\"CurrentVersion\"=dword:00000005\n", false, {}},
        {"\"ProductName\"=\"none\"\n", false, {}},
    };
    for (const Case& c : cases) {
        TargetTest::TargetTree tree;
        tree.Hive("software", std::string("[S\\Microsoft\\Windows NT\\CurrentVersion]\n") + c.values);
        auto registry = CreateWindowsRegistry(tree.Windows());
        ASSERT_TRUE(registry);
        TargetVersion version{99, 99};
        Common::Error error = ReadTargetVersion(*registry, version);
        SCOPED_TRACE(c.values);
        EXPECT_EQ(!error.failed(), c.ok);
        if (c.ok) {
            EXPECT_EQ(version.major, c.expected.major);
            EXPECT_EQ(version.minor, c.expected.minor);
        }
    }
    TargetTest::TargetTree noHive;
    auto registry = CreateWindowsRegistry(noHive.Windows());
    TargetVersion version;
    EXPECT_TRUE(ReadTargetVersion(*registry, version).failed()) << "no SOFTWARE hive";
}
