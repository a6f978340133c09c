// The hive files of a target as files: who may read the working copy, what a replace
// keeps, and which hive may not be edited where it lies.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "registry/hive_commit.h"
#include "registry/windows_registry.h"
#include "registry_test_util.h"
#include "support/temp_dir.h"

namespace {

using RegistryTest::S;

struct Target {
    TestSupport::ScratchDir scratch;
    std::shared_ptr<Common::rio_dir> config;

    Target()
    {
        scratch.write("WINDOWS/System32/config/.keep", "");
        config = scratch.dir("WINDOWS/System32/config");
        EXPECT_TRUE(Common::CreateHive(*config, u"SYSTEM", 5, u"SYSTEM").empty());
        EXPECT_TRUE(Common::CreateHive(*config, u"SOFTWARE", 5, u"SOFTWARE").empty());
    }
    std::filesystem::path hive(const char* name) const { return scratch.path() / "WINDOWS/System32/config" / name; }
};

struct stat StatOf(const std::filesystem::path& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

// Gives a hive a mode and, where we may, an owner of its own; true when the owner was set.
bool MakeForeign(const std::filesystem::path& path)
{
    EXPECT_EQ(::chmod(path.c_str(), 0640), 0);
    return ::geteuid() == 0 && ::chown(path.c_str(), 1234, 5678) == 0;
}

void ExpectForeign(const std::filesystem::path& path, bool owner)
{
    const struct stat st = StatOf(path);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << path;
    if (owner) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
    }
}

TEST(HiveFiles, WorkingCopyIsPrivateAndTheCommitKeepsOwnerAndMode)
{
    Target target;
    const bool owner = MakeForeign(target.hive("SYSTEM"));
    auto registry = Transvia::CreateWindowsRegistry(target.scratch.dir("WINDOWS"));
    registry->UseWorkingCopy();
    ASSERT_NE(registry->System(), nullptr);
    ASSERT_TRUE(registry->System()->SetDword(S(u"Marker"), 1));

    Common::Error error;
    auto temp = Common::TempDir::Get(error);  // the registry's own scope while it lives
    ASSERT_TRUE(temp);
    size_t copies = 0;
    Common::dir_entry entry;
    for (auto it = temp->entries(); it->next(entry); ++copies) {
        const auto path = std::filesystem::path(Processor::ToUtf8(temp->full_path())) / Processor::ToUtf8(entry.name);
        EXPECT_EQ(StatOf(path).st_mode & 07777, 0600u) << path;
    }
    EXPECT_EQ(copies, 1u);
    EXPECT_EQ(StatOf(Processor::ToUtf8(temp->full_path())).st_mode & 07777, 0700u);
    temp.reset();

    ASSERT_TRUE(registry->Commit().empty());
    ExpectForeign(target.hive("SYSTEM"), owner);
}

TEST(HiveFiles, AnAtomicEditKeepsOwnerAndMode)
{
    Target target;
    const bool owner = MakeForeign(target.hive("SOFTWARE"));
    const Common::Error error = Common::EditHiveAtomically(target.config, u"software", [](Common::file_reg& root, Common::Error&) {
        return !root.create_key(S(u"Marker")).empty();
    });
    ASSERT_TRUE(error.empty()) << Processor::ToUtf8(Processor::String(error.text()));
    ExpectForeign(target.hive("SOFTWARE"), owner);
}

TEST(HiveFiles, AHiveWithAnotherNameIsNotEditedInPlace)
{
    Target target;
    const auto outside = target.scratch.path() / "outside";
    std::filesystem::rename(target.hive("SOFTWARE"), outside);
    ASSERT_EQ(::link(outside.c_str(), target.hive("SOFTWARE").c_str()), 0);
    const auto before = TestSupport::ReadFileBytes(outside);

    Common::Error error;
    auto software = Common::file_reg::open_hive(target.config, u"SOFTWARE", false, error);
    EXPECT_TRUE(software.empty());
    EXPECT_NE(Processor::ToUtf8(Processor::String(error.text())).find("hard links"), std::string::npos);
    // Reading it is harmless, and an atomic edit gives the target a file of its own.
    EXPECT_FALSE(Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(target.config), u"SOFTWARE", error).empty());
    EXPECT_TRUE(Common::EditHiveAtomically(target.config, u"SOFTWARE", [](Common::file_reg& root, Common::Error&) {
                    return !root.create_key(S(u"Marker")).empty();
                }).empty());
    EXPECT_EQ(TestSupport::ReadFileBytes(outside), before);
    EXPECT_NE(TestSupport::ReadFileBytes(target.hive("SOFTWARE")), before);
}

}  // namespace
