#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "install/inf_scan.h"

// The class filter of a scheduled install: only packages of the setup classes the
// scheduled devices belong to are read past their [Version] section.
namespace Transvia {

class CustomFilter final : public InfFilter {
public:
    CustomFilter() = default;
    explicit CustomFilter(std::vector<Processor::String> classes) : classes_(std::move(classes)) {}

    // Appends a class GUID text; the list keeps the order classes were added in.
    void Add(const Processor::String& classGuid) { classes_.push_back(classGuid); }
    const std::vector<Processor::String>& classes() const { return classes_; }

    // 0 for a listed class, kInfClassRejected for another, kInvalidFormat without a class GUID.
    uint32_t Check(Inf& inf) override { return CheckClassGuid(inf, classes_); }

private:
    std::vector<Processor::String> classes_;
};

// The filter of a run scheduling the devices of PCI base class `baseClass`: for network
// adapters (2) the network class, and the system class too when the hardware database
// mapped devices of its own onto them (`mappedDevices`). Null for every other class: their
// packages are not told apart by class.
std::unique_ptr<CustomFilter> CreateScheduleFilter(uint8_t baseClass, bool mappedDevices);

}  // namespace Transvia
