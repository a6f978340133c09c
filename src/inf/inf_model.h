#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "inf/inf.h"

// The one implementation of the INF model. Keys, fields, entries and section names live
// in memory blocks the InfParser owns and releases all at once; entries of one section are
// chained so that a section met twice in a file grows by linking, without moving what was
// handed out before.
namespace Transvia {

class SectionEntryImpl final : public SectionEntry {
public:
    SectionEntryImpl() = default;
    SectionEntryImpl(const char16_t* key, uint32_t keyLength, const char16_t* const* fields, uint32_t count)
        : key_(key), fields_(fields), keyLength_(keyLength), count_(count)
    {
    }

    const char16_t* GetKey() const override { return key_; }
    uint32_t GetFieldCount() const override { return count_; }
    // Fields are one contiguous array, so any index is one step and no cursor is needed.
    const char16_t* GetField(int32_t index) const override;

    // Same length and equal ignoring case; an empty key equals nothing.
    bool KeyEquals(std::u16string_view key) const;
    bool HasKey() const { return keyLength_ != 0; }

private:
    friend class SectionImpl;
    friend class EntryChain;
    // Pointers first: an entry per line, so its size counts.
    const char16_t* key_ = u"";
    const char16_t* const* fields_ = nullptr;
    SectionEntryImpl* next_ = nullptr;
    uint32_t keyLength_ = 0;
    uint32_t count_ = 0;
};

// A line kept as read (after comment cutting, trimming and joining) until its section is
// first asked for entries. Its units follow the header, then kLineSlack zero bytes, so
// the splitter may read 16 bytes past the text as it does in the read buffer.
struct PendingLine {
    PendingLine* next;
    uint32_t length;  // in units
    bool wide;        // char16_t units; otherwise single bytes
    static constexpr size_t kLineSlack = 16;
    const void* text() const { return this + 1; }
};

// Links the nodes `added` .. `addedLast` after `last`, or makes them the list when it is empty.
template <class Node, class Next>
void LinkAfter(Node*& first, Node*& last, Node* added, Node* addedLast, Next next)
{
    if (last != nullptr)
        last->*next = added;
    else
        first = added;
    last = addedLast;
}

// Entries of one section in file order, linked as they are made, before the section they
// go to is known to be new or a repeat of an earlier one. One parse makes either entries
// or pending lines.
class EntryChain {
public:
    void Add(SectionEntryImpl* entry)
    {
        LinkAfter(first_, last_, entry, entry, &SectionEntryImpl::next_);
        ++count_;
    }
    void Add(PendingLine* line)
    {
        LinkAfter(firstPending_, lastPending_, line, line, &PendingLine::next);
        ++count_;
    }
    void Clear() { *this = EntryChain(); }

private:
    friend class SectionImpl;
    SectionEntryImpl* first_ = nullptr;
    SectionEntryImpl* last_ = nullptr;
    PendingLine* firstPending_ = nullptr;
    PendingLine* lastPending_ = nullptr;
    uint32_t count_ = 0;
};

class InfParser;

class SectionImpl final : public Section {
public:
    SectionImpl(std::u16string_view upperName, InfParser* owner) : name_(upperName), inf_(owner) {}

    const char16_t* GetName() const override { return name_.data(); }
    // Pending lines count: they become entries on first access, one for each.
    uint32_t GetEntryCount() const override { return count_; }
    SectionEntry* FindEntry(const char16_t* key) override;
    SectionEntry* GetEntry(int32_t index) override;
    Inf* GetInf() const override;

    // Token-form lookup ("%Key%" without its percent signs): same length, case ignored.
    SectionEntryImpl* FindEntryExact(std::u16string_view key);
    // Links the chain's entries, or its pending lines, after the last ones.
    void Append(const EntryChain& entries);
    // Turns the pending lines into entries, after those made before (a section met again
    // in the file after it was read keeps file order).
    void Materialise();

    // Zero-terminated, in memory of the owning InfParser.
    std::u16string_view name() const { return name_; }

private:
    std::u16string_view name_;
    InfParser* inf_;
    SectionEntryImpl* first_ = nullptr;
    SectionEntryImpl* last_ = nullptr;
    PendingLine* firstPending_ = nullptr;
    PendingLine* lastPending_ = nullptr;
    uint32_t count_ = 0;
    // Sequential-access cursor: the index asked for last and its entry. -2 means that
    // no index counts as the next one yet.
    int32_t cursorIndex_ = -2;
    SectionEntryImpl* cursorEntry_ = nullptr;
};

class InfParser final : public Inf {
public:
    InfParser() = default;
    InfParser(const InfParser&) = delete;
    InfParser& operator=(const InfParser&) = delete;

    Section* GetSection(int32_t index) override;
    Section* FindSection(const char16_t* name) override;
    const char16_t* ExpandString(const char16_t* text, ExternalVariables* resolver) override;
    const char16_t* GetClassGuid() override;
    uint32_t GetSectionCount() const override { return static_cast<uint32_t>(store_.size()); }
    const char16_t* GetLayoutFile() override;
    uint32_t GetChecksum() const override { return checksum_; }

    // Room for `count` objects of T, released with this Inf. Nothing placed there is
    // destroyed one by one, so only types without work in their destructor go there.
    template <class T> T* Allocate(size_t count)
    {
        return static_cast<T*>(AllocateBytes(count * sizeof(T), alignof(T)));
    }
    char16_t* AllocateText(size_t count) { return Allocate<char16_t>(count); }
    // Room for objects of several types laid out by the caller; the parser makes one such
    // request per line (its entry, field pointers and text).
    void* AllocateBytes(size_t size, size_t alignment)
    {
        const size_t padding = static_cast<size_t>(-reinterpret_cast<uintptr_t>(free_) & (alignment - 1));
        if (left_ < padding + size)
            return AllocateInNewBlock(size, alignment);
        std::byte* const result = free_ + padding;
        left_ -= padding + size;
        free_ = result + size;
        return result;
    }
    // Adds the entries (placed in this Inf's memory) to the section `upperName` (also
    // there, zero-terminated), creating the section or extending one of the same name read
    // earlier. Returns that section.
    SectionImpl& AddSection(std::u16string_view upperName, const EntryChain& entries);
    void SetChecksum(uint32_t checksum) { checksum_ = checksum; }
    // Entries of `lines` in order, in this Inf's memory, linked into `entries`.
    void MakeEntries(const PendingLine* lines, EntryChain& entries);
    // Sizes the first memory block for about `bytes`, so that a whole file usually fits
    // into one block; more blocks follow when it does not.
    void ExpectBytes(size_t bytes) { nextBlock_ = std::clamp<size_t>(bytes, nextBlock_, kLargestBlock); }
    // Sections in the order the file first names them (a package's layout sections
    // count in that order); null outside 0 .. count-1.
    Section* GetSectionInFileOrder(int32_t index)
    {
        return index < 0 || static_cast<size_t>(index) >= store_.size() ? nullptr : store_[static_cast<size_t>(index)];
    }

private:
    SectionImpl* Find(std::u16string_view upperName) const;
    // First field of `key` in [Version]; null when absent or empty.
    const char16_t* VersionField(std::u16string_view key);

    void* AllocateInNewBlock(size_t size, size_t alignment);

    // One parse makes few, growing blocks instead of several allocations per section.
    std::vector<std::unique_ptr<std::byte[]>> blocks_;
    std::byte* free_ = nullptr;
    size_t left_ = 0;
    static constexpr size_t kLargestBlock = 1u << 20;
    size_t nextBlock_ = 4096;

    // Sections in file order; the objects live in the blocks above.
    std::vector<SectionImpl*> store_;
    // Lookup by upper-cased name: open addressing with linear probing over a power-of-two
    // table kept at most half full. A file has a few dozen sections, so a small flat table
    // beats a node per section.
    struct Slot {
        SectionImpl* section = nullptr;
        uint32_t hash = 0;
    };
    std::vector<Slot> table_;
    size_t Probe(std::u16string_view upperName, uint32_t hash) const;
    void GrowTable();
    // Sections in the order of their upper-cased names (plain code-unit order), sorted when
    // first asked for after a section was added: lookups by name need no order.
    std::vector<SectionImpl*> ordered_;
    uint32_t checksum_ = 0;
};

}  // namespace Transvia
