// Fuzz target: ParseInf on any bytes, then every model operation and ExpandString on what
// it built. The first input byte chooses the parse flags and where a filter says stop.
// A parse that splits lines on first use must give what the parse that splits them at
// once gives: the same error, or the same sections, keys and fields.
#include <cstddef>
#include <cstdint>
#include <string>

#include "inf/inf.h"
#include "inf/memory_file.h"

namespace {

class StopAfter : public Transvia::ParserFilter {
public:
    explicit StopAfter(uint32_t count) : left_(count) {}
    bool Accept(Transvia::Inf& inf, Transvia::Section& section) override
    {
        // Touch what a real filter reads: the section so far and the [Version] class.
        inf.GetClassGuid();
        section.GetEntry(0);
        return left_-- != 0;
    }

private:
    uint32_t left_;
};

class EchoResolver : public Transvia::ExternalVariables {
public:
    Processor::String Resolve(const char16_t* token) override { return Processor::String(token); }
};

void Walk(Transvia::Inf& inf)
{
    EchoResolver resolver;
    inf.GetClassGuid();
    inf.GetLayoutFile();
    for (uint32_t s = 0; s < inf.GetSectionCount(); ++s) {
        Transvia::Section* section = inf.GetSection(static_cast<int32_t>(s));
        // Not necessarily the same section: a name may hold a zero code unit.
        inf.FindSection(section->GetName());
        // Backwards, so that the cursor walks from the start every time.
        for (int32_t e = static_cast<int32_t>(section->GetEntryCount()) - 1; e >= 0; --e) {
            Transvia::SectionEntry* entry = section->GetEntry(e);
            const std::u16string key(entry->GetKey());
            if (!key.empty()) {
                section->FindEntry(key.c_str());
                section->FindEntry((u"%" + key + u"%").c_str());
            }
            for (uint32_t f = 0; f <= entry->GetFieldCount(); ++f) {
                const char16_t* field = entry->GetField(static_cast<int32_t>(f));
                if ((field == nullptr) != (f == entry->GetFieldCount()))
                    __builtin_trap();
                inf.ExpandString(field, (f & 1) ? &resolver : nullptr);
            }
        }
    }
}

// Every section name, key and field, in order.
std::u16string Render(Transvia::Inf& inf)
{
    std::u16string out;
    for (uint32_t s = 0; s < inf.GetSectionCount(); ++s) {
        Transvia::Section* section = inf.GetSection(static_cast<int32_t>(s));
        out.append(u"[").append(section->GetName()).append(u"]\n");
        for (uint32_t e = 0; e < section->GetEntryCount(); ++e) {
            Transvia::SectionEntry* entry = section->GetEntry(static_cast<int32_t>(e));
            out.append(entry->GetKey()).append(u"=");
            for (uint32_t f = 0; f < entry->GetFieldCount(); ++f)
                out.append(entry->GetField(static_cast<int32_t>(f))).append(u"|");
            out.append(u"\n");
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint32_t flags = data[0] & 7;
    const uint32_t stopAfter = data[0] >> 3;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    Transvia::MemoryFile file(text);
    Transvia::ParseError error;
    StopAfter filter(stopAfter);
    auto inf = Transvia::ParseInf(file, stopAfter == 31 ? nullptr : &filter, &error, flags);
    if ((flags & Transvia::DeferEntries) != 0) {
        Transvia::MemoryFile again(text);
        Transvia::ParseError eagerError;
        StopAfter eagerFilter(stopAfter);
        auto eager = Transvia::ParseInf(again, stopAfter == 31 ? nullptr : &eagerFilter, &eagerError,
                                        flags & ~uint32_t{Transvia::DeferEntries});
        if ((inf == nullptr) != (eager == nullptr) || error.code != eagerError.code || error.line != eagerError.line ||
            error.column != eagerError.column || (inf && Render(*inf) != Render(*eager)))
            __builtin_trap();
    }
    if (inf)
        Walk(*inf);
    else if (error.code != Transvia::ParseOk && error.code != Transvia::ParseReadError &&
             error.code != Transvia::ParseSyntaxError && error.code != Transvia::ParseRejected)
        __builtin_trap();
    return 0;
}
