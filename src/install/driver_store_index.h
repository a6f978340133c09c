#pragma once

#include <cstdint>
#include <optional>

#include "transvia/dir.h"
#include "transvia/string.h"

// The driver store index of later Windows versions: "infpub.dat" maps a published INF
// name to records that point into "infstor.dat", which names the INF's folder below
// "DriverStore\FileRepository". Both files come from the target and are untrusted: every
// offset is checked against the file, names must end within a bound, and a chain walk
// stops after as many steps as the file could hold entries.
namespace Transvia {

namespace DriverStoreIndex {
constexpr const char16_t* kPublishedFile = u"infpub.dat";
constexpr const char16_t* kStoreFile = u"infstor.dat";
constexpr uint32_t kBuckets = 509;
constexpr uint32_t kTableOffset = 16;                     // the bucket table's file offset; entry offsets count from here
constexpr uint32_t kFirstEntry = kBuckets * 4;            // no entry lies inside the table
constexpr uint32_t kRecordSize = 64;                      // after the INF name
constexpr uint32_t kStoreOffsets = 8;                     // in the record's last 32 bytes
constexpr uint32_t kStoreNameOffset = 20;                 // of an "infstor.dat" entry
constexpr uint32_t kMaxNameBytes = 2048;                  // a name with its NUL
constexpr uint32_t kNone = 0xFFFFFFFF;

// The bucket of an INF name: the sum of its lower-cased UTF-16 units, modulo 509.
uint32_t Bucket(const Processor::String& name);
}  // namespace DriverStoreIndex

// The folder name the index gives for `infName`, or nothing when the index does not hold
// it or is malformed. Reads only through read_at, never past either file.
std::optional<Processor::String> FindInDriverStoreIndex(Common::i_file& published, Common::i_file& store,
                                                        const Processor::String& infName);

// The same over "infpub.dat" and "infstor.dat" of `folder`; an index file that cannot be
// opened sets `error` (0x1D0261, naming the file) and gives nothing.
std::optional<Processor::String> FindDriverStoreFolder(const Common::i_dir& folder, const Processor::String& infName,
                                                       Common::Error& error);

// The same, for callers that stop on a missing index file. An empty name gives nothing;
// an index file that cannot be opened is traced and thrown (0x1D0261, naming the file).
std::optional<Processor::String> LookupDriverStoreFolder(const Common::i_dir& folder, const Processor::String& infName);

}  // namespace Transvia
