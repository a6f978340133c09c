#pragma once

#include <string>

#include "transvia/error.h"

// The files that ship beside the library, and the start-up state that depends on them.
namespace Transvia::LibraryFiles {

// The folder of the loaded module that holds this code (the library, or the program
// it is linked into), as a path of this machine.
std::string OwnFolder();

// Loads the message table from `folder`. Remembers the outcome for StartupError().
Common::Error LoadFrom(const std::string& folder);

// Empty when the library started; otherwise the reason every entry refuses to run.
const Common::Error& StartupError();

}  // namespace Transvia::LibraryFiles
