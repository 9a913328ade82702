#!/usr/bin/python3
"""Records the include hash of every GIF in the shared corpus, computed from
Pillow's first frame converted to RGB as it appears on the logical screen, in
tests/data/gif_reference.tsv.

Usage: /usr/bin/python3 scripts/reference/gif_reference.py [corpus-dir]
"""
import os
import struct
import sys

from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import art_reference as ar  # noqa: E402

# Files where our decoder and Pillow legitimately differ. The table records
# "any" with the reason in a sixth column; the test then only asks for a clean
# decode or a clean failure.
DIFFERENT_BY_DESIGN = {
    # No global table, several frames and a first frame smaller than the
    # screen: we compose every frame onto a true-colour canvas, Pillow shows
    # the first frame alone.
    "gif/gif-test-suite/high-color.gif": "canvas mode composes all frames",
    # Pixel indices past the colour table: undefined colours (we pack them to
    # the frame depth, Pillow pads its palette with a grey ramp).
    "gif/gif-test-suite/invalid-colors.gif": "indices past the colour table",
    # The screen around a smaller first frame starts as the graphic control
    # block's transparent index byte even when its flag is clear (here 255,
    # past the table); Pillow starts it at index 0.
    "gif/image-rs/anim-border_touching_layers.gif": "screen filled with the transparent index byte",
    "gif/image-rs/anim-issue_1455_undersized.gif": "screen filled with the transparent index byte",
}


def pillow_first_frame(path, rel):
    """Pillow's first frame. Pillow grows the screen to a frame that sticks
    out of it; we clip such frames to the logical screen the file declares
    (as the GIF test suite expects), so the reference is cropped to it."""
    im = Image.open(path)
    im.seek(0)
    im.load()
    with open(path, "rb") as f:
        head = f.read(10)
    width, height = struct.unpack_from("<HH", head, 6)
    if width and height and im.size != (width, height):
        im = im.convert("RGB").crop((0, 0, width, height))
    return im


def main():
    ar.record_corpus("gif", pillow_first_frame, DIFFERENT_BY_DESIGN)

if __name__ == "__main__":
    main()
