#include "registry/hive_values.h"

#include <algorithm>
#include <cstring>

#include "registry/hive_names.h"
#include "support/trace.h"

namespace Common::Hive {

namespace {

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

}  // namespace

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

bool ReadData(hive_provider& hive, const ValueKey& value, std::vector<uint8_t>& data,
              std::unordered_set<uint32_t>* claimed)
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
        if (!p || (claimed && !claimed->insert(value.data).second))
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
        // Every cell of the record once, and none read for another value before.
        std::unordered_set<uint32_t> own;
        std::unordered_set<uint32_t>& seen = claimed ? *claimed : own;
        if (!seen.insert(value.data).second || !seen.insert(listCell).second)
            return false;
        for (uint32_t i = 0; i < count; ++i)
            if (!seen.insert(Get32(list + 4 * i)).second)
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
    uint32_t listCell = node.valueList;
    // A list with room takes the new entry in place; else it moves to a cell with room
    // for more, as subkey lists do. Re-allocating the whole list for each value would
    // leave a dead copy of it behind every time.
    if (count > 0 && hive.cell_size(listCell) >= 4 + 4 * (count + 1)) {
        if (!ValueList(hive, node) || !WriteField(hive, listCell, 4 * count, cell))
            return false;
    } else {
        std::vector<uint32_t> entries;
        if (count > 0) {
            const uint8_t* list = ValueList(hive, node);
            if (!list)
                return false;
            entries.assign(count, 0);
            for (uint32_t i = 0; i < count; ++i)
                entries[i] = Get32(list + 4 * i);
        }
        const uint32_t capacity = count + 1 < 16 ? count + 1 : count + 1 + (count + 1) / 2;
        uint8_t* list = hive.allocate(4 * capacity, listCell);
        if (!list)
            return false;
        for (uint32_t i = 0; i < count; ++i)
            Put32(list + 4 * i, entries[i]);
        Put32(list + 4 * count, cell);
        if (count > 0)
            hive.free_cell(node.valueList);
    }
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

void FreeValues(hive_provider& hive, const Node& node)
{
    const uint8_t* list = ValueList(hive, node);
    if (!list)
        return;
    std::vector<uint32_t> values(node.valueCount);
    for (uint32_t i = 0; i < node.valueCount; ++i)
        values[i] = Get32(list + 4 * i);
    for (uint32_t v : values) {
        ValueKey value;
        if (ReadValueKey(hive, v, value, nullptr)) {
            FreeStorage(hive, value);
            hive.free_cell(v);
        }
    }
    hive.free_cell(node.valueList);
}

}  // namespace Common::Hive
