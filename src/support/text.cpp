#include "support/text.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

namespace Processor {

char16_t UpCase(char16_t c)
{
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    if (U16_IS_SURROGATE(c)) return c;
    const UChar32 upper = u_toupper(c);
    // A mapping that leaves the basic plane cannot be stored in one unit: keep the unit.
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : c;
}

void UpCaseInPlace(char16_t* text, size_t length)
{
    for (size_t i = 0; i < length; ++i) text[i] = UpCase(text[i]);
}

String UpCased(const String& text)
{
    String result(text);
    const int32_t length = result.length();
    char16_t* buffer = result.getBuffer(length);
    UpCaseInPlace(buffer, static_cast<size_t>(length));
    result.releaseBuffer(length);
    return result;
}

namespace {

int CompareFolded(const char16_t* a, size_t aLength, const char16_t* b, size_t bLength)
{
    size_t i = 0, j = 0;
    while (i < aLength && j < bLength) {
        UChar32 ca, cb;
        U16_NEXT(a, i, aLength, ca);
        U16_NEXT(b, j, bLength, cb);
        if (ca == cb) continue;
        ca = u_foldCase(ca, U_FOLD_CASE_DEFAULT);
        cb = u_foldCase(cb, U_FOLD_CASE_DEFAULT);
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (i < aLength) return 1;
    if (j < bLength) return -1;
    return 0;
}

}  // namespace

int CompareNoCase(const String& a, const String& b)
{
    return CompareFolded(a.getBuffer(), static_cast<size_t>(a.length()), b.getBuffer(),
                         static_cast<size_t>(b.length()));
}

bool EqualNoCase(const String& a, const String& b)
{
    return CompareNoCase(a, b) == 0;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    return CompareFolded(a.data(), a.size(), b.data(), b.size()) == 0;
}

String FromUtf8(std::string_view utf8)
{
    return String::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
}

std::string ToUtf8(const String& text)
{
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::string ToUtf8(std::u16string_view text)
{
    return ToUtf8(String(false, text.data(), static_cast<int32_t>(text.size())));
}

String FromWide(const std::wstring& text)
{
    String out;
    for (wchar_t c : text) out.append(static_cast<UChar32>(c));
    return out;
}

std::wstring ToWide(const String& text)
{
    std::wstring out;
    for (int32_t i = 0; i < text.length();) {
        const UChar32 c = text.char32At(i);
        out.push_back(static_cast<wchar_t>(c));
        i += U16_LENGTH(c);
    }
    return out;
}

const char16_t* Terminated(String& text)
{
    return text.getTerminatedBuffer();
}

}  // namespace Processor
