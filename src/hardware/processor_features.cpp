#include "hardware/processor_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace Transvia {

namespace {
constexpr unsigned kExtendedFeatures = 0x80000001u;
constexpr unsigned kLongModeBit = 1u << 29;
}  // namespace

bool LongModeFromCpuid(unsigned highestExtendedFunction, unsigned extendedFeaturesEdx)
{
    // Processors without the extended function return garbage for it, so its
    // presence is checked first.
    return highestExtendedFunction >= kExtendedFeatures && (extendedFeaturesEdx & kLongModeBit) != 0;
}

bool HasLongMode()
{
#if defined(__x86_64__) || defined(__i386__)
    const unsigned highest = __get_cpuid_max(0x80000000u, nullptr);
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (highest < kExtendedFeatures || !__get_cpuid(kExtendedFeatures, &eax, &ebx, &ecx, &edx))
        return false;
    return LongModeFromCpuid(highest, edx);
#else
    return false;
#endif
}

}  // namespace Transvia
