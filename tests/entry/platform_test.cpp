#include <gtest/gtest.h>

#include "entry/library_files.h"
#include "support/logger.h"
#include "entry/platform.h"
#include "support/fixtures.h"
#include "support/text.h"
#include "support/trace.h"

namespace {

using Transvia::DeviceIds;
using Transvia::DeviceList;

std::vector<uint8_t> PeHeader(uint16_t machine, uint32_t ntOffset = 64, uint32_t signature = 0x4550, size_t size = 0)
{
    std::vector<uint8_t> bytes(std::max<size_t>(ntOffset + 24, 64), 0);
    bytes[0] = 'M';
    bytes[1] = 'Z';
    for (int i = 0; i < 4; ++i) bytes[60 + i] = static_cast<uint8_t>(ntOffset >> (8 * i));
    if (ntOffset + 24 <= bytes.size()) {
        for (int i = 0; i < 4; ++i) bytes[ntOffset + i] = static_cast<uint8_t>(signature >> (8 * i));
        bytes[ntOffset + 4] = static_cast<uint8_t>(machine);
        bytes[ntOffset + 5] = static_cast<uint8_t>(machine >> 8);
    }
    if (size != 0) bytes.resize(size);
    return bytes;
}

class PlatformTest : public ::testing::Test {
protected:
    uint32_t Detect(const std::vector<uint8_t>& ntdll, const std::string& layout = "Windows/System32/ntdll.dll")
    {
        scratch.write(layout, ntdll);
        auto target = scratch.dir();
        auto logger = Transvia::CreateLogger(false);
        return Transvia::DetectPlatform(*target, u"Windows", *logger);
    }

    // The error's text when detection throws; empty when it does not.
    std::string FailureText(const std::vector<uint8_t>& ntdll, bool* hasCause = nullptr)
    {
        try {
            Detect(ntdll);
        } catch (const Common::Error& error) {
            EXPECT_EQ(error.code(), 0x1D0007u);
            if (hasCause) *hasCause = !error.cause().empty();
            return Processor::ToUtf8(std::u16string_view(error.text()));
        }
        return "";
    }

    TestSupport::ScratchDir scratch;
};

TEST_F(PlatformTest, MachineTypesMapToCodes)
{
    EXPECT_EQ(Detect(PeHeader(0x8664)), 3u);
    EXPECT_EQ(Detect(PeHeader(0x014C)), 1u);
    EXPECT_EQ(Detect(PeHeader(0x0200)), 2u);
    EXPECT_EQ(Detect(PeHeader(0x01C4)), 0u);  // ARMv7: not an error, just no decoration
    EXPECT_EQ(Detect(PeHeader(0xAA64, 0x100)), 0u);
    EXPECT_EQ(Processor::ToUtf8(Transvia::PlatformDecoration(3)), "ntamd64");
    EXPECT_EQ(Processor::ToUtf8(Transvia::PlatformDecoration(1)), "ntx86");
    EXPECT_EQ(Processor::ToUtf8(Transvia::PlatformDecoration(2)), "ntia64");
    EXPECT_EQ(Processor::ToUtf8(Transvia::PlatformDecoration(7)), "");
}

// A scratch tree of its own: beside Windows/System32 the lookup would rightly prefer the
// exact names.
TEST_F(PlatformTest, AnyLetterCaseOfTheTree)
{
    EXPECT_EQ(Detect(PeHeader(0x8664), "WINDOWS/system32/NTDLL.DLL"), 3u);
}

TEST_F(PlatformTest, EachHeaderFaultHasItsOwnText)
{
    bool cause = false;
    EXPECT_EQ(FailureText(PeHeader(0x8664, 64, 0x4550, 63), &cause), "Failed access 'ntdll.dll', to detect platform.");
    auto wrongMagic = PeHeader(0x8664);
    wrongMagic[0] = 'Z';
    EXPECT_EQ(FailureText(wrongMagic, &cause), "'ntdll.dll' magic doesn't equal.");
    EXPECT_FALSE(cause);
    // e_lfanew past the end: the seek lands, the read comes up short.
    auto pastEnd = PeHeader(0x8664, 64);
    pastEnd[60] = 0x00;
    pastEnd[61] = 0x10;
    EXPECT_EQ(FailureText(pastEnd), "Read 'ntdll.dll' image header failed.");
    // An offset beyond what a position can hold fails the seek itself.
    auto hugeOffset = PeHeader(0x8664);
    hugeOffset[63] = 0xFF;
    const std::string huge = FailureText(hugeOffset);
    EXPECT_TRUE(huge == "Read 'ntdll.dll' image header failed." || huge == "Access internal 'ntdll.dll' failed.") << huge;
    EXPECT_EQ(FailureText(PeHeader(0x8664, 64, 0x4551), &cause), "Image 'ntdll.dll' nt signature doesn't equal");
    EXPECT_FALSE(cause);
}

TEST_F(PlatformTest, MissingFoldersAndFilesCarryTheDirectoryError)
{
    auto target = scratch.dir();
    auto logger = Transvia::CreateLogger(false);
    try {
        Transvia::DetectPlatform(*target, u"Windows", *logger);
        FAIL();
    } catch (const Common::Error& error) {
        EXPECT_EQ(std::u16string(error.text()), u"Unable to open 'system32' directory.");
        EXPECT_EQ(error.cause().code(), 0x80070002u);
    }
    scratch.write("Windows/System32/kernel32.dll", "MZ");
    try {
        Transvia::DetectPlatform(*target, u"Windows", *logger);
        FAIL();
    } catch (const Common::Error& error) {
        EXPECT_EQ(std::u16string(error.text()), u"Unable to open 'ntdll.dll'.");
        EXPECT_TRUE(error.cause().failed());
    }
}

TEST(ReplaceHalTest, RemovesOneDevicePerKindInOrderThenAppends)
{
    DeviceList devices{DeviceIds{"PCI\\VEN_1"}, DeviceIds{"ACPIAPIC", "ACPIAPIC_MP"}, DeviceIds{"acpipic"},
                       DeviceIds{"ACPIPIC"}};
    const DeviceList hals{DeviceIds{"MPS_MP"}};
    Transvia::ReplaceHal(devices, hals);
    // ACPIAPIC_MP takes the first HAL device; ACPIPIC the first of the two (case-insensitive).
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].name(), "PCI\\VEN_1");
    EXPECT_EQ(devices[1].name(), "ACPIPIC");
    EXPECT_EQ(devices[2].name(), "MPS_MP");

    DeviceList unchanged{DeviceIds{"ACPIAPIC", "ACPIAPIC_UP"}};
    Transvia::ReplaceHal(unchanged, {});
    ASSERT_EQ(unchanged.size(), 1u);
}

}  // namespace
