// The storage a host gets for a plain folder.
#include "inf/driver_storage.h"
#include "support/errors.h"

namespace Transvia {

std::shared_ptr<DriverStorage> CreateFolderStorage(const std::string& path, Common::Error* error)
{
    Common::Error failure;
    std::shared_ptr<Common::rio_dir> folder = Common::OpenLocalDirectory(path, &failure);
    if (folder == nullptr) {
        if (error != nullptr) *error = failure;
        return nullptr;
    }
    if (error != nullptr) *error = Common::Error();
    return std::make_shared<DriverStorageLocalImpl>(std::move(folder));
}

}  // namespace Transvia
