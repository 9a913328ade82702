#!/usr/bin/python3
"""Writes small TGA seeds for the TGA fuzz target into fuzz/seeds/tga/: every
image type and pixel depth, colour maps of each entry size and with a first
index, all four orientations, an image ID, and run-length packets that cross
line ends.

Usage: /usr/bin/python3 fuzz/seeds/make_tga_seeds.py
"""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tga")


def tga(image_type, width, height, depth, data, descriptor=0, cmap=b"", map_first=0, map_length=0,
        map_bits=0, image_id=b""):
    head = struct.pack("<BBBHHBHHHHBB", len(image_id), 1 if map_length else 0, image_type, map_first,
                       map_length, map_bits, 0, 0, width, height, depth, descriptor)
    return head + image_id + cmap + data


def map_entries(bits, n):
    out = b""
    for i in range(n):
        if bits in (15, 16):
            out += struct.pack("<H", (i * 2 & 31) | (i & 31) << 5 | (31 - i & 31) << 10)
        elif bits == 24:
            out += bytes([i * 9 & 255, i * 5 & 255, 255 - i])
        else:
            out += bytes([i * 9 & 255, i * 5 & 255, 255 - i, 128])
    return out


def main():
    os.makedirs(HERE, exist_ok=True)
    seeds = {
        "grey8.tga": tga(3, 4, 2, 8, bytes(range(8))),
        "grey8-rle.tga": tga(11, 4, 3, 8, b"\x82\x05\x01\x06\x07\x89\x09\x00\x0a"),
        "grey16-alpha.tga": tga(3, 2, 2, 16, b"\x10\xff\x20\x80\x30\x00\x40\x40", descriptor=0x28),
        "grey16-rle.tga": tga(11, 3, 2, 16, b"\x84\x55\xaa\x00\x01\x02", descriptor=8),
        "mapped24.tga": tga(1, 3, 2, 8, bytes([0, 1, 2, 3, 1, 0]), cmap=map_entries(24, 4), map_length=4,
                            map_bits=24),
        "mapped15-rle.tga": tga(9, 5, 2, 8, b"\x83\x02\x85\x01\x01\x03\x00", cmap=map_entries(15, 4),
                                map_length=4, map_bits=15),
        "mapped16-first.tga": tga(1, 2, 2, 8, bytes([3, 4, 5, 6]), cmap=map_entries(16, 4), map_first=3,
                                  map_length=4, map_bits=16),
        "mapped32.tga": tga(1, 2, 1, 8, bytes([1, 0]), cmap=map_entries(32, 2), map_length=2, map_bits=32),
        "rgb15.tga": tga(2, 2, 1, 15, b"\xff\x7f\x1f\x00"),
        "rgb16-rle.tga": tga(10, 3, 2, 16, b"\x81\x00\x7c\x02\xe0\x03\x1f\x00\xff\xff\x80\x55\x55"),
        "rgb24.tga": tga(2, 2, 2, 24, bytes(range(12)), descriptor=0x20),
        "rgb24-rle-right.tga": tga(10, 3, 2, 24, b"\x04" + bytes(range(15)) + b"\x80\x09\x08\x07",
                                   descriptor=0x10),
        "rgba32.tga": tga(2, 2, 2, 32, bytes(range(16)), descriptor=0x38),
        "rgba32-rle.tga": tga(10, 4, 2, 32, b"\x85\x01\x02\x03\x04\x01" + bytes(range(8)), descriptor=0x08),
        "id-unused-map.tga": tga(2, 1, 1, 24, b"\x01\x02\x03", cmap=map_entries(16, 3), map_length=3,
                                 map_bits=16, image_id=b"seed"),
    }
    for name, data in seeds.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
