#include "install/add_reg.h"

#include <vector>

#include "inf/inf.h"
#include "inf/win_sources.h"
#include "install/string_list.h"
#include "registry/windows_registry.h"
#include "support/errors.h"
#include "support/message_format.h"
#include "support/parse_number.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/trace_levels.h"
#include "support/message_table.h"
#include "transvia/codes.h"

namespace Transvia {

// Texts from the message table, by number.
using Common::MessageTable::Get;
namespace Messages = Common::Messages;

using Processor::String;
namespace Codes = Common::Codes;

namespace {

using namespace Common::TraceLevel;

// Prefixes of an HKLM subkey, matched ignoring case.
constexpr char16_t kControlSetPrefix[] = u"System\\CurrentControlSet";
constexpr char16_t kSystemPrefix[] = u"System\\";
constexpr char16_t kSoftwarePrefix[] = u"Software\\";

bool StartsWithNoCase(const String& text, std::u16string_view prefix)
{
    const auto length = static_cast<int32_t>(prefix.size());
    return text.length() >= length &&
           Processor::EqualNoCase(std::u16string_view(text.getBuffer(), prefix.size()), prefix);
}

// A key path from a driver package names keys below the one it is opened from; "." and
// ".." are no traversal in a hive, but a key literally named so is never what an INF means
// and would confuse every tool that later shows the path.
bool PlainKeyPath(const String& path)
{
    int32_t start = 0;
    while (start <= path.length()) {
        int32_t end = path.indexOf(u'\\', start);
        if (end < 0)
            end = path.length();
        const String part(path, start, end - start);
        if (part == String(u".") || part == String(u".."))
            return false;
        start = end + 1;
    }
    return true;
}

// `path` below `base`, created where missing; `base` itself (not owned) for an empty path.
RegistryKey* Below(RegistryKey* base, const String& path, std::unique_ptr<RegistryKey>& holder)
{
    if (!base)
        return nullptr;
    if (path.isEmpty())
        return base;
    if (!PlainKeyPath(path))
        return nullptr;
    holder = base->CreateKey(path);
    return holder.get();
}

class LineWriter {
public:
    LineWriter(Inf& inf, const String& section, const RegistryContext* context, WindowsRegistry& registry)
        : inf_(inf), section_(section), context_(context), registry_(registry), directories_(registry)
    {
    }

    Common::Error Write(const SectionEntry& line);

private:
    Common::Error Fail(uint32_t code, uint64_t site, const char16_t* pattern,
                       std::initializer_list<Processor::Variant> more = {}) const
    {
        std::vector<Processor::Variant> arguments{Processor::Variant(section_)};
        arguments.insert(arguments.end(), more.begin(), more.end());
        const String text = Processor::Formatter().format(String(pattern), arguments.data(), arguments.size());
        return Common::MakeError(code, site, text);
    }

    // Field `index` with its %strings% replaced (and, with `resolver`, the directory ids).
    String Field(const SectionEntry& line, uint32_t index, ExternalVariables* resolver = nullptr)
    {
        if (index >= line.GetFieldCount())
            return String();
        const char16_t* raw = line.GetField(static_cast<int32_t>(index));
        const char16_t* expanded = raw ? inf_.ExpandString(raw, resolver) : nullptr;
        return expanded ? String(expanded) : String();
    }

    Common::Error OpenKey(const SectionEntry& line, const String& subkey, std::unique_ptr<RegistryKey>& holder,
                          RegistryKey*& key);
    Common::Error OpenContextKey(std::unique_ptr<RegistryKey>& holder, RegistryKey*& key);
    Common::Error WriteMultiString(const SectionEntry& line, RegistryKey& key, const String& name, uint32_t flags,
                                   bool exists);
    Common::Error WriteBinary(const SectionEntry& line, RegistryKey& key, const String& name);

    Inf& inf_;
    const String& section_;
    const RegistryContext* context_;
    WindowsRegistry& registry_;
    MapWindowsDirectoy directories_;  // registry-data form: full paths of the target
};

Common::Error LineWriter::OpenContextKey(std::unique_ptr<RegistryKey>& holder, RegistryKey*& key)
{
    RegistryKey* base = nullptr;
    String name = context_->name;
    std::unique_ptr<RegistryKey> classKey;
    switch (context_->kind) {
    case RegistryContext::ClassKey: base = registry_.Class(); break;
    case RegistryContext::ServiceKey:
    case RegistryContext::EventLogKey: base = registry_.Services(); break;
    case RegistryContext::DeviceKey: base = registry_.Enum(); break;
    default: {
        const char16_t* guid = inf_.GetClassGuid();
        if (guid && *guid != u'\0')
            base = Below(registry_.Class(), String(guid), classKey);
        break;
    }
    }
    key = base && !name.isEmpty() ? Below(base, name, holder) : nullptr;
    if (!key)
        return Fail(Codes::kRegistryOperationFailed, TV_HERE, u"AddReg('{0}'): Context subkey not created");
    return Common::Error();
}

Common::Error LineWriter::OpenKey(const SectionEntry& line, const String& subkey, std::unique_ptr<RegistryKey>& holder,
                                  RegistryKey*& key)
{
    const String root(line.GetField(0));
    if (Processor::EqualNoCase(root, String(u"HKR"))) {
        if (!context_)
            return Fail(Codes::kInvalidArgument, TV_HERE, u"AddReg('{0}'): Invalid argument, no context specified.");
        std::unique_ptr<RegistryKey> contextHolder;
        RegistryKey* contextKey = nullptr;
        if (Common::Error error = OpenContextKey(contextHolder, contextKey); error.failed())
            return error;
        if (subkey.isEmpty()) {
            holder = std::move(contextHolder);
            key = contextKey;
            return Common::Error();
        }
        key = Below(contextKey, subkey, holder);
        if (!key)
            return Fail(Codes::kRegistryOperationFailed, TV_HERE, u"AddReg('{0}'): Subkey '{1}' not created", {subkey});
        return Common::Error();
    }
    if (Processor::EqualNoCase(root, String(u"HKLM"))) {
        constexpr auto kControlSetLength = static_cast<int32_t>(std::size(kControlSetPrefix) - 1);
        if (subkey.isEmpty()) {
            key = registry_.System();
        } else if (StartsWithNoCase(subkey, kControlSetPrefix) &&
                   (subkey.length() == kControlSetLength || subkey.charAt(kControlSetLength) == u'\\')) {
            // Exactly "System\CurrentControlSet" is the control set key itself.
            key = Below(registry_.CurrentControlSet(), String(subkey, kControlSetLength + 1), holder);
        } else if (StartsWithNoCase(subkey, kSystemPrefix)) {
            key = Below(registry_.System(), String(subkey, int32_t(std::size(kSystemPrefix) - 1)), holder);
        } else if (StartsWithNoCase(subkey, kSoftwarePrefix)) {
            key = Below(registry_.Software(), String(subkey, int32_t(std::size(kSoftwarePrefix) - 1)), holder);
        } else {
            return Fail(Codes::kUnsupportedRoot, TV_HERE, u"AddReg('{0}'): Unsuported subkey of HKLM");
        }
    } else if (Processor::EqualNoCase(root, String(u"HKCR"))) {
        RegistryKey* software = registry_.Software();
        std::unique_ptr<RegistryKey> classes = software ? software->OpenKey(u"Classes") : nullptr;
        if (!classes)
            return Fail(Codes::kRegistryOperationFailed, TV_HERE, Get(Messages::kAddRegKeyNotOpened),
                        {String(u"Classes"), String(u"Software")});
        key = Below(classes.get(), subkey, holder);
        if (key == classes.get())
            holder = std::move(classes);
    } else {
        return Fail(Codes::kUnsupportedRoot, TV_HERE, u"AddReg('{0}'): Unsuported HKCU");
    }
    if (!key)
        return Fail(Codes::kRegistryOperationFailed, TV_HERE, u"AddReg('{0}'): Key to change was not opened.");
    return Common::Error();
}

bool Exists(RegistryKey& key, const String& name, uint32_t* type = nullptr)
{
    uint32_t found = 0, size = 0;
    const bool exists = key.QueryValue(name, found, nullptr, size);
    if (type)
        *type = found;
    return exists;
}

Common::Error LineWriter::WriteMultiString(const SectionEntry& line, RegistryKey& key, const String& name,
                                           uint32_t flags, bool exists)
{
    StringList list;
    uint32_t type = 0;
    if ((flags & AddRegFlags::kAppend) && exists && Exists(key, name, &type)) {
        if (type != RegistryKey::TypeMultiString) {
            // Appending to another type: the strings given replace the value.
            if (!key.DeleteValue(name))
                return Fail(Codes::kRegistryOperationFailed, TV_HERE,
                            u"AddReg('{0}'): Unable to delete value '{1}', to replace", {name});
        } else {
            uint32_t size = 0;
            std::vector<char16_t> data;
            bool read = key.QueryValue(name, type, nullptr, size);
            if (read) {
                data.resize(size / 2 + 1, u'\0');
                read = key.QueryValue(name, type, data.data(), size);
            }
            if (!read)
                return Fail(Codes::kRegistryOperationFailed, TV_HERE, u"AddReg('{0}'): Failed to get '{1}'.", {name});
            list = StringList::Parse(data.data(), size / 2);
        }
    }
    for (uint32_t i = 4; i < line.GetFieldCount(); ++i)
        list.Append(Field(line, i, &directories_));
    if (!key.SetMultiStringData(name, list.Build()))
        return Fail(Codes::kRegistryOperationFailed, TV_HERE, u"AddReg('{0}'): Unable to change value named '{1}'",
                    {name});
    return Common::Error();
}

Common::Error LineWriter::WriteBinary(const SectionEntry& line, RegistryKey& key, const String& name)
{
    std::vector<uint8_t> bytes;
    for (uint32_t i = 4; i < line.GetFieldCount(); ++i) {
        // Bytes are hexadecimal without any marker, and are never string-substituted.
        const char16_t* raw = line.GetField(static_cast<int32_t>(i));
        String text(raw ? raw : u"");
        text.trim();
        uint64_t value = 0;
        const bool marked = text.indexOf(u'x') >= 0 || text.indexOf(u'X') >= 0 || text.endsWith(u"h") || text.endsWith(u"H");
        if (text.isEmpty() || !Processor::ParseNumber(marked ? text : text + u"h", value))
            return Fail(Codes::kInvalidFormat, TV_HERE, u"AddReg('{0}'): Invalid format '{1}', number expected.",
                        {String(raw ? raw : u"")});
        bytes.push_back(static_cast<uint8_t>(value));
    }
    if (!key.SetBinary(name, bytes.data(), static_cast<uint32_t>(bytes.size())))
        return Fail(Codes::kRegistryOperationFailed, TV_HERE, u"AddReg('{0}'): Unable to change value named '{1}'",
                    {name});
    return Common::Error();
}

Common::Error LineWriter::Write(const SectionEntry& line)
{
    if (line.GetFieldCount() == 0 || !line.GetField(0))
        return Fail(Codes::kInvalidFormat, TV_HERE, Get(Messages::kAddRegLineWithoutFields));
    const String subkey = Field(line, 1);
    std::unique_ptr<RegistryKey> holder;
    RegistryKey* key = nullptr;
    if (Common::Error error = OpenKey(line, subkey, holder, key); error.failed())
        return error;

    uint32_t flags = 0;
    const String flagText = Field(line, 3);
    if (!flagText.isEmpty()) {
        uint64_t number = 0;
        if (Processor::ParseNumber(flagText, number)) {
            flags = static_cast<uint32_t>(number);
        } else {
            Common::Trace(kWarning, Common::kTraceFacility, Codes::kInvalidFormat,
                          u"AddReg('{0}'): Flag field '{1}' convert failed", {section_, flagText});
        }
    }
    if (flags & AddRegFlags::kKeyOnly)
        return Common::Error();

    const String name = Field(line, 2);
    if (flags & AddRegFlags::kDelete) {
        // A value that is not there is already deleted.
        if (name.isEmpty()) {
            if (Exists(*key, name) && !key->DeleteValue(name))
                return Fail(Codes::kRegistryOperationFailed, TV_HERE,
                            u"AddReg('{0}'): Unable to clean default value of the key");
        } else if (Exists(*key, name) && !key->DeleteValue(name)) {
            return Fail(Codes::kRegistryOperationFailed, TV_HERE, u"AddReg('{0}'): Unable to delete value '{1}'.",
                        {name});
        }
        return Common::Error();
    }
    if (name.isEmpty() && flags != 0)
        return Fail(Codes::kInvalidFormat, TV_HERE, u"AddReg('{0}'): Invalid flags if value name empty.");

    const bool exists = Exists(*key, name);
    if ((flags & AddRegFlags::kNoClobber) && exists)
        return Common::Error();
    if ((flags & AddRegFlags::kOverwriteOnly) && !exists)
        return Common::Error();

    if ((flags & AddRegFlags::kDword) == AddRegFlags::kDword) {
        const String data = Field(line, 4);
        uint64_t number = 0;
        if (!Processor::ParseNumber(data, number))
            return Fail(Codes::kInvalidFormat, TV_HERE, u"AddReg('{0}'): Invalid format in '{1}', for {2}.",
                        {name, data});
        if (!key->SetDword(name, static_cast<uint32_t>(number)))
            return Fail(Codes::kRegistryOperationFailed, TV_HERE,
                        u"AddReg('{0}'): Unable to change value named '{1}'", {name});
        return Common::Error();
    }
    if (flags & AddRegFlags::kMultiString)
        return WriteMultiString(line, *key, name, flags, exists);
    if (flags & AddRegFlags::kBinary)
        return WriteBinary(line, *key, name);
    const bool expand = (flags & AddRegFlags::kExpandString) != 0;
    if (!key->SetString(name, Field(line, 4, &directories_), expand))
        return Fail(Codes::kRegistryOperationFailed, TV_HERE, u"AddReg('{0}'): Unable to change value named '{1}'",
                    {name});
    return Common::Error();
}

}  // namespace

Common::Error AddReg(Inf& inf, const String& section, const RegistryContext* context, WindowsRegistry& registry)
{
    Common::Trace(kDetail, u"AddReg('{0}')", {section});
    String lookup(section);
    Section* found = inf.FindSection(lookup.getTerminatedBuffer());
    if (!found) {
        return Common::MakeError(Codes::kSectionNotFound, TV_HERE,
                                 Common::MessageTable::Text(Messages::kAddRegSectionMissing, {section}));
    }
    LineWriter writer(inf, section, context, registry);
    const uint32_t count = found->GetEntryCount();
    for (uint32_t i = 0; i < count; ++i) {
        SectionEntry* line = found->GetEntry(static_cast<int32_t>(i));
        Common::Error error = line ? writer.Write(*line)
                                   : Common::MakeError(Codes::kInvalidFormat, TV_HERE,
                                                       Common::MessageTable::Text(Messages::kAddRegLineWithoutFields,
                                                                                  {section}));
        if (error.failed())
            return error;
    }
    return Common::Error();
}

}  // namespace Transvia
