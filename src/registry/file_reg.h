#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "registry/hive_file.h"
#include "transvia/dir.h"
#include "transvia/string.h"

namespace Common {

class file_reg;

// Read interface of one registry key. Failures come back as results: an empty
// handle, false, an empty string, 0 or the caller's default.
class ri_reg {
public:
    virtual file_reg open_key(const Processor::String& path) = 0;
    // `size` is the buffer's capacity in, the value's size out; false when the value is
    // missing or larger than the buffer (its size is reported even then).
    virtual bool query_value(const Processor::String& name, void* buffer, uint32_t& size, uint32_t& type) = 0;
    virtual bool query_value(const Processor::String& name, void* buffer, uint32_t& size) = 0;
    virtual Processor::String get_string(const Processor::String& name, const Processor::String& fallback) = 0;
    virtual uint32_t get_dword(const Processor::String& name, uint32_t fallback) = 0;
    virtual Processor::String key_name() = 0;
    virtual uint32_t subkey_count() = 0;
    virtual Processor::String subkey_name(uint32_t index) = 0;
    virtual uint32_t value_count() = 0;
    virtual Processor::String value_name(uint32_t index) = 0;
    virtual ~ri_reg() = default;
};

// Write interface of one registry key.
class ro_reg {
public:
    // The key at the relative path, created with every missing level.
    virtual file_reg create_key(const Processor::String& path) = 0;
    // Deletes a subkey that has no subkeys of its own.
    virtual bool delete_subkey(const Processor::String& name) = 0;
    virtual bool set_value(const Processor::String& name, const void* data, uint32_t size, uint32_t type) = 0;
    virtual bool set_binary(const Processor::String& name, const void* data, uint32_t size) = 0;
    virtual bool set_string(const Processor::String& name, const Processor::String& text, bool expand) = 0;
    virtual bool set_dword(const Processor::String& name, uint32_t value) = 0;
    virtual bool delete_value(const Processor::String& name) = 0;
    virtual ~ro_reg() = default;
};

// One key node of one hive: a light handle (the hive plus the node's cell offset).
// Offset 0 is the empty handle, on which everything fails.
class file_reg final : public ri_reg, public ro_reg {
public:
    file_reg() = default;
    file_reg(std::shared_ptr<hive_provider> hive, uint32_t cell) : hive_(std::move(hive)), cell_(hive_ ? cell : 0) {}
    file_reg(const file_reg&) = default;
    file_reg& operator=(const file_reg&) = default;
    file_reg(file_reg&&) = default;
    file_reg& operator=(file_reg&&) = default;
    ~file_reg() override = default;

    // The root key of a hive file, or an empty handle with `error` set. A dirty hive is
    // brought up to date from its logs first (see hive_provider::open).
    static file_reg open_hive(std::shared_ptr<rio_dir> directory, const Processor::String& name, bool read_only,
                              Error& error, const HiveLogPolicy& policy = {});
    static file_reg open_hive(std::shared_ptr<i_dir> directory, const Processor::String& name, Error& error,
                              const HiveLogPolicy& policy = {});

    file_reg open_key(const Processor::String& path) override;
    bool query_value(const Processor::String& name, void* buffer, uint32_t& size, uint32_t& type) override;
    bool query_value(const Processor::String& name, void* buffer, uint32_t& size) override;
    Processor::String get_string(const Processor::String& name, const Processor::String& fallback) override;
    uint32_t get_dword(const Processor::String& name, uint32_t fallback) override;
    Processor::String key_name() override;
    uint32_t subkey_count() override;
    Processor::String subkey_name(uint32_t index) override;
    uint32_t value_count() override;
    Processor::String value_name(uint32_t index) override;

    file_reg create_key(const Processor::String& path) override;
    bool delete_subkey(const Processor::String& name) override;
    bool set_value(const Processor::String& name, const void* data, uint32_t size, uint32_t type) override;
    bool set_binary(const Processor::String& name, const void* data, uint32_t size) override;
    bool set_string(const Processor::String& name, const Processor::String& text, bool expand) override;
    bool set_dword(const Processor::String& name, uint32_t value) override;
    bool delete_value(const Processor::String& name) override;

    // Beyond the two interfaces: whole-tree readers (export, checker, tests) use these.
    bool empty() const { return cell_ == 0; }
    uint32_t cell() const { return cell_; }
    const std::shared_ptr<hive_provider>& hive() const { return hive_; }
    std::u16string name() const;
    // The cells of all subkeys in list order; false when a list cannot be read.
    bool subkey_cells(std::vector<uint32_t>& cells) const;
    file_reg child(uint32_t cell) const { return file_reg(hive_, cell); }
    struct value_record {
        std::u16string name;
        uint32_t type = 0;
        std::vector<uint8_t> data;
        bool key_read = false;  // name and type were read, even when the data was not
    };
    // The index-th value with its data; false when it cannot be read. A whole-tree reader
    // passes `claimed`, the data cells read so far: data that another value's cell holds
    // is refused (see Hive::ReadData).
    bool value_at(uint32_t index, value_record& value, std::unordered_set<uint32_t>* claimed = nullptr) const;
    bool read_value(std::u16string_view name, uint32_t& type, std::vector<uint8_t>& data) const;
    file_reg find_subkey(std::u16string_view name) const;
    file_reg create_subkey(std::u16string_view name);
    bool set_value(std::u16string_view name, const void* data, uint32_t size, uint32_t type);
    bool delete_value(std::u16string_view name);
    bool delete_subkey(std::u16string_view name);

private:
    // The subkeys of this key as last listed: an enumeration by index reads the list
    // once, not once per index. Stale once the list or the hive's list edits change.
    struct subkey_snapshot {
        uint32_t list = 0;
        uint32_t count = 0;
        uint64_t edits = 0;
        std::vector<uint32_t> cells;
    };

    // The current snapshot, renewed when stale; null when the key or its list cannot be read.
    const subkey_snapshot* listed_subkeys() const;

    std::shared_ptr<hive_provider> hive_;
    uint32_t cell_ = 0;
    mutable std::shared_ptr<const subkey_snapshot> subkeys_;
};

}  // namespace Common
