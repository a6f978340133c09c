#include "install/safe_names.h"

#include <vector>

#include "support/errors.h"
#include "support/local_dir.h"
#include "support/message_table.h"

namespace Transvia {

using Processor::String;

bool IsPlainFileName(const String& name)
{
    if (name.isEmpty() || name == u"." || name == u"..") return false;
    for (int32_t i = 0; i < name.length(); ++i) {
        const char16_t c = name.charAt(i);
        if (c == u'\\' || c == u'/' || c == u':' || c == 0) return false;
    }
    return true;
}

bool IsRelativeBeneath(const String& path)
{
    std::vector<String> components;
    return Common::SplitRelativePath(path, components);
}

std::shared_ptr<Common::rio_dir> OpenOrCreateFolder(Common::rio_dir& base, const String& path, Common::Error& error)
{
    std::vector<String> components;
    if (!Common::SplitRelativePath(path, components)) {
        error = Common::MakeError(Common::Codes::kCopyNameRefused, TV_HERE,
                                  Common::MessageTable::Text(Common::Messages::kFolderLeavesBase, {path}));
        return nullptr;
    }
    std::shared_ptr<Common::rio_dir> current = base.open_dir_rw(u".");
    if (!current) {
        error = base.last_error();
        return nullptr;
    }
    for (const String& component : components) {
        // An existing folder of that name (in any letter case) is reused by create_dir.
        if (!current->create_dir(component)) {
            error = current->last_error();
            return nullptr;
        }
        std::shared_ptr<Common::rio_dir> next = current->open_dir_rw(component);
        if (!next) {
            error = current->last_error();
            return nullptr;
        }
        current = std::move(next);
    }
    error = Common::Error();
    return current;
}

}  // namespace Transvia
