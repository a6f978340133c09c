#include "install/driver_plan.h"

#include "inf/win_sources.h"
#include "install/inf_scan.h"
#include "registry/windows_registry.h"
#include "support/errors.h"
#include "support/text.h"

namespace Transvia {

namespace {

Processor::String DriverVerText(Inf& inf)
{
    Processor::String text;
    Section* version = inf.FindSection(u"Version");
    SectionEntry* entry = version ? version->FindEntry(u"DriverVer") : nullptr;
    for (uint32_t f = 0; entry && f < entry->GetFieldCount(); ++f) {
        if (f > 0) text += u",";
        text += Processor::String(entry->GetField(static_cast<int32_t>(f)));
    }
    return text;
}

// `folder` below `location` as a relative path with '/' separators, ending in `name`.
Processor::String RelativeName(const Common::i_dir& location, const Common::i_dir& folder, const Processor::String& name)
{
    const Processor::String base = location.full_path();
    Processor::String path = folder.full_path();
    Processor::String relative;
    if (path.length() > base.length() && path.startsWith(base)) {
        relative = path.tempSubString(base.length() + 1);
        relative.findAndReplace(u"\\", u"/");
        relative += u"/";
    }
    return relative + name;
}

}  // namespace

Processor::String InfDisplayName(const Common::i_dir& location, const Common::i_dir& folder,
                                 const Processor::String& name, const Common::i_dir* targetInf)
{
    if (targetInf != nullptr && location.compare(*targetInf) == 0) return Processor::String(u"inf/") + name;
    return RelativeName(location, folder, name);
}

DriverPlan PlanDrivers(const std::shared_ptr<Common::rio_dir>& root, const Processor::String& windowsName,
                       uint32_t platform, const std::vector<std::shared_ptr<Common::i_dir>>& storages,
                       const DeviceList& devices)
{
    DriverPlan plan;
    plan.platform = platform;
    std::shared_ptr<Common::rio_dir> windows = root->open_dir_rw(windowsName);
    if (!windows) Common::Raise(Common::Codes::kInvalidArgument, TV_HERE, windowsName, root->last_error());
    std::unique_ptr<WindowsRegistry> registry = CreateWindowsRegistry(windows);
    if (!registry) Common::Raise(Common::Codes::kRegistryOpenFailed, TV_HERE, windows->full_path());
    if (Common::Error error = ReadTargetVersion(*registry, plan.version); error.failed()) throw error;
    registry.reset();

    std::vector<SearchLocation> locations;
    for (const auto& storage : storages) locations.push_back({storage, LocationFlags{0, 1}});
    std::unique_ptr<WinSources> sources = CreateWinSources(root, windowsName);
    Common::rio_dir* targetInf = sources ? sources->GetInfDir(false) : nullptr;
    std::shared_ptr<Common::i_dir> targetInfFolder = targetInf ? targetInf->reopen() : nullptr;
    if (targetInfFolder) locations.push_back({targetInfFolder, LocationFlags{}});

    ClassGuidFilter filter(BootCriticalClasses());
    const std::vector<InfFilter*> filters{&filter};
    ScanResult scan = ScanLocations(locations, filters, devices, {platform, plan.version}, nullptr);
    plan.infFiles = scan.infFiles;

    for (CandidateStore& store : scan.stores) {
        PlannedDevice device{store.identifiers, {}};
        for (uint32_t rank : store.TryOrder()) {
            Section* section = store.sectionByRank.at(rank);
            Inf* inf = section->GetInf();
            const auto& location = store.locationByInf.at(inf);
            const auto& folder = store.folderByInf.at(inf);
            PlannedCandidate candidate;
            candidate.inf = InfDisplayName(*location, *folder, store.fileNameByInf.at(inf), targetInfFolder.get());
            candidate.installSection = Processor::String(section->GetName());
            candidate.modelsSection = Processor::String(store.modelsByRank.at(rank)->GetName());
            candidate.rank = rank;
            candidate.level = store.levelByRank.at(rank);
            candidate.manufacturer = store.namesByRank.at(rank).first;
            candidate.description = store.namesByRank.at(rank).second;
            candidate.driverVer = DriverVerText(*inf);
            candidate.location = location->full_path();
            candidate.preferred = store.Preferred(rank);
            device.candidates.push_back(std::move(candidate));
        }
        plan.devices.push_back(std::move(device));
    }
    return plan;
}

}  // namespace Transvia
