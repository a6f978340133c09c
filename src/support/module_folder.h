#pragma once

#include <string>

namespace Common {

// The folder of the loaded module that holds this code (libtransvia.so, or the program
// it is linked into), as a path of this machine. The files that ship with the engine
// (message table, hardware database, assistant package, configuration) live there.
std::string ModuleFolder();

}  // namespace Common
