#pragma once

#include <string>
#include <vector>

#include "support/text.h"
#include "support/trace.h"

// Collects the engine's trace texts while alive, with every level let through.
namespace TraceTest {

struct Traced {
    int level;
    uint32_t code;
    std::string text;
};

class TraceCapture : public Common::TraceLogic {
public:
    TraceCapture()
    {
        static const bool added = (Common::AddTraceLogic(&Relay()), true);
        (void)added;
        Current() = this;
        previous_ = Common::GetTraceThreshold();
        Common::SetTraceThreshold(1);
    }
    ~TraceCapture() override
    {
        Common::SetTraceThreshold(previous_);
        Current() = nullptr;
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    void Text(const char*, Common::EventLevel level, uint32_t, uint32_t code, const char16_t* text) override
    {
        traced.push_back({static_cast<int>(level), code, Processor::ToUtf8(std::u16string_view(text))});
    }
    void Event(const char*, Common::EventLevel, uint32_t, uint32_t, const char16_t*, const Common::EventField*,
               int32_t) override
    {
    }
    void ErrorEvent(const char*, Common::EventLevel, const Common::Error&) override {}

    // Whether a text at `level` contains `part`.
    bool Has(int level, const std::string& part) const
    {
        for (const Traced& item : traced)
            if (item.level == level && item.text.find(part) != std::string::npos) return true;
        return false;
    }

    std::vector<Traced> traced;

private:
    // The dispatcher keeps the logic it is given for the process; it forwards to the
    // capture alive at the moment.
    class Forward : public Common::TraceLogic {
    public:
        void Text(const char* s, Common::EventLevel l, uint32_t f, uint32_t c, const char16_t* t) override
        {
            if (Current()) Current()->Text(s, l, f, c, t);
        }
        void Event(const char*, Common::EventLevel, uint32_t, uint32_t, const char16_t*, const Common::EventField*,
                   int32_t) override
        {
        }
        void ErrorEvent(const char*, Common::EventLevel, const Common::Error&) override {}
    };
    static Forward& Relay()
    {
        static Forward forward;
        return forward;
    }
    static TraceCapture*& Current()
    {
        static TraceCapture* current = nullptr;
        return current;
    }
    int32_t previous_ = 2;
};

}  // namespace TraceTest
