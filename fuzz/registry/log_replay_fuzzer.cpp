// Replays arbitrary logs over an arbitrary primary. The input is two 32-bit lengths
// (LOG1, LOG2), then LOG1, LOG2 and the primary; a flag bit picks the policy. Whatever
// the bytes, a replayed image must hold its bins and have the structure every open relies on.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "registry/hive_check.h"
#include "registry/hive_format.h"
#include "registry/log_replay.h"

using namespace Common::Hive;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9)
        return 0;
    const bool accept_loss = data[0] & 1;
    uint32_t l1, l2;
    std::memcpy(&l1, data + 1, 4);
    std::memcpy(&l2, data + 5, 4);
    data += 9;
    size -= 9;
    const size_t n1 = l1 % (size + 1);
    const size_t n2 = l2 % (size - n1 + 1);
    const Bytes log1(data, n1), log2(data + n1, n2), primary(data + n1 + n2, size - n1 - n2);
    ReplayPolicy policy;
    policy.accept_loss = accept_loss;
    const ReplayResult r = ReplayHiveLogs(primary, {{"HIVE.LOG1", log1}, {"HIVE.LOG2", log2}}, policy);
    if (r.status == ReplayStatus::replayed) {
        if (r.image.size() < 4096 + uint64_t(r.bins_size))
            std::abort();
        if (Common::CheckBinStructure(r.image.data() + 4096, r.bins_size, Get32(r.image.data() + kBaseRootCell)))
            std::abort();
        // The deep checker must cope with whatever a replay lets through.
        std::vector<std::string> faults;
        Common::HiveCheckSummary summary;
        Common::CheckHive(r.image.data(), 4096 + uint64_t(r.bins_size), faults, summary);
    }
    return 0;
}
