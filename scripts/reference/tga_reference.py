#!/usr/bin/python3
"""Records the include hash of every TGA in the shared corpus, computed from an
independent decoder's pixels, in tests/data/tga_reference.tsv.

Pillow decodes first; ImageMagick (with -auto-orient, so right-to-left and
top-down files come out upright) takes over where Pillow refuses a file.

Where our rule differs from both references on purpose, this script applies
our rule on top of their pixels:
- 15- and 16-bit colours (true-colour pixels, or colour-map entries of a
  colour-mapped file) are widened by shifting, so 31 becomes 248, while the
  references replicate the top bits (31 becomes 255); the reference keeps the
  top 5 bits of each channel, which is the stored value exactly.
Alpha does not reach the include, so 32-bit and 16-bit grey files compare by
their colours only.

Usage: /usr/bin/python3 scripts/reference/tga_reference.py [corpus-dir]
"""
import io
import os
import struct
import subprocess
import sys

from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import art_reference as ar  # noqa: E402

# Pillow 9.4 reads this file's 15-bit colour-map entries as grey levels;
# ImageMagick decodes it as the suite intends.
PILLOW_WRONG = {"tga/image-rs/b5-cmap.tga"}

# Pillow 9.4 reads the pixels of this file from inside its unused colour map
# and ImageMagick refuses it; its pixels are those of its twin without a map,
# which both references decode alike.
TWINS = {"tga/image-rs/b5-unused-cmap.tga": "tga/image-rs/b5-noattrib.tga"}

# Files where our decoder legitimately differs from the references; the test
# only asks for a clean decode or a clean failure.
DIFFERENT_BY_DESIGN = {
    "tga/gdk-pixbuf-fail/colormap-image-without-colormap.tga":
        "a colour-mapped file without a colour map has black entries; Pillow invents a grey ramp",
}


def header(path):
    with open(path, "rb") as f:
        head = f.read(18)
    if len(head) < 18:
        return None
    (id_len, map_type, image_type, map_first, map_length, map_bits,
     _x, _y, width, height, depth, descriptor) = struct.unpack("<BBBHHBHHHHBB", head)
    return image_type, map_type, map_bits, depth


def five_bit_colours(path):
    """Whether the file's colours come from 5-bit channels."""
    h = header(path)
    if h is None:
        return False
    image_type, map_type, map_bits, depth = h
    kind = image_type & ~8
    if kind == 2:
        return depth in (15, 16)
    if kind == 1:
        return map_type != 0 and map_bits in (15, 16)
    return False


def imagemagick_image(path):
    ppm = subprocess.run(["/usr/bin/convert", path + "[0]", "-auto-orient", "-depth", "8", "ppm:-"],
                         capture_output=True, check=True).stdout
    return Image.open(io.BytesIO(ppm))


def reference_image(path, rel):
    if rel not in PILLOW_WRONG:
        try:
            im = Image.open(path)
            im.load()
            return im
        except Exception:
            pass
    return imagemagick_image(path)


def top_five_bits(image):
    return image.convert("RGB").point(lambda v: v & 0xF8)


def reference(path, rel):
    if rel in TWINS:
        twin = TWINS[rel]
        path = os.path.join(os.path.dirname(path), os.path.basename(twin))
        rel = twin
    im = reference_image(path, rel)
    return top_five_bits(im) if five_bit_colours(path) else im


def main():
    ar.record_corpus("tga", reference, DIFFERENT_BY_DESIGN)


if __name__ == "__main__":
    main()
