#include "install/custom_filter.h"

namespace Transvia {

namespace {

constexpr uint8_t kNetworkBaseClass = 2;
const char16_t kNetClass[] = u"{4D36E972-E325-11CE-BFC1-08002bE10318}";
const char16_t kSystemClass[] = u"{4d36e97d-e325-11ce-bfc1-08002be10318}";

}  // namespace

std::unique_ptr<CustomFilter> CreateScheduleFilter(uint8_t baseClass, bool mappedDevices)
{
    if (baseClass != kNetworkBaseClass) return nullptr;
    auto filter = std::make_unique<CustomFilter>();
    filter->Add(kNetClass);
    if (mappedDevices) filter->Add(kSystemClass);
    return filter;
}

}  // namespace Transvia
