"""Reference art includes computed from an independent decoder's pixels.

The include text follows the converter's rules exactly (tiles of 15 x 15,
colour codes, chunks cut before a glyph letter, index row of 27 pairs per
line); tests compare the 64-bit FNV-1a hash of our include with the hash
recorded here, so they run without Pillow or ImageMagick installed.

Run with Debian's Python (/usr/bin/python3), which has python3-pil.
"""
import csv
import os
import sys

IDENTIFIER = "ref"
TILE = 15


def fnv1a64(data: bytes) -> str:
    h = 1469598103934665603
    for b in data:
        h ^= b
        h = (h * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def tile_text(rgb, width, height, tx, ty):
    """rgb: list of rows (top line first) of (r, g, b) tuples."""
    cols = max(0, min(TILE, width - TILE * tx))
    rows = max(0, min(TILE, height - TILE * ty))
    if rows <= 0:
        return ""

    def value(k, c):
        x, line = TILE * tx + c, TILE * ty + k
        if x < width and line < height:
            r, g, b = rgb[line][x][:3]
            return (r << 16) | (g << 8) | b
        return 0

    out = []
    previous = value(0, 0) + 1
    for k in range(rows):
        for c in range(cols):
            v = value(k, c)
            if v == previous:
                out.append("g")
            else:
                previous = v
                out.append("{%06X}g" % v)
        out.append("\\n")
    return "".join(out)


def chunks(text):
    n = (len(text) + 249) // 250
    p = 0
    result = []
    for _ in range(n - 1):
        window = text[p:p + 250]
        cut = 249 if window[249] == "g" else window.rfind("g", 0, 249)
        result.append(window[:cut])
        p += cut
    result.append(text[p:])
    return result


def include_text(rgb, width, height, identifier=IDENTIFIER):
    across = (width + TILE - 1) // TILE
    down = (height + TILE - 1) // TILE
    texts = [tile_text(rgb, width, height, tx, ty) for ty in range(down) for tx in range(across)]
    counts = [(len(t) + 249) // 250 for t in texts]
    lines = ["new %s[%d][] = {\n" % (identifier, sum(counts) + 1)]
    index = ["{ %d, %d" % (across, down)]
    start = 1
    for i, n in enumerate(counts):
        index.append(", %d, %d" % (n, start))
        start += n
        if i % 27 == 26:
            index.append("\n")
    index.append("}\n")
    lines.append("".join(index))
    for t in texts:
        for c in chunks(t):
            lines.append(', "%s"\n' % c)
    lines.append("};\n")
    return "".join(lines)


def include_hash_from_pil(image):
    """Hash of the include for a Pillow image (its RGB as stored; alpha ignored)."""
    rgb_image = image.convert("RGB") if image.mode != "RGB" else image
    w, h = rgb_image.size
    data = list(rgb_image.getdata())
    rows = [data[y * w:(y + 1) * w] for y in range(h)]
    return fnv1a64(include_text(rows, w, h).encode("ascii")), w, h


def manifest(corpus):
    """path -> expect column of the corpus manifest."""
    with open(os.path.join(corpus, "MANIFEST.tsv"), newline="") as f:
        return {row["path"]: row for row in csv.DictReader(f, delimiter="\t")}


def write_reference_table(path, rows):
    """rows: (corpus path, expect, outcome, width, height) where outcome is a
    hash, 'fail' (the reference decoder refused it) or 'any'."""
    with open(path, "w") as f:
        f.write("# path\texpect\treference\twidth\theight\n")
        for r in sorted(rows):
            f.write("\t".join(str(x) for x in r) + "\n")


def project_root():
    return os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def record_corpus(fmt, reference, different_by_design=None):
    """Writes tests/data/<fmt>_reference.tsv for every corpus file of one format.

    reference(path, rel) returns a Pillow image, a tuple (rows, width, height)
    of RGB rows top line first, or None when no reference applies ("any"); an
    exception means the reference decoder refused the file ("fail").
    different_by_design maps corpus paths to the reason our decoder differs.
    The corpus folder is the first command-line argument, else ../shared/corpus.
    """
    different_by_design = different_by_design or {}
    root = project_root()
    corpus = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "..", "shared", "corpus")
    rows = []
    for rel, row in manifest(corpus).items():
        if not rel.startswith(fmt + "/"):
            continue
        expect = row["expect"]
        if rel in different_by_design:
            rows.append((rel, expect, "any", 0, 0, different_by_design[rel]))
            continue
        try:
            result = reference(os.path.join(corpus, rel), rel)
        except Exception:
            rows.append((rel, expect, "fail", 0, 0))
            continue
        if result is None:
            rows.append((rel, expect, "any", 0, 0))
        elif isinstance(result, tuple):
            rgb, w, h = result
            rows.append((rel, expect, fnv1a64(include_text(rgb, w, h).encode("ascii")), w, h))
        else:
            h, w, hgt = include_hash_from_pil(result)
            rows.append((rel, expect, h, w, hgt))
    write_reference_table(os.path.join(root, "tests", "data", fmt + "_reference.tsv"), rows)


if __name__ == "__main__":
    sys.exit("import this module from a format's reference script")
