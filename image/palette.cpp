// The palette of the image object: entries, loading from files' layouts, the
// grey ramp, the nearest-colour lookup and red/blue swapping.
#include <algorithm>
#include <cstring>

#include "image/zt_image.h"

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
    nearest.valid = false;
}

void ZtImage::LoadPaletteFromQuads(const uint8_t* quads, uint32_t count) {
    uint8_t* pal = PalettePointer();
    if (pal && quads) memcpy(pal, quads, std::min<uint64_t>(uint64_t(count) * 4, PaletteBytes()));
    nearest.valid = false;
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
    nearest.valid = false;
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
    nearest.valid = false;
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
    if (nearest.valid && colour == nearest.colour) return nearest.index;
    nearest.colour = colour;
    nearest.valid = true;
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
    nearest.index = static_cast<uint8_t>(best);
    return nearest.index;
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
