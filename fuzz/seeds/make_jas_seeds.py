#!/usr/bin/python3
"""Writes the JPEG-2000 family fuzz seeds into fuzz/seeds/jas/.

PNM (all six kinds, 8- and 16-bit), PGX (both byte orders, signed and
unsigned, 4 to 16 bits) and Sun raster (1, 8 with and without a colour map,
24, 32, standard, RGB-type and byte-encoded) seeds are assembled here; the
JPEG 2000 seeds are those PGX/PNM pictures compressed by OpenJPEG's
opj_compress (JP2 and bare code streams, lossless and lossy, tiled).
The fuzz target takes the frame from the last byte, so the seeds end as the
files do.

Usage: /usr/bin/python3 fuzz/seeds/make_jas_seeds.py
"""
import os
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "jas")
W, H = 7, 5


def pattern(n, limit):
    return [(i * 2654435761 >> 7) % limit for i in range(n)]


def pnm_seeds():
    grey = pattern(W * H, 256)
    rgb = pattern(W * H * 3, 256)
    bits = pattern(W * H, 2)
    seeds = {
        "p1.pbm": b"P1\n# plain\n%d %d\n" % (W, H) + " ".join(str(b) for b in bits).encode(),
        "p2.pgm": b"P2 %d %d 255\n" % (W, H) + " ".join(map(str, grey)).encode(),
        "p3.ppm": b"P3 %d %d 255\n" % (W, H) + " ".join(map(str, rgb)).encode(),
        "p5.pgm": b"P5\n%d %d\n255\n" % (W, H) + bytes(grey),
        "p6.ppm": b"P6\n%d %d\n255\n" % (W, H) + bytes(rgb),
        "p5_16.pgm": b"P5\n%d %d\n65535\n" % (W, H) + b"".join(struct.pack(">H", v * 257) for v in grey),
        "p2_12.pgm": b"P2 %d %d 4095\n" % (W, H) + " ".join(str(v * 16) for v in grey).encode(),
    }
    rows = b""
    for y in range(H):
        acc = 0
        for x in range(8):
            acc = (acc << 1) | (bits[y * W + x] if x < W else 0)
        rows += bytes([acc])
    seeds["p4.pbm"] = b"P4 %d %d\n" % (W, H) + rows
    return seeds


def pgx(order, sign, depth, values):
    head = b"PG %s %s%d %d %d\n" % (order, sign, depth, W, H)
    fmt = (">" if order == b"ML" else "<") + ("B" if depth <= 8 else "H")
    return head + b"".join(struct.pack(fmt, v & ((1 << (8 if depth <= 8 else 16)) - 1)) for v in values)


def pgx_seeds():
    return {
        "u8.pgx": pgx(b"ML", b"+", 8, pattern(W * H, 256)),
        "s12.pgx": pgx(b"ML", b"-", 12, [v - 2048 for v in pattern(W * H, 4096)]),
        "u16_lm.pgx": pgx(b"LM", b"", 16, pattern(W * H, 65536)),
        "u4.pgx": pgx(b"ML", b"+", 4, pattern(W * H, 16)),
    }


def sun(depth, kind, map_type, cmap, data):
    return struct.pack(">8I", 0x59A66A95, W, H, depth, len(data), kind, map_type, len(cmap)) + cmap + data


def sun_rows(depth, values):
    row_bytes = ((W * depth + 15) // 16) * 2
    out = b""
    for y in range(H):
        if depth == 1:
            row = bytearray(row_bytes)
            for x in range(W):
                row[x >> 3] |= values[y * W + x] << (7 - (x & 7))
        else:
            per = depth // 8
            row = bytearray(values[y * W * per:(y + 1) * W * per]) + bytes(row_bytes - W * per)
        out += bytes(row)
    return out


def encode_runs(data):
    out, i = bytearray(), 0
    while i < len(data):
        run = 1
        while i + run < len(data) and data[i + run] == data[i] and run < 256:
            run += 1
        if run > 2 or data[i] == 0x80:
            out += bytes([0x80, run - 1, data[i]]) if run > 1 or data[i] != 0x80 else b"\x80\x00"
        else:
            out += bytes(data[i:i + run])
        i += run
    return bytes(out)


def sun_seeds():
    cmap = bytes(range(0, 256, 16)) + bytes(range(255, 0, -16)) + bytes([128] * 16)
    eight = sun_rows(8, pattern(W * H, 16))
    return {
        "mono.ras": sun(1, 1, 0, b"", sun_rows(1, pattern(W * H, 2))),
        "grey8.ras": sun(8, 1, 0, b"", eight),
        "mapped8.ras": sun(8, 1, 1, cmap, eight),
        "rle8.ras": sun(8, 2, 1, cmap, encode_runs(eight)),
        "bgr24.ras": sun(24, 1, 0, b"", sun_rows(24, pattern(W * H * 3, 256))),
        "rgb24.ras": sun(24, 3, 0, b"", sun_rows(24, pattern(W * H * 3, 256))),
        "xbgr32.ras": sun(32, 1, 0, b"", sun_rows(32, pattern(W * H * 4, 256))),
    }


def jpeg2000_seeds(sources):
    seeds = {}
    runs = [
        ("rgb_lossless.jp2", "p6.ppm", ["-n", "2"]),
        ("rgb_lossy.j2k", "p6.ppm", ["-n", "2", "-r", "20", "-I"]),
        ("grey_tiled.jp2", "p5.pgm", ["-n", "1", "-t", "4,4"]),
        ("grey16.j2k", "p5_16.pgm", ["-n", "2"]),
        ("signed12.jp2", "s12.pgx", ["-n", "2"]),
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for name, src, options in runs:
            source = os.path.join(tmp, src)
            with open(source, "wb") as f:
                f.write(sources[src])
            target = os.path.join(tmp, name)
            subprocess.run(["opj_compress", "-i", source, "-o", target] + options, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(target, "rb") as f:
                seeds[name] = f.read()
    return seeds


def main():
    os.makedirs(OUT, exist_ok=True)
    seeds = {}
    seeds.update(pnm_seeds())
    seeds.update(pgx_seeds())
    seeds.update(sun_seeds())
    seeds.update(jpeg2000_seeds(seeds))
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
