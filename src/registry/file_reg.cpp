#include "registry/file_reg.h"

#include <algorithm>
#include <cstring>

#include "registry/hive_format.h"
#include "registry/hive_names.h"
#include "support/errors.h"
#include "support/trace.h"
#include "transvia/codes.h"

namespace Common {

using namespace Hive;

namespace {

std::u16string_view View(const Processor::String& text)
{
    return std::u16string_view(text.getBuffer(), static_cast<size_t>(text.length()));
}

Processor::String ToString(const std::u16string& text)
{
    return Processor::String(text.data(), static_cast<int32_t>(text.size()));
}

// The bytes of a record whose cell is allocated and large enough for `length`.
const uint8_t* Record(hive_provider& hive, uint32_t cell, uint32_t length)
{
    const uint32_t size = hive.cell_size(cell);
    if (size < 4 || size - 4 < length)
        return nullptr;
    return hive.view(cell, length);
}

bool WriteField(hive_provider& hive, uint32_t cell, uint32_t field, uint32_t value)
{
    uint8_t bytes[4];
    Put32(bytes, value);
    return hive.write(cell + field, bytes, 4);
}

// A key node's fixed part, copied out so that it survives allocations and writes.
struct Node {
    uint16_t flags = 0;
    uint64_t timestamp = 0;
    uint32_t subkeyCount = 0;
    uint32_t subkeyList = kNoCell;
    uint32_t valueCount = 0;
    uint32_t valueList = kNoCell;
    uint32_t security = kNoCell;
    uint32_t classCell = kNoCell;
    uint32_t maxSubkeyName = 0;
    uint32_t maxValueName = 0;
    uint32_t maxValueData = 0;
    const uint8_t* name = nullptr;  // valid only until the hive changes
    uint16_t nameLength = 0;
    bool compressed() const { return (flags & Nk::kCompressedName) != 0; }
};

bool ReadNode(hive_provider& hive, uint32_t cell, Node& node)
{
    const uint8_t* p = Record(hive, cell, Nk::kName);
    if (!p || Get16(p) != kSigNk)
        return false;
    node.nameLength = Get16(p + Nk::kNameLength);
    p = Record(hive, cell, Nk::kName + node.nameLength);
    if (!p)
        return false;
    node.flags = Get16(p + Nk::kFlags);
    node.timestamp = Get64(p + Nk::kTimestamp);
    node.subkeyCount = Get32(p + Nk::kSubkeyCount);
    node.subkeyList = Get32(p + Nk::kSubkeyList);
    node.valueCount = Get32(p + Nk::kValueCount);
    node.valueList = Get32(p + Nk::kValueList);
    node.security = Get32(p + Nk::kSecurity);
    node.classCell = Get32(p + Nk::kClassName);
    node.maxSubkeyName = Get32(p + Nk::kMaxSubkeyName);
    node.maxValueName = Get32(p + Nk::kMaxValueName);
    node.maxValueData = Get32(p + Nk::kMaxValueData);
    node.name = p + Nk::kName;
    return true;
}

std::u16string NodeName(hive_provider& hive, uint32_t cell, bool& ok)
{
    Node node;
    ok = ReadNode(hive, cell, node);
    return ok ? HiveNames::Decode(node.name, node.nameLength, node.compressed()) : std::u16string();
}

// ---- subkey lists --------------------------------------------------------------------

struct Leaf {
    uint16_t kind = 0;
    std::vector<uint32_t> keys;
    std::vector<uint32_t> tags;  // hints or hashes (lf, lh)
    uint32_t width() const { return kind == kSigLi || kind == kSigRi ? 4 : 8; }
};

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

// Every key node offset of a subkey list in list order; an ri holds leaves only.
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

uint32_t CreateSubkey(hive_provider& hive, uint32_t parent, std::u16string_view name)
{
    if (name.empty() || name.size() > 255 || name.find(u'\\') != std::u16string_view::npos)
        return 0;
    Node parentNode;
    if (!ReadNode(hive, parent, parentNode))
        return 0;
    const uint64_t stamp = parentNode.timestamp + 256;
    const uint32_t security = parentNode.security;
    const bool compressed = HiveNames::Compressible(name);
    const std::vector<uint8_t> stored = HiveNames::Encode(name, compressed);
    const uint32_t nameBytes = static_cast<uint32_t>(stored.size());
    uint32_t cell = 0;
    uint8_t* p = hive.allocate(82 + nameBytes, cell);
    if (!p)
        return 0;
    // Each key holds a reference on its security cell.
    const uint8_t* sk = Record(hive, security, Sk::kDescriptor);
    if (sk && Get16(sk) == kSigSk)
        WriteField(hive, security, Sk::kRefCount, Get32(sk + Sk::kRefCount) + 1);
    std::memset(p, 0, 82 + nameBytes);
    WriteKeyNode(p, compressed ? Nk::kCompressedName : 0, stamp, parent, security, stored);
    if (!AddToList(hive, parent, cell, name))
        return 0;
    return cell;
}

// ---- values --------------------------------------------------------------------------

struct ValueKey {
    uint32_t cell = 0;
    uint32_t index = 0;
    uint32_t rawSize = 0;
    uint32_t data = 0;
    uint32_t type = 0;
    uint32_t size() const { return rawSize & ~Vk::kInlineBit; }
    bool inlined() const { return (rawSize & Vk::kInlineBit) != 0; }
};

bool ReadValueKey(hive_provider& hive, uint32_t cell, ValueKey& value, std::u16string* name)
{
    const uint8_t* p = Record(hive, cell, Vk::kName);
    if (!p || Get16(p) != kSigVk)
        return false;
    const uint16_t length = Get16(p + Vk::kNameLength);
    p = Record(hive, cell, Vk::kName + length);
    if (!p)
        return false;
    value.cell = cell;
    value.rawSize = Get32(p + Vk::kDataSize);
    value.data = Get32(p + Vk::kData);
    value.type = Get32(p + Vk::kType);
    if (name)
        *name = HiveNames::Decode(p + Vk::kName, length, (Get16(p + Vk::kFlags) & Vk::kCompressedName) != 0);
    return true;
}

const uint8_t* ValueList(hive_provider& hive, const Node& node)
{
    if (node.valueCount == 0)
        return nullptr;
    if (node.valueCount > kMaxOffset / 4)
        return nullptr;
    return Record(hive, node.valueList, 4 * node.valueCount);
}

bool FindValue(hive_provider& hive, uint32_t key, std::u16string_view name, ValueKey& value)
{
    Node node;
    if (!ReadNode(hive, key, node))
        return false;
    const uint8_t* list = ValueList(hive, node);
    if (!list)
        return false;
    for (uint32_t i = 0; i < node.valueCount; ++i) {
        const uint32_t cell = Get32(list + 4 * i);
        const uint8_t* p = Record(hive, cell, Vk::kName);
        if (!p || Get16(p) != kSigVk)
            continue;
        const uint16_t length = Get16(p + Vk::kNameLength);
        const bool compressed = (Get16(p + Vk::kFlags) & Vk::kCompressedName) != 0;
        if ((compressed ? length : length / 2u) != name.size())
            continue;
        p = Record(hive, cell, Vk::kName + length);
        if (p && HiveNames::CompareStored(p + Vk::kName, length, compressed, name) == 0) {
            if (!ReadValueKey(hive, cell, value, nullptr))
                return false;
            value.index = i;
            return true;
        }
    }
    return false;
}

enum class Storage { None, Inline, Cell, BigData };

Storage StorageOf(hive_provider& hive, const ValueKey& value)
{
    if (value.inlined())
        return Storage::Inline;
    if (value.size() == 0 || value.data == kNoCell)
        return Storage::None;
    if (value.size() > kBigDataSegment) {
        const uint8_t* p = Record(hive, value.data, 8);
        if (p && Get16(p) == kSigDb)
            return Storage::BigData;
    }
    return Storage::Cell;
}

bool ReadData(hive_provider& hive, const ValueKey& value, std::vector<uint8_t>& data)
{
    const uint32_t size = value.size();
    data.clear();
    switch (StorageOf(hive, value)) {
    case Storage::None:
        return size == 0;
    case Storage::Inline: {
        if (size > 4)
            return false;
        uint8_t bytes[4];
        Put32(bytes, value.data);
        data.assign(bytes, bytes + size);
        return true;
    }
    case Storage::Cell: {
        const uint8_t* p = Record(hive, value.data, size);
        if (!p)
            return false;
        data.assign(p, p + size);
        return true;
    }
    case Storage::BigData: {
        const uint8_t* db = Record(hive, value.data, 8);
        const uint32_t count = Get16(db + 2);
        const uint32_t listCell = Get32(db + 4);
        if (uint64_t(count) * kBigDataSegment < size)
            return false;
        const uint8_t* list = Record(hive, listCell, 4 * count);
        if (!list)
            return false;
        data.reserve(size);
        for (uint32_t i = 0; i < count && data.size() < size; ++i) {
            const uint32_t part = std::min<uint32_t>(kBigDataSegment, size - static_cast<uint32_t>(data.size()));
            const uint8_t* segment = Record(hive, Get32(list + 4 * i), part);
            if (!segment)
                return false;
            data.insert(data.end(), segment, segment + part);
        }
        return data.size() == size;
    }
    }
    return false;
}

void FreeStorage(hive_provider& hive, const ValueKey& value)
{
    switch (StorageOf(hive, value)) {
    case Storage::Cell:
        hive.free_cell(value.data);
        break;
    case Storage::BigData: {
        const uint8_t* db = Record(hive, value.data, 8);
        const uint32_t count = Get16(db + 2);
        const uint32_t listCell = Get32(db + 4);
        if (const uint8_t* list = Record(hive, listCell, 4 * count)) {
            std::vector<uint32_t> segments(count);
            for (uint32_t i = 0; i < count; ++i)
                segments[i] = Get32(list + 4 * i);
            for (uint32_t segment : segments)
                hive.free_cell(segment);
            hive.free_cell(listCell);
        }
        hive.free_cell(value.data);
        break;
    }
    default:
        break;
    }
}

// Stores data of more than 4 bytes: one cell, or "db" segments for big data in hives
// that know them. Yields the cell for the value key's data field, or 0.
uint32_t StoreData(hive_provider& hive, const uint8_t* data, uint32_t size)
{
    uint32_t cell = 0;
    if (size <= kBigDataSegment || hive.minor_version() < kBigDataMinor) {
        uint8_t* p = hive.allocate(size, cell);
        if (!p)
            return 0;
        std::memcpy(p, data, size);
        return cell;
    }
    const uint32_t count = (size + kBigDataSegment - 1) / kBigDataSegment;
    if (count > 0xFFFF)
        return 0;
    uint8_t* db = hive.allocate(8, cell);
    if (!db)
        return 0;
    Put16(db, kSigDb);
    Put16(db + 2, static_cast<uint16_t>(count));
    uint32_t listCell = 0;
    if (!hive.allocate(4 * count, listCell))
        return 0;
    Put32(db + 4, listCell);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t part = std::min(kBigDataSegment, size - i * kBigDataSegment);
        // Readers take a segment cell's size less 8 as its content, so each cell is
        // sized for its part plus 4 and trimmed to exactly that.
        uint32_t segment = 0;
        uint8_t* p = hive.allocate(part + 4, segment);
        if (!p)
            return 0;
        hive.trim_cell(segment, part + 4);
        std::memcpy(p, data + uint64_t(i) * kBigDataSegment, part);
        std::memset(p + part, 0, 4);
        uint8_t entry[4];
        Put32(entry, segment);
        if (!hive.write(listCell + 4 * i, entry, 4))
            return 0;
    }
    return cell;
}

bool WriteData(hive_provider& hive, ValueKey& value, const uint8_t* data, uint32_t size)
{
    if (size <= 4) {
        uint8_t bytes[4] = {0, 0, 0, 0};
        if (size)
            std::memcpy(bytes, data, size);
        value.rawSize = size | Vk::kInlineBit;
        value.data = Get32(bytes);
        return true;
    }
    const uint32_t cell = StoreData(hive, data, size);
    if (!cell)
        return false;
    value.rawSize = size;
    value.data = cell;
    return true;
}

bool UpdateValue(hive_provider& hive, uint32_t key, ValueKey value, const uint8_t* data, uint32_t size, uint32_t type)
{
    const Storage old = StorageOf(hive, value);
    const bool bigNew = size > kBigDataSegment && hive.minor_version() >= kBigDataMinor;
    if (old == Storage::Cell && size > 4 && !bigNew && size <= value.size() &&
        Record(hive, value.data, size) != nullptr) {
        if (!hive.write(value.data, data, size))
            return false;
        value.rawSize = size;
    } else {
        ValueKey previous = value;
        if (!WriteData(hive, value, data, size))
            return false;
        FreeStorage(hive, previous);
    }
    value.type = type;
    uint8_t fields[12];
    Put32(fields, value.rawSize);
    Put32(fields + 4, value.data);
    Put32(fields + 8, value.type);
    if (!hive.write(value.cell + Vk::kDataSize, fields, 12))
        return false;
    Node node;
    if (ReadNode(hive, key, node) && node.maxValueData < size)
        WriteField(hive, key, Nk::kMaxValueData, size);
    return true;
}

bool AddValue(hive_provider& hive, uint32_t key, std::u16string_view name, const uint8_t* data, uint32_t size,
              uint32_t type)
{
    if (name.size() > 16383)
        return false;
    const bool compressed = HiveNames::Compressible(name);
    const std::vector<uint8_t> stored = HiveNames::Encode(name, compressed);
    const uint32_t nameBytes = static_cast<uint32_t>(stored.size());
    uint32_t cell = 0;
    uint8_t* p = hive.allocate(Vk::kFirstRead + nameBytes + (compressed ? 1 : 2), cell);
    if (!p)
        return false;
    std::memset(p, 0, Vk::kName + nameBytes + (compressed ? 1 : 2));
    Put16(p, kSigVk);
    Put16(p + Vk::kNameLength, static_cast<uint16_t>(nameBytes));
    Put32(p + Vk::kType, type);
    Put16(p + Vk::kFlags, compressed ? Vk::kCompressedName : 0);
    if (nameBytes)  // the default value has no name
        std::memcpy(p + Vk::kName, stored.data(), nameBytes);
    ValueKey value;
    value.cell = cell;
    if (!WriteData(hive, value, data, size))
        return false;
    Put32(p + Vk::kDataSize, value.rawSize);
    Put32(p + Vk::kData, value.data);

    Node node;
    if (!ReadNode(hive, key, node))
        return false;
    uint32_t count = node.valueCount;
    if (count == 0 && node.valueList != kNoCell)
        Trace(4, u"Keynode with invalid value list found.");
    std::vector<uint32_t> entries;
    if (count > 0) {
        const uint8_t* list = ValueList(hive, node);
        if (!list)
            return false;
        entries.resize(count);
        for (uint32_t i = 0; i < count; ++i)
            entries[i] = Get32(list + 4 * i);
    }
    uint32_t listCell = 0;
    uint8_t* list = hive.allocate(4 * (count + 1), listCell);
    if (!list)
        return false;
    for (uint32_t i = 0; i < count; ++i)
        Put32(list + 4 * i, entries[i]);
    Put32(list + 4 * count, cell);
    if (count > 0)
        hive.free_cell(node.valueList);
    return WriteField(hive, key, Nk::kValueCount, count + 1) && WriteField(hive, key, Nk::kValueList, listCell) &&
           WriteField(hive, key, Nk::kMaxValueName, std::max(node.maxValueName, 2 * static_cast<uint32_t>(name.size()))) &&
           WriteField(hive, key, Nk::kMaxValueData, std::max(node.maxValueData, size));
}

bool RemoveValue(hive_provider& hive, uint32_t key, std::u16string_view name)
{
    ValueKey value;
    if (!FindValue(hive, key, name, value))
        return false;
    Node node;
    if (!ReadNode(hive, key, node))
        return false;
    const uint8_t* list = ValueList(hive, node);
    if (!list)
        return false;
    std::vector<uint32_t> entries(node.valueCount);
    for (uint32_t i = 0; i < node.valueCount; ++i)
        entries[i] = Get32(list + 4 * i);
    auto it = std::find(entries.begin(), entries.end(), value.cell);
    if (it == entries.end())
        return false;
    entries.erase(it);
    std::vector<uint8_t> bytes(4 * entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        Put32(bytes.data() + 4 * i, entries[i]);
    if (!hive.write(node.valueList, bytes.data(), static_cast<uint32_t>(bytes.size())))
        return false;
    // The data goes with its value: nothing else refers to it.
    FreeStorage(hive, value);
    hive.free_cell(value.cell);
    return WriteField(hive, key, Nk::kValueCount, node.valueCount - 1);
}

// Frees what a key node owns once it is out of its parent's list: values, data, lists,
// its class name and its reference on the security cell, then the node itself.
void ReleaseNode(hive_provider& hive, uint32_t cell)
{
    Node node;
    if (!ReadNode(hive, cell, node))
        return;
    const Node copy = node;
    if (const uint8_t* list = ValueList(hive, copy)) {
        std::vector<uint32_t> values(copy.valueCount);
        for (uint32_t i = 0; i < copy.valueCount; ++i)
            values[i] = Get32(list + 4 * i);
        for (uint32_t v : values) {
            ValueKey value;
            if (ReadValueKey(hive, v, value, nullptr)) {
                FreeStorage(hive, value);
                hive.free_cell(v);
            }
        }
        hive.free_cell(copy.valueList);
    }
    if (copy.subkeyList != kNoCell) {
        Leaf leaf;
        if (ReadLeaf(hive, copy.subkeyList, leaf) && leaf.keys.empty())
            hive.free_cell(copy.subkeyList);
    }
    if (copy.classCell != kNoCell)
        hive.free_cell(copy.classCell);
    // Lowered but never to zero: a count that was already short must not free a
    // descriptor that other keys still use.
    const uint8_t* sk = Record(hive, copy.security, Sk::kDescriptor);
    if (sk && Get16(sk) == kSigSk && Get32(sk + Sk::kRefCount) > 1)
        WriteField(hive, copy.security, Sk::kRefCount, Get32(sk + Sk::kRefCount) - 1);
    hive.free_cell(cell);
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

// Splits a key path at backslashes after dropping one trailing backslash.
bool SplitPath(const Processor::String& path, std::vector<std::u16string>& parts)
{
    std::u16string_view text = View(path);
    if (!text.empty() && text.back() == u'\\')
        text.remove_suffix(1);
    if (text.empty())
        return false;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(u'\\', start);
        parts.emplace_back(text.substr(start, end == std::u16string_view::npos ? end : end - start));
        if (end == std::u16string_view::npos)
            return true;
        start = end + 1;
    }
}

}  // namespace

// ---- file_reg -------------------------------------------------------------------------

file_reg file_reg::open_hive(std::shared_ptr<rio_dir> directory, const Processor::String& name, bool read_only,
                             Error& error, const HiveLogPolicy& policy)
{
    uint32_t root = 0;
    auto hive = hive_provider::open(std::move(directory), name, read_only, root, error, policy);
    return hive ? file_reg(std::move(hive), root) : file_reg();
}

file_reg file_reg::open_hive(std::shared_ptr<i_dir> directory, const Processor::String& name, Error& error,
                             const HiveLogPolicy& policy)
{
    uint32_t root = 0;
    auto hive = hive_provider::open(std::move(directory), name, root, error, policy);
    return hive ? file_reg(std::move(hive), root) : file_reg();
}

std::u16string file_reg::name() const
{
    bool ok = false;
    return empty() ? std::u16string() : NodeName(*hive_, cell_, ok);
}

bool file_reg::subkey_cells(std::vector<uint32_t>& cells) const
{
    cells.clear();
    Node node;
    if (empty() || !ReadNode(*hive_, cell_, node))
        return false;
    if (node.subkeyCount == 0)
        return true;
    return ListKeys(*hive_, node.subkeyList, cells);
}

bool file_reg::value_at(uint32_t index, value_record& value) const
{
    Node node;
    if (empty() || !ReadNode(*hive_, cell_, node) || index >= node.valueCount)
        return false;
    const uint8_t* list = ValueList(*hive_, node);
    if (!list)
        return false;
    ValueKey key;
    if (!ReadValueKey(*hive_, Get32(list + 4 * index), key, &value.name))
        return false;
    value.type = key.type;
    return ReadData(*hive_, key, value.data);
}

bool file_reg::read_value(std::u16string_view name, uint32_t& type, std::vector<uint8_t>& data) const
{
    ValueKey value;
    if (empty() || !FindValue(*hive_, cell_, name, value))
        return false;
    type = value.type;
    return ReadData(*hive_, value, data);
}

file_reg file_reg::find_subkey(std::u16string_view name) const
{
    if (empty())
        return file_reg();
    const uint32_t cell = FindSubkey(*hive_, cell_, name);
    return cell ? file_reg(hive_, cell) : file_reg();
}

file_reg file_reg::create_subkey(std::u16string_view name)
{
    if (empty())
        return file_reg();
    if (const uint32_t cell = FindSubkey(*hive_, cell_, name))
        return file_reg(hive_, cell);
    const uint32_t cell = CreateSubkey(*hive_, cell_, name);
    return cell ? file_reg(hive_, cell) : file_reg();
}

// Steps through a key path from this key; `create` makes the missing keys.
static file_reg WalkPath(const file_reg& start, const Processor::String& path, bool create)
{
    std::vector<std::u16string> parts;
    if (start.empty() || !SplitPath(path, parts))
        return file_reg();
    file_reg key = start;
    for (const auto& part : parts) {
        key = create ? key.create_subkey(part) : key.find_subkey(part);
        if (key.empty())
            break;
    }
    return key;
}

file_reg file_reg::open_key(const Processor::String& path) { return WalkPath(*this, path, false); }

file_reg file_reg::create_key(const Processor::String& path) { return WalkPath(*this, path, true); }

bool file_reg::query_value(const Processor::String& name, void* buffer, uint32_t& size, uint32_t& type)
{
    ValueKey value;
    if (empty() || !FindValue(*hive_, cell_, View(name), value))
        return false;
    type = value.type;
    const uint32_t capacity = size;
    size = value.size();
    if (size > capacity)
        return false;
    std::vector<uint8_t> data;
    if (!ReadData(*hive_, value, data))
        return false;
    if (!data.empty())
        std::memcpy(buffer, data.data(), data.size());
    return true;
}

bool file_reg::query_value(const Processor::String& name, void* buffer, uint32_t& size)
{
    uint32_t type = 0;
    return query_value(name, buffer, size, type);
}

Processor::String file_reg::get_string(const Processor::String& name, const Processor::String& fallback)
{
    uint32_t size = 0, type = 0;
    ValueKey value;
    if (empty() || !FindValue(*hive_, cell_, View(name), value) || value.type != REG_SZ)
        return fallback;
    // Asked for its size first, then read through a zero-filled buffer one character longer.
    query_value(name, nullptr, size, type);
    std::vector<char16_t> buffer(size / 2 + 2, u'\0');
    uint32_t capacity = size;
    if (!query_value(name, buffer.data(), capacity, type) || type != REG_SZ)
        return fallback;
    return Processor::String(buffer.data());
}

uint32_t file_reg::get_dword(const Processor::String& name, uint32_t fallback)
{
    uint8_t bytes[4] = {0, 0, 0, 0};
    uint32_t size = 4, type = 0;
    if (!query_value(name, bytes, size, type) || type != REG_DWORD)
        return fallback;
    return Get32(bytes);
}

Processor::String file_reg::key_name() { return ToString(name()); }

uint32_t file_reg::subkey_count()
{
    Node node;
    return !empty() && ReadNode(*hive_, cell_, node) ? node.subkeyCount : 0;
}

Processor::String file_reg::subkey_name(uint32_t index)
{
    Node node;
    if (empty() || !ReadNode(*hive_, cell_, node) || index >= node.subkeyCount)
        return Processor::String();
    Leaf top;
    if (!ReadLeaf(*hive_, node.subkeyList, top))
        return Processor::String();
    uint32_t cell = 0;
    if (top.kind != kSigRi) {
        if (index >= top.keys.size())
            return Processor::String();
        cell = top.keys[index];
    } else {
        for (uint32_t sub : top.keys) {
            Leaf inner;
            if (sub > kMaxOffset || !ReadLeaf(*hive_, sub, inner) || inner.kind == kSigRi)
                return Processor::String();
            if (index < inner.keys.size()) {
                cell = inner.keys[index];
                break;
            }
            index -= static_cast<uint32_t>(inner.keys.size());
        }
    }
    bool ok = false;
    return cell ? ToString(NodeName(*hive_, cell, ok)) : Processor::String();
}

uint32_t file_reg::value_count()
{
    Node node;
    return !empty() && ReadNode(*hive_, cell_, node) ? node.valueCount : 0;
}

Processor::String file_reg::value_name(uint32_t index)
{
    Node node;
    if (empty() || !ReadNode(*hive_, cell_, node) || index >= node.valueCount)
        return Processor::String();
    const uint8_t* list = ValueList(*hive_, node);
    std::u16string name;
    ValueKey value;
    if (!list || !ReadValueKey(*hive_, Get32(list + 4 * index), value, &name))
        return Processor::String();
    return ToString(name);
}

bool file_reg::delete_subkey(std::u16string_view name) { return !empty() && RemoveSubkey(*hive_, cell_, name); }

bool file_reg::delete_subkey(const Processor::String& name) { return delete_subkey(View(name)); }

bool file_reg::set_value(std::u16string_view name, const void* data, uint32_t size, uint32_t type)
{
    if (empty() || (size > 0 && !data) || size >= kMaxOffset / 2)
        return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    ValueKey value;
    if (FindValue(*hive_, cell_, name, value))
        return UpdateValue(*hive_, cell_, value, bytes, size, type);
    return AddValue(*hive_, cell_, name, bytes, size, type);
}

bool file_reg::set_value(const Processor::String& name, const void* data, uint32_t size, uint32_t type)
{
    return set_value(View(name), data, size, type);
}

bool file_reg::set_binary(const Processor::String& name, const void* data, uint32_t size)
{
    return set_value(name, data, size, REG_BINARY);
}

bool file_reg::set_string(const Processor::String& name, const Processor::String& text, bool expand)
{
    std::vector<char16_t> bytes(text.getBuffer(), text.getBuffer() + text.length());
    bytes.push_back(u'\0');
    return set_value(name, bytes.data(), static_cast<uint32_t>(2 * bytes.size()), expand ? REG_EXPAND_SZ : REG_SZ);
}

bool file_reg::set_dword(const Processor::String& name, uint32_t value)
{
    uint8_t bytes[4];
    Put32(bytes, value);
    return set_value(name, bytes, 4, REG_DWORD);
}

bool file_reg::delete_value(std::u16string_view name) { return !empty() && RemoveValue(*hive_, cell_, name); }

bool file_reg::delete_value(const Processor::String& name) { return delete_value(View(name)); }

}  // namespace Common
