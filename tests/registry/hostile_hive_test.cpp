// The program on hives and logs made to exhaust it: files far larger than what they hold,
// shared subkey lists, shared data cells, counts without lists. Each run must end with a
// clear result while staying small; a hang is cut short after 20 s and fails the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "dirty_hives.h"
#include "registry/file_reg.h"
#include "registry/hive_format.h"
#include "registry/reg_key.h"
#include "support/message_format.h"
#include "support/text.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;
using namespace Common::Hive;

namespace {

// Far above what these runs need (10 to 15 MB), far below what reading a claimed size
// costs. Under AddressSanitizer freed memory waits in its quarantine and counts as
// resident (up to about 110 MB here), so the bound is doubled there.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kMaxRssKb = 200 * 1024;
#else
constexpr long kMaxRssKb = 100 * 1024;
#endif

struct Outcome {
    int status = -1;  // exit status; 124 when cut short, 128 + N when killed by signal N
    long rssKb = 0;
    std::string out;
};

std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

// Runs the program under a small Python parent: the peak memory of a child forked from
// this test process would count this process's own pages, a grandchild's does not.
constexpr const char* kMeasure = R"(import resource, subprocess, sys
try:
    code = subprocess.run(sys.argv[2:], timeout=20).returncode
except subprocess.TimeoutExpired:
    code = 124
open(sys.argv[1], "w").write(str(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))
sys.exit(code if code >= 0 else 128 - code)
)";

Outcome Program(const std::string& arguments, const fs::path& scratch, const std::string& before = "")
{
    const fs::path output = scratch / "output.txt", rss = scratch / "rss.txt", measure = scratch / "measure.py";
    if (!fs::exists(measure))
        std::ofstream(measure) << kMeasure;
    const std::string command = before + "exec env -u TRANSVIA_CONF python3 " + Q(measure) + " " + Q(rss) + " " +
                                Q(fs::path(TRANSVIA_OUTPUT_DIR) / "transvia") + " " + arguments + " >" + Q(output) +
                                " 2>&1";
    Outcome run;
    run.status = TestSupport::RunCommand(command);
    std::ifstream peak(rss);
    peak >> run.rssKb;
    std::ifstream in(output);
    run.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
}

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

// Makes a file `size` bytes long without writing the bytes: a hole on disk.
void Extend(const fs::path& file, uint64_t size) { fs::resize_file(file, size); }

// An empty hive from the program itself.
fs::path NewHive(const TestSupport::ScratchDir& scratch, const std::string& name)
{
    const fs::path hive = scratch.path() / name;
    EXPECT_EQ(Program("reg new " + Q(hive), scratch.path()).status, 0);
    return hive;
}

// A new-format log base block for `hive`, as Windows starts one: a copy of the hive's
// first 512 bytes with the log's file type.
std::vector<uint8_t> StartedLog(const std::vector<uint8_t>& hive)
{
    std::vector<uint8_t> log(hive.begin(), hive.begin() + 512);
    Put32(log.data() + kBaseFileType, 6);
    Put32(log.data() + kBaseChecksum, BaseBlockChecksum(log.data()));
    return log;
}

}  // namespace

TEST(HostileHive, SparseHiveIsReadForWhatItHolds)
{
    TestSupport::ScratchDir scratch;
    const fs::path hive = NewHive(scratch, "SYSTEM");
    Extend(hive, uint64_t(2) << 30);  // 2 GiB on paper, 8 KB on disk

    Outcome run = Program("reg export " + Q(hive), scratch.path());
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Has(run.out, "[ROOT]\n")) << run.out;
    EXPECT_LT(run.rssKb, kMaxRssKb);
    run = Program("reg check " + Q(hive), scratch.path());
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_LT(run.rssKb, kMaxRssKb);

    // The same file as the SYSTEM hive of a target: inspect reads what the bins hold.
    const fs::path config = scratch.path() / "target" / "Windows" / "System32" / "config";
    fs::create_directories(config);
    fs::rename(hive, config / "SYSTEM");
    fs::copy_file(fs::path(TRANSVIA_SOURCE_DIR) / "data/sample-target/Windows/System32/ntdll.dll",
                  config.parent_path() / "ntdll.dll");
    run = Program("inspect --target " + Q(scratch.path() / "target"), scratch.path());
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Has(run.out, "control set: ControlSet001")) << run.out;
    EXPECT_LT(run.rssKb, kMaxRssKb);

    // A base block that claims 2 GiB of bins where the file holds one: refused, cheaply.
    const fs::path liar = NewHive(scratch, "liar");
    std::vector<uint8_t> bytes = TestSupport::ReadFileBytes(liar);
    Put32(bytes.data() + kBaseBinsSize, kMaxOffset - HBLOCK_SIZE);
    DirtyHives::FixChecksum(bytes);
    scratch.write("liar", bytes);
    Extend(liar, uint64_t(2) << 30);
    run = Program("reg export " + Q(liar), scratch.path());
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(Has(run.out, "a hive bin header is damaged")) << run.out;
    EXPECT_LT(run.rssKb, kMaxRssKb);
}

// Three logs of 1 GiB that hold a base block each, beside a dirty hive and a clean one.
TEST(HostileHive, SparseLogsAreReadForWhatTheyHold)
{
    TestSupport::ScratchDir scratch;
    for (const char* name : {"dirty", "clean"}) {
        const fs::path hive = NewHive(scratch, name);
        std::vector<uint8_t> bytes = TestSupport::ReadFileBytes(hive);
        for (const char* suffix : {".LOG1", ".LOG2", ".LOG"}) {
            const fs::path log = scratch.write(std::string(name) + suffix, StartedLog(bytes));
            Extend(log, uint64_t(1) << 30);
        }
        if (std::string(name) == "dirty") {
            Put32(bytes.data() + kBasePrimarySequence, Get32(bytes.data() + kBaseSecondarySequence) + 1);
            DirtyHives::FixChecksum(bytes);
            scratch.write(name, bytes);
        }
        const bool dirty = std::string(name) == "dirty";
        Outcome run = Program("reg check " + Q(hive), scratch.path());
        // The logs hold no entry: a dirty hive is taken as it is, and said to be dirty.
        EXPECT_EQ(run.status, dirty ? 1 : 0) << run.out;
        EXPECT_EQ(Has(run.out, "the hive is dirty"), dirty) << run.out;
        EXPECT_LT(run.rssKb, kMaxRssKb);
        const fs::path reg = scratch.write("in.reg", "Windows Registry Editor Version 5.00\n\n[ROOT\\A]\n\"v\"=dword:1\n");
        run = Program("reg import " + Q(hive) + " " + Q(reg), scratch.path());
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_LT(run.rssKb, kMaxRssKb);
        run = Program("reg export " + Q(hive), scratch.path());
        EXPECT_TRUE(Has(run.out, "[ROOT\\A]\n\"v\"=dword:00000001\n")) << run.out;
    }
}

// yarp's NewDirtyHive1 with its logs grown to 1 GiB: recovered exactly as from the logs
// as Windows left them.
TEST(HostileHive, SparseTailOfRealLogsIsNotRead)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    TestSupport::ScratchDir scratch;
    const DirtyHives::DirtyHive files = DirtyHives::LoadNewDirtyHive(data);
    const fs::path hive = scratch.write("NewDirtyHive", files.primary);
    scratch.write("NewDirtyHive.LOG1", files.log1);
    scratch.write("NewDirtyHive.LOG2", files.log2);
    const Outcome plain = Program("reg export --strict " + Q(hive), scratch.path());
    ASSERT_EQ(plain.status, 0) << plain.out;
    Extend(scratch.path() / "NewDirtyHive.LOG1", uint64_t(1) << 30);
    Extend(scratch.path() / "NewDirtyHive.LOG2", uint64_t(1) << 30);
    const Outcome sparse = Program("reg export --strict " + Q(hive), scratch.path());
    EXPECT_EQ(sparse.status, 0) << sparse.out;
    EXPECT_EQ(sparse.out, plain.out);
    EXPECT_LT(sparse.rssKb, kMaxRssKb);
}

// The hostile hives of the shared test data: each export, check and import ends, small,
// with every key written once and every fault named.
TEST(HostileHive, SharedHostileHives)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    struct Case {
        const char* file;
        int exportStatus;
        const char* checkSays;
    };
    const Case cases[] = {
        {"dag40.hive", 2, "reached twice (a shared or looping subkey list)"},
        {"bigdata.hive", 2, "big data segment"},
        {"values_amplify.hive", 2, "the cell is referenced more than once"},
        {"valuecount_hang.hive", 2, "impossible value count"},
    };
    TestSupport::ScratchDir scratch;
    const fs::path reg = scratch.write("in.reg", "Windows Registry Editor Version 5.00\n\n[ROOT\\Added]\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path hive = scratch.path() / c.file;
        fs::copy_file(data / "hostile" / c.file, hive, fs::copy_options::overwrite_existing);
        fs::permissions(hive, fs::perms::owner_write, fs::perm_options::add);

        Outcome run = Program("reg export " + Q(hive), scratch.path());
        EXPECT_EQ(run.status, c.exportStatus) << run.out.substr(0, 2000);
        EXPECT_TRUE(Has(run.out, "could not be read")) << run.out.substr(0, 2000);
        EXPECT_LT(run.rssKb, kMaxRssKb);
        EXPECT_LT(run.out.size(), 8u << 20);

        run = Program("reg check " + Q(hive), scratch.path());
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(Has(run.out, c.checkSays)) << run.out.substr(0, 2000);
        EXPECT_LT(run.rssKb, kMaxRssKb);

        // The import checks the hive before and after the edit; it ends either way.
        run = Program("reg import " + Q(hive) + " " + Q(reg), scratch.path());
        EXPECT_GE(run.status, 0) << run.out.substr(0, 2000);
        EXPECT_LT(run.rssKb, kMaxRssKb);
    }
}

// The cleaner deletes subtrees through RegistryKey::DeleteKey, a walk of its own: on
// lists shared between keys it must end, whether or not it can delete.
TEST(HostileHive, SubtreeDeletionOverSharedListsEnds)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    TestSupport::ScratchDir scratch;
    fs::copy_file(data / "hostile" / "dag40.hive", scratch.path() / "dag");
    fs::permissions(scratch.path() / "dag", fs::perms::owner_write, fs::perm_options::add);
    Common::Error error;
    Common::file_reg hive = Common::file_reg::open_hive(scratch.dir(), u"dag", false, error, Common::WorkingCopyPolicy());
    ASSERT_FALSE(hive.empty()) << Processor::ToUtf8(Processor::RenderError(error));
    auto root = Transvia::MakeRegistryKey(hive);
    std::vector<Processor::String> names;
    ASSERT_TRUE(root->EnumSubkeys([&](const Processor::String& name) { names.push_back(name); }));
    ASSERT_FALSE(names.empty());
    for (const Processor::String& name : names)
        root->DeleteKey(name);
}

// Memory that runs out is an error with its code, never an abort: an export of a 32 MB
// value under a 120 MB address-space limit.
TEST(HostileHive, OutOfMemoryIsAnError)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#endif
    TestSupport::ScratchDir scratch;
    NewHive(scratch, "h");
    {
        Common::Error error;
        Common::file_reg root = Common::file_reg::open_hive(scratch.dir(), u"h", false, error);
        ASSERT_FALSE(root.empty());
        const std::vector<uint8_t> big(32u << 20, 0x5A);
        ASSERT_TRUE(root.set_value(std::u16string_view(u"big"), big.data(), static_cast<uint32_t>(big.size()), REG_BINARY));
    }
    const Outcome run = Program("reg export " + Q(scratch.path() / "h"), scratch.path(), "ulimit -v 120000; ");
    EXPECT_EQ(run.status, 1) << run.out.substr(0, 500);
    EXPECT_TRUE(Has(run.out, "0x001D0003: out of memory")) << run.out.substr(0, 500);
}
