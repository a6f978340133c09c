// Staging driver packages for Windows' own installation at first start: folder names,
// the Temp folder, DevicePath, and staging under the INF processor (the present check is
// covered by the flow tests).
#include <gtest/gtest.h>

#include "install/custom_filter.h"
#include "install/driver_staging.h"
#include "install/inf_processor.h"
#include "install/schedule_install.h"
#include "support/fixtures.h"
#include "target_tree.h"

namespace fs = std::filesystem;
using namespace Transvia;

namespace {

constexpr uint32_t kAmd64 = 3;
const char kNetClass[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";

// A network package of `maker` for device `id`, its driver in an amd64 subfolder.
std::string NetInf(const std::string& maker, const std::string& id)
{
    return std::string("[Version]\nSignature=\"$Windows NT$\"\nClass=Net\nClassGUID=") + kNetClass +
           "\nDriverVer=01/01/2020,1.0\n[Manufacturer]\n%Mfg%=Models,NTamd64\n[Models.NTamd64]\n%Dev%=Nic," + id +
           "\n[Nic]\nCopyFiles=Nic.Copy\n[Nic.Copy]\nnic.sys\n[DestinationDirs]\nDefaultDestDir=12\n"
           "[SourceDisksNames.amd64]\n1=%Disk%,,,\\amd64\n[SourceDisksFiles.amd64]\nnic.sys=1\n"
           "[Strings]\nMfg=\"" + maker + "\"\nDev=\"Network adapter\"\nDisk=\"Disk 1\"\n";
}

std::string Content(const fs::path& path)
{
    if (!fs::exists(path)) return "<missing>";
    const auto bytes = TestSupport::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// REG_EXPAND_SZ data in .reg text.
std::string Expandable(const std::string& text)
{
    std::string hex = "hex(2):";
    char byte[8];
    for (char c : text + '\0') {
        std::snprintf(byte, sizeof byte, "%02x,00,", static_cast<unsigned char>(c));
        hex += byte;
    }
    hex.pop_back();
    return hex;
}

// Answers media requests with one folder and counts them.
class MediaHost final : public InstallDriversCallback {
public:
    void ReportProgress(uint32_t) override {}
    bool IsCancelled() override { return stop; }
    void LocateDeviceDrivers(std::shared_ptr<Common::i_dir>&, const DeviceIds&) override {}
    void RequestSourceMedia(std::shared_ptr<Common::i_dir>& location, const Processor::String& manufacturer,
                            const Processor::String&) override
    {
        asked.push_back(Processor::ToUtf8(manufacturer));
        location = media;
    }
    void ReportStorageUnavailable(DriverStorage&) override {}
    std::shared_ptr<Common::i_dir> media;
    std::vector<std::string> asked;
    bool stop = false;
};

class StagingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.Hive("system", "[S\\Select]\n\"Current\"=dword:00000001\n[S\\ControlSet001\\Services]\n");
        Software("\"DevicePath\"=" + Expandable("%SystemRoot%\\inf"));
        tree.Folder("Windows/inf");
    }
    void Software(const std::string& currentVersion)
    {
        tree.Hive("software", "[S\\Microsoft\\Windows NT\\CurrentVersion]\n\"CurrentVersion\"=\"6.1\"\n"
                              "[S\\Microsoft\\Windows\\CurrentVersion]\n" + currentVersion + "\n");
    }
    // Reads DevicePath back: "<none>" when missing; `type` receives its type.
    std::string DevicePath(uint32_t* type = nullptr)
    {
        auto registry = CreateWindowsRegistry(tree.Windows());
        auto key = OpenExistingKey(*registry->Software(), u"Microsoft\\Windows\\CurrentVersion");
        uint32_t found = 0, size = 0;
        if (!key || !key->QueryValue(u"DevicePath", found, nullptr, size)) return "<none>";
        if (type) *type = found;
        return TargetTest::Text(registry->Software(), u"Microsoft\\Windows\\CurrentVersion", u"DevicePath");
    }
    Common::Error Stage(const std::string& name)
    {
        auto registry = CreateWindowsRegistry(tree.Windows());
        return ExtendDevicePath(*registry, Processor::FromUtf8(name));
    }
    Common::Error Run(const DeviceList& devices, ScheduleInstall& install, bool useTargetInf)
    {
        InfProcessorImpl processor(kAmd64, nullptr);
        CustomFilter filter({Processor::FromUtf8(kNetClass)});
        processor.AddFilter(&filter);
        const LocationFlags flags{0, 1};
        if (!useTargetInf) {
            EXPECT_TRUE(processor.AddSearchLocation(*storage.dir(), &flags));
        }
        Common::Error result;
        processor.InstallDrivers(result, devices, tree.Root(), u"Windows", useTargetInf, &install);
        return result;
    }

    TargetTest::TargetTree tree;
    TestSupport::ScratchDir storage;
};

}  // namespace

TEST(StagingName, LettersAndDigitsOfMakerAndLastIdentifierNumberedWhenTaken)
{
    TestSupport::ScratchDir temp;
    EXPECT_EQ(StagingFolderBase(u"Acme Corp.", "PCI\\CC_0200"), u"AcmeCorpPCICC0200");
    EXPECT_EQ(StagingFolderBase(u"Ünïted-Łan", "PCI\\CC_0200"), u"ÜnïtedŁanPCICC0200") << "letters of any script";
    // Letters outside the basic plane take two code units each.
    EXPECT_EQ(StagingFolderBase(Processor::String(300, U'\U0001D400', 300), "x"), Processor::String(64, U'\U0001D400', 64))
        << "a long name is cut to 64 characters, none of them split";
    EXPECT_EQ(UniqueStagingName(*temp.dir(), u"AcmeCorpPCICC0200"), u"AcmeCorpPCICC0200");
    fs::create_directory(temp.path() / "acmecorppcicc0200");  // names compare as NTFS compares them
    EXPECT_EQ(UniqueStagingName(*temp.dir(), u"AcmeCorpPCICC0200"), u"AcmeCorpPCICC0200~2");
    temp.write("AcmeCorpPCICC0200~2", "a file takes the name as well");
    EXPECT_EQ(UniqueStagingName(*temp.dir(), u"AcmeCorpPCICC0200"), u"AcmeCorpPCICC0200~3");

    // Nothing left after filtering: still a name of its own, never empty.
    const Processor::String nameless = StagingFolderBase(u"-- ...", "*\\&_");
    ASSERT_FALSE(nameless.isEmpty());
    EXPECT_EQ(UniqueStagingName(*temp.dir(), nameless), nameless);
    fs::create_directory(temp.path() / Processor::ToUtf8(nameless));
    EXPECT_EQ(UniqueStagingName(*temp.dir(), nameless), nameless + u"~2");
}

TEST_F(StagingTest, DevicePathGainsTheStagedFolderAsAnExpandableString)
{
    ASSERT_FALSE(Stage("AcmeCorpPCICC0200").failed());
    uint32_t type = 0;
    EXPECT_EQ(DevicePath(&type), "%SystemRoot%\\inf;%SystemRoot%\\Temp\\AcmeCorpPCICC0200");
    EXPECT_EQ(type, RegistryKey::TypeExpandString);

    // A plain string is kept and becomes expandable.
    Software("\"DevicePath\"=\"%SystemRoot%\\\\inf\"");
    ASSERT_FALSE(Stage("X").failed());
    EXPECT_EQ(DevicePath(&type), "%SystemRoot%\\inf;%SystemRoot%\\Temp\\X");
    EXPECT_EQ(type, RegistryKey::TypeExpandString);

    // Missing, or empty: not created, not changed.
    Software("\"Other\"=\"1\"");
    ASSERT_FALSE(Stage("X").failed());
    EXPECT_EQ(DevicePath(), "<none>");
    Software("\"DevicePath\"=hex(2):");
    ASSERT_FALSE(Stage("X").failed());
    EXPECT_EQ(DevicePath(), "");

    // Another type is refused and left alone.
    Software("\"DevicePath\"=dword:00000001");
    EXPECT_EQ(Stage("X").code(), Common::Codes::kNoDriverFound);
    EXPECT_EQ(TargetTest::Dword(CreateWindowsRegistry(tree.Windows())->Software(), u"Microsoft\\Windows\\CurrentVersion",
                                u"DevicePath"), 1);
}

// A package folder holding the Temp folder would be copied into itself without end.
TEST(StagingCopy, APackageFolderHoldingTempIsRefused)
{
    TestSupport::ScratchDir package;
    package.write("pkg.inf", "[Version]\n");
    fs::create_directory(package.path() / "Temp");
    MediaHost none;
    ScheduleInstall callback(ScheduleInstall::Mode::Staging, &none);
    const DriverSourcesImpl files(0);
    const Driver::Sources sources(package.dir(), files, callback);
    EXPECT_EQ(StageDriverFiles(sources, *package.dir("Temp"), u"Pkg").code(), Common::Codes::kCopyNameRefused);
    EXPECT_TRUE(fs::is_empty(package.path() / "Temp"));
    EXPECT_EQ(StageDriverFiles(sources, *package.dir(), u"Pkg").code(), Common::Codes::kCopyNameRefused);
    EXPECT_FALSE(fs::exists(package.path() / "Pkg"));
}

TEST_F(StagingTest, ATempFolderLeadingOutOfTheTargetIsRefused)
{
    TestSupport::ScratchDir outside;
    fs::create_directory_symlink(outside.path(), tree.path() / "Windows" / "Temp");
    Common::Error error;
    EXPECT_EQ(OpenTargetTemp(*tree.Windows(), error), nullptr);
    EXPECT_TRUE(error.failed());

    // Through a whole staging run: the candidate fails, nothing lands outside, DevicePath stays.
    storage.write("nic/nic.inf", NetInf("Acme Corp.", "PCI\\VEN_8086&DEV_100E"));
    storage.write("nic/amd64/nic.sys", "placeholder driver");
    ScheduleInstall staging(ScheduleInstall::Mode::Staging);
    EXPECT_EQ(Run({DeviceIds{"PCI\\VEN_8086&DEV_100E", "PCI\\CC_0200"}}, staging, false).code(),
              Common::Codes::kNoDriverFound);
    EXPECT_TRUE(fs::is_empty(outside.path()));
    EXPECT_EQ(DevicePath(), "%SystemRoot%\\inf");
}

TEST_F(StagingTest, StagesEachDevicesPackageInAFolderOfItsOwn)
{
    storage.write("nic/nic.inf", NetInf("Acme Corp.", "PCI\\VEN_8086&DEV_100E"));
    storage.write("nic/amd64/nic.sys", "placeholder driver");
    storage.write("other/other.inf", NetInf("Acme Corp.", "PCI\\VEN_8086&DEV_10D3"));
    storage.write("other/amd64/nic.sys", "another placeholder");
    const auto systemBefore = TestSupport::ReadFileBytes(tree.ConfigPath() / "system");

    ScheduleInstall staging(ScheduleInstall::Mode::Staging);
    ASSERT_FALSE(Run({DeviceIds{"PCI\\VEN_8086&DEV_100E", "PCI\\CC_0200"},
                      DeviceIds{"PCI\\VEN_8086&DEV_10D3", "PCI\\CC_0200"}},
                     staging, false)
                     .failed());
    const fs::path temp = tree.path() / "Windows" / "Temp";
    EXPECT_EQ(storage.read("nic/amd64/nic.sys"), "placeholder driver");
    EXPECT_TRUE(fs::exists(temp / "AcmeCorpPCICC0200" / "nic.inf"));
    EXPECT_EQ(Content(temp / "AcmeCorpPCICC0200" / "amd64" / "nic.sys"), "placeholder driver");
    EXPECT_EQ(Content(temp / "AcmeCorpPCICC0200~2" / "amd64" / "nic.sys"),
              "another placeholder");
    EXPECT_EQ(DevicePath(),
              "%SystemRoot%\\inf;%SystemRoot%\\Temp\\AcmeCorpPCICC0200;%SystemRoot%\\Temp\\AcmeCorpPCICC0200~2");
    EXPECT_EQ(TestSupport::ReadFileBytes(tree.ConfigPath() / "system"), systemBefore) << "no service, no device key";
    EXPECT_FALSE(fs::exists(tree.path() / "Windows" / "System32" / "drivers" / "nic.sys")) << "nothing installed";
}

TEST_F(StagingTest, FilesThePackageLacksComeFromTheHostsMediumAskedForOnce)
{
    std::string inf = NetInf("Acme Corp.", "PCI\\VEN_8086&DEV_100E");
    inf.replace(inf.find("nic.sys\n[Dest"), 7, "nic.sys\nhelper.dll");
    inf.replace(inf.find("nic.sys=1"), 9, "nic.sys=1\nhelper.dll=1");
    storage.write("nic/nic.inf", inf);
    const DeviceList nic{DeviceIds{"PCI\\VEN_8086&DEV_100E", "PCI\\CC_0200"}};

    // No medium: asked once, not once per file, and the package is staged as it is.
    MediaHost none;
    ScheduleInstall withoutMedia(ScheduleInstall::Mode::Staging, &none);
    ASSERT_FALSE(Run(nic, withoutMedia, false).failed());
    EXPECT_EQ(none.asked.size(), 1u);
    EXPECT_TRUE(fs::exists(tree.path() / "Windows/Temp/AcmeCorpPCICC0200/nic.inf"));

    TestSupport::ScratchDir media;
    media.write("amd64/nic.sys", "from the medium");
    media.write("amd64/helper.dll", "helper from the medium");
    MediaHost host;
    host.media = media.dir();
    ScheduleInstall staging(ScheduleInstall::Mode::Staging, &host);
    ASSERT_FALSE(Run(nic, staging, false).failed());
    EXPECT_EQ(host.asked, std::vector<std::string>{"Acme Corp."}) << "the medium holds the second file too";
    EXPECT_EQ(Content(tree.path() / "Windows/Temp/AcmeCorpPCICC0200~2/amd64/nic.sys"), "from the medium");
    EXPECT_EQ(Content(tree.path() / "Windows/Temp/AcmeCorpPCICC0200~2/amd64/helper.dll"), "helper from the medium");

    // A host asked for a medium may stop the run: it ends, with nothing more staged.
    host.stop = true;
    ScheduleInstall stopped(ScheduleInstall::Mode::Staging, &host);
    EXPECT_EQ(Run(nic, stopped, false).code(), Common::Codes::kCancelled);
    EXPECT_FALSE(fs::exists(tree.path() / "Windows/Temp/AcmeCorpPCICC0200~3"));
}
