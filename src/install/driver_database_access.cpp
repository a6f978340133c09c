#include "install/driver_database_access.h"

#include "install/driver_database_records.h"
#include "registry/hive_format.h"
#include "registry/reg_key.h"

namespace Transvia {

using Common::file_reg;

namespace {
// The longest key name a hive holds.
constexpr size_t kMaxKeyName = 255;
}  // namespace

file_reg HiveKeyOf(RegistryKey* key)
{
    auto* impl = dynamic_cast<RegistryKeyLinuxImpl*>(key);
    if (impl == nullptr) return {};
    auto file = std::dynamic_pointer_cast<Processor::FileRegKey>(impl->key());
    return file ? file->handle() : file_reg();
}

file_reg FindPath(file_reg key, const DriverDatabasePath& path)
{
    for (const std::u16string& part : path) {
        if (key.empty()) break;
        key = key.find_subkey(part);
    }
    return key;
}

std::optional<std::u16string> ReadText(const file_reg& key, std::u16string_view name)
{
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (key.empty() || !key.read_value(name, type, data) || (type != Common::Hive::REG_SZ && type != Common::Hive::REG_EXPAND_SZ))
        return std::nullopt;
    const auto strings = DriverDatabaseRecords::DecodeStrings(data);
    return strings.empty() ? std::u16string() : strings.front();
}

std::vector<std::u16string> ReadList(const file_reg& key, std::u16string_view name)
{
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (key.empty() || !key.read_value(name, type, data) || type != Common::Hive::REG_MULTI_SZ) return {};
    return DriverDatabaseRecords::DecodeStrings(data);
}

std::vector<std::u16string> ValueNames(const file_reg& key)
{
    std::vector<std::u16string> names;
    if (key.empty()) return names;
    file_reg reader = key;
    const uint32_t count = reader.value_count();
    for (uint32_t i = 0; i < count; ++i) {
        const Processor::String name = reader.value_name(i);
        if (name.length() > 0) names.push_back(U16(name));
    }
    return names;
}

bool IsKeyName(std::u16string_view name)
{
    return !name.empty() && name.size() <= kMaxKeyName && name.find_first_of(std::u16string_view(u"\\\0", 2)) == std::u16string_view::npos;
}

DriverDatabasePath SplitDeviceId(std::u16string_view id)
{
    DriverDatabasePath parts;
    size_t start = 0;
    for (;;) {
        const size_t end = id.find(u'\\', start);
        const std::u16string_view part = id.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (!IsKeyName(part)) return {};
        parts.emplace_back(part);
        if (end == std::u16string_view::npos) return parts;
        start = end + 1;
    }
}

std::u16string JoinPath(const DriverDatabasePath& path)
{
    std::u16string joined;
    for (const std::u16string& part : path) joined.append(joined.empty() ? u"" : u"\\").append(part);
    return joined;
}

}  // namespace Transvia
