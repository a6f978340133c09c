#include "support/fixtures.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <stdexcept>

#include "support/local_dir.h"

namespace TestSupport {

ScratchDir::ScratchDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "transvia-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    // Tests may leave read-only entries behind; make them removable first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (!it->is_symlink(ignored))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(path_, ignored);
}

std::shared_ptr<Common::rio_dir> ScratchDir::dir(const std::string& sub) const
{
    Common::Error error;
    auto dir = Common::OpenLocalDir((sub.empty() ? path_ : path_ / sub).string(), error);
    if (!dir) throw std::runtime_error("cannot open scratch folder " + sub);
    return dir;
}

std::filesystem::path ScratchDir::write(const std::string& relative, const std::string& bytes) const
{
    return write(relative, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

std::filesystem::path ScratchDir::write(const std::string& relative, const std::vector<uint8_t>& bytes) const
{
    const std::filesystem::path target = path_ / relative;
    std::filesystem::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + target.string());
    return target;
}

std::string ScratchDir::read(const std::string& relative) const
{
    const auto bytes = ReadFileBytes(path_ / relative);
    return std::string(bytes.begin(), bytes.end());
}

std::filesystem::path SharedTestData()
{
    const std::filesystem::path path = TRANSVIA_SHARED_TESTDATA;
    std::error_code ignored;
    return std::filesystem::is_directory(path, ignored) ? std::filesystem::canonical(path, ignored) : std::filesystem::path();
}

std::string ReadAll(Common::i_file& file)
{
    std::string out(static_cast<size_t>(std::max<int64_t>(file.size(), 0)), '\0');
    out.resize(file.read(out.data(), out.size()));
    return out;
}

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int RunCommand(const std::string& command, std::string* output)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    const int status = ::pclose(pipe);
    if (output != nullptr) *output = std::move(text);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveProgram(const std::string& name)
{
    return RunCommand("command -v " + name + " >/dev/null 2>&1") == 0;
}

}  // namespace TestSupport
