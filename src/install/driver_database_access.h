#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/file_reg.h"
#include "transvia/string.h"

// Raw access to keys of the target's SYSTEM hive for the driver database: exact value
// types (a DWORD is not a string, REG_NONE is not binary) and lookups that create nothing.
namespace Transvia {

class RegistryKey;

// Key names from a root: DriverDatabase\DeviceIds\PCI\VEN_1AF4&DEV_1001.
using DriverDatabasePath = std::vector<std::u16string>;

// The hive key behind a key of the target's registry; empty for any other kind of key.
Common::file_reg HiveKeyOf(RegistryKey* key);
// The existing key at `path` below `key` (names compared ignoring case), or an empty handle.
Common::file_reg FindPath(Common::file_reg key, const DriverDatabasePath& path);
// REG_SZ or REG_EXPAND_SZ up to its first NUL; nothing for another type or no value.
std::optional<std::u16string> ReadText(const Common::file_reg& key, std::u16string_view name);
// A REG_MULTI_SZ value's strings; empty for another type or no value.
std::vector<std::u16string> ReadList(const Common::file_reg& key, std::u16string_view name);
std::vector<std::u16string> ValueNames(const Common::file_reg& key);
// A name that is one key: not empty, no backslash, no NUL, at most 255 units.
bool IsKeyName(std::u16string_view name);
// An identifier split at '\' into key names ("PCI\VEN_1&DEV_2" gives two); empty when a
// part cannot name a key.
DriverDatabasePath SplitDeviceId(std::u16string_view id);
std::u16string JoinPath(const DriverDatabasePath& path);

inline std::u16string U16(const Processor::String& text)
{
    return std::u16string(text.getBuffer(), static_cast<size_t>(text.length()));
}
inline Processor::String Str(std::u16string_view text)
{
    return Processor::String(text.data(), static_cast<int32_t>(text.size()));
}
inline std::u16string U16(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

}  // namespace Transvia
