#pragma once

#include "install/inf_scan.h"

namespace Transvia {

// The install run's INF filter: only drivers of the classes a restored system needs to
// boot (storage controllers, the computer, system devices, processors, the buses between
// them). Other classes are refused, and so is an INF without a class GUID.
class IdeScsiHalInfFilter final : public InfFilter {
public:
    IdeScsiHalInfFilter();
    // 0 accepts; 0x1D0198 for another class, 0x1D019A for an INF without a class GUID.
    uint32_t Check(Inf& inf) override;

private:
    ClassGuidFilter classes_;
};

}  // namespace Transvia
