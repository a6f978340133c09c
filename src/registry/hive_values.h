#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "registry/hive_keys.h"

// Values of a key node: the value list, value keys, their data inline, in one cell or
// in big-data segments.
namespace Common::Hive {

struct ValueKey {
    uint32_t cell = 0;
    uint32_t index = 0;
    uint32_t rawSize = 0;
    uint32_t data = 0;
    uint32_t type = 0;
    uint32_t size() const { return rawSize & ~Vk::kInlineBit; }
    bool inlined() const { return (rawSize & Vk::kInlineBit) != 0; }
};

bool ReadValueKey(hive_provider& hive, uint32_t cell, ValueKey& value, std::u16string* name);
// The entries of a key's value list, or null when it has none or it cannot be read.
const uint8_t* ValueList(hive_provider& hive, const Node& node);
bool FindValue(hive_provider& hive, uint32_t key, std::u16string_view name, ValueKey& value);
// The value's data. Big data whose segment list names one cell twice is refused: its
// bytes are no value's own. With `claimed`, a whole-tree reader's record of the cells read
// so far, data in a cell read for another value already is refused before it is copied,
// and the cells of this one are added.
bool ReadData(hive_provider& hive, const ValueKey& value, std::vector<uint8_t>& data,
              std::unordered_set<uint32_t>* claimed = nullptr);

bool UpdateValue(hive_provider& hive, uint32_t key, ValueKey value, const uint8_t* data, uint32_t size, uint32_t type);
bool AddValue(hive_provider& hive, uint32_t key, std::u16string_view name, const uint8_t* data, uint32_t size,
              uint32_t type);
bool RemoveValue(hive_provider& hive, uint32_t key, std::u16string_view name);
// Frees every value of `node` with its data, and the value list.
void FreeValues(hive_provider& hive, const Node& node);

}  // namespace Common::Hive
