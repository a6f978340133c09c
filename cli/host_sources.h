#pragma once

#include <memory>
#include <string>
#include <vector>

#include "transvia/api.h"

namespace TransviaCli {

// Folders of this machine as the places searched first, each also an item of the source
// set for the text-mode driver harvest: "DIR=NAME" names the [scsi] entry of the folder's
// txtsetup.oem to take (its description, as text-mode setup offers them); a plain DIR
// names none.
class FolderSources final : public Transvia::DriverSourceSet {
public:
    // A folder that cannot be opened ends the command with status 2.
    explicit FolderSources(const std::vector<std::string>& arguments);
    uint32_t GetCount() const override { return static_cast<uint32_t>(items_.size()); }
    void GetItem(std::shared_ptr<Transvia::DriverSourceItem>& item, uint32_t index) const override;
    void GetLocations(std::shared_ptr<Transvia::LocationCollection>& collection, uint32_t flag) const override;

private:
    std::vector<std::shared_ptr<Transvia::DriverSourceItem>> items_;
    std::vector<std::shared_ptr<Common::i_dir>> folders_;
};

}  // namespace TransviaCli
