#pragma once

#include <string>
#include <string_view>

#include "transvia/string.h"

// Text helpers shared by every layer: the one upper-case rule, case-insensitive
// comparison and conversions between the engine's UTF-16 and the host's UTF-8.
namespace Processor {

// Simple upper case of one UTF-16 code unit, as Windows upper-cases hive names and
// INF section names (surrogates stay as they are).
char16_t UpCase(char16_t c);

// Lower case of an ASCII unit; any other unit as it is. Case folding, simple or full,
// does exactly this to ASCII, so comparisons settle ASCII text without ICU.
constexpr char16_t AsciiLowerCase(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

// Upper-cases every code unit with UpCase.
String UpCased(const String& text);
void UpCaseInPlace(char16_t* text, size_t length);

// Compares two texts with simple case folding per code point (-1, 0, 1).
int CompareNoCase(const String& a, const String& b);
bool EqualNoCase(const String& a, const String& b);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

String FromUtf8(std::string_view utf8);
std::string ToUtf8(const String& text);
std::string ToUtf8(std::u16string_view text);
// File names of this machine are byte strings. Valid UTF-8 is decoded as such; every byte
// of an invalid sequence becomes the lone surrogate U+DC00 + byte, so two names never
// decode to the same text and the bytes come back exactly.
String FromFileName(std::string_view bytes);
// The inverse; false for a text that no byte string decodes to (a lone surrogate that is
// not such an escape, or escapes that would re-read as a different character).
bool ToFileName(const String& text, std::string& bytes);
String FromWide(const std::wstring& text);
std::wstring ToWide(const String& text);

// NUL-terminated view of a String's buffer (the String must not change while it is used).
const char16_t* Terminated(String& text);

}  // namespace Processor
