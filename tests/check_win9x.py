#!/usr/bin/env python3
"""Fails unless Windows 95/98 can load the executable: subsystem and OS
version at most 4.0, a GUI subsystem, and every imported function on the
allowlist (which also fixes the set of DLLs that may be imported)."""
import struct
import sys


def load_allowlist(path):
    allowed = set()
    for line in open(path, encoding="ascii"):
        line = line.split("#", 1)[0].split()
        if len(line) == 2:
            allowed.add((line[0].upper().removesuffix(".DLL"), line[1]))
    return allowed


def read_pe(path):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit(f"{path}: not a PE image")
    machine, nsections = struct.unpack_from("<HH", data, pe + 4)
    opt_size = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    if machine != 0x14C or magic != 0x10B:
        raise SystemExit(f"{path}: not a 32-bit x86 image (machine {machine:#x}, magic {magic:#x})")
    header = {
        "os": struct.unpack_from("<HH", data, opt + 40),
        "subsystem_version": struct.unpack_from("<HH", data, opt + 48),
        "subsystem": struct.unpack_from("<H", data, opt + 68)[0],
    }
    sections = []
    for i in range(nsections):
        s = opt + opt_size + 40 * i
        vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
        sections.append((va, max(vsize, rawsize), rawptr))

    def at(rva):
        for va, size, raw in sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise SystemExit(f"{path}: RVA {rva:#x} lies in no section")

    def cstr(rva):
        off = at(rva)
        return data[off:data.index(b"\0", off)].decode("ascii")

    imports = []
    import_rva = struct.unpack_from("<I", data, opt + 96 + 8)[0]
    if import_rva:
        desc = at(import_rva)
        while True:
            lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", data, desc)
            if name_rva == 0:
                break
            dll = cstr(name_rva).upper().removesuffix(".DLL")
            entry = at(lookup or thunk)
            while True:
                value = struct.unpack_from("<I", data, entry)[0]
                if value == 0:
                    break
                if value & 0x80000000:
                    imports.append((dll, f"#{value & 0xFFFF}"))
                else:
                    imports.append((dll, cstr(value + 2)))
                entry += 4
            desc += 20
    return header, imports


def main():
    exe, allowlist = sys.argv[1], sys.argv[2]
    allowed = load_allowlist(allowlist)
    header, imports = read_pe(exe)
    problems = []
    if header["subsystem"] != 2:
        problems.append(f"subsystem {header['subsystem']}, expected 2 (Windows GUI)")
    if header["subsystem_version"] > (4, 0):
        problems.append("subsystem version %d.%d is above 4.0" % header["subsystem_version"])
    if header["os"] > (4, 0):
        problems.append("OS version %d.%d is above 4.0" % header["os"])
    dlls = {dll for dll, _ in allowed}
    for dll, func in imports:
        if dll not in dlls:
            problems.append(f"imports {dll}.DLL, which is not a system DLL on the list")
        elif (dll, func) not in allowed:
            problems.append(f"imports {dll} {func}, which Windows 95/98 may lack")
    print(f"{exe}: subsystem {header['subsystem']} version %d.%d, OS %d.%d, {len(imports)} imports"
          % (header["subsystem_version"] + header["os"]))
    for p in problems:
        print("FAIL:", p)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
