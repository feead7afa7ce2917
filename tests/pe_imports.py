#!/usr/bin/env python3
"""Checks that Windows executables load no CUDA library when they start: neither the NVIDIA
driver (nvcuda.dll), which the driver API path loads itself at run time, nor a CUDA runtime
DLL (cudart64_*.dll). Read from the files' import and delay-load tables.

usage: pe_imports.py PROGRAM.exe...
"""
import fnmatch
import sys

from pe_file import PeFile, fail

FORBIDDEN = ("nvcuda.dll", "cudart*.dll")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    for path in sys.argv[1:]:
        dlls = PeFile(path).imported_dlls()
        if not dlls:
            fail(f"{path} imports no DLL at all: its import table was not read")
        for dll in dlls:
            if any(fnmatch.fnmatch(dll.lower(), pattern) for pattern in FORBIDDEN):
                fail(f"{path} imports {dll}, so it would not start without it")
        print(f"{path}: imports {', '.join(dlls)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
