#include "inf/memory_file.h"

#include <cerrno>
#include <cstring>

#include "support/errors.h"

namespace Transvia {

bool MemoryFile::Failing(uint64_t offset, size_t count)
{
    return count != 0 && offset < bytes_.size() && offset + count > failFrom_;
}

size_t MemoryFile::read_at(uint64_t offset, void* buffer, size_t count)
{
    clear_error();
    if (Failing(offset, count)) {
        fail(Common::SystemError(EIO, TV_HERE));
        return 0;
    }
    if (offset >= bytes_.size())
        return 0;
    const size_t available = static_cast<size_t>(bytes_.size() - offset);
    const size_t n = count < available ? count : available;
    std::memcpy(buffer, bytes_.data() + offset, n);
    return n;
}

size_t MemoryFile::read(void* buffer, size_t count)
{
    const size_t n = read_at(position_, buffer, count);
    position_ += n;
    return n;
}

int64_t MemoryFile::seek(uint64_t offset)
{
    clear_error();
    if (offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        fail(Common::SystemError(EINVAL, TV_HERE));
        return -1;
    }
    position_ = offset;
    return static_cast<int64_t>(position_);
}

int64_t MemoryFile::move(int64_t distance)
{
    clear_error();
    if (distance < 0 && static_cast<uint64_t>(-(distance + 1)) >= position_) {
        fail(Common::SystemError(EINVAL, TV_HERE));
        return -1;
    }
    position_ += static_cast<uint64_t>(distance);
    return static_cast<int64_t>(position_);
}

}  // namespace Transvia
