#include "inf/configuration.h"

#include <cstdlib>
#include <filesystem>

#include "support/errors.h"
#include "support/local_dir.h"
#include "support/message_table.h"
#include "support/module_folder.h"
#include "support/parse_number.h"
#include "support/text.h"
#include "support/trace.h"

namespace Transvia {

using Common::MessageTable::Get;
namespace Messages = Common::Messages;

std::optional<Processor::String> Configuration::GetString(const char16_t* name) const
{
    if (inf_ == nullptr || name == nullptr) return std::nullopt;
    Section* settings = inf_->FindSection(u"Settings");
    SectionEntry* line = settings != nullptr ? settings->FindEntry(name) : nullptr;
    const char16_t* value = line != nullptr ? line->GetField(0) : nullptr;
    if (value == nullptr || value[0] == u'\0') return std::nullopt;
    return Processor::String(value);
}

std::optional<uint64_t> Configuration::GetNumber(const char16_t* name) const
{
    const std::optional<Processor::String> text = GetString(name);
    if (!text) return std::nullopt;
    uint64_t value = 0;
    if (!Processor::ParseNumber(*text, value)) {
        Common::Trace(3, Get(Messages::kSettingNotNumber), {name, *text});
        return std::nullopt;
    }
    return value;
}

Common::HiveLogPolicy HiveLogPolicyFrom(const Configuration& configuration)
{
    Common::HiveLogPolicy policy;
    policy.strict = configuration.GetNumber(Settings::kStrictLogReplay).value_or(0) != 0;
    return policy;
}

std::shared_ptr<Common::i_file> OpenShippedFile(const std::string& path, Common::Error& error)
{
    const std::filesystem::path host(path);
    std::string folder = Common::ModuleFolder();
    Processor::String name = Processor::FromUtf8(path);
    if (host.is_absolute()) {
        folder = host.parent_path().string();
        name = Processor::FromUtf8(host.filename().string());
    }
    std::shared_ptr<Common::rio_dir> directory = Common::OpenLocalDir(folder, error);
    if (directory == nullptr) return nullptr;
    std::shared_ptr<Common::i_file> file = directory->open_file(name);
    if (file == nullptr) error = directory->last_error();
    return file;
}

Configuration LoadConfigurationFile(const std::string& path)
{
    Common::Error error;
    std::shared_ptr<Common::i_file> file = OpenShippedFile(path, error);
    if (file == nullptr) return Configuration();
    ParseError parse;
    std::unique_ptr<Inf> inf = ParseInf(*file, nullptr, &parse, 0);
    if (inf == nullptr) {
        Common::Trace(4, Get(Messages::kConfigurationUnreadable),
                      {Processor::FromUtf8(path), parse.line});
        return Configuration();
    }
    return Configuration(std::move(inf));
}

Configuration LoadConfiguration()
{
    const char* named = std::getenv(kConfigurationVariable);
    if (named != nullptr && named[0] != '\0') {
        Common::Trace(1, Get(Messages::kConfigurationFile), {Processor::FromUtf8(named)});
        return LoadConfigurationFile(named);
    }
    return LoadConfigurationFile(kConfigurationFileName);
}

}  // namespace Transvia
