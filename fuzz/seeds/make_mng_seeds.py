#!/usr/bin/python3
"""Writes the MNG fuzz seeds into fuzz/seeds/mng/.

MNG files are assembled here with zlib: animations with and without frame
delays, framing modes 1 to 4, a LOOP, an RGBA layer, a palette layer with
tRNS, a layer placed by DEFI, a BACK chunk. JNG files wrap JPEGs made with
Pillow: plain, progressive, with alpha in IDAT or in JDAA (sequential or
progressive), and one with an
alpha depth on an opaque colour type. The fuzz target takes the frame index
from the last byte, so the seeds end as the files do.

Usage: /usr/bin/python3 fuzz/seeds/make_mng_seeds.py
"""
import io
import os
import struct
import zlib

from PIL import Image

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mng")
MNG_SIG = b"\x8aMNG\r\n\x1a\n"
JNG_SIG = b"\x8bJNG\r\n\x1a\n"


def chunk(kind, data=b""):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png_layer(w, h, colour_type, pixel):
    """PNG chunks (no signature) of a w x h layer of one pixel value."""
    raw = b"".join(b"\0" + bytes(pixel) * w for _ in range(h))
    return (chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, colour_type, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND"))


def gradient_layer(w, h, shift):
    raw = b"".join(b"\0" + bytes(v for x in range(w)
                                 for v in ((x * 40 + shift) & 255, (y * 50) & 255, (x + y) * 20 & 255,
                                           (x * 60 + y * 7) & 255))
                   for y in range(h))
    return (chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND"))


def mhdr(w, h, ticks=100):
    return chunk(b"MHDR", struct.pack(">IIIIIII", w, h, ticks, 0, 0, 0, 0))


def fram(mode, delay=None):
    if delay is None:
        return chunk(b"FRAM", bytes([mode]))
    return chunk(b"FRAM", bytes([mode, 0, 2, 0, 0, 0]) + struct.pack(">I", delay))


def mng(w, h, body):
    return MNG_SIG + mhdr(w, h) + body + chunk(b"MEND")


def jpeg(im, **options):
    out = io.BytesIO()
    im.save(out, "JPEG", quality=90, **options)
    return out.getvalue()


def jng(w, h, colour_type, interlace, alpha_depth, alpha_compression, body):
    head = struct.pack(">IIBBBBBBBB", w, h, colour_type, 8, 8, interlace, alpha_depth, alpha_compression, 0, 0)
    return JNG_SIG + chunk(b"JHDR", head) + body + chunk(b"IEND")


def main():
    os.makedirs(OUT, exist_ok=True)
    red, green, blue = (255, 0, 0), (0, 255, 0), (0, 0, 255)
    layers = lambda: b"".join(png_layer(6, 4, 2, c) for c in (red, green, blue))
    seeds = {
        "delays.mng": mng(6, 4, fram(1, 10) + layers()),
        "no-delays.mng": mng(6, 4, fram(1, 0) + layers()),
        "mode2.mng": mng(6, 4, fram(2, 0) + layers() + fram(2) + png_layer(6, 4, 2, red)),
        "mode3.mng": mng(6, 4, fram(3, 5) + layers()),
        "mode4.mng": mng(6, 4, fram(4, 5) + layers() + fram(4) + png_layer(6, 4, 2, green)),
        "loop.mng": mng(6, 4, fram(1, 1) + chunk(b"LOOP", struct.pack(">BI", 0, 3)) + layers() + chunk(b"ENDL", b"\0")),
        "rgba.mng": mng(5, 3, gradient_layer(5, 3, 0) + gradient_layer(5, 3, 90)),
        "palette-trns.mng": mng(4, 4, chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 3, 0, 0, 0))
                                + chunk(b"PLTE", bytes([255, 0, 0, 0, 0, 255])) + chunk(b"tRNS", b"\x40")
                                + chunk(b"IDAT", zlib.compress(b"".join(b"\0\0\1\0\1" for _ in range(4))))
                                + chunk(b"IEND")),
        "defi-offset.mng": mng(8, 8, chunk(b"BACK", struct.pack(">HHH", 0, 0x8000, 0xFFFF))
                               + chunk(b"DEFI", struct.pack(">HBBii", 1, 0, 0, 3, 2)) + png_layer(4, 4, 2, red)),
        "grey.mng": mng(3, 3, png_layer(3, 3, 0, (128,))),
    }
    photo = Image.new("RGB", (16, 8))
    photo.putdata([(x * 16, y * 30, 255 - x * 16) for y in range(8) for x in range(16)])
    grey_alpha = Image.new("L", (16, 8))
    grey_alpha.putdata([(x * 16 + y) & 255 for y in range(8) for x in range(16)])
    raw_alpha = b"".join(b"\0" + bytes((x * 16 + y) & 255 for x in range(16)) for y in range(8))
    seeds.update({
        "plain.jng": jng(16, 8, 10, 0, 0, 0, chunk(b"JDAT", jpeg(photo))),
        "progressive.jng": jng(16, 8, 10, 8, 0, 0, chunk(b"JDAT", jpeg(photo, progressive=True))),
        "grey.jng": jng(16, 8, 8, 0, 0, 0, chunk(b"JDAT", jpeg(photo.convert("L")))),
        "alpha-idat.jng": jng(16, 8, 14, 0, 8, 0, chunk(b"IDAT", zlib.compress(raw_alpha)) + chunk(b"JDAT", jpeg(photo))),
        "alpha-jdaa.jng": jng(16, 8, 14, 0, 8, 8, chunk(b"JDAT", jpeg(photo)) + chunk(b"JDAA", jpeg(grey_alpha))),
        "alpha-jdaa-progressive.jng": jng(16, 8, 14, 8, 8, 8, chunk(b"JDAT", jpeg(photo, progressive=True))
                                          + chunk(b"JDAA", jpeg(grey_alpha, progressive=True))),
        "alpha-depth-quirk.jng": jng(16, 8, 10, 0, 8, 0, chunk(b"JDAT", jpeg(photo))),
    })
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
