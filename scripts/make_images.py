#!/usr/bin/env python3
"""Draws the window's three small pictures into resources/ as PNG files, and the program's icon for the desktop
into resources/icons/hicolor/ in several sizes and as SVG (standard library only)."""
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


# The desktop icon: the program icon's design on a 32-unit grid, sampled at any size with 4 x 4 samples per
# pixel so the larger sizes have smooth edges, and written once more as SVG from the same shapes.
APP_ID = "io.github.velpic.Velpic"
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)
BLUE, WHITE, GREEN, SUN = (30, 110, 200), (255, 255, 255), (40, 150, 80), (240, 190, 40)
BACK, CARD = (1, 1, 31, 31), (4, 6, 28, 26)
HILLS_X0, HILLS_X1, HILLS_BASE, HILLS_HEIGHT = 5.0, 27.0, 25.0, 13.0
SUN_X, SUN_Y, SUN_R = 10.0, 10.0, 2.2


def hill_height(t):
    return max(0.0, 1 - abs(t - 0.35) / 0.3, (1 - abs(t - 0.75) / 0.25) * 0.7)


def hill_outline():
    # Corners of the two tents and where the first one's slope meets the second's: 1 - (t - .35) / .3 = 2.8 (t - .5).
    crossing = (1 + 0.35 / 0.3 + 1.4) / (1 / 0.3 + 2.8)
    points = []
    for t in (0.0, 0.05, 0.35, crossing, 0.75, 1.0):
        points.append((HILLS_X0 + t * (HILLS_X1 - HILLS_X0), HILLS_BASE - HILLS_HEIGHT * hill_height(t)))
    return points


def icon_color_at(x, y):
    def inside(box):
        return box[0] <= x < box[2] and box[1] <= y < box[3]

    if not inside(BACK):
        return None
    if not inside(CARD):
        return BLUE
    if (x - SUN_X) ** 2 + (y - SUN_Y) ** 2 <= SUN_R ** 2:
        return SUN
    if HILLS_X0 <= x <= HILLS_X1 and y <= HILLS_BASE:
        if y >= HILLS_BASE - HILLS_HEIGHT * hill_height((x - HILLS_X0) / (HILLS_X1 - HILLS_X0)):
            return GREEN
    return WHITE


def program_icon_at(size, samples=4):
    unit = 32.0 / size
    img = canvas(size)
    for py in range(size):
        for px in range(size):
            r = g = b = a = 0
            for sy in range(samples):
                for sx in range(samples):
                    color = icon_color_at((px + (sx + 0.5) / samples) * unit, (py + (sy + 0.5) / samples) * unit)
                    if color is not None:
                        r, g, b, a = r + color[0], g + color[1], b + color[2], a + 1
            if a:
                img[py][px] = (round(r / a), round(g / a), round(b / a), round(255 * a / samples ** 2))
    return img


def program_icon_svg():
    def box(b, color):
        return '  <rect x="%g" y="%g" width="%g" height="%g" fill="#%02x%02x%02x"/>\n' % (
            b[0], b[1], b[2] - b[0], b[3] - b[1], *color)

    hills = " ".join("%.3f,%.3f" % p for p in hill_outline())
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" viewBox="0 0 32 32">\n'
            + box(BACK, BLUE) + box(CARD, WHITE)
            + '  <polygon points="%s" fill="#%02x%02x%02x"/>\n' % (hills, *GREEN)
            + '  <circle cx="%g" cy="%g" r="%g" fill="#%02x%02x%02x"/>\n' % (SUN_X, SUN_Y, SUN_R, *SUN)
            + "</svg>\n")


def write_desktop_icons():
    theme = os.path.join(OUT, "icons", "hicolor")
    for size in ICON_SIZES:
        folder = os.path.join(theme, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        write_png(os.path.join(folder, APP_ID + ".png"), program_icon_at(size))
    folder = os.path.join(theme, "scalable", "apps")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, APP_ID + ".svg"), "w", encoding="utf-8", newline="\n") as f:
        f.write(program_icon_svg())


if __name__ == "__main__":
    write_png(os.path.join(OUT, "add_picture.png"), add_picture())
    write_png(os.path.join(OUT, "velpic.png"), program_icon())
    write_png(os.path.join(OUT, "close.png"), close_cross())
    write_desktop_icons()
