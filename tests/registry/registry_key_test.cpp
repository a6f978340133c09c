// Key and value objects over hives, and the target's registry with its working copy.
#include <gtest/gtest.h>

#include "registry/hive_commit.h"
#include "registry/windows_registry.h"
#include "registry_test_util.h"

using namespace Common::Hive;
using RegistryTest::HiveFixture;
using RegistryTest::S;
using Transvia::RegistryKey;

namespace {

std::vector<uint8_t> Query(RegistryKey& key, const Processor::String& name, uint32_t& type)
{
    uint32_t size = 0;
    type = 0;
    if (!key.QueryValue(name, type, nullptr, size))
        return {};
    std::vector<uint8_t> data(size);
    EXPECT_TRUE(key.QueryValue(name, type, data.data(), size));
    return data;
}

}  // namespace

TEST(RegistryKey, OpenKeyCreatesAndEmptyPathIsNull)
{
    HiveFixture h;
    h.create();
    auto root = Transvia::MakeRegistryKey(h.open());
    EXPECT_EQ(root->OpenKey(S(u"")), nullptr);
    auto key = root->OpenKey(S(u"A\\B\\C"));
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(key->SetDword(S(u"x"), 7));
    auto again = root->CreateKey(S(u"a\\b\\c"));
    ASSERT_NE(again, nullptr);
    uint32_t type = 0;
    const auto data = Query(*again, S(u"X"), type);
    EXPECT_EQ(type, RegistryKey::TypeDword);
    EXPECT_EQ(data, (std::vector<uint8_t>{7, 0, 0, 0}));
    std::vector<Processor::String> names;
    EXPECT_FALSE(root->EnumSubkeys({}));
    EXPECT_TRUE(root->EnumSubkeys([&](const Processor::String& n) { names.push_back(n); }));
    EXPECT_EQ(names, std::vector<Processor::String>{S(u"A")});

    // A root that claims 2^31 subkeys over a list of one: enumeration walks the list.
    root.reset(), key.reset(), again.reset();  // the hive is written when its last key goes
    std::vector<uint8_t> bytes = h.bytes();
    const uint32_t rootCell = bytes[0x24] | bytes[0x25] << 8 | bytes[0x26] << 16 | uint32_t(bytes[0x27]) << 24;
    const size_t count = 0x1000 + rootCell + 4 + 20;
    ASSERT_EQ(bytes[count], 1);
    bytes[count + 3] = 0x80;
    h.put(bytes);
    names.clear();
    auto claimed = Transvia::MakeRegistryKey(h.open(true));
    EXPECT_TRUE(claimed->EnumSubkeys([&](const Processor::String& n) { names.push_back(n); }));
    EXPECT_EQ(names, std::vector<Processor::String>{S(u"A")});
}

TEST(RegistryKey, QueryValueReportsTypeAndSizeFirst)
{
    HiveFixture h;
    h.create();
    auto root = Transvia::MakeRegistryKey(h.open());
    ASSERT_TRUE(root->SetDword(S(u"Start"), 0x01020304));
    uint32_t type = 0, size = 0;
    uint8_t untouched[4] = {9, 9, 9, 9};
    ASSERT_TRUE(root->QueryValue(S(u"start"), type, untouched, size));
    EXPECT_EQ(type, RegistryKey::TypeDword);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(untouched[0], 9);  // size 0: nothing copied
    EXPECT_FALSE(root->QueryValue(S(u"missing"), type, nullptr, size));

    ASSERT_TRUE(root->SetMultiString(S(u"List"), u"ab\0c\0\0"));
    const auto multi = Query(*root, S(u"LIST"), type);
    EXPECT_EQ(type, RegistryKey::TypeMultiString);
    EXPECT_EQ(multi, (std::vector<uint8_t>{'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0, 0, 0}));
    ASSERT_TRUE(root->SetMultiString(S(u"Empty"), u"\0"));
    EXPECT_EQ(Query(*root, S(u"Empty"), type), std::vector<uint8_t>(4, 0));
    ASSERT_TRUE(root->SetMultiString(S(u"Null"), nullptr));
    EXPECT_EQ(Query(*root, S(u"Null"), type), std::vector<uint8_t>(4, 0));

    ASSERT_TRUE(root->SetString(S(u"Text"), S(u"hi"), false));
    EXPECT_EQ(Query(*root, S(u"Text"), type), (std::vector<uint8_t>{'h', 0, 'i', 0, 0, 0}));
    EXPECT_EQ(type, RegistryKey::TypeString);
    const uint8_t blob[3] = {1, 2, 3};
    ASSERT_TRUE(root->SetBinary(S(u"Blob"), blob, 3));
    EXPECT_EQ(Query(*root, S(u"Blob"), type), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(type, RegistryKey::TypeBinary);
    EXPECT_TRUE(root->DeleteValue(S(u"Blob")));
    EXPECT_TRUE(root->DeleteValue(S(u"Blob")));  // reports success either way
    EXPECT_FALSE(root->QueryValue(S(u"Blob"), type, nullptr, size));
}

TEST(RegistryKey, ExpandStringReplacesAStringOfTheSameName)
{
    HiveFixture h;
    h.create();
    auto file = h.open();
    auto root = Transvia::MakeRegistryKey(file);
    ASSERT_TRUE(root->SetString(S(u"ImagePath"), S(u"a"), false));
    ASSERT_TRUE(root->SetString(S(u"imagepath"), S(u"%SystemRoot%\\x.sys"), true));
    EXPECT_EQ(file.value_count(), 1u);
    uint32_t type = 0;
    const auto data = Query(*root, S(u"ImagePath"), type);
    EXPECT_EQ(type, RegistryKey::TypeExpandString);
    EXPECT_EQ(data.size(), 2u * 18 + 2);
}

TEST(RegistryKey, VariantMapping)
{
    HiveFixture h;
    h.create();
    auto file = h.open();
    Processor::FileRegKey key(file);
    const uint8_t qword[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(file.set_value(std::u16string_view(u"q"), qword, 8, REG_QWORD));
    ASSERT_TRUE(file.set_value(std::u16string_view(u"n"), qword, 3, REG_NONE));
    ASSERT_TRUE(file.set_value(std::u16string_view(u"e"), u"x", 4, REG_EXPAND_SZ));
    ASSERT_TRUE(file.set_value(std::u16string_view(u"odd"), qword, 5, 0x20));
    Processor::Variant v;
    int kind = -1;
    ASSERT_TRUE(key.Value(S(u"q"))->Get(v));
    EXPECT_EQ(v.type(), Processor::Variant::TULong64);
    EXPECT_EQ(*v.get<uint64_t>(), 0x0807060504030201ull);
    ASSERT_TRUE(key.Value(S(u"n"))->Get(v));
    EXPECT_TRUE(v.empty());
    ASSERT_TRUE(key.TypedValue(S(u"n"))->GetTyped(v, kind));
    EXPECT_EQ(kind, 0);
    EXPECT_EQ(v.get<Processor::Variant::Binary>()->size(), 3u);
    ASSERT_TRUE(key.Value(S(u"e"))->Get(v));
    ASSERT_EQ(v.type(), Processor::Variant::TString);
    EXPECT_EQ(*v.get<Processor::String>(), S(u"x"));
    ASSERT_TRUE(key.TypedValue(S(u"e"))->GetTyped(v, kind));
    EXPECT_EQ(kind, 1);
    ASSERT_TRUE(key.Value(S(u"odd"))->Get(v));
    EXPECT_EQ(v.get<Processor::Variant::Binary>()->size(), 5u);
    EXPECT_FALSE(key.Value(S(u"missing"))->Get(v));
    // Writing.
    EXPECT_TRUE(key.Value(S(u"i"))->Set(Processor::Variant(int32_t(-1))));
    EXPECT_EQ(file.get_dword(S(u"i"), 0), 0xFFFFFFFFu);
    EXPECT_TRUE(key.Value(S(u"l"))->Set(Processor::Variant(int64_t(5))));
    uint32_t type = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(file.read_value(u"l", type, data));
    EXPECT_EQ(type, REG_QWORD);
    EXPECT_EQ(data.size(), 8u);
    EXPECT_TRUE(key.Value(S(u"none"))->Set(Processor::Variant()));
    EXPECT_FALSE(file.read_value(u"none", type, data));
    EXPECT_FALSE(key.Value(S(u"d"))->Set(Processor::Variant(1.5)));
    EXPECT_FALSE(key.TypedValue(S(u"m"))->SetTyped(3, Processor::Variant(Processor::Variant::Binary{0, 0})));
    // Iterators see every value and subkey.
    int values = 0;
    for (auto it = key.Values(); !it->AtEnd(); it->Next())
        values += it->Current()->Name().length() > 0;
    EXPECT_EQ(values, 6);
}

TEST(RegistryKey, DeleteKeyRemovesAWholeSubtree)
{
    HiveFixture h;
    h.create();
    {
        auto root = Transvia::MakeRegistryKey(h.open());
        ASSERT_NE(root->OpenKey(S(u"Top\\One\\Two\\Three")), nullptr);
        ASSERT_NE(root->OpenKey(S(u"Top\\One\\Side")), nullptr);
        ASSERT_NE(root->OpenKey(S(u"Keep")), nullptr);
        ASSERT_TRUE(root->OpenKey(S(u"Top\\One\\Two"))->SetString(S(u"v"), S(u"x"), false));
        EXPECT_TRUE(root->DeleteKey(S(u"top")));
        std::vector<Processor::String> names;
        root->EnumSubkeys([&](const Processor::String& n) { names.push_back(n); });
        EXPECT_EQ(names, std::vector<Processor::String>{S(u"Keep")});
        EXPECT_TRUE(root->DeleteKey(S(u"absent")));
    }
    EXPECT_TRUE(h.faults().empty());
}

namespace {

// A target tree: <scratch>/WINDOWS/System32/config/{system,software}.
struct Target {
    TestSupport::ScratchDir scratch;
    std::shared_ptr<Common::rio_dir> windows;

    explicit Target(int currentSet)
    {
        scratch.write("WINDOWS/System32/config/.keep", "");
        windows = scratch.dir("WINDOWS");
        auto config = scratch.dir("WINDOWS/System32/config");
        EXPECT_TRUE(Common::CreateHive(*config, u"system", 5, u"SYSTEM").empty());
        EXPECT_TRUE(Common::CreateHive(*config, u"software", 5, u"SOFTWARE").empty());
        Common::Error error;
        {
            auto system = Common::file_reg::open_hive(config, u"system", false, error);
            if (currentSet > 0)
                system.create_key(S(u"Select")).set_dword(S(u"Current"), static_cast<uint32_t>(currentSet));
            for (int set = 1; set <= 2; ++set) {
                auto cs = system.create_key(Processor::String(set == 1 ? u"ControlSet001" : u"ControlSet002"));
                cs.set_dword(S(u"Marker"), static_cast<uint32_t>(set));
                cs.create_key(S(u"Control\\Session Manager\\SFC")).set_string(S(u"ProgramFilesDir"), S(u"D:\\Program Files"), false);
            }
        }
        {
            auto software = Common::file_reg::open_hive(config, u"software", false, error);
            auto version = software.create_key(S(u"Microsoft\\Windows NT\\CurrentVersion"));
            version.set_string(S(u"CurrentVersion"), S(u"6.3"), false);
            version.set_string(S(u"CurrentBuildNumber"), S(u"19041"), false);
            version.set_dword(S(u"CurrentMajorVersionNumber"), 10);
            version.set_dword(S(u"CurrentMinorVersionNumber"), 0);
            version.set_string(S(u"ProductName"), S(u"Windows 10 Pro"), false);
        }
    }
    std::vector<uint8_t> system() const { return TestSupport::ReadFileBytes(scratch.path() / "WINDOWS/System32/config/system"); }
};

uint32_t Marker(RegistryKey* key)
{
    uint8_t bytes[4] = {};
    uint32_t type = 0, size = 4;
    return key && key->QueryValue(S(u"Marker"), type, bytes, size) ? bytes[0] : 0;
}

// A Windows folder whose full path is chosen by the test.
class PathDir : public Common::rio_dir_delegate {
public:
    PathDir(std::shared_ptr<Common::rio_dir> inner, Processor::String path) : rio_dir_delegate(std::move(inner)), path_(std::move(path)) {}
    Processor::String full_path() const override { return path_; }

private:
    Processor::String path_;
};

}  // namespace

TEST(WindowsRegistry, ControlSetFollowsSelectCurrent)
{
    for (int current : {0, 1, 2}) {
        Target target(current);
        auto registry = Transvia::CreateWindowsRegistry(target.windows);
        EXPECT_EQ(Marker(registry->CurrentControlSet()), current == 2 ? 2u : 1u) << current;
        ASSERT_NE(registry->Services(), nullptr);
        ASSERT_NE(registry->Enum(), nullptr);
        ASSERT_NE(registry->Class(), nullptr);
        EXPECT_EQ(registry->Services(), registry->Services());  // cached
    }
}

TEST(WindowsRegistry, SystemRootFromDriveAndFolderName)
{
    Target target(0);
    {
        auto registry = Transvia::CreateWindowsRegistry(target.windows);
        ASSERT_NE(registry->SystemRoot(), nullptr);
        EXPECT_EQ(*registry->SystemRoot(), S(u"D:\\WINDOWS"));
    }
    for (const auto& [path, expected] : std::vector<std::pair<const char16_t*, const char16_t*>>{
             {u"X:\\Win\\", u"D:\\Win"}, {u"", u"D:\\%systemroot%"}, {u"Plain", u"D:\\Plain"}}) {
        auto registry = Transvia::CreateWindowsRegistry(std::make_shared<PathDir>(target.windows, path));
        ASSERT_NE(registry->SystemRoot(), nullptr);
        EXPECT_EQ(*registry->SystemRoot(), S(expected));
    }
    const auto info = Transvia::InspectWindowsRegistry(target.windows);
    EXPECT_EQ(info.product_name, "Windows 10 Pro");
    EXPECT_EQ(info.build_number, "19041");
    EXPECT_EQ(info.current_version, "10.0") << "the numbers an install goes by, not CurrentVersion's 6.3";
    EXPECT_EQ(info.control_set, "ControlSet001");
    EXPECT_EQ(info.system_root, "D:\\WINDOWS");
    EXPECT_TRUE(info.problems.empty());
}

TEST(WindowsRegistry, MissingOrUnreadableHivesGiveNullKeys)
{
    TestSupport::ScratchDir scratch;
    scratch.write("WINDOWS/.keep", "");
    // No config folder; then the folder without hive files; then files that are no hives.
    for (const char* step : {"no folder", "no files", "garbage"}) {
        if (std::string(step) == "no files") scratch.write("WINDOWS/System32/config/.keep", "");
        if (std::string(step) == "garbage") {
            scratch.write("WINDOWS/System32/config/system", std::string(8192, 'x'));
            scratch.write("WINDOWS/System32/config/software", "regf");
        }
        for (bool copy : {false, true}) {
            auto registry = Transvia::CreateWindowsRegistry(scratch.dir("WINDOWS"));
            if (copy) registry->UseWorkingCopy();
            EXPECT_EQ(registry->System(), nullptr) << step << copy;
            EXPECT_EQ(registry->Software(), nullptr) << step << copy;
            EXPECT_EQ(registry->CurrentControlSet(), nullptr) << step;
            EXPECT_EQ(registry->Services(), nullptr) << step;
            EXPECT_EQ(registry->SystemRoot(), nullptr) << step;
            EXPECT_TRUE(registry->Commit().empty()) << step;
        }
    }
    EXPECT_EQ(TestSupport::ReadFileBytes(scratch.path() / "WINDOWS/System32/config/software").size(), 4u)
        << "an unreadable hive is left as it was";
}

TEST(WindowsRegistry, WorkingCopyIsDiscardedWithoutCommitAndReplacesTheHiveOnCommit)
{
    Target target(0);
    const auto before = target.system();
    {
        auto discarded = Transvia::CreateWindowsRegistry(target.windows);
        discarded->UseWorkingCopy();
        ASSERT_TRUE(discarded->Services()->OpenKey(S(u"viostor"))->SetDword(S(u"Start"), 0));
    }
    EXPECT_EQ(target.system(), before);
    auto registry = Transvia::CreateWindowsRegistry(target.windows);
    registry->UseWorkingCopy();
    ASSERT_TRUE(registry->Services()->OpenKey(S(u"viostor"))->SetDword(S(u"Start"), 0));
    EXPECT_EQ(target.system(), before);  // not yet
    ASSERT_TRUE(registry->Commit().empty());
    const auto after = target.system();
    EXPECT_NE(after, before);
    std::vector<std::string> faults;
    Common::HiveCheckSummary summary;
    EXPECT_TRUE(Common::CheckHive(after.data(), after.size(), faults, summary));
    Common::Error error;
    auto config = target.scratch.dir("WINDOWS/System32/config");
    auto system = Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(config), u"system", error);
    EXPECT_EQ(system.open_key(S(u"ControlSet001\\Services\\viostor")).get_dword(S(u"Start"), 9), 0u);
    // After a commit the registry edits the hive in place again.
    EXPECT_TRUE(registry->Commit().empty());
    ASSERT_NE(registry->System(), nullptr);
}
