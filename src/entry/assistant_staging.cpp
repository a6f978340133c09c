#include "entry/assistant_staging.h"

#include "inf/driver_storage.h"
#include "support/copy.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace Transvia {

namespace {

std::shared_ptr<Common::rio_dir> OpenStagingFolder(const std::shared_ptr<Common::TempDirScope>& temp,
                                                   const Common::Error& error)
{
    if (!temp)
        Common::Raise(Common::Codes::kStagingFailed, TV_HERE,
                      Common::MessageTable::Text(Common::Messages::kTempDirFailed), error);
    // A second run in the same process finds the folder made by the first: it is reused.
    const Common::Error createError = temp->create_dir(kAssistantFolder) ? Common::Error() : temp->last_error();
    std::shared_ptr<Common::rio_dir> folder = temp->open_dir_rw(kAssistantFolder);
    Common::file_identifier id;
    if (!folder || !folder->identify(id)) {
        const Common::Error cause = folder ? folder->last_error() : createError.failed() ? createError : temp->last_error();
        Common::Raise(Common::Codes::kStagingFailed, TV_HERE,
                      Common::MessageTable::Text(Common::Messages::kTempDirFailed), cause);
    }
    return folder;
}

}  // namespace

StagedStorage StageAssistantPackage(const std::string& shippedFolder)
{
    Common::Error error;
    std::shared_ptr<Common::TempDirScope> temp = Common::TempDir::Get(error);
    std::shared_ptr<Common::rio_dir> staging = OpenStagingFolder(temp, error);
    const Processor::String names[] = {kAssistantInf, kAssistantProgram};

    Common::Error folderError;
    const std::shared_ptr<Common::rio_dir> shipped = Common::OpenLocalDirectory(shippedFolder, &folderError);
    for (const Processor::String& name : names) {
        std::shared_ptr<Common::i_file> file = shipped ? shipped->open_file(name) : nullptr;
        if (!file)
            Common::Raise(Common::Codes::kShippedFileMissing, TV_HERE,
                          Common::MessageTable::Text(Common::Messages::kShippedFileOpen, {name}),
                          shipped ? shipped->last_error() : folderError);
        file->close();
    }
    for (const Processor::String& name : names) {
        if (Common::Error copy = Common::CopyFile(*shipped, name, *staging, name); copy.failed())
            Common::Raise(Common::Codes::kStagingFailed, TV_HERE,
                          Common::MessageTable::Text(Common::Messages::kShippedFileCopy, {name}), copy);
    }

    std::shared_ptr<DriverStorage> storage = CreateLocalDriverStorage(staging);
    if (!storage)
        Common::Raise(Common::Codes::kStorageRegistration, TV_HERE,
                      Common::MessageTable::Text(Common::Messages::kStorageUnavailable, {staging->full_path()}));
    return {std::move(temp), std::move(storage)};
}

}  // namespace Transvia
