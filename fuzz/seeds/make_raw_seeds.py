#!/usr/bin/env python3
"""Writes seed inputs for fuzz_raw: small DNG files (16-bit, packed 12- and
14-bit, lossless-JPEG tiles, with active area and orientation), a CR2-like
file with sliced lossless-JPEG data, a CIFF heap, and the TIFF-based
makers' layouts (makers_*: packed and word-per-sample mosaics, a Panasonic
sensor record, EXIF's filter pattern, a Kodak DCT-JPEG file). Usage: make_raw_seeds.py [out-dir]"""
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


if __name__ == "__main__":
    main()
