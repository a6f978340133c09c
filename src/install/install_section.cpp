// The install of one chosen candidate: files, publication, a dependent section, registry
// sections, services and the critical device database, in that order.
#include "install/add_reg.h"
#include "install/critical_device_database.h"
#include "install/driver_database_install.h"
#include "install/file_copy_op.h"
#include "install/inf_processor.h"
#include "install/oem_publication.h"
#include "install/services.h"
#include "support/errors.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/message_table.h"

namespace Transvia {

// Texts from the message table, by number.
using Common::MessageTable::Get;
namespace Messages = Common::Messages;

namespace {

bool IsKey(SectionEntry& entry, const char16_t* key)
{
    const char16_t* text = entry.GetKey();
    return text != nullptr && Processor::EqualNoCase(std::u16string_view(text), std::u16string_view(key));
}

SectionEntry* FirstEntry(Section& section, const char16_t* key)
{
    for (uint32_t i = 0; i < section.GetEntryCount(); ++i)
        if (SectionEntry* entry = section.GetEntry(static_cast<int32_t>(i)); entry && IsKey(*entry, key)) return entry;
    return nullptr;
}

Common::Error Failed(uint32_t code, uint64_t site, const Processor::String& text, const Common::Error& cause = {})
{
    Common::Error error = Common::MakeError(code, site, text, cause);
    Common::TraceError(3, error);
    return error;
}

}  // namespace

Common::Error InfProcessorImpl::Install(CandidateStore& store, uint32_t rank, WinSources& sources,
                                        WindowsRegistry& registry, InfCache* cache, bool dependent)
{
    Section& section = *store.sectionByRank.at(rank);
    Inf& inf = *section.GetInf();
    const std::shared_ptr<Common::i_dir> folder = store.folderByInf.at(&inf);
    Processor::String fileName = store.fileNameByInf.at(&inf);
    const Processor::String device = Processor::FromUtf8(store.identifiers.name());
    const Processor::String sectionName(section.GetName());
    Common::Trace(1, u"Install: {0} from section {1}", {device, sectionName});

    Inf* layout = nullptr;
    if (const char16_t* layoutFile = inf.GetLayoutFile(); layoutFile && cache) layout = cache->OpenInf(layoutFile);
    std::unique_ptr<DriverSources> files;
    try {
        files = CreateDriverSources(folder, layout, &section, Processor::Terminated(fileName), platform_, cache);
    } catch (const Common::Error& error) {
        return error;
    }
    if (!files) files = std::make_unique<DriverSourcesImpl>(platform_);
    if (!cab_) cab_ = CreateCabSource(sources);
    std::unique_ptr<FileCopyOp> copy = CreateFileCopyOp(sources, platform_);
    copy->SetFallbackSources(locationCallback_);
    copy->SetSourceLayout(files.get());
    copy->SetCabSource(cab_.get());

    for (uint32_t i = 0; i < section.GetEntryCount(); ++i) {
        SectionEntry* entry = section.GetEntry(static_cast<int32_t>(i));
        if (entry == nullptr || !IsKey(*entry, u"CopyFiles")) continue;
        for (uint32_t f = 0; f < entry->GetFieldCount(); ++f) {
            const Processor::String field(entry->GetField(static_cast<int32_t>(f)));
            Notify(u"CopyFiles");
            if (Common::Error error = copy->Execute(inf, *folder, field, Processor::Terminated(fileName)); error.failed())
                return Failed(Common::Codes::kCopyFilesFailed, TV_HERE, field, error);
        }
    }

    Processor::String published;
    PublishDriverFiles(*folder, sources, *files, &published);

    if (SectionEntry* needs = FirstEntry(section, u"Needs")) {
        Notify(u"Needs");
        SectionEntry* include = FirstEntry(section, u"Include");
        // Dependent sections are one level deep, and a Needs line means nothing without Include.
        if (dependent || include == nullptr)
            return Failed(Common::Codes::kInvalidFormat, TV_HERE, Processor::String(needs->GetField(0)));
        const Processor::String dependentInf(include->GetField(0));
        const Processor::String dependentSection(needs->GetField(0));
        Common::Trace(1, u"Install: Open section {0} in dependent inf {1}", {dependentSection, dependentInf});
        Common::rio_dir* infDir = sources.GetInfDir(false);
        std::shared_ptr<Common::i_file> handle = infDir ? infDir->open_file(dependentInf) : nullptr;
        if (handle) {
            ParseError parseError;
            std::unique_ptr<Inf> other = ParseInf(*handle, nullptr, &parseError, 0);
            if (!other) return Failed(Common::Codes::kDependentInfUnreadable, TV_HERE, dependentInf);
            Processor::String name = dependentSection;
            Section* nested = other->FindSection(Processor::Terminated(name));
            if (nested == nullptr)
                return Failed(Common::Codes::kInvalidFormat, TV_HERE,
                              Common::MessageTable::Text(Messages::kIncludedSectionMissing,
                                                         {dependentSection, dependentInf}));
            CandidateStore one(store.identifiers);
            one.sectionByRank[0] = nested;
            one.folderByInf[other.get()] = infDir->reopen();
            one.fileNameByInf[other.get()] = dependentInf;
            if (Common::Error error = Install(one, 0, sources, registry, cache, true); error.failed()) {
                Common::TraceError(4, error);
                return error;
            }
        }
    }

    if (SectionEntry* addReg = FirstEntry(section, u"AddReg")) {
        Notify(u"AddReg");
        for (uint32_t f = 0; f < addReg->GetFieldCount(); ++f) {
            Common::Error error = AddReg(inf, Processor::String(addReg->GetField(static_cast<int32_t>(f))), nullptr, registry);
            if (!error.failed() || error.code() == Common::Codes::kInvalidArgument ||
                error.code() == Common::Codes::kUnsupportedRoot)
                continue;
            return error;
        }
    }
    if (dependent) return {};

    Processor::String servicesName = sectionName + u".Services";
    Section* services = inf.FindSection(Processor::Terminated(servicesName));
    if (services == nullptr) {
        Common::Trace(1, u"Install: Section {0} not found", {servicesName});
        return {};
    }
    servicesName = Processor::String(services->GetName());
    Notify(servicesName);
    Processor::String associated;
    if (!InstallServices(inf, servicesName, registry, sources, &associated, true))
        return Failed(Common::Codes::kServicesFailed, TV_HERE, servicesName);
    if (associated.isEmpty()) {
        Common::Trace(1, Get(Messages::kNoFunctionDriver), {servicesName});
        return {};
    }
    service_ = associated;
    Common::Error result;
    if (UpdateCriticalDeviceDatabase({version_.major, version_.minor}, result, store.identifiers, registry, inf,
                                     associated, &observers_)
            .failed())
        return result;
    // Windows 8 and later bind boot devices through the DriverDatabase instead. The name
    // the INF was just published under is offered to it, so that the file in the INF
    // folder and the database entry agree when the database has that name free.
    auto models = store.modelsByRank.find(rank);
    DriverPackageRegistration input =
        DescribeDriverPackage(inf, section, models == store.modelsByRank.end() ? nullptr : models->second,
                              store.wideIdentifiers, fileName, associated);
    input.publishedInf = std::u16string(published.getBuffer(), static_cast<size_t>(published.length()));
    return RegisterBootDriver(registry, sources, version_, platform_, input, *folder, *files, store.identifiers);
}

}  // namespace Transvia
