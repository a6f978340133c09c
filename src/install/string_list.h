#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "transvia/string.h"

namespace Transvia {

// The strings of a REG_MULTI_SZ value, in order. Windows ends the list at the first empty
// string, so empty entries cannot be stored and are dropped when the data is built.
class StringList {
public:
    StringList() = default;

    void Append(const Processor::String& text) { strings_.push_back(text); }
    size_t size() const { return strings_.size(); }
    bool empty() const { return strings_.empty(); }
    const Processor::String& operator[](size_t index) const { return strings_[index]; }
    const std::vector<Processor::String>& strings() const { return strings_; }

    // Each non-empty string and its NUL, then one more NUL; an empty list gives one NUL alone.
    std::u16string Build() const;
    // The strings of `units` code units of REG_MULTI_SZ data, up to the first empty one (or
    // the end of the buffer when it lacks its terminator).
    static StringList Parse(const char16_t* data, size_t units);

private:
    std::vector<Processor::String> strings_;
};

}  // namespace Transvia
