#pragma once

#include <memory>

#include "support/variant.h"
#include "transvia/api.h"
#include "transvia/error.h"

namespace Transvia {

// The logging interface handed down by the flows to every layer (INF cache, INF processor,
// install sections), hence here in the lowest one. No virtual destructor: the owner
// destroys the concrete object (CreateLogger's handle knows which).
class Logger {
public:
    virtual void Write(int32_t level, uint32_t facility, uint32_t code, const char* source,
                       const Processor::String& text) = 0;
    virtual void WriteFormat(int32_t level, uint32_t facility, uint32_t code, const char* source,
                             const Processor::String& format, const Processor::Variant& a1,
                             const Processor::Variant& a2, const Processor::Variant& a3) = 0;
    virtual void WriteFormat(int32_t level, uint32_t facility, uint32_t code, const char* source,
                             const Processor::String& format, const Processor::Variant& a1,
                             const Processor::Variant& a2) = 0;
    virtual void WriteFormat(int32_t level, uint32_t facility, uint32_t code, const char* source,
                             const Processor::String& format, const Processor::Variant& a1) = 0;
    virtual void WriteError(int32_t level, const Common::Error& error) = 0;
    virtual void WriteError(int32_t level, const Common::ErrorRecord* record) = 0;
    virtual void WriteText(int32_t level, uint32_t facility, uint32_t code, const char16_t* text) = 0;

protected:
    ~Logger() = default;
};

using LoggerHandle = std::unique_ptr<Logger, void (*)(Logger*)>;

// A SilentLogger when `silent`, a ReportingLogger otherwise.
LoggerHandle CreateLogger(bool silent);

// Observer of the INF processor: step notifications, progress, device start and result.
class OperationsProgress {
public:
    virtual ~OperationsProgress() = default;
    virtual void OperationStarted(const Processor::String& name) = 0;
    virtual void OperationFinished(const Processor::String& name) = 0;
    virtual void Progress(uint32_t position) = 0;
    virtual void DeviceStarted(const DeviceIds& device, const Processor::String& manufacturer,
                               const Processor::String& description) = 0;
    virtual void DeviceFinished(const DeviceIds& device, const Common::Error& result) = 0;
};

// Asked for a folder holding a file that file copy cannot find.
class LocationCallback {
public:
    virtual ~LocationCallback() = default;
    virtual void FindLocation(std::shared_ptr<Common::i_dir>& location, const Processor::String& fileName) = 0;
};

}  // namespace Transvia

namespace Utils {

// Subscribers of one kind, notified in subscription order.
template <class Observer> class EventNotifier {
public:
    void Subscribe(Observer* observer) { observers_.push_back(observer); }
    void Unsubscribe(Observer* observer) { std::erase(observers_, observer); }
    template <class Call> void Notify(Call call) const
    {
        for (Observer* observer : observers_) call(*observer);
    }

private:
    std::vector<Observer*> observers_;
};

}  // namespace Utils
