#pragma once

#include "inf/driver_sources.h"
#include "inf/win_sources.h"
#include "install/driver_database.h"
#include "registry/windows_registry.h"

// The boot-driver step after a candidate's services are in place: the service made
// loadable at boot, the package registered in the DriverDatabase where the target has
// one, staged for the assistant to import properly at the first start, and recorded.
namespace Transvia {

// Below the Windows folder: one folder per registered package.
constexpr const char16_t* kStagedDriversFolder = u"transvia\\drivers";
constexpr const char16_t* kPackagesKey = u"Packages";

// Deletes Services\<service>\StartOverride, which Windows 8 and later leave on boot
// drivers of absent devices and which keeps the loader from loading them. True when the
// key is gone afterwards.
bool MakeServiceBootable(WindowsRegistry& registry, const Processor::String& service);

// Copies the package's files (INF, catalogs, what its install section copies) from
// `packageFolder` into <Windows>\transvia\drivers\<package>\ with their layout subfolders.
// An error when the folder or the INF cannot be written; a file the package lacks is traced.
Common::Error StageDriverPackage(WinSources& sources, const Common::i_dir& packageFolder, const DriverSources& files,
                                 const Processor::String& infName, const Processor::String& package);

// Adds the staged package's folder to SOFTWARE ...\CurrentVersion "DevicePath", keeping
// the value's type and every entry it has; an entry already there (ignoring case) is not
// added again. False, with a trace, when the value has another type or cannot be written.
bool AddToDevicePath(WindowsRegistry& registry, const Processor::String& package);

// Writes Services\transvia_assistant\Packages\<package>: "Inf", "PublishedName", and
// "Keys" and "Values" holding what an earlier record listed and what `writes` adds.
bool RecordDriverPackage(WindowsRegistry& registry, const DriverDatabaseWrites& writes, const Processor::String& infName);

// The whole step for one candidate whose services named `input.service` for the device.
// On a target without a DriverDatabase only the service is made bootable; where a package
// the target has already binds the device to that service, nothing more is written.
// Errors that refuse the candidate: those of UsesDriverDatabase and RegisterDriverPackage.
Common::Error RegisterBootDriver(WindowsRegistry& registry, WinSources& sources, const TargetVersion& version,
                                 uint32_t platform, const DriverPackageRegistration& input,
                                 const Common::i_dir& packageFolder, const DriverSources& files, const DeviceIds& device);

}  // namespace Transvia
