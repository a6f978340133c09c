#pragma once

#include <cstdint>
#include <memory>

#include "inf/driver_sources.h"
#include "inf/inf.h"
#include "inf/win_sources.h"
#include "install/cab_source.h"
#include "transvia/dir.h"
#include "transvia/error.h"
#include "transvia/string.h"

// One "CopyFiles" name of an install section carried out in the target: the files of a
// file section (or one "@file") go into the folder "DestinationDirs" names, found in the
// INF's folder and its source-disk subfolders, the target's Driver Cache and its cabinets,
// the target's driver store (for an INF already in the target) or, last, a folder the
// host supplies.
namespace Transvia {

class LocationCallback;

namespace CopyFlags {
constexpr uint64_t kNoOverwrite = 0x10;      // keep an existing destination file
constexpr uint64_t kReplaceOnly = 0x400;     // copy only over an existing destination file
}  // namespace CopyFlags

class FileCopyOp {
public:
    virtual ~FileCopyOp() = default;
    // Null: the Driver Cache is not searched.
    virtual void SetCabSource(CabSource* source) = 0;
    virtual void SetSourceLayout(const DriverSources* layout) = 0;
    // Asked for a folder holding a file that was found nowhere else.
    virtual void SetFallbackSources(LocationCallback* fallback) = 0;
    // `name`: a file section name or "@" and one file name, as the CopyFiles line has it.
    // `infFileName` (may be null) finds the driver store folder of an INF in the target.
    virtual Common::Error Execute(Inf& inf, const Common::i_dir& infFolder, const Processor::String& name,
                                  const char16_t* infFileName) = 0;
};

class FileCopyOpImpl final : public FileCopyOp {
public:
    // `platform`: 1 x86, 2 ia64, 3 amd64.
    FileCopyOpImpl(WinSources& sources, uint32_t platform);

    void SetCabSource(CabSource* source) override { cab_ = source; }
    void SetSourceLayout(const DriverSources* layout) override { layout_ = layout; }
    void SetFallbackSources(LocationCallback* fallback) override { fallback_ = fallback; }
    Common::Error Execute(Inf& inf, const Common::i_dir& infFolder, const Processor::String& name,
                          const char16_t* infFileName) override;

private:
    struct Call;
    // The destination folder for file section `section` (null: "DefaultDestDir").
    std::shared_ptr<Common::rio_dir> Destination(Call& call, const Processor::String* section, Common::Error& error);
    Common::Error CopySection(Call& call, const Processor::String& section);
    Common::Error CopyOne(Call& call, const Processor::String& source, Common::rio_dir& target,
                          const Processor::String& destination);
    // The base folder, then the layout subfolders of `file` below it.
    std::vector<std::shared_ptr<const Common::i_dir>> Candidates(const Common::i_dir& base,
                                                                 const Processor::String& file);
    bool FromDriverCache(const Processor::String& source, Common::rio_dir& target, const Processor::String& destination,
                         Common::Error& failure);
    bool FromDriverStore(Call& call, const Processor::String& source, Common::rio_dir& target,
                         const Processor::String& destination, Common::Error& failure);

    WinSources& sources_;
    Processor::String architecture_;
    CabSource* cab_ = nullptr;
    const DriverSources* layout_ = nullptr;
    LocationCallback* fallback_ = nullptr;
};

std::unique_ptr<FileCopyOp> CreateFileCopyOp(WinSources& sources, uint32_t platform);

}  // namespace Transvia
