#!/usr/bin/env python3
"""Checks the shipped Windows programs' PE headers.

  check_pe.py --version X.Y.Z FILE.exe...

Each program must keep ASLR (with relocations to apply it), high-entropy
addressing and NX; import statically only DLLs that Windows maps from the
system folder whatever folder the program starts from (its known DLLs); and
carry the version in its version resource. Exits 1 naming every fault.
"""
import argparse
import re
import struct
import sys

DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x0040, 0x0020, 0x0100
RELOCS_STRIPPED = 0x0001
# Listed under KnownDLLs from Windows 7 to 11. Anything else (comctl32,
# comdlg32, uxtheme, ...) a planted copy beside the program could replace, so
# it must be delay-loaded after the program restricts the DLL search.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "ole32.dll",
              "oleaut32.dll", "shell32.dll", "msvcrt.dll"}


class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        self.characteristics = struct.unpack_from("<H", data, pe + 22)[0]
        count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
        opt = pe + 24
        if struct.unpack_from("<H", data, opt)[0] != 0x20B:
            raise ValueError("not a 64-bit image")
        self.dll_characteristics = struct.unpack_from("<H", data, opt + 70)[0]
        self.directories = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(16)]
        table = opt + optional_size
        self.sections = [struct.unpack_from("<IIII", data, table + 40 * i + 8) for i in range(count)]

    def offset(self, rva):
        for vsize, va, rawsize, raw in self.sections:
            if va <= rva < va + max(vsize, rawsize):
                return raw + rva - va
        raise ValueError(f"RVA {rva:#x} is in no section")

    def u32(self, rva, at=0):
        return struct.unpack_from("<I", self.data, self.offset(rva) + at)[0]

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        rva, _ = self.directories[1]
        names = []
        while rva and self.u32(rva, 12):
            names.append(self.cstring(self.u32(rva, 12)).lower())
            rva += 20
        return names

    def version_resource(self):
        """The first RT_VERSION resource's bytes."""
        base, _ = self.directories[2]
        if not base:
            return None
        level, type_id = base, 16
        for _ in range(3):
            named, ids = struct.unpack_from("<HH", self.data, self.offset(level) + 12)
            entries = [struct.unpack_from("<II", self.data, self.offset(level) + 16 + 8 * i)
                       for i in range(named + ids)]
            entry = next((e for e in entries if type_id is None or e[0] == type_id), None)
            if entry is None:
                return None
            level, type_id = base + (entry[1] & 0x7FFFFFFF), None
        rva, size = self.u32(level), self.u32(level, 4)
        return self.data[self.offset(rva):self.offset(rva) + size]


def faults(image, version):
    found = []
    wanted = {"DYNAMIC_BASE": DYNAMIC_BASE, "HIGH_ENTROPY_VA": HIGH_ENTROPY_VA, "NX_COMPAT": NX_COMPAT}
    found += [f"{name} is not set" for name, bit in wanted.items() if not image.dll_characteristics & bit]
    if image.characteristics & RELOCS_STRIPPED or not image.directories[5][1]:
        found.append("no base relocations, so ASLR cannot move it")
    found += [f"imports {dll} at load time, from wherever it is found first"
              for dll in image.imports() if dll not in KNOWN_DLLS]
    blob = image.version_resource()
    if blob is None:
        return found + ["no version resource"]
    fixed = blob.index(b"\xbd\x04\xef\xfe")
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", blob, fixed + 8)
    numbers = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    for what, ms, ls in (("file", file_ms, file_ls), ("product", product_ms, product_ls)):
        if numbers(ms, ls) != version + ".0":
            found.append(f"{what} version {numbers(ms, ls)}, not {version}.0")
    text = blob.decode("utf-16-le", errors="replace")
    for key in ("FileVersion", "ProductVersion"):
        value = re.search(key + "\0+([^\0]*)", text)
        if not value or value[1] != version:
            found.append(f"{key} string is {value[1] if value else 'missing'}, not {version}")
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    failed = False
    for path in args.files:
        with open(path, "rb") as f:
            problems = faults(Image(f.read()), args.version)
        for problem in problems:
            print(f"{path}: {problem}")
        failed |= bool(problems)
        if not problems:
            print(f"{path}: ASLR (high entropy), NX, only known DLLs at load time, version {args.version}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
