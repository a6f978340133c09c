#include "support/logger.h"

#include "support/message_format.h"
#include "support/trace.h"

namespace Transvia {

namespace {

class ReportingLogger final : public Logger {
public:
    void Write(int32_t level, uint32_t facility, uint32_t code, const char*, const Processor::String& text) override
    {
        Common::Trace(level, facility, code, text);
    }

    void WriteFormat(int32_t level, uint32_t facility, uint32_t code, const char*, const Processor::String& format,
                     const Processor::Variant& a1, const Processor::Variant& a2, const Processor::Variant& a3) override
    {
        if (Common::TraceEnabled(level)) Common::Trace(level, facility, code, format, {a1, a2, a3});
    }

    void WriteFormat(int32_t level, uint32_t facility, uint32_t code, const char*, const Processor::String& format,
                     const Processor::Variant& a1, const Processor::Variant& a2) override
    {
        if (Common::TraceEnabled(level)) Common::Trace(level, facility, code, format, {a1, a2});
    }

    void WriteFormat(int32_t level, uint32_t facility, uint32_t code, const char*, const Processor::String& format,
                     const Processor::Variant& a1) override
    {
        if (Common::TraceEnabled(level)) Common::Trace(level, facility, code, format, {a1});
    }

    void WriteError(int32_t level, const Common::Error& error) override { Common::TraceError(level, error); }

    void WriteError(int32_t level, const Common::ErrorRecord* record) override
    {
        Common::TraceError(level, Common::Error::Share(const_cast<Common::ErrorRecord*>(record)));
    }

    void WriteText(int32_t level, uint32_t facility, uint32_t code, const char16_t* text) override
    {
        if (Common::TraceEnabled(level)) Common::Trace(level, facility, code, Processor::String(text));
    }
};

class SilentLogger final : public Logger {
public:
    void Write(int32_t, uint32_t, uint32_t, const char*, const Processor::String&) override {}
    void WriteFormat(int32_t, uint32_t, uint32_t, const char*, const Processor::String&, const Processor::Variant&,
                     const Processor::Variant&, const Processor::Variant&) override {}
    void WriteFormat(int32_t, uint32_t, uint32_t, const char*, const Processor::String&, const Processor::Variant&,
                     const Processor::Variant&) override {}
    void WriteFormat(int32_t, uint32_t, uint32_t, const char*, const Processor::String&,
                     const Processor::Variant&) override {}
    void WriteError(int32_t, const Common::Error&) override {}
    void WriteError(int32_t, const Common::ErrorRecord*) override {}
    void WriteText(int32_t, uint32_t, uint32_t, const char16_t*) override {}
};

template <class Concrete> void Destroy(Logger* logger) { delete static_cast<Concrete*>(logger); }

}  // namespace

LoggerHandle CreateLogger(bool silent)
{
    if (silent) return LoggerHandle(new SilentLogger(), &Destroy<SilentLogger>);
    return LoggerHandle(new ReportingLogger(), &Destroy<ReportingLogger>);
}

}  // namespace Transvia
