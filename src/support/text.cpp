#include "support/text.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

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
        if ((ca | cb) < 0x80) {
            // Two ASCII characters fold to their lower case; ICU is asked only about the rest.
            ca = AsciiLowerCase(static_cast<char16_t>(ca));
            cb = AsciiLowerCase(static_cast<char16_t>(cb));
        } else {
            ca = u_foldCase(ca, U_FOLD_CASE_DEFAULT);
            cb = u_foldCase(cb, U_FOLD_CASE_DEFAULT);
        }
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

namespace {

// Length of the valid UTF-8 sequence at `p` (1 to 4) and its code point, or 0 when the
// bytes there are not one: overlong forms, encoded surrogates and values past U+10FFFF
// are invalid.
size_t DecodeUtf8(const unsigned char* p, size_t left, UChar32& c)
{
    const unsigned char b = p[0];
    if (b < 0x80) {
        c = b;
        return 1;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        c = b & 0x0F;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        c = b & 0x07;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = p[i];
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
        c = (c << 6) | (next & 0x3F);
    }
    return length;
}

constexpr char16_t kEscapeBase = 0xDC00;

}  // namespace

String FromFileName(std::string_view bytes)
{
    String out;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    while (i < bytes.size()) {
        UChar32 c;
        const size_t length = DecodeUtf8(p + i, bytes.size() - i, c);
        if (length == 0) {
            out.append(static_cast<char16_t>(kEscapeBase + p[i]));
            ++i;
        } else {
            out.append(c);
            i += length;
        }
    }
    return out;
}

bool ToFileName(const String& text, std::string& bytes)
{
    bytes.clear();
    bool escaped = false;
    for (int32_t i = 0; i < text.length();) {
        const UChar32 c = text.char32At(i);
        i += U16_LENGTH(c);
        if (U_IS_SURROGATE(c)) {
            if (c < kEscapeBase + 0x80 || c > kEscapeBase + 0xFF) return false;
            bytes.push_back(static_cast<char>(c - kEscapeBase));
            escaped = true;
            continue;
        }
        char buffer[4];
        int32_t length = 0;
        U8_APPEND_UNSAFE(reinterpret_cast<uint8_t*>(buffer), length, c);  // c is a scalar value here
        bytes.append(buffer, static_cast<size_t>(length));
    }
    // Escaped bytes next to each other may form a valid sequence, which would name the
    // file of another text: only an exact round trip is accepted.
    return !escaped || FromFileName(bytes) == text;
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
