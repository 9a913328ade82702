#!/usr/bin/python3
"""Records the include hash of the first entry of every icon and cursor in
the shared corpus in tests/data/ico_reference.tsv.

Pixel colours come from Pillow (its PNG or DIB decoder for that entry). Our
decoder then treats the AND mask in two ways that change colours, and this
script applies the same two rules on top of Pillow's pixels:
- a mask of all ones inverts every colour;
- in a palette entry (1, 4 or 8 bits) the masked pixels take the highest
  palette index that no pixel of the entry uses, when there is one.
The palette indices needed for the second rule are unpacked here from the
entry's bytes; nothing else of the file is interpreted here.

Usage: /usr/bin/python3 scripts/reference/ico_reference.py [corpus-dir]
"""
import io
import os
import struct
import sys

from PIL import BmpImagePlugin, Image, PngImagePlugin

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import art_reference as ar  # noqa: E402
import png_reference  # noqa: E402

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
LONG_HEADERS = (52, 56, 64, 108, 124)


def image_depth(bits):
    if bits <= 1:
        return 1
    if bits <= 4:
        return 4
    if bits <= 8:
        return 8
    return 24


def first_entry(data):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind not in (1, 2) or count == 0 or len(data) < 22:
        raise ValueError("not an icon")
    w, h = data[6] or 256, data[7] or 256
    offset = struct.unpack_from("<I", data, 18)[0]
    if offset >= len(data):
        raise ValueError("entry outside the file")
    return w, h, offset


def pillow_dib(data, offset):
    """Pillow's decode of the XOR part of a DIB entry, as its icon reader does it."""
    im = BmpImagePlugin.DibImageFile(io.BytesIO(data[offset:]))
    im._size = (im.size[0], int(im.size[1] / 2))
    d, e, o, a = im.tile[0]
    im.tile[0] = d, (0, 0) + im.size, o, a
    im.load()
    return im.convert("RGB")


def bitmap_rows(data, offset, w, h):
    header_size, = struct.unpack_from("<I", data, offset)
    bits, = struct.unpack_from("<H", data, offset + 14)
    used, = struct.unpack_from("<I", data, offset + 32)
    im = pillow_dib(data, offset)
    if im.size != (w, h):
        return None  # the entry and its header disagree: no single answer
    px = list(im.getdata())
    rows = [px[y * w:(y + 1) * w] for y in range(h)]  # top line first

    depth = image_depth(bits)
    entries = {1: 2, 4: 16, 8: 256}.get(depth, 0)
    colours = used or entries
    pal_at = offset + (header_size if header_size in LONG_HEADERS else 40)
    palette = []
    for i in range(entries):
        q = data[pal_at + 4 * i:pal_at + 4 * i + 4] if i < colours else b""
        palette.append((q[2], q[1], q[0]) if len(q) == 4 else (0, 0, 0))
    pix_at = pal_at + 4 * colours
    stride = ((w * depth + 31) // 32) * 4
    pix_len = w * h * 4 if bits > 24 else stride * h
    mask_stride = ((w + 31) // 32) * 4
    mask_at = pix_at + pix_len
    mask = data[mask_at:mask_at + mask_stride * h]
    if len(mask) < mask_stride * h:
        return rows  # no complete mask: colours as stored

    def masked(x, line):
        y = h - 1 - line
        return (mask[y * mask_stride + x // 8] >> (7 - x % 8)) & 1

    if all(b == 0xFF for b in mask):
        return [[(255 - r, 255 - g, 255 - b) for (r, g, b) in row] for row in rows]
    if depth > 8:
        return rows

    def index(x, line):
        y = h - 1 - line
        row = data[pix_at + y * stride:pix_at + (y + 1) * stride]
        if depth == 8:
            return row[x] if x < len(row) else 0
        if depth == 4:
            b = row[x // 2] if x // 2 < len(row) else 0
            return (b >> 4) if x % 2 == 0 else (b & 15)
        b = row[x // 8] if x // 8 < len(row) else 0
        return (b >> (7 - x % 8)) & 1

    used_set = {index(x, line) for line in range(h) for x in range(w)}
    free = [i for i in range(entries) if i not in used_set]
    if not free:
        return rows
    colour = palette[free[-1]]
    return [[colour if masked(x, line) else rows[line][x] for x in range(w)] for line in range(h)]


def reference(path):
    data = open(path, "rb").read()
    w, h, offset = first_entry(data)
    if data[offset:offset + 8] == PNG_MAGIC:
        with Image.open(io.BytesIO(data[offset:])) as im:
            if not isinstance(im, PngImagePlugin.PngImageFile):
                raise ValueError("not a PNG entry")
            im.load()
            rgb, pw, ph = png_reference.stored_rgb_rows(im)
        return rgb, pw, ph
    rgb = bitmap_rows(data, offset, w, h)
    if rgb is None:
        return None, 0, 0
    return rgb, w, h


def main():
    def entry_zero(path, rel):
        rgb, w, h = reference(path)
        return None if rgb is None else (rgb, w, h)

    ar.record_corpus("ico", entry_zero)

if __name__ == "__main__":
    main()
