#include "install/driver_database_records.h"

#include <unicode/uchar.h>

#include "inf/architecture.h"

namespace Transvia::DriverDatabaseRecords {

namespace {

// A decimal number of at most `maxDigits` digits; nothing for anything else.
std::optional<uint32_t> Decimal(std::u16string_view text, size_t maxDigits)
{
    if (text.empty() || text.size() > maxDigits) return std::nullopt;
    uint32_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - u'0');
    }
    return value;
}

std::u16string_view Trim(std::u16string_view text)
{
    while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == u' ' || text.back() == u'\t')) text.remove_suffix(1);
    return text;
}

std::vector<std::u16string_view> Split(std::u16string_view text, std::u16string_view separators)
{
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find_first_of(separators, start);
        parts.push_back(text.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start));
        if (end == std::u16string_view::npos) return parts;
        start = end + 1;
    }
}

// Days from 1601-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysSince1601(int64_t year, uint32_t month, uint32_t day)
{
    year -= month <= 2;
    const int64_t era = year / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int64_t fromEpoch0 = era * 146097 + dayOfEra;  // days since 0000-03-01
    return fromEpoch0 - 584694;                           // 1601-01-01 is day 584694 of that count
}

bool LeapYear(uint32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::optional<uint64_t> DateFiletime(std::u16string_view text)
{
    const auto parts = Split(Trim(text), u"/-");
    if (parts.size() != 3) return std::nullopt;
    const auto month = Decimal(parts[0], 2), day = Decimal(parts[1], 2), year = Decimal(parts[2], 4);
    if (!month || !day || !year || parts[2].size() != 4 || *year < 1601) return std::nullopt;
    static constexpr uint8_t kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (*month < 1 || *month > 12 || *day < 1 || *day > kDays[*month - 1]) return std::nullopt;
    if (*month == 2 && *day == 29 && !LeapYear(*year)) return std::nullopt;
    constexpr uint64_t kTicksPerDay = 864000000000ULL;
    return static_cast<uint64_t>(DaysSince1601(*year, *month, *day)) * kTicksPerDay;
}

std::optional<uint64_t> PackedVersion(std::u16string_view text)
{
    const auto parts = Split(Trim(text), u".");
    if (parts.size() > 4) return std::nullopt;
    uint64_t packed = 0;
    for (size_t i = 0; i < 4; ++i) {
        uint32_t number = 0;
        if (i < parts.size()) {
            const auto read = Decimal(parts[i], 5);
            if (!read || *read > 0xFFFF) return std::nullopt;
            number = *read;
        }
        packed = packed << 16 | number;
    }
    return packed;
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

void PutLittle(uint8_t* out, uint64_t value, size_t size)
{
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::optional<uint16_t> ArchitectureCode(uint32_t platform)
{
    switch (platform) {
    case InfPlatform::kX86: return 0;
    case InfPlatform::kIa64: return 6;
    case InfPlatform::kAmd64: return 9;
    default: return std::nullopt;
    }
}

DriverVer ParseDriverVer(std::u16string_view date, std::u16string_view version)
{
    DriverVer result;
    if (const auto filetime = DateFiletime(date)) {
        result.filetime = *filetime;
        result.dateRead = true;
    }
    if (const auto packed = Trim(version).empty() ? std::optional<uint64_t>() : PackedVersion(version)) {
        result.version = *packed;
        result.versionRead = true;
    }
    return result;
}

std::optional<std::array<uint8_t, 16>> ParseGuid(std::u16string_view text)
{
    text = Trim(text);
    if (text.size() == 38 && text.front() == u'{' && text.back() == u'}') text = text.substr(1, 36);
    if (text.size() != 36) return std::nullopt;
    // Text positions of each field's hex digits: 8-4-4-4-12.
    std::array<uint8_t, 16> raw{};
    size_t byte = 0;
    for (size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != u'-') return std::nullopt;
            ++i;
            continue;
        }
        const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        raw[byte++] = static_cast<uint8_t>(high << 4 | low);
        i += 2;
    }
    // The first three fields are integers stored little-endian.
    std::array<uint8_t, 16> guid = raw;
    for (size_t i = 0; i < 4; ++i) guid[i] = raw[3 - i];
    guid[4] = raw[5], guid[5] = raw[4], guid[6] = raw[7], guid[7] = raw[6];
    return guid;
}

std::array<uint8_t, kVersionBlobSize> VersionBlob(bool inbox, uint16_t architecture, const std::array<uint8_t, 16>& classGuid,
                                                  const DriverVer& driverVer)
{
    std::array<uint8_t, kVersionBlobSize> blob{};
    blob[0] = inbox ? 0xFF : 0x00;
    blob[1] = 0xFF;
    PutLittle(&blob[2], architecture, 2);
    std::copy(classGuid.begin(), classGuid.end(), blob.begin() + 8);
    PutLittle(&blob[24], driverVer.filetime, 8);
    PutLittle(&blob[32], driverVer.version, 8);
    return blob;
}

bool OemBit(const std::vector<uint8_t>& map, uint32_t number)
{
    const size_t byte = number / 8;
    return byte < map.size() && (map[byte] & (0x80 >> (number % 8))) != 0;
}

void SetOemBit(std::vector<uint8_t>& map, uint32_t number)
{
    const size_t byte = number / 8;
    if (map.size() <= byte) map.resize(byte + 1, 0);
    map[byte] = static_cast<uint8_t>(map[byte] | (0x80 >> (number % 8)));
}

std::vector<uint32_t> OemNumbers(const std::vector<uint8_t>& map)
{
    std::vector<uint32_t> numbers;
    for (uint32_t n = 0; n < map.size() * 8; ++n)
        if (OemBit(map, n)) numbers.push_back(n);
    return numbers;
}

std::optional<uint32_t> OemNumber(std::u16string_view name)
{
    auto lower = [](std::u16string_view text) {
        std::u16string out(text);
        for (char16_t& c : out) c = static_cast<char16_t>(u_tolower(c));
        return out;
    };
    const std::u16string folded = lower(name);
    if (folded.size() < 8 || folded.compare(0, 3, u"oem") != 0 || folded.compare(folded.size() - 4, 4, u".inf") != 0)
        return std::nullopt;
    const std::u16string_view digits = std::u16string_view(folded).substr(3, folded.size() - 7);
    // "oem07.inf" is not a name Windows gives; refusing it keeps names and numbers one to one.
    if (digits.size() > 1 && digits.front() == u'0') return std::nullopt;
    return Decimal(digits, 6);
}

std::array<uint8_t, 4> DeviceIdValue(uint8_t roles, uint8_t featureScore, uint16_t position)
{
    return {roles, featureScore, static_cast<uint8_t>(position & 0xFF), static_cast<uint8_t>(position >> 8)};
}

std::u16string PackageName(std::u16string_view infName, std::u16string_view architecture)
{
    std::u16string name;
    for (char16_t c : infName) name.push_back(static_cast<char16_t>(u_tolower(c)));
    name.append(u"_").append(architecture).append(u"_0000000000000000");
    return name;
}

std::vector<uint8_t> StringBytes(std::u16string_view text)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(2 * text.size() + 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<uint8_t> MultiStringBytes(const std::vector<std::u16string>& list)
{
    std::vector<uint8_t> bytes;
    for (const std::u16string& entry : list) {
        if (entry.empty()) continue;
        const std::vector<uint8_t> one = StringBytes(entry);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<std::u16string> DecodeStrings(const std::vector<uint8_t>& data)
{
    std::vector<std::u16string> list;
    std::u16string current;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c != 0) {
            current.push_back(c);
            continue;
        }
        if (current.empty()) return list;
        list.push_back(std::move(current));
        current.clear();
    }
    if (!current.empty()) list.push_back(std::move(current));
    return list;
}

}  // namespace Transvia::DriverDatabaseRecords
