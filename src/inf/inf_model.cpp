#include "inf/inf_model.h"

#include <algorithm>
#include <new>
#include <utility>

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include "support/text.h"

namespace Transvia {

namespace {

bool EqualIgnoringCase(const char16_t* a, int32_t aLength, const char16_t* b, int32_t bLength)
{
    // Keys are nearly always ASCII, and ASCII folds to its lower case alone: a difference
    // there settles it, and only texts that reach other characters are left to ICU.
    int32_t i = 0;
    for (; i < aLength && i < bLength && (a[i] | b[i]) < 0x80; ++i) {
        if (Processor::AsciiLowerCase(a[i]) != Processor::AsciiLowerCase(b[i]))
            return false;
    }
    if (i == aLength && i == bLength)
        return true;
    UErrorCode status = U_ZERO_ERROR;
    return u_strCaseCompare(a, aLength, b, bLength, U_FOLD_CASE_DEFAULT, &status) == 0 && U_SUCCESS(status);
}

}  // namespace

const char16_t* SectionEntryImpl::GetField(int32_t index) const
{
    if (index < 0 || static_cast<uint32_t>(index) >= count_)
        return nullptr;
    return fields_[index];
}

bool SectionEntryImpl::KeyEquals(std::u16string_view key) const
{
    return keyLength_ != 0 && keyLength_ == key.size() &&
           EqualIgnoringCase(key_, static_cast<int32_t>(keyLength_), key.data(), static_cast<int32_t>(key.size()));
}

Inf* SectionImpl::GetInf() const
{
    return inf_;
}

SectionEntry* SectionImpl::FindEntry(const char16_t* key)
{
    if (key == nullptr || key[0] == u'\0')
        return nullptr;
    Materialise();
    const std::u16string_view text(key);
    if (text.size() >= 2 && text.front() == u'%' && text.back() == u'%')
        return FindEntryExact(text.substr(1, text.size() - 2));
    for (SectionEntryImpl* entry = first_; entry != nullptr; entry = entry->next_) {
        if (entry->HasKey() &&
            EqualIgnoringCase(entry->key_, static_cast<int32_t>(entry->keyLength_), key, static_cast<int32_t>(text.size())))
            return entry;
    }
    return nullptr;
}

SectionEntryImpl* SectionImpl::FindEntryExact(std::u16string_view key)
{
    Materialise();
    for (SectionEntryImpl* entry = first_; entry != nullptr; entry = entry->next_) {
        if (entry->KeyEquals(key))
            return entry;
    }
    return nullptr;
}

SectionEntry* SectionImpl::GetEntry(int32_t index)
{
    if (index < 0 || static_cast<uint32_t>(index) >= count_)
        return nullptr;
    Materialise();
    if (index == cursorIndex_)
        return cursorEntry_;
    SectionEntryImpl* entry;
    if (index == cursorIndex_ + 1) {
        entry = cursorEntry_->next_;
    } else {
        entry = first_;
        for (int32_t i = 0; i < index; ++i)
            entry = entry->next_;
    }
    cursorIndex_ = index;
    cursorEntry_ = entry;
    return entry;
}

void SectionImpl::Append(const EntryChain& entries)
{
    if (entries.count_ == 0)
        return;
    if (entries.first_ != nullptr)
        LinkAfter(first_, last_, entries.first_, entries.last_, &SectionEntryImpl::next_);
    if (entries.firstPending_ != nullptr)
        LinkAfter(firstPending_, lastPending_, entries.firstPending_, entries.lastPending_, &PendingLine::next);
    count_ += entries.count_;
}

void SectionImpl::Materialise()
{
    if (firstPending_ == nullptr)
        return;
    EntryChain made;
    inf_->MakeEntries(firstPending_, made);
    firstPending_ = lastPending_ = nullptr;
    // The count already holds these lines.
    const uint32_t count = count_;
    Append(made);
    count_ = count;
}

namespace {

// FNV-1a over the code units: section names are short, so a simple hash is enough.
uint32_t NameHash(std::u16string_view name)
{
    uint32_t hash = 2166136261u;
    for (char16_t c : name) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

}  // namespace

// Index of the slot holding `upperName`, or of the free slot where it belongs. The table
// is never full.
size_t InfParser::Probe(std::u16string_view upperName, uint32_t hash) const
{
    const size_t mask = table_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = table_[i];
        if (slot.section == nullptr || (slot.hash == hash && slot.section->name() == upperName))
            return i;
    }
}

void InfParser::GrowTable()
{
    // Most files have fewer than 32 sections: one table for them.
    std::vector<Slot> old = std::exchange(table_, std::vector<Slot>(std::max<size_t>(64, table_.size() * 2)));
    for (const Slot& slot : old) {
        if (slot.section != nullptr)
            table_[Probe(slot.section->name(), slot.hash)] = slot;
    }
}

SectionImpl* InfParser::Find(std::u16string_view upperName) const
{
    if (table_.empty())
        return nullptr;
    return table_[Probe(upperName, NameHash(upperName))].section;
}

SectionImpl& InfParser::AddSection(std::u16string_view upperName, const EntryChain& entries)
{
    if ((store_.size() + 1) * 2 > table_.size()) {
        GrowTable();
        store_.reserve(table_.size() / 2);
    }
    const uint32_t hash = NameHash(upperName);
    Slot& slot = table_[Probe(upperName, hash)];
    if (slot.section == nullptr) {
        // The name lives in this Inf's memory, so the section may keep the view. Like the
        // entries, the section is released with the blocks, without a destructor call.
        slot.section = new (Allocate<SectionImpl>(1)) SectionImpl(upperName, this);
        slot.hash = hash;
        store_.push_back(slot.section);
    }
    slot.section->Append(entries);
    return *slot.section;
}

void* InfParser::AllocateInNewBlock(size_t size, size_t alignment)
{
    const size_t blockSize = std::max(nextBlock_, size + alignment);
    blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(blockSize));
    free_ = blocks_.back().get();
    left_ = blockSize;
    nextBlock_ = std::min(nextBlock_ * 2, kLargestBlock);
    return AllocateBytes(size, alignment);
}

Section* InfParser::GetSection(int32_t index)
{
    if (index < 0 || static_cast<size_t>(index) >= store_.size())
        return nullptr;
    // Sections are never removed, so a size change is the only way the order goes stale.
    if (ordered_.size() != store_.size()) {
        // Sorted on the first four units packed into a number, names only compared whole
        // where those are equal: a driver scan sorts the sections of every INF it matches.
        auto prefix = [](std::u16string_view name) {
            uint64_t key = 0;
            for (size_t i = 0; i < 4; ++i)
                key = key << 16 | (i < name.size() ? name[i] : 0u);
            return key;
        };
        std::vector<std::pair<uint64_t, SectionImpl*>> keyed;
        keyed.reserve(store_.size());
        for (SectionImpl* section : store_)
            keyed.emplace_back(prefix(section->name()), section);
        std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first < b.first : a.second->name() < b.second->name();
        });
        ordered_.clear();
        for (const auto& item : keyed)
            ordered_.push_back(item.second);
    }
    return ordered_[index];
}

Section* InfParser::FindSection(const char16_t* name)
{
    if (name == nullptr || name[0] == u'\0')
        return nullptr;
    std::u16string upper(name);
    Processor::UpCaseInPlace(upper.data(), upper.size());
    return Find(upper);
}

const char16_t* InfParser::VersionField(std::u16string_view key)
{
    SectionImpl* version = Find(u"VERSION");
    if (version == nullptr)
        return nullptr;
    SectionEntryImpl* entry = version->FindEntryExact(key);
    if (entry == nullptr)
        return nullptr;
    const char16_t* field = entry->GetField(0);
    return field != nullptr && field[0] != u'\0' ? field : nullptr;
}

const char16_t* InfParser::GetClassGuid()
{
    return VersionField(u"ClassGuid");
}

const char16_t* InfParser::GetLayoutFile()
{
    return VersionField(u"LayoutFile");
}

}  // namespace Transvia
