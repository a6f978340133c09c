#include "install/driver_staging.h"

#include <unicode/uchar.h>

#include <cerrno>

#include "registry/registry_path.h"
#include "support/copy.h"
#include "support/errors.h"
#include "support/message_format.h"
#include "support/message_table.h"
#include "support/text.h"
#include "transvia/codes.h"

namespace Transvia {

namespace {

using Processor::String;

const char16_t kTempFolder[] = u"Temp";
const char16_t kCurrentVersion[] = u"Microsoft\\Windows\\CurrentVersion";
const char16_t kDevicePath[] = u"DevicePath";
const char16_t kNamelessPackage[] = u"Driver";
// A manufacturer name may be of any length, a file name may not (255 bytes of UTF-8
// here); a staging folder name keeps at most this many characters.
constexpr int32_t kMaxStagingName = 64;

void AppendLettersAndDigits(const String& text, String& name)
{
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        const UChar32 c = text.char32At(i);
        if (u_isalnum(c)) name.append(c);
    }
}

// The folders of `path` below `folder` (all but its last component), created as needed.
std::shared_ptr<Common::rio_dir> MakeParents(const std::shared_ptr<Common::rio_dir>& folder, const String& path,
                                             String& leaf, Common::Error& error)
{
    std::shared_ptr<Common::rio_dir> current = folder;
    int32_t start = 0;
    for (int32_t i = 0; i < path.length(); ++i) {
        if (path[i] != u'\\' && path[i] != u'/') continue;
        const String part = path.tempSubString(start, i - start);
        start = i + 1;
        if (part.isEmpty()) continue;
        std::shared_ptr<Common::rio_dir> next = current->create_dir(part) ? current->open_dir_rw(part) : nullptr;
        if (!next) {
            error = current->last_error();
            return nullptr;
        }
        current = std::move(next);
    }
    leaf = path.tempSubString(start);
    return current;
}

Common::Error Refused(uint32_t message, std::initializer_list<Processor::Variant> arguments)
{
    return Common::MakeError(Common::Codes::kNoDriverFound, TV_HERE, Common::MessageTable::Text(message, arguments));
}

}  // namespace

String StagingFolderBase(const String& manufacturer, const std::string& lastIdentifier)
{
    String name;
    AppendLettersAndDigits(manufacturer, name);
    String identifier;
    for (unsigned char byte : lastIdentifier) identifier.append(static_cast<char16_t>(byte));
    AppendLettersAndDigits(identifier, name);
    if (name.countChar32() > kMaxStagingName) name.truncate(name.moveIndex32(0, kMaxStagingName));
    return name.isEmpty() ? String(kNamelessPackage) : name;
}

String UniqueStagingName(const Common::i_dir& temp, const String& base)
{
    if (!temp.exists(base)) return base;
    for (uint32_t number = 2;; ++number) {
        String name = Processor::Format(u"{0}~{1}", {base, number});
        if (!temp.exists(name)) return name;
    }
}

std::shared_ptr<Common::rio_dir> OpenTargetTemp(Common::rio_dir& windows, Common::Error& error)
{
    std::shared_ptr<Common::rio_dir> temp;
    // create_dir accepts an existing folder and refuses a link in its place.
    if (windows.create_dir(kTempFolder)) temp = windows.open_dir_rw(kTempFolder);
    if (!temp) error = windows.last_error();
    return temp;
}

Common::Error StageDriverFiles(const Driver::Sources& sources, Common::rio_dir& temp, const String& name)
{
    const Common::i_dir& package = *sources.Locations().front();
    const int relation = package.compare(temp);
    if (relation == 0 || relation == 1)
        return Common::MakeError(Common::Codes::kCopyNameRefused, TV_HERE, temp.full_path());
    Common::Error error = Common::CopyFolder(package, u".", temp, name);
    if (error.empty()) {
        std::shared_ptr<Common::rio_dir> staged = temp.open_dir_rw(name);
        if (!staged) error = temp.last_error();
        for (const Driver::Sources::Found& file : sources.FromMedia()) {
            if (!error.empty()) break;
            String leaf;
            std::shared_ptr<Common::rio_dir> folder = MakeParents(staged, file.path, leaf, error);
            if (folder) error = Common::CopyFile(*sources.Locations()[file.location], file.path, *folder, leaf);
        }
    }
    if (!error.empty() && temp.exists(name)) Common::RemoveTree(temp, name);
    return error;
}

Common::Error ExtendDevicePath(WindowsRegistry& registry, const String& folderName)
{
    RegistryKey* software = registry.Software();
    if (software == nullptr) return Refused(Common::Messages::kRegistryRootMissing, {u"Software"});
    // Looked up without creating anything: a target without the key gets no DevicePath.
    std::unique_ptr<RegistryKey> key = OpenExistingKey(*software, kCurrentVersion);
    if (!key) return Refused(Common::Messages::kRegistryRootMissing, {kCurrentVersion});
    uint32_t type = 0, size = 0;
    if (!key->QueryValue(kDevicePath, type, nullptr, size) || size <= 1) return {};
    if (type != RegistryKey::TypeString && type != RegistryKey::TypeExpandString)
        return Refused(Common::Messages::kValueTypeUnexpected, {kDevicePath, kCurrentVersion});
    String text;
    ReadStringValue(*key, kDevicePath, text);
    if (!text.isEmpty()) text += u';';
    text += u"%SystemRoot%\\";
    text += kTempFolder;
    text += u'\\';
    text += folderName;
    if (!key->SetString(kDevicePath, text, true)) {
        String what(kCurrentVersion);
        what += u'\\';
        what += kDevicePath;
        return Common::MakeError(Common::Codes::kRegistryOperationFailed, TV_HERE, what);
    }
    return {};
}

}  // namespace Transvia
