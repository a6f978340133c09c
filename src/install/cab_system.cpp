#include "install/cab_system.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace Transvia {

struct CabSystem::File {
    CabSystem* owner = nullptr;
    std::shared_ptr<Common::i_file> input;
    bool output = false;
    uint64_t position = 0;
    uint64_t size = 0;
};

namespace {

// Allocation header: the owner (free gets no system pointer) and the size, 16 bytes so
// the block after it keeps malloc's alignment.
struct AllocHeader {
    CabSystem* owner;
    size_t size;
};
static_assert(sizeof(AllocHeader) == 16);

constexpr char kCabinetPrefix[] = "\x01" "cabinet:";

thread_local CabSystem* t_active = nullptr;

}  // namespace

CabSystem::Active::Active(CabSystem& system) : previous_(t_active) { t_active = &system; }
CabSystem::Active::~Active() { t_active = previous_; }

CabSystem::CabSystem()
{
    mspack_system& s = system_;
    s.open = &CabSystem::Open;
    s.close = &CabSystem::Close;
    s.read = &CabSystem::Read;
    s.write = &CabSystem::Write;
    s.seek = &CabSystem::Seek;
    s.tell = &CabSystem::Tell;
    s.message = &CabSystem::Message;
    s.alloc = &CabSystem::Alloc;
    s.free = &CabSystem::Free;
    s.copy = &CabSystem::Copy;
    s.null_ptr = nullptr;
}

CabSystem::~CabSystem() = default;

mspack_system* CabSystem::get() { return &system_; }

const char* CabSystem::AddCabinet(std::shared_ptr<const Common::i_dir> folder, const Processor::String& name)
{
    auto token = std::make_unique<std::string>(kCabinetPrefix + std::to_string(cabinets_.size()));
    cabinets_.push_back({std::move(folder), name, std::move(token)});
    return cabinets_.back().token->c_str();
}

void CabSystem::SetOutput(std::shared_ptr<Common::o_file> file, uint64_t limit)
{
    output_ = std::move(file);
    limit_ = limit;
    written_ = 0;
    overflowed_ = false;
}

void CabSystem::ClearDiagnostics()
{
    ioError_ = Common::Error();
    lastMessage_.clear();
}

mspack_file* CabSystem::Open(mspack_system*, const char* name, int mode)
{
    CabSystem* owner = t_active;
    if (owner == nullptr || name == nullptr) return nullptr;
    auto file = std::make_unique<File>();
    file->owner = owner;
    if (std::strcmp(name, kOutput) == 0) {
        if (mode != MSPACK_SYS_OPEN_WRITE || !owner->output_) return nullptr;
        file->output = true;
        return reinterpret_cast<mspack_file*>(file.release());
    }
    const size_t prefix = sizeof kCabinetPrefix - 1;
    if (mode != MSPACK_SYS_OPEN_READ || std::strncmp(name, kCabinetPrefix, prefix) != 0) return nullptr;
    char* end = nullptr;
    const unsigned long index = std::strtoul(name + prefix, &end, 10);
    if (end == name + prefix || *end != '\0' || index >= owner->cabinets_.size()) return nullptr;
    const Cabinet& cabinet = owner->cabinets_[index];
    file->input = cabinet.folder->open_file(cabinet.name);
    if (!file->input) {
        owner->ioError_ = cabinet.folder->last_error();
        return nullptr;
    }
    const int64_t size = file->input->size();
    if (size < 0) {
        owner->ioError_ = file->input->last_error();
        return nullptr;
    }
    file->size = static_cast<uint64_t>(size);
    return reinterpret_cast<mspack_file*>(file.release());
}

void CabSystem::Close(mspack_file* handle)
{
    delete reinterpret_cast<File*>(handle);
}

int CabSystem::Read(mspack_file* handle, void* buffer, int bytes)
{
    File* file = reinterpret_cast<File*>(handle);
    if (file == nullptr || !file->input || bytes < 0) return -1;
    const size_t got = file->input->read_at(file->position, buffer, static_cast<size_t>(bytes));
    if (got < static_cast<size_t>(bytes) && file->input->last_error().failed()) {
        file->owner->ioError_ = file->input->last_error();
        return -1;
    }
    file->position += got;
    return static_cast<int>(got);
}

int CabSystem::Write(mspack_file* handle, void* buffer, int bytes)
{
    File* file = reinterpret_cast<File*>(handle);
    if (file == nullptr || !file->output || bytes < 0) return -1;
    CabSystem* owner = file->owner;
    if (!owner->output_) return -1;
    if (static_cast<uint64_t>(bytes) > owner->limit_ - owner->written_) {
        owner->overflowed_ = true;
        return -1;
    }
    const size_t put = owner->output_->write(buffer, static_cast<size_t>(bytes));
    if (put != static_cast<size_t>(bytes)) {
        owner->ioError_ = owner->output_->last_error();
        return -1;
    }
    owner->written_ += put;
    file->position += put;
    return bytes;
}

int CabSystem::Seek(mspack_file* handle, off_t offset, int mode)
{
    File* file = reinterpret_cast<File*>(handle);
    if (file == nullptr || !file->input) return -1;
    int64_t base;
    switch (mode) {
    case MSPACK_SYS_SEEK_START: base = 0; break;
    case MSPACK_SYS_SEEK_CUR: base = static_cast<int64_t>(file->position); break;
    case MSPACK_SYS_SEEK_END: base = static_cast<int64_t>(file->size); break;
    default: return -1;
    }
    // Positions past the end of a cabinet hold nothing worth reading.
    if ((offset < 0 && -static_cast<int64_t>(offset) > base) ||
        (offset > 0 && static_cast<uint64_t>(offset) > file->size - static_cast<uint64_t>(base)))
        return -1;
    file->position = static_cast<uint64_t>(base + offset);
    return 0;
}

off_t CabSystem::Tell(mspack_file* handle)
{
    File* file = reinterpret_cast<File*>(handle);
    return file == nullptr ? -1 : static_cast<off_t>(file->position);
}

void CabSystem::Message(mspack_file* handle, const char* format, ...)
{
    File* file = reinterpret_cast<File*>(handle);
    if (file == nullptr) return;
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    file->owner->lastMessage_ = text;
}

void* CabSystem::Alloc(mspack_system*, size_t bytes)
{
    CabSystem* owner = t_active;
    if (owner == nullptr || bytes > kMemoryBudget - owner->allocated_) return nullptr;
    void* block = std::malloc(sizeof(AllocHeader) + bytes);
    if (block == nullptr) return nullptr;
    auto* header = static_cast<AllocHeader*>(block);
    header->owner = owner;
    header->size = bytes;
    owner->allocated_ += bytes;
    return header + 1;
}

void CabSystem::Free(void* pointer)
{
    if (pointer == nullptr) return;
    AllocHeader* header = static_cast<AllocHeader*>(pointer) - 1;
    header->owner->allocated_ -= header->size;
    std::free(header);
}

void CabSystem::Copy(void* source, void* destination, size_t bytes)
{
    std::memmove(destination, source, bytes);
}

}  // namespace Transvia
