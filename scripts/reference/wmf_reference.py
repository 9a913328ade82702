#!/usr/bin/python3
"""Records reference pictures of every WMF and EMF in the shared corpus, drawn
by independent tools, in tests/data/wmf_reference.tsv.

Metafiles are vector drawings: two renderers never agree pixel for pixel
(anti-aliasing, fonts, line joins), so instead of an include hash each row
keeps a thumbnail: the picture at our output size (the size rules of the
decoder: 96 dpi for placeable files, bounds for enhanced ones, at most 4000
pixels a side) cut into a 16 x 16 grid of cells, each cell the mean red,
green and blue of its pixels. The test computes the same grid from our
picture and compares the two by their mean absolute difference.

References: enhanced metafiles go through emf2svg-conv (libemf2svg) to SVG,
which rsvg-convert rasterises at our size; placeable Windows metafiles go
through ImageMagick's convert where it has its WMF delegate (Debian's
libmagickcore-6.q16-6-extra). A file no tool draws is recorded as "none".

Renderers also disagree on framing: ImageMagick fits the extent a Windows
metafile actually draws to the picture, where Windows (and our player) maps
the window the file sets. So each row also keeps the thumbnail of the
picture cut to its drawn extent (the bounding box of its non-white pixels),
which compares the drawings whatever their framing.

Columns: path, expect (from MANIFEST.tsv), status (ref, none, fail),
width, height, thumbnail as hex (16 x 16 x RGB, top line first), the
thumbnail of the drawn extent.

Usage: /usr/bin/python3 scripts/reference/wmf_reference.py [corpus-dir]
"""
import io
import os
import struct
import subprocess
import sys
import tempfile

from PIL import Image, ImageChops, ImageStat

GRID = 16
MAX_SIDE = 4000
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def clamp_size(w, h):
    if w > MAX_SIDE:
        h = h * MAX_SIDE // w
        w = MAX_SIDE
    if h > MAX_SIDE:
        w = w * MAX_SIDE // h
        h = MAX_SIDE
    return max(w, 1), max(h, 1)


def div_trunc(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


def our_size(data):
    """The decoder's output size, or None when it refuses the file."""
    if len(data) >= 22 and struct.unpack_from("<I", data, 0)[0] == 0x9AC6CDD7:
        words = struct.unpack_from("<10H", data, 0)
        check = 0
        for w in words:
            check ^= w
        left, top, right, bottom, upi = struct.unpack_from("<4hH", data, 6)
        if check == struct.unpack_from("<H", data, 20)[0] and 1 <= upi <= 2540:
            w = div_trunc((right - left) * 96 + upi // 2, upi)
            h = div_trunc((bottom - top) * 96 + upi // 2, upi)
            return clamp_size(w, h) if w > 0 and h > 0 else None
    if len(data) >= 108 and struct.unpack_from("<I", data, 0)[0] == 1 and data[40:44] == b" EMF":
        l, t, r, b = struct.unpack_from("<4i", data, 8)
        w, h = r - l, b - t
        return clamp_size(w, h) if w > 0 and h > 0 else None
    return None


def on_white(im):
    im = im.convert("RGBA")
    white = Image.new("RGBA", im.size, (255, 255, 255, 255))
    white.alpha_composite(im)
    return white.convert("RGB")


def render_emf(path, size):
    with tempfile.TemporaryDirectory() as tmp:
        svg = os.path.join(tmp, "ref.svg")
        png = os.path.join(tmp, "ref.png")
        subprocess.run(["emf2svg-conv", "-i", path, "-o", svg], check=True, capture_output=True, timeout=120)
        subprocess.run(["rsvg-convert", "-w", str(size[0]), "-h", str(size[1]), svg, "-o", png],
                       check=True, capture_output=True, timeout=300)
        return on_white(Image.open(png))


def render_wmf(path, size):
    # Drawn at our 96 dots per inch, so the reference is not a resampled
    # 72-dpi picture; the resize then only evens out a pixel of rounding.
    ppm = subprocess.run(["/usr/bin/convert", "-density", "96", path, "-background", "white", "-flatten",
                          "-resize", "%dx%d!" % size, "-depth", "8", "ppm:-"],
                         check=True, capture_output=True, timeout=120).stdout
    return on_white(Image.open(io.BytesIO(ppm)))


def drawn_extent(im):
    """The picture cut to the bounding box of its non-white pixels."""
    box = ImageChops.difference(im, Image.new("RGB", im.size, (255, 255, 255))).getbbox()
    return im.crop(box) if box else im


def thumbnail(im):
    """Mean colour of each cell of a GRID x GRID cut (integer cell edges),
    top line first; the test computes the same."""
    w, h = im.size
    out = bytearray()
    for gy in range(GRID):
        y0, y1 = gy * h // GRID, (gy + 1) * h // GRID
        y1 = max(y1, y0 + 1)
        for gx in range(GRID):
            x0, x1 = gx * w // GRID, (gx + 1) * w // GRID
            x1 = max(x1, x0 + 1)
            means = ImageStat.Stat(im.crop((x0, y0, x1, y1))).sum
            n = (x1 - x0) * (y1 - y0)
            out += bytes(int(s // n) for s in means[:3])
    return out.hex()


def manifest(corpus):
    rows = {}
    with open(os.path.join(corpus, "MANIFEST.tsv")) as f:
        next(f)
        for line in f:
            cols = line.rstrip("\n").split("\t")
            rows[cols[0]] = cols[5]
    return rows


def main():
    corpus = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "..", "shared", "corpus")
    expect = manifest(corpus)
    lines = ["# path\texpect\tstatus\twidth\theight\tthumbnail (16 x 16 RGB cell means, hex)\tthe same of the drawn extent"]
    for rel in sorted(p for p in expect if p.startswith(("wmf/", "emf/"))):
        path = os.path.join(corpus, rel)
        with open(path, "rb") as f:
            data = f.read()
        size = our_size(data)
        status, thumb, drawn = "none", "", ""
        if size is None:
            status = "fail"
        else:
            try:
                im = render_emf(path, size) if rel.startswith("emf/") else render_wmf(path, size)
                if im.size != size:
                    im = im.resize(size, Image.BOX)
                status, thumb, drawn = "ref", thumbnail(im), thumbnail(drawn_extent(im))
            except (subprocess.SubprocessError, OSError) as e:
                print("%s: no reference (%s)" % (rel, type(e).__name__), file=sys.stderr)
        w, h = size if size else (0, 0)
        lines.append("\t".join([rel, expect[rel], status, str(w), str(h), thumb, drawn]))
        print(rel, status, w, h, file=sys.stderr)
    with open(os.path.join(ROOT, "tests", "data", "wmf_reference.tsv"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
