#include "hardware/registry_operation.h"

#include <cstdlib>

#include "support/errors.h"
#include "support/message_format.h"
#include "support/text.h"
#include "support/trace.h"
#include "transvia/codes.h"

namespace Transvia {

using Processor::String;

namespace {

std::vector<String> Components(const String& path)
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

std::unique_ptr<RegistryKey> WalkExisting(RegistryKey& key, const std::vector<String>& parts, size_t count)
{
    std::unique_ptr<RegistryKey> current;
    RegistryKey* at = &key;
    for (size_t i = 0; i < count; ++i) {
        RegistryKeyAccessorBase::SubKeyFinder finder(parts[i]);
        at->EnumSubkeys([&finder](const String& name) { finder(name); });
        if (!finder.found())
            return nullptr;
        current = at->OpenKey(parts[i]);
        if (!current)
            return nullptr;
        at = current.get();
    }
    return current;
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

void RegistryKeyAccessorBase::SubKeyFinder::operator()(const String& name)
{
    if (!found_ && Processor::EqualNoCase(name, name_))
        found_ = true;
}

std::unique_ptr<RegistryKey> OpenExistingKey(RegistryKey& key, const String& path)
{
    const std::vector<String> parts = Components(path);
    if (parts.empty())
        return nullptr;
    return WalkExisting(key, parts, parts.size());
}

bool DeleteKeyPath(RegistryKey& key, const String& path)
{
    const std::vector<String> parts = Components(path);
    if (parts.empty())
        return false;
    if (parts.size() == 1)
        return key.DeleteKey(parts[0]);
    auto parent = WalkExisting(key, parts, parts.size() - 1);
    return !parent || parent->DeleteKey(parts.back());
}

std::unique_ptr<RegistryKey> RegistryKeyAccessorBase::OpenExisting(const String& path)
{
    RegistryKey* root = Root(path);
    return OpenExistingKey(*root, RelativePath(path));
}

std::unique_ptr<RegistryKey> RegistryKeyAccessorBase::Open(const String& path)
{
    RegistryKey* root = Root(path);
    return root->OpenKey(RelativePath(path));
}

bool RegistryKeyAccessorBase::Delete(const String& path)
{
    RegistryKey* root = Root(path);
    return DeleteKeyPath(*root, RelativePath(path));
}

RegistryKey* HKLMRegistryKeyAccessor::Root(const String& path)
{
    const std::vector<String> parts = Components(path);
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
    const std::vector<String> parts = Components(path);
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
    if (accessor->Delete(path_))
        Common::Trace(2, u"RegistryOperation: Deleted key '{0}\\{1}'.", {root_, path_});
}

void DeleteValue::Apply(WindowsRegistry& registry)
{
    uint32_t type = 0;
    auto key = KeyOfValue(registry, root_, path_, name_, type);
    if (!key)
        return;  // nothing to delete; say nothing
    key->DeleteValue(name_);
    Common::Trace(2, u"RegistryOperation: Deleted value '{0}' of '{1}\\{2}'.", {name_, root_, path_});
}

void ModifyValue::Apply(WindowsRegistry& registry)
{
    uint32_t type = 0;
    auto key = KeyOfValue(registry, root_, path_, name_, type);
    if (!key)
        return;  // only existing values are changed
    bool written = false;
    if (type == RegistryKey::TypeString) {
        written = key->SetString(name_, data_, false);
    } else if (type == RegistryKey::TypeDword) {
        // What the platform's unsigned conversion makes of the text, as documented for
        // the database: leading digits count, anything else gives 0.
        const std::string digits = Processor::ToUtf8(data_);
        written = key->SetDword(name_, static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 10)));
    } else {
        Common::Raise(Common::Codes::kUnsupportedRoot, TV_HERE,
                      Processor::Format(u"{0} (type {1}) of {2}\\{3}", {name_, type, root_, path_}));
    }
    if (written)
        Common::Trace(2, u"RegistryOperation: Set value '{0}' of '{1}\\{2}' to '{3}'.", {name_, root_, path_, data_});
    else
        Common::Trace(3, u"RegistryOperation: Failed to set value '{0}' of '{1}\\{2}'.", {name_, root_, path_});
}

std::unique_ptr<RegistryOperation> MakeRegistryOperation(const RegistryOperationFields& record)
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
