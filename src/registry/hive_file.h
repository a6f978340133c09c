#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "registry/hive_create.h"
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
    // The data of an allocated cell when it holds at least `length` bytes, or null; with
    // `capacity`, how many bytes of data the cell holds (as far as they can be read).
    // One lookup where cell_size() and view() take two: key lookups read thousands.
    const uint8_t* record(uint32_t cell, uint32_t length, uint32_t* capacity = nullptr);

    uint32_t minor_version() const { return minor_; }
    bool read_only() const { return read_only_; }
    void flush();

    // Tests and the checker: the number of bins waiting in memory.
    size_t memory_bin_count() const { return bins_.size(); }

    // What the key layer learnt about the subkey list at `list`: 0 not yet known, 1 in
    // order, 2 out of order. Checking an order costs a read of the whole list, so it is
    // done once; the note goes when the cell is freed, as a new record may take its place.
    uint8_t list_order(uint32_t list) const;
    void set_list_order(uint32_t list, uint8_t order);
    // Counts the edits of subkey lists, so that an enumeration knows when what it read
    // has gone stale.
    uint64_t list_edits() const { return listEdits_; }
    void note_list_edit() { ++listEdits_; }

private:
    struct memory_bin {
        uint32_t offset = 0;  // from the first bin
        std::vector<uint8_t> data;
        uint32_t largest_free = 0;  // largest free cell, to skip full bins quickly
        uint32_t index = 0;         // position in bins_
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
    void refresh_largest(memory_bin& bin);
    void set_largest(memory_bin& bin, uint32_t largest);
    void rebuild_free_tree();
    memory_bin* bin_with_room(uint32_t need);
    void reindex();
    // The free cell of `size` bytes at `inside` of a bin merged with its free neighbours:
    // yields the merged size and moves `inside` to its start. Writes nothing.
    static uint32_t coalesce(const uint8_t* bin, uint32_t binSize, uint32_t& inside, uint32_t size);
    bool file_bin_of(uint64_t position, uint64_t& start, uint32_t& size);

    std::shared_ptr<fs_object> directory_;
    hive_image_file file_;
    uint32_t minor_ = 0;
    bool read_only_ = true;
    std::vector<std::unique_ptr<memory_bin>> bins_;  // ascending offsets, contiguous
    // For each 4096-byte page from the first in-memory bin on: the bin holding it, so
    // that routing a transfer costs one lookup however many bins wait for the flush.
    struct page_entry {
        uint8_t* bytes = nullptr;  // the page inside its bin's memory
        uint32_t bin = UINT32_MAX;
        uint32_t left = 0;  // bytes from the page's start to the end of its bin
    };
    std::vector<page_entry> pageBin_;
    // Cell bytes at `position` in a bin in memory, and how many can be read from there.
    const uint8_t* memory_bytes(uint64_t position, uint64_t& readable) const;
    uint64_t firstPage_ = 0;
    // A max-tree over the bins' largest free cells: finding the newest bin with room
    // costs a walk down the tree, not a visit of every bin of a large import.
    std::vector<uint32_t> freeTree_;
    size_t freeLeaves_ = 0;
    // Offsets of the bins already in the file (from the first bin), found when a cell
    // there is freed and its neighbours are looked at.
    std::vector<uint32_t> fileBins_;
    uint64_t fileBinsEnd_ = 0;
    std::unordered_map<uint32_t, uint8_t> listOrder_;
    uint64_t listEdits_ = 0;
};

}  // namespace Common
