#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "registry/file_reg.h"
#include "registry/hive_check.h"
#include "registry/hive_file.h"
#include "registry/hive_format.h"
#include "support/fixtures.h"
#include "support/text.h"
#include "support/trace.h"

namespace RegistryTest {

inline Processor::String S(const char16_t* text) { return Processor::String(text); }

// Collects the engine's trace texts while alive.
class TraceCapture : public Common::TraceLogic {
public:
    TraceCapture()
    {
        static bool added = false;
        Current() = this;
        if (!added) {
            Common::AddTraceLogic(&Relay());
            added = true;
        }
        previous_ = Common::GetTraceThreshold();
        Common::SetTraceThreshold(1);
    }
    ~TraceCapture() override
    {
        Common::SetTraceThreshold(previous_);
        Current() = nullptr;
    }
    void Text(const char*, Common::EventLevel level, uint32_t, uint32_t, const char16_t* text) override
    {
        texts.emplace_back(static_cast<int>(level), Processor::ToUtf8(std::u16string_view(text)));
    }
    void Event(const char*, Common::EventLevel, uint32_t, uint32_t, const char16_t*, const Common::EventField*, int32_t) override {}
    void ErrorEvent(const char*, Common::EventLevel level, const Common::Error& error) override
    {
        errors.emplace_back(static_cast<int>(level), error.code());
    }
    int count(const std::string& text) const
    {
        int n = 0;
        for (const auto& t : texts)
            n += t.second == text;
        return n;
    }

    std::vector<std::pair<int, std::string>> texts;
    std::vector<std::pair<int, uint32_t>> errors;

private:
    // One relay registered for the process; it forwards to whichever capture is alive.
    struct Forward : Common::TraceLogic {
        void Text(const char* s, Common::EventLevel l, uint32_t f, uint32_t c, const char16_t* t) override
        {
            if (Current())
                Current()->Text(s, l, f, c, t);
        }
        void Event(const char*, Common::EventLevel, uint32_t, uint32_t, const char16_t*, const Common::EventField*, int32_t) override {}
        void ErrorEvent(const char* s, Common::EventLevel l, const Common::Error& e) override
        {
            if (Current())
                Current()->ErrorEvent(s, l, e);
        }
    };
    static TraceCapture*& Current()
    {
        static TraceCapture* current = nullptr;
        return current;
    }
    static Forward& Relay()
    {
        static Forward relay;
        return relay;
    }
    int32_t previous_ = 2;
};

// A scratch folder with a fresh hive "hive" in it.
struct HiveFixture {
    TestSupport::ScratchDir scratch;
    std::shared_ptr<Common::rio_dir> dir = scratch.dir();

    void create(uint32_t minor = 5)
    {
        ASSERT_TRUE(Common::CreateHive(*dir, u"hive", minor, u"ROOT").empty());
    }
    Common::file_reg open(bool read_only = false)
    {
        Common::Error error;
        return Common::file_reg::open_hive(dir, u"hive", read_only, error);
    }
    std::vector<uint8_t> bytes() const { return TestSupport::ReadFileBytes(scratch.path() / "hive"); }
    void put(const std::vector<uint8_t>& content) const { scratch.write("hive", content); }
    // The structural checker's faults, empty when sound.
    std::vector<std::string> faults() const
    {
        const auto b = bytes();
        std::vector<std::string> found;
        Common::HiveCheckSummary summary;
        Common::CheckHive(b.data(), b.size(), found, summary);
        return found;
    }
};

}  // namespace RegistryTest
