// transvia install end to end, on targets built from real SYSTEM hives with storages of real
// storage INF files (placeholder driver files), and on hostile input.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "cli/cli_run.h"
#include "registry/hive_readers.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;
using namespace CliTest;

namespace {

constexpr const char* kVirtioBlock =
    "PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00 PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4 PCI\\VEN_1AF4&DEV_1001&REV_00 "
    "PCI\\VEN_1AF4&DEV_1001 PCI\\VEN_1AF4&DEV_1001&CC_010000 PCI\\VEN_1AF4&DEV_1001&CC_0100 PCI\\CC_010000 PCI\\CC_0100\n";

// A restored amd64 target around a real SYSTEM hive, with a SOFTWARE hive naming `version`,
// and a storage of the real viostor INF files with placeholder driver files.
class InstallTest : public ::testing::Test {
protected:
    void Build(const fs::path& system, const std::string& version)
    {
        const fs::path windows = target.path() / "Windows";
        ASSERT_TRUE(MakeWindows(windows));
        fs::copy_file(system, windows / "System32/config/SYSTEM");
        ASSERT_TRUE(MakeSoftware(windows / "System32/config/SOFTWARE",
                                 "\"CurrentVersion\"=\"" + version + "\"\n\"SystemRoot\"=\"C:\\\\Windows\"\n",
                                 scratch.path() / "software.reg"));
        const fs::path viostor = data / "inf/virtio-win-kvm-guest-drivers-windows/viostor";
        for (const char* flavour : {"wnet", "wlh"}) {
            storage.write(std::string("viostor/") + flavour + "/viostor.inf",
                          TestSupport::ReadFileBytes(viostor / (std::string(flavour) + ".inf")));
            storage.write(std::string("viostor/") + flavour + "/viostor.sys", "placeholder, not a driver\n");
            storage.write(std::string("viostor/") + flavour + "/viostor.cat", "placeholder catalog\n");
        }
        hardware = scratch.write("hardware.txt", kVirtioBlock);
    }
    fs::path Hive() const { return target.path() / "Windows/System32/config/SYSTEM"; }
    std::string Command(const std::string& extra = "") const
    {
        return kCli + " install --target " + target.path().string() + " --storage " + storage.path().string() +
               " --hardware " + hardware.string() + " --no-prompt --json " + (scratch.path() / "report.json").string() +
               " " + extra;
    }
    int Install(Report& report, std::string& out, const std::string& extra = "")
    {
        const int status = Shell(Command(extra), &out);
        report = Report::FromFile(scratch.path() / "report.json");
        return status;
    }
    void ExpectSoundHive()
    {
        std::string out;
        EXPECT_EQ(Shell(kCli + " reg check " + Hive().string(), &out), 0) << out;
        if (HiveReaders::HaveHivex()) {
            HiveReaders::HivexTree tree;
            EXPECT_TRUE(HiveReaders::HivexKeys(Hive(), tree)) << "hivex refuses the hive";
        }
        if (HiveReaders::HaveRegfexport()) {
            std::map<std::string, std::vector<std::string>> keys;
            EXPECT_TRUE(HiveReaders::RegfexportKeys(Hive(), keys)) << "libregf refuses the hive";
        }
    }
    std::string Export(const std::string& key)
    {
        std::string out;
        Shell(kCli + " reg export " + Hive().string() + " '" + key + "'", &out);
        return out;
    }

    fs::path data = TestSupport::SharedTestData();
    TestSupport::ScratchDir target, storage, scratch;
    fs::path hardware;
};

struct RealTarget {
    const char* hive;
    const char* version;
    bool criticalDevices;
};

class InstallRealTest : public InstallTest, public ::testing::WithParamInterface<RealTarget> {};

TEST_P(InstallRealTest, InstallsTheDriverPlanNamesAndASecondRunIsHarmless)
{
    if (data.empty()) GTEST_SKIP() << "../shared/testdata is not beside this clone";
    Build(data / "hives" / GetParam().hive, GetParam().version);
    std::string out;
    ASSERT_EQ(Shell(kCli + " plan --json --target " + target.path().string() + " --storage " + storage.path().string() +
                        " --hardware " + hardware.string() + " 2>/dev/null",
                    &out),
              0);
    const Report plan(out);
    const std::string planned = plan["/devices/0/candidates/0/inf"];
    ASSERT_NE(planned, "<missing>") << out;

    Report report;
    ASSERT_EQ(Install(report, out), 0) << out;
    ASSERT_TRUE(report.valid());
    EXPECT_EQ(report["/result/code"], "0");
    EXPECT_EQ(report["/target/platform"], "amd64");
    const auto ids = report.List("/devices", "/ids/0");
    const auto device = std::find(ids.begin(), ids.end(), "PCI\\VEN_1AF4&DEV_1001&SUBSYS_00021AF4&REV_00");
    ASSERT_NE(device, ids.end()) << report.text();
    const std::string at = "/devices/" + std::to_string(device - ids.begin());
    EXPECT_EQ(report[at + "/code"], "0");
    EXPECT_EQ(report[at + "/inf"], planned) << "the run installs what plan named first";
    EXPECT_EQ(report[at + "/service"], "viostor");
    EXPECT_NE(out.find("viostor"), std::string::npos) << "the summary names the service\n" << out;

    const std::string controlSet = report["/target/control_set"];
    EXPECT_NE(Export(controlSet + "\\Services\\viostor").find("ImagePath"), std::string::npos);
    const std::string critical = Export(controlSet + "\\Control\\CriticalDeviceDatabase\\pci#ven_1af4&dev_1001&subsys_00021af4&rev_00");
    EXPECT_EQ(critical.find("viostor") != std::string::npos, GetParam().criticalDevices) << critical;
    EXPECT_TRUE(fs::exists(target.path() / "Windows/System32/drivers/viostor.sys"));

    const auto files = report.List("/written/files");
    auto wrote = [&](const std::string& path) { return std::find(files.begin(), files.end(), path) != files.end(); };
    EXPECT_TRUE(wrote("Windows/System32/drivers/viostor.sys")) << report.text();
    EXPECT_TRUE(wrote("Windows/System32/config/SYSTEM")) << report.text();
    std::string published;
    for (const auto& f : files)
        if (f.starts_with("Windows/inf/")) published = f;
    ASSERT_FALSE(published.empty()) << "a published INF: " << report.text();
    EXPECT_TRUE(fs::exists(target.path() / published));
    const auto keys = report.List("/written/keys");
    EXPECT_NE(std::find(keys.begin(), keys.end(), controlSet + "\\Services\\viostor"), keys.end()) << report.text();
    ExpectSoundHive();

    // Again on the result: the same driver and service, and the hive still sound.
    ASSERT_EQ(Install(report, out), 0) << out;
    EXPECT_EQ(report["/devices/0/service"], "viostor") << report.text();
    EXPECT_NE(Export(controlSet + "\\Services\\viostor").find("ImagePath"), std::string::npos);
    ExpectSoundHive();
}

INSTANTIATE_TEST_SUITE_P(RealHives, InstallRealTest,
                         ::testing::Values(RealTarget{"winxp-x64/system", "5.2", true},
                                           RealTarget{"dissect.regf/SYSTEM", "6.1", true},
                                           RealTarget{"dissect.regf/SYSTEM", "10.0", false}));

// Drivers were found but none could be installed (their files are missing): the engine
// counts the run a success once the host has no folder to add; the program does not,
// unless --optimistic.
TEST_F(InstallTest, DriversFoundButNoneInstalledFailTheRunUnlessOptimistic)
{
    if (data.empty()) GTEST_SKIP() << "../shared/testdata is not beside this clone";
    Build(data / "hives/winxp-x64/system", "5.2");
    for (const char* flavour : {"wnet", "wlh"}) fs::remove(storage.path() / "viostor" / flavour / "viostor.sys");
    Report report;
    std::string out;
    EXPECT_EQ(Install(report, out), 1) << out;
    EXPECT_NE(out.find("1 device(s) got none of the drivers found for them"), std::string::npos) << out;
    EXPECT_EQ(Install(report, out, "--optimistic"), 0) << out;
}

// Whatever the hostile input, the program ends by itself and writes nothing outside the target.
TEST_F(InstallTest, HostileInputGetsAClearAnswerAndStaysInTheTarget)
{
    if (data.empty()) GTEST_SKIP() << "../shared/testdata is not beside this clone";
    Build(data / "hives/winxp-x64/system", "5.2");
    TestSupport::ScratchDir outside, source;
    outside.write("evil/viostor.inf", TestSupport::ReadFileBytes(storage.path() / "viostor/wnet/viostor.inf"));
    outside.write("evil/viostor.sys", "outside\n");
    fs::create_directory_symlink(outside.path() / "evil", storage.path() / "link-out");
    source.write("txtsetup.oem", "[Disks\n\"unterminated = \x01\x02\n[scsi]\n");
    const auto outsideBefore = Snapshot(outside.path());
    const auto storageBefore = Snapshot(storage.path());

    struct Case {
        std::string name, hardware, extra;
        bool refused;  // the description itself is refused (status 2), before the engine runs
        std::string said = "";  // what the output says once the engine runs
    };
    std::string many;
    for (int i = 0; i < 100000; ++i) many += "PCI\\VEN_ABCD&DEV_" + std::to_string(i) + "\n";
    const std::vector<Case> cases{
        {"ids with spaces", "{\"devices\": [[\"PCI\\\\VEN 1AF4\", \"x\"]]}", "", true},
        {"an empty device", "{\"devices\": [[]]}", "", true},
        {"100,000 devices", many, "--optimistic", false},
        {"a txtsetup.oem that does not parse", kVirtioBlock, "--source " + source.path().string() + "=viostor", false},
        {"a storage symlink out of its tree", kVirtioBlock, "", false},
        {"a missing storage folder", kVirtioBlock, "--storage " + (outside.path() / "absent").string(), false,
         "is not available"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hardware = scratch.write("hardware.txt", c.hardware);
        std::string out;
        const int status = Shell(Command(c.extra), &out);
        EXPECT_TRUE(status == 0 || status == 1 || status == 2) << "status " << status << "\n" << out.substr(0, 2000);
        if (c.refused) {
            EXPECT_EQ(status, 2) << out;
            EXPECT_NE(out.find("hardware.txt"), std::string::npos) << "names the file\n" << out;
        }
        if (!c.said.empty()) {
            EXPECT_NE(out.find(c.said), std::string::npos) << out;
        }
        EXPECT_EQ(out.find("link-out"), std::string::npos) << "nothing from outside is used\n" << out.substr(0, 2000);
        EXPECT_EQ(Snapshot(outside.path()), outsideBefore);
        EXPECT_EQ(Snapshot(storage.path()), storageBefore);
        ExpectSoundHive();
    }
}

// Killed at any point, a run leaves SYSTEM as it was or whole with the run's result.
TEST_F(InstallTest, KilledAnywhereLeavesTheHiveWholeOrUntouched)
{
    if (data.empty()) GTEST_SKIP() << "../shared/testdata is not beside this clone";
    const fs::path original = data / "hives/winxp-x64/system";
    Build(original, "5.2");
    const std::vector<uint8_t> before = TestSupport::ReadFileBytes(Hive());
    TestSupport::ScratchDir pristine;
    fs::copy(target.path(), pristine.path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);

    std::string out;
    Report report;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Install(report, out), 0) << out;
    const auto full = std::chrono::steady_clock::now() - start;
    const std::string controlSet = report["/target/control_set"];

    std::mt19937 random(12345);
    std::uniform_int_distribution<int64_t> delay(0, std::chrono::duration_cast<std::chrono::microseconds>(full).count());
    int untouched = 0, whole = 0, oracleChecks = 0;
    for (int kill = 0; kill < 30; ++kill) {
        fs::remove_all(target.path());
        fs::copy(pristine.path(), target.path(), fs::copy_options::recursive);
        // exec: the shell becomes the program, so the kill reaches the program itself.
        const std::string command = "exec " + Command() + " >/dev/null 2>&1";
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        ::kill(pid, SIGKILL);
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        if (TestSupport::ReadFileBytes(Hive()) == before) {
            ++untouched;
            continue;
        }
        ++whole;
        std::string check;
        EXPECT_EQ(Shell(kCli + " reg check " + Hive().string(), &check), 0) << "kill " << kill << ": " << check;
        EXPECT_NE(Export(controlSet + "\\Services\\viostor").find("ImagePath"), std::string::npos) << "kill " << kill;
        if (oracleChecks++ < 3) ExpectSoundHive();
    }
    std::printf("SIGKILL: %d runs left SYSTEM untouched, %d left it whole with the result (full run %lld ms)\n",
                untouched, whole,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(full).count()));
}

// The bundled sample target with the sample driver package, run through `command`.
class SampleTest : public ::testing::Test {
protected:
    int Run(const std::string& command, std::string& out)
    {
        if (Shell(std::string(TRANSVIA_SOURCE_DIR "/tools/make_sample_target.sh ") + kCli + " " + target.string(), &out) != 0)
            return 99;
        const int status = Shell(kCli + " " + command + " --target " + target.string() +
                                     " --storage " TRANSVIA_SOURCE_DIR "/data/sample-drivers/tvsample --hardware " TRANSVIA_SOURCE_DIR
                                     "/data/sample-drivers/sample-hardware.txt --json " + (scratch.path() / "r.json").string(),
                                 &out);
        report = Report::FromFile(scratch.path() / "r.json");
        return status;
    }
    TestSupport::ScratchDir scratch;
    fs::path target = scratch.path() / "target";
    Report report;
};

// Its driver file comes out of the Driver Cache cabinet gcab packed.
TEST_F(SampleTest, InstallTakesTheDriverFileFromTheDriverCacheCabinet)
{
    std::string out;
    ASSERT_EQ(Run("install --no-prompt", out), 0) << out;
    ASSERT_TRUE(fs::exists(target / "Windows/Driver Cache/amd64/tvsample.cab")) << "the sample cabinet is built";
    EXPECT_NE(out.find("tvsample.inf"), std::string::npos) << out;
    EXPECT_EQ(TestSupport::ReadFileBytes(target / "Windows/System32/drivers/tvsample.sys"),
              TestSupport::ReadFileBytes(TRANSVIA_SOURCE_DIR "/data/sample-drivers/driver-cache/tvsample.sys"));
}

// schedule with the same host objects: the storage driver is staged in the target for
// Windows to install, and the report names what was written.
TEST_F(SampleTest, ScheduleStagesTheStorageDriverAndReportsIt)
{
    std::string out;
    ASSERT_EQ(Run("schedule --class 1", out), 0) << out;
    bool staged = false;
    for (const std::string& path : report.List("/written/files")) {
        staged = staged || (path.starts_with("Windows/Temp/") && path.ends_with("tvsample.inf"));
        EXPECT_TRUE(fs::exists(target / path)) << path;
    }
    EXPECT_TRUE(staged) << report.text();
}

}  // namespace
