#include "registry/marvin32.h"

#include "registry/hive_format.h"

namespace Common::Hive {

namespace {

inline uint32_t Rotl(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

inline void Block(uint32_t& p0, uint32_t& p1)
{
    p1 ^= p0;
    p0 = Rotl(p0, 20);
    p0 += p1;
    p1 = Rotl(p1, 9);
    p1 ^= p0;
    p0 = Rotl(p0, 27);
    p0 += p1;
    p1 = Rotl(p1, 19);
}

}  // namespace

uint64_t Marvin32(const uint8_t* data, size_t length, uint64_t seed)
{
    uint32_t p0 = static_cast<uint32_t>(seed), p1 = static_cast<uint32_t>(seed >> 32);
    size_t i = 0;
    for (; length - i >= 4; i += 4) {
        p0 += Get32(data + i);
        Block(p0, p1);
    }
    // The 0..3 bytes left, little-endian, then a 0x80 byte.
    uint32_t final = 0x80;
    for (size_t k = length; k > i; --k)
        final = (final << 8) | data[k - 1];
    p0 += final;
    Block(p0, p1);
    Block(p0, p1);
    return (uint64_t(p1) << 32) | p0;
}

}  // namespace Common::Hive
