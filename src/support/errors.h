#pragma once

#include <cstdint>
#include <exception>
#include <type_traits>

#include "transvia/codes.h"
#include "transvia/error.h"
#include "transvia/string.h"

namespace Common {

// Raise-site identifiers: a hash of file and line, fixed at compile time. The build maps
// __FILE__ to the path below the source root, so an id is the same in every checkout; a
// compiler cache may instead hand the compiler a path relative to the build folder
// ("../src/..."), whose leading "../" are skipped for the same result.
constexpr uint64_t SiteId(const char* file, unsigned line)
{
    while ((file[0] == '.' && file[1] == '.' && file[2] == '/') || (file[0] == '.' && file[1] == '/'))
        file += file[1] == '.' ? 3 : 2;
    uint64_t hash = 0xcbf29ce484222325ull;
    for (; *file != '\0'; ++file)
        hash = (hash ^ static_cast<unsigned char>(*file)) * 0x100000001b3ull;
    return (hash ^ line) * 0x100000001b3ull;
}

Error MakeError(uint32_t code, uint64_t site, const Processor::String& text, const Error& cause = Error());
[[noreturn]] void Raise(uint32_t code, uint64_t site, const Processor::String& text, const Error& cause = Error());
[[noreturn]] void Raise(const Error& error);

// A C++ exception that is no Common::Error (out of memory, a library's own), as the
// error an entry returns: kOutOfMemory for std::bad_alloc, else kUnexpectedException.
Error ErrorFromException(const std::exception& exception, uint64_t site);

// A failed system call (errno value) as an error record with the system's own description.
Error SystemError(int error, uint64_t site);
// The same, with "what" (for example the path) before the system's description.
Error SystemError(int error, uint64_t site, const Processor::String& what);

}  // namespace Common

#define TV_HERE (std::integral_constant<uint64_t, ::Common::SiteId(__FILE__, __LINE__)>::value)
