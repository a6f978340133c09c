#!/usr/bin/env python3
"""Writes the smallest file whose PE header names a machine type, standing in for
a target's System32\\ntdll.dll (the engine reads nothing else of it).

usage: make_ntdll_header.py OUTPUT [amd64|x86|ia64|0xNNNN]
"""
import struct
import sys

MACHINES = {"x86": 0x014C, "ia64": 0x0200, "amd64": 0x8664}


def header(machine: int) -> bytes:
    dos = bytearray(64)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 60, 64)  # e_lfanew: NT headers right after the DOS header
    nt = b"PE\0\0" + struct.pack("<HHIIIHH", machine, 0, 0, 0, 0, 0, 0x2022)
    return bytes(dos) + nt


def main() -> None:
    kind = sys.argv[2] if len(sys.argv) > 2 else "amd64"
    machine = MACHINES.get(kind) or int(kind, 16)
    with open(sys.argv[1], "wb") as out:
        out.write(header(machine))


if __name__ == "__main__":
    main()
