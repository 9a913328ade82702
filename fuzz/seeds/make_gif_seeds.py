#!/usr/bin/python3
"""Writes the GIF fuzz seeds into fuzz/seeds/gif/: small pictures made with
Pillow (static, interlaced, transparent, animated with each disposal method,
local tables without a global one) plus two hand-assembled files.

Usage: /usr/bin/python3 fuzz/seeds/make_gif_seeds.py
"""
import os

from PIL import Image

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gif")


def gradient(w, h, colours):
    im = Image.new("P", (w, h))
    im.putpalette([c for i in range(colours) for c in (i * 255 // max(1, colours - 1), (i * 37) & 255, 255 - i * 255 // max(1, colours - 1))])
    im.putdata([(x * 3 + y * 5) % colours for y in range(h) for x in range(w)])
    return im


def frames(w, h, n, colours):
    out = []
    for k in range(n):
        im = gradient(w, h, colours)
        im.putdata([(x + y + k * 3) % colours for y in range(h) for x in range(w)])
        out.append(im)
    return out


def main():
    os.makedirs(OUT, exist_ok=True)
    gradient(16, 9, 4).save(os.path.join(OUT, "static4.gif"))
    gradient(23, 11, 256).save(os.path.join(OUT, "static256.gif"))
    gradient(2, 1, 2).save(os.path.join(OUT, "mono.gif"))
    gradient(12, 13, 16).save(os.path.join(OUT, "interlaced.gif"), interlace=True)
    gradient(10, 6, 64).save(os.path.join(OUT, "transparent.gif"), transparency=3)
    for disposal in range(4):
        f = frames(8, 6, 5, 16)
        f[0].save(os.path.join(OUT, "dispose%d.gif" % disposal), save_all=True,
                  append_images=f[1:], disposal=disposal, duration=40, loop=0, transparency=2)
    # Hand-assembled: smaller frames with local tables over a bigger screen
    # and no global table, composed on a canvas. Each frame is 2 x 1 pixels
    # of index 1: codes clear, 1, 1, end at 3 bits.
    def local_frame(left, top, colours):
        return (bytes([0x21, 0xF9, 4, 4, 0, 0, 0, 0, 0x2C, left, 0, top, 0, 2, 0, 1, 0, 0x80])
                + bytes(colours) + b"\x02\x02\x4c\x0a\x00")
    with open(os.path.join(OUT, "canvas.gif"), "wb") as f:
        f.write(b"GIF89a\x06\x00\x05\x00\x00\x00\x00" + local_frame(1, 1, [0, 0, 0, 255, 0, 0])
                + local_frame(3, 2, [0, 0, 255, 0, 255, 0]) + local_frame(0, 4, [9, 9, 9, 200, 200, 0])
                + b"\x3b")
    # Hand-assembled: 0 x 0 screen, and a frame outside the screen before a good one.
    head = b"GIF89a\x00\x00\x00\x00\x80\x00\x00" + b"\x00\x00\x00\xff\xff\xff"
    frame = b"\x2c\x00\x00\x00\x00\x02\x00\x02\x00\x00\x02\x02\x44\x0a\x00"
    with open(os.path.join(OUT, "zero-screen.gif"), "wb") as f:
        f.write(head + frame + b"\x3b")
    outside = b"\x2c\x01\x00\x01\x00\x02\x00\x02\x00\x00\x02\x02\x44\x0a\x00"
    with open(os.path.join(OUT, "outside-frame.gif"), "wb") as f:
        f.write(b"GIF89a\x02\x00\x02\x00\x80\x00\x00" + b"\x00\x00\x00\xff\xff\xff" + outside + frame + b"\x3b")


if __name__ == "__main__":
    main()
