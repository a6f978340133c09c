#include "inf/inf_cache.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include "support/errors.h"
#include "support/trace.h"

namespace Transvia {

bool InfCacheImpl::NameLess::operator()(const std::u16string& a, const std::u16string& b) const
{
    UErrorCode status = U_ZERO_ERROR;
    return u_strCaseCompare(a.data(), static_cast<int32_t>(a.size()), b.data(), static_cast<int32_t>(b.size()),
                            U_FOLD_CASE_DEFAULT, &status) < 0;
}

InfCacheImpl::InfCacheImpl(std::shared_ptr<Common::i_dir> directory, uint32_t flags, Logger& logger)
    : directory_(std::move(directory)), flags_(flags), logger_(logger)
{
}

const char16_t* InfCacheImpl::GetInfName(const Inf* inf) const
{
    for (const auto& [name, cached] : infs_) {
        if (cached.get() == inf)
            return name.c_str();
    }
    return nullptr;
}

Inf* InfCacheImpl::OpenInf(const char16_t* name)
{
    if (name == nullptr || name[0] == u'\0')
        return nullptr;
    std::u16string key(name);
    if (auto found = infs_.find(key); found != infs_.end())
        return found->second.get();

    const Processor::String path(name);
    std::shared_ptr<Common::i_file> file = directory_->open_file(path);
    if (!file) {
        logger_.WriteError(static_cast<int32_t>(Common::EventLevel::Failure), directory_->last_error());
        return nullptr;
    }
    std::unique_ptr<Inf> inf = ParseInf(*file, nullptr, nullptr, flags_);
    file->close();
    if (!inf) {
        logger_.WriteFormat(static_cast<int32_t>(Common::EventLevel::Failure), Common::kTraceFacility, 0, nullptr,
                            u"OpenInf: Failed to parse '{0}'.", path);
        return nullptr;
    }
    Inf* result = inf.get();
    infs_.emplace(std::move(key), std::move(inf));
    return result;
}

std::unique_ptr<InfCache> CreateInfCache(const std::shared_ptr<Common::i_dir>& directory, bool checksum,
                                         Logger& logger)
{
    if (!directory)
        return nullptr;
    std::shared_ptr<Common::i_dir> own = directory->open_dir(u".");
    if (!own) {
        const Common::Error& error = directory->last_error();
        if (error.failed())
            Common::Raise(error);
        Common::Raise(Common::Codes::kInvalidArgument, TV_HERE, u"CreateInfCache");
    }
    return std::make_unique<InfCacheImpl>(std::move(own), checksum ? ComputeChecksum : 0u, logger);
}

}  // namespace Transvia
