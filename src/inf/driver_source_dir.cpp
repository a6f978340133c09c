#include "inf/driver_source_dir.h"

#include "inf/architecture.h"
#include "support/errors.h"
#include "support/text.h"

namespace Transvia {
namespace {

using Processor::String;

bool AlreadyListed(const std::vector<std::shared_ptr<Common::i_dir>>& folders, const Common::i_dir& folder)
{
    for (const auto& known : folders)
        if (known->compare(folder) == 0) return true;
    return false;
}

// One component that names an entry of a folder (not the folder itself or its parent).
bool IsSingleName(const String& path)
{
    return !path.isEmpty() && path.indexOf(u'\\') < 0 && path.indexOf(u'/') < 0 && path != String(u".") &&
           path != String(u"..");
}

void AddFolder(std::vector<std::shared_ptr<Common::i_dir>>& folders, std::shared_ptr<Common::i_dir> folder)
{
    if (folder != nullptr && !AlreadyListed(folders, *folder)) folders.push_back(std::move(folder));
}

}  // namespace

// The folder among the candidates that holds the file `name`; null when none does.
static std::shared_ptr<Common::i_dir> LocateFile(const std::shared_ptr<Common::i_dir>& base,
                                                 const DriverSources* sources, const String& architecture,
                                                 const String& name)
{
    for (const auto& folder : CandidateFolders(base, sources, architecture, name)) {
        const std::optional<Common::dir_entry> entry = folder->stat(name);
        if (entry && !entry->is_dir) return folder;
    }
    return nullptr;
}

bool DriverSourceIdentifier::operator==(const DriverSourceIdentifier& other) const
{
    return folder == other.folder && Processor::EqualNoCase(infName, other.infName);
}

std::vector<std::shared_ptr<Common::i_dir>> CandidateFolders(const std::shared_ptr<Common::i_dir>& base,
                                                             const DriverSources* sources,
                                                             const String& architecture, const String& name)
{
    std::vector<std::shared_ptr<Common::i_dir>> folders;
    if (base == nullptr) return folders;
    folders.push_back(base);
    if (sources == nullptr) return folders;
    for (uint32_t index = 0; index < sources->Count(); ++index) {
        const FileRecord* record = sources->Record(index);
        if (record == nullptr || !Processor::EqualNoCase(record->name, name)) continue;
        if (!record->architecture.isEmpty() && !Processor::EqualNoCase(record->architecture, architecture)) continue;
        std::shared_ptr<Common::i_dir> disk = base;
        if (!record->diskPath.isEmpty()) {
            disk = base->open_dir(record->diskPath);
            AddFolder(folders, disk);
        }
        // A file subfolder counts below the disk folder only when that opened.
        if (disk != nullptr && !record->filePath.isEmpty()) AddFolder(folders, disk->open_dir(record->filePath));
    }
    return folders;
}

DriverSourceDir::DriverSourceDir(std::shared_ptr<Common::i_dir> base, std::shared_ptr<const DriverSources> sources,
                                 String architecture, String infName)
    : base_(std::move(base)), sources_(std::move(sources)), architecture_(std::move(architecture)),
      infName_(std::move(infName))
{
}

std::shared_ptr<Common::i_dir> DriverSourceDir::Locate(const String& name) const
{
    return LocateFile(base_, sources_.get(), architecture_, name);
}

std::shared_ptr<Common::i_file> DriverSourceDir::open_file(const String& path) const
{
    clear_error();
    std::shared_ptr<Common::i_dir> folder = IsSingleName(path) ? Locate(path) : base_;
    if (folder == nullptr) folder = base_;  // the base's own failure names the missing file
    std::shared_ptr<Common::i_file> file = folder->open_file(path);
    if (file == nullptr) fail(folder->last_error());
    return file;
}

std::shared_ptr<Common::i_dir> DriverSourceDir::open_dir(const String& path) const
{
    clear_error();
    std::shared_ptr<Common::i_dir> dir = base_->open_dir(path);
    if (dir == nullptr) fail(base_->last_error());
    return dir;
}

std::unique_ptr<Common::i_dir::iterator> DriverSourceDir::entries() const
{
    clear_error();
    return std::make_unique<DriverSourceIterator>(base_, sources_, architecture_);
}

bool DriverSourceDir::exists(const String& path) const
{
    return stat(path).has_value();
}

std::optional<Common::dir_entry> DriverSourceDir::stat(const String& path) const
{
    clear_error();
    std::shared_ptr<Common::i_dir> folder = IsSingleName(path) ? Locate(path) : base_;
    if (folder == nullptr) folder = base_;
    std::optional<Common::dir_entry> entry = folder->stat(path);
    if (!entry) fail(folder->last_error());
    return entry;
}

int DriverSourceDir::compare_names(const String& a, const String& b) const
{
    return base_->compare_names(a, b);
}

std::shared_ptr<Common::i_dir> DriverSourceDir::reopen() const
{
    clear_error();
    std::shared_ptr<Common::i_dir> base = base_->reopen();
    if (base == nullptr) {
        fail(base_->last_error());
        return nullptr;
    }
    return std::make_shared<DriverSourceDir>(std::move(base), sources_, architecture_, infName_);
}

String DriverSourceDir::full_path() const
{
    return base_->full_path();
}

int DriverSourceDir::compare(const Common::i_dir& other) const
{
    if (const auto* view = dynamic_cast<const DriverSourceDir*>(&other)) return base_->compare(*view->base_);
    return base_->compare(other);
}

bool DriverSourceDir::identify(Common::file_identifier& id) const
{
    clear_error();
    if (base_->identify(id)) return true;
    return fail(base_->last_error());
}

DriverSourceIdentifier DriverSourceDir::Identifier() const
{
    DriverSourceIdentifier identifier;
    base_->identify(identifier.folder);
    identifier.infName = infName_;
    return identifier;
}

DriverSourceIterator::DriverSourceIterator(std::shared_ptr<Common::i_dir> base,
                                           std::shared_ptr<const DriverSources> sources, String architecture)
    : base_(std::move(base)), sources_(std::move(sources)), architecture_(std::move(architecture))
{
    if (sources_ == nullptr) return;
    for (uint32_t index = 0; index < sources_->Count(); ++index) {
        const FileRecord* record = sources_->Record(index);
        if (record == nullptr) continue;
        bool known = false;
        for (const String& name : names_)
            known = known || Processor::EqualNoCase(name, record->name);
        if (!known) names_.push_back(record->name);
    }
}

bool DriverSourceIterator::next(Common::dir_entry& entry)
{
    error_ = Common::Error();
    while (position_ < names_.size()) {
        const String& name = names_[position_++];
        // Names with separators or dot components are not entries of one flat folder.
        if (!IsSingleName(name)) continue;
        std::shared_ptr<Common::i_dir> folder = LocateFile(base_, sources_.get(), architecture_, name);
        if (folder == nullptr) continue;
        std::optional<Common::dir_entry> found = folder->stat(name);
        if (!found) continue;
        entry = std::move(*found);
        entry.name = name;
        return true;
    }
    return false;
}

std::shared_ptr<DriverSourceDir> OpenDriverSourceDir(const std::shared_ptr<Common::i_dir>& folder,
                                                     const DriverSources& sources, uint32_t platform,
                                                     const String& infName)
{
    if (folder == nullptr) return nullptr;
    return std::make_shared<DriverSourceDir>(folder, std::shared_ptr<const DriverSources>(sources.Clone()),
                                             String(InfPlatform::ArchitectureText(platform)), infName);
}

}  // namespace Transvia
