#pragma once

#include <memory>
#include <string>
#include <vector>

#include "transvia/dir.h"

namespace Common {

// Splits a relative path into components; false for an absolute path, a drive
// letter, or a ".." component. "." and empty components are dropped.
bool SplitRelativePath(const Processor::String& path, std::vector<Processor::String>& components);

// Opens a local folder of this machine as a directory object.
std::shared_ptr<rio_dir> OpenLocalDir(const std::string& path, Error& error);

// For tests: use the component walk even where openat2 exists.
void ForceComponentWalk(bool force);

}  // namespace Common
