#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// How hive names are stored, ordered and hashed. Windows upper-cases each UTF-16 code
// unit on its own (no locale, no expansion), so ordering and the "lh" hash use exactly
// that, and so does the comparison that decides whether two names are the same key.
namespace Common::HiveNames {

// Decodes a stored name: 8-bit (Latin-1) when `compressed`, else UTF-16LE.
std::u16string Decode(const uint8_t* bytes, uint32_t length, bool compressed);
// Whether a name can be stored in 8-bit form (every code unit below 256).
bool Compressible(std::u16string_view name);
// The stored bytes of a name, without terminator.
std::vector<uint8_t> Encode(std::u16string_view name, bool compressed);

// Compares two names by their upper-cased code units (-1, 0, 1).
int Compare(std::u16string_view a, std::u16string_view b);
// Same key name: equal length and equal upper-cased code units.
bool Same(std::u16string_view a, std::u16string_view b);
// Compares a stored name with a sought one without decoding it first.
int CompareStored(const uint8_t* bytes, uint32_t length, bool compressed, std::u16string_view sought);

// The 4-byte name hint of an "lf" entry.
uint32_t LfHint(std::u16string_view name);
// The name hash of an "lh" entry.
uint32_t LhHash(std::u16string_view name);

}  // namespace Common::HiveNames
