#pragma once

// Opening entries of a local folder so that nothing leaves it: the primitives under the
// directory objects of local_dir.cpp, on raw descriptors and byte-string paths.
#include <sys/types.h>

#include <string>
#include <utility>

#include "transvia/string.h"

namespace Common::LocalFs {

// Our own markers, never errno values: "a FIFO, device or socket where a file was
// expected" (reported as EINVAL), "a file with other names asked for writing in place"
// (reported as EMLINK) and "a name with no byte form" (reported as EILSEQ).
constexpr int kNotRegularFile = -1;
constexpr int kHardLinked = -2;
constexpr int kNoFileName = -3;

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Opens `relative` (components joined by '/', already checked) beneath `root` and on its
// file system; -1 with errno set (EXDEV or ELOOP for a path that would leave).
int OpenBeneath(int root, const std::string& relative, int flags, mode_t mode = 0644);
std::string Join(const std::string& base, const std::string& name);
// "/proc/self/fd/N": reopens the very inode a descriptor holds.
std::string ProcPath(int fd);
// The path of this machine that a descriptor stands for, for texts.
Processor::String PathOf(int fd);
// Whether `relative` names something that opening it would reach: a link that leaves
// the folder, loops or dangles counts as absent (the component walk follows no link).
bool Reachable(int root, const std::string& relative);
// Opens the existing regular file `real` beneath `root` with `flags`. Its type is checked
// on an O_PATH descriptor first and the same inode is then opened through /proc, so a
// device's driver never sees an open. `entry`, when valid, is an O_PATH | O_NOFOLLOW
// descriptor of `real` that a lookup already holds: it saves opening the name again
// unless it is a link. On failure `error` holds an errno or a marker.
Fd OpenRegular(int root, const std::string& real, int flags, int& error, Fd entry = Fd());
// Finds the entry of folder `relative` whose name folds equal to `wanted`; an exact
// match wins, otherwise the smallest such name in byte order. False with errno set.
bool FindFolded(int root, const std::string& relative, const std::string& wanted, std::string& found);

}  // namespace Common::LocalFs
