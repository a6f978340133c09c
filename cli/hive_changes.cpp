#include "hive_changes.h"

#include <unordered_set>

#include "registry/file_reg.h"
#include "support/text.h"

namespace TransviaCli {

namespace {

// Windows nests keys at most 512 deep; deeper is a list that loops in a damaged hive.
constexpr int kMaxDepth = 512;

uint64_t Mix(uint64_t hash, const void* data, size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    return hash;
}

struct WalkState {
    std::map<std::u16string, std::pair<std::string, uint64_t>>& out;
    // A damaged hive may share lists and data between keys: each key and data cell is read once.
    std::unordered_set<uint32_t> keys;
    std::unordered_set<uint32_t> data;
};

void Walk(const Common::file_reg& key, const std::u16string& path, int depth, WalkState& state)
{
    if (depth > kMaxDepth || !state.keys.insert(key.cell()).second) return;
    uint64_t hash = 0xCBF29CE484222325ull;
    Common::file_reg handle = key;
    const uint32_t values = handle.value_count();
    for (uint32_t i = 0; i < values; ++i) {
        Common::file_reg::value_record value;
        if (!key.value_at(i, value, &state.data)) continue;
        const uint64_t size = value.data.size();
        hash = Mix(hash, value.name.data(), value.name.size() * sizeof(char16_t));
        hash = Mix(hash, &value.type, sizeof value.type);
        hash = Mix(hash, &size, sizeof size);
        hash = Mix(hash, value.data.data(), value.data.size());
    }
    const Processor::String upper = Processor::UpCased(Processor::String(path.data(), static_cast<int32_t>(path.size())));
    state.out[std::u16string(upper.getBuffer(), static_cast<size_t>(upper.length()))] = {Processor::ToUtf8(path), hash};
    std::vector<uint32_t> cells;
    if (!key.subkey_cells(cells)) return;
    for (uint32_t cell : cells) {
        const Common::file_reg child = key.child(cell);
        Walk(child, path.empty() ? child.name() : path + u"\\" + child.name(), depth + 1, state);
    }
}

}  // namespace

HiveChanges::HiveChanges(std::shared_ptr<Common::i_dir> config, std::u16string hive)
    : config_(std::move(config)), hive_(std::move(hive))
{
    before_ = Take();
}

HiveChanges::Fingerprints HiveChanges::Take() const
{
    Fingerprints keys;
    if (!config_) return keys;
    Common::Error error;
    const Common::file_reg root =
        Common::file_reg::open_hive(config_, Processor::String(hive_.data(), static_cast<int32_t>(hive_.size())), error);
    WalkState state{keys, {}, {}};
    if (!root.empty()) Walk(root, u"", 0, state);
    return keys;
}

void HiveChanges::Compare()
{
    const Fingerprints after = Take();
    written_.clear();
    removed_.clear();
    for (const auto& [upper, entry] : after) {
        auto it = before_.find(upper);
        if (entry.first.empty()) continue;  // the root key itself
        if (it == before_.end() || it->second.second != entry.second) written_.push_back(entry.first);
    }
    for (const auto& [upper, entry] : before_)
        if (!after.count(upper)) removed_.push_back(entry.first);
}

}  // namespace TransviaCli
