#include "cli/cli_run.h"

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "support/fixtures.h"

namespace fs = std::filesystem;

namespace CliTest {

int Shell(const std::string& command, std::string* out) { return TestSupport::RunCommand(command + " 2>&1", out); }

std::map<std::string, std::vector<uint8_t>> Snapshot(const fs::path& root)
{
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        files[fs::relative(entry.path(), root).string() + (entry.is_directory() && !entry.is_symlink() ? "/" : "")] =
            entry.is_regular_file() && !entry.is_symlink() ? TestSupport::ReadFileBytes(entry.path())
                                                           : std::vector<uint8_t>();
    return files;
}

bool MakeWindows(const fs::path& windows)
{
    for (const char* folder : {"System32/config", "System32/drivers", "inf"}) fs::create_directories(windows / folder);
    return Shell("python3 " TRANSVIA_SOURCE_DIR "/tools/make_ntdll_header.py " + (windows / "System32/ntdll.dll").string() +
                 " amd64") == 0;
}

bool MakeSoftware(const fs::path& hive, const std::string& values, const fs::path& reg)
{
    fs::remove(hive);
    std::ofstream(reg) << "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
                       << values;
    return Shell(kCli + " reg new " + hive.string()) == 0 &&
           Shell(kCli + " reg import --prefix 'HKEY_LOCAL_MACHINE\\SOFTWARE' " + hive.string() + " " + reg.string()) == 0;
}

Report::Report(const std::string& text) : text_(text)
{
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    valid_ = !json.is_discarded();
    if (!valid_) return;
    const nlohmann::json flat = json.flatten();
    for (const auto& [path, value] : flat.items())
        values_[path] = value.is_string() ? value.get<std::string>() : value.dump();
}

Report Report::FromFile(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return Report(text.str());
}

std::string Report::operator[](const std::string& path) const
{
    const auto found = values_.find(path);
    return found == values_.end() ? "<missing>" : found->second;
}

size_t Report::Count(const std::string& path) const
{
    // "/a/1" sorts before "/a/10", so the first key at or after an element's path is its own.
    auto present = [&](const std::string& element) {
        const auto it = values_.lower_bound(element);
        return it != values_.end() && (it->first == element || it->first.starts_with(element + "/"));
    };
    size_t count = 0;
    while (present(path + "/" + std::to_string(count))) ++count;
    return count;
}

std::vector<std::string> Report::List(const std::string& path, const std::string& sub) const
{
    std::vector<std::string> list;
    for (size_t i = 0, n = Count(path); i < n; ++i) list.push_back((*this)[path + "/" + std::to_string(i) + sub]);
    return list;
}

}  // namespace CliTest
