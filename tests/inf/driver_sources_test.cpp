// The file records of driver packages: layouts per architecture, the layout INF, the INF
// and catalog marks, on INF snippets and on real packages of the shared corpus.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "inf/architecture.h"
#include "inf/driver_sources.h"
#include "inf_test_util.h"
#include "support/fixtures.h"
#include "support/trace_capture.h"

namespace {

using namespace Transvia;
using InfTest::Utf8;

std::string U(const Processor::String& text) { return Processor::ToUtf8(text); }

// "name|arch|disk|file|size|flags" per record, so a whole list compares in one line.
std::vector<std::string> Lines(const DriverSources& sources)
{
    std::vector<std::string> lines;
    for (uint32_t index = 0; index < sources.Count(); ++index) {
        const FileRecord* record = sources.Record(index);
        lines.push_back(U(record->name) + "|" + U(record->architecture) + "|" + U(record->diskPath) + "|" +
                        U(record->filePath) + "|" + std::to_string(record->size) + "|" +
                        std::to_string(record->flags));
    }
    return lines;
}

using List = std::vector<std::string>;

class DriverSourcesTest : public testing::Test {
protected:
    // Parses `text` as the package's INF and writes it and `extraFiles` into the package folder.
    std::unique_ptr<DriverSources> Build(const std::string& text, const char16_t* section, uint32_t platform,
                                         Inf* layout = nullptr, const char16_t* infName = u"pkg.inf")
    {
        scratch.write("pkg/" + Utf8(infName), text);
        inf = InfTest::Parse(text);
        EXPECT_NE(inf, nullptr);
        Section* install = inf ? inf->FindSection(section) : nullptr;
        EXPECT_NE(install, nullptr) << Utf8(section);
        return CreateDriverSources(scratch.dir("pkg"), layout, install, infName, platform);
    }

    TestSupport::ScratchDir scratch;
    std::unique_ptr<Inf> inf;
};

constexpr const char* kTwoLayouts = R"(
[Version]
Signature = "$Windows NT$"
[Install]
CopyFiles = Files
[Files]
drv.sys
helper.dll, helper_src.dll
[SourceDisksFiles.amd64]
drv.sys = 2, \amd64\, 0x400
[SourceDisksFiles.x86]
drv.sys = 3, i386
helper_src.dll = 3
[SourceDisksFiles]
drv.sys = 1, ., 1000
helper_src.dll = 1, common
[SourceDisksNames]
1 = "Disk",,,.
2 = "Disk two",,,disk2
3 = "Disk three",,,x86disk
[SourceDisksNames.amd64]
2 = "Disk two for amd64",,,\disk2_64
)";

// The decorated section comes first in the file, so its layout comes first; another
// architecture's section (and its disk) is never used. Without [SourceDisksNames.x86] the
// undecorated disk 3 gives the x86 folder. A package staged whole for Windows (platform
// unknown) keeps the layouts of every architecture.
TEST_F(DriverSourcesTest, LayoutsOfEachArchitectureInSectionOrder)
{
    const std::pair<uint32_t, List> cases[] = {
        {InfPlatform::kAmd64,
         {"drv.sys|amd64|disk2_64|amd64|1024|0", "drv.sys||||1000|0", "helper_src.dll|||common|0|0", "pkg.inf||||0|1"}},
        {InfPlatform::kX86,
         {"drv.sys|x86|x86disk|i386|0|0", "drv.sys||||1000|0", "helper_src.dll|x86|x86disk||0|0",
          "helper_src.dll|||common|0|0", "pkg.inf||||0|1"}},
        {InfPlatform::kUnknown,
         {"drv.sys|amd64|disk2_64|amd64|1024|0", "drv.sys|x86|x86disk|i386|0|0", "drv.sys||||1000|0",
          "helper_src.dll|x86|x86disk||0|0", "helper_src.dll|||common|0|0", "pkg.inf||||0|1"}},
    };
    for (const auto& [platform, expected] : cases) {
        auto sources = Build(kTwoLayouts, u"Install", platform);
        ASSERT_NE(sources, nullptr);
        EXPECT_EQ(Lines(*sources), expected) << platform;
    }
}

TEST_F(DriverSourcesTest, UndecoratedSectionFirstInTheFileComesFirst)
{
    const std::string text = R"(
[Install]
CopyFiles = @drv.sys
[SourceDisksFiles]
drv.sys = 1
[SourceDisksFiles.AMD64]
DRV.SYS = 1, x64
[SourceDisksNames]
1 = "Disk",,,"disk1\"
)";
    auto sources = Build(text, u"install", InfPlatform::kAmd64);
    ASSERT_NE(sources, nullptr);
    EXPECT_EQ(Lines(*sources), (List{"drv.sys||disk1||0|0", "drv.sys|amd64|disk1|x64|0|0", "pkg.inf||||0|1"}));
}

TEST_F(DriverSourcesTest, MissingDiskIsAWarningAndAFileWithoutLayoutHasOnePlainRecord)
{
    const std::string text = R"(
[Install]
CopyFiles = Files, @extra.dat
[Files]
drv.sys
nolayout.sys
[SourceDisksFiles]
drv.sys = 9, sub, notanumber
)";
    TestSupport::TraceCapture trace;
    auto sources = Build(text, u"Install", InfPlatform::kAmd64);
    ASSERT_NE(sources, nullptr);
    // A size that does not read stays 0; the record keeps its file folder.
    EXPECT_EQ(Lines(*sources), (List{"drv.sys|||sub|0|0", "nolayout.sys||||0|0", "extra.dat||||0|0", "pkg.inf||||0|1"}));
    bool warned = false;
    for (const auto& item : trace.items)
        warned |= item.code == Common::Codes::kInvalidFormat && item.text.find("'9'") != std::string::npos;
    EXPECT_TRUE(warned);
}

TEST_F(DriverSourcesTest, CoInstallerFilesFollowTheInstallSectionFiles)
{
    const std::string text = R"(
[Install.NT]
CopyFiles = Files
[Install.NT.CoInstallers]
CopyFiles = CoFiles
[Files]
drv.sys
[CoFiles]
coinst.dll
drv.sys
)";
    auto sources = Build(text, u"Install.NT", InfPlatform::kX86);
    ASSERT_NE(sources, nullptr);
    EXPECT_EQ(Lines(*sources), (List{"drv.sys||||0|0", "coinst.dll||||0|0", "pkg.inf||||0|1"}));
}

// A section the INF lacks: an error, unless the install section includes other INF files.
// With the INF folder at hand the section comes from the first included INF that has it,
// as for a package that installs through machine.inf's own sections; without it the
// section is taken to copy the target's own files.
TEST_F(DriverSourcesTest, CopyFilesSectionOfAnIncludedInf)
{
    scratch.write("inf/machine.inf", "[Version]\nSignature=\"$Windows NT$\"\n[PCI_ISA_CopyFiles.NT]\nisapnp.sys\n");
    auto logger = Transvia::CreateLogger(true);
    auto cache = CreateInfCache(scratch.dir("inf"), false, *logger);
    ASSERT_NE(cache, nullptr);
    const std::string text = "[Install]\nInclude = missing.inf, machine.inf\nCopyFiles = PCI_ISA_CopyFiles.NT, Own\n"
                             "[Own]\nown.sys\n[Absent]\nInclude = machine.inf\nCopyFiles = NoSuchSection\n"
                             "[Plain]\nCopyFiles = NoSuchSection\n";
    scratch.write("pkg/pkg.inf", text);
    inf = InfTest::Parse(text);
    ASSERT_NE(inf, nullptr);
    auto build = [&](const char16_t* section, InfCache* includes) {
        return CreateDriverSources(scratch.dir("pkg"), nullptr, inf->FindSection(section), u"pkg.inf",
                                   InfPlatform::kAmd64, includes);
    };
    EXPECT_EQ(Lines(*build(u"Install", cache.get())), (List{"isapnp.sys||||0|0", "own.sys||||0|0", "pkg.inf||||0|1"}));
    EXPECT_EQ(Lines(*build(u"Install", nullptr)), (List{"own.sys||||0|0", "pkg.inf||||0|1"}));
    for (const auto& [section, includes] : {std::pair{u"Absent", cache.get()}, std::pair{u"Plain", static_cast<InfCache*>(nullptr)}}) {
        try {
            build(section, includes);
            ADD_FAILURE() << "no error";
        } catch (const Common::Error& error) {
            EXPECT_EQ(error.code(), Common::Codes::kSectionNotFound);
            EXPECT_EQ(Utf8(error.text()), "NoSuchSection");
        }
    }
}

TEST_F(DriverSourcesTest, LayoutInfAddsWhatTheInfDoesNotGive)
{
    auto layout = InfTest::Parse(R"(
[SourceDisksNames.amd64]
1 = "CD",,,\amd64
[SourceDisksFiles.amd64]
drv.sys = 1
other.sys = 1, drivers
)");
    ASSERT_NE(layout, nullptr);
    const std::string text = R"(
[Version]
LayoutFile = layout.inf
[Install]
CopyFiles = Files
[Files]
drv.sys
other.sys
[SourceDisksFiles]
drv.sys = 1
[SourceDisksNames]
1 = "Disk",,,pkgdisk
)";
    auto sources = Build(text, u"Install", InfPlatform::kAmd64, layout.get());
    ASSERT_NE(sources, nullptr);
    // other.sys: the INF has no layout (one plain record), the layout INF adds its own.
    EXPECT_EQ(Lines(*sources), (List{"drv.sys||pkgdisk||0|0", "drv.sys|amd64|amd64||0|0", "other.sys||||0|0",
                                     "other.sys|amd64|amd64|drivers|0|0", "pkg.inf||||0|1"}));
}

TEST_F(DriverSourcesTest, CatalogChosenByDecorationThenNtThenPlainThenBaseName)
{
    scratch.write("pkg/c64.cat", "x");
    scratch.write("pkg/cnt.cat", "x");
    scratch.write("pkg/plain.cat", "x");
    scratch.write("pkg/PKG.CAT", "x");
    const std::string all = "[Version]\nCatalogFile = plain.cat\nCatalogFile.NT = cnt.cat\n"
                            "CatalogFile.NTAMD64 = c64.cat\n[Install]\n";
    auto sources = Build(all, u"Install", InfPlatform::kAmd64);
    ASSERT_NE(sources, nullptr);
    EXPECT_EQ(Lines(*sources).back(), "c64.cat||||0|2");
    // The decoration of another platform does not count.
    sources = Build(all, u"Install", InfPlatform::kX86);
    EXPECT_EQ(Lines(*sources).back(), "cnt.cat||||0|2");
    sources = Build("[Version]\nCatalogFile = plain.cat\n[Install]\n", u"Install", InfPlatform::kX86);
    EXPECT_EQ(Lines(*sources).back(), "plain.cat||||0|2");
    // No CatalogFile line: the INF's base name, found whatever its letter case.
    sources = Build("[Version]\n[Install]\n", u"Install", InfPlatform::kX86);
    EXPECT_EQ(Lines(*sources), (List{"pkg.inf||||0|1", "pkg.cat||||0|2"}));
    // A named catalog that the folder lacks is left out.
    sources = Build("[Version]\nCatalogFile = absent.cat\n[Install]\n", u"Install", InfPlatform::kX86);
    EXPECT_EQ(Lines(*sources), (List{"pkg.inf||||0|1"}));
    // A catalog name that leaves the package folder is not looked for outside it.
    scratch.write("outside.cat", "x");
    sources = Build("[Version]\nCatalogFile = ..\\outside.cat\n[Install]\n", u"Install", InfPlatform::kX86);
    EXPECT_EQ(Lines(*sources), (List{"pkg.inf||||0|1"}));
}

TEST_F(DriverSourcesTest, MissingArgumentsGiveNothingAndATrace)
{
    TestSupport::TraceCapture trace;
    inf = InfTest::Parse("[Install]\n");
    ASSERT_NE(inf, nullptr);
    EXPECT_EQ(CreateDriverSources(scratch.dir(), nullptr, nullptr, u"a.inf", 3), nullptr);
    EXPECT_EQ(CreateDriverSources(nullptr, nullptr, inf->FindSection(u"Install"), u"a.inf", 3), nullptr);
    EXPECT_TRUE(trace.Has(4, "CreateDriverSources: Invalid arguments"));
}

TEST_F(DriverSourcesTest, MergeAddsOnlyNewRecordsAndCloneIsIndependent)
{
    auto first = Build(kTwoLayouts, u"Install", InfPlatform::kAmd64);
    auto second = Build(kTwoLayouts, u"Install", InfPlatform::kX86, nullptr, u"other.inf");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    auto clone = first->Clone();
    first->Merge(*second);
    // From the x86 list only what amd64 did not have, in the x86 list's order.
    EXPECT_EQ(Lines(*first), (List{"drv.sys|amd64|disk2_64|amd64|1024|0", "drv.sys||||1000|0",
                                   "helper_src.dll|||common|0|0", "pkg.inf||||0|1", "drv.sys|x86|x86disk|i386|0|0",
                                   "helper_src.dll|x86|x86disk||0|0", "other.inf||||0|1"}));
    EXPECT_EQ(clone->Count(), 4u);
    first->Merge(*first);
    EXPECT_EQ(first->Count(), 7u);
    EXPECT_EQ(first->Record(7), nullptr);
    EXPECT_EQ(first->Record(UINT32_MAX), nullptr);
}

// --- real packages ---------------------------------------------------------------------

std::unique_ptr<Inf> ParseReal(const std::filesystem::path& path)
{
    const std::vector<uint8_t> bytes = TestSupport::ReadFileBytes(path);
    MemoryFile file(bytes);
    ParseError error;
    return ParseInf(file, nullptr, &error, 0);
}

TEST(DriverSourcesReal, ArchitectureFoldersOfAMultiPlatformPackage)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const auto folderPath = data / "inf/arsenal-image-mounter/DriverSetup/Win7";
    auto inf = ParseReal(folderPath / "phdskmnt.inf");
    ASSERT_NE(inf, nullptr);
    Common::Error error;
    auto folder = Common::OpenLocalDirectory(folderPath.string(), &error);
    ASSERT_NE(folder, nullptr);
    Section* install = inf->FindSection(u"PhysicalDiskMounterDevice");
    ASSERT_NE(install, nullptr);
    const std::pair<uint32_t, std::string> expected[] = {
        {InfPlatform::kX86, "phdskmnt.sys|x86||i386|0|0"},
        {InfPlatform::kIa64, "phdskmnt.sys|ia64||ia64|0|0"},
        {InfPlatform::kAmd64, "phdskmnt.sys|amd64||amd64|0|0"},
    };
    for (const auto& [platform, line] : expected) {
        auto sources = CreateDriverSources(folder, nullptr, install, u"phdskmnt.inf", platform);
        ASSERT_NE(sources, nullptr);
        // The folder holds no phdskmnt.cat, so no catalog record.
        EXPECT_EQ(Lines(*sources), (List{line, "phdskmnt.inf||||0|1"}));
    }
}

class RealPackage : public testing::Test {
protected:
    // Copies one real INF into a scratch package folder, optionally edited.
    std::unique_ptr<Inf> Stage(const std::filesystem::path& source, const std::string& name,
                               const std::function<std::string(std::string)>& edit = {})
    {
        std::string text;
        for (uint8_t byte : TestSupport::ReadFileBytes(source))
            text.push_back(static_cast<char>(byte));
        if (edit) text = edit(text);
        scratch.write("pkg/" + name, text);
        return InfTest::Parse(text);
    }
    TestSupport::ScratchDir scratch;
};

TEST_F(RealPackage, CatalogOfTheInfBaseNameWithoutCatalogLine)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    auto inf = Stage(data / "inf/reactos-0.4.13/media/inf/machine.inf", "machine.inf");
    ASSERT_NE(inf, nullptr);
    auto layout = ParseReal(data / "inf/reactos-0.4.13/media/inf/layout.inf");
    ASSERT_NE(layout, nullptr);
    scratch.write("pkg/machine.cat", "catalog");
    auto sources = CreateDriverSources(scratch.dir("pkg"), layout.get(), inf->FindSection(u"PCI_Inst.NT"),
                                       u"machine.inf", InfPlatform::kX86);
    ASSERT_NE(sources, nullptr);
    EXPECT_EQ(Lines(*sources), (List{"pci.sys||||0|0", "machine.inf||||0|1", "machine.cat||||0|2"}));
}

TEST_F(RealPackage, CoInstallersAndNamedCatalog)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    auto inf = Stage(data / "inf/virtio-win-kvm-guest-drivers-windows/viorng/src/viorng.inf", "viorng.inf");
    ASSERT_NE(inf, nullptr);
    scratch.write("pkg/VIORNG.cat", "catalog");
    auto sources = CreateDriverSources(scratch.dir("pkg"), nullptr, inf->FindSection(u"VirtRng_Device.NT"),
                                       u"viorng.inf", InfPlatform::kAmd64);
    ASSERT_NE(sources, nullptr);
    EXPECT_EQ(Lines(*sources), (List{"viorng.sys||||0|0", "WdfCoInstaller$KMDFCOINSTALLERVERSION$.dll||||0|0",
                                     "viorng.inf||||0|1", "viorng.cat||||0|2"}));
}

TEST_F(RealPackage, DecoratedCatalogFilePerPlatform)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    // The package's own INF carries the decorated lines commented out; enabled, they must
    // win over its plain CatalogFile line.
    auto inf = Stage(data / "inf/nvmewin-community/installations/64-bit/Windows10/nvme.inf", "nvme.inf",
                     [](std::string text) {
                         for (size_t at = text.find(";CatalogFile."); at != std::string::npos;
                              at = text.find(";CatalogFile.", at))
                             text.erase(at, 1);
                         return text;
                     });
    ASSERT_NE(inf, nullptr);
    scratch.write("pkg/nvme64.cat", "catalog");
    scratch.write("pkg/nvme86.cat", "catalog");
    auto amd64 = CreateDriverSources(scratch.dir("pkg"), nullptr, inf->FindSection(u"nvme_inst.NTamd64"),
                                     u"nvme.inf", InfPlatform::kAmd64);
    ASSERT_NE(amd64, nullptr);
    EXPECT_EQ(Lines(*amd64), (List{"nvme.sys|amd64|||0|0", "nvme.inf||||0|1", "nvme64.cat||||0|2"}));
    auto x86 = CreateDriverSources(scratch.dir("pkg"), nullptr, inf->FindSection(u"nvme_inst.ntx86"), u"nvme.inf",
                                   InfPlatform::kX86);
    ASSERT_NE(x86, nullptr);
    EXPECT_EQ(Lines(*x86), (List{"nvme.sys|x86|||0|0", "nvme.inf||||0|1", "nvme86.cat||||0|2"}));
}

}  // namespace

// --- a model that is not the parser's ---------------------------------------------------

// An Inf built in memory, for lines the parser never produces (a keyed line without fields).
class FakeInf final : public Inf {
public:
    struct Line : SectionEntry {
        std::u16string key;
        std::vector<std::u16string> fields;
        const char16_t* GetKey() const override { return key.c_str(); }
        uint32_t GetFieldCount() const override { return static_cast<uint32_t>(fields.size()); }
        const char16_t* GetField(int32_t i) const override
        {
            return i >= 0 && static_cast<size_t>(i) < fields.size() ? fields[i].c_str() : nullptr;
        }
    };
    struct Part : Section {
        std::u16string name;
        std::vector<Line> lines;
        Inf* owner = nullptr;
        const char16_t* GetName() const override { return name.c_str(); }
        uint32_t GetEntryCount() const override { return static_cast<uint32_t>(lines.size()); }
        SectionEntry* FindEntry(const char16_t* key) override
        {
            for (Line& line : lines)
                if (!line.key.empty() && Processor::EqualNoCase(std::u16string_view(line.key), key)) return &line;
            return nullptr;
        }
        SectionEntry* GetEntry(int32_t i) override
        {
            return i >= 0 && static_cast<size_t>(i) < lines.size() ? &lines[i] : nullptr;
        }
        Inf* GetInf() const override { return owner; }
    };

    Part& Add(std::u16string name)
    {
        parts.push_back(std::make_unique<Part>());
        parts.back()->name = std::move(name);
        parts.back()->owner = this;
        return *parts.back();
    }
    Section* GetSection(int32_t i) override
    {
        return i >= 0 && static_cast<size_t>(i) < parts.size() ? parts[i].get() : nullptr;
    }
    Section* FindSection(const char16_t* name) override
    {
        for (auto& part : parts)
            if (Processor::EqualNoCase(std::u16string_view(part->name), name)) return part.get();
        return nullptr;
    }
    const char16_t* ExpandString(const char16_t* text, ExternalVariables*) override
    {
        return text == nullptr || text[0] == u'\0' ? nullptr : text;
    }
    const char16_t* GetClassGuid() override { return nullptr; }
    uint32_t GetSectionCount() const override { return static_cast<uint32_t>(parts.size()); }
    const char16_t* GetLayoutFile() override { return nullptr; }
    uint32_t GetChecksum() const override { return 0; }

    std::vector<std::unique_ptr<Part>> parts;
};

TEST(DriverSourcesModel, LayoutLineWithoutFieldsFailsTheBuild)
{
    TestSupport::ScratchDir scratch;
    FakeInf inf;
    FakeInf::Part& install = inf.Add(u"INSTALL");
    install.lines.push_back({});
    install.lines.back().key = u"CopyFiles";
    install.lines.back().fields = {u"@drv.sys"};
    FakeInf::Part& layout = inf.Add(u"SOURCEDISKSFILES");
    layout.lines.push_back({});
    layout.lines.back().key = u"drv.sys";

    TestSupport::TraceCapture trace;
    try {
        CreateDriverSources(scratch.dir(), nullptr, &install, u"pkg.inf", InfPlatform::kAmd64);
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.code(), Common::Codes::kInvalidFormat);
    }
    EXPECT_TRUE(trace.Has(4, "drv.sys"));

    // With a field the same model builds, through the model's own section order.
    layout.lines.back().fields = {u"1", u"sub"};
    auto sources = CreateDriverSources(scratch.dir(), nullptr, &install, u"pkg.inf", InfPlatform::kAmd64);
    ASSERT_NE(sources, nullptr);
    EXPECT_EQ(Lines(*sources), (List{"drv.sys|||sub|0|0", "pkg.inf||||0|1"}));
}
