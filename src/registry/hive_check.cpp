#include "registry/hive_check.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string_view>

#include "registry/hive_format.h"
#include "registry/hive_names.h"

namespace Common {

using namespace Hive;

namespace {

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

class Checker {
public:
    Checker(const uint8_t* bytes, size_t size, std::vector<std::string>& faults, HiveCheckSummary& summary)
        : bytes_(bytes), size_(size), faults_(faults), summary_(summary)
    {
    }

    bool run()
    {
        const size_t before = faults_.size();
        if (!base_block() || !bins())
            return false;
        key_tree();
        security_counts();
        return faults_.size() == before;
    }

private:
    // Per 4-byte slot of the bins: the size of the cell that starts there, with
    // kAllocated set for a cell in use; 0 where no cell starts. Flat tables instead of
    // hash sets: a SYSTEM hive has hundreds of thousands of cells.
    static constexpr uint32_t kAllocated = 0x80000000u;
    static constexpr uint8_t kClaimed = 1, kNode = 2;

    uint32_t cell_info(uint32_t offset) const
    {
        return offset % 4 == 0 && offset / 4 < cells_.size() ? cells_[offset / 4] : 0;
    }
    // Sets `mark` on the cell at `offset` (a cell start); false when it was set already.
    bool mark(uint32_t offset, uint8_t mark)
    {
        if (offset / 4 >= marks_.size())
            return true;  // callers pass checked cell starts; this only keeps a slip from writing astray
        uint8_t& marks = marks_[offset / 4];
        const bool fresh = (marks & mark) == 0;
        marks |= mark;
        return fresh;
    }

    static constexpr size_t kMaxFaults = 10000;
    void fault(const std::string& text)
    {
        if (faults_.size() < kMaxFaults)
            faults_.push_back(text);
    }

    bool base_block()
    {
        summary_.bytes = size_;
        if (size_ < HBLOCK_SIZE) {
            fault("the file is shorter than a base block (" + std::to_string(size_) + " bytes)");
            return false;
        }
        bool ok = true;
        if (Get32(bytes_) != kRegfSignature) {
            fault("base block: no \"regf\" signature");
            return false;
        }
        const uint32_t stored = Get32(bytes_ + kBaseChecksum), computed = BaseBlockChecksum(bytes_);
        if (stored != computed) {
            fault("base block: checksum " + Hex(stored) + " but the words give " + Hex(computed));
            ok = false;
        }
        if (Get32(bytes_ + kBasePrimarySequence) != Get32(bytes_ + kBaseSecondarySequence))
            fault("base block: sequence numbers differ (" + std::to_string(Get32(bytes_ + kBasePrimarySequence)) +
                  ", " + std::to_string(Get32(bytes_ + kBaseSecondarySequence)) + "): the hive is dirty");
        summary_.minor = Get32(bytes_ + kBaseMinor);
        if (Get32(bytes_ + kBaseMajor) != 1 || summary_.minor < 1 || summary_.minor > 5) {
            fault("base block: unsupported version " + std::to_string(Get32(bytes_ + kBaseMajor)) + "." +
                  std::to_string(summary_.minor));
            ok = false;
        }
        if (Get32(bytes_ + kBaseFormat) != 1) {
            fault("base block: file format " + std::to_string(Get32(bytes_ + kBaseFormat)) + " (1 expected)");
            ok = false;
        }
        binsSize_ = Get32(bytes_ + kBaseBinsSize);
        if (binsSize_ == 0 || binsSize_ % HBLOCK_SIZE != 0) {
            fault("base block: hive bins size " + Hex(binsSize_) + " is not a positive multiple of 4096");
            ok = false;
        } else if (uint64_t(HBLOCK_SIZE) + binsSize_ > size_) {
            fault("base block: hive bins size " + Hex(binsSize_) + " runs past the end of the file");
            ok = false;
        }  // bytes after the last bin are normal: Windows grows hive files ahead of their bins
        root_ = Get32(bytes_ + kBaseRootCell);
        return ok;
    }

    bool bins()
    {
        cells_.assign(binsSize_ / 4, 0);
        marks_.assign(binsSize_ / 4, 0);
        for (uint64_t pos = HBLOCK_SIZE; pos < uint64_t(HBLOCK_SIZE) + binsSize_;) {
            const uint8_t* bin = bytes_ + pos;
            const uint32_t size = Get32(bin + kBinSize);
            if (Get32(bin) != kBinSignature) {
                fault("bin at file offset " + Hex(pos) + ": no \"hbin\" signature");
                return false;
            }
            if (Get32(bin + kBinOffset) != pos - HBLOCK_SIZE)
                fault("bin at file offset " + Hex(pos) + ": its offset field says " + Hex(Get32(bin + kBinOffset)));
            if (size < HBLOCK_SIZE || size % HBLOCK_SIZE != 0 || pos + size > uint64_t(HBLOCK_SIZE) + binsSize_) {
                fault("bin at file offset " + Hex(pos) + ": impossible size " + Hex(size));
                return false;
            }
            ++summary_.bins;
            for (uint32_t at = kBinHeaderSize; at < size;) {
                const int32_t raw = static_cast<int32_t>(Get32(bin + at));
                const uint32_t length = raw < 0 ? 0u - static_cast<uint32_t>(raw) : static_cast<uint32_t>(raw);
                const uint32_t cell = static_cast<uint32_t>(pos - HBLOCK_SIZE + at);
                if (length < 8 || length % 8 != 0) {
                    fault("cell " + Hex(cell) + ": size " + Hex(length) + " is not a multiple of 8 of at least 8");
                    if (length < 8 || length % 4 != 0)
                        return false;
                }
                if (length > size - at) {
                    fault("cell " + Hex(cell) + ": crosses the end of its bin");
                    return false;
                }
                cells_[cell / 4] = length | (raw < 0 ? kAllocated : 0);
                at += length;
            }
            pos += size;
        }
        return true;
    }

    // Data of an allocated cell that holds at least `length` bytes, else a fault and null.
    const uint8_t* cell(uint32_t offset, uint32_t length, const char* what, uint32_t owner)
    {
        const uint32_t info = cell_info(offset);
        if (info == 0) {
            fault(std::string(what) + " " + Hex(offset) + " (of " + Hex(owner) + "): not the start of a cell");
            return nullptr;
        }
        if ((info & kAllocated) == 0) {
            fault(std::string(what) + " " + Hex(offset) + " (of " + Hex(owner) + "): the cell is free");
            return nullptr;
        }
        const uint32_t size = info & ~kAllocated;
        if (size - 4 < length) {
            fault(std::string(what) + " " + Hex(offset) + " (of " + Hex(owner) + "): " + std::to_string(length) +
                  " bytes do not fit a cell of " + std::to_string(size));
            return nullptr;
        }
        return bytes_ + HBLOCK_SIZE + 4 + offset;
    }

    // Every cell but a security cell belongs to exactly one record.
    // False for a cell claimed before: its content has been looked at already.
    bool claim(uint32_t offset, const char* what)
    {
        if (mark(offset, kClaimed))
            return true;
        if (faults_.size() < kMaxFaults)
            fault(std::string(what) + " " + Hex(offset) + ": the cell is referenced more than once");
        return false;
    }

    const uint8_t* signed_cell(uint32_t offset, uint32_t length, uint16_t signature, const char* what, uint32_t owner)
    {
        const uint8_t* p = cell(offset, length, what, owner);
        if (p && Get16(p) != signature) {
            fault(std::string(what) + " " + Hex(offset) + " (of " + Hex(owner) + "): wrong signature");
            return nullptr;
        }
        return p;
    }

    std::u16string node_name(uint32_t nk)
    {
        const uint8_t* p = bytes_ + HBLOCK_SIZE + 4 + nk;
        return HiveNames::Decode(p + Nk::kName, Get16(p + Nk::kNameLength), (Get16(p + Nk::kFlags) & Nk::kCompressedName) != 0);
    }

    void key_tree()
    {
        struct Pending {
            uint32_t cell;
            uint32_t parent;
        };
        std::vector<Pending> stack{{root_, kNoCell}};
        bool first = true;
        while (!stack.empty()) {
            const Pending item = stack.back();
            stack.pop_back();
            const uint8_t* nk = signed_cell(item.cell, Nk::kName, kSigNk, "key node", item.parent);
            if (!nk) {
                if (first)
                    fault("the root key node is unusable");
                first = false;
                continue;
            }
            first = false;
            if (!mark(item.cell, kNode)) {
                fault("key node " + Hex(item.cell) + ": reached twice (a shared or looping subkey list)");
                continue;
            }
            claim(item.cell, "key node");
            ++summary_.keys;
            const uint16_t nameLength = Get16(nk + Nk::kNameLength);
            if (!cell(item.cell, Nk::kName + nameLength, "key node name", item.parent))
                continue;
            if (nameLength == 0)
                fault("key node " + Hex(item.cell) + ": empty name");
            if (item.parent != kNoCell && Get32(nk + Nk::kParent) != item.parent)
                fault("key node " + Hex(item.cell) + ": parent field " + Hex(Get32(nk + Nk::kParent)) + ", listed under " +
                      Hex(item.parent));
            security(item.cell, Get32(nk + Nk::kSecurity));
            if (Get32(nk + Nk::kClassName) != kNoCell && Get16(nk + Nk::kClassLength) != 0)
                if (cell(Get32(nk + Nk::kClassName), Get16(nk + Nk::kClassLength), "class name", item.cell))
                    claim(Get32(nk + Nk::kClassName), "class name");
            values(item.cell, nk);
            std::vector<uint32_t> children;
            subkeys(item.cell, nk, children);
            for (auto it = children.rbegin(); it != children.rend(); ++it)
                stack.push_back({*it, item.cell});
        }
    }

    void security(uint32_t key, uint32_t offset)
    {
        const uint8_t* sk = signed_cell(offset, Sk::kDescriptor, kSigSk, "security cell", key);
        if (!sk)
            return;
        if (!cell(offset, Sk::kDescriptor + Get32(sk + Sk::kDescriptorLength), "security descriptor", key))
            return;
        if (references_[offset]++ == 0)
            ++summary_.security_cells;
    }

    void security_counts()
    {
        for (const auto& [offset, count] : references_) {
            const uint32_t stored = Get32(bytes_ + HBLOCK_SIZE + 4 + offset + Sk::kRefCount);
            if (stored < count)
                fault("security cell " + Hex(offset) + ": reference count " + std::to_string(stored) + " but " +
                      std::to_string(count) + " keys use it");
        }
    }

    void values(uint32_t key, const uint8_t* nk)
    {
        const uint32_t count = Get32(nk + Nk::kValueCount);
        if (count == 0)
            return;  // the list field is not looked at then
        const uint32_t listCell = Get32(nk + Nk::kValueList);
        if (count > 0x3FFFFFFF) {
            fault("key node " + Hex(key) + ": impossible value count");
            return;
        }
        const uint8_t* list = cell(listCell, 4 * count, "value list", key);
        if (!list)
            return;
        claim(listCell, "value list");
        uint32_t longestName = 0, largestData = 0;
        std::vector<std::u16string> names;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t vkCell = Get32(list + 4 * i);
            const uint8_t* vk = signed_cell(vkCell, Vk::kName, kSigVk, "value key", key);
            if (!vk)
                continue;
            claim(vkCell, "value key");
            ++summary_.values;
            const uint16_t nameLength = Get16(vk + Vk::kNameLength);
            if (!cell(vkCell, Vk::kName + nameLength, "value name", key))
                continue;
            const bool compressed = (Get16(vk + Vk::kFlags) & Vk::kCompressedName) != 0;
            std::u16string name = HiveNames::Decode(vk + Vk::kName, nameLength, compressed);
            longestName = std::max<uint32_t>(longestName, 2 * static_cast<uint32_t>(name.size()));
            names.push_back(std::move(name));
            const uint32_t raw = Get32(vk + Vk::kDataSize);
            const uint32_t size = raw & ~Vk::kInlineBit;
            largestData = std::max(largestData, size);
            if (raw & Vk::kInlineBit) {
                if (size > 4)
                    fault("value key " + Hex(vkCell) + ": inline data of " + std::to_string(size) + " bytes");
                continue;
            }
            if (size == 0)
                continue;
            data(vkCell, Get32(vk + Vk::kData), size);
        }
        // Sorted, a name equal to another sits next to it: a key may hold 100,000 values.
        std::sort(names.begin(), names.end(),
                  [](const std::u16string& a, const std::u16string& b) { return HiveNames::Compare(a, b) < 0; });
        for (size_t i = 1; i < names.size(); ++i)
            if (HiveNames::Same(names[i - 1], names[i]))
                fault("key node " + Hex(key) + ": two values of the same name");
        if (Get32(nk + Nk::kMaxValueName) < longestName)
            fault("key node " + Hex(key) + ": largest value name length " + std::to_string(Get32(nk + Nk::kMaxValueName)) +
                  " is below " + std::to_string(longestName));
        if (Get32(nk + Nk::kMaxValueData) < largestData)
            fault("key node " + Hex(key) + ": largest value data size " + std::to_string(Get32(nk + Nk::kMaxValueData)) +
                  " is below " + std::to_string(largestData));
    }

    void data(uint32_t vk, uint32_t offset, uint32_t size)
    {
        const uint32_t info = cell_info(offset);
        if (size > kBigDataSegment && summary_.minor >= kBigDataMinor && (info & kAllocated) != 0 &&
            (info & ~kAllocated) >= 12 && Get16(bytes_ + HBLOCK_SIZE + 4 + offset) == kSigDb) {
            const uint8_t* db = cell(offset, 8, "big data record", vk);
            claim(offset, "big data record");
            const uint32_t count = Get16(db + 2);
            if (count != (size + kBigDataSegment - 1) / kBigDataSegment)
                fault("big data record " + Hex(offset) + ": " + std::to_string(count) + " segments for " +
                      std::to_string(size) + " bytes");
            const uint8_t* list = cell(Get32(db + 4), 4 * count, "big data segment list", offset);
            if (!list)
                return;
            claim(Get32(db + 4), "big data segment list");
            uint32_t left = size;
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t part = std::min(left, kBigDataSegment);
                // One fault per record: a list naming one cell 65,535 times says it once.
                if (cell(Get32(list + 4 * i), part, "big data segment", offset) &&
                    !claim(Get32(list + 4 * i), "big data segment"))
                    return;
                left -= part;
            }
            return;
        }
        if (cell(offset, size, "value data", vk))
            claim(offset, "value data");
    }

    void subkeys(uint32_t key, const uint8_t* nk, std::vector<uint32_t>& children)
    {
        const uint32_t count = Get32(nk + Nk::kSubkeyCount);
        const uint32_t listCell = Get32(nk + Nk::kSubkeyList);
        if (count == 0)
            return;  // as for values, the list field is not looked at then
        if (listCell == kNoCell) {
            fault("key node " + Hex(key) + ": " + std::to_string(count) + " subkeys but no list");
            return;
        }
        std::vector<std::pair<uint32_t, uint32_t>> entries;  // node, tag
        std::vector<uint16_t> kinds;
        if (!leaf(key, listCell, true, entries, kinds))
            return;
        if (entries.size() != count)
            fault("key node " + Hex(key) + ": subkey count " + std::to_string(count) + " but its list holds " +
                  std::to_string(entries.size()));
        std::u16string previous;
        uint32_t longest = 0;
        for (size_t i = 0; i < entries.size(); ++i) {
            const uint32_t child = entries[i].first;
            const uint8_t* p = signed_cell(child, Nk::kName, kSigNk, "subkey", key);
            if (!p || !cell(child, Nk::kName + Get16(p + Nk::kNameLength), "subkey name", key)) {
                previous.clear();
                continue;
            }
            const std::u16string name = node_name(child);
            longest = std::max<uint32_t>(longest, 2 * static_cast<uint32_t>(name.size()));
            if (i > 0 && !previous.empty() && HiveNames::Compare(previous, name) >= 0)
                fault("key node " + Hex(key) + ": subkeys out of order or duplicated at entry " + std::to_string(i));
            if (kinds[i] == kSigLh && entries[i].second != HiveNames::LhHash(name))
                fault("subkey " + Hex(child) + ": lh hash " + Hex(entries[i].second) + ", the name gives " +
                      Hex(HiveNames::LhHash(name)));
            if (kinds[i] == kSigLf && entries[i].second != HiveNames::LfHint(name))
                fault("subkey " + Hex(child) + ": lf hint " + Hex(entries[i].second) + ", the name gives " +
                      Hex(HiveNames::LfHint(name)));
            previous = name;
            children.push_back(child);
        }
        if (Get32(nk + Nk::kMaxSubkeyName) < longest)
            fault("key node " + Hex(key) + ": largest subkey name length " + std::to_string(Get32(nk + Nk::kMaxSubkeyName)) +
                  " is below " + std::to_string(longest));
    }

    bool leaf(uint32_t key, uint32_t offset, bool top, std::vector<std::pair<uint32_t, uint32_t>>& entries,
              std::vector<uint16_t>& kinds)
    {
        const uint8_t* p = cell(offset, 4, "subkey list", key);
        // A list reached again is not expanded again: an ri list naming one leaf
        // thousands of times would otherwise cost the square of its size.
        if (!p || !claim(offset, "subkey list"))
            return false;
        const uint16_t kind = Get16(p);
        const uint32_t count = Get16(p + 2);
        if (kind == kSigRi) {
            if (!top) {
                fault("subkey list " + Hex(offset) + ": an ri list inside an ri list");
                return false;
            }
            p = cell(offset, 4 + 4 * count, "subkey list", key);
            if (!p)
                return false;
            for (uint32_t i = 0; i < count; ++i)
                if (!leaf(key, Get32(p + 4 + 4 * i), false, entries, kinds))
                    return false;
            return true;
        }
        if (kind != kSigLi && kind != kSigLf && kind != kSigLh) {
            fault("subkey list " + Hex(offset) + " (of " + Hex(key) + "): unknown kind");
            return false;
        }
        const uint32_t width = kind == kSigLi ? 4 : 8;
        p = cell(offset, 4 + width * count, "subkey list", key);
        if (!p)
            return false;
        for (uint32_t i = 0; i < count; ++i) {
            entries.emplace_back(Get32(p + 4 + width * i), width == 8 ? Get32(p + 8 + width * i) : 0);
            kinds.push_back(kind);
        }
        return true;
    }

    const uint8_t* bytes_;
    size_t size_;
    std::vector<std::string>& faults_;
    HiveCheckSummary& summary_;
    uint32_t binsSize_ = 0;
    uint32_t root_ = 0;
    std::vector<uint32_t> cells_;
    std::vector<uint8_t> marks_;
    std::map<uint32_t, uint32_t> references_;
};

}  // namespace

const char16_t* CheckBinStructure(const uint8_t* bins, uint32_t bins_size, uint32_t root_cell)
{
    bool rootSeen = false;
    for (uint64_t pos = 0; pos < bins_size;) {
        const uint8_t* bin = bins + pos;
        if (bins_size - pos < kBinHeaderSize || Get32(bin) != kBinSignature || Get32(bin + kBinOffset) != pos)
            return u"a hive bin header is damaged";
        const uint32_t size = Get32(bin + kBinSize);
        if (size < HBLOCK_SIZE || size % HBLOCK_SIZE != 0 || size > bins_size - pos)
            return u"a hive bin has an impossible size";
        for (uint32_t at = kBinHeaderSize; at < size;) {
            const int32_t raw = static_cast<int32_t>(Get32(bin + at));
            const uint32_t length = raw < 0 ? 0u - static_cast<uint32_t>(raw) : static_cast<uint32_t>(raw);
            if (length < 8 || length % 4 != 0 || length > size - at)
                return u"a cell crosses the end of its bin or has an impossible size";
            if (pos + at == root_cell) {
                rootSeen = true;
                if (raw >= 0 || Get16(bin + at + 4) != kSigNk)
                    return u"the root cell is not an allocated key node";
            }
            at += length;
        }
        pos += size;
    }
    return rootSeen ? nullptr : u"the root cell is not the start of a cell";
}

bool CheckHive(const uint8_t* bytes, size_t size, std::vector<std::string>& faults, HiveCheckSummary& summary)
{
    summary = HiveCheckSummary();
    return Checker(bytes, size, faults, summary).run();
}

}  // namespace Common
