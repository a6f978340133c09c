#pragma once

#include <memory>
#include <vector>

#include "registry/reg_key.h"
#include "transvia/string.h"

// Reading and walking keys of the target's registry without changing it. Opening a key of
// a hive creates what is missing, so every lookup that must leave the hive as it was
// goes through these.
namespace Transvia {

// The non-empty components of a backslash-separated key path ("A\\B\" gives A, B).
std::vector<Processor::String> SplitKeyPath(const Processor::String& path);

// Tells whether a subkey of the sought name (compared ignoring case) is among the names
// it is shown; for RegistryKey::EnumSubkeys.
class SubkeyFinder {
public:
    explicit SubkeyFinder(Processor::String name) : name_(std::move(name)) {}
    void operator()(const Processor::String& name);
    bool found() const { return found_; }

private:
    Processor::String name_;
    bool found_ = false;
};

// The key at `path` below `key` when every component already exists; null otherwise.
// An empty path names `key` itself: the result then refers to it (and must not outlive it).
std::unique_ptr<RegistryKey> OpenExistingKey(RegistryKey& key, const Processor::String& path);

// Deletes the key at `path` below `key` with its subtree, creating nothing on the way.
// True when the key is gone afterwards (also when it never existed); false when the
// deletion failed or the path is empty (a key cannot delete itself).
bool DeleteKeyPath(RegistryKey& key, const Processor::String& path);

// A REG_SZ or REG_EXPAND_SZ value up to its first NUL; false when missing or of another type.
bool ReadStringValue(RegistryKey& key, const Processor::String& name, Processor::String& text);

// A REG_MULTI_SZ value as its strings, up to the first empty one; false when missing or
// of another type.
bool ReadMultiStringValue(RegistryKey& key, const Processor::String& name, std::vector<Processor::String>& list);
bool WriteMultiStringValue(RegistryKey& key, const Processor::String& name, const std::vector<Processor::String>& list);

}  // namespace Transvia
