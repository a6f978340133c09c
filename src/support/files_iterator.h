#pragma once

#include <memory>
#include <vector>

#include "transvia/dir.h"

namespace Common {

// Enumerates the files under a folder: in it only (plain) or in all its subfolders too
// (recursive, depth first, symbolic links to folders not followed).
class FilesIterator {
public:
    FilesIterator(std::shared_ptr<const i_dir> root, bool recursive);

    // The next file, its path relative to the root ('\' separated) and its entry.
    bool next(Processor::String& relativePath, dir_entry& entry);
    // The folder the last file came from.
    const std::shared_ptr<const i_dir>& folder() const { return stack_.back().dir; }
    const Error& last_error() const { return error_; }

private:
    struct Level {
        std::shared_ptr<const i_dir> dir;
        std::unique_ptr<i_dir::iterator> it;
        Processor::String prefix;
    };
    std::vector<Level> stack_;
    bool recursive_;
    Error error_;
};

}  // namespace Common
