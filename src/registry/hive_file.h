#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "registry/hive_recovery.h"
#include "transvia/dir.h"
#include "transvia/error.h"
#include "transvia/string.h"

namespace Common {

// The file behind a hive, held whole in memory: reads are served from the copy and
// writes go through to the file first, so what reaches the file and when is exactly
// what a plain file would see. A hive is read thousands of records at a time.
class hive_image_file {
public:
    // Bytes that are about to be overwritten by a read need no zeroing first.
    template <class T> struct uninitialized : std::allocator<T> {
        template <class U> struct rebind {
            using other = uninitialized<U>;
        };
        using std::allocator<T>::allocator;
        template <class U, class... A> void construct(U* p, A&&... a)
        {
            if constexpr (sizeof...(A) == 0)
                ::new (static_cast<void*>(p)) U;
            else
                ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
        }
    };

    // Loads the hive in the file (HiveFileExtent); false with `error` set when it cannot
    // be read or exceeds 2 GiB.
    bool load(std::shared_ptr<i_file> file, std::shared_ptr<rio_file> writable, Error& error);

    // Takes the first `length` bytes of `bytes` as the hive, in memory only: a read-only
    // view of a hive recovered from its logs.
    void adopt(const std::vector<uint8_t>& bytes, uint64_t length);
    std::span<const uint8_t> bytes() const { return {image_.data(), image_.size()}; }

    bool read(uint64_t offset, void* buffer, uint32_t length) const;
    // Bytes [offset, offset + length) inside the copy, or null.
    const uint8_t* view(uint64_t offset, uint32_t length) const;
    bool write(uint64_t offset, const void* data, uint32_t length);
    bool set_length(uint64_t length);
    uint64_t length() const { return image_.size(); }
    // The file's own size, which may run past the hive's bins.
    uint64_t file_size() const { return fileSize_; }
    bool writable() const { return writable_ != nullptr; }
    bool flush_file();
    void close();

private:
    std::shared_ptr<i_file> file_;
    std::shared_ptr<rio_file> writable_;
    std::vector<uint8_t, uninitialized<uint8_t>> image_;
    uint64_t fileSize_ = 0;
};

// One open hive file: the storage layer under the key objects. Cells already in the
// file are read and rewritten in place; new cells live in bins held in memory until
// flush() appends them.
class hive_provider {
public:
    ~hive_provider();
    hive_provider(const hive_provider&) = delete;
    hive_provider& operator=(const hive_provider&) = delete;

    // Opens and validates a hive file. Yields the provider and the root key node offset,
    // or null with `error` (the directory's error, kHiveInvalid for a bad hive, or why a
    // dirty hive cannot be brought up to date). A dirty hive is recovered from the logs
    // beside it first: in memory for a read-only open; for a writable one the recovered
    // hive replaces the file atomically before anything is edited, so that the file is
    // never edited while dirty and Windows never replays old pages over our changes.
    static std::shared_ptr<hive_provider> open(std::shared_ptr<rio_dir> directory, const Processor::String& name,
                                               bool read_only, uint32_t& root, Error& error,
                                               const HiveLogPolicy& policy = {});
    // Read-only open through a read-only directory.
    static std::shared_ptr<hive_provider> open(std::shared_ptr<i_dir> directory, const Processor::String& name,
                                               uint32_t& root, Error& error, const HiveLogPolicy& policy = {});

    // Cell data access (file offset = cell + 4100); false when out of bounds or short.
    bool read(uint32_t cell, void* buffer, uint32_t length);
    bool write(uint32_t cell, const void* buffer, uint32_t length);
    // Raw forms take a file offset.
    bool read_raw(uint64_t position, void* buffer, uint32_t length);
    bool write_raw(uint64_t position, const void* buffer, uint32_t length);
    // Direct view of cell data for readers, null when not contiguous or out of bounds.
    const uint8_t* view(uint32_t cell, uint32_t length);

    // Reserves a cell for `size` bytes of data; yields its offset and its memory (valid
    // until the next flush, not cleared), or null.
    uint8_t* allocate(uint32_t size, uint32_t& cell);
    bool free_cell(uint32_t cell);
    // Gives back the tail of a cell in an in-memory bin beyond `size` bytes of data
    // when it can stand as a free cell of its own; readers that take a cell's size
    // as the size of its content (big-data segments) need the exact size.
    void trim_cell(uint32_t cell, uint32_t size);
    // Allocated size of a cell (size field included), 0 when unreadable or free.
    uint32_t cell_size(uint32_t cell);

    uint32_t minor_version() const { return minor_; }
    bool read_only() const { return read_only_; }
    void flush();

    // Tests and the checker: the number of bins waiting in memory.
    size_t memory_bin_count() const { return bins_.size(); }

private:
    struct memory_bin {
        uint32_t offset = 0;  // from the first bin
        std::vector<uint8_t> data;
        uint32_t largest_free = 0;  // largest free cell, to skip full bins quickly
    };

    hive_provider() = default;
    bool recover(const i_dir& directory, rio_dir* writable, const Processor::String& name,
                 const HiveLogPolicy& policy, uint32_t& sequence, Error& error);
    // `sequence`: the seq a writable open writes into both fields, 0 for the plain rule.
    bool validate(const Processor::String& name, uint32_t sequence, uint32_t& root, Error& error);
    memory_bin* find_bin(uint64_t position, uint32_t& inside);
    bool transfer(uint64_t position, void* buffer, uint32_t length, bool writing);
    uint8_t* allocate_in(memory_bin& bin, uint32_t need, uint32_t& cell);
    bool load_last_bin();
    memory_bin* new_bin(uint32_t size);
    static void refresh_largest(memory_bin& bin);
    void reindex();

    std::shared_ptr<fs_object> directory_;
    hive_image_file file_;
    uint32_t minor_ = 0;
    bool read_only_ = true;
    std::vector<std::unique_ptr<memory_bin>> bins_;  // ascending offsets, contiguous
    // For each 4096-byte page from the first in-memory bin on: the bin holding it, so
    // that routing a transfer costs one lookup however many bins wait for the flush.
    std::vector<uint32_t> pageBin_;
    uint64_t firstPage_ = 0;
};

// Writes a new, empty hive: base block, one bin, a root key node named `root_name`
// and the security cell it refers to. `minor` is 3 or 5 (1 to 5 accepted).
Error CreateHive(rio_dir& directory, const Processor::String& name, uint32_t minor,
                 const Processor::String& root_name);

}  // namespace Common
