#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "inf/memory_file.h"
#include "install/driver_store_index.h"
#include "support/text.h"

// "infpub.dat" and "infstor.dat" written from a table of entries, as later Windows
// versions lay them out.
namespace IndexTest {

constexpr uint32_t kNone = 0xFFFFFFFF;

class IndexFiles {
public:
    IndexFiles() : pub_(16 + 509 * 4, 0) {}

    // Offset (as the index counts them, from byte 16) the next entry gets.
    uint32_t NextEntry() const { return static_cast<uint32_t>(pub_.size() - 16); }
    // Appends an entry whose record points at `store` (eight "infstor.dat" offsets).
    uint32_t Entry(const std::u16string& name, uint32_t next, std::array<uint32_t, 8> store)
    {
        const uint32_t at = NextEntry();
        Put32(pub_, next);
        for (char16_t c : name) Put16(pub_, c);
        Put16(pub_, 0);
        pub_.resize(pub_.size() + 32, 0xEE);
        for (uint32_t offset : store) Put32(pub_, offset);
        return at;
    }
    void Bucket(uint32_t bucket, uint32_t offset) { Set32(pub_, 16 + 4 * bucket, offset); }
    void Next(uint32_t entry, uint32_t next) { Set32(pub_, entry + 16, next); }
    uint32_t Store(const std::u16string& folder)
    {
        const uint32_t at = static_cast<uint32_t>(stor_.size());
        stor_.resize(stor_.size() + 20, 0xEE);
        for (char16_t c : folder) Put16(stor_, c);
        Put16(stor_, 0);
        return at;
    }
    // Limit L defaults to the file's end.
    std::optional<std::string> Find(const std::u16string& name, uint32_t limit = 0, size_t cutPub = 0)
    {
        std::vector<uint8_t> pub = Published(limit);
        if (cutPub) pub.resize(cutPub);
        Transvia::MemoryFile published(pub), store(stor_);
        auto found = Transvia::FindInDriverStoreIndex(published, store, Processor::String(name.data(), static_cast<int32_t>(name.size())));
        if (!found) return std::nullopt;
        return Processor::ToUtf8(*found);
    }

    // "infpub.dat" with its limit L (default: just past the last entry's first byte).
    std::vector<uint8_t> Published(uint32_t limit = 0) const
    {
        std::vector<uint8_t> pub = pub_;
        Set32(pub, 0, limit ? limit : NextEntry() + 1);
        return pub;
    }

    std::vector<uint8_t> pub_, stor_;

private:
    static void Put16(std::vector<uint8_t>& v, uint16_t x) { v.insert(v.end(), {uint8_t(x), uint8_t(x >> 8)}); }
    static void Put32(std::vector<uint8_t>& v, uint32_t x)
    {
        v.insert(v.end(), {uint8_t(x), uint8_t(x >> 8), uint8_t(x >> 16), uint8_t(x >> 24)});
    }
    static void Set32(std::vector<uint8_t>& v, size_t at, uint32_t x)
    {
        for (int i = 0; i < 4; ++i) v[at + i] = uint8_t(x >> (8 * i));
    }
};

inline std::array<uint32_t, 8> Only(uint32_t offset) { return {offset, kNone, kNone, kNone, kNone, kNone, kNone, kNone}; }

}  // namespace IndexTest
