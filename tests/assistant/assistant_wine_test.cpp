// transvia_assistant.exe --once under wine, in a private prefix below the build folder:
// the registry is prepared with `reg import`, the program runs against it with a
// stand-in pnputil, and the outcome is read back with `reg query` and from the log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "support/fixtures.h"

namespace fs = std::filesystem;

namespace {

const fs::path kPrefix = TRANSVIA_WINE_PREFIX;
const fs::path kAssistant = fs::path(TRANSVIA_OUTPUT_DIR) / "transvia_assistant.exe";
const std::string kService = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\transvia_assistant";
const std::string kDriverDatabase = "HKEY_LOCAL_MACHINE\\System\\DriverDatabase";
const std::string kScratchKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\TransviaTest";
const std::string kEnumVendor = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\PCI\\VEN_7E57&DEV_0001";
const std::string kInf = "%SystemRoot%\\transvia\\drivers\\viostor.inf_amd64_0000000000000000\\viostor.inf";
const std::string kPackage = "viostor.inf_amd64_0000000000000000";

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The wine loader: wine64 on PATH, else where Debian's wine64 package puts it.
std::string FindWine()
{
    if (const char* chosen = std::getenv("TRANSVIA_WINE64"))
        return chosen;
    if (TestSupport::HaveProgram("wine64"))
        return "wine64";
    if (fs::exists("/usr/lib/wine/wine64"))
        return "/usr/lib/wine/wine64";
    return "";
}

std::string FindWineServer(const std::string& wine)
{
    if (TestSupport::HaveProgram("wineserver"))
        return "wineserver";
    const fs::path beside = fs::path(wine).parent_path() / "wineserver64";
    return fs::exists(beside) ? beside.string() : "";
}

// Text of a .reg file, written as UTF-16 as regedit writes version 5 files.
class RegFile {
public:
    RegFile() { text_ = "Windows Registry Editor Version 5.00\r\n"; }
    RegFile& Delete(const std::string& key) { return Line("\r\n[-" + key + "]"); }
    RegFile& Key(const std::string& key) { return Line("\r\n[" + key + "]"); }
    RegFile& Sz(const std::string& name, const std::string& data)
    {
        std::string escaped;
        for (char c : data)
            escaped += c == '\\' || c == '"' ? std::string{'\\', c} : std::string(1, c);
        return Line(Name(name) + "=\"" + escaped + "\"");
    }
    RegFile& Dword(const std::string& name, uint32_t data)
    {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08x", data);
        return Line(Name(name) + "=dword:" + hex);
    }
    RegFile& ExpandSz(const std::string& name, const std::string& data)
    {
        return Line(Name(name) + "=hex(2):" + Hex(data + '\0'));
    }
    RegFile& MultiSz(const std::string& name, const std::vector<std::string>& items)
    {
        std::string joined;
        for (const auto& item : items)
            joined += item + '\0';
        return Line(Name(name) + "=hex(7):" + Hex(joined + '\0'));
    }

    // The file as UTF-16LE with its byte order mark (all our text is ASCII).
    std::string Bytes() const
    {
        std::string bytes = "\xff\xfe";
        for (char c : text_ + "\r\n")
            bytes += std::string{c, '\0'};
        return bytes;
    }

private:
    RegFile& Line(const std::string& line)
    {
        text_ += line + "\r\n";
        return *this;
    }
    static std::string Name(const std::string& name)
    {
        if (name.empty())
            return "@";
        std::string escaped;
        for (char c : name)
            escaped += c == '\\' || c == '"' ? std::string{'\\', c} : std::string(1, c);
        return "\"" + escaped + "\"";
    }
    static std::string Hex(const std::string& ascii)
    {
        std::string out;
        char byte[8];
        for (char c : ascii) {
            std::snprintf(byte, sizeof byte, "%s%02x,00", out.empty() ? "" : ",", static_cast<unsigned char>(c));
            out += byte;
        }
        return out;
    }
    std::string text_;
};

// What `reg query KEY /s` prints, by lower-cased key path: value name -> "TYPE data".
using Tree = std::map<std::string, std::map<std::string, std::string>>;

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

class AssistantWineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        wine_ = FindWine();
        if (wine_.empty())
            return;
        wineServer_ = FindWineServer(wine_);
        fs::create_directories(kPrefix.parent_path());
        // Tests of this program in parallel would share one prefix; one at a time. Not
        // inherited: wine's server outlives the commands and would keep the lock.
        lock_ = ::open((kPrefix.string() + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
        if (lock_ >= 0)
            ::flock(lock_, LOCK_EX);
        std::string version;
        if (TestSupport::RunCommand(Quote(wine_) + " --version 2>&1 </dev/null", &version) != 0) {
            bootError_ = wine_ + " --version failed: " + version;
            return;
        }
        if (!fs::exists(kPrefix / "system.reg")) {
            // The first start of a prefix takes a while; every later run reuses it.
            std::string output;
            const int status = Wine("wineboot --init", &output);
            // The server writes the registry files when it ends, after wineboot returns.
            if (!wineServer_.empty())
                TestSupport::RunCommand(Env() + Quote(wineServer_) + " -w >/dev/null 2>&1 </dev/null");
            if (status != 0 || !fs::exists(kPrefix / "system.reg")) {
                bootError_ = "wineboot --init failed (" + std::to_string(status) + "): " + output;
                fs::remove_all(kPrefix);
                return;
            }
        }
        // One server for the suite (and the next test process), so the commands do not
        // each start wine anew; it ends itself 15 s after the last one.
        if (bootError_.empty() && !wineServer_.empty())
            TestSupport::RunCommand(Env() + Quote(wineServer_) + " -p15 >/dev/null 2>&1 </dev/null");
        fs::create_directories(kPrefix / "drive_c/transvia_test");
        fs::copy_file(TRANSVIA_FAKE_PNPUTIL, kPrefix / "drive_c/transvia_test/pnputil.exe",
                      fs::copy_options::overwrite_existing);
    }

    static void TearDownTestSuite()
    {
        if (lock_ >= 0)
            ::close(lock_);
        lock_ = -1;
    }

    void SetUp() override
    {
        if (wine_.empty())
            GTEST_SKIP() << "wine64 is not installed (tools/setup.sh installs it); the assistant is not run";
        if (!bootError_.empty())
            GTEST_SKIP() << "wine does not start here: " << bootError_;
        fs::remove(kPrefix / "drive_c/windows/temp/transvia_assistant.log");
        fs::remove(kPrefix / "drive_c/transvia_test/pnputil_args.txt");
    }

    static std::string Env()
    {
        return "WINEPREFIX=" + Quote(kPrefix.string()) + " WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' ";
    }

    // Output goes through a file: wine's server and services inherit the command's
    // stdout and outlive it, so a pipe would not see its end until they exit.
    static int Wine(const std::string& arguments, std::string* output = nullptr, const std::string& env = "")
    {
        const fs::path file = kPrefix.parent_path() / "output.txt";
        const int status = TestSupport::RunCommand(Env() + env + Quote(wine_) + " " + arguments + " >" +
                                                   Quote(file.string()) + " 2>&1 </dev/null");
        if (output) {
            std::ifstream in(file, std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            *output = text.str();
        }
        return status;
    }

    // Leaves the keys the tests use as `reg` describes them, on a Windows `version`
    // ("win10", "win81", "win7"), with the assistant's service installed.
    void Prepare(const std::string& version, RegFile reg)
    {
        RegFile file;
        file.Delete(kService).Delete(kDriverDatabase).Delete(kScratchKey).Delete(kEnumVendor);
        file.Key("HKEY_CURRENT_USER\\Software\\Wine").Sz("Version", version);
        file.Key(kService).Dword("Type", 0x10).Dword("Start", 2).Dword("ErrorControl", 1);
        const fs::path path = kPrefix / "drive_c/transvia_test/prepare.reg";
        std::ofstream(path, std::ios::binary) << file.Bytes();
        std::string output;
        ASSERT_EQ(Wine("reg import 'C:\\transvia_test\\prepare.reg'", &output), 0) << output;
        std::ofstream(path, std::ios::binary) << reg.Bytes();
        ASSERT_EQ(Wine("reg import 'C:\\transvia_test\\prepare.reg'", &output), 0) << output;
    }

    // Runs the assistant once; the stand-in pnputil exits with `pnputilExit`.
    std::string RunAssistant(int pnputilExit = 0)
    {
        const auto start = std::chrono::steady_clock::now();
        std::string output;
        const int status = Wine(Quote(kAssistant.string()) + " --once --pnputil 'C:\\transvia_test\\pnputil.exe'",
                                &output,
                                "FAKE_PNPUTIL_RECORD='C:\\transvia_test\\pnputil_args.txt' FAKE_PNPUTIL_EXIT=" +
                                    std::to_string(pnputilExit) + " ");
        EXPECT_EQ(status, 0) << output;
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::cout << "  transvia_assistant.exe --once: " << seconds << " s\n";
        return Log();
    }

    static std::string Log()
    {
        std::ifstream in(kPrefix / "drive_c/windows/temp/transvia_assistant.log", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // One line per pnputil run, its arguments joined by '|'.
    static std::vector<std::string> PnputilRuns()
    {
        std::ifstream in(kPrefix / "drive_c/transvia_test/pnputil_args.txt");
        std::vector<std::string> runs;
        for (std::string line; std::getline(in, line);)
            runs.push_back(line);
        return runs;
    }

    static Tree Query(const std::string& key)
    {
        std::string output;
        Tree tree;
        if (Wine("reg query " + Quote(key) + " /s", &output) != 0)
            return tree;
        std::string current;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.rfind("HKEY_", 0) == 0) {
                current = Lower(line);
                tree[current];
            } else if (line.rfind("    ", 0) == 0 && !current.empty()) {
                // "    name    TYPE    data"
                const size_t nameEnd = line.find("    ", 4);
                if (nameEnd == std::string::npos)
                    continue;
                std::string rest = line.substr(nameEnd + 4);
                const size_t typeEnd = rest.find("    ");
                std::string value = typeEnd == std::string::npos ? rest : rest.substr(0, typeEnd) + " " + rest.substr(typeEnd + 4);
                tree[current][line.substr(4, nameEnd - 4)] = value;
            }
        }
        return tree;
    }

    static bool Has(const Tree& tree, const std::string& key) { return tree.count(Lower(key)) != 0; }
    static std::string Value(const Tree& tree, const std::string& key, const std::string& name)
    {
        auto found = tree.find(Lower(key));
        if (found == tree.end())
            return "(no key)";
        auto value = found->second.find(name);
        return value == found->second.end() ? "(no value)" : value->second;
    }

    static inline std::string wine_;
    static inline std::string wineServer_;
    static inline std::string bootError_;
    static inline int lock_ = -1;
};

TEST_F(AssistantWineTest, LogsDevicesWithoutDriverAndDisablesItself)
{
    RegFile reg;
    reg.Key(kEnumVendor + "\\1&0000&0").MultiSz("HardwareID", {"PCI\\VEN_7E57&DEV_0001&REV_01"}).Sz("DeviceDesc", "Bare controller");
    reg.Key(kEnumVendor + "\\2&0000&0").Sz("Service", "storahci").Sz("Driver", "{4d36e97b-e325-11ce-bfc1-08002be10318}\\0001");
    reg.Key(kEnumVendor + "\\3&0000&0").Sz("Driver", "{4d36e97b-e325-11ce-bfc1-08002be10318}\\0002").Dword("ConfigFlags", 0x40);
    Prepare("win10", reg);

    const std::string log = RunAssistant();
    // Every line starts with its UTC time: "2026-12-06 08:43:07 UTC ...".
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char first[64] = {};
    EXPECT_EQ(std::sscanf(log.c_str(), "%4u-%2u-%2u %2u:%2u:%2u UTC %63[^\r\n]", &year, &month, &day, &hour, &minute,
                          &second, first),
              7)
        << log;
    EXPECT_EQ(std::string(first), "transvia assistant started (--once).") << log;
    EXPECT_NE(log.find("(no driver): PCI\\VEN_7E57&DEV_0001\\1&0000&0, hardware id PCI\\VEN_7E57&DEV_0001&REV_01, "
                       "Bare controller"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("(driver install failed): PCI\\VEN_7E57&DEV_0001\\3&0000&0"), std::string::npos) << log;
    EXPECT_EQ(log.find("VEN_7E57&DEV_0001\\2&0000&0"), std::string::npos) << log;
    EXPECT_EQ(Value(Query(kService), kService, "Start"), "REG_DWORD 0x4");

    // A second start appends to the same log.
    const std::string twice = RunAssistant();
    EXPECT_EQ(twice.rfind(log, 0), 0u);
    EXPECT_NE(twice.find("transvia assistant started", log.size()), std::string::npos);
}

// Started by wine's service manager, the program runs as the service it is meant to be:
// it puts back the values recorded for the first start and disables itself.
TEST_F(AssistantWineTest, RunsAsTheServicePutsBackValuesAndDisablesItself)
{
    fs::copy_file(kAssistant, kPrefix / "drive_c/transvia_test/transvia_assistant.exe", fs::copy_options::overwrite_existing);
    std::string output;
    Wine("sc delete transvia_assistant", &output);  // a service left by an earlier run
    RegFile reg;
    reg.Key(kScratchKey).Dword("AutoReboot", 0).Sz("Mode", "changed");
    reg.Key(kService + "\\OriginalValues")
        .Dword("CurrentControlSet\\Control\\TransviaTest\\AutoReboot", 1)
        .Sz("HKLM\\System\\CurrentControlSet\\Control\\TransviaTest\\Mode", "original");
    Prepare("win10", reg);
    ASSERT_EQ(Wine("sc create transvia_assistant binPath= 'C:\\transvia_test\\transvia_assistant.exe' start= demand", &output), 0)
        << output;
    ASSERT_EQ(Wine("sc start transvia_assistant", &output), 0) << output;

    // The service manager returns once the service runs; the work ends a moment later.
    std::string log;
    for (int i = 0; i < 100 && log.find("transvia assistant finished") == std::string::npos; ++i) {
        ::usleep(100 * 1000);
        log = Log();
    }
    EXPECT_NE(log.find("transvia assistant started as a service"), std::string::npos) << log;
    EXPECT_NE(log.find("disabled through the service manager"), std::string::npos) << log;
    const Tree scratch = Query(kScratchKey);
    EXPECT_EQ(Value(scratch, kScratchKey, "AutoReboot"), "REG_DWORD 0x1") << log;
    EXPECT_EQ(Value(scratch, kScratchKey, "Mode"), "REG_SZ original") << log;
    const Tree service = Query(kService);
    EXPECT_FALSE(Has(service, kService + "\\OriginalValues")) << log;
    EXPECT_EQ(Value(service, kService, "Start"), "REG_DWORD 0x4") << log;
    Wine("sc delete transvia_assistant", &output);
}

class PackagesTest : public AssistantWineTest {
protected:
    // A package registered offline, beside an in-box one whose entries must stay.
    RegFile Registered()
    {
        RegFile reg;
        reg.Key(kDriverDatabase + "\\DriverPackages\\" + kPackage).Sz("", "oem9.inf");
        reg.Key(kDriverDatabase + "\\DriverPackages\\" + kPackage + "\\Configurations\\scsi_inst").Sz("Service", "viostor");
        reg.Key(kDriverDatabase + "\\DriverInfFiles\\oem9.inf").Sz("Active", kPackage);
        reg.Key(kDriverDatabase + "\\DeviceIds\\PCI\\VEN_1AF4&DEV_1001").Sz("oem9.inf", "x").Sz("stornvme.inf", "y");
        reg.Key(kService + "\\Packages\\" + kPackage)
            .ExpandSz("Inf", kInf)
            .Sz("PublishedName", "oem9.inf")
            .MultiSz("Keys", {"DriverDatabase\\DriverPackages\\" + kPackage, "DriverDatabase\\DriverInfFiles\\oem9.inf"})
            .MultiSz("Values", {"DriverDatabase\\DeviceIds\\PCI\\VEN_1AF4&DEV_1001\\oem9.inf"});
        return reg;
    }
    const std::string deviceIds = kDriverDatabase + "\\DeviceIds\\PCI\\VEN_1AF4&DEV_1001";
    const std::string package = kDriverDatabase + "\\DriverPackages\\" + kPackage;
    const std::string infFile = kDriverDatabase + "\\DriverInfFiles\\oem9.inf";
    const std::string record = kService + "\\Packages\\" + kPackage;
};

// pnputil's success (0, or 3010: restart needed) removes what was written offline and the
// record; its failure leaves both.
TEST_F(PackagesTest, Windows10StagesThePackageAndRemovesWhatWasWrittenOfflineOnSuccess)
{
    for (int exitCode : {0, 3010, 1}) {
        SCOPED_TRACE(exitCode);
        const bool removed = exitCode != 1;
        fs::remove(kPrefix / "drive_c/transvia_test/pnputil_args.txt");
        Prepare("win10", Registered());
        const std::string log = RunAssistant(exitCode);
        ASSERT_EQ(PnputilRuns(), std::vector<std::string>{"/add-driver|C:\\windows\\transvia\\drivers\\" + kPackage +
                                                           "\\viostor.inf|/install"})
            << log;
        EXPECT_NE(log.find("pnputil: stand-in pnputil: 3 arguments"), std::string::npos) << log;
        EXPECT_NE(log.find("pnputil exit code " + std::to_string(exitCode) + "."), std::string::npos) << log;
        const Tree database = Query(kDriverDatabase);
        EXPECT_EQ(Has(database, package), !removed) << log;
        EXPECT_EQ(Has(database, package + "\\Configurations\\scsi_inst"), !removed) << log;
        EXPECT_EQ(Has(database, infFile), !removed) << log;
        EXPECT_EQ(Value(database, deviceIds, "oem9.inf"), removed ? "(no value)" : "REG_SZ x") << log;
        EXPECT_EQ(Value(database, deviceIds, "stornvme.inf"), "REG_SZ y") << log;
        const Tree service = Query(kService);
        EXPECT_EQ(Has(service, record), !removed) << log;
        EXPECT_EQ(Value(service, kService, "Start"), "REG_DWORD 0x4");
    }
}

TEST_F(PackagesTest, OlderOptionsOnWindows81AndNothingBeforeWindows8)
{
    Prepare("win81", Registered());
    std::string log = RunAssistant();
    EXPECT_EQ(PnputilRuns(), std::vector<std::string>{"-i|-a|C:\\windows\\transvia\\drivers\\" + kPackage + "\\viostor.inf"})
        << log;
    EXPECT_FALSE(Has(Query(kService), record)) << log;

    fs::remove(kPrefix / "drive_c/transvia_test/pnputil_args.txt");
    Prepare("win7", Registered());
    log = RunAssistant();
    EXPECT_TRUE(PnputilRuns().empty()) << log;
    EXPECT_TRUE(Has(Query(kDriverDatabase), infFile)) << log;
    EXPECT_TRUE(Has(Query(kService), record)) << log;
}

TEST_F(PackagesTest, MalformedRecordsAreLoggedAndLeftAlone)
{
    RegFile reg = Registered();
    const std::string packages = kService + "\\Packages\\";
    reg.Key(packages + "dword.inf").Dword("Inf", 1);
    reg.Key(packages + "relative.inf").ExpandSz("Inf", "viostor.inf");
    reg.Key(packages + "dotdot.inf").ExpandSz("Inf", "%SystemRoot%\\transvia\\..\\..\\evil.inf");
    reg.Key(packages + "keys-not-list.inf").ExpandSz("Inf", kInf).Sz("Keys", "DriverDatabase\\DriverInfFiles\\oem9.inf");
    // pnputil runs for this one, but its entries point out of DriverDatabase.
    reg.Key(packages + "outside.inf")
        .ExpandSz("Inf", "C:\\drivers\\outside.inf")
        .MultiSz("Keys", {"ControlSet001\\Control\\TransviaTest", "DriverDatabase\\..\\ControlSet001\\Control\\TransviaTest"})
        .MultiSz("Values", {"DriverDatabase", "DriverDatabase\\DeviceIds\\..\\oem9.inf"});
    reg.Key(kScratchKey).Dword("Keep", 7);
    reg.Key(kService + "\\OriginalValues")
        .Dword("Bogus", 1)
        .Dword("CurrentControlSet\\Control\\..\\Evil\\Start", 1)
        .Dword("HKLM\\Elsewhere\\Key\\Name", 1)
        .Dword("CurrentControlSet\\Control\\NoSuchKeyHere\\Value", 1);
    Prepare("win10", reg);

    const std::string log = RunAssistant();
    for (const char* left : {"Package dword.inf: 'Inf' is missing", "Package relative.inf: 'Inf' is missing",
                             "Package dotdot.inf: 'Inf' is missing", "Package keys-not-list.inf: 'Keys' or 'Values'",
                             "'ControlSet001\\Control\\TransviaTest' is not a DriverDatabase key",
                             "'DriverDatabase\\..\\ControlSet001\\Control\\TransviaTest' is not a DriverDatabase key",
                             "'DriverDatabase' is not a DriverDatabase value",
                             "Original value 'Bogus': not a value", "Original value 'CurrentControlSet\\Control\\..\\Evil",
                             "Original value 'HKLM\\Elsewhere", "cannot write HKLM\\SYSTEM\\CurrentControlSet\\Control\\NoSuchKeyHere"})
        EXPECT_NE(log.find(left), std::string::npos) << left << "\n" << log;
    // Two runs: the good record and the one with bad entries; the good one is done.
    EXPECT_EQ(PnputilRuns().size(), 2u) << log;
    EXPECT_EQ(Value(Query(kScratchKey), kScratchKey, "Keep"), "REG_DWORD 0x7");
    const Tree service = Query(kService);
    EXPECT_FALSE(Has(service, record)) << log;
    for (const char* kept : {"dword.inf", "relative.inf", "dotdot.inf", "keys-not-list.inf", "outside.inf"})
        EXPECT_TRUE(Has(service, packages + kept)) << kept;
    EXPECT_EQ(Value(service, kService + "\\OriginalValues", "Bogus"), "REG_DWORD 0x1");
    EXPECT_EQ(Value(service, kService, "Start"), "REG_DWORD 0x4");
}

// The program must start on a Windows with nothing but its own system DLLs.
TEST(AssistantProgram, ImportsOnlySystemLibraries)
{
    if (!TestSupport::HaveProgram("x86_64-w64-mingw32-objdump"))
        GTEST_SKIP() << "x86_64-w64-mingw32-objdump is missing (tools/setup.sh installs mingw-w64)";
    std::string output;
    ASSERT_EQ(TestSupport::RunCommand("x86_64-w64-mingw32-objdump -p " + Quote(kAssistant.string()), &output), 0);
    std::set<std::string> dlls;
    const std::string label = "DLL Name: ";
    for (size_t at = output.find(label); at != std::string::npos; at = output.find(label, at + 1)) {
        const size_t start = at + label.size();
        dlls.insert(Lower(output.substr(start, output.find_first_of(" \r\n", start) - start)));
    }
    EXPECT_EQ(dlls, (std::set<std::string>{"advapi32.dll", "kernel32.dll", "msvcrt.dll"}));
    EXPECT_NE(output.find("x86-64"), std::string::npos);
}

}  // namespace
