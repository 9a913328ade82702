// Rows and pixels of the image object: row pointers, index and colour access
// (y = 0 is the bottom line) and the expansion of masked 16- and 32-bit pixels.
#include <algorithm>
#include <cstring>

#include "image/byte_reader.h"
#include "image/zt_image.h"

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

