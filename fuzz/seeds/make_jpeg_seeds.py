#!/usr/bin/python3
"""Writes the JPEG and EXIF fuzz seeds into fuzz/seeds/jpeg/ and fuzz/seeds/exif/.

JPEG seeds are small pictures encoded here with Pillow (Debian's python3-pil,
which uses libjpeg): baseline 4:2:0 and 4:4:4, grey, progressive, CMYK,
restart intervals, JFIF densities in every unit, and an EXIF block with
resolution, orientation, a sub-directory and a thumbnail. EXIF seeds are the
same files cut after the start-of-scan header (the reader never goes further)
plus hand-made big-endian and nested blocks. The fuzz targets take options
from the last byte; the seeds end as the files do.

Usage: /usr/bin/python3 fuzz/seeds/make_jpeg_seeds.py
"""
import io
import os
import struct

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))


def picture(mode, w, h):
    im = Image.new("RGB", (w, h))
    im.putdata([((x * 37) & 255, (y * 53) & 255, ((x ^ y) * 11) & 255)
                for y in range(h) for x in range(w)])
    return im.convert(mode)


def tiff_block(big):
    """A block with IFD0 (resolution, unit, orientation, make, EXIF link),
    an EXIF IFD (ISO, shutter, user comment) and IFD1 with a thumbnail."""
    e = ">" if big else "<"
    out = bytearray(b"MM" if big else b"II")
    out += struct.pack(e + "HI", 42, 8)
    ifd0_entries = 6
    ifd0_size = 2 + 12 * ifd0_entries + 4
    exif_at = 8 + ifd0_size
    exif_entries = 3
    exif_size = 2 + 12 * exif_entries + 4
    ifd1_at = exif_at + exif_size
    ifd1_size = 2 + 12 * 2 + 4
    data_at = ifd1_at + ifd1_size
    data = bytearray()

    def add(blob):
        off = data_at + len(data)
        data.extend(blob)
        return off

    def short(v):
        return struct.pack(e + "H", v) + b"\0\0"

    xres = add(struct.pack(e + "II", 72, 1))
    yres = add(struct.pack(e + "II", 72, 1))
    make = add(b"ZentCam\0")
    shutter = add(struct.pack(e + "ii", 8, 1))
    comment = add(b"ASCII\0\0\0seed comment   ")
    thumb = add(b"\xff\xd8\xff\xd9")

    def entry(tag, fmt, count, raw):
        return struct.pack(e + "HHI", tag, fmt, count) + raw

    ifd0 = struct.pack(e + "H", ifd0_entries)
    ifd0 += entry(0x010F, 2, 8, struct.pack(e + "I", make))
    ifd0 += entry(0x0112, 3, 1, short(6))
    ifd0 += entry(0x011A, 5, 1, struct.pack(e + "I", xres))
    ifd0 += entry(0x011B, 5, 1, struct.pack(e + "I", yres))
    ifd0 += entry(0x0128, 3, 1, short(2))
    ifd0 += entry(0x8769, 4, 1, struct.pack(e + "I", exif_at))
    ifd0 += struct.pack(e + "I", ifd1_at)
    exif = struct.pack(e + "H", exif_entries)
    exif += entry(0x8827, 3, 1, short(2))
    exif += entry(0x9201, 10, 1, struct.pack(e + "I", shutter))
    exif += entry(0x9286, 7, 22, struct.pack(e + "I", comment))
    exif += struct.pack(e + "I", 0)
    ifd1 = struct.pack(e + "H", 2)
    ifd1 += entry(0x0201, 4, 1, struct.pack(e + "I", thumb))
    ifd1 += entry(0x0202, 4, 1, struct.pack(e + "I", 4))
    ifd1 += struct.pack(e + "I", 0)
    return bytes(out + ifd0 + exif + ifd1 + data)


def save(name, im, **kw):
    buf = io.BytesIO()
    im.save(buf, "JPEG", **kw)
    data = buf.getvalue()
    with open(os.path.join(HERE, "jpeg", name), "wb") as f:
        f.write(data)
    return data


def cut_after_sos(data):
    i = 2
    while i + 4 <= len(data):
        marker = data[i + 1]
        length = (data[i + 2] << 8) | data[i + 3]
        if marker == 0xDA:
            return data[:i + 2 + length]
        i += 2 + length
    return data


def main():
    os.makedirs(os.path.join(HERE, "jpeg"), exist_ok=True)
    os.makedirs(os.path.join(HERE, "exif"), exist_ok=True)
    rgb = picture("RGB", 24, 16)
    files = {
        "baseline420.jpg": save("baseline420.jpg", rgb, quality=75),
        "baseline444.jpg": save("baseline444.jpg", rgb, quality=90, subsampling=0),
        "grey.jpg": save("grey.jpg", picture("L", 16, 16), quality=80),
        "progressive.jpg": save("progressive.jpg", rgb, quality=70, progressive=True),
        "cmyk.jpg": save("cmyk.jpg", picture("CMYK", 16, 8), quality=80),
        "restart.jpg": save("restart.jpg", rgb, quality=60, restart_marker_blocks=1),
        "dpcm.jpg": save("dpcm.jpg", rgb, quality=50, dpi=(71, 71)),
        "exif_ii.jpg": save("exif_ii.jpg", rgb, quality=60, exif=b"Exif\0\0" + tiff_block(False)),
        "exif_mm.jpg": save("exif_mm.jpg", picture("L", 8, 8), exif=b"Exif\0\0" + tiff_block(True)),
        "comment.jpg": save("comment.jpg", rgb, quality=40, comment=b"a comment\r\nline two"),
    }
    # JFIF density unit 2 and 0, patched in the APP0 header Pillow wrote.
    for name, unit, x, y in (("unit2.jpg", 2, 28, 28), ("unit0.jpg", 0, 1, 2)):
        data = bytearray(files["baseline420.jpg"])
        data[13:18] = bytes([unit]) + struct.pack(">HH", x, y)
        with open(os.path.join(HERE, "jpeg", name), "wb") as f:
            f.write(data)
    for name, data in files.items():
        with open(os.path.join(HERE, "exif", name.replace(".jpg", ".hdr")), "wb") as f:
            f.write(cut_after_sos(data))
    # Just over a megapixel, smooth so the files stay small, with a last byte
    # (after the end marker) whose bit 7 asks for a second thread: the lower
    # part is decoded there and checked against the one-thread decode.
    smooth = Image.linear_gradient("L").resize((1100, 960)).convert("RGB")
    data = save("split.jpg", smooth, quality=20)
    with open(os.path.join(HERE, "jpeg", "split.jpg"), "wb") as f:
        f.write(data + b"\x80")


if __name__ == "__main__":
    main()
