// Reading a file in INF syntax into the model: a line reader over the file object, a
// section reader that applies the line rules, and a builder that splits lines into keys
// and fields in place.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <type_traits>
#include <vector>

#include <unicode/uchar.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "inf/inf_model.h"
#include "support/text.h"

namespace Transvia {

namespace {

// UTF-16LE files are read in place as char16_t.
static_assert(std::endian::native == std::endian::little);

constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kFilteredFirstRead = 4 * 1024;
// '[' + 255 characters + ']'.
constexpr size_t kLongestHeader = 257;

// Line-level blanks: the classic isspace set on bytes of single-byte files, ICU's
// notion on UTF-16 files.
inline bool IsLineBlank(uint8_t c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}
// ICU's blank test, answered from a table for the first 256 code units: trimming asks
// it for every blank of every line and field.
const std::array<bool, 256> kLowBlanks = [] {
    std::array<bool, 256> table{};
    for (UChar32 c = 0; c < 256; ++c)
        table[static_cast<size_t>(c)] = u_isspace(c);
    return table;
}();

inline bool IsBlank(char16_t c)
{
    return c < 256 ? kLowBlanks[c] : u_isspace(c);
}
inline bool IsLineBlank(char16_t c)
{
    return IsBlank(c);
}

// Every buffer the scans below run over has this many readable bytes after its text, so
// a scan may load 16 bytes at any position before its end and ignore what lies past it.
constexpr size_t kScanSlack = 16;

// The first `a` or `b` in [p, end), or end; 16 bytes at a time where the processor
// allows. The line reader looks for line ends and comments with it, mostly over short
// stretches, hence no scalar tail: the slack makes the last load safe.
template <class Pointer>
inline Pointer* FindEither(Pointer* p, Pointer* end, std::remove_const_t<Pointer> a, std::remove_const_t<Pointer> b)
{
    using Unit = std::remove_const_t<Pointer>;
#if defined(__SSE2__)
    constexpr size_t kLanes = 16 / sizeof(Unit);
    __m128i wantA, wantB;
    if constexpr (sizeof(Unit) == 1) {
        wantA = _mm_set1_epi8(static_cast<char>(a));
        wantB = _mm_set1_epi8(static_cast<char>(b));
    } else {
        wantA = _mm_set1_epi16(static_cast<short>(a));
        wantB = _mm_set1_epi16(static_cast<short>(b));
    }
    for (; p < end; p += kLanes) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hits;
        if constexpr (sizeof(Unit) == 1)
            hits = _mm_or_si128(_mm_cmpeq_epi8(units, wantA), _mm_cmpeq_epi8(units, wantB));
        else
            hits = _mm_or_si128(_mm_cmpeq_epi16(units, wantA), _mm_cmpeq_epi16(units, wantB));
        const int mask = _mm_movemask_epi8(hits);
        if (mask != 0) {
            Pointer* hit = p + __builtin_ctz(static_cast<unsigned>(mask)) / sizeof(Unit);
            return hit < end ? hit : end;
        }
    }
    return end;
#else
    for (; p != end; ++p) {
        if (*p == a || *p == b)
            return p;
    }
    return end;
#endif
}

// Single-byte text to UTF-16: each byte becomes the code unit of the same value.
inline void Widen(const uint8_t* source, size_t count, char16_t* target)
{
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= count; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + i), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + i + 8), _mm_unpackhi_epi8(bytes, zero));
    }
#endif
    for (; i < count; ++i)
        target[i] = source[i];
}
// The same for one line, 8 units per step with no scalar tail: `target` has room for
// `count` rounded up to 8 units and `source` may be read that far (the read buffer's slack).
inline void WidenLine(const uint8_t* source, size_t count, char16_t* target)
{
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (size_t i = 0; i < count; i += 8) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(source + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + i), _mm_unpacklo_epi8(bytes, zero));
    }
#else
    for (size_t i = 0; i < count; ++i)
        target[i] = source[i];
#endif
}
inline void Widen(const char16_t* source, size_t count, char16_t* target)
{
    if (count != 0)
        std::memcpy(target, source, count * sizeof(char16_t));
}

// The start of the file, read before its encoding is known.
struct Prefetch {
    size_t bytes;  // read into the read buffer
    size_t start;  // where the text begins: after the FF FE mark or at 0
    bool atEnd;
};

// Lines of the file, in its own units. Buffered, because the parser reads whole files
// and a call into the file object per line would cost more than the parse; the unread
// part of the buffer also makes moving back over a few lines free.
template <class Unit>
class LineReader {
public:
    enum Result { Line, End, Failed };

    // `storage` already holds the first `read` bytes of the file (`atEnd` when that was
    // all of it); lines start at byte `start`.
    LineReader(Common::i_file& file, std::vector<char16_t>& storage, const Prefetch& first)
        : file_(file), storage_(storage), bytes_(first.bytes), pos_(first.start / sizeof(Unit)), end_(first.atEnd)
    {
    }

    // The next line without its LF or CR LF (a last line needs no terminator), and where
    // its first ';' is (`end` when it has none): both come from one scan.
    Result Next(const Unit*& begin, const Unit*& end, const Unit*& semicolon)
    {
        for (;;) {
            const Unit* data = Data();
            const Unit* limit = data + bytes_ / sizeof(Unit);
            const Unit* lf = FindEither(data + pos_, limit, Unit('\n'), Unit(';'));
            const Unit* firstSemicolon = nullptr;
            if (lf != limit && *lf == Unit(';')) {
                firstSemicolon = lf;
                lf = FindEither(lf + 1, limit, Unit('\n'), Unit('\n'));
            }
            if (lf != limit) {
                begin = data + pos_;
                end = lf;
                if (end != begin && end[-1] == Unit('\r'))
                    --end;
                semicolon = firstSemicolon != nullptr ? firstSemicolon : end;
                pos_ = static_cast<size_t>(lf - data) + 1;
                return Line;
            }
            if (end_) {
                if (data + pos_ == limit)
                    return End;
                begin = data + pos_;
                end = limit;
                semicolon = firstSemicolon != nullptr ? firstSemicolon : end;
                pos_ = static_cast<size_t>(limit - data);
                return Line;
            }
            if (!Fill())
                return Failed;
        }
    }

    // File offset of the next line.
    uint64_t Position() const { return base_ + pos_ * sizeof(Unit); }

    // Lines are read again from `position`; the next read fetches them when the buffer
    // no longer holds them.
    void MoveTo(uint64_t position)
    {
        if (position >= base_ && position <= base_ + bytes_) {
            pos_ = static_cast<size_t>(position - base_) / sizeof(Unit);
            return;
        }
        base_ = position;
        bytes_ = 0;
        pos_ = 0;
        end_ = false;
    }

private:
    bool Fill()
    {
        const size_t consumed = pos_ * sizeof(Unit);
        if (consumed != 0) {
            auto* bytes = reinterpret_cast<unsigned char*>(storage_.data());
            std::memmove(bytes, bytes + consumed, bytes_ - consumed);
            base_ += consumed;
            bytes_ -= consumed;
            pos_ = 0;
        }
        // A line longer than the buffer: grow it, there is no limit on line length.
        if (Capacity() - bytes_ < sizeof(Unit) + kScanSlack)
            storage_.resize(storage_.size() * 2 + 1);
        const size_t room = Capacity() - bytes_ - kScanSlack;
        const size_t got = file_.read_at(base_ + bytes_, reinterpret_cast<unsigned char*>(storage_.data()) + bytes_, room);
        if (got == 0 && file_.last_error().failed())
            return false;
        // A file object reads fewer bytes than asked only at the end of the file.
        end_ = got < room;
        bytes_ += got;
        return true;
    }

    const Unit* Data() const { return reinterpret_cast<const Unit*>(storage_.data()); }
    size_t Capacity() const { return storage_.size() * sizeof(char16_t); }

    Common::i_file& file_;
    std::vector<char16_t>& storage_;
    size_t bytes_ = 0;  // valid bytes in storage_ (odd after a torn UTF-16 unit)
    size_t pos_ = 0;    // index of the unit where the next line starts
    uint64_t base_ = 0; // file offset of the first byte of storage_
    bool end_ = false;
};

// Working vectors of one parse. Kept per thread between parses, so that reading many
// files does not grow them again for each; a parse started from inside a filter gets
// fresh ones.
struct Scratch {
    std::vector<char16_t> readBuffer;
    std::vector<char16_t> joined;  // a continued line being put together
    std::vector<uint32_t> commas;  // where one line splits into fields
};

class ScratchLease {
public:
    ScratchLease()
    {
        if (!inUse_) {
            inUse_ = true;
            shared_ = true;
            scratch_ = &kept_;
        } else {
            own_ = std::make_unique<Scratch>();
            scratch_ = own_.get();
        }
    }
    ~ScratchLease()
    {
        if (!shared_)
            return;
        // A very large file should not pin its memory for the rest of the process.
        constexpr size_t kKeep = 1u << 20;
        if (kept_.readBuffer.size() > kKeep || kept_.joined.capacity() > kKeep || kept_.commas.capacity() > kKeep)
            kept_ = Scratch();
        inUse_ = false;
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    Scratch& operator*() const { return *scratch_; }

private:
    static thread_local Scratch kept_;
    static thread_local bool inUse_;
    std::unique_ptr<Scratch> own_;
    Scratch* scratch_ = nullptr;
    bool shared_ = false;
};
thread_local Scratch ScratchLease::kept_;
thread_local bool ScratchLease::inUse_ = false;

// Where one entry line splits: the first '=' outside double quotes, and the ',' outside
// quotes after it (after the start when there is no '='). Each quote toggles the state.
// A field starts outside quotes, and so does the text after the '=': both are reached
// only through a separator found outside quotes, so one running state over the line
// answers for the key and for every field.
struct Separators {
    size_t equals;  // the line's length when it has none
    size_t commas;  // positions written to the caller's array
};

#if defined(__SSE2__)
// One 16-byte load as byte lanes: 16 bytes, or 8 UTF-16 units in the low lanes (zeros
// above). Units above 0xFF saturate to 0x00 or 0xFF, neither of which is a separator, so
// the byte compares below serve both widths.
inline __m128i LoadLanes(const uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline __m128i LoadLanes(const char16_t* p)
{
    return _mm_packus_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}

// Bit i set where a quote at or before lane i leaves the state inside quotes.
inline uint32_t QuoteParity(uint32_t quotes)
{
    quotes ^= quotes << 1;
    quotes ^= quotes << 2;
    quotes ^= quotes << 4;
    quotes ^= quotes << 8;
    return quotes & 0xFFFF;
}
#endif

// One pass, 16 bytes at a time: the quotes, '=' and ',' of a chunk become bit masks, and
// the quote state is a prefix parity over them, so the line is not scanned per field.
// `text` may be read 16 bytes past `length` (the buffers' slack).
template <class Unit>
Separators FindSeparators(const Unit* text, size_t length, uint32_t* commas)
{
    Separators found{length, 0};
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i equal = _mm_set1_epi8('=');
    const __m128i comma = _mm_set1_epi8(',');
    uint32_t inside = 0;  // all ones while a quote is open at the end of the last chunk
    constexpr size_t kLanes = 16 / sizeof(Unit);
    for (size_t base = 0; base < length; base += kLanes) {
        const __m128i units = LoadLanes(text + base);
        const uint32_t valid = length - base >= kLanes ? (1u << kLanes) - 1 : (1u << (length - base)) - 1;
        const uint32_t quotes = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(units, quote)));
        uint32_t state = inside;
        // Most chunks hold no quote.
        if (quotes != 0) {
            state ^= QuoteParity(quotes);
            inside = (state & 0x8000) != 0 ? 0xFFFF : 0;
        }
        const uint32_t outside = ~state & valid;
        uint32_t splits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(units, comma))) & outside;
        if (found.equals == length) {
            const uint32_t equals = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(units, equal))) & outside;
            if (equals != 0) {
                // Commas before the '=' belong to the key.
                const unsigned at = static_cast<unsigned>(__builtin_ctz(equals));
                found.equals = base + at;
                found.commas = 0;
                splits &= ~0u << at;
            }
        }
        for (; splits != 0; splits &= splits - 1)
            commas[found.commas++] = static_cast<uint32_t>(base + static_cast<size_t>(__builtin_ctz(splits)));
    }
#else
    bool inside = false;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == Unit('"')) {
            inside = !inside;
        } else if (!inside && text[i] == Unit(',')) {
            commas[found.commas++] = static_cast<uint32_t>(i);
        } else if (!inside && text[i] == Unit('=') && found.equals == length) {
            found.equals = i;
            found.commas = 0;
        }
    }
#endif
    return found;
}

struct Trimmed {
    size_t begin;
    size_t end;
};

// Field trimming over [begin, end) of a line: blanks, then one opening quote, then
// trailing blanks, then one closing quote.
template <class Unit>
inline Trimmed TrimField(const Unit* text, size_t begin, size_t end)
{
    while (begin != end && IsBlank(text[begin]))
        ++begin;
    if (begin != end && text[begin] == Unit('"'))
        ++begin;
    while (end != begin && IsBlank(text[end - 1]))
        --end;
    if (end != begin && text[end - 1] == Unit('"'))
        --end;
    return {begin, end};
}

// The entry of one line: split where it stands, then widened once into the Inf's memory
// with a zero over the character that ends each key and field. The entry, its field
// pointers and its text are one allocation. `source` may be read 16 bytes past `end`;
// `commas` is working room. `emptyKey` tells of a '=' with nothing before it.
template <class Unit>
SectionEntryImpl* MakeEntry(InfParser& inf, const Unit* source, const Unit* end, std::vector<uint32_t>& commas,
                            bool& emptyKey)
{
    const size_t length = static_cast<size_t>(end - source);
    if (commas.size() < length)
        commas.resize(length);
    const Separators split = FindSeparators(source, length, commas.data());
    const size_t fieldCount = split.commas + 1;
    // Single-byte text is widened 8 units per step, so its room is rounded up to 8.
    const size_t textUnits = sizeof(Unit) == 1 ? (length + 8) & ~size_t{7} : length + 1;

    auto* const block = static_cast<std::byte*>(inf.AllocateBytes(
        sizeof(SectionEntryImpl) + fieldCount * sizeof(char16_t*) + textUnits * sizeof(char16_t),
        alignof(SectionEntryImpl)));
    auto* const fields = reinterpret_cast<const char16_t**>(block + sizeof(SectionEntryImpl));
    auto* const text = reinterpret_cast<char16_t*>(fields + fieldCount);
    if constexpr (sizeof(Unit) == 1)
        WidenLine(source, length, text);
    else
        Widen(source, length, text);
    text[length] = u'\0';

    size_t start = split.equals == length ? 0 : split.equals + 1;
    for (size_t i = 0; i < fieldCount; ++i) {
        const size_t stop = i < split.commas ? commas[i] : length;
        const Trimmed field = TrimField(source, start, stop);
        text[field.end] = u'\0';
        fields[i] = text + field.begin;
        start = stop + 1;
    }
    const char16_t* key = u"";
    uint32_t keyLength = 0;
    emptyKey = false;
    if (split.equals != length) {
        const Trimmed trimmed = TrimField(source, 0, split.equals);
        emptyKey = trimmed.end == trimmed.begin;
        text[trimmed.end] = u'\0';
        key = text + trimmed.begin;
        keyLength = static_cast<uint32_t>(trimmed.end - trimmed.begin);
    }
    return new (block) SectionEntryImpl(key, keyLength, fields, static_cast<uint32_t>(fieldCount));
}

// Whether the line's key, the text before its first '=' outside quotes, trims to nothing,
// without splitting the line: only blanks, or two quotes between blanks, may come before
// that '=' (one quote would put the '=' inside quotes; anything else stays in the key).
template <class Unit>
bool KeyTrimsEmpty(const Unit* text, size_t length)
{
    size_t i = 0;
    while (i < length && IsBlank(text[i]))
        ++i;
    if (i + 1 < length && text[i] == Unit('"') && text[i + 1] == Unit('"')) {
        i += 2;
        while (i < length && IsBlank(text[i]))
            ++i;
    }
    return i < length && text[i] == Unit('=');
}

// Collects the lines of one section for the reader: as entries at once, or with
// DeferEntries as pending lines copied out of the read buffer.
class EntryBuilder {
public:
    EntryBuilder(InfParser& inf, std::vector<uint32_t>& commas, bool defer) : inf_(inf), commas_(commas), defer_(defer)
    {
    }

    // `source` may be read 16 bytes past `end`.
    template <class Unit>
    void Add(const Unit* source, const Unit* end)
    {
        if (!defer_) {
            bool emptyKey = false;
            entries_.Add(MakeEntry(inf_, source, end, commas_, emptyKey));
            // Fails the section, once the reader has read all of it.
            emptyKey_ |= emptyKey;
            return;
        }
        const size_t length = static_cast<size_t>(end - source);
        emptyKey_ |= KeyTrimsEmpty(source, length);
        const size_t bytes = length * sizeof(Unit);
        auto* const line = static_cast<PendingLine*>(
            inf_.AllocateBytes(sizeof(PendingLine) + bytes + PendingLine::kLineSlack, alignof(PendingLine)));
        line->next = nullptr;
        line->length = static_cast<uint32_t>(length);
        line->wide = sizeof(Unit) != 1;
        auto* const text = reinterpret_cast<std::byte*>(line + 1);
        std::memcpy(text, source, bytes);
        std::memset(text + bytes, 0, PendingLine::kLineSlack);
        entries_.Add(line);
    }

    void Clear()
    {
        entries_.Clear();
        emptyKey_ = false;
    }
    const EntryChain& entries() const { return entries_; }
    // A line of this section had '=' with nothing before it.
    bool HasEmptyKey() const { return emptyKey_; }

private:
    InfParser& inf_;
    std::vector<uint32_t>& commas_;
    EntryChain entries_;
    bool emptyKey_ = false;
    bool defer_;
};

// Reads one section per call: its header and its lines, after comment cutting,
// trimming and joining of continued lines. The line count goes on across calls.
template <class Unit>
class SectionReader {
public:
    SectionReader(Common::i_file& file, const Prefetch& first, uint32_t flags, Scratch& scratch, InfParser& inf)
        : entries(inf, scratch.commas, (flags & DeferEntries) != 0), lines_(file, scratch.readBuffer, first), joined_(scratch.joined), inf_(inf),
          hashComments_((flags & HashComments) != 0)
    {
    }

    // ParseOk; no name at the end of the file.
    uint32_t Read()
    {
        name = {};
        entries.Clear();
        joined_.clear();
        bool continuing = false;
        uint64_t afterLastText = lines_.Position();
        for (;;) {
            const Unit* begin;
            const Unit* end;
            const Unit* semicolon;
            const auto result = lines_.Next(begin, end, semicolon);
            if (result == LineReader<Unit>::Failed)
                return Stop(ParseReadError, 0);
            if (result == LineReader<Unit>::End)
                break;

            const Unit* const lineStart = begin;
            while (begin != end && IsLineBlank(*begin))
                ++begin;
            // The first ';' ends the text, inside quotes too (it cannot be a leading blank).
            end = semicolon;
            if (hashComments_ && begin != end && *begin == Unit('#'))
                end = begin;
            while (end != begin && IsLineBlank(end[-1]))
                --end;
            ++record.line;

            if (begin == end) {
                if (continuing) {
                    EndJoined();
                    continuing = false;
                }
                continue;
            }

            if (*begin == Unit('[')) {
                if (end[-1] != Unit(']') || continuing)
                    return Stop(ParseSyntaxError, static_cast<uint32_t>(begin - lineStart));
                if (!name.empty()) {
                    // This header opens the next section: the blank and comment lines
                    // before it are read again with it.
                    lines_.MoveTo(afterLastText);
                    break;
                }
                const size_t length = static_cast<size_t>(end - begin);
                if (length > kLongestHeader || length == 2)
                    return Stop(ParseSyntaxError, 0);
                SetName(begin + 1, length - 2);
                afterLastText = lines_.Position();
                continue;
            }

            afterLastText = lines_.Position();
            const bool continues = !hashComments_ && end[-1] == Unit('\\');
            if (continues)
                --end;
            if (continues || continuing) {
                // Rare: the pieces of a continued line are joined before they are split.
                const size_t at = joined_.size();
                joined_.resize(at + static_cast<size_t>(end - begin));
                Widen(begin, static_cast<size_t>(end - begin), joined_.data() + at);
                if (!continues)
                    EndJoined();
            } else {
                entries.Add(begin, end);
            }
            continuing = continues;
        }
        // A continuation still pending at the end of the file is dropped, and so are the
        // entries of a file without any header (their memory goes with the Inf).
        record.code = ParseOk;
        record.column = 0;
        return ParseOk;
    }

    ParseError record;
    // Upper-cased, in the Inf's memory; empty when the file had no more sections.
    std::u16string_view name;
    EntryBuilder entries;

private:
    uint32_t Stop(uint32_t code, uint32_t column)
    {
        record.code = code;
        record.column = column;
        return code;
    }

    void SetName(const Unit* text, size_t length)
    {
        char16_t* const upper = inf_.AllocateText(length + 1);
        Widen(text, length, upper);
        upper[length] = u'\0';
        Processor::UpCaseInPlace(upper, length);
        name = std::u16string_view(upper, length);
    }

    void EndJoined()
    {
        const size_t length = joined_.size();
        // The split may read past the text.
        joined_.resize(length + kScanSlack / sizeof(char16_t));
        entries.Add(joined_.data(), joined_.data() + length);
        joined_.clear();
    }

    LineReader<Unit> lines_;
    std::vector<char16_t>& joined_;
    InfParser& inf_;
    bool hashComments_;
};

template <class Unit>
std::unique_ptr<Inf> ParseSections(Common::i_file& file, Scratch& scratch, const Prefetch& first,
                                   ParserFilter* filter, ParseError* error, uint32_t flags, uint32_t checksum)
{
    auto inf = std::make_unique<InfParser>();
    inf->SetChecksum(checksum);
    // What a parse keeps is about three times the file's bytes: each line widened to
    // UTF-16 plus its entry and field pointers. The first read tells the size of most files.
    inf->ExpectBytes(3 * first.bytes);
    SectionReader<Unit> reader(file, first, flags, scratch, *inf);
    auto report = [&]() {
        if (error != nullptr)
            *error = reader.record;
    };
    for (;;) {
        if (reader.Read() != ParseOk || reader.name.empty()) {
            report();
            return reader.record.code == ParseOk ? std::move(inf) : nullptr;
        }
        // An empty key fails the parse with the position the reader reached.
        if (reader.entries.HasEmptyKey()) {
            report();
            return nullptr;
        }
        SectionImpl& section = inf->AddSection(reader.name, reader.entries.entries());
        if (filter != nullptr && !filter->Accept(*inf, section)) {
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
    std::vector<unsigned char> buffer(kReadChunk);
    uint32_t sum = 0;
    uint64_t offset = 0;
    for (;;) {
        const size_t got = file.read_at(offset, buffer.data(), buffer.size());
        if (got == 0)
            return file.last_error().failed() ? 0 : sum;
        for (size_t i = 0; i < got; ++i, ++offset)
            sum += static_cast<uint32_t>(buffer[i]) << (8 * (offset & 3));
    }
}

}  // namespace

void InfParser::MakeEntries(const PendingLine* lines, EntryChain& entries)
{
    // Not the parse's scratch: a filter may ask for entries while a parse holds it.
    thread_local std::vector<uint32_t> commas;
    bool emptyKey = false;
    for (const PendingLine* line = lines; line != nullptr; line = line->next) {
        if (line->wide) {
            const auto* text = static_cast<const char16_t*>(line->text());
            entries.Add(MakeEntry(*this, text, text + line->length, commas, emptyKey));
        } else {
            const auto* text = static_cast<const uint8_t*>(line->text());
            entries.Add(MakeEntry(*this, text, text + line->length, commas, emptyKey));
        }
    }
    // A very long line should not pin its memory for the rest of the process.
    if (commas.capacity() > (1u << 20))
        std::vector<uint32_t>().swap(commas);
}

std::unique_ptr<Inf> ParseInf(Common::i_file& file, ParserFilter* filter, ParseError* error, uint32_t flags)
{
    const uint32_t checksum = (flags & ComputeChecksum) != 0 ? WordSum(file) : 0;
    auto readError = [&]() -> std::unique_ptr<Inf> {
        if (error != nullptr)
            *error = ParseError{0, 0, ParseReadError};
        return nullptr;
    };
    // The first two bytes tell the encoding. They come with the first read of the text, so
    // a small file costs one read.
    ScratchLease scratch;
    std::vector<char16_t>& buffer = (*scratch).readBuffer;
    if (buffer.size() < kReadChunk / sizeof(char16_t))
        buffer.resize(kReadChunk / sizeof(char16_t));
    // With a filter the first read is short: a filter that refuses the file at its first
    // sections ([Version] comes first nearly always) spares reading the rest.
    const size_t full = buffer.size() * sizeof(char16_t) - kScanSlack;
    const size_t room = filter != nullptr ? std::min(full, kFilteredFirstRead) : full;
    const size_t got = file.read_at(0, buffer.data(), room);
    if (got < 2)
        return readError();
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    if (bytes[0] == 0xFF && bytes[1] == 0xFE)
        return ParseSections<char16_t>(file, *scratch, Prefetch{got, 2, got < room}, filter, error, flags, checksum);
    return ParseSections<uint8_t>(file, *scratch, Prefetch{got, 0, got < room}, filter, error, flags, checksum);
}

}  // namespace Transvia
