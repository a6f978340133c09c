#include "support/copy.h"

#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <tuple>
#include <vector>

#include "support/errors.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"

namespace Common {

namespace {

constexpr size_t kChunk = 1 << 20;

constexpr int64_t kStaleAfterNs = int64_t(3600) * 1000000000;

uint64_t RandomBits()
{
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, 0) == static_cast<ssize_t>(sizeof bits)) return bits;
    std::random_device device;
    return (uint64_t(device()) << 32) ^ device();
}

// Splits a scratch name after "transvia-" into the process id (0 when the name has
// none, as older runs wrote them) and whether the rest is the random part.
bool ParseScratch(const std::string& name, bool& isFile, pid_t& pid)
{
    static const std::regex pattern(R"(^(\..+\.)?transvia-(?:([0-9]{1,10})-)?([0-9a-f]{12}|[0-9a-f]{16})$)");
    std::smatch match;
    // Most folders hold thousands of other names: a plain search first.
    if (name.find("transvia-") == std::string::npos || !std::regex_match(name, match, pattern)) return false;
    isFile = match[1].matched;
    pid = match[2].matched ? static_cast<pid_t>(std::stoll(match[2].str()) & 0x7FFFFFFF) : 0;
    return true;
}

// Whether a process may still be writing there. Process ids are reused, so a live id
// only keeps a leftover a while longer; it never makes one look stale.
bool ProcessAlive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// The newest change time of a scratch folder's own entries, so that a working copy
// still being written keeps its folder.
int64_t NewestChange(rio_dir& folder, const dir_entry& entry)
{
    int64_t newest = entry.modified_ns;
    std::shared_ptr<i_dir> sub = entry.is_dir ? folder.open_dir(entry.name) : nullptr;
    auto it = sub ? sub->entries() : nullptr;
    dir_entry child;
    while (it && it->next(child)) newest = std::max(newest, child.modified_ns);
    return newest;
}

}  // namespace

Processor::String ScratchName(const Processor::String& prefix)
{
    Processor::String name(prefix);
    name.append(u"transvia-").append(Processor::FromUtf8(std::to_string(::getpid()))).append(u'-');
    const uint64_t n = RandomBits();
    for (int shift = 60; shift >= 0; shift -= 4) name.append(static_cast<char16_t>(u"0123456789abcdef"[(n >> shift) & 0xF]));
    return name;
}

void RemoveStaleScratch(rio_dir& folder)
{
    static std::mutex lock;
    static std::set<std::tuple<uint64_t, uint64_t, std::string>> swept;
    file_identifier id;
    if (!folder.identify(id)) return;
    {
        std::lock_guard<std::mutex> guard(lock);
        // The path too: a folder made after another was deleted may reuse its inode.
        if (!swept.insert({id.device, id.inode, Processor::ToUtf8(folder.full_path())}).second) return;
    }
    std::vector<dir_entry> stale;
    {
        auto it = folder.entries();
        dir_entry entry;
        const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::system_clock::now().time_since_epoch()).count();
        while (it && it->next(entry)) {
            bool isFile = false;
            pid_t pid = 0;
            if (entry.attributes & Attributes::kReparsePoint) continue;
            if (!ParseScratch(Processor::ToUtf8(entry.name), isFile, pid) || isFile == entry.is_dir) continue;
            if (now - NewestChange(folder, entry) < kStaleAfterNs || ProcessAlive(pid)) continue;
            stale.push_back(entry);
        }
    }
    for (const dir_entry& entry : stale) {
        const Error error = entry.is_dir ? RemoveTree(folder, entry.name)
                                         : (folder.delete_file(entry.name) ? Error() : folder.last_error());
        if (error.failed()) TraceError(4, error);
        else Trace(3, MessageTable::Get(Messages::kLeftoverRemoved), {entry.name, folder.full_path()});
    }
}

namespace {

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

// Writes through `produce` into a temporary file, flushes it, gives it the metadata of
// the file it replaces and renames it over `name`.
template <class Produce> Error ReplaceAtomically(rio_dir& to, const Processor::String& name, uint32_t newMode, Produce produce)
{
    Processor::String leaf;
    const Processor::String parent = ParentOf(name, leaf);
    if (std::shared_ptr<rio_dir> folder = parent.isEmpty() ? nullptr : to.open_dir_rw(parent))
        RemoveStaleScratch(*folder);
    else if (parent.isEmpty())
        RemoveStaleScratch(to);
    Processor::String temp = parent;
    if (!temp.isEmpty()) temp.append(u'\\');
    temp.append(ScratchName(Processor::String(u".").append(leaf).append(u'.')));

    security_descriptor security;
    const bool replacing = to.get_security(name, security);
    // Nobody but us reads the new content before it has its final owner and mode.
    std::shared_ptr<o_file> out = to.create_new_file(temp, replacing ? 0600 : newMode);
    if (!out) return to.last_error();
    Error error = produce(*out);
    if (error.empty() && !out->flush()) error = out->last_error();
    out->close();
    if (error.empty() && replacing && !to.set_security(temp, security)) error = to.last_error();
    if (error.empty() && !to.move(temp, name, true)) error = to.last_error();
    if (!error.empty()) to.delete_file(temp);
    else TraceFileWritten(to, name);
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

Error ReplaceFile(rio_dir& to, const Processor::String& name, const void* data, size_t size, uint32_t newMode)
{
    return ReplaceAtomically(to, name, newMode, [&](o_file& out) -> Error {
        if (out.write(data, size) != size)
            return out.last_error().empty() ? MakeError(Codes::FromSystemError(ENOSPC), TV_HERE, MessageTable::Get(Messages::kShortWrite)) : out.last_error();
        return Error();
    });
}

Error CopyFile(const i_dir& from, const Processor::String& name, rio_dir& to, const Processor::String& newName)
{
    std::shared_ptr<i_file> in = from.open_file(name);
    if (!in) return from.last_error();
    return ReplaceAtomically(to, newName, 0644, [&](o_file& out) -> Error {
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

void TraceFileWritten(const i_dir& folder, const Processor::String& name)
{
    if (!TraceEnabled(1)) return;
    Processor::String path = folder.full_path();
    path.append(u'/').append(name);
    path.findAndReplace(u"\\", u"/");
    Processor::String text = MessageTable::Text(Messages::kFileWritten, {path});
    const EventField field{"path", Processor::Terminated(path)};
    TraceEvent(kFileWrittenEvent, 1, kTraceFacility, 0, Processor::Terminated(text), &field, 1);
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
