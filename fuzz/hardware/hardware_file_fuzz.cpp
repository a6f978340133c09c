// Fuzz target: a hardware description in either form from any bytes. What parses must
// write back in both forms and read back as the same devices.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hardware/hardware_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    Transvia::DeviceList devices;
    Transvia::HardwareFileError error;
    if (!Transvia::ParseHardwareDescription(content, devices, error)) {
        if (error.message.empty() || !devices.empty())
            std::abort();  // a refusal must say why and leave the list alone
        return 0;
    }
    bool hasHash = false;
    for (const auto& device : devices)
        for (const auto& id : device)
            hasHash = hasHash || id.find('#') != std::string::npos;
    for (auto format : {Transvia::HardwareFileFormat::Text, Transvia::HardwareFileFormat::Json}) {
        std::string written;
        Transvia::DeviceList back;
        if (!Transvia::FormatHardwareDescription(devices, format, written, error)) {
            if (format == Transvia::HardwareFileFormat::Text && hasHash)
                continue;  // "#" cannot be written in the text form, and that is said
            std::abort();
        }
        if (!Transvia::ParseHardwareDescription(written, back, error) || back.size() != devices.size())
            std::abort();
        for (size_t i = 0; i < devices.size(); ++i)
            if (back[i].ids() != devices[i].ids())
                std::abort();
    }
    return 0;
}
