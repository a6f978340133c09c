// Every INF file and txtsetup.oem of the shared real-world corpus parses, or fails with a
// reported error, and its whole model can be walked and expanded.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "inf_test_util.h"
#include "support/fixtures.h"

namespace {

using namespace Transvia;
using InfTest::Utf8;

std::string LowerName(const std::filesystem::path& path)
{
    std::string name = path.filename().string();
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

bool IsInfInput(const std::filesystem::path& path)
{
    const std::string name = LowerName(path);
    return name == "txtsetup.oem" || (name.size() > 4 && name.ends_with(".inf"));
}

std::unique_ptr<Inf> ParseFile(const std::filesystem::path& path, ParseError& error, uint32_t flags = 0)
{
    const std::vector<uint8_t> bytes = TestSupport::ReadFileBytes(path);
    MemoryFile file(bytes);
    // txtsetup.oem files are read with '#' comments, as the engine reads them.
    const bool oem = LowerName(path) == "txtsetup.oem";
    return ParseInf(file, nullptr, &error, flags | (oem ? HashComments | ComputeChecksum : ComputeChecksum));
}

TEST(InfCorpus, EveryFileParsesOrReportsItsError)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    size_t parsed = 0;
    size_t failed = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(data / "inf")) {
        if (!item.is_regular_file() || !IsInfInput(item.path()))
            continue;
        ParseError error{~0u, ~0u, ~0u};
        auto inf = ParseFile(item.path(), error);
        // The scan's parse, which splits lines on first use, gives the same model.
        ParseError deferredError{~0u, ~0u, ~0u};
        auto deferred = ParseFile(item.path(), deferredError, DeferEntries);
        EXPECT_EQ(deferred != nullptr, inf != nullptr) << item.path();
        EXPECT_EQ(std::tie(deferredError.code, deferredError.line, deferredError.column),
                  std::tie(error.code, error.line, error.column)) << item.path();
        if (inf && deferred) {
            EXPECT_EQ(InfTest::Dump(*deferred), InfTest::Dump(*inf)) << item.path();
        }
        if (!inf) {
            ++failed;
            EXPECT_TRUE(error.code == ParseReadError || error.code == ParseSyntaxError || error.code == ParseOk)
                << item.path() << " code " << error.code;
            EXPECT_GT(error.line, 0u) << item.path();
            continue;
        }
        ++parsed;
        EXPECT_EQ(error.code, ParseOk);
        // Walk everything and expand every field, so the sanitizers see every pointer.
        size_t fields = 0;
        for (uint32_t s = 0; s < inf->GetSectionCount(); ++s) {
            Section* section = inf->GetSection(static_cast<int32_t>(s));
            EXPECT_EQ(inf->FindSection(section->GetName()), section) << item.path();
            for (uint32_t e = 0; e < section->GetEntryCount(); ++e) {
                SectionEntry* entry = section->GetEntry(static_cast<int32_t>(e));
                ASSERT_GE(entry->GetFieldCount(), 1u);
                for (uint32_t f = 0; f < entry->GetFieldCount(); ++f) {
                    inf->ExpandString(entry->GetField(static_cast<int32_t>(f)), nullptr);
                    ++fields;
                }
            }
        }
        EXPECT_GT(fields, 0u) << item.path();
    }
    EXPECT_GT(parsed, 90u);
    EXPECT_LT(failed, 10u);
    RecordProperty("parsed", static_cast<int>(parsed));
    RecordProperty("failed", static_cast<int>(failed));
}

TEST(InfCorpus, KnownFacts)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    ParseError error;

    // UTF-16LE with the FF FE mark.
    auto cdrom = ParseFile(data / "inf/microsoft-Windows-driver-samples/storage/class/cdrom/src/cdrom.inf", error);
    ASSERT_NE(cdrom, nullptr) << error.code << " line " << error.line;
    EXPECT_EQ(Utf8(cdrom->GetClassGuid()), "{4D36E965-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(Utf8(cdrom->FindSection(u"version")->FindEntry(u"class")->GetField(0)), "CDROM");

    auto wine = ParseFile(data / "inf/wine-8.0-debian/usr/share/wine/wine.inf", error);
    ASSERT_NE(wine, nullptr) << error.code << " line " << error.line;
    EXPECT_EQ(wine->GetSectionCount(), 79u) ;
    EXPECT_NE(wine->FindSection(u"DefaultInstall"), nullptr);

    auto oem = ParseFile(data / "inf/virtio-win-kvm-guest-drivers-windows/viostor/txtsetup.oem", error);
    ASSERT_NE(oem, nullptr) << error.code << " line " << error.line;
    EXPECT_NE(oem->FindSection(u"Disks"), nullptr);
}

}  // namespace
