#pragma once

#include <memory>

#include "inf/inf.h"
#include "transvia/dir.h"
#include "transvia/string.h"

// The target's well-known folders, and the directory ids and %id% tokens that INF files
// use to name them.
namespace Transvia {

class WindowsRegistry;

// Folders are opened on first request and belong to this object: callers use them while
// it lives and do not keep them (a caller that needs one longer reopens it). A folder
// that cannot be opened is not remembered, so the next request tries again.
class WinSources {
public:
    virtual ~WinSources() = default;
    virtual Common::rio_dir* GetWindowsDir() = 0;
    virtual Common::rio_dir* GetSystem32Dir() = 0;
    virtual Common::rio_dir* GetDriversDir() = 0;
    virtual Common::rio_dir* GetDriverCacheDir() = 0;
    // The INF folder; with `consultDevicePath` the "%SystemRoot%\inf" entry of the target's
    // DevicePath is preferred. The first folder found is kept whatever later flags say.
    virtual Common::rio_dir* GetInfDir(bool consultDevicePath) = 0;
    virtual Common::rio_dir* GetColorDir() = 0;
    virtual Common::rio_dir* GetRootDir() = 0;
};

class WinSourcesImpl final : public WinSources {
public:
    WinSourcesImpl(std::shared_ptr<Common::rio_dir> root, std::shared_ptr<Common::rio_dir> windows)
        : root_(std::move(root)), windows_(std::move(windows))
    {
    }

    Common::rio_dir* GetWindowsDir() override { return windows_.get(); }
    Common::rio_dir* GetSystem32Dir() override;
    Common::rio_dir* GetDriversDir() override;
    Common::rio_dir* GetDriverCacheDir() override;
    Common::rio_dir* GetInfDir(bool consultDevicePath) override;
    Common::rio_dir* GetColorDir() override;
    Common::rio_dir* GetRootDir() override { return root_.get(); }

    // A path of the target ("%SystemRoot%\inf", "%SystemDrive%\Windows", "\Windows") as a
    // new folder owned by the caller; null for a drive letter, a lone separator, an unknown
    // variable or a component that does not exist.
    std::shared_ptr<Common::rio_dir> ResolveSystemPath(const Processor::String& path);

private:
    std::shared_ptr<Common::rio_dir> InfFromDevicePath();

    std::shared_ptr<Common::rio_dir> root_;
    std::shared_ptr<Common::rio_dir> windows_;
    std::shared_ptr<Common::rio_dir> system32_;
    std::shared_ptr<Common::rio_dir> drivers_;
    std::shared_ptr<Common::rio_dir> driverCache_;
    std::shared_ptr<Common::rio_dir> inf_;
    std::shared_ptr<Common::rio_dir> color_;
};

// Null when the Windows folder cannot be opened below `root`.
std::unique_ptr<WinSources> CreateWinSources(const std::shared_ptr<Common::rio_dir>& root,
                                             const Processor::String& windowsName);

// The folder a "DestinationDirs" id names ("10", "11", "12", "17", "23", "24"), or null.
Common::rio_dir* GetDirectoryById(WinSources& sources, const Processor::String& id);

// Resolves %10%, %11%, %12% and %17% (case-insensitively) to path texts of the target.
// The form made from a system root gives full paths for registry data; the fixed form
// gives texts relative to the system root, as service image paths want them. A token
// outside the table, or without a value, comes back unchanged.
class MapWindowsDirectoy final : public ExternalVariables {
public:
    // Fixed texts: "%SystemRoot%", "System32", "System32\drivers"; %17% stays.
    MapWindowsDirectoy();
    // Full paths from the registry's SystemRoot(); with no system root every token stays.
    explicit MapWindowsDirectoy(WindowsRegistry& registry);
    explicit MapWindowsDirectoy(const Processor::String* systemRoot);

    Processor::String Resolve(const char16_t* token) override;

private:
    void FromSystemRoot(const Processor::String* systemRoot);

    // Values of %10%, %11%, %12%, %17%; a bogus (empty) string means "no value".
    Processor::String values_[4];
};

}  // namespace Transvia
