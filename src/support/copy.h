#pragma once

#include <cstdint>
#include <vector>

#include "transvia/dir.h"

namespace Common {

// Copies file `name` of `from` into `to` as `newName`, replaced as ReplaceFile does.
Error CopyFile(const i_dir& from, const Processor::String& name, rio_dir& to, const Processor::String& newName);
// Copies folder `name` of `from` with all its content into `to` as `newName`.
Error CopyFolder(const i_dir& from, const Processor::String& name, rio_dir& to, const Processor::String& newName);
// Writes `data` as file `name` of `to`, replacing an existing file
// atomically: a temporary file in the destination folder, flushed, then renamed over
// the old name. A crash leaves either the old file or the new one, never a mixture.
// The new file takes the owner, group and mode of the file it replaces; a file without
// predecessor gets `newMode`.
Error ReplaceFile(rio_dir& to, const Processor::String& name, const void* data, size_t size, uint32_t newMode = 0644);
// Reads a whole file of a directory; false with `error` set, EFBIG when it is larger than `limit`.
bool ReadWholeFile(const i_dir& directory, const Processor::String& name, std::vector<uint8_t>& bytes, Error& error,
                   uint64_t limit = UINT64_MAX);
// A name for scratch space of this run: `prefix`, "transvia-", this process's id and 64
// random bits ("transvia-1234-0123456789abcdef").
Processor::String ScratchName(const Processor::String& prefix);
// Removes what runs that ended without cleaning up left in `folder`: temporary files
// ".NAME.transvia-..." and scratch folders "transvia-...", each only when nothing in it
// changed for an hour and the process that made it is gone. Each folder is swept once
// per process.
void RemoveStaleScratch(rio_dir& folder);
// Deletes a folder with everything below it.
Error RemoveTree(rio_dir& dir, const Processor::String& name);

// Source of the level-1 event sent for every file the engine has put in place, with one
// field "path" holding its full path: a host collects from it what a run wrote.
constexpr const char* kFileWrittenEvent = "transvia.file_written";
void TraceFileWritten(const i_dir& folder, const Processor::String& name);

}  // namespace Common
