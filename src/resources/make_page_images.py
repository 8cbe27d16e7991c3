#!/usr/bin/python3
"""Draws the error page's background images into src/resources/page/ as small PNG files
(standard library only). The page finds them inside the executable, so they are resources
too (page.rc). Run it after changing a drawing and commit the script and the pictures:

    /usr/bin/python3 src/resources/make_page_images.py
"""
import pathlib
import struct
import zlib

OUT = pathlib.Path(__file__).resolve().parent / "page"


def png(name, width, height, pixel):
    """Writes an RGB PNG whose colour at (x, y) is pixel(x, y)."""
    rows = b"".join(b"\0" + bytes(c for x in range(width) for c in pixel(x, y)) for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    data = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
    (OUT / name).write_bytes(data)


def blend(a, b, t):
    return tuple(round(p + (q - p) * t) for p, q in zip(a, b))


def vertical(top, bottom, height):
    return lambda x, y: blend(top, bottom, y / max(1, height - 1))


def close_box(ground, cross):
    def pixel(x, y):
        on_diagonal = abs(x - y) <= 1 or abs(x + y - 15) <= 1
        return cross if 3 <= x <= 12 and 3 <= y <= 12 and on_diagonal else ground
    return pixel


def main():
    OUT.mkdir(exist_ok=True)
    png("box.png", 1, 240, vertical((255, 255, 255), (236, 242, 248), 240))
    png("title.png", 1, 32, vertical((60, 140, 210), (20, 90, 160), 32))
    png("close.png", 16, 16, close_box((40, 110, 180), (255, 255, 255)))
    png("button.png", 1, 40, vertical((255, 170, 60), (235, 120, 20), 40))
    png("button_hover.png", 1, 40, vertical((255, 195, 100), (245, 145, 45), 40))


if __name__ == "__main__":
    main()
