#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "registry/file_reg.h"
#include "transvia/dir.h"

namespace Common {

// A random version-4 UUID in upper-case hexadecimal, the name of a working copy.
Processor::String RandomUuidName();

// Edits hive `name` of `directory` on a working copy in the temporary folder and puts
// the result in place with one atomic replace, only when `edit` succeeds and the
// result passes the structural checker whenever the original did. Otherwise the hive
// file is left exactly as it was. A dirty hive is edited as recovered from its logs,
// which themselves are never changed.
using HiveEdit = std::function<bool(file_reg& root, Error& error)>;
Error EditHiveAtomically(const std::shared_ptr<rio_dir>& directory, const Processor::String& name, const HiveEdit& edit,
                         const HiveLogPolicy& policy = {});

}  // namespace Common
