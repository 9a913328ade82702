#!/usr/bin/python3
"""Writes small placeable Windows metafile seeds for the WMF fuzz target into
fuzz/seeds/wmf/: shapes and pens, text, bitmaps, regions and clipping, the
device-context records.

Usage: /usr/bin/python3 fuzz/seeds/make_wmf_seeds.py
"""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wmf")


def rec(function, *words, raw=b""):
    body = struct.pack("<%dh" % len(words), *words) + raw
    if len(body) % 2:
        body += b"\0"
    return struct.pack("<IH", 3 + len(body) // 2, function) + body


def colour(c):
    return (c & 0xFFFF) - (0x10000 if c & 0x8000 else 0), c >> 16


def wmf(records, box=(0, 0, 1440, 1440), upi=1440, objects=8):
    body = b"".join(records) + rec(0)
    head = struct.pack("<HHHIHIH", 1, 9, 0x300, (18 + len(body)) // 2, objects, 64, 0)
    placeable = struct.pack("<IH4hHI", 0x9AC6CDD7, 0, *box, upi, 0)
    check = 0
    for (w,) in struct.iter_unpack("<H", placeable):
        check ^= w
    return placeable + struct.pack("<H", check) + head + body


def dib24(w, h):
    rows = b""
    for y in range(h):
        r = b"".join(bytes((x * 50 % 256, y * 70 % 256, 120)) for x in range(w))
        rows += r + b"\0" * ((4 - len(r) % 4) % 4)
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(rows), 0, 0, 0, 0) + rows


def dib1(w, h):
    rows = b"".join(bytes([0xAA if y % 2 else 0x55]) + b"\0\0\0" for y in range(h))
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, 1, 0, len(rows), 0, 0, 2, 0) + \
        bytes((0, 0, 0, 0, 255, 255, 255, 0)) + rows


def pen(style, width, c):
    return rec(0x02FA, style, width, 0, *colour(c))


def brush(style, c, hatch=0):
    return rec(0x02FC, style, *colour(c), hatch)


def font(height, escapement=0, weight=400, italic=0, face=b"Arial"):
    raw = struct.pack("<5h8B", height, 0, escapement, 0, weight, italic, 0, 0, 0, 0, 0, 0, 0) + face + b"\0"
    return rec(0x02FB, raw=raw)


SEEDS = {
    "shapes.wmf": [pen(0, 20, 0x0000FF), rec(0x012D, 0), brush(0, 0x00FF00), rec(0x012D, 1),
                   rec(0x041B, 700, 700, 100, 100), rec(0x0418, 1400, 1400, 800, 800),
                   rec(0x061C, 100, 100, 1300, 600, 800, 100), rec(0x0817, 300, 1400, 1400, 900, 1400, 1400, 900, 900),
                   rec(0x081A, 1400, 100, 1400, 1400, 1400, 1400, 900, 900),
                   rec(0x0830, 100, 100, 1400, 900, 1400, 1400, 900, 900),
                   rec(0x0214, 10, 10), rec(0x0213, 1400, 700), rec(0x041F, 0xFF, 0, 50, 50)],
    "polys.wmf": [rec(0x0106, 2), brush(2, 0xFF0000, 5), rec(0x012D, 0), pen(3, 0, 0), rec(0x012D, 1),
                  rec(0x0324, 5, 100, 100, 1300, 100, 200, 1300, 700, 0, 1200, 1300),
                  rec(0x0325, 4, 0, 0, 1440, 1440, 0, 1440, 1440, 0),
                  rec(0x0538, 2, 4, 3, 100, 100, 600, 100, 600, 600, 100, 600, 800, 800, 1400, 800, 1100, 1400)],
    "text.wmf": [font(-200, 450, 700, 1), rec(0x012D, 0), rec(0x0209, *colour(0x0000FF)), rec(0x0102, 1),
                 rec(0x012E, 24), rec(0x0521, 5, raw=b"Hello\0" + struct.pack("<hh", 700, 200)),
                 rec(0x0A32, 900, 100, 4, 6, 100, 800, 1300, 1000, raw=b"W\xe9lt" + struct.pack("<4h", 200, 200, 200, 200))],
    "bitmaps.wmf": [rec(0x0F43, 0x0020, 0x00CC, 0, 3, 4, 0, 0, 700, 700, 100, 100, raw=dib24(4, 3)),
                    rec(0x0B41, 0x0020, 0x00CC, 3, 4, 0, 0, 500, 500, 800, 800, raw=dib24(4, 3)),
                    rec(0x0940, 0x00C6, 0x0088, 0, 0, 8, 8, 1200, 100, raw=dib1(8, 8)),
                    rec(0x0142, 5, 0, raw=dib1(8, 8)), rec(0x012D, 0), rec(0x061D, 0x0021, 0x00F0, 300, 300, 1100, 1100)],
    "clip.wmf": [rec(0x001E), rec(0x0416, 1000, 1000, 200, 200), rec(0x0415, 700, 700, 500, 500),
                 brush(0, 0x808080), rec(0x012D, 0), rec(0x041B, 1440, 1440, 0, 0), rec(0x0127, -1),
                 rec(0x06FF, 0, 6, 0, 0, 54, 2, 4, 0, 0, 1440, 1440,
                     2, 0, 400, 100, 900, 2, 2, 400, 900, 300, 1200, 2),
                 rec(0x012C, 1), rec(0x0418, 1400, 1400, 0, 0), rec(0x0228, 1, 0), rec(0x01F0, 1)],
    "mapping.wmf": [rec(0x020B, -100, -100), rec(0x020C, 2880, 2880), rec(0x020F, 50, 50),
                    rec(0x0410, 1, 2, 1, 2), pen(1, 0, 0xFF00FF), rec(0x012D, 0), rec(0x0104, 7),
                    rec(0x041B, 2000, 2000, 0, 0), rec(0x0104, 13), rec(0x0214, 0, 0), rec(0x0213, 2880, 2880)],
}


def main():
    os.makedirs(HERE, exist_ok=True)
    for name, records in SEEDS.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(wmf(records))


if __name__ == "__main__":
    main()
