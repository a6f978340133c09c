#pragma once

#include "install/registry_context.h"
#include "transvia/error.h"
#include "transvia/string.h"

namespace Transvia {

class Inf;
class WindowsRegistry;

// Carries out the registry section `section` of `inf` line by line. Returns the error of
// the first line that fails (the lines before it stay written), or an empty error.
// Codes: kInvalidArgument (HKR without a context), kRegistryOperationFailed, kInvalidFormat,
// kSectionNotFound, kUnsupportedRoot (a root other than HKR/HKLM/HKCR, or an HKLM subkey
// outside System and Software).
Common::Error AddReg(Inf& inf, const Processor::String& section, const RegistryContext* context,
                     WindowsRegistry& registry);

// FLG_ADDREG_ bits of an AddReg line's flags field that mean something here.
namespace AddRegFlags {
constexpr uint32_t kBinary = 0x00000001;
constexpr uint32_t kNoClobber = 0x00000002;
constexpr uint32_t kDelete = 0x00000004;
constexpr uint32_t kAppend = 0x00000008;
constexpr uint32_t kKeyOnly = 0x00000010;
constexpr uint32_t kOverwriteOnly = 0x00000020;
constexpr uint32_t kMultiString = 0x00010000;
constexpr uint32_t kExpandString = 0x00020000;
constexpr uint32_t kDword = kMultiString | kBinary;
}  // namespace AddRegFlags

}  // namespace Transvia
