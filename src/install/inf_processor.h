#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "inf/inf_cache.h"
#include "inf/win_sources.h"
#include "install/cab_source.h"
#include "install/cleaner.h"
#include "install/inf_scan.h"
#include "registry/windows_registry.h"
#include "support/logger.h"
#include "transvia/devices.h"
#include "transvia/dir.h"
#include "transvia/error.h"

// The engine's driver installer: scans the search locations for INF files, ranks the
// drivers that fit each device and installs the best one that works.
namespace Transvia {

// Takes over preparation and install of a run (the scheduled install stages packages
// instead of installing them).
class CustomInstall {
public:
    virtual ~CustomInstall() = default;
    virtual void Prepare(WinSources& sources, WindowsRegistry& registry) = 0;
    virtual void SetCandidate(const std::shared_ptr<Common::i_dir>& infFolder, const DeviceIds& device,
                              Section& installSection, const Processor::String& infFileName) = 0;
    virtual void SetNames(const Processor::String& manufacturer, const Processor::String& description) = 0;
    virtual void Install(Common::Error& error, WinSources& sources, WindowsRegistry& registry) = 0;
};

class InfProcessor {
public:
    virtual ~InfProcessor() = default;
    virtual void AddFilter(InfFilter* filter) = 0;
    virtual void RemoveFilter(InfFilter* filter) = 0;
    // False when the folder cannot be reopened; a folder already added is traced and kept once.
    virtual bool AddSearchLocation(const Common::i_dir& folder, const LocationFlags* flags) = 0;
    virtual bool RemoveSearchLocation(const Common::i_dir& folder) = 0;
    virtual void Subscribe(OperationsProgress* observer) = 0;
    virtual void Unsubscribe(OperationsProgress* observer) = 0;
    virtual void SetLocationCallback(LocationCallback* callback) = 0;
    // One run over the target below `root`; `result` is empty on success.
    virtual void InstallDrivers(Common::Error& result, const DeviceList& devices,
                                const std::shared_ptr<Common::rio_dir>& root, const Processor::String& windowsName,
                                bool useTargetInf, CustomInstall* custom) = 0;
};

class InfProcessorImpl final : public InfProcessor {
public:
    InfProcessorImpl(uint32_t platform, std::unique_ptr<Cleaner> cleaner);
    ~InfProcessorImpl() override;

    void AddFilter(InfFilter* filter) override { filters_.insert(filter); }
    void RemoveFilter(InfFilter* filter) override { filters_.erase(filter); }
    bool AddSearchLocation(const Common::i_dir& folder, const LocationFlags* flags) override;
    bool RemoveSearchLocation(const Common::i_dir& folder) override;
    void Subscribe(OperationsProgress* observer) override { observers_.Subscribe(observer); }
    void Unsubscribe(OperationsProgress* observer) override { observers_.Unsubscribe(observer); }
    void SetLocationCallback(LocationCallback* callback) override { locationCallback_ = callback; }
    void InstallDrivers(Common::Error& result, const DeviceList& devices, const std::shared_ptr<Common::rio_dir>& root,
                        const Processor::String& windowsName, bool useTargetInf, CustomInstall* custom) override;

    uint32_t platform() const { return platform_; }
    TargetVersion targetVersion() const { return version_; }

private:
    void Run(Common::Error& result, const DeviceList& devices, const std::shared_ptr<Common::rio_dir>& root,
             const Processor::String& windowsName, bool useTargetInf, CustomInstall* custom);
    // `installed` receives the rank of the candidate that succeeded.
    Common::Error TryInstallDevice(CandidateStore& store, WinSources& sources, WindowsRegistry& registry,
                                   InfCache* cache, CustomInstall* custom, std::optional<uint32_t>& installed);
    void TraceDeviceFinished(CandidateStore& store, const Common::Error& result, std::optional<uint32_t> installed,
                             const Common::i_dir* targetInf);
    // Carries out the install section of the candidate of `rank`; `dependent` for the nested
    // install of a Needs section.
    Common::Error Install(CandidateStore& store, uint32_t rank, WinSources& sources, WindowsRegistry& registry,
                          InfCache* cache, bool dependent);
    void Progress(uint32_t position);
    void Notify(const Processor::String& operation);

    uint32_t platform_;
    const char16_t* label_;
    TargetVersion version_;
    std::set<InfFilter*> filters_;
    std::vector<SearchLocation> locations_;
    Utils::EventNotifier<OperationsProgress> observers_;
    LocationCallback* locationCallback_ = nullptr;
    std::unique_ptr<Cleaner> cleaner_;
    std::unique_ptr<CabSource> cab_;
    Processor::String service_;  // the function driver the last install named
};

// Source of the level-2 event sent when a device is done, with the fields "device" (its
// first identifier), "code" (its result, 0x-hexadecimal) and, when it got a driver, "inf"
// (named as `plan` names it), "install_section" and "service" (absent when none).
constexpr const char* kDeviceFinishedEvent = "transvia.device_finished";

std::unique_ptr<InfProcessor> CreateInfProcessor(uint32_t platform, std::unique_ptr<Cleaner> cleaner);

}  // namespace Transvia
