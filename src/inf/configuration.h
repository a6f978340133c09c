#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "inf/inf.h"
#include "registry/hive_recovery.h"
#include "transvia/dir.h"
#include "transvia/string.h"

// The engine's few settings of the machine it runs on. They live in "transvia.conf"
// beside the library, or in the file that TRANSVIA_CONF names, written in INF syntax:
//
//   [Settings]
//   hwdb.txt = "/etc/transvia/hwdb.txt"   ; hardware database (default: hwdb.txt beside the library)
//   IgnoreDriverWarnings = 1
//   StrictLogReplay = 1                   ; refuse a dirty hive whose logs cannot all be recovered
//
// A missing file or setting means the default; an unreadable file is traced and ignored.
namespace Transvia {

constexpr const char* kConfigurationFileName = "transvia.conf";
constexpr const char* kConfigurationVariable = "TRANSVIA_CONF";

namespace Settings {
constexpr const char16_t* kHardwareDatabase = u"hwdb.txt";
constexpr const char16_t* kIgnoreDriverWarnings = u"IgnoreDriverWarnings";
constexpr const char16_t* kStrictLogReplay = u"StrictLogReplay";
}  // namespace Settings

class Configuration {
public:
    Configuration() = default;
    explicit Configuration(std::unique_ptr<Inf> inf) : inf_(std::move(inf)) {}

    // The text of a [Settings] line; none when the line is absent or its value empty.
    std::optional<Processor::String> GetString(const char16_t* name) const;
    // A [Settings] line read as a number; none when absent or not a number (traced).
    std::optional<uint64_t> GetNumber(const char16_t* name) const;
    bool empty() const { return inf_ == nullptr; }

private:
    std::unique_ptr<Inf> inf_;
};

// How hives are read with the transaction logs beside them, as the settings say.
Common::HiveLogPolicy HiveLogPolicyFrom(const Configuration& configuration);

// The file TRANSVIA_CONF names when that is set, else "transvia.conf" beside the library.
Configuration LoadConfiguration();
// `path` is a path of this machine; a relative one is taken beside the library.
Configuration LoadConfigurationFile(const std::string& path);

// Opens a file that ships with the engine or that a setting names: an absolute path as it
// is, a relative one below the library's folder (never above it). Null with `error` set
// when it cannot be opened.
std::shared_ptr<Common::i_file> OpenShippedFile(const std::string& path, Common::Error& error);

}  // namespace Transvia
