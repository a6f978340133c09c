#include "entry/text_mode_harvest.h"

#include "inf/inf.h"
#include "support/text.h"

namespace Transvia {

namespace {

bool IsPciId(std::u16string_view id) { return id.size() >= 4 && Processor::EqualNoCase(id.substr(0, 4), u"PCI\\"); }

std::shared_ptr<Common::i_dir> FirstLocation(const DriverSourceItem& item)
{
    std::shared_ptr<LocationCollection> locations;
    item.GetLocations(locations, 0);
    if (!locations || locations->GetCount() == 0) return nullptr;
    return locations->GetLocation(0);
}

void HarvestItem(const DriverSourceItem& item, DeviceList& devices)
{
    const std::shared_ptr<Common::i_dir> folder = FirstLocation(item);
    std::shared_ptr<Common::i_file> file = folder ? folder->open_file(u"txtsetup.oem") : nullptr;
    if (!file) return;
    const std::unique_ptr<Inf> inf = ParseInf(*file, nullptr, nullptr, 0);
    file->close();
    Section* scsi = inf ? inf->FindSection(u"scsi") : nullptr;
    if (scsi == nullptr) return;
    Processor::String name;
    item.GetName(name);
    for (uint32_t index = 0; index < scsi->GetEntryCount(); ++index) {
        SectionEntry* entry = scsi->GetEntry(static_cast<int32_t>(index));
        const char16_t* first = entry ? entry->GetField(0) : nullptr;
        if (first == nullptr || !Processor::EqualNoCase(Processor::String(first), name)) continue;
        Processor::String idsName = Processor::String(u"HardwareIds.scsi.") + Processor::String(entry->GetKey());
        Section* ids = inf->FindSection(Processor::Terminated(idsName));
        if (ids == nullptr) continue;
        for (uint32_t line = 0; line < ids->GetEntryCount(); ++line) {
            SectionEntry* idLine = ids->GetEntry(static_cast<int32_t>(line));
            const char16_t* id = idLine ? idLine->GetField(0) : nullptr;
            if (id == nullptr || id[0] == u'\0' || IsPciId(id)) continue;
            devices.push_back(DeviceIds{Processor::ToUtf8(std::u16string_view(id))});
        }
    }
}

}  // namespace

void HarvestTextModeDevices(const DriverSourceSet& sources, DeviceList& devices)
{
    const uint32_t count = sources.GetCount();
    for (uint32_t index = 0; index < count; ++index) {
        std::shared_ptr<DriverSourceItem> item;
        sources.GetItem(item, index);
        if (item) HarvestItem(*item, devices);
    }
}

}  // namespace Transvia
