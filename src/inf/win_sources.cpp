#include "inf/win_sources.h"

#include <vector>

#include "registry/registry_path.h"
#include "registry/windows_registry.h"
#include "support/text.h"

namespace Transvia {

using Processor::String;

namespace {

std::shared_ptr<Common::rio_dir> OpenBelow(Common::rio_dir* parent, const char16_t* path)
{
    return parent ? parent->open_dir_rw(String(path)) : nullptr;
}

std::vector<String> Split(const String& text, bool (*separator)(char16_t))
{
    std::vector<String> parts;
    int32_t start = 0;
    for (int32_t i = 0; i <= text.length(); ++i) {
        if (i == text.length() || separator(text.charAt(i))) {
            parts.push_back(text.tempSubStringBetween(start, i));
            start = i + 1;
        }
    }
    return parts;
}

bool IsPathSeparator(char16_t c) { return c == u'\\' || c == u'/'; }
bool IsListSeparator(char16_t c) { return c == u';'; }

}  // namespace

Common::rio_dir* WinSourcesImpl::GetSystem32Dir()
{
    if (!system32_)
        system32_ = OpenBelow(windows_.get(), u"system32");
    return system32_.get();
}

Common::rio_dir* WinSourcesImpl::GetDriversDir()
{
    if (!drivers_)
        drivers_ = OpenBelow(windows_.get(), u"system32\\drivers");
    return drivers_.get();
}

Common::rio_dir* WinSourcesImpl::GetDriverCacheDir()
{
    if (!driverCache_)
        driverCache_ = OpenBelow(windows_.get(), u"Driver Cache");
    return driverCache_.get();
}

Common::rio_dir* WinSourcesImpl::GetColorDir()
{
    if (!color_)
        color_ = OpenBelow(GetSystem32Dir(), u"spool\\drivers\\color");
    return color_.get();
}

Common::rio_dir* WinSourcesImpl::GetInfDir(bool consultDevicePath)
{
    if (inf_)
        return inf_.get();
    if (consultDevicePath)
        inf_ = InfFromDevicePath();
    if (!inf_)
        inf_ = OpenBelow(windows_.get(), u"inf");
    return inf_.get();
}

std::shared_ptr<Common::rio_dir> WinSourcesImpl::InfFromDevicePath()
{
    auto windows = OpenBelow(windows_.get(), u".");
    if (!windows)
        return nullptr;
    std::unique_ptr<WindowsRegistry> registry = CreateWindowsRegistry(windows);
    RegistryKey* software = registry->Software();
    if (!software)
        return nullptr;
    // Looking the DevicePath up must not add keys to a hive another object may hold open.
    auto key = OpenExistingKey(*software, u"Microsoft\\Windows\\CurrentVersion");
    String devicePath;
    if (!key || !ReadStringValue(*key, u"DevicePath", devicePath) || devicePath.isEmpty())
        return nullptr;
    // Only the target's own INF folder counts: other entries name folders of the
    // machine the image came from (other drives, removable media).
    for (const String& entry : Split(devicePath, IsListSeparator)) {
        if (Processor::EqualNoCase(entry, String(u"%SystemRoot%\\inf"))) {
            if (auto folder = ResolveSystemPath(entry))
                return folder;
        }
    }
    return nullptr;
}

std::shared_ptr<Common::rio_dir> WinSourcesImpl::ResolveSystemPath(const String& path)
{
    if (path.isEmpty())
        return nullptr;
    const std::vector<String> components = Split(path, IsPathSeparator);
    size_t next = 1;
    Common::rio_dir* start = nullptr;
    if (components[0].isEmpty()) {
        if (components.size() < 2 || components[1].isEmpty())
            return nullptr;
        start = root_.get();
    } else if (Processor::EqualNoCase(components[0], String(u"%SystemDrive%"))) {
        start = root_.get();
    } else if (Processor::EqualNoCase(components[0], String(u"%SystemRoot%"))) {
        start = windows_.get();
    } else {
        return nullptr;  // a drive letter or anything else names no folder of the target
    }
    std::shared_ptr<Common::rio_dir> current = OpenBelow(start, u".");
    for (; next < components.size() && current; ++next) {
        if (components[next].isEmpty())
            continue;
        current = current->open_dir_rw(components[next]);
    }
    return current;
}

std::unique_ptr<WinSources> CreateWinSources(const std::shared_ptr<Common::rio_dir>& root, const String& windowsName)
{
    auto rootDir = OpenBelow(root.get(), u".");
    if (!rootDir)
        return nullptr;
    auto windows = rootDir->open_dir_rw(windowsName);
    if (!windows)
        return nullptr;
    return std::make_unique<WinSourcesImpl>(std::move(rootDir), std::move(windows));
}

Common::rio_dir* GetDirectoryById(WinSources& sources, const String& id)
{
    if (id == String(u"10"))
        return sources.GetWindowsDir();
    if (id == String(u"11"))
        return sources.GetSystem32Dir();
    if (id == String(u"12"))
        return sources.GetDriversDir();
    if (id == String(u"17"))
        return sources.GetInfDir(true);
    if (id == String(u"23"))
        return sources.GetColorDir();
    if (id == String(u"24"))
        return sources.GetRootDir();
    return nullptr;
}

namespace {
const char16_t* const kTokens[4] = {u"%10%", u"%11%", u"%12%", u"%17%"};
}

MapWindowsDirectoy::MapWindowsDirectoy()
{
    values_[0] = String(u"%SystemRoot%");
    values_[1] = String(u"System32");
    values_[2] = String(u"System32\\drivers");
    values_[3].setToBogus();
}

MapWindowsDirectoy::MapWindowsDirectoy(WindowsRegistry& registry)
{
    FromSystemRoot(registry.SystemRoot());
}

MapWindowsDirectoy::MapWindowsDirectoy(const String* systemRoot)
{
    FromSystemRoot(systemRoot);
}

void MapWindowsDirectoy::FromSystemRoot(const String* systemRoot)
{
    if (!systemRoot || systemRoot->isEmpty()) {
        for (String& value : values_)
            value.setToBogus();
        return;
    }
    String base = *systemRoot;
    values_[0] = base;
    if (base.charAt(base.length() - 1) != u'\\')
        base.append(u'\\');
    values_[1] = base + String(u"system32");
    values_[2] = base + String(u"system32\\drivers");
    values_[3] = base + String(u"inf");
}

String MapWindowsDirectoy::Resolve(const char16_t* token)
{
    if (!token)
        return String();
    const String text(token);
    for (int i = 0; i < 4; ++i)
        if (!values_[i].isBogus() && Processor::EqualNoCase(text, String(kTokens[i])))
            return values_[i];
    return text;
}

}  // namespace Transvia
