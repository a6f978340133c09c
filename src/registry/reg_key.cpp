#include "registry/reg_key.h"

#include <cstring>

#include "registry/hive_format.h"
#include "support/text.h"
#include "transvia/error.h"

namespace Processor {

using namespace Common::Hive;

namespace {

std::vector<uint8_t> Utf16Bytes(const String& text)
{
    std::vector<uint8_t> bytes(2 * static_cast<size_t>(text.length()) + 2, 0);
    for (int32_t i = 0; i < text.length(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(text.charAt(i));
        bytes[2 * i + 1] = static_cast<uint8_t>(text.charAt(i) >> 8);
    }
    return bytes;
}

}  // namespace

// ---- values ----------------------------------------------------------------------

bool FileRegValue::Read(uint32_t& type, std::vector<uint8_t>& data)
{
    return !key_.empty() && key_.read_value(std::u16string_view(name_.getBuffer(), name_.length()), type, data);
}

bool FileRegValue::Get(Variant& value)
{
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!Read(type, data))
        return false;
    switch (type) {
    case REG_NONE:
        value = Variant();
        return true;
    case REG_SZ:
    case REG_EXPAND_SZ: {
        // The text up to the first NUL.
        std::u16string text(data.size() / 2, u'\0');
        if (!text.empty())
            std::memcpy(text.data(), data.data(), text.size() * 2);
        text.resize(std::char_traits<char16_t>::length(text.c_str()));
        value = Variant(String(text.data(), static_cast<int32_t>(text.size())));
        return true;
    }
    case REG_DWORD: {
        uint8_t bytes[4] = {0, 0, 0, 0};
        if (!data.empty())
            std::memcpy(bytes, data.data(), std::min<size_t>(4, data.size()));
        value = Variant(Get32(bytes));
        return true;
    }
    case REG_QWORD: {
        uint8_t bytes[8] = {};
        if (!data.empty())
            std::memcpy(bytes, data.data(), std::min<size_t>(8, data.size()));
        value = Variant(Get64(bytes));
        return true;
    }
    default:
        value = Variant(std::move(data));
        return true;
    }
}

bool FileRegValue::GetTyped(Variant& value, int& kind)
{
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!Read(type, data))
        return false;
    kind = 0;
    switch (type) {
    case REG_NONE:
        value = Variant(std::move(data));
        return true;
    case REG_EXPAND_SZ:
        kind = 1;
        value = Variant(std::move(data));
        return true;
    case REG_MULTI_SZ:
        kind = 2;
        value = Variant(std::move(data));
        return true;
    default:
        return Get(value);
    }
}

bool FileRegValue::Set(const Variant& value)
{
    if (key_.empty())
        return false;
    const std::u16string_view name(name_.getBuffer(), name_.length());
    switch (value.type()) {
    case Variant::TLong:
    case Variant::TULong: {
        uint8_t bytes[4];
        Put32(bytes, value.type() == Variant::TLong ? static_cast<uint32_t>(*value.get<int32_t>()) : *value.get<uint32_t>());
        return key_.set_value(name, bytes, 4, REG_DWORD);
    }
    case Variant::TString: {
        const auto bytes = Utf16Bytes(*value.get<String>());
        return key_.set_value(name, bytes.data(), static_cast<uint32_t>(bytes.size()), REG_SZ);
    }
    case Variant::TLong64:
    case Variant::TULong64: {
        uint8_t bytes[8];
        Put64(bytes, value.type() == Variant::TLong64 ? static_cast<uint64_t>(*value.get<int64_t>()) : *value.get<uint64_t>());
        return key_.set_value(name, bytes, 8, REG_QWORD);
    }
    case Variant::TBinary: {
        const auto& bytes = *value.get<Variant::Binary>();
        return key_.set_value(name, bytes.data(), static_cast<uint32_t>(bytes.size()), REG_BINARY);
    }
    case Variant::TEmpty:
        return true;
    default:
        return false;
    }
}

bool FileRegValue::SetTyped(int kind, const Variant& value)
{
    if (kind == 0)
        return Set(value);
    if ((kind != 1 && kind != 2) || key_.empty() || value.type() != Variant::TBinary)
        return false;
    const auto& bytes = *value.get<Variant::Binary>();
    return key_.set_value(std::u16string_view(name_.getBuffer(), name_.length()), bytes.data(),
                          static_cast<uint32_t>(bytes.size()), kind == 1 ? REG_EXPAND_SZ : REG_MULTI_SZ);
}

// ---- keys ------------------------------------------------------------------------

class FileRegKey::Iterator final : public RegKey::Iterator {
public:
    explicit Iterator(Common::file_reg key) : key_(std::move(key)), count_(key_.value_count()) {}
    void Next() override { ++index_; }
    bool AtEnd() const override { return index_ >= count_; }
    std::shared_ptr<TypedRegValue> Current() override
    {
        return std::make_shared<FileRegValue>(key_, key_.value_name(index_));
    }

private:
    Common::file_reg key_;
    uint32_t index_ = 0;
    uint32_t count_;
};

class FileRegKey::SubkeyIterator final : public RegKey::SubkeyIterator {
public:
    explicit SubkeyIterator(Common::file_reg key) : key_(std::move(key)), count_(key_.subkey_count()) {}
    void Next() override { ++index_; }
    bool AtEnd() const override { return index_ >= count_; }
    std::shared_ptr<RegKey> Current() override
    {
        return std::make_shared<FileRegKey>(key_.create_key(key_.subkey_name(index_)));
    }

private:
    Common::file_reg key_;
    uint32_t index_ = 0;
    uint32_t count_;
};

std::unique_ptr<RegKey::Iterator> FileRegKey::Values() { return std::make_unique<Iterator>(key_); }

std::unique_ptr<RegKey::SubkeyIterator> FileRegKey::Subkeys() { return std::make_unique<SubkeyIterator>(key_); }

String FileRegKey::Name() { return key_.key_name(); }

std::shared_ptr<RegValue> FileRegKey::Value(const String& name) { return std::make_shared<FileRegValue>(key_, name); }

std::shared_ptr<TypedRegValue> FileRegKey::TypedValue(const String& name)
{
    return std::make_shared<FileRegValue>(key_, name);
}

bool FileRegKey::DeleteValue(const String& name) { return key_.delete_value(name); }

std::shared_ptr<RegKey> FileRegKey::OpenSubkey(const String& path)
{
    Common::file_reg key;
    try {
        key = key_.create_key(path);
    } catch (const Common::Error&) {
        return nullptr;  // a subkey list that cannot be searched: no key
    }
    return key.empty() ? nullptr : std::make_shared<FileRegKey>(key);
}

std::shared_ptr<RegKey> FileRegKey::CreateSubkey(const String& path) { return OpenSubkey(path); }

bool FileRegKey::DeleteSubkey(const String& name) { return key_.delete_subkey(name); }

}  // namespace Processor

namespace Transvia {

using Processor::String;
using Processor::Variant;

std::unique_ptr<RegistryKey> MakeRegistryKey(Common::file_reg root)
{
    return std::make_unique<RegistryKeyLinuxImpl>(std::make_shared<Processor::FileRegKey>(std::move(root)));
}

std::unique_ptr<RegistryKey> RegistryKeyLinuxImpl::OpenKey(const String& path)
{
    if (!key_ || path.isEmpty())
        return nullptr;
    std::shared_ptr<Processor::RegKey> key = key_;
    int32_t start = 0;
    while (start <= path.length()) {
        int32_t end = path.indexOf(u'\\', start);
        if (end < 0)
            end = path.length();
        if (end > start) {
            key = key->CreateSubkey(String(path, start, end - start));
            if (!key)
                return nullptr;
        }
        start = end + 1;
    }
    return std::make_unique<RegistryKeyLinuxImpl>(key);
}

std::unique_ptr<RegistryKey> RegistryKeyLinuxImpl::CreateKey(const String& path)
{
    if (!key_)
        return nullptr;
    auto key = key_->OpenSubkey(path);
    return key ? std::make_unique<RegistryKeyLinuxImpl>(key) : nullptr;
}

namespace {

// Deletes every key below `key`, each after its own subkeys. Windows nests keys at
// most 512 deep; a deeper walk is a list that loops in a damaged hive.
bool DeleteBelow(Processor::RegKey& key, int depth = 0)
{
    if (depth > 512)
        return false;
    std::vector<std::pair<String, std::shared_ptr<Processor::RegKey>>> children;
    for (auto it = key.Subkeys(); !it->AtEnd(); it->Next()) {
        auto child = it->Current();
        if (!child)
            return false;
        children.emplace_back(child->Name(), child);
    }
    for (auto& [name, child] : children)
        if (!DeleteBelow(*child, depth + 1) || !key.DeleteSubkey(name))
            return false;
    return true;
}

}  // namespace

bool RegistryKeyLinuxImpl::DeleteKey(const String& name)
{
    if (!key_ || name.isEmpty())
        return false;
    bool present = false;
    EnumSubkeys([&](const String& subkey) { present = present || Processor::EqualNoCase(subkey, name); });
    if (!present)
        return true;  // nothing to delete
    auto key = key_->OpenSubkey(name);
    return key && DeleteBelow(*key) && key_->DeleteSubkey(name);
}

bool RegistryKeyLinuxImpl::DeleteValue(const String& name)
{
    if (key_)
        key_->DeleteValue(name);
    return true;
}

bool RegistryKeyLinuxImpl::EnumSubkeys(const std::function<void(const String&)>& visitor)
{
    if (!visitor)
        return false;
    if (!key_)
        return true;
    auto file = std::dynamic_pointer_cast<Processor::FileRegKey>(key_);
    if (file) {
        // Names straight from the list, without opening each key.
        Common::file_reg handle = file->handle();
        const uint32_t count = handle.subkey_count();
        for (uint32_t i = 0; i < count; ++i)
            visitor(handle.subkey_name(i));
        return true;
    }
    for (auto it = key_->Subkeys(); !it->AtEnd(); it->Next())
        if (auto child = it->Current())
            visitor(child->Name());
    return true;
}

bool RegistryKeyLinuxImpl::SetDword(const String& name, uint32_t value)
{
    return key_ && key_->Value(name)->Set(Variant(value));
}

bool RegistryKeyLinuxImpl::SetString(const String& name, const String& text, bool expand)
{
    if (!key_)
        return false;
    if (!expand)
        return key_->Value(name)->Set(Variant(text));
    Variant::Binary bytes(2 * static_cast<size_t>(text.length()) + 2, 0);
    for (int32_t i = 0; i < text.length(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(text.charAt(i));
        bytes[2 * i + 1] = static_cast<uint8_t>(text.charAt(i) >> 8);
    }
    return key_->TypedValue(name)->SetTyped(1, Variant(std::move(bytes)));
}

bool RegistryKeyLinuxImpl::SetMultiString(const String& name, const char16_t* list)
{
    std::u16string data;
    if (list && list[0] != u'\0') {
        // Through the NUL that ends the empty string closing the list.
        size_t units = 0;
        while (!(list[units] == u'\0' && list[units + 1] == u'\0'))
            ++units;
        data.assign(list, units + 2);
    } else {
        data.assign(2, u'\0');
    }
    return SetMultiStringData(name, data);
}

bool RegistryKeyLinuxImpl::SetMultiStringData(const String& name, const std::u16string& data)
{
    if (!key_)
        return false;
    Variant::Binary bytes(2 * data.size(), 0);
    for (size_t i = 0; i < data.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(data[i]);
        bytes[2 * i + 1] = static_cast<uint8_t>(data[i] >> 8);
    }
    return key_->TypedValue(name)->SetTyped(2, Variant(std::move(bytes)));
}

bool RegistryKeyLinuxImpl::SetBinary(const String& name, const void* data, uint32_t size)
{
    if (!key_ || (size && !data))
        return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    return key_->Value(name)->Set(Variant(Variant::Binary(bytes, bytes + size)));
}

bool RegistryKeyLinuxImpl::QueryValue(const String& name, uint32_t& type, void* buffer, uint32_t& size)
{
    if (!key_)
        return false;
    std::shared_ptr<Processor::TypedRegValue> found;
    for (auto it = key_->Values(); !it->AtEnd(); it->Next()) {
        auto value = it->Current();
        if (Processor::EqualNoCase(value->Name(), name)) {
            found = value;
            break;
        }
    }
    if (!found)
        return false;
    Variant value;
    int kind = 0;
    if (!found->GetTyped(value, kind))
        return false;
    std::vector<uint8_t> bytes;
    switch (value.type()) {
    case Variant::TLong:
    case Variant::TULong: {
        type = TypeDword;
        bytes.resize(4);
        std::memcpy(bytes.data(), value.type() == Variant::TLong ? static_cast<const void*>(value.get<int32_t>())
                                                                 : static_cast<const void*>(value.get<uint32_t>()), 4);
        break;
    }
    case Variant::TString: {
        type = TypeString;
        const Processor::String& text = *value.get<Processor::String>();
        bytes.assign(2 * static_cast<size_t>(text.length()) + 2, 0);
        if (text.length() > 0)
            std::memcpy(bytes.data(), text.getBuffer(), 2 * static_cast<size_t>(text.length()));
        break;
    }
    case Variant::TLong64:
    case Variant::TULong64:
        type = TypeBinary;
        bytes.resize(8);
        std::memcpy(bytes.data(), value.type() == Variant::TLong64 ? static_cast<const void*>(value.get<int64_t>())
                                                                   : static_cast<const void*>(value.get<uint64_t>()), 8);
        break;
    case Variant::TBinary:
        type = kind == 1 ? TypeExpandString : kind == 2 ? TypeMultiString : TypeBinary;
        bytes = *value.get<Variant::Binary>();
        break;
    default:
        return false;
    }
    const uint32_t needed = static_cast<uint32_t>(bytes.size());
    if (size >= needed && buffer && needed)
        std::memcpy(buffer, bytes.data(), needed);
    size = needed;
    return true;
}

}  // namespace Transvia
