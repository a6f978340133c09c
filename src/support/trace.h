#pragma once

#include <initializer_list>

#include "support/variant.h"
#include "transvia/error.h"
#include "transvia/string.h"
#include "transvia/trace.h"

// Process-wide tracing: a threshold, default sinks and a dispatcher that the
// host's callbacks join through SetTraceRedirection.
namespace Common {

constexpr uint32_t kTraceFacility = 29;

class TraceLogic {
public:
    virtual ~TraceLogic() = default;
    virtual void Text(const char* source, EventLevel level, uint32_t facility, uint32_t code,
                      const char16_t* text) = 0;
    virtual void Reserved2() {}
    virtual void Event(const char* source, EventLevel level, uint32_t facility, uint32_t code,
                       const char16_t* text, const EventField* fields, int32_t count) = 0;
    virtual void Reserved4() {}
    virtual void ErrorEvent(const char* source, EventLevel level, const Error& error) = 0;
    virtual void Reserved6() {}
};

// Source-less forms of the host callbacks.
using PlainTextFunction = void (*)(EventLevel, uint32_t, uint32_t, const char16_t*);
using PlainEventFunction = void (*)(EventLevel, uint32_t, uint32_t, const char16_t*, const EventField*, int32_t);
using PlainErrorFunction = void (*)(EventLevel, const Error&);

void SetTraceThreshold(int32_t level);
int32_t GetTraceThreshold();
inline bool TraceEnabled(int32_t level) { return level >= GetTraceThreshold(); }

// Formats `text` with `arguments` (unchanged without arguments) and delivers it at `level`.
void Trace(int32_t level, uint32_t facility, uint32_t code, const Processor::String& text,
           std::initializer_list<Processor::Variant> arguments = {});
// The engine's own texts: facility 29, code 0.
inline void Trace(int32_t level, const Processor::String& text, std::initializer_list<Processor::Variant> arguments = {})
{
    if (level >= GetTraceThreshold())
        Trace(level, kTraceFacility, 0, text, arguments);
}
void TraceError(int32_t level, const Error& error);
void TraceEvent(const char* source, int32_t level, uint32_t facility, uint32_t code, const char16_t* text,
                const EventField* fields, int32_t count);

// Registration used by SetTraceRedirection; a null first function does nothing.
void RegisterTraceFunctions(TraceTextCallback text, TraceEventCallback event, TraceErrorCallback error);
// Adds a TraceLogic to the dispatcher's set (kept for the life of the process).
void AddTraceLogic(TraceLogic* logic);
// Switches the default sinks off (they are on by default and discard everything).
void SetDefaultSinksEnabled(bool enabled);

// For tests: counts of events that reached the default sinks.
struct DefaultSinkCounts {
    uint64_t texts = 0;
    uint64_t errors = 0;
};
DefaultSinkCounts GetDefaultSinkCounts();

}  // namespace Common
