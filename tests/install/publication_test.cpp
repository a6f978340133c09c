// OEM INF names and the publication of a driver package's INF and catalogs into a target
// tree built by the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "inf/win_sources.h"
#include "support/trace_capture.h"
#include "install/name_generator.h"
#include "install/oem_publication.h"
#include "support/fixtures.h"
#include "support/message_format.h"
#include "support/text.h"
#include "transvia/codes.h"

namespace fs = std::filesystem;
using Processor::String;
using namespace Transvia;

namespace {

// Holds oem1.inf .. oem<upTo>.inf and the names given.
class FakeDirectory final : public NameDirectory {
public:
    FakeDirectory(uint32_t upTo, std::set<std::string> names) : upTo_(upTo), names_(std::move(names)) {}
    bool Contains(const String& name) const override
    {
        const std::string text = Processor::ToUtf8(name);
        if (names_.count(text)) return true;
        unsigned n = 0;
        char tail[8] = {};
        return std::sscanf(text.c_str(), "oem%u%7s", &n, tail) == 2 && std::string(tail) == ".inf" && n >= 1 && n <= upTo_;
    }

private:
    uint32_t upTo_;
    std::set<std::string> names_;
};

std::unique_ptr<NameGenerator> OemChain(uint32_t taken, std::set<std::string> names = {})
{
    auto oem = std::make_unique<SubstitutingNameGenerator>(
        std::make_unique<FormatWithNumberNameGenerator>(std::make_unique<IncrementingNumberIterator>()), u"oem{0}.inf");
    auto unique = std::make_unique<UniqueNameGenerator>(std::move(oem), std::make_unique<FakeDirectory>(taken, names),
                                                        kOemInfNameLimit);
    return std::make_unique<SkipExistingEligibleNameGenerator>(std::move(unique),
                                                               std::make_unique<FakeDirectory>(taken, names));
}

std::string Generate(NameGenerator& generator, const char16_t* proposed, Common::Error* error = nullptr)
{
    String out;
    Common::Error result = generator.Generate(proposed, out);
    if (error) *error = result;
    return Processor::ToUtf8(out);
}

TEST(NameGenerator, OemNamesUpToTheLimit)
{
    EXPECT_EQ(Generate(*OemChain(0), u"mydriver.inf"), "mydriver.inf");
    EXPECT_EQ(Generate(*OemChain(3, {"mydriver.inf"}), u"mydriver.inf"), "oem4.inf");
    // Numbers are formatted plainly: no digit grouping in a file name.
    EXPECT_EQ(Generate(*OemChain(9999, {"mydriver.inf"}), u"mydriver.inf"), "oem10000.inf");
    Common::Error error;
    EXPECT_EQ(Generate(*OemChain(10000, {"mydriver.inf"}), u"mydriver.inf", &error), "");
    EXPECT_EQ(error.code(), Common::Codes::kUniqueNamesExhausted);
    EXPECT_NE(Processor::ToUtf8(Processor::RenderError(error)).find("mydriver.inf"), std::string::npos);

    // Each generator numbers on from where it stopped.
    FormatWithNumberNameGenerator numbered(std::make_unique<IncrementingNumberIterator>());
    EXPECT_EQ(Generate(numbered, u"a{0}"), "a1");
    EXPECT_EQ(Generate(numbered, u"b{0}.cat"), "b2.cat");
}

TEST(NameGenerator, InnerErrorsPassThroughUnique)
{
    class Failing final : public NameGenerator {
    public:
        Common::Error Generate(const String&, String&) override
        {
            return Common::Error::Make(Common::Codes::kInvalidArgument, 1, u"inner");
        }
    };
    UniqueNameGenerator unique(std::make_unique<Failing>(), std::make_unique<FakeDirectory>(0, std::set<std::string>{}), 5);
    Common::Error error;
    Generate(unique, u"x", &error);
    EXPECT_EQ(error.code(), Common::Codes::kInvalidArgument);
}

class PublicationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(scratch_.path() / "Windows" / "INF");
        fs::create_directories(scratch_.path() / "Windows" / "System32" / "CatRoot" / "{F750E6C3-38EE-11D1-85E5-00C04FC295EE}");
        scratch_.write("pkg/mydriver.inf", "[Version]\n");
        scratch_.write("pkg/mydriver.cat", "catalog");
        sources_ = CreateWinSources(scratch_.dir(), u"windows");
        ASSERT_TRUE(sources_);
        package_.Add({u"mydriver.sys", u"", u"", u"", 0, 0});
        package_.Add({u"mydriver.inf", u"", u"", u"", 0, FileRecordFlags::kInfFile});
        package_.Add({u"mydriver.cat", u"", u"", u"", 0, FileRecordFlags::kCatalogFile});
    }
    std::set<std::string> Files(const std::string& folder) const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(scratch_.path() / folder)) names.insert(entry.path().filename());
        return names;
    }
    const std::string kCatalogs = "Windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";

    TestSupport::ScratchDir scratch_;
    std::unique_ptr<WinSources> sources_;
    DriverSourcesImpl package_{3};
    TestSupport::TraceCapture trace_;
};

TEST_F(PublicationTest, TheInfKeepsAFreeNameOrTakesTheFirstFreeOemName)
{
    PublishDriverFiles(*scratch_.dir("pkg"), *sources_, package_);
    EXPECT_EQ(Files("Windows/INF"), (std::set<std::string>{"mydriver.inf"}));
    EXPECT_EQ(Files(kCatalogs), (std::set<std::string>{"mydriver.cat"}));
    EXPECT_EQ(scratch_.read(kCatalogs + "/mydriver.cat"), "catalog");

    for (const char* name : {"OEM1.INF", "oem2.inf", "oem3.inf"}) scratch_.write(std::string("Windows/INF/") + name, "");
    scratch_.write("pkg/mydriver.inf", "[Version]\nsecond\n");
    scratch_.write("pkg/mydriver.cat", "another catalog");
    PublishDriverFiles(*scratch_.dir("pkg"), *sources_, package_);
    EXPECT_EQ(scratch_.read("Windows/INF/oem4.inf"), "[Version]\nsecond\n");
    EXPECT_EQ(Files("Windows/INF").size(), 5u);
    // A catalog of the same name is kept: it may be Windows' own.
    EXPECT_EQ(scratch_.read(kCatalogs + "/mydriver.cat"), "catalog");
    EXPECT_NE(trace_.All().find("mydriver.cat"), std::string::npos) << trace_.All();
}

TEST_F(PublicationTest, FromTheTargetsInfFolderNothingIsCopied)
{
    scratch_.write("Windows/INF/mydriver.inf", "[Version]\n");
    scratch_.write("Windows/INF/mydriver.cat", "catalog");
    PublishDriverFiles(*scratch_.dir("Windows/INF"), *sources_, package_);
    EXPECT_EQ(Files("Windows/INF"), (std::set<std::string>{"mydriver.cat", "mydriver.inf"}));
    EXPECT_TRUE(Files(kCatalogs).empty());
}

TEST_F(PublicationTest, FailuresAreTracedAndPassedOver)
{
    // No catalog folder: the catalog is passed over. A hostile name and a missing file are
    // traced; the records after them are still published.
    fs::remove_all(scratch_.path() / "Windows" / "System32" / "CatRoot");
    scratch_.write("pkg/second.inf", "[Version]\n");
    DriverSourcesImpl package(3);
    package.Add({u"..\\..\\evil.inf", u"", u"", u"", 0, FileRecordFlags::kInfFile});
    package.Add({u"missing.inf", u"", u"", u"", 0, FileRecordFlags::kInfFile});
    package.Add({u"mydriver.cat", u"", u"", u"", 0, FileRecordFlags::kCatalogFile});
    package.Add({u"second.inf", u"", u"", u"", 0, FileRecordFlags::kInfFile});
    PublishDriverFiles(*scratch_.dir("pkg"), *sources_, package);
    EXPECT_EQ(Files("Windows/INF"), (std::set<std::string>{"second.inf"}));
    EXPECT_TRUE(trace_.HasCode(Common::Codes::kCopyFilesFailed, "evil.inf")) << trace_.All();
    EXPECT_TRUE(trace_.HasCode(Common::Codes::kCopyFilesFailed, "missing.inf")) << trace_.All();
    EXPECT_FALSE(fs::exists(scratch_.path() / "evil.inf"));
}

}  // namespace
