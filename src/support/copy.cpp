#include "support/copy.h"

#include <atomic>
#include <cerrno>
#include <random>
#include <vector>

#include "support/errors.h"
#include "support/files_iterator.h"

namespace Common {

namespace {

constexpr size_t kChunk = 1 << 20;

// A name for the temporary file beside the destination that no one else picks.
Processor::String TemporaryName(const Processor::String& name)
{
    static std::atomic<uint64_t> counter{0};
    static const uint64_t salt = std::random_device{}();
    Processor::String temp(u".");
    temp.append(name).append(u".transvia-");
    const uint64_t n = salt ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    for (int shift = 60; shift >= 0; shift -= 4) temp.append(static_cast<char16_t>(u"0123456789abcdef"[(n >> shift) & 0xF]));
    return temp;
}

Processor::String ParentOf(const Processor::String& path, Processor::String& leaf)
{
    int32_t cut = -1;
    for (int32_t i = path.length() - 1; i >= 0; --i) {
        if (path.charAt(i) == u'\\' || path.charAt(i) == u'/') {
            cut = i;
            break;
        }
    }
    leaf = Processor::String(path, cut + 1);
    return cut < 0 ? Processor::String() : Processor::String(path, 0, cut);
}

// Writes through `produce` into a temporary file, flushes it and renames it over `name`.
template <class Produce> Error ReplaceAtomically(rio_dir& to, const Processor::String& name, Produce produce)
{
    Processor::String leaf;
    const Processor::String parent = ParentOf(name, leaf);
    Processor::String temp = parent;
    if (!temp.isEmpty()) temp.append(u'\\');
    temp.append(TemporaryName(leaf));

    std::shared_ptr<o_file> out = to.create_file(temp);
    if (!out) return to.last_error();
    Error error = produce(*out);
    if (error.empty() && !out->flush()) error = out->last_error();
    out->close();
    if (error.empty() && !to.move(temp, name, true)) error = to.last_error();
    if (!error.empty()) to.delete_file(temp);
    return error;
}

}  // namespace

bool ReadWholeFile(const i_dir& directory, const Processor::String& name, std::vector<uint8_t>& bytes, Error& error,
                   uint64_t limit)
{
    auto file = directory.open_file(name);
    if (!file) {
        error = directory.last_error();
        return false;
    }
    const int64_t size = file->size();
    if (size < 0) {
        error = file->last_error();
        return false;
    }
    if (static_cast<uint64_t>(size) > limit) {
        Processor::String text(name);
        text += u": the file is too large to be read whole";
        error = MakeError(Codes::FromSystemError(EFBIG), TV_HERE, text);
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t got = file->read_at(done, bytes.data() + done, bytes.size() - done);
        if (got == 0) {
            Processor::String text(name);
            text += u": the file ended early";
            error = file->last_error().failed() ? file->last_error() : MakeError(Codes::kInvalidArgument, TV_HERE, text);
            return false;
        }
        done += got;
    }
    return true;
}

Error ReplaceFile(rio_dir& to, const Processor::String& name, const void* data, size_t size)
{
    return ReplaceAtomically(to, name, [&](o_file& out) -> Error {
        if (out.write(data, size) != size)
            return out.last_error().empty() ? MakeError(Codes::FromSystemError(5), TV_HERE, u"Short write.") : out.last_error();
        return Error();
    });
}

Error CopyFile(const i_dir& from, const Processor::String& name, rio_dir& to, const Processor::String& newName)
{
    std::shared_ptr<i_file> in = from.open_file(name);
    if (!in) return from.last_error();
    return ReplaceAtomically(to, newName, [&](o_file& out) -> Error {
        std::vector<char> buffer(kChunk);
        while (true) {
            const size_t n = in->read(buffer.data(), buffer.size());
            if (!in->last_error().empty()) return in->last_error();
            if (n == 0) return Error();
            if (out.write(buffer.data(), n) != n) return out.last_error();
        }
    });
}

Error CopyFolder(const i_dir& from, const Processor::String& name, rio_dir& to, const Processor::String& newName)
{
    std::shared_ptr<i_dir> source = from.open_dir(name);
    if (!source) return from.last_error();
    if (!to.create_dir(newName)) return to.last_error();
    std::shared_ptr<rio_dir> target = to.open_dir_rw(newName);
    if (!target) return to.last_error();
    auto it = source->entries();
    if (!it) return source->last_error();
    dir_entry entry;
    while (it->next(entry)) {
        if (entry.attributes & Attributes::kReparsePoint) continue;  // links are not copied out of a package
        Error error = entry.is_dir ? CopyFolder(*source, entry.name, *target, entry.name)
                                   : CopyFile(*source, entry.name, *target, entry.name);
        if (!error.empty()) return error;
    }
    return it->last_error();
}

Error RemoveTree(rio_dir& dir, const Processor::String& name)
{
    std::shared_ptr<rio_dir> sub = dir.open_dir_rw(name);
    if (!sub) return dir.last_error();
    std::vector<dir_entry> children;
    {
        auto it = sub->entries();
        if (!it) return sub->last_error();
        dir_entry entry;
        while (it->next(entry)) children.push_back(entry);
    }
    for (const dir_entry& child : children) {
        if (child.is_dir) {
            Error error = RemoveTree(*sub, child.name);
            if (!error.empty()) return error;
        } else if (!sub->delete_file(child.name)) {
            return sub->last_error();
        }
    }
    sub.reset();
    if (!dir.remove_dir(name)) return dir.last_error();
    return Error();
}

}  // namespace Common
