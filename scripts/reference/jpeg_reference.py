"""Reference include hashes for the JPEG corpus, from djpeg's pixels.

djpeg (libjpeg-turbo-progs) runs with its default settings, which are
libjpeg's defaults, the same our adapter uses, so the pixels must agree
exactly. Its PGM output (grey files) becomes r = g = b.

Four-component (CMYK) files: djpeg turns them into RGB with rounding
(c * k / 255 + 0.5), while our adapter truncates ((k * c) / 255). For those
files the reference takes libjpeg's CMYK samples through Pillow (which links
the same libjpeg), applies the truncating rule, and first checks that the
result is within 1 of djpeg's own RGB in every sample.

Run with Debian's Python: /usr/bin/python3 scripts/reference/jpeg_reference.py
It walks /work/shared/corpus/jpeg/ and writes tests/data/jpeg_reference.tsv.
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import art_reference  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CORPUS = os.environ.get("ZENT_CORPUS", os.path.join(os.path.dirname(ROOT), "shared", "corpus"))
OUT = os.path.join(ROOT, "tests", "data", "jpeg_reference.tsv")


def parse_pnm(data):
    """(width, height, rows of (r, g, b)) from a binary P5 or P6 with maxval 255."""
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    pos += 1
    magic, w, h, maxval = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    if maxval != 255:
        raise ValueError("maxval %d" % maxval)
    px = data[pos:]
    rows = []
    if magic == b"P6":
        for y in range(h):
            line = px[3 * w * y:3 * w * (y + 1)]
            rows.append([(line[3 * x], line[3 * x + 1], line[3 * x + 2]) for x in range(w)])
    elif magic == b"P5":
        for y in range(h):
            line = px[w * y:w * (y + 1)]
            rows.append([(v, v, v) for v in line])
    else:
        raise ValueError("magic %r" % magic)
    return w, h, rows


def cmyk_rows(path, djpeg_rows):
    """Truncating CMYK -> RGB from libjpeg's samples, checked against djpeg."""
    from PIL import Image
    im = Image.open(path)
    if im.mode != "CMYK":
        raise ValueError("not CMYK: %s" % im.mode)
    w, h = im.size
    data = list(im.getdata())
    for inverted in (False, True):
        rows = []
        close = True
        for y in range(h):
            row = []
            for x in range(w):
                c, m, yy, k = data[y * w + x]
                if inverted:  # Pillow may hand out the Adobe samples inverted
                    c, m, yy, k = 255 - c, 255 - m, 255 - yy, 255 - k
                rgb = ((k * c) // 255, (k * m) // 255, (k * yy) // 255)
                ref = djpeg_rows[y][x]
                if any(abs(a - b) > 1 for a, b in zip(rgb, ref)):
                    close = False
                row.append(rgb)
            rows.append(row)
        if close:
            return rows
    raise ValueError("CMYK samples do not match djpeg's conversion")


def frame(path):
    """(components, width, height) from the first SOF marker, or zeros."""
    with open(path, "rb") as f:
        data = f.read()
    i = 2
    while i + 4 <= len(data):
        if data[i] != 0xFF:
            i += 1
            continue
        marker = data[i + 1]
        if marker == 0xFF:
            i += 1
            continue
        if marker in (0xD8, 0x01) or 0xD0 <= marker <= 0xD7:
            i += 2
            continue
        length = (data[i + 2] << 8) | data[i + 3]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            if i + 9 >= len(data):
                return 0, 0, 0
            h = (data[i + 5] << 8) | data[i + 6]
            w = (data[i + 7] << 8) | data[i + 8]
            return data[i + 9], w, h
        if marker == 0xDA:
            return 0, 0, 0
        i += 2 + length
    return 0, 0, 0


# The image's pixel ceiling (ZTIMAGE_MAX_MEMORY); bigger pictures fail in our
# decoder before any decoding, so djpeg is not asked to write gigabytes.
MAX_MEMORY = 268435456


def reference(path):
    """(outcome, width, height) for one file."""
    count, fw, fh = frame(path)
    if fw * fh * (1 if count == 1 else 3) > MAX_MEMORY:
        return "fail", 0, 0
    run = subprocess.run(["djpeg", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # 0: clean; 2: decoded with warnings (a cut file ends with libjpeg's EOI).
    if run.returncode not in (0, 2) or not run.stdout:
        return "fail", 0, 0
    w, h, rows = parse_pnm(run.stdout)
    if count == 4:
        rows = cmyk_rows(path, rows)
    text = art_reference.include_text(rows, w, h)
    return art_reference.fnv1a64(text.encode("ascii")), w, h


def main():
    folder = os.path.join(CORPUS, "jpeg")
    if not os.path.isdir(folder):
        sys.exit("no corpus at %s" % folder)
    expects = art_reference.manifest(CORPUS)
    table = []
    for dirpath, _, files in os.walk(folder):
        for name in files:
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, CORPUS)
            expect = expects.get(rel, {}).get("expect", "unknown")
            outcome, w, h = reference(full)
            table.append((rel, expect, outcome, w, h))
    art_reference.write_reference_table(OUT, table)
    print("wrote %d rows to %s" % (len(table), OUT))


if __name__ == "__main__":
    main()
