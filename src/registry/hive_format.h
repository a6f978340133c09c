#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

// On-disk facts of the regf format shared by the storage layer, the key layer and
// the checker. All integers in a hive are little-endian.
namespace Common::Hive {

constexpr uint32_t HBLOCK_SIZE = 4096;
constexpr uint32_t kBinHeaderSize = 32;
// Cell offsets are counted from the first bin; the data of cell N is at N + 4100.
constexpr uint32_t kCellDataBase = HBLOCK_SIZE + 4;
constexpr uint32_t kNoCell = 0xFFFFFFFFu;
// Nothing at or beyond 2 GiB is ever read or written.
constexpr uint32_t kMaxOffset = 0x80000000u;

// Base block fields.
constexpr uint32_t kRegfSignature = 0x66676572;  // "regf"
constexpr uint32_t kBinSignature = 0x6E696268;   // "hbin"
constexpr uint32_t kBasePrimarySequence = 0x04;
constexpr uint32_t kBaseSecondarySequence = 0x08;
constexpr uint32_t kBaseTimestamp = 0x0C;
constexpr uint32_t kBaseMajor = 0x14;
constexpr uint32_t kBaseMinor = 0x18;
constexpr uint32_t kBaseFileType = 0x1C;
constexpr uint32_t kBaseFormat = 0x20;
constexpr uint32_t kBaseRootCell = 0x24;
constexpr uint32_t kBaseBinsSize = 0x28;
constexpr uint32_t kBaseClusterFactor = 0x2C;
constexpr uint32_t kBaseFileName = 0x30;
constexpr uint32_t kBaseChecksum = 0x1FC;

// Bin header fields.
constexpr uint32_t kBinOffset = 0x04;
constexpr uint32_t kBinSize = 0x08;
constexpr uint32_t kBinTimestamp = 0x14;
constexpr uint32_t kBinSpare = 0x1C;

// Record signatures: the first 16-bit word of a cell's data.
constexpr uint16_t kSigNk = 0x6B6E;  // "nk"
constexpr uint16_t kSigVk = 0x6B76;  // "vk"
constexpr uint16_t kSigSk = 0x6B73;  // "sk"
constexpr uint16_t kSigLi = 0x696C;  // "li"
constexpr uint16_t kSigLf = 0x666C;  // "lf"
constexpr uint16_t kSigLh = 0x686C;  // "lh"
constexpr uint16_t kSigRi = 0x6972;  // "ri"
constexpr uint16_t kSigDb = 0x6264;  // "db"

// Key node fields (offsets within the cell data).
namespace Nk {
constexpr uint32_t kFlags = 0x02;
constexpr uint32_t kTimestamp = 0x04;
constexpr uint32_t kSpare = 0x0C;
constexpr uint32_t kParent = 0x10;
constexpr uint32_t kSubkeyCount = 0x14;
constexpr uint32_t kVolatileSubkeyCount = 0x18;
constexpr uint32_t kSubkeyList = 0x1C;
constexpr uint32_t kVolatileSubkeyList = 0x20;
constexpr uint32_t kValueCount = 0x24;
constexpr uint32_t kValueList = 0x28;
constexpr uint32_t kSecurity = 0x2C;
constexpr uint32_t kClassName = 0x30;
constexpr uint32_t kMaxSubkeyName = 0x34;
constexpr uint32_t kMaxSubkeyClass = 0x38;
constexpr uint32_t kMaxValueName = 0x3C;
constexpr uint32_t kMaxValueData = 0x40;
constexpr uint32_t kWorkVar = 0x44;
constexpr uint32_t kNameLength = 0x48;
constexpr uint32_t kClassLength = 0x4A;
constexpr uint32_t kName = 0x4C;
constexpr uint32_t kFirstRead = 80;
constexpr uint16_t kCompressedName = 0x20;
constexpr uint16_t kHiveEntry = 0x04;
constexpr uint16_t kNoDelete = 0x08;
}  // namespace Nk

// Value key fields.
namespace Vk {
constexpr uint32_t kNameLength = 0x02;
constexpr uint32_t kDataSize = 0x04;
constexpr uint32_t kData = 0x08;
constexpr uint32_t kType = 0x0C;
constexpr uint32_t kFlags = 0x10;
constexpr uint32_t kSpare = 0x12;
constexpr uint32_t kName = 0x14;
constexpr uint32_t kFirstRead = 24;
constexpr uint16_t kCompressedName = 0x0001;
constexpr uint32_t kInlineBit = 0x80000000u;
}  // namespace Vk

// Security cell fields.
namespace Sk {
constexpr uint32_t kFlink = 0x04;
constexpr uint32_t kBlink = 0x08;
constexpr uint32_t kRefCount = 0x0C;
constexpr uint32_t kDescriptorLength = 0x10;
constexpr uint32_t kDescriptor = 0x14;
}  // namespace Sk

// Big data ("db") records: value data of more than kBigDataSegment bytes in hives of
// minor version 4 or later is split into segments of at most that size.
constexpr uint32_t kBigDataSegment = 16344;
constexpr uint32_t kBigDataMinor = 4;
// From this minor version on, new subkey lists are "lh" instead of "lf".
constexpr uint32_t kLhMinor = 4;
constexpr uint32_t kMaxListEntries = 65535;

// Value types.
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;
constexpr uint32_t REG_QWORD = 11;

inline uint16_t Get16(const void* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline uint32_t Get32(const void* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline uint64_t Get64(const void* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline void Put16(void* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void Put32(void* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void Put64(void* p, uint64_t v) { std::memcpy(p, &v, 8); }

// Lays out a new key node in zeroed cell data: no subkeys, values or class, `name`
// already in its stored form (8-bit or UTF-16, see HiveNames::Encode).
inline void WriteKeyNode(uint8_t* p, uint16_t flags, uint64_t stamp, uint32_t parent, uint32_t security,
                         const std::vector<uint8_t>& name)
{
    Put16(p, kSigNk);
    Put16(p + Nk::kFlags, flags);
    Put64(p + Nk::kTimestamp, stamp);
    Put32(p + Nk::kParent, parent);
    Put32(p + Nk::kSubkeyList, kNoCell);
    Put32(p + Nk::kVolatileSubkeyList, kNoCell);
    Put32(p + Nk::kValueList, kNoCell);
    Put32(p + Nk::kSecurity, security);
    Put32(p + Nk::kClassName, kNoCell);
    Put16(p + Nk::kNameLength, static_cast<uint16_t>(name.size()));
    if (!name.empty()) std::memcpy(p + Nk::kName, name.data(), name.size());
}

// XOR of the 127 words before the checksum field, with 0 and all-ones avoided.
inline uint32_t BaseBlockChecksum(const uint8_t* base)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < kBaseChecksum; i += 4)
        sum ^= Get32(base + i);
    if (sum == 0xFFFFFFFFu)
        return 0xFFFFFFFEu;
    if (sum == 0)
        return 1;
    return sum;
}

// Writes `sequence` into both seqs of a base block and seals it with its checksum: the
// mark of a hive that needs no log to be read.
inline void SetBaseSequences(uint8_t* base, uint32_t sequence)
{
    Put32(base + kBasePrimarySequence, sequence);
    Put32(base + kBaseSecondarySequence, sequence);
    Put32(base + kBaseChecksum, BaseBlockChecksum(base));
}

// Cell size for `size` bytes of data: the size field plus the data, rounded to 8.
inline uint32_t CellSizeFor(uint32_t size) { return (size + 11) / 8 * 8; }

}  // namespace Common::Hive
