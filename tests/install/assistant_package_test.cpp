// The shipped assistant package (build output: assistant.inf, transvia_assistant.exe)
// installed by our own INF processor for the pseudo-device DisableHWUI_ID.
#include <gtest/gtest.h>

#include "install/inf_processor.h"
#include "support/fixtures.h"
#include "target_tree.h"

namespace fs = std::filesystem;
using namespace Transvia;

namespace {

constexpr uint32_t kAmd64 = 3;

TEST(AssistantPackage, InstallsTheProgramAndItsAutoStartService)
{
    const fs::path out = TRANSVIA_OUTPUT_DIR;
    TargetTest::TargetTree tree;
    tree.Hive("system", "[S\\Select]\n\"Current\"=dword:00000001\n[S\\ControlSet001\\Services]\n");
    tree.Hive("software", "[S\\Microsoft\\Windows NT\\CurrentVersion]\n\"CurrentVersion\"=\"6.3\"\n"
                          "\"CurrentMajorVersionNumber\"=dword:0000000a\n\"CurrentMinorVersionNumber\"=dword:00000000\n");
    tree.Folder("Windows/inf");
    tree.Folder("Windows/System32");
    TestSupport::ScratchDir storage;
    for (const char* name : {"assistant.inf", "transvia_assistant.exe"})
        fs::copy_file(out / name, storage.path() / name);

    InfProcessorImpl processor(kAmd64, std::make_unique<CleanerImpl>(nullptr));
    const LocationFlags flags{0, 1};
    ASSERT_TRUE(processor.AddSearchLocation(*storage.dir(), &flags));
    Common::Error result;
    processor.InstallDrivers(result, {DeviceIds{"DisableHWUI_ID"}}, tree.Root(), u"Windows", true, nullptr);
    ASSERT_FALSE(result.failed()) << std::hex << result.code();

    EXPECT_EQ(TestSupport::ReadFileBytes(tree.path() / "Windows/System32/transvia_assistant.exe"),
              TestSupport::ReadFileBytes(out / "transvia_assistant.exe"));
    auto registry = CreateWindowsRegistry(tree.Windows());
    RegistryKey* services = registry->Services();
    EXPECT_EQ(TargetTest::Dword(services, u"transvia_assistant", u"Type"), 0x10);
    EXPECT_EQ(TargetTest::Dword(services, u"transvia_assistant", u"Start"), 2);
    EXPECT_EQ(TargetTest::Dword(services, u"transvia_assistant", u"ErrorControl"), 1);
    const std::string image = TargetTest::Text(services, u"transvia_assistant", u"ImagePath");
    EXPECT_EQ(image, "%SystemRoot%\\System32\\transvia_assistant.exe");
    // The service is no driver of the pseudo-device: nothing binds the identifier to it.
    EXPECT_FALSE(TargetTest::Has(registry->CurrentControlSet(), u"Control\\CriticalDeviceDatabase\\DisableHWUI_ID"));
}

}  // namespace
