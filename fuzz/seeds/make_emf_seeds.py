#!/usr/bin/python3
"""Writes small enhanced metafile seeds for the EMF fuzz target into
fuzz/seeds/emf/: shapes and pens, paths, text, bitmaps, clipping regions,
mapping modes and world transforms.

Usage: /usr/bin/python3 fuzz/seeds/make_emf_seeds.py
"""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "emf")


def rec(kind, *values, raw=b""):
    body = struct.pack("<%dI" % len(values), *(v & 0xFFFFFFFF for v in values)) + raw
    body += b"\0" * ((4 - len(body) % 4) % 4)
    return struct.pack("<II", kind, 8 + len(body)) + body


def emf(records, size=(100, 100)):
    body = b"".join(records)
    eof = struct.pack("<5I", 14, 20, 0, 16, 20)
    total = 108 + len(body) + len(eof)
    head = struct.pack("<II4i4iIIIIHHIIIiiii", 1, 108, 0, 0, size[0], size[1], 0, 0, size[0] * 25, size[1] * 25,
                       0x464D4520, 0x10000, total, len(records) + 2, 16, 0, 0, 0, 0, 1000, 1000, 250, 250)
    head += b"\0" * (108 - len(head))
    return head + body + eof


def dib24(w, h):
    rows = b""
    for y in range(h):
        r = b"".join(bytes((x * 50 % 256, y * 70 % 256, 120)) for x in range(w))
        rows += r + b"\0" * ((4 - len(r) % 4) % 4)
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(rows), 0, 0, 0, 0), rows


def stretch_dibits(x, y, w, h, dib):
    info, bits = dib
    off = 8 + 72
    return rec(81, 0, 0, 100, 100, x, y, 0, 0, 4, 3, off, len(info), off + len(info), len(bits), 0, 0x00CC0020, w, h,
               raw=info + bits)


def bitblt(x, y, dib):
    info, bits = dib
    off = 8 + 100
    xform = struct.pack("<6f", 1, 0, 0, 1, 0, 0)
    return rec(77, 0, 0, 100, 100, x, y, 30, 30, 0x00CC0020, 0, 0, raw=xform + struct.pack(
        "<Ii6i", 0xFFFFFF, 0, off, len(info), off + len(info), len(bits), 4, 3) + info + bits)


def font(index, height, escapement=0, weight=400, face="Arial"):
    name = face.encode("utf-16-le")
    logfont = struct.pack("<5i8B", height, 0, escapement, 0, weight, 0, 1, 0, 0, 0, 0, 0, 0) + name
    logfont += b"\0" * (92 - len(logfont))
    return rec(82, index, raw=logfont)


def text_w(x, y, s, dx=True):
    units = s.encode("utf-16-le")
    n = len(s)
    off_string = 8 + 68
    off_dx = off_string + ((len(units) + 3) & ~3)
    raw = units + b"\0" * ((4 - len(units) % 4) % 4)
    if dx:
        raw += struct.pack("<%di" % n, *([12] * n))
    return rec(84, 0, 0, 100, 100, 1, 0, 0, x, y, n, off_string, 0, 0, 0, 0, 0, off_dx if dx else 0, raw=raw)


def xform(*values):
    return struct.pack("<6f", *values)


SEEDS = {
    "shapes.emf": [rec(38, 1, 0, 3, 0, 0x0000FF), rec(37, 1), rec(39, 2, 0, 0x00FF00, 0), rec(37, 2),
                   rec(43, 5, 5, 45, 45), rec(42, 50, 5, 95, 45), rec(44, 5, 50, 45, 95, 10, 10),
                   rec(45, 50, 50, 95, 95, 95, 70, 70, 95), rec(47, 50, 50, 95, 95, 70, 50, 50, 70),
                   rec(46, 55, 55, 90, 90, 90, 55, 55, 90), rec(41, 70, 70, 20, 0, 0, raw=b""),
                   rec(27, 0, 0), rec(54, 100, 100), rec(15, 10, 10, 0xFF)],
    "polys16.emf": [rec(19, 2), rec(39, 1, 2, 0xFF0000, 4), rec(37, 1),
                    rec(86, 0, 0, 100, 100, 5, raw=struct.pack("<10h", 10, 10, 90, 10, 20, 90, 50, 0, 80, 90)),
                    rec(87, 0, 0, 100, 100, 3, raw=struct.pack("<6h", 0, 0, 100, 100, 0, 100)),
                    rec(91, 0, 0, 100, 100, 2, 7, 4, 3, raw=struct.pack("<14h", 5, 5, 40, 5, 40, 40, 5, 40, 60, 60, 95, 60, 80, 95)),
                    rec(85, 0, 0, 100, 100, 4, raw=struct.pack("<8h", 0, 50, 30, 0, 70, 100, 100, 50)),
                    rec(92, 0, 0, 100, 100, 4, raw=struct.pack("<8h", 10, 10, 20, 80, 60, 20, 90, 90) + bytes((6, 2, 2, 3)))],
    "paths.emf": [rec(95, 1, 0, 0, 0, 0, 0x12200, 6, 0, 0x0000FF, 0, 0), rec(37, 1), rec(37, 0x80000002),
                  rec(59), rec(27, 10, 10), rec(55, 10, 10, 90, 90, 90, 50, 50, 90), rec(6, 0, 0, 100, 100, 2, 20, 80, 10, 50),
                  rec(61), rec(60), rec(63, 0, 0, 100, 100),
                  rec(59), rec(42, 20, 20, 80, 80), rec(60), rec(67, 5), rec(43, 0, 0, 100, 100), rec(68)],
    "text.emf": [font(1, -20, 300, 700), rec(37, 1), rec(24, 0x00AA00), rec(22, 24), rec(18, 1), text_w(10, 50, "Hi \u00e9\u20ac"),
                 rec(22, 6), rec(18, 2), rec(25, 0xFFFF00), text_w(50, 90, "mid", dx=False)],
    "bitmaps.emf": [stretch_dibits(10, 10, 40, 30, dib24(4, 3)), bitblt(50, 50, dib24(4, 3)),
                    rec(94, 1, 0, 8 + 24, 40, 8 + 24 + 40, 48, raw=b"".join(dib24(4, 3))), rec(37, 1),
                    rec(76, 0, 0, 100, 100, 60, 0, 40, 40, 0x00F00021, 0, 0, raw=xform(1, 0, 0, 1, 0, 0) + struct.pack("<6I", 0, 0, 0, 0, 0, 0))],
    "clip.emf": [rec(33), rec(30, 10, 10, 90, 90), rec(29, 40, 40, 60, 60), rec(43, 0, 0, 100, 100), rec(34, -1),
                 rec(75, 64, 5, 32, 1, 2, 32, 0, 0, 100, 100, 0, 0, 50, 50, 50, 50, 100, 100),
                 rec(42, 0, 0, 100, 100), rec(75, 0, 5),
                 rec(71, 0, 0, 100, 100, 48, 0x80000004, 32, 1, 1, 16, 0, 0, 20, 20, 0, 0, 20, 20)],
    "mapping.emf": [rec(17, 8), rec(9, 1000, 1000), rec(11, 100, -100), rec(12, 0, 100), rec(10, 0, 0),
                    rec(43, 100, 100, 500, 500), rec(17, 3), rec(42, 0, 0, 1000, -1000),
                    rec(17, 1), rec(35, raw=xform(0.7, 0.7, -0.7, 0.7, 50, 0)), rec(43, 0, 0, 30, 30),
                    rec(36, 1, raw=xform(2, 0, 0, 2, 0, 0) + struct.pack("<I", 2)), rec(42, 0, 0, 20, 10),
                    rec(36, raw=xform(1, 0, 0, 1, 0, 0) + struct.pack("<I", 1))],
}


def main():
    os.makedirs(HERE, exist_ok=True)
    for name, records in SEEDS.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(emf(records))


if __name__ == "__main__":
    main()
