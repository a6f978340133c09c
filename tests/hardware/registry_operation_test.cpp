// The database's registry edits on hives of a target tree: exact keywords, the HKLM
// hive component, edits of missing keys and values that create nothing.
#include <gtest/gtest.h>

#include "hardware/registry_operation.h"
#include "install/target_tree.h"
#include "support/fixtures.h"
#include "support/trace_capture.h"
#include "transvia/codes.h"

using Processor::String;
using TargetTest::TargetTree;
using Transvia::RegistryKey;

namespace {

const char* const kSystem =
    "[X]\n\"Top\"=\"t\"\n[X\\ControlSet002]\n\"RootValue\"=dword:00000001\n"
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
    uint32_t Code(std::initializer_list<const char16_t*> fields)
    {
        return TestSupport::ThrownCode([&] { Apply(fields); });
    }
    RegistryKey* Ccs() { return registry->CurrentControlSet(); }
};

TEST(RegistryOperation, ModifyValueOfDwordAndStringKeepsTheFirstOriginal)
{
    Target t;
    t.Apply({u"ModifyValue", u"CurrentControlSet", u"Control\\CrashControl", u"AutoReboot", u"16"});
    t.Apply({u"ModifyValue", u"HKLM", u"System\\ControlSet002\\Control\\CrashControl", u"DumpFile", u"D:\\dump"});
    EXPECT_EQ(TargetTest::Dword(t.Ccs(), u"control\\crashcontrol", u"AutoReboot"), 0x10);
    t.Apply({u"ModifyValue", u"CurrentControlSet", u"Control\\CrashControl", u"autoreboot", u"4294967295"});
    EXPECT_EQ(TargetTest::Dword(t.Ccs(), u"Control\\CrashControl", u"AutoReboot"), 0xFFFFFFFF);
    EXPECT_EQ(TargetTest::Text(t.Ccs(), u"Control\\CrashControl", u"DumpFile"), "D:\\dump");
    // The data before the first change, for the assistant to put back.
    const String kept = u"Services\\transvia_assistant\\OriginalValues";
    EXPECT_EQ(TargetTest::Dword(t.Ccs(), kept, u"CurrentControlSet\\Control\\CrashControl\\AutoReboot"), 1);
    EXPECT_EQ(TargetTest::Text(t.Ccs(), kept, u"HKLM\\System\\ControlSet002\\Control\\CrashControl\\DumpFile"),
              "%SystemRoot%\\MEMORY.DMP");
}

TEST(RegistryOperation, DwordDataThatDoesNotFitIsRefused)
{
    Target t;
    for (const char16_t* data : {u"4294967296", u"-1", u"99999999999999999999999"})
        EXPECT_EQ(t.Code({u"ModifyValue", u"CurrentControlSet", u"Control\\CrashControl", u"AutoReboot", data}),
                  Common::Codes::kInvalidArgument)
            << Processor::ToUtf8(String(data));
    EXPECT_EQ(TargetTest::Dword(t.Ccs(), u"Control\\CrashControl", u"AutoReboot"), 1);
    EXPECT_FALSE(TargetTest::Has(t.Ccs(), u"Services\\transvia_assistant"));
}

TEST(RegistryOperation, EmptyPathNamesTheRootItself)
{
    Target t;
    t.Apply({u"ModifyValue", u"CurrentControlSet", u"", u"RootValue", u"7"});
    EXPECT_EQ(TargetTest::Dword(t.Ccs(), u"", u"RootValue"), 7);
    t.Apply({u"DeleteValue", u"HKLM", u"System", u"Top"});
    EXPECT_EQ(TargetTest::Text(t.registry->System(), u"", u"Top"), "<none>");
    // A root is never deleted.
    TestSupport::TraceCapture trace;
    t.Apply({u"DeleteKey", u"HKCR", u""});
    EXPECT_TRUE(trace.Has(3, "RegistryOperation: Refused to delete the root key 'HKCR\\'."));
    EXPECT_TRUE(TargetTest::Has(t.registry->Software(), u"Classes\\CLSID"));
}

TEST(RegistryOperation, ModifyValueOfMissingKeyOrValueCreatesNothing)
{
    Target t;
    t.Apply({u"ModifyValue", u"CurrentControlSet", u"Control\\CrashControl", u"NoSuchValue", u"1"});
    t.Apply({u"ModifyValue", u"CurrentControlSet", u"Control\\NoSuchKey\\Below", u"AutoReboot", u"1"});
    t.Apply({u"ModifyValue", u"HKCR", u"NoSuchClass", u"x", u"1"});
    EXPECT_EQ(TargetTest::Text(t.Ccs(), u"Control\\CrashControl", u"NoSuchValue"), "<none>");
    EXPECT_FALSE(TargetTest::Has(t.Ccs(), u"Control\\NoSuchKey"));
    EXPECT_EQ(TargetTest::Subkeys(t.Ccs(), u"Control"), std::vector<std::string>{"CrashControl"});
    EXPECT_FALSE(TargetTest::Has(t.registry->Software(), u"Classes\\NoSuchClass"));
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
    EXPECT_FALSE(TargetTest::Has(t.Ccs(), u"Services\\old"));
    EXPECT_EQ(TargetTest::Subkeys(t.Ccs(), u"Services"), std::vector<std::string>{"keep"});
    t.Apply({u"DeleteKey", u"HKCR", u"CLSID\\{1}"});
    EXPECT_TRUE(TargetTest::Has(t.registry->Software(), u"Classes\\CLSID"));
    EXPECT_FALSE(TargetTest::Has(t.registry->Software(), u"Classes\\CLSID\\{1}"));
    // A missing key or parent is no failure and creates nothing.
    t.Apply({u"DeleteKey", u"CurrentControlSet", u"Services\\nothing\\below"});
    t.Apply({u"DeleteKey", u"HKLM", u"Software\\Vendor"});
    EXPECT_EQ(TargetTest::Subkeys(t.Ccs(), u"Services"), std::vector<std::string>{"keep"});
    EXPECT_FALSE(TargetTest::Has(t.registry->Software(), u"Vendor"));
}

TEST(RegistryOperation, DeleteValue)
{
    Target t;
    t.Apply({u"DeleteValue", u"HKLM", u"Software\\Microsoft\\Windows\\CurrentVersion", u"DevicePath"});
    EXPECT_EQ(TargetTest::Text(t.registry->Software(), u"Microsoft\\Windows\\CurrentVersion", u"DevicePath"), "<none>");
    t.Apply({u"DeleteValue", u"CurrentControlSet", u"Services\\missing", u"Start"});
    EXPECT_FALSE(TargetTest::Has(t.Ccs(), u"Services\\missing"));
    t.Apply({u"DeleteValue", u"CurrentControlSet", u"Services\\keep", u"NoValue"});
    EXPECT_EQ(TargetTest::Dword(t.Ccs(), u"Services\\keep", u"Start"), 0);
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
    EXPECT_EQ(TargetTest::Dword(t.registry->System(), u"Select", u"Current"), 2);
    EXPECT_TRUE(TargetTest::Has(t.Ccs(), u"Services\\keep"));
}

TEST(RegistryOperation, MissingHiveIsAnError)
{
    TargetTree tree;
    tree.Hive("system", kSystem);
    auto registry = Transvia::CreateWindowsRegistry(tree.Windows());
    auto code = [&](Transvia::RegistryOperationRecord record) {
        return TestSupport::ThrownCode([&] { Transvia::MakeRegistryOperation(record)->Apply(*registry); });
    };
    // The hive's root cannot be had, under HKLM as under HKCR; nothing is created.
    EXPECT_EQ(code({u"DeleteKey", u"HKLM", u"Software\\Vendor", u"", u""}), Common::Codes::kRegistryOperationFailed);
    EXPECT_EQ(code({u"DeleteKey", u"HKCR", u"CLSID", u"", u""}), Common::Codes::kRegistryOperationFailed);
    EXPECT_FALSE(std::filesystem::exists(tree.ConfigPath() / "software"));
}

// A registry whose keys exist and hold a DWORD "v" but refuse every change.
struct StubbornKey final : RegistryKey {
    std::unique_ptr<RegistryKey> OpenKey(const String&) override { return std::make_unique<StubbornKey>(); }
    std::unique_ptr<RegistryKey> CreateKey(const String&) override { return nullptr; }
    bool DeleteKey(const String&) override { return false; }
    bool DeleteValue(const String&) override { return false; }
    bool EnumSubkeys(const std::function<void(const String&)>& visitor) override
    {
        visitor(u"Key");
        return true;
    }
    bool SetDword(const String&, uint32_t) override { return false; }
    bool SetString(const String&, const String&, bool) override { return false; }
    bool SetMultiString(const String&, const char16_t*) override { return false; }
    bool SetMultiStringData(const String&, const std::u16string&) override { return false; }
    bool SetBinary(const String&, const void*, uint32_t) override { return false; }
    bool QueryValue(const String&, uint32_t& type, void* buffer, uint32_t& size) override
    {
        type = TypeDword;
        if (buffer && size >= 4)
            *static_cast<uint32_t*>(buffer) = 1;
        size = 4;
        return true;
    }
};
struct StubbornRegistry final : Transvia::WindowsRegistry {
    StubbornKey root;
    RegistryKey* Software() override { return &root; }
    RegistryKey* System() override { return &root; }
    RegistryKey* CurrentControlSet() override { return &root; }
    RegistryKey* Services() override { return &root; }
    RegistryKey* Enum() override { return &root; }
    RegistryKey* Class() override { return &root; }
    const String* SystemRoot() override { return nullptr; }
    void UseWorkingCopy() override {}
    Common::Error Commit() override { return {}; }
};

TEST(RegistryOperation, FailedChangesAreNotTracedAsDone)
{
    StubbornRegistry registry;
    TestSupport::TraceCapture trace;
    for (Transvia::RegistryOperationRecord record :
         {Transvia::RegistryOperationRecord{u"DeleteKey", u"CurrentControlSet", u"Key", u"", u""},
          Transvia::RegistryOperationRecord{u"DeleteValue", u"CurrentControlSet", u"Key", u"v", u""},
          Transvia::RegistryOperationRecord{u"ModifyValue", u"CurrentControlSet", u"Key", u"v", u"0"}})
        Transvia::MakeRegistryOperation(record)->Apply(registry);
    EXPECT_TRUE(trace.Has(3, "RegistryOperation: Failed to delete key 'CurrentControlSet\\Key'."));
    EXPECT_TRUE(trace.Has(3, "RegistryOperation: Failed to delete value 'v' of 'CurrentControlSet\\Key'."));
    EXPECT_TRUE(trace.Has(3, "RegistryOperation: Failed to set value 'v' of 'CurrentControlSet\\Key'."));
    EXPECT_FALSE(trace.Has(2, "RegistryOperation: Deleted"));
    EXPECT_FALSE(trace.Has(2, "RegistryOperation: Set"));
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
