// Differential tests: what we read and what we write, checked by hivex and libregf.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "registry/hive_commit.h"
#include "registry/hive_names.h"
#include "registry/reg_text.h"
#include "registry_test_util.h"
#include "support/local_dir.h"
#include "transvia/codes.h"

using namespace Common::Hive;
using RegistryTest::HiveFixture;
namespace fs = std::filesystem;

namespace {

const std::string kPython = "/usr/bin/python3";

bool HaveHivex() { return TestSupport::RunCommand(kPython + " -c 'import hivex' 2>/dev/null") == 0; }

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

std::string DumpScript() { return Quoted(fs::path(TRANSVIA_SOURCE_DIR) / "tests/registry/hive_dump.py"); }

// Lines of a dump of a hive made by python3-hivex ("hivex"), or of a .reg export ("reg");
// false when the dump fails (hivex refuses the hive).
bool Dump(const char* mode, const fs::path& file, std::vector<std::string>& lines)
{
    std::string out;
    if (TestSupport::RunCommand(kPython + " " + DumpScript() + " " + mode + " " + Quoted(file) + " 2>/dev/null", &out) != 0)
        return false;
    lines.clear();
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return true;
}

bool HivexDump(const fs::path& hive, std::vector<std::string>& lines) { return Dump("hivex", hive, lines); }
bool RegDump(const fs::path& reg, std::vector<std::string>& lines) { return Dump("reg", reg, lines); }

std::vector<fs::path> SharedHives(const fs::path& data)
{
    std::vector<fs::path> hives;
    for (const auto& entry : fs::recursive_directory_iterator(data / "hives"))
        if (entry.is_regular_file() && entry.path().string().find(".LOG") == std::string::npos)
            hives.push_back(entry.path());
    std::sort(hives.begin(), hives.end());
    return hives;
}

std::shared_ptr<Common::rio_dir> FolderOf(const fs::path& file)
{
    Common::Error error;
    return Common::OpenLocalDir(file.parent_path().string(), error);
}

std::string Hex(const std::vector<uint8_t>& data)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace

TEST(HiveOracle, ExportAgreesWithHivexOnEverySharedHive)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    if (!HaveHivex())
        GTEST_SKIP() << "python3-hivex is not installed";
    TestSupport::ScratchDir scratch;
    int compared = 0, refused = 0;
    for (const fs::path& hive : SharedHives(data)) {
        SCOPED_TRACE(hive.string());
        std::vector<std::string> expected;
        const bool hivexReads = HivexDump(hive, expected);
        Common::Error error;
        // hivex reads the primary file alone, so we read it without its logs too.
        Common::HiveLogPolicy primaryOnly;
        primaryOnly.use_logs = false;
        Common::file_reg root = Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(FolderOf(hive)),
                                                            Processor::FromUtf8(hive.filename().string()), error,
                                                            primaryOnly);
        if (root.empty()) {
            // What we refuse, hivex refuses too, and we say why.
            EXPECT_FALSE(hivexReads);
            EXPECT_EQ(error.code(), Common::Codes::kHiveInvalid);
            ++refused;
            continue;
        }
        std::string text;
        const bool complete = Common::RegText::Export(root, u"", u"R", text);
        if (!hivexReads) {
            EXPECT_FALSE(complete) << "hivex cannot read this hive; we read all of it";
            continue;
        }
        const fs::path reg = scratch.write("export.reg", text);
        std::vector<std::string> ours;
        ASSERT_TRUE(RegDump(reg, ours));
        if (complete) {
            EXPECT_EQ(ours, expected);
        } else {
            // Left out are only names that the text format cannot hold; the rest agrees.
            std::vector<std::string> sortedExpected = expected;
            std::sort(sortedExpected.begin(), sortedExpected.end());
            for (const std::string& line : ours)
                EXPECT_TRUE(std::binary_search(sortedExpected.begin(), sortedExpected.end(), line)) << line;
        }
        ++compared;
    }
    EXPECT_GE(compared, 40);
    EXPECT_GE(refused, 5);
}

TEST(HiveOracle, ExportImportReproducesEveryKeyAndValue)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    const std::vector<std::string> names = {"dissect.regf/SYSTEM",      "nt-hive/testhive",
                                            "hivex/special",            "hivex/rlenvalue_test_hive",
                                            "yarp/ManySubkeysHive",     "yarp/BigDataHive",
                                            "yarp/UnicodeHive",         "python-registry/UNICODE_TESTS",
                                            "yarp/MultiSzHive",         "ericzimmerman-registry/SAM_hasBigEndianDWord"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const fs::path hive = data / "hives" / name;
        Common::Error error;
        Common::file_reg root = Common::file_reg::open_hive(std::shared_ptr<Common::i_dir>(FolderOf(hive)),
                                                            Processor::FromUtf8(hive.filename().string()), error);
        ASSERT_FALSE(root.empty());
        std::string original;
        ASSERT_TRUE(Common::RegText::Export(root, u"", u"R", original));
        std::vector<Common::RegText::Edit> edits;
        ASSERT_TRUE(Common::RegText::Parse(original, u"R", edits, error));

        HiveFixture copy;
        copy.create(root.hive()->minor_version());
        ASSERT_TRUE(Common::EditHiveAtomically(copy.dir, u"hive", [&](Common::file_reg& r, Common::Error& e) {
                        return Common::RegText::Apply(r, edits, e);
                    }).empty());
        EXPECT_TRUE(copy.faults().empty());
        Common::file_reg again = copy.open(true);
        std::string roundTrip;
        ASSERT_TRUE(Common::RegText::Export(again, u"", u"R", roundTrip));
        EXPECT_TRUE(roundTrip == original) << "the re-imported hive exports differently";
    }
}

namespace {

// What a hive should hold: keys by upper-cased path, values in list order.
struct ModelValue {
    std::u16string name;
    uint32_t type;
    std::vector<uint8_t> data;
};
struct ModelKey {
    std::u16string path;  // as stored
    std::vector<ModelValue> values;
};
using Model = std::map<std::u16string, ModelKey>;

std::u16string Upper(std::u16string text)
{
    for (char16_t& c : text)
        c = Processor::UpCase(c);
    return text;
}

std::u16string Wide(const std::string& utf8)
{
    const Processor::String s = Processor::FromUtf8(utf8);
    return std::u16string(s.getBuffer(), static_cast<size_t>(s.length()));
}

std::vector<std::string> Split(const std::string& line)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        parts.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos)
            return parts;
        start = tab + 1;
    }
}

std::vector<uint8_t> Unhex(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Model FromDump(const std::vector<std::string>& lines)
{
    Model model;
    for (const std::string& line : lines) {
        const auto parts = Split(line);
        if (parts[0] == "K") {
            const std::u16string path = Wide(parts[1]);
            model[Upper(path)].path = path;
        } else if (parts.size() == 5) {
            model[Upper(Wide(parts[1]))].values.push_back(
                {Wide(parts[2]), static_cast<uint32_t>(std::stoul(parts[3], nullptr, 16)), Unhex(parts[4])});
        }
    }
    return model;
}

std::vector<std::string> Lines(const Model& model)
{
    std::vector<std::string> lines;
    for (const auto& [upper, key] : model) {
        lines.push_back("K\t" + Processor::ToUtf8(key.path));
        for (const auto& v : key.values) {
            char type[16];
            std::snprintf(type, sizeof type, "%x", v.type);
            lines.push_back("V\t" + Processor::ToUtf8(key.path) + "\t" + Processor::ToUtf8(v.name) + "\t" + type + "\t" +
                            Hex(v.data));
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::u16string RandomName(std::mt19937& random)
{
    static const std::u16string alphabets[] = {
        u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-. {}",
        u"\u00e0\u00e9\u00df\u00ff\u00c6\u00d8\u00e6\u00f8\u00b5abcXYZ",
        u"\u0416\u0436\u03a3\u03c3\u4e2d\u6587\u0627\u05d0\u0130\u0131\u1e9e",
    };
    const std::u16string& alphabet = alphabets[random() % 3];
    std::u16string name;
    const size_t length = 1 + random() % 12;
    for (size_t i = 0; i < length; ++i)
        name.push_back(alphabet[random() % alphabet.size()]);
    return name;
}

void RunRandomEdits(const fs::path& source, uint32_t newMinor, uint32_t seed, int operations)
{
    HiveFixture h;
    if (source.empty()) {
        h.create(newMinor);
    } else {
        h.put(TestSupport::ReadFileBytes(source));
    }
    const fs::path file = h.scratch.path() / "hive";
    std::vector<std::string> before;
    ASSERT_TRUE(HivexDump(file, before));
    Model model = FromDump(before);

    std::mt19937 random(seed);
    const uint32_t sizes[] = {0, 1, 2, 3, 4, 5, 8, 100, 4090, 4097, 16343, 16344, 16345, 20000, 40000, 70000};
    const uint32_t types[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD, 0x20};
    auto pick = [&]() -> const std::u16string& {
        auto it = model.begin();
        std::advance(it, random() % model.size());
        return it->first;
    };
    const Common::Error error = Common::EditHiveAtomically(h.dir, u"hive", [&](Common::file_reg& root, Common::Error&) {
        for (int op = 0; op < operations; ++op) {
            const std::u16string parentUpper = pick();
            const ModelKey parentModel = model[parentUpper];
            Common::file_reg parent =
                parentModel.path.empty()
                    ? root
                    : root.open_key(Processor::String(parentModel.path.data(), static_cast<int32_t>(parentModel.path.size())));
            EXPECT_FALSE(parent.empty());
            if (parent.empty())
                return false;
            const int what = static_cast<int>(random() % 10);
            if (what < 3) {  // create a key
                const std::u16string name = RandomName(random);
                const std::u16string path = parentModel.path.empty() ? name : parentModel.path + u"\\" + name;
                if (model.count(Upper(path)))
                    continue;
                EXPECT_FALSE(parent.create_subkey(name).empty());
                model[Upper(path)].path = path;
            } else if (what < 8) {  // set a value
                std::u16string name = random() % 8 == 0 ? std::u16string() : RandomName(random);
                const uint32_t size = sizes[random() % std::size(sizes)];
                const uint32_t type = types[random() % std::size(types)];
                std::vector<uint8_t> data(size);
                for (auto& b : data)
                    b = static_cast<uint8_t>(random());
                EXPECT_TRUE(parent.set_value(std::u16string_view(name), data.data(), size, type));
                auto& values = model[parentUpper].values;
                auto it = std::find_if(values.begin(), values.end(),
                                       [&](const ModelValue& v) { return Common::HiveNames::Same(v.name, name); });
                if (it == values.end())
                    values.push_back({name, type, data});
                else
                    *it = {it->name, type, data};
            } else if (what < 9) {  // delete a value
                auto& values = model[parentUpper].values;
                if (values.empty())
                    continue;
                const size_t index = random() % values.size();
                EXPECT_TRUE(parent.delete_value(std::u16string_view(values[index].name)));
                values.erase(values.begin() + static_cast<ptrdiff_t>(index));
            } else {  // delete a subtree (never the root)
                if (parentModel.path.empty())
                    continue;
                const size_t slash = parentModel.path.rfind(u'\\');
                const std::u16string grand = slash == std::u16string::npos ? u"" : parentModel.path.substr(0, slash);
                Common::file_reg up = grand.empty() ? root : root.open_key(Processor::String(grand.data(), static_cast<int32_t>(grand.size())));
                EXPECT_TRUE(Common::RegText::DeleteTree(up, parentModel.path.substr(slash == std::u16string::npos ? 0 : slash + 1)));
                for (auto it = model.begin(); it != model.end();) {
                    if (it->first == parentUpper || it->first.rfind(parentUpper + u"\\", 0) == 0)
                        it = model.erase(it);
                    else
                        ++it;
                }
            }
        }
        return true;
    });
    ASSERT_TRUE(error.empty()) << (error.text() ? Processor::ToUtf8(std::u16string_view(error.text())) : "");
    const auto faults = h.faults();
    EXPECT_TRUE(faults.empty()) << faults.size() << " faults, first: " << (faults.empty() ? "" : faults.front());

    std::vector<std::string> after;
    ASSERT_TRUE(HivexDump(file, after)) << "hivex refuses the hive we wrote";
    std::sort(after.begin(), after.end());
    EXPECT_TRUE(after == Lines(model)) << "hivex reads something else than was written";

    if (TestSupport::HaveProgram("regfexport")) {
        std::string out;
        EXPECT_EQ(TestSupport::RunCommand("regfexport " + Quoted(file) + " 2>&1", &out), 0);
        size_t keys = 0, values = 0;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) {
            keys += line.rfind("Key path: ", 0) == 0;
            values += line.rfind("Value: ", 0) == 0;
        }
        size_t expectedValues = 0;
        for (const auto& [upper, key] : model)
            expectedValues += key.values.size();
        EXPECT_EQ(keys, model.size());
        EXPECT_EQ(values, expectedValues);
        EXPECT_EQ(out.find("Unable"), std::string::npos) << out.substr(0, 2000);
    }
}

}  // namespace

TEST(HiveOracle, RandomEditsOnNewHivesAgreeWithHivexAndLibregf)
{
    if (!HaveHivex())
        GTEST_SKIP() << "python3-hivex is not installed";
    RunRandomEdits({}, 3, 11, 400);
    RunRandomEdits({}, 5, 12, 400);
}

// One test per hive, so that each stays well inside the time limit of a test.
class RandomEditsOnRealHive : public ::testing::TestWithParam<const char*> {};

TEST_P(RandomEditsOnRealHive, AgreesWithHivexAndLibregf)
{
    TV_REQUIRE_SHARED_TESTDATA(data);
    if (!HaveHivex())
        GTEST_SKIP() << "python3-hivex is not installed";
    const std::string name = GetParam();
    RunRandomEdits(data / "hives" / name, 0, static_cast<uint32_t>(std::hash<std::string>()(name)), 300);
}

INSTANTIATE_TEST_SUITE_P(HiveOracle, RandomEditsOnRealHive,
                         ::testing::Values("hivex/minimal", "hivex/special", "nt-hive/testhive", "yarp/ManySubkeysHive",
                                           "python-registry/UNICODE_TESTS", "yarp/BigDataHive",
                                           "plaso/regf_100_sub_keys.hiv", "dissect.regf/SYSTEM"));
