#pragma once

#include <array>
#include <memory>
#include <vector>

#include "hardware/device_database.h"
#include "registry/registry_path.h"
#include "registry/windows_registry.h"
#include "transvia/string.h"

// Registry edits that the hardware database prescribes for every target: keys to
// delete, values to delete, values to change. The root keyword of each edit says which
// part of the target's registry the key path is in.
namespace Transvia {

// The service key of the assistant that runs at the first start. Below it, in
// "OriginalValues", ModifyValue keeps the data each value had before the engine first
// changed it (value name: root, key path and value name joined by backslashes), so the
// assistant can put it back once the new hardware has started.
constexpr const char16_t* kAssistantService = u"transvia_assistant";
constexpr const char16_t* kOriginalValuesKey = u"OriginalValues";

class RegistryOperation {
public:
    virtual ~RegistryOperation() = default;
    // Missing keys and values make an operation do nothing; an unknown root keyword, a
    // value that cannot be changed or a number that does not fit its value throws
    // Common::Error. An empty key path names the root key itself.
    virtual void Apply(WindowsRegistry& registry) = 0;
};

class DeleteKey final : public RegistryOperation {
public:
    DeleteKey(Processor::String root, Processor::String path) : root_(std::move(root)), path_(std::move(path)) {}
    void Apply(WindowsRegistry& registry) override;

private:
    Processor::String root_;
    Processor::String path_;
};

class DeleteValue final : public RegistryOperation {
public:
    DeleteValue(Processor::String root, Processor::String path, Processor::String name)
        : root_(std::move(root)), path_(std::move(path)), name_(std::move(name))
    {
    }
    void Apply(WindowsRegistry& registry) override;

private:
    Processor::String root_;
    Processor::String path_;
    Processor::String name_;
};

class ModifyValue final : public RegistryOperation {
public:
    ModifyValue(Processor::String root, Processor::String path, Processor::String name, Processor::String data)
        : root_(std::move(root)), path_(std::move(path)), name_(std::move(name)), data_(std::move(data))
    {
    }
    void Apply(WindowsRegistry& registry) override;

private:
    Processor::String root_;
    Processor::String path_;
    Processor::String name_;
    Processor::String data_;
};

// "DeleteKey", "DeleteValue" or "ModifyValue" (exact case); any other name throws
// 0x1D033A naming it.
std::unique_ptr<RegistryOperation> MakeRegistryOperation(const RegistryOperationRecord& record);

// Maps a root keyword and a key path onto a key of the target's hives.
class RegistryKeyAccessor {
public:
    virtual ~RegistryKeyAccessor() = default;
    // The key if every component exists; never creates anything.
    virtual std::unique_ptr<RegistryKey> OpenExisting(const Processor::String& path) = 0;
    // The key, creating what is missing; null when that fails.
    virtual std::unique_ptr<RegistryKey> Open(const Processor::String& path) = 0;
    // Deletes the key with its subtree; a missing parent is no failure, a path naming
    // the root itself is (a root is never deleted).
    virtual bool Delete(const Processor::String& path) = 0;
    virtual RegistryKey* Root(const Processor::String& path) = 0;
    virtual Processor::String RelativePath(const Processor::String& path) = 0;
};

class RegistryKeyAccessorBase : public RegistryKeyAccessor {
public:
    // Existence is tested by enumeration, because opening a key of a hive creates it.
    using SubKeyFinder = SubkeyFinder;

    explicit RegistryKeyAccessorBase(WindowsRegistry& registry) : registry_(registry) {}
    std::unique_ptr<RegistryKey> OpenExisting(const Processor::String& path) override;
    std::unique_ptr<RegistryKey> Open(const Processor::String& path) override;
    bool Delete(const Processor::String& path) override;

protected:
    WindowsRegistry& registry_;
    // Keeps a key that Root() had to open (HKCR's "Classes") alive for the accessor.
    std::unique_ptr<RegistryKey> ownedRoot_;
};

class HKLMRegistryKeyAccessor final : public RegistryKeyAccessorBase {
public:
    using RegistryKeyAccessorBase::RegistryKeyAccessorBase;
    RegistryKey* Root(const Processor::String& path) override;
    Processor::String RelativePath(const Processor::String& path) override;
};

class HKCRRegistryKeyAccessor final : public RegistryKeyAccessorBase {
public:
    using RegistryKeyAccessorBase::RegistryKeyAccessorBase;
    RegistryKey* Root(const Processor::String& path) override;
    Processor::String RelativePath(const Processor::String& path) override { return path; }
};

class HKCCSRegistryKeyAccessor final : public RegistryKeyAccessorBase {
public:
    using RegistryKeyAccessorBase::RegistryKeyAccessorBase;
    RegistryKey* Root(const Processor::String& path) override;
    Processor::String RelativePath(const Processor::String& path) override { return path; }
};

// "HKLM", "HKCR" or "CurrentControlSet" (exact case); any other keyword throws 0x1D032D.
std::unique_ptr<RegistryKeyAccessor> MakeRegistryKeyAccessor(const Processor::String& root, WindowsRegistry& registry);

}  // namespace Transvia
