#include "hardware/registry_operation.h"

#include <cerrno>
#include <cstdlib>

#include "support/errors.h"
#include "support/message_format.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"
#include "transvia/codes.h"

namespace Transvia {

using Processor::String;

namespace {

String Join(const std::vector<String>& parts, size_t from, size_t to)
{
    String out;
    for (size_t i = from; i < to; ++i) {
        if (i > from)
            out.append(u'\\');
        out.append(parts[i]);
    }
    return out;
}

[[noreturn]] void NoRoot(const String& what)
{
    Common::Raise(Common::Codes::kRegistryOperationFailed, TV_HERE, what);
}

// The existing key that holds an existing value, with the value's type; null otherwise.
std::unique_ptr<RegistryKey> KeyOfValue(WindowsRegistry& registry, const String& root, const String& path,
                                        const String& name, uint32_t& type)
{
    auto key = MakeRegistryKeyAccessor(root, registry)->OpenExisting(path);
    uint32_t size = 0;
    if (!key || !key->QueryValue(name, type, nullptr, size))
        return nullptr;
    return key;
}

}  // namespace

std::unique_ptr<RegistryKey> RegistryKeyAccessorBase::OpenExisting(const String& path)
{
    RegistryKey* root = Root(path);
    return OpenExistingKey(*root, RelativePath(path));
}

std::unique_ptr<RegistryKey> RegistryKeyAccessorBase::Open(const String& path)
{
    RegistryKey* root = Root(path);
    const String relative = RelativePath(path);
    return relative.isEmpty() ? OpenExistingKey(*root, relative) : root->OpenKey(relative);
}

bool RegistryKeyAccessorBase::Delete(const String& path)
{
    RegistryKey* root = Root(path);
    return DeleteKeyPath(*root, RelativePath(path));
}

RegistryKey* HKLMRegistryKeyAccessor::Root(const String& path)
{
    const std::vector<String> parts = SplitKeyPath(path);
    const String first = parts.empty() ? String() : parts[0];
    // The first component names the hive exactly as the database writes it.
    RegistryKey* root = nullptr;
    if (first == String(u"System"))
        root = registry_.System();
    else if (first == String(u"Software"))
        root = registry_.Software();
    else
        Common::Raise(Common::Codes::kUnsupportedRoot, TV_HERE, first);
    if (!root)
        NoRoot(first);
    return root;
}

String HKLMRegistryKeyAccessor::RelativePath(const String& path)
{
    const std::vector<String> parts = SplitKeyPath(path);
    return parts.size() < 2 ? String() : Join(parts, 1, parts.size());
}

RegistryKey* HKCRRegistryKeyAccessor::Root(const String&)
{
    if (ownedRoot_)
        return ownedRoot_.get();
    RegistryKey* software = registry_.Software();
    if (!software)
        NoRoot(u"Software");
    ownedRoot_ = software->OpenKey(u"Classes");
    if (!ownedRoot_)
        NoRoot(u"Software\\Classes");
    return ownedRoot_.get();
}

RegistryKey* HKCCSRegistryKeyAccessor::Root(const String&)
{
    RegistryKey* root = registry_.CurrentControlSet();
    if (!root)
        NoRoot(u"CurrentControlSet");
    return root;
}

std::unique_ptr<RegistryKeyAccessor> MakeRegistryKeyAccessor(const String& root, WindowsRegistry& registry)
{
    if (root == String(u"HKLM"))
        return std::make_unique<HKLMRegistryKeyAccessor>(registry);
    if (root == String(u"HKCR"))
        return std::make_unique<HKCRRegistryKeyAccessor>(registry);
    if (root == String(u"CurrentControlSet"))
        return std::make_unique<HKCCSRegistryKeyAccessor>(registry);
    Common::Raise(Common::Codes::kUnsupportedRoot, TV_HERE, root);
}

void DeleteKey::Apply(WindowsRegistry& registry)
{
    auto accessor = MakeRegistryKeyAccessor(root_, registry);
    if (!accessor->OpenExisting(path_))
        return;  // nothing to delete
    if (accessor->RelativePath(path_).isEmpty())
        Common::Trace(3, Common::MessageTable::Get(Common::Messages::kRegOpRootKeyRefused), {root_, path_});
    else if (accessor->Delete(path_))
        Common::Trace(2, Common::MessageTable::Get(Common::Messages::kRegOpKeyDeleted), {root_, path_});
    else
        Common::Trace(3, Common::MessageTable::Get(Common::Messages::kRegOpKeyNotDeleted), {root_, path_});
}

void DeleteValue::Apply(WindowsRegistry& registry)
{
    uint32_t type = 0;
    auto key = KeyOfValue(registry, root_, path_, name_, type);
    if (!key)
        return;  // nothing to delete; say nothing
    if (key->DeleteValue(name_))
        Common::Trace(2, Common::MessageTable::Get(Common::Messages::kRegOpValueDeleted), {name_, root_, path_});
    else
        Common::Trace(3, Common::MessageTable::Get(Common::Messages::kRegOpValueNotDeleted), {name_, root_, path_});
}

namespace {

// What the platform's unsigned conversion makes of the text, as the database documents
// it (leading digits count, anything else gives 0), except that a number a DWORD cannot
// hold is refused rather than cut to its low 32 bits: "4294967296" is not 0.
bool DwordOf(const String& text, uint32_t& value)
{
    const std::string digits = Processor::ToUtf8(text);
    const size_t first = digits.find_first_not_of(" \t");
    if (first != std::string::npos && digits[first] == '-')
        return false;
    errno = 0;
    const unsigned long long parsed = std::strtoull(digits.c_str(), nullptr, 10);
    if (errno == ERANGE || parsed > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

// Keeps the value's present data below the assistant's service key unless an earlier
// run kept it already: that one is the data the old system had.
void KeepOriginal(WindowsRegistry& registry, RegistryKey& key, const String& name, uint32_t type, const String& where)
{
    RegistryKey* services = registry.Services();
    auto store = services ? services->OpenKey(String(kAssistantService) + u"\\" + kOriginalValuesKey) : nullptr;
    uint32_t storedType = 0;
    uint32_t size = 0;
    if (store && store->QueryValue(where, storedType, nullptr, size))
        return;
    bool kept = false;
    if (store && type == RegistryKey::TypeDword) {
        uint32_t data = 0;
        size = sizeof data;
        kept = key.QueryValue(name, type, &data, size) && store->SetDword(where, data);
    } else if (store) {
        String text;
        kept = ReadStringValue(key, name, text) && store->SetString(where, text, false);
    }
    if (!kept)
        Common::Trace(3, Common::MessageTable::Get(Common::Messages::kRegOpOriginalNotKept), {where});
}

}  // namespace

void ModifyValue::Apply(WindowsRegistry& registry)
{
    uint32_t type = 0;
    auto key = KeyOfValue(registry, root_, path_, name_, type);
    if (!key)
        return;  // only existing values are changed
    uint32_t number = 0;
    if (type == RegistryKey::TypeDword && !DwordOf(data_, number))
        Common::Raise(Common::Codes::kInvalidArgument, TV_HERE,
                      Common::MessageTable::Text(Common::Messages::kRegOpDwordInvalid, {name_, root_, path_, data_}));
    if (type != RegistryKey::TypeString && type != RegistryKey::TypeDword)
        Common::Raise(Common::Codes::kUnsupportedRoot, TV_HERE,
                      Common::MessageTable::Text(Common::Messages::kRegOpTypeUnsupported, {name_, type, root_, path_}));
    KeepOriginal(registry, *key, name_, type, root_ + u"\\" + path_ + u"\\" + name_);
    const bool written = type == RegistryKey::TypeString ? key->SetString(name_, data_, false) : key->SetDword(name_, number);
    if (written)
        Common::Trace(2, Common::MessageTable::Get(Common::Messages::kRegOpValueSet), {name_, root_, path_, data_});
    else
        Common::Trace(3, Common::MessageTable::Get(Common::Messages::kRegOpValueNotSet), {name_, root_, path_});
}

std::unique_ptr<RegistryOperation> MakeRegistryOperation(const RegistryOperationRecord& record)
{
    const String& operation = record[0];
    if (operation == String(u"DeleteKey"))
        return std::make_unique<DeleteKey>(record[1], record[2]);
    if (operation == String(u"DeleteValue"))
        return std::make_unique<DeleteValue>(record[1], record[2], record[3]);
    if (operation == String(u"ModifyValue"))
        return std::make_unique<ModifyValue>(record[1], record[2], record[3], record[4]);
    Common::Raise(Common::Codes::kUnknownRegistryOperation, TV_HERE, operation);
}

}  // namespace Transvia
