#include "registry/hive_keys.h"

#include <cstring>

#include "registry/hive_lists.h"
#include "registry/hive_names.h"
#include "registry/hive_values.h"

namespace Common::Hive {

const uint8_t* Record(hive_provider& hive, uint32_t cell, uint32_t length) { return hive.record(cell, length); }

bool WriteField(hive_provider& hive, uint32_t cell, uint32_t field, uint32_t value)
{
    uint8_t bytes[4];
    Put32(bytes, value);
    return hive.write(cell + field, bytes, 4);
}

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

uint32_t CreateSubkey(hive_provider& hive, uint32_t parent, std::u16string_view name, const SubkeySlot* slot)
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
    if (!AddToList(hive, parent, cell, name, slot))
        return 0;
    return cell;
}

void ReleaseNode(hive_provider& hive, uint32_t cell)
{
    Node node;
    if (!ReadNode(hive, cell, node))
        return;
    const Node copy = node;
    FreeValues(hive, copy);
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

}  // namespace Common::Hive

