#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "inf/architecture.h"
#include "inf/inf.h"
#include "install/target_version.h"
#include "transvia/devices.h"
#include "transvia/dir.h"
#include "transvia/string.h"

// Matching of INF files to devices: which models line can drive a device, how good that
// match is (its rank, lower is better) and which platform-decorated sections apply to the
// target.
namespace Transvia {

// How SelectDecoratedSection treats the plain ".NT" decoration and undecorated sections.
enum class DecorationMode : int {
    kInstall = 0,       // install sections: ".NT" accepted; undecorated only when the INF has no NT decoration
    kModelsStrict = 1,  // models sections on 64-bit targets: only the full platform name
    kModelsLoose = 2,   // models sections on x86: ".NT" and undecorated accepted
};

struct DecoratedSection {
    Section* section = nullptr;
    uint32_t level = 0;  // 0: OS-version decorated with minor, 1: with major, 2: platform only, 3: undecorated
};

// The section of `inf` that stands for `base` on this platform and target version.
DecoratedSection SelectDecoratedSection(Inf& inf, const char16_t* base, DecorationMode mode, uint32_t platform,
                                        TargetVersion version);

// 1 when `a` carries a newer DriverVer than `b`, -1 when older, 0 when it cannot be told.
int CompareDriverVer(Inf& a, Inf& b);

// What the scan found for one device; INF objects are owned by the scan, not by the store.
struct CandidateStore {
    explicit CandidateStore(DeviceIds ids);

    DeviceIds identifiers;
    std::vector<Processor::String> wideIdentifiers;  // each byte widened to one UTF-16 unit
    std::vector<std::u16string> foldedIdentifiers;  // those with full case folding, for comparing
    std::map<uint32_t, Section*> sectionByRank;
    std::map<uint32_t, std::pair<Processor::String, Processor::String>> namesByRank;  // manufacturer, description
    // For reports: the models section each candidate came from and its decoration level.
    std::map<uint32_t, Section*> modelsByRank;
    std::map<uint32_t, uint32_t> levelByRank;
    std::map<const Inf*, std::shared_ptr<Common::i_dir>> folderByInf;
    std::map<const Inf*, Processor::String> fileNameByInf;
    std::map<const Inf*, bool> preferredByInf;
    // The search location the INF was found under (the folder itself for a top-level file).
    std::map<const Inf*, std::shared_ptr<Common::i_dir>> locationByInf;

    bool Preferred(uint32_t rank) const;
    // Ranks in the order the try loop takes them: preferred locations first, each group by rank.
    std::vector<uint32_t> TryOrder() const;
};

struct MatchSettings {
    uint32_t platform = 0;
    TargetVersion version;
};

// Records in `store` every models line of `inf` that names one of the device's identifiers
// (see the rank rule in the source). True when at least one candidate was stored.
bool MatchInf(Inf& inf, CandidateStore& store, bool preferred, const MatchSettings& settings);
// The same for several devices at once, with the INF's sections looked up only once;
// one flag per store.
std::vector<bool> MatchInf(Inf& inf, const std::vector<CandidateStore*>& stores, bool preferred,
                           const MatchSettings& settings);

}  // namespace Transvia
