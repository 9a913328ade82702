// Alpha and selection planes and the whole-image transforms decoders use to
// turn stored pictures upright: flips, mirrors, quarter turns and negatives.
#include <algorithm>
#include <cstring>

#include "image/zt_image.h"

// --- alpha plane ---------------------------------------------------------------

bool ZtImage::AddAlphaPlane() {
    if (!alpha) {
        if (!pixelBlock || viewOf) return false;
        ownedAlpha = AllocateBytes(PlaneSize(), false);
        if (!ownedAlpha) return false;
        memset(ownedAlpha.get(), 255, PlaneSize());
        alpha = ownedAlpha.get();
    }
    return true;
}

void ZtImage::DropAlphaPlane() {
    if (viewOf) return;
    ownedAlpha.reset();
    alpha = nullptr;
}

void ZtImage::InvertAlphaPlane() {
    if (!alpha) return;
    const size_t n = PlaneSize();
    for (size_t i = 0; i < n; ++i) alpha[i] = static_cast<uint8_t>(~alpha[i]);
}

bool ZtImage::AlphaFromGreyImage(const ZtImage& src) {
    if (!src.HasGreyPalette() || src.Width() != Width() || src.Height() != Height() || !pixelBlock)
        return false;
    if (!alpha) {
        if (viewOf) return false;
        ownedAlpha = AllocateBytes(PlaneSize(), false);
        if (!ownedAlpha) return false;
        alpha = ownedAlpha.get();
    }
    const size_t w = uint32_t(header.width);
    // Only an 8-bit grey source holds one byte per pixel; narrower rows are
    // read as far as they go.
    const size_t take = std::min<size_t>(w, src.rowStride);
    for (int32_t y = 0; y < header.height; ++y) {
        uint8_t* dst = alpha + size_t(y) * w;
        memcpy(dst, src.RowBits(uint32_t(y)), take);
        if (take < w) memset(dst + take, 0, w - take);
    }
    return true;
}

void ZtImage::SetAlphaAt(int32_t x, int32_t y, uint8_t level) {
    if (alpha && Contains(x, y)) alpha[size_t(y) * uint32_t(header.width) + size_t(x)] = level;
}

uint8_t ZtImage::AlphaAt(int32_t x, int32_t y) const {
    if (!alpha || !Contains(x, y)) return 0;
    return AlphaAtUnchecked(x, y);
}

uint8_t* ZtImage::AlphaPointer(int32_t x, int32_t y) const {
    if (!alpha || !Contains(x, y)) return nullptr;
    return alpha + size_t(y) * uint32_t(header.width) + size_t(x);
}

uint8_t ZtImage::AlphaAtUnchecked(int32_t x, int32_t y) const {
    return alpha[size_t(y) * uint32_t(header.width) + size_t(x)];
}

bool ZtImage::FlipPlane(uint8_t* plane, uint32_t width, uint32_t height) {
    if (!plane) return false;
    auto scratch = AllocateBytes(width, false);
    if (!scratch) return false;
    for (uint32_t y = 0; y < height / 2; ++y) {
        uint8_t* a = plane + size_t(y) * width;
        uint8_t* b = plane + size_t(height - 1 - y) * width;
        memcpy(scratch.get(), a, width);
        memcpy(a, b, width);
        memcpy(b, scratch.get(), width);
    }
    return true;
}

ZtBytes ZtImage::MirroredPlane(const uint8_t* plane, uint32_t width,
                                                  uint32_t height) {
    auto out = AllocateBytes(size_t(width) * height, false);
    if (!out) return out;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* in = plane + size_t(y) * width;
        uint8_t* o = out.get() + size_t(y) * width;
        for (uint32_t x = 0; x < width; ++x) o[x] = in[width - 1 - x];
    }
    return out;
}

bool ZtImage::FlipAlphaPlane() {
    return FlipPlane(alpha, uint32_t(header.width), uint32_t(header.height));
}

bool ZtImage::MirrorAlphaPlane() {
    if (!alpha || viewOf) return false;
    auto mirrored = MirroredPlane(alpha, uint32_t(header.width), uint32_t(header.height));
    if (!mirrored) return false;
    ownedAlpha = std::move(mirrored);
    alpha = ownedAlpha.get();
    return true;
}

// --- selection plane ------------------------------------------------------------

bool ZtImage::AddSelection() {
    DropSelection();
    if (!pixelBlock || viewOf) return false;
    ownedSelection = AllocateBytes(PlaneSize(), true);
    selection = ownedSelection.get();
    return selection != nullptr;
}

void ZtImage::DropSelection() {
    if (viewOf) return;
    ownedSelection.reset();
    selection = nullptr;
    selectionBox = ZtRect{header.width, 0, 0, header.height};
}

bool ZtImage::Selected(int32_t x, int32_t y) const {
    if (!selection) return true;
    return SelectionAtUnchecked(x, y) != 0;
}

void ZtImage::SetSelectedAt(int32_t x, int32_t y, uint8_t level) {
    if (selection && Contains(x, y))
        selection[size_t(y) * uint32_t(header.width) + size_t(x)] = level;
}

uint8_t ZtImage::SelectionAtUnchecked(int32_t x, int32_t y) const {
    return selection[size_t(y) * uint32_t(header.width) + size_t(x)];
}

bool ZtImage::FlipSelection() {
    if (!FlipPlane(selection, uint32_t(header.width), uint32_t(header.height))) return false;
    const int32_t top = selectionBox.top;
    selectionBox.top = header.height - selectionBox.bottom;
    selectionBox.bottom = header.height - top;
    return true;
}

bool ZtImage::MirrorSelection() {
    if (!selection || viewOf) return false;
    auto mirrored = MirroredPlane(selection, uint32_t(header.width), uint32_t(header.height));
    if (!mirrored) return false;
    ownedSelection = std::move(mirrored);
    selection = ownedSelection.get();
    const int32_t left = selectionBox.left;
    selectionBox.left = header.width - selectionBox.right;
    selectionBox.right = header.width - left;
    return true;
}

// --- whole-image transforms ----------------------------------------------------------

bool ZtImage::FlipVertical(bool withSelection, bool withAlpha) {
    if (!pixelBlock) return false;
    auto scratch = AllocateBytes(rowStride, false);
    if (!scratch) return false;
    const uint32_t height = uint32_t(header.height);
    for (uint32_t y = 0; y < height / 2; ++y) {
        uint8_t* a = pixels + size_t(y) * rowStride;
        uint8_t* b = pixels + size_t(height - 1 - y) * rowStride;
        memcpy(scratch.get(), a, rowStride);
        memcpy(a, b, rowStride);
        memcpy(b, scratch.get(), rowStride);
    }
    if (withSelection) FlipSelection();
    if (withAlpha) FlipAlphaPlane();
    return true;
}

bool ZtImage::MirrorHorizontal(bool withSelection, bool withAlpha) {
    if (!pixelBlock) return false;
    auto copy = std::make_unique<ZtImage>(*this, false, true, true);
    if (!copy->pixelBlock) return false;
    const int32_t width = header.width;
    for (int32_t y = 0; y < header.height; ++y) {
        const uint8_t* in = RowBits(uint32_t(y));
        uint8_t* out = copy->RowBits(uint32_t(y));
        switch (header.bitsPerPixel) {
            case 8:
                for (int32_t j = 0; j < width; ++j) out[j] = in[width - 1 - j];
                break;
            case 24:
                for (int32_t j = 0; j < width; ++j)
                    memcpy(out + 3 * size_t(j), in + 3 * size_t(width - 1 - j), 3);
                break;
            default:
                for (int32_t j = 0; j < width; ++j) copy->SetIndexAt(j, y, IndexAt(width - 1 - j, y));
                break;
        }
    }
    if (withSelection) copy->MirrorSelection();
    if (withAlpha) copy->MirrorAlphaPlane();
    return TakeOver(*copy, true);
}

bool ZtImage::RotateLeft(ZtImage* target) { return Rotate(target, Turn::Left); }
bool ZtImage::RotateRight(ZtImage* target) { return Rotate(target, Turn::Right); }

bool ZtImage::Rotate(ZtImage* target, Turn turn) {
    if (!pixelBlock) return false;
    const int32_t W = header.width, H = header.height;
    auto tmp = std::make_unique<ZtImage>(ImageFormat::Unknown);
    tmp->InheritSettings(*this);
    if (!tmp->Create(uint32_t(H), uint32_t(W), header.bitsPerPixel, formatId)) {
        SetLastError(tmp->LastError());
        return false;
    }
    if (HasPalette())
        memcpy(tmp->PalettePointer(), PalettePointer(), std::min<uint32_t>(PaletteBytes(), 1024));
    if (alpha && !tmp->AddAlphaPlane()) return false;
    if (selection && !tmp->AddSelection()) return false;

    // Source (x, y) goes to target (H - 1 - y, x) on a left turn and to
    // (y, W - 1 - x) on a right turn.
    auto targetOf = [&](int32_t x, int32_t y, int32_t* tx, int32_t* ty) {
        if (turn == Turn::Left) {
            *tx = H - 1 - y;
            *ty = x;
        } else {
            *tx = y;
            *ty = W - 1 - x;
        }
    };
    // The inverse mapping: which source pixel lands on target (tx, ty).
    auto sourceOf = [&](int32_t tx, int32_t ty, int32_t* x, int32_t* y) {
        if (turn == Turn::Left) {
            *x = ty;
            *y = H - 1 - tx;
        } else {
            *x = W - 1 - ty;
            *y = tx;
        }
    };
    const int32_t TW = H, TH = W;
    if (header.bitsPerPixel == 1) {
        // The target block is zeroed by Create; set the bits that are set in the source.
        for (int32_t y = 0; y < H; ++y) {
            const uint8_t* row = RowBits(uint32_t(y));
            for (int32_t xb = 0; xb < (W + 7) / 8; ++xb) {
                const uint8_t byte = row[xb];
                if (!byte) continue;
                for (int32_t bit = 0; bit < 8; ++bit) {
                    const int32_t x = xb * 8 + bit;
                    if (x >= W) break;
                    if (byte & (0x80 >> bit)) {
                        int32_t tx, ty;
                        targetOf(x, y, &tx, &ty);
                        tmp->pixels[size_t(ty) * tmp->rowStride + size_t(tx >> 3)] |=
                            static_cast<uint8_t>(0x80 >> (tx & 7));
                    }
                }
            }
            if (turn == Turn::Left) tmp->progress = 100 * y / TW;
        }
    } else {
        const int32_t kBlock = 64;
        for (int32_t by = 0; by < TH; by += kBlock) {
            for (int32_t bx = 0; bx < TW; bx += kBlock) {
                const int32_t ey = std::min(by + kBlock, TH), ex = std::min(bx + kBlock, TW);
                for (int32_t ty = by; ty < ey; ++ty) {
                    if (turn == Turn::Right) tmp->progress = 100 * ty / TH;
                    for (int32_t tx = bx; tx < ex; ++tx) {
                        if (turn == Turn::Left) tmp->progress = 100 * tx / TW;
                        int32_t x, y;
                        sourceOf(tx, ty, &x, &y);
                        if (header.bitsPerPixel == 24)
                            memcpy(tmp->pixels + size_t(ty) * tmp->rowStride + 3 * size_t(tx),
                                   pixels + size_t(y) * rowStride + 3 * size_t(x), 3);
                        else
                            tmp->SetIndexAt(tx, ty, IndexAtUnchecked(x, y));
                    }
                }
            }
        }
    }
    if (alpha || selection) {
        for (int32_t y = 0; y < H; ++y) {
            for (int32_t x = 0; x < W; ++x) {
                int32_t tx, ty;
                targetOf(x, y, &tx, &ty);
                if (alpha) tmp->SetAlphaAt(tx, ty, AlphaAtUnchecked(x, y));
                if (selection) tmp->SetSelectedAt(tx, ty, SelectionAtUnchecked(x, y));
            }
        }
        const ZtRect old = selectionBox;
        if (turn == Turn::Left)
            tmp->selectionBox = ZtRect{H - old.top, old.right, H - old.bottom, old.left};
        else
            tmp->selectionBox = ZtRect{old.bottom, W - old.left, old.top, W - old.right};
    }
    return target ? target->TakeOver(*tmp, true) : TakeOver(*tmp, true);
}

bool ZtImage::InvertColors() {
    if (!pixelBlock) return false;
    if (header.bitsPerPixel > 8) {
        if (selection) {
            const int32_t x0 = std::max(selectionBox.left, 0), x1 = std::min(selectionBox.right, header.width);
            const int32_t y0 = std::max(selectionBox.bottom, 0), y1 = std::min(selectionBox.top, header.height);
            for (int32_t y = y0; y < y1; ++y)
                for (int32_t x = x0; x < x1; ++x)
                    if (SelectionAtUnchecked(x, y)) {
                        ZtQuad c = ColorAtUnchecked(x, y, true);
                        c.blue = static_cast<uint8_t>(~c.blue);
                        c.green = static_cast<uint8_t>(~c.green);
                        c.red = static_cast<uint8_t>(~c.red);
                        SetColorUnchecked(x, y, c, false);
                    }
        } else {
            for (uint32_t i = 0; i < header.imageBytes; ++i) pixels[i] = static_cast<uint8_t>(~pixels[i]);
        }
        transparentColor.blue = static_cast<uint8_t>(~transparentColor.blue);
        transparentColor.green = static_cast<uint8_t>(~transparentColor.green);
        transparentColor.red = static_cast<uint8_t>(~transparentColor.red);
        return true;
    }
    if (!HasGreyPalette()) {
        uint8_t* pal = PalettePointer();
        for (uint32_t i = 0; i < header.paletteEntries; ++i)
            for (int k = 0; k < 3; ++k) pal[4 * i + k] = static_cast<uint8_t>(~pal[4 * i + k]);
        return true;
    }
    if (selection) {
        for (int32_t y = 0; y < header.height; ++y)
            for (int32_t x = 0; x < header.width; ++x)
                if (SelectionAtUnchecked(x, y))
                    SetIndexUnchecked(x, y, static_cast<uint8_t>(~IndexAtUnchecked(x, y)));
    } else {
        for (uint32_t i = 0; i < header.imageBytes; ++i) pixels[i] = static_cast<uint8_t>(~pixels[i]);
    }
    return true;
}
