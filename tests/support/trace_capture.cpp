#include "support/trace_capture.h"

#include "support/message_format.h"
#include "support/text.h"

namespace TestSupport {

namespace {

TraceCapture*& Current()
{
    static TraceCapture* current = nullptr;
    return current;
}

// The dispatcher keeps what it is given for the process; this forwards to the capture alive now.
struct Forward : Common::TraceLogic {
    void Text(const char* s, Common::EventLevel l, uint32_t f, uint32_t c, const char16_t* t) override
    {
        if (Current()) Current()->Text(s, l, f, c, t);
    }
    void Event(const char*, Common::EventLevel, uint32_t, uint32_t, const char16_t*, const Common::EventField*,
               int32_t) override
    {
    }
    void ErrorEvent(const char* s, Common::EventLevel l, const Common::Error& e) override
    {
        if (Current()) Current()->ErrorEvent(s, l, e);
    }
};

}  // namespace

TraceCapture::TraceCapture()
{
    static Forward forward;
    static const bool added = (Common::AddTraceLogic(&forward), true);
    (void)added;
    Current() = this;
    previous_ = Common::GetTraceThreshold();
    Common::SetTraceThreshold(1);
}

TraceCapture::~TraceCapture()
{
    Common::SetTraceThreshold(previous_);
    Current() = nullptr;
}

void TraceCapture::Text(const char*, Common::EventLevel level, uint32_t, uint32_t code, const char16_t* text)
{
    items.push_back({static_cast<int>(level), code, Processor::ToUtf8(std::u16string_view(text)), false});
}

void TraceCapture::ErrorEvent(const char*, Common::EventLevel level, const Common::Error& error)
{
    items.push_back({static_cast<int>(level), error.code(), Processor::ToUtf8(Processor::RenderError(error)), true});
}

bool TraceCapture::Has(int level, const std::string& part) const
{
    for (const Traced& item : items)
        if (!item.error && item.level == level && item.text.find(part) != std::string::npos) return true;
    return false;
}

bool TraceCapture::HasCode(uint32_t code, const std::string& part) const
{
    for (const Traced& item : items)
        if ((code == 0 ? !item.error : item.error && item.code == code) && item.text.find(part) != std::string::npos)
            return true;
    return false;
}

int TraceCapture::Count(const std::string& text) const
{
    int n = 0;
    for (const Traced& item : items) n += !item.error && item.text == text;
    return n;
}

std::vector<std::pair<int, std::string>> TraceCapture::Texts() const
{
    std::vector<std::pair<int, std::string>> texts;
    for (const Traced& item : items)
        if (!item.error) texts.emplace_back(item.level, item.text);
    return texts;
}

std::vector<std::pair<int, uint32_t>> TraceCapture::Errors() const
{
    std::vector<std::pair<int, uint32_t>> errors;
    for (const Traced& item : items)
        if (item.error) errors.emplace_back(item.level, item.code);
    return errors;
}

std::string TraceCapture::All() const
{
    std::string all;
    for (const Traced& item : items) all += std::to_string(item.level) + " " + item.text + "\n";
    return all;
}

}  // namespace TestSupport
