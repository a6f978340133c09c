#pragma once

#include <map>
#include <memory>
#include <string>

#include "inf/inf.h"
#include "support/logger.h"

// The parsed INF files of one folder (the target's INF folder), so that a file named by
// several drivers or by Include/Needs directives is parsed once per install run.
namespace Transvia {

class InfCache {
public:
    virtual ~InfCache() = default;
    virtual const std::shared_ptr<Common::i_dir>& GetDirectory() const = 0;
    // The name under which `inf` is cached; null for an Inf parsed outside this cache.
    virtual const char16_t* GetInfName(const Inf* inf) const = 0;
    // The Inf of this file of the folder, parsed on first request and owned by the cache.
    // Null (and a level-4 report to the cache's logger) when the file cannot be opened or
    // parsed; a failure is not remembered, so a later call tries again.
    virtual Inf* OpenInf(const char16_t* name) = 0;
};

class InfCacheImpl final : public InfCache {
public:
    InfCacheImpl(std::shared_ptr<Common::i_dir> directory, uint32_t flags, Logger& logger);

    const std::shared_ptr<Common::i_dir>& GetDirectory() const override { return directory_; }
    const char16_t* GetInfName(const Inf* inf) const override;
    Inf* OpenInf(const char16_t* name) override;

private:
    // File names compare as on NTFS: ICU case folding.
    struct NameLess {
        bool operator()(const std::u16string& a, const std::u16string& b) const;
    };

    std::shared_ptr<Common::i_dir> directory_;
    std::map<std::u16string, std::unique_ptr<Inf>, NameLess> infs_;
    uint32_t flags_;
    Logger& logger_;
};

// Null without a directory. Keeps its own reference to the folder ("." beneath
// `directory`) and throws the folder's error when that cannot be opened. `logger` must
// outlive the cache.
std::unique_ptr<InfCache> CreateInfCache(const std::shared_ptr<Common::i_dir>& directory, bool checksum,
                                         Logger& logger);

}  // namespace Transvia
