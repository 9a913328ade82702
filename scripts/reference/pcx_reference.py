#!/usr/bin/python3
"""Records the include hash of every PCX in the shared corpus, computed from an
independent decoder's pixels, in tests/data/pcx_reference.tsv.

Pillow decodes first; ImageMagick takes over where Pillow refuses a file,
and for planar 1-bit files (2 to 4 planes of 1 bit), whose planes Pillow 9.4
merges into indices in a different order than the ZSoft manual gives (plane 0
is bit 0 of an index); ImageMagick follows the manual.

Usage: /usr/bin/python3 scripts/reference/pcx_reference.py [corpus-dir]
"""
import io
import os
import subprocess
import sys

from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import art_reference as ar  # noqa: E402


def imagemagick_image(path):
    ppm = subprocess.run(["/usr/bin/convert", path + "[0]", "-depth", "8", "ppm:-"],
                         capture_output=True, check=True).stdout
    return Image.open(io.BytesIO(ppm))


def planar_one_bit(path):
    with open(path, "rb") as f:
        head = f.read(128)
    return len(head) == 128 and head[3] == 1 and head[65] > 1


def reference(path, rel):
    if planar_one_bit(path):
        return imagemagick_image(path)
    try:
        im = Image.open(path)
        im.load()
        return im
    except Exception:
        return imagemagick_image(path)


def main():
    ar.record_corpus("pcx", reference)


if __name__ == "__main__":
    main()
