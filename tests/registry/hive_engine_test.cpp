// The hive engine on hives built here: storage layer rules and key/value operations.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "registry/hive_names.h"
#include "registry/reg_key.h"
#include "registry/reg_text.h"
#include "registry_test_util.h"

using namespace Common::Hive;
using RegistryTest::HiveFixture;
using RegistryTest::S;
using RegistryTest::TraceCapture;

namespace {

uint32_t Field(const std::vector<uint8_t>& file, uint64_t offset) { return Get32(file.data() + offset); }

// Data of cell `cell` inside a whole hive file.
const uint8_t* CellData(const std::vector<uint8_t>& file, uint32_t cell) { return file.data() + HBLOCK_SIZE + 4 + cell; }

void Reseal(std::vector<uint8_t>& file) { Put32(file.data() + kBaseChecksum, BaseBlockChecksum(file.data())); }

}  // namespace

TEST(HiveBaseBlock, ChecksumAvoidsZeroAndAllOnes)
{
    std::vector<uint8_t> base(HBLOCK_SIZE, 0);
    EXPECT_EQ(BaseBlockChecksum(base.data()), 1u);  // XOR of nothing but zeros is 0
    Put32(base.data() + 8, 0xFFFFFFFFu);
    EXPECT_EQ(BaseBlockChecksum(base.data()), 0xFFFFFFFEu);
    Put32(base.data() + 12, 0x0F0F0F0Fu);
    EXPECT_EQ(BaseBlockChecksum(base.data()), 0xF0F0F0F0u);
    // Only the words before 0x1FC count.
    Put32(base.data() + kBaseChecksum, 0x12345678u);
    Put32(base.data() + 0x200, 0x12345678u);
    EXPECT_EQ(BaseBlockChecksum(base.data()), 0xF0F0F0F0u);
}

TEST(HiveBaseBlock, SequenceNumbersSyncedOnlyWhenWritable)
{
    HiveFixture h;
    h.create();
    auto file = h.bytes();
    Put32(file.data() + kBasePrimarySequence, 7);
    Put32(file.data() + kBaseSecondarySequence, 5);
    Reseal(file);
    h.put(file);
    { EXPECT_FALSE(h.open(true).empty()); }
    EXPECT_EQ(h.bytes(), file);  // read-only: nothing written
    { EXPECT_FALSE(h.open(false).empty()); }
    const auto after = h.bytes();
    EXPECT_EQ(Field(after, kBasePrimarySequence), 8u);
    EXPECT_EQ(Field(after, kBaseSecondarySequence), 8u);
    EXPECT_EQ(Field(after, kBaseChecksum), BaseBlockChecksum(after.data()));
    EXPECT_TRUE(h.faults().empty());
}

TEST(HiveBaseBlock, NewHiveIsSoundForBothVersions)
{
    for (uint32_t minor : {3u, 5u}) {
        HiveFixture h;
        h.create(minor);
        const auto file = h.bytes();
        ASSERT_EQ(file.size(), 2u * HBLOCK_SIZE);
        EXPECT_EQ(Field(file, kBaseMinor), minor);
        EXPECT_TRUE(h.faults().empty());
        auto root = h.open(true);
        ASSERT_FALSE(root.empty());
        EXPECT_EQ(root.key_name(), S(u"ROOT"));
    }
}

TEST(HiveBaseBlock, RefusesDamagedFilesWithoutWriting)
{
    HiveFixture h;
    h.create();
    const auto good = h.bytes();
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
    };
    const std::vector<Case> cases = {
        {"truncated", [](auto& f) { f.resize(f.size() - 100); }},
        {"short base block", [](auto& f) { f.resize(1000); }},
        {"bad checksum", [](auto& f) { f[kBaseChecksum] ^= 1; }},
        {"bad signature", [](auto& f) { f[0] = 'x'; Reseal(f); }},
        {"major 2", [](auto& f) { Put32(f.data() + kBaseMajor, 2); Reseal(f); }},
        {"minor 6", [](auto& f) { Put32(f.data() + kBaseMinor, 6); Reseal(f); }},
        {"format 2", [](auto& f) { Put32(f.data() + kBaseFormat, 2); Reseal(f); }},
        {"bins size not a multiple", [](auto& f) { Put32(f.data() + kBaseBinsSize, 4000); Reseal(f); }},
        {"bin signature", [](auto& f) { f[HBLOCK_SIZE] = 'x'; }},
        {"cell crossing its bin", [](auto& f) { Put32(f.data() + HBLOCK_SIZE + 0x20, 0u - 8192u); }},
        {"root not a key node", [](auto& f) { f[HBLOCK_SIZE + 0x24] = 'x'; }},
        {"root inside a cell", [](auto& f) { Put32(f.data() + kBaseRootCell, 0x28); Reseal(f); }},
    };
    for (const Case& c : cases) {
        auto file = good;
        c.damage(file);
        h.put(file);
        Common::Error error;
        auto root = Common::file_reg::open_hive(h.dir, u"hive", false, error);
        EXPECT_TRUE(root.empty()) << c.what;
        EXPECT_TRUE(error.failed()) << c.what;
        EXPECT_EQ(h.bytes(), file) << c.what << ": a refused hive must not be written";
    }
}

TEST(HiveStorage, RequestOf4061BytesGetsCell4072InBin8192)
{
    HiveFixture h;
    h.create();
    {
        auto root = h.open();
        uint32_t cell = 0;
        ASSERT_NE(root.hive()->allocate(4061, cell), nullptr);
        EXPECT_EQ(root.hive()->cell_size(cell), 4072u);
        EXPECT_EQ(cell, HBLOCK_SIZE + kBinHeaderSize);  // first cell of the new bin after the first
    }
    const auto file = h.bytes();
    ASSERT_EQ(file.size(), 2u * HBLOCK_SIZE + 8192u);
    EXPECT_EQ(Field(file, HBLOCK_SIZE * 2 + kBinSize), 8192u);
    EXPECT_EQ(Field(file, HBLOCK_SIZE * 2 + kBinSpare), 8192u);
    EXPECT_EQ(Field(file, HBLOCK_SIZE * 2 + 0x0C), 0xFFFFFFFFu);
    EXPECT_EQ(Field(file, kBaseBinsSize), 4096u + 8192u);
    // The rest of the bin is one free cell; the untouched bytes are 0xFF.
    EXPECT_EQ(Field(file, HBLOCK_SIZE * 2 + 0x20 + 4072), 8192u - 32u - 4072u);
    EXPECT_EQ(file[HBLOCK_SIZE * 2 + 0x20 + 4072 + 4], 0xFF);
    EXPECT_TRUE(h.faults().empty());
}

TEST(HiveStorage, FirstFitSplitsOnlyWhenTheRestCanStand)
{
    HiveFixture h;
    h.create();
    auto root = h.open();
    auto& hive = *root.hive();
    uint32_t a = 0, b = 0, c = 0, d = 0, e = 0;
    // A 64-byte cell, freed, then asked for with 8 bytes to spare: taken whole.
    ASSERT_TRUE(hive.allocate(60, a));  // cell 64 (60 + 4 rounded to 8)
    ASSERT_TRUE(hive.allocate(60, b));  // keeps a from merging with the free rest of the bin
    ASSERT_TRUE(hive.allocate(60, e));  // and b, later
    ASSERT_EQ(hive.cell_size(a), 64u);
    ASSERT_TRUE(hive.free_cell(a));
    EXPECT_FALSE(hive.free_cell(a));  // already free
    ASSERT_TRUE(hive.allocate(52, c));  // needs 56
    EXPECT_EQ(c, a);
    EXPECT_EQ(hive.cell_size(c), 64u);
    // 16 bytes to spare: split into the cell and a free 16-byte cell.
    ASSERT_TRUE(hive.free_cell(b));
    ASSERT_TRUE(hive.allocate(44, d));  // needs 48 of 64
    EXPECT_EQ(d, b);
    EXPECT_EQ(hive.cell_size(d), 48u);
    uint8_t field[4];
    ASSERT_TRUE(hive.read_raw(uint64_t(d) + HBLOCK_SIZE + 48, field, 4));
    EXPECT_EQ(Get32(field), 16u);
    // Freed cells merge with free neighbours on either side: d with its free tail, then
    // c with them, then e with all of it and the free rest of the bin.
    ASSERT_TRUE(hive.free_cell(d));
    ASSERT_TRUE(hive.read_raw(uint64_t(d) + HBLOCK_SIZE, field, 4));
    EXPECT_EQ(Get32(field), 64u);
    ASSERT_TRUE(hive.free_cell(c));  // c sits before d: c + d
    ASSERT_TRUE(hive.read_raw(uint64_t(c) + HBLOCK_SIZE, field, 4));
    EXPECT_EQ(Get32(field), 128u);
    ASSERT_TRUE(hive.free_cell(e));  // after them, before the free rest of the bin: one cell
    ASSERT_TRUE(hive.read_raw(uint64_t(c) + HBLOCK_SIZE, field, 4));
    EXPECT_EQ(uint64_t(c) + Get32(field), (uint64_t(c) / HBLOCK_SIZE + 1) * HBLOCK_SIZE);
}

TEST(HiveStorage, WritesStayInsideTheirCell)
{
    HiveFixture h;
    h.create();
    auto root = h.open();
    auto& hive = *root.hive();
    uint32_t cell = 0;
    ASSERT_TRUE(hive.allocate(12, cell));  // a 16-byte cell in memory
    uint8_t bytes[16] = {};
    EXPECT_TRUE(hive.write(cell, bytes, 12));
    EXPECT_FALSE(hive.write(cell, bytes, 16));  // runs into the next cell
}

TEST(HiveStorage, LastBinLargerThanABlockIsNotLoaded)
{
    HiveFixture h;
    h.create();
    {
        auto root = h.open();
        ASSERT_TRUE(root.set_value(std::u16string_view(u"big"), std::vector<uint8_t>(5000, 1).data(), 5000, REG_BINARY));
    }
    auto file = h.bytes();
    ASSERT_EQ(file.size(), 2u * HBLOCK_SIZE + 8192u);  // last bin is 8192 bytes
    TraceCapture traces;
    {
        auto root = h.open();
        ASSERT_FALSE(root.create_key(S(u"next")).empty());
    }
    EXPECT_EQ(traces.Count("It is not a hbin actually, because last one is bigger than HBLOCK_SIZE."), 1);
    EXPECT_EQ(traces.Count("New hbin allocated."), 1);
    file = h.bytes();
    EXPECT_EQ(file.size(), 2u * HBLOCK_SIZE + 8192u + 4096u);
    EXPECT_EQ(Field(file, HBLOCK_SIZE + 4096 + 8192 + kBinOffset), 4096u + 8192u);
    EXPECT_TRUE(h.faults().empty());
}

TEST(HiveStorage, SmallLastBinIsReusedBeforeANewOne)
{
    HiveFixture h;
    h.create();
    TraceCapture traces;
    {
        auto root = h.open();
        ASSERT_FALSE(root.create_key(S(u"a")).empty());
    }
    EXPECT_EQ(traces.Count("New hbin allocated."), 0);
    EXPECT_EQ(h.bytes().size(), 2u * HBLOCK_SIZE);
    EXPECT_TRUE(h.faults().empty());
}

TEST(HiveKeys, FirstListIsLfBelowMinor4AndLhFrom4)
{
    for (uint32_t minor : {3u, 5u}) {
        HiveFixture h;
        h.create(minor);
        uint32_t list = 0;
        {
            auto root = h.open();
            ASSERT_FALSE(root.create_key(S(u"Child")).empty());
            const uint8_t* nk = root.hive()->view(root.cell(), Nk::kName);
            list = Get32(nk + Nk::kSubkeyList);
        }
        const auto file = h.bytes();
        const uint8_t* p = CellData(file, list);
        EXPECT_EQ(Get16(p), minor < 4 ? kSigLf : kSigLh);
        EXPECT_EQ(Get16(p + 2), 1u);
        EXPECT_EQ(Get32(p + 8), minor < 4 ? Common::HiveNames::LfHint(u"Child") : Common::HiveNames::LhHash(u"Child"));
        EXPECT_TRUE(h.faults().empty()) << minor;
    }
}

TEST(HiveKeys, OrderFollowsUpperCaseAndLookupIgnoresCase)
{
    HiveFixture h;
    h.create();
    auto root = h.open();
    ASSERT_FALSE(root.create_key(S(u"abd")).empty());
    ASSERT_FALSE(root.create_key(S(u"Abc")).empty());
    ASSERT_FALSE(root.create_key(S(u"_x")).empty());  // '_' sorts after the letters
    ASSERT_FALSE(root.create_key(S(u"9")).empty());
    ASSERT_EQ(root.subkey_count(), 4u);
    EXPECT_EQ(root.subkey_name(0), S(u"9"));
    EXPECT_EQ(root.subkey_name(1), S(u"Abc"));
    EXPECT_EQ(root.subkey_name(2), S(u"abd"));
    EXPECT_EQ(root.subkey_name(3), S(u"_x"));
    EXPECT_EQ(root.subkey_name(4), S(u""));
    auto found = root.open_key(S(u"ABC"));
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found.key_name(), S(u"Abc"));
    // Creating an existing name in another case reuses the key.
    EXPECT_EQ(root.create_key(S(u"ABD")).cell(), root.open_key(S(u"abd")).cell());
    EXPECT_EQ(root.subkey_count(), 4u);
    EXPECT_TRUE(root.open_key(S(u"Abcd")).empty());
    EXPECT_TRUE(root.open_key(S(u"")).empty());
    EXPECT_TRUE(root.open_key(S(u"\\")).empty());
    EXPECT_EQ(root.open_key(S(u"Abc\\")).cell(), found.cell());  // one trailing backslash is dropped
}

// A list that another writer left out of order (two entries swapped, in one leaf and
// across the leaves of an ri): every key is still found, the fault is traced once, and
// edits still work.
TEST(HiveKeys, ListsOutOfOrderAreStillReadWithOneTrace)
{
    auto name = [](int i) {
        char text[16];
        std::snprintf(text, sizeof text, "K%04d", i);
        return std::u16string(text, text + std::strlen(text));
    };
    for (int count : {40, 1500}) {
        HiveFixture h;
        h.create();
        uint32_t list = 0;
        {
            auto root = h.open();
            for (int i = 0; i < count; ++i)
                ASSERT_FALSE(root.create_subkey(name(i)).empty());
            list = Get32(root.hive()->view(root.cell(), Nk::kName) + Nk::kSubkeyList);
        }
        auto file = h.bytes();
        auto cell = [&](uint32_t offset) { return file.data() + HBLOCK_SIZE + 4 + offset; };
        uint8_t* first = cell(list);
        uint8_t* last = first;
        if (count > 1012) {
            ASSERT_EQ(Get16(first), kSigRi);
            last = cell(Get32(first + 4 + 4 * (Get16(first + 2) - 1u)));
            first = cell(Get32(first + 4));
        }
        ASSERT_EQ(Get16(first), kSigLh);
        uint8_t entry[8];
        uint8_t* tail = last + 4 + 8 * (Get16(last + 2) - 1u);
        std::memcpy(entry, first + 4, 8);
        std::memcpy(first + 4, tail, 8);
        std::memcpy(tail, entry, 8);
        h.put(file);

        TraceCapture trace;
        auto root = h.open();
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(root.find_subkey(name(i)).name(), name(i)) << count;
        EXPECT_TRUE(root.find_subkey(u"K9999").empty());
        EXPECT_EQ(trace.Count("A subkey list is not in order; its keys are looked up one by one."), 1) << count;
        EXPECT_FALSE(root.create_subkey(u"K0000a").empty());
        EXPECT_TRUE(root.delete_subkey(std::u16string_view(u"K0001")));
        EXPECT_FALSE(root.find_subkey(u"K0000a").empty());
        EXPECT_TRUE(root.find_subkey(u"K0001").empty());
        ASSERT_EQ(root.subkey_count(), uint32_t(count));
        std::set<Processor::String> seen;
        for (uint32_t i = 0; i < root.subkey_count(); ++i)
            seen.insert(root.subkey_name(i));
        EXPECT_EQ(seen.size(), size_t(count));
        EXPECT_EQ(seen.count(S(u"K0000a")), 1u);
    }
}

TEST(HiveKeys, NamesAbove255AreStoredAsUtf16)
{
    HiveFixture h;
    h.create();
    auto root = h.open();
    const std::u16string wide = u"\u0416\u0443\u043a";  // Cyrillic
    auto key = root.create_subkey(wide);
    ASSERT_FALSE(key.empty());
    auto latin = root.create_subkey(u"caf\u00e9");
    ASSERT_FALSE(latin.empty());
    const uint8_t* nk = root.hive()->view(key.cell(), Nk::kName + 6);
    EXPECT_EQ(Get16(nk + Nk::kFlags) & Nk::kCompressedName, 0);
    EXPECT_EQ(Get16(nk + Nk::kNameLength), 6u);
    EXPECT_EQ(Get16(nk + Nk::kName), 0x0416u);
    nk = root.hive()->view(latin.cell(), Nk::kName + 4);
    EXPECT_NE(Get16(nk + Nk::kFlags) & Nk::kCompressedName, 0);
    EXPECT_EQ(Get16(nk + Nk::kNameLength), 4u);
    EXPECT_EQ(nk[Nk::kName + 3], 0xE9);
    EXPECT_EQ(root.find_subkey(wide).cell(), key.cell());
    EXPECT_EQ(root.find_subkey(u"\u0436\u0423\u041a").cell(), key.cell());  // upper-case rule beyond ASCII
    EXPECT_EQ(root.find_subkey(u"CAF\u00c9").cell(), latin.cell());
    // The parent's largest subkey name counts UTF-16 bytes.
    const uint8_t* parent = root.hive()->view(root.cell(), Nk::kName);
    EXPECT_EQ(Get32(parent + Nk::kMaxSubkeyName), 8u);
    EXPECT_FALSE(root.create_subkey(std::u16string(256, u'k')).cell());
    EXPECT_TRUE(root.create_subkey(std::u16string(255, u'k')).cell());
}

TEST(HiveKeys, DeleteRefusesKeysWithSubkeysAndFreesLeaves)
{
    HiveFixture h;
    h.create();
    {
        auto root = h.open();
        auto a = root.create_key(S(u"a\\b"));
        ASSERT_FALSE(a.empty());
        ASSERT_TRUE(a.set_dword(S(u"v"), 1));
        ASSERT_FALSE(root.create_key(S(u"c")).empty());
        EXPECT_FALSE(root.delete_subkey(S(u"a")));
        EXPECT_EQ(root.subkey_count(), 2u);
        EXPECT_FALSE(root.open_key(S(u"a\\b")).empty());
        EXPECT_FALSE(root.delete_subkey(S(u"missing")));
        auto parent = root.open_key(S(u"a"));
        EXPECT_TRUE(parent.delete_subkey(S(u"B")));
        EXPECT_EQ(parent.subkey_count(), 0u);
        EXPECT_TRUE(root.delete_subkey(S(u"a")));
        EXPECT_TRUE(root.delete_subkey(S(u"c")));
        EXPECT_EQ(root.subkey_count(), 0u);
        ASSERT_FALSE(root.create_key(S(u"again")).empty());
    }
    EXPECT_TRUE(h.faults().empty());
}

TEST(HiveValues, DwordIsInlineAndQueriesReportSizes)
{
    HiveFixture h;
    h.create();
    auto root = h.open();
    ASSERT_TRUE(root.set_dword(S(u"Start"), 3));
    uint32_t size = 0, type = 0;
    EXPECT_FALSE(root.query_value(S(u"Start"), nullptr, size, type));  // capacity 0
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(type, REG_DWORD);
    uint8_t bytes[4];
    size = 4;
    ASSERT_TRUE(root.query_value(S(u"START"), bytes, size));
    EXPECT_EQ(Get32(bytes), 3u);
    EXPECT_EQ(root.get_dword(S(u"start"), 9), 3u);
    EXPECT_EQ(root.get_dword(S(u"missing"), 9), 9u);
    EXPECT_EQ(root.get_string(S(u"Start"), S(u"dflt")), S(u"dflt"));
    ASSERT_TRUE(root.set_string(S(u"Path"), S(u"C:\\x"), false));
    EXPECT_EQ(root.get_string(S(u"path"), S(u"")), S(u"C:\\x"));
    EXPECT_EQ(root.get_dword(S(u"path"), 5), 5u);
    // Find the value key and look at its raw size field.
    const uint8_t* nk = root.hive()->view(root.cell(), Nk::kName);
    const uint8_t* list = root.hive()->view(Get32(nk + Nk::kValueList), 8);
    const uint8_t* vk = root.hive()->view(Get32(list), Vk::kName);
    EXPECT_EQ(Get32(vk + Vk::kDataSize), 0x80000004u);
    EXPECT_EQ(Get32(vk + Vk::kData), 3u);
    EXPECT_EQ(root.value_count(), 2u);
    EXPECT_EQ(root.value_name(0), S(u"Start"));
    EXPECT_EQ(root.value_name(1), S(u"Path"));
    EXPECT_EQ(root.value_name(2), S(u""));
}

TEST(HiveValues, DeletingTheLastValueLeavesAListThatIsReplaced)
{
    HiveFixture h;
    h.create();
    {
        auto root = h.open();
        ASSERT_TRUE(root.set_dword(S(u"only"), 1));
        ASSERT_TRUE(root.delete_value(S(u"only")));
        EXPECT_FALSE(root.delete_value(S(u"only")));
        EXPECT_EQ(root.value_count(), 0u);
        TraceCapture traces;
        ASSERT_TRUE(root.set_dword(S(u"next"), 2));
        EXPECT_EQ(traces.Count("Keynode with invalid value list found."), 1);
        EXPECT_EQ(root.get_dword(S(u"next"), 0), 2u);
        EXPECT_EQ(root.value_count(), 1u);
    }
    EXPECT_TRUE(h.faults().empty());
}

TEST(HiveValues, SizesAcrossInlineCellAndBigDataBoundaries)
{
    for (uint32_t minor : {3u, 5u}) {
        HiveFixture h;
        h.create(minor);
        const std::vector<uint32_t> sizes = {0, 1, 4, 5, 100, 16344, 16345, 40000, 8, 70000, 3, 16344, 0};
        {
            auto root = h.open();
            for (uint32_t size : sizes) {
                std::vector<uint8_t> data(size);
                for (uint32_t i = 0; i < size; ++i)
                    data[i] = static_cast<uint8_t>(i * 7 + size);
                ASSERT_TRUE(root.set_value(std::u16string_view(u"v"), data.data(), size, REG_BINARY)) << size;
                uint32_t type = 0;
                std::vector<uint8_t> back;
                ASSERT_TRUE(root.read_value(u"v", type, back)) << size;
                EXPECT_EQ(back, data) << size;
                // A second value written fresh at the same size.
                const std::u16string name = u"n" + std::u16string(1, static_cast<char16_t>(u'a' + size % 26));
                ASSERT_TRUE(root.set_value(std::u16string_view(name), data.data(), size, REG_NONE));
            }
        }
        const auto faults = h.faults();
        EXPECT_TRUE(faults.empty()) << minor << ": " << (faults.empty() ? "" : faults.front());
        auto root = h.open();
        std::vector<uint8_t> big(40000, 0x5A);
        ASSERT_TRUE(root.set_value(std::u16string_view(u"big"), big.data(), 40000, REG_BINARY));
        // Big data goes to "db" segments only from minor version 4 on.
        const uint8_t* nk = root.hive()->view(root.cell(), Nk::kName);
        const uint32_t count = Get32(nk + Nk::kValueCount);
        const uint8_t* list = root.hive()->view(Get32(nk + Nk::kValueList), 4 * count);
        const uint8_t* vk = root.hive()->view(Get32(list + 4 * (count - 1)), Vk::kName);
        EXPECT_EQ(Get32(vk + Vk::kDataSize), 40000u);
        const uint8_t* data = root.hive()->view(Get32(vk + Vk::kData), 8);
        EXPECT_EQ(Get16(data) == kSigDb, minor >= 4) << minor;
        if (minor >= 4) {
            EXPECT_EQ(Get16(data + 2), 3u);
        }
        uint32_t type = 0;
        std::vector<uint8_t> back;
        ASSERT_TRUE(root.read_value(u"big", type, back));
        EXPECT_EQ(back, big);
    }
}

TEST(HiveValues, TypeChangeKeepsOneValue)
{
    HiveFixture h;
    h.create();
    auto root = h.open();
    ASSERT_TRUE(root.set_string(S(u"p"), S(u"%SystemRoot%"), false));
    ASSERT_TRUE(root.set_string(S(u"P"), S(u"%SystemRoot%\\x"), true));
    EXPECT_EQ(root.value_count(), 1u);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(root.read_value(u"p", type, data));
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(data.size(), 2u * 14 + 2);
}

TEST(HiveSecurity, NewKeysShareAndCountTheParentDescriptor)
{
    HiveFixture h;
    h.create();
    uint32_t sk = 0;
    {
        auto root = h.open();
        ASSERT_FALSE(root.create_key(S(u"a\\b\\c")).empty());
        sk = Get32(root.hive()->view(root.cell(), Nk::kName) + Nk::kSecurity);
        ASSERT_TRUE(root.open_key(S(u"a\\b")).delete_subkey(S(u"c")));
    }
    const auto file = h.bytes();
    EXPECT_EQ(Get32(CellData(file, sk) + Sk::kRefCount), 3u);  // root, a, b
    EXPECT_TRUE(h.faults().empty());
}

TEST(HiveDamage, LoopingAndSelfReferencingListsEndCleanly)
{
    HiveFixture h;
    h.create();
    uint32_t rootList = 0, b = 0, aCell = 0;
    {
        auto root = h.open();
        auto a = root.create_key(S(u"a"));
        auto bKey = root.create_key(S(u"a\\b"));
        ASSERT_FALSE(bKey.empty());
        aCell = a.cell();
        b = bKey.cell();
        rootList = Get32(root.hive()->view(root.cell(), Nk::kName) + Nk::kSubkeyList);
    }
    auto file = h.bytes();
    // b's subkeys become root's list, which holds a: a -> b -> a -> ...
    uint8_t* nk = file.data() + HBLOCK_SIZE + 4 + b;
    Put32(nk + Nk::kSubkeyCount, 1);
    Put32(nk + Nk::kSubkeyList, rootList);
    h.put(file);
    EXPECT_FALSE(h.faults().empty());
    {
        auto root = h.open();
        std::string text;
        EXPECT_FALSE(Common::RegText::Export(root, u"", u"R", text));  // reported, not followed forever
        EXPECT_NE(text.find("[R\\a\\b]"), std::string::npos);
        EXPECT_EQ(root.open_key(S(u"a\\b\\a\\b\\a")).cell(), aCell);
        EXPECT_FALSE(Common::RegText::DeleteTree(root, u"a"));
        auto key = Transvia::MakeRegistryKey(root);
        EXPECT_FALSE(key->DeleteKey(S(u"a")));
    }

    // An ri list whose entry is the ri itself.
    h.create();
    {
        auto root = h.open();
        ASSERT_FALSE(root.create_key(S(u"x")).empty());
    }
    file = h.bytes();
    const uint32_t rootCell = Get32(file.data() + kBaseRootCell);
    const uint32_t list = Get32(file.data() + HBLOCK_SIZE + 4 + rootCell + Nk::kSubkeyList);
    uint8_t* ri = file.data() + HBLOCK_SIZE + 4 + list;
    Put16(ri, kSigRi);
    Put16(ri + 2, 1);
    Put32(ri + 4, list);
    h.put(file);
    EXPECT_FALSE(h.faults().empty());
    auto root = h.open();
    EXPECT_EQ(root.subkey_name(0), S(u""));
    EXPECT_TRUE(root.open_key(S(u"x")).empty());
    std::vector<uint32_t> cells;
    EXPECT_FALSE(root.subkey_cells(cells));
    EXPECT_TRUE(root.create_key(S(u"y")).empty());  // the list cannot take it: refused, not crashed
    EXPECT_FALSE(root.delete_subkey(S(u"x")));
}
