#!/usr/bin/python3
"""Records the include hash of every TIFF in the shared corpus, computed from an
independent decoder's pixels, in tests/data/tiff_reference.tsv.

The samples come from Pillow, or from ImageMagick (16-bit output, so that
the stored values survive) where Pillow refuses a file, reads it wrongly
(planar 16-bit RGB, subsampled raw YCbCr) or hands out less than the
stored value. Both turn the page upright by its orientation tag, as we do.

Where our rules differ from both on purpose, this script applies our rule
to the independent samples, and says so here:
- grey and palette pages: samples narrower than 8 bits index a grey ramp of
  i * (255 // (2^bits - 1)), inverted for min-is-white; wider samples keep
  their top 8 bits; 16-bit grey is brightened as a whole: every sample is
  shifted right by 8 - m, m the leading zero bits of the largest high byte;
- colour maps: a map with every value below 256 holds 8-bit values, any
  other is scaled by v * 255 // 65535;
- grey + alpha and colour + alpha pages keep the stored (associated) colour;
  colour pages follow libtiff's RGBA reader, which we use: 16-bit samples
  become (v + 128) // 257, unassociated alpha is multiplied in as
  (v * a + 127) // 255, CMYK becomes (255 - K) * (255 - C) // 255;
- colour samples of other widths (2, 4, 10, 12, 24 bits...) keep their top
  8 bits, narrower ones are scaled to 0..255 by v * 255 // (2^bits - 1);
- CIE L*a*b* uses our conversion (D65, sRGB curve) on the stored bytes.

Usage: /usr/bin/python3 scripts/reference/tiff_reference.py [corpus-dir]
"""
import os
import struct
import subprocess
import sys

from PIL import Image

Image.MAX_IMAGE_PIXELS = None  # large fax pages are not bombs here

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import art_reference as ar  # noqa: E402

FLOAT_SAMPLES = "floating-point samples are read as integers; the references scale the floats"
SIGNED_SAMPLES = "signed samples are read as unsigned; the references shift them by half the range"
# ImageMagick (16 bits per sample) misplaces 24-bit samples by one and rounds
# 32-bit ones; our pages equal their 8-bit twins (flower-*-08.tif) there.
WIDE_24 = "ImageMagick misplaces 24-bit samples; ours equal the 8-bit twin"
WIDE_32 = "ImageMagick rounds 32-bit samples through 16 bits; we keep their top byte"
# Both references misplace the chroma of this raw (uncompressed) 2x1
# subsampled YCbCr page; libtiff's RGBA reader, which we use, gets it right.
SUBSAMPLED_YCBCR = "both references misplace the chroma of raw subsampled YCbCr"
# Pillow refuses this page of separate grey and alpha planes, and
# ImageMagick returns other grey values than the ones stored (checked by
# unpacking its PackBits planes by hand); our test GreyPlusAlpha covers it.
SEPARATE_GREY_ALPHA = "Pillow refuses its separate grey and alpha planes and ImageMagick misreads them"
REFERENCES_WRONG = {
    "tiff/libtiffpic/dscf0013.tif": SUBSAMPLED_YCBCR,
    "tiff/libtiff/minisblack-2c-8b-alpha.tiff": SEPARATE_GREY_ALPHA,
}

TRANSPOSE = {2: Image.FLIP_LEFT_RIGHT, 3: Image.ROTATE_180, 4: Image.FLIP_TOP_BOTTOM,
             5: Image.TRANSPOSE, 6: Image.ROTATE_270, 7: Image.TRANSVERSE, 8: Image.ROTATE_90}


def first_ifd_tags(path):
    """Tag -> tuple of values of the first directory, read from the file's bytes
    (classic TIFF and BigTIFF), so that files Pillow refuses still have tags."""
    with open(path, "rb") as f:
        d = f.read()
    e = "<" if d[:2] == b"II" else ">"
    big = struct.unpack(e + "H", d[2:4])[0] == 43
    off = struct.unpack(e + "Q", d[8:16])[0] if big else struct.unpack(e + "I", d[4:8])[0]
    count_fmt, entry, value_fmt = ("Q", 20, "Q") if big else ("H", 12, "I")
    n = struct.unpack_from(e + count_fmt, d, off)[0]
    base = off + (8 if big else 2)
    sizes = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 6: 1, 7: 1, 8: 2, 9: 4, 10: 8, 11: 4, 12: 8, 16: 8}
    fmts = {1: "B", 3: "H", 4: "I", 6: "b", 8: "h", 9: "i", 16: "Q"}
    tags = {}
    for i in range(n):
        p = base + entry * i
        tag, typ = struct.unpack_from(e + "HH", d, p)
        cnt = struct.unpack_from(e + value_fmt, d, p + 4)[0]
        size = sizes.get(typ, 1) * cnt
        at = p + (12 if big else 8)
        if size > (8 if big else 4):
            at = struct.unpack_from(e + value_fmt, d, at)[0]
        if typ in fmts and cnt < 1 << 20:
            tags[tag] = struct.unpack_from(e + fmts[typ] * cnt, d, at)
    return tags


def magick(path, kind, depth=16):
    """ImageMagick's first page, upright, as (width, height, list of sample tuples)."""
    out = subprocess.run(["/usr/bin/convert", path + "[0]", "-auto-orient", "-depth", str(depth),
                          kind + ":-"], capture_output=True, check=True).stdout
    head = subprocess.run(["/usr/bin/identify", "-format", "%w %h %[orientation]\n", path + "[0]"],
                          capture_output=True, check=True).stdout.decode().split()
    w, h = int(head[0]), int(head[1])
    if head[2] in ("LeftTop", "RightTop", "RightBottom", "LeftBottom"):
        w, h = h, w
    n = {"gray": 1, "graya": 2, "rgb": 3, "rgba": 4, "cmyk": 4}[kind]
    step = depth // 8
    # ImageMagick writes raw 16-bit samples least significant byte first.
    values = struct.unpack("<%dH" % (len(out) // 2), out) if step == 2 else tuple(out)
    if len(values) != w * h * n:
        raise ValueError("unexpected ImageMagick output size")
    return w, h, [values[i:i + n] for i in range(0, len(values), n)]


def rows_of(w, h, pixels):
    return ([pixels[y * w:(y + 1) * w] for y in range(h)], w, h)


def grey_level(v, bits, white_is_zero):
    """Our palette for a grey sample of `bits` bits, already at most 8 bits."""
    d = min(bits, 8)
    g = (v * (255 // ((1 << d) - 1))) & 0xFF if d > 1 else (255 if v else 0)
    return 255 - g if white_is_zero else g


def top8(v16, bits):
    """The top 8 bits of a sample of `bits` bits that ImageMagick scaled to 16."""
    v = (v16 * ((1 << bits) - 1) + 32767) // 65535
    return v >> (bits - 8) if bits > 8 else v


def grey_reference(path, tags, bits, white_is_zero):
    if bits == 1:
        try:
            w, h, px = magick(path, "gray")
        except subprocess.CalledProcessError:
            # ImageMagick refuses pages above its height limit; Pillow reads
            # them, as seen.
            return Image.open(path)
        return rows_of(w, h, [(255, 255, 255) if p[0] >= 32768 else (0, 0, 0) for p in px])
    if bits == 16:
        w, h, px = magick(path, "gray")
        samples = [p[0] for p in px]
        high = max(v >> 8 for v in samples) if samples else 0
        m = 8 if high == 0 else 8 - high.bit_length()
        levels = [grey_level(v >> (8 - m) & 0xFF, 8, white_is_zero) for v in samples]
    else:
        w, h, px = magick(path, "gray")
        samples = [p[0] for p in px]
        if white_is_zero and bits == 8:
            # ImageMagick hands 8-bit min-is-white out as seen, other depths
            # as stored.
            samples = [65535 - v for v in samples]
        if bits <= 8:
            levels = [grey_level((v * ((1 << bits) - 1) + 32767) // 65535, bits, white_is_zero)
                      for v in samples]
        else:
            levels = [grey_level(top8(v, min(bits, 16)), 8, white_is_zero) for v in samples]
    return rows_of(w, h, [(g, g, g) for g in levels])


def palette_reference(path, tags, bits, spp):
    if bits > 8:
        # Wide palettes: ImageMagick's 16-bit colours are the map's values.
        w, h, px = magick(path, "rgb")
        return rows_of(w, h, [tuple(v * 255 // 65535 for v in p) for p in px])
    im = Image.open(path)
    im.load()
    cmap = tags[320]
    n = 1 << bits
    r, g, b = cmap[:n], cmap[n:2 * n], cmap[2 * n:3 * n]
    d = 1 << min(bits, 8)
    sixteen = any(v > 255 for v in r[:d] + g[:d] + b[:d])
    scale = (lambda v: v * 255 // 65535) if sixteen else (lambda v: v & 0xFF)  # noqa: E731
    pal = [(scale(r[i]), scale(g[i]), scale(b[i])) for i in range(d)]
    w, h = im.size
    # Palette + alpha (mode PA) carries the index first.
    indices = [p[0] for p in im.getdata()] if spp == 2 else list(im.getdata())
    return rows_of(w, h, [pal[i] for i in indices])


def lab_reference(im):
    import math

    def channel(v):
        v = 1.055 * math.pow(v, 0.41667) - 0.055 if v > 0.00304 else 12.92 * v
        s = v * 255.0
        return 0 if not s > 0 else 255 if s >= 255 else int(s)

    out = []
    for L, a, b in im.getdata():
        # Pillow's LAB mode keeps a and b offset by 128; the file stores them signed.
        a, b = a - 128, b - 128
        p = (L / 2.55 + 16) / 116
        x = (p + a * 0.002) ** 3 * 0.95047
        y = p ** 3
        z = (p - b * 0.005) ** 3 * 1.0883
        out.append((channel(3.240479 * x - 1.53715 * y - 0.498535 * z),
                    channel(-0.969256 * x + 1.875992 * y + 0.041556 * z),
                    channel(0.055648 * x - 0.204043 * y + 1.057311 * z)))
    w, h = im.size
    return rows_of(w, h, out)


def premultiplied(v, a):
    return (v * a + 127) // 255


def colour_reference(path, rel, tags, bits, spp, extra):
    photometric = tags.get(262, (0,))[0]
    if photometric == 5:
        try:
            im = Image.open(path)
            im.load()
            if im.mode != "CMYK" or bits != 8:
                raise ValueError("not 8-bit CMYK")
            inks = list(im.getdata())
            w, h = im.size
        except Exception:
            # 16-bit samples keep their high byte; 8-bit ones come back as v * 257.
            w, h, px = magick(path, "cmyk")
            inks = [tuple(v >> 8 for v in p) for p in px]
        return rows_of(w, h, [((255 - k) * (255 - c) // 255, (255 - k) * (255 - m) // 255,
                               (255 - k) * (255 - y) // 255) for c, m, y, k in inks])
    if photometric != 2:
        return None if rel in REFERENCES_WRONG else Image.open(path)
    alpha = spp == 4
    kind = "rgba" if alpha else "rgb"
    if bits != 8:
        # Pillow hands 16-bit colour out as >> 8 and misplaces planar 16-bit
        # pages; ImageMagick keeps every stored bit.
        w, h, px = magick(path, kind)
        if bits == 16:
            conv = lambda v: (v + 128) // 257  # noqa: E731
        elif bits < 8:
            conv = lambda v: ((v * ((1 << bits) - 1) + 32767) // 65535) * 255 // ((1 << bits) - 1)  # noqa: E731
        else:
            conv = lambda v: top8(v, min(bits, 16))  # noqa: E731
        out = []
        for p in px:
            rgb16 = p[:3]
            if alpha and extra == 1:
                # ImageMagick divides associated alpha out; multiply it back in.
                rgb16 = [(v * p[3] + 32767) // 65535 for v in rgb16]
            r, g, b = (conv(v) for v in rgb16)
            if alpha and bits == 16 and extra == 2:
                a = conv(p[3])
                r, g, b = premultiplied(r, a), premultiplied(g, a), premultiplied(b, a)
            out.append((r, g, b))
        return rows_of(w, h, out)
    im = Image.open(path)
    if alpha:
        # Pillow unpacks associated alpha by dividing it out; take the stored bytes.
        im.tile = [(t[0], t[1], t[2], (t[3][0].replace("RGBa", "RGBA"),) + tuple(t[3][1:]))
                   if isinstance(t[3], tuple) else t for t in im.tile]
        im.load()
        if im.mode != "RGBA":
            return im
        if extra == 2:
            px = [(premultiplied(r, a), premultiplied(g, a), premultiplied(b, a)) for r, g, b, a in im.getdata()]
            return rows_of(im.size[0], im.size[1], px)
        return rows_of(im.size[0], im.size[1], [p[:3] for p in im.getdata()])
    im.load()
    return im


def reference(path, rel):
    """The reference pixels of a corpus file: a Pillow image, (rows, width,
    height), or None when no reference applies; raises when none can be made."""
    result = page_reference(path, rel)
    if isinstance(result, Image.Image):
        result.load()  # a refusal here counts as the reference failing
    return result


def page_reference(path, rel):
    if rel in REFERENCES_WRONG:
        return None
    tags = first_ifd_tags(path)
    photometric = tags.get(262, (0,))[0]
    bits = tags.get(258, (1,))[0]
    spp = tags.get(277, (1,))[0]
    extra = tags.get(338, (0,))[0]
    if photometric in (2, 5, 6, 32844, 32845):
        return colour_reference(path, rel, tags, bits, spp, extra)
    if spp >= 3 and photometric == 8:
        im = Image.open(path)
        im.load()
        return lab_reference(im.convert("LAB") if im.mode != "LAB" else im)
    if photometric == 3 and spp <= 2 and bits <= 24:
        return palette_reference(path, tags, bits, spp)
    if photometric in (0, 1) and spp == 1:
        return grey_reference(path, tags, bits, photometric == 0)
    if photometric in (0, 1) and spp == 2 and bits <= 8:
        # Grey + alpha keeps the stored grey; ImageMagick divides associated
        # alpha out, so it is multiplied back in.
        w, h, px = magick(path, "graya")
        out = []
        top = (1 << bits) - 1
        for g, a in px:
            if extra == 1:
                g = (g * a + 32767) // 65535
            v = grey_level((g * top + 32767) // 65535, bits, photometric == 0)
            out.append((v, v, v))
        return rows_of(w, h, out)
    return None


def sample_format_reasons(corpus):
    """Corpus files whose first page holds samples where the references and
    we part on purpose, with the reason."""
    found = {}
    for rel in ar.manifest(corpus):
        if not rel.startswith("tiff/"):
            continue
        try:
            tags = first_ifd_tags(os.path.join(corpus, rel))
        except Exception:
            continue
        fmt, bits = tags.get(339, (1,))[0], tags.get(258, (1,))[0]
        if fmt == 3:
            found[rel] = FLOAT_SAMPLES
        elif fmt == 2:
            found[rel] = SIGNED_SAMPLES
        elif bits == 24:
            found[rel] = WIDE_24
        elif bits == 32:
            found[rel] = WIDE_32
    return found


def main():
    corpus = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ar.project_root(), "..", "shared", "corpus")
    reasons = sample_format_reasons(corpus)
    reasons.update(REFERENCES_WRONG)
    ar.record_corpus("tiff", reference, reasons)


if __name__ == "__main__":
    main()
