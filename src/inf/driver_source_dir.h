#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "inf/driver_sources.h"
#include "transvia/dir.h"

// A driver package seen as one flat, read-only folder: a file named by the package's
// records is found in whichever layout folder holds it for the target architecture, so
// that readers need not know where the package keeps its files.
namespace Transvia {

// Which package a view presents: the package folder and the INF whose records it uses.
struct DriverSourceIdentifier {
    Common::file_identifier folder;
    Processor::String infName;

    bool operator==(const DriverSourceIdentifier& other) const;
};

// The folders in which `name` is looked for below `base`, in order: `base` itself, then per
// record of `name` whose architecture is empty or `architecture`, its disk subfolder and
// its file subfolder below that (or below `base` without a disk subfolder), each when it
// opens. Folders that repeat an earlier one are left out.
std::vector<std::shared_ptr<Common::i_dir>> CandidateFolders(const std::shared_ptr<Common::i_dir>& base,
                                                             const DriverSources* sources,
                                                             const Processor::String& architecture,
                                                             const Processor::String& name);

class DriverSourceDir final : public Common::i_dir {
public:
    DriverSourceDir(std::shared_ptr<Common::i_dir> base, std::shared_ptr<const DriverSources> sources,
                    Processor::String architecture, Processor::String infName);

    // A single name is looked for in its candidate folders; a longer path is opened below
    // the package folder as it is.
    std::shared_ptr<Common::i_file> open_file(const Processor::String& path) const override;
    std::shared_ptr<Common::i_dir> open_dir(const Processor::String& path) const override;
    // The package's files that are present, one entry per name, under the record's name.
    std::unique_ptr<iterator> entries() const override;
    bool exists(const Processor::String& path) const override;
    std::optional<Common::dir_entry> stat(const Processor::String& path) const override;
    int compare_names(const Processor::String& a, const Processor::String& b) const override;
    std::shared_ptr<Common::i_dir> reopen() const override;
    Processor::String full_path() const override;
    int compare(const Common::i_dir& other) const override;
    bool identify(Common::file_identifier& id) const override;

    DriverSourceIdentifier Identifier() const;
    // The folder that holds `name` (one component), or null when no candidate has it.
    std::shared_ptr<Common::i_dir> Locate(const Processor::String& name) const;
    const std::shared_ptr<Common::i_dir>& base() const { return base_; }

private:
    std::shared_ptr<Common::i_dir> base_;
    std::shared_ptr<const DriverSources> sources_;
    Processor::String architecture_;
    Processor::String infName_;
};

// Walks the distinct file names of a package's records, skipping those not present. It
// holds its own references, so it may outlive the view that made it.
class DriverSourceIterator final : public Common::i_dir::iterator {
public:
    DriverSourceIterator(std::shared_ptr<Common::i_dir> base, std::shared_ptr<const DriverSources> sources,
                         Processor::String architecture);
    bool next(Common::dir_entry& entry) override;
    const Common::Error& last_error() const override { return error_; }

private:
    std::shared_ptr<Common::i_dir> base_;
    std::shared_ptr<const DriverSources> sources_;
    Processor::String architecture_;
    std::vector<Processor::String> names_;
    size_t position_ = 0;
    Common::Error error_;
};

// A view of the package in `folder` for `platform` (1 x86, 2 ia64, 3 amd64), over a copy
// of `sources`; null for a null folder. `infName` names the package in its identifier.
std::shared_ptr<DriverSourceDir> OpenDriverSourceDir(const std::shared_ptr<Common::i_dir>& folder,
                                                     const DriverSources& sources, uint32_t platform,
                                                     const Processor::String& infName);

}  // namespace Transvia
