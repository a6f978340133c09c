#include "hardware/device_ids.h"

#include <algorithm>

namespace Transvia {

namespace {
// Identifiers are narrow ASCII text; only ASCII letters fold, as Windows compares them.
char FoldAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
}  // namespace

bool SameId(const std::string& a, const std::string& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

bool DeviceIds::contains(const std::string& id) const
{
    return std::any_of(ids_.begin(), ids_.end(), [&](const std::string& own) { return SameId(own, id); });
}

bool DeviceIds::operator==(const DeviceIds& other) const
{
    return ids_.size() == other.ids_.size() && std::equal(ids_.begin(), ids_.end(), other.ids_.begin(), SameId);
}

bool IsWellFormedId(std::string_view id)
{
    return !id.empty() && std::all_of(id.begin(), id.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte < 0x7F && c != ',';
    });
}

void DeviceSet::AppendTo(DeviceList& devices) const
{
    for (const auto& ids : devices_)
        devices.emplace_back(ids);
}

}  // namespace Transvia
