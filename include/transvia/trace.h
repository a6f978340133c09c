#pragma once

#include <cstdint>

#include "transvia/error.h"

namespace Common {

enum class EventLevel : int32_t {
    Detail = 1,
    Notable = 2,
    Problem = 3,
    Failure = 4,
};

// A named field of a structured event. The engine itself sends none.
struct EventField {
    const char* name;
    const char16_t* value;
};

}  // namespace Common

// Host trace callbacks. The engine passes a null source, facility 29 and code 0 for its own texts.
// `text` and `fields` are valid only during the call: a host that keeps them copies them.
// An error is a counted handle: copying it keeps the record alive.
using TraceTextCallback = void (*)(const char* source, Common::EventLevel level, uint32_t facility,
                                   uint32_t code, const char16_t* text);
using TraceEventCallback = void (*)(const char* source, Common::EventLevel level, uint32_t facility,
                                    uint32_t code, const char16_t* text, const Common::EventField* fields,
                                    int32_t fieldCount);
using TraceErrorCallback = void (*)(const char* source, Common::EventLevel level, const Common::Error& error);
