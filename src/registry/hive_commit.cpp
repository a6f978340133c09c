#include "registry/hive_commit.h"

#include <cstdio>
#include <random>

#include "registry/hive_recovery.h"
#include "support/copy.h"
#include "support/errors.h"
#include "support/temp_dir.h"
#include "support/text.h"
#include "transvia/codes.h"

namespace Common {

Processor::String RandomUuidName()
{
    std::random_device device;
    uint8_t bytes[16];
    for (int i = 0; i < 16; i += 4) {
        const uint32_t word = device();
        for (int j = 0; j < 4; ++j)
            bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
    }
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
    const unsigned long first = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
    const unsigned short second = static_cast<unsigned short>(bytes[4] | bytes[5] << 8);
    const unsigned short third = static_cast<unsigned short>(((bytes[6] | bytes[7] << 8) & 0x0FFF) | 0x4000);
    char text[40];
    std::snprintf(text, sizeof text, "%08lX-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X", first, second, third,
                  bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return Processor::FromUtf8(text);
}

Error EditHiveAtomically(const std::shared_ptr<rio_dir>& directory, const Processor::String& name, const HiveEdit& edit,
                         const HiveLogPolicy& policy)
{
    std::vector<uint8_t> original;
    Error error = ReadHiveForEditing(*directory, name, policy, original);
    if (error.failed())
        return error;
    const bool wasSound = !StructuralFault(*directory, name, original, Messages::kEditedHiveFaulty).failed();

    std::shared_ptr<TempDirScope> temp = TempDir::Get(error);
    if (!temp)
        return error;
    const Processor::String copy = RandomUuidName();
    if (!ReplaceFile(*temp, copy, original.data(), original.size(), 0600).empty())
        return MakeError(Codes::kRegistryOpenFailed, TV_HERE, name);
    struct Discard {
        TempDirScope& dir;
        const Processor::String& name;
        ~Discard() { dir.delete_file(name); }
    } discard{*temp, copy};
    {
        file_reg root = file_reg::open_hive(std::shared_ptr<rio_dir>(temp), copy, false, error, WorkingCopyPolicy());
        if (root.empty())
            return CannotEditHive(*directory, name, error);
        if (!edit(root, error))
            return error.failed() ? error : MakeError(Codes::kRegistryOperationFailed, TV_HERE, name);
    }  // the last handle flushes the hive
    std::vector<uint8_t> result;
    if (!ReadWholeFile(*temp, copy, result, error))
        return error;
    if (wasSound) {
        const Error fault = StructuralFault(*directory, name, result, Messages::kEditedHiveFaulty);
        if (fault.failed())
            return MakeError(Codes::kRegistryOperationFailed, TV_HERE, Processor::String(fault.text()));
    }
    return ReplaceFile(*directory, name, result.data(), result.size());
}

}  // namespace Common
