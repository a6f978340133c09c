#pragma once

#include <memory>

#include "support/logger.h"
#include "transvia/api.h"

namespace Transvia {

// Asks the host whether to stop (when there is a host) and throws 0x1D0001 if so.
void ThrowIfCancelled(InstallDriversCallback* host);

// The install run's go-between from the INF processor to the host: relays progress and
// media requests, asks about cancellation after each, traces every device's result and
// remembers the devices that got a driver. Works without a host too.
class CallbacksImpl final : public OperationsProgress, public LocationCallback {
public:
    explicit CallbacksImpl(InstallDriversCallback* host) : host_(host) {}

    void OperationStarted(const Processor::String& name) override;
    void OperationFinished(const Processor::String& name) override;
    void Progress(uint32_t position) override;
    void DeviceStarted(const DeviceIds& device, const Processor::String& manufacturer,
                       const Processor::String& description) override;
    void DeviceFinished(const DeviceIds& device, const Common::Error& result) override;

    void FindLocation(std::shared_ptr<Common::i_dir>& location, const Processor::String& fileName) override;

    // The devices that got a driver, in the order the processor reported them.
    const DeviceList& installed() const { return installed_; }
    // Of the device whose install started last; empty before the first.
    const Processor::String& manufacturer() const { return manufacturer_; }
    const Processor::String& description() const { return description_; }

private:
    InstallDriversCallback* host_;
    DeviceList installed_;
    Processor::String manufacturer_;
    Processor::String description_;
};

}  // namespace Transvia
