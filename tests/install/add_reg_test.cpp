// Registry sections written into a small target and read back through fresh registry
// objects and hivex: every root, flag and value type, and the lines that must fail.
#include <gtest/gtest.h>

#include "support/trace_capture.h"
#include "install/action_target.h"
#include "install/add_reg.h"
#include "install/string_list.h"

using Processor::String;
using TargetTest::Dword;
using TargetTest::Has;
using TargetTest::Text;
using Transvia::RegistryContext;

namespace {

const char* const kInf = R"INF([Version]
Signature="$Windows NT$"
ClassGuid={4D36E97B-E325-11CE-BFC1-08002BE10318}

[Strings]
Svc="demo"

[Roots]
HKLM,System\CurrentControlSet\Services\%Svc%,Start,0x00010001,3
HKLM,SYSTEM\Setup,Mode,,setup
HKLM,Software\Classes\x,V,,soft
HKLM,,AtRoot,,root
HKLM,System\CurrentControlSet,Top,0x10001,1
HKCR,.demo,,,ext

[Types]
HKR,,,,default text
HKR,Parameters,Sz,,%12%\demo.sys
HKR,Parameters,Expand,0x20000,%10%\x
HKR,Parameters,Multi,0x10000,a,,%11%
HKR,Parameters,Bytes,1,01,ff,10
HKR,Parameters,BinExpand,0x20001,0a
HKR,Parameters,Hex,0x10001,0x10
HKR,Parameters,F1,0x10001,1
HKR,Parameters,F2,65537,2
HKR,Parameters,F3,10001h,3
HKR,Parameters,BadFlags,0x1g,text
HKR,Created,,0x10
HKR,Parameters,KeyOnly,0x10,ignored
HKR,Parameters,Existing,2,new
HKR,Parameters,Absent,0x20,new
HKR,Parameters,Present,0x20,new
HKR,Parameters,Gone,4
HKR,Parameters,NeverThere,4
HKR,Parameters,Append,0x10008,c
HKR,Parameters,AppendSz,0x10008,n
HKR,Parameters,Empty
HKR,Parameters,NoStrings,0x10000
HKR,Parameters,OnlyEmpty,0x10000,""

[NoContext]
HKLM,System\CurrentControlSet\Services\demo,Before,0x10001,1
HKR,,After,0x10001,2
HKLM,System\CurrentControlSet\Services\demo,Later,0x10001,3

[Context]
HKR,,Here,0x10001,7

[Hardware]
HKLM,Hardware\x,V,,1
[Hkcu]
HKCU,Software\x,V,,1
[BadDword]
HKR,,V,0x10001,zz
[BadByte]
HKR,,V,1,01,0g
[NoName]
HKR,,,0x10001,1
[Climb]
HKR,..\..\Control,V,,x
[ClimbLm]
HKLM,System\CurrentControlSet\Services\..\x,V,,x
)INF";

const char* const kPreset = "[X\\ControlSet002\\Services\\demo\\Parameters]\n"
                            "\"Existing\"=\"old\"\n\"Present\"=\"old\"\n\"Gone\"=\"x\"\n\"AppendSz\"=\"sz\"\n"
                            "\"Append\"=hex(7):61,00,00,00,62,00,00,00,00,00\n";

struct AddRegTest : testing::Test {
    ActionTest::ActionTarget target{kPreset};
    std::unique_ptr<Transvia::Inf> inf = ActionTest::InfText(kInf);

    Common::Error Run(const char16_t* section, const RegistryContext* context = nullptr)
    {
        return Transvia::AddReg(*inf, section, context, *target.registry);
    }
    std::string ErrorText(const Common::Error& error) { return Processor::ToUtf8(String(error.text())); }
};

TEST_F(AddRegTest, RootsAddressTheirHives)
{
    ASSERT_TRUE(inf);
    EXPECT_FALSE(Run(u"Roots").failed());
    target.Reopen();
    Transvia::RegistryKey* system = target.registry->System();
    Transvia::RegistryKey* software = target.registry->Software();
    EXPECT_EQ(Dword(target.Cs(), u"Services\\demo", u"Start"), 3);
    EXPECT_EQ(Text(system, u"Setup", u"Mode"), "setup");
    EXPECT_EQ(Text(software, u"Classes\\x", u"V"), "soft");
    EXPECT_EQ(Text(software, u"Classes\\.demo", u""), "ext");
    EXPECT_EQ(Dword(target.Cs(), u"", u"Top"), 1);
    EXPECT_EQ(Text(system, u"", u"AtRoot"), "root");
    EXPECT_FALSE(Has(system, u"Software"));  // HKLM\Software is the SOFTWARE hive, not a SYSTEM key
    target.ExpectSoundHives();
}

TEST_F(AddRegTest, FlagsAndTypesBelowTheServiceKey)
{
    TestSupport::TraceCapture trace;
    const RegistryContext context{RegistryContext::ServiceKey, u"demo"};
    EXPECT_FALSE(Run(u"Types", &context).failed());
    EXPECT_TRUE(trace.Has(3, "AddReg('Types'): Flag field '0x1g' convert failed"));
    EXPECT_EQ(trace.items.end(), std::find_if(trace.items.begin(), trace.items.end(), [](const auto& t) {
                  return t.level == 3 && t.code != Common::Codes::kInvalidFormat;
              }));
    target.ExpectSoundHives();

    Transvia::RegistryKey* services = target.registry->Services();
    EXPECT_EQ(Text(services, u"demo", u""), "default text");
    // String data gets the target's full paths, from SOFTWARE's SystemRoot (no SFC value).
    EXPECT_EQ(Text(services, u"demo\\Parameters", u"Sz"), "C:\\WINDOWS\\system32\\drivers\\demo.sys");
    EXPECT_EQ(Text(services, u"demo\\Parameters", u"Multi"), "a,C:\\WINDOWS\\system32");  // the empty entry is dropped
    EXPECT_EQ(Text(services, u"demo\\Parameters", u"BadFlags"), "text");
    EXPECT_EQ(Text(services, u"demo\\Parameters", u"Existing"), "old");
    EXPECT_EQ(Text(services, u"demo\\Parameters", u"Absent"), "<none>");
    EXPECT_EQ(Text(services, u"demo\\Parameters", u"Present"), "new");
    EXPECT_EQ(Text(services, u"demo\\Parameters", u"Gone"), "<none>");
    EXPECT_EQ(Text(services, u"demo\\Parameters", u"KeyOnly"), "<none>");
    EXPECT_EQ(Text(services, u"demo\\Parameters", u"Append"), "a,b,c");
    EXPECT_EQ(Text(services, u"demo\\Parameters", u"AppendSz"), "n");
    EXPECT_EQ(Text(services, u"demo\\Parameters", u"Empty"), "");
    EXPECT_TRUE(Has(services, u"demo\\Created"));
    for (const char16_t* name : {u"F1", u"F2", u"F3"})
        EXPECT_GT(Dword(services, u"demo\\Parameters", name), 0) << Processor::ToUtf8(String(name));
    EXPECT_EQ(Dword(services, u"demo\\Parameters", u"Hex"), 16);

    auto parameters = Transvia::OpenExistingKey(*services, u"demo\\Parameters");
    ASSERT_TRUE(parameters);
    auto raw = [&](const char16_t* name, uint32_t& type) {
        uint8_t data[64] = {};
        uint32_t size = sizeof data;
        EXPECT_TRUE(parameters->QueryValue(name, type, data, size)) << Processor::ToUtf8(String(name));
        return std::vector<uint8_t>(data, data + std::min<uint32_t>(size, sizeof data));
    };
    uint32_t type = 0;
    EXPECT_EQ(raw(u"Bytes", type), (std::vector<uint8_t>{0x01, 0xFF, 0x10}));
    EXPECT_EQ(type, Transvia::RegistryKey::TypeBinary);
    EXPECT_EQ(raw(u"BinExpand", type), (std::vector<uint8_t>{0x0A}));
    EXPECT_EQ(type, Transvia::RegistryKey::TypeBinary);
    raw(u"Expand", type);
    EXPECT_EQ(type, Transvia::RegistryKey::TypeExpandString);
    EXPECT_EQ(Text(services, u"demo\\Parameters", u"Expand"), "C:\\WINDOWS\\x");
    raw(u"Multi", type);
    EXPECT_EQ(type, Transvia::RegistryKey::TypeMultiString);
    raw(u"AppendSz", type);
    EXPECT_EQ(type, Transvia::RegistryKey::TypeMultiString);

    // hivex sees the same bytes: REG_BINARY 01 ff 10 and a REG_DWORD 16.
    HiveReaders::HivexTree keys;
    if (!HiveReaders::HaveHivex())
        GTEST_SKIP() << "python3-hivex is not installed";
    target.registry.reset();
    ASSERT_TRUE(HiveReaders::HivexKeys(target.tree.ConfigPath() / "system", keys));
    const std::string& values = keys["ControlSet002\\Services\\demo\\Parameters"].values;
    EXPECT_NE(values.find("Bytes=3:01ff10"), std::string::npos) << values;
    EXPECT_NE(values.find("Hex=4:10000000"), std::string::npos) << values;
    // An empty multi-string is one NUL, as Windows' setup writes it.
    const std::string spaced = " " + values + " ";
    EXPECT_NE(spaced.find(" NoStrings=7:0000 "), std::string::npos) << values;
    EXPECT_NE(spaced.find(" OnlyEmpty=7:0000 "), std::string::npos) << values;
}

TEST_F(AddRegTest, ContextKinds)
{
    const RegistryContext contexts[] = {
        {RegistryContext::ClassKey, u"{4D36E97B-E325-11CE-BFC1-08002BE10318}"},
        {RegistryContext::ServiceKey, u"svc"},
        {RegistryContext::EventLogKey, u"Eventlog\\System\\svc"},
        {RegistryContext::DeviceKey, u"PCI\\VEN_1&DEV_2\\3&0"},
        {RegistryContext::DriverKey, u"0007"},
        {9, u"0009"},  // every kind above 4 is a driver key
    };
    for (const RegistryContext& context : contexts)
        EXPECT_FALSE(Run(u"Context", &context).failed()) << context.kind;
    target.Reopen();
    Transvia::RegistryKey* cs = target.Cs();
    EXPECT_EQ(Dword(cs, u"Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}", u"Here"), 7);
    EXPECT_EQ(Dword(cs, u"Services\\svc", u"Here"), 7);
    EXPECT_EQ(Dword(cs, u"Services\\Eventlog\\System\\svc", u"Here"), 7);
    EXPECT_EQ(Dword(cs, u"Enum\\PCI\\VEN_1&DEV_2\\3&0", u"Here"), 7);
    EXPECT_EQ(Dword(cs, u"Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}\\0007", u"Here"), 7);
    EXPECT_EQ(Dword(cs, u"Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}\\0009", u"Here"), 7);
}

TEST_F(AddRegTest, FailingLinesEndTheSection)
{
    const RegistryContext context{RegistryContext::ServiceKey, u"bad"};
    struct Case {
        const char16_t* section;
        uint32_t code;
        const char* text;
    } cases[] = {
        {u"NoContext", Common::Codes::kInvalidArgument, "AddReg('NoContext'): Invalid argument, no context specified."},
        {u"Hardware", Common::Codes::kUnsupportedRoot, "AddReg('Hardware'): Unsuported subkey of HKLM"},
        {u"Hkcu", Common::Codes::kUnsupportedRoot, "AddReg('Hkcu'): Unsuported HKCU"},
        {u"BadDword", Common::Codes::kInvalidFormat, "AddReg('BadDword'): Invalid format in 'V', for zz."},
        {u"BadByte", Common::Codes::kInvalidFormat, "AddReg('BadByte'): Invalid format '0g', number expected."},
        {u"NoName", Common::Codes::kInvalidFormat, "AddReg('NoName'): Invalid flags if value name empty."},
        {u"Climb", Common::Codes::kRegistryOperationFailed, "AddReg('Climb'): Subkey '..\\..\\Control' not created"},
        {u"ClimbLm", Common::Codes::kRegistryOperationFailed, "AddReg('ClimbLm'): Key to change was not opened."},
        {u"Missing", Common::Codes::kSectionNotFound, "Missing"},
    };
    for (const Case& c : cases) {
        const bool hkr = String(c.section) != String(u"NoContext");
        const Common::Error error = Run(c.section, hkr ? &context : nullptr);
        EXPECT_EQ(error.code(), c.code) << Processor::ToUtf8(String(c.section));
        EXPECT_NE(ErrorText(error).find(c.text), std::string::npos) << ErrorText(error);
    }
    target.Reopen();
    Transvia::RegistryKey* services = target.registry->Services();
    EXPECT_EQ(Dword(services, u"demo", u"Before"), 1);  // lines before the failing one stay
    EXPECT_EQ(Dword(services, u"demo", u"Later"), -1);
    EXPECT_EQ(TargetTest::Subkeys(services, u"bad"), std::vector<std::string>());
    EXPECT_FALSE(Has(target.Cs(), u"Control\\.."));
    target.ExpectSoundHives();
}

TEST(StringList, BuildsAndParsesMultiStringData)
{
    Transvia::StringList list;
    EXPECT_EQ(list.Build(), std::u16string(1, u'\0'));
    list.Append(u"a");
    list.Append(u"");
    list.Append(u"bc");
    EXPECT_EQ(list.Build(), std::u16string(u"a\0bc\0\0", 6));
    const std::u16string data(u"x\0yz\0\0ignored\0", 14);
    Transvia::StringList parsed = Transvia::StringList::Parse(data.data(), data.size());
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[1], String(u"yz"));
    // Data without its terminator ends at the buffer's end.
    EXPECT_EQ(Transvia::StringList::Parse(u"ab", 2).size(), 1u);
}

}  // namespace
