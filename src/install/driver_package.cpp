#include "install/driver_package.h"

#include "support/errors.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/trace_levels.h"

namespace Transvia {

namespace {

using Processor::String;

// Where a record puts its file below the package folder: disk subfolder, file subfolder, name.
String RecordPath(const FileRecord& record)
{
    String path;
    for (const String* part : {&record.diskPath, &record.filePath}) {
        if (part->isEmpty()) continue;
        path += *part;
        path += u'\\';
    }
    path += record.name;
    return path;
}

bool HoldsFile(const Common::i_dir& folder, const String& path)
{
    const std::optional<Common::dir_entry> entry = folder.stat(path);
    return entry && !entry->is_dir;
}

}  // namespace

Driver::Sources::Sources(std::shared_ptr<Common::i_dir> folder, const DriverSources& files, DriverCallback& callback)
    : callback_(callback)
{
    locations_.push_back(std::move(folder));
    std::vector<String> done;
    // A host without a medium for one file has none for the others: it is asked once.
    bool ask = true;
    for (uint32_t i = 0; i < files.Count(); ++i) {
        const String& name = files.Record(i)->name;
        bool seen = false;
        for (const String& other : done) seen = seen || Processor::EqualNoCase(other, name);
        if (seen) continue;
        done.push_back(name);
        // A file counts as present when any of its layouts leads to it in any location.
        auto find = [&](size_t location, String& path) {
            for (uint32_t j = 0; j < files.Count(); ++j) {
                const FileRecord* record = files.Record(j);
                if (!Processor::EqualNoCase(record->name, name)) continue;
                path = RecordPath(*record);
                if (HoldsFile(*locations_[location], path)) return true;
            }
            return false;
        };
        String path;
        bool found = false;
        for (size_t location = 0; location < locations_.size() && !found; ++location) {
            found = find(location, path);
            if (found && location > 0) fromMedia_.push_back({path, location});
        }
        if (found) continue;
        std::shared_ptr<Common::i_dir> medium;
        if (ask) callback_.LocateSourceMedia(medium, name);
        ask = ask && medium != nullptr;
        bool known = medium == nullptr;
        for (const auto& location : locations_) known = known || location->compare(*medium) == 0;
        if (!known) {
            locations_.push_back(std::move(medium));
            if (find(locations_.size() - 1, path)) {
                fromMedia_.push_back({path, locations_.size() - 1});
                continue;
            }
        }
        missing_.push_back(name);
    }
}

Driver::Sources::~Sources()
{
    for (size_t i = 1; i < locations_.size(); ++i) callback_.ReleaseSourceMedia(*locations_[i]);
}

Driver::Driver(String manufacturer, String description, std::unique_ptr<DriverSources> files,
               std::shared_ptr<Common::i_dir> infFolder, String infFileName)
    : manufacturer_(std::move(manufacturer)),
      description_(std::move(description)),
      files_(std::move(files)),
      infFolder_(std::move(infFolder)),
      infFileName_(std::move(infFileName))
{
}

std::shared_ptr<Driver::Sources> Driver::GetSources(DriverCallback& callback) const
{
    std::shared_ptr<Common::i_dir> folder = infFolder_ ? infFolder_->reopen() : nullptr;
    if (!folder) return nullptr;
    return std::make_shared<Sources>(std::move(folder), *files_, callback);
}

std::shared_ptr<Driver> CreateDriver(const String& manufacturer, const String& description, Section& installSection,
                                     const std::shared_ptr<Common::i_dir>& infFolder, const String& infFileName,
                                     Logger& logger)
{
    std::unique_ptr<DriverSources> files;
    String name(infFileName);
    try {
        // Platform 0: the layouts of every architecture, as the package is staged whole.
        files = CreateDriverSources(infFolder, nullptr, &installSection, Processor::Terminated(name), 0);
    } catch (const Common::Error& error) {
        logger.WriteError(Common::TraceLevel::kDetail, error);
    }
    if (!files) {
        logger.WriteFormat(Common::TraceLevel::kDetail, Common::kTraceFacility, 0, nullptr,
                           u"Unable to enum driver sources from '{0}'.", infFileName);
        return nullptr;
    }
    try {
        return std::make_shared<Driver>(manufacturer, description, std::move(files), infFolder, infFileName);
    } catch (const std::bad_alloc&) {
        Common::Raise(Common::Codes::kOutOfMemory, TV_HERE, infFileName);
    }
}

}  // namespace Transvia
