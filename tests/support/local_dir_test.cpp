#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "support/copy.h"
#include "support/files_iterator.h"
#include "support/trace_capture.h"
#include "support/fixtures.h"
#include "support/local_dir.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace {

using Processor::String;
using TestSupport::ReadAll;

// Every test runs twice: with openat2 and with the O_NOFOLLOW component walk.
class LocalDirTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        Common::ForceComponentWalk(GetParam());
        scratch.write("Windows/system32/config/SYSTEM", "hive");
        scratch.write("Windows/system32/ntdll.dll", "MZ");
        scratch.write("outside.txt", "secret");
        root = scratch.dir("Windows");
    }
    void TearDown() override { Common::ForceComponentWalk(false); }

    TestSupport::ScratchDir scratch;
    std::shared_ptr<Common::rio_dir> root;
};

TEST_P(LocalDirTest, LookupIgnoresLetterCaseAndPrefersExactNames)
{
    auto file = root->open_file(u"System32\\config\\system");
    ASSERT_TRUE(file) << Processor::ToUtf8(Processor::String(root->last_error().text()));
    EXPECT_EQ(ReadAll(*file), "hive");
    EXPECT_TRUE(root->exists(u"SYSTEM32/CONFIG/System"));
    EXPECT_FALSE(root->exists(u"System32\\config\\software"));
    EXPECT_TRUE(root->last_error().failed());

    // Two names that fold equal: the exact one wins, silently.
    EXPECT_EQ(ReadAll(*root->open_file(u"system32\\ntdll.dll")), "MZ");
    scratch.write("Windows/system32/NTDLL.DLL", "other");
    TestSupport::TraceCapture trace;
    EXPECT_EQ(ReadAll(*root->open_file(u"system32\\NTDLL.DLL")), "other");
    EXPECT_EQ(ReadAll(*root->open_file(u"System32\\ntdll.dll")), "MZ");
    EXPECT_TRUE(trace.items.empty());
    // Without an exact match the first in byte order wins, and the choice is traced.
    scratch.write("Windows/system32/config/System", "decoy");
    EXPECT_EQ(ReadAll(*root->open_file(u"System32\\config\\system")), "hive");
    EXPECT_TRUE(trace.Has(3, "'SYSTEM' and 'System'")) << (trace.items.empty() ? "" : trace.items[0].text);
}

TEST_P(LocalDirTest, PathsThatLeaveTheFolderAreRefused)
{
    for (const char16_t* path : {u"..\\outside.txt", u"System32\\..\\..\\outside.txt", u"/etc/passwd",
                                 u"\\outside.txt", u"C:\\outside.txt", u"c:outside.txt", u"\\\\server\\share"}) {
        EXPECT_FALSE(root->open_file(path)) << Processor::ToUtf8(String(path));
        ASSERT_TRUE(root->last_error().failed());
        EXPECT_NE(Processor::ToUtf8(String(root->last_error().text())).find("refused"), std::string::npos);
        EXPECT_FALSE(root->create_file(path));
        EXPECT_FALSE(root->open_dir(path));
    }
    EXPECT_EQ(scratch.read("outside.txt"), "secret");
}

TEST_P(LocalDirTest, SymbolicLinksMayNotLeadOutside)
{
    ASSERT_EQ(::symlink((scratch.path() / "outside.txt").c_str(), (scratch.path() / "Windows/abs").c_str()), 0);
    ASSERT_EQ(::symlink("../outside.txt", (scratch.path() / "Windows/rel").c_str()), 0);
    ASSERT_EQ(::symlink("..", (scratch.path() / "Windows/up").c_str()), 0);
    ASSERT_EQ(::symlink("loop2", (scratch.path() / "Windows/loop1").c_str()), 0);
    ASSERT_EQ(::symlink("loop1", (scratch.path() / "Windows/loop2").c_str()), 0);
    ASSERT_EQ(::symlink("system32/ntdll.dll", (scratch.path() / "Windows/inside").c_str()), 0);
    ASSERT_EQ(::symlink("system32", (scratch.path() / "Windows/insidedir").c_str()), 0);
    for (const char16_t* path : {u"abs", u"rel", u"up\\outside.txt", u"loop1", u"LOOP1\\x"}) {
        EXPECT_FALSE(root->open_file(path)) << Processor::ToUtf8(String(path));
        EXPECT_TRUE(root->last_error().failed());
        // What cannot be opened does not exist either, nor is it listed.
        EXPECT_FALSE(root->exists(path)) << Processor::ToUtf8(String(path));
    }
    std::set<std::string> listed;
    Common::dir_entry entry;
    for (auto it = root->entries(); it->next(entry);) listed.insert(Processor::ToUtf8(entry.name));
    // The component walk follows no link, so for it even a link inside is absent.
    std::set<std::string> expected{"system32"};
    if (!GetParam()) expected.insert({"inside", "insidedir"});
    EXPECT_EQ(listed, expected);
    EXPECT_FALSE(root->open_dir(u"up"));
    auto insideDir = root->open_dir(u"insidedir");
    EXPECT_EQ(insideDir && insideDir->exists(u"ntdll.dll"), !GetParam());
    EXPECT_EQ(root->exists(u"inside"), !GetParam());
    auto inside = root->open_file(u"inside");  // openat2 follows a link that stays beneath
    EXPECT_EQ(static_cast<bool>(inside), !GetParam());
    if (inside) {
        EXPECT_EQ(ReadAll(*inside), "MZ");
    }
    // Changing the mode of a link changes nothing outside.
    ::chmod((scratch.path() / "outside.txt").c_str(), 0644);
    root->set_security(u"abs", {0, 0, 0777});
    root->set_attributes(u"rel", Common::Attributes::kReadOnly);
    struct stat st;
    ASSERT_EQ(::stat((scratch.path() / "outside.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    // Writing through a link to the outside must not touch the outside file.
    auto out = root->create_file(u"rel");
    if (out) {
        out->write("pwned", 5);
        out->close();
    }
    EXPECT_EQ(scratch.read("outside.txt"), "secret");
    // A folder opened through the walk cannot be escaped from either.
    auto sys = root->open_dir(u"system32");
    ASSERT_TRUE(sys);
    EXPECT_FALSE(sys->open_file(u"..\\..\\outside.txt"));
}

TEST_P(LocalDirTest, CreatingReusesAnEntryOfAnotherLetterCase)
{
    auto out = root->create_file(u"SYSTEM32\\Config\\system");
    ASSERT_TRUE(out);
    out->write("new", 3);
    out->close();
    EXPECT_EQ(scratch.read("Windows/system32/config/SYSTEM"), "new");
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / "Windows/system32/config/system"));

    EXPECT_TRUE(root->create_dir(u"system32\\DRIVERS"));
    EXPECT_TRUE(root->create_dir(u"System32\\drivers"));  // exists already: fine, reused
    std::set<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(scratch.path() / "Windows/system32"))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names.count("DRIVERS"), 1u);
    EXPECT_EQ(names.count("drivers"), 0u);
}

TEST_P(LocalDirTest, AtomicReplaceLeavesNoTemporaryAndKeepsTheOldFileOnFailure)
{
    scratch.write("src/new.bin", std::string(3 << 20, 'n'));
    auto source = scratch.dir("src");
    ASSERT_TRUE(Common::CopyFile(*source, u"NEW.BIN", *root, u"system32\\config\\SYSTEM").empty());
    EXPECT_EQ(scratch.read("Windows/system32/config/SYSTEM"), std::string(3 << 20, 'n'));

    // A missing source changes nothing.
    EXPECT_TRUE(Common::CopyFile(*source, u"absent", *root, u"system32\\config\\SYSTEM").failed());
    EXPECT_EQ(scratch.read("Windows/system32/config/SYSTEM").size(), 3u << 20);

    ASSERT_TRUE(Common::ReplaceFile(*root, u"system32\\config\\system", "small", 5).empty());
    EXPECT_EQ(scratch.read("Windows/system32/config/SYSTEM"), "small");
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(scratch.path() / "Windows/system32/config")) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST_P(LocalDirTest, FilesIteratorPlainAndRecursive)
{
    scratch.write("Windows/inf/a.inf", "a");
    scratch.write("Windows/inf/sub/deeper/b.inf", "b");
    ASSERT_EQ(::symlink("..", (scratch.path() / "Windows/inf/sub/cycle").c_str()), 0);
    auto inf = root->open_dir(u"INF");
    ASSERT_TRUE(inf);

    std::set<std::string> plain, recursive;
    String path;
    Common::dir_entry entry;
    for (Common::FilesIterator it(inf, false); it.next(path, entry);) plain.insert(Processor::ToUtf8(path));
    for (Common::FilesIterator it(inf, true); it.next(path, entry);)
        if (!(entry.attributes & Common::Attributes::kReparsePoint)) recursive.insert(Processor::ToUtf8(path));
    EXPECT_EQ(plain, (std::set<std::string>{"a.inf"}));
    EXPECT_EQ(recursive, (std::set<std::string>{"a.inf", "sub\\deeper\\b.inf"}));
}

TEST_P(LocalDirTest, IdentityPathsAndComparison)
{
    auto sys = root->open_dir(u"system32");
    auto config = sys->open_dir(u"CONFIG");
    ASSERT_TRUE(sys && config);
    EXPECT_EQ(Processor::ToUtf8(config->full_path()), (scratch.path() / "Windows/system32/config").string());
    EXPECT_EQ(root->compare(*config), 1);
    EXPECT_EQ(config->compare(*root), 2);
    EXPECT_EQ(sys->compare(*sys->reopen()), 0);
    Common::file_identifier a, b;
    EXPECT_TRUE(sys->identify(a));
    EXPECT_TRUE(sys->reopen()->identify(b));
    EXPECT_EQ(a, b);
    EXPECT_EQ(root->compare_names(u"System32", u"SYSTEM32"), 0);
    EXPECT_NE(root->compare_names(u"a", u"b"), 0);
}

TEST_P(LocalDirTest, FileRandomAccess)
{
    auto file = root->open_file_rw(u"system32\\ntdll.dll");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->write_at(10, "xy", 2), 2u);
    EXPECT_EQ(file->size(), 12);
    EXPECT_EQ(file->seek(1), 1);
    char c;
    EXPECT_EQ(file->read(&c, 1), 1u);
    EXPECT_EQ(c, 'Z');
    EXPECT_EQ(file->move(0), 2);
    char tail[8];
    EXPECT_EQ(file->read_at(10, tail, sizeof tail), 2u);  // short at the end
    EXPECT_TRUE(file->set_size(2));
    EXPECT_TRUE(file->flush());
    EXPECT_EQ(file->size(), 2);
    auto readOnly = root->open_file(u"system32\\ntdll.dll");
    auto* asWritable = dynamic_cast<Common::o_file*>(readOnly.get());
    ASSERT_NE(asWritable, nullptr);
    EXPECT_EQ(asWritable->write("x", 1), 0u);
    EXPECT_TRUE(asWritable->last_error().failed());
}

INSTANTIATE_TEST_SUITE_P(Resolution, LocalDirTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ComponentWalk" : "Openat2"; });

TEST(TempDirTest, SharedWhileAliveAndRemovedWithItsContent)
{
    TestSupport::ScratchDir scratch;
    Common::TempDir::SetBase(scratch.dir());
    Common::Error error;
    std::filesystem::path made;
    {
        auto scope = Common::TempDir::Get(error);
        ASSERT_TRUE(scope) << Processor::ToUtf8(String(error.text()));
        auto again = Common::TempDir::Get(error);
        EXPECT_EQ(scope, again);
        made = Processor::ToUtf8(scope->full_path());
        ASSERT_TRUE(scope->create_dir(u"assistant"));
        ASSERT_TRUE(Common::ReplaceFile(*scope, u"assistant\\x.inf", "x", 1).empty());
        EXPECT_TRUE(std::filesystem::exists(made / "assistant/x.inf"));
    }
    EXPECT_FALSE(std::filesystem::exists(made));
    Common::TempDir::SetBase(nullptr);
}

}  // namespace
