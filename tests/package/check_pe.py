#!/usr/bin/env python3
"""check_pe.py --version X.Y.Z FILE.exe...: the shipped programs keep ASLR
(with relocations to apply it), high-entropy addressing and NX, import at load
time only DLLs Windows maps from the system folder, and carry the version in
their version resource. Exits 1 naming every fault."""
import struct
import sys

FLAGS = {"DYNAMIC_BASE": 0x0040, "HIGH_ENTROPY_VA": 0x0020, "NX_COMPAT": 0x0100}
# KnownDLLs from Windows 7 to 11. Any other DLL (comctl32, comdlg32, uxtheme,
# ...) a planted copy beside the program could replace, so it must be
# delay-loaded after the program restricts the DLL search.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "ole32.dll",
              "oleaut32.dll", "shell32.dll", "msvcrt.dll"}


def faults(data, version):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0" or struct.unpack_from("<H", data, pe + 24)[0] != 0x20B:
        return ["not a 64-bit PE image"]
    count, optional_size, characteristics = struct.unpack_from("<H12xHH", data, pe + 6)
    opt = pe + 24
    dll_characteristics = struct.unpack_from("<H", data, opt + 70)[0]
    directories = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(16)]
    sections = [struct.unpack_from("<IIII", data, opt + optional_size + 40 * i + 8) for i in range(count)]

    def at(rva):
        return next(raw + rva - va for vsize, va, rawsize, raw in sections if va <= rva < va + max(vsize, rawsize))

    found = [f"{name} is not set" for name, bit in FLAGS.items() if not dll_characteristics & bit]
    if characteristics & 0x0001 or not directories[5][1]:  # relocations stripped or absent
        found.append("no base relocations, so ASLR cannot move it")
    descriptor = directories[1][0]
    while descriptor and struct.unpack_from("<I", data, at(descriptor) + 12)[0]:
        name_at = at(struct.unpack_from("<I", data, at(descriptor) + 12)[0])
        dll = data[name_at:data.index(b"\0", name_at)].decode().lower()
        if dll not in KNOWN_DLLS:
            found.append(f"imports {dll} at load time, from wherever it is found first")
        descriptor += 20

    # The version resource's fixed part starts with a signature; the strings
    # come from the same generated header.
    fixed = data.find(b"\xbd\x04\xef\xfe")
    if fixed < 0:
        return found + ["no version resource"]
    ms, ls = struct.unpack_from("<II", data, fixed + 8)
    numbers = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    if numbers != version + ".0":
        found.append(f"file version {numbers}, not {version}.0")
    return found


if __name__ == "__main__":
    if len(sys.argv) < 4 or sys.argv[1] != "--version":
        sys.exit(__doc__)
    failed = False
    for path in sys.argv[3:]:
        with open(path, "rb") as f:
            problems = faults(f.read(), sys.argv[2])
        for problem in problems or ["ASLR (high entropy), NX, only known DLLs at load time, " + sys.argv[2]]:
            print(f"{path}: {problem}")
        failed |= bool(problems)
    sys.exit(1 if failed else 0)
