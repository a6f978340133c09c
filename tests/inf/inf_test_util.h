#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "inf/inf.h"
#include "inf/memory_file.h"
#include "support/text.h"

// Helpers shared by the INF tests: parsing literal bytes and a readable rendering of the model.
namespace InfTest {

inline std::unique_ptr<Transvia::Inf> Parse(std::string_view bytes, uint32_t flags = 0,
                                            Transvia::ParseError* error = nullptr,
                                            Transvia::ParserFilter* filter = nullptr)
{
    Transvia::MemoryFile file(bytes);
    return Transvia::ParseInf(file, filter, error, flags);
}

inline std::string Utf8(const char16_t* text)
{
    return text == nullptr ? std::string("(null)") : Processor::ToUtf8(std::u16string_view(text));
}

// One line per section and per entry: "[NAME]" then "key => <field><field>".
inline std::string Dump(Transvia::Inf& inf)
{
    std::string out;
    for (uint32_t s = 0; s < inf.GetSectionCount(); ++s) {
        Transvia::Section* section = inf.GetSection(static_cast<int32_t>(s));
        out += "[" + Utf8(section->GetName()) + "]\n";
        for (uint32_t e = 0; e < section->GetEntryCount(); ++e) {
            Transvia::SectionEntry* entry = section->GetEntry(static_cast<int32_t>(e));
            out += Utf8(entry->GetKey()) + " =>";
            for (uint32_t f = 0; f < entry->GetFieldCount(); ++f)
                out += " <" + Utf8(entry->GetField(static_cast<int32_t>(f))) + ">";
            out += "\n";
        }
    }
    return out;
}

// UTF-16LE file bytes with the FF FE mark, from UTF-16 text.
inline std::string Utf16File(std::u16string_view text)
{
    std::string bytes("\xFF\xFE", 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

}  // namespace InfTest
