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

}  // namespace Common
