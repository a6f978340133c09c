#include "support/message_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "support/errors.h"
#include "support/message_format.h"
#include "support/text.h"
#include "transvia/codes.h"

namespace Common::MessageTable {

namespace {

// Kept for the life of the process: records reference these texts.
struct Table {
    std::vector<char16_t> block;
    std::vector<const char16_t*> entries;
    // The table this one replaced, kept reachable: records may still reference its texts.
    const Table* previous = nullptr;
};
Table* g_table = nullptr;

Error Refuse(const std::string& path, const char* what)
{
    Processor::String text(u"The message table '");
    text.append(Processor::FromUtf8(path)).append(u"' ").append(Processor::FromUtf8(what));
    return MakeError(Codes::kMessageTableInvalid, TV_HERE, text);
}

bool ReadAll(int fd, void* buffer, size_t count)
{
    auto* out = static_cast<char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::read(fd, out, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

}  // namespace

Error Load(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Refuse(path, errno == ENOENT ? "is missing." : "cannot be opened.");
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    uint8_t header[8];
    if (!ReadAll(fd, header, sizeof header)) return Refuse(path, "is too short for its header.");
    const uint32_t count = Le32(header);
    const uint32_t blockSize = Le32(header + 4);
    if (count != Messages::kTableSize) return Refuse(path, "does not hold exactly 1270 messages.");
    struct stat st;
    if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != 8ull + 4ull * count + blockSize)
        return Refuse(path, "has a size that does not match its header.");
    if (blockSize < 2 || blockSize % 2 != 0) return Refuse(path, "has a malformed text block.");

    std::vector<uint8_t> offsets(4 * count);
    if (!ReadAll(fd, offsets.data(), offsets.size())) return Refuse(path, "is truncated in its offsets.");
    auto table = std::make_unique<Table>();
    table->block.resize(blockSize / 2);
    if (!ReadAll(fd, table->block.data(), blockSize)) return Refuse(path, "is truncated in its texts.");
    // The block ends with a NUL, so every text that starts inside it ends inside it.
    if (table->block.back() != u'\0') return Refuse(path, "has a text block without its final NUL.");
    for (char16_t& c : table->block) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(&c);
        c = static_cast<char16_t>(bytes[0] | (bytes[1] << 8));
    }
    table->entries.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t offset = Le32(&offsets[4 * i]);
        if (offset >= blockSize || offset % 2 != 0) return Refuse(path, "has a text offset outside its block.");
        table->entries[i] = table->block.data() + offset / 2;
    }
    table->previous = g_table;
    g_table = table.release();
    return Error();
}

bool Loaded() { return g_table != nullptr; }

const char16_t* Get(uint32_t number)
{
    if (g_table == nullptr || number >= g_table->entries.size()) return u"";
    return g_table->entries[number];
}

bool Contains(const char16_t* text)
{
    if (g_table == nullptr || text == nullptr) return false;
    const char16_t* begin = g_table->block.data();
    return text >= begin && text < begin + g_table->block.size();
}

Processor::String Text(uint32_t number, std::initializer_list<Processor::Variant> arguments)
{
    return Processor::Format(Processor::String(Get(number)), arguments);
}

}  // namespace Common::MessageTable
