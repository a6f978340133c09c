// Arbitrary patterns and arguments through the formatter: it must never fail or crash.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/message_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    // First byte picks the argument kinds; the rest is the pattern as UTF-16.
    const uint8_t kinds = data[0];
    ++data;
    --size;
    Processor::String pattern(reinterpret_cast<const char16_t*>(data), static_cast<int32_t>(size / 2));

    Processor::Variant arguments[3];
    for (int i = 0; i < 3; ++i) {
        switch ((kinds >> (2 * i)) & 3) {
        case 0: arguments[i] = Processor::Variant(static_cast<uint32_t>(size * 7919u)); break;
        case 1: arguments[i] = Processor::Variant(Processor::String(pattern, 0, 40)); break;
        case 2: arguments[i] = Processor::Variant(-static_cast<double>(size) / 3.0); break;
        default: arguments[i] = Processor::Variant(static_cast<int64_t>(INT64_MIN) + static_cast<int64_t>(size)); break;
        }
    }
    const size_t count = (kinds >> 6) % 4;
    Processor::String out = Processor::Formatter().format(pattern, arguments, count);
    char16_t buffer[16];
    Processor::Formatter().format(pattern, arguments, count, buffer, sizeof buffer / sizeof buffer[0]);
    return out.length() >= 0 ? 0 : 1;
}
