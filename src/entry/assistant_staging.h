#pragma once

#include <memory>
#include <string>

#include "transvia/api.h"

namespace Transvia {

// The assistant package that ships beside the library: a System-class INF for the
// pseudo-device "DisableHWUI_ID" and the program it installs into the target.
inline constexpr const char16_t* kAssistantInf = u"assistant.inf";
inline constexpr const char16_t* kAssistantProgram = u"transvia_assistant.exe";
inline constexpr const char16_t* kAssistantFolder = u"assistant";

// A storage the run made itself. It holds the process's scratch folder: that folder goes
// with its last holder.
struct StagedStorage {
    std::shared_ptr<Common::rio_dir> scratch;
    std::shared_ptr<DriverStorage> storage;
};

// Copies the assistant package from `shippedFolder` (a path of this machine) into the
// folder "assistant" of the process's scratch folder and returns a storage over it. Only
// this machine is written. Throws 0x1D025C when the folder or a copy cannot be made,
// 0x1D0347 when a shipped file cannot be opened, 0x1D0193 when no storage results.
StagedStorage StageAssistantPackage(const std::string& shippedFolder);

}  // namespace Transvia
