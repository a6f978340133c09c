#pragma once

#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "transvia/dir.h"

// A readable file object over bytes held in memory: INF text that does not come from a
// folder (an archive member, a fuzzer's input) parses through the same path as a file.
namespace Transvia {

class MemoryFile final : public Common::i_file {
public:
    explicit MemoryFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    explicit MemoryFile(std::string_view bytes) : bytes_(bytes.begin(), bytes.end()) {}

    size_t read(void* buffer, size_t count) override;
    size_t read_at(uint64_t offset, void* buffer, size_t count) override;
    int64_t seek(uint64_t offset) override;
    int64_t move(int64_t distance) override;
    int64_t size() override { return static_cast<int64_t>(bytes_.size()); }
    void close() override {}

    // Reads that would reach past `offset` fail with an I/O error, as a failing disk does.
    void FailReadsFrom(uint64_t offset) { failFrom_ = offset; }

private:
    bool Failing(uint64_t offset, size_t count);

    std::vector<uint8_t> bytes_;
    uint64_t position_ = 0;
    uint64_t failFrom_ = std::numeric_limits<uint64_t>::max();
};

}  // namespace Transvia
