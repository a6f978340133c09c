#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "registry/hive_file.h"
#include "registry/hive_format.h"

// Subkey lists: the leaves (li, lf, lh) and the index of leaves (ri) under a key node.
// Reading, finding a subkey by name, inserting and removing.
namespace Common::Hive {

struct Leaf {
    uint16_t kind = 0;
    std::vector<uint32_t> keys;
    std::vector<uint32_t> tags;  // hints or hashes (lf, lh)
    uint32_t width() const { return kind == kSigLi || kind == kSigRi ? 4 : 8; }
};

bool ReadLeaf(hive_provider& hive, uint32_t cell, Leaf& leaf);
// Every key node offset of a subkey list in list order; an ri holds leaves only.
// At most `limit` cells: an index may name one leaf many times, so what a list expands to
// is bounded by what the caller can use, not by what the index claims.
bool ListKeys(hive_provider& hive, uint32_t list, std::vector<uint32_t>& keys, size_t limit = SIZE_MAX);

// Where a name is in a subkey list, or where it would go.
struct SubkeySlot {
    uint32_t list = kNoCell;  // the list searched, and the edit it was searched at
    uint64_t edits = 0;
    uint32_t leaf = 0;       // the leaf's cell
    uint32_t leafIndex = 0;  // the leaf's position in the "ri", when there is one
    uint32_t index = 0;      // the position in the leaf
    uint32_t key = 0;        // the key node, when the name is there
};

// Looks `name` up among the subkeys of `parent`: `slot.key` is its key node, or 0 and
// the slot says where it would go. False when the list cannot be read.
bool LocateSubkey(hive_provider& hive, uint32_t parent, std::u16string_view name, SubkeySlot& slot);
// The key node of subkey `name` of `parent`, or 0.
uint32_t FindSubkey(hive_provider& hive, uint32_t parent, std::u16string_view name);
// Enters key node `child` named `name` into the subkey list of `parent`, at `slot` when
// a search just found it (and nothing edited a list since), else where a search says.
bool AddToList(hive_provider& hive, uint32_t parent, uint32_t child, std::u16string_view name,
               const SubkeySlot* slot = nullptr);
// Takes subkey `name` (which must have no subkeys) out of `parent` and releases it.
bool RemoveSubkey(hive_provider& hive, uint32_t parent, std::u16string_view name);

}  // namespace Common::Hive
