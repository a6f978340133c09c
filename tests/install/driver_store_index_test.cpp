// The driver store index reader on "infpub.dat"/"infstor.dat" files written here from a
// table of entries: bucket bounds, chains, loops and every kind of bad offset.
#include <gtest/gtest.h>

#include <array>

#include "support/trace_capture.h"
#include "install/driver_store_index.h"
#include "install/index_files.h"
#include "support/fixtures.h"
#include "support/text.h"
#include "transvia/codes.h"

using Processor::String;
namespace Index = Transvia::DriverStoreIndex;

namespace {

using IndexTest::IndexFiles;
using IndexTest::kNone;
using IndexTest::Only;


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
    TestSupport::TraceCapture trace;
    try {
        Transvia::LookupDriverStoreFolder(*scratch.dir(), u"oem1.inf");
        FAIL() << "no error for a missing infstor.dat";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.code(), Common::Codes::kDriverStoreIndex);
    }
    EXPECT_TRUE(trace.HasCode(Common::Codes::kDriverStoreIndex, "infstor.dat")) << trace.All();
    EXPECT_EQ(Transvia::LookupDriverStoreFolder(*scratch.dir(), u""), std::nullopt);
}

}  // namespace
