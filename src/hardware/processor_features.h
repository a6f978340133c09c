#pragma once

// What the processor of the running machine can do, asked of the processor itself.
namespace Transvia {

// Whether the running machine's processor has a 64-bit (long) mode: CPUID function
// 0x80000001, bit 29 of EDX. A 64-bit target can only be prepared for a machine
// that has one. False on processors other than x86.
bool HasLongMode();

// The same test on given CPUID results: the highest extended function the processor
// reports (CPUID 0x80000000, EAX) and EDX of function 0x80000001.
bool LongModeFromCpuid(unsigned highestExtendedFunction, unsigned extendedFeaturesEdx);

}  // namespace Transvia
