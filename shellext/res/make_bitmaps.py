#!/usr/bin/env python3
"""Draws the two 13 x 13, 16-colour menu bitmaps of tolvashell.dll.

Run from this folder; it rewrites download.bmp and download_into.bmp.
"""
import struct

# The standard 16-colour palette, as (r, g, b).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
INK = {'.': 7, 'K': 0, 'G': 8, 'W': 15, 'L': 10, 'Y': 11, 'O': 3}

# A grey drive with a green lamp, drawn in the upper rows of both pictures.
DRIVE = [
    ".............",
    ".KKKKKKKKKK..",
    ".KWWWWWWWWK..",
    ".KWGGGGGGGK..",
    ".KWGGGGGLGK..",
    ".KWGGGGGGGK..",
    ".KKKKKKKKKK..",
]

ARROW = [  # a small yellow arrow pointing down, lower right
    "........OYO..",
    "........OYO..",
    "......OYYYYYO",
    ".......OYYYO.",
    "........OYO..",
    ".........O...",
]

FOLDER = [  # a small yellow folder, lower right
    ".....OOO.....",
    ".....OYYOOOOO",
    ".....OYYYYYYO",
    ".....OYYYYYYO",
    ".....OYYYYYYO",
    ".....OOOOOOOO",
]


def write_bmp(path, rows):
    assert len(rows) == 13 and all(len(r) == 13 for r in rows)
    stride = 8  # 13 pixels at 4 bits, padded to whole 32-bit words
    pixels = b''
    for row in reversed(rows):  # bottom-up
        nibbles = [INK[c] for c in row] + [0] * (stride * 2 - 13)
        pixels += bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, stride * 2, 2))
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    offset = 14 + 40 + len(palette)
    header = struct.pack('<2sIHHI', b'BM', offset + len(pixels), 0, 0, offset)
    info = struct.pack('<IiiHHIIiiII', 40, 13, 13, 1, 4, 0, len(pixels), 2835, 2835, 16, 0)
    with open(path, 'wb') as f:
        f.write(header + info + palette + pixels)


write_bmp('download.bmp', DRIVE + ARROW)
write_bmp('download_into.bmp', DRIVE + FOLDER)
