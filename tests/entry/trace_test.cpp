#include <gtest/gtest.h>

#include <vector>

#include "entry/library_files.h"
#include "support/logger.h"
#include "support/errors.h"
#include "support/fixtures.h"
#include "support/text.h"
#include "support/trace.h"
#include "transvia/transvia.h"

namespace {

struct Seen {
    std::string who;
    const char* source;
    int level;
    uint32_t facility;
    uint32_t code;
    std::string text;
    Common::ErrorRecord* record = nullptr;
};
std::vector<Seen> g_seen;

template <int Tag> void OnText(const char* source, Common::EventLevel level, uint32_t facility, uint32_t code, const char16_t* text)
{
    g_seen.push_back({"text" + std::to_string(Tag), source, static_cast<int>(level), facility, code,
                      Processor::ToUtf8(std::u16string_view(text))});
}

template <int Tag> void OnError(const char* source, Common::EventLevel level, const Common::Error& error)
{
    g_seen.push_back({"error" + std::to_string(Tag), source, static_cast<int>(level), 0, error.code(), "", error.record()});
}

// Process-wide trace state: CTest runs every test in a process of its own.
#define REQUIRE_FRESH_PROCESS()                                                                   \
    if (Common::GetTraceThreshold() != 2)                                                         \
    GTEST_SKIP() << "needs a process in which trace redirection was never set up (run via ctest)"

TEST(TraceTest, BeforeRedirectionOnlyTheDefaultSinkSeesLevelTwo)
{
    REQUIRE_FRESH_PROCESS();
    const auto before = Common::GetDefaultSinkCounts();
    Common::Trace(1, u"detail");
    EXPECT_EQ(Common::GetDefaultSinkCounts().texts, before.texts);
    Common::Trace(2, u"notable {0}", {1u});
    EXPECT_EQ(Common::GetDefaultSinkCounts().texts, before.texts + 1);
    Common::TraceError(4, Common::MakeError(0x1D0007, TV_HERE, u"x"));
    EXPECT_EQ(Common::GetDefaultSinkCounts().errors, before.errors + 1);
}

TEST(TraceTest, FirstRedirectionWithNullsLowersTheThresholdAndDropsQuietly)
{
    REQUIRE_FRESH_PROCESS();
    g_seen.clear();
    SetTraceRedirection(nullptr, nullptr, nullptr);
    EXPECT_EQ(Common::GetTraceThreshold(), 1);
    Common::Trace(1, u"Exit InstallDrivers.");
    Common::TraceError(4, Common::MakeError(1, TV_HERE, u"x"));
    EXPECT_TRUE(g_seen.empty());
}

TEST(TraceTest, RedirectedTracesReachOnlyTheLatestCallbacksOnce)
{
    g_seen.clear();
    SetTraceRedirection(&OnText<1>, nullptr, &OnError<1>);
    Common::Trace(1, u"Exit InstallDrivers.");
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].who, "text1");
    EXPECT_EQ(g_seen[0].source, nullptr);
    EXPECT_EQ(g_seen[0].level, 1);
    EXPECT_EQ(g_seen[0].facility, 29u);
    EXPECT_EQ(g_seen[0].code, 0u);
    EXPECT_EQ(g_seen[0].text, "Exit InstallDrivers.");

    g_seen.clear();
    SetTraceRedirection(&OnText<2>, nullptr, &OnError<2>);
    SetTraceRedirection(&OnText<2>, nullptr, &OnError<2>);
    Common::Trace(2, u"once");
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].who, "text2");

    // The host gave no event callback: its forwarding slot is empty, the event goes nowhere.
    g_seen.clear();
    Common::TraceEvent(nullptr, 2, 29, 0, u"event text", nullptr, 0);
    EXPECT_TRUE(g_seen.empty());
}

TEST(TraceTest, LoggersReportOrStaySilent)
{
    SetTraceRedirection(&OnText<1>, nullptr, &OnError<1>);
    g_seen.clear();
    const Common::Error error = Common::MakeError(0x1D0199, TV_HERE, u"no processor");
    {
        auto silent = Transvia::CreateLogger(true);
        silent->WriteError(4, error);
        silent->Write(4, 29, 0, nullptr, u"x");
        silent->WriteFormat(4, 29, 0, nullptr, u"{0}", 1u);
        silent->WriteText(4, 29, 0, u"x");
    }
    EXPECT_TRUE(g_seen.empty());

    auto reporting = Transvia::CreateLogger(false);
    reporting->WriteError(4, error);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].who, "error1");
    EXPECT_EQ(g_seen[0].level, 4);
    EXPECT_EQ(g_seen[0].record, error.record());

    reporting->WriteFormat(2, 29, 0, nullptr, u"InstallServices({0}): Omit associated service '{1}'.",
                           Processor::String(u"inst"), Processor::String(u"svc"));
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[1].text, "InstallServices(inst): Omit associated service 'svc'.");
}

class Hardware final : public Transvia::HardwareEnvironment {
public:
    explicit Hardware(Common::Error error) : error_(std::move(error)) {}
    void EnumerateDevices(Common::Error& error, Transvia::DeviceList&) const override { error = error_; }
    void EnumerateInstallDevices(Common::Error& error, Transvia::DeviceList& devices) const override
    {
        devices.push_back(Transvia::DeviceIds{"PCI\\VEN_1AF4&DEV_1001"});
        error = error_;
    }

private:
    Common::Error error_;
};

TEST(EntryTest, HostErrorsBecomeTheResultAndCodeZeroIsIgnored)
{
    if (!Transvia::LibraryFiles::StartupError().empty()) {
        ASSERT_TRUE(Transvia::LibraryFiles::LoadFrom(TRANSVIA_OUTPUT_DIR).empty());
    }
    TestSupport::ScratchDir scratch;
    auto target = scratch.dir();

    Common::Error hostError = Common::MakeError(0x1D0194, TV_HERE, u"from the host");
    Common::ErrorRecord* record = hostError.record();
    {
        Hardware failing(hostError);
        Transvia::InstallDriversParams params;
        params.hardware = &failing;
        Common::Error result = InstallDrivers(target.get(), L"Windows", &params);
        EXPECT_EQ(result.record(), record);  // the very error, not a copy
        EXPECT_EQ(result.code(), 0x1D0194u);
    }
    // Every handle the engine took has been released again.
    EXPECT_EQ(record->refCount.load(), 1u);

    Hardware informational(Common::MakeError(0, TV_HERE, u"fine"));
    Transvia::InstallDriversParams params;
    params.hardware = &informational;
    // Code 0 is not a failure: the flow goes on and stops at the missing Windows folder.
    EXPECT_EQ(InstallDrivers(target.get(), L"Windows", &params).code(), 0x1D0007u);

    Transvia::DriverStorageList none;
    EXPECT_EQ(ScheduleForWindowsInstall(Transvia::PciDeviceClass::MassStorage, target.get(), L"Windows", none, nullptr, nullptr)
                  .code(),
              0x1D0002u);
}

}  // namespace
