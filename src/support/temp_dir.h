#pragma once

#include <memory>

#include "transvia/dir.h"

namespace Common {

// The process-wide scratch folder. It is deleted with all its content when the last
// reference to its scope goes.
class TempDirScope final : public rio_dir_delegate {
public:
    TempDirScope(std::shared_ptr<rio_dir> parent, Processor::String name, std::shared_ptr<rio_dir> dir);
    ~TempDirScope() override;

private:
    std::shared_ptr<rio_dir> parent_;
    Processor::String name_;
};

namespace TempDir {
// Where scratch folders are made; without a call, $TMPDIR or /tmp of this machine.
void SetBase(std::shared_ptr<rio_dir> base);
// The current scope, created on first request. Null with `error` set when it cannot be made.
std::shared_ptr<TempDirScope> Get(Error& error);
}  // namespace TempDir

}  // namespace Common
