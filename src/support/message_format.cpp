// The pattern formatter behind every log line, error text and generated name.
#include "support/message_format.h"

#include <mutex>

#include "support/message_table.h"
#include "support/subformats.h"

namespace Processor {

namespace {
constexpr char16_t kQuote = 0xF800;  // toggles quoting; never printed
// Nesting is unbounded in principle; a cap keeps a hostile pattern from exhausting the stack.
constexpr int kMaxNesting = 1000;
}

// One left-to-right pass over a pattern. Placeholders nest: a '{' inside a placeholder
// is formatted on the spot and its result becomes part of the enclosing field.
class MessageFormatImpl::Scanner {
public:
    Scanner(const MessageFormatImpl& format, const String& pattern, const Variant* arguments, size_t count)
        : format_(format), pattern_(pattern), arguments_(arguments), count_(count)
    {
    }

    void run(String& output)
    {
        String literal;  // field 0
        while (pos_ < pattern_.length()) {
            const char16_t c = pattern_.charAt(pos_++);
            if (c == kQuote) {
                quoted_ = !quoted_;
                continue;
            }
            if (!quoted_ && c == u'{') {
                String rendered;
                if (!placeholder(rendered)) break;  // an unterminated placeholder is dropped
                output.append(literal).append(rendered);
                literal.remove();
                continue;
            }
            literal.append(c);
        }
        output.append(literal);
    }

private:
    // Reads the placeholder whose '{' was just consumed; false when the pattern ends first.
    bool placeholder(String& rendered)
    {
        PlaceholderFields fields;
        String ignored;  // a fifth field and beyond
        String* slots[6] = {nullptr, &fields.index, &fields.type, &fields.style, &fields.extra, &ignored};
        int current = 1;
        while (pos_ < pattern_.length()) {
            const char16_t c = pattern_.charAt(pos_++);
            if (c == kQuote) {
                quoted_ = !quoted_;
                continue;
            }
            if (quoted_) {
                slots[current]->append(c);
                continue;
            }
            switch (c) {
            case u'{': {
                if (depth_ >= kMaxNesting) return false;
                String nested;
                ++depth_;
                const bool closed = placeholder(nested);
                --depth_;
                if (!closed) return false;
                slots[current]->append(nested);
                break;
            }
            case u',':
                // Four fields at most: what follows a fourth comma is dropped.
                if (current < 5) ++current;
                break;
            case u'}':
                complete(fields, current, rendered);
                return true;
            default:
                slots[current]->append(c);
            }
        }
        return false;
    }

    void complete(const PlaceholderFields& fields, int lastField, String& rendered) const
    {
        size_t index = 0;
        for (int32_t i = 0; i < fields.index.length(); ++i) {
            const char16_t c = fields.index.charAt(i);
            if (c < u'0' || c > u'9') break;
            index = index * 10 + (c - u'0');
            if (index > count_) break;  // already out of range; stop before it can overflow
        }
        if (index >= count_) {
            rendered.append(u'{').append(fields.index).append(u'}');
            return;
        }
        if (lastField == 1) {  // "{0}": no type field at all
            format_.default_subformat().format(arguments_[index], rendered, fields);
            return;
        }
        String type(fields.type);
        type.trim();
        auto it = format_.subformats_.find(type);
        if (it != format_.subformats_.end()) it->second->format(arguments_[index], rendered, fields);
    }

    const MessageFormatImpl& format_;
    const String& pattern_;
    const Variant* arguments_;
    size_t count_;
    int32_t pos_ = 0;
    int depth_ = 0;
    bool quoted_ = false;
};

MessageFormatImpl::MessageFormatImpl()
{
    // Registration order matters only for readers; lookup is by exact name.
    subformats_.emplace(u"number", std::make_unique<SubformatNumber>());
    subformats_.emplace(u"date", std::make_unique<SubformatDate>(SubformatDate::kDateOnly));
    subformats_.emplace(u"time", std::make_unique<SubformatDate>(SubformatDate::kTimeOnly));
    subformats_.emplace(u"date_time", std::make_unique<SubformatDate>(SubformatDate::kDateAndTime));
    subformats_.emplace(u"choice", std::make_unique<SubformatChoice>());
    subformats_.emplace(u"concord", std::make_unique<SubformatConcord>());
    subformats_.emplace(u"error", std::make_unique<SubformatError>());
    subformats_.emplace(u"size", std::make_unique<SubformatSize>());
    subformats_.emplace(u"ellipsis", std::make_unique<SubformatEllipsis>());
    subformats_.emplace(u"path_ellipsis", std::make_unique<SubformatPathEllipsis>());
    subformats_.emplace(u"time_span", std::make_unique<SubformatTimeSpan>());
}

MessageFormatImpl::~MessageFormatImpl() = default;

const SubformatBase& MessageFormatImpl::default_subformat() const
{
    // The process-wide formatter is shared by every thread a host calls us on.
    std::call_once(default_once_, [this] { default_ = std::make_unique<SubformatSimple>(); });
    return *default_;
}

String MessageFormatImpl::format(const String& pattern, const Variant* arguments, size_t count) const
{
    String output;
    Scanner(*this, pattern, arguments, count).run(output);
    return output;
}

size_t MessageFormatImpl::format(const String& pattern, const Variant* arguments, size_t count, char16_t* buffer,
                                 size_t capacity) const
{
    const String output = format(pattern, arguments, count);
    const size_t length = static_cast<size_t>(output.length());
    if (capacity > 0) {
        const size_t n = length < capacity - 1 ? length : capacity - 1;
        output.extract(0, static_cast<int32_t>(n), buffer);
        buffer[n] = u'\0';
    }
    return length;
}

const MessageFormat& Formatter()
{
    static const MessageFormatImpl formatter;
    return formatter;
}

String Format(const String& pattern, std::initializer_list<Variant> arguments)
{
    return Formatter().format(pattern, arguments.begin(), arguments.size());
}

namespace {
void AppendHex(String& out, uint32_t value)
{
    out.append(u"0x");
    for (int shift = 28; shift >= 0; shift -= 4) out.append(static_cast<char16_t>(u"0123456789ABCDEF"[(value >> shift) & 0xF]));
}
}  // namespace

String ErrorOwnText(const Common::Error& error)
{
    if (error.empty()) return String();
    if (error.text() != nullptr) return String(error.text());
    String text(u"Error ");
    AppendHex(text, error.code());
    text.append(u'.');
    return text;
}

String RenderError(const Common::Error& error)
{
    String out;
    bool first = true;
    for (Common::Error e = error; !e.empty(); e = e.cause()) {
        if (!first) out.append(u"\n    caused by ");
        first = false;
        if (e.code() != 0) {
            AppendHex(out, e.code());
            out.append(u": ");
        }
        out.append(ErrorOwnText(e));
    }
    return out;
}

}  // namespace Processor
