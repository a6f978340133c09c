#pragma once

#include <cstdint>
#include <vector>

#include "transvia/dir.h"

namespace Common {

// Copies file `name` of `from` into `to` as `newName`, replacing an existing file
// atomically: a temporary file in the destination folder, flushed, then renamed over
// the old name. A crash leaves either the old file or the new one, never a mixture.
Error CopyFile(const i_dir& from, const Processor::String& name, rio_dir& to, const Processor::String& newName);
// Copies folder `name` of `from` with all its content into `to` as `newName`.
Error CopyFolder(const i_dir& from, const Processor::String& name, rio_dir& to, const Processor::String& newName);
// Writes `data` as file `name` of `to`, replacing it atomically as CopyFile does.
Error ReplaceFile(rio_dir& to, const Processor::String& name, const void* data, size_t size);
// Reads a whole file of a directory; false with `error` set, EFBIG when it is larger than `limit`.
bool ReadWholeFile(const i_dir& directory, const Processor::String& name, std::vector<uint8_t>& bytes, Error& error,
                   uint64_t limit = UINT64_MAX);
// Deletes a folder with everything below it.
Error RemoveTree(rio_dir& dir, const Processor::String& name);

}  // namespace Common
