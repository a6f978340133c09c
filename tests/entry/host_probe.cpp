// A host that uses only the public API: runs InstallDrivers on a target folder and
// prints what came back, one line per record of the error chain, and the traces it got.
//   probe TARGET [--device "ID ID..."]... [STORAGE]...
// Without --device the new machine has one AHCI controller.
#include <cstdio>
#include <sstream>
#include <string>

#include "transvia/transvia.h"

namespace {

std::string Narrow(const char16_t* text)
{
    std::string out;
    for (; text && *text; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

void OnText(const char*, Common::EventLevel level, uint32_t facility, uint32_t code, const char16_t* text)
{
    std::printf("trace %d %u %u %s\n", static_cast<int>(level), facility, code, Narrow(text).c_str());
}

void OnError(const char*, Common::EventLevel level, const Common::Error& error)
{
    std::printf("trace-error %d 0x%X %s\n", static_cast<int>(level), error.code(), Narrow(error.text()).c_str());
    for (Common::Error cause = error.cause(); !cause.empty(); cause = cause.cause())
        std::printf("  cause 0x%X %s\n", cause.code(), Narrow(cause.text()).c_str());
}

class Hardware final : public Transvia::HardwareEnvironment {
public:
    void EnumerateDevices(Common::Error&, Transvia::DeviceList&) const override {}
    void EnumerateInstallDevices(Common::Error&, Transvia::DeviceList& devices) const override { devices = devices_; }
    Transvia::DeviceList devices_;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return 2;
    SetTraceRedirection(&OnText, nullptr, &OnError);
    Common::Error error;
    auto target = Common::OpenLocalDirectory(argv[1], &error);
    if (!target) return 3;
    Hardware hardware;
    Transvia::InstallDriversParams params;
    params.hardware = &hardware;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--device" && i + 1 < argc) {
            // One device: its identifiers separated by spaces, most specific first.
            Transvia::DeviceIds device;
            std::istringstream ids(argv[++i]);
            for (std::string id; ids >> id;) device.push_back(id);
            hardware.devices_.push_back(device);
        } else if (auto storage = Transvia::CreateFolderStorage(arg)) {
            params.storages.push_back(storage);
        } else {
            return 4;
        }
    }
    if (hardware.devices_.empty()) hardware.devices_.push_back(Transvia::DeviceIds{"PCI\\VEN_8086&DEV_2922&CC_010601"});
    const Common::Error result = InstallDrivers(target.get(), L"Windows", &params);
    for (Common::Error e = result; !e.empty(); e = e.cause())
        std::printf("error 0x%X %s\n", e.code(), Narrow(e.text()).c_str());
    return result.failed() ? 1 : 0;
}
