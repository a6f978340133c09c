#pragma once

#include <cstddef>

#include "transvia/string.h"

namespace Transvia {

// Load-order groups whose services may take the associated-service slot from an earlier
// one. Fixed-width entries, as the table is kept: "Boot Bus Extende" lacks its final r on
// purpose, so a driver naming the group in full does not match.
constexpr size_t kServiceGroupCount = 61;
constexpr size_t kServiceGroupWidth = 35;  // 34 characters and the NUL
extern const char16_t ServiceGroupList[kServiceGroupCount][kServiceGroupWidth];

// True when `group` equals one entry of ServiceGroupList, ignoring case.
bool IsListedServiceGroup(const Processor::String& group);

}  // namespace Transvia
