#pragma once

#include <memory>
#include <vector>

#include "inf/driver_sources.h"
#include "inf/inf.h"
#include "support/logger.h"
#include "transvia/dir.h"
#include "transvia/string.h"

// A driver package as one candidate of a device offers it, for staging whole: its names,
// its file records and the folders that hold its files.
namespace Transvia {

// How a package's file sources reach beyond the package folder.
class DriverCallback {
public:
    virtual ~DriverCallback() = default;
    // A folder holding `fileName`, a file of the package its own folder lacks; none when
    // there is no such medium.
    virtual void LocateSourceMedia(std::shared_ptr<Common::i_dir>& location, const Processor::String& fileName) = 0;
    // Told when the sources no longer need a folder LocateSourceMedia supplied, so that a
    // host may let go of the medium.
    virtual void ReleaseSourceMedia(const Common::i_dir& location) = 0;
};

class Driver {
public:
    // The files of the package and where each was found.
    class Sources {
    public:
        Sources(std::shared_ptr<Common::i_dir> folder, const DriverSources& files, DriverCallback& callback);
        ~Sources();
        Sources(const Sources&) = delete;
        Sources& operator=(const Sources&) = delete;

        // The package's own folder first, then the media supplied for files it lacks.
        const std::vector<std::shared_ptr<Common::i_dir>>& Locations() const { return locations_; }
        // Files of the package found only on a supplied medium: their path below the
        // package folder (as the layout gives it) and the index of the location holding them.
        struct Found {
            Processor::String path;
            size_t location;
        };
        const std::vector<Found>& FromMedia() const { return fromMedia_; }
        // Names of files found in no location.
        const std::vector<Processor::String>& Missing() const { return missing_; }

    private:
        std::vector<std::shared_ptr<Common::i_dir>> locations_;
        std::vector<Found> fromMedia_;
        std::vector<Processor::String> missing_;
        DriverCallback& callback_;
    };

    Driver(Processor::String manufacturer, Processor::String description, std::unique_ptr<DriverSources> files,
           std::shared_ptr<Common::i_dir> infFolder, Processor::String infFileName);

    const Processor::String& Manufacturer() const { return manufacturer_; }
    const Processor::String& Description() const { return description_; }
    const DriverSources& Files() const { return *files_; }
    const std::shared_ptr<Common::i_dir>& InfFolder() const { return infFolder_; }
    const Processor::String& InfFileName() const { return infFileName_; }

    // Looks every file of the package up, asking `callback` for a medium when the package
    // folder lacks one. Null when the package folder cannot be opened again.
    std::shared_ptr<Sources> GetSources(DriverCallback& callback) const;

private:
    Processor::String manufacturer_;
    Processor::String description_;
    std::unique_ptr<DriverSources> files_;
    std::shared_ptr<Common::i_dir> infFolder_;
    Processor::String infFileName_;
};

// The driver of one candidate: the file records of `installSection` (every architecture's
// layout counts, since Windows picks the files at install time). Null, traced through
// `logger`, when the package's files cannot be listed.
std::shared_ptr<Driver> CreateDriver(const Processor::String& manufacturer, const Processor::String& description,
                                     Section& installSection, const std::shared_ptr<Common::i_dir>& infFolder,
                                     const Processor::String& infFileName, Logger& logger);

}  // namespace Transvia
