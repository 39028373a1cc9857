#!/usr/bin/env python3
"""Fails unless every Windows 95, the first release included, can load the
executable: subsystem and OS version at most 4.0, a GUI subsystem, imports
from the six system DLLs that every Windows 95 has and from nothing else (no
C run-time DLL), and every imported function on the allowlist. Given the
linker's map (--map), it also fails when the executable has constructors of
global objects: its own start runs none. It reads back what Explorer's
property sheet and the shell would show: the version block and the icon
group; and the manifest that Windows XP and later read: run as invoker, every
system from Vista to 11 supported, system DPI awareness and the Common
Controls 6, in one line with no comment and no namespace declared twice (XP
SP2 fails on that). Given a disassembler (--objdump), it reads every executable section
and fails on any instruction that an 80386 lacks, x87 floating point included:
a 386 may have no coprocessor, and the program needs none. With the map, it
stops where the code ends and the constant data after it begins. Asked for
the packed headers (--packed, see tools/pack_headers.py), it fails unless they
fill the first 512 bytes, the sections' data follows them, the checksum holds
and the DOS header carries a DOS program that prints its message and ends.
Only files are read, so this runs on hosts that cannot execute 32-bit code.

  check_win9x.py EXE ALLOWLIST [--map MAP] [--objdump OBJDUMP] [--packed]
"""
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

# The DLLs of every Windows 95, from the first release on.
SYSTEM_DLLS = {"KERNEL32", "USER32", "GDI32", "ADVAPI32", "SHELL32", "VERSION"}


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
        "data": data,
        "pe": pe,
        "size_of_headers": struct.unpack_from("<I", data, opt + 60)[0],
        "os": struct.unpack_from("<HH", data, opt + 40),
        "subsystem_version": struct.unpack_from("<HH", data, opt + 48),
        "subsystem": struct.unpack_from("<H", data, opt + 68)[0],
    }
    image_base = struct.unpack_from("<I", data, opt + 28)[0]
    header["entry"] = image_base + struct.unpack_from("<I", data, opt + 16)[0]
    sections = []
    header["code_sections"] = []
    for i in range(nsections):
        s = opt + opt_size + 40 * i
        vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
        sections.append((va, max(vsize, rawsize), rawptr))
        if rawsize:
            header.setdefault("first_data", rawptr)
        # Code, or memory that may be executed: either way the processor may run it.
        if struct.unpack_from("<I", data, s + 36)[0] & 0x20000020:
            header["code_sections"].append(data[s:s + 8].rstrip(b"\0").decode("ascii"))
            header["code_stop"] = image_base + va + vsize

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
    return header, imports, resources(data, at, struct.unpack_from("<I", data, opt + 96 + 16)[0])


def resources(data, at, root_rva):
    """The resource tree as {(type, name): [data bytes of each language]};
    a name is an int id or an upper-case string."""
    if not root_rva:
        return {}
    base = at(root_rva)

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, base + offset + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * i)
            if name & 0x80000000:
                length = struct.unpack_from("<H", data, base + (name & 0x7FFFFFFF))[0]
                start = base + (name & 0x7FFFFFFF) + 2
                name = data[start:start + 2 * length].decode("utf-16-le").upper()
            yield name, target

    tree = {}
    for rtype, t in entries(0):
        for name, n in entries(t & 0x7FFFFFFF):
            for _, leaf in entries(n & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                tree.setdefault((rtype, name), []).append(data[at(rva):at(rva) + size])
    return tree


def version_nodes(block, offset=0, end=None, path=()):
    """Yields (key path, value bytes, type) for every node of a version block."""
    end = len(block) if end is None else end
    while offset + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", block, offset)
        if length == 0:
            break
        key_end = block.index(b"\0\0", offset + 6)
        while (key_end - offset - 6) % 2:
            key_end = block.index(b"\0\0", key_end + 1)
        key = block[offset + 6:key_end].decode("utf-16-le")
        value = (key_end + 2 + 3) & ~3
        size = value_length * 2 if kind == 1 else value_length
        yield path + (key,), block[value:value + size], kind
        children = (value + size + 3) & ~3
        yield from version_nodes(block, children, offset + length, path + (key,))
        offset = (offset + length + 3) & ~3


def check_resources(tree):
    problems = []
    versions = tree.get((16, 1), [])
    if len(versions) != 1:
        return [f"expected one version block with id 1, found {len(versions)}"]
    nodes = {p: (v, k) for p, v, k in version_nodes(versions[0])}
    fixed = nodes.get(("VS_VERSION_INFO",), (b"", 0))[0]
    if len(fixed) < 52 or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        problems.append("the version block has no fixed file information")
    else:
        ms, ls, pms, pls = struct.unpack_from("<IIII", fixed, 8)
        for what, (hi, lo) in (("file", (ms, ls)), ("product", (pms, pls))):
            got = (hi >> 16, hi & 0xFFFF, lo >> 16, lo & 0xFFFF)
            if got != (1, 0, 0, 1):
                problems.append(f"fixed {what} version %d.%d.%d.%d, expected 1.0.0.1" % got)
    table = ("VS_VERSION_INFO", "StringFileInfo", "040904b0")
    strings = {p[-1]: v.decode("utf-16-le").rstrip("\0")
               for p, (v, k) in nodes.items() if p[:-1] == table}
    expected = {"FileVersion": "1.2", "ProductVersion": "1.2", "CompanyName": "Quillane",
                "ProductName": "Zorvane", "OriginalFilename": "Zorvane.exe"}
    for key, want in expected.items():
        if strings.get(key) != want:
            problems.append(f"version string {key}: expected {want!r}, got {strings.get(key)!r}")
    for key in ("Comments", "FileDescription", "InternalName", "LegalCopyright"):
        if not strings.get(key, "").strip():
            problems.append(f"version string {key} is missing or blank")
    if "Quillane" not in strings.get("LegalCopyright", ""):
        problems.append("the copyright does not name Quillane")
    translation = nodes.get(("VS_VERSION_INFO", "VarFileInfo", "Translation"), (b"", 0))[0]
    if translation[:4] != struct.pack("<HH", 0x0409, 1200):
        problems.append(f"translation {translation.hex()}, expected 0x0409 / 1200")

    groups = tree.get((14, "ZORVANE_ICON"), [])
    if len(groups) != 1:
        return problems + [f"expected one icon group ZORVANE_ICON, found {len(groups)}"]
    group = groups[0]
    count = struct.unpack_from("<H", group, 4)[0]
    sizes = set()
    for i in range(count):
        width, height, _, _, _, _, _, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        image = tree.get((3, icon_id), [b""])[0]
        # A DIB's header gives the width, and twice the height (image and mask).
        if len(image) < 12 or struct.unpack_from("<ii", image, 4) != (width, 2 * height):
            problems.append(f"icon image {icon_id} ({width}x{height}) is missing or of another size")
        sizes.add((width, height))
    for size in ((16, 16), (32, 32)):
        if size not in sizes:
            problems.append("the icon group has no %dx%d image" % size)
    return problems


def check_imports(imports, allowed):
    problems = []
    for dll in sorted({dll for dll, _ in allowed} - SYSTEM_DLLS):
        problems.append(f"the allowlist names {dll}.DLL, which is not one of the six system DLLs")
    for dll in sorted({dll for dll, _ in imports} - SYSTEM_DLLS):
        if dll.startswith("MSVCR") or dll.startswith("UCRT") or dll.startswith("API-MS-WIN-CRT"):
            why = "a C run-time DLL, which the first Windows 95 releases lack"
        else:
            why = "not one of the six system DLLs that every Windows 95 has"
        problems.append(f"imports {dll}.DLL, {why}")
    for dll, func in imports:
        if dll in SYSTEM_DLLS and (dll, func) not in allowed:
            problems.append(f"imports {dll} {func}, which Windows 95/98 may lack")
    return problems


def check_packed(header):
    """The packed headers, and the DOS program that starts at the DOS header's
    e_cs:e_ip, after e_cparhdr paragraphs: it must print a message that ends
    with '$' before e_lfanew, inside the part of the file that DOS loads."""
    data, field = header["data"], header["pe"] + 88
    total = sum(struct.unpack_from(f"<{len(data) // 2}H", data[:field] + bytes(4) + data[field + 4:]))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    checks = [("e_lfanew", header["pe"], 0x40), ("SizeOfHeaders", header["size_of_headers"], 0x200),
              ("the first section's data", header.get("first_data", 0), 0x200),
              ("CheckSum", struct.unpack_from("<I", data, field)[0], total + len(data))]
    problems = [f"{what} is {got:#x}, expected {want:#x}" for what, got, want in checks if got != want]
    last_page, pages, _, paragraphs, *_, ip, cs, lfarlc = struct.unpack_from("<12H", data, 2)
    if lfarlc < 0x40:
        problems.append(f"e_lfarlc is {lfarlc:#x}, so Windows takes the file for a DOS program")
    segment, loaded = 16 * (paragraphs + cs), 512 * pages - (512 - last_page if last_page else 0)
    code = data[segment + ip:0x3C]
    if code[:3] != b"\x0e\x1f\xba" or code[5:14] != bytes.fromhex("b4 09 cd 21 b8 01 4c cd 21"):
        problems.append(f"no DOS program at {segment + ip:#x} that prints a message and ends")
    elif b"$" not in data[segment + int.from_bytes(code[3:5], "little"):min(0x3C, loaded)]:
        problems.append("the DOS program's message does not end with '$' before e_lfanew")
    return problems


def check_constructors(map_path):
    """The list of constructors that the linker lays out between its two
    markers holds only its sentinels when there is nothing to run."""
    text = open(map_path, encoding="utf-8", errors="replace").read()
    marks = {}
    for name in ("___CTOR_LIST__", "___DTOR_LIST__"):
        found = re.search(r"^\s*0x([0-9a-fA-F]+)\s+" + name + r" = \.", text, re.M)
        if not found:
            return [f"{map_path}: no {name} in the map, so the constructors cannot be checked"]
        marks[name] = (int(found.group(1), 16), found.start())
    (start, at), (_, end) = marks["___CTOR_LIST__"], marks["___DTOR_LIST__"]
    entries = re.findall(r"^\s*(\.ctors?\S*)\s+0x[0-9a-fA-F]+\s+0x([0-9a-fA-F]+)\s+(\S.*)$",
                         text[at:end], re.M)
    owners = [f"{where.strip()} ({section})" for section, size, where in entries if int(size, 16)]
    if owners:
        return ["constructors of global objects that nothing runs, from " + ", ".join(owners)]
    return []


# Instructions that an 80386 lacks, by mnemonic as objdump spells them; the
# first pattern that matches gives the reason. A 386 may have no coprocessor,
# so x87 instructions are refused too.
MISSING_ON_386 = [
    (r"f?cmov\w*", "a conditional move (Pentium Pro and later)"),
    (r"f(u)?comip?", "a comparison into the flags (Pentium Pro and later)"),
    (r"bswap|cmpxchg|xadd", "486 and later"),
    (r"cmpxchg8b|cpuid|rdtsc|rdmsr|wrmsr", "Pentium and later"),
    (r"rdpmc|rdtscp", "Pentium Pro and later"),
    (r"sysenter|sysexit|syscall|sysret", "Pentium II or AMD K6 and later"),
    (r"[lms]fence|clflush|movnti|ldmxcsr|stmxcsr|prefetch\w*", "SSE"),
    (r"popcnt|lzcnt|tzcnt|movbe|crc32|rdrand|rdseed", "a processor of this century"),
    (r"f\w+|wait", "x87 floating point, which needs a coprocessor that a 386 may lack"),
]
PREFIXES = {"lock", "rep", "repz", "repnz", "repe", "repne", "data16", "addr16",
            "cs", "ds", "es", "fs", "gs", "ss", "notrack", "bnd"}


def code_end(map_path):
    """Where the code ends and the constant data after it begins, when the
    linker's map marks it (__code_end__): the data is not read as code."""
    text = open(map_path, encoding="utf-8", errors="replace").read()
    found = re.search(r"^\s*0x([0-9a-fA-F]+)\s+__code_end__ = \.", text, re.M)
    return int(found.group(1), 16) if found else None


def missing_instructions(exe, objdump, sections, stop=None):
    """(address, instruction, reason) for each instruction of the executable
    sections that an 80386 cannot run, and how many instructions were read."""
    found, count = [], 0
    for name in sections:
        command = [objdump, "-D", "--no-show-raw-insn", "-j", name, exe]
        if stop is not None:
            command.insert(1, f"--stop-address={stop:#x}")
        listing = subprocess.run(command, check=True, capture_output=True, text=True).stdout
        for line in listing.splitlines():
            parts = line.split("\t", 1)
            if len(parts) != 2 or not re.fullmatch(r"\s*[0-9a-f]+:", parts[0]):
                continue
            words = parts[1].split()
            while words and words[0] in PREFIXES:
                words = words[1:]
            if not words or words[0] == "(bad)":
                continue
            count += 1
            mnemonic, operands = words[0], " ".join(words[1:])
            if re.search(r"%[xyz]?mm\d", operands):
                reason = "an MMX, SSE or AVX register"
            elif mnemonic.startswith("nop") and operands:
                reason = "a long NOP (Pentium Pro and later)"
            else:
                reason = next((why for pattern, why in MISSING_ON_386
                               if re.fullmatch(f"(?:{pattern})[bwlq]?", mnemonic)), None)
            if reason:
                found.append((int(parts[0].strip().rstrip(":"), 16), parts[1].strip(), reason))
    return found, count


ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
# Vista, 7, 8, 8.1, and 10 and 11, which share one.
SUPPORTED_OS = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


def check_manifest(tree):
    manifests = tree.get((24, 1), [])
    if len(manifests) != 1:
        return [f"expected one manifest with id 1, found {len(manifests)}"]
    text = manifests[0].decode("utf-8")
    declared = re.findall(r'xmlns(?::\w+)?="([^"]*)"', text)
    problems = [f"the manifest declares {u} twice" for u in sorted(set(declared)) if declared.count(u) > 1]
    if re.search(r">\s+<|<!--", text):
        problems.append("the manifest holds white space between elements or a comment")
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        return problems + [f"the manifest is not well-formed XML: {error}"]
    named = lambda name: [e for e in root.iter() if e.tag.endswith("}" + name)]  # noqa: E731
    controls = [e.get("version") for e in named("assemblyIdentity")
                if e.get("name") == "Microsoft.Windows.Common-Controls"
                and e.get("publicKeyToken") == "6595b64144ccf1df"]
    # XP refuses a trust section in the assembly's own namespace.
    for wrong, what in ((root.tag != ASM_V1 + "assembly" or root.find(ASM_V1 + "assemblyIdentity") is None,
                         "an assembly identity"),
                        ([e.get("level") for e in named("requestedExecutionLevel")] != ["asInvoker"]
                         or root.find(ASM_V1 + "trustInfo") is not None, "asInvoker"),
                        ({e.get("Id") for e in named("supportedOS")} != SUPPORTED_OS,
                         "Vista, 7, 8, 8.1 and 10"),
                        ([e.text for e in named("dpiAware")] != ["true"], "system DPI awareness"),
                        (controls != ["6.0.0.0"], "the Common Controls 6")):
        if wrong:
            problems.append(f"the manifest lacks {what}")
    return problems


def main():
    args = sys.argv[1:]
    options = {}
    for option in ("--map", "--objdump"):
        if option in args:
            at = args.index(option)
            options[option] = args[at + 1]
            del args[at:at + 2]
    map_path = options.get("--map")
    packed = "--packed" in args
    if packed:
        args.remove("--packed")
    exe, allowlist = args
    allowed = load_allowlist(allowlist)
    header, imports, tree = read_pe(exe)
    problems = check_resources(tree) + check_manifest(tree)
    problems += check_imports(imports, allowed)
    if map_path:
        problems += check_constructors(map_path)
    if packed:
        problems += check_packed(header)
    if header["subsystem"] != 2:
        problems.append(f"subsystem {header['subsystem']}, expected 2 (Windows GUI)")
    if header["subsystem_version"] > (4, 0):
        problems.append("subsystem version %d.%d is above 4.0" % header["subsystem_version"])
    if header["os"] > (4, 0):
        problems.append("OS version %d.%d is above 4.0" % header["os"])
    summary = (f"{exe}: subsystem {header['subsystem']} version %d.%d, OS %d.%d, {len(imports)} imports"
               % (header["subsystem_version"] + header["os"]))
    if "--objdump" in options:
        stop = code_end(map_path) if map_path else None
        # The entry point is code too, so the code cannot end before it.
        if stop is not None and not header["entry"] < stop <= header["code_stop"]:
            problems.append(f"the map ends the code at {stop:#x}, before the entry point"
                            " or outside the code section")
            stop = None
        found, count = missing_instructions(exe, options["--objdump"], header["code_sections"], stop)
        summary += f", {count} instructions in {', '.join(header['code_sections'])}"
        shown = 20
        problems += [f"{text} at {address:#x}: {reason}, which an 80386 lacks"
                     for address, text, reason in found[:shown]]
        if len(found) > shown:
            problems.append(f"and {len(found) - shown} more instructions that an 80386 lacks")
    print(summary)
    for p in problems:
        print("FAIL:", p)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
