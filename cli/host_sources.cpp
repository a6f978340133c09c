#include "host_sources.h"

#include "command.h"
#include "support/text.h"

namespace TransviaCli {

namespace {

class Locations final : public Transvia::LocationCollection {
public:
    explicit Locations(std::vector<std::shared_ptr<Common::i_dir>> folders) : folders_(std::move(folders)) {}
    uint32_t GetCount() const override { return static_cast<uint32_t>(folders_.size()); }
    std::shared_ptr<Common::i_dir> GetLocation(uint32_t index) const override
    {
        return index < folders_.size() ? folders_[index] : nullptr;
    }

private:
    std::vector<std::shared_ptr<Common::i_dir>> folders_;
};

class FolderItem final : public Transvia::DriverSourceItem {
public:
    FolderItem(Processor::String name, std::shared_ptr<Common::i_dir> folder)
        : name_(std::move(name)), folder_(std::move(folder))
    {
    }
    void GetName(Processor::String& name) const override { name = name_; }
    void GetLocations(std::shared_ptr<Transvia::LocationCollection>& collection, uint32_t) const override
    {
        collection = std::make_shared<Locations>(std::vector<std::shared_ptr<Common::i_dir>>{folder_});
    }

private:
    Processor::String name_;
    std::shared_ptr<Common::i_dir> folder_;
};

}  // namespace

FolderSources::FolderSources(const std::vector<std::string>& arguments)
{
    for (const std::string& argument : arguments) {
        const size_t equals = argument.find('=');
        const std::string path = argument.substr(0, equals);
        const std::string name = equals == std::string::npos ? std::string() : argument.substr(equals + 1);
        std::shared_ptr<Common::i_dir> folder = OpenFolder(path);
        folders_.push_back(folder);
        items_.push_back(std::make_shared<FolderItem>(Processor::FromUtf8(name), folder));
    }
}

void FolderSources::GetItem(std::shared_ptr<Transvia::DriverSourceItem>& item, uint32_t index) const
{
    item = index < items_.size() ? items_[index] : nullptr;
}

void FolderSources::GetLocations(std::shared_ptr<Transvia::LocationCollection>& collection, uint32_t) const
{
    collection = std::make_shared<Locations>(folders_);
}

}  // namespace TransviaCli
