#pragma once

#include <set>
#include <string_view>
#include <vector>

#include "transvia/devices.h"

// Helpers over hardware identifiers that the public DeviceIds does not need.
namespace Transvia {

// Windows accepts an identifier of printable ASCII without spaces and commas
// (0x20 < c < 0x7F, c != ','); anything else could not name a device there.
bool IsWellFormedId(std::string_view id);

// Devices collected the way Windows enumerates a device set: ordered by their
// identifier lists (element by element, byte order), a list equal to an earlier
// one dropped.
class DeviceSet {
public:
    void insert(const DeviceIds& device) { devices_.insert(device.ids()); }
    // Appends the collected devices in their order.
    void AppendTo(DeviceList& devices) const;
    size_t size() const { return devices_.size(); }

private:
    std::set<std::vector<std::string>> devices_;
};

}  // namespace Transvia
