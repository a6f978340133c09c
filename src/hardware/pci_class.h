#pragma once

#include <cstdint>
#include <string>

#include "transvia/devices.h"

// Selection of devices by PCI class code, as the identifiers carry it ("CC_0106").
namespace Transvia {

// Base class, subclass and programming interface; 255 in the last two means "not given".
class PciClassSelector {
public:
    static constexpr uint8_t kAny = 255;

    PciClassSelector(uint8_t baseClass, uint8_t subClass = kAny, uint8_t programmingInterface = kAny);

    uint8_t base_class() const { return baseClass_; }
    uint8_t sub_class() const { return subClass_; }
    uint8_t programming_interface() const { return programmingInterface_; }
    // "CC_" and two upper-case hex digits per given part; a programming interface
    // counts only when the subclass is given too. Built once, at construction.
    const std::string& pattern() const { return pattern_; }
    // Whether one of the identifiers contains the pattern (plain substring, case as written).
    bool matches(const DeviceIds& device) const;

private:
    uint8_t baseClass_;
    uint8_t subClass_;
    uint8_t programmingInterface_;
    std::string pattern_;
};

// Appends a copy of every device the selector matches.
void SelectByClass(const DeviceList& devices, const PciClassSelector& selector, DeviceList& selected);
// Appends a copy of every device that has `identifier` (compared ignoring letter case).
void SelectById(const DeviceList& devices, const std::string& identifier, DeviceList& selected);
// Removes every device the selector does not match, devices without identifiers too;
// the rest keep their order.
void KeepByClass(DeviceList& devices, const PciClassSelector& selector);

}  // namespace Transvia
