// Opens arbitrary bytes as a hive, exports every key and value, checks the structure,
// then applies a few edits chosen by the input and checks the result again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_files.h"
#include "registry/file_reg.h"
#include "registry/hive_check.h"
#include "registry/reg_text.h"
#include "support/local_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> faults;
    Common::HiveCheckSummary summary;
    Common::CheckHive(data, size, faults, summary);

    const std::filesystem::path file = FuzzFiles::Folder() / "hive";
    FuzzFiles::Write(file, data, size);
    Common::Error error;
    auto dir = Common::OpenLocalDir(FuzzFiles::Folder().string(), error);
    if (!dir)
        return 0;
    {
        // What `reg export` does, without a cap of its own: the engine must bound the walk.
        Common::file_reg root = Common::file_reg::open_hive(dir, u"hive", true, error);
        if (root.empty())
            return 0;
        size_t written = 0;
        Common::RegText::Export(root, u"", u"R", [&written](std::string_view text) { written += text.size(); });
    }
    try {
        Common::file_reg root = Common::file_reg::open_hive(dir, u"hive", false, error);
        if (root.empty())
            return 0;
        // A few edits steered by the last bytes of the input.
        const uint8_t steer = size ? data[size - 1] : 0;
        std::vector<uint8_t> blob(steer * 97u + 1u, steer);
        Common::file_reg key = root.create_key(u"Fuzz\\Key\u00e9\\\u0416");
        key.set_value(std::u16string_view(u"v"), blob.data(), static_cast<uint32_t>(blob.size()), 3);
        key.set_dword(u"d", steer);
        root.set_string(u"s", u"text", steer & 1);
        if (steer & 2)
            key.delete_value(std::u16string_view(u"v"));
        if (root.subkey_count() > 0)
            root.delete_subkey(root.subkey_name(steer % root.subkey_count()));
        root.create_key(u"Fuzz").delete_subkey(std::u16string_view(u"Key\u00e9"));
    } catch (const Common::Error&) {
        // An unreadable subkey list during insertion: reported, nothing to do.
    }
    const std::vector<uint8_t> result = FuzzFiles::Read(file);
    faults.clear();
    Common::CheckHive(result.data(), result.size(), faults, summary);
    return 0;
}
