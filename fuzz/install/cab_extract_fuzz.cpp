// Fuzz target: any bytes as a cabinet in a folder, every entry it lists (up to eight)
// extracted through CabSourceImpl as the engine extracts Driver Cache files. A failed
// extraction must leave nothing behind in the destination folder.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "install/cab_source.h"
#include "support/copy.h"
#include "support/local_dir.h"
#include "support/text.h"

namespace {

struct Folders {
    std::shared_ptr<Common::rio_dir> root, cabinets, out;
    Folders()
    {
        char path[] = "/tmp/cab-fuzz-XXXXXX";
        if (::mkdtemp(path) == nullptr) std::abort();
        Common::Error error;
        root = Common::OpenLocalDir(path, error);
        if (!root || !root->create_dir(u"cab") || !root->create_dir(u"out")) std::abort();
        cabinets = root->open_dir_rw(u"cab");
        out = root->open_dir_rw(u"out");
    }
};

// The names of the entries libmspack lists, read through our own system interface.
std::vector<Processor::String> EntryNames(Transvia::CabSystem& system, const std::shared_ptr<Common::rio_dir>& folder)
{
    std::vector<Processor::String> names;
    Transvia::CabSystem::Active active(system);
    mscab_decompressor* cabd = mspack_create_cab_decompressor(system.get());
    if (cabd == nullptr) return names;
    if (mscabd_cabinet* cab = cabd->open(cabd, system.AddCabinet(folder, u"fuzz.cab"))) {
        for (const mscabd_file* file = cab->files; file != nullptr && names.size() < 8; file = file->next)
            names.push_back(Processor::FromUtf8(file->filename));
        cabd->close(cabd, cab);
    }
    mspack_destroy_cab_decompressor(cabd);
    return names;
}

bool Empty(const Common::i_dir& folder)
{
    auto it = folder.entries();
    Common::dir_entry entry;
    return it && !it->next(entry);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Folders folders;
    static Transvia::CabSourceImpl source;
    Transvia::CabSystem lister;  // the cabinet names it hands out live as long as it does
    if (!Common::ReplaceFile(*folders.cabinets, u"fuzz.cab", data, size).empty()) std::abort();
    for (const Processor::String& name : EntryNames(lister, folders.cabinets)) {
        if (source.Extract(name, *folders.out, u"result.bin", *folders.cabinets)) {
            folders.out->delete_file(u"result.bin");
        } else if (!Empty(*folders.out)) {
            __builtin_trap();  // a failed extraction left a file behind
        }
    }
    return 0;
}
