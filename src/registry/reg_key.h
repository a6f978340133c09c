#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "registry/file_reg.h"
#include "support/variant.h"
#include "transvia/string.h"

// Generic registry key and value objects. Reference counting is std::shared_ptr
// throughout; the hive-file implementations drive a file_reg handle.
namespace Processor {

class RegValue {
public:
    virtual ~RegValue() = default;
    // The value's data as a variant; false when the value is missing or unreadable.
    virtual bool Get(Variant& value) = 0;
    virtual bool Set(const Variant& value) = 0;
    virtual String Name() = 0;
};

// Typed kinds: 0 plain, 1 expandable string held as bytes, 2 multi-string held as bytes.
class TypedRegValue : public RegValue {
public:
    virtual bool GetTyped(Variant& value, int& kind) = 0;
    virtual bool SetTyped(int kind, const Variant& value) = 0;
};

class RegKey {
public:
    class Iterator {
    public:
        virtual ~Iterator() = default;
        virtual void Next() = 0;
        virtual bool AtEnd() const = 0;
        virtual std::shared_ptr<TypedRegValue> Current() = 0;
    };
    class SubkeyIterator {
    public:
        virtual ~SubkeyIterator() = default;
        virtual void Next() = 0;
        virtual bool AtEnd() const = 0;
        virtual std::shared_ptr<RegKey> Current() = 0;
    };

    virtual ~RegKey() = default;
    virtual std::unique_ptr<Iterator> Values() = 0;
    virtual std::unique_ptr<SubkeyIterator> Subkeys() = 0;
    virtual String Name() = 0;
    virtual std::shared_ptr<RegValue> Value(const String& name) = 0;
    virtual std::shared_ptr<TypedRegValue> TypedValue(const String& name) = 0;
    virtual bool DeleteValue(const String& name) = 0;
    // Opening a path of a hive key creates the keys that are missing.
    virtual std::shared_ptr<RegKey> OpenSubkey(const String& path) = 0;
    virtual std::shared_ptr<RegKey> CreateSubkey(const String& path) = 0;
    virtual bool DeleteSubkey(const String& name) = 0;
};

// A key of a hive file; an empty handle answers everything with failure or emptiness.
class FileRegKey final : public RegKey, public std::enable_shared_from_this<FileRegKey> {
public:
    class Iterator;
    class SubkeyIterator;

    explicit FileRegKey(Common::file_reg key) : key_(std::move(key)) {}
    std::unique_ptr<RegKey::Iterator> Values() override;
    std::unique_ptr<RegKey::SubkeyIterator> Subkeys() override;
    String Name() override;
    std::shared_ptr<RegValue> Value(const String& name) override;
    std::shared_ptr<TypedRegValue> TypedValue(const String& name) override;
    bool DeleteValue(const String& name) override;
    std::shared_ptr<RegKey> OpenSubkey(const String& path) override;
    std::shared_ptr<RegKey> CreateSubkey(const String& path) override;
    bool DeleteSubkey(const String& name) override;

    const Common::file_reg& handle() const { return key_; }

private:
    Common::file_reg key_;
};

// A named value of a hive key; it need not exist: reading then fails, writing creates it.
class FileRegValue final : public TypedRegValue {
public:
    FileRegValue(Common::file_reg key, String name) : key_(std::move(key)), name_(std::move(name)) {}
    bool Get(Variant& value) override;
    bool Set(const Variant& value) override;
    String Name() override { return name_; }
    bool GetTyped(Variant& value, int& kind) override;
    bool SetTyped(int kind, const Variant& value) override;

private:
    bool Read(uint32_t& type, std::vector<uint8_t>& data);

    Common::file_reg key_;
    String name_;
};

}  // namespace Processor

namespace Transvia {

// What the installation steps use: a key of the target's registry.
class RegistryKey {
public:
    virtual ~RegistryKey() = default;
    // Steps through the backslash-separated path, creating missing keys; null for an
    // empty path or when a step fails.
    virtual std::unique_ptr<RegistryKey> OpenKey(const Processor::String& path) = 0;
    virtual std::unique_ptr<RegistryKey> CreateKey(const Processor::String& path) = 0;
    // Deletes a subkey with its whole subtree.
    virtual bool DeleteKey(const Processor::String& name) = 0;
    virtual bool DeleteValue(const Processor::String& name) = 0;
    // Calls `visitor` with each subkey name in list order; false only without a visitor.
    virtual bool EnumSubkeys(const std::function<void(const Processor::String&)>& visitor) = 0;
    virtual bool SetDword(const Processor::String& name, uint32_t value) = 0;
    virtual bool SetString(const Processor::String& name, const Processor::String& text, bool expand) = 0;
    // `list`: NUL-terminated strings ended by an empty one; null writes an empty list.
    virtual bool SetMultiString(const Processor::String& name, const char16_t* list) = 0;
    virtual bool SetBinary(const Processor::String& name, const void* data, uint32_t size) = 0;
    // Type codes reported by QueryValue.
    enum ValueType : uint32_t { TypeBinary = 1, TypeString = 2, TypeMultiString = 3, TypeExpandString = 4, TypeDword = 5 };
    // Finds the value (case-insensitively), reports its type and needed size, and copies
    // the data when `size` is large enough; false when there is no such value.
    virtual bool QueryValue(const Processor::String& name, uint32_t& type, void* buffer, uint32_t& size) = 0;
    // Writes `data` (code units, NULs included) as REG_MULTI_SZ exactly as given; unlike
    // SetMultiString, an empty list can be stored as the single NUL Windows' setup writes.
    virtual bool SetMultiStringData(const Processor::String& name, const std::u16string& data) = 0;
};

class RegistryKeyLinuxImpl final : public RegistryKey {
public:
    explicit RegistryKeyLinuxImpl(std::shared_ptr<Processor::RegKey> key) : key_(std::move(key)) {}
    std::unique_ptr<RegistryKey> OpenKey(const Processor::String& path) override;
    std::unique_ptr<RegistryKey> CreateKey(const Processor::String& path) override;
    bool DeleteKey(const Processor::String& name) override;
    bool DeleteValue(const Processor::String& name) override;
    bool EnumSubkeys(const std::function<void(const Processor::String&)>& visitor) override;
    bool SetDword(const Processor::String& name, uint32_t value) override;
    bool SetString(const Processor::String& name, const Processor::String& text, bool expand) override;
    bool SetMultiString(const Processor::String& name, const char16_t* list) override;
    bool SetBinary(const Processor::String& name, const void* data, uint32_t size) override;
    bool QueryValue(const Processor::String& name, uint32_t& type, void* buffer, uint32_t& size) override;
    bool SetMultiStringData(const Processor::String& name, const std::u16string& data) override;

    const std::shared_ptr<Processor::RegKey>& key() const { return key_; }

private:
    std::shared_ptr<Processor::RegKey> key_;
};

// The root key of a hive as a RegistryKey (an empty handle gives a key on which every
// operation fails).
std::unique_ptr<RegistryKey> MakeRegistryKey(Common::file_reg root);

}  // namespace Transvia
