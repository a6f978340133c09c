// Reading a file in INF syntax into the model: a line reader over the file object, a
// section reader that applies the line rules, and a builder that splits lines into keys
// and fields in place.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <unicode/uchar.h>

#include "inf/inf_model.h"
#include "support/text.h"

namespace Transvia {

namespace {

constexpr size_t kReadChunk = 64 * 1024;
// '[' + 255 characters + ']'.
constexpr size_t kLongestHeader = 257;

// Line-level blanks: the classic isspace set on bytes of single-byte files, ICU's
// notion on UTF-16 files.
inline bool IsLineBlank(uint8_t c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}
inline bool IsLineBlank(char16_t c)
{
    return u_isspace(c);
}

inline const uint8_t* FindUnit(const uint8_t* begin, const uint8_t* end, uint8_t c)
{
    const void* found = std::memchr(begin, c, static_cast<size_t>(end - begin));
    return found != nullptr ? static_cast<const uint8_t*>(found) : end;
}
inline const char16_t* FindUnit(const char16_t* begin, const char16_t* end, char16_t c)
{
    return std::find(begin, end, c);
}

// Lines of the file, in its own units. Buffered, because the parser reads whole files
// and a call into the file object per line would cost more than the parse; the unread
// part of the buffer also makes moving back over a few lines free.
template <class Unit>
class LineReader {
public:
    enum Result { Line, End, Failed };

    LineReader(Common::i_file& file, uint64_t start) : file_(file), base_(start)
    {
        buffer_.resize(kReadChunk / sizeof(Unit));
    }

    // The next line without its LF or CR LF; a last line needs no terminator.
    Result Next(const Unit*& begin, const Unit*& end)
    {
        for (;;) {
            const Unit* data = buffer_.data();
            const Unit* limit = data + bytes_ / sizeof(Unit);
            const Unit* lf = FindUnit(data + pos_, limit, Unit('\n'));
            if (lf != limit) {
                begin = data + pos_;
                end = lf;
                if (end != begin && end[-1] == Unit('\r'))
                    --end;
                pos_ = static_cast<size_t>(lf - data) + 1;
                return Line;
            }
            if (end_) {
                if (data + pos_ == limit)
                    return End;
                begin = data + pos_;
                end = limit;
                pos_ = static_cast<size_t>(limit - data);
                return Line;
            }
            if (!Fill())
                return Failed;
        }
    }

    // File offset of the next line.
    uint64_t Position() const { return base_ + pos_ * sizeof(Unit); }

    bool MoveTo(uint64_t position)
    {
        if (position >= base_ && position <= base_ + bytes_) {
            pos_ = static_cast<size_t>(position - base_) / sizeof(Unit);
            return true;
        }
        if (file_.seek(position) < 0)
            return false;
        base_ = position;
        bytes_ = 0;
        pos_ = 0;
        end_ = false;
        return true;
    }

private:
    bool Fill()
    {
        const size_t consumed = pos_ * sizeof(Unit);
        if (consumed != 0) {
            auto* bytes = reinterpret_cast<unsigned char*>(buffer_.data());
            std::memmove(bytes, bytes + consumed, bytes_ - consumed);
            base_ += consumed;
            bytes_ -= consumed;
            pos_ = 0;
        }
        // A line longer than the buffer: grow it, there is no limit on line length.
        if (buffer_.size() * sizeof(Unit) - bytes_ < sizeof(Unit))
            buffer_.resize(buffer_.size() * 2 + 1);
        const size_t room = buffer_.size() * sizeof(Unit) - bytes_;
        const size_t got = file_.read(reinterpret_cast<unsigned char*>(buffer_.data()) + bytes_, room);
        if (got == 0) {
            if (file_.last_error().failed())
                return false;
            end_ = true;
        }
        bytes_ += got;
        return true;
    }

    Common::i_file& file_;
    std::vector<Unit> buffer_;
    size_t bytes_ = 0;  // valid bytes in buffer_ (odd after a torn UTF-16 unit)
    size_t pos_ = 0;    // index of the unit where the next line starts
    uint64_t base_;     // file offset of buffer_[0]
    bool end_ = false;
};

struct LineSpan {
    size_t begin;
    size_t end;  // index of the zero that ends the line
};

// Reads one section per call: its header and its lines, after comment cutting,
// trimming and joining of continued lines. The line count goes on across calls.
template <class Unit>
class SectionReader {
public:
    SectionReader(Common::i_file& file, uint64_t start, bool hashComments)
        : lines_(file, start), hashComments_(hashComments)
    {
    }

    // ParseOk with an empty name at the end of the file.
    uint32_t Read()
    {
        name.clear();
        text.clear();
        lines.clear();
        bool haveName = false;
        bool continuing = false;
        size_t joinedStart = 0;
        uint64_t afterLastText = lines_.Position();
        for (;;) {
            const Unit* begin;
            const Unit* end;
            const auto result = lines_.Next(begin, end);
            if (result == LineReader<Unit>::Failed)
                return Stop(ParseReadError, 0);
            if (result == LineReader<Unit>::End)
                break;

            const Unit* const lineStart = begin;
            while (begin != end && IsLineBlank(*begin))
                ++begin;
            // The first ';' ends the text, inside quotes too.
            end = FindUnit(begin, end, Unit(';'));
            if (hashComments_ && begin != end && *begin == Unit('#'))
                end = begin;
            while (end != begin && IsLineBlank(end[-1]))
                --end;
            ++record.line;

            if (begin == end) {
                if (continuing) {
                    EndLine(joinedStart);
                    continuing = false;
                }
                continue;
            }

            if (*begin == Unit('[')) {
                if (end[-1] != Unit(']') || continuing)
                    return Stop(ParseSyntaxError, static_cast<uint32_t>(begin - lineStart));
                if (haveName) {
                    // This header opens the next section: the blank and comment lines
                    // before it are read again with it.
                    if (!lines_.MoveTo(afterLastText))
                        return Stop(ParseReadError, 0);
                    break;
                }
                const size_t length = static_cast<size_t>(end - begin);
                if (length > kLongestHeader || length == 2)
                    return Stop(ParseSyntaxError, 0);
                name.assign(begin + 1, end - 1);
                haveName = true;
                afterLastText = lines_.Position();
                continue;
            }

            afterLastText = lines_.Position();
            const bool continues = !hashComments_ && end[-1] == Unit('\\');
            if (continues)
                --end;
            if (!continuing)
                joinedStart = text.size();
            text.insert(text.end(), begin, end);
            continuing = continues;
            if (!continues)
                EndLine(joinedStart);
        }
        if (continuing)
            text.resize(joinedStart);
        if (!haveName) {
            // Lines after the last header were taken already; lines of a file without
            // any header belong to no section.
            text.clear();
            lines.clear();
        }
        record.code = ParseOk;
        record.column = 0;
        return ParseOk;
    }

    ParseError record;
    std::u16string name;      // as written between the brackets
    std::vector<Unit> text;   // the section's lines, each followed by a zero
    std::vector<LineSpan> lines;

private:
    uint32_t Stop(uint32_t code, uint32_t column)
    {
        record.code = code;
        record.column = column;
        return code;
    }

    void EndLine(size_t start)
    {
        lines.push_back({start, text.size()});
        text.push_back(Unit(0));
    }

    LineReader<Unit> lines_;
    bool hashComments_;
};

struct Trimmed {
    const char16_t* text;
    uint32_t length;
};

// Field trimming: blanks, then one opening quote, then trailing blanks, then one
// closing quote. A zero replaces the character after the field.
Trimmed TrimField(char16_t* begin, char16_t* end)
{
    while (begin != end && u_isspace(*begin))
        ++begin;
    if (begin != end && *begin == u'"')
        ++begin;
    while (end != begin && u_isspace(end[-1]))
        --end;
    if (end != begin && end[-1] == u'"')
        --end;
    *end = u'\0';
    return {begin, static_cast<uint32_t>(end - begin)};
}

// Splits the lines of one section into entries. The scratch vectors are kept across
// sections so that a parse allocates only the blocks it keeps.
class SectionBuilder {
public:
    // Null when a line has an empty key.
    SectionImpl* Build(InfParser& inf, std::u16string name, std::unique_ptr<char16_t[]> text,
                       const std::vector<LineSpan>& lines)
    {
        fields_.clear();
        drafts_.clear();
        for (const LineSpan& line : lines) {
            char16_t* const begin = text.get() + line.begin;
            char16_t* const end = text.get() + line.end;

            char16_t* equals = nullptr;
            bool quoted = false;
            for (char16_t* c = begin; c != end; ++c) {
                if (*c == u'"')
                    quoted = !quoted;
                else if (*c == u'=' && !quoted) {
                    equals = c;
                    break;
                }
            }

            Draft draft{u"", 0, fields_.size(), 0};
            char16_t* field = equals != nullptr ? equals + 1 : begin;
            for (;;) {
                char16_t* stop = field;
                quoted = false;
                for (; stop != end; ++stop) {
                    if (*stop == u'"')
                        quoted = !quoted;
                    else if (*stop == u',' && !quoted)
                        break;
                }
                fields_.push_back(TrimField(field, stop).text);
                ++draft.fieldCount;
                if (stop == end)
                    break;
                field = stop + 1;
            }
            if (equals != nullptr) {
                const Trimmed key = TrimField(begin, equals);
                if (key.length == 0)
                    return nullptr;
                draft.key = key.text;
                draft.keyLength = key.length;
            }
            drafts_.push_back(draft);
        }

        InfParser::Block block;
        block.text = std::move(text);
        block.entryCount = static_cast<uint32_t>(drafts_.size());
        if (!drafts_.empty()) {
            block.fields = std::make_unique_for_overwrite<const char16_t*[]>(fields_.size());
            std::copy(fields_.begin(), fields_.end(), block.fields.get());
            block.entries = std::make_unique<SectionEntryImpl[]>(drafts_.size());
            for (size_t i = 0; i < drafts_.size(); ++i) {
                const Draft& d = drafts_[i];
                block.entries[i] = SectionEntryImpl(d.key, d.keyLength, block.fields.get() + d.firstField, d.fieldCount);
            }
        }
        Processor::UpCaseInPlace(name.data(), name.size());
        return &inf.AddSection(std::move(name), std::move(block));
    }

private:
    struct Draft {
        const char16_t* key;
        uint32_t keyLength;
        size_t firstField;
        uint32_t fieldCount;
    };
    std::vector<const char16_t*> fields_;
    std::vector<Draft> drafts_;
};

template <class Unit>
std::unique_ptr<char16_t[]> ToText(const std::vector<Unit>& units)
{
    auto text = std::make_unique_for_overwrite<char16_t[]>(units.size() + 1);
    // Single-byte files: each byte is the code unit of the same value.
    std::copy(units.begin(), units.end(), text.get());
    text[units.size()] = u'\0';
    return text;
}

template <class Unit>
std::unique_ptr<Inf> ParseSections(Common::i_file& file, uint64_t start, ParserFilter* filter, ParseError* error,
                                   uint32_t flags, uint32_t checksum)
{
    auto inf = std::make_unique<InfParser>();
    inf->SetChecksum(checksum);
    SectionReader<Unit> reader(file, start, (flags & HashComments) != 0);
    SectionBuilder builder;
    auto report = [&]() {
        if (error != nullptr)
            *error = reader.record;
    };
    for (;;) {
        if (reader.Read() != ParseOk || reader.name.empty()) {
            report();
            return reader.record.code == ParseOk ? std::move(inf) : nullptr;
        }
        SectionImpl* section = builder.Build(*inf, std::move(reader.name), ToText(reader.text), reader.lines);
        if (section == nullptr) {
            report();
            return nullptr;
        }
        if (filter != nullptr && !filter->Accept(*inf, *section)) {
            if (error != nullptr)
                error->code = ParseRejected;
            return nullptr;
        }
    }
}

// Sum of the file's little-endian 32-bit words, a short last word padded with zeros.
// A read error gives 0.
uint32_t WordSum(Common::i_file& file)
{
    if (file.seek(0) != 0)
        return 0;
    std::vector<unsigned char> buffer(kReadChunk);
    uint32_t sum = 0;
    uint64_t offset = 0;
    for (;;) {
        const size_t got = file.read(buffer.data(), buffer.size());
        if (got == 0)
            return file.last_error().failed() ? 0 : sum;
        for (size_t i = 0; i < got; ++i, ++offset)
            sum += static_cast<uint32_t>(buffer[i]) << (8 * (offset & 3));
    }
}

}  // namespace

std::unique_ptr<Inf> ParseInf(Common::i_file& file, ParserFilter* filter, ParseError* error, uint32_t flags)
{
    const uint32_t checksum = (flags & ComputeChecksum) != 0 ? WordSum(file) : 0;
    auto readError = [&]() -> std::unique_ptr<Inf> {
        if (error != nullptr)
            *error = ParseError{0, 0, ParseReadError};
        return nullptr;
    };
    unsigned char mark[2];
    if (file.seek(0) != 0 || file.read(mark, 2) != 2)
        return readError();
    if (mark[0] == 0xFF && mark[1] == 0xFE)
        return ParseSections<char16_t>(file, 2, filter, error, flags, checksum);
    if (file.move(-2) != 0)
        return readError();
    return ParseSections<uint8_t>(file, 0, filter, error, flags, checksum);
}

}  // namespace Transvia
