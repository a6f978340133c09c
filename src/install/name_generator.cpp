#include "install/name_generator.h"

#include "support/errors.h"
#include "support/message_format.h"
#include "support/message_table.h"

namespace Transvia {

using Processor::String;

bool FileNameDirectory::Contains(const String& name) const { return folder_.exists(name); }

Common::Error FormatWithNumberNameGenerator::Generate(const String& proposed, String& out)
{
    const Processor::Variant number(numbers_->Next());
    out = Processor::Formatter().format(proposed, &number, 1);
    return Common::Error();
}

Common::Error SubstitutingNameGenerator::Generate(const String&, String& out)
{
    return inner_->Generate(pattern_, out);
}

Common::Error UniqueNameGenerator::Generate(const String& proposed, String& out)
{
    for (uint32_t attempt = 0; attempt < limit_; ++attempt) {
        String candidate;
        Common::Error error = inner_->Generate(proposed, candidate);
        if (!error.empty()) return error;
        if (!directory_->Contains(candidate)) {
            out = candidate;
            return Common::Error();
        }
    }
    return Common::MakeError(Common::Codes::kUniqueNamesExhausted, TV_HERE,
                             Common::MessageTable::Text(Common::Messages::kNoFreeName, {proposed}));
}

Common::Error SkipExistingEligibleNameGenerator::Generate(const String& proposed, String& out)
{
    if (!directory_->Contains(proposed)) {
        out = proposed;
        return Common::Error();
    }
    return inner_->Generate(proposed, out);
}

std::unique_ptr<NameGenerator> CreateOemInfNameGenerator(const Common::i_dir& infFolder)
{
    auto numbered = std::make_unique<FormatWithNumberNameGenerator>(std::make_unique<IncrementingNumberIterator>());
    auto oem = std::make_unique<SubstitutingNameGenerator>(std::move(numbered), u"oem{0}.inf");
    auto unique = std::make_unique<UniqueNameGenerator>(std::move(oem), std::make_unique<FileNameDirectory>(infFolder),
                                                        kOemInfNameLimit);
    return std::make_unique<SkipExistingEligibleNameGenerator>(std::move(unique),
                                                               std::make_unique<FileNameDirectory>(infFolder));
}

}  // namespace Transvia
