// %key% substitution on request: values stay raw in the model and are expanded only
// where a caller needs the final text.
#include <string>
#include <string_view>
#include <vector>

#include "inf/inf_model.h"

namespace Transvia {

namespace {

// One result buffer for every Inf of the process: it grows when a result needs more
// room and never shrinks, so steady-state expansion allocates nothing.
std::vector<char16_t>& ResultBuffer()
{
    static std::vector<char16_t> buffer;
    return buffer;
}

void Append(std::vector<char16_t>& out, std::u16string_view text)
{
    out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

const char16_t* InfParser::ExpandString(const char16_t* text, ExternalVariables* resolver)
{
    if (text == nullptr || text[0] == u'\0')
        return nullptr;
    std::u16string_view input(text);
    const size_t firstPercent = input.find(u'%');
    if (firstPercent == std::u16string_view::npos || input.find(u'%', firstPercent + 1) == std::u16string_view::npos)
        return text;

    std::vector<char16_t>& out = ResultBuffer();
    // A caller may pass back an earlier result, which lives in the buffer about to be rewritten.
    std::u16string ownCopy;
    if (text >= out.data() && text < out.data() + out.capacity()) {
        ownCopy.assign(input);
        input = ownCopy;
    }
    out.clear();

    // Replacements come from [Strings] only; locale variants of it are not consulted.
    SectionImpl* const strings = Find(u"STRINGS");
    std::u16string token;
    size_t position = 0;
    while (position < input.size()) {
        const size_t open = input.find(u'%', position);
        const size_t close = open == std::u16string_view::npos ? open : input.find(u'%', open + 1);
        if (close == std::u16string_view::npos) {
            Append(out, input.substr(position));
            break;
        }
        Append(out, input.substr(position, open - position));
        if (close == open + 1) {
            out.push_back(u'%');
        } else {
            const std::u16string_view whole = input.substr(open, close - open + 1);
            SectionEntryImpl* const entry =
                strings != nullptr ? strings->FindEntryExact(whole.substr(1, whole.size() - 2)) : nullptr;
            if (entry != nullptr) {
                Append(out, entry->GetField(0));
            } else if (resolver != nullptr) {
                token.assign(whole);
                const Processor::String value = resolver->Resolve(token.c_str());
                Append(out, std::u16string_view(value.getBuffer(), static_cast<size_t>(value.length())));
            } else {
                Append(out, whole);
            }
        }
        position = close + 1;
    }
    out.push_back(u'\0');
    return out.data();
}

}  // namespace Transvia
