#pragma once

#include <memory>
#include <string>
#include <vector>

#include "transvia/api.h"

namespace TransviaCli {

// A driver storage over a folder of this machine, opened afresh each time the engine asks,
// so a folder that is missing (a medium not yet attached) answers "no location" and is
// found once it appears.
class FolderStorage final : public Transvia::DriverStorage {
public:
    explicit FolderStorage(std::string path) : path_(std::move(path)) {}
    bool IsRemovable() const override { return false; }
    Processor::String DisplayPath() const override;
    bool IsNetwork() const override { return false; }
    Processor::String VolumeLabel() const override { return {}; }
    bool IsReadOnly() const override { return true; }
    Processor::String Description() const override;
    std::shared_ptr<Common::i_dir> Location() const override;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

Transvia::DriverStorageList FolderStorages(const std::vector<std::string>& paths);

}  // namespace TransviaCli
