// The INF number reader: the three notations, blanks, and every way a text is refused.
#include <gtest/gtest.h>

#include <string>

#include "support/parse_number.h"

namespace {

using Processor::ParseNumber;

struct Accepted {
    const char16_t* text;
    uint64_t value;
};

TEST(ParseNumber, ReadsDecimalHexAndTrailingH)
{
    const Accepted cases[] = {
        {u"0", 0},
        {u"16", 16},
        {u"0x10", 16},
        {u"0X1f", 31},
        {u"10h", 16},
        {u"1FH", 31},
        {u"0ffh", 255},
        {u"  42", 42},
        {u"42  ", 42},
        {u"\t0x00010001 ", 0x10001},
        {u"000x7", 7},  // zeros before the x are still "all digits 0"
        {u"0x", 0},     // the leading zero is a digit
        {u"18446744073709551615", UINT64_MAX},
        {u"0xFFFFFFFFFFFFFFFF", UINT64_MAX},
        {u"FFFFFFFFFFFFFFFFh", UINT64_MAX},
    };
    for (const Accepted& item : cases) {
        uint64_t value = 12345;
        EXPECT_TRUE(ParseNumber(item.text, value)) << std::u16string(item.text).size();
        EXPECT_EQ(value, item.value);
    }
}

TEST(ParseNumber, RefusesAndLeavesTheValueAlone)
{
    const char16_t* refused[] = {
        u"",
        u"   ",
        u"x10",                   // x before any digit
        u"1x10",                  // x after a non-zero digit
        u"0x0x1",                 // second x
        u"0x10h",                 // h after x
        u"h",                     // no digit at all
        u"1h2",                   // h not last
        u"1F",                    // hexadecimal digit in a decimal number
        u"0x1G",                  // digit outside base 16
        u"1 2",                   // blank inside
        u"12 h",                  // blank before the h
        u"-1",
        u"+1",
        u"18446744073709551616",  // one past 64 bits
        u"0x10000000000000000",
        u"1.5",
    };
    for (const char16_t* text : refused) {
        uint64_t value = 777;
        EXPECT_FALSE(ParseNumber(text, value)) << "accepted: " << std::u16string(text).size() << " units";
        EXPECT_EQ(value, 777u);
    }
    uint64_t value = 1;
    EXPECT_FALSE(ParseNumber(static_cast<const char16_t*>(nullptr), value));
}

TEST(ParseNumber, StringFormReadsTheSameAsTheView)
{
    uint64_t value = 0;
    EXPECT_TRUE(ParseNumber(Processor::String(u"0x20"), value));
    EXPECT_EQ(value, 32u);
    // A view that ends before a text's terminator reads only the view.
    const char16_t text[] = u"12345";
    EXPECT_TRUE(ParseNumber(std::u16string_view(text, 2), value));
    EXPECT_EQ(value, 12u);
}

}  // namespace
