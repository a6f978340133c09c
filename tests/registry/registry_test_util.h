#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry/file_reg.h"
#include "registry/hive_check.h"
#include "registry/hive_file.h"
#include "registry/hive_format.h"
#include "support/fixtures.h"
#include "support/trace_capture.h"
#include "support/text.h"
#include "support/trace.h"

namespace RegistryTest {

inline Processor::String S(const char16_t* text) { return Processor::String(text); }

using TraceCapture = TestSupport::TraceCapture;

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
