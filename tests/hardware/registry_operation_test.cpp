// The database's registry edits on hives of a target tree: exact keywords, the HKLM
// hive component, edits of missing keys and values that create nothing.
#include <gtest/gtest.h>

#include "hardware/registry_operation.h"
#include "install/target_tree.h"
#include "transvia/codes.h"

using Processor::String;
using TargetTest::TargetTree;
using Transvia::RegistryKey;

namespace {

const char* const kSystem =
    "[X\\Select]\n\"Current\"=dword:00000002\n"
    "[X\\ControlSet002\\Control\\CrashControl]\n\"AutoReboot\"=dword:00000001\n\"DumpFile\"=\"%SystemRoot%\\\\MEMORY.DMP\"\n"
    "\"Overwrite\"=hex:01\n\"Expand\"=hex(2):41,00,00,00\n\"Many\"=hex(7):41,00,00,00,00,00\n"
    "[X\\ControlSet002\\Services\\old\\Enum\\Deep\\Deeper]\n\"v\"=\"x\"\n"
    "[X\\ControlSet002\\Services\\old\\Parameters]\n"
    "[X\\ControlSet002\\Services\\keep]\n\"Start\"=dword:00000000\n";
const char* const kSoftware =
    "[X\\Classes\\CLSID\\{1}\\InprocServer32]\n"
    "[X\\Microsoft\\Windows\\CurrentVersion]\n\"DevicePath\"=\"%SystemRoot%\\\\inf\"\n";

struct Target {
    TargetTree tree;
    std::unique_ptr<Transvia::WindowsRegistry> registry;

    Target()
    {
        tree.Hive("system", kSystem);
        tree.Hive("software", kSoftware);
        registry = Transvia::CreateWindowsRegistry(tree.Windows());
    }
    void Apply(std::initializer_list<const char16_t*> fields)
    {
        Transvia::RegistryOperationRecord record;
        size_t i = 0;
        for (const char16_t* field : fields)
            record[i++] = String(field);
        Transvia::MakeRegistryOperation(record)->Apply(*registry);
    }
    // Code of the error an operation throws, 0 when none.
    uint32_t Code(std::initializer_list<const char16_t*> fields)
    {
        try {
            Apply(fields);
        } catch (const Common::Error& error) {
            return error.code();
        }
        return 0;
    }
    bool Has(RegistryKey* root, const char16_t* path) { return root && Transvia::OpenExistingKey(*root, path) != nullptr; }
    uint32_t Type(RegistryKey* root, const char16_t* path, const char16_t* value, uint32_t* dword = nullptr)
    {
        auto key = Transvia::OpenExistingKey(*root, path);
        uint32_t type = 0;
        uint32_t size = 4;
        uint32_t data = 0;
        if (!key || !key->QueryValue(value, type, &data, size))
            return 0;
        if (dword)
            *dword = data;
        return type;
    }
    std::vector<std::string> Subkeys(RegistryKey* root, const char16_t* path)
    {
        std::vector<std::string> names;
        if (auto key = Transvia::OpenExistingKey(*root, path))
            key->EnumSubkeys([&](const String& name) { names.push_back(Processor::ToUtf8(name)); });
        return names;
    }
};

TEST(RegistryOperation, ModifyValueOfDwordAndString)
{
    Target t;
    t.Apply({u"ModifyValue", u"CurrentControlSet", u"Control\\CrashControl", u"AutoReboot", u"16"});
    t.Apply({u"ModifyValue", u"HKLM", u"System\\ControlSet002\\Control\\CrashControl", u"DumpFile", u"D:\\dump"});
    uint32_t value = 0;
    EXPECT_EQ(t.Type(t.registry->CurrentControlSet(), u"Control\\CrashControl", u"AutoReboot", &value), 5u);
    EXPECT_EQ(value, 0x10u);
    t.Apply({u"ModifyValue", u"CurrentControlSet", u"Control\\CrashControl", u"autoreboot", u"0"});
    EXPECT_EQ(t.Type(t.registry->CurrentControlSet(), u"Control\\CrashControl", u"AutoReboot", &value), 5u);
    EXPECT_EQ(value, 0u);
    String text;
    auto key = Transvia::OpenExistingKey(*t.registry->CurrentControlSet(), u"Control\\CrashControl");
    uint32_t type = 0, size = 64;
    char16_t buffer[32] = {};
    ASSERT_TRUE(key->QueryValue(u"DumpFile", type, buffer, size));
    EXPECT_EQ(type, 2u);
    EXPECT_EQ(String(buffer), String(u"D:\\dump"));
}

TEST(RegistryOperation, ModifyValueOfMissingKeyOrValueCreatesNothing)
{
    Target t;
    t.Apply({u"ModifyValue", u"CurrentControlSet", u"Control\\CrashControl", u"NoSuchValue", u"1"});
    t.Apply({u"ModifyValue", u"CurrentControlSet", u"Control\\NoSuchKey\\Below", u"AutoReboot", u"1"});
    t.Apply({u"ModifyValue", u"HKCR", u"NoSuchClass", u"x", u"1"});
    EXPECT_EQ(t.Type(t.registry->CurrentControlSet(), u"Control\\CrashControl", u"NoSuchValue"), 0u);
    EXPECT_FALSE(t.Has(t.registry->CurrentControlSet(), u"Control\\NoSuchKey"));
    EXPECT_EQ(t.Subkeys(t.registry->CurrentControlSet(), u"Control"), std::vector<std::string>{"CrashControl"});
    EXPECT_FALSE(t.Has(t.registry->Software(), u"Classes\\NoSuchClass"));
}

TEST(RegistryOperation, ModifyValueOfOtherTypesThrows)
{
    Target t;
    for (const char16_t* name : {u"Overwrite", u"Expand", u"Many"})
        EXPECT_EQ(t.Code({u"ModifyValue", u"CurrentControlSet", u"Control\\CrashControl", name, u"1"}),
                  Common::Codes::kUnsupportedRoot)
            << Processor::ToUtf8(String(name));
}

TEST(RegistryOperation, DeleteKeyRemovesTheSubtree)
{
    Target t;
    t.Apply({u"DeleteKey", u"CurrentControlSet", u"Services\\old"});
    EXPECT_FALSE(t.Has(t.registry->CurrentControlSet(), u"Services\\old"));
    EXPECT_EQ(t.Subkeys(t.registry->CurrentControlSet(), u"Services"), std::vector<std::string>{"keep"});
    t.Apply({u"DeleteKey", u"HKCR", u"CLSID\\{1}"});
    EXPECT_TRUE(t.Has(t.registry->Software(), u"Classes\\CLSID"));
    EXPECT_FALSE(t.Has(t.registry->Software(), u"Classes\\CLSID\\{1}"));
    // A missing key or parent is no failure and creates nothing.
    t.Apply({u"DeleteKey", u"CurrentControlSet", u"Services\\nothing\\below"});
    t.Apply({u"DeleteKey", u"HKLM", u"Software\\Vendor"});
    EXPECT_EQ(t.Subkeys(t.registry->CurrentControlSet(), u"Services"), std::vector<std::string>{"keep"});
    EXPECT_FALSE(t.Has(t.registry->Software(), u"Vendor"));
}

TEST(RegistryOperation, DeleteValue)
{
    Target t;
    t.Apply({u"DeleteValue", u"HKLM", u"Software\\Microsoft\\Windows\\CurrentVersion", u"DevicePath"});
    EXPECT_EQ(t.Type(t.registry->Software(), u"Microsoft\\Windows\\CurrentVersion", u"DevicePath"), 0u);
    t.Apply({u"DeleteValue", u"CurrentControlSet", u"Services\\missing", u"Start"});
    EXPECT_FALSE(t.Has(t.registry->CurrentControlSet(), u"Services\\missing"));
    t.Apply({u"DeleteValue", u"CurrentControlSet", u"Services\\keep", u"NoValue"});
    EXPECT_EQ(t.Type(t.registry->CurrentControlSet(), u"Services\\keep", u"Start"), 5u);
}

TEST(RegistryOperation, KeywordsCompareExactly)
{
    Target t;
    EXPECT_EQ(t.Code({u"ModifyValue", u"hklm", u"System\\Select", u"Current", u"1"}), Common::Codes::kUnsupportedRoot);
    EXPECT_EQ(t.Code({u"ModifyValue", u"HKLM", u"SYSTEM\\Select", u"Current", u"1"}), Common::Codes::kUnsupportedRoot);
    EXPECT_EQ(t.Code({u"DeleteKey", u"HKLM", u"Security\\Policy"}), Common::Codes::kUnsupportedRoot);
    EXPECT_EQ(t.Code({u"DeleteKey", u"HKLM", u""}), Common::Codes::kUnsupportedRoot);
    EXPECT_EQ(t.Code({u"DeleteKey", u"HKCU", u"Software"}), Common::Codes::kUnsupportedRoot);
    EXPECT_EQ(t.Code({u"DeleteKey", u"currentcontrolset", u"Services\\keep"}), Common::Codes::kUnsupportedRoot);
    EXPECT_EQ(t.Code({u"deletekey", u"HKLM", u"System\\Select"}), Common::Codes::kUnknownRegistryOperation);
    EXPECT_EQ(t.Code({u"RenameKey", u"HKLM", u"System\\Select"}), Common::Codes::kUnknownRegistryOperation);
    EXPECT_EQ(t.Code({u"", u"", u""}), Common::Codes::kUnknownRegistryOperation);
    // None of the refused operations changed anything.
    uint32_t current = 0;
    EXPECT_EQ(t.Type(t.registry->System(), u"Select", u"Current", &current), 5u);
    EXPECT_EQ(current, 2u);
    EXPECT_TRUE(t.Has(t.registry->CurrentControlSet(), u"Services\\keep"));
}

TEST(RegistryOperation, MissingHiveIsAnError)
{
    TargetTree tree;
    tree.Hive("system", kSystem);
    auto registry = Transvia::CreateWindowsRegistry(tree.Windows());
    Transvia::RegistryOperationRecord record{u"DeleteKey", u"HKLM", u"Software\\Vendor", u"", u""};
    try {
        Transvia::MakeRegistryOperation(record)->Apply(*registry);
        // Without a software hive the key objects exist but every step fails: nothing to do.
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.code(), Common::Codes::kRegistryOperationFailed);
    }
    EXPECT_FALSE(std::filesystem::exists(tree.ConfigPath() / "software"));
}

TEST(RegistryOperation, SubKeyFinderComparesWithoutCase)
{
    Transvia::RegistryKeyAccessorBase::SubKeyFinder finder(u"StartOverride");
    finder(u"Parameters");
    EXPECT_FALSE(finder.found());
    finder(u"STARTOVERRIDE");
    EXPECT_TRUE(finder.found());
    finder(u"Enum");
    EXPECT_TRUE(finder.found());
}

TEST(RegistryOperation, EditedHivesStaySound)
{
    Target t;
    t.Apply({u"DeleteKey", u"CurrentControlSet", u"Services\\old"});
    t.Apply({u"ModifyValue", u"CurrentControlSet", u"Control\\CrashControl", u"DumpFile", u"a much longer text than before, to move the cell"});
    t.Apply({u"DeleteValue", u"HKLM", u"Software\\Microsoft\\Windows\\CurrentVersion", u"DevicePath"});
    t.registry.reset();
    EXPECT_EQ(t.tree.Faults("system"), std::vector<std::string>{});
    EXPECT_EQ(t.tree.Faults("software"), std::vector<std::string>{});
}

}  // namespace
