#!/usr/bin/env python3
"""Draws res/Zorvane.ico: a red prohibition sign over blue lettering on white.

Two 16-colour images with transparency masks: 32x32 (the sign on a purple
square inside a black and a white frame) and 16x16 (the sign alone, with
transparent corners). Run it again to redraw the icon after changing it.
"""
import struct
import sys
from pathlib import Path

# The standard 16-colour palette, in palette order, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, PURPLE, RED, BLUE, WHITE = 0, 5, 9, 12, 15

# 3x5 capitals for the lettering under the sign.
GLYPHS = {
    "G": ["111", "100", "101", "101", "111"],
    "L": ["100", "100", "100", "100", "111"],
}


def draw(size):
    """Returns (pixels, transparent) as rows of palette indices and flags."""
    pixels = [[WHITE] * size for _ in range(size)]
    transparent = [[False] * size for _ in range(size)]
    framed = size >= 32
    if framed:
        for y in range(size):
            for x in range(size):
                edge = min(x, y, size - 1 - x, size - 1 - y)
                pixels[y][x] = BLACK if edge == 0 else WHITE if edge == 1 else PURPLE
        centre, outer, inner = (size - 1) / 2, size / 2 - 2.5, size / 2 - 5.5
    else:
        centre, outer, inner = (size - 1) / 2, size / 2, size / 2 - 2.2

    # The white face of the sign, with the lettering on it.
    for y in range(size):
        for x in range(size):
            d = ((x - centre) ** 2 + (y - centre) ** 2) ** 0.5
            if d <= outer:
                pixels[y][x] = WHITE
            elif not framed:
                transparent[y][x] = True
    text = "GL" if framed else "G"
    width = 4 * len(text) - 1
    left, top = int(centre - width / 2 + 1), int(centre - 2)
    for i, ch in enumerate(text):
        for gy, row in enumerate(GLYPHS[ch]):
            for gx, bit in enumerate(row):
                if bit == "1":
                    pixels[top + gy][left + 4 * i + gx] = BLUE

    # The red ring and the bar from upper right to lower left, over the letters.
    bar = 1.0 if framed else 0.75
    for y in range(size):
        for x in range(size):
            dx, dy = x - centre, y - centre
            d = (dx * dx + dy * dy) ** 0.5
            if inner < d <= outer:
                pixels[y][x] = RED
            elif d <= inner and abs(dx + dy) / 2 ** 0.5 <= bar:
                pixels[y][x] = RED
    return pixels, transparent


def image(size):
    pixels, transparent = draw(size)
    xor_row = (size // 2 + 3) & ~3
    and_row = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):  # bitmaps are stored bottom-up
        row = bytearray(xor_row)
        bits = bytearray(and_row)
        for x in range(size):
            colour = 0 if transparent[y][x] else pixels[y][x]
            row[x // 2] |= colour << (4 if x % 2 == 0 else 0)
            if transparent[y][x]:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += row
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "res" / "Zorvane.ico"
    images = [image(32), image(16)]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, img in zip((32, 16), images):
        data += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(img), offset)
        offset += len(img)
    data += b"".join(images)
    out.write_bytes(data)
    print(f"{out}: {', '.join(str(len(i)) for i in images)} bytes")


if __name__ == "__main__":
    main()
