#include "install/string_list.h"

namespace Transvia {

std::u16string StringList::Build() const
{
    std::u16string data;
    for (const Processor::String& text : strings_) {
        if (text.isEmpty())
            continue;
        data.append(reinterpret_cast<const char16_t*>(text.getBuffer()), static_cast<size_t>(text.length()));
        data.push_back(u'\0');
    }
    data.push_back(u'\0');
    return data;
}

StringList StringList::Parse(const char16_t* data, size_t units)
{
    StringList list;
    size_t start = 0;
    for (size_t i = 0; data && i <= units; ++i) {
        if (i < units && data[i] != u'\0')
            continue;
        if (i == start)
            break;  // the empty string that ends the list
        list.Append(Processor::String(data + start, static_cast<int32_t>(i - start)));
        start = i + 1;
    }
    return list;
}

}  // namespace Transvia
