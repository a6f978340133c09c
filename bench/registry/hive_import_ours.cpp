// Our side of the import benchmark: the same keys and values as hive_import_hivex,
// written through the hive engine and flushed when the root handle goes.
//   hive_import_ours HIVE COUNT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "registry/file_reg.h"
#include "registry/hive_format.h"
#include "support/local_dir.h"
#include "support/text.h"

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const std::filesystem::path path(argv[1]);
    Common::Error error;
    auto dir = Common::OpenLocalDir(path.parent_path().empty() ? "." : path.parent_path().string(), error);
    if (!dir)
        return 1;
    Common::file_reg root = Common::file_reg::open_hive(dir, Processor::FromUtf8(path.filename().string()), false, error);
    if (root.empty()) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    const int count = std::atoi(argv[2]);
    uint8_t binary[16];
    std::memset(binary, 0xAB, sizeof binary);
    for (int i = 0; i < count; ++i) {
        char name[32], ascii[32];
        std::snprintf(name, sizeof name, "Key%05d", i);
        const int n = std::snprintf(ascii, sizeof ascii, "Driver %05d", i);
        char16_t wide[32];
        for (int j = 0; j < 32; ++j)
            wide[j] = static_cast<unsigned char>(name[j]);
        Common::file_reg key = root.create_subkey(std::u16string_view(wide));
        uint8_t text[64];
        for (int j = 0; j <= n; ++j) {
            text[2 * j] = static_cast<uint8_t>(ascii[j]);
            text[2 * j + 1] = 0;
        }
        uint8_t dword[4] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0, 0};
        if (key.empty() || !key.set_value(std::u16string_view(u"ImagePath"), text, 2 * (n + 1), Common::Hive::REG_SZ) ||
            !key.set_value(std::u16string_view(u"Start"), dword, 4, Common::Hive::REG_DWORD) ||
            !key.set_value(std::u16string_view(u"Blob"), binary, sizeof binary, Common::Hive::REG_BINARY)) {
            std::fprintf(stderr, "write failed at %d\n", i);
            return 1;
        }
    }
    return 0;
}
