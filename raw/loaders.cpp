// Raw loaders of the RAW engine: uncompressed DNG (strips and tiles, 8 to 16
// bits, packed most significant bit first), lossless JPEG (DNG tiles and CR2
// slices), one 16-bit word per sample, one byte per sample through the tone
// curve, and 12-bit packed rows. Each stores the sample of every visible
// photosite in its filter colour; damaged or short data is reported once and
// what was read is kept.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "raw/raw_internal.h"

void store_sample(RawContext& ctx, int row, int col, uint32_t value) {
    const int r = row - ctx.sensorTop, c = col - ctx.sensorLeft;
    if (r < 0 || c < 0 || r >= ctx.visibleHeight || c >= ctx.visibleWidth) return;
    // With a shrink factor the 2 x 2 cell's photosites share one pixel, each
    // in its own colour's sample.
    const size_t pr = size_t(r) >> ctx.shrinkShift, pc = size_t(c) >> ctx.shrinkShift;
    if (pr >= ctx.arrayHeight || pc >= ctx.arrayWidth) return;
    ctx.pixelArray[pr * ctx.arrayWidth + pc][colourAt(ctx, r, c)] = uint16_t(std::min<uint32_t>(value, 65535));
}

namespace {

const RawTiffIfd* RawIfd(const RawContext& ctx) {
    return ctx.rawIfd >= 0 && size_t(ctx.rawIfd) < ctx.tiffIfds.size() ? &ctx.tiffIfds[size_t(ctx.rawIfd)] : nullptr;
}

// Applies the DNG linearization table, when the file has one.
uint32_t Linear(const RawContext& ctx, uint32_t v) {
    if (ctx.linearization.empty()) return v;
    return ctx.linearization[std::min<size_t>(v, ctx.linearization.size() - 1)];
}

// The rectangles (strips or tiles) of a TIFF raw image, in file order.
struct Block {
    uint32_t offset, top, left, height, width;
};
std::vector<Block> Blocks(const RawContext& ctx, const RawTiffIfd& ifd) {
    std::vector<Block> blocks;
    if (ifd.tileWidth && ifd.tileLength) {
        const uint32_t across = (ifd.width + ifd.tileWidth - 1) / ifd.tileWidth;
        for (size_t i = 0; i < ifd.offsets.size() && across; ++i) {
            const uint32_t top = uint32_t(i / across) * ifd.tileLength, left = uint32_t(i % across) * ifd.tileWidth;
            if (top >= ifd.height) break;
            blocks.push_back(Block{ifd.offsets[i], top, left, ifd.tileLength, ifd.tileWidth});
        }
    } else {
        const uint32_t rows = ifd.rowsPerStrip && ifd.rowsPerStrip < ifd.height ? ifd.rowsPerStrip : ifd.height;
        for (size_t i = 0; i < ifd.offsets.size() && rows; ++i) {
            const uint32_t top = uint32_t(i) * rows;
            if (top >= ifd.height) break;
            blocks.push_back(Block{ifd.offsets[i], top, 0, std::min(rows, ifd.height - top), ifd.width});
        }
    }
    (void)ctx;
    return blocks;
}

}  // namespace

void adobe_dng_load_raw_nc(RawContext& ctx) {
    const RawTiffIfd* ifd = RawIfd(ctx);
    if (!ifd) return;
    const int bits = ifd->bitsPerSample;
    for (const Block& block : Blocks(ctx, *ifd)) {
        if (!in_file(ctx, block.offset, 1)) {
            report_data_error(ctx);
            continue;
        }
        raw_seek(ctx, block.offset, SEEK_SET);
        // Rows start on byte boundaries; 16-bit samples follow the file's
        // byte order, narrower ones are packed most significant bit first.
        RawBitReader reader(ctx, false);
        // Tile rows below the image are padding; a block that runs past
        // the end of the file ends there.
        for (uint32_t r = 0; r < block.height && block.top + r < ifd->height; ++r) {
            reader.Reset();
            for (uint32_t c = 0; c < block.width; ++c) {
                uint32_t v;
                if (bits == 16) {
                    v = get2(ctx);
                } else if (bits == 8) {
                    const int b = raw_getc(ctx);
                    v = b < 0 ? 0 : uint32_t(b);
                } else {
                    v = reader.Bits(bits);
                }
                const uint32_t row = block.top + r, col = block.left + c;
                if (row < ifd->height && col < ifd->width) store_sample(ctx, int(row), int(col), Linear(ctx, v));
            }
            if (raw_eof(ctx)) {
                report_data_error(ctx);
                break;
            }
        }
    }
}

void lossless_jpeg_load_raw(RawContext& ctx) {
    const RawTiffIfd* ifd = RawIfd(ctx);
    if (!ifd) return;
    const bool tiled = ifd->tileWidth && ifd->tileLength;
    std::vector<Block> blocks = tiled ? Blocks(ctx, *ifd) : std::vector<Block>{Block{ctx.rawDataOffset, 0, 0, ifd->height, ifd->width}};
    // Black from the masked columns left of the image (Canon sensors).
    uint64_t blackSum = 0, blackCount = 0;
    const int blackFrom = 2, blackTo = ctx.sensorLeft > 4 ? ctx.sensorLeft - 2 : 0;
    std::vector<uint16_t> row, previous;
    for (const Block& block : blocks) {
        if (!in_file(ctx, block.offset, 4)) {
            report_data_error(ctx);
            continue;
        }
        raw_seek(ctx, block.offset, SEEK_SET);
        LosslessJpeg jh;
        if (!lossless_jpeg_start(ctx, jh, false)) {
            report_data_error(ctx);
            continue;
        }
        const int jwide = jh.wide * jh.clrs;
        const uint16_t* slices = ifd->slices;
        const bool sliced = !tiled && slices[1] > 0 && slices[2] > 0;
        const uint64_t sliceArea = uint64_t(slices[1]) * uint32_t(jh.high);
        RawBitReader bits(ctx, true);
        for (int jrow = 0; jrow < jh.high; ++jrow) {
            if (tiled) {
                // JPEG lines wholly below the tile or the image are never
                // stored: a frame that claims more of them ends here.
                const uint64_t firstRow = uint64_t(jrow) * uint32_t(jwide) / block.width;
                if (firstRow >= block.height || block.top + firstRow >= ifd->height) break;
            }
            // A restart interval of whole rows starts the prediction afresh.
            const bool restart = jh.restart > 0 && jrow > 0 && jh.restart % jh.wide == 0 &&
                                 (int64_t(jrow) * jh.wide) % jh.restart == 0;
            if (restart) bits.Reset();
            lossless_jpeg_row(ctx, jh, bits, row, jrow > 0 && !restart ? &previous : nullptr, jrow);
            for (int jcol = 0; jcol < jwide; ++jcol) {
                int r, c;
                if (sliced) {
                    // CR2: the image is cut into vertical slices, stored one
                    // after the other; the last one may be narrower.
                    const uint64_t i = uint64_t(jrow) * uint32_t(jwide) + uint32_t(jcol);
                    const uint64_t s = std::min<uint64_t>(i / sliceArea, slices[0]);
                    const uint64_t within = i - s * sliceArea;
                    const uint32_t width = s < slices[0] ? slices[1] : slices[2];
                    r = int(within / width);
                    c = int(s * slices[1] + within % width);
                } else if (tiled) {
                    // A tile may be coded as fewer, wider JPEG lines.
                    const uint64_t i = uint64_t(jrow) * uint32_t(jwide) + uint32_t(jcol);
                    r = int(block.top + i / block.width);
                    c = int(block.left + i % block.width);
                    if (uint32_t(c) >= block.left + block.width || uint32_t(r) >= block.top + block.height) continue;
                } else {
                    r = jrow;
                    c = jcol;
                }
                if (uint32_t(r) >= ifd->height || uint32_t(c) >= ifd->width) continue;
                const uint32_t v = Linear(ctx, row[size_t(jcol)]);
                if (ctx.blackFromLeftMargin && c >= blackFrom && c < blackTo && r >= ctx.sensorTop &&
                    r < ctx.sensorTop + ctx.visibleHeight) {
                    blackSum += v;
                    ++blackCount;
                }
                store_sample(ctx, r, c, v);
            }
            previous.swap(row);
        }
    }
    if (blackCount) ctx.blackLevel = int32_t(blackSum / blackCount);
}

void unpacked_load_raw(RawContext& ctx) {
    // One word per sample, sensorWidth words a row; bits above the sample
    // width are damage and are reported.
    const uint32_t limit = 1u << std::clamp(ctx.sampleBits, 1, 16);
    for (int row = 0; row < ctx.sensorHeight; ++row) {
        for (int col = 0; col < ctx.sensorWidth; ++col) {
            const uint32_t v = get2(ctx);
            if (v >= limit) report_data_error(ctx);
            store_sample(ctx, row, col, v);
        }
        if (raw_eof(ctx)) {
            report_data_error(ctx);
            return;
        }
    }
}

void eight_bit_load_raw(RawContext& ctx) {
    std::vector<uint8_t> line(ctx.sensorWidth);
    for (int row = 0; row < ctx.sensorHeight; ++row) {
        if (raw_read(ctx, line.data(), 1, line.size()) < line.size()) {
            report_data_error(ctx);
            return;
        }
        for (int col = 0; col < ctx.sensorWidth; ++col) store_sample(ctx, row, col, ctx.toneCurve[line[size_t(col)]]);
    }
}

namespace {

// 12-bit samples packed two into three bytes, most significant bits first,
// continuing across rows; the Nikon variant starts every row on a byte.
void Packed12(RawContext& ctx, bool nikon) {
    RawBitReader reader(ctx, false);
    for (int row = 0; row < ctx.sensorHeight; ++row) {
        if (nikon) reader.Reset();
        for (int col = 0; col < ctx.sensorWidth; ++col) store_sample(ctx, row, col, reader.Bits(12));
        if (raw_eof(ctx)) {
            report_data_error(ctx);
            return;
        }
    }
}

}  // namespace

void packed_12_load_raw(RawContext& ctx) { Packed12(ctx, false); }
void nikon_packed_12_load_raw(RawContext& ctx) { Packed12(ctx, true); }
