#include "entry/library_files.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>

#include "support/errors.h"
#include "support/message_table.h"
#include "support/text.h"

namespace Transvia::LibraryFiles {

namespace {

// Function-local so it is ready whenever the load-time constructor runs.
Common::Error& Startup()
{
    static Common::Error startup = Common::MakeError(Common::Codes::kMessageTableInvalid, TV_HERE,
                                                     u"The engine has not loaded its message table.");
    return startup;
}

std::string RealPath(const char* path)
{
    char resolved[PATH_MAX];
    return ::realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

}  // namespace

std::string OwnFolder()
{
    Dl_info info{};
    std::string module;
    if (::dladdr(reinterpret_cast<void*>(&OwnFolder), &info) != 0 && info.dli_fname != nullptr &&
        std::strchr(info.dli_fname, '/') != nullptr && std::strcmp(info.dli_fname, program_invocation_name) != 0)
        module = RealPath(info.dli_fname);
    // Linked into the program itself: dladdr gives the name it was started by, not a path.
    if (module.empty()) module = RealPath("/proc/self/exe");
    const size_t slash = module.rfind('/');
    return slash == std::string::npos ? std::string(".") : module.substr(0, slash);
}

Common::Error LoadFrom(const std::string& folder)
{
    Startup() = Common::MessageTable::Load(folder + "/" + Common::MessageTable::kFileName);
    return Startup();
}

const Common::Error& StartupError() { return Startup(); }

}  // namespace Transvia::LibraryFiles
