#include "install/inf_matching.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <limits>
#include <optional>

#include "support/text.h"

namespace Transvia {

namespace {

// A decimal number of an INF text; nothing for an empty text or any other character.
// Values past 32 bits saturate: they still compare above every real version number.
std::optional<uint32_t> Decimal(std::u16string_view text)
{
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - u'0');
        if (value > std::numeric_limits<uint32_t>::max()) value = std::numeric_limits<uint32_t>::max();
    }
    return static_cast<uint32_t>(value);
}

std::vector<std::u16string_view> Split(std::u16string_view text, char16_t separator)
{
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start));
        if (end == std::u16string_view::npos) return parts;
        start = end + 1;
    }
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && Processor::EqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::u16string_view View(const char16_t* text) { return text ? std::u16string_view(text) : std::u16string_view(); }

SectionEntry* DriverVerEntry(Inf& inf)
{
    Section* version = inf.FindSection(u"Version");
    return version ? version->FindEntry(u"DriverVer") : nullptr;
}

// Month, day, year of a DriverVer date; nothing when unreadable.
std::optional<std::vector<uint32_t>> DriverDate(SectionEntry& entry)
{
    const auto parts = Split(View(entry.GetField(0)), u'/');
    if (parts.size() > 3) return std::nullopt;
    std::vector<uint32_t> date(3, 0);
    for (size_t i = 0; i < parts.size(); ++i) {
        const auto number = Decimal(parts[i]);
        if (!number) return std::nullopt;
        date[i] = *number;
    }
    return date;
}

std::optional<std::vector<uint32_t>> DriverVersion(SectionEntry& entry)
{
    const char16_t* field = entry.GetField(1);
    if (field == nullptr) return std::nullopt;
    std::vector<uint32_t> numbers;
    for (auto part : Split(field, u'.')) {
        const auto number = Decimal(part);
        if (!number) return std::nullopt;
        numbers.push_back(*number);
    }
    return numbers;
}

template <typename T>
int Order(const T& a, const T& b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

DecoratedSection SelectDecoratedSection(Inf& inf, const char16_t* base, DecorationMode mode, uint32_t platform,
                                        TargetVersion version)
{
    const std::u16string_view baseName = View(base);
    const std::u16string_view decoration = InfPlatform::Decoration(platform);
    bool ntDecorated = false;
    // Accepted sections by component count; a later one of the same count replaces the earlier.
    std::map<size_t, Section*> accepted;
    std::optional<TargetVersion> newestVersioned;
    if (baseName.empty()) return {};

    const uint32_t count = inf.GetSectionCount();
    for (uint32_t index = 0; index < count; ++index) {
        Section* section = inf.GetSection(static_cast<int32_t>(index));
        if (section == nullptr) continue;
        const std::u16string_view name = View(section->GetName());
        if (!StartsWithNoCase(name, baseName)) continue;
        std::vector<std::u16string_view> components{baseName};
        if (name.size() > baseName.size()) {
            if (name[baseName.size()] != u'.') continue;
            for (auto piece : Split(name.substr(baseName.size() + 1), u'.')) components.push_back(piece);
        }
        if (components.size() >= 2) {
            const std::u16string_view os = components[1];
            if (mode == DecorationMode::kInstall && StartsWithNoCase(os, u"nt")) ntDecorated = true;
            const bool full = !decoration.empty() && Processor::EqualNoCase(os, decoration);
            const bool plain = !decoration.empty() && mode != DecorationMode::kModelsStrict &&
                               Processor::EqualNoCase(os, u"nt");
            if (!full && !plain) continue;
        }
        if (components.size() >= 3) {
            TargetVersion sectionVersion;
            const auto major = components[2].empty() ? std::optional<uint32_t>(0) : Decimal(components[2]);
            if (!major) continue;
            sectionVersion.major = *major;
            if (components.size() >= 4) {
                const auto minor = components[3].empty() ? std::optional<uint32_t>(0) : Decimal(components[3]);
                if (!minor) continue;
                sectionVersion.minor = *minor;
            }
            if (VersionBelow(version, sectionVersion)) continue;
            // A section for an older OS than one already chosen would undo that choice.
            if (newestVersioned && VersionBelow(sectionVersion, *newestVersioned)) continue;
            if (components.size() >= 4) newestVersioned = sectionVersion;
        }
        accepted[components.size()] = section;
    }

    auto found = accepted.lower_bound(4);
    if (found != accepted.end()) return {found->second, 0};
    if ((found = accepted.find(3)) != accepted.end()) return {found->second, 1};
    if ((found = accepted.find(2)) != accepted.end()) return {found->second, 2};
    if (mode == DecorationMode::kModelsStrict) return {};
    if (mode == DecorationMode::kInstall && ntDecorated) return {};
    if ((found = accepted.find(1)) != accepted.end()) return {found->second, 3};
    return {};
}

int CompareDriverVer(Inf& a, Inf& b)
{
    SectionEntry* entryA = DriverVerEntry(a);
    SectionEntry* entryB = DriverVerEntry(b);
    if (!entryA || !entryB) return entryA ? 1 : (entryB ? -1 : 0);
    const auto dateA = DriverDate(*entryA);
    const auto dateB = DriverDate(*entryB);
    if (!dateA || !dateB) return dateA ? 1 : (dateB ? -1 : 0);
    // Year, then month, then day.
    for (size_t part : {2, 0, 1})
        if (int order = Order((*dateA)[part], (*dateB)[part])) return order;
    const auto versionA = DriverVersion(*entryA);
    const auto versionB = DriverVersion(*entryB);
    if (!versionA || !versionB) return 0;
    for (size_t i = 0; i < versionA->size() && i < versionB->size(); ++i)
        if (int order = Order((*versionA)[i], (*versionB)[i])) return order;
    return 0;
}

namespace {

// `text` with full case folding, as u_strcasecmp compares: two texts compare equal there
// exactly when their folded forms are equal. Empty when folding fails (or for no text):
// the caller then compares with u_strcasecmp itself.
void FullFold(const char16_t* text, int32_t length, std::u16string& folded)
{
    if (length < 0) length = u_strlen(text);
    folded.resize(static_cast<size_t>(length) * 3 + 1);  // folding makes a unit at most three
    UErrorCode status = U_ZERO_ERROR;
    const int32_t size = u_strFoldCase(folded.data(), static_cast<int32_t>(folded.size()), text, length,
                                       U_FOLD_CASE_DEFAULT, &status);
    folded.resize(U_SUCCESS(status) ? static_cast<size_t>(size) : 0);
}

// Whether `id`, `length` ASCII units, equals the folded text `folded`: full case folding
// turns ASCII into its lower case and nothing else, so `id` needs no folding of its own.
bool AsciiEqualsFolded(const char16_t* id, size_t length, const std::u16string& folded)
{
    if (folded.size() != length) return false;
    for (size_t k = 0; k < length; ++k)
        if (Processor::AsciiLowerCase(id[k]) != folded[k]) return false;
    return true;
}

}  // namespace

CandidateStore::CandidateStore(DeviceIds ids) : identifiers(std::move(ids))
{
    for (const std::string& id : identifiers) {
        Processor::String wide;
        for (unsigned char c : id) wide.append(static_cast<char16_t>(c));
        wideIdentifiers.push_back(wide);
        std::u16string folded;
        FullFold(wide.getBuffer(), wide.length(), folded);
        foldedIdentifiers.push_back(std::move(folded));
    }
}

bool CandidateStore::Preferred(uint32_t rank) const
{
    auto section = sectionByRank.find(rank);
    if (section == sectionByRank.end()) return false;
    auto flag = preferredByInf.find(section->second->GetInf());
    return flag != preferredByInf.end() && flag->second;
}

std::vector<uint32_t> CandidateStore::TryOrder() const
{
    std::vector<uint32_t> order;
    for (bool preferredGroup : {true, false})
        for (const auto& [rank, section] : sectionByRank)
            if (Preferred(rank) == preferredGroup) order.push_back(rank);
    return order;
}

namespace {

// Stores one match of identifier field `f` with the device identifier `i` unless the
// store already holds a better candidate of that rank; `chosen` yields the install section.
template <typename Chosen>
bool Record(Inf& inf, CandidateStore& store, bool preferred, const DecoratedSection& models, SectionEntry& line,
            uint32_t f, uint32_t i, const Processor::String& manufacturer, Chosen&& chosen)
{
    const uint32_t n = static_cast<uint32_t>(store.wideIdentifiers.size());
    const uint32_t rank = models.level * n + (f >= 2 ? n : 0) + i;
    if (auto existing = store.sectionByRank.find(rank); existing != store.sectionByRank.end()) {
        const bool existingPreferred = store.Preferred(rank);
        const bool replace =
            preferred != existingPreferred ? preferred : CompareDriverVer(inf, *existing->second->GetInf()) > 0;
        if (!replace) return false;
    }
    Section* install = chosen();
    if (install == nullptr) return false;
    Processor::String description;
    if (const char16_t* key = line.GetKey(); key && key[0])
        if (const char16_t* expanded = inf.ExpandString(key, nullptr)) description = Processor::String(expanded);
    store.sectionByRank[rank] = install;
    store.namesByRank[rank] = {manufacturer, description};
    store.modelsByRank[rank] = models.section;
    store.levelByRank[rank] = models.level;
    store.preferredByInf[&inf] = preferred;
    return true;
}

}  // namespace

std::vector<bool> MatchInf(Inf& inf, const std::vector<CandidateStore*>& stores, bool preferred,
                           const MatchSettings& settings)
{
    std::vector<bool> matched(stores.size(), false);
    if (Section* version = inf.FindSection(u"Version")) {
        SectionEntry* signature = version->FindEntry(u"signature");
        if (signature && Processor::EqualNoCase(View(signature->GetField(0)), u"$Windows 95$")) return matched;
    }
    Section* manufacturers = inf.FindSection(u"Manufacturer");
    if (manufacturers == nullptr || manufacturers->GetEntryCount() == 0) return matched;

    const DecorationMode modelsMode = settings.platform == InfPlatform::kX86 ? DecorationMode::kModelsLoose : DecorationMode::kModelsStrict;
    const std::u16string decoration = std::u16string(u".") + InfPlatform::Decoration(settings.platform);
    std::u16string folded;

    // Sections are looked up once per models line and each identifier is compared with
    // every device there: the scan matches each INF against all devices in one pass.
    const uint32_t manufacturerCount = manufacturers->GetEntryCount();
    for (uint32_t m = 0; m < manufacturerCount; ++m) {
        SectionEntry* entry = manufacturers->GetEntry(static_cast<int32_t>(m));
        if (entry == nullptr || entry->GetFieldCount() == 0) continue;
        Processor::String manufacturer;
        if (View(entry->GetKey()).empty()) manufacturer = Processor::String(entry->GetField(0));
        else if (const char16_t* expanded = inf.ExpandString(entry->GetKey(), nullptr)) manufacturer = Processor::String(expanded);

        DecoratedSection models;
        if (settings.platform == 0) models.section = inf.FindSection(entry->GetField(0));
        else models = SelectDecoratedSection(inf, entry->GetField(0), modelsMode, settings.platform, settings.version);
        if (models.section == nullptr) continue;

        const uint32_t lineCount = models.section->GetEntryCount();
        for (uint32_t l = 0; l < lineCount; ++l) {
            SectionEntry* line = models.section->GetEntry(static_cast<int32_t>(l));
            if (line == nullptr || line->GetFieldCount() < 2) continue;
            const char16_t* const install = line->GetField(0);
            // Whether the install section exists, asked at the line's first match: a line
            // that matches no device needs no section lookups.
            std::optional<bool> installExists;
            auto exists = [&] {
                if (!installExists) {
                    const std::u16string name(View(install));
                    installExists = inf.FindSection(name.c_str()) || inf.FindSection((name + u".nt").c_str()) ||
                                    (decoration != u"." && inf.FindSection((name + decoration).c_str()));
                }
                return *installExists;
            };
            std::optional<Section*> chosen;  // the install section, chosen at the line's first match
            auto choose = [&] {
                if (!chosen)
                    chosen = SelectDecoratedSection(inf, install, DecorationMode::kInstall, settings.platform,
                                                    settings.version).section;
                return *chosen;
            };
            for (uint32_t f = 1; f < line->GetFieldCount(); ++f) {
                const char16_t* id = line->GetField(static_cast<int32_t>(f));
                if (id == nullptr) continue;
                // An ASCII identifier folds to its lower case, so it is compared with the
                // devices' folded identifiers as it is; any other is folded once here.
                size_t length = 0;
                char16_t units = 0;
                for (; id[length] != u'\0'; ++length) units |= id[length];
                const bool ascii = units < 0x80;
                if (!ascii) FullFold(id, static_cast<int32_t>(length), folded);
                for (size_t s = 0; s < stores.size(); ++s) {
                    CandidateStore& store = *stores[s];
                    const uint32_t n = static_cast<uint32_t>(store.wideIdentifiers.size());
                    for (uint32_t i = 0; i < n; ++i) {
                        const std::u16string& device = store.foldedIdentifiers[i];
                        bool equal;
                        if (device.empty() || (!ascii && folded.empty()))
                            equal = u_strcasecmp(id, store.wideIdentifiers[i].getTerminatedBuffer(), U_FOLD_CASE_DEFAULT) == 0;
                        else if (ascii)
                            equal = AsciiEqualsFolded(id, length, device);
                        else
                            equal = folded == device;
                        if (!equal) continue;
                        if (!exists()) break;  // the line is dropped: later matches get the same answer
                        if (Record(inf, store, preferred, models, *line, f, i, manufacturer, choose)) matched[s] = true;
                    }
                }
            }
        }
    }
    return matched;
}

bool MatchInf(Inf& inf, CandidateStore& store, bool preferred, const MatchSettings& settings)
{
    return MatchInf(inf, std::vector<CandidateStore*>{&store}, preferred, settings)[0];
}

}  // namespace Transvia
