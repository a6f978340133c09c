#include "inf/driver_storage.h"

#include "support/trace.h"

namespace Transvia {

Processor::String DriverStorageLocalImpl::DisplayPath() const
{
    // The path is asked for in every progress and media message; the folder's answer
    // does not change while we hold it.
    std::call_once(pathTaken_, [this] {
        if (folder_ != nullptr) displayPath_ = folder_->full_path();
    });
    return displayPath_;
}

std::shared_ptr<DriverStorage> CreateLocalDriverStorage(const std::shared_ptr<Common::i_dir>& folder)
{
    if (folder == nullptr) return nullptr;
    // Our own reference, so the storage outlives the caller's object and its position.
    std::shared_ptr<Common::i_dir> own = folder->reopen();
    if (own == nullptr) {
        Common::TraceError(3, folder->last_error());
        return std::make_shared<DriverStorageLocalImpl>(nullptr);
    }
    return std::make_shared<DriverStorageLocalImpl>(std::move(own));
}

}  // namespace Transvia
