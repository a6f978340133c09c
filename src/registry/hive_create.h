#pragma once

#include <cstdint>

#include "transvia/dir.h"
#include "transvia/error.h"
#include "transvia/string.h"

namespace Common {

// Writes a new, empty hive: base block, one bin, a root key node named `root_name`
// and the security cell it refers to. `minor` is 3 or 5 (1 to 5 accepted).
Error CreateHive(rio_dir& directory, const Processor::String& name, uint32_t minor,
                 const Processor::String& root_name);

}  // namespace Common
