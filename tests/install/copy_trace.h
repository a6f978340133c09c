#pragma once

#include <string>
#include <vector>

#include "support/message_format.h"
#include "support/text.h"
#include "support/trace.h"

// Collects the engine's trace texts and traced errors (with their codes) while alive,
// every level let through.
namespace CopyTest {

struct TraceItem {
    int level;
    uint32_t code;  // the error's code; 0 for a text
    std::string text;
};

class TraceLog : public Common::TraceLogic {
public:
    TraceLog()
    {
        static const bool added = (Common::AddTraceLogic(&Relay()), true);
        (void)added;
        Active() = this;
        previous_ = Common::GetTraceThreshold();
        Common::SetTraceThreshold(1);
    }
    ~TraceLog() override
    {
        Common::SetTraceThreshold(previous_);
        Active() = nullptr;
    }
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    void Text(const char*, Common::EventLevel level, uint32_t, uint32_t, const char16_t* text) override
    {
        items.push_back({static_cast<int>(level), 0, Processor::ToUtf8(std::u16string_view(text))});
    }
    void Event(const char*, Common::EventLevel, uint32_t, uint32_t, const char16_t*, const Common::EventField*,
               int32_t) override
    {
    }
    void ErrorEvent(const char*, Common::EventLevel level, const Common::Error& error) override
    {
        items.push_back({static_cast<int>(level), error.code(), Processor::ToUtf8(Processor::RenderError(error))});
    }

    // Whether an item carries `code` (0: any text) and contains `part`.
    bool Has(uint32_t code, const std::string& part) const
    {
        for (const TraceItem& item : items)
            if (item.code == code && item.text.find(part) != std::string::npos) return true;
        return false;
    }
    std::string All() const
    {
        std::string all;
        for (const TraceItem& item : items) all += std::to_string(item.level) + " " + item.text + "\n";
        return all;
    }

    std::vector<TraceItem> items;

private:
    // The dispatcher keeps what it is given for the process; this forwards to the log alive now.
    struct Forward : Common::TraceLogic {
        void Text(const char* s, Common::EventLevel l, uint32_t f, uint32_t c, const char16_t* t) override
        {
            if (Active()) Active()->Text(s, l, f, c, t);
        }
        void Event(const char*, Common::EventLevel, uint32_t, uint32_t, const char16_t*, const Common::EventField*,
                   int32_t) override
        {
        }
        void ErrorEvent(const char* s, Common::EventLevel l, const Common::Error& e) override
        {
            if (Active()) Active()->ErrorEvent(s, l, e);
        }
    };
    static Forward& Relay()
    {
        static Forward forward;
        return forward;
    }
    static TraceLog*& Active()
    {
        static TraceLog* active = nullptr;
        return active;
    }
    int32_t previous_ = 2;
};

}  // namespace CopyTest
