#pragma once

#include <cstddef>
#include <cstdint>

namespace Common::Hive {

// Seed Windows uses for both hashes of a transaction log entry.
constexpr uint64_t kLogEntrySeed = 0x82EF4D887A4E55C5ull;

// Marvin32 over `length` bytes: the full 64-bit state (high word p1, low word p0),
// which is what log entries store.
uint64_t Marvin32(const uint8_t* data, size_t length, uint64_t seed = kLogEntrySeed);

}  // namespace Common::Hive
