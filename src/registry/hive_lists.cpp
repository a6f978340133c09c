#include "registry/hive_lists.h"

#include <algorithm>
#include <cstring>

#include "registry/hive_keys.h"
#include "registry/hive_names.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/trace.h"
#include "transvia/codes.h"

namespace Common::Hive {

namespace {

// Entries a leaf takes before it is split in two under an "ri": about what fits in one
// page, as Windows keeps its leaves. Leaves that size keep an insertion's shift short.
constexpr uint32_t kLeafCapacity = 1012;
constexpr uint8_t kInOrder = 1;
constexpr uint8_t kOutOfOrder = 2;

// A list record read in place: valid until the hive changes.
struct ListView {
    uint16_t kind = 0;
    uint32_t count = 0;
    const uint8_t* entries = nullptr;
    uint32_t width() const { return kind == kSigLi || kind == kSigRi ? 4 : 8; }
    uint32_t key(uint32_t i) const { return Get32(entries + width() * i); }
    uint32_t tag(uint32_t i) const { return Get32(entries + width() * i + 4); }
};

bool ViewList(hive_provider& hive, uint32_t cell, ListView& list)
{
    uint32_t capacity = 0;
    const uint8_t* p = hive.record(cell, 4, &capacity);
    if (!p)
        return false;
    list.kind = Get16(p);
    if (list.kind != kSigLi && list.kind != kSigLf && list.kind != kSigLh && list.kind != kSigRi)
        return false;
    list.count = Get16(p + 2);
    list.entries = p + 4;
    return capacity >= 4 + list.width() * list.count;
}

bool ViewLeaf(hive_provider& hive, uint32_t cell, ListView& leaf)
{
    return cell <= kMaxOffset && ViewList(hive, cell, leaf) && leaf.kind != kSigRi;
}

// A key node's stored name, read in place.
struct StoredName {
    const uint8_t* bytes = nullptr;
    uint16_t length = 0;
    bool compressed = false;
};

// Searches read thousands of these, so the cell is looked up once.
bool ReadName(hive_provider& hive, uint32_t cell, StoredName& name)
{
    uint32_t capacity = 0;
    const uint8_t* p = hive.record(cell, Nk::kName, &capacity);
    if (!p || Get16(p) != kSigNk)
        return false;
    name.length = Get16(p + Nk::kNameLength);
    name.compressed = (Get16(p + Nk::kFlags) & Nk::kCompressedName) != 0;
    name.bytes = p + Nk::kName;
    return capacity >= Nk::kName + name.length;
}

// Compares the name of key node `cell` with `sought` (-1, 0, 1); false when unreadable.
bool CompareEntry(hive_provider& hive, uint32_t cell, std::u16string_view sought, int& order)
{
    StoredName name;
    if (!ReadName(hive, cell, name))
        return false;
    order = HiveNames::CompareStored(name.bytes, name.length, name.compressed, sought);
    return true;
}

std::u16string EntryName(hive_provider& hive, uint32_t cell)
{
    bool ok = false;
    std::u16string name = NodeName(hive, cell, ok);
    if (!ok)
        throw MakeError(Codes::kHiveKeyNodeUnreadable, TV_HERE, MessageTable::Get(Messages::kHiveListKeyUnreadable));
    return name;
}

uint32_t Tag(uint16_t kind, std::u16string_view name)
{
    return kind == kSigLf ? HiveNames::LfHint(name) : HiveNames::LhHash(name);
}

// ---- order ---------------------------------------------------------------------------

// Whether the entries of `leaf` are readable and strictly ascending, each above `last`
// (the previous leaf's last name, empty at first), which it leaves at its own last.
bool LeafInOrder(hive_provider& hive, const ListView& leaf, std::u16string& last, bool& first)
{
    for (uint32_t i = 0; i < leaf.count; ++i) {
        StoredName name;
        if (!ReadName(hive, leaf.key(i), name))
            return false;
        if (!first && HiveNames::CompareStored(name.bytes, name.length, name.compressed, last) <= 0)
            return false;
        last = HiveNames::Decode(name.bytes, name.length, name.compressed);
        first = false;
    }
    return true;
}

// Whether the list at `cell` is in the order a search relies on. Worked out once per
// list: a list that a careless writer left out of order is searched entry by entry.
bool InOrder(hive_provider& hive, uint32_t cell, const ListView& top)
{
    if (const uint8_t known = hive.list_order(cell))
        return known == kInOrder;
    std::u16string last;
    bool first = true;
    bool sorted = true;
    if (top.kind != kSigRi) {
        sorted = LeafInOrder(hive, top, last, first);
    } else {
        for (uint32_t i = 0; i < top.count && sorted; ++i) {
            ListView leaf;
            sorted = ViewLeaf(hive, top.key(i), leaf) && leaf.count > 0 && LeafInOrder(hive, leaf, last, first);
        }
    }
    if (!sorted)
        Trace(3, MessageTable::Get(Messages::kHiveListUnordered));
    hive.set_list_order(cell, sorted ? kInOrder : kOutOfOrder);
    return sorted;
}

// ---- search --------------------------------------------------------------------------

// The first of `count` sorted entries whose order against the name sought is not below
// it; `compare(i, order)` gives entry i's order and false when it cannot be read.
template <class Compare> bool BinarySearch(uint32_t count, uint32_t& index, Compare compare)
{
    uint32_t low = 0, span = count;
    while (span > 0) {
        const uint32_t half = span / 2, mid = low + half;
        int order = 0;
        if (!compare(mid, order))
            return false;
        if (order < 0) {
            low = mid + 1;
            span -= half + 1;
        } else {
            span = half;
        }
    }
    index = low;
    return true;
}

// The first entry of a sorted leaf not below `name`; false when an entry is unreadable.
bool LowerBound(hive_provider& hive, const ListView& leaf, std::u16string_view name, uint32_t& index)
{
    return BinarySearch(leaf.count, index,
                        [&](uint32_t i, int& order) { return CompareEntry(hive, leaf.key(i), name, order); });
}

// Whether entry `index` of `leaf` is `name`; an "lh" hash that differs answers at once.
bool Matches(hive_provider& hive, const ListView& leaf, uint32_t index, std::u16string_view name, uint32_t hash)
{
    if (leaf.kind == kSigLh && leaf.tag(index) != hash)
        return false;
    int order = 0;
    return CompareEntry(hive, leaf.key(index), name, order) && order == 0;
}

bool SearchSorted(hive_provider& hive, uint32_t cell, const ListView& top, std::u16string_view name, uint32_t hash,
                  SubkeySlot& slot)
{
    ListView leaf = top;
    slot.leaf = cell;
    if (top.kind == kSigRi) {
        // The first leaf whose last name is not below `name`, else the last leaf.
        uint32_t low = 0;
        if (!BinarySearch(top.count, low, [&](uint32_t i, int& order) {
                ListView probe;
                return ViewLeaf(hive, top.key(i), probe) && probe.count > 0 &&
                       CompareEntry(hive, probe.key(probe.count - 1), name, order);
            }))
            return false;
        slot.leafIndex = std::min(low, top.count - 1);
        slot.leaf = top.key(slot.leafIndex);
        if (!ViewLeaf(hive, slot.leaf, leaf))
            return false;
    }
    if (!LowerBound(hive, leaf, name, slot.index))
        return false;
    if (slot.index < leaf.count && Matches(hive, leaf, slot.index, name, hash))
        slot.key = leaf.key(slot.index);
    return true;
}

bool SearchEach(hive_provider& hive, uint32_t cell, const ListView& top, std::u16string_view name, uint32_t hash,
                SubkeySlot& slot)
{
    const uint32_t leaves = top.kind == kSigRi ? top.count : 1;
    for (uint32_t j = 0; j < leaves; ++j) {
        ListView leaf = top;
        const uint32_t leafCell = top.kind == kSigRi ? top.key(j) : cell;
        if (top.kind == kSigRi && !ViewLeaf(hive, leafCell, leaf))
            return false;
        // A name not found goes at the end of the last leaf.
        slot.leaf = leafCell;
        slot.leafIndex = j;
        slot.index = leaf.count;
        for (uint32_t i = 0; i < leaf.count; ++i) {
            if (Matches(hive, leaf, i, name, hash)) {
                slot.index = i;
                slot.key = leaf.key(i);
                return true;
            }
        }
    }
    return true;
}

// Finds `name` in the list at `cell`; false when the list cannot be read.
bool Locate(hive_provider& hive, uint32_t cell, std::u16string_view name, SubkeySlot& slot)
{
    slot = SubkeySlot{};
    slot.list = cell;
    slot.edits = hive.list_edits();
    ListView top;
    if (!ViewList(hive, cell, top) || (top.kind == kSigRi && top.count == 0))
        return false;
    const uint32_t hash = HiveNames::LhHash(name);
    return InOrder(hive, cell, top) ? SearchSorted(hive, cell, top, name, hash, slot)
                                    : SearchEach(hive, cell, top, name, hash, slot);
}

// ---- edits ---------------------------------------------------------------------------

// A list's entries copied out, for the edits that rewrite a list whole.
struct Entries {
    uint16_t kind = 0;
    std::vector<uint32_t> keys;
    std::vector<uint32_t> tags;
    uint32_t width() const { return kind == kSigLi || kind == kSigRi ? 4 : 8; }
};

// The entries of `list`, as `kind`: an "lf" read from an old writer becomes an "lh" in a
// hive that knows them, every tag recomputed.
Entries CopyEntries(hive_provider& hive, const ListView& list, uint16_t kind)
{
    Entries out;
    out.kind = kind;
    out.keys.resize(list.count);
    if (out.width() == 8)
        out.tags.resize(list.count);
    for (uint32_t i = 0; i < list.count; ++i) {
        out.keys[i] = list.key(i);
        if (out.width() == 8)
            out.tags[i] = kind == list.kind ? list.tag(i) : Tag(kind, EntryName(hive, list.key(i)));
    }
    return out;
}

// Writes entries [begin, end) into a new cell with room for `capacity`; the cell, or 0.
uint32_t WriteList(hive_provider& hive, const Entries& list, size_t begin, size_t end, size_t capacity)
{
    const uint32_t width = list.width();
    uint32_t cell = 0;
    uint8_t* p = hive.allocate(4 + width * static_cast<uint32_t>(std::max(capacity, end - begin)), cell);
    if (!p)
        return 0;
    Put16(p, list.kind);
    Put16(p + 2, static_cast<uint16_t>(end - begin));
    for (size_t i = begin; i < end; ++i) {
        Put32(p + 4 + width * (i - begin), list.keys[i]);
        if (width == 8)
            Put32(p + 8 + width * (i - begin), list.tags[i]);
    }
    return cell;
}

// Room for what usually follows a growing list: more of the same.
size_t WithSpare(size_t count, size_t limit) { return std::min(count < 16 ? count : count + count / 2, limit); }

// Puts `count` entries of `width` bytes at `index` of the list at `cell`, moving the
// entries from there on; in place, as the caller checked that the cell has room.
bool InsertInPlace(hive_provider& hive, uint32_t cell, const ListView& list, uint32_t index, const uint8_t* added,
                   uint32_t count)
{
    const uint32_t width = list.width();
    std::vector<uint8_t> bytes(added, added + width * count);
    bytes.insert(bytes.end(), list.entries + width * index, list.entries + width * list.count);
    uint8_t header[4];
    Put16(header, list.kind);
    Put16(header + 2, static_cast<uint16_t>(list.count + count));
    return hive.write(cell + 4 + width * index, bytes.data(), static_cast<uint32_t>(bytes.size())) &&
           hive.write(cell, header, 4);
}

// Inserts key `child` at `index` of leaf `cell`. Yields the one or two leaves that hold
// the entries afterwards (two when the leaf was full and is split), or 0. A leaf that
// moved is left for the caller to free once nothing points at it any more.
int InsertIntoLeaf(hive_provider& hive, uint32_t cell, uint32_t index, uint32_t child, std::u16string_view name,
                   uint32_t out[2])
{
    ListView leaf;
    if (!ViewLeaf(hive, cell, leaf) || index > leaf.count)
        return 0;
    const uint16_t kind = leaf.kind == kSigLi ? kSigLi : hive.minor_version() < kLhMinor ? kSigLf : kSigLh;
    const uint32_t width = leaf.width();
    // A leaf with room grows in place: without this, every insertion into a long list
    // would leave a dead copy of it behind.
    if (kind == leaf.kind && leaf.count < kLeafCapacity && hive.cell_size(cell) >= 4 + 4 + width * (leaf.count + 1)) {
        uint8_t entry[8];
        Put32(entry, child);
        Put32(entry + 4, Tag(kind, name));
        out[0] = cell;
        return InsertInPlace(hive, cell, leaf, index, entry, 1) ? 1 : 0;
    }
    Entries entries = CopyEntries(hive, leaf, kind);
    entries.keys.insert(entries.keys.begin() + index, child);
    if (entries.width() == 8)
        entries.tags.insert(entries.tags.begin() + index, Tag(kind, name));
    const size_t count = entries.keys.size();
    int made = 1;
    if (count <= kLeafCapacity) {
        out[0] = WriteList(hive, entries, 0, count, WithSpare(count, kLeafCapacity));
    } else {
        const size_t half = count / 2;
        out[0] = WriteList(hive, entries, 0, half, WithSpare(half, kLeafCapacity));
        out[1] = out[0] ? WriteList(hive, entries, half, count, WithSpare(count - half, kLeafCapacity)) : 0;
        made = out[1] ? 2 : 0;
    }
    return out[0] && made ? made : 0;
}

// Enters the leaves an insertion made into the "ri" at `cell` in place of leaf
// `leafIndex`; yields the ri's cell afterwards, or 0.
uint32_t UpdateIndex(hive_provider& hive, uint32_t cell, uint32_t leafIndex, const uint32_t leaves[2], int made)
{
    ListView top;
    if (!ViewList(hive, cell, top) || top.kind != kSigRi || leafIndex >= top.count)
        return 0;
    if (made == 2) {
        if (top.count >= kMaxListEntries)
            return 0;
        if (hive.cell_size(cell) < 4 + 4 + 4 * (top.count + 1)) {
            Entries entries = CopyEntries(hive, top, kSigRi);
            entries.keys[leafIndex] = leaves[0];
            entries.keys.insert(entries.keys.begin() + leafIndex + 1, leaves[1]);
            return WriteList(hive, entries, 0, entries.keys.size(), WithSpare(entries.keys.size(), kMaxListEntries));
        }
        uint8_t entry[4];
        Put32(entry, leaves[1]);
        if (!InsertInPlace(hive, cell, top, leafIndex + 1, entry, 1))
            return 0;
    }
    return WriteField(hive, cell, 4 + 4 * leafIndex, leaves[0]) ? cell : 0;
}

// Removes entry `index` of the list at `cell` in place; the entries left.
bool RemoveInPlace(hive_provider& hive, uint32_t cell, uint32_t index, uint32_t& left)
{
    ListView list;
    if (!ViewList(hive, cell, list) || index >= list.count)
        return false;
    const uint32_t width = list.width();
    std::vector<uint8_t> bytes(list.entries + width * (index + 1), list.entries + width * list.count);
    uint8_t header[4];
    Put16(header, list.kind);
    Put16(header + 2, static_cast<uint16_t>(list.count - 1));
    left = list.count - 1;
    return hive.write(cell + 4 + width * index, bytes.data(), static_cast<uint32_t>(bytes.size())) &&
           hive.write(cell, header, 4);
}

}  // namespace

bool ReadLeaf(hive_provider& hive, uint32_t cell, Leaf& leaf)
{
    ListView list;
    if (!ViewList(hive, cell, list))
        return false;
    leaf.kind = list.kind;
    leaf.keys.resize(list.count);
    leaf.tags.clear();
    if (list.width() == 8)
        leaf.tags.resize(list.count);
    for (uint32_t i = 0; i < list.count; ++i) {
        leaf.keys[i] = list.key(i);
        if (list.width() == 8)
            leaf.tags[i] = list.tag(i);
    }
    return true;
}

bool ListKeys(hive_provider& hive, uint32_t list, std::vector<uint32_t>& keys, size_t limit)
{
    ListView top;
    if (!ViewList(hive, list, top))
        return false;
    if (top.kind != kSigRi) {
        for (uint32_t i = 0; i < top.count && keys.size() < limit; ++i)
            keys.push_back(top.key(i));
        return true;
    }
    for (uint32_t i = 0; i < top.count && keys.size() < limit; ++i) {
        if (top.key(i) > kMaxOffset)
            continue;
        ListView leaf;
        if (!ViewLeaf(hive, top.key(i), leaf))
            return false;
        for (uint32_t k = 0; k < leaf.count && keys.size() < limit; ++k)
            keys.push_back(leaf.key(k));
    }
    return true;
}

bool LocateSubkey(hive_provider& hive, uint32_t parent, std::u16string_view name, SubkeySlot& slot)
{
    Node node;
    slot = SubkeySlot{};
    if (!ReadNode(hive, parent, node))
        return false;
    if (node.subkeyCount == 0 || node.subkeyList == kNoCell)
        return true;
    return Locate(hive, node.subkeyList, name, slot);
}

uint32_t FindSubkey(hive_provider& hive, uint32_t parent, std::u16string_view name)
{
    SubkeySlot slot;
    return LocateSubkey(hive, parent, name, slot) ? slot.key : 0;
}

bool AddToList(hive_provider& hive, uint32_t parent, uint32_t child, std::u16string_view name,
               const SubkeySlot* known)
{
    Node node;
    if (!ReadNode(hive, parent, node))
        return false;
    uint32_t list = node.subkeyList;
    SubkeySlot slot;
    if (known && known->list == list && known->edits == hive.list_edits())
        slot = *known;
    else if (list != kNoCell && !Locate(hive, list, name, slot))
        return false;
    hive.note_list_edit();
    if (list == kNoCell) {
        Entries entries;
        entries.kind = hive.minor_version() < kLhMinor ? kSigLf : kSigLh;
        entries.keys = {child};
        entries.tags = {Tag(entries.kind, name)};
        list = WriteList(hive, entries, 0, 1, 1);
        if (!list)
            return false;
        hive.set_list_order(list, kInOrder);
    } else {
        if (slot.key)
            return false;
        const uint8_t order = hive.list_order(list);
        ListView top;
        if (!ViewList(hive, list, top))
            return false;
        uint32_t leaves[2] = {0, 0};
        const int made = InsertIntoLeaf(hive, slot.leaf, slot.index, child, name, leaves);
        if (!made)
            return false;
        const uint32_t old = list;
        if (top.kind == kSigRi) {
            list = UpdateIndex(hive, list, slot.leafIndex, leaves, made);
        } else if (made == 1) {
            list = leaves[0];
        } else {
            Entries index;
            index.kind = kSigRi;
            index.keys = {leaves[0], leaves[1]};
            list = WriteList(hive, index, 0, 2, 2);
        }
        if (!list)
            return false;  // what moved is left unreferenced: lost room, never a dangling entry
        // Freed once the new cells are linked in; an insertion at its place keeps the
        // order as it was.
        if (slot.leaf != leaves[0] && slot.leaf != list)
            hive.free_cell(slot.leaf);
        if (top.kind == kSigRi && list != old)
            hive.free_cell(old);
        hive.set_list_order(list, order);
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
    SubkeySlot slot;
    if (!Locate(hive, node.subkeyList, name, slot) || !slot.key)
        return false;
    Node child;
    if (!ReadNode(hive, slot.key, child) || child.subkeyCount != 0)
        return false;
    hive.note_list_edit();
    uint32_t list = node.subkeyList;
    uint32_t left = 0;
    if (!RemoveInPlace(hive, slot.leaf, slot.index, left))
        return false;
    if (left == 0) {
        hive.free_cell(slot.leaf);
        if (slot.leaf == list) {
            list = kNoCell;
        } else {
            if (!RemoveInPlace(hive, list, slot.leafIndex, left))
                return false;
            if (left == 0) {
                hive.free_cell(list);
                list = kNoCell;
            }
        }
    }
    ReleaseNode(hive, slot.key);
    return WriteField(hive, parent, Nk::kSubkeyCount, node.subkeyCount - 1) &&
           WriteField(hive, parent, Nk::kSubkeyList, list);
}

}  // namespace Common::Hive
