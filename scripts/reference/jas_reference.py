#!/usr/bin/python3
"""Records the include hash of every JPEG-2000 family file in the shared
corpus (folders jp2, pnm, pgx and ras), computed from independent decoders'
pixels, in tests/data/jas_reference.tsv.

Component values come from tools outside this project:
  jp2  opj_decompress (OpenJPEG's command-line tool) writing one PGX file per
       component, after its own palette, sYCC and ICC handling;
  pgx  the PGX words themselves, cross-checked with ImageMagick at 8 bits
       (see pgx_components);
  pnm  netpbm's pnmtoplainpnm, whose plain output keeps every sample and maxval;
  ras  Pillow's Sun raster reader (its pictures are already 8-bit RGB or grey).

The values then take the path our decoder documents: three components of one
size and precision make an RGB picture, anything else shows component 0 over
a grey ramp (1 bit: black and white; 2 to 4 bits: steps of 17; 5 to 8 bits:
the value itself); signed samples move up by half their range; precisions
above 8 keep their top 8 bits. Where opj_decompress's colour handling is not
what our decoder does by design, the bare code stream is decoded instead;
those files are listed in STORED_SAMPLES_JP2 with the reason.

Usage: /usr/bin/python3 scripts/reference/jas_reference.py [corpus-dir]
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import art_reference as ar  # noqa: E402

FOLDERS = ("jp2", "pnm", "pgx", "ras")

# Our decoder brings colour to sRGB only for three or more components of at
# most 8 bits; opj_decompress applies an embedded ICC profile to every image.
# For these files the reference decodes the bare code stream of the jp2c box,
# which carries the samples as stored.
STORED_SAMPLES_JP2 = {
    "jp2/openjpeg-conformance/file7.jp2": "16-bit RGB with an ICC profile",
    "jp2/openjpeg-conformance/file8.jp2": "grey with an ICC profile",
}


class Component:
    def __init__(self, width, height, precision, signed, samples):
        self.width, self.height = width, height
        self.precision, self.signed = precision, signed
        self.samples = samples  # row by row, top line first


def read_pgx(path):
    data = open(path, "rb").read()
    m = re.match(rb"PG[ \t]*(ML|LM)[ \t]*([+-]?)[ \t]*(\d+)[ \t]+(\d+)[ \t]+(\d+)\s", data)
    if not m:
        raise ValueError("not a PGX file: %s" % path)
    big = m.group(1) == b"ML"
    signed = m.group(2) == b"-"
    depth, width, height = int(m.group(3)), int(m.group(4)), int(m.group(5))
    size = 1 if depth <= 8 else 2 if depth <= 16 else 4
    body = data[m.end():]
    # A header ended by CR LF: the LF is no sample when the data is complete without it.
    if data[m.end() - 1:m.end()] == b"\r" and body[:1] == b"\n" and len(body) > width * height * size:
        body = body[1:]
    if len(body) < width * height * size:
        raise ValueError("short PGX data")
    mask = (1 << depth) - 1
    samples = []
    for i in range(width * height):
        v = int.from_bytes(body[i * size:(i + 1) * size], "big" if big else "little") & mask
        if signed and v >> (depth - 1):
            v -= 1 << depth
        samples.append(v)
    return Component(width, height, depth, signed, samples)


def opj_components(path):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "c.pgx")
        r = subprocess.run(["opj_decompress", "-quiet", "-i", path, "-o", out],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        files = sorted(glob.glob(os.path.join(tmp, "c_*.pgx")),
                       key=lambda f: int(re.search(r"_(\d+)\.pgx$", f).group(1)))
        if r.returncode != 0 or not files:
            raise ValueError("opj_decompress refused %s" % path)
        return [read_pgx(f) for f in files]


def code_stream_components(path):
    """Components of the code stream inside a JP2 file's jp2c box."""
    data = open(path, "rb").read()
    at = 0
    while at + 8 <= len(data):
        length = int.from_bytes(data[at:at + 4], "big")
        kind = data[at + 4:at + 8]
        header = 8
        if length == 1:
            length = int.from_bytes(data[at + 8:at + 16], "big")
            header = 16
        elif length == 0:
            length = len(data) - at
        if kind == b"jp2c":
            with tempfile.TemporaryDirectory() as tmp:
                j2k = os.path.join(tmp, "s.j2k")
                with open(j2k, "wb") as f:
                    f.write(data[at + header:at + length])
                return opj_components(j2k)
        if length < header:
            break
        at += length
    raise ValueError("no code stream in %s" % path)


def pgx_components(path):
    """PGX samples. No tool at hand reads every PGX depth: ImageMagick packs
    depths other than 8 as bit fields and OpenJPEG's reader narrows the
    declared precision to the bits in use. The samples are therefore parsed
    here (the format is a text header and raw words), and for 8-bit files
    checked byte for byte against ImageMagick's pixels."""
    component = read_pgx(path)
    if component.precision == 8:
        r = subprocess.run(["/usr/bin/convert", path, "-depth", "8", "gray:-"], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, timeout=300)
        stored = [v & 0xFF for v in component.samples]
        if r.returncode != 0 or list(r.stdout) != stored:
            raise ValueError("ImageMagick disagrees about %s" % path)
    return [component]


def netpbm_components(path):
    r = subprocess.run(["pnmtoplainpnm", path], stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, timeout=300)
    # Netpbm reads every picture of a stream and complains about data after
    # the first; the first picture counts when its samples came out whole.
    text = re.sub(rb"#[^\n]*", b"", r.stdout)
    magic = text[:2]
    tokens = text[2:].split()
    width, height = int(tokens[0]), int(tokens[1])
    if magic == b"P1":
        bits = b"".join(tokens[2:])
        if len(bits) < width * height:
            raise ValueError("netpbm gave a short picture for %s" % path)
        # PBM 1 is black: sample 0, shown black.
        return [Component(width, height, 1, False, [1 - (c - 48) for c in bits[:width * height]])]
    maxval = int(tokens[2])
    channels = 3 if magic == b"P3" else 1
    values = [int(t) for t in tokens[3:3 + width * height * channels]]
    if len(values) < width * height * channels or (r.returncode != 0 and not width * height):
        raise ValueError("netpbm gave a short picture for %s" % path)
    precision = maxval.bit_length()
    return [Component(width, height, precision, False, values[c::channels][:width * height])
            for c in range(channels)]


def sample8(v, precision, signed):
    if signed:
        v += 1 << (precision - 1)
    v = max(0, min(v, (1 << precision) - 1))
    return v >> (precision - 8) if precision > 8 else v


def ramp(precision):
    if precision <= 1:
        return lambda v: v * 255
    if precision <= 4:
        return lambda v: v * 17
    return lambda v: v


def picture(components):
    """RGB rows (top line first), width and height, as our decoder shows them."""
    first = components[0]
    same = all((c.width, c.height, c.precision) == (first.width, first.height, first.precision)
               for c in components)
    w, h = first.width, first.height
    if len(components) == 3 and same:
        planes = [[sample8(v, c.precision, c.signed) for v in c.samples] for c in components]
        data = list(zip(*planes))
    else:
        grey = ramp(min(first.precision, 8))
        data = [(g, g, g) for g in (grey(sample8(v, first.precision, first.signed)) for v in first.samples)]
    return [data[y * w:(y + 1) * w] for y in range(h)], w, h


def pillow_picture(path):
    with Image.open(path) as im:
        im.load()
        if im.mode in ("I", "I;16", "I;16B"):
            w, h = im.size
            data = [(v >> 8) & 0xFF for v in im.getdata()]
            return [[(v, v, v) for v in data[y * w:(y + 1) * w]] for y in range(h)], w, h
        return im.convert("RGB").copy()


def reference(path, rel):
    folder = rel.split("/", 1)[0]
    if folder == "jp2":
        if rel in STORED_SAMPLES_JP2:
            return picture(code_stream_components(path))
        return picture(opj_components(path))
    if folder == "pgx":
        return picture(pgx_components(path))
    if folder == "pnm":
        return picture(netpbm_components(path))
    return pillow_picture(path)


def main():
    root = ar.project_root()
    corpus = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "..", "shared", "corpus")
    rows = []
    for rel, row in ar.manifest(corpus).items():
        if rel.split("/", 1)[0] not in FOLDERS:
            continue
        expect = row["expect"]
        try:
            result = reference(os.path.join(corpus, rel), rel)
        except Exception:
            rows.append((rel, expect, "fail", 0, 0))
            continue
        if isinstance(result, tuple):
            rgb, w, h = result
            rows.append((rel, expect, ar.fnv1a64(ar.include_text(rgb, w, h).encode("ascii")), w, h))
        else:
            digest, w, h = ar.include_hash_from_pil(result)
            rows.append((rel, expect, digest, w, h))
    ar.write_reference_table(os.path.join(root, "tests", "data", "jas_reference.tsv"), rows)


if __name__ == "__main__":
    main()
