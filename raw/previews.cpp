// Where camera RAW files keep the JPEG their camera rendered, from public
// documents: TIFF 6.0 and TIFF/EP (JPEGInterchangeFormat and its length,
// single-strip images, sub-IFDs), the DNG specification (preview IFDs,
// NewSubFileType 1), EXIF 2.x (IFD1's thumbnail), Canon's CIFF
// specification (the JPEG records 0x2007 and 0x2008), the RAF header's JPEG
// offset and length, the X3F directory's image sections, and the maker-note
// layouts of ExifTool's public tag tables (Nikon PreviewIFD; Olympus
// CameraSettings and the older PreviewImage tags; Pentax, Minolta and Sony
// preview tags; Panasonic's JpgFromRaw). Every structure is read through
// bounded walks: a directory is read once, nesting and counts are capped, and
// every offset and length is checked against the file before it is used.
#include "raw/previews.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "image/zt_image.h"
#include "raw/raw_internal.h"

namespace {

constexpr int kMaxDirectories = 64;     // TIFF directories and CIFF heaps of one file
constexpr int kMaxDepth = 4;            // sub-IFD, EXIF and maker-note nesting
constexpr uint32_t kMaxEntries = 4096;  // entries of one directory
constexpr uint32_t kMaxSubIfds = 16;    // sub-IFD offsets followed from one entry
constexpr size_t kMaxCandidates = 64;
constexpr int kMaxSegments = 256;       // JPEG segments before the frame header
constexpr uint32_t kMaxSections = 256;  // X3F directory entries

constexpr uint16_t kLittleEndian = 0x4949, kBigEndian = 0x4D4D;

// How a directory's tags are read: the TIFF and EXIF tags, or the maker
// note (or maker sub-directory) of one maker.
enum class Dir { Tiff, Nikon, Olympus, OlympusSettings, OlympusOld, Pentax, Minolta, Sony };

struct Entry {
    uint32_t tag = 0;
    int type = 0;
    uint32_t count = 0;
    int64_t valueAt = 0;
};

bool TiffOrder(const uint8_t* p, uint16_t* order) {
    if (p[0] == 'I' && p[1] == 'I') *order = kLittleEndian;
    else if (p[0] == 'M' && p[1] == 'M') *order = kBigEndian;
    else return false;
    return true;
}

struct Finder {
    RawContext& ctx;
    std::vector<RawPreview> found;
    std::set<int64_t> visited;
    int directories = 0;
    bool panasonic = false;  // the first directory holds Panasonic's JpgFromRaw

    void Add(int64_t offset, int64_t length) {
        // A preview longer than the image ceiling is no preview to hold.
        if (found.size() >= kMaxCandidates || length < 4 || uint64_t(length) > ZTIMAGE_MAX_MEMORY ||
            !in_file(ctx, offset, length))
            return;
        for (const RawPreview& p : found)
            if (p.offset == offset) return;
        found.push_back(RawPreview{offset, length, 0, 0});
    }

    // Type 13 (IFD) is a 32-bit offset.
    uint32_t Next(int type) { return type == 13 ? get4(ctx) : get_value(ctx, type); }
    uint32_t Value(const Entry& e) {
        raw_seek(ctx, e.valueAt, SEEK_SET);
        return Next(e.type);
    }

    // A TIFF header at base: its byte order, then its chain of directories.
    void Tiff(int64_t base) {
        uint8_t head[8] = {};
        if (!in_file(ctx, base, 8)) return;
        raw_seek(ctx, base, SEEK_SET);
        raw_read(ctx, head, 1, 8);
        if (!TiffOrder(head, &ctx.byteOrder)) return;
        panasonic = base == 0 && sget2(ctx, head + 2) == 0x55;
        Directory(base, base + sget4(ctx, head + 4), 0, Dir::Tiff);
    }

    // The directory at `at`; the offsets in it count from base.
    void Directory(int64_t base, int64_t at, int depth, Dir kind) {
        if (depth > kMaxDepth || directories >= kMaxDirectories || !in_file(ctx, at, 2) ||
            !visited.insert(at).second)
            return;
        ++directories;
        raw_seek(ctx, at, SEEK_SET);
        const uint32_t count = get2(ctx);
        if (count > kMaxEntries || !in_file(ctx, at + 2, int64_t(count) * 12)) return;
        std::vector<Entry> entries(count);
        for (uint32_t i = 0; i < count; ++i) {
            Entry& e = entries[i];
            const int64_t entryAt = at + 2 + int64_t(i) * 12;
            raw_seek(ctx, entryAt, SEEK_SET);
            e.tag = get2(ctx);
            e.type = get2(ctx);
            e.count = get4(ctx);
            static constexpr int kTypeSize[14] = {1, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
            const uint64_t bytes = uint64_t(e.count) * uint32_t(e.type > 0 && e.type < 14 ? kTypeSize[e.type] : 1);
            e.valueAt = bytes > 4 ? base + int64_t(get4(ctx)) : entryAt + 8;
        }
        uint32_t next = 0;
        if (in_file(ctx, at + 2 + int64_t(count) * 12, 4)) {
            raw_seek(ctx, at + 2 + int64_t(count) * 12, SEEK_SET);
            next = get4(ctx);
        }
        Tags(base, entries, depth, kind);
        if (kind == Dir::Tiff && next) Directory(base, base + int64_t(next), depth, kind);
    }

    void Tags(int64_t base, const std::vector<Entry>& entries, int depth, Dir kind) {
        const auto find = [&](uint32_t tag) -> const Entry* {
            for (const Entry& e : entries)
                if (e.tag == tag) return &e;
            return nullptr;
        };
        // An offset tag and a length tag that place a preview.
        const auto place = [&](uint32_t startTag, uint32_t lengthTag, int64_t from) {
            const Entry* start = find(startTag);
            const Entry* length = find(lengthTag);
            if (start && length) Add(from + int64_t(Value(*start)), Value(*length));
        };
        // A preview stored as the tag's own value.
        const auto inline_ = [&](uint32_t tag) {
            const Entry* e = find(tag);
            if (e && e->type == 7) Add(e->valueAt, e->count);
        };
        switch (kind) {
            case Dir::Tiff: {
                place(513, 514, base);  // JPEGInterchangeFormat, JPEGInterchangeFormatLength
                // A picture in one strip: a JPEG preview when its bytes say so
                // (DNG preview IFDs, NEF's JpgFromRaw, CR2's first directory).
                const Entry* strips = find(273);
                const Entry* counts = find(279);
                if (strips && counts && strips->count == 1 && counts->count == 1)
                    Add(base + int64_t(Value(*strips)), Value(*counts));
                if (depth == 0 && panasonic) inline_(0x2E);  // JpgFromRaw of RW2 files
                if (const Entry* subs = find(330)) {
                    std::vector<uint32_t> offsets;
                    raw_seek(ctx, subs->valueAt, SEEK_SET);
                    for (uint32_t i = 0; i < subs->count && i < kMaxSubIfds; ++i) offsets.push_back(Next(subs->type));
                    for (uint32_t sub : offsets) Directory(base, base + int64_t(sub), depth + 1, Dir::Tiff);
                }
                if (const Entry* exif = find(34665)) Directory(base, base + int64_t(Value(*exif)), depth + 1, Dir::Tiff);
                if (const Entry* note = find(37500)) MakerNote(base, *note, depth + 1);
                if (const Entry* priv = find(50740)) AdobeMakerNote(*priv, depth + 1);
                break;
            }
            case Dir::Nikon:  // PreviewIFD
                if (const Entry* e = find(0x11)) Directory(base, base + int64_t(Value(*e)), depth + 1, Dir::Tiff);
                break;
            case Dir::Olympus:  // CameraSettings: a directory, or a block that is one
                if (const Entry* e = find(0x2020)) {
                    const int64_t at = e->type == 7 ? e->valueAt : base + int64_t(Value(*e));
                    Directory(base, at, depth + 1, Dir::OlympusSettings);
                }
                break;
            case Dir::OlympusSettings: place(0x101, 0x102, base); break;  // PreviewImageStart, Length
            case Dir::OlympusOld:
            case Dir::Minolta:
                place(0x88, 0x89, base);  // PreviewImageStart, Length
                inline_(0x81);            // PreviewImageData / ThumbnailImage
                inline_(0x100);
                break;
            case Dir::Pentax: place(0x05, 0x04, base); break;  // PreviewImageStart, Length
            case Dir::Sony: inline_(0x2001); break;            // PreviewImage
        }
    }

    // A maker note: its header says whose it is, its byte order and where its
    // offsets count from.
    void MakerNote(int64_t base, const Entry& note, int depth) {
        const int64_t at = note.valueAt;
        uint8_t head[12] = {};
        if (note.count < 12 || !in_file(ctx, at, 12)) return;
        raw_seek(ctx, at, SEEK_SET);
        raw_read(ctx, head, 1, sizeof head);
        const uint16_t order = ctx.byteOrder;
        uint16_t own = order;
        if (memcmp(head, "Nikon\0", 6) == 0 && TiffOrder(head + 10, &own) && in_file(ctx, at + 10, 8)) {
            // A TIFF header of its own at 10; offsets count from it.
            ctx.byteOrder = own;
            raw_seek(ctx, at + 14, SEEK_SET);
            Directory(at + 10, at + 10 + int64_t(get4(ctx)), depth, Dir::Nikon);
        } else if (memcmp(head, "OLYMPUS\0", 8) == 0 && TiffOrder(head + 8, &own)) {
            ctx.byteOrder = own;  // offsets count from the note's start
            Directory(at, at + 12, depth, Dir::Olympus);
        } else if (memcmp(head, "OLYMP\0", 6) == 0) {
            Directory(base, at + 8, depth, Dir::OlympusOld);
        } else if (memcmp(head, "AOC\0", 4) == 0) {
            TiffOrder(head + 4, &ctx.byteOrder);  // two spaces keep the file's order
            Directory(base, at + 6, depth, Dir::Pentax);
        } else if (memcmp(head, "PENTAX \0", 8) == 0 && TiffOrder(head + 8, &own)) {
            ctx.byteOrder = own;  // offsets count from the note's start
            Directory(at, at + 10, depth, Dir::Pentax);
        } else if (memcmp(head, "SONY DSC \0\0\0", 12) == 0) {
            Directory(base, at + 12, depth, Dir::Sony);
        } else if (strncasecmp(ctx.maker, "SONY", 4) == 0) {
            Directory(base, at, depth, Dir::Sony);
        } else if (strncasecmp(ctx.maker, "Minolta", 7) == 0 || strncasecmp(ctx.maker, "Konica", 6) == 0) {
            Directory(base, at, depth, Dir::Minolta);
        }
        ctx.byteOrder = order;
    }

    // DNGPrivateData in Adobe's documented form: "Adobe\0", "MakN", a
    // big-endian length, the original byte order and the original offset of
    // the camera's maker note, then the note itself, whose offsets still
    // count from where the original file's TIFF header was.
    void AdobeMakerNote(const Entry& data, int depth) {
        uint8_t head[20] = {};
        if (data.count < 20 || !in_file(ctx, data.valueAt, 20)) return;
        raw_seek(ctx, data.valueAt, SEEK_SET);
        raw_read(ctx, head, 1, sizeof head);
        uint16_t own = 0;
        if (memcmp(head, "Adobe\0MakN", 10) != 0 || !TiffOrder(head + 14, &own)) return;
        const uint32_t length = uint32_t(head[10]) << 24 | uint32_t(head[11]) << 16 | uint32_t(head[12]) << 8 | head[13];
        const uint16_t order = ctx.byteOrder;
        ctx.byteOrder = own;
        const int64_t original = sget4(ctx, head + 16);
        Entry note;
        note.valueAt = data.valueAt + 20;
        note.count = length >= 6 ? length - 6 : 0;
        if (note.count <= data.count - 20) MakerNote(note.valueAt - original, note, depth);
        ctx.byteOrder = order;
    }

    // A CIFF heap: records of 10 bytes listed at the offset its last 4 bytes give.
    void Ciff(int64_t offset, int64_t length, int depth) {
        if (depth > kMaxDepth || directories >= kMaxDirectories || !visited.insert(offset).second) return;
        ++directories;
        walk_ciff_heap(ctx, offset, length, [&](uint32_t type, int64_t at, int64_t size) {
            if ((type >> 8) == 0x28 || (type >> 8) == 0x30)
                Ciff(at, size, depth + 1);
            else if (type == 0x2007 || type == 0x2008)  // the JPEG image, the JPEG thumbnail
                Add(at, size);
        });
    }

    // X3F: the directory's offset is the file's last 4 bytes; image
    // sections of data format 18 hold a JPEG after their 28-byte header.
    void Foveon() {
        ctx.byteOrder = kLittleEndian;
        if (!in_file(ctx, ctx.fileSize - 4, 4)) return;
        raw_seek(ctx, ctx.fileSize - 4, SEEK_SET);
        const int64_t dir = get4(ctx);
        char id[4] = {};
        if (!in_file(ctx, dir, 12)) return;
        raw_seek(ctx, dir, SEEK_SET);
        raw_read(ctx, id, 1, 4);
        get4(ctx);  // version
        const uint32_t count = get4(ctx);
        if (memcmp(id, "SECd", 4) != 0 || count > kMaxSections || !in_file(ctx, dir + 12, int64_t(count) * 12)) return;
        for (uint32_t i = 0; i < count; ++i) {
            raw_seek(ctx, dir + 12 + int64_t(i) * 12, SEEK_SET);
            const int64_t at = get4(ctx), length = get4(ctx);
            char type[4] = {};
            raw_read(ctx, type, 1, 4);
            if ((memcmp(type, "IMA2", 4) != 0 && memcmp(type, "IMAG", 4) != 0) || length < 28 || !in_file(ctx, at, length))
                continue;
            raw_seek(ctx, at, SEEK_SET);
            raw_read(ctx, id, 1, 4);
            get4(ctx);  // version
            get4(ctx);  // image type
            if (memcmp(id, "SECi", 4) == 0 && get4(ctx) == 18) Add(at + 28, length - 28);
        }
    }

    // MRW: blocks of a name and a big-endian length; "\0TTW" holds TIFF data.
    void Minolta() {
        ctx.byteOrder = kBigEndian;
        raw_seek(ctx, 4, SEEK_SET);
        const int64_t dataAt = int64_t(get4(ctx)) + 8;
        int64_t at = 8;
        for (int block = 0; block < kMaxDirectories && at + 8 <= dataAt && in_file(ctx, at, 8); ++block) {
            raw_seek(ctx, at, SEEK_SET);
            const uint32_t name = get4(ctx), length = get4(ctx);
            if (length > dataAt - (at + 8)) break;
            if (name == 0x00545457) Tiff(at + 8);
            ctx.byteOrder = kBigEndian;
            at += 8 + int64_t(length);
        }
    }
};

// Whether the candidate is a JPEG: a start-of-image marker, then segments
// inside the candidate up to a frame header this system's JPEG decoder
// reads (baseline, extended or progressive Huffman, 8-bit samples) with a
// size whose pixels fit the image ceiling.
bool JpegFrame(RawContext& ctx, RawPreview& p) {
    const int64_t end = p.offset + p.length;
    uint8_t b[8] = {};
    raw_seek(ctx, p.offset, SEEK_SET);
    if (raw_read(ctx, b, 1, 2) != 2 || b[0] != 0xFF || b[1] != 0xD8) return false;
    int64_t at = p.offset + 2;
    for (int i = 0; i < kMaxSegments && at + 2 <= end; ++i) {
        raw_seek(ctx, at, SEEK_SET);
        if (raw_read(ctx, b, 1, 2) != 2 || b[0] != 0xFF) return false;
        const int marker = b[1];
        if (marker == 0xFF) {  // a fill byte before the marker
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length follows
            at += 2;
            continue;
        }
        if (marker == 0xD8 || marker == 0xD9 || marker == 0xDA) return false;  // no frame before these
        if (raw_read(ctx, b, 1, 2) != 2) return false;
        const int64_t length = b[0] << 8 | b[1];
        if (length < 2 || at + 2 + length > end) return false;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (marker > 0xC2 || length < 8 || raw_read(ctx, b, 1, 6) != 6) return false;
            const uint32_t height = uint32_t(b[1] << 8 | b[2]), width = uint32_t(b[3] << 8 | b[4]);
            const int components = b[5];
            if (b[0] != 8 || !width || !height || (components != 1 && components != 3 && components != 4) ||
                length < 8 + 3 * components || uint64_t(width) * height * 3 > ZTIMAGE_MAX_MEMORY)
                return false;
            p.width = width;
            p.height = height;
            return true;
        }
        at += 2 + length;
    }
    return false;
}

}  // namespace

std::vector<RawPreview> find_raw_previews(RawContext& ctx) {
    const uint16_t order = ctx.byteOrder;
    Finder finder{ctx, {}, {}, 0, false};
    uint8_t head[32] = {};
    raw_seek(ctx, 0, SEEK_SET);
    raw_read(ctx, head, 1, sizeof head);
    uint16_t tiffOrder = 0;
    if (head[0] == 0xFF && head[1] == 0xD8) return {};
    if (memcmp(head, "FUJIFILM", 8) == 0) {
        // The header's JPEG at 84 (length at 88); its EXIF data may hold a
        // thumbnail of its own.
        ctx.byteOrder = kBigEndian;
        raw_seek(ctx, 84, SEEK_SET);
        const int64_t at = get4(ctx), length = get4(ctx);
        finder.Add(at, length);
        uint8_t app[10] = {};
        if (in_file(ctx, at, 20)) {
            raw_seek(ctx, at, SEEK_SET);
            raw_read(ctx, app, 1, sizeof app);
            if (app[0] == 0xFF && app[1] == 0xD8 && app[2] == 0xFF && app[3] == 0xE1 && memcmp(app + 6, "Exif", 4) == 0)
                finder.Tiff(at + 12);
        }
    } else if (memcmp(head, "FOVb", 4) == 0) {
        finder.Foveon();
    } else if (memcmp(head, "\0MRM", 4) == 0) {
        finder.Minolta();
    } else if (TiffOrder(head, &tiffOrder) && memcmp(head + 6, "HEAPCCDR", 8) == 0) {
        ctx.byteOrder = tiffOrder;
        const int64_t headerLength = sget4(ctx, head + 2);
        finder.Ciff(headerLength, ctx.fileSize - headerLength, 0);
    } else if (tiffOrder) {
        finder.Tiff(0);
    }
    std::vector<RawPreview> previews;
    for (RawPreview& p : finder.found)
        if (JpegFrame(ctx, p)) previews.push_back(p);
    std::stable_sort(previews.begin(), previews.end(), [](const RawPreview& a, const RawPreview& b) {
        return uint64_t(a.width) * a.height > uint64_t(b.width) * b.height;
    });
    ctx.byteOrder = order;
    return previews;
}

void report_preview_fallback(RawContext& ctx, uint32_t width, uint32_t height) {
    if (ctx.previewReported) return;
    fprintf(stderr, "camera raw data of %s%s%s is not decoded here; converting the camera's embedded preview (%u x %u)\n",
            ctx.maker, ctx.modelName[0] ? " " : "", ctx.modelName, width, height);
    ctx.previewReported = 1;
}
