#pragma once

#include "inf/driver_sources.h"
#include "inf/win_sources.h"
#include "transvia/dir.h"

// Publication of a driver package into the target: its INF into the target's INF folder
// (under its own name when free, else the first free oemN.inf) and its catalogs into the
// system catalog folder, so that the installed system knows the package.
namespace Transvia {

constexpr const char16_t* kCatalogFolder = u"CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";

// Never throws: a file that cannot be published is traced (0x1D019D) and passed over.
// A package read from the target's own INF folder is already published: nothing is done.
// `publishedInf`, when given, receives the name the package's INF has in the target's INF
// folder afterwards (its own name for a package read from there), or stays empty.
void PublishDriverFiles(const Common::i_dir& packageFolder, WinSources& sources, const DriverSources& files,
                        Processor::String* publishedInf = nullptr);

}  // namespace Transvia
