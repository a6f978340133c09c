// Directory objects over the local file system.
//
// A restored Windows tree is case-insensitive by nature but lives on a case-sensitive
// Linux file system, and it is untrusted: every path is resolved beneath the object it is
// opened from and on its file system (openat2 with RESOLVE_BENEATH | RESOLVE_NO_XDEV; an
// O_NOFOLLOW walk comparing devices where the kernel lacks it), and each component is
// looked up exactly first, then by simple case folding. An entry is opened for reading
// or writing only after its type was checked on an O_PATH descriptor, so no device,
// FIFO or socket is ever opened, and a file with other names is never written in place.
#include "support/local_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "support/errors.h"
#include "support/message_table.h"
#include "support/open_beneath.h"
#include "support/text.h"
#include "support/trace.h"

namespace Common {

using namespace LocalFs;

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

uint32_t AttributesOf(const struct stat& st)
{
    uint32_t attributes = 0;
    if (S_ISLNK(st.st_mode)) attributes |= Attributes::kReparsePoint;
    if (S_ISDIR(st.st_mode)) attributes |= Attributes::kDirectory;
    if ((st.st_mode & 0222) == 0) attributes |= Attributes::kReadOnly;
    return attributes == 0 ? Attributes::kNormal : attributes;
}

int64_t Nanoseconds(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

dir_entry EntryOf(const Processor::String& name, const struct stat& st)
{
    dir_entry entry;
    entry.name = name;
    entry.is_dir = S_ISDIR(st.st_mode);
    entry.attributes = AttributesOf(st);
    entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    entry.created_ns = Nanoseconds(st.st_ctim);
    entry.modified_ns = Nanoseconds(st.st_mtim);
    entry.accessed_ns = Nanoseconds(st.st_atim);
    entry.id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return entry;
}

class LocalFile final : public rio_file {
public:
    explicit LocalFile(Fd fd) : fd_(std::move(fd)) {}
    ~LocalFile() override = default;

    void close() override { fd_.reset(); }

    size_t read(void* buffer, size_t count) override
    {
        return transfer(count, [&](size_t done) { return ::read(fd_.get(), static_cast<char*>(buffer) + done, count - done); });
    }

    size_t read_at(uint64_t offset, void* buffer, size_t count) override
    {
        return transfer(count, [&](size_t done) {
            return ::pread(fd_.get(), static_cast<char*>(buffer) + done, count - done, static_cast<off_t>(offset + done));
        });
    }

    int64_t seek(uint64_t offset) override
    {
        clear_error();
        if (offset > static_cast<uint64_t>(INT64_MAX)) return fail(SystemError(EINVAL, TV_HERE)), -1;
        const off_t position = ::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET);
        if (position < 0) return fail(SystemError(errno, TV_HERE)), -1;
        return position;
    }

    int64_t move(int64_t distance) override
    {
        clear_error();
        const off_t position = ::lseek(fd_.get(), distance, SEEK_CUR);
        if (position < 0) return fail(SystemError(errno, TV_HERE)), -1;
        return position;
    }

    int64_t size() override
    {
        clear_error();
        struct stat st;
        if (::fstat(fd_.get(), &st) != 0) return fail(SystemError(errno, TV_HERE)), -1;
        return st.st_size;
    }

    size_t write(const void* data, size_t count) override
    {
        return transfer(count, [&](size_t done) {
            return ::write(fd_.get(), static_cast<const char*>(data) + done, count - done);
        });
    }

    size_t write_at(uint64_t offset, const void* data, size_t count) override
    {
        return transfer(count, [&](size_t done) {
            return ::pwrite(fd_.get(), static_cast<const char*>(data) + done, count - done,
                            static_cast<off_t>(offset + done));
        });
    }

    bool set_size(uint64_t size) override
    {
        clear_error();
        if (::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0) return fail(SystemError(errno, TV_HERE));
        return true;
    }

    bool flush() override
    {
        clear_error();
        if (::fsync(fd_.get()) != 0) return fail(SystemError(errno, TV_HERE));
        return true;
    }

private:
    // Repeats a partial transfer until `count` bytes moved, the end of the file, or an
    // error; returns the bytes moved (a read's short count is not an error).
    template <class Step> size_t transfer(size_t count, Step step)
    {
        clear_error();
        size_t done = 0;
        while (done < count) {
            const ssize_t n = step(done);
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR) continue;
                fail(SystemError(errno, TV_HERE));
                break;
            }
            done += static_cast<size_t>(n);
        }
        return done;
    }

    Fd fd_;
};

class LocalIterator final : public i_dir::iterator {
public:
    explicit LocalIterator(DIR* dir) : dir_(dir) {}
    ~LocalIterator() override
    {
        if (dir_ != nullptr) ::closedir(dir_);
    }

    bool next(dir_entry& entry) override
    {
        if (dir_ == nullptr) return false;
        while (true) {
            errno = 0;
            dirent* e = ::readdir(dir_);
            if (e == nullptr) {
                if (errno != 0) error_ = SystemError(errno, TV_HERE);
                return false;
            }
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            struct stat st;
            if (::fstatat(::dirfd(dir_), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
            // What cannot be opened is not listed either.
            if (S_ISLNK(st.st_mode) && !Reachable(::dirfd(dir_), e->d_name)) continue;
            entry = EntryOf(Processor::FromFileName(e->d_name), st);
            return true;
        }
    }

    const Error& last_error() const override { return error_; }

private:
    DIR* dir_;
    Error error_;
};

class LocalDir final : public rio_dir {
public:
    explicit LocalDir(Fd fd) : fd_(std::move(fd)) {}

    // ---- read side ----
    std::shared_ptr<i_file> open_file(const Processor::String& path) const override
    {
        return open_file_with(path, O_RDONLY);
    }

    std::shared_ptr<i_dir> open_dir(const Processor::String& path) const override { return open_dir_impl(path); }

    std::unique_ptr<iterator> entries() const override
    {
        clear_error();
        Fd fd(OpenBeneath(fd_.get(), "", O_RDONLY | O_DIRECTORY));
        DIR* dir = fd.valid() ? ::fdopendir(fd.get()) : nullptr;
        if (dir == nullptr) {
            fail(SystemError(errno, TV_HERE, full_path()));
            return nullptr;
        }
        fd.release();
        return std::make_unique<LocalIterator>(dir);
    }

    bool exists(const Processor::String& path) const override { return stat(path).has_value(); }

    std::optional<dir_entry> stat(const Processor::String& path) const override
    {
        clear_error();
        std::string real;
        if (!resolve(path, real)) return std::nullopt;
        Fd fd(OpenBeneath(fd_.get(), real, O_PATH | O_NOFOLLOW));
        struct stat st;
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
            report(errno, path);
            return std::nullopt;
        }
        // A link exists only as far as opening it would succeed.
        if (S_ISLNK(st.st_mode) && !Reachable(fd_.get(), real)) {
            report(ELOOP, path);
            return std::nullopt;
        }
        const size_t slash = real.rfind('/');
        return EntryOf(Processor::FromFileName(slash == std::string::npos ? real : real.substr(slash + 1)), st);
    }

    int compare_names(const Processor::String& a, const Processor::String& b) const override
    {
        return Processor::CompareNoCase(a, b);
    }

    std::shared_ptr<i_dir> reopen() const override { return reopen_rw(); }

    Processor::String full_path() const override { return PathOf(fd_.get()); }

    int compare(const i_dir& other) const override
    {
        const Processor::String mine = full_path();
        const Processor::String theirs = other.full_path();
        if (mine.isEmpty() || theirs.isEmpty()) return 2;
        if (mine == theirs) return 0;
        Processor::String prefix(mine);
        if (!prefix.endsWith(u"/")) prefix.append(u'/');
        return theirs.startsWith(prefix) ? 1 : 2;
    }

    bool identify(file_identifier& id) const override
    {
        clear_error();
        struct stat st;
        if (::fstat(fd_.get(), &st) != 0) return fail(SystemError(errno, TV_HERE));
        id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
        return true;
    }

    // ---- write side ----
    std::shared_ptr<o_file> create_file(const Processor::String& path) override { return create_file_rw(path); }

    bool delete_file(const Processor::String& path) override
    {
        return at_existing(path, [](int parent, const std::string& name) { return ::unlinkat(parent, name.c_str(), 0); });
    }

    bool move(const Processor::String& from, const Processor::String& to, bool replace) override
    {
        clear_error();
        std::string fromParent, fromName, toParent, toName;
        if (!resolve_existing(from, fromParent, fromName) || !resolve_new(to, toParent, toName)) return false;
        Fd a(OpenBeneath(fd_.get(), fromParent, O_PATH | O_DIRECTORY));
        Fd b(OpenBeneath(fd_.get(), toParent, O_RDONLY | O_DIRECTORY));
        if (!a.valid() || !b.valid()) return report(errno, from);
        if (::renameat2(a.get(), fromName.c_str(), b.get(), toName.c_str(), replace ? 0 : RENAME_NOREPLACE) != 0)
            return report(errno, to);
        // The rename itself must survive a crash too.
        ::fsync(b.get());
        return true;
    }

    bool create_hard_link(const Processor::String& existing, const Processor::String& link) override
    {
        clear_error();
        std::string fromParent, fromName, toParent, toName;
        if (!resolve_existing(existing, fromParent, fromName) || !resolve_new(link, toParent, toName)) return false;
        Fd a(OpenBeneath(fd_.get(), fromParent, O_PATH | O_DIRECTORY));
        Fd b(OpenBeneath(fd_.get(), toParent, O_PATH | O_DIRECTORY));
        if (!a.valid() || !b.valid()) return report(errno, existing);
        if (::linkat(a.get(), fromName.c_str(), b.get(), toName.c_str(), 0) != 0) return report(errno, link);
        return true;
    }

    bool create_dir(const Processor::String& path, const Processor::String* junctionTarget) override
    {
        clear_error();
        std::string parent, name;
        if (!resolve_new(path, parent, name)) return false;
        Fd p(OpenBeneath(fd_.get(), parent, O_PATH | O_DIRECTORY));
        if (!p.valid()) return report(errno, path);
        int result;
        if (junctionTarget != nullptr) {
            std::string target;
            if (!Processor::ToFileName(*junctionTarget, target)) return report(kNoFileName, *junctionTarget);
            std::replace(target.begin(), target.end(), '\\', '/');
            result = ::symlinkat(target.c_str(), p.get(), name.c_str());
        } else {
            result = ::mkdirat(p.get(), name.c_str(), 0755);
        }
        if (result != 0) {
            struct stat st;
            // An existing folder of that name (in any letter case) is what was asked for.
            if (errno == EEXIST && junctionTarget == nullptr && ::fstatat(p.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(st.st_mode))
                return true;
            return report(errno, path);
        }
        return true;
    }

    bool create_dir_like(const Processor::String& path, const Processor::String& model) override
    {
        const std::optional<dir_entry> modelEntry = stat(model);
        if (!modelEntry || !create_dir(path, nullptr)) return false;
        std::string real;
        Fd model_fd(resolve(model, real) ? OpenBeneath(fd_.get(), real, O_PATH) : -1);
        struct stat st;
        if (!model_fd.valid() || ::fstat(model_fd.get(), &st) != 0) return report(errno, model);
        return set_security(path, {static_cast<uint32_t>(st.st_uid), static_cast<uint32_t>(st.st_gid),
                                   static_cast<uint32_t>(st.st_mode & 07777)});
    }

    bool remove_dir(const Processor::String& path) override
    {
        return at_existing(path, [](int parent, const std::string& name) {
            return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
        });
    }

    bool set_security(const Processor::String& path, const security_descriptor& security) override
    {
        return at_existing(path, [&security](int parent, const std::string& name) {
            return ChangeEntry(parent, name, [&security](int fd, const struct stat&, mode_t& mode) {
                // Without the right to give a file away, the mode is still worth setting.
                if (::fchownat(fd, "", security.owner, security.group, AT_EMPTY_PATH) != 0 && errno != EPERM) return false;
                mode = security.mode & 07777;
                return true;
            });
        });
    }

    bool set_attributes(const Processor::String& path, uint32_t attributes) override
    {
        return at_existing(path, [attributes](int parent, const std::string& name) {
            return ChangeEntry(parent, name, [attributes](int, const struct stat& st, mode_t& mode) {
                // Only the read-only bit has a meaning on this file system.
                mode = ((attributes & Attributes::kReadOnly) ? (st.st_mode & ~0222) : (st.st_mode | 0200)) & 07777;
                return true;
            });
        });
    }

    bool get_security(const Processor::String& path, security_descriptor& security) const override
    {
        clear_error();
        std::string real;
        if (!resolve(path, real)) return false;
        // A link is replaced by what it leads to, so its target's settings are the ones that count.
        Fd fd(OpenBeneath(fd_.get(), real, O_PATH));
        struct stat st;
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return report(errno, path);
        if (S_ISLNK(st.st_mode)) return report(ELOOP, path);
        security = {static_cast<uint32_t>(st.st_uid), static_cast<uint32_t>(st.st_gid),
                    static_cast<uint32_t>(st.st_mode & 07777)};
        return true;
    }

    std::shared_ptr<rio_file> open_file_rw(const Processor::String& path) override { return open_file_with(path, O_RDWR); }

    std::shared_ptr<rio_file> create_file_rw(const Processor::String& path) override { return create(path, false, 0644); }

    std::shared_ptr<rio_file> create_new_file(const Processor::String& path, uint32_t mode) override
    {
        return create(path, true, static_cast<mode_t>(mode & 0777));
    }

    std::shared_ptr<rio_dir> open_dir_rw(const Processor::String& path) override { return open_dir_impl(path); }

private:
    std::shared_ptr<LocalDir> reopen_rw() const
    {
        clear_error();
        Fd fd(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
        if (!fd.valid()) {
            fail(SystemError(errno, TV_HERE));
            return nullptr;
        }
        return std::make_shared<LocalDir>(std::move(fd));
    }

    std::shared_ptr<LocalDir> open_dir_impl(const Processor::String& path) const
    {
        clear_error();
        std::string real;
        Fd entry;
        if (!resolve(path, real, &entry)) return nullptr;
        // The lookup's descriptor serves unless it is a link, which is followed beneath this folder.
        struct stat st;
        Fd fd = entry.valid() && ::fstat(entry.get(), &st) == 0 && S_ISDIR(st.st_mode)
                    ? std::move(entry)
                    : Fd(OpenBeneath(fd_.get(), real, O_PATH | O_DIRECTORY));
        if (!fd.valid()) {
            report(errno, path);
            return nullptr;
        }
        return std::make_shared<LocalDir>(std::move(fd));
    }

    std::shared_ptr<LocalFile> open_file_with(const Processor::String& path, int flags) const
    {
        clear_error();
        std::string real;
        Fd entry;
        if (!resolve(path, real, &entry)) return nullptr;
        int error = 0;
        Fd fd = OpenRegular(fd_.get(), real, flags, error, std::move(entry));
        if (!fd.valid()) {
            report(error, path);
            return nullptr;
        }
        return std::make_shared<LocalFile>(std::move(fd));
    }

    // Creates `path`, or with `exclusive` false truncates the file of that name. A file
    // with other names is not truncated (that would reach them too): it loses this name
    // and a new file takes it, which is what replacing its content means here.
    std::shared_ptr<LocalFile> create(const Processor::String& path, bool exclusive, mode_t mode)
    {
        clear_error();
        std::string parent, name;
        if (!resolve_new(path, parent, name)) return nullptr;
        Fd dir(OpenBeneath(fd_.get(), parent, O_PATH | O_DIRECTORY));
        if (!dir.valid()) {
            report(errno, path);
            return nullptr;
        }
        struct stat st;
        if (!exclusive && ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (!S_ISREG(st.st_mode) || st.st_nlink == 1) {
                int error = 0;
                Fd fd = OpenRegular(fd_.get(), Join(parent, name), O_RDWR | O_TRUNC, error);
                if (!fd.valid()) {
                    report(error, path);
                    return nullptr;
                }
                return std::make_shared<LocalFile>(std::move(fd));
            }
            if (::unlinkat(dir.get(), name.c_str(), 0) != 0) {
                report(errno, path);
                return nullptr;
            }
        }
        Fd fd(::openat(dir.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd.valid()) {
            report(errno, path);
            return nullptr;
        }
        return std::make_shared<LocalFile>(std::move(fd));
    }

    // Runs `decide` on an O_PATH descriptor of entry `name` (never a link's target) and
    // applies the mode it chooses through /proc, so no link is followed on the way.
    template <class Decide> static int ChangeEntry(int parent, const std::string& name, Decide decide)
    {
        Fd fd(::openat(parent, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return -1;
        mode_t mode = 0;
        if (!decide(fd.get(), st, mode)) return -1;
        if (S_ISLNK(st.st_mode)) return 0;  // links have no mode of their own
        if (::chmod(ProcPath(fd.get()).c_str(), mode) == 0) return 0;
        if (errno != ENOENT) return -1;
        // No /proc: by name, the entry having been seen to be no link just now.
        return ::fchmodat(parent, name.c_str(), mode, 0);
    }

    // Records a failure with a text that says what happened to which path.
    bool report(int error, const Processor::String& path) const
    {
        Processor::String what(u"'");
        what.append(path).append(u"' in '").append(full_path()).append(u"'");
        // The system's own words for these two would mislead ("cross-device link").
        if (error == EXDEV)
            return fail(MakeError(Codes::FromSystemError(error), TV_HERE,
                                  MessageTable::Text(Messages::kPathLeavesFolder, {path, full_path()})));
        if (error == ELOOP)
            return fail(MakeError(Codes::FromSystemError(error), TV_HERE, MessageTable::Text(Messages::kSymlinkRefused, {path, full_path()})));
        if (error == kNotRegularFile)
            return fail(MakeError(Codes::FromSystemError(EINVAL), TV_HERE, MessageTable::Text(Messages::kNotRegularFile, {path, full_path()})));
        if (error == kHardLinked)
            return fail(MakeError(Codes::FromSystemError(EMLINK), TV_HERE,
                                  MessageTable::Text(Messages::kHardLinked, {path, full_path()})));
        if (error == kNoFileName)
            return fail(MakeError(Codes::FromSystemError(EILSEQ), TV_HERE,
                                  MessageTable::Text(Messages::kNoFileNameForCharacter, {path, full_path()})));
        return fail(SystemError(error, TV_HERE, what));
    }

    bool split(const Processor::String& path, std::vector<std::string>& components) const
    {
        std::vector<Processor::String> parts;
        if (!SplitRelativePath(path, parts)) return report(EXDEV, path);
        components.clear();
        for (const auto& part : parts) {
            std::string bytes;
            if (!Processor::ToFileName(part, bytes)) return report(kNoFileName, path);
            if (bytes.find('\0') != std::string::npos) return report(EINVAL, path);
            components.push_back(std::move(bytes));
        }
        return true;
    }

    // The real relative path of an existing entry, each component found exactly or by case folding.
    // `entry`, when given, receives the O_PATH | O_NOFOLLOW descriptor of the last
    // component where the lookup opened one, so that the caller need not open it again.
    bool resolve(const Processor::String& path, std::string& real, Fd* entry = nullptr) const
    {
        std::vector<std::string> components;
        if (!split(path, components)) return false;
        real.clear();
        if (components.empty()) return true;
        std::string exact;
        for (const auto& c : components) exact = Join(exact, c);
        // Most lookups match exactly: one system call.
        // Links are found as themselves here; opening them later follows them, beneath this folder.
        Fd fd(OpenBeneath(fd_.get(), exact, O_PATH | O_NOFOLLOW));
        if (fd.valid()) {
            real = exact;
            if (entry != nullptr) *entry = std::move(fd);
            return true;
        }
        if (errno != ENOENT && errno != ENOTDIR) return report(errno, path);
        for (const auto& component : components) {
            std::string candidate = Join(real, component);
            Fd probe(OpenBeneath(fd_.get(), candidate, O_PATH | O_NOFOLLOW));
            if (!probe.valid()) {
                if (errno != ENOENT) return report(errno, path);
                std::string found;
                if (!FindFolded(fd_.get(), real, component, found)) return report(errno, path);
                candidate = Join(real, found);
            }
            real = candidate;
        }
        return true;
    }

    bool resolve_existing(const Processor::String& path, std::string& parent, std::string& name) const
    {
        std::string real;
        if (!resolve(path, real)) return false;
        if (real.empty()) return report(EINVAL, path);
        const size_t slash = real.rfind('/');
        parent = slash == std::string::npos ? std::string() : real.substr(0, slash);
        name = slash == std::string::npos ? real : real.substr(slash + 1);
        return true;
    }

    // Parent folder found as above; the last name reuses an existing entry of another letter case.
    bool resolve_new(const Processor::String& path, std::string& parent, std::string& name) const
    {
        std::vector<Processor::String> parts;
        if (!SplitRelativePath(path, parts)) return report(EXDEV, path);
        if (parts.empty()) return report(EINVAL, path);
        Processor::String parentPath;
        for (size_t i = 0; i + 1 < parts.size(); ++i) parentPath.append(parts[i]).append(u'\\');
        if (!resolve(parentPath, parent)) return false;
        if (!Processor::ToFileName(parts.back(), name)) return report(kNoFileName, path);
        if (name.find('\0') != std::string::npos) return report(EINVAL, path);
        std::string existing;
        if (FindFolded(fd_.get(), parent, name, existing)) name = existing;
        return true;
    }

    template <class Op> bool at_existing(const Processor::String& path, Op op)
    {
        clear_error();
        std::string parent, name;
        if (!resolve_existing(path, parent, name)) return false;
        Fd p(OpenBeneath(fd_.get(), parent, O_PATH | O_DIRECTORY));
        if (!p.valid() || op(p.get(), name) != 0) return report(errno, path);
        return true;
    }

    Fd fd_;  // O_PATH descriptor of the folder; everything is opened beneath it
};

}  // namespace

bool SplitRelativePath(const Processor::String& path, std::vector<Processor::String>& components)
{
    components.clear();
    const int32_t length = path.length();
    if (length > 0 && IsSeparator(path.charAt(0))) return false;           // absolute or UNC
    if (length >= 2 && path.charAt(1) == u':') return false;               // drive letter
    int32_t start = 0;
    for (int32_t i = 0; i <= length; ++i) {
        if (i < length && !IsSeparator(path.charAt(i))) continue;
        Processor::String component(path, start, i - start);
        start = i + 1;
        if (component.isEmpty() || component == u".") continue;
        if (component == u"..") return false;
        components.push_back(std::move(component));
    }
    return true;
}

std::shared_ptr<rio_dir> OpenLocalDir(const std::string& path, Error& error)
{
    Fd fd(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        error = SystemError(errno, TV_HERE, Processor::FromFileName(path));
        return nullptr;
    }
    error = Error();
    return std::make_shared<LocalDir>(std::move(fd));
}

std::shared_ptr<rio_dir> OpenLocalDirectory(const std::string& path, Error* error)
{
    Error ignored;
    return OpenLocalDir(path, error ? *error : ignored);
}

// ---- base classes ----

fs_object::~fs_object() = default;

bool fs_object::fail(Error error) const noexcept
{
    error_ = std::move(error);
    return false;
}

bool o_dir::set_short_name(const Processor::String&, const Processor::String&)
{
    return fail(MakeError(Codes::FromSystemError(ENOTSUP), TV_HERE, MessageTable::Get(Messages::kFolderOperationUnsupported)));
}

}  // namespace Common
