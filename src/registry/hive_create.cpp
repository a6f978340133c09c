#include "registry/hive_create.h"

#include <chrono>
#include <cstring>

#include "registry/hive_format.h"
#include "registry/hive_names.h"
#include "support/copy.h"
#include "support/errors.h"
#include "transvia/codes.h"

namespace Common {

using namespace Hive;

namespace {

void AppendSid(std::vector<uint8_t>& out, uint8_t authority, std::initializer_list<uint32_t> parts)
{
    out.push_back(1);
    out.push_back(static_cast<uint8_t>(parts.size()));
    for (int i = 0; i < 5; ++i)
        out.push_back(0);
    out.push_back(authority);
    for (uint32_t part : parts)
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(part >> (8 * i)));
}

// Self-relative descriptor: owner Administrators, group SYSTEM; full control for
// Administrators and SYSTEM, read for Everyone, inherited by subkeys.
std::vector<uint8_t> DefaultDescriptor()
{
    std::vector<uint8_t> owner, group, dacl;
    AppendSid(owner, 5, {32, 544});
    AppendSid(group, 5, {18});
    struct Ace {
        uint32_t mask;
        std::vector<uint8_t> sid;
    };
    std::vector<Ace> aces(3);
    aces[0].mask = 0xF003F;
    AppendSid(aces[0].sid, 5, {32, 544});
    aces[1].mask = 0xF003F;
    AppendSid(aces[1].sid, 5, {18});
    aces[2].mask = 0x20019;
    AppendSid(aces[2].sid, 1, {0});
    std::vector<uint8_t> body;
    for (const Ace& ace : aces) {
        const uint16_t size = static_cast<uint16_t>(8 + ace.sid.size());
        body.push_back(0);     // access allowed
        body.push_back(0x02);  // container inherit
        body.push_back(static_cast<uint8_t>(size));
        body.push_back(static_cast<uint8_t>(size >> 8));
        for (int i = 0; i < 4; ++i)
            body.push_back(static_cast<uint8_t>(ace.mask >> (8 * i)));
        body.insert(body.end(), ace.sid.begin(), ace.sid.end());
    }
    dacl.resize(8);
    dacl[0] = 2;
    Put16(dacl.data() + 2, static_cast<uint16_t>(8 + body.size()));
    Put16(dacl.data() + 4, static_cast<uint16_t>(aces.size()));
    dacl.insert(dacl.end(), body.begin(), body.end());

    std::vector<uint8_t> sd(20);
    sd[0] = 1;
    Put16(sd.data() + 2, 0x8004);  // self-relative, DACL present
    Put32(sd.data() + 4, 20);
    Put32(sd.data() + 8, static_cast<uint32_t>(20 + owner.size()));
    Put32(sd.data() + 16, static_cast<uint32_t>(20 + owner.size() + group.size()));
    sd.insert(sd.end(), owner.begin(), owner.end());
    sd.insert(sd.end(), group.begin(), group.end());
    sd.insert(sd.end(), dacl.begin(), dacl.end());
    return sd;
}

uint64_t FileTimeNow()
{
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const uint64_t ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
    return ticks + 116444736000000000ull;
}

}  // namespace

Error CreateHive(rio_dir& directory, const Processor::String& name, uint32_t minor, const Processor::String& root_name)
{
    if (minor < 1 || minor > 5 || root_name.isEmpty() || root_name.length() > 255)
        return MakeError(Codes::kInvalidArgument, TV_HERE, name);
    const std::u16string_view rootView(root_name.getBuffer(), static_cast<size_t>(root_name.length()));
    const bool narrow = HiveNames::Compressible(rootView);
    const std::vector<uint8_t> storedName = HiveNames::Encode(rootView, narrow);
    const uint32_t nameBytes = static_cast<uint32_t>(storedName.size());
    const uint64_t now = FileTimeNow();

    std::vector<uint8_t> file(2 * HBLOCK_SIZE, 0);
    uint8_t* base = file.data();
    Put32(base, kRegfSignature);
    Put32(base + kBasePrimarySequence, 1);
    Put32(base + kBaseSecondarySequence, 1);
    Put64(base + kBaseTimestamp, now);
    Put32(base + kBaseMajor, 1);
    Put32(base + kBaseMinor, minor);
    Put32(base + kBaseFileType, 0);
    Put32(base + kBaseFormat, 1);
    Put32(base + kBaseRootCell, kBinHeaderSize);
    Put32(base + kBaseBinsSize, HBLOCK_SIZE);
    Put32(base + kBaseClusterFactor, 1);
    for (int32_t i = 0; i < name.length() && i < 31; ++i)
        Put16(base + kBaseFileName + 2 * i, name.charAt(i));

    uint8_t* bin = file.data() + HBLOCK_SIZE;
    Put32(bin, kBinSignature);
    Put32(bin + kBinOffset, 0);
    Put32(bin + kBinSize, HBLOCK_SIZE);
    Put64(bin + kBinTimestamp, now);

    const uint32_t nkCell = kBinHeaderSize;
    const uint32_t nkSize = CellSizeFor(82 + nameBytes);
    const std::vector<uint8_t> descriptor = DefaultDescriptor();
    const uint32_t skCell = nkCell + nkSize;
    const uint32_t skSize = CellSizeFor(Sk::kDescriptor + static_cast<uint32_t>(descriptor.size()));
    const uint32_t freeCell = skCell + skSize;

    uint8_t* nk = bin + nkCell;
    Put32(nk, 0u - nkSize);
    nk += 4;
    WriteKeyNode(nk, static_cast<uint16_t>(Nk::kHiveEntry | Nk::kNoDelete | (narrow ? Nk::kCompressedName : 0)), now,
                 kNoCell, skCell, storedName);

    uint8_t* sk = bin + skCell;
    Put32(sk, 0u - skSize);
    sk += 4;
    Put16(sk, kSigSk);
    Put32(sk + Sk::kFlink, skCell);
    Put32(sk + Sk::kBlink, skCell);
    Put32(sk + Sk::kRefCount, 1);
    Put32(sk + Sk::kDescriptorLength, static_cast<uint32_t>(descriptor.size()));
    std::memcpy(sk + Sk::kDescriptor, descriptor.data(), descriptor.size());

    Put32(bin + freeCell, HBLOCK_SIZE - freeCell);
    Put32(base + kBaseChecksum, BaseBlockChecksum(base));
    return ReplaceFile(directory, name, file.data(), file.size());
}

}  // namespace Common
