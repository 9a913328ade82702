#!/usr/bin/env python3
"""Reference includes for camera RAW files converted from their embedded
JPEG previews, into tests/data/raw_preview_reference.tsv.

For each file below, exiftool (Debian's libimage-exiftool-perl, which reads
metadata and previews only) extracts the preview that is the largest JPEG
in the file; djpeg decodes it with libjpeg's defaults, the ones our JPEG
adapter uses; the pixels are turned as the file's EXIF orientation says and
hashed as the include the converter writes for them. The second column says
how the file reaches its preview: 'fallback' (its raw data is not decoded
here) or 'raw-preview' (the raw data decodes; the preview is asked for).

Usage: /usr/bin/python3 scripts/reference/raw_preview_reference.py [corpus-dir]
(needs exiftool and djpeg)
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import art_reference  # noqa: E402
from jpeg_reference import parse_pnm  # noqa: E402

# corpus path, how it is reached, the exiftool tag of its largest JPEG preview
FILES = [
    ("raw/exif-py/nikon_z_9_high_efficiency_compressed_dx_cropped_max_overexposed.dng", "fallback",
     "MakerNotes:PreviewImage"),  # 640 x 424 in the Nikon maker note kept in DNGPrivateData
    ("raw/exiftool/FujiFilm.raf", "fallback", "ThumbnailImage"),  # 160 x 120; the header's JPEG is 8 x 8
    ("raw/exiftool/SigmaDP2.x3f", "fallback", "JpgFromRaw"),
    ("raw/exiv2/exiv2-canon-powershot-s40.crw", "fallback", "ThumbnailImage"),  # CIFF record 0x2008
    ("raw/real/IMG_5952.CR2", "raw-preview", "PreviewImage"),
]


def turned(rows, width, height, orientation):
    """rows (top line first) turned as the EXIF orientation 1..8 says."""
    def at(x, y):
        return rows[y][x]
    if orientation in (5, 6, 7, 8):
        w, h = height, width
    else:
        w, h = width, height
    out = []
    for r in range(h):
        line = []
        for c in range(w):
            # Source (x, y) of output (c, r), one formula per orientation.
            x, y = {
                1: (c, r), 2: (width - 1 - c, r), 3: (width - 1 - c, height - 1 - r), 4: (c, height - 1 - r),
                5: (r, c), 6: (r, height - 1 - c), 7: (width - 1 - r, height - 1 - c), 8: (width - 1 - r, c),
            }[orientation]
            line.append(at(x, y))
        out.append(line)
    return out, w, h


def main():
    root = art_reference.project_root()
    corpus = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "..", "shared", "corpus")
    rows = []
    for rel, mode, tag in FILES:
        path = os.path.join(corpus, rel)
        jpeg = subprocess.run(["exiftool", "-b", "-" + tag, path], capture_output=True, check=True).stdout
        pnm = subprocess.run(["djpeg", "-pnm"], input=jpeg, capture_output=True, check=True).stdout
        width, height, pixels = parse_pnm(pnm)
        orientation = subprocess.run(["exiftool", "-s3", "-n", "-IFD0:Orientation", path],
                                     capture_output=True, text=True).stdout.strip()
        pixels, width, height = turned(pixels, width, height, int(orientation or 1))
        text = art_reference.include_text(pixels, width, height)
        rows.append((rel, mode, art_reference.fnv1a64(text.encode("ascii")), width, height))
        print(rel, mode, len(jpeg), "bytes", width, "x", height)
    art_reference.write_reference_table(os.path.join(root, "tests", "data", "raw_preview_reference.tsv"), rows)


if __name__ == "__main__":
    main()
