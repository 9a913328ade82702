// RAW adapter: runs the camera RAW engine (raw/) over the image library's
// byte stream and turns its 16-bit, four-channel pixel array into a 24-bit
// picture through the engine's output curve, in the engine's orientation.
// Where the engine does not decode a file's raw data (or the caller asks
// for it), the camera's largest embedded JPEG preview is decoded instead by
// the JPEG adapter, with the caller's settings, and turned the same way.
#include "codecs/adapters/raw.h"

#include <cstring>
#include <memory>
#include <vector>

#include "codecs/adapters/jpeg.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"
#include "raw/previews.h"
#include "raw/raw_context.h"
#include "raw/raw_stages.h"

namespace {

// The engine's file operations over a ZtFile; the stream belongs to the caller.
size_t StreamRead(void* s, void* b, size_t size, size_t count) { return static_cast<ZtFile*>(s)->ReadBlocks(b, size, count); }
size_t StreamWrite(void* s, const void* b, size_t size, size_t count) {
    return static_cast<ZtFile*>(s)->WriteBlocks(b, size, count);
}
int StreamSeek(void* s, int64_t offset, int origin) {
    // Offsets the stream's 32-bit positions cannot express fail the seek.
    if (offset > INT32_MAX || offset < INT32_MIN) return 0;
    return static_cast<ZtFile*>(s)->SeekTo(int32_t(offset), origin) ? 1 : 0;
}
int StreamClose(void*) { return 1; }
char* StreamGets(void* s, char* b, int maximum) { return static_cast<ZtFile*>(s)->GetLine(b, maximum); }
int StreamEof(void* s) { return static_cast<ZtFile*>(s)->AtEnd() ? 1 : 0; }
int64_t StreamTell(void* s) { return static_cast<ZtFile*>(s)->Position(); }
int StreamGetc(void* s) { return static_cast<ZtFile*>(s)->GetByte(); }
int StreamScanf(void* s, const char* format, void* target) {
    return static_cast<ZtFile*>(s)->ScanFormatted(format, target);
}
constexpr RawFileOps kZtRawStream = {StreamRead, StreamWrite, StreamSeek, StreamClose, StreamGets,
                                     StreamEof,  StreamTell,  StreamGetc, StreamScanf};

constexpr char kFileName[] = "ZtImageRAW";

// Releases what the context owns on every way out of the decode.
struct ContextGuard {
    RawContext& ctx;
    ~ContextGuard() { release_raw_context(ctx); }
};

// Whether the picture can be developed at half size, one pixel per 2 x 2 cell
// of the colour filter: a three-colour filter that repeats every two rows and
// columns (so each cell holds red, green and blue), on square photosites that
// are not laid out diagonally.
bool HalfSizeDevelops(const RawContext& ctx) {
    if (ctx.cfaPattern == 0 || ctx.cfaPattern == 1 || ctx.colourCount != 3 || ctx.layeredSensor ||
        ctx.fujiLayoutWidth != 0 || ctx.photositeAspect != 1)
        return false;
    bool seen[4] = {};
    for (int row = 0; row < 8; ++row)
        for (int col = 0; col < 2; ++col) {
            if (colourAt(ctx, row, col) != colourAt(ctx, row & 1, col)) return false;
            seen[colourAt(ctx, row, col)] = true;
        }
    return seen[0] && seen[1] && seen[2];
}

// Output pixel (row, col), top line first, of a picture turned by the
// engine's orientation code comes from source pixel (y, x) of a picture of
// sourceWidth x sourceHeight, as oriented_index maps it.
void SourceOf(int32_t orientation, int row, int col, int sourceWidth, int sourceHeight, int* y, int* x) {
    if (orientation & 4) std::swap(row, col);
    if (orientation & 2) row = sourceHeight - 1 - row;
    if (orientation & 1) col = sourceWidth - 1 - col;
    *y = row;
    *x = col;
}

// The decoded preview, turned by the orientation into the image.
bool TurnInto(ZtImage& image, ZtImageJPG& preview, int32_t orientation) {
    const int sw = preview.Width(), sh = preview.Height();
    const int width = orientation & 4 ? sh : sw, height = orientation & 4 ? sw : sh;
    if (!image.Create(uint32_t(width), uint32_t(height), 24, ImageFormat::CameraRaw)) return false;
    const bool trueColour = preview.BitsPerPixel() == 24;
    for (int row = 0; row < height; ++row) {
        if (image.AbortCode() != 0) FailDecode("Cancelled");
        uint8_t* out = image.RowBits(uint32_t(height - 1 - row));
        for (int col = 0; col < width; ++col) {
            int y = 0, x = 0;
            SourceOf(orientation, row, col, sw, sh, &y, &x);
            uint8_t* dst = out + 3 * size_t(col);
            if (trueColour) {
                memcpy(dst, preview.RowBits(uint32_t(sh - 1 - y)) + 3 * size_t(x), 3);
            } else {
                const ZtQuad q = preview.ColorAtUnchecked(x, sh - 1 - y, false);
                dst[0] = q.blue, dst[1] = q.green, dst[2] = q.red;
            }
        }
    }
    return true;
}

// The first of the previews (largest first) that the JPEG adapter decodes
// with the caller's settings, turned by the file's orientation, unless the
// camera stored it turned already (the orientation swaps the sides, and the
// preview's shape, landscape or portrait, is already not the sensor's).
// False when none decodes.
bool DecodePreview(ZtImage& image, RawContext& ctx, ZtFile* stream, bool fallback, DecodeOutcome* outcome) {
    const std::vector<RawPreview> previews = find_raw_previews(ctx);
    const uint32_t sensorWidth = ctx.visibleWidth ? ctx.visibleWidth : ctx.sensorWidth;
    const uint32_t sensorHeight = ctx.visibleHeight ? ctx.visibleHeight : ctx.sensorHeight;
    for (const RawPreview& p : previews) {
        std::vector<uint8_t> bytes;
        try {
            bytes.resize(size_t(p.length));
        } catch (const std::bad_alloc&) {
            continue;
        }
        if (p.offset > INT32_MAX || !stream->SeekTo(int32_t(p.offset), 0) ||
            stream->ReadBlocks(bytes.data(), 1, bytes.size()) != bytes.size())
            continue;
        ZtMemFile jpegStream(bytes.data(), bytes.size());
        ZtImageJPG jpeg;
        jpeg.InheritSettings(image);
        // The dimensions pass decodes the preview too: only a preview that
        // decodes is the one the decode would give.
        if (image.SizeOnlyRequested()) jpeg.SetAbortCode(0);
        if (!jpeg.Decode(&jpegStream)) {
            // A preview that does not decode gives way to the next one; a
            // cancelled decode ends here.
            if (image.AbortCode() != 0 && !image.SizeOnlyRequested()) FailDecode("Cancelled");
            continue;
        }
        int32_t orientation = ctx.orientation > 0 ? ctx.orientation & 7 : 0;
        if ((orientation & 4) && sensorWidth && sensorHeight &&
            (p.width > p.height) != (sensorWidth > sensorHeight))
            orientation = 0;
        // The preview's own size, whatever reduction the decode made.
        const uint32_t w = jpeg.FullWidth(), h = jpeg.FullHeight();
        const uint32_t width = orientation & 4 ? h : w, height = orientation & 4 ? w : h;
        if (image.SizeOnlyRequested()) {
            *outcome = image.ReportSize(width, height, ImageFormat::CameraRaw, "output dimensions returned");
            return true;
        }
        if (orientation == 0) {
            if (!image.TakeOver(jpeg, false)) FailDecode("");
            image.SetFormatId(ImageFormat::CameraRaw);
        } else if (!TurnInto(image, jpeg, orientation)) {
            FailDecode("");
        } else if (jpeg.Reduction() > 1) {
            // Turned, the short last column of a reduced preview is no longer
            // the last: the caller's filter reads the turned picture whole,
            // sized from the preview's full size.
            image.SetFullSize(width, height, 1);
        }
        if (fallback) report_preview_fallback(ctx, width, height);
        *outcome = DecodeOutcome::Done;
        return true;
    }
    return false;
}

DecodeOutcome DecodeRaw(ZtImage& image, ZtFile* stream, char* errorText, size_t errorSize) {
    auto owned = std::make_unique<RawContext>();
    RawContext& ctx = *owned;
    raw_context_init(ctx);
    ContextGuard guard{ctx};
    ctx.qualityOverride = int32_t(image.DecoderOption(ImageFormat::CameraRaw) & 3);
    ctx.fileName = kFileName;
    ctx.errorText = errorText;
    ctx.errorTextSize = errorSize;
    if (parse_raw_options(ctx, 0, nullptr) != 0) FailDecode("ZtImageRAW: unknown option");
    ctx.fileOps = &kZtRawStream;
    ctx.stream = stream;

    identify_raw(ctx);
    // A camera's file (a maker was named) whose raw data is not decoded
    // here converts its embedded preview, as does any file when asked.
    const bool decodable = ctx.rawImageCount != 0 && ctx.rawLoader;
    const bool wantPreview = image.DecoderOption(ImageFormat::CameraRaw) & ZtImageRAW::kOptionEmbeddedPreview;
    if ((!decodable || wantPreview) && ctx.maker[0]) {
        DecodeOutcome outcome = DecodeOutcome::Failed;
        if (DecodePreview(image, ctx, stream, !decodable, &outcome)) return outcome;
    }
    if (ctx.rawImageCount == 0) FailDecode("ZtImageRAW: not a raw image");
    if (!ctx.rawLoader) FailDecode("ZtImageRAW: missing raw decoder");
    if (image.SizeOnlyRequested())
        return image.ReportSize(ctx.visibleWidth, ctx.visibleHeight, ImageFormat::CameraRaw,
                                "output dimensions returned");

    // The size of the finished picture, turned as the camera says.
    const bool portrait = (ctx.orientation & 4) != 0;
    const uint32_t fullWidth = portrait ? ctx.visibleHeight : ctx.visibleWidth;
    const uint32_t fullHeight = portrait ? ctx.visibleWidth : ctx.visibleHeight;
    // A picture the caller reduces below half its size is developed at half
    // size: each pixel then holds one 2 x 2 cell's own photosites, an exact
    // average where demosaicing would only have estimated the missing colours.
    static const uint32_t kHalf[] = {2};
    ctx.halfSizeOutput = HalfSizeDevelops(ctx) && image.CheapReduction(fullWidth, fullHeight, kHalf, 1, 1) == 2;
    ctx.shrinkShift = ctx.halfSizeOutput ? 1 : 0;
    ctx.arrayHeight = uint16_t((ctx.visibleHeight + ctx.shrinkShift) >> ctx.shrinkShift);
    ctx.arrayWidth = uint16_t((ctx.visibleWidth + ctx.shrinkShift) >> ctx.shrinkShift);
    allocate_pixel_array(ctx, kFileName);
    if (ctx.metadataLength) {
        try {
            ctx.metadata.assign(ctx.metadataLength, 0);
        } catch (const std::bad_alloc&) {
            check_allocation(ctx, nullptr, kFileName);
        }
    }
    stream->SeekTo(int32_t(std::min<uint32_t>(ctx.rawDataOffset, INT32_MAX)), 0);
    ctx.rawLoader(ctx);

    if (ctx.zeroSamplesDead) fill_zero_pixels(ctx);
    fix_bad_pixels(ctx);
    ctx.demosaicQuality = ctx.qualityOverride;
    if (!ctx.layeredSensor) scale_colors(ctx);
    unshrink(ctx);
    if (ctx.cfaPattern) {
        if (ctx.demosaicQuality == 1 || ctx.colourCount > 3)
            vng_interpolate(ctx);
        else if (ctx.demosaicQuality == 0)
            bilinear_interpolate(ctx);
        else if (ctx.demosaicQuality == 2)
            ppg_demosaic(ctx);
        else
            ahd_interpolate(ctx);
    }
    if (!ctx.layeredSensor && ctx.colourCount == 3) median_smooth(ctx);
    if (ctx.rotateFuji) fuji_rotate(ctx);
    convert_to_rgb(ctx);
    if (ctx.rotateFuji) stretch(ctx);

    // Output: the array keeps its unswapped size; a portrait picture swaps
    // the visible one.
    ctx.arrayHeight = ctx.visibleHeight;
    ctx.arrayWidth = ctx.visibleWidth;
    if (ctx.orientation & 4) std::swap(ctx.visibleHeight, ctx.visibleWidth);
    if (!image.Create(ctx.visibleWidth, ctx.visibleHeight, 24, ImageFormat::CameraRaw)) FailDecode("");
    if (ctx.halfSizeOutput) image.SetFullSize(fullWidth, fullHeight, 2);
    // Three bytes a pixel: the image holds blue, green, red, whatever the
    // engine's colour count (a four-colour camera without a matrix keeps its
    // first three channels).
    const int colours = std::min(ctx.colourCount, 3);
    std::vector<uint8_t> curve(0x10000);
    build_output_curve(ctx, curve.data());
    const int width = ctx.visibleWidth, height = ctx.visibleHeight;
    const size_t start = oriented_index(ctx, 0, 0);
    const ptrdiff_t columnStep = ptrdiff_t(oriented_index(ctx, 0, 1)) - ptrdiff_t(start);
    const ptrdiff_t rowStep = ptrdiff_t(oriented_index(ctx, 1, 0)) - ptrdiff_t(oriented_index(ctx, 0, width));
    ptrdiff_t position = ptrdiff_t(start);
    for (int r = 0; r < height; ++r) {
        if (image.AbortCode() != 0) FailDecode("Cancelled");
        uint8_t* out = image.RowBits(uint32_t(height - 1 - r));
        for (int col = 0; col < width; ++col, position += columnStep) {
            if (position < 0 || size_t(position) >= ctx.pixelArray.size()) continue;  // never, with consistent sizes
            const RawPixel& p = ctx.pixelArray[size_t(position)];
            uint8_t* dst = out + 3 * size_t(col);
            dst[0] = curve[p[2]];  // blue
            dst[1] = curve[p[1]];
            dst[2] = colours >= 3 ? curve[p[0]] : curve[p[1]];
            if (colours == 1) dst[0] = dst[1] = dst[2] = curve[p[0]];
        }
        position += rowStep;
    }
    return DecodeOutcome::Done;
}

}  // namespace

bool ZtImageRAW::Decode(ZtFile* stream) {
    if (!stream) return false;
    char engineText[256] = {};
    const bool ok = GuardDecode(*this, "can't allocate memory", [&] {
        try {
            return DecodeRaw(*this, stream, engineText, sizeof engineText);
        } catch (const RawEngineAbort&) {
            // The engine wrote its message (an allocation that failed).
            if (engineText[0]) SetLastError(engineText);
            return DecodeOutcome::Failed;
        }
    });
    return ok;
}
