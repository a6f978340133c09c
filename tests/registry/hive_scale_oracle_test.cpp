// Long lists, written as a large import writes them, read back by hivex and libregf.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "hive_readers.h"
#include "registry/hive_names.h"
#include "registry_test_util.h"

using namespace Common::Hive;
using RegistryTest::HiveFixture;

namespace {

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

std::string DwordHex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x", value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF,
                  value >> 24);
    return text;
}

}  // namespace

// 10,000 keys inserted in random order, mixed case and '_' (which sorts after the letters
// once upper-cased), then every seventh deleted: the lists stay in Windows' order across
// leaf splits, and our checker, hivex and libregf all read every key.
TEST(HiveScale, RandomInsertsKeepLongListsSorted)
{
    if (!HiveReaders::HaveHivex())
        GTEST_SKIP() << "python3-hivex is not installed";
    static const char16_t kAlphabet[] = u"abcXYZ_019";
    std::mt19937 random(16);
    std::vector<std::u16string> names;
    std::set<std::u16string> upper;
    while (names.size() < 10000) {
        std::u16string name(1 + random() % 8, u'a');
        for (auto& c : name)
            c = kAlphabet[random() % 10];
        std::u16string key;
        for (char16_t c : name)
            key.push_back(c >= u'a' && c <= u'z' ? c - 32 : c);
        if (upper.insert(key).second)
            names.push_back(name);
    }
    HiveFixture h;
    h.create();
    std::map<std::string, uint32_t> expected;
    {
        auto root = h.open();
        for (uint32_t i = 0; i < names.size(); ++i) {
            auto key = root.create_subkey(names[i]);
            ASSERT_FALSE(key.empty()) << i;
            ASSERT_TRUE(key.set_value(std::u16string_view(u"V"), &i, 4, REG_DWORD));
            expected[Narrow(names[i])] = i;
        }
        for (size_t i = 0; i < names.size(); i += 7) {
            ASSERT_TRUE(root.delete_subkey(std::u16string_view(names[i])));
            expected.erase(Narrow(names[i]));
        }
        const uint8_t* list = root.hive()->view(Get32(root.hive()->view(root.cell(), Nk::kName) + Nk::kSubkeyList), 2);
        EXPECT_EQ(Get16(list), kSigRi);  // long enough to have been split
        ASSERT_EQ(root.subkey_count(), expected.size());
        Processor::String previous;
        for (uint32_t i = 0; i < root.subkey_count(); ++i) {
            const Processor::String name = root.subkey_name(i);
            const std::u16string_view a(previous.getBuffer(), previous.length()), b(name.getBuffer(), name.length());
            EXPECT_TRUE(i == 0 || Common::HiveNames::Compare(a, b) < 0) << i;
            previous = name;
        }
    }
    EXPECT_TRUE(h.faults().empty()) << h.faults().front();

    const auto file = h.scratch.path() / "hive";
    HiveReaders::HivexTree tree;
    ASSERT_TRUE(HiveReaders::HivexKeys(file, tree)) << "hivex refuses the hive";
    EXPECT_EQ(tree.size(), expected.size() + 1);
    for (const auto& [name, value] : expected) {
        auto it = tree.find(name);
        ASSERT_NE(it, tree.end()) << name;
        EXPECT_EQ(it->second.values, "V=4:" + DwordHex(value)) << name;
    }
    if (HiveReaders::HaveRegfexport()) {
        std::map<std::string, std::vector<std::string>> keys;
        ASSERT_TRUE(HiveReaders::RegfexportKeys(file, keys)) << "regfexport fails on the hive";
        EXPECT_EQ(keys.size(), expected.size() + 1);
    }
}

// 10,000 DWORD values in one key: the value list grows with headroom instead of being
// copied for every value, so the hive stays a few hundred KB; all of them deleted and
// written again under other names in the same session, the freed room is taken again.
TEST(HiveScale, ManyValuesInOneKeyKeepTheHiveSmall)
{
    if (!HiveReaders::HaveHivex())
        GTEST_SKIP() << "python3-hivex is not installed";
    auto name = [](const char* prefix, uint32_t i) {
        const std::string text = prefix + std::to_string(i);
        return std::u16string(text.begin(), text.end());
    };
    auto setAll = [&](Common::file_reg& key, const char* prefix, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i)
            ASSERT_TRUE(key.set_value(std::u16string_view(name(prefix, i)), &i, 4, REG_DWORD)) << i;
    };
    HiveFixture once;
    once.create();
    {
        auto key = once.open().create_subkey(u"Many");
        setAll(key, "Value", 10000);
    }
    EXPECT_LT(once.bytes().size(), 1024u * 1024u);
    EXPECT_TRUE(once.faults().empty()) << once.faults().front();
    HiveFixture h;
    h.create();
    {
        auto key = h.open().create_subkey(u"Many");
        setAll(key, "Value", 2000);
        for (uint32_t i = 0; i < 2000; ++i)
            ASSERT_TRUE(key.delete_value(std::u16string_view(name("Value", i)))) << i;
        setAll(key, "Other", 2000);
    }
    HiveFixture fresh;
    fresh.create();
    {
        auto key = fresh.open().create_subkey(u"Many");
        setAll(key, "Other", 2000);
    }
    EXPECT_LT(h.bytes().size(), fresh.bytes().size() + fresh.bytes().size() / 4);
    EXPECT_TRUE(h.faults().empty()) << h.faults().front();
    for (HiveFixture* written : {&once, &h}) {
        const bool big = written == &once;
        HiveReaders::HivexTree tree;
        ASSERT_TRUE(HiveReaders::HivexKeys(written->scratch.path() / "hive", tree)) << "hivex refuses the hive";
        const std::string& values = tree["Many"].values;
        EXPECT_EQ(std::count(values.begin(), values.end(), '='), big ? 10000 : 2000);
        const std::string last = big ? "Value9999=4:" + DwordHex(9999) : "Other1999=4:" + DwordHex(1999);
        EXPECT_NE(values.find(last), std::string::npos);
        std::map<std::string, std::vector<std::string>> keys;
        if (HiveReaders::HaveRegfexport()) {
            EXPECT_TRUE(HiveReaders::RegfexportKeys(written->scratch.path() / "hive", keys)) << "regfexport fails";
        }
    }
}
