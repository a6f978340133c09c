#include "support/subformats.h"

#include <unicode/brkiter.h>
#include <unicode/datefmt.h>
#include <unicode/decimfmt.h>
#include <unicode/numfmt.h>
#include <unicode/plurrule.h>
#include <unicode/timezone.h>

#include <cmath>
#include <map>
#include <memory>
#include <string>

#include "support/text.h"

namespace Processor {

namespace {

const char16_t kDigits[] = u"0123456789ABCDEF";

int32_t Done(const String& output) { return output.length(); }

// Reads a leading decimal number of a style field (no digits give -1).
int64_t StyleNumber(const String& style)
{
    String text(style);
    text.trim();
    int64_t value = -1;
    for (int32_t i = 0; i < text.length(); ++i) {
        const char16_t c = text.charAt(i);
        if (c < u'0' || c > u'9') break;
        value = (value < 0 ? 0 : value) * 10 + (c - u'0');
        if (value > 1000000000) break;
    }
    return value;
}

void AppendRadix(String& output, uint64_t value, unsigned radix)
{
    char16_t buffer[64];
    int n = 0;
    do {
        buffer[n++] = kDigits[value % radix];
        value /= radix;
    } while (value != 0);
    while (n > 0) output.append(buffer[--n]);
}

// Integral arguments as the unsigned bit pattern of their own width, for radix output.
bool AsBits(const Variant& argument, uint64_t& bits)
{
    if (auto v = argument.get<int32_t>()) { bits = static_cast<uint32_t>(*v); return true; }
    if (auto v = argument.get<uint32_t>()) { bits = *v; return true; }
    if (auto v = argument.get<int64_t>()) { bits = static_cast<uint64_t>(*v); return true; }
    if (auto v = argument.get<uint64_t>()) { bits = *v; return true; }
    if (auto v = argument.get<bool>()) { bits = *v ? 1 : 0; return true; }
    if (auto v = argument.get<double>()) {
        if (!(*v >= 0 && *v < 1.8e19)) return false;
        bits = static_cast<uint64_t>(*v);
        return true;
    }
    return false;
}

bool IsNumber(const Variant& argument)
{
    switch (argument.type()) {
    case Variant::TDouble: case Variant::TLong: case Variant::TULong: case Variant::TLong64: case Variant::TULong64:
        return true;
    default:
        return false;
    }
}

// Formats a numeric argument with an ICU number format; false when ICU refuses.
bool AppendWith(const icu::NumberFormat& format, const Variant& argument, String& output)
{
    UErrorCode status = U_ZERO_ERROR;
    String text;
    if (auto v = argument.get<double>()) {
        format.format(*v, text);
    } else if (auto v = argument.get<uint64_t>()) {
        const std::string decimal = std::to_string(*v);
        format.format(icu::StringPiece(decimal.c_str()), text, nullptr, status);
    } else {
        int64_t i = 0;
        if (!argument.AsInt64(i)) return false;
        format.format(static_cast<int64_t>(i), text);
    }
    if (U_FAILURE(status)) return false;
    output.append(text);
    return true;
}

// The locale's own number format, for texts meant for a person. Rebuilt when the
// default locale changes.
const icu::NumberFormat* LocaleNumberFormat()
{
    thread_local std::string localeName;
    thread_local std::unique_ptr<icu::NumberFormat> format;
    const icu::Locale& locale = icu::Locale::getDefault();
    if (!format || localeName != locale.getName()) {
        UErrorCode status = U_ZERO_ERROR;
        format.reset(icu::NumberFormat::createInstance(locale, status));
        if (U_FAILURE(status)) format.reset();
        localeName = locale.getName();
    }
    return format.get();
}

// Patterns of the "integer" style name keys and files (ControlSet001): ASCII digits from
// ICU's root symbols and no grouping, whatever the locale.
const icu::DecimalFormat* PatternFormat(const String& pattern)
{
    thread_local std::map<String, std::unique_ptr<icu::DecimalFormat>> cache;
    auto it = cache.find(pattern);
    if (it != cache.end()) return it->second.get();
    UErrorCode status = U_ZERO_ERROR;
    auto* symbols = new icu::DecimalFormatSymbols(icu::Locale::getRoot(), status);
    std::unique_ptr<icu::DecimalFormat> format;
    if (U_SUCCESS(status)) format = std::make_unique<icu::DecimalFormat>(pattern.isEmpty() ? String(u"0") : pattern,
                                                                       symbols, status);  // adopts `symbols`
    else delete symbols;
    if (U_FAILURE(status)) {
        format.reset();
    } else {
        format->setGroupingUsed(false);
        format->setMaximumFractionDigits(0);
    }
    if (cache.size() > 64) cache.clear();  // patterns come from our own texts; keep it bounded anyway
    return cache.emplace(pattern, std::move(format)).first->second.get();
}

// Decimal ASCII digits, a '-' for negative values, no grouping.
bool AppendPlainInteger(const Variant& argument, String& output)
{
    int64_t signedValue;
    uint64_t bits;
    if (argument.get<uint64_t>() == nullptr && argument.AsInt64(signedValue) && signedValue < 0) {
        output.append(u'-');
        AppendRadix(output, static_cast<uint64_t>(-(signedValue + 1)) + 1, 10);
        return true;
    }
    if (!AsBits(argument, bits)) return false;
    AppendRadix(output, bits, 10);
    return true;
}

void AppendLocaleNumber(const Variant& argument, String& output)
{
    const icu::NumberFormat* format = LocaleNumberFormat();
    if (format != nullptr && AppendWith(*format, argument, output)) return;
    if (!AppendPlainInteger(argument, output)) output.append(u"<unknown>");
}

// OLE automation dates count days from 1899-12-30; ICU counts milliseconds from 1970.
bool ToUDate(const Variant& argument, UDate& date)
{
    double days;
    if (auto d = argument.get<Variant::Date>()) days = d->value;
    else if (auto v = argument.get<double>()) days = *v;
    else return false;
    if (!std::isfinite(days) || days < -657434.0 || days > 2958465.999) return false;  // years 100 to 9999
    date = (days - 25569.0) * 86400000.0;
    return true;
}

icu::DateFormat::EStyle DateStyle(const String& style)
{
    String s(style);
    s.trim();
    if (s == u"full") return icu::DateFormat::kFull;
    if (s == u"long") return icu::DateFormat::kLong;
    if (s == u"medium") return icu::DateFormat::kMedium;
    return icu::DateFormat::kShort;
}

void AppendDate(const Variant& argument, String& output, int kind, const String& style)
{
    UDate date;
    if (!ToUDate(argument, date)) {
        output.append(u"<invalid date>");
        return;
    }
    const icu::DateFormat::EStyle s = DateStyle(style);
    std::unique_ptr<icu::DateFormat> format(
        kind == SubformatDate::kDateOnly   ? icu::DateFormat::createDateInstance(s)
        : kind == SubformatDate::kTimeOnly ? icu::DateFormat::createTimeInstance(s)
                                           : icu::DateFormat::createDateTimeInstance(s, s));
    if (!format) {
        output.append(u"<invalid date>");
        return;
    }
    // Times of an offline target have no zone we could know: show them as UTC.
    format->adoptTimeZone(icu::TimeZone::createTimeZone(u"UTC"));
    format->format(date, output);
}

// Splits a style on '|' into alternatives.
std::vector<String> Alternatives(const String& style)
{
    std::vector<String> parts(1);
    for (int32_t i = 0; i < style.length(); ++i) {
        const char16_t c = style.charAt(i);
        if (c == u'|') parts.emplace_back();
        else parts.back().append(c);
    }
    return parts;
}

}  // namespace

int32_t SubformatSimple::format(const Variant& argument, String& output, const PlaceholderFields&) const
{
    switch (argument.type()) {
    case Variant::TDate:
        AppendDate(argument, output, SubformatDate::kDateAndTime, String());
        break;
    case Variant::TDouble:
        AppendLocaleNumber(argument, output);
        break;
    // Integers often end up in names ("oem{0}.inf"): plain digits in every locale.
    case Variant::TLong: case Variant::TULong: case Variant::TLong64: case Variant::TULong64:
        AppendPlainInteger(argument, output);
        break;
    case Variant::TString:
        output.append(*argument.get<String>());
        break;
    case Variant::TInterface: {
        const auto& object = *argument.get<Variant::Interface>();
        String name;
        if (object && object->NameString(name)) {
            output.append(name);
        } else if (object && !object->TypeName().isEmpty()) {
            output.append(u'<').append(object->TypeName()).append(u'>');
        } else {
            output.append(u"<unknown interface>");
        }
        break;
    }
    case Variant::TBinary:
        output.append(u"<binary data>");
        break;
    case Variant::TIdentifier:
        output.append(argument.get<Variant::Identifier>()->text);
        break;
    case Variant::TBool:
        output.append(*argument.get<bool>() ? u"true" : u"false");
        break;
    case Variant::TError:
        output.append(ErrorOwnText(*argument.get<Common::Error>()));
        break;
    case Variant::TEmpty:
        output.append(u"<void>");
        break;
    default:
        output.append(u"<unknown>");
    }
    return Done(output);
}

int32_t SubformatNumber::format(const Variant& argument, String& output, const PlaceholderFields& fields) const
{
    if (!IsNumber(argument) && argument.type() != Variant::TBool) {
        output.append(u"<unknown>");
        return Done(output);
    }
    uint64_t bits;
    if (fields.style == u"hex") {
        if (AsBits(argument, bits)) AppendRadix(output, bits, 16);
        else output.append(u"<unknown>");
    } else if (fields.style == u"simple") {
        if (!AppendPlainInteger(argument, output)) output.append(u"<unknown>");
    } else if (fields.style == u"integer") {
        const icu::DecimalFormat* format = PatternFormat(fields.extra);
        if ((format == nullptr || !AppendWith(*format, argument, output)) && !AppendPlainInteger(argument, output))
            output.append(u"<unknown>");
    } else {
        AppendLocaleNumber(argument, output);
    }
    return Done(output);
}

int32_t SubformatDate::format(const Variant& argument, String& output, const PlaceholderFields& fields) const
{
    AppendDate(argument, output, kind_, fields.style);
    return Done(output);
}

int32_t SubformatChoice::format(const Variant& argument, String& output, const PlaceholderFields& fields) const
{
    double value;
    if (!argument.AsDouble(value)) {
        output.append(u"<unknown>");
        return Done(output);
    }
    // "limit#text": value >= limit; "limit<text": value > limit; U+2264 reads as '#'.
    // Limits ascend: the last alternative whose condition holds wins, else the first.
    bool haveChoice = false;
    String chosen;
    for (const String& alternative : Alternatives(fields.style)) {
        int32_t op = -1;
        for (int32_t i = 0; i < alternative.length() && op < 0; ++i) {
            const char16_t c = alternative.charAt(i);
            if (c == u'#' || c == u'<' || c == 0x2264) op = i;
        }
        if (op < 0) continue;
        String limitText(alternative, 0, op);
        limitText.trim();
        double limit;
        if (limitText == u"\u221E") limit = INFINITY;
        else if (limitText == u"-\u221E") limit = -INFINITY;
        else limit = std::strtod(ToUtf8(limitText).c_str(), nullptr);
        const bool matches = alternative.charAt(op) == u'<' ? value > limit : value >= limit;
        if (matches || !haveChoice) chosen = String(alternative, op + 1);
        haveChoice = true;
    }
    output.append(chosen);
    return Done(output);
}

int32_t SubformatConcord::format(const Variant& argument, String& output, const PlaceholderFields& fields) const
{
    double value;
    const std::vector<String> forms = Alternatives(fields.style);
    if (!argument.AsDouble(value)) {
        output.append(u"<unknown>");
        return Done(output);
    }
    // "one:file|other:files" picks by the locale's plural rules; "file|files" by one/other.
    bool keyed = true;
    for (const String& form : forms) keyed = keyed && form.indexOf(u':') > 0;
    if (keyed) {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::PluralRules> rules(icu::PluralRules::forLocale(icu::Locale::getDefault(), status));
        const String keyword = U_SUCCESS(status) ? rules->select(value) : String(u"other");
        const String* other = nullptr;
        for (const String& form : forms) {
            const int32_t colon = form.indexOf(u':');
            const String key(form, 0, colon);
            if (key == keyword) {
                output.append(form, colon + 1, INT32_MAX);
                return Done(output);
            }
            if (key == u"other") other = &form;
        }
        if (other != nullptr) output.append(*other, other->indexOf(u':') + 1, INT32_MAX);
        return Done(output);
    }
    output.append(value == 1.0 || forms.size() < 2 ? forms.front() : forms[1]);
    return Done(output);
}

int32_t SubformatError::format(const Variant& argument, String& output, const PlaceholderFields&) const
{
    if (auto error = argument.get<Common::Error>()) output.append(RenderError(*error));
    else output.append(u"<unknown>");
    return Done(output);
}

int32_t SubformatSize::format(const Variant& argument, String& output, const PlaceholderFields&) const
{
    double value;
    if (!argument.AsDouble(value) || !(value >= 0) || !std::isfinite(value)) {
        output.append(u"<unknown>");
        return Done(output);
    }
    static const char16_t* const units[] = {u"bytes", u"KB", u"MB", u"GB", u"TB"};
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    if (unit == 0) {
        AppendRadix(output, static_cast<uint64_t>(value), 10);
    } else {
        const uint64_t tenths = static_cast<uint64_t>(value * 10.0 + 0.5);
        AppendRadix(output, tenths / 10, 10);
        output.append(u'.');
        AppendRadix(output, tenths % 10, 10);
    }
    output.append(u' ').append(units[unit]);
    return Done(output);
}

int32_t SubformatEllipsis::format(const Variant& argument, String& output, const PlaceholderFields& fields) const
{
    const String* text = argument.get<String>();
    if (text == nullptr) {
        output.append(u"<unknown>");
        return Done(output);
    }
    const int64_t limit = StyleNumber(fields.style);
    if (limit < 4 || text->length() <= limit) {
        output.append(*text);
        return Done(output);
    }
    const int32_t keep = static_cast<int32_t>(limit - 3);
    int32_t cut = 0;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> words(icu::BreakIterator::createWordInstance(icu::Locale::getDefault(), status));
    if (U_SUCCESS(status) && words) {
        words->setText(*text);
        const int32_t boundary = words->preceding(keep + 1);
        if (boundary != icu::BreakIterator::DONE) cut = boundary;
    }
    if (cut <= 0) cut = keep;  // no word boundary fits
    output.append(*text, 0, cut).append(u"...");
    return Done(output);
}

int32_t SubformatPathEllipsis::format(const Variant& argument, String& output, const PlaceholderFields& fields) const
{
    const String* path = argument.get<String>();
    if (path == nullptr) {
        output.append(u"<unknown>");
        return Done(output);
    }
    const int64_t limit = StyleNumber(fields.style);
    if (limit < 4 || path->length() <= limit) {
        output.append(*path);
        return Done(output);
    }
    // Keep the first component (the drive or root) and as much of the end as fits.
    int32_t head = 0;
    for (int32_t i = 0; i < path->length(); ++i) {
        if (path->charAt(i) == u'\\' || path->charAt(i) == u'/') {
            head = i + 1;
            break;
        }
    }
    if (head + 3 >= limit) head = 0;
    const int32_t tail = static_cast<int32_t>(limit) - 3 - head;
    output.append(*path, 0, head).append(u"...").append(*path, path->length() - tail, tail);
    return Done(output);
}

int32_t SubformatTimeSpan::format(const Variant& argument, String& output, const PlaceholderFields&) const
{
    double seconds;
    if (!argument.AsDouble(seconds) || argument.type() == Variant::TDate || !std::isfinite(seconds) || seconds < 0 ||
        seconds > 1e12) {
        output.append(u"<invalid time span>");
        return Done(output);
    }
    uint64_t total = static_cast<uint64_t>(seconds);
    const uint64_t days = total / 86400;
    total %= 86400;
    if (days > 0) {
        AppendRadix(output, days, 10);
        output.append(u" d ");
    }
    AppendRadix(output, total / 3600, 10);
    for (uint64_t part : {(total / 60) % 60, total % 60}) {
        output.append(u':');
        if (part < 10) output.append(u'0');
        AppendRadix(output, part, 10);
    }
    return Done(output);
}

}  // namespace Processor
