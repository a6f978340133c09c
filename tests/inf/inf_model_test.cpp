// The model's accessors, ExpandString, the parser filter, checksums and read errors.
#include <gtest/gtest.h>

#include <map>

#include "inf_test_util.h"

namespace {

using namespace Transvia;
using InfTest::Parse;
using InfTest::Utf8;

const char kSample[] =
    "[Version]\n"
    "Signature=\"$Windows NT$\"\n"
    "ClassGuid={4D36E97B-E325-11CE-BFC1-08002BE10318}\n"
    "LayoutFile=layout.inf\n"
    "Provider=%Msft%\n"
    "[Strings]\n"
    "msft=\"Microsoft\", second\n"
    "Loop=%msft%\n"
    "[Manufacturer]\n"
    "%Msft%=Models\n"
    "%Provider=literal\n"
    "plain line\n"
    "a=0\nb=1\nc=2\nd=3\n";

TEST(InfModel, SectionLookupUpperCasesOnBothSides)
{
    auto inf = Parse(kSample);
    ASSERT_NE(inf, nullptr);
    Section* strings = inf->FindSection(u"strings");
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(Utf8(strings->GetName()), "STRINGS");
    EXPECT_EQ(strings->GetInf(), inf.get());
    EXPECT_EQ(inf->FindSection(u"STRINGS"), strings);
    EXPECT_EQ(inf->FindSection(u"Strings "), nullptr);
    EXPECT_EQ(inf->FindSection(u""), nullptr);
    EXPECT_EQ(inf->FindSection(nullptr), nullptr);
}

TEST(InfModel, SectionIndexFollowsNameOrder)
{
    auto inf = Parse(kSample);
    ASSERT_NE(inf, nullptr);
    ASSERT_EQ(inf->GetSectionCount(), 3u);
    EXPECT_EQ(Utf8(inf->GetSection(0)->GetName()), "MANUFACTURER");
    EXPECT_EQ(Utf8(inf->GetSection(1)->GetName()), "STRINGS");
    EXPECT_EQ(Utf8(inf->GetSection(2)->GetName()), "VERSION");
    EXPECT_EQ(inf->GetSection(3), nullptr);
    EXPECT_EQ(inf->GetSection(-1), nullptr);
}

TEST(InfModel, FindEntryPlainAndTokenForms)
{
    auto inf = Parse(kSample);
    ASSERT_NE(inf, nullptr);
    Section* version = inf->FindSection(u"Version");
    ASSERT_NE(version, nullptr);
    SectionEntry* provider = version->FindEntry(u"%provider%");
    ASSERT_NE(provider, nullptr);
    EXPECT_EQ(Utf8(provider->GetKey()), "Provider");
    EXPECT_EQ(version->FindEntry(u"PROVIDER"), provider);
    EXPECT_EQ(version->FindEntry(u"Provide"), nullptr);
    EXPECT_EQ(version->FindEntry(u"%Provide%"), nullptr);
    EXPECT_EQ(version->FindEntry(u""), nullptr);
    EXPECT_EQ(version->FindEntry(nullptr), nullptr);

    // With one percent sign only, the text is looked up as it stands.
    Section* manufacturer = inf->FindSection(u"Manufacturer");
    SectionEntry* literal = manufacturer->FindEntry(u"%provider");
    ASSERT_NE(literal, nullptr);
    EXPECT_EQ(Utf8(literal->GetField(0)), "literal");
    // The token form strips one percent sign at each end: a key written as a token is
    // found by doubling them.
    EXPECT_EQ(manufacturer->FindEntry(u"%msft%"), nullptr);
    ASSERT_NE(manufacturer->FindEntry(u"%%MSFT%%"), nullptr);
    EXPECT_EQ(Utf8(manufacturer->FindEntry(u"%%MSFT%%")->GetField(0)), "Models");
    // A line without "=" has no key, and no text finds it.
    EXPECT_EQ(manufacturer->FindEntry(u"plain line"), nullptr);
    EXPECT_EQ(manufacturer->FindEntry(u"%%"), nullptr);
    EXPECT_EQ(Utf8(manufacturer->GetEntry(2)->GetField(0)), "plain line");
}

TEST(InfModel, EntriesAndFieldsByIndexInAnyOrder)
{
    auto inf = Parse(kSample);
    ASSERT_NE(inf, nullptr);
    Section* m = inf->FindSection(u"Manufacturer");
    ASSERT_EQ(m->GetEntryCount(), 7u);
    // The cursor makes 0, 1, 2 ... cheap; every other order must still be right.
    const std::vector<std::pair<int32_t, const char*>> walk = {
        {3, "a"}, {4, "b"}, {4, "b"}, {6, "d"}, {0, "%Msft%"}, {1, "%Provider"}, {5, "c"}, {2, ""}, {3, "a"}};
    for (auto [index, key] : walk)
        EXPECT_EQ(Utf8(m->GetEntry(index)->GetKey()), key) << "index " << index;
    EXPECT_EQ(m->GetEntry(7), nullptr);
    EXPECT_EQ(m->GetEntry(-1), nullptr);
    EXPECT_EQ(m->GetEntry(-2), nullptr);
    EXPECT_EQ(Utf8(m->GetEntry(6)->GetKey()), "d") << "an out-of-range call leaves the cursor usable";

    SectionEntry* msft = inf->FindSection(u"Strings")->FindEntry(u"MSFT");
    ASSERT_EQ(msft->GetFieldCount(), 2u);
    EXPECT_EQ(Utf8(msft->GetField(1)), "second");
    EXPECT_EQ(Utf8(msft->GetField(0)), "Microsoft");
    EXPECT_EQ(msft->GetField(2), nullptr);
    EXPECT_EQ(msft->GetField(-1), nullptr);
}

TEST(InfModel, MergedSectionKeepsEntriesHandedOutBefore)
{
    // A filter sees the first [S] and keeps its entry; the second [S] must not move it,
    // whether its lines were split at once or are split on the next access.
    for (const uint32_t flags : {0u, uint32_t{DeferEntries}}) {
        struct Keep : ParserFilter {
            SectionEntry* first = nullptr;
            std::vector<uint32_t> counts;
            bool Accept(Inf&, Section& section) override
            {
                if (first == nullptr)
                    first = section.GetEntry(0);
                counts.push_back(section.GetEntryCount());
                return true;
            }
        } keep;
        auto inf = Parse("[S]\na=1\n[T]\n[s]\nb=2\nc=3\n", flags, nullptr, &keep);
        ASSERT_NE(inf, nullptr);
        EXPECT_EQ((std::vector<uint32_t>{1, 0, 3}), keep.counts);
        Section* s = inf->FindSection(u"S");
        EXPECT_EQ(s->GetEntry(0), keep.first);
        EXPECT_EQ(Utf8(keep.first->GetField(0)), "1");
        EXPECT_EQ(Utf8(s->GetEntry(2)->GetKey()), "c");
        EXPECT_EQ(Utf8(s->FindEntry(u"B")->GetField(0)), "2");
    }
}

TEST(InfModel, VersionFields)
{
    auto inf = Parse(kSample);
    ASSERT_NE(inf, nullptr);
    EXPECT_EQ(Utf8(inf->GetClassGuid()), "{4D36E97B-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(Utf8(inf->GetLayoutFile()), "layout.inf");

    auto empty = Parse("[version]\nclassguid=\nLAYOUTFILE=\"\"\n");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->GetClassGuid(), nullptr);
    EXPECT_EQ(empty->GetLayoutFile(), nullptr);

    auto none = Parse("[Other]\nClassGuid=x\n");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->GetClassGuid(), nullptr);
}

class Resolver : public ExternalVariables {
public:
    std::map<std::u16string, std::u16string> values;
    std::vector<std::u16string> asked;
    Processor::String Resolve(const char16_t* token) override
    {
        asked.emplace_back(token);
        auto found = values.find(token);
        return Processor::String(found != values.end() ? found->second.c_str() : token);
    }
};

TEST(InfExpandString, TokensFromStringsThenResolver)
{
    auto inf = Parse(kSample);
    ASSERT_NE(inf, nullptr);
    Resolver resolver;
    resolver.values[u"%11%"] = u"C:\\Windows\\System32";

    EXPECT_EQ(Utf8(inf->ExpandString(u"%MSFT% drivers", nullptr)), "Microsoft drivers");
    EXPECT_EQ(Utf8(inf->ExpandString(u"%11%\\drivers\\x.sys", &resolver)), "C:\\Windows\\System32\\drivers\\x.sys");
    EXPECT_EQ(resolver.asked, std::vector<std::u16string>{u"%11%"});
    // [Strings] wins over the resolver, which is then not asked.
    resolver.values[u"%msft%"] = u"nobody";
    EXPECT_EQ(Utf8(inf->ExpandString(u"%msft%", &resolver)), "Microsoft");
    EXPECT_EQ(resolver.asked.size(), 1u);
    EXPECT_EQ(Utf8(inf->ExpandString(u"%unknown%", &resolver)), "%unknown%");
    EXPECT_EQ(Utf8(inf->ExpandString(u"a%unknown%b", nullptr)), "a%unknown%b");
    EXPECT_EQ(Utf8(Parse("[Version]\n")->ExpandString(u"%a%", nullptr)), "%a%");
}

TEST(InfExpandString, PercentSignsAndEmptyText)
{
    auto inf = Parse(kSample);
    ASSERT_NE(inf, nullptr);
    EXPECT_EQ(Utf8(inf->ExpandString(u"100%% sure", nullptr)), "100% sure");
    EXPECT_EQ(Utf8(inf->ExpandString(u"%%%msft%", nullptr)), "%Microsoft");
    EXPECT_EQ(Utf8(inf->ExpandString(u"a%%b%%c", nullptr)), "a%b%c");
    EXPECT_EQ(Utf8(inf->ExpandString(u"x%msft%y%tail", nullptr)), "xMicrosofty%tail");
    const char16_t* single = u"50% off";
    EXPECT_EQ(inf->ExpandString(single, nullptr), single) << "no pair: the text itself comes back";
    const char16_t* plain = u"nothing";
    EXPECT_EQ(inf->ExpandString(plain, nullptr), plain);
    EXPECT_EQ(inf->ExpandString(u"", nullptr), nullptr);
    EXPECT_EQ(inf->ExpandString(nullptr, nullptr), nullptr);
    EXPECT_EQ(Utf8(inf->ExpandString(u"%loop%", nullptr)), "%msft%") << "a value is not scanned again";
}

TEST(InfExpandString, ResultBufferIsSharedByAllInfs)
{
    auto first = Parse("[Strings]\na=from first\n");
    auto second = Parse("[Strings]\na=" + std::string(5000, 's') + "\n");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    const char16_t* one = first->ExpandString(u"%a%", nullptr);
    EXPECT_EQ(Utf8(one), "from first");
    const char16_t* two = second->ExpandString(u"<%a%>", nullptr);
    EXPECT_EQ(Utf8(two), "<" + std::string(5000, 's') + ">");
    // A buffer that grew once is reused: the next result starts at the same place.
    const char16_t* three = first->ExpandString(u"%a%", nullptr);
    EXPECT_EQ(three, two);
    EXPECT_EQ(Utf8(three), "from first");
    // An earlier result passed back in is read before the buffer is rewritten.
    EXPECT_EQ(Utf8(first->ExpandString(first->ExpandString(u"%%%a%%%", nullptr), nullptr)), "%from first%");
    EXPECT_EQ(Utf8(first->ExpandString(first->ExpandString(u"%%a%%", nullptr), nullptr)), "from first");
}

TEST(InfFilter, RejectionStopsAfterTheSection)
{
    struct StopAtVersion : ParserFilter {
        std::vector<std::string> seen;
        uint32_t sectionsAtCall = 0;
        bool Accept(Inf& inf, Section& section) override
        {
            seen.push_back(Utf8(section.GetName()));
            sectionsAtCall = inf.GetSectionCount();
            return seen.back() != "VERSION";
        }
    } filter;
    ParseError error{77, 88, 0};
    auto inf = Parse("[A]\n[Version]\nClass=x\n[B]\n[C]\n", 0, &error, &filter);
    EXPECT_EQ(inf, nullptr);
    EXPECT_EQ(filter.seen, (std::vector<std::string>{"A", "VERSION"}));
    EXPECT_EQ(filter.sectionsAtCall, 2u);
    EXPECT_EQ(error.code, ParseRejected);
    EXPECT_EQ(error.line, 77u) << "a rejection writes only the code";
    EXPECT_EQ(error.column, 88u);
}

TEST(InfChecksum, WordSumOfWholeFile)
{
    // "abcde": 0x64636261 + 0x00000065.
    auto inf = Parse("abcde", ComputeChecksum);
    ASSERT_NE(inf, nullptr);
    EXPECT_EQ(inf->GetChecksum(), 0x646362C6u);

    auto without = Parse("abcde");
    ASSERT_NE(without, nullptr);
    EXPECT_EQ(without->GetChecksum(), 0u);

    // Wraps modulo 2^32; the UTF-16 mark is part of the sum.
    std::string bytes = InfTest::Utf16File(u"[S]\n");
    bytes += std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);
    auto wide = Parse(bytes, ComputeChecksum);
    ASSERT_NE(wide, nullptr);
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
        sum += static_cast<uint64_t>(static_cast<uint8_t>(bytes[i])) << (8 * (i % 4));
    EXPECT_EQ(wide->GetChecksum(), static_cast<uint32_t>(sum));
}

TEST(InfReadErrors, FailingReadsReportReadError)
{
    std::string bytes = "[S]\n";
    for (int i = 0; bytes.size() < 300000; ++i)
        bytes += "key" + std::to_string(i) + "=value\n";

    MemoryFile file(bytes);
    file.FailReadsFrom(100000);
    ParseError error;
    EXPECT_EQ(ParseInf(file, nullptr, &error, 0), nullptr);
    EXPECT_EQ(error.code, ParseReadError);
    EXPECT_GT(error.line, 1000u) << "the lines read before the failure are counted";
    EXPECT_EQ(error.column, 0u);

    MemoryFile start("[S]\nk=v\n");
    start.FailReadsFrom(0);
    error = ParseError{5, 5, 5};
    EXPECT_EQ(ParseInf(start, nullptr, &error, ComputeChecksum), nullptr);
    EXPECT_EQ(error.code, ParseReadError);
    EXPECT_EQ(error.line, 0u);

    // Without a record to fill, failures are still failures.
    EXPECT_EQ(Parse("", 0, nullptr), nullptr);
    EXPECT_EQ(Parse("[x", 0, nullptr), nullptr);
    EXPECT_NE(Parse("[x]", 0, nullptr), nullptr);
}

// Comment lines before a header are read again for the next section. When they span more
// than the reader's buffer, going back means reading the file again from an earlier offset.
TEST(InfLargeFiles, RereadAcrossReadBuffers)
{
    std::string bytes = "[A]\n";
    uint32_t aEntries = 0;
    while (bytes.size() < 60000) {
        bytes += "k" + std::to_string(aEntries) + " = v\n";
        ++aEntries;
    }
    const uint32_t comments = 3000;
    for (uint32_t i = 0; i < comments; ++i)
        bytes += "; comment line that is long enough " + std::to_string(i) + "\n";
    bytes += "[B]\nlast=1\n";

    // Counts the reads that do not continue where the previous one ended.
    class JumpCounting final : public Common::i_file {
    public:
        explicit JumpCounting(std::string_view bytes) : inner_(bytes) {}
        size_t read(void* buffer, size_t count) override { return inner_.read(buffer, count); }
        size_t read_at(uint64_t offset, void* buffer, size_t count) override
        {
            if (offset != next_) ++jumps;
            const size_t got = inner_.read_at(offset, buffer, count);
            next_ = offset + got;
            return got;
        }
        int64_t seek(uint64_t offset) override { return inner_.seek(offset); }
        int64_t move(int64_t distance) override { return inner_.move(distance); }
        int64_t size() override { return inner_.size(); }
        void close() override {}
        int jumps = 0;

    private:
        MemoryFile inner_;
        uint64_t next_ = 0;
    } file(bytes);

    ParseError error;
    auto inf = ParseInf(file, nullptr, &error, 0);
    ASSERT_NE(inf, nullptr) << error.code;
    EXPECT_EQ(file.jumps, 1) << "one, back to before the comments";
    EXPECT_EQ(inf->FindSection(u"A")->GetEntryCount(), aEntries);
    ASSERT_EQ(inf->FindSection(u"B")->GetEntryCount(), 1u);
    EXPECT_EQ(Utf8(inf->FindSection(u"B")->GetEntry(0)->GetKey()), "last");
    EXPECT_EQ(error.line, 1 + aEntries + comments + 1 + comments + 1 + 1);
}

TEST(InfLargeFiles, Utf16AcrossReadBuffers)
{
    std::u16string text = u"[S]\r\n";
    for (int i = 0; i < 20000; ++i)
        text += u"k" + std::u16string(1, static_cast<char16_t>(u'\u0100' + i % 256)) + u" = \u00E9t\u00E9, x\r\n";
    text += u"; trailing\r\n[T]\r\n";
    ParseError error;
    auto inf = Parse(InfTest::Utf16File(text), 0, &error);
    ASSERT_NE(inf, nullptr) << error.code;
    Section* s = inf->FindSection(u"s");
    ASSERT_EQ(s->GetEntryCount(), 20000u);
    EXPECT_EQ(Utf8(s->GetEntry(19999)->GetField(0)), "\u00E9t\u00E9");
    EXPECT_EQ(Utf8(s->GetEntry(19999)->GetField(1)), "x");
    EXPECT_EQ(error.line, 1u + 20000 + 2 + 2);
}

// A filter may parse another file while the first parse is still going on.
TEST(InfFilter, NestedParseFromFilter)
{
    struct Nested : ParserFilter {
        std::string inner;
        bool Accept(Inf&, Section& section) override
        {
            auto other = Parse("[Inner]\nx = " + Utf8(section.GetName()) + "\n");
            inner += Utf8(other->FindSection(u"Inner")->GetEntry(0)->GetField(0)) + ";";
            return true;
        }
    } filter;
    auto inf = Parse("[A]\na=1,2\n[B]\nb=3\n", 0, nullptr, &filter);
    ASSERT_NE(inf, nullptr);
    EXPECT_EQ(filter.inner, "A;B;");
    EXPECT_EQ(InfTest::Dump(*inf), "[A]\na => <1> <2>\n[B]\nb => <3>\n");
}

// Scans run over each line in blocks of several characters: fields that end at every
// position within a block, in both encodings, keep exactly their text.
TEST(InfLineLayout, FieldsOfEveryLength)
{
    std::u16string text = u"[S]\r\n";
    for (size_t n = 0; n < 40; ++n) {
        const std::u16string a(n, u'a');
        const std::u16string b(n % 7, u'b');
        text += u"k" + a + u" = \"" + a + u",=\"," + b + u" \t;" + a + u"\r\n";
    }
    for (const bool wide : {false, true}) {
        std::string bytes;
        if (wide) {
            bytes = InfTest::Utf16File(text);
        } else {
            for (char16_t c : text)
                bytes.push_back(static_cast<char>(c));
        }
        auto inf = Parse(bytes);
        ASSERT_NE(inf, nullptr);
        Section* s = inf->FindSection(u"S");
        ASSERT_EQ(s->GetEntryCount(), 40u);
        for (size_t n = 0; n < 40; ++n) {
            SectionEntry* e = s->GetEntry(static_cast<int32_t>(n));
            ASSERT_EQ(e->GetFieldCount(), 2u) << n;
            EXPECT_EQ(Utf8(e->GetKey()), "k" + std::string(n, 'a'));
            EXPECT_EQ(Utf8(e->GetField(0)), std::string(n, 'a') + ",=");
            EXPECT_EQ(Utf8(e->GetField(1)), std::string(n % 7, 'b'));
        }
    }
}

// A line far longer than the parser's first memory block, and many sections met twice.
TEST(InfLineLayout, LongLineAndManySections)
{
    std::string bytes = "[Long]\nkey = " + std::string(300000, 'x') + ",y\n";
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 300; ++i)
            bytes += "[S" + std::to_string(i) + "]\nr" + std::to_string(round) + " = " + std::to_string(i) + "\n";
    }
    auto inf = Parse(bytes);
    ASSERT_NE(inf, nullptr);
    SectionEntry* e = inf->FindSection(u"long")->GetEntry(0);
    ASSERT_EQ(e->GetFieldCount(), 2u);
    EXPECT_EQ(Utf8(e->GetField(0)), std::string(300000, 'x'));
    EXPECT_EQ(Utf8(e->GetField(1)), "y");
    EXPECT_EQ(inf->GetSectionCount(), 301u);
    for (int i = 0; i < 300; ++i) {
        const std::string name = "s" + std::to_string(i);
        Section* s = inf->FindSection(Processor::FromUtf8(name).getTerminatedBuffer());
        ASSERT_NE(s, nullptr) << name;
        ASSERT_EQ(s->GetEntryCount(), 2u) << name;
        EXPECT_EQ(Utf8(s->GetEntry(1)->GetKey()), "r1");
        EXPECT_EQ(Utf8(s->GetEntry(1)->GetField(0)), std::to_string(i));
    }
}

}  // namespace
