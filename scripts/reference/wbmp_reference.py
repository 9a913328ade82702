#!/usr/bin/python3
"""Records the include hash of every WBMP in the shared corpus, computed from
ImageMagick's pixels (Pillow reads no WBMP), in tests/data/wbmp_reference.tsv.

Usage: /usr/bin/python3 scripts/reference/wbmp_reference.py [corpus-dir]
"""
import io
import os
import subprocess
import sys

from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import art_reference as ar  # noqa: E402


def imagemagick_pixels(path, rel):
    ppm = subprocess.run(["/usr/bin/convert", "wbmp:" + path, "-depth", "8", "ppm:-"],
                         capture_output=True, check=True).stdout
    return Image.open(io.BytesIO(ppm))


def main():
    ar.record_corpus("wbmp", imagemagick_pixels)


if __name__ == "__main__":
    main()
