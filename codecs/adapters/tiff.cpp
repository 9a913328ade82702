// TIFF adapter: Tagged Image File Format (TIFF Revision 6.0, Adobe, 1992,
// with the Adobe PageMaker 6.0 technical notes) decoded by libtiff 4 over a
// ZtFile.
//
// libtiff parses the directories and decompresses strips and tiles. Colour
// pages (YCbCr, CMYK, LogL, LogLuv, and RGB other than plain 8-bit) go whole
// to its RGBA reader; plain 8-bit RGB, bilevel, grey, palette, grey + alpha
// and CIE L*a*b* pages are read band by band (one strip, or one row of
// tiles; plain RGB strips line by line) and converted here: samples of any
// width are reduced to 8 bits, 16-bit grey is brightened as a whole, palettes
// wider than 8 bits become true colour, L*a*b* becomes sRGB.
//
// libtiff does not jump: its errors come back as return values. Its handle
// and every working buffer still belong to one TiffSession made by Decode, so
// that a raised failure releases them on its way out.
#include "codecs/adapters/tiff.h"

#include <tiffio.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codecs/on_demand.h"
#include "image/checked_math.h"
#include "image/codec_warnings.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"

namespace {

// The libtiff entry points the adapter calls.
#define ZENT_TIFF_ENTRY_POINTS(X) X(TIFFClientOpenExt) X(TIFFClose) X(TIFFComputeStrip) X(TIFFGetField) \
    X(TIFFGetFieldDefaulted) X(TIFFIsTiled) X(TIFFNumberOfDirectories) X(TIFFOpenOptionsAlloc) \
    X(TIFFOpenOptionsFree) X(TIFFOpenOptionsSetErrorHandlerExtR) X(TIFFOpenOptionsSetMaxSingleMemAlloc) \
    X(TIFFOpenOptionsSetWarningHandlerExtR) X(TIFFRGBAImageOK) X(TIFFReadEncodedStrip) X(TIFFReadRGBAImage) \
    X(TIFFReadScanline) X(TIFFReadTile) X(TIFFScanlineSize) X(TIFFSetDirectory) X(TIFFSetErrorHandler) \
    X(TIFFSetErrorHandlerExt) X(TIFFSetField) X(TIFFSetWarningHandler) X(TIFFSetWarningHandlerExt) \
    X(TIFFTileRowSize) X(TIFFTileSize)

// libtiff's entry points: loaded when the first TIFF is read, so that every
// other conversion starts without libtiff and the six libraries behind it.
ZENT_LIBRARY(TiffLibrary, Tiff, ZENT_TIFF_ENTRY_POINTS, "libtiff.so.6")

}  // namespace

// The libtiff handle, the stream it reads and the working buffers of one decode.
struct TiffSession {
    ZtFile* stream = nullptr;
    int64_t start = 0;           // stream position of the TIFF header
    ZtFileView view;             // the stream's bytes, for a tiled page
    std::vector<uint8_t> bytes;  // a copy of them, where the stream has no view
    const uint8_t* map = nullptr;  // what libtiff maps: the TIFF within either
    size_t mapSize = 0;
    TIFFOpenOptions* options = nullptr;
    TIFF* tif = nullptr;

    std::vector<uint32_t> raster;   // colour road: packed RGBA, bottom row first
    std::vector<uint8_t> table;     // palette wider than 8 bits: 4-byte entries
    std::vector<uint8_t> band;      // one strip, or one row of tiles, as decoded
    std::vector<uint8_t> tile;      // one tile
    std::vector<uint8_t> samples;   // one row with every sample reduced to 8 bits
    std::vector<uint8_t> shifts;    // 16-bit grey: brightening shift of each storage row

    TiffSession() = default;
    TiffSession(const TiffSession&) = delete;
    TiffSession& operator=(const TiffSession&) = delete;
    ~TiffSession() { Release(); }

    // Safe to call more than once.
    void Release() {
        if (tif) Tiff().TIFFClose(tif);
        tif = nullptr;
        if (options) Tiff().TIFFOpenOptionsFree(options);
        options = nullptr;
        view.Release();
        map = nullptr;
        mapSize = 0;
        for (auto* v : {&bytes, &table, &band, &tile, &samples, &shifts}) std::vector<uint8_t>().swap(*v);
        std::vector<uint32_t>().swap(raster);
    }
};

// The values of the selected page that steer the decode.
struct TiffPage {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t samplesPerPixel = 1;
    uint16_t bitsPerSample = 1;
    uint32_t rowsPerStrip = UINT32_MAX;
    uint16_t photometric = 0;
    uint16_t orientation = 1;
    uint16_t compression = 1;
    uint32_t depth = 0;        // bits per pixel of the image made
    bool colourRoad = false;   // through libtiff's RGBA reader
    bool largePalette = false; // palette indices wider than 8 bits
    bool failLikeReader = false;  // 8-bit RGB read here fails as the RGBA reader would
};

namespace {

const bool kHostLittleEndian = [] {
    const uint16_t probe = 1;
    uint8_t first;
    memcpy(&first, &probe, 1);
    return first == 1;
}();

// Bytes past the end of every row buffer, so that a sample read through a
// 4-byte window at the row's last byte stays inside the buffer.
constexpr size_t kRowSlack = 8;
constexpr char kNoMemoryMessage[] = "ZtImageTIF can't allocate memory";

// --- client procedures over the byte stream --------------------------------

TiffSession& SessionOf(thandle_t handle) { return *static_cast<TiffSession*>(handle); }

tmsize_t ReadProc(thandle_t handle, void* buffer, tmsize_t size) {
    if (size <= 0) return 0;
    return tmsize_t(SessionOf(handle).stream->ReadBlocks(buffer, 1, size_t(size)));
}

tmsize_t WriteProc(thandle_t handle, void* buffer, tmsize_t size) {
    if (size <= 0) return 0;
    return tmsize_t(SessionOf(handle).stream->WriteBlocks(buffer, 1, size_t(size)));
}

// libtiff's offsets are 64-bit; the stream's are 32-bit. An offset the stream
// cannot express (BigTIFF beyond 2 GiB, a damaged pointer) is a failed seek.
toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
    TiffSession& s = SessionOf(handle);
    int64_t target;
    if (whence == SEEK_SET) {
        if (offset > uint64_t(INT32_MAX - s.start)) return toff_t(-1);
        target = s.start + int64_t(offset);
    } else {
        // Relative seeks carry a signed distance in the unsigned offset.
        target = int64_t(offset);
        if (target > INT32_MAX || target < INT32_MIN) return toff_t(-1);
    }
    const int origin = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? 1 : 2;
    if (!s.stream->SeekTo(int32_t(target), origin)) return toff_t(-1);
    if (whence == SEEK_SET) return offset;
    const int64_t position = int64_t(s.stream->Position()) - s.start;
    return position < 0 ? toff_t(-1) : toff_t(position);
}

// The stream belongs to the caller.
int CloseProc(thandle_t) { return 0; }

toff_t SizeProc(thandle_t handle) {
    TiffSession& s = SessionOf(handle);
    const int64_t length = int64_t(s.stream->Length()) - s.start;
    return length < 0 ? 0 : toff_t(length);
}

// libtiff reads a mapped file in place: the view of the stream, or its copy.
int MapProc(thandle_t handle, void** base, toff_t* size) {
    TiffSession& s = SessionOf(handle);
    if (!s.map || s.mapSize == 0) return 0;
    *base = const_cast<uint8_t*>(s.map);
    *size = toff_t(s.mapSize);
    return 1;
}

void UnmapProc(thandle_t, void*, toff_t) {}

// --- diagnostics -------------------------------------------------------------

void RouteWarning(const char* module, const char* format, va_list args) {
    char text[256];
    vsnprintf(text, sizeof text, format, args);
    if (module) {
        char line[320];
        snprintf(line, sizeof line, "%s: %s", module, text);
        ReportCodecWarning("libtiff", line);
    } else {
        ReportCodecWarning("libtiff", text);
    }
}

// Per-handle handlers: answering 1 keeps libtiff from calling the
// process-wide ones. Errors are dropped: the decode reports its own messages.
int HandleWarning(TIFF*, void*, const char* module, const char* format, va_list args) {
    RouteWarning(module, format, args);
    return 1;
}
int HandleError(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Messages libtiff raises without a handle (some codecs do) reach the
// process-wide handlers, silenced before the first TIFF is opened.
void GlobalWarning(const char* module, const char* format, va_list args) {
    RouteWarning(module, format, args);
}
bool SilenceGlobalHandlers() {
    Tiff().TIFFSetErrorHandler(nullptr);
    Tiff().TIFFSetErrorHandlerExt(nullptr);
    Tiff().TIFFSetWarningHandler(GlobalWarning);
    Tiff().TIFFSetWarningHandlerExt(nullptr);
    return true;
}

// --- opening -----------------------------------------------------------------

// Opens libtiff on the session's stream, from its position; false when
// libtiff refuses it. Unmapped, libtiff reads strips and directories through
// the procedures, holding one strip at a time. Mapped, it reads the TIFF in
// place: libtiff 4.5 refuses uncompressed tiles read through the procedures
// when a tile is not a multiple of 1 KiB, and takes them from a map. The map
// is a view of the stream (a file mapped by the system, a memory stream's
// bytes); only a stream without one is copied, and one too large for the
// memory ceiling is read through the procedures after all.
bool OpenTiffOnStream(TiffSession& s, ZtFile* stream, bool mapped) {
    s.stream = stream;
    s.start = stream->Position();
    if (s.start < 0) return false;

    if (mapped && stream->ViewContents(s.view) && uint64_t(s.start) < s.view.Size()) {
        s.map = s.view.Data() + s.start;
        s.mapSize = s.view.Size() - size_t(s.start);
    } else if (mapped) {
        s.view.Release();
        const int64_t length = int64_t(stream->Length()) - s.start;
        if (length > 0 && uint64_t(length) <= ZTIMAGE_MAX_MEMORY) {
            s.bytes.resize(size_t(length));
            // A stream that ends early is mapped as far as it goes.
            s.bytes.resize(stream->ReadBlocks(s.bytes.data(), 1, s.bytes.size()));
            if (!stream->SeekTo(int32_t(s.start), 0)) return false;
            s.map = s.bytes.data();
            s.mapSize = s.bytes.size();
        }
    }

    s.options = Tiff().TIFFOpenOptionsAlloc();
    if (!s.options) return false;
    // No single libtiff allocation may exceed what an image may hold.
    Tiff().TIFFOpenOptionsSetMaxSingleMemAlloc(s.options, tmsize_t(ZTIMAGE_MAX_MEMORY));
    Tiff().TIFFOpenOptionsSetErrorHandlerExtR(s.options, HandleError, nullptr);
    Tiff().TIFFOpenOptionsSetWarningHandlerExtR(s.options, HandleWarning, nullptr);
    // "m": no mapping.
    s.tif = Tiff().TIFFClientOpenExt("TIFF IMAGE", mapped ? "r" : "rm", &s, ReadProc, WriteProc, SeekProc, CloseProc,
                              SizeProc, MapProc, UnmapProc, s.options);
    return s.tif != nullptr;
}

// --- sizes -----------------------------------------------------------------

// A buffer size within the memory ceiling, or a failure with message.
size_t CheckedSize(uint64_t a, uint64_t b, uint64_t slack, const char* message) {
    uint64_t product = 0, total = 0;
    if (!CheckedMul(a, b, &product) || !CheckedAdd(product, slack, &total) || total > ZTIMAGE_MAX_MEMORY)
        FailDecode(message);
    return size_t(total);
}

// Whether each sample of the page is stored in a plane of its own.
bool SeparatePlanes(TIFF* tif, const TiffPage& page) {
    uint16_t planar = PLANARCONFIG_CONTIG;
    Tiff().TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    return planar == PLANARCONFIG_SEPARATE && page.samplesPerPixel > 1;
}

// The bytes of one row of one plane as libtiff delivers them, or a failure
// when a row alone is past the memory ceiling.
size_t SampleLineBytes(TIFF* tif, const TiffPage& page) {
    const uint32_t inPlane = SeparatePlanes(tif, page) ? 1 : page.samplesPerPixel;
    uint64_t lineBits = 0;
    if (!CheckedMul3(inPlane, page.bitsPerSample, page.width, &lineBits)) FailDecode(kNoMemoryMessage);
    return CheckedSize((lineBits + 7) / 8, 1, 0, kNoMemoryMessage);
}

// resize() that reports an allocation failure with the format's message.
template <class T>
void SizeBuffer(std::vector<T>& buffer, size_t count, const char* message) {
    try {
        buffer.assign(count, T(0));
    } catch (const std::bad_alloc&) {
        FailDecode(message);
    }
}

// A resolution or position from a floating-point tag, truncated toward zero;
// values an int32 cannot hold (NaN, infinities, huge values) become 0.
int32_t Truncated(double v) {
    if (!(v > double(INT32_MIN) && v < double(INT32_MAX))) return 0;
    return static_cast<int32_t>(v);
}

// --- samples -------------------------------------------------------------------

// Leading zero bits of a non-zero byte.
uint32_t LeadingZeros(uint8_t v) {
    uint32_t n = 0;
    while (!(v & 0x80)) {
        v = static_cast<uint8_t>(v << 1);
        ++n;
    }
    return n;
}

uint16_t Native16(const uint8_t* p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

// Sample i of a row whose samples are `bits` wide, reduced to one byte.
// libtiff delivers 16-, 24-, 32- and 64-bit samples in host byte order and
// every other width as a bit stream, most significant bit first. Up to 8 bits
// the byte is the sample's value; wider samples give their top 8 bits.
uint8_t SampleByte(const uint8_t* row, size_t i, uint32_t bits) {
    switch (bits) {
        case 8: return row[i];
        case 16: return static_cast<uint8_t>(Native16(row + 2 * i) >> 8);
        case 24: return row[3 * i + (kHostLittleEndian ? 2 : 0)];
        case 32: return row[4 * i + (kHostLittleEndian ? 3 : 0)];
        case 64: return row[8 * i + (kHostLittleEndian ? 7 : 0)];
        default: break;
    }
    const uint64_t bit = uint64_t(i) * bits;
    const uint8_t* p = row + (bit >> 3);
    const uint32_t o = uint32_t(bit & 7);
    const uint32_t window = (uint32_t(p[0]) << 8) | p[1];
    if (bits < 8) return static_cast<uint8_t>((window >> (16 - o - bits)) & ((1u << bits) - 1));
    return static_cast<uint8_t>(window >> (8 - o));  // the 8 bits from the sample's first bit
}

// The full value of sample i (at most 24 bits wide), for palette indices.
uint32_t SampleValue(const uint8_t* row, size_t i, uint32_t bits) {
    if (bits == 16) return Native16(row + 2 * i);
    if (bits == 24) {
        const uint8_t* p = row + 3 * i;
        return kHostLittleEndian ? p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16)
                                 : p[2] | (uint32_t(p[1]) << 8) | (uint32_t(p[0]) << 16);
    }
    const uint64_t bit = uint64_t(i) * bits;
    const uint8_t* p = row + (bit >> 3);
    const uint32_t o = uint32_t(bit & 7);
    const uint32_t window =
        (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    return (window >> (32 - o - bits)) & ((1u << bits) - 1);
}

// Writes 8-bit indices into a storage row of 1, 4 or 8 bits per pixel (at 24
// bits, the page's wide palette having no room for them, as grey).
void PackIndices(uint8_t* out, const uint8_t* indices, size_t step, uint32_t width, uint32_t depth) {
    if (depth == 24) {
        for (uint32_t x = 0; x < width; ++x) memset(out + 3 * size_t(x), indices[x * step], 3);
    } else if (depth == 8) {
        for (uint32_t x = 0; x < width; ++x) out[x] = indices[x * step];
    } else if (depth == 4) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t v = indices[x * step] & 0x0F;
            out[x / 2] = static_cast<uint8_t>(x % 2 ? (out[x / 2] & 0xF0) | v : (out[x / 2] & 0x0F) | (v << 4));
        }
    } else {
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t bit = static_cast<uint8_t>(0x80 >> (x % 8));
            out[x / 8] = static_cast<uint8_t>((indices[x * step] & 1) ? out[x / 8] | bit : out[x / 8] & ~bit);
        }
    }
}

// CIE L*a*b* (L 0..255, a and b signed) to sRGB bytes, D65 white.
ZtQuad LabToColour(uint8_t lightness, uint8_t aByte, uint8_t bByte) {
    const double a = aByte > 127 ? aByte - 256.0 : aByte;
    const double b = bByte > 127 ? bByte - 256.0 : bByte;
    const double p = (lightness / 2.55 + 16.0) / 116.0;
    const double x = std::pow(p + a * 0.002, 3) * 0.95047;
    const double y = p * p * p;
    const double z = std::pow(p - b * 0.005, 3) * 1.0883;
    auto channel = [](double v) -> uint8_t {
        v = v > 0.00304 ? 1.055 * std::pow(v, 0.41667) - 0.055 : 12.92 * v;
        const double scaled = v * 255.0;
        if (!(scaled > 0.0)) return 0;  // also NaN
        return scaled >= 255.0 ? 255 : static_cast<uint8_t>(scaled);
    };
    return ZtQuad{channel(0.055648 * x - 0.204043 * y + 1.057311 * z),
                  channel(-0.969256 * x + 1.875992 * y + 0.041556 * z),
                  channel(3.240479 * x - 1.53715 * y - 0.498535 * z), 0};
}

// Fills the 4-byte entries (blue, green, red, 0) of the page's palette.
void FillPalette(TIFF* tif, const TiffPage& page, uint8_t* table, uint32_t entries) {
    const uint32_t bits = page.bitsPerSample;
    const uint32_t d = std::min<uint32_t>(bits, 8);
    const uint32_t levels = 1u << d;
    if ((page.photometric == PHOTOMETRIC_MINISWHITE || page.photometric == PHOTOMETRIC_MINISBLACK)) {
        if (bits == 1) {
            const uint32_t white = page.photometric == PHOTOMETRIC_MINISBLACK ? 1 : 0;
            memset(table + 4 * white, 255, 3);
            return;
        }
        if (levels < 2) return;  // no bits per sample: black
        for (uint32_t i = 0; i < levels; ++i) {
            const uint8_t g = static_cast<uint8_t>(i * (255 / (levels - 1)));
            const uint8_t v = page.photometric == PHOTOMETRIC_MINISBLACK ? g : static_cast<uint8_t>(255 - g);
            memset(table + 4 * i, v, 3);
        }
        return;
    }
    if (page.photometric != PHOTOMETRIC_PALETTE) return;  // the table stays black
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    // libtiff keeps a colour map only when it has 2^bits entries per channel.
    if (!Tiff().TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue) || !red || !green || !blue) return;
    const uint32_t count = std::min(entries, page.largePalette ? (1u << bits) : levels);
    // Many writers store 8-bit values in the 16-bit map; any value of 256 or
    // more among the entries in use marks a true 16-bit map.
    bool sixteen = page.largePalette;
    for (uint32_t i = 0; i < count && !sixteen; ++i)
        sixteen = red[i] > 255 || green[i] > 255 || blue[i] > 255;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t* e = table + 4 * i;
        if (sixteen) {
            e[0] = static_cast<uint8_t>(blue[i] * 255u / 65535u);
            e[1] = static_cast<uint8_t>(green[i] * 255u / 65535u);
            e[2] = static_cast<uint8_t>(red[i] * 255u / 65535u);
        } else {
            e[0] = static_cast<uint8_t>(blue[i]);
            e[1] = static_cast<uint8_t>(green[i]);
            e[2] = static_cast<uint8_t>(red[i]);
        }
    }
}

}  // namespace

bool ZtImageTIF::Decode(ZtFile* stream) {
    TiffSession session;
    const bool ok = GuardDecode(*this, kNoMemoryMessage, [&] {
        if (!Tiff().loaded) FailDecode("cannot load libtiff.so.6");
        static const bool silenced = SilenceGlobalHandlers();
        (void)silenced;
        if (!stream || !OpenTiffOnStream(session, stream, false))
            FailDecode("Error encountered while opening TIFF file");
        return DecodePage(session);
    });
    session.Release();
    return ok;
}

DecodeOutcome ZtImageTIF::DecodePage(TiffSession& session) {
    TIFF* tif = session.tif;
    const tdir_t pages = Tiff().TIFFNumberOfDirectories(tif);
    frameCount = int32_t(std::min<tdir_t>(pages, INT32_MAX));
    const tdir_t wanted = tdir_t(uint32_t(frameIndex) & 0xFFFF);
    if (!Tiff().TIFFSetDirectory(tif, wanted)) FailDecode("Error: page not present in TIFF file");
    // The count stops at a damaged link that reading the page itself got past.
    if (uint64_t(frameCount) <= wanted) frameCount = int32_t(wanted + 1);
    if (Tiff().TIFFIsTiled(tif) && !SizeOnlyRequested()) {
        // Tiles are read from a map (see OpenTiffOnStream): open again, mapped.
        ZtFile* stream = session.stream;
        const int64_t start = session.start;
        session.Release();
        if (!stream->SeekTo(int32_t(start), 0) || !OpenTiffOnStream(session, stream, true))
            FailDecode("Error encountered while opening TIFF file");
        tif = session.tif;
        if (!Tiff().TIFFSetDirectory(tif, wanted)) FailDecode("Error: page not present in TIFF file");
    }

    TiffPage page;
    Tiff().TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &page.width);
    Tiff().TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &page.height);
    Tiff().TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &page.samplesPerPixel);
    Tiff().TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &page.bitsPerSample);
    Tiff().TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &page.rowsPerStrip);
    Tiff().TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &page.photometric);
    Tiff().TIFFGetField(tif, TIFFTAG_ORIENTATION, &page.orientation);
    if (SizeOnlyRequested())
        return ReportSize(page.width, page.height, ImageFormat::Tiff, "output dimensions returned");

    uint16_t unit = RESUNIT_INCH;
    Tiff().TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    float value = 0.0f;
    const auto dpi = [unit](float v) {
        // Centimetres: the factor and the rounding in single precision.
        if (unit == RESUNIT_CENTIMETER) v = v * 2.54f + 0.5f;
        return Truncated(v);
    };
    if (Tiff().TIFFGetField(tif, TIFFTAG_XRESOLUTION, &value)) SetHorizontalDpi(dpi(value));
    if (Tiff().TIFFGetField(tif, TIFFTAG_YRESOLUTION, &value)) SetVerticalDpi(dpi(value));
    if (Tiff().TIFFGetField(tif, TIFFTAG_XPOSITION, &value)) xOffset = Truncated(value);
    if (Tiff().TIFFGetField(tif, TIFFTAG_YPOSITION, &value)) yOffset = Truncated(value);

    header.paletteEntries = 0;
    transparentIndex = -1;
    // A strip never holds more rows than the page; 0 (no usable value) means one strip.
    if (page.rowsPerStrip > page.height || page.rowsPerStrip == 0) {
        page.rowsPerStrip = page.height;
        if (page.height) Tiff().TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, page.rowsPerStrip);
    }

    const uint16_t p = page.photometric;
    page.colourRoad = p == PHOTOMETRIC_RGB || p == PHOTOMETRIC_YCBCR || p == PHOTOMETRIC_SEPARATED ||
                      p == PHOTOMETRIC_LOGL || p == PHOTOMETRIC_LOGLUV;
    if (page.colourRoad || page.samplesPerPixel >= 3)
        page.depth = 24;  // off the colour road, three or more samples are CIE L*a*b*
    else if ((p == PHOTOMETRIC_MINISWHITE || p == PHOTOMETRIC_MINISBLACK || p == PHOTOMETRIC_PALETTE) &&
             page.bitsPerSample == 1)
        page.depth = 1;
    else if (page.bitsPerSample == 4)
        page.depth = 4;
    else if (p == PHOTOMETRIC_PALETTE && page.bitsPerSample > 8)
        page.depth = 24, page.largePalette = true;
    else
        page.depth = 8;

    if (abortCode != 0) FailDecode("Cancelled");
    // A sample row past the ceiling is refused before the picture is made.
    if (!page.colourRoad) SampleLineBytes(tif, page);
    if (!Create(page.width, page.height, page.depth, ImageFormat::Tiff))
        FailDecode("ZtImageTIF can't create image");
    if ((page.samplesPerPixel == 4 || (page.samplesPerPixel == 2 && page.bitsPerSample == 8)) &&
        !AddAlphaPlane())
        FailDecode("ZtImageTIF can't create image");
    Tiff().TIFFGetField(tif, TIFFTAG_COMPRESSION, &page.compression);
    SetDecoderOption(page.compression, ImageFormat::Unknown);

    if (page.colourRoad)
        ReadColourPage(session, page);
    else
        ReadSamplePage(session, page);
    return DecodeOutcome::Done;
}

void ZtImageTIF::ReadColourPage(TiffSession& session, const TiffPage& page) {
    const uint32_t width = page.width, height = page.height;
    // libtiff's RGBA reader knows RGB of 8 and 16 bits and CMYK of 8 only;
    // RGB and CMYK of other integer depths go the sample way instead.
    char refusal[1024];
    uint16_t format = SAMPLEFORMAT_UINT, inks = INKSET_CMYK;
    Tiff().TIFFGetFieldDefaulted(session.tif, TIFFTAG_SAMPLEFORMAT, &format);
    Tiff().TIFFGetFieldDefaulted(session.tif, TIFFTAG_INKSET, &inks);
    const bool rgb = page.photometric == PHOTOMETRIC_RGB && page.samplesPerPixel >= 3;
    const bool cmyk = page.photometric == PHOTOMETRIC_SEPARATED && page.samplesPerPixel >= 4 && inks == INKSET_CMYK;
    const bool readerKnows = page.bitsPerSample == 8 || (rgb && page.bitsPerSample == 16);
    if ((rgb || cmyk) && format != SAMPLEFORMAT_IEEEFP && (!readerKnows || !Tiff().TIFFRGBAImageOK(session.tif, refusal))) {
        ReadSamplePage(session, page);
        return;
    }
    // Plain 8-bit RGB needs none of the RGBA reader's work: its strips or
    // tiles go straight into the rows, through no 32-bit raster, and a strip
    // or tile that cannot be read fails the page as in the reader.
    if (rgb && page.samplesPerPixel == 3 && page.bitsPerSample == 8 && format == SAMPLEFORMAT_UINT) {
        TiffPage plain = page;
        plain.failLikeReader = true;
        ReadSamplePage(session, plain);
        return;
    }
    SizeBuffer(session.raster, CheckedSize(uint64_t(width) * 4, height, 0, "No space for raster buffer") / 4,
               "No space for raster buffer");
    if (!Tiff().TIFFReadRGBAImage(session.tif, width, height, session.raster.data(), 1))
        FailDecode("Corrupted TIFF file!");

    // The raster's rows start at the bottom of the picture, like the image's.
    const bool withAlpha = page.samplesPerPixel == 4 && HasAlphaPlane();
    for (uint32_t y = 0; y < height; ++y) {
        if (abortCode != 0) FailDecode("Cancelled");
        const uint32_t* in = session.raster.data() + size_t(y) * width;
        uint8_t* out = RowBits(y);
        for (uint32_t x = 0; x < width; ++x) {
            out[3 * x] = static_cast<uint8_t>(TIFFGetB(in[x]));
            out[3 * x + 1] = static_cast<uint8_t>(TIFFGetG(in[x]));
            out[3 * x + 2] = static_cast<uint8_t>(TIFFGetR(in[x]));
        }
        if (withAlpha) {
            uint8_t* a = AlphaPointer(0, int32_t(y));
            for (uint32_t x = 0; x < width; ++x) a[x] = static_cast<uint8_t>(TIFFGetA(in[x]));
        }
    }
    std::vector<uint32_t>().swap(session.raster);

    // The RGBA reader flips orientations 1 to 4 upright, and treats 5 to 8 as
    // 1 to 4 without the transpose: 6 comes back mirrored, 7 turned half
    // round, 8 flipped. Undo that, then turn the page as stored.
    bool ok = true;
    switch (page.orientation) {
        case ORIENTATION_RIGHTTOP: ok = MirrorHorizontal(false, true); break;
        case ORIENTATION_RIGHTBOT: ok = FlipVertical(false, true) && MirrorHorizontal(false, true); break;
        case ORIENTATION_LEFTBOT: ok = FlipVertical(false, true); break;
        default: break;
    }
    if (!ok) FailDecode(kNoMemoryMessage);
    if (page.orientation >= ORIENTATION_LEFTTOP && page.orientation <= ORIENTATION_LEFTBOT)
        TurnUpright(page.orientation);
}

void ZtImageTIF::ReadSamplePage(TiffSession& session, const TiffPage& page) {
    TIFF* tif = session.tif;
    const uint32_t width = page.width, height = page.height;
    const uint32_t bits = page.bitsPerSample;
    const uint32_t spp = page.samplesPerPixel;

    // Palette: grey levels, the colour map, or a wide table for large palettes.
    if (!page.colourRoad) {
        if (page.largePalette && bits > 24) FailDecode("Too big palette to handle");
        const uint32_t entries = page.largePalette ? 1u << bits : 256;
        SizeBuffer(session.table, size_t(entries) * 4, "Unable to allocate TIFF palette");
        FillPalette(tif, page, session.table.data(), entries);
        if (!page.largePalette) {
            LoadPaletteFromQuads(session.table.data(), 1u << std::min<uint32_t>(bits, 8));
            std::vector<uint8_t>().swap(session.table);
        }
    }

    // The samples the picture uses: grey (with alpha), L*a*b* (with alpha at
    // four samples), RGB (with alpha at four) or CMYK; further extra samples
    // are skipped.
    const bool cmyk = page.photometric == PHOTOMETRIC_SEPARATED;
    const uint32_t used = cmyk ? 4 : spp <= 2 ? spp : spp == 4 ? 4 : 3;

    // A band is one strip, or one row of tiles, of each plane read: one plane
    // holding all samples, or (planar configuration 2) one plane per sample
    // used. Rows are `line` bytes, the samples packed as libtiff delivers them.
    const bool separate = SeparatePlanes(tif, page);
    const uint32_t planes = separate ? used : 1;
    const uint32_t inPlane = separate ? 1 : spp;
    const size_t line = SampleLineBytes(tif, page);
    const bool tiled = Tiff().TIFFIsTiled(tif);
    uint32_t tileWidth = 0, bandRows = page.rowsPerStrip;
    size_t tileRowBytes = 0;
    if (tiled) {
        uint32_t tileLength = 0;
        Tiff().TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
        Tiff().TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileLength);
        const tmsize_t rowSize = Tiff().TIFFTileRowSize(tif), size = Tiff().TIFFTileSize(tif);
        if (tileWidth == 0 || tileLength == 0 || rowSize <= 0 || size <= 0 ||
            uint64_t(rowSize) * tileLength > uint64_t(size))
            FailDecode("Corrupted tiled TIFF file!");
        tileRowBytes = size_t(rowSize);
        bandRows = std::min(tileLength, height);
        // TIFFReadTile writes at most TIFFTileSize bytes.
        SizeBuffer(session.tile, CheckedSize(uint64_t(size), 1, 0, kNoMemoryMessage), kNoMemoryMessage);
    }
    // Codecs whose strips decode line by line exactly as whole: PackBits is
    // not one of them, as a run may cross into the next line.
    const bool linewise = page.compression == COMPRESSION_NONE || page.compression == COMPRESSION_LZW ||
                          page.compression == COMPRESSION_ADOBE_DEFLATE || page.compression == COMPRESSION_DEFLATE;
    if (page.failLikeReader && !tiled && !separate && linewise) {
        // Plain RGB strips are read line by line straight into the rows: no
        // band of decoded strips is held, however tall a strip is.
        const tmsize_t scanline = Tiff().TIFFScanlineSize(tif);
        if (scanline <= 0) FailDecode("Corrupted TIFF file!");
        SizeBuffer(session.band, CheckedSize(std::max<uint64_t>(line, uint64_t(scanline)), 1, kRowSlack, kNoMemoryMessage),
                   kNoMemoryMessage);
        const uint8_t* src = session.band.data();
        for (uint32_t y = 0; y < height; ++y) {
            if (abortCode != 0) FailDecode("Cancelled");
            if (Tiff().TIFFReadScanline(tif, session.band.data(), y, 0) < 0) FailDecode("Corrupted TIFF file!");
            uint8_t* out = RowBits(height - 1 - y);
            for (uint32_t x = 0; x < width; ++x) {
                out[3 * x] = src[3 * x + 2];
                out[3 * x + 1] = src[3 * x + 1];
                out[3 * x + 2] = src[3 * x];
            }
        }
        session.Release();
        TurnUpright(page.orientation);
        return;
    }
    const size_t planeBytes = CheckedSize(bandRows, line, kRowSlack, kNoMemoryMessage);
    SizeBuffer(session.band, CheckedSize(planeBytes, planes, 0, kNoMemoryMessage), kNoMemoryMessage);
    SizeBuffer(session.samples, CheckedSize(used, width, kRowSlack, kNoMemoryMessage), kNoMemoryMessage);
    const bool greySixteen = bits == 16 && spp == 1 && !page.largePalette;
    if (greySixteen) {
        SizeBuffer(session.shifts, height, kNoMemoryMessage);
        // Rows never decoded keep the largest shift, so they never set the page's.
        std::fill(session.shifts.begin(), session.shifts.end(), uint8_t(8));
    }

    const uint32_t rowBytes = uint32_t((uint64_t(width) * page.depth + 7) / 8);
    uint8_t* band = session.band.data();
    uint8_t* samples = session.samples.data();
    bool decoding = true;
    for (uint32_t ys = 0; ys < height && decoding; ys += bandRows) {
        if (abortCode != 0) FailDecode("Cancelled");
        const uint32_t nrow = std::min(bandRows, height - ys);
        for (uint32_t plane = 0; plane < planes && decoding; ++plane) {
            uint8_t* region = band + size_t(plane) * planeBytes;
            if (tiled) {
                size_t column = 0;  // byte column of the tile in the band's rows
                for (uint32_t col = 0; col < width && column < line; col += tileWidth) {
                    if (Tiff().TIFFReadTile(tif, session.tile.data(), col, ys, 0, uint16_t(plane)) < 0)
                        FailDecode(page.failLikeReader ? "Corrupted TIFF file!" : "Corrupted tiled TIFF file!");
                    // The last tile column is clipped to the page's width.
                    const size_t copy = std::min(tileRowBytes, line - column);
                    for (uint32_t r = 0; r < nrow; ++r)
                        memcpy(region + size_t(r) * line + column, session.tile.data() + size_t(r) * tileRowBytes,
                               copy);
                    column += tileRowBytes;
                }
            } else {
                const tmsize_t want = tmsize_t(size_t(nrow) * line);
                const tmsize_t got =
                    Tiff().TIFFReadEncodedStrip(tif, Tiff().TIFFComputeStrip(tif, ys, uint16_t(plane)), region, want);
                // A strip that cannot be decoded ends the reading: the rows so
                // far stay, the rest of the picture stays as Create left it (zero).
                if (got < 0 && page.failLikeReader) FailDecode("Corrupted TIFF file!");
                if (got < 0) decoding = false;
                // A strip shorter than its rows reads as zeros.
                else memset(region + got, 0, size_t(want - got));
            }
        }
        if (!decoding) break;

        for (uint32_t r = 0; r < nrow; ++r) {
            const uint8_t* src = band + size_t(r) * line;
            const uint32_t row = height - 1 - (ys + r);  // strip row r is picture row ys + r from the top
            uint8_t* out = RowBits(row);
            if (page.largePalette && spp == 1) {
                const uint8_t* table = session.table.data();
                for (uint32_t x = 0; x < width; ++x) memcpy(out + 3 * size_t(x), table + 4 * size_t(SampleValue(src, x, bits)), 3);
                continue;
            }
            if (spp == 1 && bits == page.depth) {
                memcpy(out, src, rowBytes);
                continue;
            }
            if (page.failLikeReader && !separate) {
                // 8-bit red, green, blue to blue, green, red.
                for (uint32_t x = 0; x < width; ++x) {
                    out[3 * x] = src[3 * x + 2];
                    out[3 * x + 1] = src[3 * x + 1];
                    out[3 * x + 2] = src[3 * x];
                }
                continue;
            }
            // The samples used, each reduced to one byte, pixel by pixel.
            if (greySixteen) {
                // Brighten by the row's largest sample; the rows are evened
                // out against the page's largest once all are read.
                uint8_t high = 0;
                for (size_t i = 0; i < width; ++i) high = std::max(high, src[2 * i + (kHostLittleEndian ? 1 : 0)]);
                const uint32_t shift = high == 0 ? 8 : LeadingZeros(high);
                session.shifts[row] = static_cast<uint8_t>(shift);
                for (size_t i = 0; i < width; ++i) samples[i] = static_cast<uint8_t>(Native16(src + 2 * i) >> (8 - shift));
            } else if (bits == 8 && used == inPlane) {
                memcpy(samples, src, size_t(used) * width);
            } else {
                // Colour samples narrower than a byte are scaled to 0..255;
                // grey ones stay palette indices.
                const bool scale = page.colourRoad && bits < 8;
                const uint32_t top = (1u << std::min<uint32_t>(bits, 8)) - 1;
                for (uint32_t k = 0; k < used; ++k) {
                    const uint8_t* plane = separate ? band + size_t(k) * planeBytes + size_t(r) * line : src;
                    for (uint32_t x = 0; x < width; ++x) {
                        const uint8_t v = SampleByte(plane, separate ? x : size_t(x) * spp + k, bits);
                        samples[size_t(x) * used + k] = scale && top ? static_cast<uint8_t>(v * 255u / top) : v;
                    }
                }
            }

            if (page.colourRoad) {
                for (uint32_t x = 0; x < width; ++x) {
                    const uint8_t* s = samples + size_t(x) * used;
                    if (cmyk) {
                        // As libtiff's RGBA reader separates ink.
                        const uint32_t k = 255u - s[3];
                        out[3 * x] = static_cast<uint8_t>(k * (255u - s[2]) / 255u);
                        out[3 * x + 1] = static_cast<uint8_t>(k * (255u - s[1]) / 255u);
                        out[3 * x + 2] = static_cast<uint8_t>(k * (255u - s[0]) / 255u);
                    } else {
                        out[3 * x] = s[2];
                        out[3 * x + 1] = s[1];
                        out[3 * x + 2] = s[0];
                    }
                }
                if (HasAlphaPlane()) {
                    uint8_t* a = AlphaPointer(0, int32_t(row));
                    for (uint32_t x = 0; x < width; ++x) a[x] = cmyk ? 255 : samples[4 * size_t(x) + 3];
                }
            } else if (spp == 1) {
                PackIndices(out, samples, 1, width, page.depth);
            } else if (spp == 2) {
                if (!HasAlphaPlane() && !AddAlphaPlane()) FailDecode(kNoMemoryMessage);
                PackIndices(out, samples, 2, width, page.depth);
                uint8_t* a = AlphaPointer(0, int32_t(row));
                for (uint32_t x = 0; x < width; ++x) a[x] = samples[2 * size_t(x) + 1];
            } else if (spp >= 3) {
                // CIE L*a*b*, with alpha at four samples.
                for (uint32_t x = 0; x < width; ++x) {
                    const uint8_t* s = samples + size_t(x) * used;
                    const ZtQuad c = LabToColour(s[0], s[1], s[2]);
                    out[3 * x] = c.blue;
                    out[3 * x + 1] = c.green;
                    out[3 * x + 2] = c.red;
                }
                if (spp == 4) {
                    uint8_t* a = AlphaPointer(0, int32_t(row));
                    for (uint32_t x = 0; x < width; ++x) a[x] = samples[4 * size_t(x) + 3];
                }
            }
        }
    }

    if (greySixteen) {
        // One brightening for the whole page: every sample >> (8 - m), m the
        // leading zero bits of the page's largest high byte.
        const uint8_t m = *std::min_element(session.shifts.begin(), session.shifts.end());
        for (uint32_t y = 0; y < height; ++y) {
            const uint32_t extra = session.shifts[y] - m;
            if (extra == 0) continue;
            uint8_t* out = RowBits(y);
            for (uint32_t x = 0; x < width; ++x) out[x] = static_cast<uint8_t>(out[x] >> extra);
        }
    }
    session.Release();
    TurnUpright(page.orientation);
}

void ZtImageTIF::TurnUpright(uint16_t orientation) {
    bool ok = true;
    switch (orientation) {
        case ORIENTATION_TOPRIGHT: ok = MirrorHorizontal(false, true); break;
        case ORIENTATION_BOTRIGHT: ok = FlipVertical(false, true) && MirrorHorizontal(false, true); break;
        case ORIENTATION_BOTLEFT: ok = FlipVertical(false, true); break;
        case ORIENTATION_LEFTTOP: ok = RotateRight(nullptr) && MirrorHorizontal(false, true); break;
        case ORIENTATION_RIGHTTOP: ok = RotateRight(nullptr); break;
        case ORIENTATION_RIGHTBOT: ok = RotateLeft(nullptr) && MirrorHorizontal(false, true); break;
        case ORIENTATION_LEFTBOT: ok = RotateLeft(nullptr); break;
        default: break;  // 1, and values the standard does not define
    }
    if (!ok) FailDecode(kNoMemoryMessage);
}
