#pragma once

#include <cstdint>
#include <exception>

#include "transvia/codes.h"
#include "transvia/error.h"
#include "transvia/string.h"

namespace Common {

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
