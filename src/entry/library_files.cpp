#include "entry/library_files.h"

#include "support/errors.h"
#include "support/message_table.h"
#include "support/module_folder.h"
#include "support/text.h"

namespace Transvia::LibraryFiles {

namespace {

// Function-local so it is ready whenever the load-time constructor runs.
Common::Error& Startup()
{
    static Common::Error startup = Common::MakeError(Common::Codes::kMessageTableInvalid, TV_HERE,
                                                     u"The engine has not loaded its message table.");
    return startup;
}

}  // namespace

std::string OwnFolder() { return Common::ModuleFolder(); }

Common::Error LoadFrom(const std::string& folder)
{
    Startup() = Common::MessageTable::Load(folder + "/" + Common::MessageTable::kFileName);
    return Startup();
}

const Common::Error& StartupError() { return Startup(); }

}  // namespace Transvia::LibraryFiles
