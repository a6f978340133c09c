#include <gtest/gtest.h>

#include <string>

#include "../inf/inf_test_util.h"
#include "install/inf_matching.h"
#include "support/fixtures.h"

using namespace Transvia;

namespace {

constexpr uint32_t kX86 = 1, kIa64 = 2, kAmd64 = 3;

std::unique_ptr<Inf> Parse(const std::string& text)
{
    auto inf = InfTest::Parse(text);
    EXPECT_NE(inf, nullptr) << text;
    return inf;
}

std::string Name(const DecoratedSection& chosen) { return chosen.section ? InfTest::Utf8(chosen.section->GetName()) : "-"; }

struct SelectCase {
    const char* sections;  // section headers of the INF, ';'-separated
    DecorationMode mode;
    uint32_t platform;
    TargetVersion version;
    const char* expected;  // chosen section, "-" for none
    uint32_t level;
};

}  // namespace

TEST(SelectDecoratedSection, Table)
{
    const SelectCase cases[] = {
        // Only undecorated models: nothing on amd64, level 3 on x86.
        {"M", DecorationMode::kModelsStrict, kAmd64, {5, 2}, "-", 0},
        {"M", DecorationMode::kModelsLoose, kX86, {5, 1}, "M", 3},
        // A version-decorated section counts only when the target is at least that version.
        {"M;M.NTamd64;M.NTamd64.6.0", DecorationMode::kModelsStrict, kAmd64, {5, 2}, "M.NTAMD64", 2},
        {"M;M.NTamd64;M.NTamd64.6.0", DecorationMode::kModelsStrict, kAmd64, {6, 1}, "M.NTAMD64.6.0", 0},
        {"M.NTamd64;M.NTamd64.6", DecorationMode::kModelsStrict, kAmd64, {6, 0}, "M.NTAMD64.6", 1},
        // 10.0 sorts before 6.0 by name; the 6.0 section may not undo the newer choice.
        {"M.NTamd64.6.0;M.NTamd64.10.0", DecorationMode::kModelsStrict, kAmd64, {10, 0}, "M.NTAMD64.10.0", 0},
        {"M.NTamd64.6.0;M.NTamd64.10.0", DecorationMode::kModelsStrict, kAmd64, {6, 3}, "M.NTAMD64.6.0", 0},
        // A version component that is not a number rejects the section; an empty one is 0.
        {"M.NTamd64;M.NTamd64.x.1", DecorationMode::kModelsStrict, kAmd64, {10, 0}, "M.NTAMD64", 2},
        {"M.NTamd64..1", DecorationMode::kModelsStrict, kAmd64, {0, 1}, "M.NTAMD64..1", 0},
        // Plain ".NT": install sections and x86 models, never strict models.
        {"S.NT;S.NTia64", DecorationMode::kInstall, kAmd64, {5, 2}, "S.NT", 2},
        {"M.NT", DecorationMode::kModelsStrict, kAmd64, {5, 2}, "-", 0},
        {"M.NT", DecorationMode::kModelsLoose, kX86, {5, 1}, "M.NT", 2},
        // Undecorated install section: refused when the INF decorates it for another platform.
        {"S;S.NTia64", DecorationMode::kInstall, kAmd64, {5, 2}, "-", 0},
        {"S;S.NTia64", DecorationMode::kInstall, kIa64, {5, 2}, "S.NTIA64", 2},
        {"S;S.Services", DecorationMode::kInstall, kAmd64, {5, 2}, "S", 3},
        // Names that merely begin with the base are other sections.
        {"SX;SX.NTamd64", DecorationMode::kInstall, kAmd64, {5, 2}, "-", 0},
        // Platform 0 matches no decoration.
        {"S;S.NTamd64", DecorationMode::kInstall, 0, {5, 2}, "-", 0},
        {"S", DecorationMode::kInstall, 0, {5, 2}, "S", 3},
    };
    for (const SelectCase& c : cases) {
        std::string text = "[Version]\nSignature=\"$Chicago$\"\n";
        std::string list = c.sections;
        for (size_t start = 0; start <= list.size();) {
            size_t end = list.find(';', start);
            if (end == std::string::npos) end = list.size();
            text += "[" + list.substr(start, end - start) + "]\nx=1\n";
            start = end + 1;
        }
        auto inf = Parse(text);
        const char16_t* base = c.mode == DecorationMode::kInstall ? u"S" : u"M";
        const DecoratedSection chosen = SelectDecoratedSection(*inf, base, c.mode, c.platform, c.version);
        SCOPED_TRACE(std::string(c.sections) + " mode " + std::to_string(static_cast<int>(c.mode)));
        EXPECT_EQ(Name(chosen), c.expected);
        if (chosen.section) {
            EXPECT_EQ(chosen.level, c.level);
        }
    }
}

TEST(CompareDriverVer, Table)
{
    struct Case {
        const char* a;  // DriverVer line, or "" for none
        const char* b;
        int expected;
    };
    const Case cases[] = {
        {"07/01/2009,6.1.7600.16385", "06/21/2006,6.0.6000.16386", 1},
        {"06/21/2006,6.0.6000.16386", "07/01/2009,6.1.7600.16385", -1},
        {"01/01/2009,1.2", "01/01/2009,1.2.3", 0},
        {"01/01/2009,1.3", "01/01/2009,1.2.3", 1},
        {"01/01/2009,1.x", "01/01/2009,2.0", 0},
        {"01/01/2009", "01/01/2009,2.0", 0},
        {"13/40/2009,1.0", "12/31/2009,1.0", 1},  // no range limits on months or days
        {"12/31/2008,9.0", "01/01/2009,1.0", -1},  // the year decides first
        {"02/01/2009,1.0", "01/02/2009,1.0", 1},   // then the month
        {"1/2/3/4,1.0", "01/01/2001,1.0", -1},     // four numbers: unreadable, older
        {"ab/01/2001,1.0", "xx,1.0", 0},            // both unreadable
        {"", "01/01/2001,1.0", -1},
        {"", "", 0},
        {"01/01/2001", "", 1},
        {"01/02,1.0", "01/02/0,1.0", 0},            // missing numbers count as 0
    };
    for (const Case& c : cases) {
        auto make = [](const char* line) {
            return Parse(std::string("[Version]\nSignature=\"$Windows NT$\"\n") +
                         (line[0] ? std::string("DriverVer=") + line + "\n" : ""));
        };
        auto a = make(c.a), b = make(c.b);
        EXPECT_EQ(CompareDriverVer(*a, *b), c.expected) << c.a << " vs " << c.b;
    }
}

namespace {

std::string ModelsInf(const std::string& models, const std::string& driverVer = "01/01/2010,1.0")
{
    return "[Version]\nSignature=\"$Windows NT$\"\nDriverVer=" + driverVer +
           "\n[Manufacturer]\n%Mfg%=Models,NTamd64\n" + models +
           "[Drv]\nx=1\n[Drv.NTamd64]\nx=1\n[Drv.NTx86]\nx=1\n[Strings]\nMfg=\"Maker\"\nDev=\"The device\"\n";
}

}  // namespace

TEST(MatchInf, RanksFollowLevelFieldAndPosition)
{
    // Device A, B (N = 2). B as hardware id in undecorated models on x86: 3*2 + 0 + 1 = 7.
    // A as compatible id in .NTx86 models: 2*2 + 2 + 0 = 6.
    auto undecorated = Parse(ModelsInf("[Models]\n%Dev%=Drv,B\n"));
    auto decorated = Parse(ModelsInf("[Models.NTx86]\n%Dev%=Drv,X,A\n"));
    CandidateStore store(DeviceIds{"A", "B"});
    const MatchSettings x86{kX86, {5, 1}};
    EXPECT_TRUE(MatchInf(*undecorated, store, false, x86));
    EXPECT_TRUE(MatchInf(*decorated, store, false, x86));
    ASSERT_EQ(store.sectionByRank.size(), 2u);
    EXPECT_EQ(store.sectionByRank.at(7)->GetInf(), undecorated.get());
    EXPECT_EQ(store.sectionByRank.at(6)->GetInf(), decorated.get());
    EXPECT_EQ(store.TryOrder(), (std::vector<uint32_t>{6, 7}));
    EXPECT_EQ(InfTest::Utf8(store.sectionByRank.at(6)->GetName()), "DRV.NTX86");
    EXPECT_EQ(Processor::ToUtf8(store.namesByRank.at(6).first), "Maker");
    EXPECT_EQ(Processor::ToUtf8(store.namesByRank.at(6).second), "The device");

    // The same INF gives nothing on amd64: its undecorated models are not for that platform.
    CandidateStore amd64(DeviceIds{"A", "B"});
    EXPECT_FALSE(MatchInf(*undecorated, amd64, false, {kAmd64, {5, 2}}));
}

TEST(MatchInf, IdentifiersCompareIgnoringCaseWithoutSubstitution)
{
    auto inf = Parse(ModelsInf("[Models.NTamd64]\n%Dev%=Drv,pci\\ven_8086&dev_2922\n%Dev%=Drv,%Id%\n"));
    CandidateStore store(DeviceIds{"PCI\\VEN_8086&DEV_2922", "%Id%"});
    EXPECT_TRUE(MatchInf(*inf, store, false, {kAmd64, {5, 2}}));
    EXPECT_EQ(store.sectionByRank.count(2 * 2 + 0), 1u);
    EXPECT_EQ(store.sectionByRank.count(2 * 2 + 1), 1u) << "field text is compared as written";
}

TEST(MatchInf, LinesThatCannotInstallAreSkipped)
{
    // Install section missing; a line with one field; install section only for ia64
    // while an undecorated one exists (mode 0 then gives nothing).
    auto inf = Parse("[Version]\nSignature=\"$Windows NT$\"\n[Manufacturer]\nMfg=Models,NTamd64\n"
                     "[Models.NTamd64]\nd1=Missing,ID\nd2=Drv\nd3=Other,ID\n[Other]\nx=1\n[Other.NTia64]\nx=1\n"
                     "[Drv]\nx=1\n");
    CandidateStore store(DeviceIds{"ID"});
    EXPECT_FALSE(MatchInf(*inf, store, false, {kAmd64, {5, 2}}));
    EXPECT_TRUE(store.sectionByRank.empty());

    auto win95 = Parse("[Version]\nSignature=\"$Windows 95$\"\n[Manufacturer]\nMfg=Models\n[Models]\nd=Drv,ID\n[Drv]\nx=1\n");
    EXPECT_FALSE(MatchInf(*win95, store, false, {kX86, {5, 1}}));
    auto noManufacturer = Parse("[Version]\nSignature=\"$Windows NT$\"\n[Models]\nd=Drv,ID\n[Drv]\nx=1\n");
    EXPECT_FALSE(MatchInf(*noManufacturer, store, false, {kX86, {5, 1}}));
}

TEST(MatchInf, WindowsTenModelsWinOnATenTarget)
{
    auto inf = Parse("[Version]\nSignature=\"$Windows NT$\"\n[Manufacturer]\nMfg=Models,NTamd64,NTamd64.10.0\n"
                     "[Models.NTamd64]\nold=Old,ID\n[Models.NTamd64.10.0]\nnew=New,ID\n[Old]\nx=1\n[New]\nx=1\n");
    CandidateStore ten(DeviceIds{"ID"});
    EXPECT_TRUE(MatchInf(*inf, ten, false, {kAmd64, {10, 0}}));
    ASSERT_EQ(ten.sectionByRank.count(0), 1u);
    EXPECT_EQ(InfTest::Utf8(ten.sectionByRank.at(0)->GetName()), "NEW");
    EXPECT_EQ(ten.levelByRank.at(0), 0u);

    CandidateStore seven(DeviceIds{"ID"});
    EXPECT_TRUE(MatchInf(*inf, seven, false, {kAmd64, {6, 3}}));
    EXPECT_EQ(seven.sectionByRank.count(0), 0u);
    EXPECT_EQ(InfTest::Utf8(seven.sectionByRank.at(2)->GetName()), "OLD");
}

TEST(MatchInf, EqualRanksPreferredThenNewerThenFirst)
{
    const MatchSettings settings{kAmd64, {6, 1}};
    const std::string models = "[Models.NTamd64]\n%Dev%=Drv,ID\n";
    auto older = Parse(ModelsInf(models, "01/01/2005,1.0"));
    auto newer = Parse(ModelsInf(models, "01/01/2010,1.0"));
    auto same = Parse(ModelsInf(models, "01/01/2010,1.0"));

    // Preferred wins regardless of the date, in either scan order.
    CandidateStore preferredFirst(DeviceIds{"ID"});
    MatchInf(*older, preferredFirst, true, settings);
    MatchInf(*newer, preferredFirst, false, settings);
    // N = 1, level 2: rank 2.
    EXPECT_EQ(preferredFirst.sectionByRank.at(2)->GetInf(), older.get());
    CandidateStore preferredLast(DeviceIds{"ID"});
    MatchInf(*newer, preferredLast, false, settings);
    MatchInf(*older, preferredLast, true, settings);
    EXPECT_EQ(preferredLast.sectionByRank.at(2)->GetInf(), older.get());

    // Equal flags: the newer DriverVer; equal DriverVer: the first one scanned stays.
    CandidateStore byDate(DeviceIds{"ID"});
    MatchInf(*older, byDate, false, settings);
    MatchInf(*newer, byDate, false, settings);
    MatchInf(*same, byDate, false, settings);
    EXPECT_EQ(byDate.sectionByRank.at(2)->GetInf(), newer.get());
}

TEST(CandidateStore, PreferredCandidatesAreTriedFirst)
{
    auto plain = Parse(ModelsInf("[Models.NTamd64]\n%Dev%=Drv,A\n"));
    auto preferred = Parse(ModelsInf("[Models.NTamd64]\n%Dev%=Drv,X,B\n"));
    CandidateStore store(DeviceIds{"A", "B"});
    MatchInf(*plain, store, false, {kAmd64, {5, 2}});
    MatchInf(*preferred, store, true, {kAmd64, {5, 2}});
    // Ranks: plain 2*2+0+0 = 4, preferred 2*2+2+1 = 7; the preferred one goes first anyway.
    EXPECT_EQ(store.TryOrder(), (std::vector<uint32_t>{7, 4}));
}

// The scan matches each INF against all devices in one pass; every store must end as it
// would have when matched on its own, on real INF files of every kind.
TEST(MatchInf, AllDevicesAtOnceEqualsOneByOne)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const DeviceList devices{DeviceIds{"PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4", "PCI\\VEN_1AF4&DEV_1001", "PCI\\CC_010000"},
                             DeviceIds{"PCI\\VEN_144D&DEV_A808", "PCI\\CC_010802"},
                             DeviceIds{"ACPI\\PNP0A03", "*PNP0A03", "PCI\\CC_0604"},
                             DeviceIds{"PCI\\VEN_8086&DEV_7111", "PCI\\CC_0101"}};
    size_t matches = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(data / "inf")) {
        if (!item.is_regular_file() || item.path().extension() != ".inf") continue;
        const std::vector<uint8_t> bytes = TestSupport::ReadFileBytes(item.path());
        auto inf = InfTest::Parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        if (!inf) continue;
        for (const MatchSettings settings : {MatchSettings{kX86, {5, 1}}, MatchSettings{kAmd64, {10, 0}}}) {
            std::vector<CandidateStore> together, alone;
            for (const DeviceIds& device : devices) {
                together.emplace_back(device);
                alone.emplace_back(device);
            }
            std::vector<CandidateStore*> stores;
            for (CandidateStore& store : together) stores.push_back(&store);
            const std::vector<bool> flags = MatchInf(*inf, stores, false, settings);
            for (size_t d = 0; d < devices.size(); ++d) {
                EXPECT_EQ(flags[d], MatchInf(*inf, alone[d], false, settings)) << item.path();
                EXPECT_EQ(together[d].sectionByRank, alone[d].sectionByRank) << item.path();
                EXPECT_EQ(together[d].namesByRank, alone[d].namesByRank) << item.path();
                EXPECT_EQ(together[d].levelByRank, alone[d].levelByRank) << item.path();
                matches += alone[d].sectionByRank.size();
            }
        }
    }
    EXPECT_GT(matches, 0u) << "the devices match some of the real INF files";
}
