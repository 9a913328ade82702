#!/usr/bin/env python3
"""Writes seed inputs for fuzz_raw: small DNG files (16-bit, packed 12- and
14-bit, lossless-JPEG tiles, with active area and orientation), a CR2-like
file with sliced lossless-JPEG data, a CIFF heap, and the TIFF-based
makers' layouts (makers_*: packed and word-per-sample mosaics, a Panasonic
sensor record, EXIF's filter pattern, a Kodak DCT-JPEG file), and files
whose raw data is not decoded but whose JPEG previews are (preview_*: in
TIFF directories, maker notes, DNG private data, CIFF, RAF and X3F, with
broken previews and directory loops). Needs Pillow for the previews.
Usage: make_raw_seeds.py [out-dir]"""
import os
import struct
import sys


def sample(r, c):
    return (r * 131 + c * 57 + (r * c) % 97) % 4000 + 50


def tiff(fields, blocks, tiled=False):
    """A little-endian TIFF with one directory; fields: {tag: (type, [values] or bytes)}."""
    fields = dict(fields)
    fields[324 if tiled else 273] = (4, [0] * len(blocks))
    fields[325 if tiled else 279] = (4, [len(b) for b in blocks])
    size = {1: 1, 2: 1, 3: 2, 4: 4, 7: 1}

    def raw(typ, vals):
        if isinstance(vals, bytes):
            return vals
        return b"".join(struct.pack("<" + {3: "H", 4: "I"}.get(typ, "B"), v) for v in vals)

    tags = sorted(fields)
    extra = 8 + 2 + 12 * len(tags) + 4
    placed = {}
    for t in tags:
        b = raw(*fields[t])
        if len(b) > 4:
            placed[t] = extra
            extra += len(b) + (len(b) & 1)
    offsets, at = [], extra
    for b in blocks:
        offsets.append(at)
        at += len(b)
    fields[324 if tiled else 273] = (4, offsets)
    if (324 if tiled else 273) in placed or len(offsets) > 1:
        pass
    out = b"II*\0" + struct.pack("<I", 8) + struct.pack("<H", len(tags))
    tail = b""
    for t in tags:
        typ, vals = fields[t]
        b = raw(typ, vals)
        count = len(vals) if not isinstance(vals, bytes) else len(vals)
        if len(b) > 4:
            out += struct.pack("<HHII", t, typ, count, placed[t])
            tail += b + (b"\0" if len(b) & 1 else b"")
        else:
            out += struct.pack("<HHI", t, typ, count) + b.ljust(4, b"\0")
    out += struct.pack("<I", 0) + tail
    return out + b"".join(blocks)


def dng_fields(w, h, bits, compression, extra=None):
    f = {256: (4, [w]), 257: (4, [h]), 258: (3, [bits]), 259: (3, [compression]), 262: (3, [32803]),
         271: (2, b"Canon\0"), 272: (2, b"Canon EOS 30D\0"), 277: (3, [1]), 278: (4, [h]),
         33421: (3, [2, 2]), 33422: (1, bytes([0, 1, 1, 2])), 50706: (1, bytes([1, 2, 0, 0])), 50717: (4, [4095])}
    f.update(extra or {})
    return f


def packed(w, h, bits):
    out = bytearray()
    for r in range(h):
        acc, held = 0, 0
        for c in range(w):
            acc = (acc << bits) | sample(r, c)
            held += bits
            while held >= 8:
                out.append((acc >> (held - 8)) & 0xFF)
                held -= 8
        if held:
            out.append((acc << (8 - held)) & 0xFF)
    return bytes(out)


def ljpeg(w, h, top=0, left=0):
    out = bytearray([0xFF, 0xD8, 0xFF, 0xC3, 0, 11, 12, h >> 8, h & 255, w >> 8, w & 255, 1, 1, 0x11, 0])
    out += bytes([0xFF, 0xC4, 0, 3 + 16 + 17, 0]) + bytes(17 if i == 4 else 0 for i in range(16)) + bytes(range(17))
    out += bytes([0xFF, 0xDA, 0, 8, 1, 1, 0, 1, 0, 0])
    bits = []
    for r in range(h):
        for c in range(w):
            v = sample(top + r, left + c)
            p = sample(top + r, left + c - 1) if c else (sample(top + r - 1, left) if r else 1 << 11)
            d = v - p
            size = abs(d).bit_length()
            bits.append((size, 5))
            if size:
                bits.append(((d - 1 if d < 0 else d) & ((1 << size) - 1), size))
    acc, held = 0, 0
    for value, n in bits:
        acc, held = (acc << n) | value, held + n
        while held >= 8:
            byte = (acc >> (held - 8)) & 0xFF
            out.append(byte)
            if byte == 0xFF:
                out.append(0)
            held -= 8
    if held:
        out.append(((acc << (8 - held)) | ((1 << (8 - held)) - 1)) & 0xFF)
    return bytes(out + b"\xFF\xD9")


def family_seeds(w=32, h=24):
    """Fuji RAF (16-bit rows, crop records), Minolta MRW (16-bit and packed
    12-bit), Phantom Cine (16- and 8-bit frames), file names prefixed "family_"."""
    be = lambda r, c: struct.pack(">H", sample(r, c))
    rows16 = b"".join(be(r, c) for r in range(h) for c in range(w))
    records = (struct.pack(">HHHH", 0x100, 4, h, w) + struct.pack(">HHHH", 0x110, 4, 1, 1)
               + struct.pack(">HHHH", 0x111, 4, h - 2, w - 2) + struct.pack(">HH4H", 0x2FF0, 8, 302, 511, 303, 407))
    head = b"FUJIFILMCCD-RAW 0201FF389501" + b"FinePix S5000".ljust(32, b"\0") + b"0100"
    thumb_at, rec_at = 124, 140
    raw_at = rec_at + 4 + len(records)
    head = head.ljust(84, b"\0") + struct.pack(">6I", thumb_at, 16, rec_at, 4 + len(records), raw_at, len(rows16))
    raf = head.ljust(thumb_at, b"\0") + b"\0" * 16 + struct.pack(">I", 4) + records + rows16

    def mrw(depth, bayer):
        prd = b"21810002" + struct.pack(">4H", h, w + 8, h, w) + bytes([depth, 12, 0x59 if depth == 12 else 0x52])
        prd += bytes([0, 0, 0, 0, bayer])
        names = b"KONICA MINOLTA\0DiMAGE A2\0"
        ttw = b"MM\0*" + struct.pack(">IH", 8, 2) + struct.pack(">HHII", 271, 2, 15, 38)
        ttw += struct.pack(">HHII", 272, 2, 10, 53) + struct.pack(">I", 0) + names
        blocks = b"\0PRD" + struct.pack(">I", len(prd)) + prd + b"\0TTW" + struct.pack(">I", len(ttw)) + ttw
        if depth == 16:
            data = b"".join(be(r, c) for r in range(h) for c in range(w + 8))
        else:
            data = packed(w + 8, h, 12)
        return b"\0MRM" + struct.pack(">I", len(blocks)) + blocks + data

    def cine(bits, height):
        frame = b"".join(struct.pack("<H", sample(r, c)) if bits == 16 else bytes([sample(r, c) & 255])
                         for r in range(abs(height)) for c in range(w))
        out = b"CI" + struct.pack("<HHH4i3I2I", 44, 2, 1, 0, 1, 0, 1, 44, 84, 100, 0, 1200000000)
        out += struct.pack("<IiiHH", 40, w, height, 1, bits)
        out = out.ljust(100, b"\0") + struct.pack("<QII", 108, 8, len(frame))
        return out + frame

    return {"family_fuji.raf": raf, "family_mrw16.mrw": mrw(16, 1), "family_mrw12.mrw": mrw(12, 4),
            "family_cine16.cine": cine(16, h), "family_cine8.cine": cine(8, -h)}


def maker_seeds(out):
    """The TIFF-based makers' files, named makers_* so they stay apart from the others."""
    w, h = 32, 24
    words = b"".join(struct.pack("<H", sample(r, c)) for r in range(h) for c in range(w))

    def fields(maker, bits, compression, extra=None):
        f = {256: (4, [w]), 257: (4, [h]), 258: (3, [bits]), 259: (3, [compression]), 262: (3, [32803]),
             271: (2, maker + b"\0"), 272: (2, b"Test\0"), 277: (3, [1]), 33421: (3, [2, 2]),
             33422: (1, bytes([1, 0, 2, 1]))}
        f.update(extra or {})
        return f

    pana = {2: (3, [w]), 3: (3, [h]), 4: (3, [1]), 5: (3, [2]), 6: (3, [h - 1]), 7: (3, [w - 2]), 9: (3, [2]),
            10: (3, [16]), 11: (3, [1]), 0x1C: (3, [60]), 0x1D: (3, [64]), 0x1E: (3, [72]),
            271: (2, b"Panasonic\0"), 272: (2, b"DMC-FZ30\0")}
    panasonic = bytearray(tiff(pana, [words]))
    panasonic[2:4] = struct.pack("<H", 0x55)
    exif_cfa = fields(b"PENTAX", 16, 1)
    del exif_cfa[33421], exif_cfa[33422]
    exif_cfa[41730] = (7, struct.pack(">HH", 2, 2) + bytes([2, 1, 1, 0]))
    seeds = {
        "makers_nikon12.nef": tiff(fields(b"NIKON CORPORATION", 12, 1), [packed(w, h, 12)]),
        "makers_pentax12_words.pef": tiff(fields(b"PENTAX Corporation", 12, 1), [words]),
        "makers_sony14.arw": tiff(fields(b"SONY", 14, 1), [packed(w, h, 14)]),
        "makers_olympus_e300.orf": tiff(fields(b"OLYMPUS", 12, 1), [bytes(w * h * 8 // 5)]),
        "makers_panasonic.raw": bytes(panasonic),
        "makers_exif_cfa.pef": tiff(exif_cfa, [words]),
        "makers_kodak_dct.dcr": tiff(fields(b"KODAK", 12, 7),
                                     [bytes([0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0, h, 0, w, 1, 1, 0x11, 0, 0xFF, 0xD9])]),
    }
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


def jpeg(w, h, colour, exif=b""):
    """A small baseline JPEG of one colour, with an APP1 Exif segment when exif is given."""
    import io
    from PIL import Image
    buf = io.BytesIO()
    Image.new("RGB", (w, h), colour).save(buf, "JPEG", quality=90)
    data = buf.getvalue()
    if exif:
        app1 = b"Exif\0\0" + exif
        data = data[:2] + b"\xFF\xE1" + struct.pack(">H", len(app1) + 2) + app1 + data[2:]
    return data


class Layout:
    """A little-endian file put together piece by piece, with 32-bit fields patched once their targets are known."""

    def __init__(self, head=b""):
        self.data = bytearray(head)

    def add(self, piece):
        at = len(self.data)
        self.data += piece
        if len(self.data) & 1:
            self.data += b"\0"
        return at

    def ifd(self, entries, base=0, order="<"):
        """entries: (tag, type, count, value or bytes); bytes longer than 4 are placed after the directory.
        Returns the directory's offset from base and the offsets of its value fields."""
        at = len(self.data)
        self.data += struct.pack(order + "H", len(entries)) + b"\0" * (12 * len(entries) + 4)
        fields = {}
        for i, (tag, typ, count, value) in enumerate(entries):
            e = at + 2 + 12 * i
            if isinstance(value, bytes) and len(value) > 4:
                where = self.add(value) - base
                struct.pack_into(order + "HHII", self.data, e, tag, typ, count, where)
            elif isinstance(value, bytes):
                struct.pack_into(order + "HHI", self.data, e, tag, typ, count)
                self.data[e + 8:e + 8 + len(value)] = value
            else:
                struct.pack_into(order + "HHII" if typ != 3 else order + "HHIH", self.data, e, tag, typ, count, value)
            fields[tag] = e + 8
        return at - base, fields

    def patch(self, field, value, order="<"):
        struct.pack_into(order + "I", self.data, field, value)


def preview_seeds(out):
    """Raw data no loader reads (Nikon's compression 34713, a JPEG-XL DNG,
    Olympus' and Pentax' own formats, CIFF, compressed RAF, X3F), with previews."""
    small, large = jpeg(16, 8, (200, 30, 30)), jpeg(32, 16, (30, 30, 200))
    frame = large.index(b"\xFF\xC0")
    broken = large[:frame + 2 + struct.unpack(">H", large[frame + 2:frame + 4])[0]] + b"\xFF\xFD" + large[frame + 2 + struct.unpack(">H", large[frame + 2:frame + 4])[0]:]
    names = [(271, 2, 18, b"NIKON CORPORATION\0"), (272, 2, 10, b"NIKON D70\0")]
    sensor = [(256, 4, 1, 64), (257, 4, 1, 48), (258, 3, 1, 12), (259, 3, 1, 34713), (274, 3, 1, 6), (277, 3, 1, 1)]
    seeds = {}

    def nef(preview_small, preview_large, loop=False, claimed=0):
        f = Layout(b"II*\0\0\0\0\0")
        raw = f.add(b"\x5A" * 64)
        sub, subf = f.ifd([(259, 3, 1, 7), (273, 4, 1, 0), (279, 4, 1, len(preview_large))])
        ifd0, fields = f.ifd(names + sensor + [(273, 4, 1, raw), (279, 4, 1, 64), (330, 4, 1, 8 if loop else sub),
                                               (513, 4, 1, 0), (514, 4, 1, claimed or len(preview_small)),
                                               (34665, 4, 1, 8 if loop else 0)])
        f.patch(4, ifd0)
        f.patch(subf[273], f.add(preview_large))
        f.patch(fields[513], f.add(preview_small))
        return bytes(f.data)

    seeds["preview_nef.nef"] = nef(small, large)
    seeds["preview_loop.nef"] = nef(small, large, loop=True)
    seeds["preview_broken.nef"] = nef(small, broken)
    seeds["preview_claimed.nef"] = nef(small, b"\xFF\xD8\xFF\xC3\0\x0B\x08\0\x10\0\x20\x01\x01\x11\0", claimed=1 << 20)

    def maker_file(magic, maker, note, dng=False):
        """A file whose EXIF directory (or, for DNG, private data) holds the maker note built by note(layout)."""
        f = Layout(b"II" + magic + b"\0\0\0\0")
        raw = f.add(b"\x5A" * 64)
        at = note(f)
        entries = [(271, 2, len(maker) + 1, maker + b"\0"), (272, 2, 5, b"Test\0"), (256, 4, 1, 64), (257, 4, 1, 48),
                   (258, 3, 1, 12), (259, 3, 1, 52546 if dng else 65535), (273, 4, 1, raw), (277, 3, 1, 1),
                   (279, 4, 1, 64)]
        if dng:
            ifd0, _ = f.ifd(entries + [(50706, 1, 4, b"\1\4\0\0"), (50740, 1, len(at), at)])
        else:
            exif, _ = f.ifd([(37500, 7, len(at), at)])
            ifd0, _ = f.ifd(entries + [(34665, 4, 1, exif)])
        f.patch(4, ifd0)
        return bytes(f.data)

    def olympus(preview):
        # "OLYMPUS\0II\3\0", its directory at 12 with CameraSettings (0x2020)
        # holding PreviewImageStart and Length; offsets count from the note's start.
        head = b"OLYMPUS\0II\x03\0"
        main = struct.pack("<H", 1) + struct.pack("<HHII", 0x2020, 13, 1, 12 + 18) + struct.pack("<I", 0)
        settings_at = 12 + len(main)
        settings = struct.pack("<H", 2) + b"\0" * 24 + struct.pack("<I", 0)
        preview_at = settings_at + len(settings)
        settings = struct.pack("<H", 2) + struct.pack("<HHII", 0x101, 4, 1, preview_at) + struct.pack(
            "<HHII", 0x102, 4, 1, len(preview)) + struct.pack("<I", 0)
        return head + main + settings + preview

    def nikon(preview, order=b"II"):
        # "Nikon\0", version, then a TIFF header of its own at 10 whose
        # directory has PreviewIFD (0x11) pointing at one with 0x201/0x202.
        tiff_head = order + b"*\0" + struct.pack("<I", 8)
        main = struct.pack("<H", 1) + struct.pack("<HHII", 0x11, 13, 1, 8 + 18) + struct.pack("<I", 0)
        prev_ifd_len = 2 + 24 + 4
        at = 8 + len(main) + prev_ifd_len
        prev_ifd = struct.pack("<H", 2) + struct.pack("<HHII", 0x201, 4, 1, at) + struct.pack(
            "<HHII", 0x202, 4, 1, len(preview)) + struct.pack("<I", 0)
        return b"Nikon\0\x02\x11\0\0" + tiff_head + main + prev_ifd + preview

    seeds["preview_olympus.orf"] = maker_file(b"RO", b"OLYMPUS IMAGING CORP.", lambda f: olympus(large))
    makn = nikon(large)
    seeds["preview_dng_makn.dng"] = maker_file(b"*\0", b"NIKON CORPORATION",
                                               lambda f: b"Adobe\0MakN" + struct.pack(">I", len(makn) + 6) + b"II" + struct.pack(">I", 0) + makn,
                                               dng=True)

    # CIFF: the names, a JPEG image record and a thumbnail, and a sub-heap that is the heap itself.
    names_ciff = b"Canon\0Canon PowerShot S40\0"
    body = names_ciff + large + small
    records = [(0x080A, len(names_ciff), 0), (0x2007, len(large), len(names_ciff)),
               (0x2008, len(small), len(names_ciff) + len(large))]
    table = len(body)
    heap_len = table + 2 + 10 * (len(records) + 1) + 4
    records.append((0x300A, heap_len, 0))
    heap = body + struct.pack("<H", len(records)) + b"".join(struct.pack("<HII", *r) for r in records) + struct.pack("<I", table)
    seeds["preview_ciff.crw"] = b"II" + struct.pack("<I", 26) + b"HEAPCCDR" + struct.pack("<I", 0x10002) + b"\0" * 8 + heap

    # RAF: the header's JPEG, whose EXIF IFD1 names a thumbnail inside it.
    exif_tiff = bytearray(b"II*\0" + struct.pack("<I", 8) + struct.pack("<H", 0) + struct.pack("<I", 14)
                          + struct.pack("<H", 2) + struct.pack("<HHII", 513, 4, 1, 0) + struct.pack("<HHII", 514, 4, 1, len(small))
                          + struct.pack("<I", 0))
    struct.pack_into("<I", exif_tiff, 14 + 2 + 8, len(exif_tiff))
    header_jpeg = jpeg(8, 8, (30, 200, 30), bytes(exif_tiff) + small)
    head = b"FUJIFILMCCD-RAW 0201FF383501" + b"FinePix S5Pro".ljust(32, b"\0") + b"0100"
    head = head.ljust(84, b"\0") + struct.pack(">6I", 160, len(header_jpeg), 156, 4, 0, 0)
    seeds["preview_raf.raf"] = head.ljust(160, b"\0") + header_jpeg

    # X3F: an image section of format 18 (JPEG) listed by the directory at the end.
    section = b"SECi" + struct.pack("<6I", 0x20000, 2, 18, 32, 16, 0) + large
    x3f = b"FOVb" + struct.pack("<I", 0x20001) + b"\0" * 20 + struct.pack("<II", 2640, 1760)
    x3f = x3f.ljust(64, b"\0")
    sec_at = len(x3f)
    x3f += section
    dir_at = len(x3f)
    x3f += b"SECd" + struct.pack("<II", 0x20000, 1) + struct.pack("<II", sec_at, len(section)) + b"IMA2"
    seeds["preview_x3f.x3f"] = x3f + struct.pack("<I", dir_at)

    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "raw")
    os.makedirs(out, exist_ok=True)
    w, h = 32, 24
    seeds = {
        "dng16.dng": tiff(dng_fields(w, h, 16, 1), [b"".join(struct.pack("<H", sample(r, c)) for r in range(h) for c in range(w))]),
        "dng12.dng": tiff(dng_fields(w, h, 12, 1, {274: (3, [6]), 50714: (3, [64])}), [packed(w, h, 12)]),
        "dng14_area.dng": tiff(dng_fields(w, h + 2, 14, 1, {50829: (4, [1, 2, h + 1, w])}), [packed(w, h + 2, 14)]),
        "dng_ljpeg.dng": tiff({**dng_fields(w, h, 12, 7), 322: (4, [16]), 323: (4, [16])},
                              [ljpeg(16, 16, 0, 0), ljpeg(16, 16, 0, 16), ljpeg(16, 16, 16, 0), ljpeg(16, 16, 16, 16)],
                              tiled=True),
        "cr2_like.cr2": tiff({259: (3, [6]), 271: (2, b"Canon\0"), 272: (2, b"Canon EOS 30D\0"),
                              50752: (3, [1, 16, 16])}, [ljpeg(w, h)]),
    }
    names = b"Canon\0Canon PowerShot S40\0"
    heap = names + struct.pack("<HHII", 1, 0x080A, len(names), 0) + struct.pack("<I", len(names))
    seeds["heap.crw"] = b"II" + struct.pack("<I", 26) + b"HEAPCCDR" + struct.pack("<I", 0x10002) + b"\0" * 8 + heap
    seeds.update(family_seeds())
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    maker_seeds(out)
    preview_seeds(out)


if __name__ == "__main__":
    main()
