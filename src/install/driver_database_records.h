#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The value encodings of the SYSTEM hive's DriverDatabase, which Windows 8 and later read
// at boot to bind a new device to a driver package. Pure functions over bytes and text;
// the registry walking lives in driver_database.cpp.
namespace Transvia::DriverDatabaseRecords {

// PROCESSOR_ARCHITECTURE_* as "DriverDatabase\Architecture" and the package "Version"
// hold it, for a platform code (1 x86, 2 ia64, 3 amd64); nothing for an unknown code.
std::optional<uint16_t> ArchitectureCode(uint32_t platform);

// A DriverVer line read as a FILETIME of its date at 00:00 UTC and a version packed
// a<<48 | b<<32 | c<<16 | d. A part that does not read stays 0 (Windows accepts
// packages with both zero) and clears its flag.
struct DriverVer {
    uint64_t filetime = 0;
    uint64_t version = 0;
    bool dateRead = false;
    bool versionRead = false;
};
// `date` is "mm/dd/yyyy" ('-' also separates); the year needs four digits, as INF
// files write it. `version` is "a[.b[.c[.d]]]", each part below 65536; may be empty.
DriverVer ParseDriverVer(std::u16string_view date, std::u16string_view version);

// A GUID with or without braces, in either letter case, as Windows lays it out in memory
// (Data1 u32 LE, Data2 and Data3 u16 LE, Data4 as written).
std::optional<std::array<uint8_t, 16>> ParseGuid(std::u16string_view text);

// The 48-byte "Version" value of DriverDatabase\DriverPackages\<package>. Bytes 0-1 are
// ff ff for packages that ship with Windows and 00 ff for imported ones; bytes 40-47 are
// flags no ordinary package sets.
constexpr size_t kVersionBlobSize = 48;
std::array<uint8_t, kVersionBlobSize> VersionBlob(bool inbox, uint16_t architecture, const std::array<uint8_t, 16>& classGuid,
                                                  const DriverVer& driverVer);

// "OemInfMap" is a bitmap of the oemN.inf numbers in use, most significant bit first:
// number n is byte n/8, bit 0x80 >> (n % 8). Any length is valid, empty included.
bool OemBit(const std::vector<uint8_t>& map, uint32_t number);
// Sets the bit, growing the map by whole bytes when needed; never clears one.
void SetOemBit(std::vector<uint8_t>& map, uint32_t number);
std::vector<uint32_t> OemNumbers(const std::vector<uint8_t>& map);
// 12 for "oem12.inf" in any letter case; nothing for any other name.
std::optional<uint32_t> OemNumber(std::u16string_view name);

// How an identifier stands on the models line: the line's hardware identifier, a
// compatible one (at `position` in the compatible list, counted from 0), or both.
namespace IdRole {
constexpr uint8_t kHardware = 1;
constexpr uint8_t kCompatible = 2;
}  // namespace IdRole
constexpr uint8_t kDefaultFeatureScore = 0xFF;
// The 4-byte value DeviceIds\<id>\<published inf> holds: role bits, FeatureScore, then
// the compatible position as u16 LE.
std::array<uint8_t, 4> DeviceIdValue(uint8_t roles, uint8_t featureScore, uint16_t position);

// "<inf name lower-case>_<architecture>_0000000000000000". Windows names its own packages
// with a hash of their content; sixteen zeros keep ours apart from the one Windows will
// give the real package when it imports it, and are accepted by the kernel and pnputil.
std::u16string PackageName(std::u16string_view infName, std::u16string_view architecture);

// Registry text encodings: UTF-16LE with the terminating NUL; a multi-string ends with an
// empty string.
std::vector<uint8_t> StringBytes(std::u16string_view text);
std::vector<uint8_t> MultiStringBytes(const std::vector<std::u16string>& list);
// The strings of REG_SZ or REG_MULTI_SZ data up to the first empty one (a REG_SZ gives
// one); a trailing odd byte is ignored.
std::vector<std::u16string> DecodeStrings(const std::vector<uint8_t>& data);

}  // namespace Transvia::DriverDatabaseRecords
