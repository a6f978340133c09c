// A driver package as one flat read-only folder: files found in the layout folders of the
// target architecture, everything else refused or reached below the package folder.
#include <gtest/gtest.h>

#include <set>

#include "inf/architecture.h"
#include "inf/driver_source_dir.h"
#include "inf_test_util.h"
#include "support/fixtures.h"

namespace {

using namespace Transvia;
using Processor::String;

constexpr const char* kInf = R"(
[Install]
CopyFiles = Files
[Files]
drv.sys
helper.dll
coinst.dll
[SourceDisksNames]
1 = "Disk",,,disk1
[SourceDisksFiles.amd64]
drv.sys = 1, amd64
[SourceDisksFiles.x86]
drv.sys = 1, i386
[SourceDisksFiles]
coinst.dll = 1, common
)";

class DriverSourceDirTest : public testing::Test {
protected:
    void SetUp() override
    {
        scratch.write("pkg/pkg.inf", kInf);
        scratch.write("pkg/Disk1/AMD64/drv.sys", "amd64 driver");
        scratch.write("pkg/Disk1/i386/drv.sys", "x86 driver!");
        scratch.write("pkg/helper.dll", "helper");
        scratch.write("secret.txt", "outside the package");
        inf = InfTest::Parse(kInf);
        ASSERT_NE(inf, nullptr);
        folder = scratch.dir("pkg");
        ASSERT_NE(folder, nullptr);
    }

    std::shared_ptr<DriverSourceDir> View(uint32_t platform, const char16_t* infName = u"pkg.inf")
    {
        auto sources = CreateDriverSources(folder, nullptr, inf->FindSection(u"Install"), infName, platform);
        EXPECT_NE(sources, nullptr);
        return OpenDriverSourceDir(folder, *sources, platform, String(infName));
    }

    static std::string Read(Common::i_file& file)
    {
        std::string text(static_cast<size_t>(file.size()), '\0');
        text.resize(file.read(text.data(), text.size()));
        return text;
    }

    TestSupport::ScratchDir scratch;
    std::unique_ptr<Inf> inf;
    std::shared_ptr<Common::rio_dir> folder;
};

TEST_F(DriverSourceDirTest, FilesComeFromTheLayoutFolderOfTheArchitecture)
{
    auto amd64 = View(InfPlatform::kAmd64);
    auto x86 = View(InfPlatform::kX86);
    ASSERT_NE(amd64, nullptr);
    ASSERT_NE(x86, nullptr);
    auto file = amd64->open_file(u"DRV.SYS");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Read(*file), "amd64 driver");
    file = x86->open_file(u"drv.sys");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Read(*file), "x86 driver!");
    // A file without a layout is found in the package folder itself.
    EXPECT_TRUE(amd64->exists(u"helper.dll"));
    EXPECT_EQ(amd64->stat(u"drv.sys")->size, 12u);
}

TEST_F(DriverSourceDirTest, MissingFilesAndPathsOutsideThePackageAreRefused)
{
    auto view = View(InfPlatform::kAmd64);
    ASSERT_NE(view, nullptr);
    EXPECT_FALSE(view->exists(u"coinst.dll"));
    EXPECT_EQ(view->open_file(u"coinst.dll"), nullptr);
    EXPECT_TRUE(view->last_error().failed());
    EXPECT_EQ(view->open_file(u"..\\secret.txt"), nullptr);
    EXPECT_EQ(view->open_file(u"/etc/passwd"), nullptr);
    EXPECT_EQ(view->open_dir(u".."), nullptr);
    // A longer path inside the package is opened as it is.
    auto file = view->open_file(u"disk1\\i386\\drv.sys");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Read(*file), "x86 driver!");
    EXPECT_FALSE(view->last_error().failed());
}

TEST_F(DriverSourceDirTest, EntriesListThePresentPackageFilesOnce)
{
    auto view = View(InfPlatform::kAmd64);
    ASSERT_NE(view, nullptr);
    auto iterator = view->entries();
    view.reset();  // the iterator keeps what it needs
    std::vector<std::string> names;
    Common::dir_entry entry;
    while (iterator->next(entry)) {
        names.push_back(Processor::ToUtf8(entry.name));
        EXPECT_FALSE(entry.is_dir);
        if (names.back() == "drv.sys") {
            EXPECT_EQ(entry.size, 12u);
        }
    }
    EXPECT_FALSE(iterator->last_error().failed());
    EXPECT_EQ(names, (std::vector<std::string>{"drv.sys", "helper.dll", "pkg.inf"}));
}

TEST_F(DriverSourceDirTest, CandidateFoldersInRecordOrderWithoutRepeats)
{
    auto sources = CreateDriverSources(folder, nullptr, inf->FindSection(u"Install"), u"pkg.inf", InfPlatform::kAmd64);
    ASSERT_NE(sources, nullptr);
    const auto folders = CandidateFolders(folder, sources.get(), String(u"amd64"), String(u"drv.sys"));
    std::vector<std::string> paths;
    for (const auto& candidate : folders)
        paths.push_back(std::filesystem::path(Processor::ToUtf8(candidate->full_path())).lexically_relative(scratch.path()).string());
    // The x86 record is not a candidate for amd64; the disk folder and its amd64 folder are.
    EXPECT_EQ(paths, (std::vector<std::string>{"pkg", "pkg/Disk1", "pkg/Disk1/AMD64"}));
    // A file without records has only the package folder.
    EXPECT_EQ(CandidateFolders(folder, sources.get(), String(u"amd64"), String(u"other.sys")).size(), 1u);
    EXPECT_TRUE(CandidateFolders(nullptr, sources.get(), String(u"amd64"), String(u"drv.sys")).empty());
}

TEST_F(DriverSourceDirTest, IdentityReopenAndComparison)
{
    auto first = View(InfPlatform::kAmd64);
    auto second = View(InfPlatform::kAmd64);
    auto other = View(InfPlatform::kAmd64, u"other.inf");
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->Identifier() == second->Identifier());
    EXPECT_FALSE(first->Identifier() == other->Identifier());
    EXPECT_EQ(first->compare(*second), 0);
    EXPECT_EQ(first->compare(*folder), 0);
    EXPECT_EQ(first->full_path(), folder->full_path());

    auto reopened = first->reopen();
    ASSERT_NE(reopened, nullptr);
    first.reset();
    auto file = reopened->open_file(u"drv.sys");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Read(*file), "amd64 driver");
    EXPECT_EQ(OpenDriverSourceDir(nullptr, *CreateDriverSources(folder, nullptr, inf->FindSection(u"Install"),
                                                                 u"pkg.inf", 3),
                                  3, String()),
              nullptr);
}

}  // namespace

namespace {

TEST(DriverSourceDirHostile, LayoutFoldersOutsideThePackageAreNeverCandidates)
{
    const std::string text = R"(
[Install]
CopyFiles = @secret.txt, @passwd
[SourceDisksNames]
1 = "Disk",,,..
2 = "Disk",,,/etc
[SourceDisksFiles]
secret.txt = 1
passwd = 2
secret.txt = 3, ..\..
)";
    TestSupport::ScratchDir scratch;
    scratch.write("pkg/pkg.inf", text);
    scratch.write("secret.txt", "outside the package");
    auto inf = InfTest::Parse(text);
    ASSERT_NE(inf, nullptr);
    auto folder = scratch.dir("pkg");
    auto sources = CreateDriverSources(folder, nullptr, inf->FindSection(u"Install"), u"pkg.inf", InfPlatform::kAmd64);
    ASSERT_NE(sources, nullptr);
    auto view = OpenDriverSourceDir(folder, *sources, InfPlatform::kAmd64, Processor::String(u"pkg.inf"));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->open_file(u"secret.txt"), nullptr);
    EXPECT_EQ(view->open_file(u"passwd"), nullptr);
    EXPECT_EQ(CandidateFolders(folder, sources.get(), Processor::String(u"amd64"), Processor::String(u"secret.txt")).size(), 1u);
    auto iterator = view->entries();
    Common::dir_entry entry;
    std::vector<std::string> names;
    while (iterator->next(entry))
        names.push_back(Processor::ToUtf8(entry.name));
    EXPECT_EQ(names, (std::vector<std::string>{"pkg.inf"}));
}

}  // namespace
