#include "registry/hive_lists.h"

#include <algorithm>

#include "registry/hive_keys.h"
#include "registry/hive_names.h"
#include "support/errors.h"
#include "support/trace.h"
#include "transvia/codes.h"

namespace Common::Hive {

namespace {

// Whether key node `cell` carries `name`; a light read, as lookups visit every entry.
bool NodeNamed(hive_provider& hive, uint32_t cell, std::u16string_view name)
{
    const uint8_t* p = hive.view(cell, Nk::kName);
    if (!p || Get16(p) != kSigNk)
        return false;
    const uint16_t length = Get16(p + Nk::kNameLength);
    const bool compressed = (Get16(p + Nk::kFlags) & Nk::kCompressedName) != 0;
    if ((compressed ? length : length / 2u) != name.size())
        return false;
    p = Record(hive, cell, Nk::kName + length);
    return p && HiveNames::CompareStored(p + Nk::kName, length, compressed, name) == 0;
}

uint32_t FindInKeys(hive_provider& hive, const std::vector<uint32_t>& keys, std::u16string_view name, size_t& index)
{
    for (size_t i = 0; i < keys.size(); ++i) {
        if (NodeNamed(hive, keys[i], name)) {
            index = i;
            return keys[i];
        }
    }
    return 0;
}

std::u16string EntryName(hive_provider& hive, uint32_t cell)
{
    bool ok = false;
    std::u16string name = NodeName(hive, cell, ok);
    if (!ok)
        throw MakeError(Codes::kHiveKeyNodeUnreadable, TV_HERE, u"a key node of a subkey list cannot be read");
    return name;
}

// Insertion position in a sorted leaf: an index, or keys.size() for past-the-end.
size_t InsertPosition(hive_provider& hive, const std::vector<uint32_t>& keys, std::u16string_view name)
{
    const size_t n = keys.size();
    if (n == 0 || HiveNames::Compare(name, EntryName(hive, keys[n - 1])) > 0)
        return n;
    size_t low = 0, span = n - 1;
    while (span > 0) {
        const size_t half = span / 2, mid = low + half;
        if (HiveNames::Compare(EntryName(hive, keys[mid]), name) < 0) {
            low = mid + 1;
            span = span - half - 1;
        } else {
            span = half;
        }
    }
    return low;
}

uint32_t Tag(uint16_t kind, std::u16string_view name)
{
    return kind == kSigLf ? HiveNames::LfHint(name) : HiveNames::LhHash(name);
}

// Writes a new leaf of `kind` with the given entries; the new cell, or 0.
uint32_t WriteLeaf(hive_provider& hive, uint16_t kind, const std::vector<uint32_t>& keys,
                   const std::vector<uint32_t>& tags)
{
    const uint32_t width = kind == kSigLi ? 4 : 8;
    uint32_t cell = 0;
    uint8_t* p = hive.allocate(4 + width * static_cast<uint32_t>(keys.size()), cell);
    if (!p)
        return 0;
    Put16(p, kind);
    Put16(p + 2, static_cast<uint16_t>(keys.size()));
    for (size_t i = 0; i < keys.size(); ++i) {
        Put32(p + 4 + width * i, keys[i]);
        if (width == 8)
            Put32(p + 8 + 8 * i, tags[i]);
    }
    return cell;
}

// Grows leaf `cell` by key `child`; yields the leaf's cell afterwards (the same one when
// it had room), or 0.
uint32_t GrowLeaf(hive_provider& hive, uint32_t cell, uint32_t child, std::u16string_view name)
{
    // Reused between calls: long lists would otherwise cost an allocation and a release
    // of their whole size on every insertion.
    static thread_local Leaf leaf;
    static thread_local std::vector<uint8_t> bytes;
    if (!ReadLeaf(hive, cell, leaf) || leaf.kind == kSigRi || leaf.keys.size() >= kMaxListEntries)
        return 0;
    const size_t position = InsertPosition(hive, leaf.keys, name);
    const uint16_t kind = leaf.kind == kSigLi ? kSigLi : hive.minor_version() < kLhMinor ? kSigLf : kSigLh;
    if (kind != leaf.kind)  // an lf read from an old writer becomes an lh: every tag is recomputed
        for (size_t i = 0; i < leaf.keys.size(); ++i)
            leaf.tags[i] = Tag(kind, EntryName(hive, leaf.keys[i]));
    leaf.keys.insert(leaf.keys.begin() + static_cast<ptrdiff_t>(position), child);
    if (kind != kSigLi)
        leaf.tags.insert(leaf.tags.begin() + static_cast<ptrdiff_t>(position), Tag(kind, name));
    const uint32_t width = kind == kSigLi ? 4 : 8;
    const uint32_t count = static_cast<uint32_t>(leaf.keys.size());
    // A leaf with room grows in place: the count and the entries from the new one on
    // are rewritten. Without this, every insertion into a long list would leave a dead
    // copy of it behind, and a hive would grow with the square of a key's subkeys.
    if (kind == leaf.kind && hive.cell_size(cell) >= 4 + 4 + width * count) {
        bytes.resize(width * (count - position));
        for (uint32_t i = static_cast<uint32_t>(position); i < count; ++i) {
            Put32(bytes.data() + width * (i - position), leaf.keys[i]);
            if (width == 8)
                Put32(bytes.data() + width * (i - position) + 4, leaf.tags[i]);
        }
        uint8_t header[4];
        Put16(header, kind);
        Put16(header + 2, static_cast<uint16_t>(count));
        if (!hive.write(cell + 4 + width * static_cast<uint32_t>(position), bytes.data(), static_cast<uint32_t>(bytes.size())) ||
            !hive.write(cell, header, 4))
            return 0;
        return cell;
    }
    // Otherwise a new cell with room to spare for what usually follows: more subkeys.
    const uint32_t spare = count < 16 ? 0 : std::min<uint32_t>(count / 2, kMaxListEntries - count);
    uint32_t grown = 0;
    uint8_t* p = hive.allocate(4 + width * (count + spare), grown);
    if (!p)
        return 0;
    Put16(p, kind);
    Put16(p + 2, static_cast<uint16_t>(count));
    for (uint32_t i = 0; i < count; ++i) {
        Put32(p + 4 + width * i, leaf.keys[i]);
        if (width == 8)
            Put32(p + 8 + 8 * i, leaf.tags[i]);
    }
    hive.free_cell(cell);
    return grown;
}

// Removes entry `index` from leaf `cell` in place; true when the leaf is now empty.
bool ShrinkLeaf(hive_provider& hive, uint32_t cell, Leaf& leaf, size_t index, bool& ok)
{
    leaf.keys.erase(leaf.keys.begin() + static_cast<ptrdiff_t>(index));
    if (!leaf.tags.empty())
        leaf.tags.erase(leaf.tags.begin() + static_cast<ptrdiff_t>(index));
    const uint32_t width = leaf.width();
    std::vector<uint8_t> bytes(4 + width * leaf.keys.size());
    Put16(bytes.data(), leaf.kind);
    Put16(bytes.data() + 2, static_cast<uint16_t>(leaf.keys.size()));
    for (size_t i = 0; i < leaf.keys.size(); ++i) {
        Put32(bytes.data() + 4 + width * i, leaf.keys[i]);
        if (width == 8)
            Put32(bytes.data() + 8 + 8 * i, leaf.tags[i]);
    }
    ok = hive.write(cell, bytes.data(), static_cast<uint32_t>(bytes.size()));
    return leaf.keys.empty();
}

}  // namespace

bool ReadLeaf(hive_provider& hive, uint32_t cell, Leaf& leaf)
{
    const uint8_t* p = Record(hive, cell, 4);
    if (!p)
        return false;
    leaf.kind = Get16(p);
    if (leaf.kind != kSigLi && leaf.kind != kSigLf && leaf.kind != kSigLh && leaf.kind != kSigRi)
        return false;
    const uint32_t count = Get16(p + 2);
    p = Record(hive, cell, 4 + leaf.width() * count);
    if (!p)
        return false;
    leaf.keys.resize(count);
    leaf.tags.clear();
    if (leaf.width() == 8)
        leaf.tags.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        leaf.keys[i] = Get32(p + 4 + leaf.width() * i);
        if (leaf.width() == 8)
            leaf.tags[i] = Get32(p + 8 + 8 * i);
    }
    return true;
}

bool ListKeys(hive_provider& hive, uint32_t list, std::vector<uint32_t>& keys)
{
    Leaf leaf;
    if (!ReadLeaf(hive, list, leaf))
        return false;
    if (leaf.kind != kSigRi) {
        keys.insert(keys.end(), leaf.keys.begin(), leaf.keys.end());
        return true;
    }
    for (uint32_t sub : leaf.keys) {
        if (sub > kMaxOffset)
            continue;
        Leaf inner;
        if (!ReadLeaf(hive, sub, inner) || inner.kind == kSigRi)
            return false;
        keys.insert(keys.end(), inner.keys.begin(), inner.keys.end());
    }
    return true;
}

uint32_t FindSubkey(hive_provider& hive, uint32_t parent, std::u16string_view name)
{
    Node node;
    if (!ReadNode(hive, parent, node) || node.subkeyCount == 0 || node.subkeyList == kNoCell)
        return 0;
    std::vector<uint32_t> keys;
    if (!ListKeys(hive, node.subkeyList, keys))
        return 0;
    size_t index = 0;
    return FindInKeys(hive, keys, name, index);
}

bool AddToList(hive_provider& hive, uint32_t parent, uint32_t child, std::u16string_view name)
{
    Node node;
    if (!ReadNode(hive, parent, node))
        return false;
    uint32_t list = node.subkeyList;
    if (list == kNoCell) {
        const uint16_t kind = hive.minor_version() < kLhMinor ? kSigLf : kSigLh;
        list = WriteLeaf(hive, kind, {child}, {Tag(kind, name)});
        if (!list)
            return false;
    } else {
        Leaf top;
        if (!ReadLeaf(hive, list, top))
            return false;
        if (top.kind != kSigRi) {
            list = GrowLeaf(hive, list, child, name);
            if (!list)
                return false;
        } else {
            // The first sub-list whose search answers an index takes the key, else the last.
            size_t chosen = top.keys.size();
            for (size_t i = 0; i < top.keys.size() && chosen == top.keys.size(); ++i) {
                Leaf inner;
                if (top.keys[i] > kMaxOffset || !ReadLeaf(hive, top.keys[i], inner) || inner.kind == kSigRi)
                    return false;
                if (InsertPosition(hive, inner.keys, name) < inner.keys.size())
                    chosen = i;
            }
            if (top.keys.empty())
                return false;
            if (chosen == top.keys.size())
                chosen = top.keys.size() - 1;
            const uint32_t grown = GrowLeaf(hive, top.keys[chosen], child, name);
            if (!grown || !WriteField(hive, list, 4 + 4 * static_cast<uint32_t>(chosen), grown))
                return false;
        }
    }
    const uint32_t nameBytes = 2 * static_cast<uint32_t>(name.size());
    return WriteField(hive, parent, Nk::kSubkeyCount, node.subkeyCount + 1) &&
           WriteField(hive, parent, Nk::kSubkeyList, list) &&
           WriteField(hive, parent, Nk::kMaxSubkeyName, std::max(node.maxSubkeyName, nameBytes));
}

bool RemoveSubkey(hive_provider& hive, uint32_t parent, std::u16string_view name)
{
    Node node;
    if (!ReadNode(hive, parent, node) || node.subkeyCount == 0 || node.subkeyList == kNoCell)
        return false;
    Leaf top;
    if (!ReadLeaf(hive, node.subkeyList, top))
        return false;
    uint32_t leafCell = node.subkeyList;
    size_t topIndex = 0, index = 0;
    uint32_t found = 0;
    Leaf leaf;
    if (top.kind != kSigRi) {
        leaf = top;
        found = FindInKeys(hive, leaf.keys, name, index);
    } else {
        for (topIndex = 0; topIndex < top.keys.size() && !found; ++topIndex) {
            leafCell = top.keys[topIndex];
            if (leafCell > kMaxOffset || !ReadLeaf(hive, leafCell, leaf) || leaf.kind == kSigRi)
                return false;
            found = FindInKeys(hive, leaf.keys, name, index);
        }
        --topIndex;
    }
    if (!found)
        return false;
    Node child;
    if (!ReadNode(hive, found, child) || child.subkeyCount != 0)
        return false;
    bool ok = true;
    uint32_t list = node.subkeyList;
    if (ShrinkLeaf(hive, leafCell, leaf, index, ok)) {
        hive.free_cell(leafCell);
        if (top.kind == kSigRi) {
            if (ShrinkLeaf(hive, node.subkeyList, top, topIndex, ok)) {
                hive.free_cell(node.subkeyList);
                list = kNoCell;
            }
        } else {
            list = kNoCell;
        }
    }
    if (!ok)
        return false;
    ReleaseNode(hive, found);
    return WriteField(hive, parent, Nk::kSubkeyCount, node.subkeyCount - 1) &&
           WriteField(hive, parent, Nk::kSubkeyList, list);
}

}  // namespace Common::Hive
