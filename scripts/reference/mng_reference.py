#!/usr/bin/python3
"""Records the include hash of every MNG and JNG file in the shared corpus,
computed from ImageMagick's first frame laid on its canvas over white, in
tests/data/mng_reference.tsv.

Our decoder hands back the first frame as libmng draws it, blended over
white; the reference blends ImageMagick's first frame (straight alpha, 8
bits) over white with the same rounding. Pillow reads neither format.

Usage: /usr/bin/python3 scripts/reference/mng_reference.py [corpus-dir]
"""
import io
import os
import subprocess
import sys

from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import art_reference as ar  # noqa: E402

def over_white(r, g, b, a):
    """One straight-alpha pixel blended over white, rounded as our decoder does."""
    def blend(c):
        return (c * a + 255 * (255 - a) + 127) // 255
    return blend(r), blend(g), blend(b)


def first_frame_over_white(path, rel):
    """ImageMagick's first frame laid on its canvas (8-bit RGBA), blended
    over white, as RGB rows."""
    pam = subprocess.run(
        ["convert", "-limit", "time", "60", path + "[0]", "-background", "none", "-flatten",
         "-depth", "8", "PNG32:-"],
        check=True, capture_output=True, timeout=120).stdout
    im = Image.open(io.BytesIO(pam)).convert("RGBA")
    w, h = im.size
    data = [over_white(*p) for p in im.getdata()]
    return [data[y * w:(y + 1) * w] for y in range(h)], w, h


def main():
    ar.record_corpus("mng", first_frame_over_white)


if __name__ == "__main__":
    main()
