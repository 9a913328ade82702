#!/usr/bin/env python3
"""Renders an art include back into a PNG (one pixel per glyph), so a person
can look at what a conversion produced.

Usage: scripts/include_to_png.py picture.inc out.png [scale]
Needs Pillow (Debian's python3-pil).
"""
import re
import sys

from PIL import Image


def main():
    src, dst = sys.argv[1], sys.argv[2]
    scale = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    text = open(src, encoding="ascii").read()
    body = text.split("\n", 1)[1]
    index = [int(v) for v in re.search(r"\{([^}]*)\}", body).group(1).replace("\n", " ").split(",")]
    across, down = index[0], index[1]
    chunks = re.findall(r'^, "(.*)"$', text, re.M)
    tiles = []
    at = 0
    for t in range(across * down):
        count = index[2 + 2 * t]
        tiles.append("".join(chunks[at:at + count]))
        at += count
    rows = []  # per tile: list of pixel rows
    for body in tiles:
        colour = (0, 0, 0)
        pixels = [[]]
        for token in re.findall(r"\{[0-9A-F]{6}\}|g|\\n", body):
            if token == "g":
                pixels[-1].append(colour)
            elif token == "\\n":
                pixels.append([])
            else:
                colour = tuple(int(token[i:i + 2], 16) for i in (1, 3, 5))
        rows.append([r for r in pixels if r])
    width = sum(len(rows[x][0]) for x in range(across)) if rows else 0
    height = sum(len(rows[y * across]) for y in range(down)) if rows else 0
    img = Image.new("RGB", (width, height))
    y0 = 0
    for ty in range(down):
        x0 = 0
        for tx in range(across):
            tile = rows[ty * across + tx]
            for y, line in enumerate(tile):
                for x, c in enumerate(line):
                    img.putpixel((x0 + x, y0 + y), c)
            x0 += len(tile[0])
        y0 += len(rows[ty * across])
    if scale != 1:
        img = img.resize((max(1, width // scale), max(1, height // scale)), Image.BOX)
    img.save(dst)


if __name__ == "__main__":
    main()
