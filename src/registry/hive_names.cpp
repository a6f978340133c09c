#include "registry/hive_names.h"

#include "support/text.h"

namespace Common::HiveNames {

namespace {

// Upper-case of ASCII without a call; everything else through the one shared rule.
inline char16_t Up(char16_t c)
{
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    return Processor::UpCase(c);
}

}  // namespace

std::u16string Decode(const uint8_t* bytes, uint32_t length, bool compressed)
{
    std::u16string name;
    if (compressed) {
        name.resize(length);
        for (uint32_t i = 0; i < length; ++i)
            name[i] = bytes[i];
    } else {
        name.resize(length / 2);
        for (uint32_t i = 0; i < length / 2; ++i)
            name[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return name;
}

bool Compressible(std::u16string_view name)
{
    for (char16_t c : name)
        if (c > 0xFF)
            return false;
    return true;
}

std::vector<uint8_t> Encode(std::u16string_view name, bool compressed)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(name.size() * 2);
    for (char16_t c : name) {
        bytes.push_back(static_cast<uint8_t>(c));
        if (!compressed)
            bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return bytes;
}

int Compare(std::u16string_view a, std::u16string_view b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = Up(a[i]), y = Up(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool Same(std::u16string_view a, std::u16string_view b) { return a.size() == b.size() && Compare(a, b) == 0; }

int CompareStored(const uint8_t* bytes, uint32_t length, bool compressed, std::u16string_view sought)
{
    const size_t count = compressed ? length : length / 2;
    const size_t n = std::min(count, sought.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t stored = compressed ? bytes[i] : static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        const char16_t x = Up(stored), y = Up(sought[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return count == sought.size() ? 0 : (count < sought.size() ? -1 : 1);
}

uint32_t LfHint(std::u16string_view name)
{
    uint8_t hint[4] = {0, 0, 0, 0};
    const size_t n = std::min<size_t>(name.size(), 4);
    // Filled from the last position towards the first; a character above 255 stops
    // the filling and leaves its position and all before it zero.
    for (size_t i = n; i-- > 0;) {
        if (name[i] > 0xFF)
            break;
        hint[i] = static_cast<uint8_t>(name[i]);
    }
    return uint32_t(hint[0]) | uint32_t(hint[1]) << 8 | uint32_t(hint[2]) << 16 | uint32_t(hint[3]) << 24;
}

uint32_t LhHash(std::u16string_view name)
{
    uint32_t hash = 0;
    for (char16_t c : name)
        hash = hash * 37 + Up(c);
    return hash;
}

}  // namespace Common::HiveNames
