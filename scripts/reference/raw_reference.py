#!/usr/bin/env python3
"""Records reference luminance grids for the real camera RAW files of the
corpus into tests/data/raw_reference.tsv.

Files with an embedded preview are compared with that preview (extracted by
exiftool, which reads metadata and previews only). colorchart.dng has none:
its reference is built here from the mosaic itself, read straight from the
file's strip (14-bit samples packed most significant bit first), each 2 x 2
cell of the active area averaged into one pixel, black-subtracted and put
through a 0.45 power so that it resembles a displayed picture. Files whose
raw data needs a codec the engine lacks are expected to fail.

Usage: scripts/reference/raw_reference.py [corpus-dir]  (needs Pillow, exiftool)
"""
import io
import os
import struct
import subprocess
import sys

from PIL import Image

GRID_WIDTH = 48
FAIL = ["raw/real/Blackmagic.dng", "raw/real/GOPR0024.GPR", "raw/real/GOPR9231.GPR", "raw/real/GPBK7066.GPR"]


def grid(img):
    """Luminance (ITU-R 601 weights) of img in GRID_WIDTH columns, by box averages."""
    height = max(1, round(GRID_WIDTH * img.height / img.width))
    small = img.convert("RGB").resize((GRID_WIDTH, height), Image.BOX).convert("L")
    return GRID_WIDTH, height, list(small.getdata())


def preview(path):
    data = subprocess.run(["exiftool", "-b", "-PreviewImage", path], capture_output=True, check=True).stdout
    return Image.open(io.BytesIO(data))


def ifd_entries(data, order, offset):
    count = struct.unpack_from(order + "H", data, offset)[0]
    sizes = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 7: 1, 10: 8}
    entries = {}
    for i in range(count):
        tag, typ, n = struct.unpack_from(order + "HHI", data, offset + 2 + 12 * i)
        size = sizes.get(typ, 1) * n
        at = offset + 2 + 12 * i + 8
        if size > 4:
            at = struct.unpack_from(order + "I", data, at)[0]
        fmt = {3: "H", 4: "I", 5: "II", 10: "ii"}.get(typ, "B")
        step = struct.calcsize(fmt)
        entries[tag] = [struct.unpack_from(order + fmt, data, at + step * k) for k in range(min(n, 64))]
    return entries


def mosaic_reference(path):
    data = open(path, "rb").read()
    order = "<" if data[:2] == b"II" else ">"
    ifd = ifd_entries(data, order, struct.unpack_from(order + "I", data, 4)[0])
    if 330 in ifd:  # the raw image may sit in a sub-IFD
        ifd = ifd_entries(data, order, ifd[330][0][0])
    width, height = ifd[256][0][0], ifd[257][0][0]
    bits, offset = ifd[258][0][0], ifd[273][0][0]
    black = ifd[50714][0][0] if 50714 in ifd else 0
    white = ifd[50717][0][0] if 50717 in ifd else (1 << bits) - 1
    top, left, bottom, right = [v[0] for v in ifd[50829]] if 50829 in ifd else (0, 0, height, width)
    row_bytes = (width * bits + 7) // 8

    def row(r):
        chunk = data[offset + r * row_bytes: offset + (r + 1) * row_bytes]
        value = int.from_bytes(chunk, "big")
        total = len(chunk) * 8
        return [(value >> (total - bits * (c + 1))) & ((1 << bits) - 1) for c in range(width)]

    half = Image.new("L", ((right - left) // 2, (bottom - top) // 2))
    for y in range(half.height):
        a, b = row(top + 2 * y), row(top + 2 * y + 1)
        for x in range(half.width):
            c = left + 2 * x
            red, green, blue = a[c], (a[c + 1] + b[c]) / 2, b[c + 1]
            lum = 0.299 * red + 0.587 * green + 0.114 * blue
            level = max(0.0, min(1.0, (lum - black) / (white - black)))
            half.putpixel((x, y), int(255 * level ** 0.45))
    return half


def main():
    corpus = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "corpus")
    out = ["# path\texpect\twidth\theight\tluminance grid (row by row); 'fail' rows expect a clean failure"]
    for rel in ["raw/real/IMG_5952.CR2", "raw/real/colorchart.dng"] + FAIL:
        path = os.path.join(corpus, rel)
        if rel in FAIL:
            out.append("%s\tfail\t0\t0" % rel)
            continue
        img = mosaic_reference(path) if rel.endswith("colorchart.dng") else preview(path)
        w, h, values = grid(img)
        out.append("%s\tpicture\t%d\t%d\t%s" % (rel, w, h, " ".join(str(v) for v in values)))
    target = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "data", "raw_reference.tsv")
    with open(target, "w", encoding="ascii") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
