#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "transvia/api.h"

// Driver storages over folders the engine itself holds: the host's folders given as
// directory objects and the install flow's own staging folder.
namespace Transvia {

// The identity under which hosts and the engine recognise a storage object.
constexpr uint32_t kDriverStorageInterfaceId = 0x0B68D204;

class DriverStorageLocalImpl final : public DriverStorage {
public:
    explicit DriverStorageLocalImpl(std::shared_ptr<Common::i_dir> folder) : folder_(std::move(folder)) {}

    // A local folder is always there, writable as the host made it and not a network path.
    bool IsRemovable() const override { return false; }
    Processor::String DisplayPath() const override;
    bool IsNetwork() const override { return false; }
    Processor::String VolumeLabel() const override { return {}; }
    bool IsReadOnly() const override { return false; }
    Processor::String Description() const override { return {}; }
    std::shared_ptr<Common::i_dir> Location() const override { return folder_; }

private:
    std::shared_ptr<Common::i_dir> folder_;
    mutable std::once_flag pathTaken_;
    mutable Processor::String displayPath_;
};

// Null for a null folder; otherwise a storage holding its own reference to the folder.
std::shared_ptr<DriverStorage> CreateLocalDriverStorage(const std::shared_ptr<Common::i_dir>& folder);

}  // namespace Transvia
