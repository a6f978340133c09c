#include "entry/schedule_flow.h"

#include "entry/callbacks_impl.h"
#include "entry/platform.h"
#include "entry/run_devices.h"
#include "hardware/device_database.h"
#include "hardware/pci_class.h"
#include "hardware/processor_features.h"
#include "install/cleaner.h"
#include "install/custom_filter.h"
#include "install/inf_processor.h"
#include "install/schedule_install.h"
#include "support/errors.h"
#include "support/logger.h"
#include "support/message_table.h"
#include "support/trace.h"
#include "support/trace_levels.h"

namespace Transvia {

namespace {

using Common::TraceLevel::kDetail;
using Common::TraceLevel::kFailure;
using Common::TraceLevel::kNotable;
using Common::TraceLevel::kWarning;

// The devices of this machine, or of the host's description, of one PCI base class.
RunDevices ClassDevices(PciDeviceClass deviceClass, const HardwareEnvironment* hardware)
{
    RunDevices run;
    if (hardware != nullptr) {
        run = {DevicesFromHost(*hardware, false), true};
    } else {
        // All PCI devices: the class wanted here is rarely one a restored system needs to boot.
        DetectPciDevices(run.devices);
        run.processorPassed = HasLongMode();
    }
    KeepByClass(run.devices, PciClassSelector(static_cast<uint8_t>(deviceClass)));
    return run;
}

// The folders of the storages that can be reached now, in list order; the host is told
// of each that cannot and may make it reachable.
std::vector<std::shared_ptr<Common::i_dir>> StorageLocations(const DriverStorageList& storages,
                                                             InstallDriversCallback* callback)
{
    std::vector<std::shared_ptr<Common::i_dir>> locations;
    for (const std::shared_ptr<DriverStorage>& storage : storages) {
        if (!storage) continue;
        std::shared_ptr<Common::i_dir> location = storage->Location();
        if (!location && callback != nullptr) {
            callback->ReportStorageUnavailable(*storage);
            location = storage->Location();
        }
        if (location) locations.push_back(std::move(location));
        else Common::Trace(kWarning, Common::MessageTable::Text(Common::Messages::kStorageUnavailable, {storage->DisplayPath()}));
    }
    return locations;
}

// The processor turns what is thrown during its run into its result; a host that asked
// to stop ends the whole call, whichever phase it stopped.
void ThrowIfStopped(const Common::Error& result)
{
    if (result.code() == Common::Codes::kCancelled) throw result;
}

void RemoveInstalled(DeviceList& devices, const DeviceList& installed)
{
    for (const DeviceIds& done : installed) std::erase(devices, done);
}

}  // namespace

void RunScheduleForWindowsInstall(PciDeviceClass deviceClass, Common::rio_dir& target,
                                  const Processor::String& windowsDir, const DriverStorageList& storages,
                                  InstallDriversCallback* callback, const HardwareEnvironment* hardware)
{
    if (storages.empty()) {
        Common::Trace(kDetail, u"Empty storage list isn't allowed.");
        Common::Raise(Common::Codes::kInvalidArgument, TV_HERE,
                      Common::MessageTable::Text(Common::Messages::kInvalidArgument, {u"Windows install scheduler"}));
    }
    const uint32_t classCode = static_cast<uint8_t>(deviceClass);
    Common::Trace(kNotable, Common::MessageTable::Text(Common::Messages::kScheduleStart, {classCode, windowsDir}));

    RunDevices run = ClassDevices(deviceClass, hardware);
    auto cleaner = std::make_unique<CleanerImpl>();
    if (run.devices.empty()) {
        Common::Trace(kNotable, Common::MessageTable::Text(Common::Messages::kNothingToSchedule));
        return;
    }
    bool mapped = false;
    if (std::unique_ptr<DeviceDatabase> database = LoadDeviceDatabase()) {
        DeviceList more;
        database->MapDevices(run.devices, more);
        mapped = !more.empty();
        run.devices.insert(run.devices.end(), more.begin(), more.end());
    }

    LoggerHandle logger = CreateLogger(false);
    const uint32_t platform = DetectPlatform(target, windowsDir, *logger);
    CheckProcessorFor(platform, run.processorPassed);

    // Declared before the processor, which keeps pointers to both until it goes.
    std::unique_ptr<CustomFilter> filter = CreateScheduleFilter(static_cast<uint8_t>(deviceClass), mapped);
    CallbacksImpl callbacks(callback);
    std::unique_ptr<InfProcessor> processor = CreateInfProcessor(platform, std::move(cleaner));
    if (!processor) {
        Common::Trace(kDetail, u"Failed to create inf processor.");
        Common::Raise(Common::Codes::kNoInfProcessor, TV_HERE, Common::MessageTable::Text(Common::Messages::kNoInfProcessor));
    }
    if (filter) processor->AddFilter(filter.get());

    const std::vector<std::shared_ptr<Common::i_dir>> locations = StorageLocations(storages, callback);
    if (locations.empty()) {
        Common::Error none = Common::MakeError(Common::Codes::kNoDriverFound, TV_HERE,
                                               Common::MessageTable::Text(Common::Messages::kNoStorageAccessible));
        Common::TraceError(kFailure, none);
        throw none;
    }
    std::shared_ptr<Common::rio_dir> root = target.open_dir_rw(u".");
    if (!root) Common::Raise(Common::Codes::kInvalidArgument, TV_HERE, target.full_path(), target.last_error());
    processor->Subscribe(&callbacks);

    // Phase 1: devices the target's own INF folder already serves are Windows' to install.
    ScheduleInstall present(ScheduleInstall::Mode::PresentCheck);
    Common::Error found;
    processor->InstallDrivers(found, run.devices, root, windowsDir, true, &present);
    ThrowIfStopped(found);
    if (!found.failed()) {
        RemoveInstalled(run.devices, callbacks.installed());
        if (run.devices.empty()) {
            processor->Unsubscribe(&callbacks);
            Common::Trace(kNotable, Common::MessageTable::Text(Common::Messages::kScheduleDone));
            return;
        }
    }

    // Phase 2: stage the packages of the host's storages for the devices left.
    const LocationFlags flags{0, 1};
    for (const auto& location : locations) processor->AddSearchLocation(*location, &flags);
    Common::Trace(kDetail, u"There are no drivers found in windows\\inf({0}), check in driver storages.", {found});
    ScheduleInstall staging(ScheduleInstall::Mode::Staging, callback);
    Common::Error staged;
    processor->InstallDrivers(staged, run.devices, root, windowsDir, false, &staging);
    processor->Unsubscribe(&callbacks);
    ThrowIfStopped(staged);
    if (staged.failed())
        Common::TraceError(kWarning, Common::MakeError(Common::Codes::kNoDriverFound, TV_HERE,
                                                       Common::MessageTable::Text(Common::Messages::kStagingIncomplete),
                                                       staged));
    Common::Trace(kDetail, u"Copying successfully completed.");
}

}  // namespace Transvia
