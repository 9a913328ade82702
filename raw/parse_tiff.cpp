// Header parsers of the RAW engine for TIFF-based files (TIFF 6.0, TIFF/EP,
// the DNG specification, EXIF 2.x, Canon's maker-note sensor record), for
// Canon's CIFF containers (CRW), and for TIFF or CIFF data carried in JPEG
// segments. They fill the identification results; the TIFF handler
// (apply_tiff_raw_ifd) then takes the largest image as the raw one and
// chooses its loader.
#include <algorithm>
#include <functional>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "raw/raw_internal.h"

namespace {

constexpr int kMaxIfds = 64;           // directories in one file
constexpr int kMaxDepth = 4;           // sub-IFD and EXIF nesting
constexpr uint32_t kMaxEntries = 4096;  // entries in one directory

// "YYYY:MM:DD HH:MM:SS" as seconds since 1970 (UTC), or 0.
int64_t ParseDateTime(const char* text) {
    struct tm t = {};
    if (sscanf(text, "%d:%d:%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec) != 6)
        return 0;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
#ifdef _WIN32
    const time_t v = _mkgmtime(&t);  // the same conversion under its Windows name
#else
    const time_t v = timegm(&t);
#endif
    return v < 0 ? 0 : int64_t(v);
}

// Reads a text field of count bytes at the current position into out.
void ReadText(RawContext& ctx, char* out, size_t outSize, uint32_t count) {
    const size_t n = std::min<size_t>(count, outSize - 1);
    memset(out, 0, outSize);
    raw_read(ctx, out, 1, n);
    out[outSize - 1] = '\0';
}

struct TiffParser {
    RawContext& ctx;
    int64_t base;
    std::set<int64_t> visited;

    void ParseIfdChain(int64_t offset, int depth) {
        while (offset > 0 && int(ctx.tiffIfds.size()) < kMaxIfds) {
            // A chain that comes back to a directory already read is a loop.
            if (!visited.insert(offset).second) return;
            const int64_t next = ParseIfd(offset, depth);
            if (next <= 0) return;
            offset = next;
        }
    }

    // Parses one directory; returns the offset of the next one (0: none).
    int64_t ParseIfd(int64_t offset, int depth) {
        if (!in_file(ctx, base + offset, 2) || depth > kMaxDepth) return 0;
        raw_seek(ctx, base + offset, SEEK_SET);
        const uint32_t entries = get2(ctx);
        if (entries > kMaxEntries || !in_file(ctx, base + offset + 2, int64_t(entries) * 12 + 4)) return 0;
        ctx.tiffIfds.emplace_back();
        const size_t index = ctx.tiffIfds.size() - 1;
        for (uint32_t e = 0; e < entries; ++e) {
            const int64_t entryAt = base + offset + 2 + int64_t(e) * 12;
            raw_seek(ctx, entryAt, SEEK_SET);
            const uint32_t tag = get2(ctx);
            const int type = get2(ctx);
            const uint32_t count = get4(ctx);
            static constexpr int kTypeSize[14] = {1, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
            const int size = type > 0 && type < 14 ? kTypeSize[type] : 1;
            const uint64_t bytes = uint64_t(count) * size;
            int64_t valueAt = entryAt + 8;
            if (bytes > 4) valueAt = base + int64_t(get4(ctx));
            if (!in_file(ctx, valueAt, int64_t(std::min<uint64_t>(bytes, uint64_t(ctx.fileSize) + 1)))) continue;
            raw_seek(ctx, valueAt, SEEK_SET);
            Entry(index, tag, type, count, valueAt, depth);
        }
        raw_seek(ctx, base + offset + 2 + int64_t(entries) * 12, SEEK_SET);
        return get4(ctx);
    }

    void Entry(size_t index, uint32_t tag, int type, uint32_t count, int64_t valueAt, int depth) {
        RawTiffIfd& ifd = ctx.tiffIfds[index];
        auto values = [&](std::vector<uint32_t>& out) {
            out.clear();
            const uint32_t n = std::min<uint32_t>(count, 1u << 20);
            out.reserve(n);
            for (uint32_t i = 0; i < n; ++i) out.push_back(get_value(ctx, type));
        };
        switch (tag) {
            case 256: ifd.width = get_value(ctx, type); break;
            case 257: ifd.height = get_value(ctx, type); break;
            case 258: ifd.bitsPerSample = int32_t(get_value(ctx, type)); break;
            case 259: ifd.compression = int32_t(get_value(ctx, type)); break;
            case 262: ifd.photometric = int32_t(get_value(ctx, type)); break;
            case 271: ReadText(ctx, ctx.maker, sizeof ctx.maker, count); break;
            case 272: ReadText(ctx, ctx.modelName, sizeof ctx.modelName, count); break;
            case 273:  // strip offsets
            case 324:  // tile offsets
                values(ifd.offsets);
                for (uint32_t& v : ifd.offsets) v += uint32_t(base);
                break;
            case 279:
            case 325: values(ifd.byteCounts); break;
            case 274: ctx.tiffOrientation = int32_t(get_value(ctx, type)); break;
            case 277: ifd.samples = int32_t(get_value(ctx, type)); break;
            case 278: ifd.rowsPerStrip = get_value(ctx, type); break;
            case 306: {
                char text[20];
                ReadText(ctx, text, sizeof text, count);
                if (!ctx.timestamp) ctx.timestamp = ParseDateTime(text);
                break;
            }
            case 322: ifd.tileWidth = get_value(ctx, type); break;
            case 323: ifd.tileLength = get_value(ctx, type); break;
            case 330: {  // sub-IFDs
                std::vector<uint32_t> subs;
                values(subs);
                for (uint32_t sub : subs) ParseIfdChain(int64_t(sub), depth + 1);
                break;
            }
            case 33421:  // CFA repeat pattern dimensions
                ctx.cfaRepeat[0] = get2(ctx);
                ctx.cfaRepeat[1] = get2(ctx);
                break;
            case 33422: {  // CFA pattern
                const uint32_t n = std::min<uint32_t>(count, 16);
                for (uint32_t i = 0; i < n; ++i) ctx.cfaColours[i] = uint8_t(raw_getc(ctx));
                break;
            }
            case 34665: ParseIfdChain(int64_t(get4(ctx)), depth + 1); break;  // EXIF
            case 36867: {  // date and time of the original
                char text[20];
                ReadText(ctx, text, sizeof text, count);
                ctx.timestamp = ParseDateTime(text);
                break;
            }
            case 37500: MakerNote(valueAt); break;
            case 50706: ctx.dngVersion = 1; break;
            case 50708:  // unique camera model: a name for DNG files without one
                if (!ctx.modelName[0]) ReadText(ctx, ctx.modelName, sizeof ctx.modelName, count);
                break;
            case 50712: {  // linearization table
                std::vector<uint32_t> table;
                values(table);
                ctx.linearization.assign(table.begin(), table.end());
                break;
            }
            case 50714: {  // black level: one value per CFA cell; their mean serves
                const uint32_t n = std::max<uint32_t>(1, std::min<uint32_t>(count, 4));
                double sum = 0;
                for (uint32_t i = 0; i < n; ++i) {
                    if (type == 5) {
                        const uint32_t num = get4(ctx), den = get4(ctx);
                        sum += den ? double(num) / den : 0;
                    } else {
                        sum += get_value(ctx, type);
                    }
                }
                ctx.blackLevel = int32_t(sum / n + 0.5);
                break;
            }
            case 50717: ctx.whiteLevel = int32_t(get_value(ctx, type)); break;
            case 50721: {  // colour matrix 1: XYZ to camera, signed rationals
                if (type != 10) break;
                const uint32_t n = std::min<uint32_t>(count, 12);
                for (uint32_t i = 0; i < n; ++i) {
                    const int32_t num = int32_t(get4(ctx)), den = int32_t(get4(ctx));
                    ctx.cameraMatrix[i / 3][i % 3] = den ? float(num) / float(den) : 0.0f;
                }
                ctx.dngColourRows = int32_t(n / 3);
                break;
            }
            case 50829:  // active area
                for (int i = 0; i < 4; ++i) ctx.activeArea[i] = get_value(ctx, type);
                break;
            case 50752:  // CR2 slices
                for (int i = 0; i < 3 && i < int(count); ++i) ifd.slices[i] = get2(ctx);
                break;
            default:
                parse_maker_tiff_tag(ctx, ifd, base, tag, type, count, depth);
                break;
        }
    }

    // Canon maker notes: a directory without a header, offsets from the
    // TIFF base. Only the sensor record (0x00E0) matters here.
    void MakerNote(int64_t at) {
        if (strncmp(ctx.maker, "Canon", 5) != 0 || !in_file(ctx, at, 2)) return;
        raw_seek(ctx, at, SEEK_SET);
        const uint32_t entries = get2(ctx);
        if (entries > kMaxEntries || !in_file(ctx, at + 2, int64_t(entries) * 12)) return;
        for (uint32_t e = 0; e < entries; ++e) {
            raw_seek(ctx, at + 2 + int64_t(e) * 12, SEEK_SET);
            const uint32_t tag = get2(ctx);
            get2(ctx);
            const uint32_t count = get4(ctx);
            if (tag != 0x00E0 || count < 9) continue;
            const int64_t valueAt = base + int64_t(get4(ctx));
            if (!in_file(ctx, valueAt, 18)) return;
            raw_seek(ctx, valueAt, SEEK_SET);
            uint16_t v[9];
            for (uint16_t& x : v) x = get2(ctx);
            // Width, height, then the left, top, right and bottom borders.
            ctx.canonSensor[0] = v[5];
            ctx.canonSensor[1] = v[6];
            ctx.canonSensor[2] = v[7];
            ctx.canonSensor[3] = v[8];
            return;
        }
    }
};

}  // namespace

void parse_tiff(RawContext& ctx, int64_t base) {
    if (!in_file(ctx, base, 8)) return;
    raw_seek(ctx, base, SEEK_SET);
    const uint16_t order = get2(ctx);
    if (order != 0x4949 && order != 0x4D4D) return;
    ctx.byteOrder = order;
    get2(ctx);  // 42, or another magic of a TIFF-like raw format
    TiffParser parser{ctx, base, {}};
    parser.ParseIfdChain(int64_t(get4(ctx)), 0);
}

void apply_tiff_raw_ifd(RawContext& ctx) {
    // Directories of lossless-JPEG data without a size of their own (CR2)
    // take the size of their JPEG frame.
    for (RawTiffIfd& ifd : ctx.tiffIfds) {
        if ((ifd.compression != 6 && ifd.compression != 7 && ifd.compression != 99) || ifd.samples == 3 ||
            ifd.offsets.empty() || (ifd.width && ifd.height))
            continue;
        if (!in_file(ctx, ifd.offsets[0], 4)) continue;
        raw_seek(ctx, ifd.offsets[0], SEEK_SET);
        LosslessJpeg jh;
        if (lossless_jpeg_start(ctx, jh, true) && jh.sofMarker == 0xFFC3) {
            ifd.width = uint32_t(jh.wide * jh.clrs);
            ifd.height = uint32_t(jh.high);
            ifd.bitsPerSample = jh.bits;
        }
    }
    uint64_t best = 0;
    for (size_t i = 0; i < ctx.tiffIfds.size(); ++i) {
        const RawTiffIfd& ifd = ctx.tiffIfds[i];
        if (ifd.compression == 6 && ifd.samples == 3) continue;  // a JPEG preview
        if (ifd.offsets.empty()) continue;
        const uint64_t area = uint64_t(ifd.width) * ifd.height;
        if (area > best) {
            best = area;
            ctx.rawIfd = int32_t(i);
        }
    }
    if (ctx.rawIfd < 0) return;
    const RawTiffIfd& raw = ctx.tiffIfds[size_t(ctx.rawIfd)];
    // A raw mosaic has one sample per photosite: colour TIFF pictures that
    // merely name a camera maker are not raw files.
    if (raw.width > 65535 || raw.height > 65535 || raw.samples != 1) {
        ctx.rawImageCount = 0;
        return;
    }
    ctx.sensorWidth = uint16_t(raw.width);
    ctx.sensorHeight = uint16_t(raw.height);
    if (raw.bitsPerSample > 0 && raw.bitsPerSample <= 16) ctx.sampleBits = raw.bitsPerSample;
    ctx.tiffCompression = raw.compression;
    ctx.tiffPhotometric = raw.photometric;
    ctx.rawDataOffset = raw.offsets[0];
    ctx.tiffByteCount = raw.byteCounts.empty() ? 0 : raw.byteCounts[0];
    if (ctx.rawLoader) return;
    // DNG files name their own layout.
    if (ctx.dngVersion) {
        if (raw.compression == 1 && raw.samples == 1 && raw.bitsPerSample >= 8 && raw.bitsPerSample <= 16)
            ctx.rawLoader = adobe_dng_load_raw_nc;
        else if (raw.compression == 7 && raw.samples == 1)
            ctx.rawLoader = lossless_jpeg_load_raw;
        else
            ctx.rawImageCount = 0;  // linear DNG, or a compression this engine does not read
        return;
    }
    switch (raw.compression) {
        case 0:
        case 1:
            if (raw.bitsPerSample == 8)
                ctx.rawLoader = eight_bit_load_raw;
            else if (raw.bitsPerSample == 12)
                ctx.rawLoader = strncmp(ctx.maker, "PENTAX", 6) == 0  ? unpacked_load_raw
                                : strncmp(ctx.maker, "NIKON", 5) == 0 ? nikon_packed_12_load_raw
                                                                      : packed_12_load_raw;
            else if (raw.bitsPerSample == 14 || raw.bitsPerSample == 16)
                ctx.rawLoader = unpacked_load_raw;
            break;
        case 6:
        case 7:
        case 99: ctx.rawLoader = lossless_jpeg_load_raw; break;
        case 32769: ctx.rawLoader = nikon_packed_12_load_raw; break;
        case 32773: ctx.rawLoader = packed_12_load_raw; break;
        case 262:
        case 32767:
        case 34713:
        case 65000:
        case 65535:
        case 32867: break;  // loaders of their own, not part of this engine yet
        default: ctx.rawImageCount = 0; break;
    }
}

void walk_ciff_heap(RawContext& ctx, int64_t offset, int64_t length,
                    const std::function<void(uint32_t type, int64_t at, int64_t size)>& visit) {
    // A heap: records of 10 bytes (type, size, offset) listed at the offset
    // that the heap's last 4 bytes give, relative to the heap's start.
    if (length < 6 || !in_file(ctx, offset, length)) return;
    raw_seek(ctx, offset + length - 4, SEEK_SET);
    const int64_t table = offset + int64_t(get4(ctx));
    if (!in_file(ctx, table, 2)) return;
    raw_seek(ctx, table, SEEK_SET);
    const uint32_t records = get2(ctx);
    if (records > kMaxEntries || !in_file(ctx, table + 2, int64_t(records) * 10)) return;
    for (uint32_t i = 0; i < records; ++i) {
        raw_seek(ctx, table + 2 + int64_t(i) * 10, SEEK_SET);
        const uint32_t type = get2(ctx);
        const int64_t size = get4(ctx);
        const int64_t at = offset + int64_t(get4(ctx));
        if ((type & 0xC000) != 0) continue;  // data in the record itself
        if (!in_file(ctx, at, size)) continue;
        visit(type, at, size);
    }
}

void parse_ciff(RawContext& ctx, int64_t offset, int64_t length, int depth) {
    if (depth > kMaxDepth) return;
    walk_ciff_heap(ctx, offset, length, [&](uint32_t type, int64_t at, int64_t size) {
        if ((type >> 8) == 0x28 || (type >> 8) == 0x30) {  // a sub-heap
            parse_ciff(ctx, at, size, depth + 1);
            return;
        }
        raw_seek(ctx, at, SEEK_SET);
        switch (type) {
            case 0x080A: {  // maker and model, two strings
                char both[128] = {};
                raw_read(ctx, both, 1, std::min<int64_t>(size, sizeof both - 1));
                snprintf(ctx.maker, sizeof ctx.maker, "%.63s", both);
                const size_t makerLength = strnlen(both, sizeof both - 1);
                if (makerLength + 1 < sizeof both) snprintf(ctx.modelName, sizeof ctx.modelName, "%.63s", both + makerLength + 1);
                break;
            }
            case 0x1031:  // sensor information: width and height after one word
                if (size >= 6) {
                    get2(ctx);
                    ctx.sensorWidth = get2(ctx);
                    ctx.sensorHeight = get2(ctx);
                }
                break;
            case 0x180E:  // capture time
                if (size >= 4) ctx.timestamp = get4(ctx);
                break;
            case 0x2005: ctx.rawDataOffset = uint32_t(at); break;  // the raw data
            default: break;
        }
    });
}

void parse_jpeg_container(RawContext& ctx, int64_t offset) {
    // Walks the segments of a JPEG file; TIFF data in an APP1 segment and a
    // CIFF heap in an APP0 segment are parsed where they stand.
    if (!in_file(ctx, offset, 4)) return;
    raw_seek(ctx, offset, SEEK_SET);
    if (raw_getc(ctx) != 0xFF || raw_getc(ctx) != 0xD8) return;
    const uint16_t order = ctx.byteOrder;
    for (int segments = 0; segments < 256; ++segments) {
        const int64_t at = raw_tell(ctx);
        ctx.byteOrder = 0x4D4D;  // segment lengths are big-endian
        const uint16_t marker = get2(ctx);
        const uint16_t length = get2(ctx);
        if ((marker >> 8) != 0xFF || marker == 0xFFDA || length < 2 || !in_file(ctx, at + 2, length)) break;
        char id[8] = {};
        raw_read(ctx, id, 1, std::min<size_t>(sizeof id, size_t(length - 2)));
        if (marker == 0xFFE1 && length >= 8 && memcmp(id, "Exif\0\0", 6) == 0)
            parse_tiff(ctx, at + 10);
        else if (marker == 0xFFE0 && length >= 14 && memcmp(id + 2, "HEAP", 4) == 0)
            parse_ciff(ctx, at + 4, length - 2, 0);
        raw_seek(ctx, at + 2 + length, SEEK_SET);
    }
    ctx.byteOrder = order;
}
