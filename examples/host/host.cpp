// A minimal host of libtransvia: hands the engine a restored target, one folder of
// driver packages and (optionally) the new machine's hardware identifiers, prints the
// engine's traces and its result.
//   transvia_host TARGET WINDOWS_FOLDER DRIVER_FOLDER [HARDWARE_ID...]
#include <transvia/transvia.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const char16_t* text)
{
    std::string out;
    icu::UnicodeString(text).toUTF8String(out);
    return out;
}

std::wstring Wide(const char* utf8)
{
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(utf8);
    std::wstring out(static_cast<size_t>(text.countChar32()), L'\0');
    UErrorCode status = U_ZERO_ERROR;
    text.toUTF32(reinterpret_cast<UChar32*>(out.data()), static_cast<int32_t>(out.size()), status);
    return out;
}

// `text` is valid only during the call: it is converted (copied) right here.
void PrintTrace(const char*, Common::EventLevel level, uint32_t, uint32_t, const char16_t* text)
{
    std::printf("trace %d: %s\n", static_cast<int>(level), Utf8(text).c_str());
}

// Each identifier given on the command line is one device.
class CommandLineHardware final : public Transvia::HardwareEnvironment {
public:
    CommandLineHardware(char** first, char** last) : first_(first), last_(last) {}
    void EnumerateDevices(Common::Error&, Transvia::DeviceList& devices) const override
    {
        for (char** id = first_; id != last_; ++id) devices.push_back(Transvia::DeviceIds{*id});
    }
    void EnumerateInstallDevices(Common::Error& error, Transvia::DeviceList& devices) const override
    {
        EnumerateDevices(error, devices);
    }

private:
    char** first_;
    char** last_;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s TARGET WINDOWS_FOLDER DRIVER_FOLDER [HARDWARE_ID...]\n", argv[0]);
        return 2;
    }
    SetTraceRedirection(&PrintTrace, nullptr, nullptr);

    Common::Error error;
    std::shared_ptr<Common::rio_dir> target = Common::OpenLocalDirectory(argv[1], &error);
    std::shared_ptr<Transvia::DriverStorage> drivers = target ? Transvia::CreateFolderStorage(argv[3], &error) : nullptr;
    if (drivers != nullptr) {
        const CommandLineHardware hardware(argv + 4, argv + argc);
        Transvia::InstallDriversParams params;
        params.storages.push_back(drivers);
        params.hardware = argc > 4 ? &hardware : nullptr;  // none given: the engine looks at this machine
        error = InstallDrivers(target.get(), Wide(argv[2]), &params);
    }

    if (!error.failed()) {
        std::printf("result: success\n");
        return 0;
    }
    for (Common::Error e = error; !e.empty(); e = e.cause())
        std::printf("%s 0x%08X: %s\n", e.record() == error.record() ? "result:" : "  caused by", e.code(),
                    e.text() ? Utf8(e.text()).c_str() : "");
    return 1;
}
