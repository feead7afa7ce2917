"""Reads what the Windows loader reads of a 64-bit PE executable: its sections, its export
table and the DLLs it imports (ordinary and delay-loaded). Used by pe_export.py and
pe_imports.py."""
import struct
import sys


def fail(message):
    print(f"FAIL: {message}")
    sys.exit(1)


class PeFile:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        data = self.data
        if data[:2] != b"MZ":
            fail(f"{path} is not an MZ/PE file")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            fail(f"{path} has no PE signature")
        sections_count, = struct.unpack_from("<H", data, pe + 6)
        optional_size, = struct.unpack_from("<H", data, pe + 20)
        self.optional = pe + 24
        if struct.unpack_from("<H", data, self.optional)[0] != 0x20B:
            fail(f"{path} is not a 64-bit (PE32+) image")
        self.sections = []
        for i in range(sections_count):
            entry = self.optional + optional_size + 40 * i
            name = data[entry:entry + 8].rstrip(b"\0").decode(errors="replace")
            virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from(
                "<IIII", data, entry + 8)
            self.sections.append((name, virtual_address, max(virtual_size, raw_size), raw_size,
                                  raw_offset))

    def directory(self, index):
        """(RVA, size) of data directory `index` (0: exports, 1: imports, 13: delay imports)."""
        return struct.unpack_from("<II", self.data, self.optional + 112 + 8 * index)

    def locate(self, rva, length, what="data"):
        """Returns (section name, file offset) of `length` initialised bytes at `rva`."""
        for name, start, size, raw_size, raw_offset in self.sections:
            if start <= rva and rva + length <= start + size:
                if rva + length > start + raw_size:
                    fail(f"{what} lies in uninitialised data of section {name}")
                return name, raw_offset + rva - start
        fail(f"RVA {rva:#x} lies in no section of {self.path}")

    def string_at(self, rva):
        _, at = self.locate(rva, 1)
        return self.data[at:self.data.index(b"\0", at)].decode(errors="replace")

    def exports(self):
        """[(name, rva)] of the export table; [] without one."""
        export_rva, export_size = self.directory(0)
        if export_rva == 0 or export_size == 0:
            return []
        _, directory = self.locate(export_rva, 40)
        (_flags, _stamp, _major, _minor, _name, _base, functions_count, names_count,
         functions_rva, names_rva, ordinals_rva) = struct.unpack_from("<IIHHIIIIIII", self.data,
                                                                      directory)
        _, names = self.locate(names_rva, 4 * names_count)
        _, ordinals = self.locate(ordinals_rva, 2 * names_count)
        _, functions = self.locate(functions_rva, 4 * functions_count)
        result = []
        for i in range(names_count):
            name_rva, = struct.unpack_from("<I", self.data, names + 4 * i)
            index, = struct.unpack_from("<H", self.data, ordinals + 2 * i)
            rva, = struct.unpack_from("<I", self.data, functions + 4 * index)
            result.append((self.string_at(name_rva), rva))
        return result

    def is_forwarded(self, rva):
        export_rva, export_size = self.directory(0)
        return export_rva <= rva < export_rva + export_size

    def imported_dlls(self):
        """Names of the DLLs the loader loads for the program: the import directory's (20-byte
        descriptors, name at offset 12) and the delay-load directory's (32-byte descriptors,
        name at offset 4), each ending with an all-zero descriptor."""
        dlls = []
        for index, size, name_offset in ((1, 20, 12), (13, 32, 4)):
            rva, length = self.directory(index)
            if rva == 0 or length == 0:
                continue
            while True:
                _, at = self.locate(rva, size)
                descriptor = self.data[at:at + size]
                if descriptor == bytes(size):
                    break
                name_rva, = struct.unpack_from("<I", descriptor, name_offset)
                dlls.append(self.string_at(name_rva))
                rva += size
        return dlls
