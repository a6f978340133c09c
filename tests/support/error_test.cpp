#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/errors.h"
#include "support/message_format.h"
#include "support/text.h"

namespace {

TEST(ErrorTest, EmptyHandleIsSuccessAndCodeZeroIsNotAFailure)
{
    Common::Error none;
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(none.failed());
    EXPECT_EQ(none.code(), 0u);

    const Common::Error info = Common::MakeError(0, TV_HERE, u"informational");
    EXPECT_FALSE(info.empty());
    EXPECT_FALSE(info.failed());
}

TEST(ErrorTest, HandlesCountReferencesAndReleaseTheCauseChain)
{
    Common::Error cause = Common::MakeError(0x80070002, TV_HERE, u"not found");
    Common::ErrorRecord* causeRecord = cause.record();
    {
        Common::Error error = Common::MakeError(0x1D0194, TV_HERE, u"no driver", cause);
        EXPECT_EQ(causeRecord->refCount.load(), 2u);  // ours and the chain's
        Common::Error copy = error;
        EXPECT_EQ(error.use_count(), 2u);
        Common::Error moved = std::move(copy);
        EXPECT_EQ(error.use_count(), 2u);
        EXPECT_TRUE(copy.empty());
        EXPECT_EQ(moved.cause().record(), causeRecord);
        copy = moved;
        copy = copy;  // self-assignment keeps the count
        EXPECT_EQ(error.use_count(), 3u);
    }
    // The chain's reference went with the outer record.
    EXPECT_EQ(causeRecord->refCount.load(), 1u);
}

TEST(ErrorTest, RecordsCarryTextCodeAndDistinctLocations)
{
    const uint64_t here = TV_HERE;
    const uint64_t there = TV_HERE;
    EXPECT_NE(here, there);
    std::u16string text = u"copied text";
    Common::Error error = Common::Error::Make(0x1D0007, here, text.c_str());
    text[0] = u'X';  // the record holds its own copy
    EXPECT_EQ(std::u16string(error.text()), u"copied text");
    EXPECT_EQ(error.location(), here);
    EXPECT_EQ(error.code(), 0x1D0007u);
    EXPECT_EQ(Common::Error::Make(1, 1).text(), nullptr);
}

TEST(ErrorTest, SystemErrorsBecomeHresultStyleCodes)
{
    EXPECT_EQ(Common::Codes::FromSystemError(2), 0x80070002u);
    EXPECT_EQ(Common::Codes::FromSystemError(0x12345), 0x80072345u);
    EXPECT_EQ(Common::Codes::FromSystemError(0), 0u);
    EXPECT_EQ(Common::Codes::FromSystemError(-5), static_cast<uint32_t>(-5));
    EXPECT_EQ(Common::SystemError(ENOENT, TV_HERE).code(), 0x80070002u);
}

TEST(ErrorTest, RenderShowsTheWholeChain)
{
    Common::Error error = Common::MakeError(0x1D0007, TV_HERE, u"Unable to open 'ntdll.dll'.",
                                            Common::MakeError(0x80070002, TV_HERE, u"missing"));
    EXPECT_EQ(Processor::ToUtf8(Processor::RenderError(error)),
              "0x001D0007: Unable to open 'ntdll.dll'.\n    caused by 0x80070002: missing");
}

TEST(ErrorTest, CountsAreAtomicAcrossThreads)
{
    Common::Error error = Common::MakeError(0x1D0001, TV_HERE, u"shared");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&error] {
            for (int i = 0; i < 20000; ++i) {
                Common::Error copy = error;
                (void)copy;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(error.use_count(), 1u);
}

TEST(ErrorTest, ThrownAndCaughtByReference)
{
    try {
        Common::Raise(0x1D0194, TV_HERE, u"thrown");
        FAIL() << "Raise returned";
    } catch (const Common::Error& caught) {
        EXPECT_EQ(caught.code(), 0x1D0194u);
    }
}

}  // namespace
