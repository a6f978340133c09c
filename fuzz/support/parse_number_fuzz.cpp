// Fuzz target: any bytes (as UTF-16 units) read by ParseNumber. A number it accepts must
// read the same from its own decimal, 0x and h spellings.
#include <cstdint>
#include <cstdio>
#include <string>

#include "support/parse_number.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2)
        text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    uint64_t value = 0;
    if (!Processor::ParseNumber(text, value))
        return 0;
    char hex[32];
    std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(value));
    const std::string decimal = std::to_string(value);
    for (const std::string& spelling : {decimal, "0x" + std::string(hex), std::string(hex) + "h", "  " + decimal + " "}) {
        uint64_t again = 0;
        if (!Processor::ParseNumber(std::u16string(spelling.begin(), spelling.end()), again) || again != value)
            __builtin_trap();
    }
    return 0;
}
