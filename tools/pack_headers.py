#!/usr/bin/env python3
"""Packs the headers of the linked 32-bit Zorvane.exe into the first 512 bytes
of the file, which makes the file 512 bytes shorter.

    pack_headers.py EXE

Every part of the file is padded to 512 bytes (FileAlignment 0x200, the least
that Windows 95/98 load). GNU ld writes a 64-byte DOS header and a 64-byte
DOS program before the PE header, at 0x80, so with five sections the headers
end past 512 bytes and take 1,024. Moved to 0x40, right after the DOS header,
they need 64 + 248 + 40 for each section: exactly 512 with five.

The DOS program then lives inside the DOS header: a header of 32 bytes leaves
28 before e_lfanew (0x3C) for a program that prints "Win32 only." and ends,
as the linker's own does with its longer message, so that real DOS never runs
header bytes as code. e_lfarlc stays 0x40, the mark by which Windows knows a
new executable from a DOS one.

The link's time stamp gives way to the source's (see source_date.py): the
commit's time, or SOURCE_DATE_EPOCH, so that one commit packs to the same
bytes on any day; without either the stamp stays as the link left it.

Every section's data moves 512 bytes earlier. Nothing else in the image names
a place in the file: the loader finds everything else by its address in
memory, which does not change. The checksum is computed again.

Anything that does not fit or is not as the linker leaves it (a section table
that would end past 512 bytes, a symbol table, a certificate table or debug
directory, section data that is not laid end to end after the headers, bytes
after the last section, another file alignment) is refused with a message,
and the file is left as it was. A file already packed is only stamped again.
"""
import struct
import sys

from source_date import source_date_epoch

HEADERS_SIZE = 0x200
PE_AT = 0x40

# The DOS program, loaded from 0x20: DOS loads a program's file after its
# header, and the code starts at its first byte (e_cs:e_ip = 0:0). Offsets
# count from there; the message follows the code at 14.
MESSAGE = b"Win32 only.\r\n$"
DOS_CODE = (b"\x0E"                               # push cs
            + b"\x1F"                             # pop ds: the message lies beside the code
            + b"\xBA" + struct.pack("<H", 14)     # mov dx, offset of the message
            + b"\xB4\x09"                         # mov ah, 09h
            + b"\xCD\x21"                         # int 21h: print up to the '$'
            + b"\xB8\x01\x4C"                     # mov ax, 4C01h
            + b"\xCD\x21")                        # int 21h: end with exit code 1
DOS_PROGRAM = DOS_CODE + MESSAGE


def dos_header():
    """The 64 bytes before the PE header. DOS reads 64 bytes of file (e_cp,
    e_cblp), of which the first 32 are the header (e_cparhdr) and the rest
    the program, with no relocations, and 256 bytes of stack after them."""
    header = struct.pack("<2s13H4x", b"MZ",
                         0x40, 1,       # e_cblp, e_cp: the file ends at 0x40
                         0, 2,          # e_crlc, e_cparhdr
                         0x10, 0xFFFF,  # e_minalloc, e_maxalloc: 16 paragraphs for the stack
                         2, 0x100,      # e_ss:e_sp: the stack's top, 256 bytes past the program
                         0, 0, 0,       # e_csum, e_ip, e_cs
                         0x40, 0)       # e_lfarlc, e_ovno
    return header + DOS_PROGRAM + struct.pack("<I", PE_AT)


def fail(message):
    sys.exit(f"pack_headers: {message}; the file is left as it was")


def checksum(image, field):
    """The PE checksum: the file's 16-bit words summed with every carry added
    back in, the checksum field counted as zero, plus the file's length."""
    data = image[:field] + bytes(4) + image[field + 4:] + bytes(len(image) % 2)
    total = sum(struct.unpack(f"<{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)


def pack(image, stamp=None):
    if image[:2] != b"MZ":
        fail("not an MZ executable")
    pe, = struct.unpack_from("<I", image, 0x3C)
    if pe < PE_AT or image[pe:pe + 4] != b"PE\0\0":
        fail(f"no PE header at e_lfanew {pe:#x}")
    machine, nsections, _, symbols, nsymbols, opt_size = struct.unpack_from("<HHIIIH", image, pe + 4)
    opt = pe + 24
    magic, = struct.unpack_from("<H", image, opt)
    if machine != 0x14C or magic != 0x10B:
        fail(f"not a 32-bit x86 image (machine {machine:#x}, magic {magic:#x})")
    if symbols or nsymbols:
        fail("the file has a symbol table; link it stripped (-s)")
    alignment, = struct.unpack_from("<I", image, opt + 36)
    if alignment != HEADERS_SIZE:
        fail(f"FileAlignment is {alignment:#x}, not {HEADERS_SIZE:#x}")
    # The certificates and the debug directory name places in the file.
    ndirs, = struct.unpack_from("<I", image, opt + 92)
    for index, what in ((4, "a certificate table"), (6, "a debug directory")):
        if index < ndirs and any(image[opt + 96 + 8 * index:opt + 104 + 8 * index]):
            fail(f"the file has {what}")
    table = opt + opt_size
    table_end = table + 40 * nsections
    if table_end - pe + PE_AT > HEADERS_SIZE:
        fail(f"the headers need {table_end - pe + PE_AT} bytes, more than {HEADERS_SIZE}")
    size_of_headers, = struct.unpack_from("<I", image, opt + 60)
    if not table_end <= size_of_headers <= len(image) or any(image[table_end:size_of_headers]):
        fail(f"the headers do not end in zero padding up to SizeOfHeaders {size_of_headers:#x}")

    # The sections' data must lie end to end after the headers and fill the
    # rest of the file, so that moving all of it loses nothing.
    place, moved = size_of_headers, []
    for s in range(table, table_end, 40):
        name = image[s:s + 8].rstrip(b"\0").decode("ascii", "replace")
        size, pointer, relocations, lines = struct.unpack_from("<IIII", image, s + 16)
        if relocations or lines:
            fail(f"section {name} has relocations or line numbers in the file")
        if size == 0 and pointer == 0:
            continue
        if pointer != place:
            fail(f"section {name}'s data lies at {pointer:#x}, not at {place:#x}")
        moved.append(s - pe + PE_AT)
        place += size
    if place != len(image):
        fail(f"the file goes on past its last section, which ends at {place:#x}")

    packed = bytearray(dos_header() + image[pe:table_end])
    packed += bytes(HEADERS_SIZE - len(packed)) + image[size_of_headers:]
    opt = PE_AT + 24
    struct.pack_into("<I", packed, opt + 60, HEADERS_SIZE)
    for s in moved:
        pointer, = struct.unpack_from("<I", packed, s + 20)
        struct.pack_into("<I", packed, s + 20, pointer - size_of_headers + HEADERS_SIZE)
    if stamp is not None:
        struct.pack_into("<I", packed, PE_AT + 8, stamp)
    struct.pack_into("<I", packed, opt + 64, checksum(packed, opt + 64))
    return packed


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    image = open(argv[1], "rb").read()
    packed = pack(image, source_date_epoch())
    if packed != image:
        with open(argv[1], "wb") as out:
            out.write(packed)


if __name__ == "__main__":
    main(sys.argv)
