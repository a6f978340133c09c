#include "registry/reg_text.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "registry/hive_format.h"
#include "registry/hive_keys.h"
#include "registry/hive_names.h"
#include "support/errors.h"
#include "support/text.h"
#include "transvia/codes.h"

namespace Common::RegText {

namespace {

// Windows nests keys at most 512 deep; deeper means a damaged hive.
constexpr size_t kMaxDepth = 512;

void AppendUtf8(std::string& out, std::u16string_view text) { out += Processor::ToUtf8(text); }

std::string Quote(std::u16string_view text)
{
    std::string out = "\"";
    std::u16string escaped;
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"')
            escaped.push_back(u'\\');
        escaped.push_back(c);
    }
    AppendUtf8(out, escaped);
    out += '"';
    return out;
}

// Whether REG_SZ bytes come back unchanged from a quoted string: whole UTF-16 units,
// one final NUL and no other, no line breaks, no lone surrogates.
bool QuotableString(const std::vector<uint8_t>& data, std::u16string& text)
{
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    text.resize(data.size() / 2);
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    if (text.back() != u'\0')
        return false;
    text.pop_back();
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\0' || c == u'\r' || c == u'\n')
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

// A line break inside a name cannot be told apart from the end of a line in this text
// format, so such keys and values are left out and the export reported incomplete.
bool Expressible(std::u16string_view name) { return name.find_first_of(u"\r\n") == std::u16string_view::npos; }

// Output goes to the sink in pieces of about this size: an export is never held whole.
constexpr size_t kSinkChunk = 64 * 1024;

class Exporter {
public:
    explicit Exporter(const Sink& sink) : sink_(sink) {}
    ~Exporter() { flush(); }

    void put(std::string_view text)
    {
        buffer_ += text;
        if (buffer_.size() >= kSinkChunk)
            flush();
    }

    // Each key node is written once, whatever number of lists name it: a damaged or
    // hostile hive can share subkey lists so that the paths through it number 2^40. A key
    // reached again, a data cell named twice and anything unreadable are left out and
    // the export reported incomplete.
    bool key(const file_reg& key, const std::u16string& header, size_t depth)
    {
        if (depth >= kMaxDepth || !keys_.insert(key.cell()).second)
            return false;
        bool ok = true;
        put("[");
        put(Processor::ToUtf8(header));
        put("]\n");
        // The count readers get stops at what the value list holds; a node that claims
        // more is damaged, and so is the export.
        const uint32_t count = const_cast<file_reg&>(key).value_count();
        Hive::Node node;
        if (!Hive::ReadNode(*key.hive(), key.cell(), node) || node.valueCount != count)
            ok = false;
        file_reg::value_record value;
        for (uint32_t i = 0; i < count; ++i) {
            if (!key.value_at(i, value, &dataCells_)) {
                ok = false;
                if (!value.key_read)
                    break;  // an unreadable list entry: what follows it is not trusted either
                continue;   // data refused or unreadable: this value only
            }
            if (!Expressible(value.name)) {
                ok = false;
                continue;
            }
            put(FormatValue(value.name, value.type, value.data));
            put("\n");
        }
        put("\n");
        std::vector<uint32_t> cells;
        if (!key.subkey_cells(cells))
            ok = false;
        for (uint32_t cell : cells) {
            const file_reg child = key.child(cell);
            const std::u16string name = child.name();
            if (name.empty() || !Expressible(name)) {
                ok = false;
                continue;
            }
            ok = this->key(child, header + u"\\" + name, depth + 1) && ok;
        }
        return ok;
    }

private:
    void flush()
    {
        if (!buffer_.empty())
            sink_(buffer_);
        buffer_.clear();
    }

    const Sink& sink_;
    std::string buffer_;
    std::unordered_set<uint32_t> keys_;
    std::unordered_set<uint32_t> dataCells_;
};

}  // namespace

std::string FormatValue(const std::u16string& name, uint32_t type, const std::vector<uint8_t>& data)
{
    std::string line = name.empty() ? "@=" : Quote(name) + "=";
    std::u16string text;
    if (type == Hive::REG_SZ && QuotableString(data, text))
        return line + Quote(text);
    if (type == Hive::REG_DWORD && data.size() == 4) {
        char number[16];
        std::snprintf(number, sizeof number, "dword:%08x", Hive::Get32(data.data()));
        return line + number;
    }
    if (type == Hive::REG_BINARY) {
        line += "hex:";
    } else {
        char kind[24];
        std::snprintf(kind, sizeof kind, "hex(%x):", type);
        line += kind;
    }
    static const char digits[] = "0123456789abcdef";
    size_t column = line.size();
    for (size_t i = 0; i < data.size(); ++i) {
        if (column + 3 > 78) {
            line += "\\\n  ";
            column = 2;
        }
        line += digits[data[i] >> 4];
        line += digits[data[i] & 15];
        column += 2;
        if (i + 1 < data.size()) {
            line += ',';
            ++column;
        }
    }
    return line;
}

bool Export(const file_reg& key, const std::u16string& path, const std::u16string& prefix, const Sink& sink)
{
    if (key.empty())
        return false;
    std::u16string header = prefix;
    if (!path.empty())
        header += (header.empty() ? u"" : u"\\") + path;
    Exporter exporter(sink);
    exporter.put(kHeader);
    exporter.put("\n\n");
    return exporter.key(key, header, 0);
}

bool Export(const file_reg& key, const std::u16string& path, const std::u16string& prefix, std::string& out)
{
    return Export(key, path, prefix, [&out](std::string_view text) { out += text; });
}

// ---- import ---------------------------------------------------------------------------

namespace {

bool DecodeText(const std::string& bytes, std::u16string& text)
{
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0)
            return false;
        text.resize((bytes.size() - 2) / 2);
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 + 2 * i]) |
                                            (static_cast<uint8_t>(bytes[3 + 2 * i]) << 8));
        return true;
    }
    std::string_view utf8(bytes);
    if (utf8.size() >= 3 && utf8.substr(0, 3) == "\xEF\xBB\xBF")
        utf8.remove_prefix(3);
    const Processor::String decoded = Processor::FromUtf8(utf8);
    text.assign(decoded.getBuffer(), static_cast<size_t>(decoded.length()));
    return true;
}

void Trim(std::u16string_view& text)
{
    while (!text.empty() && (text.front() == u' ' || text.front() == u'\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == u' ' || text.back() == u'\t' || text.back() == u'\r'))
        text.remove_suffix(1);
}

// A quoted string at the front of `text`; consumes it.
bool TakeQuoted(std::u16string_view& text, std::u16string& out)
{
    if (text.empty() || text.front() != u'"')
        return false;
    out.clear();
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == u'\\' && i + 1 < text.size()) {
            out.push_back(text[++i]);
        } else if (text[i] == u'"') {
            text.remove_prefix(i + 1);
            return true;
        } else {
            out.push_back(text[i]);
        }
    }
    return false;
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

bool HexBytes(std::u16string_view text, std::vector<uint8_t>& out)
{
    out.clear();
    size_t i = 0;
    auto skip = [&] {
        while (i < text.size() && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\r' || text[i] == u'\n'))
            ++i;
    };
    skip();
    if (i == text.size())
        return true;
    for (;;) {
        skip();
        if (i + 1 >= text.size() + 1 || i >= text.size())
            return false;
        int high = HexDigit(text[i]);
        int low = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
        if (high < 0)
            return false;
        if (low < 0) {  // a single digit
            out.push_back(static_cast<uint8_t>(high));
            ++i;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + low));
            i += 2;
        }
        skip();
        if (i == text.size())
            return true;
        if (text[i] != u',')
            return false;
        ++i;
        skip();
        if (i == text.size())
            return true;  // a trailing comma
    }
}

bool ParseData(std::u16string_view text, Edit& edit)
{
    Trim(text);
    if (text == u"-") {
        edit.kind = Edit::DeleteValue;
        return true;
    }
    edit.kind = Edit::SetValue;
    if (!text.empty() && text.front() == u'"') {
        std::u16string value;
        if (!TakeQuoted(text, value))
            return false;
        Trim(text);
        if (!text.empty())
            return false;
        edit.type = Hive::REG_SZ;
        edit.data.clear();
        for (char16_t c : value) {
            edit.data.push_back(static_cast<uint8_t>(c));
            edit.data.push_back(static_cast<uint8_t>(c >> 8));
        }
        edit.data.push_back(0);
        edit.data.push_back(0);
        return true;
    }
    auto starts = [&](std::u16string_view head) {
        if (text.size() < head.size())
            return false;
        for (size_t i = 0; i < head.size(); ++i)
            if (Processor::UpCase(text[i]) != Processor::UpCase(head[i]))
                return false;
        return true;
    };
    if (starts(u"dword:")) {
        text.remove_prefix(6);
        if (text.empty() || text.size() > 8)
            return false;
        uint32_t value = 0;
        for (char16_t c : text) {
            const int d = HexDigit(c);
            if (d < 0)
                return false;
            value = value * 16 + static_cast<uint32_t>(d);
        }
        edit.type = Hive::REG_DWORD;
        edit.data.resize(4);
        Hive::Put32(edit.data.data(), value);
        return true;
    }
    if (starts(u"hex:")) {
        text.remove_prefix(4);
        edit.type = Hive::REG_BINARY;
        return HexBytes(text, edit.data);
    }
    if (starts(u"hex(")) {
        text.remove_prefix(4);
        const size_t close = text.find(u')');
        if (close == std::u16string_view::npos || close == 0 || close > 8 || close + 1 >= text.size() ||
            text[close + 1] != u':')
            return false;
        uint32_t type = 0;
        for (size_t i = 0; i < close; ++i) {
            const int d = HexDigit(text[i]);
            if (d < 0)
                return false;
            type = type * 16 + static_cast<uint32_t>(d);
        }
        edit.type = type;
        text.remove_prefix(close + 2);
        return HexBytes(text, edit.data);
    }
    return false;
}

Error LineError(uint32_t line, const char* what)
{
    return MakeError(Codes::kInvalidFormat, TV_HERE,
                     Processor::FromUtf8("line " + std::to_string(line) + ": " + what));
}

}  // namespace

bool Parse(const std::string& bytes, const std::u16string& prefix, std::vector<Edit>& edits, Error& error)
{
    std::u16string text;
    if (!DecodeText(bytes, text)) {
        error = LineError(0, "the file is not UTF-8 or UTF-16LE text");
        return false;
    }
    std::vector<std::pair<uint32_t, std::u16string>> lines;
    {
        uint32_t number = 0;
        size_t start = 0;
        std::u16string pending;
        uint32_t pendingLine = 0;
        while (start <= text.size()) {
            size_t end = text.find(u'\n', start);
            if (end == std::u16string::npos)
                end = text.size();
            ++number;
            std::u16string_view line(text.data() + start, end - start);
            start = end + 1;
            std::u16string_view trimmed = line;
            Trim(trimmed);
            if (pending.empty())
                pendingLine = number;
            else
                line = trimmed;  // continuation lines are indented
            pending.append(line.begin(), line.end());
            // A hex list continues on the next line after a final backslash.
            std::u16string_view whole = pending;
            Trim(whole);
            const bool continued = !whole.empty() && whole.back() == u'\\' && whole.front() != u'[' &&
                                   whole.find(u"=hex") != std::u16string_view::npos;
            if (continued) {
                pending.assign(whole.substr(0, whole.size() - 1));
                if (start > text.size())
                    lines.emplace_back(pendingLine, pending);
                continue;
            }
            lines.emplace_back(pendingLine, pending);
            pending.clear();
            if (end == text.size())
                break;
        }
    }
    size_t i = 0;
    while (i < lines.size()) {
        std::u16string_view l = lines[i].second;
        Trim(l);
        if (!l.empty())
            break;
        ++i;
    }
    if (i == lines.size()) {
        error = LineError(1, "the file is empty");
        return false;
    }
    {
        std::u16string_view head = lines[i].second;
        Trim(head);
        if (head != u"Windows Registry Editor Version 5.00" && head != u"REGEDIT4") {
            error = LineError(lines[i].first, "not a registry file: \"Windows Registry Editor Version 5.00\" expected");
            return false;
        }
        ++i;
    }
    bool haveKey = false;
    std::u16string current;
    for (; i < lines.size(); ++i) {
        std::u16string_view l = lines[i].second;
        const uint32_t number = lines[i].first;
        Trim(l);
        if (l.empty() || l.front() == u';')
            continue;
        if (l.front() == u'[') {
            if (l.back() != u']') {
                error = LineError(number, "a key line must end with ']'");
                return false;
            }
            l = l.substr(1, l.size() - 2);
            Edit edit;
            edit.line = number;
            edit.kind = Edit::CreateKey;
            if (!l.empty() && l.front() == u'-') {
                edit.kind = Edit::DeleteKey;
                l.remove_prefix(1);
            }
            std::u16string_view rest;
            if (prefix.empty()) {
                const size_t slash = l.find(u'\\');
                rest = slash == std::u16string_view::npos ? std::u16string_view() : l.substr(slash + 1);
                if (l.empty()) {
                    error = LineError(number, "empty key path");
                    return false;
                }
            } else {
                if (l.size() < prefix.size() || !HiveNames::Same(l.substr(0, prefix.size()), prefix) ||
                    (l.size() > prefix.size() && l[prefix.size()] != u'\\')) {
                    error = LineError(number, "the key path does not begin with the prefix");
                    return false;
                }
                rest = l.size() > prefix.size() ? l.substr(prefix.size() + 1) : std::u16string_view();
            }
            while (!rest.empty() && rest.back() == u'\\')
                rest.remove_suffix(1);
            if (rest.find(u"\\\\") != std::u16string_view::npos) {
                error = LineError(number, "empty key name in the path");
                return false;
            }
            edit.key.assign(rest);
            if (edit.kind == Edit::DeleteKey && edit.key.empty()) {
                error = LineError(number, "the root key cannot be deleted");
                return false;
            }
            current = edit.key;
            haveKey = edit.kind == Edit::CreateKey;
            edits.push_back(std::move(edit));
            continue;
        }
        if (!haveKey) {
            error = LineError(number, "a value line outside a key");
            return false;
        }
        Edit edit;
        edit.line = number;
        edit.key = current;
        if (l.front() == u'@') {
            l.remove_prefix(1);
        } else if (!TakeQuoted(l, edit.name)) {
            error = LineError(number, "a value name must be quoted or '@'");
            return false;
        }
        Trim(l);
        if (l.empty() || l.front() != u'=') {
            error = LineError(number, "'=' expected after the value name");
            return false;
        }
        l.remove_prefix(1);
        if (!ParseData(l, edit)) {
            error = LineError(number, "malformed value data");
            return false;
        }
        edits.push_back(std::move(edit));
    }
    return true;
}

// `done` holds the key nodes entered: a node reached a second time (a shared subkey
// list) makes the deletion fail instead of walking the shared part again.
static bool DeleteTree(file_reg& parent, const std::u16string& name, size_t depth, std::unordered_set<uint32_t>& done)
{
    file_reg key = parent.find_subkey(name);
    if (key.empty() || depth >= kMaxDepth || !done.insert(key.cell()).second)
        return false;
    std::vector<uint32_t> cells;
    if (!key.subkey_cells(cells))
        return false;
    for (uint32_t cell : cells) {
        const std::u16string child = key.child(cell).name();
        if (child.empty() || !DeleteTree(key, child, depth + 1, done))
            return false;
    }
    return parent.delete_subkey(std::u16string_view(name));
}

bool DeleteTree(file_reg& parent, const std::u16string& name)
{
    std::unordered_set<uint32_t> done;
    return DeleteTree(parent, name, 0, done);
}

bool Apply(file_reg& root, const std::vector<Edit>& edits, Error& error)
{
    file_reg current;
    std::u16string currentPath;
    bool haveCurrent = false;
    for (const Edit& edit : edits) {
        auto fail = [&](const char* what) {
            error = LineError(edit.line, what);
            return false;
        };
        switch (edit.kind) {
        case Edit::CreateKey:
            current = edit.key.empty() ? root : root.create_key(Processor::String(edit.key.data(), static_cast<int32_t>(edit.key.size())));
            if (current.empty())
                return fail("the key cannot be created");
            currentPath = edit.key;
            haveCurrent = true;
            break;
        case Edit::DeleteKey: {
            haveCurrent = false;
            const size_t slash = edit.key.rfind(u'\\');
            file_reg parent = slash == std::u16string::npos
                                  ? root
                                  : root.open_key(Processor::String(edit.key.data(), static_cast<int32_t>(slash)));
            const std::u16string name = slash == std::u16string::npos ? edit.key : edit.key.substr(slash + 1);
            if (parent.empty() || parent.find_subkey(name).empty())
                break;  // deleting what is not there is not an error
            if (!DeleteTree(parent, name))
                return fail("the key cannot be deleted");
            break;
        }
        case Edit::SetValue:
            if (!haveCurrent || currentPath != edit.key)
                return fail("no key for the value");
            if (!current.set_value(std::u16string_view(edit.name), edit.data.data(),
                                   static_cast<uint32_t>(edit.data.size()), edit.type))
                return fail("the value cannot be written");
            break;
        case Edit::DeleteValue:
            if (!haveCurrent || currentPath != edit.key)
                return fail("no key for the value");
            current.delete_value(std::u16string_view(edit.name));  // absent is fine
            break;
        }
    }
    return true;
}

}  // namespace Common::RegText
