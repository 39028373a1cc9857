#!/usr/bin/env python3
"""Makes the harmless look-alikes of the Grimlatch intruder's files that the
tests hunt for. They carry the intruder's fingerprints and nothing else.

  make_lookalikes.py image IN OUT --length N [--server-code] [--cut-translation]
                     [--byte OFFSET=VALUE]...
      Copies the sleeper executable IN to OUT, writes the server's code bytes
      into the header padding at 0x600 when asked, and pads the file with zero
      bytes to N bytes. Zero padding after the last section keeps the program
      loadable, and it supplies the zero run that the server carries from
      123616 to 124615. --cut-translation ends the version block after the
      first pair of its translation table, which then declares 0xFFFF bytes:
      a crafted table that runs past its block. --byte then overwrites single
      bytes.

  make_lookalikes.py dropper OUT --length N [--byte OFFSET=VALUE]...
      Writes a dropper DLL stand-in: N zero bytes with the dropper's code bytes
      at 1537. It is a plain file, never loaded.
"""
import argparse
import struct
import sys

SERVER_CODE_OFFSET = 0x600
SERVER_CODE = bytes.fromhex(
    "10 8B 4C 24 04 39 48 04 74 07 8B 40 10 85 C0 75 F4 C3 56 57 6A 14 33 FF E8 B3 A7")
ZERO_RUN_START = 123616

DROPPER_CODE_OFFSET = 1537
DROPPER_CODE = bytes.fromhex("33 C0 8A 44 24 12 50 68 38 30")


def fail(message):
    sys.exit(f"make_lookalikes: {message}")


def header_padding(image):
    """The file range of the PE headers, which the loader maps but never runs."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        fail("input is not a PE image")
    nsections, = struct.unpack_from("<H", image, pe + 6)
    opt_size, = struct.unpack_from("<H", image, pe + 20)
    size_of_headers, = struct.unpack_from("<I", image, pe + 24 + 60)
    section_table_end = pe + 24 + opt_size + 40 * nsections
    return section_table_end, size_of_headers


def cut_translation(image):
    """Ends the version block, and the nodes that hold the table, after the
    table's first pair; the resource itself keeps its size, so the later
    pairs stay in the file right after the block."""
    def node(key, start):
        at = image.find(key.encode("utf-16-le") + b"\0\0", start)
        if at < 0:
            fail(f"no {key} in the version block")
        return at - 6
    root = node("VS_VERSION_INFO", 0)
    var = node("VarFileInfo", root)
    table = node("Translation", var)
    end = root + ((table - root + 6 + 24 + 3) & ~3) + 4
    for start in (root, var, table):
        struct.pack_into("<H", image, start, end - start)
    struct.pack_into("<H", image, table + 2, 0xFFFF)


def make_image(args):
    image = bytearray(open(args.input, "rb").read())
    if args.server_code:
        start, end = header_padding(image)
        span = range(SERVER_CODE_OFFSET, SERVER_CODE_OFFSET + len(SERVER_CODE))
        if span.start < start or span.stop > end or any(image[i] for i in span):
            fail(f"0x{SERVER_CODE_OFFSET:x} is not free header padding in {args.input} "
                 f"(headers end at 0x{end:x}); link it with --file-alignment,0x1000")
        image[span.start:span.stop] = SERVER_CODE
    if args.cut_translation:
        cut_translation(image)
    if len(image) > ZERO_RUN_START:
        fail(f"{args.input} is {len(image)} bytes; it must end before the zero run at "
             f"{ZERO_RUN_START}")
    if args.length < len(image):
        fail(f"--length {args.length} would cut the program short ({len(image)} bytes)")
    image += bytes(args.length - len(image))
    return image


def make_dropper(args):
    end = DROPPER_CODE_OFFSET + len(DROPPER_CODE)
    dll = bytearray(max(args.length, end))
    dll[DROPPER_CODE_OFFSET:end] = DROPPER_CODE
    return dll[:args.length]


def parse_byte(text):
    offset, _, value = text.partition("=")
    return int(offset, 0), int(value, 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    kinds = parser.add_subparsers(dest="kind", required=True)
    image = kinds.add_parser("image")
    image.add_argument("input")
    image.add_argument("output")
    image.add_argument("--server-code", action="store_true")
    image.add_argument("--cut-translation", action="store_true")
    dropper = kinds.add_parser("dropper")
    dropper.add_argument("output")
    for kind in (image, dropper):
        kind.add_argument("--length", type=int, required=True)
        kind.add_argument("--byte", type=parse_byte, action="append", default=[])
    args = parser.parse_args()

    data = make_image(args) if args.kind == "image" else make_dropper(args)
    for offset, value in args.byte:
        if not 0 <= offset < len(data):
            fail(f"--byte offset {offset} lies outside the {len(data)}-byte file")
        data[offset] = value
    with open(args.output, "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main()
