#include "registry/file_reg.h"

#include <algorithm>
#include <cstring>

#include "registry/hive_format.h"
#include "registry/hive_keys.h"
#include "registry/hive_lists.h"
#include "registry/hive_values.h"

namespace Common {

using namespace Hive;

namespace {

std::u16string_view View(const Processor::String& text)
{
    return std::u16string_view(text.getBuffer(), static_cast<size_t>(text.length()));
}

Processor::String ToString(const std::u16string& text)
{
    return Processor::String(text.data(), static_cast<int32_t>(text.size()));
}

// Splits a key path at backslashes after dropping one trailing backslash.
bool SplitPath(const Processor::String& path, std::vector<std::u16string>& parts)
{
    std::u16string_view text = View(path);
    if (!text.empty() && text.back() == u'\\')
        text.remove_suffix(1);
    if (text.empty())
        return false;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(u'\\', start);
        parts.emplace_back(text.substr(start, end == std::u16string_view::npos ? end : end - start));
        if (end == std::u16string_view::npos)
            return true;
        start = end + 1;
    }
}

}  // namespace

// ---- file_reg -------------------------------------------------------------------------

file_reg file_reg::open_hive(std::shared_ptr<rio_dir> directory, const Processor::String& name, bool read_only,
                             Error& error, const HiveLogPolicy& policy)
{
    uint32_t root = 0;
    auto hive = hive_provider::open(std::move(directory), name, read_only, root, error, policy);
    return hive ? file_reg(std::move(hive), root) : file_reg();
}

file_reg file_reg::open_hive(std::shared_ptr<i_dir> directory, const Processor::String& name, Error& error,
                             const HiveLogPolicy& policy)
{
    uint32_t root = 0;
    auto hive = hive_provider::open(std::move(directory), name, root, error, policy);
    return hive ? file_reg(std::move(hive), root) : file_reg();
}

std::u16string file_reg::name() const
{
    bool ok = false;
    return empty() ? std::u16string() : NodeName(*hive_, cell_, ok);
}

bool file_reg::subkey_cells(std::vector<uint32_t>& cells) const
{
    cells.clear();
    Node node;
    if (empty() || !ReadNode(*hive_, cell_, node))
        return false;
    if (node.subkeyCount == 0)
        return true;
    return ListKeys(*hive_, node.subkeyList, cells, node.subkeyCount);
}

bool file_reg::value_at(uint32_t index, value_record& value, std::unordered_set<uint32_t>* claimed) const
{
    value.key_read = false;
    Node node;
    if (empty() || !ReadNode(*hive_, cell_, node) || index >= node.valueCount)
        return false;
    const uint8_t* list = ValueList(*hive_, node);
    if (!list)
        return false;
    ValueKey key;
    if (!ReadValueKey(*hive_, Get32(list + 4 * index), key, &value.name))
        return false;
    value.type = key.type;
    value.key_read = true;
    return ReadData(*hive_, key, value.data, claimed);
}

bool file_reg::read_value(std::u16string_view name, uint32_t& type, std::vector<uint8_t>& data) const
{
    ValueKey value;
    if (empty() || !FindValue(*hive_, cell_, name, value))
        return false;
    type = value.type;
    return ReadData(*hive_, value, data);
}

file_reg file_reg::find_subkey(std::u16string_view name) const
{
    if (empty())
        return file_reg();
    const uint32_t cell = FindSubkey(*hive_, cell_, name);
    return cell ? file_reg(hive_, cell) : file_reg();
}

file_reg file_reg::create_subkey(std::u16string_view name)
{
    if (empty())
        return file_reg();
    SubkeySlot slot;
    if (!LocateSubkey(*hive_, cell_, name, slot))
        return file_reg();
    if (slot.key)
        return file_reg(hive_, slot.key);
    const uint32_t cell = CreateSubkey(*hive_, cell_, name, &slot);
    return cell ? file_reg(hive_, cell) : file_reg();
}

// Steps through a key path from this key; `create` makes the missing keys.
static file_reg WalkPath(const file_reg& start, const Processor::String& path, bool create)
{
    std::vector<std::u16string> parts;
    if (start.empty() || !SplitPath(path, parts))
        return file_reg();
    file_reg key = start;
    for (const auto& part : parts) {
        key = create ? key.create_subkey(part) : key.find_subkey(part);
        if (key.empty())
            break;
    }
    return key;
}

file_reg file_reg::open_key(const Processor::String& path) { return WalkPath(*this, path, false); }

file_reg file_reg::create_key(const Processor::String& path) { return WalkPath(*this, path, true); }

bool file_reg::query_value(const Processor::String& name, void* buffer, uint32_t& size, uint32_t& type)
{
    ValueKey value;
    if (empty() || !FindValue(*hive_, cell_, View(name), value))
        return false;
    type = value.type;
    const uint32_t capacity = size;
    size = value.size();
    if (size > capacity)
        return false;
    std::vector<uint8_t> data;
    if (!ReadData(*hive_, value, data))
        return false;
    if (!data.empty())
        std::memcpy(buffer, data.data(), data.size());
    return true;
}

bool file_reg::query_value(const Processor::String& name, void* buffer, uint32_t& size)
{
    uint32_t type = 0;
    return query_value(name, buffer, size, type);
}

Processor::String file_reg::get_string(const Processor::String& name, const Processor::String& fallback)
{
    uint32_t size = 0, type = 0;
    ValueKey value;
    if (empty() || !FindValue(*hive_, cell_, View(name), value) || value.type != REG_SZ)
        return fallback;
    // Asked for its size first, then read through a zero-filled buffer one character longer.
    query_value(name, nullptr, size, type);
    std::vector<char16_t> buffer(size / 2 + 2, u'\0');
    uint32_t capacity = size;
    if (!query_value(name, buffer.data(), capacity, type) || type != REG_SZ)
        return fallback;
    return Processor::String(buffer.data());
}

uint32_t file_reg::get_dword(const Processor::String& name, uint32_t fallback)
{
    uint8_t bytes[4] = {0, 0, 0, 0};
    uint32_t size = 4, type = 0;
    if (!query_value(name, bytes, size, type) || type != REG_DWORD)
        return fallback;
    return Get32(bytes);
}

Processor::String file_reg::key_name() { return ToString(name()); }

const file_reg::subkey_snapshot* file_reg::listed_subkeys() const
{
    Node node;
    if (empty() || !ReadNode(*hive_, cell_, node))
        return nullptr;
    const subkey_snapshot* known = subkeys_.get();
    if (known && known->list == node.subkeyList && known->count == node.subkeyCount &&
        known->edits == hive_->list_edits())
        return known;
    auto fresh = std::make_shared<subkey_snapshot>();
    fresh->list = node.subkeyList;
    fresh->count = node.subkeyCount;
    fresh->edits = hive_->list_edits();
    // The node's count is a claim and the list is what can be walked: a loop over the
    // subkeys ends at the smaller of the two (a hostile node may claim 2^32 of them).
    if (node.subkeyCount != 0 && !ListKeys(*hive_, node.subkeyList, fresh->cells, node.subkeyCount))
        return nullptr;
    subkeys_ = std::move(fresh);
    return subkeys_.get();
}

uint32_t file_reg::subkey_count()
{
    const subkey_snapshot* known = listed_subkeys();
    return known ? static_cast<uint32_t>(known->cells.size()) : 0;
}

Processor::String file_reg::subkey_name(uint32_t index)
{
    const subkey_snapshot* known = listed_subkeys();
    if (!known || index >= known->cells.size())
        return Processor::String();
    bool ok = false;
    return ToString(NodeName(*hive_, known->cells[index], ok));
}

uint32_t file_reg::value_count()
{
    // A count is only as good as the list that holds it: a loop to it must end.
    Node node;
    return !empty() && ReadNode(*hive_, cell_, node) && ValueList(*hive_, node) ? node.valueCount : 0;
}

Processor::String file_reg::value_name(uint32_t index)
{
    Node node;
    if (empty() || !ReadNode(*hive_, cell_, node) || index >= node.valueCount)
        return Processor::String();
    const uint8_t* list = ValueList(*hive_, node);
    std::u16string name;
    ValueKey value;
    if (!list || !ReadValueKey(*hive_, Get32(list + 4 * index), value, &name))
        return Processor::String();
    return ToString(name);
}

bool file_reg::delete_subkey(std::u16string_view name) { return !empty() && RemoveSubkey(*hive_, cell_, name); }

bool file_reg::delete_subkey(const Processor::String& name) { return delete_subkey(View(name)); }

bool file_reg::set_value(std::u16string_view name, const void* data, uint32_t size, uint32_t type)
{
    if (empty() || (size > 0 && !data) || size >= kMaxOffset / 2)
        return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    ValueKey value;
    if (FindValue(*hive_, cell_, name, value))
        return UpdateValue(*hive_, cell_, value, bytes, size, type);
    return AddValue(*hive_, cell_, name, bytes, size, type);
}

bool file_reg::set_value(const Processor::String& name, const void* data, uint32_t size, uint32_t type)
{
    return set_value(View(name), data, size, type);
}

bool file_reg::set_binary(const Processor::String& name, const void* data, uint32_t size)
{
    return set_value(name, data, size, REG_BINARY);
}

bool file_reg::set_string(const Processor::String& name, const Processor::String& text, bool expand)
{
    std::vector<char16_t> bytes(text.getBuffer(), text.getBuffer() + text.length());
    bytes.push_back(u'\0');
    return set_value(name, bytes.data(), static_cast<uint32_t>(2 * bytes.size()), expand ? REG_EXPAND_SZ : REG_SZ);
}

bool file_reg::set_dword(const Processor::String& name, uint32_t value)
{
    uint8_t bytes[4];
    Put32(bytes, value);
    return set_value(name, bytes, 4, REG_DWORD);
}

bool file_reg::delete_value(std::u16string_view name) { return !empty() && RemoveValue(*hive_, cell_, name); }

bool file_reg::delete_value(const Processor::String& name) { return delete_value(View(name)); }

}  // namespace Common
