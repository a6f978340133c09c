#pragma once

#include <memory>

#include "install/driver_package.h"
#include "install/inf_processor.h"
#include "transvia/api.h"

// What the INF processor does with a device's candidate when Windows, not the engine, is
// to install it at first start: check that the target has a driver (present check), or
// copy the package into the target's Temp folder and name it in DevicePath (staging).
namespace Transvia {

class ScheduleInstall final : public CustomInstall, public DriverCallback {
public:
    enum class Mode { PresentCheck, Staging };

    // `callback` (staging only, may be null) answers requests for source media.
    explicit ScheduleInstall(Mode mode, InstallDriversCallback* callback = nullptr)
        : mode_(mode), callback_(mode == Mode::Staging ? callback : nullptr)
    {
    }

    // The target is not cleaned: Windows installs these devices itself.
    void Prepare(WinSources&, WindowsRegistry&) override {}
    void SetCandidate(const std::shared_ptr<Common::i_dir>& infFolder, const DeviceIds& device,
                      Section& installSection, const Processor::String& infFileName) override;
    void SetNames(const Processor::String& manufacturer, const Processor::String& description) override;
    void Install(Common::Error& error, WinSources& sources, WindowsRegistry& registry) override;

    // The host's medium for the candidate's manufacturer and description; none without a
    // host. Throws 0x1D0001 when the host then asks to stop.
    void LocateSourceMedia(std::shared_ptr<Common::i_dir>& location, const Processor::String& fileName) override;
    void ReleaseSourceMedia(const Common::i_dir&) override {}

private:
    Common::Error Stage(WinSources& sources, WindowsRegistry& registry);

    Mode mode_;
    InstallDriversCallback* callback_;
    std::shared_ptr<Common::i_dir> infFolder_;
    DeviceIds device_;
    Section* installSection_ = nullptr;
    Processor::String infFileName_;
    Processor::String manufacturer_;
    Processor::String description_;
};

}  // namespace Transvia
