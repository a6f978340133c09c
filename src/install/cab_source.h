#pragma once

#include <map>
#include <memory>

#include "inf/win_sources.h"
#include "install/cab_system.h"
#include "transvia/dir.h"
#include "transvia/string.h"

// Files out of the CAB archives of a folder (the target's "Driver Cache" holds its
// driver.cab and service pack cabinets).
namespace Transvia {

class CabSource {
public:
    virtual ~CabSource() = default;
    // Extracts `fileName` from the newest entry of that name among the cabinets of
    // `folder` into `destination` as `destinationName`. False (traced) when no cabinet
    // holds the file or its extraction fails; a failed extraction leaves no file behind.
    virtual bool Extract(const Processor::String& fileName, Common::rio_dir& destination,
                         const Processor::String& destinationName, const Common::i_dir& folder) = 0;
};

// One cabinet entry's date and time as the cabinet records it.
struct CabTimestamp {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    // Compared field by field, year first.
    auto operator<=>(const CabTimestamp&) const = default;
};

class CabSourceImpl final : public CabSource {
public:
    CabSourceImpl();
    ~CabSourceImpl() override;

    bool Extract(const Processor::String& fileName, Common::rio_dir& destination,
                 const Processor::String& destinationName, const Common::i_dir& folder) override;

    // The largest entry we extract; driver files are far smaller.
    static constexpr uint64_t kMaxEntryBytes = uint64_t{1} << 30;

private:
    struct Found;
    // A cabinet whose headers were read, kept open for the next extraction as long as the
    // file is the same (inode, size, modification and change times).
    struct Opened {
        mscabd_cabinet* cabinet = nullptr;
        Common::dir_entry file;
    };
    // The decompressor, made on first use and kept.
    mscab_decompressor* Decompressor();
    // Cabinet `entry` of `folder` (at `path`), read once and then reused; null (traced)
    // when it is no cabinet we can read.
    mscabd_cabinet* Open(const std::shared_ptr<const Common::i_dir>& folder, const Common::dir_entry& entry,
                         const Processor::String& path, const Processor::String& fileName);
    bool ExtractEntry(const Found& found, const Processor::String& fileName, Common::rio_dir& destination,
                      const Processor::String& destinationName);

    CabSystem system_;
    mscab_decompressor* decompressor_ = nullptr;
    std::map<Processor::String, Opened> opened_;  // by cabinet path
};

// The processor makes one per run; the target's folders are not needed to make it.
std::unique_ptr<CabSource> CreateCabSource(WinSources& sources);

}  // namespace Transvia
