#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "install/target_version.h"
#include "registry/file_reg.h"
#include "transvia/devices.h"
#include "transvia/dir.h"
#include "transvia/error.h"
#include "transvia/string.h"

// Registration of a boot driver in the SYSTEM hive's root key "DriverDatabase". Windows 8
// and later bind a device found at boot to a driver through it (the CriticalDeviceDatabase
// of earlier versions is no longer read), so without an entry there a restored system
// stops at INACCESSIBLE_BOOT_DEVICE although the driver's service is in place.
namespace Transvia {

class Inf;
class Section;
class RegistryKey;
class WindowsRegistry;

// Which key binds boot devices to drivers on a target.
// kBoth: a SYSTEM hive with a DriverDatabase beside a SOFTWARE hive naming an older Windows.
enum class DeviceDatabaseKind { kNone, kCriticalDevice, kDriver, kBoth };

// From the SYSTEM hive alone: DriverDatabase when its root holds that key, the
// CriticalDeviceDatabase when the current control set holds that one. Creates nothing.
DeviceDatabaseKind DeviceDatabaseOf(const Common::file_reg& systemRoot);
// The same for the target whose Windows folder is `windows`, reading its SYSTEM hive
// without writing (a dirty one is recovered in memory); kNone when it cannot be read.
DeviceDatabaseKind InspectDeviceDatabase(const std::shared_ptr<Common::i_dir>& windows,
                                         const Common::HiveLogPolicy& policy = {});
// What the engine writes for a target of this version whose SYSTEM hive is as given.
DeviceDatabaseKind DeviceDatabaseWritten(DeviceDatabaseKind present, const TargetVersion& version);
const char* DeviceDatabaseName(DeviceDatabaseKind kind);

// Whether the DriverDatabase is to be written for this target. False (with a trace, no
// error) when the hive has none; an error when the hive has one that does not fit: a
// version before 6.2 or a recorded architecture other than the platform's.
Common::Error UsesDriverDatabase(WindowsRegistry& registry, const TargetVersion& version, uint32_t platform, bool& use);

// One identifier of the models lines that chose the install section.
struct ModelsId {
    std::u16string id;
    uint8_t roles = 0;      // DriverDatabaseRecords::IdRole bits
    uint16_t position = 0;  // place in the line's compatible list, for a compatible identifier
};

// What the registration needs of a candidate.
struct DriverPackageRegistration {
    std::u16string infName;        // the INF's file name in its package ("viostor.inf")
    std::u16string configuration;  // the install section as resolved for the platform
    std::u16string service;        // the service the device runs on
    std::vector<ModelsId> ids;
    uint8_t featureScore = 0xFF;
    std::u16string classGuid;  // empty when the INF names none
    std::u16string driverVerDate;
    std::u16string driverVerVersion;
    std::u16string provider;
    // The name the INF has in the target's INF folder after publication ("oem7.inf"), or empty.
    std::u16string publishedInf;
};

// Reads the registration input from the INF: the identifiers of every line of `models`
// that names `installSection` and one of `deviceIds` (each byte widened), FeatureScore of
// the install section, ClassGUID, DriverVer and Provider of [Version].
DriverPackageRegistration DescribeDriverPackage(Inf& inf, Section& installSection, Section* models,
                                                const std::vector<Processor::String>& deviceIds,
                                                const Processor::String& infName, const Processor::String& service);

// What a registration wrote, relative to the SYSTEM hive root.
struct DriverDatabaseWrites {
    std::u16string package;        // "viostor.inf_amd64_0000000000000000"
    std::u16string publishedName;  // "oem9.inf"
    std::vector<std::u16string> keys;    // keys created, each a whole tree of ours
    std::vector<std::u16string> values;  // values added to keys that hold others ("key\value")
};

// True when a package already in the DriverDatabase serves the device with `service`:
// one of the device's identifiers has a DeviceIds entry whose INF's active package maps
// that identifier, through its Descriptors, to a configuration of that service.
// `package` receives that package's name.
bool ServedByExistingPackage(WindowsRegistry& registry, const DeviceIds& device, const Processor::String& service,
                             Processor::String* package = nullptr);

// Writes the DeviceIds values, DriverInfFiles\<published>, DriverPackages\<package> with
// its Version, configuration and Descriptors, and the OemInfMap bit of the published name.
// Existing values of other packages are kept; keys are found ignoring case. Everything is
// checked before the first write. `infFolder` (the target's INF folder, may be null) keeps
// a new oemN.inf name clear of files there. Errors: kDriverPackageNoClass,
// kDriverDatabaseUnusable, kUniqueNamesExhausted, kRegistryOperationFailed.
Common::Error RegisterDriverPackage(WindowsRegistry& registry, const TargetVersion& version, uint32_t platform,
                                    const DriverPackageRegistration& input, const Common::i_dir* infFolder,
                                    DriverDatabaseWrites& writes);

}  // namespace Transvia
