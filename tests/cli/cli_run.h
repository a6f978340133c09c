#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

// What the program tests share: running it, snapshots of folders, a small target, and the
// --json reports read in one place, so that only one translation unit parses JSON.
namespace CliTest {

const std::string kCli = TRANSVIA_CLI;

// Runs a shell command with stderr folded into `out`; returns its exit status.
int Shell(const std::string& command, std::string* out = nullptr);

// Contents of every file below `root` by relative path (folders end in "/", links are empty).
std::map<std::string, std::vector<uint8_t>> Snapshot(const std::filesystem::path& root);

// A target's Windows folder with the config, drivers and inf folders and an amd64 ntdll.dll
// header; false when a step fails.
bool MakeWindows(const std::filesystem::path& windows);
// A fresh SOFTWARE hive whose CurrentVersion key holds `values` (.reg lines); `reg` is a
// scratch file for the import.
bool MakeSoftware(const std::filesystem::path& hive, const std::string& values, const std::filesystem::path& reg);

// A JSON document flattened to JSON-pointer paths ("/devices/0/ids/0") and scalar texts
// (strings without quotes, numbers and booleans as written).
class Report {
public:
    Report() = default;
    explicit Report(const std::string& text);
    static Report FromFile(const std::filesystem::path& path);

    bool valid() const { return valid_; }
    // The scalar at `path`, "<missing>" where there is none.
    std::string operator[](const std::string& path) const;
    long Number(const std::string& path) const { return std::stol((*this)[path]); }
    // How many elements the array at `path` has.
    size_t Count(const std::string& path) const;
    // The scalars at path/0/sub, path/1/sub, ... (`sub` empty: the elements themselves).
    std::vector<std::string> List(const std::string& path, const std::string& sub = "") const;
    const std::string& text() const { return text_; }

private:
    bool valid_ = false;
    std::map<std::string, std::string> values_;
    std::string text_;
};

}  // namespace CliTest
