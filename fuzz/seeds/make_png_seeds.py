#!/usr/bin/python3
"""Writes the PNG and icon fuzz seeds into fuzz/seeds/png/ and fuzz/seeds/ico/.

PNG seeds are assembled here with zlib (every colour type and bit depth,
Adam7 and plain, with PLTE, tRNS and pHYs chunks). Icon seeds wrap small
bitmap entries (1, 4, 8, 24 and 32 bits with AND masks), a PNG entry, a
cursor and a two-entry file. The fuzz targets take an option from the last
byte, so the seeds end as the files do.

Usage: /usr/bin/python3 fuzz/seeds/make_png_seeds.py
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def pack_line(samples, depth):
    if depth == 16:
        return b"".join(struct.pack(">H", v) for v in samples)
    if depth == 8:
        return bytes(samples)
    out, acc, bits = bytearray(), 0, 0
    for v in samples:
        acc = (acc << depth) | (v & ((1 << depth) - 1))
        bits += depth
        if bits == 8:
            out.append(acc)
            acc, bits = 0, 0
    if bits:
        out.append(acc << (8 - bits))
    return bytes(out)


def png(w, h, depth, ctype, interlace=False, extra=b""):
    ch = CHANNELS[ctype]
    top = (1 << depth) - 1

    def sample(x, y, c):
        return ((x * 7 + y * 13 + c * 29) * 2654435761 >> 5) & top

    passes = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
    if not interlace:
        passes = [(0, 0, 1, 1)]
    raw = bytearray()
    for x0, y0, dx, dy in passes:
        xs = list(range(x0, w, dx))
        if not xs:
            continue
        for y in range(y0, h, dy):
            raw.append(0)
            raw += pack_line([sample(x, y, c) for x in xs for c in range(ch)], depth)
    ihdr = struct.pack(">IIBBBBB", w, h, depth, ctype, 0, 0, 1 if interlace else 0)
    plte = b""
    if ctype == 3:
        plte = chunk(b"PLTE", bytes((i * 40 + k * 90) & 255 for i in range(1 << depth) for k in range(3)))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra + plte +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def dib(w, h, bits, mask_bits, colours=None):
    depth = 1 if bits <= 1 else 4 if bits <= 4 else 8 if bits <= 8 else 24
    n = colours if colours is not None else {1: 2, 4: 16, 8: 256}.get(depth, 0)
    head = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, bits, 0, 0, 0, 0, colours or 0, 0)
    pal = bytes((i * 37 + k * 11) & 255 for i in range(n) for k in range(4))
    if bits == 32:
        px = bytes((x * 9 + y * 5 + k * 70) & 255 for y in range(h) for x in range(w) for k in range(4))
    else:
        stride = ((w * depth + 31) // 32) * 4
        px = bytes((i * 13 + 5) & 255 for i in range(stride * h))
    mstride = ((w + 31) // 32) * 4
    mask = bytes(mask_bits(i) for i in range(mstride * h))
    return head + pal + px + mask


def ico(entries, kind=1):
    out = struct.pack("<HHH", 0, kind, len(entries))
    offset = 6 + 16 * len(entries)
    for w, h, data in entries:
        out += struct.pack("<BBBBHHII", w & 255, h & 255, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(d for _, _, d in entries)


def write(folder, name, data):
    with open(os.path.join(HERE, folder, name), "wb") as f:
        f.write(data)


def main():
    os.makedirs(os.path.join(HERE, "png"), exist_ok=True)
    os.makedirs(os.path.join(HERE, "ico"), exist_ok=True)
    for ctype, depths in ((0, (1, 2, 4, 8, 16)), (2, (8, 16)), (3, (1, 2, 4, 8)), (4, (8, 16)), (6, (8, 16))):
        for depth in depths:
            for interlace in (False, True):
                name = "c%d_d%d%s.png" % (ctype, depth, "_adam7" if interlace else "")
                write("png", name, png(11, 9, depth, ctype, interlace))
    phys = chunk(b"pHYs", struct.pack(">IIB", 3780, 3780, 1))
    write("png", "rgb_trns_phys.png", png(5, 4, 8, 2, False, phys + chunk(b"tRNS", b"\x00\x10\x00\x20\x00\x30")))
    write("png", "grey_trns.png", png(5, 4, 4, 0, False, chunk(b"tRNS", b"\x00\x03")))
    pal = png(6, 3, 4, 3)
    at = pal.index(b"IDAT") - 4
    write("png", "palette_trns.png", pal[:at] + chunk(b"tRNS", b"\x00\x80\xff") + pal[at:])

    alternate = lambda i: 0x55 if i % 4 == 0 else 0  # noqa: E731
    write("ico", "bits1.ico", ico([(16, 16, dib(16, 16, 1, alternate))]))
    write("ico", "bits4.ico", ico([(16, 8, dib(16, 8, 4, alternate, colours=16))]))
    write("ico", "bits8.ico", ico([(8, 8, dib(8, 8, 8, alternate, colours=200))]))
    write("ico", "bits24.ico", ico([(7, 5, dib(7, 5, 24, alternate))]))
    write("ico", "bits32.ico", ico([(6, 6, dib(6, 6, 32, alternate))]))
    write("ico", "all_ones_mask.ico", ico([(4, 4, dib(4, 4, 24, lambda i: 0xFF))]))
    write("ico", "cursor.cur", ico([(8, 8, dib(8, 8, 4, alternate))], kind=2))
    write("ico", "png_entry.ico", ico([(0, 0, png(9, 7, 8, 6))]))
    write("ico", "two_entries.ico", ico([(4, 4, dib(4, 4, 8, alternate)), (0, 0, png(5, 5, 2, 3, True))]))


if __name__ == "__main__":
    main()
