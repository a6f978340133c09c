#include <gtest/gtest.h>

#include <cstring>
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

TEST(ErrorTest, SystemErrorsCarryTheWin32NumberAWindowsHostWouldSee)
{
    const std::pair<int, uint32_t> table[] = {
        {ENOENT, 2},   {ENOTDIR, 3},   {EACCES, 5},  {EPERM, 5},        {EISDIR, 5},  {EEXIST, 80},
        {ENOSPC, 112}, {EXDEV, 161},   {ELOOP, 161}, {ENAMETOOLONG, 206}, {EMFILE, 4}, {ENOMEM, 8},
        {EROFS, 19},   {EBUSY, 32},    {EINVAL, 87}, {ENOTEMPTY, 145},  {EFBIG, 223}, {EIO, 1117},
    };
    for (const auto& [error, win32] : table)
        EXPECT_EQ(Common::Codes::FromSystemError(error), 0x80070000u | win32) << std::strerror(error);
    // No made-up Win32 number for an errno Windows has no word for; non-errno values pass through.
    EXPECT_EQ(Common::Codes::FromSystemError(EHOSTDOWN), Common::Codes::kSystemCallFailed);
    EXPECT_EQ(Common::Codes::FromSystemError(0), 0u);
    EXPECT_EQ(Common::Codes::FromSystemError(-5), static_cast<uint32_t>(-5));
    EXPECT_EQ(Common::SystemError(EACCES, TV_HERE).code(), 0x80070005u);
}

TEST(ErrorTest, NegativeLengthMeansNulTerminatedAndALengthCutsTheText)
{
    const char16_t text[] = u"whole text";
    EXPECT_EQ(std::u16string(Common::Error::Make(1, 1, text, -1, Common::Error()).text()), u"whole text");
    EXPECT_EQ(std::u16string(Common::Error::Make(1, 1, text, -7, Common::Error()).text()), u"whole text");
    EXPECT_EQ(std::u16string(Common::Error::Make(1, 1, text, 5, Common::Error()).text()), u"whole");
}

TEST(ErrorTest, SiteIdsDoNotDependOnTheCheckoutPath)
{
    EXPECT_EQ(TV_HERE, Common::SiteId("tests/support/error_test.cpp", __LINE__));
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
