#!/usr/bin/python3
"""Writes the TIFF fuzz seeds into fuzz/seeds/tiff/.

Pillow writes small pages in every mode the adapter treats differently
(bilevel, 2/4/8-bit grey, palette, grey + alpha, 16-bit grey, RGB, RGBA,
CMYK, YCbCr-in-JPEG, CIE L*a*b*) with the usual compressions; a tiled page,
a two-page file and a rotated page are assembled by hand. The fuzz target
takes the page from the last byte, so the seeds end as the files do.

Usage: /usr/bin/python3 fuzz/seeds/make_tiff_seeds.py
"""
import io
import os
import struct

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "tiff")


def pattern(mode, w=13, h=11):
    im = Image.new("RGB", (w, h))
    im.putdata([((x * 37) % 256, (y * 53) % 256, ((x + y) * 19) % 256) for y in range(h) for x in range(w)])
    return im.convert(mode)


def save(name, im, **kw):
    buf = io.BytesIO()
    im.save(buf, format="TIFF", **kw)
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(buf.getvalue())


def ifd_file(pages):
    """A little-endian TIFF of pages, each a list of (tag, type, values) and its data."""
    out = bytearray(b"II*\0\0\0\0\0")
    sizes = {3: 2, 4: 4, 5: 8}
    fmt = {3: "H", 4: "I"}
    prev = 4
    for entries, data in pages:
        data_at = len(out)
        out += data
        if len(out) % 2:
            out += b"\0"
        extra = []
        struct.pack_into("<I", out, prev, len(out))
        ifd_at = len(out)
        body = bytearray(struct.pack("<H", len(entries)))
        tail_at = ifd_at + 2 + 12 * len(entries) + 4
        for tag, typ, values in sorted(entries):
            values = [v + data_at if tag in (273, 324) else v for v in values]
            raw = b"".join(struct.pack("<" + fmt[typ], v) for v in values) if typ in fmt else \
                b"".join(struct.pack("<II", n, d) for n, d in values)
            if len(raw) <= 4:
                body += struct.pack("<HHI", tag, typ, len(values)) + raw.ljust(4, b"\0")
            else:
                body += struct.pack("<HHII", tag, typ, len(values), tail_at + sum(len(e) for e in extra))
                extra.append(raw)
        prev = ifd_at + len(body)
        body += b"\0\0\0\0"
        out += body + b"".join(extra)
    return bytes(out)


def main():
    os.makedirs(OUT, exist_ok=True)
    save("bilevel_g4.tif", pattern("1"), compression="group4")
    save("bilevel_raw.tif", pattern("1"))
    save("grey8_lzw.tif", pattern("L"), compression="tiff_lzw")
    save("grey8_packbits.tif", pattern("L"), compression="packbits")
    save("grey16.tif", pattern("L").convert("I;16"))
    save("palette_deflate.tif", pattern("P"), compression="tiff_deflate")
    save("grey_alpha.tif", pattern("LA"))
    save("rgb_jpeg.tif", pattern("RGB"), compression="jpeg")
    save("rgba.tif", pattern("RGBA"), compression="tiff_lzw")
    save("cmyk.tif", pattern("CMYK"))
    save("lab.tif", pattern("LAB"))
    save("rgb_cm.tif", pattern("RGB"), resolution=118.11, resolution_unit=3)

    w, h = 20, 9  # tiled 8-bit grey, width not a multiple of the tile width
    tiles = bytearray()
    for ty in range(0, h, 16):
        for tx in range(0, w, 16):
            tiles += bytes(((tx + x) * 7 + (ty + y) * 3) & 255 for y in range(16) for x in range(16))
    common = [(256, 3, [w]), (257, 3, [h]), (258, 3, [8]), (259, 3, [1]), (262, 3, [1]), (277, 3, [1])]
    tiled = common + [(322, 3, [16]), (323, 3, [16]), (324, 4, [0, 256]), (325, 4, [256, 256])]
    with open(os.path.join(OUT, "tiled_grey.tif"), "wb") as f:
        f.write(ifd_file([(tiled, bytes(tiles))]))

    strip = bytes((x * 11 + y * 5) & 255 for y in range(h) for x in range(w))
    page = common + [(273, 4, [0]), (278, 3, [h]), (279, 4, [len(strip)])]
    with open(os.path.join(OUT, "two_pages_rotated.tif"), "wb") as f:
        f.write(ifd_file([(page, strip), (page + [(274, 3, [6])], strip)]))


if __name__ == "__main__":
    main()
