#!/usr/bin/env python3
"""Records what ImageMagick makes of the 24-megapixel test photo at 120 x 80.

The photo is drawn by integer arithmetic only, so that tests/options_test.cpp
(PhotoPixel) draws exactly the same one: a sky with a sun, two ranges of hills,
a house and fields with grain. This script draws it, reduces it with
ImageMagick's `convert -resize 120x80!` (its default filter) and writes

  tests/data/fit_photo_reference.ppm   the reduced photo (binary PPM)
  tests/data/fit_photo_reference.tsv   FNV-1a 64 of the full photo's RGB bytes

The test checks the hash first, so a drift between the two drawings is caught
before any pixel is compared.

Usage: python3 scripts/reference/fit_reference.py   (takes a minute or two)
"""
import os
import subprocess
import sys
import tempfile

W, H = 6000, 4000
M32 = 0xFFFFFFFF


def grain(x, y):
    h = ((x * 2654435761) ^ (y * 2246822519)) & M32
    h ^= h >> 15
    h = (h * 2654435761) & M32
    return (h >> 24) % 33 - 16


def clamp(v):
    return 0 if v < 0 else 255 if v > 255 else v


def pixel(x, y):
    far = 2000 + 400 * abs((x % 2400) - 1200) // 1200
    near = 2600 + 250 * abs(((x + 700) % 3000) - 1500) // 1500
    dx, dy = x - 4500, y - 800
    if dx * dx + dy * dy < 420 * 420:
        return (255, 228, 150)
    if 1500 <= x < 2300 and 2300 <= y < 3000:
        if 1800 <= x < 2000 and 2700 <= y:
            return (70, 40, 20)
        return (180, 40, 40)
    if y < far:
        return (90 + 80 * y // 2000, 140 + 60 * y // 2000, 235 - 30 * y // 2000)
    if y < near:
        return (clamp(70 + grain(x, y)), clamp(90 + grain(y, x)), clamp(102 + (grain(x, y) + 16) // 2))
    stripe = 35 if ((x // 450 + y // 300) % 2) else 0
    g = grain(x, y)
    return (clamp(60 + 60 * (y - near) // 1400 + g), clamp(110 + stripe + g), clamp(32 + (g + 16) // 2))


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    data = bytearray()
    for y in range(H):
        for x in range(W):
            data.extend(pixel(x, y))
    with tempfile.TemporaryDirectory() as tmp:
        photo = os.path.join(tmp, "photo.ppm")
        with open(photo, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (W, H))
            f.write(data)
        out = os.path.join(root, "tests/data/fit_photo_reference.ppm")
        subprocess.run(["convert", photo, "-resize", "120x80!", "-depth", "8", "ppm:" + out], check=True)
    with open(os.path.join(root, "tests/data/fit_photo_reference.tsv"), "w") as f:
        f.write("photo_fnv1a64\t%s\n" % fnv1a64(data))
    return 0


if __name__ == "__main__":
    sys.exit(main())
