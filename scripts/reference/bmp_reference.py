#!/usr/bin/python3
"""Records the include hash of every BMP in the shared corpus, computed from an
independent decoder's pixels, in tests/data/bmp_reference.tsv.

Pillow decodes first; ImageMagick takes over where Pillow refuses a file or is
known to decode it wrongly. 16-bit files store 4 to 6 bits per channel, which
we widen by shifting (31 becomes 248) while both references replicate the
top bits (31 becomes 255); for them the reference keeps each channel's top
bits only, which is the stored value exactly.

Usage: /usr/bin/python3 scripts/reference/bmp_reference.py [corpus-dir]
"""
import os
import struct
import subprocess
import sys

from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import art_reference as ar  # noqa: E402

# Pillow 9.4 misplaces pixels after an odd-length absolute RLE4 run; this
# file is the RLE4 twin of pal4.bmp, which both references agree on.
PILLOW_WRONG = {"bmp/bmpsuite/g/pal4rle.bmp"}

# Files where a second decoder legitimately differs from ours; the test only
# asks for a clean decode or a clean failure.
UNDEFINED_RLE = "undefined RLE pixels stay index 0; the reference fills them"
WIDE_CHANNELS = "channels wider than 8 bits keep their top bits; the reference rounds"
DIFFERENT_BY_DESIGN = {
    "bmp/bmpsuite/q/pal4rletrns.bmp": UNDEFINED_RLE,
    "bmp/bmpsuite/q/pal8rletrns.bmp": UNDEFINED_RLE,
    "bmp/bmpsuite-extra/pal4rlecut.bmp": UNDEFINED_RLE,
    "bmp/bmpsuite-extra/rgba16-1924.bmp": WIDE_CHANNELS,
    "bmp/bmpsuite-extra/rgba32-61754.bmp": WIDE_CHANNELS,
    "bmp/bmpsuite/q/rgb32-111110.bmp": WIDE_CHANNELS,
}


def sixteen_bit_precision(path):
    """(red, green, blue) bit counts of a 16-bit BMP, or None for other files.
    Masks are contiguous in the corpus files, so a count of set bits is a width."""
    with open(path, "rb") as f:
        head = f.read(14 + 124)
    if len(head) < 54 or head[:2] != b"BM":
        return None
    size, = struct.unpack_from("<I", head, 14)
    bits, = struct.unpack_from("<H", head, 28)
    compression, = struct.unpack_from("<I", head, 30)
    if bits != 16 or size < 40:
        return None
    if compression != 3:
        return (5, 5, 5)
    if len(head) < 66:
        return None
    masks = struct.unpack_from("<III", head, 54)
    return tuple(bin(m & 0xFFFF).count("1") for m in masks)


def imagemagick_image(path):
    ppm = subprocess.run(["/usr/bin/convert", path + "[0]", "-depth", "8", "ppm:-"],
                         capture_output=True, check=True).stdout
    return Image.open(__import__("io").BytesIO(ppm))


def reference_image(path, rel):
    if rel not in PILLOW_WRONG:
        try:
            im = Image.open(path)
            im.load()
            return im
        except Exception:
            pass
    return imagemagick_image(path)


def truncate(image, precision):
    r_bits, g_bits, b_bits = precision
    masks = [(0xFF << (8 - n)) & 0xFF if 0 < n <= 8 else 0 for n in (r_bits, g_bits, b_bits)]
    r, g, b = image.convert("RGB").split()
    return Image.merge("RGB", [ch.point(lambda v, m=m: v & m) for ch, m in zip((r, g, b), masks)])


def reference(path, rel):
    im = reference_image(path, rel)
    precision = sixteen_bit_precision(path)
    return truncate(im, precision) if precision else im


def main():
    ar.record_corpus("bmp", reference, DIFFERENT_BY_DESIGN)

if __name__ == "__main__":
    main()
