// Fuzz target: the driver store index reader on any bytes. The input is
// [name length n][n UTF-16 units of the INF name][4-byte split][infpub.dat | infstor.dat].
#include <cstddef>
#include <cstdint>
#include <vector>

#include "inf/memory_file.h"
#include "install/driver_store_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const size_t units = data[0] % 64;
    size_t at = 1;
    if (size < at + 2 * units + 4) return 0;
    Processor::String name;
    for (size_t i = 0; i < units; ++i) name.append(static_cast<char16_t>(data[at + 2 * i] | data[at + 2 * i + 1] << 8));
    at += 2 * units;
    const uint32_t split = data[at] | data[at + 1] << 8 | data[at + 2] << 16 | uint32_t{data[at + 3]} << 24;
    at += 4;
    const size_t rest = size - at;
    const size_t cut = rest == 0 ? 0 : split % (rest + 1);
    Transvia::MemoryFile published(std::vector<uint8_t>(data + at, data + at + cut));
    Transvia::MemoryFile store(std::vector<uint8_t>(data + at + cut, data + size));
    const auto found = Transvia::FindInDriverStoreIndex(published, store, name);
    // A folder name is never empty and always ends within its bound.
    if (found && (found->isEmpty() || found->length() * 2 + 2 > static_cast<int32_t>(Transvia::DriverStoreIndex::kMaxNameBytes)))
        __builtin_trap();
    return 0;
}
