#include "install/inf_processor.h"

#include <cstdio>

#include "inf/configuration.h"
#include "install/driver_plan.h"
#include "support/errors.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/message_table.h"

namespace Transvia {

// Texts from the message table, by number.
using Common::MessageTable::Get;
namespace Messages = Common::Messages;

namespace {

const char16_t* PlatformLabel(uint32_t platform)
{
    switch (platform) {
    case 1: return u"[.NT[x86]]";
    case 2: return u"[.NT[ia64]";
    case 3: return u"[.NT[amd64]]";
    default: return u"";
    }
}

}  // namespace

InfProcessorImpl::InfProcessorImpl(uint32_t platform, std::unique_ptr<Cleaner> cleaner)
    : platform_(platform), label_(PlatformLabel(platform)), cleaner_(std::move(cleaner))
{
    Common::Trace(1, u"Selected platform {0}", {Processor::String(label_)});
}

InfProcessorImpl::~InfProcessorImpl()
{
    Common::Trace(1, u"Clear cached search directories.");
    locations_.clear();
    Common::Trace(1, u"Delete inf processor.");
}

bool InfProcessorImpl::AddSearchLocation(const Common::i_dir& folder, const LocationFlags* flags)
{
    for (const SearchLocation& location : locations_) {
        if (location.folder->compare(folder) == 0) {
            Common::Trace(1, u"Install: Such a location '{0}' allready added", {folder.full_path()});
            return true;
        }
    }
    auto own = folder.open_dir(u".");
    if (!own) return false;
    locations_.push_back({std::move(own), flags ? *flags : LocationFlags{}});
    return true;
}

bool InfProcessorImpl::RemoveSearchLocation(const Common::i_dir& folder)
{
    for (auto it = locations_.begin(); it != locations_.end(); ++it) {
        if (it->folder->compare(folder) == 0) {
            locations_.erase(it);
            return true;
        }
    }
    return false;
}

void InfProcessorImpl::Progress(uint32_t position)
{
    observers_.Notify([&](OperationsProgress& o) { o.Progress(position); });
}

void InfProcessorImpl::Notify(const Processor::String& operation)
{
    observers_.Notify([&](OperationsProgress& o) { o.OperationStarted(operation); });
}

void InfProcessorImpl::InstallDrivers(Common::Error& result, const DeviceList& devices,
                                      const std::shared_ptr<Common::rio_dir>& root, const Processor::String& windowsName,
                                      bool useTargetInf, CustomInstall* custom)
{
    result = Common::Error();
    try {
        Run(result, devices, root, windowsName, useTargetInf, custom);
    } catch (const Common::Error& error) {
        result = error;
    }
}

void InfProcessorImpl::Run(Common::Error& result, const DeviceList& devices, const std::shared_ptr<Common::rio_dir>& root,
                           const Processor::String& windowsName, bool useTargetInf, CustomInstall* custom)
{
    bool identified = root != nullptr && !windowsName.isEmpty() && !devices.empty();
    for (const DeviceIds& device : devices) identified = identified && !device.empty();
    if (!identified) Common::Raise(Common::Codes::kInvalidArgument, TV_HERE, u"InstallDrivers");

    std::shared_ptr<Common::rio_dir> windows = root->open_dir_rw(windowsName);
    if (!windows) Common::Raise(Common::Codes::kInvalidArgument, TV_HERE, windowsName, root->last_error());
    Common::Trace(2, Get(Messages::kInstallWindowsFolder), {windows->full_path()});

    // SYSTEM is edited on a copy: a run that stops before its install phase leaves it as it was.
    // A dirty hive is recovered from its logs as this installation's settings allow.
    std::unique_ptr<WindowsRegistry> registry = CreateWindowsRegistry(windows, HiveLogPolicyFrom(LoadConfiguration()));
    if (!registry) Common::Raise(Common::Codes::kRegistryOpenFailed, TV_HERE, windows->full_path());
    registry->UseWorkingCopy();
    if (!registry->System())
        Common::Raise(Common::Codes::kRegistryOpenFailed, TV_HERE,
                      Common::MessageTable::Text(Messages::kSystemHiveUnusable, {windows->full_path()}));
    std::unique_ptr<WinSources> sources = CreateWinSources(root, windowsName);
    if (!sources) Common::Raise(Common::Codes::kSourcesCreateFailed, TV_HERE, windows->full_path());

    std::vector<SearchLocation> locations = locations_;
    Common::rio_dir* targetInf = nullptr;
    if (!useTargetInf) {
        if (locations.empty()) Common::Raise(Common::Codes::kNoDriverFound, TV_HERE, Get(Messages::kInstallNoLocation));
    } else {
        targetInf = sources->GetInfDir(false);
        if (targetInf == nullptr && locations.empty())
            Common::Raise(Common::Codes::kNoSearchLocation, TV_HERE, Get(Messages::kInstallNoLocationNoInf));
        if (targetInf) {
            bool known = false;
            for (const SearchLocation& location : locations) known = known || location.folder->compare(*targetInf) == 0;
            if (!known) locations.push_back({targetInf->reopen(), LocationFlags{}});
        }
    }

    Progress(0);
    if (custom) custom->Prepare(*sources, *registry);
    else if (cleaner_) cleaner_->Clean(*sources, *registry);

    version_ = {};
    if (Common::Error error = ReadTargetVersion(*registry, version_); error.failed()) throw error;

    std::vector<InfFilter*> filters(filters_.begin(), filters_.end());
    ScanResult scan = ScanLocations(locations, filters, devices, {platform_, version_},
                                    [this](uint32_t position) { Progress(position); });
    if (!scan.AnyCandidate()) {
        Progress(100);
        if (scan.infFiles > 0)
            Common::Raise(Common::Codes::kNoDriverFound, TV_HERE, Get(Messages::kInstallNoDriverFits));
        Common::Raise(Common::Codes::kNoInfFound, TV_HERE, Get(Messages::kInstallNoInfFound));
    }

    LoggerHandle logger = CreateLogger(false);
    std::unique_ptr<InfCache> cache;
    if (Common::rio_dir* infDir = sources->GetInfDir(false)) cache = CreateInfCache(infDir->reopen(), false, *logger);
    Common::Error first;
    for (size_t i = 0; i < scan.stores.size(); ++i) {
        Progress(50 + static_cast<uint32_t>(50 * i / scan.stores.size()));
        CandidateStore& store = scan.stores[i];
        if (store.sectionByRank.empty()) continue;
        std::optional<uint32_t> installed;
        Common::Error deviceResult = TryInstallDevice(store, *sources, *registry, cache.get(), custom, installed);
        TraceDeviceFinished(store, deviceResult, installed, targetInf);
        observers_.Notify([&](OperationsProgress& o) { o.DeviceFinished(store.identifiers, deviceResult); });
        if (deviceResult.failed() && !first.failed()) first = deviceResult;
    }
    Progress(100);
    cache.reset();
    if (Common::Error commit = registry->Commit(); commit.failed()) first = commit;
    result = first;
}

Common::Error InfProcessorImpl::TryInstallDevice(CandidateStore& store, WinSources& sources,
                                                 WindowsRegistry& registry, InfCache* cache, CustomInstall* custom,
                                                 std::optional<uint32_t>& installed)
{
    const Processor::String device = Processor::FromUtf8(store.identifiers.name());
    Common::Trace(1, u"Try install drivers for '{0}'", {device});
    const auto& best = store.namesByRank.begin()->second;
    observers_.Notify([&](OperationsProgress& o) { o.DeviceStarted(store.identifiers, best.first, best.second); });

    for (uint32_t rank : store.TryOrder()) {
        Common::Error error;
        service_.remove();
        Section* section = store.sectionByRank.at(rank);
        if (custom == nullptr) {
            error = Install(store, rank, sources, registry, cache, false);
        } else {
            Common::Trace(1, u"CustomInstall: {0} from section {1}", {device, Processor::String(section->GetName())});
            const Inf* inf = section->GetInf();
            custom->SetCandidate(store.folderByInf.at(inf), store.identifiers, *section, store.fileNameByInf.at(inf));
            custom->SetNames(store.namesByRank.at(rank).first, store.namesByRank.at(rank).second);
            custom->Install(error, sources, registry);
        }
        if (!error.failed()) {
            installed = rank;
            return {};
        }
        Common::Trace(1, u"Try failed, select next suitable driver.");
        Common::TraceError(1, error);
    }
    return Common::MakeError(Common::Codes::kNoDriverFound, TV_HERE, device);
}

void InfProcessorImpl::TraceDeviceFinished(CandidateStore& store, const Common::Error& result,
                                            std::optional<uint32_t> installed, const Common::i_dir* targetInf)
{
    if (!Common::TraceEnabled(2)) return;
    Processor::String device = Processor::FromUtf8(store.identifiers.name());
    char code[16];
    std::snprintf(code, sizeof code, "0x%X", result.code());
    Processor::String codeText = Processor::FromUtf8(code);
    Processor::String inf, section;
    std::vector<Common::EventField> fields{{"device", Processor::Terminated(device)},
                                           {"code", Processor::Terminated(codeText)}};
    if (installed) {
        Section* chosen = store.sectionByRank.at(*installed);
        const Inf* file = chosen->GetInf();
        inf = InfDisplayName(*store.locationByInf.at(file), *store.folderByInf.at(file), store.fileNameByInf.at(file),
                             targetInf);
        section = Processor::String(chosen->GetName());
        fields.push_back({"inf", Processor::Terminated(inf)});
        fields.push_back({"install_section", Processor::Terminated(section)});
        if (!service_.isEmpty()) fields.push_back({"service", Processor::Terminated(service_)});
    }
    Processor::String text = device;
    text.append(result.failed() ? u": no driver installed" : u": installed ").append(inf);
    Common::TraceEvent(kDeviceFinishedEvent, 2, Common::kTraceFacility, 0, Processor::Terminated(text), fields.data(),
                       static_cast<int32_t>(fields.size()));
}

std::unique_ptr<InfProcessor> CreateInfProcessor(uint32_t platform, std::unique_ptr<Cleaner> cleaner)
{
    return std::make_unique<InfProcessorImpl>(platform, std::move(cleaner));
}

}  // namespace Transvia
