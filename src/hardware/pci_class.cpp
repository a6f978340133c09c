#include "hardware/pci_class.h"

#include <algorithm>

namespace Transvia {

namespace {
void AppendHexByte(std::string& text, uint8_t value)
{
    static const char kDigits[] = "0123456789ABCDEF";
    text += kDigits[value >> 4];
    text += kDigits[value & 0xF];
}
}  // namespace

PciClassSelector::PciClassSelector(uint8_t baseClass, uint8_t subClass, uint8_t programmingInterface)
    : baseClass_(baseClass), subClass_(subClass), programmingInterface_(programmingInterface), pattern_("CC_")
{
    AppendHexByte(pattern_, baseClass_);
    if (subClass_ == kAny)
        return;
    AppendHexByte(pattern_, subClass_);
    if (programmingInterface_ != kAny)
        AppendHexByte(pattern_, programmingInterface_);
}

bool PciClassSelector::matches(const DeviceIds& device) const
{
    return std::any_of(device.begin(), device.end(),
                       [&](const std::string& id) { return id.find(pattern_) != std::string::npos; });
}

void SelectByClass(const DeviceList& devices, const PciClassSelector& selector, DeviceList& selected)
{
    for (const DeviceIds& device : devices)
        if (selector.matches(device))
            selected.push_back(device);
}

void SelectById(const DeviceList& devices, const std::string& identifier, DeviceList& selected)
{
    for (const DeviceIds& device : devices)
        if (device.contains(identifier))
            selected.push_back(device);
}

void KeepByClass(DeviceList& devices, const PciClassSelector& selector)
{
    std::erase_if(devices, [&](const DeviceIds& device) { return !selector.matches(device); });
}

}  // namespace Transvia
