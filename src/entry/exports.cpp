// The library's exported entries and its load-time set-up.
#include "entry/install_flow.h"
#include "entry/library_files.h"
#include "entry/schedule_flow.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"
#include "transvia/api.h"

namespace {

// Trace redirection state: the only state that outlives a call.
bool g_redirectionReady = false;
TraceTextCallback g_text = nullptr;
TraceEventCallback g_event = nullptr;
TraceErrorCallback g_error = nullptr;

void ForwardText(const char* source, Common::EventLevel level, uint32_t facility, uint32_t code, const char16_t* text);
void ForwardEvent(const char* source, Common::EventLevel level, uint32_t facility, uint32_t code, const char16_t* text,
                  const Common::EventField* fields, int32_t count);
void ForwardError(const char* source, Common::EventLevel level, const Common::Error& error);

void PrepareRedirection()
{
    if (g_redirectionReady) return;
    g_redirectionReady = true;
    g_text = nullptr;
    g_event = nullptr;
    g_error = nullptr;
    Common::SetTraceThreshold(1);
    try {
        // Keyed by ForwardText: however often the host calls, it is registered once.
        Common::RegisterTraceFunctions(&ForwardText, &ForwardEvent, &ForwardError);
    } catch (...) {
        g_redirectionReady = false;  // the next call retries
        throw;
    }
}

void ForwardText(const char* source, Common::EventLevel level, uint32_t facility, uint32_t code, const char16_t* text)
{
    PrepareRedirection();
    if (g_text != nullptr) g_text(source, level, facility, code, text);
}

void ForwardEvent(const char* source, Common::EventLevel level, uint32_t facility, uint32_t code, const char16_t* text,
                  const Common::EventField* fields, int32_t count)
{
    PrepareRedirection();
    if (g_event != nullptr) g_event(source, level, facility, code, text, fields, count);
}

void ForwardError(const char* source, Common::EventLevel level, const Common::Error& error)
{
    PrepareRedirection();
    if (g_error != nullptr) g_error(source, level, error);
}

// Without its message table the engine does not run: every entry returns why.
bool Started(Common::Error& result)
{
    const Common::Error& startup = Transvia::LibraryFiles::StartupError();
    if (startup.empty()) return true;
    Common::TraceError(4, startup);
    result = startup;
    return false;
}

__attribute__((constructor)) void LoadShippedFiles()
{
    Transvia::LibraryFiles::LoadFrom(Transvia::LibraryFiles::OwnFolder());
}

}  // namespace

Common::Error InstallDrivers(Common::rio_dir* target, const std::wstring& windowsDir,
                             const Transvia::InstallDriversParams* params)
{
    Common::Error result;
    if (!Started(result)) return result;
    const Processor::String windows = Processor::FromWide(windowsDir);
    try {
        if (target == nullptr || params == nullptr)
            Common::Raise(Common::Codes::kInvalidArgument, TV_HERE,
                          Common::MessageTable::Text(Common::Messages::kInvalidArgument, {u"InstallDrivers"}));
        Transvia::RunInstallDrivers(*target, windows, *params);
    } catch (const Common::Error& error) {
        return error;
    } catch (const std::exception& exception) {
        return Common::ErrorFromException(exception, TV_HERE);
    }
    return Common::Error();
}

Common::Error ScheduleForWindowsInstall(Transvia::PciDeviceClass deviceClass, Common::rio_dir* target,
                                        const std::wstring& windowsDir, const Transvia::DriverStorageList& storages,
                                        Transvia::InstallDriversCallback* callback,
                                        const Transvia::HardwareEnvironment* hardware)
{
    Common::Error result;
    if (!Started(result)) return result;
    const Processor::String windows = Processor::FromWide(windowsDir);
    try {
        if (target == nullptr)
            Common::Raise(Common::Codes::kInvalidArgument, TV_HERE,
                          Common::MessageTable::Text(Common::Messages::kInvalidArgument, {u"ScheduleForWindowsInstall"}));
        Transvia::RunScheduleForWindowsInstall(deviceClass, *target, windows, storages, callback, hardware);
    } catch (const Common::Error& error) {
        return error;
    } catch (const std::exception& exception) {
        return Common::ErrorFromException(exception, TV_HERE);
    }
    return Common::Error();
}

void SetTraceRedirection(TraceTextCallback text, TraceEventCallback event, TraceErrorCallback error)
{
    PrepareRedirection();
    g_text = text;
    g_event = event;
    g_error = error;
}
