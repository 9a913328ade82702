#!/usr/bin/python3
"""Records the include hash of every GIF in the shared corpus, computed from
Pillow's first frame converted to RGB as it appears on the logical screen, in
tests/data/gif_reference.tsv.

Usage: /usr/bin/python3 scripts/reference/gif_reference.py [corpus-dir]
"""
import os
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
    # The only frame sticks out of the screen: we neither count nor decode
    # such a frame, so the file has no frame; Pillow clips or grows the screen.
    "gif/gif-test-suite/image-outside-bg.gif": "frame outside the screen is ignored",
    "gif/gif-test-suite/image-overlap-bg.gif": "frame outside the screen is ignored",
    "gif/image-rs/anim-oob.gif": "frame outside the screen is ignored",
    "gif/image-rs/issue_1455_oversized.gif": "frame outside the screen is ignored",
    "gif/wuffs-artificial/frame-out-of-bounds.gif": "frame outside the screen is ignored",
    # Pixel indices past the colour table: undefined colours (we pack them to
    # the frame depth, Pillow pads its palette with a grey ramp).
    "gif/gif-test-suite/invalid-colors.gif": "indices past the colour table",
    # Minimum code size 11: we accept 2..9 only and leave the frame at index 0.
    "gif/gif-test-suite/max-codes.gif": "minimum code size outside 2..9",
    # The screen around a smaller first frame starts as the graphic control
    # block's transparent index byte even when its flag is clear (here 255,
    # past the table); Pillow starts it at index 0.
    "gif/image-rs/anim-border_touching_layers.gif": "screen filled with the transparent index byte",
    "gif/image-rs/anim-issue_1455_undersized.gif": "screen filled with the transparent index byte",
}


def pillow_first_frame(path, rel):
    im = Image.open(path)
    im.seek(0)
    im.load()
    return im


def main():
    ar.record_corpus("gif", pillow_first_frame, DIFFERENT_BY_DESIGN)

if __name__ == "__main__":
    main()
