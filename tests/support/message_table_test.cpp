#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "support/fixtures.h"
#include "support/message_table.h"
#include "support/text.h"
#include "transvia/codes.h"

namespace {

std::vector<uint8_t> Table(uint32_t count, const std::u16string& firstText, int32_t truncateBy = 0)
{
    std::vector<uint8_t> out;
    auto put32 = [&out](uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    std::u16string block = u"";
    block.push_back(u'\0');
    const uint32_t firstOffset = static_cast<uint32_t>(block.size() * 2);
    block += firstText;
    block.push_back(u'\0');
    put32(count);
    put32(static_cast<uint32_t>(block.size() * 2));
    for (uint32_t i = 0; i < count; ++i) put32(i == 1 ? firstOffset : 0);
    for (char16_t c : block) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.resize(out.size() - static_cast<size_t>(truncateBy));
    return out;
}

TEST(MessageTableTest, RefusesWrongCountsTruncationAndMissingFiles)
{
    TestSupport::ScratchDir scratch;
    const auto bad1269 = scratch.write("1269.msg", Table(1269, u"x"));
    const auto short_ = scratch.write("short.msg", Table(1270, u"x", 3));
    const auto tiny = scratch.write("tiny.msg", std::string("\xF6\x04"));

    for (const auto& path : {bad1269, short_, tiny, scratch.path() / "absent.msg"}) {
        Common::Error error = Common::MessageTable::Load(path.string());
        ASSERT_TRUE(error.failed()) << path;
        EXPECT_EQ(error.code(), Common::Codes::kMessageTableInvalid);
        // The text says which file.
        EXPECT_NE(Processor::ToUtf8(std::u16string_view(error.text())).find(path.filename().string()), std::string::npos);
    }
}

TEST(MessageTableTest, LoadsTheBuiltTableAndReferencesItsTexts)
{
    const std::string built = std::string(TRANSVIA_OUTPUT_DIR) + "/solvane.msg";
    ASSERT_TRUE(Common::MessageTable::Load(built).empty());
    const char16_t* cancelled = Common::MessageTable::Get(Common::Messages::kCancelled);
    EXPECT_GT(std::u16string_view(cancelled).size(), 0u);
    EXPECT_EQ(std::u16string_view(Common::MessageTable::Get(5000)), u"");
    // A table text is referenced by a record, any other text is copied.
    Common::Error referenced = Common::Error::Make(1, 1, cancelled);
    EXPECT_EQ(referenced.text(), cancelled);
    std::u16string own = cancelled;
    Common::Error copied = Common::Error::Make(1, 1, own.c_str());
    EXPECT_NE(copied.text(), own.c_str());
    // Only when the length covers the whole table text; a part of it is copied.
    EXPECT_EQ(Common::Error::Make(1, 1, cancelled, -1, Common::Error()).text(), cancelled);
    EXPECT_EQ(Common::Error::Make(1, 1, cancelled, static_cast<int32_t>(own.size()), Common::Error()).text(), cancelled);
    EXPECT_EQ(std::u16string(Common::Error::Make(1, 1, cancelled, 3, Common::Error()).text()), own.substr(0, 3));
    // Arguments are formatted into numbered messages.
    EXPECT_NE(Processor::ToUtf8(Common::MessageTable::Text(Common::Messages::kDeviceNoDriver, {Processor::String(u"PCI\\VEN_1")}))
                  .find("PCI\\VEN_1"),
              std::string::npos);
}

TEST(MessageTableTest, OffsetsOutsideTheBlockAreRefused)
{
    TestSupport::ScratchDir scratch;
    auto bytes = Table(1270, u"x");
    bytes[8 + 4 * 7] = 0xF0;  // entry 7 points far past the block
    Common::Error error = Common::MessageTable::Load(scratch.write("wild.msg", bytes).string());
    EXPECT_TRUE(error.failed());
}

// Message numbers are named in codes.h and given texts in data/messages.txt: a name
// without a text traces an empty line, a text without a name is dead or mistyped.
TEST(MessageTableTest, EveryNamedMessageHasATextAndEveryTextAName)
{
    std::ifstream header(std::string(TRANSVIA_SOURCE_DIR) + "/include/transvia/codes.h");
    std::stringstream headerText;
    headerText << header.rdbuf();
    const std::string codes = headerText.str();
    const size_t begin = codes.find("namespace Common::Messages {");
    ASSERT_NE(begin, std::string::npos);
    const std::string block = codes.substr(begin, codes.find("}  // namespace Common::Messages") - begin);
    std::map<uint32_t, std::string> named;
    const std::regex constant(R"(constexpr uint32_t (k\w+) = (\d+);)");
    for (std::sregex_iterator it(block.begin(), block.end(), constant), end; it != end; ++it) {
        if ((*it)[1] == "kTableSize") continue;
        const auto number = static_cast<uint32_t>(std::stoul((*it)[2]));
        EXPECT_LT(number, Common::Messages::kTableSize) << (*it)[1];
        EXPECT_TRUE(named.emplace(number, (*it)[1]).second) << (*it)[1] << " shares " << number;
    }
    ASSERT_GT(named.size(), 100u);

    std::ifstream source(std::string(TRANSVIA_SOURCE_DIR) + "/data/messages.txt");
    ASSERT_TRUE(source.is_open());
    std::map<uint32_t, std::string> texts;
    for (std::string line; std::getline(source, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        texts[static_cast<uint32_t>(std::stoul(line.substr(0, tab)))] = line.substr(tab + 1);
    }
    for (const auto& [number, name] : named) {
        const auto text = texts.find(number);
        EXPECT_TRUE(text != texts.end() && !text->second.empty()) << name << " = " << number << " has no text";
    }
    for (const auto& [number, text] : texts) EXPECT_TRUE(named.count(number)) << number << " has no name: " << text;
}

}  // namespace
