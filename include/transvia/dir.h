#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "transvia/error.h"
#include "transvia/export.h"
#include "transvia/string.h"

// Directory and file objects: the only way the engine reaches a file.
// Paths are relative to the object they are opened from, components separated
// by '\' or '/'. Every operation clears the object's error on entry and leaves
// it readable after a failure (no object, a short count, false or -1).
namespace Common {

// Windows attribute bits reported for entries.
namespace Attributes {
constexpr uint32_t kReadOnly = 0x1;
constexpr uint32_t kHidden = 0x2;
constexpr uint32_t kDirectory = 0x10;
constexpr uint32_t kNormal = 0x80;
constexpr uint32_t kReparsePoint = 0x400;
}  // namespace Attributes

// Identity of a directory entry: enough to reopen it and to tell two entries apart.
struct file_identifier {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const file_identifier&) const = default;
};

struct dir_entry {
    Processor::String name;
    bool is_dir = false;
    uint32_t attributes = 0;
    uint64_t size = 0;
    int64_t created_ns = 0;   // nanoseconds since the Unix epoch
    int64_t modified_ns = 0;
    int64_t accessed_ns = 0;
    file_identifier id;
};

// Opaque security settings of an entry (owner, group, mode on Linux).
struct security_descriptor {
    uint32_t owner = 0;
    uint32_t group = 0;
    uint32_t mode = 0;
};

class TRANSVIA_API fs_object {
public:
    virtual ~fs_object();
    const Error& last_error() const noexcept { return error_; }

protected:
    void clear_error() const noexcept { error_ = Error(); }
    // Records `error` and returns false, so failures read `return fail(...)`.
    bool fail(Error error) const noexcept;

    mutable Error error_;
};

class TRANSVIA_API file_object : public virtual fs_object {
public:
    virtual void close() = 0;
};

// Read side of a file: sized and with random access.
class TRANSVIA_API i_file : public virtual file_object {
public:
    // Bytes read; fewer than asked at the end of the file or, with an error, on failure.
    virtual size_t read(void* buffer, size_t count) = 0;
    virtual size_t read_at(uint64_t offset, void* buffer, size_t count) = 0;
    // New position, or -1 with an error.
    virtual int64_t seek(uint64_t offset) = 0;
    virtual int64_t move(int64_t distance) = 0;
    virtual int64_t size() = 0;
};

class TRANSVIA_API o_file : public virtual file_object {
public:
    virtual size_t write(const void* data, size_t count) = 0;
    virtual size_t write_at(uint64_t offset, const void* data, size_t count) = 0;
    virtual bool set_size(uint64_t size) = 0;
    // Makes everything written so far durable.
    virtual bool flush() = 0;
};

class TRANSVIA_API rio_file : public i_file, public o_file {};

using ri_file = i_file;
using ro_file = o_file;

class TRANSVIA_API i_dir : public virtual fs_object {
public:
    class iterator {
    public:
        virtual ~iterator() = default;
        // Next entry ("." and ".." never appear); false at the end or on an error.
        virtual bool next(dir_entry& entry) = 0;
        virtual const Error& last_error() const = 0;
    };

    virtual std::shared_ptr<i_file> open_file(const Processor::String& path) const = 0;
    virtual std::shared_ptr<i_dir> open_dir(const Processor::String& path) const = 0;
    virtual std::unique_ptr<iterator> entries() const = 0;
    virtual bool exists(const Processor::String& path) const = 0;
    virtual std::optional<dir_entry> stat(const Processor::String& path) const = 0;
    // Compares two names as the Windows file system does: case-insensitively.
    virtual int compare_names(const Processor::String& a, const Processor::String& b) const = 0;
    // A new, independent reference to this folder.
    virtual std::shared_ptr<i_dir> reopen() const = 0;
    virtual Processor::String full_path() const = 0;
    // 0: the same folder, 1: `other` lies inside this one, 2: unrelated.
    virtual int compare(const i_dir& other) const = 0;
    // Identity query; a folder that cannot answer it counts as not opened.
    virtual bool identify(file_identifier& id) const = 0;
};

// Write side, in the agreed slot order.
class TRANSVIA_API o_dir : public virtual fs_object {
public:
    // Creates or truncates a file; a name existing in another letter case is reused. A
    // file that has other names (hard links) is not truncated: the name gets a new file.
    virtual std::shared_ptr<o_file> create_file(const Processor::String& path) = 0;
    virtual bool delete_file(const Processor::String& path) = 0;
    // Moves or renames within the tree; `replace` allows overwriting a file.
    virtual bool move(const Processor::String& from, const Processor::String& to, bool replace) = 0;
    virtual bool create_hard_link(const Processor::String& existing, const Processor::String& link) = 0;
    // Creates a directory; with a junction target, a link to that folder instead.
    virtual bool create_dir(const Processor::String& path, const Processor::String* junctionTarget = nullptr) = 0;
    virtual bool create_dir_like(const Processor::String& path, const Processor::String& model) = 0;
    virtual bool remove_dir(const Processor::String& path) = 0;
    virtual bool set_security(const Processor::String& path, const security_descriptor& security) = 0;
    virtual bool set_attributes(const Processor::String& path, uint32_t attributes) = 0;
    // Operations a plain directory does not support.
    virtual bool set_short_name(const Processor::String& path, const Processor::String& shortName);
};

class TRANSVIA_API rio_dir : public i_dir, public o_dir {
public:
    // Opens an existing regular file for writing in place; refused when it has other
    // names (hard links), which may lie outside the folder.
    virtual std::shared_ptr<rio_file> open_file_rw(const Processor::String& path) = 0;
    virtual std::shared_ptr<rio_file> create_file_rw(const Processor::String& path) = 0;
    virtual std::shared_ptr<rio_dir> open_dir_rw(const Processor::String& path) = 0;
    // Creates a file that must not exist yet (in any letter case), with permission bits
    // `mode`; never follows a link. For temporary files nobody else may have prepared.
    virtual std::shared_ptr<rio_file> create_new_file(const Processor::String& path, uint32_t mode) = 0;
    // Reads the security settings of an entry (of what a link leads to, beneath this folder).
    virtual bool get_security(const Processor::String& path, security_descriptor& security) const = 0;
};

using ri_dir = i_dir;
using ro_dir = o_dir;

// Forwards every operation to another rio_dir; the base of wrappers.
class TRANSVIA_API rio_dir_delegate : public rio_dir {
public:
    explicit rio_dir_delegate(std::shared_ptr<rio_dir> inner) : inner_(std::move(inner)) {}

    std::shared_ptr<i_file> open_file(const Processor::String& path) const override;
    std::shared_ptr<i_dir> open_dir(const Processor::String& path) const override;
    std::unique_ptr<iterator> entries() const override;
    bool exists(const Processor::String& path) const override;
    std::optional<dir_entry> stat(const Processor::String& path) const override;
    int compare_names(const Processor::String& a, const Processor::String& b) const override;
    std::shared_ptr<i_dir> reopen() const override;
    Processor::String full_path() const override;
    int compare(const i_dir& other) const override;
    bool identify(file_identifier& id) const override;

    std::shared_ptr<o_file> create_file(const Processor::String& path) override;
    bool delete_file(const Processor::String& path) override;
    bool move(const Processor::String& from, const Processor::String& to, bool replace) override;
    bool create_hard_link(const Processor::String& existing, const Processor::String& link) override;
    bool create_dir(const Processor::String& path, const Processor::String* junctionTarget = nullptr) override;
    bool create_dir_like(const Processor::String& path, const Processor::String& model) override;
    bool remove_dir(const Processor::String& path) override;
    bool set_security(const Processor::String& path, const security_descriptor& security) override;
    bool set_attributes(const Processor::String& path, uint32_t attributes) override;

    std::shared_ptr<rio_file> open_file_rw(const Processor::String& path) override;
    std::shared_ptr<rio_file> create_file_rw(const Processor::String& path) override;
    std::shared_ptr<rio_dir> open_dir_rw(const Processor::String& path) override;
    std::shared_ptr<rio_file> create_new_file(const Processor::String& path, uint32_t mode) override;
    bool get_security(const Processor::String& path, security_descriptor& security) const override;

protected:
    const std::shared_ptr<rio_dir>& inner() const { return inner_; }

private:
    // The inner object's error becomes ours after every forwarded call.
    template <class R> R relay(R result) const;

    std::shared_ptr<rio_dir> inner_;
};

// A directory object over a folder of the local file system, for hosts.
// `path` is a path of this machine; everything opened from the object stays beneath it.
TRANSVIA_API std::shared_ptr<rio_dir> OpenLocalDirectory(const std::string& path, Error* error = nullptr);

}  // namespace Common
