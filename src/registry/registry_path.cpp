#include "registry/registry_path.h"

#include <string>
#include <string_view>

#include "support/text.h"

namespace Transvia {

using Processor::String;

namespace {

// A second handle on a key that the caller holds: what an empty path opens.
class KeyView final : public RegistryKey {
public:
    explicit KeyView(RegistryKey& key) : key_(key) {}
    std::unique_ptr<RegistryKey> OpenKey(const String& path) override { return key_.OpenKey(path); }
    std::unique_ptr<RegistryKey> CreateKey(const String& path) override { return key_.CreateKey(path); }
    bool DeleteKey(const String& name) override { return key_.DeleteKey(name); }
    bool DeleteValue(const String& name) override { return key_.DeleteValue(name); }
    bool EnumSubkeys(const std::function<void(const String&)>& visitor) override { return key_.EnumSubkeys(visitor); }
    bool SetDword(const String& name, uint32_t value) override { return key_.SetDword(name, value); }
    bool SetString(const String& name, const String& text, bool expand) override
    {
        return key_.SetString(name, text, expand);
    }
    bool SetMultiString(const String& name, const char16_t* list) override { return key_.SetMultiString(name, list); }
    bool SetBinary(const String& name, const void* data, uint32_t size) override
    {
        return key_.SetBinary(name, data, size);
    }
    bool QueryValue(const String& name, uint32_t& type, void* buffer, uint32_t& size) override
    {
        return key_.QueryValue(name, type, buffer, size);
    }
    bool SetMultiStringData(const String& name, const std::u16string& data) override
    {
        return key_.SetMultiStringData(name, data);
    }

private:
    RegistryKey& key_;
};

std::unique_ptr<RegistryKey> WalkExisting(RegistryKey& key, const std::vector<String>& parts, size_t count)
{
    std::unique_ptr<RegistryKey> current;
    RegistryKey* at = &key;
    for (size_t i = 0; i < count; ++i) {
        SubkeyFinder finder(parts[i]);
        at->EnumSubkeys([&finder](const String& name) { finder(name); });
        if (!finder.found())
            return nullptr;
        current = at->OpenKey(parts[i]);
        if (!current)
            return nullptr;
        at = current.get();
    }
    return current ? std::move(current) : std::make_unique<KeyView>(key);
}

// The value's data with room for a terminating NUL unit, or false when it is not one
// of `types`.
bool ReadUnits(RegistryKey& key, const String& name, std::initializer_list<uint32_t> types, std::u16string& units)
{
    uint32_t type = 0;
    uint32_t size = 0;
    if (!key.QueryValue(name, type, nullptr, size))
        return false;
    bool wanted = false;
    for (uint32_t t : types)
        wanted = wanted || t == type;
    if (!wanted)
        return false;
    units.assign(size / 2 + 2, u'\0');
    return key.QueryValue(name, type, units.data(), size);
}

}  // namespace

std::vector<String> SplitKeyPath(const String& path)
{
    std::vector<String> parts;
    int32_t start = 0;
    for (int32_t i = 0; i <= path.length(); ++i) {
        if (i == path.length() || path.charAt(i) == u'\\') {
            if (i > start)
                parts.push_back(path.tempSubStringBetween(start, i));
            start = i + 1;
        }
    }
    return parts;
}

void SubkeyFinder::operator()(const String& name)
{
    if (!found_ && Processor::EqualNoCase(name, name_))
        found_ = true;
}

std::unique_ptr<RegistryKey> OpenExistingKey(RegistryKey& key, const String& path)
{
    const std::vector<String> parts = SplitKeyPath(path);
    return WalkExisting(key, parts, parts.size());
}

bool DeleteKeyPath(RegistryKey& key, const String& path)
{
    const std::vector<String> parts = SplitKeyPath(path);
    if (parts.empty())
        return false;
    auto parent = WalkExisting(key, parts, parts.size() - 1);
    if (!parent)
        return true;
    SubkeyFinder finder(parts.back());
    parent->EnumSubkeys([&finder](const String& name) { finder(name); });
    return !finder.found() || parent->DeleteKey(parts.back());
}

bool ReadStringValue(RegistryKey& key, const String& name, String& text)
{
    std::u16string units;
    if (!ReadUnits(key, name, {RegistryKey::TypeString, RegistryKey::TypeExpandString}, units))
        return false;
    text = String(units.c_str());
    return true;
}

bool ReadMultiStringValue(RegistryKey& key, const String& name, std::vector<String>& list)
{
    std::u16string units;
    if (!ReadUnits(key, name, {RegistryKey::TypeMultiString}, units))
        return false;
    for (size_t at = 0; at < units.size() && units[at] != u'\0';) {
        const std::u16string_view entry(&units[at]);
        list.emplace_back(entry.data(), static_cast<int32_t>(entry.size()));
        at += entry.size() + 1;
    }
    return true;
}

bool WriteMultiStringValue(RegistryKey& key, const String& name, const std::vector<String>& list)
{
    std::u16string packed;
    for (const String& entry : list) {
        packed.append(reinterpret_cast<const char16_t*>(entry.getBuffer()), static_cast<size_t>(entry.length()));
        packed.push_back(u'\0');
    }
    packed.push_back(u'\0');
    return key.SetMultiString(name, packed.c_str());
}

}  // namespace Transvia
