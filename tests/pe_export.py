#!/usr/bin/env python3
"""Checks that Windows executables' export tables list a 32-bit data symbol with a given
value: the loader's and the NVIDIA driver's view of the files, read from their PE headers.

usage: pe_export.py SYMBOL VALUE PROGRAM.exe...
Exits 0 when in every program SYMBOL is exported, lies in initialised data and holds VALUE.
"""
import struct
import sys

from pe_file import PeFile, fail


def check(path, symbol, expected):
    pe = PeFile(path)
    exported = pe.exports()
    if not exported:
        fail(f"{path} has no export table")
    for name, rva in exported:
        if name != symbol:
            continue
        if pe.is_forwarded(rva):
            fail(f"{symbol} is forwarded to another DLL")
        section, at = pe.locate(rva, 4, symbol)
        value, = struct.unpack_from("<i", pe.data, at)
        if value != expected:
            fail(f"{symbol} holds {value}, expected {expected}")
        print(f"{path}: exports {symbol} at RVA {rva:#x} in {section}, value {value}")
        return
    fail(f"{symbol} is not in the export table of {path} "
         f"(exports: {[name for name, _ in exported]})")


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    symbol, expected = sys.argv[1], int(sys.argv[2], 0)
    for path in sys.argv[3:]:
        check(path, symbol, expected)
    return 0


if __name__ == "__main__":
    sys.exit(main())
