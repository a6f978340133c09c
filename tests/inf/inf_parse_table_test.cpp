// Table of INF inputs, given as the bytes of the file, with the model or the error each
// must give: the line rules, header errors with their line and column, field splitting.
#include <gtest/gtest.h>

#include "inf_test_util.h"

namespace {

using namespace Transvia;
using InfTest::Dump;
using InfTest::Parse;

struct Case {
    const char* name;
    std::string bytes;
    uint32_t flags;
    // Success: the dump and the number of line reads. Failure: code, line and column.
    bool ok;
    std::string dump;
    uint32_t line;
    uint32_t code = ParseOk;
    uint32_t column = 0;
};

Case Ok(const char* name, std::string bytes, std::string dump, uint32_t line, uint32_t flags = 0)
{
    return Case{name, std::move(bytes), flags, true, std::move(dump), line};
}

Case Fails(const char* name, std::string bytes, uint32_t code, uint32_t line, uint32_t column, uint32_t flags = 0)
{
    return Case{name, std::move(bytes), flags, false, "", line, code, column};
}

std::string Repeat(char c, size_t n)
{
    return std::string(n, c);
}

const std::vector<Case>& Cases()
{
    static const std::vector<Case> cases = {
        Fails("EmptyFile", "", ParseReadError, 0, 0),
        Fails("OneByte", "[", ParseReadError, 0, 0),
        Ok("NoHeaderAtAll", "a=b\nc=d\n", "", 2),
        Ok("OnlyCommentsAndBlanks", ";x\n\n   \n", "", 3),
        Ok("LinesBeforeFirstHeaderJoinIt", "a=b\n[Version]\n", "[VERSION]\na => <b>\n", 2),
        Ok("HeaderWithComment", "[Version] ; note\nSignature=\"$Windows NT$\"\n",
           "[VERSION]\nSignature => <$Windows NT$>\n", 2),
        Ok("HeaderWithoutNewline", "[S]", "[S]\n", 1),
        Fails("TextAfterHeader", "  [Version] x\n", ParseSyntaxError, 1, 2),
        Fails("UnclosedHeaderAfterTab", "[A]\n\t[B\n", ParseSyntaxError, 2, 1),
        Fails("HeaderEndingInBackslash", "[S]\\\n", ParseSyntaxError, 1, 0),
        Ok("BlanksInsideBracketsKept", "[ Version ]\nk=v\n", "[ VERSION ]\nk => <v>\n", 2),
        Fails("EmptyHeader", "[]\n", ParseSyntaxError, 1, 0),
        Ok("BlankHeaderName", "[ ]\nk=v\n", "[ ]\nk => <v>\n", 2),
        Ok("Name255", "[" + Repeat('n', 255) + "]\nk=v\n", "[" + Repeat('N', 255) + "]\nk => <v>\n", 2),
        Fails("Name256", "[" + Repeat('n', 256) + "]\n", ParseSyntaxError, 1, 0),
        Fails("IndentedName256HasColumn0", "  [" + Repeat('n', 256) + "]\n", ParseSyntaxError, 1, 0),
        // The long header is first read as the end of [A] and fails when read again.
        Fails("Name256AfterSectionCountsTwice", "[A]\nk=v\n[" + Repeat('n', 256) + "]\n", ParseSyntaxError, 4, 0),
        Fails("EmptyHeaderAfterSection", "[A]\n\n[]\n", ParseSyntaxError, 5, 0),
        Ok("DuplicateSectionsMerge", "[Strings]\na=1\n[Other]\nx=y\n[strings]\nb=2\n",
           "[OTHER]\nx => <y>\n[STRINGS]\na => <1>\nb => <2>\n", 8),
        Ok("SectionsInCodeUnitOrder", "[b]\n[_x]\n[A]\n[a1]\n", "[A]\n[A1]\n[B]\n[_X]\n", 7),
        Ok("BlankAndCommentLinesReadTwice", "[A]\n\n; c\n[B]\nx=1\n", "[A]\n[B]\nx => <1>\n", 8),
        Ok("QuotedCommaAndTrim", "[S]\nkey = a, \"b, c\" , d\n", "[S]\nkey => <a> <b, c> <d>\n", 2),
        Ok("SemicolonInsideQuotesCuts", "[S]\nx = \"a;b\"\n", "[S]\nx => <a>\n", 2),
        Ok("EmptyAndBlankQuoted", "[S]\nk = \"\", \" \"\n", "[S]\nk => <> < >\n", 2),
        Ok("EqualsInsideQuotes", "[S]\n\"a=b\"=c\n", "[S]\na=b => <c>\n", 2),
        Ok("UnbalancedQuote", "[S]\nk=\"a,b\n", "[S]\nk => <a,b>\n", 2),
        Ok("QuoteInsideFieldHidesComma", "[S]\nk=a\", b\n", "[S]\nk => <a\", b>\n", 2),
        Ok("ClosingQuoteDropped", "[S]\nk=a\"\"  ,b\n", "[S]\nk => <a\"> <b>\n", 2),
        Ok("TrailingEquals", "[S]\nk=\n", "[S]\nk => <>\n", 2),
        Ok("TrailingComma", "[S]\na,b,\n", "[S]\n => <a> <b> <>\n", 2),
        Fails("EmptyKey", "[S]\n=x\n", ParseOk, 2, 0),
        Fails("QuotedEmptyKey", "[S]\n\"\" = x\n", ParseOk, 2, 0),
        Fails("BlankEmptyKey", "[S]\n\xA0 =x\n", ParseOk, 2, 0),
        Fails("EmptyKeyOfContinuedLine", "[S]\n k=1\n=\\\nx\n", ParseOk, 4, 0),
        Ok("QuotedBlankIsAKey", "[S]\n\" \"=x\n", "[S]\n  => <x>\n", 2),
        Ok("QuotedEqualsIsNoKey", "[S]\n\"=x\n\"\"x=y\n", "[S]\n => <=x>\n\"x => <y>\n", 3),
        Ok("Continuation", "[S]\nA = 1,\\\n    2\n", "[S]\nA => <1> <2>\n", 3),
        Ok("ContinuationKeepsBlanksBeforeBackslash", "[S]\nk=a \\\nb\n", "[S]\nk => <a b>\n", 3),
        Ok("ContinuationEndsAtBlankLine", "[S]\nA = 1,\\\n\nB = 2\n", "[S]\nA => <1> <>\nB => <2>\n", 4),
        Ok("ContinuationEndsAtCommentLine", "[S]\nA = 1,\\\n ; c\nB = 2\n", "[S]\nA => <1> <>\nB => <2>\n", 4),
        Fails("ContinuationThenHeader", "[S]\nA = 1,\\\n[T]\n", ParseSyntaxError, 3, 0),
        Fails("ContinuationThenIndentedHeader", "[S]\nA = 1,\\\n   [T]\n", ParseSyntaxError, 3, 3),
        Fails("ContinuationBeforeFirstHeader", "a=1\\\n[S]\n", ParseSyntaxError, 2, 0),
        Ok("ContinuationAtEndOfFileDropped", "[S]\na=1\nb=2\\", "[S]\na => <1>\n", 3),
        Ok("HashCommentsFlag", "[S]\n# x; y\na # b\n  # z\nc = d \\\ne=f\n", "[S]\n => <a # b>\nc => <d \\>\ne => <f>\n",
           6, HashComments),
        Ok("HashIsTextWithoutFlag", "[S]\n# x\n", "[S]\n => <# x>\n", 2),
        Ok("CrLf", "[S]\r\nk = v\r\n", "[S]\nk => <v>\n", 2),
        Ok("LoneCrIsText", "[S]\nk=b\rc=d\n", "[S]\nk => <b\rc=d>\n", 2),
        Ok("Utf8MarkIsTextNotHeader", "\xEF\xBB\xBF[Version]\nk=v\n", "", 2),
        Ok("Utf8MarkLineJoinsFirstSection", "\xEF\xBB\xBF[Version]\n[Strings]\n", "[STRINGS]\n => <\u00EF\u00BB\u00BF[Version]>\n", 2),
        Ok("ByteE9IsU00E9", "[S]\nk=caf\xE9\n", "[S]\nk => <caf\u00E9>\n", 2),
        Ok("ByteA0BlankForFieldsOnly", "[S]\n\xA0k=\xA0v\xA0\n", "[S]\nk => <v>\n", 2),
        Ok("ByteA0BeforeBracketIsNoHeader", "\xA0[T]\n[S]\n", "[S]\n => <[T]>\n", 2),
        Ok("NulEndsTheField", std::string("[S]\nk=a\0b\n", 10), "[S]\nk => <a>\n", 2),
        Ok("BigEndianMarkIsNotRecognised", std::string("\xFE\xFF\0[\0S\0]\0\n", 10), "", 1),
        Ok("Utf16", InfTest::Utf16File(u"[Version]\r\nClass=\u4E2D, \"x\"\r\n[strings]\r\n"),
           "[STRINGS]\n[VERSION]\nClass => <\u4E2D> <x>\n", 4),
        Fails("Utf16IdeographicSpaceIsBlank", InfTest::Utf16File(u"\u3000[S\r\n"), ParseSyntaxError, 1, 1),
        Ok("Utf16OddTrailingByteIgnored", InfTest::Utf16File(u"[S]\nk=v") + "x", "[S]\nk => <v>\n", 2),
        Ok("Utf16Name255", InfTest::Utf16File(u"[" + std::u16string(255, u'\u00E9') + u"]"),
           "[" + InfTest::Utf8(std::u16string(255, u'\u00C9').c_str()) + "]\n", 1),
        Fails("Utf16Name256", InfTest::Utf16File(u"[" + std::u16string(256, u'\u00E9') + u"]"), ParseSyntaxError, 1, 0),
        Ok("Field4097", "[S]\nk=" + Repeat('v', 4097) + "\n", "[S]\nk => <" + Repeat('v', 4097) + ">\n", 2),
        // An empty key fails its section only when the section has been read whole, so a
        // bad header further on is the error reported.
        Fails("EmptyKeyThenBadHeader", "[S]\n=x\n[T\n", ParseSyntaxError, 3, 0),
        Ok("EmptyKeyBeforeAnyHeader", "=x\n", "", 1),
        Ok("QuotedFieldAcross16Bytes", "[S]\nk = \"0123456789abcdef,ghij=\" , x\n",
           "[S]\nk => <0123456789abcdef,ghij=> <x>\n", 2),
        // UTF-16 units whose low byte is ',' '=' or '"' (U+012C, U+013D, U+0122) are letters.
        Ok("Utf16UnitsLikeSeparators",
           std::string("\xFF\xFE[\0S\0]\0\n\0k\0=\0\x2C\x01\x3D\x01\x22\x01,\0b\0\n\0", 26),
           "[S]\nk => <\xC4\xAC\xC4\xBD\xC4\xA2> <b>\n", 2),
        Ok("LineLongerThanReadBuffer", "[S]\nk=" + Repeat('w', 200000) + "\n", "[S]\nk => <" + Repeat('w', 200000) + ">\n", 2),
    };
    return cases;
}

class InfParseTable : public testing::TestWithParam<Case> {};

// Lines split at once or on first use give the same model and the same error.
TEST_P(InfParseTable, GivesExpectedModelOrError)
{
    const Case& c = GetParam();
    for (const uint32_t defer : {0u, uint32_t{DeferEntries}}) {
        SCOPED_TRACE(defer != 0 ? "deferred entries" : "entries at once");
        ParseError error{99, 99, 99};
        auto inf = Parse(c.bytes, c.flags | defer, &error);
        if (c.ok) {
            ASSERT_NE(inf, nullptr) << "code " << error.code << " line " << error.line << " column " << error.column;
            EXPECT_EQ(Dump(*inf), c.dump);
            EXPECT_EQ(error.code, ParseOk);
            EXPECT_EQ(error.column, 0u);
        } else {
            EXPECT_EQ(inf, nullptr);
            EXPECT_EQ(error.code, c.code);
            EXPECT_EQ(error.column, c.column);
        }
        EXPECT_EQ(error.line, c.line);
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, InfParseTable, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
