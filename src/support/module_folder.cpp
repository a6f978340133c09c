#include "support/module_folder.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>

namespace Common {

namespace {
std::string RealPath(const char* path)
{
    char resolved[PATH_MAX];
    return ::realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}
}  // namespace

std::string ModuleFolder()
{
    Dl_info info{};
    std::string module;
    if (::dladdr(reinterpret_cast<void*>(&ModuleFolder), &info) != 0 && info.dli_fname != nullptr &&
        std::strchr(info.dli_fname, '/') != nullptr && std::strcmp(info.dli_fname, program_invocation_name) != 0)
        module = RealPath(info.dli_fname);
    // Linked into the program itself: dladdr gives the name it was started by, not a path.
    if (module.empty()) module = RealPath("/proc/self/exe");
    const size_t slash = module.rfind('/');
    return slash == std::string::npos ? std::string(".") : module.substr(0, slash);
}

}  // namespace Common
