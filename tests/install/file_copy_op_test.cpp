// File copy on target trees built here: DestinationDirs, skip flags, the source layout of
// real and written INF files, the Driver Cache, the driver store of an INF already in the
// target, the host's fallback, and hostile names on the way.
#include <gtest/gtest.h>

#include <filesystem>

#include "inf/driver_sources.h"
#include "inf/memory_file.h"
#include "inf/win_sources.h"
#include "support/trace_capture.h"
#include "install/file_copy_op.h"
#include "install/index_files.h"
#include "support/fixtures.h"
#include "support/logger.h"
#include "support/text.h"
#include "transvia/codes.h"

namespace fs = std::filesystem;
using Processor::String;
using namespace Transvia;

namespace {

constexpr uint32_t kAmd64 = 3, kX86 = 1;

class Fallback final : public LocationCallback {
public:
    void FindLocation(std::shared_ptr<Common::i_dir>& location, const String& fileName) override
    {
        asked.push_back(Processor::ToUtf8(fileName));
        location = folder;
    }
    std::shared_ptr<Common::i_dir> folder;
    std::vector<std::string> asked;
};

class FileCopyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* folder : {"Windows/System32/drivers", "Windows/INF", "Windows/Driver Cache", "pkg", "outside"})
            fs::create_directories(scratch_.path() / folder);
        sources_ = CreateWinSources(scratch_.dir(), u"Windows");
        ASSERT_TRUE(sources_);
    }

    // Parses `text` as the package INF "pkg.inf" in folder `folder`.
    Inf& Load(const std::string& text, const std::string& folder = "pkg")
    {
        scratch_.write(folder + "/pkg.inf", text);
        MemoryFile file(text);
        ParseError error;
        inf_ = ParseInf(file, nullptr, &error, 0);
        EXPECT_TRUE(inf_) << "line " << error.line;
        return *inf_;
    }

    Common::Error Run(const char16_t* name, uint32_t platform = kAmd64, const std::string& folder = "pkg",
                      CabSource* cab = nullptr)
    {
        auto op = CreateFileCopyOp(*sources_, platform);
        op->SetFallbackSources(fallback_.get());
        op->SetSourceLayout(layout_.get());
        op->SetCabSource(cab);
        return op->Execute(*inf_, *scratch_.dir(folder), name, u"pkg.inf");
    }

    bool Has(const std::string& path) const { return fs::exists(fs::symlink_status(scratch_.path() / path)); }
    std::string Read(const std::string& path) const { return scratch_.read(path); }

    TestSupport::ScratchDir scratch_;
    std::unique_ptr<WinSources> sources_;
    std::unique_ptr<Inf> inf_;
    std::unique_ptr<DriverSources> layout_;
    std::unique_ptr<Fallback> fallback_;
    TestSupport::TraceCapture trace_;
};

const char* const kSectionsInf = R"([Version]
Signature="$Windows NT$"
[DestinationDirs]
DefaultDestDir = 11
Files.Drv = 12, \%Sub%
Files.Skip = 12
Files.Odd = 012
[Files.Drv]
only.sys
dest.sys, %Src%
[Files.Skip]
keep.sys,,,0x10
replace.sys,,,0x400
absent.sys,,,0x00000400
new.sys,,,0x10
[Files.Bad]
first.sys
second.sys,,,zz
[Files.Odd]
only.sys
[Files.Missing]
first.sys
missing.sys
third.sys
[Strings]
Sub = "x"
Src = "src.sys"
)";

TEST_F(FileCopyTest, DestinationDirsAndSkipFlags)
{
    Load(kSectionsInf);
    for (const char* name : {"only.sys", "src.sys", "single.sys", "keep.sys", "replace.sys", "absent.sys", "new.sys", "first.sys"})
        scratch_.write(std::string("pkg/") + name, std::string("pkg ") + name);
    scratch_.write("Windows/System32/drivers/keep.sys", "old keep");
    scratch_.write("Windows/System32/drivers/replace.sys", "old replace");

    // Id 12 with subfolder x: system32\drivers\x is created; a line with only a name copies that name.
    ASSERT_TRUE(Run(u"Files.Drv").empty()) << trace_.All();
    EXPECT_EQ(Read("Windows/System32/drivers/x/only.sys"), "pkg only.sys");
    EXPECT_EQ(Read("Windows/System32/drivers/x/dest.sys"), "pkg src.sys");

    // "@file" goes to DefaultDestDir under its own name.
    ASSERT_TRUE(Run(u"@single.sys").empty());
    EXPECT_EQ(Read("Windows/System32/single.sys"), "pkg single.sys");

    ASSERT_TRUE(Run(u"files.skip").empty());
    EXPECT_EQ(Read("Windows/System32/drivers/keep.sys"), "old keep");
    EXPECT_EQ(Read("Windows/System32/drivers/replace.sys"), "pkg replace.sys");
    EXPECT_FALSE(Has("Windows/System32/drivers/absent.sys"));
    EXPECT_EQ(Read("Windows/System32/drivers/new.sys"), "pkg new.sys");
    EXPECT_TRUE(trace_.HasCode(0, "File 'files.skip:keep.sys' skipped.")) << trace_.All();
    EXPECT_TRUE(trace_.HasCode(0, "File 'files.skip:absent.sys' skipped.")) << trace_.All();
}

TEST_F(FileCopyTest, SectionAndDestinationErrors)
{
    Load(kSectionsInf);
    scratch_.write("pkg/first.sys", "1");
    scratch_.write("pkg/third.sys", "3");
    Common::Error error = Run(u"");
    EXPECT_EQ(error.code(), Common::Codes::kInvalidArgument);
    EXPECT_TRUE(trace_.HasCode(Common::Codes::kInvalidArgument, "Empty file section name was specified for copying."));
    EXPECT_EQ(Run(u"No.Such.Section").code(), Common::Codes::kCopySectionNotFound);
    // A flags field that is not a number fails the section; the file before it stays.
    EXPECT_EQ(Run(u"Files.Bad").code(), Common::Codes::kCopyLineInvalid);
    EXPECT_TRUE(Has("Windows/System32/first.sys"));
    // "012" is not id 12.
    EXPECT_EQ(Run(u"Files.Odd").code(), Common::Codes::kCopySectionNotFound);
    EXPECT_TRUE(trace_.HasCode(0, "CopyFiles(Files.Odd): Failed to open target dir '012/'")) << trace_.All();
    // The first missing file ends the section.
    EXPECT_EQ(Run(u"Files.Missing").code(), Common::Codes::kCopySourceNotFound);
    EXPECT_FALSE(Has("Windows/System32/third.sys"));

    Load("[Version]\n[Files]\na.sys\n");
    EXPECT_EQ(Run(u"Files").code(), Common::Codes::kCopySectionNotFound);
    Load("[DestinationDirs]\nOther = 12\n[Files]\na.sys\n");
    EXPECT_EQ(Run(u"Files").code(), Common::Codes::kCopyLineInvalid);
    EXPECT_TRUE(trace_.HasCode(0, "CopyFiles(Files): Unable to find destination for this file")) << trace_.All();
}

TEST_F(FileCopyTest, HostileNamesAndLinksStayInsideTheTarget)
{
    Load(R"([DestinationDirs]
Up = 12, ..\..\..\..\outside
Linked = 12, link
[Up]
good.sys
[Linked]
good.sys
)");
    scratch_.write("pkg/good.sys", "good");
    scratch_.write("secret.sys", "secret");
    fs::create_directory_symlink(scratch_.path() / "outside", scratch_.path() / "Windows/System32/drivers/link");
    EXPECT_EQ(Run(u"Up").code(), Common::Codes::kCopySectionNotFound);
    EXPECT_EQ(Run(u"Linked").code(), Common::Codes::kCopySectionNotFound);
    for (const char* line : {"..\\..\\..\\outside\\a.sys, good.sys", "good.sys, ..\\secret.sys", "good.sys, C:secret.sys",
                             "good.sys, /etc/passwd"}) {
        Load(std::string("[DestinationDirs]\nDefaultDestDir = 12\n[Names]\n") + line + "\n");
        EXPECT_EQ(Run(u"Names").code(), Common::Codes::kCopyNameRefused) << line;
    }
    EXPECT_TRUE(fs::is_empty(scratch_.path() / "outside"));
    EXPECT_TRUE(trace_.HasCode(Common::Codes::kCopyNameRefused, "secret.sys")) << trace_.All();

    // A destination that is a link out of the target is replaced, not written through.
    scratch_.write("outside/victim.sys", "victim");
    fs::remove(scratch_.path() / "Windows/System32/drivers/link");
    fs::create_symlink(scratch_.path() / "outside/victim.sys", scratch_.path() / "Windows/System32/drivers/good.sys");
    Load("[DestinationDirs]\nDefaultDestDir = 12\n[Plain]\ngood.sys\n");
    ASSERT_TRUE(Run(u"Plain").empty());
    EXPECT_FALSE(fs::is_symlink(scratch_.path() / "Windows/System32/drivers/good.sys"));
    EXPECT_EQ(Read("Windows/System32/drivers/good.sys"), "good");
    EXPECT_EQ(Read("outside/victim.sys"), "victim");
}

TEST_F(FileCopyTest, SourceLayoutSubfoldersOfARealInfPerArchitecture)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const fs::path real = data / "inf/arsenal-image-mounter/DriverSetup/Win7/phdskmnt.inf";
    if (!fs::exists(real)) GTEST_SKIP() << real << " is missing";
    const auto bytes = TestSupport::ReadFileBytes(real);
    const std::string text(bytes.begin(), bytes.end());
    for (auto [platform, folder] : {std::pair{kAmd64, "amd64"}, std::pair{kX86, "i386"}}) {
        SCOPED_TRACE(folder);
        fs::remove_all(scratch_.path() / "pkg");
        scratch_.write("pkg/amd64/phdskmnt.sys", "amd64 driver");
        scratch_.write("pkg/i386/phdskmnt.sys", "i386 driver");
        scratch_.write("pkg/ia64/phdskmnt.sys", "ia64 driver");
        Inf& inf = Load(text);
        layout_ = CreateDriverSources(scratch_.dir("pkg"), nullptr, inf.FindSection(u"PhysicalDiskMounterDevice"),
                                      u"pkg.inf", platform);
        ASSERT_TRUE(layout_);
        ASSERT_TRUE(Run(u"@phdskmnt.sys", platform).empty()) << trace_.All();
        EXPECT_EQ(Read("Windows/System32/drivers/phdskmnt.sys"), std::string(folder) + " driver");
    }
}

TEST_F(FileCopyTest, DiskThenFileSubfoldersAndTheDriverCache)
{
    Inf& inf = Load(R"([Version]
Signature="$Windows NT$"
[Install]
CopyFiles = Files
[DestinationDirs]
DefaultDestDir = 12
[Files]
a.sys
b.sys
c.sys
[SourceDisksNames.amd64]
1 = "Disk",,,disk1
[SourceDisksFiles.amd64]
a.sys = 1, sub
b.sys = 1
c.sys = 1, ..\..\outside
)");
    scratch_.write("pkg/disk1/sub/a.sys", "a in disk1\\sub");
    scratch_.write("pkg/disk1/b.sys", "b in disk1");
    scratch_.write("outside/c.sys", "c outside");
    scratch_.write("Windows/Driver Cache/c.sys", "c in cache");
    layout_ = CreateDriverSources(scratch_.dir("pkg"), nullptr, inf.FindSection(u"Install"), u"pkg.inf", kAmd64);
    ASSERT_TRUE(layout_);
    // Without a CabSource the Driver Cache is not searched.
    EXPECT_EQ(Run(u"Files").code(), Common::Codes::kCopySourceNotFound);
    CabSourceImpl cab;
    ASSERT_TRUE(Run(u"Files", kAmd64, "pkg", &cab).empty()) << trace_.All();
    EXPECT_EQ(Read("Windows/System32/drivers/a.sys"), "a in disk1\\sub");
    EXPECT_EQ(Read("Windows/System32/drivers/b.sys"), "b in disk1");
    EXPECT_EQ(Read("Windows/System32/drivers/c.sys"), "c in cache");
    EXPECT_TRUE(trace_.HasCode(Common::Codes::kCopyNameRefused, "outside")) << trace_.All();
    EXPECT_TRUE(trace_.HasCode(0, "CopyFiles(c.sys): File found in '")) << trace_.All();
}

TEST_F(FileCopyTest, AnInfInTheTargetTakesItsFilesFromTheDriverStore)
{
    const std::string text = "[DestinationDirs]\nDefaultDestDir = 12\n[Files]\ninplace.sys\nstored.sys\n";
    Load(text, "Windows/INF");
    scratch_.write("Windows/System32/drivers/inplace.sys", "in place");
    // Without index files the store is not searched: traced, and the file is not found.
    EXPECT_EQ(Run(u"Files", kAmd64, "Windows/INF").code(), Common::Codes::kCopySourceNotFound);
    EXPECT_TRUE(trace_.HasCode(Common::Codes::kDriverStoreIndex, "infpub.dat")) << trace_.All();
    EXPECT_TRUE(trace_.HasCode(0, "CopyFiles(inplace.sys): File is already in place.")) << trace_.All();

    IndexTest::IndexFiles index;
    index.Bucket(Transvia::DriverStoreIndex::Bucket(u"pkg.inf"),
                 index.Entry(u"PKG.INF", IndexTest::kNone, IndexTest::Only(index.Store(u"pkg.inf_amd64_0123"))));
    scratch_.write("Windows/System32/DriverStore/infpub.dat", index.Published());
    scratch_.write("Windows/System32/DriverStore/infstor.dat", index.stor_);
    scratch_.write("Windows/System32/DriverStore/FileRepository/pkg.inf_amd64_0123/stored.sys", "from the store");
    ASSERT_TRUE(Run(u"Files", kAmd64, "Windows/INF").empty()) << trace_.All();
    EXPECT_EQ(Read("Windows/System32/drivers/stored.sys"), "from the store");
    EXPECT_EQ(Read("Windows/System32/drivers/inplace.sys"), "in place");
}

TEST_F(FileCopyTest, TheHostIsAskedOnlyForFilesFoundNowhere)
{
    Load("[DestinationDirs]\nDefaultDestDir = 12\n[Files]\nhere.sys\nmedia.sys\n");
    scratch_.write("pkg/here.sys", "here");
    fallback_ = std::make_unique<Fallback>();
    EXPECT_EQ(Run(u"Files").code(), Common::Codes::kCopySourceNotFound);
    EXPECT_EQ(fallback_->asked, std::vector<std::string>{"media.sys"});
    scratch_.write("media/media.sys", "from the media");
    fallback_->folder = scratch_.dir("media");
    ASSERT_TRUE(Run(u"Files").empty());
    EXPECT_EQ(Read("Windows/System32/drivers/media.sys"), "from the media");
}

}  // namespace
