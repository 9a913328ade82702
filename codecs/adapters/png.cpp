// PNG adapter: Portable Network Graphics (W3C PNG Specification, Second
// Edition; ISO/IEC 15948) decoded by libpng 1.6 over a ZtFile.
//
// libpng parses, inflates, unfilters and de-interlaces; this adapter picks the
// image depth from the colour type, takes palette, transparency and
// resolution from the chunks, and moves every row into the image itself:
// 16-bit samples keep their high byte, alpha goes to the alpha plane, 2-bit
// pixels are widened to 4 bits, and rows are placed bottom-up.
//
// libpng reports errors by longjmp. The recovery point lives in
// ReadWithRecovery; everything that needs releasing (the read and info
// structures, the row buffer) belongs to a ZtPngSession created by Decode
// before the jump can happen, so its destructor runs on every way out and no
// frame between setjmp and longjmp holds an object with a destructor.
#include "codecs/adapters/png.h"

#include <png.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <memory>

#include "image/checked_math.h"
#include "image/codec_warnings.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

// The libpng handles and buffers of one decode.
struct ZtPngSession {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ZtBytes row;
    size_t rowBytes = 0;
    uint32_t channels = 0;

    ZtPngSession() = default;
    ZtPngSession(const ZtPngSession&) = delete;
    ZtPngSession& operator=(const ZtPngSession&) = delete;
    ~ZtPngSession() { Release(); }

    // Safe to call more than once.
    void Release() {
        row.reset();
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        png = nullptr;
        info = nullptr;
    }
};

namespace {

constexpr size_t kErrorTextSize = 256;  // size of the image's lastError

// libpng's read callback: the stream is the I/O pointer. A short read is an
// error, so a file cut anywhere fails with "Read Error".
void ReadFromStream(png_structp png, png_bytep data, size_t length) {
    ZtFile* stream = static_cast<ZtFile*>(png_get_io_ptr(png));
    if (!stream || stream->ReadBlocks(data, 1, length) < length) png_error(png, "Read Error");
}

// libpng's error callback: keep the message in the image's lastError (the
// error pointer) and return to the recovery point.
void StoreErrorAndJump(png_structp png, png_const_charp message) {
    char* target = static_cast<char*>(png_get_error_ptr(png));
    if (target) {
        const char* text = message ? message : "";
        const size_t n = strnlen(text, kErrorTextSize - 1);
        memcpy(target, text, n);
        target[n] = '\0';
    }
    png_longjmp(png, 1);
}

// libpng's warning callback: into the codec warning sink, not the console.
void RouteWarning(png_structp, png_const_charp message) { ReportCodecWarning("libpng", message); }

// libpng's own defaults, stated here so that no build of the library can
// loosen them: a million pixels a side (Create applies the memory ceiling
// after that), at most 1000 stored text or unknown chunks, and 8 MB for any
// one chunk's buffer or inflated text or profile.
constexpr png_uint_32 kMaxSide = 1000000;
constexpr png_uint_32 kMaxCachedChunks = 1000;
constexpr png_alloc_size_t kMaxChunkMemory = 8000000;

// libpng allocates the length an ancillary chunk claims before reading it,
// whatever the file holds: a text chunk claiming 2 GB costs seconds and
// gigabytes before the short read fails. Only IHDR, PLTE, tRNS, IDAT, IEND
// and pHYs feed the picture, so every other chunk is skipped as it is read,
// in small pieces, and a claim beyond the file's end fails at once.
void LimitLibrary(png_structp png) {
    png_set_user_limits(png, kMaxSide, kMaxSide);
    png_set_chunk_cache_max(png, kMaxCachedChunks);
    png_set_chunk_malloc_max(png, kMaxChunkMemory);
    // A negative count: every chunk libpng knows but IHDR, PLTE, tRNS, IDAT and IEND.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    static const png_byte kUsed[] = {'p', 'H', 'Y', 's', '\0'};
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_AS_DEFAULT, kUsed, 1);
}

// PNG colour type -> channels per pixel and the depth handed to Create.
bool ChannelsAndDepth(int colorType, int pixelDepth, uint32_t* channels, uint32_t* depth) {
    switch (colorType) {
        case PNG_COLOR_TYPE_GRAY:
            *channels = 1;
            *depth = pixelDepth > 8 ? 8 : uint32_t(pixelDepth);
            return true;
        case PNG_COLOR_TYPE_PALETTE:
            *channels = 1;
            *depth = uint32_t(pixelDepth);
            return true;
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            *channels = 2;
            *depth = 8;
            return true;
        case PNG_COLOR_TYPE_RGB:
            *channels = 3;
            *depth = 24;
            return true;
        case PNG_COLOR_TYPE_RGB_ALPHA:
            *channels = 4;
            *depth = 24;
            return true;
        default:
            return false;
    }
}

// A pHYs value with an unspecified unit, taken as it stands; values beyond
// int32 read as 0 (the default resolution).
int32_t AsDpi(png_uint_32 v) { return v > uint32_t(INT32_MAX) ? 0 : static_cast<int32_t>(v); }

}  // namespace

bool ZtImagePNG::Decode(ZtFile* stream) {
    ZtPngSession session;
    session.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!session.png) {
        SetLastError("Failed to create PNG structure");
        return false;
    }
    session.info = png_create_info_struct(session.png);
    if (!session.info) {
        SetLastError("Failed to initialize PNG info structure");
        return false;
    }
    const DecodeOutcome outcome = ReadWithRecovery(session, stream);
    session.Release();
    // A size-only request ends early but succeeds; every other way out is a
    // failure whose message (libpng's, ours or Create's) is already in lastError.
    return outcome != DecodeOutcome::Failed;
}

DecodeOutcome ZtImagePNG::ReadWithRecovery(ZtPngSession& session, ZtFile* stream) {
    // Only trivially destructible locals from here on: libpng may longjmp back.
    if (setjmp(png_jmpbuf(session.png))) return DecodeOutcome::Failed;

    png_set_read_fn(session.png, stream, ReadFromStream);
    png_set_error_fn(session.png, lastError, StoreErrorAndJump, RouteWarning);
    LimitLibrary(session.png);
    png_read_info(session.png, session.info);

    if (SizeOnlyRequested())
        return ReportSize(png_get_image_width(session.png, session.info),
                          png_get_image_height(session.png, session.info), ImageFormat::Png);
    if (!SetUpFromInfo(session)) return DecodeOutcome::Failed;
    if (!ReadRows(session)) return DecodeOutcome::Failed;
    png_read_end(session.png, nullptr);
    return DecodeOutcome::Done;
}

bool ZtImagePNG::SetUpFromInfo(ZtPngSession& session) {
    png_structp png = session.png;
    png_infop info = session.info;
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    const int bitDepth = png_get_bit_depth(png, info);
    const int colorType = png_get_color_type(png, info);
    const int pixelDepth = bitDepth * png_get_channels(png, info);

    uint32_t depth = 0;
    if (!ChannelsAndDepth(colorType, pixelDepth, &session.channels, &depth)) {
        SetLastError("unknown PNG color type");
        return false;
    }
    if (!Create(width, height, depth, ImageFormat::Png)) return false;

    // Resolution: unit 0 (also what a file without pHYs reports) takes the
    // values as they stand, 0 meaning the default; unit 1 is per metre.
    png_uint_32 xPerUnit = 0, yPerUnit = 0;
    int unit = PNG_RESOLUTION_UNKNOWN;
    png_get_pHYs(png, info, &xPerUnit, &yPerUnit, &unit);
    if (unit == PNG_RESOLUTION_UNKNOWN) {
        SetHorizontalDpi(AsDpi(xPerUnit));
        SetVerticalDpi(AsDpi(yPerUnit));
    } else if (unit == PNG_RESOLUTION_METER) {
        SetHorizontalDpi(DpiFromPelsPerMeter(xPerUnit));
        SetVerticalDpi(DpiFromPelsPerMeter(yPerUnit));
    }

    png_colorp palette = nullptr;
    int paletteCount = 0;
    png_get_PLTE(png, info, &palette, &paletteCount);
    if (paletteCount > 0 && palette) {
        LoadPaletteFromTriples(reinterpret_cast<const uint8_t*>(palette), uint32_t(paletteCount));
        SetImportantColors(uint32_t(paletteCount));
    } else if (bitDepth == 2) {
        for (uint32_t i = 0; i < 4; ++i) {
            const uint8_t v = static_cast<uint8_t>(i * 85);
            SetPaletteEntry(i, v, v, v, 0);
        }
    } else {
        SetGreyRamp();
    }

    // Transparency. A 16-bit file's tRNS values keep their high byte.
    const int shift = bitDepth > 8 ? 8 : 0;
    png_bytep transAlpha = nullptr;
    int transCount = 0;
    png_color_16p transColour = nullptr;
    const bool hasTrns =
        png_get_tRNS(png, info, &transAlpha, &transCount, &transColour) & PNG_INFO_tRNS;
    if (hasTrns && transCount == 1 && transColour) {
        // A palette file's one-byte tRNS describes entry 0, and libpng leaves
        // the colour record's index at 0 there.
        if (colorType == PNG_COLOR_TYPE_PALETTE)
            SetTransparentIndex(transColour->index);
        else
            SetTransparentIndex(transColour->gray >> shift);
    } else if (hasTrns && transCount > 1 && transAlpha && HasPalette()) {
        const uint32_t entries = PaletteEntries();
        const uint32_t n = std::min(entries, uint32_t(transCount));
        uint8_t* pal = PalettePointer();
        for (uint32_t i = 0; i < n; ++i) pal[4 * i + 3] = transAlpha[i];
        for (uint32_t i = n; i < entries; ++i) pal[4 * i + 3] = 255;
        paletteAlphaEnabled = true;
    }
    if (hasTrns && session.channels == 3 && transColour) {
        SetTransparentColor(ZtQuad{static_cast<uint8_t>(transColour->blue >> shift),
                                   static_cast<uint8_t>(transColour->green >> shift),
                                   static_cast<uint8_t>(transColour->red >> shift), 0});
        SetTransparentIndex(0);
    }

    if ((session.channels == 2 || session.channels == 4) && !AddAlphaPlane()) {
        SetLastError("ZtImage::Create can't allocate memory");
        return false;
    }
    if (colorType & PNG_COLOR_MASK_COLOR) png_set_bgr(png);
    if (abortCode != 0) return false;

    session.rowBytes = png_get_rowbytes(png, info);
    uint64_t bufferSize = 0;
    if (!CheckedAdd(session.rowBytes, 8, &bufferSize) || bufferSize > ZTIMAGE_MAX_MEMORY) {
        SetLastError("ZTIMAGE_MAX_MEMORY exceeded");
        return false;
    }
    session.row = AllocateBytes(size_t(bufferSize));
    if (!session.row) {
        SetLastError("ZtImage::Create can't allocate memory");
        return false;
    }
    return true;
}

bool ZtImagePNG::ReadRows(ZtPngSession& session) {
    png_structp png = session.png;
    png_infop info = session.info;
    const int passes = png_set_interlace_handling(png);
    SetDecoderOption(passes > 1 ? 1 : 0, ImageFormat::Unknown);

    const int bitDepth = png_get_bit_depth(png, info);
    const uint32_t channels = session.channels;
    const size_t sampleStep = bitDepth > 8 ? 2 : 1;
    const size_t pixelStep = size_t(bitDepth) * png_get_channels(png, info) / 8;
    const int32_t width = header.width;
    const int32_t height = header.height;
    const size_t samples = size_t(width) * channels;
    const size_t copyBytes = std::min<size_t>(session.rowBytes, rowStride);
    uint8_t* buffer = session.row.get();

    for (int pass = 0; pass < passes; ++pass) {
        const bool rebuild = pass > 0;
        const bool lastPass = pass == passes - 1;
        for (int32_t y = 0; y < height; ++y) {
            if (abortCode != 0) return false;
            const int32_t storageRow = height - 1 - y;
            if (alpha) {
                // Grey + alpha or RGB + alpha: colour to the pixels, alpha to the plane.
                uint8_t* out = RowBits(uint32_t(storageRow));
                if (rebuild) {
                    // libpng writes only this pass's pixels; the rest come
                    // back from what the earlier passes left in the image.
                    for (int32_t x = 0; x < width; ++x) {
                        uint8_t* p = buffer + size_t(x) * pixelStep;
                        if (channels == 2) {
                            p[0] = out[x];
                            p[sampleStep] = AlphaAtUnchecked(x, storageRow);
                        } else {
                            p[0] = out[3 * x];
                            p[sampleStep] = out[3 * x + 1];
                            p[2 * sampleStep] = out[3 * x + 2];
                            p[3 * sampleStep] = AlphaAtUnchecked(x, storageRow);
                        }
                    }
                }
                png_read_row(png, buffer, nullptr);
                for (int32_t x = 0; x < width; ++x) {
                    const uint8_t* p = buffer + size_t(x) * pixelStep;
                    if (channels == 2) {
                        out[x] = p[0];
                        SetAlphaAt(x, storageRow, p[sampleStep]);
                    } else {
                        out[3 * x] = p[0];
                        out[3 * x + 1] = p[sampleStep];
                        out[3 * x + 2] = p[2 * sampleStep];
                        SetAlphaAt(x, storageRow, p[3 * sampleStep]);
                    }
                }
            } else {
                uint8_t* out = RowBits(uint32_t(storageRow));
                if (rebuild) {
                    memcpy(buffer, out, copyBytes);
                    if (sampleStep == 2)
                        for (size_t i = samples; i-- > 0;) buffer[i * 2] = buffer[i];
                }
                png_read_row(png, buffer, nullptr);
                if (sampleStep == 2)
                    for (size_t i = 0; i < samples; ++i) buffer[i] = buffer[i * 2];
                memcpy(out, buffer, copyBytes);
                if (bitDepth == 2 && lastPass) ExpandTwoBitRow(out);
            }
        }
    }
    return true;
}

void ZtImagePNG::ExpandTwoBitRow(uint8_t* row) const {
    if (!row) return;
    // Right to left, so each wider pixel lands on bytes already read.
    for (int32_t x = header.width - 1; x >= 0; --x) {
        const uint8_t v = (row[x / 4] >> (2 * (3 - x % 4))) & 3;
        uint8_t& b = row[x / 2];
        if (x % 2 == 0)
            b = static_cast<uint8_t>((b & 0x0F) | (v << 4));
        else
            b = static_cast<uint8_t>((b & 0xF0) | v);
    }
}
