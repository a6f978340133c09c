#include "hardware/device_database.h"

#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"

namespace Transvia {

using Common::MessageTable::Get;
namespace Messages = Common::Messages;
namespace {

using Processor::String;

bool Listed(const std::vector<std::string>& ids, const std::string& id)
{
    for (const std::string& known : ids)
        if (SameId(known, id)) return true;
    return false;
}

}  // namespace

Section* DeviceDatabaseImpl::Find(const char16_t* name) const
{
    return inf_ != nullptr ? inf_->FindSection(name) : nullptr;
}

void DeviceDatabaseImpl::MapDevices(const DeviceList& devices, DeviceList& mapped)
{
    Section* map = Find(u"hwmap");
    if (map == nullptr) return;
    std::vector<std::string> produced;
    for (const DeviceIds& device : devices) {
        for (const std::string& id : device) {
            String key = Processor::FromUtf8(id);
            SectionEntry* line = map->FindEntry(Processor::Terminated(key));
            const char16_t* field = line != nullptr ? line->GetField(0) : nullptr;
            if (field == nullptr || field[0] == u'\0') continue;
            const std::string replacement = Processor::ToUtf8(std::u16string_view(field));
            // A replacement that another device already produced does not end the search:
            // this device may still map through a later identifier.
            if (Listed(produced, replacement)) continue;
            produced.push_back(replacement);
            Common::Trace(1, u"Database entry found {0} -> {1}", {key, String(field)});
            mapped.push_back(DeviceIds{replacement});
            break;
        }
    }
}

void DeviceDatabaseImpl::AddedDevices(DeviceList& devices)
{
    Section* added = Find(u"hw");
    if (added == nullptr) return;
    std::vector<std::string> taken;
    for (uint32_t index = 0; index < added->GetEntryCount(); ++index) {
        SectionEntry* line = added->GetEntry(static_cast<int32_t>(index));
        const char16_t* field = line != nullptr ? line->GetField(0) : nullptr;
        if (field == nullptr || field[0] == u'\0') continue;
        const std::string id = Processor::ToUtf8(std::u16string_view(field));
        if (Listed(taken, id)) continue;
        taken.push_back(id);
        Common::Trace(1, u"Add device '{0}.'", {String(field)});
        devices.push_back(DeviceIds{id});
    }
}

void DeviceDatabaseImpl::HalDevices(DeviceList& devices)
{
    Section* hal = Find(u"hal");
    SectionEntry* line = hal != nullptr ? hal->GetEntry(0) : nullptr;
    if (line == nullptr || line->GetFieldCount() == 0) return;
    DeviceIds device;
    for (uint32_t index = 0; index < line->GetFieldCount(); ++index) {
        const char16_t* field = line->GetField(static_cast<int32_t>(index));
        if (field != nullptr && field[0] != u'\0') device.push_back(Processor::ToUtf8(std::u16string_view(field)));
    }
    if (device.empty()) return;
    Common::Trace(1, u"Replace hal with '{0}.'", {Processor::FromUtf8(device.name())});
    devices.push_back(std::move(device));
}

void DeviceDatabaseImpl::FirstFields(const char16_t* name, std::vector<String>& names) const
{
    Section* section = Find(name);
    if (section == nullptr) return;
    for (uint32_t index = 0; index < section->GetEntryCount(); ++index) {
        SectionEntry* line = section->GetEntry(static_cast<int32_t>(index));
        const char16_t* field = line != nullptr ? line->GetField(0) : nullptr;
        if (field != nullptr && field[0] != u'\0') names.emplace_back(field);
    }
}

void DeviceDatabaseImpl::ServicesToStop(std::vector<String>& names) { FirstFields(u"stopsvc", names); }

void DeviceDatabaseImpl::ServicesToSkip(std::vector<String>& names) { FirstFields(u"skipsvc", names); }

void DeviceDatabaseImpl::RegistryOperations(std::vector<RegistryOperationRecord>& records)
{
    Section* section = Find(u"registryops");
    if (section == nullptr) return;
    for (uint32_t index = 0; index < section->GetEntryCount(); ++index) {
        SectionEntry* line = section->GetEntry(static_cast<int32_t>(index));
        if (line == nullptr) continue;
        RegistryOperationRecord record;
        const uint32_t count = std::min<uint32_t>(line->GetFieldCount(), static_cast<uint32_t>(record.size()));
        for (uint32_t field = 0; field < count; ++field) {
            const char16_t* text = line->GetField(static_cast<int32_t>(field));
            if (text != nullptr) record[field] = String(text);
        }
        records.push_back(std::move(record));
    }
}

std::unique_ptr<DeviceDatabase> LoadDeviceDatabase(Common::i_file& file)
{
    ParseError error;
    std::unique_ptr<Inf> inf = ParseInf(file, nullptr, &error, 0);
    if (inf == nullptr)
        Common::Trace(4, Get(Messages::kHardwareDatabaseUnparsed),
                      {error.line, error.code});
    return std::make_unique<DeviceDatabaseImpl>(std::move(inf));
}

std::unique_ptr<DeviceDatabase> LoadDeviceDatabase(const Configuration& configuration)
{
    std::string path = "hwdb.txt";
    if (std::optional<String> configured = configuration.GetString(Settings::kHardwareDatabase)) {
        Common::Trace(2, Get(Messages::kHardwareDatabasePath), {*configured});
        path = Processor::ToUtf8(*configured);
    }
    Common::Error error;
    std::shared_ptr<Common::i_file> file = OpenShippedFile(path, error);
    if (file == nullptr) return nullptr;
    return LoadDeviceDatabase(*file);
}

std::unique_ptr<DeviceDatabase> LoadDeviceDatabase()
{
    return LoadDeviceDatabase(LoadConfiguration());
}

}  // namespace Transvia
