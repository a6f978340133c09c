#include "entry/platform.h"

#include <cstring>

#include "support/errors.h"

namespace Transvia {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

[[noreturn]] void Fail(Logger& logger, uint64_t site, const char16_t* text, const Common::Error& cause = Common::Error())
{
    const Common::Error error = Common::MakeError(Common::Codes::kPlatformUndetermined, site, text, cause);
    logger.WriteError(4, error);
    throw error;
}

}  // namespace

uint32_t DetectPlatform(const Common::i_dir& target, const Processor::String& windowsDir, Logger& logger)
{
    std::shared_ptr<Common::i_dir> windows = target.open_dir(windowsDir);
    if (!windows) Fail(logger, TV_HERE, u"Unable to open 'system32' directory.", target.last_error());

    std::shared_ptr<Common::i_file> file = windows->open_file(u"System32\\ntdll.dll");
    if (!file || !windows->last_error().empty() || !file->last_error().empty())
        Fail(logger, TV_HERE, u"Unable to open 'ntdll.dll'.", windows->last_error());

    uint8_t dos[64];
    if (file->read(dos, sizeof dos) != sizeof dos || !file->last_error().empty())
        Fail(logger, TV_HERE, u"Failed access 'ntdll.dll', to detect platform.", file->last_error());
    if (Le16(dos) != 0x5A4D) Fail(logger, TV_HERE, u"'ntdll.dll' magic doesn't equal.");

    const uint32_t ntOffset = Le32(dos + 60);
    const int64_t position = file->seek(ntOffset);
    if (position != static_cast<int64_t>(ntOffset) || !file->last_error().empty())
        Fail(logger, TV_HERE, u"Access internal 'ntdll.dll' failed.", file->last_error());

    uint8_t nt[24];
    if (file->read(nt, sizeof nt) != sizeof nt || !file->last_error().empty())
        Fail(logger, TV_HERE, u"Read 'ntdll.dll' image header failed.", file->last_error());
    if (Le32(nt) != 0x00004550) Fail(logger, TV_HERE, u"Image 'ntdll.dll' nt signature doesn't equal");
    file->close();

    switch (Le16(nt + 4)) {
    case 0x014C: return Platform::kX86;
    case 0x0200: return Platform::kIa64;
    case 0x8664: return Platform::kAmd64;
    default: return Platform::kUnknown;
    }
}

Processor::String PlatformDecoration(uint32_t platform)
{
    return Processor::String(InfPlatform::Decoration(platform));
}

void ReplaceHal(DeviceList& devices, const DeviceList& hals)
{
    if (hals.empty()) return;
    for (const char* kind : kHalKinds) {
        for (auto it = devices.begin(); it != devices.end(); ++it) {
            if (it->contains(kind)) {
                devices.erase(it);
                break;
            }
        }
    }
    devices.insert(devices.end(), hals.begin(), hals.end());
}

}  // namespace Transvia
