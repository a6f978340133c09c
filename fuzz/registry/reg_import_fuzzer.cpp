// Imports arbitrary bytes as a .reg file into a small hive, the way `transvia reg import`
// does: parse, edit a working copy, put it in place. Whatever the text, the hive left in
// place must pass the structural checker, as the one it replaced did.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_files.h"
#include "registry/hive_check.h"
#include "registry/hive_commit.h"
#include "registry/hive_file.h"
#include "registry/reg_text.h"
#include "support/local_dir.h"
#include "support/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<Common::RegText::Edit> edits;
    Common::Error error;
    // The first byte picks the prefix rule, as --prefix would.
    const std::u16string prefix = size && (data[0] & 1) ? u"HKEY_LOCAL_MACHINE\\SOFTWARE" : u"";
    if (!Common::RegText::Parse(text, prefix, edits, error))
        return 0;
    auto dir = Common::OpenLocalDir(FuzzFiles::Folder().string(), error);
    if (!dir)
        return 0;
    const Processor::String name = u"hive";
    dir->delete_file(name);
    if (Common::CreateHive(*dir, name, size && (data[0] & 2) ? 3 : 5, u"ROOT").failed())
        std::abort();
    error = Common::EditHiveAtomically(dir, name, [&](Common::file_reg& root, Common::Error& failure) {
        return Common::RegText::Apply(root, edits, failure);
    });
    // The engine refuses to put in place a hive it damaged; that refusal is the bug here.
    if (error.failed() && error.text() &&
        Processor::ToUtf8(std::u16string_view(error.text())).find("structural check") != std::string::npos)
        std::abort();
    const std::vector<uint8_t> result = FuzzFiles::Read(FuzzFiles::Folder() / "hive");
    std::vector<std::string> faults;
    Common::HiveCheckSummary summary;
    if (!Common::CheckHive(result.data(), result.size(), faults, summary))
        std::abort();
    return 0;
}
