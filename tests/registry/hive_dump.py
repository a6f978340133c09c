#!/usr/bin/env python3
"""Canonical dumps of a hive for differential tests: one made by python3-hivex from the
hive file, one parsed from a .reg export. Lines: "K<tab>path" and "V<tab>path<tab>name<tab>type<tab>hex",
paths below the root joined by backslashes; names are compared as written."""
import sys


def hivex_dump(path, out):
    import hivex
    h = hivex.Hivex(path)
    stack = [(h.root(), "")]
    while stack:
        node, key = stack.pop()
        out.append("K\t" + key)
        for v in h.node_values(node):
            t, data = h.value_value(v)
            out.append("V\t%s\t%s\t%x\t%s" % (key, h.value_key(v), t, data.hex()))
        children = h.node_children(node)
        for child in reversed(children):
            name = h.node_name(child)
            stack.append((child, name if not key else key + "\\" + name))


def unquote(text, i):
    assert text[i] == '"'
    out = []
    i += 1
    while text[i] != '"':
        if text[i] == '\\':
            i += 1
        out.append(text[i])
        i += 1
    return "".join(out), i + 1


def reg_dump(path, out):
    text = open(path, encoding="utf-8").read().replace("\\\n  ", "")
    lines = text.split("\n")
    assert lines[0] == "Windows Registry Editor Version 5.00", lines[0]
    key = None
    for line in lines[1:]:
        if not line:
            continue
        if line.startswith("["):
            full = line[1:-1]
            key = full.split("\\", 1)[1] if "\\" in full else ""
            out.append("K\t" + key)
            continue
        if line.startswith("@="):
            name, rest = "", line[2:]
        else:
            name, end = unquote(line, 0)
            rest = line[end + 1:]
        if rest.startswith('"'):
            value, _ = unquote(rest, 0)
            t, data = 1, (value + "\0").encode("utf-16-le", "surrogatepass")
        elif rest.startswith("dword:"):
            t, data = 4, int(rest[6:], 16).to_bytes(4, "little")
        elif rest.startswith("hex:"):
            t, data = 3, bytes.fromhex(rest[4:].replace(",", ""))
        else:
            close = rest.index(")")
            t, data = int(rest[4:close], 16), bytes.fromhex(rest[close + 2:].replace(",", ""))
        out.append("V\t%s\t%s\t%x\t%s" % (key, name, t, data.hex()))


if __name__ == "__main__":
    out = []
    (hivex_dump if sys.argv[1] == "hivex" else reg_dump)(sys.argv[2], out)
    sys.stdout.write("\n".join(out) + "\n")
