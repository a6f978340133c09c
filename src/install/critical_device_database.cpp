#include "install/critical_device_database.h"

#include "inf/inf.h"
#include "registry/windows_registry.h"
#include "support/errors.h"
#include "support/message_format.h"
#include "support/text.h"
#include "support/trace.h"
#include "support/trace_levels.h"
#include "support/message_table.h"
#include "transvia/codes.h"

namespace Transvia {

// Texts from the message table, by number.
using Common::MessageTable::Get;
namespace Messages = Common::Messages;

using Processor::String;

namespace {

using namespace Common::TraceLevel;

// Only the first six identifiers are looked at: the primary entry goes to the sixth (or
// the last one, when fewer), which is the shortest form Windows matches boot devices by.
constexpr size_t kPrimaryIndex = 5;
constexpr size_t kSecondaryCount = 5;

bool HasCriticalDeviceDatabase(const TargetVersion& version)
{
    return version.major == 5 || (version.major == 6 && version.minor < 2);
}

bool WriteEntry(RegistryKey& key, const String& classGuid, const String& service)
{
    return key.SetString(u"ClassGUID", classGuid, false) && key.SetString(u"Service", service, false);
}

Common::Error Failed(uint64_t site, const char16_t* pattern, std::initializer_list<Processor::Variant> arguments)
{
    return Common::MakeError(Common::Codes::kRegistryOperationFailed, site, Processor::Format(pattern, arguments));
}

}  // namespace

String CriticalDeviceKeyName(const std::string& id)
{
    // Identifiers are compared with INF text byte by byte widened, so the key is made alike.
    String name;
    for (const char c : id)
        name.append(c == '\\' ? u'#' : static_cast<char16_t>(static_cast<unsigned char>(c)));
    return name;
}

Common::Error UpdateCriticalDeviceDatabase(const TargetVersion& version, Common::Error& result, const DeviceIds& ids,
                                           WindowsRegistry& registry, Inf& inf, const String& service,
                                           const Utils::EventNotifier<OperationsProgress>* observers)
{
    result = Common::Error();
    if (!HasCriticalDeviceDatabase(version) || ids.empty())
        return result;
    if (observers)
        observers->Notify([](OperationsProgress& observer) { observer.OperationStarted(u"Install to critical database"); });
    Common::Trace(kDetail, u"Update critical device database.");

    RegistryKey* current = registry.CurrentControlSet();
    std::unique_ptr<RegistryKey> database = current ? current->CreateKey(u"control\\CriticalDeviceDatabase") : nullptr;
    if (!database) {
        result = Failed(TV_HERE, Get(Messages::kCriticalKeyNotOpened),
                        {String(u"CriticalDeviceDatabase"), String(u"CurrentControlSet")});
        return result;
    }
    const char16_t* guidText = inf.GetClassGuid();
    const String classGuid(guidText ? guidText : u"");

    size_t index = ids.size() > kPrimaryIndex ? kPrimaryIndex : ids.size() - 1;
    while (index > 0 && ids[index].empty())
        --index;
    const String primaryName = CriticalDeviceKeyName(ids[index]);
    // An empty name would address the database key itself.
    std::unique_ptr<RegistryKey> primary = primaryName.isEmpty() ? nullptr : database->CreateKey(primaryName);
    if (!primary) {
        result = Failed(TV_HERE, Get(Messages::kCriticalKeyNotCreated), {primaryName});
        Common::TraceError(kFailure, result);
        return result;
    }
    if (!WriteEntry(*primary, classGuid, service)) {
        result = Failed(TV_HERE, Get(Messages::kCriticalValuesNotWritten),
                        {String(u"ClassGUID"), String(u"Service"), primaryName});
        return result;
    }
    primary.reset();

    for (size_t i = 0; i < kSecondaryCount && i < ids.size(); ++i) {
        const String name = CriticalDeviceKeyName(ids[i]);
        std::unique_ptr<RegistryKey> secondary = name.isEmpty() ? nullptr : database->CreateKey(name);
        if (!secondary)
            continue;
        if (!WriteEntry(*secondary, classGuid, service))
            Common::Trace(kWarning, Get(Messages::kCriticalEntryNotWritten), {name});
        break;
    }
    return result;
}

}  // namespace Transvia
