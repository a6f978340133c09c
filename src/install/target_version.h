#pragma once

#include <cstdint>

namespace Transvia {

// Windows version of the target, from its SOFTWARE hive.
struct TargetVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
};

// Major first, then minor.
inline bool VersionBelow(const TargetVersion& a, const TargetVersion& b)
{
    return a.major != b.major ? a.major < b.major : a.minor < b.minor;
}

}  // namespace Transvia
