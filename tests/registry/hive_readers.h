#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/fixtures.h"

// The hive readers that are not ours, python3-hivex and libregf's regfexport, reduced to
// what tests compare: every key with its last-write time and values.
namespace HiveReaders {

inline const std::string kPython = "/usr/bin/python3";

inline std::string Quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

inline bool HaveHivex() { return TestSupport::RunCommand(kPython + " -c 'import hivex' 2>/dev/null") == 0; }
inline bool HaveRegfexport() { return TestSupport::HaveProgram("regfexport"); }

// One key as hivex sees it. Values are "name=type:data" sorted by name, data in hex, or a
// SHA-1 of it beyond 64 bytes so that a big hive's dump stays small.
struct HivexKey {
    uint64_t timestamp = 0;
    std::string values;
    bool operator==(const HivexKey&) const = default;
};
using HivexTree = std::map<std::string, HivexKey>;

// Every key of `hive` by path below the root (names backslash-joined, the root is ""),
// or false when hivex refuses the hive or fails on the way.
inline bool HivexKeys(const std::filesystem::path& hive, HivexTree& tree)
{
    const std::string script = R"PY(
import hashlib, sys, hivex
h = hivex.Hivex(sys.argv[1])
esc = lambda s: s.encode('unicode_escape').decode('ascii')
out = []
stack = [(h.root(), '')]
while stack:
    node, path = stack.pop()
    vals = []
    for v in h.node_values(node):
        t, data = h.value_value(v)
        shown = data.hex() if len(data) <= 64 else 'sha1-' + hashlib.sha1(data).hexdigest()
        vals.append('%s=%d:%s' % (esc(h.value_key(v)), t, shown))
    out.append('%s\t%d\t%s' % (path, h.node_timestamp(node), ' '.join(sorted(vals))))
    for child in h.node_children(node):
        name = esc(h.node_name(child))
        stack.append((child, name if not path else path + '\\' + name))
sys.stdout.write('\n'.join(out) + '\n')
)PY";
    std::string out;
    if (TestSupport::RunCommand(kPython + " - " + Quoted(hive) + " 2>/dev/null <<'EOF'\n" + script + "EOF\n", &out) != 0)
        return false;
    tree.clear();
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
        if (tab1 == std::string::npos || tab2 == std::string::npos)
            return false;
        HivexKey& key = tree[line.substr(0, tab1)];
        key.timestamp = std::stoull(line.substr(tab1 + 1, tab2 - tab1 - 1));
        key.values = line.substr(tab2 + 1);
    }
    return !tree.empty();
}

// What regfexport prints of each key, by key path ("ROOT\\Key"): the "Value:", "Type:" and
// "Data:" lines, in its order. False unless regfexport read the whole hive.
inline bool RegfexportKeys(const std::filesystem::path& hive, std::map<std::string, std::vector<std::string>>& keys)
{
    std::string out;
    TestSupport::RunCommand("{ regfexport " + Quoted(hive) + " 2>/dev/null; echo \"regfexport exit $?\"; } | " +
                                "grep -E '^(Key path: |Value: |Type: |Data size: |Data: |regfexport exit )'",
                            &out);
    keys.clear();
    std::istringstream lines(out);
    std::vector<std::string>* current = nullptr;
    std::string last;
    for (std::string line; std::getline(lines, line);) {
        last = line;
        if (line.starts_with("Key path: "))
            current = &keys[line.substr(10)];
        else if (current && !line.starts_with("regfexport exit "))
            current->push_back(line);
    }
    return last == "regfexport exit 0" && !keys.empty();
}

}  // namespace HiveReaders
