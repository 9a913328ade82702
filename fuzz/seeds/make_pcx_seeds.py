#!/usr/bin/python3
"""Writes small PCX seeds for the PCX fuzz target into fuzz/seeds/pcx/: 1-, 2-,
4- and 8-bit single planes (the last with its 256-colour palette), 3 and 4
planes of 8 bits, planar 1-bit pictures of 2, 3 and 4 planes, runs that carry
on into the next line, and lines shorter than the width.

Usage: /usr/bin/python3 fuzz/seeds/make_pcx_seeds.py
"""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pcx")


def encode(plain):
    out = bytearray()
    i = 0
    while i < len(plain):
        n = 1
        while i + n < len(plain) and plain[i + n] == plain[i] and n < 63:
            n += 1
        if n > 1 or plain[i] >= 0xC0:
            out.append(0xC0 | n)
        out.append(plain[i])
        i += n
    return bytes(out)


def pcx(bits, planes, width, height, bytes_per_line, plain, tail=b""):
    colour_map = bytes(v for i in range(16) for v in (i * 16, 255 - i * 16, i * 5))
    head = struct.pack("<BBBBHHHHHH", 10, 5, 1, bits, 0, 0, width - 1, height - 1, 72, 72)
    head += colour_map + struct.pack("<BBHH", 0, planes, bytes_per_line, 1)
    head += b"\0" * (128 - len(head))
    return head + encode(bytes(plain)) + tail


def palette():
    return b"\x0c" + bytes(v for i in range(256) for v in (i, 255 - i, i // 2))


def main():
    os.makedirs(HERE, exist_ok=True)
    seeds = {
        "bw.pcx": pcx(1, 1, 10, 2, 2, [0xA5, 0xC0, 0x01, 0xFF]),
        "cga2.pcx": pcx(2, 1, 5, 2, 2, [0x1B, 0xC0, 0xE4, 0x00]),
        "nibbles4.pcx": pcx(4, 1, 3, 2, 2, [0x12, 0x30, 0x45, 0x60]),
        "pal8.pcx": pcx(8, 1, 3, 2, 4, [1, 1, 1, 1, 2, 200, 3, 0], palette()),
        "pal8-short.pcx": pcx(8, 1, 5, 2, 1, [7, 8], palette()[:100]),
        "rgb24.pcx": pcx(8, 3, 2, 2, 2, list(range(12))),
        "rgba32.pcx": pcx(8, 4, 2, 1, 2, [1, 2, 3, 4, 5, 6, 128, 255]),
        "planar2.pcx": pcx(1, 2, 8, 1, 1, [0xF0, 0xCC]),
        "planar3.pcx": pcx(1, 3, 9, 2, 2, [0xF0, 0x80, 0xCC, 0, 0xAA, 0x80, 1, 2, 3, 4, 5, 6]),
        "planar4.pcx": pcx(1, 4, 9, 2, 2, [0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0] + [0xFF] * 8),
        "long-runs.pcx": pcx(8, 1, 40, 4, 40, [9] * 160, palette()),
    }
    for name, data in seeds.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
