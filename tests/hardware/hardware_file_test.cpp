// The hardware description file: both forms, their faults, and writing them back.
#include <gtest/gtest.h>

#include "hardware/hardware_file.h"
#include "support/fixtures.h"

namespace Transvia {
namespace {

using Lists = std::vector<std::vector<std::string>>;

Lists ListsOf(const DeviceList& devices)
{
    Lists lists;
    for (const DeviceIds& device : devices)
        lists.push_back(device.ids());
    return lists;
}

const Lists kMachine{
    {"PCI\\VEN_8086&DEV_2922&SUBSYS_11001AF4&REV_02", "PCI\\VEN_8086&DEV_2922&CC_010601", "PCI\\CC_0106"},
    {"ACPIAPIC", "ACPIAPIC_MP"},
    {"ACPI\\PNP0A08", "*PNP0A08", "ACPI\\PNP0A03", "*PNP0A03"},
};

DeviceList Machine()
{
    DeviceList devices;
    for (const auto& ids : kMachine)
        devices.emplace_back(ids);
    return devices;
}

TEST(HardwareFileTest, ReadsTextForm)
{
    const std::string text =
        "\xEF\xBB\xBF# the machine in the lab\n"
        "PCI\\VEN_8086&DEV_2922&SUBSYS_11001AF4&REV_02 PCI\\VEN_8086&DEV_2922&CC_010601\tPCI\\CC_0106\r\n"
        "\n"
        "   # indented comment\n"
        "ACPIAPIC ACPIAPIC_MP# HAL\n"
        "\t ACPI\\PNP0A08  *PNP0A08 ACPI\\PNP0A03 *PNP0A03   ";
    DeviceList devices;
    HardwareFileError error;
    ASSERT_TRUE(ParseHardwareDescription(text, devices, error)) << error.describe();
    EXPECT_EQ(ListsOf(devices), kMachine);
}

TEST(HardwareFileTest, ReadsJsonForm)
{
    const std::string json = R"(  {"source": {"made by": ["a", {"nested": [1, 2, [3]]}]},
        "devices": [
          ["PCI\\VEN_8086&DEV_2922&SUBSYS_11001AF4&REV_02", "PCI\\VEN_8086&DEV_2922&CC_010601", "PCI\\CC_0106"],
          ["ACPIAPIC", "ACPIAPIC_MP"],
          ["ACPI\\PNP0A08", "*PNP0A08", "ACPI\\PNP0A03", "*PNP0A03"]
        ],
        "note": null})";
    DeviceList devices{{"KEPT"}};
    HardwareFileError error;
    ASSERT_TRUE(ParseHardwareDescription(json, devices, error)) << error.describe();
    Lists expected{{"KEPT"}};
    expected.insert(expected.end(), kMachine.begin(), kMachine.end());
    EXPECT_EQ(ListsOf(devices), expected);

    DeviceList empty;
    EXPECT_TRUE(ParseHardwareJson("\xEF\xBB\xBF{\"devices\": []}", empty, error)) << error.describe();
    EXPECT_TRUE(empty.empty());
    EXPECT_TRUE(ParseHardwareText("", empty, error));
    EXPECT_TRUE(ParseHardwareText("# nothing\n\n", empty, error));
    EXPECT_TRUE(empty.empty());
}

struct Malformed {
    const char* name;
    std::string content;
    const char* message;  // a part of the message
    size_t line;
    size_t column;
};

class MalformedDescriptionTest : public testing::TestWithParam<Malformed> {};

TEST_P(MalformedDescriptionTest, FailsWithPlaceAndLeavesListAlone)
{
    const Malformed& c = GetParam();
    DeviceList devices{{"BEFORE"}};
    HardwareFileError error;
    EXPECT_FALSE(ParseHardwareDescription(c.content, devices, error));
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.describe();
    EXPECT_EQ(error.line, c.line) << error.describe();
    EXPECT_EQ(error.column, c.column) << error.describe();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name(), "BEFORE");
}

const Malformed kMalformed[] = {
    {"EmptyDevice", R"({"devices": [["A"], []]})", "device 2 has no identifiers", 0, 0},
    {"NotAnObject", "{\"devices\": [[\"A\"]]", "JSON syntax", 1, 20},
    {"TopLevelArray", "[[\"A\"]]", "must be an object with a \"devices\" array, not an array", 0, 0},
    {"NoDevices", R"({"other": []})", "no \"devices\" array", 0, 0},
    {"DevicesNotArray", R"({"devices": {"A": "B"}})", "\"devices\" must be an array of devices, not an object", 0, 0},
    {"DeviceNotArray", R"({"devices": ["A"]})", "device 1 must be an array of identifier strings, not a string", 0, 0},
    {"NumberId", R"({"devices": [["A", 1]]})", "device 1: identifiers must be strings, not a number", 0, 0},
    {"NestedId", R"({"devices": [["A"], [["B"]]]})", "device 2: identifiers must be strings, not an array", 0, 0},
    {"SpaceInId", R"({"devices": [["A"], ["B", "PCI VEN"]]})", "device 2, identifier 2: 'PCI VEN' is not", 0, 0},
    {"CommaInId", R"({"devices": [["PCI\\VEN_1,2"]]})", "'PCI\\VEN_1,2' is not a hardware identifier", 0, 0},
    {"NulInId", R"({"devices": [["A\u0000B"]]})", "'A\\x00B' is not a hardware identifier", 0, 0},
    {"NonAsciiId", "{\"devices\": [[\"caf\xC3\xA9\"]]}", "'caf\\xC3\\xA9' is not", 0, 0},
    {"DuplicateDevices", R"({"devices": [], "devices": []})", "\"devices\" appears twice", 0, 0},
    {"TrailingText", "{\"devices\": []}\n# comment", "JSON syntax", 2, 1},
    {"TrailingComma", "{\n  \"devices\": [\n    [\"A\",]\n  ]\n}", "JSON syntax", 3, 10},
    {"BadEscape", "{\"devices\": [[\"PCI\\VEN\"]]}", "JSON syntax", 1, 20},
    {"InvalidUtf8", "{\"devices\": [[\"\xFF\"]]}", "JSON syntax", 1, 16},
    {"TextControlByte", "PCI\\VEN_8086 A\x01" "B\n", "'A\\x01B' is not a hardware identifier", 1, 14},
    {"TextCommaSecondLine", "ok\n  bad,id # no\n", "'bad,id' is not", 2, 3},
    {"TextHighByte", "# fine\r\nok \xE9t\xE9\r\n", "'\\xE9t\\xE9' is not", 2, 4},
    {"TextNul", std::string("A\0B", 3), "'A\\x00B' is not", 1, 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, MalformedDescriptionTest, testing::ValuesIn(kMalformed),
                         [](const testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

TEST(HardwareFileTest, DeepNestingIsRefusedWithoutRecursion)
{
    const size_t depth = 200000;
    DeviceList devices;
    HardwareFileError error;
    // Under an ignored member: accepted up to the parser's own limits, never a crash.
    const std::string ignored = "{\"x\": " + std::string(depth, '[') + std::string(depth, ']') + ", \"devices\": [[\"A\"]]}";
    EXPECT_TRUE(ParseHardwareJson(ignored, devices, error)) << error.describe();
    EXPECT_EQ(devices.size(), 1u);
    // Where devices are expected: refused at the third level.
    const std::string deep = "{\"devices\": " + std::string(depth, '[') + std::string(depth, ']') + "}";
    EXPECT_FALSE(ParseHardwareJson(deep, devices, error));
    EXPECT_NE(error.message.find("device 1: identifiers must be strings, not an array"), std::string::npos);
}

TEST(HardwareFileTest, WritesBothFormsThatReadBackTheSame)
{
    std::string text;
    HardwareFileError error;
    ASSERT_TRUE(FormatHardwareDescription(Machine(), HardwareFileFormat::Text, text, error));
    EXPECT_EQ(text,
              "# one device per line, identifiers most specific first\n"
              "PCI\\VEN_8086&DEV_2922&SUBSYS_11001AF4&REV_02 PCI\\VEN_8086&DEV_2922&CC_010601 PCI\\CC_0106\n"
              "ACPIAPIC ACPIAPIC_MP\n"
              "ACPI\\PNP0A08 *PNP0A08 ACPI\\PNP0A03 *PNP0A03\n");

    std::string json;
    ASSERT_TRUE(FormatHardwareDescription(Machine(), HardwareFileFormat::Json, json, error));
    EXPECT_EQ(json,
              "{\"devices\": [\n"
              "  [\"PCI\\\\VEN_8086&DEV_2922&SUBSYS_11001AF4&REV_02\", \"PCI\\\\VEN_8086&DEV_2922&CC_010601\", "
              "\"PCI\\\\CC_0106\"],\n"
              "  [\"ACPIAPIC\", \"ACPIAPIC_MP\"],\n"
              "  [\"ACPI\\\\PNP0A08\", \"*PNP0A08\", \"ACPI\\\\PNP0A03\", \"*PNP0A03\"]\n"
              "]}\n");

    for (const std::string* written : {&text, &json}) {
        DeviceList back;
        ASSERT_TRUE(ParseHardwareDescription(*written, back, error)) << error.describe();
        EXPECT_EQ(ListsOf(back), kMachine);
    }

    // Text that starts like JSON still reads back as text.
    ASSERT_TRUE(FormatHardwareDescription({{"[E&CC_0200"}, {"{X}"}}, HardwareFileFormat::Text, text, error));
    DeviceList odd;
    ASSERT_TRUE(ParseHardwareDescription(text, odd, error)) << error.describe();
    EXPECT_EQ(ListsOf(odd), (Lists{{"[E&CC_0200"}, {"{X}"}}));

    ASSERT_TRUE(FormatHardwareDescription({}, HardwareFileFormat::Json, json, error));
    EXPECT_EQ(json, "{\"devices\": []}\n");
    DeviceList none;
    EXPECT_TRUE(ParseHardwareDescription(json, none, error));
    EXPECT_TRUE(none.empty());
}

TEST(HardwareFileTest, RefusesToWriteWhatWouldNotReadBack)
{
    std::string out = "unchanged";
    HardwareFileError error;
    EXPECT_FALSE(FormatHardwareDescription({{"A"}, {}}, HardwareFileFormat::Json, out, error));
    EXPECT_EQ(error.message, "device 2 has no identifiers");
    EXPECT_FALSE(FormatHardwareDescription({{"A", "B #C"}}, HardwareFileFormat::Text, out, error));
    EXPECT_NE(error.message.find("'B #C' is not a hardware identifier"), std::string::npos);
    // "#" is allowed in an identifier but starts a comment in the text form.
    EXPECT_FALSE(FormatHardwareDescription({{"A", "B#C"}}, HardwareFileFormat::Text, out, error));
    EXPECT_NE(error.message.find("write JSON instead"), std::string::npos);
    EXPECT_TRUE(FormatHardwareDescription({{"A", "B#C"}}, HardwareFileFormat::Json, out, error));
    DeviceList back;
    ASSERT_TRUE(ParseHardwareDescription(out, back, error));
    EXPECT_EQ(ListsOf(back), (Lists{{"A", "B#C"}}));
    out = "unchanged";
    EXPECT_EQ(out, "unchanged");
}

TEST(HardwareFileTest, LoadsFilesAndReportsWhyNot)
{
    TestSupport::ScratchDir scratch;
    const auto textPath = scratch.write("machine.txt", "ACPIAPIC ACPIAPIC_UP\nPCI\\VEN_8086\n");
    const auto jsonPath = scratch.write("machine.json", "{\"devices\": [[\"ACPIAPIC\"]]}");
    const auto badPath = scratch.write("bad.json", "{\"devices\": [[\"ACPIAPIC\"]}");

    DeviceList devices;
    HardwareFileError error;
    ASSERT_TRUE(LoadHardwareDescription(textPath.string(), devices, error)) << error.describe();
    ASSERT_TRUE(LoadHardwareDescription(jsonPath.string(), devices, error)) << error.describe();
    EXPECT_EQ(ListsOf(devices), (Lists{{"ACPIAPIC", "ACPIAPIC_UP"}, {"PCI\\VEN_8086"}, {"ACPIAPIC"}}));

    EXPECT_FALSE(LoadHardwareDescription(badPath.string(), devices, error));
    EXPECT_EQ(error.line, 1u);
    EXPECT_FALSE(LoadHardwareDescription((scratch.path() / "missing.txt").string(), devices, error));
    EXPECT_NE(error.message.find("cannot open"), std::string::npos);
    EXPECT_FALSE(LoadHardwareDescription(scratch.path().string(), devices, error));
    EXPECT_NE(error.message.find("not a regular file"), std::string::npos);
    EXPECT_EQ(devices.size(), 3u);
}

TEST(HardwareFileTest, DetectsForm)
{
    EXPECT_EQ(DetectHardwareFileFormat(" \n\t{"), HardwareFileFormat::Json);
    EXPECT_EQ(DetectHardwareFileFormat("\xEF\xBB\xBF{}"), HardwareFileFormat::Json);
    EXPECT_EQ(DetectHardwareFileFormat("# {\"devices\": []}\n"), HardwareFileFormat::Text);
    EXPECT_EQ(DetectHardwareFileFormat(""), HardwareFileFormat::Text);
}

}  // namespace
}  // namespace Transvia
