#include "entry/callbacks_impl.h"

#include "support/errors.h"
#include "support/message_table.h"
#include "support/text.h"
#include "support/trace.h"

namespace Transvia {

void ThrowIfCancelled(InstallDriversCallback* host)
{
    if (host != nullptr && host->IsCancelled())
        Common::Raise(Common::Codes::kCancelled, TV_HERE, Common::MessageTable::Text(Common::Messages::kCancelled));
}

void CallbacksImpl::OperationStarted(const Processor::String&) { ThrowIfCancelled(host_); }

void CallbacksImpl::OperationFinished(const Processor::String&) { ThrowIfCancelled(host_); }

void CallbacksImpl::Progress(uint32_t position)
{
    if (host_ == nullptr) return;
    host_->ReportProgress(position);
    ThrowIfCancelled(host_);
}

void CallbacksImpl::DeviceStarted(const DeviceIds&, const Processor::String& manufacturer,
                                  const Processor::String& description)
{
    // A null text arrives as an empty (or bogus) string; either way the host sees empty.
    manufacturer_ = manufacturer.isBogus() ? Processor::String() : manufacturer;
    description_ = description.isBogus() ? Processor::String() : description;
}

void CallbacksImpl::DeviceFinished(const DeviceIds& device, const Common::Error& result)
{
    const bool failed = result.failed();
    const Processor::String name = device.empty() ? Processor::String() : Processor::FromUtf8(device.name());
    const Processor::String text = Common::MessageTable::Text(
        failed ? Common::Messages::kDeviceFailed : Common::Messages::kDeviceInstalled, {name});
    // Code 0: the record informs and carries the device's own result as its cause.
    Common::TraceError(failed ? 4 : 2, Common::MakeError(0, TV_HERE, text, result));
    ThrowIfCancelled(host_);
    if (!failed) installed_.push_back(device);
}

void CallbacksImpl::FindLocation(std::shared_ptr<Common::i_dir>& location, const Processor::String& fileName)
{
    const Processor::String text = Common::MessageTable::Text(Common::Messages::kRequestSourceMedia,
                                                              {fileName, manufacturer_, description_});
    Common::Trace(1, text);
    if (host_ == nullptr) Common::Raise(Common::Codes::kSourceMediaNeeded, TV_HERE, text);
    host_->RequestSourceMedia(location, manufacturer_, description_);
    ThrowIfCancelled(host_);
}

}  // namespace Transvia
