#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "transvia/devices.h"

// The hardware description file: the devices of a machine written down, so that a
// host or a person can name the hardware of a machine the engine does not run on.
// Two forms, told apart by their first character (after an optional UTF-8 byte
// order mark and white space): "{" or "[" starts JSON, anything else is text.
//
//   JSON:  {"devices": [["PCI\\VEN_8086&DEV_2922&CC_010601", "PCI\\VEN_8086"], ["ACPIAPIC", "ACPIAPIC_MP"]]}
//          other members of the outer object are ignored.
//   Text:  one device per line, its identifiers separated by white space, most
//          specific first; "#" starts a comment that runs to the end of the line;
//          blank lines are ignored.
//
// Each identifier must be printable ASCII without spaces or commas, as Windows
// requires of hardware identifiers; a device needs at least one.
namespace Transvia {

enum class HardwareFileFormat { Json, Text };

struct HardwareFileError {
    size_t line = 0;    // 1-based; 0 when the fault has no single place
    size_t column = 0;  // 1-based byte column; 0 when unknown
    std::string message;
    // "line L, column C: message", or the message alone.
    std::string describe() const;
};

// The form a description is written in, from its first significant character.
HardwareFileFormat DetectHardwareFileFormat(std::string_view content);

// Parse a description into `devices` (appended to). On failure `devices` is left as it
// was, `error` says what and where, and the result is false.
bool ParseHardwareDescription(std::string_view content, DeviceList& devices, HardwareFileError& error);
bool ParseHardwareJson(std::string_view content, DeviceList& devices, HardwareFileError& error);
bool ParseHardwareText(std::string_view content, DeviceList& devices, HardwareFileError& error);

// Reads and parses a description file of this machine (at most kHardwareFileLimit bytes).
inline constexpr size_t kHardwareFileLimit = 64u << 20;
bool LoadHardwareDescription(const std::string& path, DeviceList& devices, HardwareFileError& error);

// Writes `devices` in the given form, one device per line (the text form after a
// comment line, so that it never starts like JSON). False (and `out`
// unchanged) when a device cannot be written so that it reads back the same: no
// identifiers, an identifier the file forms do not allow, or in the text form an
// identifier with "#".
bool FormatHardwareDescription(const DeviceList& devices, HardwareFileFormat format, std::string& out,
                               HardwareFileError& error);

}  // namespace Transvia
