// Tags that TIFF-based raw files carry beside the ones the TIFF parser reads
// itself: the colour-filter layout of EXIF 2.x (tag 41730), and the sensor
// record that Panasonic and Leica RAW files keep in their first directory,
// whose TIFF header has the magic 0x55 instead of 42 (sensor size and
// borders, filter pattern, sample width, compression, black and white
// balance levels, tags 2 to 0x26).
#include <algorithm>
#include <cstdio>

#include "raw/raw_internal.h"

namespace {

// EXIF's CFAPattern: the repeat's columns and rows as two 16-bit values,
// then one colour (0 red, 1 green, 2 blue) per cell, row by row. Writers
// disagree on the byte order of the two sizes, so a pair that makes no
// sense in the file's order is read in the other one. The TIFF/EP tags,
// when present, take precedence.
void ExifCfaPattern(RawContext& ctx, uint32_t count) {
    if (count < 4 || ctx.cfaRepeat[0] || ctx.cfaRepeat[1]) return;
    uint8_t head[4] = {};
    if (raw_read(ctx, head, 1, 4) != 4) return;
    auto plausible = [](uint32_t columns, uint32_t rows) { return columns >= 1 && rows >= 1 && columns * rows <= 16; };
    const uint32_t little[2] = {uint32_t(head[0] | head[1] << 8), uint32_t(head[2] | head[3] << 8)};
    const uint32_t big[2] = {uint32_t(head[0] << 8 | head[1]), uint32_t(head[2] << 8 | head[3])};
    const uint32_t* first = ctx.byteOrder == 0x4949 ? little : big;
    const uint32_t* second = first == little ? big : little;
    const uint32_t* sizes = plausible(first[0], first[1]) ? first : second;
    const uint32_t columns = sizes[0], rows = sizes[1];
    if (!plausible(columns, rows) || count - 4 < columns * rows) return;
    uint8_t colours[16] = {};
    if (raw_read(ctx, colours, 1, columns * rows) != columns * rows) return;
    ctx.cfaRepeat[0] = rows;
    ctx.cfaRepeat[1] = columns;
    std::copy(colours, colours + 16, ctx.cfaColours);
}

bool PanasonicHeader(RawContext& ctx, int64_t base) {
    const int64_t at = raw_tell(ctx);
    raw_seek(ctx, base + 2, SEEK_SET);
    const bool panasonic = get2(ctx) == 0x55;
    raw_seek(ctx, at, SEEK_SET);
    return panasonic;
}

void PanasonicTag(RawContext& ctx, RawTiffIfd& ifd, uint32_t tag, int type) {
    const uint32_t v = get_value(ctx, type);
    RawContext::MakerData& maker = ctx.makerData;
    switch (tag) {
        case 2: ifd.width = v; break;
        case 3: ifd.height = v; break;
        case 4:  // borders: top, left, bottom, right
        case 5:
        case 6:
        case 7: maker.border[tag - 4] = uint16_t(std::min<uint32_t>(v, 65535)); break;
        case 9: {  // the 2 x 2 filter cell, red first, then by rows
            static constexpr uint8_t kCells[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
            if (v < 1 || v > 4) break;
            ctx.cfaRepeat[0] = ctx.cfaRepeat[1] = 2;
            std::copy(kCells[v - 1], kCells[v - 1] + 4, ctx.cfaColours);
            break;
        }
        case 0x0A: ifd.bitsPerSample = int32_t(v); break;
        case 0x0B: ifd.compression = int32_t(v); break;
        case 0x1C:  // black levels of red, green and blue; the mosaic's two
        case 0x1D:  // greens share theirs
        case 0x1E:
            maker.black[tag - 0x1C] = v;
            if (tag == 0x1D) maker.black[3] = v;
            maker.blackCount = 4;
            break;
        case 0x24:  // white balance levels of red, green and blue
        case 0x25:
        case 0x26: ctx.recordedMultipliers[tag - 0x24] = float(v); break;
        default: break;
    }
}

}  // namespace

void parse_maker_tiff_tag(RawContext& ctx, RawTiffIfd& ifd, int64_t base, uint32_t tag, int type, uint32_t count,
                          int depth) {
    if (tag == 41730) {
        ExifCfaPattern(ctx, count);
        return;
    }
    // The sensor record's tag numbers lie below the standard ones, in the
    // first directory of a file with Panasonic's header only.
    if (tag >= 2 && tag <= 0x26 && depth == 0 && count >= 1 && PanasonicHeader(ctx, base))
        PanasonicTag(ctx, ifd, tag, type);
}
