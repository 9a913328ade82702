// Identification's per-camera chain for the TIFF-based and headerless
// makers: what their own tags said about margins, filter pattern and black
// level, and the choice of the loader that the raw data's layout calls for.
//
// Only layouts that the TIFF tags determine are read here (one sample per
// 16-bit word, or samples packed most significant bit first with every row
// starting on a byte). The makers' own compressed and packed formats have no
// published description, so their files are identified but get no loader:
// identification then reports that there is no raw image, and the caller
// fails cleanly instead of showing noise.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "raw/raw_internal.h"

namespace {

// The raw image's directory when the raw data is the TIFF handler's choice,
// not data that another header parser located for a format of its own.
const RawTiffIfd* RawIfd(const RawContext& ctx) {
    if (ctx.rawIfd < 0 || size_t(ctx.rawIfd) >= ctx.tiffIfds.size()) return nullptr;
    const RawTiffIfd& raw = ctx.tiffIfds[size_t(ctx.rawIfd)];
    return !raw.offsets.empty() && raw.offsets[0] == ctx.rawDataOffset ? &raw : nullptr;
}

// Sensor borders from the maker's tags become the visible area.
void Margins(RawContext& ctx) {
    const uint16_t* b = ctx.makerData.border;  // top, left, bottom, right
    if (b[2] <= b[0] || b[3] <= b[1] || b[2] > ctx.sensorHeight || b[3] > ctx.sensorWidth) return;
    ctx.sensorTop = b[0];
    ctx.sensorLeft = b[1];
    ctx.visibleHeight = uint16_t(b[2] - b[0]);
    ctx.visibleWidth = uint16_t(b[3] - b[1]);
}

// A repeating pattern of the three primaries from the TIFF/EP or EXIF
// tags, seen from the visible area.
void Pattern(RawContext& ctx) {
    if (ctx.cfaPattern == 0xFFFFFFFFu && RawIfd(ctx)) ctx.cfaPattern = pattern_from_cfa_tags(ctx);
}

// Uncompressed data: the TIFF handler chose by sample width; the bytes the
// strips hold tell whether the samples sit one per 16-bit word or packed.
void UncompressedLayout(RawContext& ctx, const RawTiffIfd& raw) {
    if (raw.compression != 0 && raw.compression != 1) return;
    // Only the TIFF handler's own choices are revised.
    if (ctx.rawLoader && ctx.rawLoader != unpacked_load_raw && ctx.rawLoader != packed_12_load_raw &&
        ctx.rawLoader != nikon_packed_12_load_raw && ctx.rawLoader != eight_bit_load_raw)
        return;
    const uint64_t width = raw.width, height = raw.height;
    const int bits = raw.bitsPerSample;
    if (bits == 12 && uint64_t(ctx.tiffByteCount) * 5 == width * height * 8) {
        ctx.rawLoader = nullptr;  // 1.6 bytes a sample: olympus_e300_load_raw's layout, not built
        return;
    }
    if (bits == 12 && raw.photometric == 2) {
        ctx.rawLoader = nullptr;  // the further packed 12-bit layout, not built
        return;
    }
    uint64_t total = 0;
    for (uint32_t count : raw.byteCounts) total += count;
    if (total == 0 || bits <= 8 || bits > 16) return;
    // Tiles hold whole tile rows, also past the image's edges.
    const bool tiled = raw.tileWidth && raw.tileLength;
    if (raw.tileWidth > 65535 || raw.tileLength > 65535) return;
    const uint64_t rowWidth = tiled ? raw.tileWidth : width;
    const uint64_t rows = tiled ? uint64_t(raw.tileLength) * raw.offsets.size() : height;
    const uint64_t words = rowWidth * rows * 2, packed = (rowWidth * uint64_t(bits) + 7) / 8 * rows;
    if (total >= words)
        ctx.rawLoader = unpacked_load_raw;
    else if (bits < 16 && total >= packed && (!ctx.rawLoader || ctx.rawLoader == unpacked_load_raw))
        ctx.rawLoader = adobe_dng_load_raw_nc;  // strips of packed rows, as DNG stores them
    // The loaders above read one run of rows from the first offset; tiles,
    // or strips that do not follow each other, need the loader that walks
    // the blocks (16-bit words or packed rows, as in DNG).
    bool scattered = tiled;
    for (size_t i = 1; i < raw.offsets.size() && i < raw.byteCounts.size(); ++i)
        scattered |= uint64_t(raw.offsets[i]) != uint64_t(raw.offsets[i - 1]) + raw.byteCounts[i - 1];
    const bool blockLayout = bits == 16 || (total < words && total >= packed);
    if (scattered && ctx.rawLoader) ctx.rawLoader = blockLayout ? adobe_dng_load_raw_nc : nullptr;
}

// Kodak files whose raw data is a baseline (DCT) JPEG need a JPEG library
// that this engine does not use: refused, with a message.
void KodakJpeg(RawContext& ctx) {
    if (ctx.rawLoader != lossless_jpeg_load_raw || strncasecmp(ctx.maker, "Kodak", 5) != 0) return;
    LosslessJpeg jh;
    bool lossless = false;
    if (in_file(ctx, ctx.rawDataOffset, 4)) {
        raw_seek(ctx, ctx.rawDataOffset, SEEK_SET);
        lossless = lossless_jpeg_start(ctx, jh, true) && jh.sofMarker == 0xFFC3;
    }
    if (lossless) return;
    fprintf(stderr, "%s: Kodak raw data in DCT JPEG form needs an external JPEG library, which this engine does not use\n",
            ctx.fileName);
    ctx.rawLoader = nullptr;
}

}  // namespace

void camera_corrections(RawContext& ctx) {
    Margins(ctx);
    const RawContext::MakerData& maker = ctx.makerData;
    if (maker.blackCount > 0) {
        uint64_t sum = 0;
        for (int i = 0; i < maker.blackCount && i < 4; ++i) sum += maker.black[i];
        ctx.blackLevel = int32_t(sum / uint64_t(std::min(maker.blackCount, 4)));
    }
    Pattern(ctx);
    if (const RawTiffIfd* raw = RawIfd(ctx)) UncompressedLayout(ctx, *raw);
    KodakJpeg(ctx);
}
