#include "support/parse_number.h"

#include <unicode/uchar.h>

namespace Processor {
namespace {

bool IsBlank(char16_t c) { return u_isspace(c) != 0; }

// Value of a digit in base 36, or 99 for anything else.
unsigned DigitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 99;
}

}  // namespace

bool ParseNumber(std::u16string_view text, uint64_t& value)
{
    size_t begin = 0;
    while (begin < text.size() && IsBlank(text[begin]))
        ++begin;
    size_t end = text.size();
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    if (begin == end) return false;

    // A trailing h decides the base before the first digit is read, so "1Fh" is hexadecimal.
    const bool trailingH = text[end - 1] == u'h' || text[end - 1] == u'H';
    unsigned base = trailingH ? 16 : 10;
    uint64_t result = 0;
    size_t digits = 0;
    bool onlyZeros = true;
    bool sawX = false;

    for (size_t i = begin; i < end; ++i) {
        const char16_t c = text[i];
        if (c == u'x' || c == u'X') {
            if (sawX || digits == 0 || !onlyZeros) return false;
            sawX = true;
            base = 16;
            continue;
        }
        if (c == u'h' || c == u'H') {
            if (i != end - 1 || sawX) return false;
            break;
        }
        const unsigned digit = DigitValue(c);
        if (digit >= base) return false;  // also blanks inside the number
        if (result > (UINT64_MAX - digit) / base) return false;
        result = result * base + digit;
        ++digits;
        if (digit != 0) onlyZeros = false;
    }
    if (digits == 0) return false;
    value = result;
    return true;
}

bool ParseNumber(const char16_t* text, uint64_t& value)
{
    return text != nullptr && ParseNumber(std::u16string_view(text), value);
}

bool ParseNumber(const String& text, uint64_t& value)
{
    return ParseNumber(std::u16string_view(text.getBuffer(), static_cast<size_t>(text.length())), value);
}

}  // namespace Processor
