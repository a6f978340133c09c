#include "install/schedule_install.h"

#include "install/driver_staging.h"
#include "support/copy.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/trace.h"
#include "support/trace_levels.h"

namespace Transvia {

namespace {

using Processor::String;

Common::Error CandidateRefused(uint32_t message, const String& section, const String& infFileName,
                               const Common::Error& cause = {})
{
    return Common::MakeError(Common::Codes::kNoDriverFound, TV_HERE,
                             Common::MessageTable::Text(message, {section, infFileName}), cause);
}

}  // namespace

void ScheduleInstall::SetCandidate(const std::shared_ptr<Common::i_dir>& infFolder, const DeviceIds& device,
                                   Section& installSection, const String& infFileName)
{
    infFolder_ = infFolder;
    device_ = device;
    installSection_ = &installSection;
    infFileName_ = infFileName;
}

void ScheduleInstall::SetNames(const String& manufacturer, const String& description)
{
    manufacturer_ = manufacturer;
    description_ = description;
}

void ScheduleInstall::Install(Common::Error& error, WinSources& sources, WindowsRegistry& registry)
{
    if (mode_ == Mode::PresentCheck) {
        // The target's own INF folder has a driver: Windows will use it, nothing is written.
        Common::Trace(Common::TraceLevel::kDetail, u"Driver for '{0}' in '{1}' present.",
                      {installSection_ ? String(installSection_->GetName()) : String(), infFileName_});
        error = Common::Error();
        return;
    }
    error = Stage(sources, registry);
    if (error.failed()) Common::TraceError(Common::TraceLevel::kWarning, error);
}

Common::Error ScheduleInstall::Stage(WinSources& sources, WindowsRegistry& registry)
{
    if (!infFolder_ || installSection_ == nullptr || device_.empty())
        return Common::MakeError(Common::Codes::kInvalidArgument, TV_HERE,
                                 Common::MessageTable::Text(Common::Messages::kInvalidArgument, {u"ScheduleInstall"}));
    const String section(installSection_->GetName());
    LoggerHandle logger = CreateLogger(false);
    std::shared_ptr<Driver> driver =
        CreateDriver(manufacturer_, description_, *installSection_, infFolder_, infFileName_, *logger);
    std::shared_ptr<Driver::Sources> files = driver ? driver->GetSources(*this) : nullptr;
    if (!files) return CandidateRefused(Common::Messages::kDriverCreateFailed, section, infFileName_);
    for (const String& name : files->Missing())
        Common::Trace(Common::TraceLevel::kDetail, Common::MessageTable::Get(Common::Messages::kScheduleFileMissing),
                      {name, infFileName_});

    Common::rio_dir* windows = sources.GetWindowsDir();
    Common::Error cause;
    std::shared_ptr<Common::rio_dir> temp = windows ? OpenTargetTemp(*windows, cause) : nullptr;
    if (!temp) return CandidateRefused(Common::Messages::kStageCopyFailed, section, infFileName_, cause);
    const String name = UniqueStagingName(*temp, StagingFolderBase(manufacturer_, device_[device_.size() - 1]));
    cause = StageDriverFiles(*files, *temp, name);
    if (cause.failed()) return CandidateRefused(Common::Messages::kStageCopyFailed, section, infFileName_, cause);
    Common::Trace(Common::TraceLevel::kDetail, Common::MessageTable::Get(Common::Messages::kScheduleStaged), {infFileName_, name});
    cause = ExtendDevicePath(registry, name);
    // Windows would never look into a folder DevicePath does not name.
    if (cause.failed()) Common::RemoveTree(*temp, name);
    return cause;
}

void ScheduleInstall::LocateSourceMedia(std::shared_ptr<Common::i_dir>& location, const String&)
{
    location.reset();
    if (callback_ == nullptr) return;
    callback_->RequestSourceMedia(location, manufacturer_, description_);
    // Thrown through the processor, whose run ends with it as its result.
    if (callback_->IsCancelled())
        Common::Raise(Common::Codes::kCancelled, TV_HERE, Common::MessageTable::Text(Common::Messages::kCancelled));
}

}  // namespace Transvia
