#!/usr/bin/python3
"""Writes small WBMP seeds for the WBMP fuzz target into fuzz/seeds/wbmp/:
one-byte and multi-byte widths, rows with padding bits, a single pixel, and
a file cut inside its rows.

Usage: /usr/bin/python3 fuzz/seeds/make_wbmp_seeds.py
"""
import os

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wbmp")


def multi_byte(v):
    out = [v & 0x7F]
    v >>= 7
    while v:
        out.insert(0, 0x80 | (v & 0x7F))
        v >>= 7
    return bytes(out)


def wbmp(width, height, rows):
    return multi_byte(0) + multi_byte(0) + multi_byte(width) + multi_byte(height) + rows


def pattern(width, height):
    row_bytes = (width + 7) // 8
    return bytes((y * 29 + x * 71) & 0xFF for y in range(height) for x in range(row_bytes))


def main():
    os.makedirs(HERE, exist_ok=True)
    seeds = {
        "one-pixel.wbmp": wbmp(1, 1, b"\x80"),
        "nine-wide.wbmp": wbmp(9, 3, b"\xFF\xFF\x55\x7F\x80\x80"),
        "width200.wbmp": wbmp(200, 4, pattern(200, 4)),
        "tall.wbmp": wbmp(3, 40, pattern(3, 40)),
        "cut-rows.wbmp": wbmp(16, 8, pattern(16, 8)[:5]),
    }
    for name, data in seeds.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
