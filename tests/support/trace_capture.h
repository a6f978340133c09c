#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/trace.h"

// Collects the engine's trace texts and traced errors while alive, every level let through.
namespace TestSupport {

struct Traced {
    int level;
    uint32_t code;  // a text's code, or the traced error's
    std::string text;
    bool error;
};

class TraceCapture : public Common::TraceLogic {
public:
    TraceCapture();
    ~TraceCapture() override;
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    void Text(const char*, Common::EventLevel level, uint32_t, uint32_t code, const char16_t* text) override;
    void Event(const char*, Common::EventLevel, uint32_t, uint32_t, const char16_t*, const Common::EventField*,
               int32_t) override
    {
    }
    void ErrorEvent(const char*, Common::EventLevel level, const Common::Error& error) override;

    // Whether a text at `level` contains `part`.
    bool Has(int level, const std::string& part) const;
    // Whether a traced error with `code` contains `part`; code 0: any text at any level.
    bool HasCode(uint32_t code, const std::string& part) const;
    // How many texts are exactly `text`.
    int Count(const std::string& text) const;
    std::vector<std::pair<int, std::string>> Texts() const;
    std::vector<std::pair<int, uint32_t>> Errors() const;
    std::string All() const;

    std::vector<Traced> items;

private:
    int32_t previous_ = 2;
};

}  // namespace TestSupport
