#include "run_report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include "entry/platform.h"
#include "install/inf_processor.h"
#include "install/inf_scan.h"
#include "registry/windows_registry.h"
#include "support/copy.h"
#include "support/logger.h"
#include "support/message_format.h"
#include "support/text.h"

namespace TransviaCli {

namespace {

RunReport* g_active = nullptr;

std::string Utf8(const char16_t* text) { return Processor::ToUtf8(std::u16string_view(text ? text : u"")); }

void ForwardText(const char*, Common::EventLevel level, uint32_t, uint32_t, const char16_t* text)
{
    if (g_active) g_active->OnText(level, text);
}

void ForwardEvent(const char* source, Common::EventLevel level, uint32_t, uint32_t, const char16_t* text,
                  const Common::EventField* fields, int32_t count)
{
    if (!g_active) return;
    g_active->OnText(level, text);
    g_active->OnEvent(source, text, fields, count);
}

void ForwardError(const char*, Common::EventLevel level, const Common::Error& error)
{
    if (g_active) g_active->OnError(level, error);
}

std::string Hex(uint32_t code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", code);
    return text;
}

// Identifiers compare ignoring ASCII case; a description may list a hundred thousand
// devices, so results are found by this key, not by a search.
std::string UpperId(std::string id)
{
    for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return id;
}

// The engine names a file as it asked for it ("config\\system"); the report names the
// entry on disk ("config/SYSTEM"), found as the engine finds it, ignoring letter case.
std::string OnDiskName(const std::string& root, const std::string& relative)
{
    std::filesystem::path path(root);
    std::string out;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        std::string part = relative.substr(start, end - start);
        std::error_code error;
        if (!std::filesystem::exists(path / part, error))
            for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
                const std::string name = entry.path().filename().string();
                if (Processor::EqualNoCase(Processor::FromFileName(name), Processor::FromFileName(part))) {
                    part = name;
                    break;
                }
            }
        path /= part;
        out += (out.empty() ? "" : "/") + part;
        start = end + 1;
    }
    return out;
}

std::string ResultText(const Common::Error& error)
{
    return error.failed() ? Processor::ToUtf8(Processor::RenderError(error)) : "success";
}

}  // namespace

TargetFacts DescribeTarget(const std::shared_ptr<Common::rio_dir>& target, const std::string& windows)
{
    TargetFacts facts;
    const Processor::String windowsName = Processor::FromFileName(windows);
    try {
        Transvia::LoggerHandle logger = Transvia::CreateLogger(false);
        const char16_t* platform =
            Transvia::InfPlatform::ArchitectureText(Transvia::DetectPlatform(*target, windowsName, *logger));
        if (platform[0]) facts.platform = Utf8(platform);
    } catch (const Common::Error&) {
        // the run itself reports an unreadable platform
    }
    facts.controlSet = Transvia::InspectWindowsRegistry(target->open_dir(windowsName)).control_set;
    if (auto folder = target->open_dir_rw(windowsName))
        if (auto registry = Transvia::CreateWindowsRegistry(folder)) {
            Transvia::TargetVersion version;
            if (!Transvia::ReadTargetVersion(*registry, version).failed()) {
                facts.major = version.major;
                facts.minor = version.minor;
            }
        }
    return facts;
}

RunReport::RunReport(std::string targetPath, ConsoleCallback* console, bool verbose, std::string done)
    : targetPath_(std::move(targetPath) + "/"), console_(console), verbose_(verbose), done_(std::move(done))
{
    g_active = this;
    SetTraceRedirection(&ForwardText, &ForwardEvent, &ForwardError);
}

RunReport::~RunReport()
{
    SetTraceRedirection(nullptr, nullptr, nullptr);
    g_active = nullptr;
}

void RunReport::OnText(Common::EventLevel level, const char16_t* text)
{
    if (!verbose_ && level < Common::EventLevel::Problem) return;
    if (console_) console_->BreakLine();
    if (verbose_) std::fprintf(stderr, "[%d] %s\n", static_cast<int>(level), Utf8(text).c_str());
    else std::fprintf(stderr, "warning: %s\n", Utf8(text).c_str());
}

void RunReport::OnError(Common::EventLevel level, const Common::Error& error)
{
    if (!verbose_ && level < Common::EventLevel::Problem) return;
    Processor::String text = Processor::RenderError(error);
    OnText(level, Processor::Terminated(text));
}

void RunReport::OnEvent(const char* source, const char16_t*, const Common::EventField* fields, int32_t count)
{
    if (source == nullptr) return;
    auto field = [&](const char* name) -> std::optional<std::string> {
        for (int32_t i = 0; i < count; ++i)
            if (std::string_view(fields[i].name) == name) return Utf8(fields[i].value);
        return std::nullopt;
    };
    if (std::string_view(source) == Common::kFileWrittenEvent) {
        const std::string path = field("path").value_or("");
        // Only the target's files: the engine's scratch space lies elsewhere.
        if (path.size() > targetPath_.size() && path.compare(0, targetPath_.size(), targetPath_) == 0) {
            const std::string relative = path.substr(targetPath_.size());
            if (std::find(files_.begin(), files_.end(), relative) == files_.end()) files_.push_back(relative);
        }
    } else if (std::string_view(source) == Transvia::kDeviceFinishedEvent) {
        DeviceResult device;
        device.ids.push_back(field("device").value_or("?"));
        device.code = static_cast<uint32_t>(std::stoul(field("code").value_or("0"), nullptr, 16));
        device.inf = field("inf");
        device.installSection = field("install_section");
        device.service = field("service");
        device.text = device.code == 0 ? done_ : "no driver could be installed";
        if (console_) console_->BreakLine();
        std::printf("%s: %s%s\n", device.ids[0].c_str(), device.text.c_str(),
                    device.inf ? (" from " + *device.inf).c_str() : "");
        std::fflush(stdout);
        // A device handled again in a later pass keeps its line, with the later result.
        const auto [it, added] = index_.emplace(UpperId(device.ids[0]), devices_.size());
        if (added) devices_.push_back(std::move(device));
        else devices_[it->second] = std::move(device);
    }
}

void RunReport::Finish(const Common::Error& result, const Transvia::DeviceList& handedIn, const HiveChanges& system,
                       const HiveChanges& software, const std::string& softwareFile)
{
    result_ = result;
    // A run that failed before it handled any device did not look for their drivers.
    const bool reached = !devices_.empty() || !result.failed() || result.code() == Common::Codes::kDevicesWithoutDriver;
    for (const Transvia::DeviceIds& ids : handedIn) {
        if (ids.empty()) continue;
        const auto [it, added] = index_.emplace(UpperId(ids.name()), devices_.size());
        if (!added) {
            devices_[it->second].ids = ids.ids();  // the full list, where the event named only the first
            continue;
        }
        DeviceResult missing;
        missing.ids = ids.ids();
        missing.code = reached ? Common::Codes::kDeviceWithoutDriver : result.code();
        missing.text = reached ? "no driver found" : "not handled: the run ended before";
        devices_.push_back(std::move(missing));
    }
    std::vector<std::string> files;
    for (const std::string& file : files_) {
        const std::string name = OnDiskName(targetPath_, file);
        if (std::find(files.begin(), files.end(), name) == files.end()) files.push_back(name);
    }
    files_ = std::move(files);
    keys_ = system.written();
    removedKeys_ = system.removed();
    softwareKeys_ = software.written();
    if (!softwareKeys_.empty() && std::find(files_.begin(), files_.end(), softwareFile) == files_.end())
        files_.push_back(softwareFile);
}

size_t RunReport::FailedInstalls() const
{
    return static_cast<size_t>(
        std::count_if(devices_.begin(), devices_.end(), [](const DeviceResult& d) { return d.code != 0; }));
}

void RunReport::PrintSummary() const
{
    const std::vector<std::string> header{"device", "INF", "install section", "service", "result"};
    std::vector<std::vector<std::string>> rows;
    for (const DeviceResult& d : devices_)
        rows.push_back({d.ids.empty() ? "?" : d.ids[0], d.inf.value_or("-"), d.installSection.value_or("-"),
                        d.service.value_or("-"), d.code == 0 ? d.text : d.text + " (" + Hex(d.code) + ")"});
    std::vector<size_t> width(header.size());
    for (size_t c = 0; c < header.size(); ++c) {
        width[c] = header[c].size();
        for (const auto& row : rows) width[c] = std::max(width[c], row[c].size());
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (size_t c = 0; c < cells.size(); ++c)
            text += c + 1 == cells.size() ? cells[c] : cells[c] + std::string(width[c] - cells[c].size() + 2, ' ');
        std::cout << text << "\n";
    };
    std::cout << "\n";
    line(header);
    for (const auto& row : rows) line(row);
    std::cout << "\n"
              << files_.size() << " files and " << keys_.size() + softwareKeys_.size() << " registry keys written, "
              << removedKeys_.size() << " keys removed\n"
              << "result: " << ResultText(result_) << "\n";
}

bool RunReport::WriteJson(const std::string& path, const TargetFacts& target) const
{
    using Json = nlohmann::ordered_json;
    auto optional = [](const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); };
    Json devices = Json::array();
    for (const DeviceResult& d : devices_)
        devices.push_back({{"ids", d.ids},
                           {"inf", optional(d.inf)},
                           {"install_section", optional(d.installSection)},
                           {"service", optional(d.service)},
                           {"code", d.code},
                           {"text", d.text}});
    const Json report{
        {"target", {{"platform", target.platform}, {"version", {target.major, target.minor}}, {"control_set", target.controlSet}}},
        {"result", {{"code", result_.code()}, {"text", ResultText(result_)}}},
        {"devices", devices},
        {"written", {{"files", files_}, {"keys", keys_}, {"software_keys", softwareKeys_}, {"removed_keys", removedKeys_}}}};
    std::ofstream out(path);
    out << report.dump(2) << "\n";
    return static_cast<bool>(out.flush());
}

}  // namespace TransviaCli
