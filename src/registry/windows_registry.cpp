#include "registry/windows_registry.h"

#include "registry/hive_commit.h"
#include "registry/hive_format.h"
#include "registry/hive_recovery.h"
#include "registry/registry_path.h"
#include "support/copy.h"
#include "support/errors.h"
#include "support/message_format.h"
#include "support/message_table.h"
#include "support/temp_dir.h"
#include "support/trace.h"
#include "support/text.h"
#include "transvia/codes.h"

namespace Transvia {

namespace {

const char16_t kConfig[] = u"System32\\config";
const char16_t kSystemHive[] = u"system";
const char16_t kSoftwareHive[] = u"software";

Processor::String ControlSetName(uint32_t number)
{
    return Processor::Format(u"ControlSet{0,number,integer,000}", {number});
}

// The drive letter of "ProgramFilesDir" and the last component of the Windows folder's path.
Processor::String MakeSystemRoot(char16_t drive, Processor::String path)
{
    Processor::String tail;
    if (path.isEmpty()) {
        tail = u"%systemroot%";
    } else {
        if (path.endsWith(u"\\") || path.endsWith(u"/"))
            path.truncate(path.length() - 1);
        const int32_t cut = std::max(path.lastIndexOf(u'\\'), path.lastIndexOf(u'/'));
        tail = cut < 0 ? path : Processor::String(path, cut + 1);
    }
    Processor::String root(drive);
    root += u":\\";
    root += tail;
    return root;
}

const char16_t kCurrentVersionKey[] = u"Microsoft\\Windows NT\\CurrentVersion";

// The drive letter that starts a path of the target ("C:\Program Files"); false for a path
// that starts otherwise ("%SystemDrive%\...").
bool DriveLetter(const Processor::String& path, char16_t& drive)
{
    if (path.length() < 2 || path.charAt(1) != u':')
        return false;
    const char16_t letter = path.charAt(0);
    if (!((letter >= u'A' && letter <= u'Z') || (letter >= u'a' && letter <= u'z')))
        return false;
    drive = letter;
    return true;
}

bool DriveOf(RegistryKey* root, const char16_t* path, const char16_t* name, char16_t& drive)
{
    auto key = root ? OpenExistingKey(*root, path) : nullptr;
    Processor::String text;
    return key && ReadStringValue(*key, name, text) && DriveLetter(text, drive);
}

// A hive that could not be opened gives no root key at all: a key over nothing would let
// callers go on and fail later with a misleading "not found".
std::unique_ptr<RegistryKey> HiveRoot(Common::file_reg hive)
{
    return hive.empty() ? nullptr : MakeRegistryKey(std::move(hive));
}

class WindowsRegistryLinuxImpl final : public WindowsRegistry {
public:
    WindowsRegistryLinuxImpl(std::shared_ptr<Common::rio_dir> windows, const Common::HiveLogPolicy& policy)
        : windows_(std::move(windows)), policy_(policy)
    {
    }

    ~WindowsRegistryLinuxImpl() override
    {
        ReleaseSystemKeys();
        software_.reset();
        if (!copyName_.isEmpty() && temp_)
            temp_->delete_file(copyName_);  // the hive in System32\config stays as it was
    }

    RegistryKey* Software() override
    {
        if (software_)
            return software_.get();
        auto config = Config();
        if (!config)
            return nullptr;
        // Edited in place: checked first, as for SYSTEM's copy.
        if (std::vector<uint8_t> image; !ReadSound(*config, kSoftwareHive, image))
            return nullptr;
        Common::Error error;
        software_ = HiveRoot(Common::file_reg::open_hive(config, kSoftwareHive, false, error, policy_));
        if (!software_)
            Common::TraceError(4, error);
        return software_.get();
    }

    RegistryKey* System() override
    {
        if (system_)
            return system_.get();
        auto config = Config();
        if (!config)
            return nullptr;
        std::shared_ptr<Common::rio_dir> from = config;
        Processor::String name(kSystemHive);
        if (useCopy_) {
            // The copy is the hive recovered from its logs, so that the target's SYSTEM and
            // its logs stay as they are until Commit().
            std::vector<uint8_t> image;
            if (!ReadSound(*config, kSystemHive, image))
                return nullptr;
            Common::Error error;
            if (!temp_)
                temp_ = Common::TempDir::Get(error);
            if (temp_) {
                const Processor::String copy = Common::RandomUuidName();
                if (Common::ReplaceFile(*temp_, copy, image.data(), image.size(), 0600).empty()) {
                    copyName_ = copy;
                    copiedFrom_ = std::move(image);  // what Commit compares the edited copy with
                    from = temp_;
                    name = copy;
                }
            }
            if (copyName_.isEmpty())
                Common::Trace(3, Common::MessageTable::Get(Common::Messages::kNoWorkingCopy));
        }
        Common::Error error;
        const bool copied = !copyName_.isEmpty();
        system_ = HiveRoot(
            Common::file_reg::open_hive(from, name, false, error, copied ? Common::WorkingCopyPolicy() : policy_));
        if (!system_)
            Common::TraceError(4, copied ? Common::CannotEditHive(*config, kSystemHive, error) : error);
        return system_.get();
    }

    RegistryKey* CurrentControlSet() override
    {
        if (current_)
            return current_.get();
        RegistryKey* system = System();
        if (!system)
            return nullptr;
        uint32_t number = 1;
        if (auto select = system->OpenKey(u"Select")) {
            uint8_t bytes[4];
            uint32_t type = 0, size = sizeof bytes;
            if (select->QueryValue(u"Current", type, bytes, size) && type == RegistryKey::TypeDword && size == 4)
                number = Common::Hive::Get32(bytes);
        }
        current_ = system->OpenKey(ControlSetName(number));
        return current_.get();
    }

    RegistryKey* Services() override { return Below(services_, u"Services"); }
    RegistryKey* Enum() override { return Below(enum_, u"Enum"); }
    RegistryKey* Class() override { return Below(class_, u"Control\\Class"); }

    const Processor::String* SystemRoot() override
    {
        if (haveRoot_)
            return &root_;
        // Windows 7 and later keep no "ProgramFilesDir" under SFC; their SOFTWARE hive names
        // the Windows folder instead. Both are only read: nothing is created on the way.
        char16_t drive = 0;
        if (!DriveOf(CurrentControlSet(), u"Control\\Session Manager\\SFC", u"ProgramFilesDir", drive) &&
            !DriveOf(Software(), kCurrentVersionKey, u"SystemRoot", drive))
            return nullptr;
        root_ = MakeSystemRoot(drive, windows_->full_path());
        haveRoot_ = true;
        return &root_;
    }

    void UseWorkingCopy() override { useCopy_ = true; }

    Common::Error Commit() override
    {
        if (copyName_.isEmpty()) {
            useCopy_ = false;
            return Common::Error();
        }
        ReleaseSystemKeys();  // the last handle flushes the copy
        // A run that changed nothing leaves SYSTEM and its logs untouched, byte for byte.
        std::vector<uint8_t> edited;
        Common::Error readError;
        if (!Common::ReadWholeFile(*temp_, copyName_, edited, readError))
            return readError;
        if (edited == copiedFrom_) {
            DiscardCopy();
            return Common::Error();
        }
        auto config = Config();
        // The last line of defence: what fails the checker never replaces the target's hive.
        if (config) {
            if (Common::Error fault = Common::StructuralFault(*config, kSystemHive, edited, Common::Messages::kEditedHiveFaulty);
                fault.failed())
                return fault;
        }
        Processor::String path = windows_->full_path();
        path += u"/";
        path += kConfig;
        path += u"\\";
        path += kSystemHive;
        if (!config || !Common::CopyFile(*temp_, copyName_, *config, kSystemHive).empty())
            return Common::MakeError(Common::Codes::kCopyFilesFailed, TV_HERE, path);
        DiscardCopy();
        return Common::Error();
    }

private:
    // The hive as it is edited (recovered from its logs), when it can be read and passes
    // the structural checker; otherwise false with the reason traced. A hive with a fault
    // is not edited at all: an edit can spread it (a data cell that two values share is
    // freed for one and still read for the other).
    bool ReadSound(const Common::rio_dir& config, const char16_t* name, std::vector<uint8_t>& image) const
    {
        Common::Error error = Common::ReadHiveForEditing(config, name, policy_, image);
        if (!error.failed()) error = Common::StructuralFault(config, name, image, Common::Messages::kHiveFaultyNotEdited);
        if (!error.failed()) return true;
        Common::TraceError(4, error);
        return false;
    }

    void DiscardCopy()
    {
        temp_->delete_file(copyName_);
        copyName_.remove();
        copiedFrom_.clear();
        copiedFrom_.shrink_to_fit();
        useCopy_ = false;
    }

    std::shared_ptr<Common::rio_dir> Config() { return windows_ ? windows_->open_dir_rw(kConfig) : nullptr; }

    RegistryKey* Below(std::unique_ptr<RegistryKey>& slot, const char16_t* path)
    {
        if (slot)
            return slot.get();
        RegistryKey* current = CurrentControlSet();
        if (!current)
            return nullptr;
        slot = current->OpenKey(path);
        return slot.get();
    }

    void ReleaseSystemKeys()
    {
        services_.reset();
        enum_.reset();
        class_.reset();
        current_.reset();
        system_.reset();
    }

    std::shared_ptr<Common::rio_dir> windows_;
    const Common::HiveLogPolicy policy_;
    std::unique_ptr<RegistryKey> software_, system_, current_, services_, enum_, class_;
    Processor::String root_;
    bool haveRoot_ = false;
    bool useCopy_ = false;
    std::shared_ptr<Common::TempDirScope> temp_;
    Processor::String copyName_;
    std::vector<uint8_t> copiedFrom_;
};

std::string ReadString(Common::file_reg& key, const char16_t* name)
{
    const Processor::String value = key.get_string(name, Processor::String());
    return Processor::ToUtf8(value);
}

}  // namespace

std::unique_ptr<WindowsRegistry> CreateWindowsRegistry(std::shared_ptr<Common::rio_dir> windows,
                                                       const Common::HiveLogPolicy& policy)
{
    return std::make_unique<WindowsRegistryLinuxImpl>(std::move(windows), policy);
}

WindowsRegistryInfo InspectWindowsRegistry(const std::shared_ptr<Common::i_dir>& windows,
                                           const Common::HiveLogPolicy& policy)
{
    WindowsRegistryInfo info;
    std::string windowsRoot;  // SOFTWARE's "SystemRoot", where SFC lacks "ProgramFilesDir"
    auto config = windows ? windows->open_dir(kConfig) : nullptr;
    if (!config) {
        info.problems = "no System32\\config folder\n";
        return info;
    }
    Common::Error error;
    Common::file_reg software = Common::file_reg::open_hive(config, kSoftwareHive, error, policy);
    if (software.empty()) {
        info.problems += "the SOFTWARE hive cannot be read: " + Processor::ToUtf8(Processor::RenderError(error)) + "\n";
    } else {
        Common::file_reg version = software.open_key(kCurrentVersionKey);
        info.current_version = ReadString(version, u"CurrentVersion");
        // Windows 10 and 11 keep "CurrentVersion" at 6.3 and give their own in two numbers,
        // which is what an install run goes by: show the same.
        auto dword = [&version](const char16_t* name, uint32_t& value) {
            uint8_t bytes[4];
            uint32_t size = sizeof bytes, type = 0;
            if (!version.query_value(name, bytes, size, type) || type != 4 || size != 4) return false;
            value = Common::Hive::Get32(bytes);
            return true;
        };
        uint32_t major = 0, minor = 0;
        if (dword(u"CurrentMajorVersionNumber", major) && dword(u"CurrentMinorVersionNumber", minor))
            info.current_version = std::to_string(major) + "." + std::to_string(minor);
        info.build_number = ReadString(version, u"CurrentBuildNumber");
        info.product_name = ReadString(version, u"ProductName");
        windowsRoot = ReadString(version, u"SystemRoot");
    }
    error = Common::Error();
    Common::file_reg system = Common::file_reg::open_hive(config, kSystemHive, error, policy);
    if (system.empty()) {
        info.problems += "the SYSTEM hive cannot be read: " + Processor::ToUtf8(Processor::RenderError(error)) + "\n";
        return info;
    }
    Common::file_reg select = system.open_key(u"Select");
    const uint32_t number = select.empty() ? 1 : select.get_dword(u"Current", 1);
    info.control_set = Processor::ToUtf8(ControlSetName(number));
    Common::file_reg sfc = system.open_key(ControlSetName(number) + u"\\Control\\Session Manager\\SFC");
    const Processor::String programs = sfc.empty() ? Processor::String() : sfc.get_string(u"ProgramFilesDir", Processor::String());
    char16_t drive = 0;
    if (DriveLetter(programs, drive) || DriveLetter(Processor::FromUtf8(windowsRoot), drive))
        info.system_root = Processor::ToUtf8(MakeSystemRoot(drive, windows->full_path()));
    return info;
}

}  // namespace Transvia
