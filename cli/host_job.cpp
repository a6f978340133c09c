#include "host_job.h"

#include <unistd.h>

#include <cstdio>
#include <optional>

#include "command.h"
#include "hive_changes.h"
#include "host_hardware.h"
#include "host_storage.h"
#include "progress_callback.h"
#include "run_report.h"
#include "support/errors.h"
#include "support/text.h"
#include "support/text.h"
#include "transvia/codes.h"

namespace TransviaCli {

void AddHostJobOptions(CLI::App& command, HostJobOptions& options)
{
    command.add_option("--target", options.target, "Root folder of the restored Windows installation")
        ->required()
        ->check(CLI::ExistingDirectory);
    command.add_option("--windows", options.windows, "Name of the Windows folder below the target")
        ->capture_default_str();
    // A missing storage is no error: the engine is told it has no location and goes on.
    command.add_option("--storage", options.storages, "Driver storage folder (searched with its subfolders)")
        ->required();
    auto* sysfs =
        command.add_option("--sysfs", options.sysfs, "Detect the devices under this sysfs tree instead of this machine");
    command.add_option("--hardware", options.hardware, "Hardware description file of the new machine")
        ->check(CLI::ExistingFile)
        ->excludes(sysfs);
    command.add_option("--json", options.json, "Also write the report as JSON to this file");
    command.add_flag("-v,--verbose", options.verbose, "Show the engine's traces on stderr");
}

void RunHostJob(const HostJobOptions& options, const std::function<Common::Error(const HostObjects&)>& call)
{
    std::shared_ptr<Common::rio_dir> target = OpenFolder(options.target);
    const Transvia::DriverStorageList storages = FolderStorages(options.storages);
    std::optional<ListedHardware> hardware;
    if (!options.hardware.empty() || !options.sysfs.empty())
        hardware.emplace(DescribedDevices(options.hardware, options.sysfs));

    const TargetFacts facts = DescribeTarget(target, options.windows);
    std::shared_ptr<Common::i_dir> config =
        target->open_dir(Processor::FromFileName(options.windows).append(u"\\System32\\config"));
    HiveChanges system(config, u"SYSTEM");
    HiveChanges software(config, u"SOFTWARE");

    ConsoleCallback console(isatty(STDOUT_FILENO) != 0, !options.noPrompt && isatty(STDIN_FILENO) != 0);
    Common::Error result;
    {
        RunReport report(Processor::ToUtf8(target->full_path()), &console, options.verbose, options.done);
        result = call({*target, Processor::ToWide(Processor::FromFileName(options.windows)), storages, &console,
                       hardware ? &*hardware : nullptr});
        console.BreakLine();
        if (const size_t failed = options.failedInstallsFail && !result.failed() ? report.FailedInstalls() : 0)
            result = Common::MakeError(Common::Codes::kDevicesWithoutDriver, TV_HERE,
                                       Processor::FromUtf8(std::to_string(failed) +
                                                           " device(s) got none of the drivers found for them; "
                                                           "--optimistic accepts that"));
        system.Compare();
        software.Compare();
        report.Finish(result, hardware ? hardware->devices() : Transvia::DeviceList{}, system, software,
                      options.windows + "/System32/config/SOFTWARE");
        report.PrintSummary();
        if (!options.json.empty() && !report.WriteJson(options.json, facts)) {
            std::fprintf(stderr, "error: cannot write %s\n", options.json.c_str());
            throw CLI::RuntimeError(2);
        }
    }
    if (result.failed()) {
        PrintError(result);
        throw CLI::RuntimeError(result.code() == Common::Codes::kCancelled ? 130 : 1);
    }
}

}  // namespace TransviaCli
