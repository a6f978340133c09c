#pragma once
// Files the registry fuzz targets hand to the engine: a scratch folder per process and
// whole-file reads that stay fast under the sanitizers. The folder is made under $TMPDIR
// when set: a long campaign points it at a tmpfs, or the engine's flushes of every
// committed hive make the run wait on the disk instead of fuzzing.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace FuzzFiles {

inline const std::filesystem::path& Folder()
{
    static const std::filesystem::path folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp && *tmp ? tmp : "/tmp";
        std::string pattern = base + "/transvia-fuzz-XXXXXX";
        const char* made = ::mkdtemp(pattern.data());
        return std::filesystem::path(made ? made : base);
    }();
    return folder;
}

inline void Write(const std::filesystem::path& file, const uint8_t* data, size_t size)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline std::vector<uint8_t> Read(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(in ? static_cast<size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

}  // namespace FuzzFiles
