// The image object: storage, settings, pixel and palette access.
#include "image/zt_image.h"

#include "image/byte_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

int32_t DpiFromPelsPerMeter(double pelsPerMeter) {
    const double dpi = std::floor(pelsPerMeter * 254.0 / 10000.0 + 0.5);
    if (dpi >= double(INT32_MAX)) return INT32_MAX;
    if (dpi <= double(INT32_MIN)) return INT32_MIN;
    return static_cast<int32_t>(dpi);
}

ZtBytes AllocateBytes(size_t n, bool zeroed) {
    if (n == 0) n = 1;
    void* p = zeroed ? std::calloc(n, 1) : std::malloc(n);
    return ZtBytes(static_cast<uint8_t*>(p));
}

namespace {

uint32_t SupportedDepth(uint32_t bits) {
    if (bits <= 1) return 1;
    if (bits <= 4) return 4;
    if (bits <= 8) return 8;
    return 24;
}

// Resolutions past what the header's 32-bit field can hold are clamped to it.
int32_t PelsPerMeter(int32_t dpi) {
    const double pels = std::floor(dpi * 10000.0 / 254.0 + 0.5);
    return pels >= double(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(pels);
}

}  // namespace

ZtImage::ZtImage(uint32_t id) { InitDefaults(id); }

ZtImage::ZtImage(uint32_t width, uint32_t height, uint32_t bitsPerPixel, uint32_t id) {
    InitDefaults(id);
    Create(width, height, bitsPerPixel, id);
}

ZtImage::ZtImage(const ZtImage& src, bool withPixels, bool withSelection, bool withAlpha) {
    InitDefaults(src.formatId);
    Duplicate(src, withPixels, withSelection, withAlpha);
}

ZtImage::~ZtImage() {
    ReleaseFrames();
    ReleaseStorage();
}

void ZtImage::InitDefaults(uint32_t id) {
    ZtImageSettings& s = Settings();
    memset(&s, 0, sizeof s);
    header = ZtInfoHeader{};
    pixelBlock = nullptr;
    pixels = nullptr;
    viewOf = nullptr;
    parentLayer = nullptr;
    selection = nullptr;
    alpha = nullptr;
    formatId = id;
    transparentIndex = -1;
    quality = 90.0f;
    alphaMax = 255;
    enabled = true;
    littleEndianHost = true;
    SetHorizontalDpi(96);
    SetVerticalDpi(96);
}

void ZtImage::ClearStorageFields() {
    pixelBlock = nullptr;
    pixels = nullptr;
    selection = nullptr;
    alpha = nullptr;
}

bool ZtImage::ReleaseStorage() {
    if (viewOf) return false;
    layers.clear();
    layerCount = 0;
    ownedSelection.reset();
    ownedAlpha.reset();
    ownedBlock.reset();
    ClearStorageFields();
    return true;
}

bool ZtImage::ReleaseFrames() {
    if (viewOf) return false;
    frames.clear();
    frameCount = 0;
    return true;
}

uint8_t* ZtImage::Create(uint32_t width, uint32_t height, uint32_t bitsPerPixel, uint32_t id) {
    if (!ReleaseStorage()) return nullptr;
    if (width == 0 || height == 0) {
        SetLastError("ZtImage::Create : width and height must be greater than zero");
        return nullptr;
    }
    const uint32_t depth = SupportedDepth(bitsPerPixel);
    // Sizes in 64 bits, so no product can wrap; rows padded to 4 bytes.
    const uint64_t bitsTotal = uint64_t(width) * height * depth;
    const uint64_t stride = ((uint64_t(width) * depth + 31) / 32) * 4;
    const uint64_t imageBytes = stride * height;
    if (bitsTotal / 8 > ZTIMAGE_MAX_MEMORY || width > INT32_MAX || height > INT32_MAX ||
        imageBytes > UINT32_MAX - 40 - 1024) {
        SetLastError("ZTIMAGE_MAX_MEMORY exceeded");
        return nullptr;
    }
    header.paletteEntries = depth == 1 ? 2 : depth == 4 ? 16 : depth == 8 ? 256 : 0;
    rowStride = static_cast<uint32_t>(stride);
    formatId = id;
    header.headerSize = 40;
    header.width = static_cast<int32_t>(width);
    header.height = static_cast<int32_t>(height);
    header.planes = 1;
    header.bitsPerPixel = static_cast<uint16_t>(depth);
    header.compression = 0;
    header.imageBytes = static_cast<uint32_t>(imageBytes);

    // One zeroed block: header, palette, rows. Zeroed so that short pixel data
    // from a damaged file reads as black, never as stale memory.
    ownedBlock = AllocateBytes(BlockSize());
    if (!ownedBlock) {
        SetLastError("ZtImage::Create can't allocate memory");
        return nullptr;
    }
    pixelBlock = ownedBlock.get();
    memcpy(pixelBlock, &header, sizeof header);
    nearestCacheValid = false;
    pixels = pixelBlock + 40 + PaletteBytes();
    return pixelBlock;
}

void ZtImage::InheritSettings(const ZtImage& src) {
    if (pixelBlock) return;
    Settings() = src.Settings();
}

bool ZtImage::TakeOver(ZtImage& src, bool withFrames) {
    if (!ReleaseStorage()) return false;
    header = src.header;
    Settings() = src.Settings();
    if (src.viewOf) {
        // A view owns nothing to move; this image becomes a view of the same storage.
        MakeView(*src.viewOf);
    } else {
        ownedBlock = std::move(src.ownedBlock);
        ownedSelection = std::move(src.ownedSelection);
        ownedAlpha = std::move(src.ownedAlpha);
        layers = std::move(src.layers);
        pixelBlock = src.pixelBlock;
        pixels = src.pixels;
        selection = src.selection;
        alpha = src.alpha;
        for (auto& layer : layers) layer->parentLayer = this;
    }
    if (withFrames) {
        frames.clear();
        frames = std::move(src.frames);
        src.frames.clear();
    }
    src.header = ZtInfoHeader{};
    memset(&src.Settings(), 0, sizeof(ZtImageSettings));
    src.layers.clear();
    src.ClearStorageFields();
    return true;
}

void ZtImage::MakeView(const ZtImage& src) {
    header = src.header;
    Settings() = src.Settings();
    pixelBlock = src.pixelBlock;
    pixels = src.pixels;
    selection = src.selection;
    alpha = src.alpha;
    viewOf = &src;
}

size_t ZtImage::StoredFrames() const { return viewOf ? viewOf->StoredFrames() : frames.size(); }

const ZtImage* ZtImage::Frame(size_t index) const {
    if (viewOf) return viewOf->Frame(index);
    return index < frames.size() ? frames[index].get() : nullptr;
}

void ZtImage::AppendFrame(std::unique_ptr<ZtImage> frame) {
    if (frame) frames.push_back(std::move(frame));
}

void ZtImage::Duplicate(const ZtImage& src, bool withPixels, bool withSelection, bool withAlpha) {
    if (src.viewOf) {
        MakeView(src);
        return;
    }
    Settings() = src.Settings();
    header = src.header;
    if (!src.pixelBlock) {
        ReleaseStorage();
        return;
    }
    if (!Create(uint32_t(src.header.width), uint32_t(src.header.height), src.header.bitsPerPixel,
                src.formatId))
        return;
    if (withPixels && src.pixelBlock && BlockSize() == src.BlockSize()) {
        memcpy(pixelBlock, src.pixelBlock, BlockSize());
    } else if (src.HasPalette() && HasPalette()) {
        memcpy(PalettePointer(), src.PalettePointer(),
               std::min<size_t>(std::min(PaletteBytes(), src.PaletteBytes()), 1024));
    }
    const size_t planeSize = PlaneSize();
    if (withSelection && src.selection) {
        ownedSelection = AllocateBytes(planeSize, false);
        if (ownedSelection) memcpy(ownedSelection.get(), src.selection, planeSize);
        selection = ownedSelection.get();
    }
    if (withAlpha && src.alpha) {
        ownedAlpha = AllocateBytes(planeSize, false);
        if (ownedAlpha) memcpy(ownedAlpha.get(), src.alpha, planeSize);
        alpha = ownedAlpha.get();
    }
}

// --- settings -------------------------------------------------------------

void ZtImage::SetLastError(const char* text) {
    if (!text) text = "";
    size_t n = strnlen(text, sizeof lastError - 1);
    memcpy(lastError, text, n);
    lastError[n] = '\0';
}

bool ZtImage::SetFormatId(uint32_t id) {
    if (FormatSlot(id) != 0) {
        formatId = id;
        return true;
    }
    formatId = 0;
    return false;
}

void ZtImage::SetHorizontalDpi(int32_t dpi) {
    if (dpi <= 0) dpi = 96;
    xDpi = dpi;
    header.xPelsPerMeter = PelsPerMeter(dpi);
    if (pixelBlock && !viewOf) memcpy(pixelBlock + 24, &header.xPelsPerMeter, 4);
}

void ZtImage::SetVerticalDpi(int32_t dpi) {
    if (dpi <= 0) dpi = 96;
    yDpi = dpi;
    header.yPelsPerMeter = PelsPerMeter(dpi);
    if (pixelBlock && !viewOf) memcpy(pixelBlock + 28, &header.yPelsPerMeter, 4);
}

void ZtImage::SetTransparentIndex(int32_t index) {
    transparentIndex = index < static_cast<int64_t>(header.paletteEntries) ? index : 0;
}

void ZtImage::SetTransparentColor(ZtQuad colour) {
    colour.alpha = 0;
    transparentColor = colour;
}

void ZtImage::SetImportantColors(uint32_t count) {
    if (count == 0 || count > 256) {
        header.importantColors = 0;
    } else if (header.bitsPerPixel == 1) {
        header.importantColors = std::min<uint32_t>(count, 2);
    } else if (header.bitsPerPixel == 4) {
        header.importantColors = std::min<uint32_t>(count, 16);
    } else if (header.bitsPerPixel == 8) {
        header.importantColors = count;
    }
}

uint32_t ZtImage::DecoderOption(uint32_t id) const {
    int slot = FormatSlot(id);
    if (slot == 0) slot = FormatSlot(formatId);
    return decoderOptions[slot];
}

bool ZtImage::SetDecoderOption(uint32_t value, uint32_t id) {
    int slot = FormatSlot(id);
    if (slot == 0) slot = FormatSlot(formatId);
    decoderOptions[slot] = value;
    return true;
}

uint16_t ZtImage::LittleEndian16(uint16_t v) const {
    return littleEndianHost ? v : static_cast<uint16_t>((v >> 8) | (v << 8));
}

uint32_t ZtImage::LittleEndian32(uint32_t v) const {
    if (littleEndianHost) return v;
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

void ZtImage::InfoHeaderToHost(ZtInfoHeader& h) const {
    h.headerSize = LittleEndian32(h.headerSize);
    h.width = static_cast<int32_t>(LittleEndian32(static_cast<uint32_t>(h.width)));
    h.height = static_cast<int32_t>(LittleEndian32(static_cast<uint32_t>(h.height)));
    h.planes = LittleEndian16(h.planes);
    h.bitsPerPixel = LittleEndian16(h.bitsPerPixel);
    h.compression = LittleEndian32(h.compression);
    h.imageBytes = LittleEndian32(h.imageBytes);
    h.xPelsPerMeter = static_cast<int32_t>(LittleEndian32(static_cast<uint32_t>(h.xPelsPerMeter)));
    h.yPelsPerMeter = static_cast<int32_t>(LittleEndian32(static_cast<uint32_t>(h.yPelsPerMeter)));
    h.paletteEntries = LittleEndian32(h.paletteEntries);
    h.importantColors = LittleEndian32(h.importantColors);
}

// --- rows and pixels --------------------------------------------------------

uint8_t* ZtImage::RowBits(uint32_t row) const {
    if (!pixelBlock) return nullptr;
    if (row == 0) return pixels;
    if (row >= uint32_t(header.height)) return nullptr;
    return pixels + size_t(row) * rowStride;
}

bool ZtImage::Contains(int32_t x, int32_t y) const {
    return x >= 0 && x < header.width && y >= 0 && y < header.height;
}

void ZtImage::FillBits(uint8_t value) {
    if (!pixelBlock) return;
    if (header.bitsPerPixel == 1 && value) value = 255;
    if (header.bitsPerPixel == 4) value = static_cast<uint8_t>((value & 15) * 17);
    memset(pixels, value, header.imageBytes);
}

uint8_t ZtImage::IndexAt(int32_t x, int32_t y) const {
    if (!pixelBlock || !HasPalette()) return 0;
    if (!Contains(x, y)) {
        return transparentIndex >= 0 ? static_cast<uint8_t>(transparentIndex) : pixels[0];
    }
    return IndexAtUnchecked(x, y);
}

uint8_t ZtImage::IndexAtUnchecked(int32_t x, int32_t y) const {
    const uint8_t* row = pixels + size_t(y) * rowStride;
    switch (header.bitsPerPixel) {
        case 8: return row[x];
        case 4: return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
        case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
        default: return 0;
    }
}

void ZtImage::SetIndexAt(int32_t x, int32_t y, uint32_t index) {
    if (!pixelBlock || !HasPalette() || !Contains(x, y)) return;
    SetIndexUnchecked(x, y, index);
}

void ZtImage::SetIndexUnchecked(int32_t x, int32_t y, uint32_t index) {
    uint8_t* row = pixels + size_t(y) * rowStride;
    switch (header.bitsPerPixel) {
        case 8:
            row[x] = static_cast<uint8_t>(index);
            break;
        case 4: {
            uint8_t& b = row[x >> 1];
            if (x & 1)
                b = static_cast<uint8_t>((b & 0xF0) | (index & 0x0F));
            else
                b = static_cast<uint8_t>((b & 0x0F) | ((index & 0x0F) << 4));
            break;
        }
        case 1: {
            uint8_t mask = static_cast<uint8_t>(0x80 >> (x & 7));
            uint8_t& b = row[x >> 3];
            b = (index & 1) ? static_cast<uint8_t>(b | mask) : static_cast<uint8_t>(b & ~mask);
            break;
        }
        default:
            break;
    }
}

ZtQuad ZtImage::ColorAtUnchecked(int32_t x, int32_t y, bool withAlpha) const {
    ZtQuad c{};
    if (HasPalette()) {
        c = PaletteEntry(IndexAtUnchecked(x, y));
    } else {
        const uint8_t* p = pixels + size_t(y) * rowStride + size_t(x) * 3;
        c = ZtQuad{p[0], p[1], p[2], 0};
    }
    if (withAlpha && alpha) c.alpha = AlphaAtUnchecked(x, y);
    return c;
}

ZtQuad ZtImage::ColorAt(int32_t x, int32_t y, bool withAlpha) const {
    if (pixelBlock && Contains(x, y)) {
        ZtQuad c = transparentColor;
        if (HasPalette()) {
            c = PaletteEntry(IndexAtUnchecked(x, y));
        } else {
            const uint8_t* p = pixels + size_t(y) * rowStride + size_t(x) * 3;
            c.blue = p[0];
            c.green = p[1];
            c.red = p[2];
        }
        if (withAlpha && alpha) c.alpha = AlphaAtUnchecked(x, y);
        return c;
    }
    if (transparentIndex >= 0) {
        return header.bitsPerPixel < 24 ? PaletteEntry(uint32_t(transparentIndex)) : transparentColor;
    }
    if (!pixelBlock) return transparentColor;
    return ColorAt(0, 0, true);
}

uint8_t* ZtImage::PixelPointerUnchecked(int32_t x, int32_t y) const {
    if (HasPalette() || !pixels) return nullptr;
    return pixels + size_t(y) * rowStride + size_t(x) * 3;
}

void ZtImage::SetColorAt(int32_t x, int32_t y, ZtQuad colour, bool withAlpha) {
    if (!pixelBlock || !Contains(x, y)) return;
    SetColorUnchecked(x, y, colour, withAlpha);
}

void ZtImage::SetColorUnchecked(int32_t x, int32_t y, ZtQuad colour, bool withAlpha) {
    if (HasPalette()) {
        SetIndexUnchecked(x, y, NearestPaletteIndex(colour));
    } else {
        uint8_t* p = pixels + size_t(y) * rowStride + size_t(x) * 3;
        p[0] = colour.blue;
        p[1] = colour.green;
        p[2] = colour.red;
    }
    if (withAlpha) SetAlphaAt(x, y, colour.alpha);
}

void ZtImage::SetColorRefAt(int32_t x, int32_t y, uint32_t colorRef) {
    SetColorAt(x, y, QuadFromColorRef(colorRef), false);
}

namespace {

// One channel of a masked pixel widened or narrowed to 8 bits: the masked bits
// moved down to bit 0, then their top 8 bits kept (wide masks) or shifted up
// (narrow ones, so 5 bits of 31 give 248). Byte-aligned 8-bit masks give the
// masked byte itself; masks at any other position or width work the same way.
uint8_t MaskedChannel(uint32_t value, uint32_t mask) {
    if (mask == 0) return 0;
    const int low = __builtin_ctz(mask);
    const int width = 32 - __builtin_clz(mask) - low;
    const uint32_t v = (value & mask) >> low;
    return static_cast<uint8_t>(width > 8 ? v >> (width - 8) : v << (8 - width));
}

}  // namespace

void ZtImage::UnpackBitfields(const uint8_t* src, uint32_t redMask, uint32_t greenMask,
                              uint32_t blueMask, uint32_t srcBits) {
    if (!pixelBlock || !src || header.bitsPerPixel != 24) return;
    if (srcBits != 16 && srcBits != 32) return;
    const uint32_t width = uint32_t(header.width);
    const uint32_t height = uint32_t(header.height);
    if (srcBits == 16) {
        redMask &= 0xFFFF;
        greenMask &= 0xFFFF;
        blueMask &= 0xFFFF;
    }
    const size_t bytesPerPixel = srcBits / 8;
    const size_t srcStride = srcBits == 16 ? size_t((width + 1) / 2) * 4 : size_t(width) * 4;
    // Last row and last pixel first, so 16-bit rows can expand in place.
    for (uint32_t y = height; y-- > 0;) {
        const uint8_t* in = src + size_t(y) * srcStride;
        uint8_t* out = pixels + size_t(y) * rowStride;
        for (uint32_t x = width; x-- > 0;) {
            const uint8_t* p = in + bytesPerPixel * x;
            const uint32_t w = srcBits == 16 ? Get16LE(p) : Get32LE(p);
            const uint8_t blue = MaskedChannel(w, blueMask);
            const uint8_t green = MaskedChannel(w, greenMask);
            const uint8_t red = MaskedChannel(w, redMask);
            out[3 * x] = blue;
            out[3 * x + 1] = green;
            out[3 * x + 2] = red;
        }
    }
}

// --- palette -----------------------------------------------------------------

uint8_t* ZtImage::PalettePointer() const {
    if (!pixelBlock || !HasPalette()) return nullptr;
    return pixelBlock + 40;
}

ZtQuad ZtImage::PaletteEntry(uint32_t index) const {
    index &= 255;
    const uint8_t* pal = PalettePointer();
    if (!pal || index >= header.paletteEntries) return ZtQuad{};
    const uint8_t* e = pal + 4 * index;
    return ZtQuad{e[0], e[1], e[2], e[3]};
}

void ZtImage::SetPaletteEntry(uint32_t index, uint8_t red, uint8_t green, uint8_t blue,
                              uint8_t a) {
    index &= 255;
    uint8_t* pal = PalettePointer();
    if (pal && index < header.paletteEntries) {
        uint8_t* e = pal + 4 * index;
        e[0] = blue;
        e[1] = green;
        e[2] = red;
        e[3] = a;
    }
    nearestCacheValid = false;
}

void ZtImage::LoadPaletteFromQuads(const uint8_t* quads, uint32_t count) {
    uint8_t* pal = PalettePointer();
    if (pal && quads) memcpy(pal, quads, std::min<uint64_t>(uint64_t(count) * 4, PaletteBytes()));
    nearestCacheValid = false;
}

void ZtImage::LoadPaletteFromTriples(const uint8_t* triples, uint32_t count) {
    uint8_t* pal = PalettePointer();
    if (pal && triples) {
        const uint32_t n = std::min(count, header.paletteEntries);
        for (uint32_t i = 0; i < n; ++i) {
            pal[4 * i] = triples[3 * i + 2];
            pal[4 * i + 1] = triples[3 * i + 1];
            pal[4 * i + 2] = triples[3 * i];
        }
    }
    nearestCacheValid = false;
}

void ZtImage::LoadPaletteFromPlanes(uint32_t count, const uint8_t* reds, const uint8_t* greens,
                                    const uint8_t* blues) {
    if (!reds) return;
    if (!greens) greens = reds;
    if (!blues) blues = greens;
    uint8_t* pal = PalettePointer();
    if (pal) {
        const uint32_t n = std::min(count, header.paletteEntries);
        for (uint32_t i = 0; i < n; ++i) {
            pal[4 * i] = blues[i];
            pal[4 * i + 1] = greens[i];
            pal[4 * i + 2] = reds[i];
        }
    }
    nearestCacheValid = false;
}

void ZtImage::SetGreyRamp() {
    uint8_t* pal = PalettePointer();
    if (!pal || header.paletteEntries < 2) return;
    const uint32_t step = 255 / (header.paletteEntries - 1);
    for (uint32_t i = 0; i < header.paletteEntries; ++i) {
        const uint8_t v = static_cast<uint8_t>(i * step);
        pal[4 * i] = pal[4 * i + 1] = pal[4 * i + 2] = v;
    }
}

bool ZtImage::HasGreyPalette() const {
    const uint8_t* pal = PalettePointer();
    if (!pal) return false;
    for (uint32_t i = 0; i < header.paletteEntries; ++i) {
        const uint8_t* e = pal + 4 * i;
        if (e[0] != i || e[1] != i || e[2] != i) return false;
    }
    return true;
}

uint8_t ZtImage::NearestPaletteIndex(ZtQuad colour) {
    const uint8_t* pal = PalettePointer();
    if (!pal) return 0;
    if (nearestCacheValid && colour == nearestCacheColour) return nearestCacheIndex;
    nearestCacheColour = colour;
    nearestCacheValid = true;
    uint32_t n = header.importantColors ? header.importantColors : header.paletteEntries;
    n = std::min(n, header.paletteEntries);
    uint32_t best = 0;
    int32_t bestDistance = 200000;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* e = pal + 4 * i;
        const int32_t db = e[0] - colour.blue, dg = e[1] - colour.green, dr = e[2] - colour.red;
        const int32_t d = db * db + dg * dg + dr * dr;
        if (d < bestDistance) {
            best = i;
            bestDistance = d;
            if (d == 0) break;
        }
    }
    nearestCacheIndex = static_cast<uint8_t>(best);
    return nearestCacheIndex;
}

void ZtImage::SwapRedBlue(uint8_t* buffer, uint32_t byteCount) const {
    if (!buffer || HasPalette()) return;
    const uint64_t n = std::min<uint64_t>({byteCount, rowStride, uint64_t(uint32_t(header.width)) * 3});
    for (uint64_t i = 0; i + 3 <= n; i += 3) std::swap(buffer[i], buffer[i + 2]);
}

void ZtImage::SwapRedBlueAll() {
    if (!pixelBlock) return;
    if (HasPalette()) {
        uint8_t* pal = PalettePointer();
        for (uint32_t i = 0; i < header.paletteEntries; ++i) std::swap(pal[4 * i], pal[4 * i + 2]);
        return;
    }
    for (int32_t y = 0; y < header.height; ++y)
        SwapRedBlue(RowBits(uint32_t(y)), uint32_t(header.width) * 3);
}

ZtQuad ZtImage::QuadFromColorRef(uint32_t value) {
    return ZtQuad{static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
                  static_cast<uint8_t>(value), 0};
}
