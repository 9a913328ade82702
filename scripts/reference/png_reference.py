#!/usr/bin/python3
"""Records the include hash of every PNG in the shared corpus, computed from
Pillow's pixels, in tests/data/png_reference.tsv.

Our decoder keeps the high byte of 16-bit samples and ignores alpha, gamma
and background chunks; the RGB taken here is the stored colour, with 16-bit
grey samples reduced by >> 8 (Pillow hands those out as 16-bit integers).

Usage: /usr/bin/python3 scripts/reference/png_reference.py [corpus-dir]
"""
import os
import sys

from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import art_reference as ar  # noqa: E402


def stored_rgb_rows(im):
    """Rows (top line first) of (r, g, b) as the file stores them, 8 bits each."""
    w, h = im.size
    if im.mode in ("I", "I;16", "I;16B"):
        # 16-bit grey: Pillow keeps the full sample; our image keeps its high byte.
        data = [(v >> 8) & 0xFF for v in im.getdata()]
        data = [(v, v, v) for v in data]
    else:
        data = list(im.convert("RGB").getdata())
    return [data[y * w:(y + 1) * w] for y in range(h)], w, h


def main():
    def reference(path, rel):
        with Image.open(path) as im:
            im.load()
            return stored_rgb_rows(im)

    ar.record_corpus("png", reference)

if __name__ == "__main__":
    main()
