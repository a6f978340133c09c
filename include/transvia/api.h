#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "transvia/devices.h"
#include "transvia/dir.h"
#include "transvia/error.h"
#include "transvia/export.h"
#include "transvia/string.h"
#include "transvia/trace.h"

namespace Transvia {

// A folder in which driver packages are searched. The host may implement its own.
class TRANSVIA_API DriverStorage {
public:
    virtual ~DriverStorage() = default;
    virtual bool IsRemovable() const = 0;                                   // slot 4
    virtual Processor::String DisplayPath() const = 0;                      // slot 5
    virtual bool IsNetwork() const = 0;                                     // slot 6
    virtual Processor::String VolumeLabel() const = 0;                      // slot 7
    virtual bool IsReadOnly() const = 0;                                    // slot 8
    virtual Processor::String Description() const = 0;                      // slot 9
    // The storage's folder, or none while it is not accessible.
    virtual std::shared_ptr<Common::i_dir> Location() const = 0;            // slot 10
};

// Walked front to back; the engine never changes it.
using DriverStorageList = std::list<std::shared_ptr<DriverStorage>>;

// A ready storage over a folder of this machine, for hosts with nothing more to say about
// it: not removable, not a network path, displayed as its real path. Null when the folder
// cannot be opened; then `error`, when given, says why.
TRANSVIA_API std::shared_ptr<DriverStorage> CreateFolderStorage(const std::string& path,
                                                                Common::Error* error = nullptr);

// A collection of search locations handed out by source sets and their items.
class TRANSVIA_API LocationCollection {
public:
    virtual ~LocationCollection() = default;
    virtual uint32_t GetCount() const = 0;
    virtual std::shared_ptr<Common::i_dir> GetLocation(uint32_t index) const = 0;
};

class TRANSVIA_API DriverSourceItem {
public:
    virtual ~DriverSourceItem() = default;
    virtual void GetName(Processor::String& name) const = 0;
    virtual void GetLocations(std::shared_ptr<LocationCollection>& collection, uint32_t flag) const = 0;
};

class TRANSVIA_API DriverSourceSet {
public:
    virtual ~DriverSourceSet() = default;
    virtual uint32_t GetCount() const = 0;
    virtual void GetItem(std::shared_ptr<DriverSourceItem>& item, uint32_t index) const = 0;
    virtual void GetLocations(std::shared_ptr<LocationCollection>& collection, uint32_t flag) const = 0;
};

// The new machine's hardware as the host knows it. An error with a non-zero code
// ends the call with that error.
class TRANSVIA_API HardwareEnvironment {
public:
    virtual ~HardwareEnvironment() = default;
    virtual void EnumerateDevices(Common::Error& error, DeviceList& devices) const = 0;
    virtual void EnumerateInstallDevices(Common::Error& error, DeviceList& devices) const = 0;
};

class TRANSVIA_API InstallDriversCallback {
public:
    virtual ~InstallDriversCallback() = default;
    // Position of the run on a scale of 0 to 100.
    virtual void ReportProgress(uint32_t position) = 0;
    virtual bool IsCancelled() = 0;
    virtual void LocateDeviceDrivers(std::shared_ptr<Common::i_dir>& location, const DeviceIds& device) = 0;
    virtual void RequestSourceMedia(std::shared_ptr<Common::i_dir>& location, const Processor::String& manufacturer,
                                    const Processor::String& description) = 0;
    virtual void ReportStorageUnavailable(DriverStorage& storage) = 0;
};

struct InstallDriversParams {
    InstallDriversCallback* callback = nullptr;
    DriverSourceSet* sources = nullptr;
    DriverStorageList storages;
    const HardwareEnvironment* hardware = nullptr;  // null: detect this machine's devices
    bool optimistic = false;  // devices left without a driver do not fail the run
};

// PCI base class codes that ScheduleForWindowsInstall accepts.
enum class PciDeviceClass : uint8_t {
    MassStorage = 0x01,
    Network = 0x02,
    Display = 0x03,
    Multimedia = 0x04,
    Bridge = 0x06,
    SerialBus = 0x0C,
    Processor = 0x0B,
};

}  // namespace Transvia

// The exported entries.
TRANSVIA_API Common::Error InstallDrivers(Common::rio_dir* target, const std::wstring& windowsDir,
                                          const Transvia::InstallDriversParams* params);
TRANSVIA_API Common::Error ScheduleForWindowsInstall(Transvia::PciDeviceClass deviceClass, Common::rio_dir* target,
                                                     const std::wstring& windowsDir,
                                                     const Transvia::DriverStorageList& storages,
                                                     Transvia::InstallDriversCallback* callback,
                                                     const Transvia::HardwareEnvironment* hardware);
TRANSVIA_API void SetTraceRedirection(TraceTextCallback text, TraceEventCallback event, TraceErrorCallback error);
