#!/usr/bin/env python3
"""What the cleanup changes in a SYSTEM hive, read by python3-hivex, one fact a line:
S service start | O service subkey | P device instance classguid | F class value entries |
A acpi-device | R value-name dword (Control\\CrashControl)."""
import sys

import hivex


def child(h, node, name):
    for c in h.node_children(node):
        if h.node_name(c).lower() == name.lower():
            return c
    return None


def values(h, node):
    out = {}
    for v in h.node_values(node):
        out[h.value_key(v).lower()] = v
    return out


def main(path):
    h = hivex.Hivex(path)
    root = h.root()
    current = 1
    select = child(h, root, "Select")
    if select and "current" in values(h, select):
        current = h.value_dword(values(h, select)["current"])
    cs = child(h, root, "ControlSet%03d" % current)
    out = []
    services = child(h, cs, "Services")
    for s in h.node_children(services):
        name = h.node_name(s)
        v = values(h, s).get("start")
        start = "-"
        if v is not None and h.value_type(v)[0] == 4:
            start = str(h.value_dword(v))
        out.append("S\t%s\t%s" % (name, start))
        for sub in h.node_children(s):
            out.append("O\t%s\t%s" % (name, h.node_name(sub)))
    enum = child(h, cs, "Enum")
    pci = child(h, enum, "PCI")
    for d in h.node_children(pci):
        for i in h.node_children(d):
            v = values(h, i).get("classguid")
            guid = h.value_string(v) if v is not None and h.value_type(v)[0] == 1 else "-"
            out.append("P\t%s\t%s\t%s" % (h.node_name(d), h.node_name(i), guid))
    acpi = child(h, enum, "ACPI")
    for d in h.node_children(acpi) if acpi else []:
        out.append("A\t%s" % h.node_name(d))
    classes = child(h, child(h, cs, "Control"), "Class")
    for c in h.node_children(classes):
        for key, v in values(h, c).items():
            if key in ("upperfilters", "lowerfilters"):
                out.append("F\t%s\t%s\t%s" % (h.node_name(c).lower(), key, ",".join(e for e in h.value_multiple_strings(v) if e)))
    crash = child(h, child(h, cs, "Control"), "CrashControl")
    if crash:
        for key, v in values(h, crash).items():
            if h.value_type(v)[0] == 4:
                out.append("R\t%s\t%d" % (key, h.value_dword(v)))
    print("\n".join(out))


if __name__ == "__main__":
    main(sys.argv[1])
