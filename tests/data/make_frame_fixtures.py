#!/usr/bin/env python3
"""Writes the small multi-frame fixtures of tests/options_test.cpp:
two_frames.gif (4 x 3, frame 0 red, frame 1 blue), grey.j2k (one component), two_pages.tif and two_entries.ico
(2 x 2 24-bit entries, entry 0 green, entry 1 white).
Usage: /usr/bin/python3 tests/data/make_frame_fixtures.py"""
import os
import struct
from PIL import Image

here = os.path.dirname(os.path.abspath(__file__))
red = Image.new("RGB", (4, 3), (255, 0, 0)).convert("P")
blue = Image.new("RGB", (4, 3), (0, 0, 255)).convert("P")
red.save(os.path.join(here, "two_frames.gif"), save_all=True, append_images=[blue], duration=100,
         loop=0, optimize=False, disposal=1)


def dib_entry(bgr):
    # Info header with the doubled height of icon bitmaps, two 24-bit rows
    # padded to 8 bytes, then the all-opaque AND mask rows padded to 4 bytes.
    header = struct.pack("<IiiHHIIiiII", 40, 2, 4, 1, 24, 0, 0, 0, 0, 0, 0)
    row = bytes(bgr) * 2 + b"\0\0"
    return header + row * 2 + b"\0" * 8


entries = [dib_entry((0, 255, 0)), dib_entry((255, 255, 255))]
out = struct.pack("<HHH", 0, 1, len(entries))
offset = 6 + 16 * len(entries)
for e in entries:
    out += struct.pack("<BBBBHHII", 2, 2, 0, 0, 1, 24, len(e), offset)
    offset += len(e)
with open(os.path.join(here, "two_entries.ico"), "wb") as f:
    f.write(out + b"".join(entries))

# grey.j2k: a one-component 4 x 3 codestream (grey ramp), so component 1 is missing.
import subprocess
import tempfile
with tempfile.TemporaryDirectory() as tmp:
    pgm = os.path.join(tmp, "g.pgm")
    with open(pgm, "wb") as f:
        f.write(b"P5\n4 3\n255\n" + bytes(range(0, 240, 20)))
    subprocess.run(["opj_compress", "-i", pgm, "-o", os.path.join(here, "grey.j2k"), "-n", "1"],
                   check=True, stdout=subprocess.DEVNULL)

# two_pages.tif: 5 x 2, page 0 green, page 1 white.
Image.new("RGB", (5, 2), (0, 255, 0)).save(os.path.join(here, "two_pages.tif"), save_all=True,
                                           append_images=[Image.new("RGB", (5, 2), (255, 255, 255))])
