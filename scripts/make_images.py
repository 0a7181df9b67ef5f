#!/usr/bin/env python3
"""Draws the window's three small pictures into resources/ as PNG files (standard library only)."""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "resources")


def write_png(path, pixels):
    height, width = len(pixels), len(pixels[0])
    raw = b"".join(b"\x00" + b"".join(struct.pack("BBBB", *px) for px in row) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def canvas(size):
    return [[(0, 0, 0, 0) for _ in range(size)] for _ in range(size)]


def rect(img, x0, y0, x1, y1, color):
    for y in range(max(0, y0), min(len(img), y1 + 1)):
        for x in range(max(0, x0), min(len(img[0]), x1 + 1)):
            img[y][x] = color


def frame(img, x0, y0, x1, y1, width, color):
    rect(img, x0, y0, x1, y0 + width - 1, color)
    rect(img, x0, y1 - width + 1, x1, y1, color)
    rect(img, x0, y0, x0 + width - 1, y1, color)
    rect(img, x1 - width + 1, y0, x1, y1, color)


def mountains(img, x0, y0, x1, y1, color):
    # Two hills inside the frame: the usual sign of "a picture".
    for x in range(x0, x1 + 1):
        t = (x - x0) / max(1, x1 - x0)
        h1 = max(0.0, 1 - abs(t - 0.35) / 0.3)
        h2 = max(0.0, 1 - abs(t - 0.75) / 0.25) * 0.7
        top = int(y1 - (y1 - y0) * max(h1, h2))
        rect(img, x, top, x, y1, color)


def add_picture():
    grey, green, blue = (120, 120, 120, 255), (90, 160, 90, 255), (40, 120, 215, 255)
    img = canvas(48)
    frame(img, 2, 8, 37, 39, 2, grey)
    mountains(img, 5, 22, 34, 36, green)
    rect(img, 10, 13, 14, 17, (230, 180, 40, 255))  # the sun
    rect(img, 30, 27, 47, 44, (255, 255, 255, 255))
    rect(img, 31, 34, 46, 37, blue)  # plus sign
    rect(img, 37, 28, 40, 43, blue)
    return img


def program_icon():
    img = canvas(32)
    rect(img, 1, 1, 30, 30, (30, 110, 200, 255))
    rect(img, 4, 6, 27, 25, (255, 255, 255, 255))
    mountains(img, 5, 12, 26, 24, (40, 150, 80, 255))
    rect(img, 8, 8, 11, 11, (240, 190, 40, 255))
    return img


def close_cross():
    img = canvas(16)
    red = (200, 40, 40, 255)
    for i in range(3, 13):
        for d in (-1, 0, 1):
            for (x, y) in ((i + d, i), (15 - i + d, i)):
                if 0 <= x < 16:
                    img[y][x] = red
    return img


if __name__ == "__main__":
    write_png(os.path.join(OUT, "add_picture.png"), add_picture())
    write_png(os.path.join(OUT, "velpic.png"), program_icon())
    write_png(os.path.join(OUT, "close.png"), close_cross())
