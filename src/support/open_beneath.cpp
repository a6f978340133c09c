#include "support/open_beneath.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "support/local_dir.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"

namespace Common::LocalFs {

namespace {

std::atomic<bool> g_forceWalk{false};
std::atomic<bool> g_noOpenat2{false};

}  // namespace

void Fd::reset(int fd)
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}


int OpenBeneath(int root, const std::string& relative, int flags, mode_t mode)
{
    const char* path = relative.empty() ? "." : relative.c_str();
    if (!g_forceWalk.load(std::memory_order_relaxed) && !g_noOpenat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & O_CREAT) ? mode : 0;
        // A mount point inside a target could lead anywhere (a bind mount of /): one file system only.
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
        long fd;
        do {
            fd = ::syscall(SYS_openat2, root, path, &how, sizeof how);
        } while (fd < 0 && (errno == EAGAIN || errno == EINTR));
        if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
        g_noOpenat2.store(true);
    }
    // Without openat2 no symbolic link is followed at all: the safe reading of "beneath".
    // A change of device marks a mount point; a bind mount of the same file system is
    // seen by openat2 only.
    struct stat rootStat, st;
    if (::fstat(root, &rootStat) != 0) return -1;
    const auto sameDevice = [&rootStat, &st](Fd& fd) {
        if (::fstat(fd.get(), &st) != 0) return false;
        if (st.st_dev == rootStat.st_dev) return true;
        errno = EXDEV;
        return false;
    };
    Fd current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (!current.valid()) return -1;
    size_t start = 0;
    const std::string all = relative.empty() ? std::string(".") : relative;
    while (true) {
        const size_t slash = all.find('/', start);
        const std::string component = all.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (slash == std::string::npos) {
            Fd last(::openat(current.get(), component.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
            if (!last.valid() || !sameDevice(last)) return -1;
            return last.release();
        }
        Fd next(::openat(current.get(), component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.valid() && !sameDevice(next)) return -1;
        if (!next.valid()) {
            struct stat st;
            if (errno == ENOTDIR && ::fstatat(current.get(), component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode))
                errno = ELOOP;
            return -1;
        }
        current = std::move(next);
        start = slash + 1;
    }
}

std::string Join(const std::string& base, const std::string& name)
{
    return base.empty() ? name : base + "/" + name;
}

std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

Processor::String PathOf(int fd)
{
    char buffer[PATH_MAX + 1];
    const ssize_t n = ::readlink(ProcPath(fd).c_str(), buffer, PATH_MAX);
    if (n <= 0) return Processor::String();
    return Processor::FromFileName(std::string_view(buffer, static_cast<size_t>(n)));
}

bool Reachable(int root, const std::string& relative)
{
    Fd fd(OpenBeneath(root, relative, O_PATH));
    struct stat st;
    return fd.valid() && ::fstat(fd.get(), &st) == 0 && !S_ISLNK(st.st_mode);
}

Fd OpenRegular(int root, const std::string& real, int flags, int& error, Fd entry)
{
    struct stat st;
    Fd path = std::move(entry);
    // A link is followed, still beneath `root`.
    if (path.valid() && (::fstat(path.get(), &st) != 0 || S_ISLNK(st.st_mode))) path.reset();
    if (!path.valid()) path.reset(OpenBeneath(root, real, O_PATH));
    if (!path.valid() || ::fstat(path.get(), &st) != 0) {
        error = errno;
        return Fd();
    }
    if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : S_ISLNK(st.st_mode) ? ELOOP : kNotRegularFile;
        return Fd();
    }
    // Another name of this inode may lie outside the target (a hard link is no symbolic
    // link to refuse): writing in place would change that file too.
    if ((flags & O_ACCMODE) != O_RDONLY && st.st_nlink > 1) {
        error = kHardLinked;
        return Fd();
    }
    Fd fd(::open(ProcPath(path.get()).c_str(), flags | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT) {
        // No /proc: open the name again, without blocking on a FIFO swapped in meanwhile,
        // and keep it only when it is still the inode that was checked.
        fd = Fd(OpenBeneath(root, real, flags | O_NONBLOCK));
        struct stat again;
        if (fd.valid() && (::fstat(fd.get(), &again) != 0 || again.st_dev != st.st_dev || again.st_ino != st.st_ino)) {
            error = kNotRegularFile;
            return Fd();
        }
        if (fd.valid() && ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0) fd.reset();
    }
    if (!fd.valid()) error = errno;
    return fd;
}

// Finds the entry of folder `relative` whose name folds equal to `wanted`; an exact
// match wins, otherwise the smallest such name in byte order, so the choice does not
// depend on the order of the folder listing. A choice between several is traced: one of
// them may be a decoy planted beside the real file.
bool FindFolded(int root, const std::string& relative, const std::string& wanted, std::string& found)
{
    Fd dirFd(OpenBeneath(root, relative, O_RDONLY | O_DIRECTORY));
    if (!dirFd.valid()) return false;
    DIR* dir = ::fdopendir(dirFd.get());
    if (dir == nullptr) return false;
    dirFd.release();
    const Processor::String wantedText = Processor::FromFileName(wanted);
    bool any = false;
    std::string passedOver;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (name == wanted) {
            found = name;
            any = true;
            passedOver.clear();
            break;
        }
        if (!Processor::EqualNoCase(Processor::FromFileName(name), wantedText)) continue;
        if (!any || name < found) {
            if (any) passedOver = found;
            found = name;
            any = true;
        } else if (passedOver.empty() || name < passedOver) {
            passedOver = name;
        }
    }
    if (!passedOver.empty())
        Trace(3, MessageTable::Get(Messages::kNamesDifferInCase),
              {PathOf(::dirfd(dir)), Processor::FromFileName(found), Processor::FromFileName(passedOver)});
    ::closedir(dir);
    if (!any) errno = ENOENT;
    return any;
}

}  // namespace Common::LocalFs

namespace Common {

void ForceComponentWalk(bool force) { LocalFs::g_forceWalk.store(force); }

}  // namespace Common
