#pragma once

#include <string>
#include <vector>

#include "transvia/export.h"

namespace Transvia {

// Hardware identifiers of one device, most specific first; the first one names the device.
class TRANSVIA_API DeviceIds {
public:
    DeviceIds() = default;
    DeviceIds(std::initializer_list<std::string> ids) : ids_(ids) {}
    explicit DeviceIds(std::vector<std::string> ids) : ids_(std::move(ids)) {}

    size_t size() const { return ids_.size(); }
    bool empty() const { return ids_.empty(); }
    const std::string& operator[](size_t index) const { return ids_[index]; }
    const std::string& name() const { return ids_.front(); }
    void push_back(std::string id) { ids_.push_back(std::move(id)); }
    auto begin() const { return ids_.begin(); }
    auto end() const { return ids_.end(); }
    const std::vector<std::string>& ids() const { return ids_; }

    // Case-insensitive, as identifiers are compared everywhere.
    bool contains(const std::string& id) const;
    // Same number of identifiers and each pair equal, ignoring case.
    bool operator==(const DeviceIds& other) const;

private:
    std::vector<std::string> ids_;
};

using DeviceList = std::vector<DeviceIds>;

// Compares two hardware identifiers, ignoring ASCII case.
TRANSVIA_API bool SameId(const std::string& a, const std::string& b);

}  // namespace Transvia
