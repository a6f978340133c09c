#pragma once

#include <cstdint>
#include <string>

#include <initializer_list>

#include "support/variant.h"
#include "transvia/codes.h"
#include "transvia/error.h"
#include "transvia/string.h"

// The numbered texts of "solvane.msg", loaded once and kept for the process.
namespace Common::MessageTable {

constexpr const char* kFileName = "solvane.msg";

// Reads and validates a table from a host path. On failure nothing changes and the
// error names the file and what is wrong with it.
Error Load(const std::string& path);
bool Loaded();
// The text of message `number`; an empty text when no table is loaded or the number is out of range.
const char16_t* Get(uint32_t number);
// Whether `text` points into the loaded text block (such texts are referenced, not copied).
bool Contains(const char16_t* text);
// Message `number` formatted with `arguments`.
Processor::String Text(uint32_t number, std::initializer_list<Processor::Variant> arguments = {});

}  // namespace Common::MessageTable
