#!/usr/bin/env python3
"""Lays out a seed corpus per fuzz target: OUT/<target>/<files>.

    fuzz/make_seeds.py OUT [TESTDATA]

TESTDATA is the shared folder of real hives and INF files (../shared/testdata); where it
is absent, only the seeds made here and those in the repository are laid out. Hives are
cut to their base block and bins (Windows grows hive files ahead of their bins, and the
zeros behind only slow the fuzzer down)."""
import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MAX_SEED = 512 * 1024


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def cut_hive(data):
    if len(data) >= 4096 and data[:4] == b"regf":
        bins = struct.unpack_from("<I", data, 0x28)[0]
        if 0 < bins <= len(data) - 4096:
            return data[:4096 + bins]
    return data


def files_under(folder, suffixes=None):
    for base, _, names in sorted(os.walk(folder)):
        for name in sorted(names):
            if suffixes is None or name.lower().endswith(suffixes):
                yield os.path.join(base, name)


def hive_seeds(out, testdata):
    folder = os.path.join(out, "hive_fuzzer")
    os.makedirs(folder, exist_ok=True)
    if not testdata:
        return
    for sub in ("hives", "hostile"):
        for path in files_under(os.path.join(testdata, sub)):
            if ".LOG" in os.path.basename(path).upper():
                continue
            data = cut_hive(read(path))
            if len(data) <= MAX_SEED:
                write(folder, os.path.relpath(path, testdata).replace(os.sep, "_"), data)


def replay_seed(flags, log1, log2, primary):
    return bytes([flags]) + struct.pack("<II", len(log1), len(log2)) + log1 + log2 + primary


def log_replay_seeds(out, testdata):
    folder = os.path.join(out, "log_replay_fuzzer")
    os.makedirs(folder, exist_ok=True)
    if not testdata:
        return
    yarp = os.path.join(testdata, "hives", "yarp")
    for hive in ("NewDirtyHive1/NewDirtyHive", "OldDirtyHive/OldDirtyHive"):
        path = os.path.join(yarp, hive)
        if not os.path.exists(path):
            continue
        primary = cut_hive(read(path))
        logs = [read(path + suffix) if os.path.exists(path + suffix) else b"" for suffix in (".LOG1", ".LOG2")]
        name = os.path.basename(hive)
        for flags in (0, 1):
            write(folder, "%s_%d" % (name, flags), replay_seed(flags, logs[0], logs[1], primary))
        write(folder, name + "_log2_only", replay_seed(1, b"", logs[1], primary))


REG_SEEDS = {
    "edits.reg": "Windows Registry Editor Version 5.00\n\n[ROOT\\A]\n\"s\"=\"text\"\n@=\"default\"\n"
                 "\"d\"=dword:0000002a\n\"b\"=hex:01,02,03\n\"m\"=hex(7):61,00,00,00,00,00\n"
                 "\"q\"=hex(b):01,00,00,00,00,00,00,00\n\n[ROOT\\A\\B\\C]\n\"x\"=hex(2):25,00,00,00\n\n"
                 "[ROOT\\A]\n\"s\"=-\n\n[-ROOT\\A\\B]\n",
    "unicode.reg": "Windows Registry Editor Version 5.00\n\n[ROOT\\Ключ\\é]\n\"名前\"=\"値\"\n\"q\\\"\\\\\"=\"\\\\\"\n",
    "big.reg": "Windows Registry Editor Version 5.00\n\n[ROOT\\Big]\n\"v\"=hex:" +
               ",\\\n  ".join(",".join("%02x" % (i & 255) for i in range(j, j + 25)) for j in range(0, 17000, 25)) + "\n",
}


def reg_import_seeds(out):
    folder = os.path.join(out, "reg_import_fuzzer")
    for name, text in REG_SEEDS.items():
        write(folder, name, text.encode("utf-8"))
    write(folder, "utf16.reg", b"\xff\xfe" + REG_SEEDS["edits.reg"].encode("utf-16-le"))
    for path in files_under(os.path.join(ROOT, "data", "sample-registry"), (".reg",)):
        write(folder, os.path.basename(path), read(path))


def inf_seeds(out, testdata):
    folder = os.path.join(out, "inf_fuzz")
    os.makedirs(folder, exist_ok=True)
    if not testdata:
        return
    for path in files_under(os.path.join(testdata, "inf"), (".inf", ".oem", ".sif", ".inx")):
        data = read(path)
        if len(data) <= 64 * 1024:
            write(folder, os.path.relpath(path, testdata).replace(os.sep, "_"), data)


def hardware_seeds(out):
    folder = os.path.join(out, "hardware_file_fuzz")
    write(folder, "text", b"PCI\\VEN_8086&DEV_2922&SUBSYS_11001AF4&REV_02 PCI\\VEN_8086&DEV_2922&CC_010601\t"
                          b"PCI\\CC_0106\r\nACPI\\PNP0A08 *PNP0A08\n# comment\n")
    write(folder, "json", b'{"devices": [["PCI\\\\VEN_8086&DEV_2922&SUBSYS_11001AF4&REV_02", "PCI\\\\CC_0106"],'
                          b' ["ACPI\\\\ACPI0007", "*ACPI0007"]]}')


def message_format_seeds(out):
    folder = os.path.join(out, "fuzz_message_format")
    os.makedirs(folder, exist_ok=True)
    count = 0
    for line in read(os.path.join(ROOT, "data", "messages.txt")).decode("utf-8").splitlines():
        if "{" not in line or "\t" not in line:
            continue
        text = line.split("\t", 1)[1]
        write(folder, "message_%d" % count, bytes([count * 37 & 255]) + text.encode("utf-16-le"))
        count += 1
        if count == 40:
            break
    for i, pattern in enumerate(("ControlSet{0,number,integer,000}", "{0,number,#,##0.00} {1} {2,number}")):
        write(folder, "pattern_%d" % i, bytes([i * 21]) + pattern.encode("utf-16-le"))


def install_seeds(out, testdata):
    """Seeds for the driver-package targets: the committed index seeds, real cabinets,
    small real INF files for AddReg and services, numbers (UTF-16LE) in every spelling INF files use."""
    index = os.path.join(out, "driver_store_index_fuzz")
    os.makedirs(index, exist_ok=True)
    for path in files_under(os.path.join(ROOT, "fuzz", "install", "seeds", "driver_store_index")):
        write(index, os.path.basename(path), read(path))
    cab = os.path.join(out, "cab_extract_fuzz")
    add_reg = os.path.join(out, "add_reg_fuzz")
    os.makedirs(cab, exist_ok=True)
    os.makedirs(add_reg, exist_ok=True)
    numbers = os.path.join(out, "parse_number_fuzz")
    for i, text in enumerate((b"0x1F", b"1Fh", b"-12", b"4294967295", b"0x100000000", b" 0010 ", b"")):
        write(numbers, "number_%d" % i, text.decode("ascii").encode("utf-16-le"))
    if not testdata:
        return
    for path in files_under(os.path.join(testdata, "inf", "cab")):
        data = read(path)
        if len(data) <= 1024 * 1024:
            write(cab, os.path.basename(path), data)
    for path in files_under(os.path.join(testdata, "inf"), (".inf",)):
        data = read(path)
        if len(data) <= 16 * 1024:
            write(add_reg, os.path.relpath(path, testdata).replace(os.sep, "_"), data)


def main():
    out = sys.argv[1]
    testdata = sys.argv[2] if len(sys.argv) > 2 and os.path.isdir(sys.argv[2]) else None
    if not testdata:
        print("make_seeds: no shared test data; only the seeds made here are used")
    hive_seeds(out, testdata)
    log_replay_seeds(out, testdata)
    reg_import_seeds(out)
    inf_seeds(out, testdata)
    hardware_seeds(out)
    message_format_seeds(out)
    install_seeds(out, testdata)


if __name__ == "__main__":
    main()
