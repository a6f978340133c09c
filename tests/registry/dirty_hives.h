#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "registry/hive_format.h"
#include "registry/marvin32.h"
#include "support/fixtures.h"

// The dirty hives of the shared test data and the small surgery tests do on them.
namespace DirtyHives {

struct DirtyHive {
    std::vector<uint8_t> primary, log1, log2, recovered;
};

// yarp's NewDirtyHive1: primary 3/2, LOG1 holds entry 2, LOG2 entries 3..5, and the hive
// Windows 10 recovered from them.
inline DirtyHive LoadNewDirtyHive(const std::filesystem::path& data)
{
    const auto dir = data / "hives" / "yarp" / "NewDirtyHive1";
    return {TestSupport::ReadFileBytes(dir / "NewDirtyHive"), TestSupport::ReadFileBytes(dir / "NewDirtyHive.LOG1"),
            TestSupport::ReadFileBytes(dir / "NewDirtyHive.LOG2"),
            TestSupport::ReadFileBytes(dir / "RecoveredHive_Windows10")};
}

// regipy's SYSTEM_B: a real Windows 10 SYSTEM hive, 33,123 keys alone and 35,595 with its logs.
inline DirtyHive LoadSystemB(const std::filesystem::path& data)
{
    const auto dir = data / "hives" / "regipy";
    return {TestSupport::ReadFileBytes(dir / "SYSTEM_B"), TestSupport::ReadFileBytes(dir / "SYSTEM_B.LOG1"),
            TestSupport::ReadFileBytes(dir / "SYSTEM_B.LOG2"), {}};
}

inline void FixChecksum(std::vector<uint8_t>& bytes)
{
    using namespace Common::Hive;
    Put32(bytes.data() + kBaseChecksum, BaseBlockChecksum(bytes.data()));
}

// Resets the hashes of the log entry at `offset` after a deliberate change.
inline void RehashEntry(std::vector<uint8_t>& log, size_t offset)
{
    using namespace Common::Hive;
    const uint32_t size = Get32(log.data() + offset + 4);
    Put64(log.data() + offset + 24, Marvin32(log.data() + offset + 40, size - 40));
    Put64(log.data() + offset + 32, Marvin32(log.data() + offset, 32));
}

// Offsets of the entries of NewDirtyHive.LOG2: 3, 4 and 5.
constexpr size_t kLog2Entry3 = 0x200, kLog2Entry4 = 0x2000, kLog2Entry5 = 0x8000;

}  // namespace DirtyHives
