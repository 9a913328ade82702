// The image object: storage, lifecycle (create, take over, views, copies) and
// settings. Pixel access is in pixels.cpp, the palette in palette.cpp, the
// alpha and selection planes and the transforms in transforms.cpp.
#include "image/zt_image.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

int32_t DpiFromPelsPerMeter(double pelsPerMeter) {
    const double dpi = std::floor(pelsPerMeter * 254.0 / 10000.0 + 0.5);
    if (dpi >= double(INT32_MAX)) return INT32_MAX;
    if (dpi <= double(INT32_MIN)) return INT32_MIN;
    return static_cast<int32_t>(dpi);
}

void* AllocateHugePages(size_t size) {
#ifdef __linux__
    if (size == 0 || size > SIZE_MAX - kZtHugePage) return nullptr;
    const size_t whole = (size + kZtHugePage - 1) & ~(kZtHugePage - 1);
    void* p = nullptr;
    if (posix_memalign(&p, kZtHugePage, whole) != 0) return nullptr;
    madvise(p, whole, MADV_HUGEPAGE);
    return p;
#else
    (void)size;
    return nullptr;
#endif
}

ZtBytes AllocateBytes(size_t n, bool zeroed) {
    if (n == 0) n = 1;
#ifdef __linux__
    // A large block goes to huge pages: aligned to them and rounded up to
    // whole ones, since left where calloc puts it, its unaligned first and
    // last stretches still took 700 small faults for a 24-megapixel picture
    // (35 now). Such a block is not promised to be zeroed, so it is cleared
    // here.
    if (n >= 4 * kZtHugePage && n <= SIZE_MAX - kZtHugePage) {
        void* p = AllocateHugePages(n);
        if (p && zeroed) memset(p, 0, n);
        return ZtBytes(static_cast<uint8_t*>(p));
    }
#endif
    return ZtBytes(static_cast<uint8_t*>(zeroed ? std::calloc(n, 1) : std::malloc(n)));
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
    nearest.valid = false;
}

bool ZtImage::ReleaseStorage() {
    if (viewOf) return false;
    layers.clear();
    layerCount = 0;
    ownedSelection.reset();
    ownedAlpha.reset();
    // Whoever reads rows of this block while it is decoded lets go first.
    if (rowObserver && ownedBlock) rowObserver->StorageReleased(*this);
    ownedBlock.reset();
    ClearStorageFields();
    return true;
}

void FitWithinBox(int64_t width, int64_t height, int64_t boxWidth, int64_t boxHeight, int64_t* outWidth,
                  int64_t* outHeight) {
    const int64_t w = width > 0 ? width : 1, h = height > 0 ? height : 1;
    int64_t nw = w, nh = h;
    // Rounded to the nearest pixel: (2 a b + c) / 2c.
    if (boxWidth > 0 && (boxHeight <= 0 || boxWidth * h <= boxHeight * w)) {
        nw = boxWidth;
        nh = (2 * h * nw + w) / (2 * w);
    } else if (boxHeight > 0) {
        nh = boxHeight;
        nw = (2 * w * nh + h) / (2 * h);
    }
    *outWidth = nw < 1 ? 1 : nw;
    *outHeight = nh < 1 ? 1 : nh;
}

uint32_t ZtImage::CheapReduction(uint32_t width, uint32_t height, const uint32_t* denominators, size_t count,
                                 uint32_t margin) const {
    if (targetBoxWidth == 0 && targetBoxHeight == 0) return 1;
    int64_t tw = 0, th = 0;
    FitWithinBox(width, height, targetBoxWidth, targetBoxHeight, &tw, &th);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t d = denominators[i];
        if (d > 1 && (width + d - 1) / d >= uint64_t(tw) * margin && (height + d - 1) / d >= uint64_t(th) * margin)
            return uint32_t(d);
    }
    return 1;
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
    // Sizes in 64 bits, so no product can wrap; rows padded to 4 bytes. The
    // ceiling applies to the padded rows: a 1-pixel-wide 1-bit picture takes
    // 4 bytes a row, not 1 bit.
    const uint64_t stride = ((uint64_t(width) * depth + 31) / 32) * 4;
    const uint64_t imageBytes = stride * height;
    if (imageBytes > ZTIMAGE_MAX_MEMORY || width > INT32_MAX || height > INT32_MAX) {
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
    nearest.valid = false;
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
    nearest.valid = false;
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
