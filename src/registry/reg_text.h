#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/file_reg.h"
#include "transvia/error.h"

// The text format of registry exports ("Windows Registry Editor Version 5.00"):
// writing a key tree out, and reading such a file back as a list of edits.
namespace Common::RegText {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";

// Receives an export piece by piece, in order.
using Sink = std::function<void(std::string_view)>;

// Writes `key` and everything under it. `path` is the key's path below the hive root
// (empty for the root) and `prefix` what stands before it in every "[...]" line.
// False when a part of the tree cannot be read; what could be read is written.
bool Export(const file_reg& key, const std::u16string& path, const std::u16string& prefix, const Sink& sink);
// The same, collected in one string (small hives, tests).
bool Export(const file_reg& key, const std::u16string& path, const std::u16string& prefix, std::string& out);

// Formats one value line (without line end); lossless: data that does not survive as
// a quoted string is written as hex.
std::string FormatValue(const std::u16string& name, uint32_t type, const std::vector<uint8_t>& data);

struct Edit {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind = CreateKey;
    std::u16string key;  // below the hive root, backslash-separated, empty for the root
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    uint32_t line = 0;
};

// Parses a .reg file (UTF-8, or UTF-16LE with BOM). Key paths must begin with `prefix`
// (case-insensitive); with an empty prefix the first path component is dropped.
// Raises nothing: false with `error` naming the line on malformed input.
bool Parse(const std::string& bytes, const std::u16string& prefix, std::vector<Edit>& edits, Error& error);

// Applies edits to a hive; false with `error` at the first edit that fails.
bool Apply(file_reg& root, const std::vector<Edit>& edits, Error& error);

// Deletes a subkey with its whole subtree, every key after its own subkeys.
bool DeleteTree(file_reg& parent, const std::u16string& name);

}  // namespace Common::RegText
