#!/usr/bin/python3
"""Writes small SKA seeds for the SKA fuzz target into fuzz/seeds/ska/:
widths with and without row padding in the image, one pixel, and a file cut
inside its rows.

Usage: /usr/bin/python3 fuzz/seeds/make_ska_seeds.py
"""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ska")


def ska(width, height, pixels):
    palette = bytes(v for i in range(256) for v in (i, 255 - i, (i * 7) & 0xFF))
    return struct.pack("<HHB", width, height, 3) + b"\x00\x00\x00\x01" + palette + pixels


def pattern(width, height):
    return bytes((i * 13) & 0xFF for i in range(width * height))


def main():
    os.makedirs(HERE, exist_ok=True)
    seeds = {
        "one-pixel.ska": ska(1, 1, b"\x05"),
        "three-by-two.ska": ska(3, 2, b"\x01\x02\x03\x04\x05\x06"),
        "four-wide.ska": ska(4, 3, pattern(4, 3)),
        "odd.ska": ska(17, 9, pattern(17, 9)),
        "cut-rows.ska": ska(10, 10, pattern(10, 10)[:25]),
    }
    for name, data in seeds.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
