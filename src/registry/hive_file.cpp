#include "registry/hive_file.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "registry/hive_check.h"
#include "registry/hive_format.h"
#include "registry/hive_names.h"
#include "support/copy.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/trace.h"
#include "transvia/codes.h"

static_assert(std::endian::native == std::endian::little, "hive records are read in place as little-endian");

namespace Common {

using namespace Hive;

// ---- hive_image_file ------------------------------------------------------------

bool hive_image_file::load(std::shared_ptr<i_file> file, std::shared_ptr<rio_file> writable, Error& error)
{
    file_ = std::move(file);
    writable_ = std::move(writable);
    const int64_t size = file_->size();
    if (size < 0) {
        error = file_->last_error();
        return false;
    }
    if (static_cast<uint64_t>(size) > uint64_t(kMaxOffset) + HBLOCK_SIZE) {
        error = MakeError(Codes::kHiveInvalid, TV_HERE, MessageTable::Get(Messages::kHiveOver2GiB));
        return false;
    }
    fileSize_ = static_cast<uint64_t>(size);
    // What the bins hold, never what the file's size claims.
    image_.resize(HiveFileExtent(*file_, fileSize_));
    return ReadHiveBytes(*file_, image_.data(), 0, image_.size(), error);
}

void hive_image_file::adopt(const std::vector<uint8_t>& bytes, uint64_t length)
{
    image_.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(length, bytes.size())));
    fileSize_ = image_.size();
}

bool hive_image_file::read(uint64_t offset, void* buffer, uint32_t length) const
{
    if (offset > image_.size() || image_.size() - offset < length)
        return false;
    std::memcpy(buffer, image_.data() + offset, length);
    return true;
}

const uint8_t* hive_image_file::view(uint64_t offset, uint32_t length) const
{
    if (offset > image_.size() || image_.size() - offset < length)
        return nullptr;
    return image_.data() + offset;
}

bool hive_image_file::write(uint64_t offset, const void* data, uint32_t length)
{
    if (!writable_)
        return true;  // read-only hive: writes are skipped and count as done
    if (writable_->write_at(offset, data, length) != length)
        return false;
    if (offset + length > image_.size())
        image_.resize(offset + length);
    fileSize_ = std::max(fileSize_, offset + length);
    std::memcpy(image_.data() + offset, data, length);
    return true;
}

bool hive_image_file::set_length(uint64_t length)
{
    if (!writable_)
        return true;
    if (!writable_->set_size(length))
        return false;
    image_.resize(length);
    fileSize_ = length;
    return true;
}

bool hive_image_file::flush_file() { return !writable_ || writable_->flush(); }

void hive_image_file::close()
{
    if (writable_)
        writable_->close();
    else if (file_)
        file_->close();
    writable_.reset();
    file_.reset();
    image_.clear();
    image_.shrink_to_fit();
}

// ---- opening ---------------------------------------------------------------------

namespace {

Error Invalid(const Processor::String& name, uint32_t message, uint64_t site)
{
    return MakeError(Codes::kHiveInvalid, site, MessageTable::Text(message, {name}));
}

}  // namespace

std::shared_ptr<hive_provider> hive_provider::open(std::shared_ptr<rio_dir> directory, const Processor::String& name,
                                                   bool read_only, uint32_t& root, Error& error,
                                                   const HiveLogPolicy& policy)
{
    root = 0;
    if (!directory) {
        error = MakeError(Codes::kInvalidArgument, TV_HERE, name);
        return nullptr;
    }
    std::shared_ptr<hive_provider> hive(new hive_provider());
    hive->read_only_ = read_only;
    if (read_only) {
        auto file = directory->open_file(name);
        if (!file) {
            error = directory->last_error();
            return nullptr;
        }
        if (!hive->file_.load(file, nullptr, error))
            return nullptr;
    } else {
        auto file = directory->open_file_rw(name);
        if (!file) {
            error = directory->last_error();
            return nullptr;
        }
        if (!hive->file_.load(file, file, error))
            return nullptr;
    }
    uint32_t sequence = 0;
    // A hive refused at open is never written, not even at destruction.
    if (!hive->recover(*directory, read_only ? nullptr : directory.get(), name, policy, sequence, error)) {
        hive->read_only_ = true;
        return nullptr;
    }
    hive->directory_ = std::move(directory);
    if (!hive->validate(name, sequence, root, error)) {
        hive->read_only_ = true;
        return nullptr;
    }
    return hive;
}

std::shared_ptr<hive_provider> hive_provider::open(std::shared_ptr<i_dir> directory, const Processor::String& name,
                                                   uint32_t& root, Error& error, const HiveLogPolicy& policy)
{
    root = 0;
    if (!directory) {
        error = MakeError(Codes::kInvalidArgument, TV_HERE, name);
        return nullptr;
    }
    auto file = directory->open_file(name);
    if (!file) {
        error = directory->last_error();
        return nullptr;
    }
    std::shared_ptr<hive_provider> hive(new hive_provider());
    hive->read_only_ = true;
    if (!hive->file_.load(file, nullptr, error))
        return nullptr;
    uint32_t sequence = 0;
    if (!hive->recover(*directory, nullptr, name, policy, sequence, error))
        return nullptr;
    hive->directory_ = std::move(directory);
    if (!hive->validate(name, sequence, root, error))
        return nullptr;
    return hive;
}

bool hive_provider::recover(const i_dir& directory, rio_dir* writable, const Processor::String& name,
                            const HiveLogPolicy& policy, uint32_t& sequence, Error& error)
{
    Error failure;
    Hive::ReplayResult result = RecoverHive(directory, name, file_.bytes(), policy, writable != nullptr, failure);
    if (failure.failed()) {
        error = failure;
        return false;
    }
    sequence = result.new_sequence;
    if (result.status != Hive::ReplayStatus::replayed)
        return true;
    const uint64_t length = uint64_t(HBLOCK_SIZE) + result.bins_size;
    if (!writable) {
        file_.adopt(result.image, length);
        return true;
    }
    // What Windows itself does at the next mount (recover, then write the hive), done in
    // one atomic replace: a crash leaves the dirty hive with its logs, or the recovered one.
    file_.close();
    error = ReplaceFile(*writable, name, result.image.data(), length);
    if (error.failed())
        return false;
    auto file = writable->open_file_rw(name);
    if (!file) {
        error = writable->last_error();
        return false;
    }
    return file_.load(file, file, error);
}

bool hive_provider::validate(const Processor::String& name, uint32_t sequence, uint32_t& root, Error& error)
{
    uint8_t base[HBLOCK_SIZE];
    if (!file_.read(0, base, HBLOCK_SIZE)) {
        error = Invalid(name, Messages::kHiveShorterThanBaseBlock, TV_HERE);
        return false;
    }
    const uint32_t binsSize = Get32(base + kBaseBinsSize);
    if ((uint64_t(HBLOCK_SIZE) + binsSize) % HBLOCK_SIZE != 0) {
        error = Invalid(name, Messages::kHiveBinsSizeUneven, TV_HERE);
        return false;
    }
    if (Get32(base) != kRegfSignature) {
        error = Invalid(name, Messages::kHiveNoSignature, TV_HERE);
        return false;
    }
    if (BaseBlockChecksum(base) != Get32(base + kBaseChecksum)) {
        error = Invalid(name, Messages::kHiveChecksumWrong, TV_HERE);
        return false;
    }
    const uint32_t minor = Get32(base + kBaseMinor);
    if (Get32(base + kBaseMajor) != 1 || minor < 1 || minor > 5) {
        error = Invalid(name, Messages::kHiveVersionUnknown, TV_HERE);
        return false;
    }
    if (Get32(base + kBaseFormat) != 1) {
        error = Invalid(name, Messages::kHiveFormatUnknown, TV_HERE);
        return false;
    }
    // Beyond the base block: the bins must be all there and well formed, so that no
    // later read can wander outside them, and the root must be an allocated key node.
    if (binsSize == 0 || binsSize > kMaxOffset || file_.length() - HBLOCK_SIZE < binsSize) {
        // Only the bins that chain were read: a file long enough for the rest has a broken bin.
        const bool broken = binsSize != 0 && file_.file_size() - HBLOCK_SIZE >= binsSize;
        error = Invalid(name, broken ? Messages::kHiveBinHeaderDamaged : Messages::kHiveBinsMissing,
                        TV_HERE);
        return false;
    }
    const uint32_t rootCell = Get32(base + kBaseRootCell);
    if (const char16_t* fault = CheckBinStructure(file_.view(HBLOCK_SIZE, binsSize), binsSize, rootCell)) {
        error = MakeError(Codes::kHiveInvalid, TV_HERE, MessageTable::Text(Messages::kHiveStructureFault, {name, Processor::String(fault)}));
        return false;
    }

    if (!read_only_) {
        if (file_.file_size() != uint64_t(HBLOCK_SIZE) + binsSize && !file_.set_length(uint64_t(HBLOCK_SIZE) + binsSize)) {
            error = file_.writable() ? MakeError(Codes::kHiveBaseBlockWrite, TV_HERE, name) : error;
            TraceError(4, error);
            return false;
        }
        // Both seqs equal mark the hive clean for Windows. `sequence`, when known, beats
        // every seq in the logs beside the hive, so that no stale entry can chain later.
        const uint32_t primary = Get32(base + kBasePrimarySequence);
        const uint32_t secondary = Get32(base + kBaseSecondarySequence);
        uint32_t next = sequence;
        if (next == 0 && primary != secondary) {
            next = std::max(primary, secondary) + 1;
            if (next == 0) {
                error = MakeError(Codes::kHiveSequenceOverflow, TV_HERE, name);
                TraceError(4, error);
                return false;
            }
        }
        if (next != 0 && (primary != next || secondary != next)) {
            SetBaseSequences(base, next);
            if (!file_.write(0, base, HBLOCK_SIZE)) {
                error = MakeError(Codes::kHiveBaseBlockWrite, TV_HERE, name);
                TraceError(4, error);
                return false;
            }
        }
    }
    minor_ = minor;
    root = rootCell;
    return true;
}

hive_provider::~hive_provider()
{
    if (!read_only_) {
        flush();
        file_.flush_file();
    }
    bins_.clear();
    pageBin_.clear();
    file_.close();
    directory_.reset();
}

// ---- routing ---------------------------------------------------------------------

void hive_provider::reindex()
{
    pageBin_.clear();
    for (size_t i = 0; i < bins_.size(); ++i)
        bins_[i]->index = static_cast<uint32_t>(i);
    rebuild_free_tree();
    if (bins_.empty())
        return;
    firstPage_ = (uint64_t(bins_.front()->offset) + HBLOCK_SIZE) / HBLOCK_SIZE;
    for (size_t i = 0; i < bins_.size(); ++i) {
        const uint64_t first = (uint64_t(bins_[i]->offset) + HBLOCK_SIZE) / HBLOCK_SIZE - firstPage_;
        const uint64_t pages = bins_[i]->data.size() / HBLOCK_SIZE;
        if (pageBin_.size() < first + pages)
            pageBin_.resize(first + pages);
        for (uint64_t p = 0; p < pages; ++p)
            pageBin_[first + p] = {bins_[i]->data.data() + p * HBLOCK_SIZE, static_cast<uint32_t>(i),
                                   static_cast<uint32_t>(bins_[i]->data.size() - p * HBLOCK_SIZE)};
    }
}

hive_provider::memory_bin* hive_provider::find_bin(uint64_t position, uint32_t& inside)
{
    const uint64_t page = position / HBLOCK_SIZE;
    if (page < firstPage_ || page - firstPage_ >= pageBin_.size())
        return nullptr;
    const uint32_t index = pageBin_[page - firstPage_].bin;
    if (index == UINT32_MAX)
        return nullptr;
    memory_bin* bin = bins_[index].get();
    inside = static_cast<uint32_t>(position - (uint64_t(bin->offset) + HBLOCK_SIZE));
    return bin;
}

const uint8_t* hive_provider::memory_bytes(uint64_t position, uint64_t& readable) const
{
    const uint64_t page = position / HBLOCK_SIZE;
    if (page < firstPage_ || page - firstPage_ >= pageBin_.size())
        return nullptr;
    const page_entry& entry = pageBin_[page - firstPage_];
    if (!entry.bytes)
        return nullptr;
    readable = entry.left - position % HBLOCK_SIZE;
    return entry.bytes + position % HBLOCK_SIZE;
}

bool hive_provider::transfer(uint64_t position, void* buffer, uint32_t length, bool writing)
{
    if (length == 0)
        return true;
    uint32_t inside = 0;
    if (memory_bin* bin = find_bin(position, inside)) {
        if (uint64_t(inside) + length > bin->data.size()) {
            TraceError(3, MakeError(Codes::kHiveInvalid, TV_HERE, MessageTable::Get(Messages::kHiveTransferPastBin)));
            return false;
        }
        if (!writing) {
            std::memcpy(buffer, bin->data.data() + inside, length);
            return true;
        }
        // A write stays inside the cell where it starts.
        uint32_t at = kBinHeaderSize;
        while (at < bin->data.size()) {
            const int32_t raw = static_cast<int32_t>(Get32(bin->data.data() + at));
            const uint32_t size = raw < 0 ? 0u - static_cast<uint32_t>(raw) : static_cast<uint32_t>(raw);
            if (size == 0)
                return false;
            if (inside < at + size) {
                if (inside < at || uint64_t(inside) + length > uint64_t(at) + size)
                    return false;
                std::memcpy(bin->data.data() + inside, buffer, length);
                return true;
            }
            at += size;
        }
        return false;
    }
    if (position > kMaxOffset + uint64_t(HBLOCK_SIZE))
        return false;
    return writing ? file_.write(position, buffer, length) : file_.read(position, buffer, length);
}

bool hive_provider::read_raw(uint64_t position, void* buffer, uint32_t length)
{
    return transfer(position, buffer, length, false);
}

bool hive_provider::write_raw(uint64_t position, const void* buffer, uint32_t length)
{
    return transfer(position, const_cast<void*>(buffer), length, true);
}

bool hive_provider::read(uint32_t cell, void* buffer, uint32_t length)
{
    if (cell >= kMaxOffset)
        return false;
    return transfer(uint64_t(cell) + kCellDataBase, buffer, length, false);
}

bool hive_provider::write(uint32_t cell, const void* buffer, uint32_t length)
{
    if (cell >= kMaxOffset)
        return false;
    return transfer(uint64_t(cell) + kCellDataBase, const_cast<void*>(buffer), length, true);
}

const uint8_t* hive_provider::view(uint32_t cell, uint32_t length)
{
    if (cell >= kMaxOffset)
        return nullptr;
    const uint64_t position = uint64_t(cell) + kCellDataBase;
    uint64_t readable = 0;
    if (const uint8_t* p = memory_bytes(position, readable))
        return length <= readable ? p : nullptr;
    return file_.view(position, length);
}

uint32_t hive_provider::cell_size(uint32_t cell)
{
    uint8_t field[4];
    if (cell >= kMaxOffset || !read_raw(uint64_t(cell) + HBLOCK_SIZE, field, 4))
        return 0;
    const int32_t raw = static_cast<int32_t>(Get32(field));
    return raw < 0 ? 0u - static_cast<uint32_t>(raw) : 0;
}

const uint8_t* hive_provider::record(uint32_t cell, uint32_t length, uint32_t* capacity)
{
    if (cell >= kMaxOffset)
        return nullptr;
    const uint64_t position = uint64_t(cell) + HBLOCK_SIZE;
    uint64_t readable = 0;
    const uint8_t* p = memory_bytes(position, readable);
    if (!p && (p = file_.view(position, 4)) != nullptr)
        readable = file_.length() - position;
    if (!p || readable < 4)
        return nullptr;
    const int32_t raw = static_cast<int32_t>(Get32(p));
    const uint32_t size = raw < 0 ? 0u - static_cast<uint32_t>(raw) : 0;
    if (size < 4 || size - 4 < length || readable - 4 < length)
        return nullptr;
    if (capacity)
        *capacity = static_cast<uint32_t>(std::min<uint64_t>(size, readable) - 4);
    return p + 4;
}

// ---- allocation --------------------------------------------------------------------

void hive_provider::refresh_largest(memory_bin& bin)
{
    uint32_t largest = 0;
    for (uint32_t at = kBinHeaderSize; at + 4 <= bin.data.size();) {
        const int32_t raw = static_cast<int32_t>(Get32(bin.data.data() + at));
        if (raw == 0)
            break;
        if (raw > 0)
            largest = std::max<uint32_t>(largest, static_cast<uint32_t>(raw));
        at += raw < 0 ? 0u - static_cast<uint32_t>(raw) : static_cast<uint32_t>(raw);
    }
    set_largest(bin, largest);
}

void hive_provider::set_largest(memory_bin& bin, uint32_t largest)
{
    bin.largest_free = largest;
    size_t at = freeLeaves_ + bin.index;
    if (bin.index >= bins_.size() || bins_[bin.index].get() != &bin || at >= freeTree_.size())
        return;
    freeTree_[at] = largest;
    for (at /= 2; at >= 1; at /= 2)
        freeTree_[at] = std::max(freeTree_[2 * at], freeTree_[2 * at + 1]);
}

void hive_provider::rebuild_free_tree()
{
    freeLeaves_ = 1;
    while (freeLeaves_ < bins_.size())
        freeLeaves_ *= 2;
    freeTree_.assign(2 * freeLeaves_, 0);
    for (size_t i = 0; i < bins_.size(); ++i)
        freeTree_[freeLeaves_ + i] = bins_[i]->largest_free;
    for (size_t i = freeLeaves_ - 1; i >= 1; --i)
        freeTree_[i] = std::max(freeTree_[2 * i], freeTree_[2 * i + 1]);
}

// The newest bin whose largest free cell can hold `need` bytes, or null.
hive_provider::memory_bin* hive_provider::bin_with_room(uint32_t need)
{
    if (freeTree_.size() < 2 || freeTree_[1] < need)
        return nullptr;
    size_t at = 1;
    while (at < freeLeaves_)
        at = freeTree_[2 * at + 1] >= need ? 2 * at + 1 : 2 * at;
    return at - freeLeaves_ < bins_.size() ? bins_[at - freeLeaves_].get() : nullptr;
}

uint8_t* hive_provider::allocate_in(memory_bin& bin, uint32_t need, uint32_t& cell)
{
    for (uint32_t at = kBinHeaderSize; at + 4 <= bin.data.size();) {
        uint8_t* field = bin.data.data() + at;
        const int32_t raw = static_cast<int32_t>(Get32(field));
        if (raw == 0)
            break;
        if (raw > 0 && static_cast<uint32_t>(raw) >= need) {
            const uint32_t size = static_cast<uint32_t>(raw);
            if (size - need >= 9) {
                Put32(field, 0u - need);
                Put32(field + need, size - need);
            } else {
                Put32(field, 0u - size);
            }
            refresh_largest(bin);
            cell = bin.offset + at;
            return field + 4;
        }
        at += raw < 0 ? 0u - static_cast<uint32_t>(raw) : static_cast<uint32_t>(raw);
    }
    return nullptr;
}

bool hive_provider::load_last_bin()
{
    uint8_t field[4];
    std::unique_ptr<memory_bin> bin;
    if (file_.read(kBaseBinsSize, field, 4)) {
        const uint64_t position = Get32(field);  // the last 4096 bytes of the bins
        uint8_t block[HBLOCK_SIZE];
        if (position >= HBLOCK_SIZE && file_.read(position, block, HBLOCK_SIZE) && Get32(block) == kBinSignature &&
            Get32(block + kBinOffset) == position - HBLOCK_SIZE) {
            const uint32_t size = Get32(block + kBinSize);
            bin = std::make_unique<memory_bin>();
            bin->offset = static_cast<uint32_t>(position - HBLOCK_SIZE);
            bin->data.assign(block, block + HBLOCK_SIZE);
            if (size > HBLOCK_SIZE) {
                bin->data.resize(size);
                if (!file_.read(position + HBLOCK_SIZE, bin->data.data() + HBLOCK_SIZE, size - HBLOCK_SIZE))
                    bin.reset();
            }
        }
    }
    if (!bin) {
        Trace(1, u"It is not a hbin actually, because last one is bigger than HBLOCK_SIZE.");
        return false;
    }
    refresh_largest(*bin);
    bins_.push_back(std::move(bin));
    reindex();
    return true;
}

hive_provider::memory_bin* hive_provider::new_bin(uint32_t size)
{
    Trace(1, u"New hbin allocated.");
    uint64_t binSize = (uint64_t(size) + 4063) / 4064 * HBLOCK_SIZE;
    const uint64_t cellSize = (uint64_t(size) + 11) / 8 * 8;
    if (binSize - kBinHeaderSize < cellSize)
        binSize = (cellSize + kBinHeaderSize + HBLOCK_SIZE - 1) / HBLOCK_SIZE * HBLOCK_SIZE;
    uint64_t offset = 0;
    if (!bins_.empty()) {
        offset = uint64_t(bins_.back()->offset) + bins_.back()->data.size();
    } else {
        uint8_t field[4];
        if (!file_.read(kBaseBinsSize, field, 4))
            return nullptr;
        offset = Get32(field);
    }
    if (offset + binSize + HBLOCK_SIZE > kMaxOffset)
        return nullptr;
    auto bin = std::make_unique<memory_bin>();
    bin->offset = static_cast<uint32_t>(offset);
    bin->data.assign(binSize, 0xFF);
    uint8_t* header = bin->data.data();
    Put32(header, kBinSignature);
    Put32(header + kBinOffset, bin->offset);
    Put32(header + kBinSize, static_cast<uint32_t>(binSize));
    Put32(header + 0x0C, 0xFFFFFFFFu);
    Put32(header + 0x10, 0xFFFFFFFFu);
    Put64(header + kBinTimestamp, 0);
    Put32(header + kBinSpare, static_cast<uint32_t>(binSize));
    Put32(header + kBinHeaderSize, static_cast<uint32_t>(binSize - kBinHeaderSize));
    bin->largest_free = static_cast<uint32_t>(binSize - kBinHeaderSize);
    bin->index = static_cast<uint32_t>(bins_.size());
    bins_.push_back(std::move(bin));
    // Indexed by appending: rebuilding the page table for every new bin would make a
    // large import quadratic in its bins.
    memory_bin& added = *bins_.back();
    if (bins_.size() == 1 || bins_.size() > freeLeaves_) {
        reindex();
    } else {
        const uint64_t first = (uint64_t(added.offset) + HBLOCK_SIZE) / HBLOCK_SIZE - firstPage_;
        const uint64_t pages = added.data.size() / HBLOCK_SIZE;
        pageBin_.resize(first + pages);
        for (uint64_t p = 0; p < pages; ++p)
            pageBin_[first + p] = {added.data.data() + p * HBLOCK_SIZE, added.index,
                                   static_cast<uint32_t>(added.data.size() - p * HBLOCK_SIZE)};
        set_largest(added, added.largest_free);
    }
    return &added;
}

uint8_t* hive_provider::allocate(uint32_t size, uint32_t& cell)
{
    if (size > kMaxOffset / 2)
        return nullptr;
    const uint32_t need = CellSizeFor(size);
    bool triedLast = false;
    for (;;) {
        if (memory_bin* bin = bin_with_room(need)) {
            if (uint8_t* data = allocate_in(*bin, need, cell))
                return data;
            refresh_largest(*bin);  // it had less room than noted: look again
            continue;
        }
        if (bins_.empty() && !triedLast) {
            triedLast = true;
            if (load_last_bin())
                continue;
        }
        memory_bin* bin = new_bin(size);
        if (!bin)
            return nullptr;
        return allocate_in(*bin, need, cell);
    }
}

uint32_t hive_provider::coalesce(const uint8_t* bin, uint32_t binSize, uint32_t& inside, uint32_t size)
{
    uint32_t start = inside;
    if (uint64_t(start) + size + 4 <= binSize) {
        const int32_t next = static_cast<int32_t>(Get32(bin + start + size));
        if (next > 0 && uint64_t(start) + size + static_cast<uint32_t>(next) <= binSize)
            size += static_cast<uint32_t>(next);
    }
    // The cell before is found by walking the bin from its first cell, as cells only
    // know their own size.
    for (uint32_t at = kBinHeaderSize; at < start;) {
        const int32_t raw = static_cast<int32_t>(Get32(bin + at));
        const uint32_t length = raw < 0 ? 0u - static_cast<uint32_t>(raw) : static_cast<uint32_t>(raw);
        if (length == 0 || uint64_t(at) + length > start)
            break;
        if (at + length == start) {
            if (raw > 0) {
                start = at;
                size += length;
            }
            break;
        }
        at += length;
    }
    inside = start;
    return size;
}

// The bin of the file holding `position`, from an index of the file's bins that is
// extended as the file grows.
bool hive_provider::file_bin_of(uint64_t position, uint64_t& start, uint32_t& size)
{
    const uint64_t end = file_.length();
    while (uint64_t(HBLOCK_SIZE) + fileBinsEnd_ + kBinHeaderSize <= end) {
        const uint8_t* header = file_.view(HBLOCK_SIZE + fileBinsEnd_, kBinHeaderSize);
        const uint32_t length = header ? Get32(header + kBinSize) : 0;
        if (!header || Get32(header) != kBinSignature || length < HBLOCK_SIZE || length % HBLOCK_SIZE != 0 ||
            HBLOCK_SIZE + fileBinsEnd_ + length > end)
            break;
        fileBins_.push_back(static_cast<uint32_t>(fileBinsEnd_));
        fileBinsEnd_ += length;
    }
    auto it = std::upper_bound(fileBins_.begin(), fileBins_.end(), position - HBLOCK_SIZE);
    if (position < HBLOCK_SIZE || it == fileBins_.begin())
        return false;
    start = uint64_t(*--it) + HBLOCK_SIZE;
    size = Get32(file_.view(start, kBinHeaderSize) + kBinSize);
    return position + 4 <= start + size;
}

bool hive_provider::free_cell(uint32_t cell)
{
    if (cell >= kMaxOffset)
        return false;
    const uint64_t position = uint64_t(cell) + HBLOCK_SIZE;
    uint8_t field[4];
    if (!read_raw(position, field, 4))
        return false;
    const int32_t raw = static_cast<int32_t>(Get32(field));
    if (raw >= 0)
        return false;
    uint32_t size = 0u - static_cast<uint32_t>(raw);
    listOrder_.erase(cell);
    // Freed cells are merged with free neighbours, as Windows does, so that the room of
    // many small freed records can take a larger one.
    uint32_t inside = 0;
    if (memory_bin* bin = find_bin(position, inside)) {
        if (uint64_t(inside) + size > bin->data.size())
            return false;
        const uint32_t merged = coalesce(bin->data.data(), static_cast<uint32_t>(bin->data.size()), inside, size);
        Put32(bin->data.data() + inside, merged);
        set_largest(*bin, std::max(bin->largest_free, merged));
        return true;
    }
    uint64_t binStart = 0;
    uint32_t binSize = 0;
    uint64_t at = position;
    if (file_.writable() && file_bin_of(position, binStart, binSize) && position + size <= binStart + binSize) {
        uint32_t start = static_cast<uint32_t>(position - binStart);
        size = coalesce(file_.view(binStart, binSize), binSize, start, size);
        at = binStart + start;
    }
    Put32(field, size);
    return write_raw(at, field, 4);
}

void hive_provider::trim_cell(uint32_t cell, uint32_t size)
{
    uint32_t inside = 0;
    memory_bin* bin = cell < kMaxOffset ? find_bin(uint64_t(cell) + HBLOCK_SIZE, inside) : nullptr;
    if (!bin || inside + 4 > bin->data.size())
        return;
    uint8_t* field = bin->data.data() + inside;
    const int32_t raw = static_cast<int32_t>(Get32(field));
    const uint32_t need = CellSizeFor(size);
    if (raw >= 0 || 0u - static_cast<uint32_t>(raw) < need + 8)
        return;
    const uint32_t whole = 0u - static_cast<uint32_t>(raw);
    Put32(field, 0u - need);
    Put32(field + need, whole - need);
    uint32_t tail = inside + need;
    const uint32_t merged = coalesce(bin->data.data(), static_cast<uint32_t>(bin->data.size()), tail, whole - need);
    Put32(bin->data.data() + tail, merged);
    set_largest(*bin, std::max(bin->largest_free, merged));
}

uint8_t hive_provider::list_order(uint32_t list) const
{
    const auto it = listOrder_.find(list);
    return it == listOrder_.end() ? 0 : it->second;
}

void hive_provider::set_list_order(uint32_t list, uint8_t order) { listOrder_[list] = order; }

// ---- flush -------------------------------------------------------------------------

void hive_provider::flush()
{
    if (read_only_ || bins_.empty())
        return;
    uint8_t base[HBLOCK_SIZE];
    if (!file_.read(0, base, HBLOCK_SIZE)) {
        TraceError(4, MakeError(Codes::kHiveBaseBlockRead, TV_HERE, MessageTable::Get(Messages::kHiveBaseBlockNotRead)));
        return;
    }
    std::vector<std::unique_ptr<memory_bin>> kept;
    for (auto& bin : bins_) {
        const uint64_t position = uint64_t(bin->offset) + HBLOCK_SIZE;
        if (position > kMaxOffset || !file_.write(position, bin->data.data(), static_cast<uint32_t>(bin->data.size()))) {
            TraceError(4, MakeError(Codes::kHiveInvalid, TV_HERE, MessageTable::Get(Messages::kHiveBinNotWritten)));
            kept.push_back(std::move(bin));
        }
    }
    bins_ = std::move(kept);
    reindex();
    Put32(base + kBaseBinsSize, static_cast<uint32_t>(file_.length() - HBLOCK_SIZE));
    const uint64_t stamp = Get64(base + kBaseTimestamp);
    if (stamp != 0)
        Put64(base + kBaseTimestamp, stamp + 1);
    Put32(base + kBaseChecksum, BaseBlockChecksum(base));
    if (!file_.write(0, base, HBLOCK_SIZE))
        TraceError(4, MakeError(Codes::kHiveBaseBlockWrite, TV_HERE, MessageTable::Get(Messages::kHiveBaseBlockNotWritten)));
}

}  // namespace Common
