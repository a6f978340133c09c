#pragma once

#include <memory>

#include "transvia/dir.h"
#include "transvia/string.h"

// Names that come from driver packages, cabinets and the target's index files are
// untrusted. A file name must name one entry of the folder it is used in; a subfolder may
// go down several levels but never up, never from a root and never onto another drive.
namespace Transvia {

// True for a name of one entry: not empty, no separator, no drive colon, not "." or "..".
bool IsPlainFileName(const Processor::String& name);

// A relative path that stays below its folder: no leading separator, no drive letter, no
// ".." component (empty and "." components are allowed and mean nothing).
bool IsRelativeBeneath(const Processor::String& path);

// Opens `path` below `base`, creating each missing folder on the way. Null, with `error`
// set, when the path leaves `base` or a folder cannot be created or opened.
std::shared_ptr<Common::rio_dir> OpenOrCreateFolder(Common::rio_dir& base, const Processor::String& path,
                                                    Common::Error& error);

}  // namespace Transvia
