#!/usr/bin/python3
"""Writes small BMP seeds for the BMP fuzz target into fuzz/seeds/bmp/: every
depth, RLE8 and RLE4 with deltas, bit fields, an OS/2 core header, a top-down
V5 header and a bare DIB.

Usage: /usr/bin/python3 fuzz/seeds/make_bmp_seeds.py
"""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bmp")


def bmp(width, height, bits, data, palette=b"", compression=0, header_size=40, extra=b"",
        file_header=True, colours=0):
    if header_size == 12:
        info = struct.pack("<IHHHH", 12, width, height, 1, bits)
    else:
        info = struct.pack("<IiiHHIIiiII", header_size, width, height, 1, bits, compression,
                           len(data) if not file_header else 0, 2835, 2835, colours, 0)
        info += extra
        info += b"\0" * (header_size - len(info))
    body = info + palette + data
    if not file_header:
        return body
    offset = 14 + len(info) + len(palette)
    return struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset) + body


def grey_palette(n, size=4):
    return b"".join(bytes([i * 255 // max(n - 1, 1)] * 3) + b"\0" * (size - 3) for i in range(n))


def main():
    os.makedirs(HERE, exist_ok=True)
    seeds = {
        "rgb24.bmp": bmp(3, 2, 24, bytes(range(9)) + b"\0\0\0" + bytes(range(9, 18)) + b"\0\0\0"),
        "pal8.bmp": bmp(3, 2, 8, b"\x00\x01\x02\0\x03\x04\x05\0", grey_palette(256)),
        "pal4.bmp": bmp(5, 2, 4, b"\x01\x23\x40\0\x56\x78\x90\0", grey_palette(16)),
        "pal1.bmp": bmp(9, 2, 1, b"\xAA\x80\0\0\x55\x00\0\0", grey_palette(2)),
        "pal2.bmp": bmp(5, 1, 2, b"\x1B\x40\0\0", grey_palette(4)),
        "rle8.bmp": bmp(6, 3, 8, b"\x03\x01\x00\x03\x02\x03\x04\x00\x00\x00\x00\x02\x01\x01\x02\x05\x00\x01",
                        grey_palette(256), compression=1),
        "rle4.bmp": bmp(8, 2, 4, b"\x03\x12\x00\x03\x34\x50\x00\x00\x00\x02\x03\x00\x02\x66\x00\x01",
                        grey_palette(16), compression=2),
        "rgb16.bmp": bmp(2, 1, 16, b"\x00\x7C\xE0\x03"),
        "rgb16-565.bmp": bmp(2, 1, 16, b"\x00\xF8\xE0\x07", compression=3,
                             extra=struct.pack("<III", 0xF800, 0x07E0, 0x001F)),
        "rgba32.bmp": bmp(2, 1, 32, b"\x01\x02\x03\x80\x04\x05\x06\xFF"),
        "core8.bmp": bmp(2, 1, 8, b"\x00\x01\0\0", grey_palette(256, 3), header_size=12),
        "v5-topdown.bmp": bmp(1, -2, 8, b"\x01\0\0\0\x00\0\0\0", grey_palette(2), header_size=124,
                              colours=2),
        "v4-bitfields.bmp": bmp(2, 1, 32, b"\x00\x01\x02\x03\x00\x04\x05\x06", compression=3,
                                header_size=108,
                                extra=struct.pack("<III", 0xFF000000, 0x00FF0000, 0x0000FF00)),
        "dib24.bmp": bmp(1, 1, 24, b"\x10\x20\x30\0", file_header=False),
    }
    for name, data in seeds.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
