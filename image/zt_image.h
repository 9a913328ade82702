// ZtImage: the in-memory picture. Pixels live in one block laid out as a
// device-independent bitmap: a 40-byte info header, the palette (4-byte
// entries blue, green, red, fourth byte) and bottom-up rows padded to 4 bytes.
// Optional width x height alpha and selection planes travel with the pixels.
// Every decoder derives from ZtImage and fills its own storage; the loader
// then moves that storage into the caller's image with TakeOver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "image/image_format.h"

class ZtFile;
enum class DecodeOutcome;

// Byte buffers of the image library are released with free().
struct ZtFreeBytes {
    void operator()(uint8_t* p) const { std::free(p); }
};
using ZtBytes = std::unique_ptr<uint8_t[], ZtFreeBytes>;

// The 2 MiB pages the kernel can back a large block with.
constexpr size_t kZtHugePage = size_t(2) << 20;

// A block of size bytes rounded up to whole huge pages, aligned to them and
// marked for the kernel to back with them, so that its first touch costs one
// fault per 2 MiB instead of one per 4 KiB; released with free(). Null where
// the system has no such pages (anything but Linux) or memory runs out.
void* AllocateHugePages(size_t size);

// Pixel data ceiling of one image: 256 MiB.
constexpr uint64_t ZTIMAGE_MAX_MEMORY = 268435456;

// The 40-byte Windows info header, little-endian in files and in the block.
struct ZtInfoHeader {
    uint32_t headerSize;
    int32_t width;
    int32_t height;
    uint16_t planes;
    uint16_t bitsPerPixel;
    uint32_t compression;
    uint32_t imageBytes;
    int32_t xPelsPerMeter;
    int32_t yPelsPerMeter;
    uint32_t paletteEntries;
    uint32_t importantColors;
};
static_assert(sizeof(ZtInfoHeader) == 40, "info header must be 40 bytes");

// A colour as stored in a palette entry and returned by ColorAt.
struct ZtQuad {
    uint8_t blue;
    uint8_t green;
    uint8_t red;
    uint8_t alpha;  // alpha, or 0
    bool operator==(const ZtQuad& o) const {
        return blue == o.blue && green == o.green && red == o.red && alpha == o.alpha;
    }
    bool operator!=(const ZtQuad& o) const { return !(*this == o); }
};

struct ZtRect {
    int32_t left, top, right, bottom;
};

class ZtImage;

// Watches a decode as it goes, so the rows a decoder has finished can be
// used while it decodes the rest. Decoders that write their rows once, top
// line first, announce them; the others never call it.
class ZtRowObserver {
public:
    virtual ~ZtRowObserver() = default;
    // On the decoding thread: the top rowsFromTop lines of image (the last
    // storage rows) and its palette are final and will not change again.
    virtual void RowsReady(const ZtImage& image, uint32_t rowsFromTop) = 0;
    // On the decoding thread, before image's storage is freed: returns only
    // once nothing reads that storage any more.
    virtual void StorageReleased(const ZtImage& image) = 0;
};

// The size of a picture of width x height fitted into a box of boxWidth x
// boxHeight, aspect ratio kept: the side whose limit binds takes it exactly,
// the other is rounded to the nearest pixel and is at least 1. A box side of
// 0 sets no limit on that side; a box of 0 x 0 keeps the size.
void FitWithinBox(int64_t width, int64_t height, int64_t boxWidth, int64_t boxHeight,
                  int64_t* outWidth, int64_t* outHeight);

// The settings block: copied as one unit by InheritSettings, TakeOver and
// Duplicate. Callers steer decoders through it and decoders report back.
struct ZtImageSettings {
    uint32_t rowStride;
    uint32_t formatId;
    char lastError[256];
    int32_t progress;
    int32_t abortCode;  // 0 decode; -1 dimensions only; other values cancel
    int32_t transparentIndex;
    ZtQuad transparentColor;
    float quality;
    uint8_t decodeScale;
    uint8_t decodeThreads;  // threads a decoder may use for one picture (0 or 1: the caller's alone)
    int32_t frameIndex;
    int32_t frameCount;
    uint32_t frameDelay;
    int32_t xDpi, yDpi;
    ZtRect selectionBox;
    uint8_t alphaMax;
    bool paletteAlphaEnabled;
    bool enabled;
    int32_t xOffset, yOffset;
    uint32_t decoderOptions[kFormatSlots];
    int32_t layerCount;
    uint32_t flags;
    uint8_t frameDisposal;
    bool keepAllFrames;
    bool littleEndianHost;
    // The box the caller will fit the picture into afterwards (FitWithinBox;
    // 0 x 0: the picture is used at its size). A decoder that can deliver a
    // reduced picture cheaply may deliver one down to that fitted size, never
    // smaller, and then reports the size it reduced from in fullWidth and
    // fullHeight and the denominator it divided them by, sides rounded up
    // (0 when it did not reduce).
    uint32_t targetBoxWidth, targetBoxHeight;
    uint32_t fullWidth, fullHeight, reduction;
    ZtRowObserver* rowObserver;  // not owned; null for none
};

class ZtImage : protected ZtImageSettings {
public:
    explicit ZtImage(uint32_t formatId = ImageFormat::Unknown);
    ZtImage(uint32_t width, uint32_t height, uint32_t bitsPerPixel, uint32_t formatId);
    ZtImage(const ZtImage& src, bool withPixels, bool withSelection, bool withAlpha);
    virtual ~ZtImage();
    ZtImage(const ZtImage&) = delete;
    ZtImage& operator=(const ZtImage&) = delete;

    // Lifecycle -------------------------------------------------------------
    uint8_t* Create(uint32_t width, uint32_t height, uint32_t bitsPerPixel, uint32_t formatId);
    bool ReleaseStorage();
    bool ReleaseFrames();
    void InheritSettings(const ZtImage& src);
    bool TakeOver(ZtImage& src, bool withFrames);
    void MakeView(const ZtImage& src);
    void Duplicate(const ZtImage& src, bool withPixels, bool withSelection, bool withAlpha);

    // Geometry and settings -------------------------------------------------
    int32_t Width() const { return header.width; }
    int32_t Height() const { return header.height; }
    uint32_t BitsPerPixel() const { return header.bitsPerPixel; }
    uint32_t RowStride() const { return rowStride; }
    uint32_t FormatId() const { return formatId; }
    bool SetFormatId(uint32_t id);
    int32_t HorizontalDpi() const { return xDpi; }
    int32_t VerticalDpi() const { return yDpi; }
    void SetHorizontalDpi(int32_t dpi);
    void SetVerticalDpi(int32_t dpi);
    uint8_t* BlockPointer() const { return pixelBlock; }
    bool HasPixels() const { return pixelBlock != nullptr; }
    bool HasPalette() const { return header.paletteEntries != 0; }
    uint32_t PaletteEntries() const { return header.paletteEntries; }
    uint32_t PaletteBytes() const { return header.paletteEntries * 4; }
    size_t BlockSize() const { return 40 + size_t(PaletteBytes()) + header.imageBytes; }
    uint32_t ImageBytes() const { return header.imageBytes; }
    const ZtInfoHeader& Header() const { return header; }
    const char* LastError() const { return lastError; }
    void SetLastError(const char* text);
    uint8_t QualityPercent() const { return static_cast<uint8_t>(static_cast<int>(quality + 0.5f)); }
    int32_t TransparentIndex() const { return transparentIndex; }
    void SetTransparentIndex(int32_t index);
    ZtQuad TransparentColor() const { return transparentColor; }
    void SetTransparentColor(ZtQuad colour);
    void SetImportantColors(uint32_t count);
    void SetTargetBox(uint32_t width, uint32_t height) {
        targetBoxWidth = width;
        targetBoxHeight = height;
    }
    // The size before a decoder's reduction: the picture's own size when it
    // was not reduced.
    uint32_t FullWidth() const { return fullWidth ? fullWidth : uint32_t(header.width > 0 ? header.width : 0); }
    uint32_t FullHeight() const { return fullHeight ? fullHeight : uint32_t(header.height > 0 ? header.height : 0); }
    // For decoders: the largest of the denominators (descending) by which a
    // picture of width x height may be divided, sides rounded up, and still
    // hold margin pixels in each direction for every pixel of its size fitted
    // into the target box; 1 without a box or when none does.
    uint32_t CheapReduction(uint32_t width, uint32_t height, const uint32_t* denominators, size_t count,
                            uint32_t margin) const;
    // The denominator of the decoder's reduction, 1 when it made none. Pixel
    // i of a reduced picture stands for pixels [d i, d i + d) of the full one,
    // so its last row and column may stand for fewer.
    uint32_t Reduction() const { return fullWidth && reduction ? reduction : 1; }
    // For decoders that deliver width x height divided by denominator, sides
    // rounded up; (0, 0, 0) when they did not reduce.
    void SetFullSize(uint32_t width, uint32_t height, uint32_t denominator) {
        fullWidth = width;
        fullHeight = height;
        reduction = denominator;
    }
    ZtRowObserver* RowObserver() const { return rowObserver; }
    void SetRowObserver(ZtRowObserver* observer) { rowObserver = observer; }
    // For decoders: tells the observer, if any, that the top rows are final.
    void AnnounceRows(uint32_t rowsFromTop) const {
        if (rowObserver) rowObserver->RowsReady(*this, rowsFromTop);
    }
    uint8_t DecodeScale() const { return decodeScale; }
    void SetDecodeScale(uint8_t scale) { decodeScale = scale; }
    // How many threads a decoder may use for one picture, the caller's
    // included (a JPEG decoder may decode its lower part on a second one).
    uint8_t DecodeThreads() const { return decodeThreads; }
    void SetDecodeThreads(uint8_t threads) { decodeThreads = threads; }
    int32_t AbortCode() const { return abortCode; }
    void SetAbortCode(int32_t code) { abortCode = code; }
    int32_t FrameIndex() const { return frameIndex; }
    void SetFrameIndex(int32_t index) { frameIndex = index; }
    int32_t FrameCount() const { return frameCount; }
    uint32_t FrameDelay() const { return frameDelay; }
    uint8_t FrameDisposal() const { return frameDisposal; }
    void SetFrameDisposal(uint8_t disposal) { frameDisposal = disposal; }
    bool KeepAllFrames() const { return keepAllFrames; }
    void SetKeepAllFrames(bool keep) { keepAllFrames = keep; }
    int32_t XOffset() const { return xOffset; }
    int32_t YOffset() const { return yOffset; }
    int32_t Progress() const { return progress; }
    bool PaletteAlphaEnabled() const { return paletteAlphaEnabled; }
    uint32_t DecoderOption(uint32_t id) const;
    bool SetDecoderOption(uint32_t value, uint32_t id);
    const ZtRect& SelectionBox() const { return selectionBox; }
    const ZtImage* ViewOf() const { return viewOf; }
    // The decoded frames, when a multi-frame decoder was asked to keep them.
    size_t StoredFrames() const;
    const ZtImage* Frame(size_t index) const;

    uint16_t LittleEndian16(uint16_t v) const;
    uint32_t LittleEndian32(uint32_t v) const;
    void InfoHeaderToHost(ZtInfoHeader& h) const;

    // Rows and pixels (y = 0 is the bottom line) -----------------------------
    uint8_t* RowBits(uint32_t row) const;
    bool Contains(int32_t x, int32_t y) const;
    void FillBits(uint8_t value);
    uint8_t IndexAt(int32_t x, int32_t y) const;
    uint8_t IndexAtUnchecked(int32_t x, int32_t y) const;
    void SetIndexAt(int32_t x, int32_t y, uint32_t index);
    void SetIndexUnchecked(int32_t x, int32_t y, uint32_t index);
    ZtQuad ColorAt(int32_t x, int32_t y, bool withAlpha) const;
    ZtQuad ColorAtUnchecked(int32_t x, int32_t y, bool withAlpha) const;
    uint8_t* PixelPointerUnchecked(int32_t x, int32_t y) const;
    void SetColorAt(int32_t x, int32_t y, ZtQuad colour, bool withAlpha);
    void SetColorUnchecked(int32_t x, int32_t y, ZtQuad colour, bool withAlpha);
    void SetColorRefAt(int32_t x, int32_t y, uint32_t colorRef);
    // Expands 16- or 32-bit masked pixels into this (already created) 24-bit
    // image. src holds height rows of ((width + 1) / 2) * 4 bytes (16 bits) or
    // width * 4 bytes (32 bits); at 16 bits it may be this image's own pixels.
    // Each channel is its masked bits scaled to 8 by shifting: 5 bits of 31
    // give 248, an 8-bit mask gives its byte, wider masks keep their top 8 bits.
    void UnpackBitfields(const uint8_t* src, uint32_t redMask, uint32_t greenMask,
                         uint32_t blueMask, uint32_t srcBits);

    // Palette ----------------------------------------------------------------
    uint8_t* PalettePointer() const;
    ZtQuad PaletteEntry(uint32_t index) const;
    void SetPaletteEntry(uint32_t index, uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha);
    void LoadPaletteFromQuads(const uint8_t* quads, uint32_t count);
    void LoadPaletteFromTriples(const uint8_t* triples, uint32_t count);
    void LoadPaletteFromPlanes(uint32_t count, const uint8_t* reds, const uint8_t* greens,
                               const uint8_t* blues);
    void SetGreyRamp();
    bool HasGreyPalette() const;
    uint8_t NearestPaletteIndex(ZtQuad colour);
    void SwapRedBlue(uint8_t* buffer, uint32_t byteCount) const;
    void SwapRedBlueAll();
    static ZtQuad QuadFromColorRef(uint32_t value);

    // Alpha plane --------------------------------------------------------------
    bool HasAlphaPlane() const { return alpha != nullptr; }
    bool AddAlphaPlane();
    void DropAlphaPlane();
    void InvertAlphaPlane();
    bool AlphaFromGreyImage(const ZtImage& src);
    void SetAlphaAt(int32_t x, int32_t y, uint8_t level);
    uint8_t AlphaAt(int32_t x, int32_t y) const;
    uint8_t* AlphaPointer(int32_t x, int32_t y) const;
    uint8_t AlphaAtUnchecked(int32_t x, int32_t y) const;
    bool FlipAlphaPlane();
    bool MirrorAlphaPlane();

    // Selection plane ------------------------------------------------------------
    bool HasSelection() const { return selection != nullptr; }
    bool AddSelection();
    void DropSelection();
    bool Selected(int32_t x, int32_t y) const;
    void SetSelectedAt(int32_t x, int32_t y, uint8_t level);
    uint8_t SelectionAtUnchecked(int32_t x, int32_t y) const;
    bool FlipSelection();
    bool MirrorSelection();

    // Whole-image transforms -------------------------------------------------------
    bool FlipVertical(bool withSelection, bool withAlpha);
    bool MirrorHorizontal(bool withSelection, bool withAlpha);
    bool RotateLeft(ZtImage* target);
    bool RotateRight(ZtImage* target);
    bool InvertColors();

    // Loading -------------------------------------------------------------------
    bool Decode(ZtFile* stream, uint32_t formatId);
    bool Decode(FILE* file, uint32_t formatId);
    bool LoadFromPath(const char* path, uint32_t formatId);
    bool LoadFromPath(const wchar_t* path, uint32_t formatId);
    // After a decoder failed: take over its message and, for formats with
    // several frames, how many frames it found.
    void AdoptFailure(const ZtImage& decoder, bool withFrameCount);

    // Dimensions-only mode (abortCode -1): a decoder stops after its header.
    bool SizeOnlyRequested() const { return abortCode == -1; }
    // Stores the size and format id without making pixels, and leaves message
    // in lastError when one is given. Returns DecodeOutcome::SizeOnly.
    DecodeOutcome ReportSize(uint32_t width, uint32_t height, uint32_t id,
                                const char* message = nullptr);

protected:
    void InitDefaults(uint32_t id);
    // Frames a multi-frame decoder keeps; the image owns them.
    void AppendFrame(std::unique_ptr<ZtImage> frame);
    ZtImageSettings& Settings() { return *this; }
    const ZtImageSettings& Settings() const { return *this; }

    uint8_t* pixelBlock = nullptr;  // the block, owned through ownedBlock unless a view
    ZtInfoHeader header{};
    uint8_t* pixels = nullptr;  // first byte of row 0
    const ZtImage* viewOf = nullptr;
    ZtImage* parentLayer = nullptr;
    uint8_t* selection = nullptr;
    uint8_t* alpha = nullptr;

private:
    enum class Turn { Left, Right };
    bool Rotate(ZtImage* target, Turn turn);
    void ClearStorageFields();
    static bool FlipPlane(uint8_t* plane, uint32_t width, uint32_t height);
    static ZtBytes MirroredPlane(const uint8_t* plane, uint32_t width,
                                                    uint32_t height);
    size_t PlaneSize() const { return size_t(uint32_t(header.width)) * uint32_t(header.height); }

    // The last NearestPaletteIndex answer. It belongs to this palette, so it
    // is not a setting: copies and take-overs start without it.
    struct NearestCache {
        ZtQuad colour{};
        uint8_t index = 0;
        bool valid = false;
    } nearest;

    ZtBytes ownedBlock;
    ZtBytes ownedSelection;
    ZtBytes ownedAlpha;
    std::vector<std::unique_ptr<ZtImage>> layers;
    std::vector<std::unique_ptr<ZtImage>> frames;
};

// Dots per inch for a resolution in pixels per metre, rounded to the nearest
// whole dot (2835 gives 72).
int32_t DpiFromPelsPerMeter(double pelsPerMeter);

// Allocates n bytes, or returns null instead of throwing. Zeroed blocks come
// from calloc, so large ones are not written twice (fresh pages are zero).
ZtBytes AllocateBytes(size_t n, bool zeroed = true);
