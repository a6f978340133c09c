// Fuzz target: any bytes as an INF file whose every section is carried out as a registry
// section (without a context, with a service key and with a driver key as HKR) and, when
// its name ends in ".Services", as a services section, into scratch SYSTEM and SOFTWARE
// hives made afresh for each input. Both hives must pass the structural checker after.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "inf/memory_file.h"
#include "inf/win_sources.h"
#include "install/add_reg.h"
#include "install/services.h"
#include "registry/hive_check.h"
#include "registry/hive_file.h"
#include "registry/windows_registry.h"
#include "support/local_dir.h"
#include "support/text.h"

namespace {

struct Scratch {
    std::filesystem::path root;
    std::filesystem::path config;
    std::vector<char> empty;  // a new hive's bytes, written over both hives before each input

    Scratch()
    {
        char pattern[] = "/tmp/addreg-fuzz-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        root = made ? made : "/tmp/addreg-fuzz";
        config = root / "WINDOWS" / "System32" / "config";
        std::filesystem::create_directories(config);
        std::filesystem::create_directories(root / "WINDOWS" / "inf");
        Common::Error error;
        auto dir = Common::OpenLocalDir(config.string(), error);
        if (!dir || Common::CreateHive(*dir, u"template", 5, u"ROOT").failed())
            __builtin_trap();
        std::ifstream in(config / "template", std::ios::binary);
        empty.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    void Reset() const
    {
        for (const char* name : {"system", "software"}) {
            std::ofstream out(config / name, std::ios::binary | std::ios::trunc);
            out.write(empty.data(), static_cast<std::streamsize>(empty.size()));
        }
    }

    void Check() const
    {
        for (const char* name : {"system", "software"}) {
            std::ifstream in(config / name, std::ios::binary);
            const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            std::vector<std::string> faults;
            Common::HiveCheckSummary summary;
            Common::CheckHive(bytes.data(), bytes.size(), faults, summary);
            if (!faults.empty())
                __builtin_trap();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Scratch scratch;
    scratch.Reset();
    Transvia::MemoryFile file(std::vector<uint8_t>(data, data + size));
    std::unique_ptr<Transvia::Inf> inf = Transvia::ParseInf(file, nullptr, nullptr, 0);
    if (!inf)
        return 0;
    Common::Error error;
    auto root = Common::OpenLocalDir(scratch.root.string(), error);
    if (!root)
        return 0;
    {
        auto registry = Transvia::CreateWindowsRegistry(root->open_dir_rw(u"WINDOWS"));
        auto sources = Transvia::CreateWinSources(root, u"WINDOWS");
        const Transvia::RegistryContext service{Transvia::RegistryContext::ServiceKey, u"fz"};
        const Transvia::RegistryContext driver{Transvia::RegistryContext::DriverKey, u"0000"};
        for (uint32_t i = 0; i < inf->GetSectionCount(); ++i) {
            Transvia::Section* section = inf->GetSection(static_cast<int32_t>(i));
            if (!section)
                continue;
            const Processor::String name(section->GetName());
            for (const Transvia::RegistryContext* context : {static_cast<const Transvia::RegistryContext*>(nullptr),
                                                             &service, &driver})
                Transvia::AddReg(*inf, name, context, *registry);
            if (sources && name.endsWith(u".SERVICES")) {
                Processor::String associated;
                Transvia::InstallServices(*inf, name, *registry, *sources, &associated, true);
            }
        }
    }
    scratch.Check();
    return 0;
}
