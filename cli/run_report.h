#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "hive_changes.h"
#include "progress_callback.h"
#include "transvia/api.h"

namespace TransviaCli {

// What the target was before the run, for the report's header.
struct TargetFacts {
    std::string platform = "unknown";
    uint32_t major = 0;
    uint32_t minor = 0;
    std::string controlSet;
};
// Read-only; what cannot be read stays unknown.
TargetFacts DescribeTarget(const std::shared_ptr<Common::rio_dir>& target, const std::string& windows);

struct DeviceResult {
    std::vector<std::string> ids;
    std::optional<std::string> inf;  // as `plan` names it
    std::optional<std::string> installSection;
    std::optional<std::string> service;
    uint32_t code = 0;
    std::string text;
};

// Collects a run from the engine's traces (SetTraceRedirection): each device's result as it
// finishes, printed at once, and every file the engine put in place below the target; then
// prints the summary and writes the JSON report. One report is active at a time.
class RunReport {
public:
    RunReport(std::string targetPath, ConsoleCallback* console, bool verbose, std::string done);
    ~RunReport();
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // Devices the host handed in that no event named get a line of their own. SOFTWARE is
    // edited in place, so its file counts as written when its keys changed.
    void Finish(const Common::Error& result, const Transvia::DeviceList& handedIn, const HiveChanges& system,
                const HiveChanges& software, const std::string& softwareFile);
    void PrintSummary() const;
    // False when the file cannot be written.
    bool WriteJson(const std::string& path, const TargetFacts& target) const;
    // Devices that had candidates and got none of them installed, as the run reported them so far.
    size_t FailedInstalls() const;

    // Trace entry points (called through the process-wide redirection).
    void OnText(Common::EventLevel level, const char16_t* text);
    void OnEvent(const char* source, const char16_t* text, const Common::EventField* fields, int32_t count);
    void OnError(Common::EventLevel level, const Common::Error& error);

private:
    std::string targetPath_;  // real path, ending in '/'
    ConsoleCallback* console_;
    bool verbose_;
    std::string done_;
    std::vector<DeviceResult> devices_;
    std::unordered_map<std::string, size_t> index_;  // upper-cased first identifier -> devices_
    std::vector<std::string> files_;
    std::vector<std::string> keys_;
    std::vector<std::string> removedKeys_;
    std::vector<std::string> softwareKeys_;
    Common::Error result_;
};

}  // namespace TransviaCli
