// Process-wide trace state: threshold, default sinks and the dispatcher. Unsynchronised:
// the engine traces from the host's calling thread only.
#include "support/trace.h"

#include <algorithm>
#include <map>
#include <vector>

#include "support/message_format.h"

namespace Common {

namespace {

int32_t g_threshold = 2;
bool g_defaultSinks = true;
DefaultSinkCounts g_sinkCounts;

// The host callbacks of one registration: three without a source, three with one.
struct StubLogic {
    PlainTextFunction text = nullptr;
    PlainEventFunction event = nullptr;
    PlainErrorFunction error = nullptr;
    TraceTextCallback textWithSource = nullptr;
    TraceEventCallback eventWithSource = nullptr;
    TraceErrorCallback errorWithSource = nullptr;

    void Text(const char* source, EventLevel level, uint32_t facility, uint32_t code, const char16_t* message) const
    {
        if (textWithSource != nullptr) textWithSource(source, level, facility, code, message);
        else if (text != nullptr) text(level, facility, code, message);
    }

    void Event(const char* source, EventLevel level, uint32_t facility, uint32_t code, const char16_t* message,
               const EventField* fields, int32_t count) const
    {
        if (eventWithSource != nullptr) eventWithSource(source, level, facility, code, message, fields, count);
        else if (event != nullptr) event(level, facility, code, message, fields, count);
        else Text(source, level, facility, code, message);
    }

    void ErrorEvent(const char* source, EventLevel level, const Error& e) const
    {
        if (errorWithSource != nullptr) {
            errorWithSource(source, level, e);
        } else if (error != nullptr) {
            error(level, e);
        } else {
            Processor::String rendered = Processor::RenderError(e);
            Text(source, level, (e.code() >> 16) & 0x7FF, e.code(), rendered.getTerminatedBuffer());
        }
    }
};

class CompositeTraceLogic final : public TraceLogic {
public:
    void Text(const char* source, EventLevel level, uint32_t facility, uint32_t code, const char16_t* text) override
    {
        for (TraceLogic* logic : logics_) logic->Text(source, level, facility, code, text);
        for (const auto& [key, stub] : stubs_) stub.Text(source, level, facility, code, text);
    }

    void Event(const char* source, EventLevel level, uint32_t facility, uint32_t code, const char16_t* text,
               const EventField* fields, int32_t count) override
    {
        for (TraceLogic* logic : logics_) logic->Event(source, level, facility, code, text, fields, count);
        for (const auto& [key, stub] : stubs_) stub.Event(source, level, facility, code, text, fields, count);
    }

    void ErrorEvent(const char* source, EventLevel level, const Error& error) override
    {
        for (TraceLogic* logic : logics_) logic->ErrorEvent(source, level, error);
        for (const auto& [key, stub] : stubs_) stub.ErrorEvent(source, level, error);
    }

    void Add(TraceLogic* logic)
    {
        if (std::find(logics_.begin(), logics_.end(), logic) == logics_.end()) logics_.push_back(logic);
    }

    void Register(TraceTextCallback text, TraceEventCallback event, TraceErrorCallback error)
    {
        StubLogic& stub = stubs_[reinterpret_cast<uintptr_t>(text)];
        stub.text = nullptr;
        stub.event = nullptr;
        stub.error = nullptr;
        stub.textWithSource = text;
        stub.eventWithSource = event;
        stub.errorWithSource = error;
    }

private:
    std::vector<TraceLogic*> logics_;
    std::map<uintptr_t, StubLogic> stubs_;  // keyed by the first registered function
};

// Created on first registration and kept for the life of the process.
CompositeTraceLogic* g_dispatcher = nullptr;

CompositeTraceLogic& Dispatcher()
{
    if (g_dispatcher == nullptr) g_dispatcher = new CompositeTraceLogic();
    return *g_dispatcher;
}

void DefaultTextSink(const char*, EventLevel, uint32_t, uint32_t, const char16_t*) { ++g_sinkCounts.texts; }

void DefaultErrorSink(const char*, EventLevel, const Error& error)
{
    // Rendered like every delivered error, then discarded.
    (void)Processor::RenderError(error);
    ++g_sinkCounts.errors;
}

void DeliverText(int32_t level, uint32_t facility, uint32_t code, const char16_t* text)
{
    if (level < g_threshold) return;
    const auto eventLevel = static_cast<EventLevel>(level);
    if (g_defaultSinks) DefaultTextSink(nullptr, eventLevel, facility, code, text);
    if (g_dispatcher != nullptr) g_dispatcher->Text(nullptr, eventLevel, facility, code, text);
}

}  // namespace

void SetTraceThreshold(int32_t level) { g_threshold = level; }
int32_t GetTraceThreshold() { return g_threshold; }

void Trace(int32_t level, uint32_t facility, uint32_t code, const Processor::String& text,
           std::initializer_list<Processor::Variant> arguments)
{
    if (level < g_threshold) return;
    if (arguments.size() == 0) {
        Processor::String copy(text);
        DeliverText(level, facility, code, copy.getTerminatedBuffer());
        return;
    }
    Processor::String formatted = Processor::Formatter().format(text, arguments.begin(), arguments.size());
    DeliverText(level, facility, code, formatted.getTerminatedBuffer());
}

void TraceError(int32_t level, const Error& error)
{
    if (level < g_threshold) return;
    const auto eventLevel = static_cast<EventLevel>(level);
    if (g_defaultSinks) DefaultErrorSink(nullptr, eventLevel, error);
    if (g_dispatcher != nullptr) g_dispatcher->ErrorEvent(nullptr, eventLevel, error);
}

void TraceEvent(const char* source, int32_t level, uint32_t facility, uint32_t code, const char16_t* text,
                const EventField* fields, int32_t count)
{
    if (level < g_threshold) return;
    const auto eventLevel = static_cast<EventLevel>(level);
    if (g_defaultSinks) DefaultTextSink(source, eventLevel, facility, code, text);
    if (g_dispatcher != nullptr) g_dispatcher->Event(source, eventLevel, facility, code, text, fields, count);
}

void RegisterTraceFunctions(TraceTextCallback text, TraceEventCallback event, TraceErrorCallback error)
{
    if (text == nullptr) return;
    Dispatcher().Register(text, event, error);
}

void AddTraceLogic(TraceLogic* logic) { Dispatcher().Add(logic); }

void SetDefaultSinksEnabled(bool enabled) { g_defaultSinks = enabled; }

DefaultSinkCounts GetDefaultSinkCounts() { return g_sinkCounts; }

}  // namespace Common
