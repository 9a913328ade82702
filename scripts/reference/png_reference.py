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
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    corpus = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "..", "shared", "corpus")
    rows_in = ar.manifest(corpus)
    rows = []
    for path, row in rows_in.items():
        if not path.startswith("png/"):
            continue
        expect = row["expect"]
        try:
            with Image.open(os.path.join(corpus, path)) as im:
                im.load()
                rgb, w, h = stored_rgb_rows(im)
            text = ar.include_text(rgb, w, h)
            rows.append((path, expect, ar.fnv1a64(text.encode("ascii")), w, h))
        except Exception:
            rows.append((path, expect, "fail", 0, 0))
    ar.write_reference_table(os.path.join(root, "tests", "data", "png_reference.tsv"), rows)


if __name__ == "__main__":
    main()
