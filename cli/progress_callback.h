#pragma once

#include <cstdint>

#include "transvia/api.h"

namespace TransviaCli {

// The host's side of a run on the console: a progress bar on a terminal (one plain line per
// step otherwise), questions for a folder when the engine needs more drivers or a source
// medium (only when asking is allowed and there is a terminal to ask on), and Ctrl-C as
// the answer to "cancelled?".
class ConsoleCallback final : public Transvia::InstallDriversCallback {
public:
    ConsoleCallback(bool terminal, bool prompts);
    ~ConsoleCallback() override;
    ConsoleCallback(const ConsoleCallback&) = delete;
    ConsoleCallback& operator=(const ConsoleCallback&) = delete;

    void ReportProgress(uint32_t position) override;
    bool IsCancelled() override;
    void LocateDeviceDrivers(std::shared_ptr<Common::i_dir>& location, const Transvia::DeviceIds& device) override;
    void RequestSourceMedia(std::shared_ptr<Common::i_dir>& location, const Processor::String& manufacturer,
                            const Processor::String& description) override;
    void ReportStorageUnavailable(Transvia::DriverStorage& storage) override;

    // Ends a drawn bar's line, so that the next output starts on a line of its own.
    void BreakLine();

private:
    std::shared_ptr<Common::i_dir> AskFolder(const std::string& question);

    bool terminal_;
    bool prompts_;
    bool barShown_ = false;
    int64_t lastPosition_ = -1;
};

}  // namespace TransviaCli
