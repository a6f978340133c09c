#pragma once

#include <array>
#include <memory>
#include <vector>

#include "inf/configuration.h"
#include "inf/inf.h"
#include "transvia/devices.h"
#include "transvia/string.h"

// The hardware database "hwdb.txt": what no INF file says about a restore. Replacement
// identifiers ([hwmap]), devices to add ([hw]), the HAL to use ([hal]), services to stop
// ([stopsvc]) or to leave alone ([skipsvc]) and registry edits ([registryops]).
namespace Transvia {

// One [registryops] line: operation, root, key path, value name, data; missing fields empty.
using RegistryOperationRecord = std::array<Processor::String, 5>;

class DeviceDatabase {
public:
    virtual ~DeviceDatabase() = default;
    // Appends the replacement device of every device that [hwmap] maps.
    virtual void MapDevices(const DeviceList& devices, DeviceList& mapped) = 0;
    virtual void AddedDevices(DeviceList& devices) = 0;
    virtual void HalDevices(DeviceList& devices) = 0;
    virtual void ServicesToStop(std::vector<Processor::String>& names) = 0;
    virtual void ServicesToSkip(std::vector<Processor::String>& names) = 0;
    virtual void RegistryOperations(std::vector<RegistryOperationRecord>& records) = 0;
};

class DeviceDatabaseImpl final : public DeviceDatabase {
public:
    // A null Inf (a file that did not parse) answers every question with nothing.
    explicit DeviceDatabaseImpl(std::unique_ptr<Inf> inf) : inf_(std::move(inf)) {}

    void MapDevices(const DeviceList& devices, DeviceList& mapped) override;
    void AddedDevices(DeviceList& devices) override;
    void HalDevices(DeviceList& devices) override;
    void ServicesToStop(std::vector<Processor::String>& names) override;
    void ServicesToSkip(std::vector<Processor::String>& names) override;
    void RegistryOperations(std::vector<RegistryOperationRecord>& records) override;

private:
    Section* Find(const char16_t* name) const;
    void FirstFields(const char16_t* section, std::vector<Processor::String>& names) const;

    std::unique_ptr<Inf> inf_;
};

// Stands in when there is no database file.
class EmptyDeviceDatabase final : public DeviceDatabase {
public:
    void MapDevices(const DeviceList&, DeviceList&) override {}
    void AddedDevices(DeviceList&) override {}
    void HalDevices(DeviceList&) override {}
    void ServicesToStop(std::vector<Processor::String>&) override {}
    void ServicesToSkip(std::vector<Processor::String>&) override {}
    void RegistryOperations(std::vector<RegistryOperationRecord>&) override {}
};

// The database of this installation: the path the configuration's "hwdb.txt" setting
// names, else "hwdb.txt" beside the library. Null when the file cannot be opened; callers
// then use an EmptyDeviceDatabase.
std::unique_ptr<DeviceDatabase> LoadDeviceDatabase();
std::unique_ptr<DeviceDatabase> LoadDeviceDatabase(const Configuration& configuration);
// Reads an opened database file; a file that does not parse is traced and answers nothing.
std::unique_ptr<DeviceDatabase> LoadDeviceDatabase(Common::i_file& file);

}  // namespace Transvia
