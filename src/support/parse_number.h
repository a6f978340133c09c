#pragma once

#include <cstdint>
#include <string_view>

#include "transvia/string.h"

namespace Processor {

// Reads an unsigned 64-bit number as INF files write them: decimal ("16"), C-style
// hexadecimal ("0x10") or with a trailing h ("10h"); blanks may lead and trail. False
// (with `value` untouched) for an empty text, a stray character, a digit outside the
// base or a value past 64 bits.
bool ParseNumber(std::u16string_view text, uint64_t& value);
bool ParseNumber(const char16_t* text, uint64_t& value);
bool ParseNumber(const String& text, uint64_t& value);

}  // namespace Processor
