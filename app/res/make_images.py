#!/usr/bin/env python3
"""Draws the program's icons and menu bitmaps (32-bit, premultiplied alpha) into the folder
given: vostrale.ico (the tray and program icon, 16/32/48 pixels) and one 16x16 bitmap per
menu picture. Drawn from code so the repository holds no binary images."""
import math
import struct
import sys


def disc(size, x, y):
    """Colour of a silver disc with a blue ring and a hole, or None outside it."""
    c = (size - 1) / 2.0
    r = math.hypot(x - c, y - c) / (size / 2.0)
    if r > 0.98 or r < 0.17:
        return None
    if r < 0.26:
        return (90, 90, 100, 255)
    angle = math.atan2(y - c, x - c)
    shine = int(40 * math.cos(2 * angle))
    if 0.55 < r < 0.70:
        return (40, 90, 200, 255)
    g = max(0, min(255, 200 + shine))
    return (g, g, min(255, g + 15), 255)


def drive(size, x, y):
    if 3 <= y <= 12 and 1 <= x <= 14:
        if y == 9 and 3 <= x <= 10:
            return (30, 30, 30, 255)
        if y in (3, 12) or x in (1, 14):
            return (70, 70, 80, 255)
        if x == 12 and y == 10:
            return (40, 200, 60, 255)
        return (180, 180, 190, 255)
    return None


def overlay(base, extra):
    def draw(size, x, y):
        e = extra(size, x, y)
        return e if e else base(size, x, y)
    return draw


def plus(size, x, y):
    if (x in (11, 12) and 8 <= y <= 15) or (y in (11, 12) and 8 <= x <= 15):
        return (30, 160, 40, 255)
    return None


def cross(size, x, y):
    if 8 <= x <= 15 and 8 <= y <= 15 and (abs((x - 8) - (y - 8)) <= 0 or abs((x - 8) - (15 - y)) <= 0):
        return (200, 30, 30, 255)
    if 8 <= x <= 15 and 8 <= y <= 15 and (abs((x - 8) - (y - 8)) <= 1 or abs((x - 8) - (15 - y)) <= 1):
        return (230, 80, 80, 255)
    return None


def clock(size, x, y):
    r = math.hypot(x - 7.5, y - 7.5)
    if r > 7.2:
        return None
    if r > 6.0:
        return (60, 60, 140, 255)
    if (x in (7, 8) and 3 <= y <= 8) or (y in (7, 8) and 7 <= x <= 11):
        return (20, 20, 20, 255)
    return (250, 250, 240, 255)


def house(size, x, y):
    if y <= 7 and abs(x - 7.5) <= y + 0.5 and y >= 1:
        return (190, 40, 40, 255)
    if 8 <= y <= 14 and 3 <= x <= 12:
        if 10 <= y and 6 <= x <= 9:
            return (120, 70, 30, 255)
        return (230, 210, 160, 255)
    return None


def folder(size, x, y):
    if 2 <= y <= 3 and 1 <= x <= 6:
        return (220, 170, 50, 255)
    if 4 <= y <= 13 and 1 <= x <= 14:
        return (240, 200, 80, 255) if y > 4 else (200, 150, 40, 255)
    return None


def pixels(draw, size):
    """Rows bottom-up, BGRA, premultiplied."""
    rows = []
    for y in range(size - 1, -1, -1):
        row = bytearray()
        for x in range(size):
            p = draw(size, x, y)
            if p is None:
                row += bytes((0, 0, 0, 0))
            else:
                r, g, b, a = p
                row += bytes((b * a // 255, g * a // 255, r * a // 255, a))
        rows.append(bytes(row))
    return b"".join(rows)


def dib_header(size, height):
    return struct.pack("<IiiHHIIiiII", 40, size, height, 1, 32, 0, size * size * 4, 0, 0, 0, 0)


def write_bmp(path, draw):
    data = dib_header(16, 16) + pixels(draw, 16)
    with open(path, "wb") as out:
        out.write(b"BM" + struct.pack("<IHHI", 14 + len(data), 0, 0, 54) + data)


def write_ico(path, draw, sizes):
    images = []
    for size in sizes:
        mask_row = ((size + 31) // 32) * 4
        images.append(dib_header(size, size * 2) + pixels(draw, size) + bytes(mask_row * size))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


def main():
    folder_out = sys.argv[1]
    write_ico(folder_out + "/vostrale.ico", disc, [16, 32, 48])
    small = lambda s, x, y: disc(16, x, y)
    write_bmp(folder_out + "/drive.bmp", drive)
    write_bmp(folder_out + "/mount.bmp", overlay(small, plus))
    write_bmp(folder_out + "/unmount.bmp", overlay(small, cross))
    write_bmp(folder_out + "/history.bmp", clock)
    write_bmp(folder_out + "/homepage.bmp", house)
    write_bmp(folder_out + "/opendrive.bmp", folder)


if __name__ == "__main__":
    main()
