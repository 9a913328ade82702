// Header parsers of the RAW families that are no TIFF, CIFF or JPEG file at
// heart: Fujifilm RAF, Minolta MRW, Phantom Cine, Foveon X3F and the Contax
// N Digital header, with the Fuji loader of plain 16-bit sensor rows. Every
// header value that places or sizes something is checked against the file
// before it is used; a header the parser cannot follow leaves the camera
// named but without a loader, so the file is no RAW image to the caller.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "raw/raw_internal.h"

namespace {

constexpr uint16_t kBigEndian = 0x4D4D, kLittleEndian = 0x4949;

// 2 x 2 Bayer cells as pattern words (colour 0 red, 1 green, 2 blue).
constexpr uint32_t kRggb = 0x94949494u;
constexpr uint32_t kGbrg = 0x49494949u;

// The Fuji parser's record table: a 32-bit count, then records of a 16-bit
// tag, a 16-bit length and that many bytes, all big-endian.
void ParseFujiRecords(RawContext& ctx, int64_t offset) {
    if (!in_file(ctx, offset, 4)) return;
    ctx.byteOrder = kBigEndian;
    raw_seek(ctx, offset, SEEK_SET);
    const uint32_t count = get4(ctx);
    int64_t at = offset + 4;
    uint16_t cropTop = 0, cropLeft = 0, cropHeight = 0, cropWidth = 0;
    for (uint32_t i = 0; i < count && i < 256 && in_file(ctx, at, 4); ++i) {
        raw_seek(ctx, at, SEEK_SET);
        const uint16_t tag = get2(ctx), length = get2(ctx);
        at += 4;
        if (!in_file(ctx, at, length)) break;
        if (tag == 0x100 && length >= 4) {  // full sensor: height, width
            ctx.sensorHeight = get2(ctx);
            ctx.sensorWidth = get2(ctx);
        } else if (tag == 0x110 && length >= 4) {  // crop corner: top, left
            cropTop = get2(ctx);
            cropLeft = get2(ctx);
        } else if (tag == 0x111 && length >= 4) {  // cropped size: height, width
            cropHeight = get2(ctx);
            cropWidth = get2(ctx);
        } else if (tag == 0x2FF0 && length >= 8) {  // white balance levels G, R, G, B
            uint16_t v[4];
            for (uint16_t& x : v) x = get2(ctx);
            ctx.recordedMultipliers[0] = v[1];
            ctx.recordedMultipliers[1] = v[0];
            ctx.recordedMultipliers[2] = v[3];
            ctx.recordedMultipliers[3] = v[2];
        }
        at += length;
    }
    // The crop only counts when it lies inside the sensor.
    if (cropHeight && cropWidth && uint32_t(cropTop) + cropHeight <= ctx.sensorHeight &&
        uint32_t(cropLeft) + cropWidth <= ctx.sensorWidth) {
        ctx.sensorTop = cropTop;
        ctx.sensorLeft = cropLeft;
        ctx.visibleHeight = cropHeight;
        ctx.visibleWidth = cropWidth;
    }
}

}  // namespace

void parse_fuji_raf(RawContext& ctx) {
    // The camera's name follows the format identifier; the TIFF data of the
    // embedded JPEG names it too.
    char model[33] = {};
    raw_seek(ctx, 28, SEEK_SET);
    raw_read(ctx, model, 1, 32);
    set_camera_names(ctx, "FUJIFILM", model);
    ctx.byteOrder = kBigEndian;
    raw_seek(ctx, 84, SEEK_SET);
    const uint32_t thumbnail = get4(ctx);
    get4(ctx);  // thumbnail length
    const uint32_t records = get4(ctx);
    get4(ctx);  // record table length
    ctx.rawDataOffset = get4(ctx);
    const uint32_t rawLength = get4(ctx);
    if (thumbnail > 120) {
        raw_seek(ctx, 120, SEEK_SET);
        if (get4(ctx)) ++ctx.rawImageCount;  // a second raw image follows the first
    }
    ParseFujiRecords(ctx, records);
    // Uncompressed sensor rows of 16-bit samples fill the raw block exactly;
    // any other length is a layout this engine does not read.
    const uint64_t plain = uint64_t(ctx.sensorWidth) * ctx.sensorHeight * 2;
    if (plain && plain == rawLength) ctx.rawLoader = fuji_load_raw;
    if (in_file(ctx, int64_t(thumbnail) + 12, 8)) parse_tiff(ctx, int64_t(thumbnail) + 12);
    ctx.byteOrder = kBigEndian;
}

void fuji_load_raw(RawContext& ctx) {
    // Rows of big-endian 16-bit samples from the top of the sensor.
    std::vector<uint8_t> line(size_t(ctx.sensorWidth) * 2);
    for (int row = 0; row < ctx.sensorHeight; ++row) {
        const size_t got = raw_read(ctx, line.data(), 1, line.size());
        for (size_t col = 0; col < got / 2; ++col)
            store_sample(ctx, row, int(col), uint32_t(line[2 * col] << 8 | line[2 * col + 1]));
        if (got < line.size()) {
            report_data_error(ctx);
            return;
        }
    }
}

void parse_minolta(RawContext& ctx) {
    // Blocks of a 4-byte name and a 32-bit big-endian length; the first one
    // holds all others, and the sensor data starts right after it.
    ctx.byteOrder = kBigEndian;
    snprintf(ctx.maker, sizeof ctx.maker, "%s", "Minolta");  // the TIFF block names it better
    raw_seek(ctx, 4, SEEK_SET);
    const int64_t dataAt = int64_t(get4(ctx)) + 8;
    if (!in_file(ctx, dataAt, 0)) return;
    int64_t at = 8;
    int rawDepth = 0;
    while (at + 8 <= dataAt) {
        raw_seek(ctx, at, SEEK_SET);
        const uint32_t name = get4(ctx), length = get4(ctx);
        const int64_t start = at + 8;
        if (length > dataAt - start) break;
        if (name == 0x00505244 && length >= 24) {  // "\0PRD": picture raw dimensions
            raw_seek(ctx, start + 8, SEEK_SET);  // past the firmware identifier
            ctx.sensorHeight = get2(ctx);
            ctx.sensorWidth = get2(ctx);
            ctx.visibleHeight = get2(ctx);
            ctx.visibleWidth = get2(ctx);
            rawDepth = raw_getc(ctx);
            const int bits = raw_getc(ctx);
            if (bits >= 8 && bits <= 16) ctx.sampleBits = bits;
            raw_seek(ctx, start + 23, SEEK_SET);
            const int bayer = raw_getc(ctx);
            ctx.cfaPattern = bayer == 4 ? kGbrg : kRggb;
        } else if (name == 0x00545457) {  // "\0TTW": TIFF tags of the camera
            parse_tiff(ctx, start);
            ctx.byteOrder = kBigEndian;
        }
        at = start + length;
    }
    ctx.rawDataOffset = uint32_t(dataAt);
    // The visible image starts at the sensor's corner and cannot be larger.
    if (ctx.visibleHeight > ctx.sensorHeight || ctx.visibleWidth > ctx.sensorWidth)
        ctx.visibleHeight = ctx.visibleWidth = 0;
    if (rawDepth == 16) ctx.rawLoader = unpacked_load_raw;       // one padded word per sample
    else if (rawDepth == 12) ctx.rawLoader = packed_12_load_raw;  // two samples in three bytes
    ctx.byteOrder = kBigEndian;
}

void parse_cine(RawContext& ctx) {
    // Little-endian: the file header, a bitmap header of the frames, and a
    // table of 64-bit offsets to the frames, each behind its annotation.
    ctx.byteOrder = kLittleEndian;
    snprintf(ctx.maker, sizeof ctx.maker, "%s", "CINE");
    raw_seek(ctx, 4, SEEK_SET);
    const uint16_t compression = get2(ctx);
    raw_seek(ctx, 20, SEEK_SET);
    const uint32_t frames = get4(ctx);
    const uint32_t bitmapAt = get4(ctx);
    get4(ctx);  // setup block
    const uint32_t offsetsAt = get4(ctx);
    get4(ctx);  // fractions of the trigger second
    ctx.timestamp = get4(ctx);
    if (!in_file(ctx, bitmapAt, 40)) return;
    raw_seek(ctx, int64_t(bitmapAt) + 4, SEEK_SET);
    const int32_t width = int32_t(get4(ctx)), height = int32_t(get4(ctx));
    get2(ctx);  // planes
    const int bits = get2(ctx);
    if (width <= 0 || width > 65535 || height == 0 || height < -65535 || height > 65535) return;
    ctx.sensorWidth = uint16_t(width);
    ctx.sensorHeight = uint16_t(height < 0 ? -height : height);
    // A positive height stores the bottom row first.
    ctx.orientation = height > 0 ? 2 : 0;
    if (!frames || !in_file(ctx, offsetsAt, 8)) return;
    raw_seek(ctx, offsetsAt, SEEK_SET);
    const uint32_t low = get4(ctx), high = get4(ctx);
    if (high || !in_file(ctx, low, 4)) return;
    raw_seek(ctx, low, SEEK_SET);
    const uint32_t annotation = get4(ctx);
    if (annotation < 4 || !in_file(ctx, int64_t(low) + annotation, 0)) return;
    ctx.rawDataOffset = low + annotation;
    // Raw (uninterpolated) frames only, and only rows without padding.
    if (compression != 2 || (uint64_t(width) * uint32_t(bits) / 8) % 4 != 0) return;
    if (bits == 8) {
        ctx.sampleBits = 8;
        ctx.rawLoader = eight_bit_load_raw;
    } else if (bits == 16) {
        ctx.sampleBits = 16;
        ctx.rawLoader = unpacked_load_raw;
    }
}

void parse_foveon(RawContext& ctx) {
    // Little-endian header: identifier, version, a 16-byte unique id, mark
    // bits, then the image's columns and rows. Its layered sensor data has
    // no loader here.
    ctx.byteOrder = kLittleEndian;
    snprintf(ctx.maker, sizeof ctx.maker, "%s", "Sigma");
    if (!in_file(ctx, 28, 8)) return;
    raw_seek(ctx, 28, SEEK_SET);
    const uint32_t columns = get4(ctx), rows = get4(ctx);
    if (columns > 65535 || rows > 65535) return;
    ctx.sensorWidth = uint16_t(columns);
    ctx.sensorHeight = uint16_t(rows);
    ctx.layeredSensor = 1;
    ctx.cfaPattern = 0;
}

void parse_contax(RawContext& ctx) {
    set_camera_names(ctx, "Contax", "N Digital");
    // Four camera multipliers in the order red, green, blue, second green:
    // value c belongs to colour c ^ (c >> 1).
    raw_seek(ctx, 60, SEEK_SET);
    for (int c = 0; c < 4; ++c) ctx.recordedMultipliers[c ^ (c >> 1)] = float(get4(ctx));
}
