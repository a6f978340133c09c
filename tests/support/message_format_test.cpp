#include <gtest/gtest.h>
#include <unicode/locid.h>

#include "support/message_format.h"
#include "support/errors.h"
#include "support/text.h"

using Processor::Format;
using Processor::String;
using Processor::Variant;

namespace {

std::string F(const String& pattern, std::initializer_list<Variant> args = {})
{
    return Processor::ToUtf8(Format(pattern, args));
}

class MessageFormatTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale("en_US"), status);
    }
};

TEST_F(MessageFormatTest, NamesTheEngineBuilds)
{
    EXPECT_EQ(F(u"ControlSet{0,number,integer,000}", {1u}), "ControlSet001");
    EXPECT_EQ(F(u"ControlSet{0,number,integer,000}", {12u}), "ControlSet012");
    EXPECT_EQ(F(u"ControlSet{0,number,integer,000}", {1234u}), "ControlSet1234");
    EXPECT_EQ(F(u"oem{0}.inf", {String(u"7")}), "oem7.inf");
    EXPECT_EQ(F(u"{0}.{1}.{2}", {String(u"Inst"), String(u"NTamd64"), String(u"Services")}), "Inst.NTamd64.Services");
    EXPECT_EQ(F(u"\n    Tag: 0x{0,number,hex}", {31u}), "\n    Tag: 0x1F");
}

TEST_F(MessageFormatTest, NumberStyles)
{
    EXPECT_EQ(F(u"{0,number,hex}", {0u}), "0");
    EXPECT_EQ(F(u"{0,number,hex}", {int32_t{-1}}), "FFFFFFFF");
    EXPECT_EQ(F(u"{0,number,hex}", {uint64_t{0xDEADBEEFCAFEull}}), "DEADBEEFCAFE");
    EXPECT_EQ(F(u"{0,number,simple}", {1234567u}), "1234567");
    EXPECT_EQ(F(u"{0,number,simple}", {int64_t{-42}}), "-42");
    EXPECT_EQ(F(u"{0,number,simple}", {int64_t{INT64_MIN}}), "-9223372036854775808");
    EXPECT_EQ(F(u"{0,number}", {1234567u}), "1,234,567");
    EXPECT_EQ(F(u"{0}", {uint64_t{18446744073709551615ull}}), "18446744073709551615");
    EXPECT_EQ(F(u"{0}", {int32_t{-1234}}), "-1234");
    EXPECT_EQ(F(u"{0,number,integer,#}", {0u}), "0");
    // Style names are compared exactly: a different case falls back to the locale format.
    EXPECT_EQ(F(u"{0,number,HEX}", {4096u}), "4,096");
}

void SetLocale(const char* name)
{
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(name), status);
    ASSERT_TRUE(U_SUCCESS(status)) << name;
}

// Names of keys and files must come out the same under a host's locale: Arabic-Indic
// digits or grouping in "ControlSet001" or "oem12.inf" would name something else.
TEST_F(MessageFormatTest, NamesUseAsciiDigitsWithoutGroupingInEveryLocale)
{
    for (const char* locale : {"ar_EG", "fa_IR", "mr_IN", "de_DE", "en_US"}) {
        SetLocale(locale);
        EXPECT_EQ(F(u"ControlSet{0,number,integer,000}", {1u}), "ControlSet001") << locale;
        EXPECT_EQ(F(u"{0,number,integer}", {12345u}), "12345") << locale;
        EXPECT_EQ(F(u"oem{0}.inf", {1234u}), "oem1234.inf") << locale;
        EXPECT_EQ(F(u"{0,number,simple}", {int64_t{-1234567}}), "-1234567") << locale;
        EXPECT_EQ(F(u"0x{0,number,hex}", {0xBEEFu}), "0xBEEF") << locale;
    }
    // Texts meant for a person still follow the locale.
    SetLocale("ar_EG");
    EXPECT_EQ(F(u"{0,number}", {7u}), "\u0667");
}

TEST_F(MessageFormatTest, NarrowTextIsAStringAndOtherPointersDoNotCompile)
{
    EXPECT_EQ(F(u"x{0}", {"abc"}), "xabc");
    EXPECT_EQ(F(u"x{0}", {"\xC3\xA9"}), "x\xC3\xA9");
    EXPECT_EQ(F(u"x{0}", {static_cast<const char*>(nullptr)}), "x<void>");
    static_assert(!std::is_constructible_v<Variant, const int*>);
    static_assert(!std::is_constructible_v<Variant, void*>);
}

TEST_F(MessageFormatTest, PlaceholderScanningRules)
{
    // Index past the arguments reproduces the index in braces, nothing else of the placeholder.
    EXPECT_EQ(F(u"a{1}b", {1u}), "a{1}b");
    EXPECT_EQ(F(u"a{1,number,hex}b", {1u}), "a{1}b");
    EXPECT_EQ(F(u"{x}", {}), "{x}");
    // Leading digits make the index; none give 0.
    EXPECT_EQ(F(u"{0abc}", {String(u"v")}), "v");
    EXPECT_EQ(F(u"{abc}", {String(u"v")}), "v");
    // A fifth and later field is dropped.
    EXPECT_EQ(F(u"{0,number,integer,000,junk,more}", {5u}), "005");
    // Unregistered type: nothing for the placeholder, literal text stays.
    EXPECT_EQ(F(u"before {0,nosuch} after", {1u}), "before  after");
    // Empty type field finds nothing; no type field uses the default.
    EXPECT_EQ(F(u"[{0,,x}]", {String(u"v")}), "[]");
    EXPECT_EQ(F(u"[{0,}]", {String(u"v")}), "[]");
    EXPECT_EQ(F(u"[{0}]", {String(u"v")}), "[v]");
    // Type names are trimmed before lookup.
    EXPECT_EQ(F(u"{0, number ,hex}", {255u}), "FF");
    // Commas and closing braces outside placeholders are literal.
    EXPECT_EQ(F(u"a,b} {0}", {String(u"c")}), "a,b} c");
    // Apostrophes are ordinary text.
    EXPECT_EQ(F(u"Cleanup: Clean '{0}'.", {String(u"pci")}), "Cleanup: Clean 'pci'.");
    // An unterminated placeholder is dropped; the literal text before it stays.
    EXPECT_EQ(F(u"text {0,number", {1u}), "text ");
    EXPECT_EQ(F(u"", {}), "");
}

TEST_F(MessageFormatTest, QuoteCharacter)
{
    const String quote(static_cast<UChar>(0xF800));
    String pattern = quote + u"{0}" + quote + u" {0}";
    EXPECT_EQ(F(pattern, {String(u"x")}), "{0} x");
    // Quoted text inside a placeholder lands in the current field, commas and all.
    String styled = String(u"{0,choice,") + quote + u"0#a,b" + quote + u"}";
    EXPECT_EQ(F(styled, {0u}), "a,b");
    EXPECT_EQ(F(quote + quote, {}), "");
}

TEST_F(MessageFormatTest, NestedPlaceholdersInStyles)
{
    EXPECT_EQ(F(u"{0,choice,0#no files|1#one file|1<{0,number,simple} files}", {0u}), "no files");
    EXPECT_EQ(F(u"{0,choice,0#no files|1#one file|1<{0,number,simple} files}", {1u}), "one file");
    EXPECT_EQ(F(u"{0,choice,0#no files|1#one file|1<{0,number,simple} files}", {5u}), "5 files");
    EXPECT_EQ(F(u"{0} {1,concord,file|files}", {3u, 3u}), "3 files");
    EXPECT_EQ(F(u"{0} {1,concord,one:file|other:files}", {1u, 1u}), "1 file");
    // Nesting to any reasonable depth; a hostile depth is dropped like an unterminated placeholder.
    EXPECT_EQ(F(u"{0,choice,0#{1,choice,0#deep|1#x}|1#y}", {0u, 0u}), "deep");
    String deep(u"x");
    for (int i = 0; i < 5000; ++i) deep.append(u'{');
    EXPECT_EQ(F(deep, {1u}), "x");
}

TEST_F(MessageFormatTest, DefaultSubformatByType)
{
    struct Named : Processor::NamedObject {
        bool has;
        String type;
        Named(bool h, String t) : has(h), type(std::move(t)) {}
        bool NameString(String& name) const override
        {
            if (has) name = u"storage";
            return has;
        }
        String TypeName() const override { return type; }
    };
    EXPECT_EQ(F(u"{0}", {Variant()}), "<void>");
    EXPECT_EQ(F(u"{0}", {true}), "true");
    EXPECT_EQ(F(u"{0}", {Variant(Variant::Binary{1, 2})}), "<binary data>");
    EXPECT_EQ(F(u"{0}", {Variant(Variant::Identifier{u"{4D36E96A-E325-11CE-BFC1-08002BE10318}"})}),
              "{4D36E96A-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(F(u"{0}", {Variant(Variant::Interface(std::make_shared<Named>(true, u"T")))}), "storage");
    EXPECT_EQ(F(u"{0}", {Variant(Variant::Interface(std::make_shared<Named>(false, u"DriverStorage")))}), "<DriverStorage>");
    EXPECT_EQ(F(u"{0}", {Variant(Variant::Interface(std::make_shared<Named>(false, u"")))}), "<unknown interface>");
    const Common::Error error = Common::MakeError(0x1D0007, 1, u"Unable to open 'ntdll.dll'.");
    EXPECT_EQ(F(u"{0}", {error}), "Unable to open 'ntdll.dll'.");
    EXPECT_EQ(F(u"{0,error}", {error}), "0x001D0007: Unable to open 'ntdll.dll'.");
}

TEST_F(MessageFormatTest, MarkersForUnusableValues)
{
    EXPECT_EQ(F(u"{0,date}", {String(u"x")}), "<invalid date>");
    EXPECT_EQ(F(u"{0,date_time}", {Variant(Variant::Date{1e9})}), "<invalid date>");
    EXPECT_EQ(F(u"{0,time_span}", {int32_t{-5}}), "<invalid time span>");
    EXPECT_EQ(F(u"{0,time_span}", {3725u}), "1:02:05");
    EXPECT_EQ(F(u"{0,size}", {512u}), "512 bytes");
    EXPECT_EQ(F(u"{0,size}", {1536u}), "1.5 KB");
    EXPECT_NE(F(u"{0,date,long}", {Variant(Variant::Date{45000.5})}).find("2023"), std::string::npos);
}

TEST_F(MessageFormatTest, Ellipsis)
{
    const String text(u"The quick brown fox jumps");
    EXPECT_EQ(F(u"{0,ellipsis,100}", {text}), "The quick brown fox jumps");
    EXPECT_EQ(F(u"{0,ellipsis,3}", {text}), "The quick brown fox jumps");  // below 4: whole text
    EXPECT_EQ(F(u"{0,ellipsis,14}", {text}), "The quick ...");             // word boundary at 10 <= 11
    EXPECT_EQ(F(u"{0,ellipsis,6}", {String(u"Supercalifragilistic")}), "Sup...");  // no boundary fits
    EXPECT_EQ(F(u"{0,path_ellipsis,20}", {String(u"C:\\Windows\\System32\\drivers\\etc\\hosts")}),
              "C:\\...vers\\etc\\hosts");
}

TEST_F(MessageFormatTest, BufferVariantReportsFullLength)
{
    const Variant args[] = {String(u"abcdef")};
    char16_t buffer[4];
    const size_t length = Processor::Formatter().format(u"x{0}", args, 1, buffer, 4);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(std::u16string(buffer), u"xab");
}

}  // namespace
