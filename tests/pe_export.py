#!/usr/bin/env python3
"""Checks that Windows executables' export tables list a 32-bit data symbol with a given
value: the loader's and the NVIDIA driver's view of the files, read from their PE headers.

usage: pe_export.py SYMBOL VALUE PROGRAM.exe...
Exits 0 when in every program SYMBOL is exported, lies in initialised data and holds VALUE.
"""
import struct
import sys


def fail(message):
    print(f"FAIL: {message}")
    sys.exit(1)


def check(path, symbol, expected):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        fail(f"{path} is not an MZ/PE file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        fail(f"{path} has no PE signature")
    sections_count, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        fail(f"{path} is not a 64-bit (PE32+) image")
    export_rva, export_size = struct.unpack_from("<II", data, optional + 112)
    if export_rva == 0 or export_size == 0:
        fail(f"{path} has no export table")

    sections = []
    for i in range(sections_count):
        entry = optional + optional_size + 40 * i
        name = data[entry:entry + 8].rstrip(b"\0").decode(errors="replace")
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from(
            "<IIII", data, entry + 8)
        sections.append((name, virtual_address, max(virtual_size, raw_size), raw_size,
                         raw_offset))

    def locate(rva, length):
        """Returns (section name, file offset) of `length` initialised bytes at `rva`."""
        for name, start, size, raw_size, raw_offset in sections:
            if start <= rva and rva + length <= start + size:
                if rva + length > start + raw_size:
                    fail(f"{symbol} lies in uninitialised data of section {name}")
                return name, raw_offset + rva - start
        fail(f"RVA {rva:#x} lies in no section")

    _, directory = locate(export_rva, 40)
    (_flags, _stamp, _major, _minor, _name, _base, functions_count, names_count, functions_rva,
     names_rva, ordinals_rva) = struct.unpack_from("<IIHHIIIIIII", data, directory)
    _, names = locate(names_rva, 4 * names_count)
    _, ordinals = locate(ordinals_rva, 2 * names_count)
    _, functions = locate(functions_rva, 4 * functions_count)
    exported = []
    for i in range(names_count):
        name_rva, = struct.unpack_from("<I", data, names + 4 * i)
        _, at = locate(name_rva, 1)
        name = data[at:data.index(b"\0", at)].decode(errors="replace")
        exported.append(name)
        if name != symbol:
            continue
        index, = struct.unpack_from("<H", data, ordinals + 2 * i)
        rva, = struct.unpack_from("<I", data, functions + 4 * index)
        if export_rva <= rva < export_rva + export_size:
            fail(f"{symbol} is forwarded to another DLL")
        section, at = locate(rva, 4)
        value, = struct.unpack_from("<i", data, at)
        if value != expected:
            fail(f"{symbol} holds {value}, expected {expected}")
        print(f"{path}: exports {symbol} at RVA {rva:#x} in {section}, value {value}")
        return
    fail(f"{symbol} is not in the export table of {path} (exports: {exported})")


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    symbol, expected = sys.argv[1], int(sys.argv[2], 0)
    for path in sys.argv[3:]:
        check(path, symbol, expected)
    return 0


if __name__ == "__main__":
    sys.exit(main())
