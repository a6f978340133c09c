#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "transvia/dir.h"

namespace TransviaCli {

// What a run changed in a hive of the target, found by comparing the hive after the run
// with a fingerprint of every key taken before it: a key counts as written when it is new
// or its values differ, as removed when it is gone. Reading never writes (a dirty hive is
// recovered in memory).
class HiveChanges {
public:
    // `config` is the target's System32\config folder; a hive that cannot be read gives an
    // empty fingerprint.
    HiveChanges(std::shared_ptr<Common::i_dir> config, std::u16string hive);
    void Compare();

    const std::u16string& hive() const { return hive_; }
    const std::vector<std::string>& written() const { return written_; }
    const std::vector<std::string>& removed() const { return removed_; }

private:
    // Upper-cased key path -> (path as written, fingerprint of its values).
    using Fingerprints = std::map<std::u16string, std::pair<std::string, uint64_t>>;
    Fingerprints Take() const;

    std::shared_ptr<Common::i_dir> config_;
    std::u16string hive_;
    Fingerprints before_;
    std::vector<std::string> written_;
    std::vector<std::string> removed_;
};

}  // namespace TransviaCli
