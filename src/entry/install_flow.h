#pragma once

#include "transvia/api.h"

namespace Transvia {

// The flow behind InstallDrivers. Throws Common::Error.
void RunInstallDrivers(Common::rio_dir& target, const Processor::String& windowsDir, const InstallDriversParams& params);

}  // namespace Transvia
