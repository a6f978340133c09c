// transvia schedule: stages the drivers of one device class in the target for Windows to
// install at its first start (ScheduleForWindowsInstall).
#include "command.h"
#include "host_job.h"

namespace TransviaCli {
namespace {

struct ScheduleOptions : HostJobOptions {
    int deviceClass = 0;
};

CommandRegistration registration(61, [](CLI::App& app) {
    auto options = std::make_shared<ScheduleOptions>();
    CLI::App* command = app.add_subcommand(
        "schedule", "Stage the drivers of one PCI device class in a restored target for Windows to install at first start.");
    command->add_option("--class", options->deviceClass, "PCI base class: 1 storage, 2 network, 3 display, 4 multimedia, "
                                                         "6 bridge, 11 processor, 12 serial bus")
        ->required()
        ->check(CLI::IsMember({1, 2, 3, 4, 6, 11, 12}));
    AddHostJobOptions(*command, *options);
    options->noPrompt = true;  // the scheduled install asks the host nothing
    options->done = "staged for Windows to install";
    command->callback([options] {
        RunHostJob(*options, [&](const HostObjects& host) {
            return ScheduleForWindowsInstall(static_cast<Transvia::PciDeviceClass>(options->deviceClass), &host.target,
                                             host.windows, host.storages, host.callback, host.hardware);
        });
    });
});

}  // namespace
}  // namespace TransviaCli
