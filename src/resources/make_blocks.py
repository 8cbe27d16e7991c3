#!/usr/bin/env python3
"""Writes the two 10 x 10 block bitmaps of the download view (24-bit BMP, no library needed):

    python3 src/resources/make_blocks.py
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
SIZE = 10


def bitmap(fill, edge):
    rows = []
    for y in range(SIZE):
        row = b""
        for x in range(SIZE):
            if x == SIZE - 1 or y == SIZE - 1:
                r, g, b = 255, 255, 255          # the gap between blocks
            elif x in (0, SIZE - 2) or y in (0, SIZE - 2):
                r, g, b = edge
            else:
                r, g, b = fill
            row += bytes((b, g, r))
        row += b"\0" * ((4 - len(row) % 4) % 4)
        rows.append(row)
    pixels = b"".join(reversed(rows))            # bottom-up
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(header) + len(pixels), 0, 0, 14 + len(header)) + header + pixels


(HERE / "block_pending.bmp").write_bytes(bitmap((0xD8, 0xDC, 0xE4), (0xB0, 0xB6, 0xC2)))
(HERE / "block_done.bmp").write_bytes(bitmap((0x1E, 0x64, 0xC8), (0x14, 0x46, 0x8C)))
