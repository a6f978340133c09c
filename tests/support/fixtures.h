#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "transvia/dir.h"

// Shared test fixtures: scratch folders of this machine and the shared real-world data.
namespace TestSupport {

// A fresh folder under the system's temporary folder, removed with its content on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // A directory object over the folder (or a folder below it).
    std::shared_ptr<Common::rio_dir> dir(const std::string& sub = "") const;
    // Writes a file (creating its folders) and returns its path.
    std::filesystem::path write(const std::string& relative, const std::string& bytes) const;
    std::filesystem::path write(const std::string& relative, const std::vector<uint8_t>& bytes) const;
    std::string read(const std::string& relative) const;

private:
    std::filesystem::path path_;
};

// The folder of real hives and INF files shared beside the repository, or empty when
// absent (a user's clone has none); tests then skip with a message that says so.
std::filesystem::path SharedTestData();
#define TV_REQUIRE_SHARED_TESTDATA(var)                                                           \
    const std::filesystem::path var = ::TestSupport::SharedTestData();                           \
    if (var.empty())                                                                              \
        GTEST_SKIP() << "../shared/testdata is not beside this clone; real-data tests are skipped"

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);
// What a file object reads from its current position to its size.
std::string ReadAll(Common::i_file& file);
// Runs a shell command; returns its exit status and fills `output` with its stdout.
int RunCommand(const std::string& command, std::string* output = nullptr);
// Whether a program is on PATH.
bool HaveProgram(const std::string& name);

// The code of the Common::Error that `call` throws; 0 when it returns normally.
template <class Call> uint32_t ThrownCode(Call call)
{
    try {
        call();
    } catch (const Common::Error& error) {
        return error.code();
    }
    return 0;
}

}  // namespace TestSupport
