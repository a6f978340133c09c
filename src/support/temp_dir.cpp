#include "support/temp_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "support/copy.h"
#include "support/errors.h"
#include "support/local_dir.h"
#include "support/message_table.h"

namespace Common {

namespace {

std::mutex g_lock;
std::weak_ptr<TempDirScope> g_current;
std::shared_ptr<rio_dir> g_base;

std::shared_ptr<rio_dir> DefaultBase(Error& error)
{
    const char* tmp = std::getenv("TMPDIR");
    return OpenLocalDir(tmp && *tmp ? tmp : "/tmp", error);
}

}  // namespace

TempDirScope::TempDirScope(std::shared_ptr<rio_dir> parent, Processor::String name, std::shared_ptr<rio_dir> dir)
    : rio_dir_delegate(std::move(dir)), parent_(std::move(parent)), name_(std::move(name))
{
}

TempDirScope::~TempDirScope()
{
    RemoveTree(*parent_, name_);
}

void TempDir::SetBase(std::shared_ptr<rio_dir> base)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_base = std::move(base);
}

std::shared_ptr<TempDirScope> TempDir::Get(Error& error)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (auto current = g_current.lock()) return current;
    std::shared_ptr<rio_dir> base = g_base ? g_base : DefaultBase(error);
    if (!base) return nullptr;
    RemoveStaleScratch(*base);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const Processor::String name = ScratchName(Processor::String());
        if (base->exists(name)) continue;
        if (!base->create_dir(name)) break;
        // Working copies of hives hold password hashes (SAM): for our eyes only.
        if (!base->set_security(name, {static_cast<uint32_t>(::geteuid()), static_cast<uint32_t>(::getegid()), 0700})) {
            RemoveTree(*base, name);
            break;
        }
        std::shared_ptr<rio_dir> dir = base->open_dir_rw(name);
        if (!dir) break;
        auto scope = std::make_shared<TempDirScope>(base, name, std::move(dir));
        g_current = scope;
        error = Error();
        return scope;
    }
    error = base->last_error().empty()
                ? MakeError(Codes::kStagingFailed, TV_HERE, MessageTable::Get(Messages::kNoTempFolderName))
                : base->last_error();
    return nullptr;
}

}  // namespace Common
