// The driver store index reader on "infpub.dat"/"infstor.dat" files written here from a
// table of entries: bucket bounds, chains, loops and every kind of bad offset.
#include <gtest/gtest.h>

#include <array>

#include "inf/memory_file.h"
#include "install/copy_trace.h"
#include "install/driver_store_index.h"
#include "support/fixtures.h"
#include "support/text.h"
#include "transvia/codes.h"

using Processor::String;
namespace Index = Transvia::DriverStoreIndex;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;

class IndexFiles {
public:
    IndexFiles() : pub_(16 + 509 * 4, 0) {}

    // Offset (as the index counts them, from byte 16) the next entry gets.
    uint32_t NextEntry() const { return static_cast<uint32_t>(pub_.size() - 16); }
    // Appends an entry whose record points at `store` (eight "infstor.dat" offsets).
    uint32_t Entry(const std::u16string& name, uint32_t next, std::array<uint32_t, 8> store)
    {
        const uint32_t at = NextEntry();
        Put32(pub_, next);
        for (char16_t c : name) Put16(pub_, c);
        Put16(pub_, 0);
        pub_.resize(pub_.size() + 32, 0xEE);
        for (uint32_t offset : store) Put32(pub_, offset);
        return at;
    }
    void Bucket(uint32_t bucket, uint32_t offset) { Set32(pub_, 16 + 4 * bucket, offset); }
    void Next(uint32_t entry, uint32_t next) { Set32(pub_, entry + 16, next); }
    uint32_t Store(const std::u16string& folder)
    {
        const uint32_t at = static_cast<uint32_t>(stor_.size());
        stor_.resize(stor_.size() + 20, 0xEE);
        for (char16_t c : folder) Put16(stor_, c);
        Put16(stor_, 0);
        return at;
    }
    // Limit L defaults to the file's end.
    std::optional<std::string> Find(const std::u16string& name, uint32_t limit = 0, size_t cutPub = 0)
    {
        std::vector<uint8_t> pub = pub_;
        Set32(pub, 0, limit ? limit : NextEntry() + 1);
        if (cutPub) pub.resize(cutPub);
        Transvia::MemoryFile published(pub), store(stor_);
        auto found = Transvia::FindInDriverStoreIndex(published, store, String(name.data(), name.size()));
        if (!found) return std::nullopt;
        return Processor::ToUtf8(*found);
    }

    std::vector<uint8_t> pub_, stor_;

private:
    static void Put16(std::vector<uint8_t>& v, uint16_t x) { v.insert(v.end(), {uint8_t(x), uint8_t(x >> 8)}); }
    static void Put32(std::vector<uint8_t>& v, uint32_t x)
    {
        v.insert(v.end(), {uint8_t(x), uint8_t(x >> 8), uint8_t(x >> 16), uint8_t(x >> 24)});
    }
    static void Set32(std::vector<uint8_t>& v, size_t at, uint32_t x)
    {
        for (int i = 0; i < 4; ++i) v[at + i] = uint8_t(x >> (8 * i));
    }
};

std::array<uint32_t, 8> Only(uint32_t offset) { return {offset, kNone, kNone, kNone, kNone, kNone, kNone, kNone}; }

TEST(DriverStoreIndex, BucketIsTheSumOfLowerCasedUnitsModulo509)
{
    // o e m 1 . i n f = 111+101+109+49+46+105+110+102 = 733; 733 - 509 = 224
    EXPECT_EQ(Index::Bucket(u"oem1.inf"), 224u);
    EXPECT_EQ(Index::Bucket(u"OEM1.INF"), 224u);
    EXPECT_EQ(Index::Bucket(u""), 0u);
}

TEST(DriverStoreIndex, BucketBoundsAndChains)
{
    IndexFiles files;
    const uint32_t folder = files.Store(u"oem1.inf_amd64_1234abcd");
    // The first offset past the table is an entry; one below it is not.
    const uint32_t first = files.Entry(u"OEM1.inf", kNone, Only(folder));
    ASSERT_EQ(first, 2036u);
    files.Bucket(224, first);
    EXPECT_EQ(files.Find(u"oem1.INF"), "oem1.inf_amd64_1234abcd");
    files.Bucket(224, 2035);
    EXPECT_EQ(files.Find(u"oem1.inf"), std::nullopt);
    // An offset at or past the limit L.
    files.Bucket(224, first);
    EXPECT_EQ(files.Find(u"oem1.inf", first), std::nullopt);

    // A chain whose second entry holds the name ("oem1.inf" and "1oem.inf" share a bucket).
    IndexFiles chain;
    const uint32_t wanted = chain.Store(u"second");
    const uint32_t head = chain.Entry(u"1oem.inf", kNone, Only(chain.Store(u"first")));
    const uint32_t second = chain.Entry(u"oem1.inf", kNone, Only(wanted));
    chain.Next(head, second);
    chain.Bucket(224, head);
    EXPECT_EQ(chain.Find(u"1OEM.inf"), "first");
    EXPECT_EQ(chain.Find(u"oem1.inf"), "second");
    EXPECT_EQ(chain.Find(u"mo1e.inf"), std::nullopt);  // same bucket, end of the chain

    // A chain that loops back on itself ends as "not found".
    chain.Next(second, head);
    EXPECT_EQ(chain.Find(u"mo1e.inf"), std::nullopt);
    chain.Next(second, second);
    EXPECT_EQ(chain.Find(u"mo1e.inf"), std::nullopt);
}

TEST(DriverStoreIndex, MalformedFilesAreNotFoundAndNeverReadPastTheirEnd)
{
    IndexFiles files;
    const uint32_t good = files.Store(u"pkg");
    const uint32_t entry = files.Entry(u"oem1.inf", kNone,
                                       {kNone, 0x7FFFFFF0, files.Store(u""), good, kNone, kNone, kNone, kNone});
    files.Bucket(224, entry);
    // Missing, past-the-end and empty folder names are passed over for the next offset.
    EXPECT_EQ(files.Find(u"oem1.inf"), "pkg");
    // A record cut short, a name without its NUL, a file without its table.
    EXPECT_EQ(files.Find(u"oem1.inf", 0, files.pub_.size() - 1), std::nullopt);
    EXPECT_EQ(files.Find(u"oem1.inf", 0, 16 + entry + 4 + 10), std::nullopt);
    EXPECT_EQ(files.Find(u"oem1.inf", 0, 100), std::nullopt);
    EXPECT_EQ(files.Find(u""), std::nullopt);

    // A folder name without a NUL within its bound.
    IndexFiles unterminated;
    const uint32_t at = unterminated.Store(std::u16string(1100, u'x'));
    unterminated.stor_.resize(unterminated.stor_.size() - 2);  // drop the NUL
    unterminated.Bucket(224, unterminated.Entry(u"oem1.inf", kNone, Only(at)));
    EXPECT_EQ(unterminated.Find(u"oem1.inf"), std::nullopt);
}

TEST(DriverStoreIndex, MissingIndexFileIsTracedAndThrown)
{
    TestSupport::ScratchDir scratch;
    scratch.write("infpub.dat", std::string(3000, '\0'));
    CopyTest::TraceLog trace;
    try {
        Transvia::LookupDriverStoreFolder(*scratch.dir(), u"oem1.inf");
        FAIL() << "no error for a missing infstor.dat";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.code(), Common::Codes::kDriverStoreIndex);
    }
    EXPECT_TRUE(trace.Has(Common::Codes::kDriverStoreIndex, "infstor.dat")) << trace.All();
    EXPECT_EQ(Transvia::LookupDriverStoreFolder(*scratch.dir(), u""), std::nullopt);
}

}  // namespace
