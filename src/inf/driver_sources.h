#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "inf/inf.h"
#include "inf/inf_cache.h"
#include "transvia/dir.h"
#include "transvia/string.h"

// The files of one driver package: what its install section copies, its co-installers, the
// INF itself and its catalog, each with the package subfolders where the file is found.
namespace Transvia {

namespace FileRecordFlags {
constexpr uint32_t kInfFile = 0x1;
constexpr uint32_t kCatalogFile = 0x2;
}  // namespace FileRecordFlags

// One layout of one package file. A file listed in several layout sections has one record
// per section.
struct FileRecord {
    Processor::String name;
    // "x86", "amd64", "ia64" for a file found in a decorated section; empty otherwise.
    Processor::String architecture;
    Processor::String diskPath;  // below the package folder; may be empty
    Processor::String filePath;  // below the disk folder; may be empty
    uint64_t size = 0;           // 0 when the layout does not give it
    uint32_t flags = 0;          // FileRecordFlags

    // Names and folders compare as file names do: ignoring case.
    bool SameAs(const FileRecord& other) const;
};

class DriverSources {
public:
    virtual ~DriverSources() = default;
    virtual uint32_t Count() const = 0;
    // Null when `index` is outside 0 .. Count()-1.
    virtual const FileRecord* Record(uint32_t index) const = 0;
    // Appends the records of `other` that this list does not have yet, in other's order.
    virtual void Merge(const DriverSources& other) = 0;
    virtual std::unique_ptr<DriverSources> Clone() const = 0;
};

class DriverSourcesImpl final : public DriverSources {
public:
    // `platform`: 1 x86, 2 ia64, 3 amd64 (0: the layout sections of every architecture count).
    explicit DriverSourcesImpl(uint32_t platform) : platform_(platform) {}

    uint32_t Count() const override { return static_cast<uint32_t>(records_.size()); }
    const FileRecord* Record(uint32_t index) const override;
    void Merge(const DriverSources& other) override;
    std::unique_ptr<DriverSources> Clone() const override;

    uint32_t platform() const { return platform_; }
    // Adds `record` unless an equal one is present; true when added.
    bool Add(FileRecord record);
    bool Contains(const FileRecord& record) const;

private:
    uint32_t platform_;
    std::vector<FileRecord> records_;
};

// The file records of the package whose INF is `installSection`'s INF, found below
// `folder`. `layoutInf` (the INF's "LayoutFile", may be null) supplies layouts the INF
// lacks. A "CopyFiles" section the INF lacks is looked for in the INF files that the
// install section's "Include" line names, opened through `includes`; without that cache
// such a section is skipped with a trace. Null, with a trace, when the section or the
// folder is missing. Throws Common::Error for a layout line without fields (0x1D019A) and
// for a "CopyFiles" section found neither in the INF nor in what it includes (0x1D032C).
std::unique_ptr<DriverSources> CreateDriverSources(const std::shared_ptr<Common::i_dir>& folder, Inf* layoutInf,
                                                   Section* installSection, const char16_t* infFileName,
                                                   uint32_t platform, InfCache* includes = nullptr);

}  // namespace Transvia
