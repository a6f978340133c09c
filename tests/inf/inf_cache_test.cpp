// InfCache over a scratch folder: one parse per file name in any letter case, failures
// traced on every call.
#include <gtest/gtest.h>

#include "inf/inf_cache.h"
#include "inf_test_util.h"
#include "support/fixtures.h"
#include "support/trace_capture.h"

namespace {

using namespace Transvia;
using InfTest::Utf8;

class InfCacheTest : public testing::Test {
protected:
    void SetUp() override
    {
        scratch.write("inf/Disk.inf", "[Version]\nClassGuid={guid}\n");
        scratch.write("inf/broken.inf", "[Version\n");
        folder = scratch.dir("inf");
        ASSERT_NE(folder, nullptr);
    }
    TestSupport::TraceCapture trace;
    TestSupport::ScratchDir scratch;
    std::shared_ptr<Common::rio_dir> folder;
    LoggerHandle logger = CreateLogger(false);
};

TEST_F(InfCacheTest, SameFileInAnyLetterCaseIsOneInf)
{
    auto cache = CreateInfCache(folder, false, *logger);
    ASSERT_NE(cache, nullptr);
    Inf* inf = cache->OpenInf(u"disk.INF");
    ASSERT_NE(inf, nullptr);
    EXPECT_EQ(Utf8(inf->GetClassGuid()), "{guid}");
    EXPECT_EQ(inf->GetChecksum(), 0u);
    EXPECT_EQ(cache->OpenInf(u"DISK.inf"), inf);
    EXPECT_EQ(Utf8(cache->GetInfName(inf)), "disk.INF");

    // Once cached, the file is not read again.
    scratch.write("inf/Disk.inf", "[Other]\n");
    EXPECT_EQ(cache->OpenInf(u"Disk.inf"), inf);
    EXPECT_NE(inf->FindSection(u"Version"), nullptr);
}

TEST_F(InfCacheTest, NamesAndDirectory)
{
    auto cache = CreateInfCache(folder, true, *logger);
    ASSERT_NE(cache, nullptr);
    ASSERT_NE(cache->GetDirectory(), nullptr);
    EXPECT_EQ(cache->GetDirectory()->compare(*folder), 0) << "the cache keeps the same folder";
    EXPECT_EQ(cache->OpenInf(u""), nullptr);
    EXPECT_EQ(cache->OpenInf(nullptr), nullptr);

    Inf* inf = cache->OpenInf(u"disk.inf");
    ASSERT_NE(inf, nullptr);
    EXPECT_NE(inf->GetChecksum(), 0u) << "the checksum flag reaches the parser";

    auto outside = InfTest::Parse("[Version]\n");
    EXPECT_EQ(cache->GetInfName(outside.get()), nullptr);
    EXPECT_EQ(cache->GetInfName(nullptr), nullptr);
    EXPECT_EQ(CreateInfCache(nullptr, false, *logger), nullptr);
}

TEST_F(InfCacheTest, ParseFailureIsTracedOnEveryCall)
{
    auto cache = CreateInfCache(folder, false, *logger);
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(cache->OpenInf(u"Broken.inf"), nullptr);
    EXPECT_EQ(cache->OpenInf(u"Broken.inf"), nullptr);
    const std::pair<int, std::string> expected{4, "OpenInf: Failed to parse 'Broken.inf'."};
    EXPECT_EQ(trace.Texts(), (std::vector<std::pair<int, std::string>>{expected, expected}));

    // A repaired file is read on the next call: failures are not remembered.
    scratch.write("inf/broken.inf", "[Version]\n");
    EXPECT_NE(cache->OpenInf(u"Broken.inf"), nullptr);
}

TEST_F(InfCacheTest, MissingFileTracesTheFolderError)
{
    auto cache = CreateInfCache(folder, false, *logger);
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(cache->OpenInf(u"absent.inf"), nullptr);
    const auto errors = trace.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].first, 4);
    EXPECT_NE(errors[0].second, 0u);
    EXPECT_EQ(cache->OpenInf(u"..\\escape.inf"), nullptr) << "names stay beneath the folder";
}

}  // namespace
