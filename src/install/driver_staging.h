#pragma once

#include <memory>
#include <string>

#include "install/driver_package.h"
#include "registry/windows_registry.h"
#include "transvia/dir.h"
#include "transvia/error.h"

// Staging a driver package in the target for Windows' own installation at first start:
// a folder of its own under the Windows "Temp" folder, named in the target's DevicePath.
namespace Transvia {

// The letters and digits of the manufacturer name followed by those of the device's least
// specific identifier ("Acme Corp." and "PCI\CC_0200" give "AcmeCorpPCICC0200").
// Names without a single letter or digit give "Driver", so that every package still gets
// a folder of its own, numbered like any other.
Processor::String StagingFolderBase(const Processor::String& manufacturer, const std::string& lastIdentifier);

// `base` when `temp` has no entry of that name, otherwise the first free "base~2", "base~3", ...
Processor::String UniqueStagingName(const Common::i_dir& temp, const Processor::String& base);

// The Windows folder's "Temp", created when missing. Null, with `error` set, when it cannot
// be created or opened; a "Temp" that is a link leading out of the target is refused.
std::shared_ptr<Common::rio_dir> OpenTargetTemp(Common::rio_dir& windows, Common::Error& error);

// Copies the package folder with its content into `temp` as `name`, then the files that
// only a supplied medium had, each to its place below the package. A failed copy removes
// what it made. A package folder holding `temp` itself is refused: it would copy into itself.
Common::Error StageDriverFiles(const Driver::Sources& sources, Common::rio_dir& temp, const Processor::String& name);

// Appends ";%SystemRoot%\Temp\<folderName>" to SOFTWARE's DevicePath, written back as an
// expandable string. A DevicePath that is missing or holds at most one byte stays as it is.
// Errors: kNoDriverFound with message 626 (no SOFTWARE or no CurrentVersion key) or 629
// (a DevicePath that is no string), kRegistryOperationFailed when the write fails.
Common::Error ExtendDevicePath(WindowsRegistry& registry, const Processor::String& folderName);

}  // namespace Transvia
