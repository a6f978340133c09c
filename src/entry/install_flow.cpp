#include "entry/install_flow.h"

#include <algorithm>
#include <vector>

#include "entry/assistant_staging.h"
#include "entry/callbacks_impl.h"
#include "entry/ide_scsi_hal_filter.h"
#include "entry/library_files.h"
#include "entry/platform.h"
#include "entry/text_mode_harvest.h"
#include "inf/configuration.h"
#include "install/cleaner.h"
#include "install/inf_processor.h"
#include "support/errors.h"
#include "support/logger.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"

namespace Transvia {

namespace {

using Location = std::shared_ptr<Common::i_dir>;

// A storage whose folder is not there is offered to the host once; a storage that stays
// unavailable is traced and skipped.
void RegisterStorage(InfProcessor& processor, DriverStorage& storage, LocationFlags flags, InstallDriversCallback* host)
{
    Location location = storage.Location();
    if (!location && host != nullptr) {
        host->ReportStorageUnavailable(storage);
        if (host->IsCancelled())
            Common::Raise(Common::Codes::kStorageRegistration, TV_HERE,
                          Common::MessageTable::Text(Common::Messages::kCancelled));
        location = storage.Location();
    }
    Common::Trace(2, Common::MessageTable::Text(location ? Common::Messages::kStorageAvailable
                                                         : Common::Messages::kStorageUnavailable,
                                                {storage.DisplayPath()}));
    if (location) processor.AddSearchLocation(*location, &flags);
}

void TraceDevices(const DeviceList& devices)
{
    for (const DeviceIds& device : devices) {
        if (device.empty())
            Common::Raise(Common::Codes::kInvalidArgument, TV_HERE,
                          Common::MessageTable::Text(Common::Messages::kInvalidArgument,
                                                     {u"InstallDrivers (a device without identifiers)"}));
        const Processor::String text =
            Common::MessageTable::Text(Common::Messages::kDeviceListed, {Processor::FromUtf8(device.name())});
        Common::TraceError(2, Common::MakeError(Common::Codes::kInfoDeviceListed, TV_HERE, text));
    }
}

void AddSourceLocations(InfProcessor& processor, const DriverSourceSet& sources)
{
    std::shared_ptr<LocationCollection> locations;
    sources.GetLocations(locations, 0);
    if (!locations) return;
    const LocationFlags flags{1, 0};
    for (uint32_t index = 0; index < locations->GetCount(); ++index)
        if (Location location = locations->GetLocation(index)) processor.AddSearchLocation(*location, &flags);
}

// The setting a user sets to let runs end with devices left over; a 32-bit number not 0.
bool IgnoreDriverWarnings()
{
    const std::optional<uint64_t> value = LoadConfiguration().GetNumber(Settings::kIgnoreDriverWarnings);
    return value && *value != 0 && *value <= 0xFFFFFFFFu;
}

// Drops the devices that got a driver and those no driver is needed for.
void ShrinkDeviceList(DeviceList& devices, const DeviceList& installed)
{
    for (const DeviceIds& done : installed) std::erase(devices, done);
    std::erase_if(devices, [](const DeviceIds& device) {
        if (!IgnoredAfterPass(device.name())) return false;
        const Processor::String text =
            Common::MessageTable::Text(Common::Messages::kDeviceIgnored, {Processor::FromUtf8(device.name())});
        Common::TraceError(2, Common::MakeError(Common::Codes::kInfoDeviceIgnored, TV_HERE, text));
        return true;
    });
}

}  // namespace

bool IgnoredAfterPass(const std::string& firstId)
{
    if (firstId == "*PNP0C08" || firstId == "*PNP0A08" || firstId == "*PNP0A03") return false;
    for (const char* prefix : {"*ACPI", "*ATK", "*AWY", "ACPI\\Processor", "PNP0C14", "*PNP"})
        if (firstId.starts_with(prefix)) return true;
    return false;
}

void RunInstallDrivers(Common::rio_dir& target, const Processor::String& windowsDir, const InstallDriversParams& params,
                       const InstallFlowSetup& setup)
{
    InstallDriversCallback* const host = params.callback;
    RunDevices run = CollectRunDevices(params.hardware, true, setup.machine);
    DeviceList& devices = run.devices;
    auto cleaner = std::make_unique<CleanerImpl>();

    LoggerHandle logger = CreateLogger(false);
    const uint32_t platform = DetectPlatform(target, windowsDir, *logger);

    std::unique_ptr<InfProcessor> processor = CreateInfProcessor(platform, std::move(cleaner));
    if (!processor)
        Common::Raise(Common::Codes::kNoInfProcessor, TV_HERE, Common::MessageTable::Text(Common::Messages::kNoInfProcessor));
    IdeScsiHalInfFilter filter;
    processor->AddFilter(&filter);
    CheckProcessorFor(platform, run.processorPassed);

    std::unique_ptr<DeviceDatabase> database = LoadDeviceDatabase();
    AppendRunDevices(devices, database.get());
    database.reset();

    std::vector<StagedStorage> staging;
    staging.push_back(StageAssistantPackage(setup.shippedFolder.empty() ? LibraryFiles::OwnFolder() : setup.shippedFolder));
    devices.push_back(DeviceIds{kAssistantDevice});
    for (const StagedStorage& staged : staging) RegisterStorage(*processor, *staged.storage, {1, 1}, host);

    TraceDevices(devices);

    CallbacksImpl callbacks(host);
    processor->Subscribe(&callbacks);
    processor->SetLocationCallback(&callbacks);

    if (params.sources != nullptr) {
        HarvestTextModeDevices(*params.sources, devices);
        AddSourceLocations(*processor, *params.sources);
    }
    for (const auto& storage : params.storages)
        if (storage) RegisterStorage(*processor, *storage, {0, 1}, host);

    // The processor takes the target as a shared folder; the host keeps it alive for the call.
    const std::shared_ptr<Common::rio_dir> root(&target, [](Common::rio_dir*) {});
    std::vector<Location> hostLocations;
    for (;;) {
        Common::Error result;
        processor->InstallDrivers(result, devices, root, windowsDir, true, nullptr);
        // Devices without a candidate are the host's to answer for, when there is one.
        if (result.failed() && (result.code() != Common::Codes::kNoDriverFound || host == nullptr)) throw result;

        // Folders the host gave serve one pass only.
        for (auto it = hostLocations.rbegin(); it != hostLocations.rend(); ++it) processor->RemoveSearchLocation(**it);
        hostLocations.clear();

        ShrinkDeviceList(devices, callbacks.installed());
        const bool optimistic = params.optimistic || IgnoreDriverWarnings();
        if (optimistic) Common::Trace(2, u"Optimistic mode is on.");
        if (devices.empty()) break;
        if (optimistic) {
            const Processor::String text = Common::MessageTable::Text(
                Common::Messages::kOptimisticEnd, {static_cast<uint32_t>(devices.size())});
            Common::TraceError(2, Common::MakeError(Common::Codes::kInfoOptimisticEnd, TV_HERE, text));
            break;
        }
        if (host == nullptr)
            Common::Raise(Common::Codes::kDevicesWithoutDriver, TV_HERE,
                          Common::MessageTable::Text(Common::Messages::kDeviceNoDriver,
                                                     {Processor::FromUtf8(devices.front().name())}));
        const LocationFlags flags{0, 1};
        for (const DeviceIds& device : devices) {
            const Processor::String text =
                Common::MessageTable::Text(Common::Messages::kDeviceNoDriver, {Processor::FromUtf8(device.name())});
            Common::TraceError(3, Common::MakeError(Common::Codes::kDeviceWithoutDriver, TV_HERE, text));
            Location location;
            host->LocateDeviceDrivers(location, device);
            ThrowIfCancelled(host);
            if (location) {
                hostLocations.push_back(location);
                processor->AddSearchLocation(*location, &flags);
            }
        }
        // No new folder for any device: the devices left stay without a driver.
        if (hostLocations.empty()) break;
    }
    Common::Trace(1, u"Exit InstallDrivers.");
}

}  // namespace Transvia
