// transvia inspect: what the engine sees of a restored target.
#include <cstdio>
#include <iostream>

#include <nlohmann/json.hpp>

#include "command.h"
#include "support/logger.h"
#include "entry/platform.h"
#include "inf/configuration.h"
#include "install/driver_database.h"
#include "registry/windows_registry.h"
#include "support/text.h"
#include "transvia/transvia.h"

namespace TransviaCli {
namespace {

struct InspectOptions {
    std::string target;
    std::string windows = "Windows";
    bool json = false;
    bool verbose = false;
};

void RunInspect(const InspectOptions& options)
{
    if (options.verbose)
        EnableVerboseTraces();
    else
        EnableWarnings();
    Common::Error error;
    std::shared_ptr<Common::rio_dir> target = Common::OpenLocalDirectory(options.target, &error);
    if (!target) throw error;

    Transvia::LoggerHandle logger = Transvia::CreateLogger(false);
    const uint32_t platform = Transvia::DetectPlatform(*target, Processor::FromFileName(options.windows), *logger);
    const std::string decoration = Processor::ToUtf8(Transvia::PlatformDecoration(platform));
    // The registry is read, never written (dirty hives are recovered in memory); what
    // cannot be read is reported, not fatal.
    const Common::HiveLogPolicy policy = Transvia::HiveLogPolicyFrom(Transvia::LoadConfiguration());
    const std::shared_ptr<Common::i_dir> windows = target->open_dir(Processor::FromFileName(options.windows));
    const Transvia::WindowsRegistryInfo registry = Transvia::InspectWindowsRegistry(windows, policy);
    // Which key binds boot devices to their drivers: the one a new controller needs an entry in.
    const std::string deviceDatabase = Transvia::DeviceDatabaseName(Transvia::InspectDeviceDatabase(windows, policy));

    if (options.json) {
        nlohmann::json out{{"target", Processor::ToUtf8(target->full_path())},
                           {"windows", options.windows},
                           {"platform", platform},
                           {"decoration", decoration},
                           {"version", registry.current_version},
                           {"build", registry.build_number},
                           {"product", registry.product_name},
                           {"control_set", registry.control_set},
                           {"system_root", registry.system_root},
                           {"device_database", deviceDatabase}};
        if (!registry.problems.empty()) out["problems"] = registry.problems;
        std::cout << out.dump(2) << '\n';
    } else {
        auto line = [](const char* label, const std::string& value) {
            std::cout << label << (value.empty() ? "(unknown)" : value) << '\n';
        };
        line("target:      ", Processor::ToUtf8(target->full_path()));
        line("windows:     ", options.windows);
        line("platform:    ", std::to_string(platform) + (decoration.empty() ? " (not recognised)" : " (" + decoration + ")"));
        line("product:     ", registry.product_name);
        line("version:     ", registry.current_version.empty() ? std::string()
                                                              : registry.current_version + " build " + registry.build_number);
        line("control set: ", registry.control_set);
        line("system root: ", registry.system_root);
        line("boot device binding: ", deviceDatabase);
        if (!registry.problems.empty()) std::cout << "problems:\n" << registry.problems;
    }
}

CommandRegistration registration(10, [](CLI::App& app) {
    auto options = std::make_shared<InspectOptions>();
    CLI::App* command = app.add_subcommand("inspect", "Show what the engine sees of a restored Windows target");
    command->add_option("--target", options->target, "Folder under which the restored installation lies")->required();
    command->add_option("--windows", options->windows, "Windows folder, relative to the target")->capture_default_str();
    command->add_flag("--json", options->json, "Print JSON");
    command->add_flag("-v,--verbose", options->verbose, "Print the engine's traces on stderr");
    command->callback([options] {
        try {
            RunInspect(*options);
        } catch (const Common::Error& error) {
            PrintError(error);
            throw CLI::RuntimeError(1);
        }
    });
});

}  // namespace
}  // namespace TransviaCli
