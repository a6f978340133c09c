// CAB extraction against cabinets gcab builds at test time and cabextract reads back, the
// real cabinets of the shared test data (some malformed), and hostile cabinets made by
// patching good ones.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "inf/inf.h"
#include "inf/memory_file.h"
#include "inf/win_sources.h"
#include "install/cab_source.h"
#include "install/file_copy_op.h"
#include "support/trace_capture.h"
#include "support/fixtures.h"
#include "support/text.h"
#include "transvia/codes.h"

namespace fs = std::filesystem;
using Processor::String;

namespace {

std::string RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    // Half random, half repeated text: MSZIP has something to compress.
    for (size_t i = 0; i < size; ++i) bytes[i] = i % 2048 < 1024 ? static_cast<char>(random()) : "driver"[i % 6];
    return bytes;
}

class CabSourceTest : public ::testing::Test {
public:
    void SetUp() override
    {
        if (!TestSupport::HaveProgram("gcab") || !TestSupport::HaveProgram("cabextract"))
            GTEST_SKIP() << "gcab and cabextract are needed (tools/setup.sh installs them)";
    }

    // Builds cabinet `cab` in `folder` from `files` (name, bytes), each dated `date`.
    void Cabinet(const std::string& cab, const std::vector<std::pair<std::string, std::string>>& files, bool zip,
                 const std::string& date = "2020-01-02 03:04:06", const std::string& folder = "cache")
    {
        const fs::path work = scratch_.path() / ("build-" + cab);
        fs::create_directories(work);
        fs::create_directories(scratch_.path() / folder);
        std::string names;
        for (const auto& [name, bytes] : files) {
            scratch_.write("build-" + cab + "/" + name, bytes);
            names += " '" + name + "'";
        }
        const std::string command = "cd '" + work.string() + "' && touch -d '" + date + "'" + names +
                                    " && gcab -c -n " + (zip ? "-z " : "") + "'" + (scratch_.path() / folder / cab).string() +
                                    "'" + names;
        ASSERT_EQ(TestSupport::RunCommand(command), 0) << command;
    }

    std::string CabPath(const std::string& cab) const { return (scratch_.path() / "cache" / cab).string(); }

    // What cabextract makes of entry `name`; false when it refuses.
    static bool CabextractEntry(const std::string& cab, const std::string& name, std::string& bytes)
    {
        return TestSupport::RunCommand("cabextract -q -p -F '" + name + "' '" + cab + "' 2>/dev/null", &bytes) == 0;
    }

    bool Extract(const std::string& file, const std::string& as, const std::string& folder = "cache")
    {
        fs::create_directories(scratch_.path() / "out");
        auto out = scratch_.dir("out");
        auto cache = scratch_.dir(folder);
        return source_.Extract(Processor::FromUtf8(file), *out, Processor::FromUtf8(as), *cache);
    }

    std::vector<std::string> OutFiles() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(scratch_.path() / "out")) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Rewrites bytes of a cabinet in place.
    void Patch(const std::string& cab, size_t offset, const std::string& bytes)
    {
        std::fstream file(CabPath(cab), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(offset));
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    static std::string U32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
    uint32_t ReadU32(const std::string& cab, size_t offset) const
    {
        const auto bytes = TestSupport::ReadFileBytes(CabPath(cab));
        return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | uint32_t{bytes[offset + 3]} << 24;
    }

    TestSupport::ScratchDir scratch_;
    Transvia::CabSourceImpl source_;
    TestSupport::TraceCapture trace_;
};

TEST_F(CabSourceTest, StoredAndMszipEntriesEqualTheOriginalAndWhatCabextractReads)
{
    const std::string big = RandomBytes(300000, 1), small = RandomBytes(10, 2);
    Cabinet("stored.cab", {{"big.sys", big}, {"small.dll", small}, {"empty.txt", ""}}, false);
    Cabinet("zip.cab", {{"zbig.sys", big}, {"zsmall.dll", small}, {"zempty.txt", ""}}, true);
    for (const char* name : {"big.sys", "small.dll", "empty.txt", "zbig.sys", "zsmall.dll", "zempty.txt"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(Extract(name, std::string("copy-") + name)) << trace_.All();
        const std::string got = scratch_.read(std::string("out/copy-") + name);
        std::string expected;
        ASSERT_TRUE(CabextractEntry(CabPath(name[0] == 'z' ? "zip.cab" : "stored.cab"), name, expected));
        EXPECT_EQ(got, expected);
        EXPECT_EQ(got, std::string(name).find("big") != std::string::npos ? big : std::string(name).find("small") != std::string::npos ? small : "");
    }
    EXPECT_TRUE(trace_.HasCode(0, "Search driver in '")) << trace_.All();
    EXPECT_TRUE(trace_.HasCode(0, "File in '")) << trace_.All();
}

TEST_F(CabSourceTest, NewestEntryAcrossCabinetsWinsAndNamesMatchIgnoringCase)
{
    // Names sort a < b < c; the newest is in the middle one, differing only in the second.
    Cabinet("a.cab", {{"Driver.SYS", "old"}}, true, "2020-05-06 07:08:10");
    Cabinet("b.cab", {{"DRIVER.sys", "new"}}, false, "2020-05-06 07:08:12");
    Cabinet("c.cab", {{"driver.sys", "same"}}, true, "2020-05-06 07:08:12");
    Cabinet("d.CAB", {{"other.sys", "x"}}, true, "2024-01-01 00:00:00");
    ASSERT_TRUE(Extract("driver.sys", "driver.sys"));
    EXPECT_EQ(scratch_.read("out/driver.sys"), "new");  // newest; on a tie the first found stays

    Cabinet("e.cab", {{"driver.sys", "newest"}}, true, "2021-01-01 00:00:00");
    ASSERT_TRUE(Extract("driver.sys", "driver.sys"));
    EXPECT_EQ(scratch_.read("out/driver.sys"), "newest");

    EXPECT_FALSE(Extract("missing.sys", "missing.sys"));
    EXPECT_EQ(OutFiles(), std::vector<std::string>{"driver.sys"});
}

TEST_F(CabSourceTest, ACabinetReadOnceIsReadAgainWhenItChanges)
{
    // Headers are kept between extractions; a cabinet rewritten in between (same size,
    // same entry) must not be served from what was read before.
    Cabinet("c.cab", {{"drv.sys", "one"}, {"other.sys", "first"}}, true);
    ASSERT_TRUE(Extract("drv.sys", "a.sys"));
    ASSERT_TRUE(Extract("other.sys", "b.sys"));
    EXPECT_EQ(scratch_.read("out/b.sys"), "first");
    Cabinet("c.cab", {{"drv.sys", "two"}, {"other.sys", "again"}}, true);
    ASSERT_TRUE(Extract("drv.sys", "a.sys"));
    ASSERT_TRUE(Extract("other.sys", "b.sys"));
    EXPECT_EQ(scratch_.read("out/a.sys"), "two");
    EXPECT_EQ(scratch_.read("out/b.sys"), "again");
    // Gone: nothing is extracted from what was read of it.
    fs::remove(CabPath("c.cab"));
    EXPECT_FALSE(Extract("drv.sys", "c.sys"));
}

TEST_F(CabSourceTest, RealCabinetsExtractExactlyWhatCabextractDoes)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    int refused = 0, extracted = 0;
    for (const auto& entry : fs::recursive_directory_iterator(data / "inf" / "cab")) {
        if (entry.path().extension() != ".cab") continue;
        std::string list;
        TestSupport::RunCommand("gcab -t '" + entry.path().string() + "' 2>/dev/null", &list);
        std::istringstream names(list);
        for (std::string name; std::getline(names, name);) {
            if (name.empty()) continue;
            SCOPED_TRACE(entry.path().filename().string() + ": " + name);
            fs::remove_all(scratch_.path() / "one");
            fs::create_directories(scratch_.path() / "one");
            fs::copy_file(entry.path(), scratch_.path() / "one" / "x.cab");
            fs::remove_all(scratch_.path() / "out");
            std::string expected;
            const bool oracle = CabextractEntry(entry.path().string(), name, expected);
            const bool ours = Extract(name, "result.bin", "one");
            EXPECT_EQ(ours, oracle) << trace_.All();
            if (ours && oracle) {
                EXPECT_EQ(scratch_.read("out/result.bin"), expected);
                ++extracted;
            } else {
                // A refused extraction leaves nothing behind, not even its staging file.
                EXPECT_EQ(OutFiles(), std::vector<std::string>{});
                ++refused;
            }
        }
    }
    EXPECT_GT(extracted, 0);
    EXPECT_GT(refused, 0);
}

TEST_F(CabSourceTest, DamagedCabinetsFailCleanly)
{
    const std::string bytes = RandomBytes(200000, 3);
    struct Damage {
        const char* what;
        std::function<void(CabSourceTest&, const std::string&)> apply;
        const char* reason;
    };
    const std::vector<Damage> damages = {
        {"truncated", [](CabSourceTest& t, const std::string& cab) { fs::resize_file(t.CabPath(cab), fs::file_size(t.CabPath(cab)) / 2); },
         "truncated"},
        {"bad checksum", [](CabSourceTest& t, const std::string& cab) {
             const uint32_t data = t.ReadU32(cab, 0x24);  // the first folder's data blocks
             t.Patch(cab, data + 8 + 100, "\x55\xAA");
         }, "checksum"},
        {"huge announced size", [](CabSourceTest& t, const std::string& cab) {
             t.Patch(cab, t.ReadU32(cab, 0x10), U32(0x7FFFFFF0));  // the first file's size
         }, "more than its cabinet can hold"},
    };
    for (bool zip : {false, true}) {
        for (const Damage& damage : damages) {
            SCOPED_TRACE(std::string(damage.what) + (zip ? " mszip" : " stored"));
            fs::remove_all(scratch_.path() / "cache");
            Cabinet("d.cab", {{"drv.sys", bytes}}, zip);
            damage.apply(*this, "d.cab");
            trace_.items.clear();
            fs::remove_all(scratch_.path() / "out");
            EXPECT_FALSE(Extract("drv.sys", "drv.sys"));
            EXPECT_EQ(OutFiles(), std::vector<std::string>{});
            EXPECT_TRUE(trace_.HasCode(Common::Codes::kCabinetRejected, damage.reason)) << trace_.All();
        }
    }
}

TEST_F(CabSourceTest, AnEntryNeverWritesMoreThanItAnnounces)
{
    // The next bytes of the folder belong to no file now; they must not reach the output.
    const std::string bytes = RandomBytes(100000, 4);
    Cabinet("s.cab", {{"drv.sys", bytes}}, true);
    Patch("s.cab", ReadU32("s.cab", 0x10), U32(1000));
    ASSERT_TRUE(Extract("drv.sys", "drv.sys"));
    EXPECT_EQ(scratch_.read("out/drv.sys"), bytes.substr(0, 1000));
}

TEST_F(CabSourceTest, NamesFromTheCabinetNeverBecomePaths)
{
    fs::create_directories(scratch_.path() / "outside");
    // The entry is stored as "zz/evil.sys", then patched into "../evil.sys".
    Cabinet("n.cab", {{"zzzevil.sys", "payload"}, {"good.sys", "good"}}, false);
    const auto cab = TestSupport::ReadFileBytes(CabPath("n.cab"));
    const std::string text(cab.begin(), cab.end());
    Patch("n.cab", text.find("zzzevil.sys"), "../evil.sys");
    EXPECT_FALSE(Extract("evil.sys", "evil.sys"));
    EXPECT_FALSE(Extract("../evil.sys", "evil.sys"));
    EXPECT_TRUE(trace_.HasCode(Common::Codes::kCopyNameRefused, "../evil.sys")) << trace_.All();
    EXPECT_FALSE(Extract("good.sys", "../outside/good.sys"));
    // The engine's name, not the cabinet's.
    ASSERT_TRUE(Extract("good.sys", "renamed.sys"));
    EXPECT_EQ(OutFiles(), std::vector<std::string>{"renamed.sys"});
    EXPECT_TRUE(fs::is_empty(scratch_.path() / "outside"));
}

TEST_F(CabSourceTest, LinksAreReplacedOrRefusedNeverFollowed)
{
    scratch_.write("outside/victim.sys", "untouched");
    scratch_.write("outside/far.cab", "");
    Cabinet("l.cab", {{"drv.sys", "fresh"}}, true);
    // A destination that is a link to a file outside: the link is replaced.
    fs::create_directories(scratch_.path() / "out");
    fs::create_symlink(scratch_.path() / "outside" / "victim.sys", scratch_.path() / "out" / "drv.sys");
    ASSERT_TRUE(Extract("drv.sys", "drv.sys"));
    EXPECT_FALSE(fs::is_symlink(scratch_.path() / "out" / "drv.sys"));
    EXPECT_EQ(scratch_.read("out/drv.sys"), "fresh");
    EXPECT_EQ(scratch_.read("outside/victim.sys"), "untouched");

    // A cabinet that is a link out of its folder does not exist for the directory layer:
    // it is neither listed nor opened.
    fs::copy_file(CabPath("l.cab"), scratch_.path() / "outside" / "far.cab", fs::copy_options::overwrite_existing);
    fs::remove(CabPath("l.cab"));
    fs::create_symlink(scratch_.path() / "outside" / "far.cab", CabPath("l.cab"));
    EXPECT_FALSE(Extract("drv.sys", "again.sys"));
    EXPECT_FALSE(fs::exists(scratch_.path() / "out" / "again.sys"));
}

TEST_F(CabSourceTest, FileCopyTakesAMissingFileFromTheDriverCachesNewestCabinet)
{
    // As on a Windows XP target: cabinets in "Driver Cache\i386", the subfolder the layout names.
    const std::string cache = "Windows/Driver Cache/i386";
    Cabinet("driver.cab", {{"a.sys", "driver.cab's"}}, true, "2004-08-04 12:00:00", cache);
    Cabinet("sp3.cab", {{"A.SYS", "sp3.cab's"}}, true, "2008-04-14 12:00:00", cache);
    fs::create_directories(scratch_.path() / "Windows/System32/drivers");
    fs::create_directories(scratch_.path() / "Windows/INF");
    scratch_.write("pkg/pkg.inf", "");
    const std::string text = "[DestinationDirs]\nDefaultDestDir = 12\n[Files]\ndest.sys, a.sys\n"
                             "[SourceDisksNames.x86]\n1 = disk,,,i386\n[SourceDisksFiles.x86]\na.sys = 1\n"
                             "[Install]\nCopyFiles = Files\n";
    Transvia::MemoryFile file(text);
    auto inf = Transvia::ParseInf(file, nullptr, nullptr, 0);
    ASSERT_TRUE(inf);
    auto sources = Transvia::CreateWinSources(scratch_.dir(), u"Windows");
    auto layout = Transvia::CreateDriverSources(scratch_.dir("pkg"), nullptr, inf->FindSection(u"Install"), u"pkg.inf", 1);
    ASSERT_TRUE(sources && layout);
    auto op = Transvia::CreateFileCopyOp(*sources, 1);
    op->SetSourceLayout(layout.get());
    op->SetCabSource(&source_);
    ASSERT_TRUE(op->Execute(*inf, *scratch_.dir("pkg"), u"Files", u"pkg.inf").empty()) << trace_.All();
    EXPECT_EQ(scratch_.read("Windows/System32/drivers/dest.sys"), "sp3.cab's");
}

}  // namespace
