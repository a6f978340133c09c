// transvia install: the main job, InstallDrivers on a restored target with the host's
// driver folders, hardware description and console.
#include "command.h"
#include "host_job.h"
#include "host_sources.h"

namespace TransviaCli {
namespace {

struct InstallOptions : HostJobOptions {
    std::vector<std::string> sources;
    bool optimistic = false;
};

void RunInstall(const InstallOptions& options)
{
    std::optional<FolderSources> sources;
    if (!options.sources.empty()) sources.emplace(options.sources);
    InstallOptions job = options;
    job.failedInstallsFail = !options.optimistic;
    RunHostJob(job, [&](const HostObjects& host) {
        Transvia::InstallDriversParams params;
        params.callback = host.callback;
        params.sources = sources ? &*sources : nullptr;
        params.storages = host.storages;
        params.hardware = host.hardware;
        params.optimistic = options.optimistic;
        return InstallDrivers(&host.target, host.windows, &params);
    });
}

CommandRegistration registration(60, [](CLI::App& app) {
    auto options = std::make_shared<InstallOptions>();
    CLI::App* command = app.add_subcommand(
        "install", "Install the drivers the new machine needs into a restored Windows target (the main job).");
    AddHostJobOptions(*command, *options);
    command->add_option("--source", options->sources,
                        "Folder searched first; DIR=NAME also takes the [scsi] entry NAME of its txtsetup.oem");
    command->add_flag("--optimistic", options->optimistic,
                      "Devices left without a driver do not fail the run, nor do those whose drivers all failed to install");
    command->add_flag("--no-prompt", options->noPrompt, "Never ask for a folder; answer the engine's requests with none");
    command->callback([options] { RunInstall(*options); });
});

}  // namespace
}  // namespace TransviaCli
