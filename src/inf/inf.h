#pragma once

#include <cstdint>
#include <memory>

#include "transvia/codes.h"
#include "transvia/dir.h"
#include "transvia/string.h"

// Read-only model of a file in INF syntax (driver INF files, txtsetup.oem, hwdb.txt).
// Every name, key and field is a zero-terminated UTF-16 text owned by the Inf it came
// from; none of them may be used after that Inf is destroyed. Values are raw: %key%
// tokens are replaced only when a caller asks ExpandString.
namespace Transvia {

class Inf;
class Section;

// One line of a section: a key (empty for a line without '=') and at least one field.
class SectionEntry {
public:
    virtual ~SectionEntry() = default;
    virtual const char16_t* GetKey() const = 0;
    virtual uint32_t GetFieldCount() const = 0;
    // Null when the index is outside 0 .. count-1.
    virtual const char16_t* GetField(int32_t index) const = 0;
};

class Section {
public:
    virtual ~Section() = default;
    // Upper-cased.
    virtual const char16_t* GetName() const = 0;
    virtual uint32_t GetEntryCount() const = 0;
    // First entry in file order whose key equals `key` ignoring case; "%Key%" matches the key Key.
    virtual SectionEntry* FindEntry(const char16_t* key) = 0;
    // Walking 0, 1, 2, ... costs one step per call.
    virtual SectionEntry* GetEntry(int32_t index) = 0;
    virtual Inf* GetInf() const = 0;
};

// Supplies values for %tokens% that the [Strings] section does not define.
class ExternalVariables {
public:
    virtual ~ExternalVariables() = default;
    // `token` comes whole, percent signs included ("%11%"); the answer is the token
    // itself when the resolver has no value for it.
    virtual Processor::String Resolve(const char16_t* token) = 0;
};

class Inf {
public:
    virtual ~Inf() = default;
    // Sections in the order of their upper-cased names (plain code-unit order).
    virtual Section* GetSection(int32_t index) = 0;
    virtual Section* FindSection(const char16_t* name) = 0;
    // `text` with its %key% tokens replaced. The result lives in one buffer shared by
    // every Inf of the process and stays valid until the next ExpandString call; a text
    // without any pair of percent signs comes back as the same pointer; null or empty
    // text gives null.
    virtual const char16_t* ExpandString(const char16_t* text, ExternalVariables* resolver) = 0;
    virtual const char16_t* GetClassGuid() = 0;
    virtual uint32_t GetSectionCount() const = 0;
    virtual const char16_t* GetLayoutFile() = 0;
    virtual uint32_t GetChecksum() const = 0;
};

// Called after each section has been read; false stops the parse (ParseRejected).
// The Inf holds only the sections read so far.
class ParserFilter {
public:
    virtual ~ParserFilter() = default;
    virtual bool Accept(Inf& inf, Section& section) = 0;
};

enum ParseFlags : uint32_t {
    HashComments = 1,     // '#' lines are comments and a trailing backslash continues nothing
    ComputeChecksum = 2,  // keep the 32-bit word sum of the whole file
    // Lines are kept as read and split into keys and fields when their section is first
    // asked for its entries: for a caller that looks at a few sections of many files.
    DeferEntries = 4,
};

enum ParseCode : uint32_t {
    ParseOk = Common::Codes::kParseOk,
    ParseReadError = Common::Codes::kParseReadError,
    ParseSyntaxError = Common::Codes::kParseSyntaxError,
    ParseRejected = Common::Codes::kParseRejected,
};

struct ParseError {
    // Line reads made when the parse stopped: the header that ends a section, and the
    // blank and comment lines just before it, are read (and counted) again for the next one.
    uint32_t line = 0;
    // Blanks before the '[' of a malformed section header; otherwise 0.
    uint32_t column = 0;
    uint32_t code = ParseOk;
};

// Reads `file` from its start. Returns null on failure with `error` (when given) telling
// why; an entry with an empty key fails with code ParseOk and the position reached.
std::unique_ptr<Inf> ParseInf(Common::i_file& file, ParserFilter* filter, ParseError* error, uint32_t flags);

}  // namespace Transvia
