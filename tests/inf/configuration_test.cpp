// The engine's configuration file: settings, the file an environment variable names,
// and unreadable files that fall back to the defaults.
#include <gtest/gtest.h>

#include <cstdlib>

#include "inf/configuration.h"
#include "support/fixtures.h"
#include "support/trace_capture.h"

namespace {

using namespace Transvia;

TEST(Configuration, ReadsStringsAndNumbersOfTheSettingsSection)
{
    TestSupport::ScratchDir scratch;
    const auto path = scratch.write("transvia.conf",
                                    "; settings of this machine\n"
                                    "[settings]\n"
                                    "HWDB.TXT = \"/opt/db/hw db.txt\"\n"
                                    "IgnoreDriverWarnings = 0x1\n"
                                    "StrictLogReplay = yes\n"
                                    "Empty =\n");
    TestSupport::TraceCapture trace;
    Configuration configuration = LoadConfigurationFile(path.string());
    EXPECT_FALSE(configuration.empty());
    ASSERT_TRUE(configuration.GetString(Settings::kHardwareDatabase).has_value());
    EXPECT_EQ(*configuration.GetString(Settings::kHardwareDatabase), Processor::String(u"/opt/db/hw db.txt"));
    EXPECT_EQ(configuration.GetNumber(Settings::kIgnoreDriverWarnings), std::optional<uint64_t>(1));
    // Present but not a number: none, and said so.
    EXPECT_EQ(configuration.GetNumber(Settings::kStrictLogReplay), std::nullopt);
    EXPECT_TRUE(trace.Has(3, "StrictLogReplay"));
    EXPECT_EQ(configuration.GetString(u"Empty"), std::nullopt);
    EXPECT_EQ(configuration.GetString(u"Absent"), std::nullopt);
}

TEST(Configuration, MissingOrBrokenFileMeansDefaults)
{
    TestSupport::ScratchDir scratch;
    Configuration missing = LoadConfigurationFile((scratch.path() / "none.conf").string());
    EXPECT_TRUE(missing.empty());
    EXPECT_EQ(missing.GetString(Settings::kHardwareDatabase), std::nullopt);

    const auto broken = scratch.write("broken.conf", "[Settings\nhwdb.txt = x\n");
    TestSupport::TraceCapture trace;
    Configuration configuration = LoadConfigurationFile(broken.string());
    EXPECT_TRUE(configuration.empty());
    EXPECT_TRUE(trace.Has(4, "broken.conf"));
}

TEST(Configuration, EnvironmentVariableNamesTheFile)
{
    TestSupport::ScratchDir scratch;
    const auto path = scratch.write("elsewhere.conf", "[Settings]\nIgnoreDriverWarnings = 7\n");
    ASSERT_EQ(setenv(kConfigurationVariable, path.c_str(), 1), 0);
    Configuration configuration = LoadConfiguration();
    unsetenv(kConfigurationVariable);
    EXPECT_EQ(configuration.GetNumber(Settings::kIgnoreDriverWarnings), std::optional<uint64_t>(7));
}

TEST(Configuration, ShippedFilesStayBelowTheLibraryFolder)
{
    Common::Error error;
    // A relative path that climbs out of the library's folder is refused, not followed.
    EXPECT_EQ(OpenShippedFile("../../../../../../etc/hostname", error), nullptr);
    EXPECT_TRUE(error.failed());
}

}  // namespace

TEST(Configuration, StrictLogReplaySetting)
{
    TestSupport::ScratchDir scratch;
    const std::filesystem::path on = scratch.write("on.conf", std::string("[Settings]\nStrictLogReplay = 1\n"));
    const std::filesystem::path off = scratch.write("off.conf", std::string("[Settings]\nIgnoreDriverWarnings = 1\n"));
    EXPECT_TRUE(Transvia::HiveLogPolicyFrom(Transvia::LoadConfigurationFile(on.string())).strict);
    EXPECT_FALSE(Transvia::HiveLogPolicyFrom(Transvia::LoadConfigurationFile(off.string())).strict);
    EXPECT_TRUE(Transvia::HiveLogPolicyFrom(Transvia::LoadConfigurationFile(off.string())).use_logs);
}
