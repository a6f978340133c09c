#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A structural checker of hive files, independent of the engine's own reading code:
// it works on the file's bytes and reports every fault it finds, one text per fault.
namespace Common {

struct HiveCheckSummary {
    uint32_t minor = 0;
    uint64_t bins = 0;
    uint64_t keys = 0;
    uint64_t values = 0;
    uint64_t security_cells = 0;
    uint64_t bytes = 0;
};

// Faults are appended to `faults`; true when there is none.
bool CheckHive(const uint8_t* bytes, size_t size, std::vector<std::string>& faults, HiveCheckSummary& summary);

// The structure every open of a hive relies on, and all a hive needs to be loaded, as
// Windows loads it: the bins chained from the first with their own offsets, sizes that
// are multiples of 4096 and add up to `bins_size`, cells inside their bins, and the root
// cell an allocated key node. `bins` holds `bins_size` bytes. Null when sound, else what
// is wrong.
const char16_t* CheckBinStructure(const uint8_t* bins, uint32_t bins_size, uint32_t root_cell);

}  // namespace Common
