#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "inf/inf.h"
#include "install/inf_matching.h"
#include "registry/windows_registry.h"
#include "transvia/devices.h"
#include "transvia/dir.h"
#include "transvia/error.h"

// The scan of the driver search locations: every INF file is parsed once (files of
// unwanted device classes only up to their [Version] section) and matched against every
// device; only INF objects that can drive a device stay in memory.
namespace Transvia {

struct LocationFlags {
    uint8_t preferred = 0;  // tried before other locations, and wins ties of equal rank
    uint8_t recursive = 0;  // subfolders are scanned too
};

// Decides on an INF from its [Version] section: 0 accepts it, kCancelled or
// kInfClassRejected refuse it at once, any other code leaves the decision to other filters.
class InfFilter {
public:
    virtual ~InfFilter() = default;
    virtual uint32_t Check(Inf& inf) = 0;
};

// Accepts INF files of the listed setup classes (compared ignoring case); refuses other
// classes and INF files without a class GUID.
class ClassGuidFilter final : public InfFilter {
public:
    explicit ClassGuidFilter(std::vector<Processor::String> classes) : classes_(std::move(classes)) {}
    uint32_t Check(Inf& inf) override;

private:
    std::vector<Processor::String> classes_;
};

// 0 when the INF's class GUID is one of `classes` (ignoring case), kInfClassRejected for
// another class, kInvalidFormat for an INF without a class GUID.
uint32_t CheckClassGuid(Inf& inf, const std::vector<Processor::String>& classes);

// The classes a restored system needs to boot: storage controllers, the computer, system
// devices, processors and the bus controllers between them.
std::vector<Processor::String> BootCriticalClasses();

// Parser filter of the scan: asks the registered filters about [Version] and lets the
// parse stop there when the INF is not wanted.
class FilterInfByCLSID final : public ParserFilter {
public:
    explicit FilterInfByCLSID(const std::vector<InfFilter*>& filters) : filters_(filters) {}
    bool Accept(Inf& inf, Section& section) override;

private:
    const std::vector<InfFilter*>& filters_;
};

struct SearchLocation {
    std::shared_ptr<Common::i_dir> folder;
    LocationFlags flags;
};

// The flags of `folder`: those of the location equal to it, else those of a location
// that contains it, else none.
LocationFlags FlagsOf(const std::vector<SearchLocation>& locations, const Common::i_dir& folder);

struct ScanResult {
    std::vector<CandidateStore> stores;  // one per device, in device order
    std::vector<std::unique_ptr<Inf>> kept;  // every INF that matched a device
    uint32_t infFiles = 0;               // INF files seen, whether they parsed or not
    bool AnyCandidate() const;
};

// `progress` receives 0 .. 50 as the locations are scanned.
ScanResult ScanLocations(const std::vector<SearchLocation>& locations, const std::vector<InfFilter*>& filters,
                         const DeviceList& devices, const MatchSettings& settings,
                         const std::function<void(uint32_t)>& progress);

// The Windows version of the target from SOFTWARE "Microsoft\Windows NT\CurrentVersion".
// Windows 10 and later keep "CurrentVersion" at "6.3" for old programs and give the real
// version in "CurrentMajorVersionNumber" and "CurrentMinorVersionNumber"; those win when
// both are there, so that models sections decorated for 10.0 are chosen on such targets.
// Reads only: nothing is created in the hive.
Common::Error ReadTargetVersion(WindowsRegistry& registry, TargetVersion& version);

}  // namespace Transvia
