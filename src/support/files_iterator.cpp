#include "support/files_iterator.h"

namespace Common {

FilesIterator::FilesIterator(std::shared_ptr<const i_dir> root, bool recursive) : recursive_(recursive)
{
    if (!root) return;
    auto it = root->entries();
    if (!it) {
        error_ = root->last_error();
        return;
    }
    stack_.push_back({std::move(root), std::move(it), Processor::String()});
}

bool FilesIterator::next(Processor::String& relativePath, dir_entry& entry)
{
    while (!stack_.empty()) {
        Level& level = stack_.back();
        if (!level.it->next(entry)) {
            if (!level.it->last_error().empty()) error_ = level.it->last_error();
            if (stack_.size() == 1) return false;  // keep the root so folder() stays valid
            stack_.pop_back();
            continue;
        }
        Processor::String path(level.prefix);
        path.append(entry.name);
        if (!entry.is_dir) {
            relativePath = path;
            return true;
        }
        if (!recursive_) continue;
        // Links to folders are reported as links, not folders, so they are never entered.
        std::shared_ptr<const i_dir> sub = level.dir->open_dir(entry.name);
        std::unique_ptr<i_dir::iterator> it = sub ? sub->entries() : nullptr;
        if (!it) {
            error_ = sub ? sub->last_error() : level.dir->last_error();
            continue;
        }
        path.append(u'\\');
        stack_.push_back({std::move(sub), std::move(it), path});
    }
    return false;
}

}  // namespace Common
