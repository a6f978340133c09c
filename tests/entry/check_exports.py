#!/usr/bin/env python3
"""What libtransvia.so exports must be the public API and nothing else.

Usage: check_exports.py LIBRARY INCLUDE_DIR

Every dynamic symbol the library defines must belong to a name declared in the public
headers (a class or function of namespace Common or Transvia, or one of the three
entries); no std:: template instance, no internal helper. The entries a host calls must
all be there, and the public headers must define no macro of the engine's own.
"""
import pathlib
import re
import subprocess
import sys

ENTRIES = ("InstallDrivers", "ScheduleForWindowsInstall", "SetTraceRedirection")
REQUIRED = ENTRIES + ("Common::Error::Make", "Common::OpenLocalDirectory", "Transvia::CreateFolderStorage",
                      "Transvia::SameId")
SPECIAL = re.compile(r"^(typeinfo name for |typeinfo for |vtable for |VTT for |non-virtual thunk to |virtual thunk to )")


def exported(library):
    out = subprocess.run(["nm", "-D", "--defined-only", "-C", library], check=True, capture_output=True,
                         text=True).stdout
    symbols = []
    for line in out.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] not in ("A",):  # "A": the version node itself
            symbols.append(parts[2].split("@")[0])
    return symbols


def owner(symbol):
    """The public name a symbol belongs to: "Common::Error" for its members, the function otherwise."""
    name = SPECIAL.sub("", symbol)
    name = name.split("(")[0]
    parts = name.split("::")
    if parts[0] in ("Common", "Transvia") and len(parts) >= 2:
        return parts[0], parts[1]
    return None, parts[0]


def main():
    library, include_dir = sys.argv[1], pathlib.Path(sys.argv[2])
    headers = "\n".join(p.read_text() for p in sorted(include_dir.glob("*.h")))
    declared = set(re.findall(r"\b([A-Za-z_]\w*)\b", headers))
    problems = []

    symbols = exported(library)
    for symbol in symbols:
        namespace, name = owner(symbol)
        if namespace is None and name not in ENTRIES:
            problems.append(f"not part of the public API: {symbol}")
        elif namespace is not None and name not in declared:
            problems.append(f"not declared in a public header: {symbol}")
    for required in REQUIRED:
        if not any(SPECIAL.sub("", s).split("(")[0] == required for s in symbols):
            problems.append(f"missing from the exports: {required}")

    for path in sorted(include_dir.glob("*.h")):
        for macro in re.findall(r"^\s*#\s*define\s+(\w+)", path.read_text(), re.M):
            if macro != "TRANSVIA_API":
                problems.append(f"{path.name} defines the macro {macro}")
        for internal in ("TV_HERE", "SiteId"):
            if re.search(rf"\b{internal}\b", path.read_text()):
                problems.append(f"{path.name} mentions the internal {internal}")

    for problem in problems:
        print(problem)
    print(f"{len(symbols)} exported symbols, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
