#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "registry/hive_file.h"
#include "registry/hive_format.h"

// Key nodes: reading their fixed part and name, creating one under a parent, and
// releasing everything a removed one owns. The key objects sit on top of this.
namespace Common::Hive {

// The bytes of a record whose cell is allocated and large enough for `length`.
const uint8_t* Record(hive_provider& hive, uint32_t cell, uint32_t length);
bool WriteField(hive_provider& hive, uint32_t cell, uint32_t field, uint32_t value);

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

bool ReadNode(hive_provider& hive, uint32_t cell, Node& node);
std::u16string NodeName(hive_provider& hive, uint32_t cell, bool& ok);

struct SubkeySlot;

// Creates key `name` under `parent` (which must not hold it yet), at `slot` when a
// search just found where it goes; its cell, or 0.
uint32_t CreateSubkey(hive_provider& hive, uint32_t parent, std::u16string_view name,
                      const SubkeySlot* slot = nullptr);
// Frees what a key node owns once it is out of its parent's list: values, data, lists,
// its class name and its reference on the security cell, then the node itself.
void ReleaseNode(hive_provider& hive, uint32_t cell);

}  // namespace Common::Hive
