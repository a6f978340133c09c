// Our side of the import benchmark; hive_import_hivex does the same work through libhivex.
//   hive_import_ours HIVE COUNT [PARENT...]
// COUNT > 0: COUNT keys, each with a string, a DWORD and a 16-byte binary value, spread
// in turn over the PARENT keys (backslash paths below the root; the root when none are
// given), named in an order that lands them all over each list.
// COUNT = 0: for every existing subkey of each PARENT, the subkey is looked up by its
// name, a subkey is made under it and given a value: the small keys of a real hive.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "registry/file_reg.h"
#include "registry/hive_format.h"
#include "support/local_dir.h"
#include "support/text.h"

namespace {

using Common::file_reg;

std::u16string Wide(const char* text)
{
    std::u16string out;
    for (; *text; ++text)
        out.push_back(static_cast<unsigned char>(*text));
    return out;
}

bool AddKey(file_reg& parent, int i)
{
    char name[32], ascii[32];
    std::snprintf(name, sizeof name, "Key%08X", static_cast<unsigned>(i) * 2654435761u);
    const int n = std::snprintf(ascii, sizeof ascii, "Driver %05d", i);
    file_reg key = parent.create_subkey(Wide(name));
    uint8_t text[64];
    for (int j = 0; j <= n; ++j) {
        text[2 * j] = static_cast<uint8_t>(ascii[j]);
        text[2 * j + 1] = 0;
    }
    uint8_t dword[4] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0, 0};
    uint8_t binary[16];
    std::memset(binary, 0xAB, sizeof binary);
    return !key.empty() &&
           key.set_value(std::u16string_view(u"ImagePath"), text, 2 * (n + 1), Common::Hive::REG_SZ) &&
           key.set_value(std::u16string_view(u"Start"), dword, 4, Common::Hive::REG_DWORD) &&
           key.set_value(std::u16string_view(u"Blob"), binary, sizeof binary, Common::Hive::REG_BINARY);
}

bool TouchSubkeys(file_reg& parent)
{
    const uint32_t count = parent.subkey_count();
    for (uint32_t i = 0; i < count; ++i) {
        const Processor::String name = parent.subkey_name(i);
        file_reg key = parent.find_subkey(std::u16string_view(name.getBuffer(), static_cast<size_t>(name.length())));
        file_reg added = key.empty() ? key : key.create_subkey(u"TransviaBench");
        uint8_t dword[4] = {1, 0, 0, 0};
        if (added.empty() || !added.set_value(std::u16string_view(u"Start"), dword, 4, Common::Hive::REG_DWORD))
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    const std::filesystem::path path(argv[1]);
    Common::Error error;
    auto dir = Common::OpenLocalDir(path.parent_path().empty() ? "." : path.parent_path().string(), error);
    if (!dir)
        return 1;
    file_reg root = file_reg::open_hive(dir, Processor::FromUtf8(path.filename().string()), false, error);
    if (root.empty()) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    std::vector<file_reg> parents;
    for (int i = 3; i < argc; ++i) {
        parents.push_back(root.open_key(Processor::FromUtf8(argv[i])));
        if (parents.back().empty()) {
            std::fprintf(stderr, "no key %s\n", argv[i]);
            return 1;
        }
    }
    if (parents.empty())
        parents.push_back(root);
    const int count = std::atoi(argv[2]);
    for (int i = 0; i < count; ++i) {
        if (!AddKey(parents[static_cast<size_t>(i) % parents.size()], i)) {
            std::fprintf(stderr, "write failed at %d\n", i);
            return 1;
        }
    }
    if (count == 0) {
        for (file_reg& parent : parents) {
            if (!TouchSubkeys(parent)) {
                std::fprintf(stderr, "write failed\n");
                return 1;
            }
        }
    }
    return 0;
}
