// The target's folders found whatever their letter case, the INF folder from DevicePath,
// target paths resolved beneath the target, and the %id% resolvers.
#include <gtest/gtest.h>

#include "inf/win_sources.h"
#include "install/target_tree.h"
#include "registry/windows_registry.h"

using Processor::String;
using TargetTest::TargetTree;
namespace fs = std::filesystem;

namespace {

// Real path of a folder object, for comparing what was opened with what is on disk.
fs::path Where(const Common::i_dir* dir)
{
    return dir ? fs::path(Processor::ToUtf8(dir->full_path())) : fs::path();
}

fs::path Real(const fs::path& path) { return fs::canonical(path); }

std::string DevicePathReg(const std::string& type, const std::string& data)
{
    return "[X\\Microsoft\\Windows\\CurrentVersion]\n\"DevicePath\"=" + type + data + "\n";
}

// "hex(2):" form of a text, as regedit writes REG_EXPAND_SZ.
std::string ExpandHex(const std::string& text)
{
    std::string out = "hex(2):";
    char byte[8];
    for (char c : text) {
        std::snprintf(byte, sizeof byte, "%02x,00,", static_cast<unsigned char>(c));
        out += byte;
    }
    return out + "00,00";
}

struct Tree : TargetTree {
    Tree() : TargetTree("WINDOWS", "SYSTEM32/CONFIG")
    {
        Folder("WINDOWS/INF");
        Folder("WINDOWS/SYSTEM32/Drivers");
        Folder("WINDOWS/driver cache");
        Folder("WINDOWS/SYSTEM32/SPOOL/drivers/COLOR");
        Folder("Other/inf");
    }
    std::unique_ptr<Transvia::WinSources> Sources(const char16_t* name = u"windows") const
    {
        return Transvia::CreateWinSources(Root(), name);
    }
};

TEST(WinSources, FindsEveryFolderWhateverItsLetterCase)
{
    Tree tree;
    auto sources = tree.Sources();
    ASSERT_TRUE(sources);
    EXPECT_EQ(Where(sources->GetRootDir()), Real(tree.path()));
    EXPECT_EQ(Where(sources->GetWindowsDir()), Real(tree.path() / "WINDOWS"));
    EXPECT_EQ(Where(sources->GetSystem32Dir()), Real(tree.path() / "WINDOWS/SYSTEM32"));
    EXPECT_EQ(Where(sources->GetDriversDir()), Real(tree.path() / "WINDOWS/SYSTEM32/Drivers"));
    EXPECT_EQ(Where(sources->GetDriverCacheDir()), Real(tree.path() / "WINDOWS/driver cache"));
    EXPECT_EQ(Where(sources->GetColorDir()), Real(tree.path() / "WINDOWS/SYSTEM32/SPOOL/drivers/COLOR"));
    EXPECT_EQ(Where(sources->GetInfDir(false)), Real(tree.path() / "WINDOWS/INF"));
    // Asked twice, the same object comes back; the INF folder found first is kept.
    EXPECT_EQ(sources->GetDriversDir(), sources->GetDriversDir());
    Common::rio_dir* first = sources->GetInfDir(false);
    EXPECT_EQ(sources->GetInfDir(true), first);
}

TEST(WinSources, MissingWindowsFolderGivesNoSourcesAndAMissingFolderIsFoundLater)
{
    EXPECT_FALSE(Tree().Sources(u"WinNT"));
    EXPECT_FALSE(Tree().Sources(u"..\\.."));
    TargetTree tree;
    auto sources = Transvia::CreateWinSources(tree.Root(), u"Windows");
    ASSERT_TRUE(sources);
    EXPECT_EQ(sources->GetDriverCacheDir(), nullptr);
    tree.Folder("Windows/DRIVER CACHE");
    EXPECT_EQ(Where(sources->GetDriverCacheDir()), Real(tree.path() / "Windows/DRIVER CACHE"));
}

TEST(WinSources, DirectoryIds)
{
    Tree tree;
    auto sources = tree.Sources();
    ASSERT_TRUE(sources);
    EXPECT_EQ(Transvia::GetDirectoryById(*sources, u"10"), sources->GetWindowsDir());
    EXPECT_EQ(Transvia::GetDirectoryById(*sources, u"11"), sources->GetSystem32Dir());
    EXPECT_EQ(Transvia::GetDirectoryById(*sources, u"12"), sources->GetDriversDir());
    EXPECT_EQ(Transvia::GetDirectoryById(*sources, u"17"), sources->GetInfDir(false));
    EXPECT_EQ(Transvia::GetDirectoryById(*sources, u"23"), sources->GetColorDir());
    EXPECT_EQ(Transvia::GetDirectoryById(*sources, u"24"), sources->GetRootDir());
    for (const char16_t* id : {u"13", u"", u"010", u"11 ", u"-1", u"66000"})
        EXPECT_EQ(Transvia::GetDirectoryById(*sources, id), nullptr) << Processor::ToUtf8(String(id));
}

// DevicePath variants: which INF folder each one gives.
TEST(WinSources, InfFolderFromDevicePath)
{
    const fs::path windowsInf = "WINDOWS/INF";
    struct Case {
        const char* what;
        std::string reg;
    } cases[] = {
        {"the system root's inf, then another drive", DevicePathReg("", "\"%SystemRoot%\\\\inf;D:\\\\drivers\"")},
        {"expandable, another drive first", DevicePathReg("", ExpandHex("E:\\x;%SYSTEMROOT%\\INF"))},
        {"without the system root's inf", DevicePathReg("", "\"C:\\\\Other\\\\inf;%SystemDrive%\\\\Other\\\\inf\"")},
        {"empty", DevicePathReg("", "\"\"")},
        {"a DWORD", DevicePathReg("", "dword:00000001")},
        {"binary", DevicePathReg("", "hex:25,00,53,00")},
        {"no value", "[X\\Microsoft\\Windows\\CurrentVersion]\n\"ProgramFilesDir\"=\"C:\\\\Program Files\"\n"},
        {"no key", "[X\\Microsoft]\n"},
        {"no hive", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Tree tree;
        if (c.reg.empty())
            tree.Write("WINDOWS/SYSTEM32/CONFIG/SOFTWARE", "not a hive at all");
        else
            tree.Hive("SOFTWARE", c.reg);
        const auto before = TestSupport::ReadFileBytes(tree.ConfigPath() / "SOFTWARE");
        auto sources = tree.Sources();
        ASSERT_TRUE(sources);
        EXPECT_EQ(Where(sources->GetInfDir(true)), Real(tree.path() / windowsInf));
        // Looking for the value leaves the hive as it was.
        EXPECT_EQ(TestSupport::ReadFileBytes(tree.ConfigPath() / "SOFTWARE"), before);
    }
}

TEST(WinSources, DevicePathEntryThatDoesNotResolveFallsBack)
{
    Tree tree;
    fs::remove_all(tree.path() / "WINDOWS/INF");
    tree.Folder("WINDOWS/inf2");
    tree.Hive("SOFTWARE", DevicePathReg("", "\"%SystemRoot%\\\\inf\""));
    auto sources = tree.Sources();
    ASSERT_TRUE(sources);
    EXPECT_EQ(sources->GetInfDir(true), nullptr);
    // Not remembered: once the folder exists it is found.
    tree.Folder("WINDOWS/Inf");
    EXPECT_EQ(Where(sources->GetInfDir(true)), Real(tree.path() / "WINDOWS/Inf"));
}

TEST(WinSources, ResolveSystemPath)
{
    Tree tree;
    auto sources = Transvia::CreateWinSources(tree.Root(), u"Windows");
    auto* impl = dynamic_cast<Transvia::WinSourcesImpl*>(sources.get());
    ASSERT_TRUE(impl);
    const fs::path inf = Real(tree.path() / "WINDOWS/INF");
    const fs::path windows = Real(tree.path() / "WINDOWS");
    struct Case {
        const char16_t* path;
        fs::path expected;  // empty: no folder
    } cases[] = {
        {u"%SystemDrive%\\Windows\\inf", inf},
        {u"%systemdrive%/windows/INF/", inf},
        {u"%SystemRoot%\\inf", inf},
        {u"%SYSTEMROOT%", windows},
        {u"%SystemRoot%\\", windows},
        {u"\\Windows", windows},
        {u"/Windows\\\\inf", inf},
        {u"\\Other", Real(tree.path() / "Other")},
        {u"%SystemDrive%", Real(tree.path())},
        {u"C:\\Windows\\inf", {}},
        {u"C:", {}},
        {u"\\", {}},
        {u"/", {}},
        {u"\\\\Windows", {}},
        {u"", {}},
        {u"Windows\\inf", {}},
        {u"%windir%\\inf", {}},
        {u"%SystemRoot%\\missing", {}},
        {u"%SystemRoot%\\..\\..", {}},
        {u"%SystemDrive%\\..", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Processor::ToUtf8(String(c.path)));
        auto folder = impl->ResolveSystemPath(c.path);
        if (c.expected.empty())
            EXPECT_FALSE(folder) << Where(folder.get());
        else
            EXPECT_EQ(Where(folder.get()), c.expected);
    }
}

TEST(WinSources, FoldersOutliveNothingButTheirOwner)
{
    Tree tree;
    auto sources = tree.Sources();
    ASSERT_TRUE(sources);
    // A caller that keeps a folder reopens it; the copy stays usable after the owner goes.
    auto kept = sources->GetSystem32Dir()->open_dir_rw(u".");
    sources.reset();
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->exists(u"drivers"));
}

String Resolve(Transvia::MapWindowsDirectoy& map, const char16_t* token)
{
    return map.Resolve(token);
}

TEST(MapWindowsDirectoy, RegistryForm)
{
    const String windows(u"C:\\WINDOWS");
    Transvia::MapWindowsDirectoy map(&windows);
    EXPECT_EQ(Resolve(map, u"%10%"), String(u"C:\\WINDOWS"));
    EXPECT_EQ(Resolve(map, u"%11%"), String(u"C:\\WINDOWS\\system32"));
    EXPECT_EQ(Resolve(map, u"%12%"), String(u"C:\\WINDOWS\\system32\\drivers"));
    EXPECT_EQ(Resolve(map, u"%17%"), String(u"C:\\WINDOWS\\inf"));
    EXPECT_EQ(Resolve(map, u"%18%"), String(u"%18%"));
    EXPECT_EQ(Resolve(map, u"%SystemRoot%"), String(u"%SystemRoot%"));

    const String root(u"C:\\");
    Transvia::MapWindowsDirectoy atRoot(&root);
    EXPECT_EQ(Resolve(atRoot, u"%10%"), String(u"C:\\"));
    EXPECT_EQ(Resolve(atRoot, u"%11%"), String(u"C:\\system32"));

    const String emptyRoot;
    for (const String* none : {static_cast<const String*>(nullptr), &emptyRoot}) {
        Transvia::MapWindowsDirectoy empty(none);
        for (const char16_t* token : {u"%10%", u"%11%", u"%12%", u"%17%"})
            EXPECT_EQ(Resolve(empty, token), String(token));
    }
}

TEST(MapWindowsDirectoy, FixedForm)
{
    Transvia::MapWindowsDirectoy map;
    EXPECT_EQ(Resolve(map, u"%10%"), String(u"%SystemRoot%"));
    EXPECT_EQ(Resolve(map, u"%11%"), String(u"System32"));
    EXPECT_EQ(Resolve(map, u"%12%"), String(u"System32\\drivers"));
    EXPECT_EQ(Resolve(map, u"%17%"), String(u"%17%"));
    EXPECT_EQ(Resolve(map, u"%24%"), String(u"%24%"));
    EXPECT_EQ(Resolve(map, u"%1%"), String(u"%1%"));
}

// The drive comes from SFC's "ProgramFilesDir" (Windows XP); Windows 7 and later lack it,
// and SOFTWARE's CurrentVersion "SystemRoot" gives it instead. Neither lookup adds keys.
TEST(MapWindowsDirectoy, FromTheTargetRegistry)
{
    const std::string sfc = "[X\\ControlSet001\\Control\\Session Manager\\SFC]\n\"ProgramFilesDir\"=";
    const std::string version = "[X\\Microsoft\\Windows NT\\CurrentVersion]\n\"SystemRoot\"=";
    struct Case {
        std::string system, software;
        const char16_t* drivers;
    } cases[] = {
        {sfc + "\"D:\\\\Program Files\"\n", version + "\"C:\\\\Windows\"\n", u"D:\\WINDOWS\\system32\\drivers"},
        {"", version + "\"E:\\\\Windows\"\n", u"E:\\WINDOWS\\system32\\drivers"},
        {sfc + "\"%SystemDrive%\\\\Program Files\"\n", version + "\"C:\\\\Windows\"\n", u"C:\\WINDOWS\\system32\\drivers"},
        {"", "[X\\Microsoft]\n", u"%12%"},
    };
    for (const Case& c : cases) {
        TargetTree tree("WINDOWS");
        tree.Hive("system", "[X\\Select]\n\"Current\"=dword:00000001\n[X\\ControlSet001]\n" + c.system);
        tree.Hive("software", c.software);
        auto registry = Transvia::CreateWindowsRegistry(tree.Windows());
        Transvia::MapWindowsDirectoy map(*registry);
        EXPECT_EQ(Resolve(map, u"%12%"), String(c.drivers)) << c.software;
        EXPECT_EQ(TargetTest::Has(registry->CurrentControlSet(), u"Control"), !c.system.empty());
        if (c.software.find("SystemRoot") == std::string::npos) {
            EXPECT_FALSE(TargetTest::Has(registry->Software(), u"Microsoft\\Windows NT"));
        }
    }
}

}  // namespace
