#include "entry/ide_scsi_hal_filter.h"

namespace Transvia {

IdeScsiHalInfFilter::IdeScsiHalInfFilter() : classes_(BootCriticalClasses()) {}

uint32_t IdeScsiHalInfFilter::Check(Inf& inf) { return classes_.Check(inf); }

}  // namespace Transvia
