#include "host_storage.h"

#include "support/text.h"

namespace TransviaCli {

Processor::String FolderStorage::DisplayPath() const { return Processor::FromFileName(path_); }

Processor::String FolderStorage::Description() const
{
    return Processor::String(u"driver folder ").append(DisplayPath());
}

std::shared_ptr<Common::i_dir> FolderStorage::Location() const
{
    return Common::OpenLocalDirectory(path_, nullptr);
}

Transvia::DriverStorageList FolderStorages(const std::vector<std::string>& paths)
{
    Transvia::DriverStorageList storages;
    for (const std::string& path : paths) storages.push_back(std::make_shared<FolderStorage>(path));
    return storages;
}

}  // namespace TransviaCli
