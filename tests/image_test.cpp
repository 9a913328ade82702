// Image object: creation rules, pixel and palette access, settings.
#include <gtest/gtest.h>

#include <cstring>

#include "image/zt_image.h"

namespace {

TEST(ImageCreate, RoundsDepthAndComputesStride) {
    ZtImage img;
    ASSERT_NE(img.Create(10, 10, 3, ImageFormat::Bmp), nullptr);
    EXPECT_EQ(img.BitsPerPixel(), 4u);
    EXPECT_EQ(img.PaletteEntries(), 16u);
    EXPECT_EQ(img.RowStride(), 8u);
    EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Bmp));
    for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(img.PaletteEntry(i), (ZtQuad{0, 0, 0, 0}));
    EXPECT_EQ(img.ImageBytes(), 80u);
    EXPECT_EQ(img.BlockSize(), 40u + 64u + 80u);

    for (uint32_t bits : {16u, 32u}) {
        ASSERT_NE(img.Create(5, 5, bits, 0), nullptr);
        EXPECT_EQ(img.BitsPerPixel(), 24u);
        EXPECT_FALSE(img.HasPalette());
    }
    ASSERT_NE(img.Create(1, 1, 24, 0), nullptr);
    EXPECT_EQ(img.RowStride(), 4u);
    ASSERT_NE(img.Create(33, 1, 1, 0), nullptr);
    EXPECT_EQ(img.RowStride(), 8u);
    ASSERT_NE(img.Create(7, 1, 0, 0), nullptr);
    EXPECT_EQ(img.BitsPerPixel(), 1u);
    ASSERT_NE(img.Create(7, 1, 6, 0), nullptr);
    EXPECT_EQ(img.BitsPerPixel(), 8u);
    // The block starts with a copy of the header.
    ZtInfoHeader h;
    memcpy(&h, img.BlockPointer(), 40);
    EXPECT_EQ(h.width, 7);
    EXPECT_EQ(h.bitsPerPixel, 8);
    EXPECT_EQ(h.headerSize, 40u);
}

TEST(ImageCreate, RefusesZeroAndMemoryCeiling) {
    ZtImage img;
    EXPECT_EQ(img.Create(0, 5, 8, 0), nullptr);
    EXPECT_STREQ(img.LastError(), "ZtImage::Create : width and height must be greater than zero");
    EXPECT_FALSE(img.HasPixels());

    ZtImage big;
    EXPECT_NE(big.Create(8192, 8192, 24, 0), nullptr);  // 192 MiB
    big.ReleaseStorage();
    EXPECT_NE(big.Create(16384, 16384, 8, 0), nullptr);  // exactly the ceiling
    big.ReleaseStorage();
    EXPECT_EQ(big.Create(16384, 16385, 8, 0), nullptr);
    EXPECT_STREQ(big.LastError(), "ZTIMAGE_MAX_MEMORY exceeded");
    // Products that wrap 32 bits are refused, not taken modulo 2^32.
    EXPECT_EQ(big.Create(65536, 65537, 24, 0), nullptr);
    EXPECT_STREQ(big.LastError(), "ZTIMAGE_MAX_MEMORY exceeded");
    EXPECT_EQ(big.Create(0xFFFFFFFFu, 0xFFFFFFFFu, 1, 0), nullptr);
    EXPECT_STREQ(big.LastError(), "ZTIMAGE_MAX_MEMORY exceeded");
    // The ceiling counts padded rows: one 1-bit pixel takes 4 bytes a row.
    EXPECT_NE(big.Create(1, 1u << 26, 1, 0), nullptr);
    big.ReleaseStorage();
    EXPECT_EQ(big.Create(1, (1u << 26) + 1, 1, 0), nullptr);
    EXPECT_STREQ(big.LastError(), "ZTIMAGE_MAX_MEMORY exceeded");
}

TEST(ImagePixels, ColorAtInsideAndOutside) {
    ZtImage img(3, 2, 24, 0);
    img.SetColorAt(0, 0, ZtQuad{1, 2, 3, 99}, false);
    img.SetColorAt(2, 1, ZtQuad{7, 8, 9, 0}, false);
    EXPECT_EQ(img.ColorAt(2, 1, false), (ZtQuad{7, 8, 9, 0}));
    // Outside with no transparent index: the bottom-left pixel.
    EXPECT_EQ(img.ColorAt(3, 0, false), (ZtQuad{1, 2, 3, 0}));
    EXPECT_EQ(img.ColorAt(-1, -1, true), (ZtQuad{1, 2, 3, 0}));
    ASSERT_TRUE(img.AddAlphaPlane());
    img.SetAlphaAt(0, 0, 42);
    EXPECT_EQ(img.ColorAt(0, 0, true).alpha, 42);
    EXPECT_EQ(img.ColorAt(5, 5, true).alpha, 42);
    EXPECT_EQ(img.ColorAt(0, 0, false).alpha, 0);
    // The transparent colour's fourth byte shows through at 24 bits inside.
    img.SetTransparentColor(ZtQuad{9, 9, 9, 200});
    EXPECT_EQ(img.TransparentColor().alpha, 0);

    ZtImage pal(4, 4, 8, 0);
    pal.SetPaletteEntry(5, 10, 20, 30, 0);
    pal.SetPaletteEntry(6, 40, 50, 60, 0);
    pal.SetIndexAt(1, 1, 5);
    EXPECT_EQ(pal.ColorAt(1, 1, false), (ZtQuad{30, 20, 10, 0}));
    pal.SetTransparentIndex(6);
    EXPECT_EQ(pal.ColorAt(10, 10, false), (ZtQuad{60, 50, 40, 0}));
    EXPECT_EQ(pal.IndexAt(-1, 0), 6);

    ZtImage empty;
    empty.SetTransparentColor(ZtQuad{1, 1, 1, 0});
    EXPECT_EQ(empty.ColorAt(0, 0, false), (ZtQuad{1, 1, 1, 0}));
    EXPECT_EQ(empty.IndexAt(0, 0), 0);
    EXPECT_EQ(empty.RowBits(0), nullptr);
}

TEST(ImagePixels, IndexLayoutsAt1And4Bits) {
    ZtImage one(10, 2, 1, 0);
    one.SetIndexAt(0, 0, 1);
    one.SetIndexAt(9, 0, 3);  // low bit only
    EXPECT_EQ(one.RowBits(0)[0], 0x80);
    EXPECT_EQ(one.RowBits(0)[1], 0x40);
    EXPECT_EQ(one.IndexAt(9, 0), 1);
    one.SetIndexAt(9, 0, 0);
    EXPECT_EQ(one.RowBits(0)[1], 0x00);

    ZtImage four(3, 1, 4, 0);
    four.SetIndexAt(0, 0, 0xA);
    four.SetIndexAt(1, 0, 0x15);
    EXPECT_EQ(four.RowBits(0)[0], 0xA5);
    EXPECT_EQ(four.IndexAt(1, 0), 5);
    four.FillBits(0x13);
    EXPECT_EQ(four.RowBits(0)[0], 0x33);
    one.FillBits(2);
    EXPECT_EQ(one.RowBits(1)[0], 0xFF);
    EXPECT_EQ(one.RowBits(2), nullptr);
}

TEST(ImagePalette, NearestAndTransparentRules) {
    ZtImage img(2, 2, 1, 0);
    img.SetPaletteEntry(0, 0, 0, 10, 0);
    img.SetPaletteEntry(1, 0, 0, 30, 0);
    // Blue 20 is 10 away from both: the lower index wins.
    EXPECT_EQ(img.NearestPaletteIndex(ZtQuad{20, 0, 0, 0}), 0);
    EXPECT_EQ(img.NearestPaletteIndex(ZtQuad{29, 0, 0, 0}), 1);
    // The cache is dropped when the palette changes.
    img.SetPaletteEntry(0, 0, 0, 29, 0);
    EXPECT_EQ(img.NearestPaletteIndex(ZtQuad{29, 0, 0, 0}), 0);
    img.SetColorAt(1, 1, ZtQuad{31, 0, 0, 0}, false);
    EXPECT_EQ(img.IndexAt(1, 1), 1);

    ZtImage eight(1, 1, 8, 0);
    eight.SetTransparentIndex(300);
    EXPECT_EQ(eight.TransparentIndex(), 0);
    eight.SetTransparentIndex(-1);
    EXPECT_EQ(eight.TransparentIndex(), -1);
    eight.SetImportantColors(2);
    eight.SetPaletteEntry(200, 255, 255, 255, 0);
    // Only the important colours are searched.
    EXPECT_EQ(eight.NearestPaletteIndex(ZtQuad{255, 255, 255, 0}), 0);

    ZtImage grey(2, 2, 4, 0);
    EXPECT_FALSE(grey.HasGreyPalette());
    grey.SetGreyRamp();
    EXPECT_EQ(grey.PaletteEntry(15), (ZtQuad{255, 255, 255, 0}));
    EXPECT_EQ(grey.PaletteEntry(1), (ZtQuad{17, 17, 17, 0}));
    ZtImage grey8(2, 2, 8, 0);
    grey8.SetGreyRamp();
    EXPECT_TRUE(grey8.HasGreyPalette());
}

TEST(ImagePalette, LoadersAndSwaps) {
    ZtImage img(1, 1, 1, 0);
    const uint8_t triples[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    img.LoadPaletteFromTriples(triples, 3);  // only two entries exist
    EXPECT_EQ(img.PaletteEntry(0), (ZtQuad{3, 2, 1, 0}));
    EXPECT_EQ(img.PaletteEntry(1), (ZtQuad{6, 5, 4, 0}));
    EXPECT_EQ(img.PaletteEntry(2), (ZtQuad{0, 0, 0, 0}));
    const uint8_t reds[] = {10, 20};
    img.LoadPaletteFromPlanes(2, reds, nullptr, nullptr);
    EXPECT_EQ(img.PaletteEntry(1), (ZtQuad{20, 20, 20, 0}));
    const uint8_t quads[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 9, 9};
    img.LoadPaletteFromQuads(quads, 3);
    EXPECT_EQ(img.PaletteEntry(1), (ZtQuad{5, 6, 7, 8}));
    img.SwapRedBlueAll();
    EXPECT_EQ(img.PaletteEntry(1), (ZtQuad{7, 6, 5, 8}));

    ZtImage tc(2, 1, 24, 0);
    tc.SetColorAt(1, 0, ZtQuad{1, 2, 3, 0}, false);
    tc.SwapRedBlueAll();
    EXPECT_EQ(tc.ColorAt(1, 0, false), (ZtQuad{3, 2, 1, 0}));
    EXPECT_EQ(ZtImage::QuadFromColorRef(0x00112233), (ZtQuad{0x11, 0x22, 0x33, 0}));
}

TEST(ImageSettings, FormatIdDpiOptions) {
    ZtImage img;
    EXPECT_EQ(img.HorizontalDpi(), 96);
    EXPECT_EQ(img.Header().xPelsPerMeter, 3780);
    EXPECT_TRUE(img.SetFormatId(19));
    EXPECT_FALSE(img.SetFormatId(16));
    EXPECT_EQ(img.FormatId(), 0u);
    EXPECT_FALSE(img.SetFormatId(20));
    img.SetHorizontalDpi(300);
    EXPECT_EQ(img.Header().xPelsPerMeter, 11811);
    img.SetHorizontalDpi(INT32_MAX);  // beyond the header field: clamped, no overflow
    EXPECT_EQ(img.Header().xPelsPerMeter, INT32_MAX);
    img.SetHorizontalDpi(-5);
    EXPECT_EQ(img.HorizontalDpi(), 96);
    EXPECT_EQ(img.QualityPercent(), 90);
    // Options for an id without a slot fall back to the image's own format.
    img.SetFormatId(ImageFormat::Png);
    img.SetDecoderOption(7, 16);
    EXPECT_EQ(img.DecoderOption(ImageFormat::Png), 7u);
    img.SetDecoderOption(3, ImageFormat::Ska);
    EXPECT_EQ(img.DecoderOption(ImageFormat::Ska), 3u);
    EXPECT_EQ(FormatSlot(18), 17);
    EXPECT_EQ(FormatSlot(16), 0);
}

TEST(ImageStorage, TakeOverDuplicateAndViews) {
    ZtImage src(4, 3, 24, ImageFormat::Gif);
    src.SetColorAt(3, 2, ZtQuad{1, 2, 3, 0}, false);
    src.AddAlphaPlane();
    src.SetAlphaAt(3, 2, 7);
    src.SetFrameIndex(2);

    ZtImage copy(src, true, false, true);
    EXPECT_EQ(copy.ColorAt(3, 2, true), (ZtQuad{1, 2, 3, 7}));
    EXPECT_EQ(copy.FrameIndex(), 2);
    ZtImage bare(src, false, false, false);
    EXPECT_TRUE(bare.HasPixels());
    EXPECT_FALSE(bare.HasAlphaPlane());

    ZtImage view;
    view.MakeView(src);
    EXPECT_EQ(view.ColorAt(3, 2, true), (ZtQuad{1, 2, 3, 7}));
    EXPECT_FALSE(view.ReleaseStorage());
    EXPECT_FALSE(view.ReleaseFrames());
    EXPECT_EQ(view.Create(1, 1, 8, 0), nullptr);

    ZtImage dst;
    ASSERT_TRUE(dst.TakeOver(src, true));
    EXPECT_EQ(dst.Width(), 4);
    EXPECT_EQ(dst.FormatId(), uint32_t(ImageFormat::Gif));
    EXPECT_EQ(dst.ColorAt(3, 2, true), (ZtQuad{1, 2, 3, 7}));
    EXPECT_FALSE(src.HasPixels());
    EXPECT_FALSE(src.HasAlphaPlane());
    EXPECT_EQ(src.Width(), 0);

    // InheritSettings only reaches an image without pixels.
    ZtImage fresh;
    fresh.InheritSettings(dst);
    EXPECT_EQ(fresh.FrameIndex(), 2);
    dst.SetFrameIndex(9);
    EXPECT_TRUE(copy.HasPixels());
    copy.InheritSettings(dst);
    EXPECT_EQ(copy.FrameIndex(), 2);
}

std::vector<uint8_t> Pack16(const std::vector<uint16_t>& topDown, int width, int height) {
    // Bottom-up rows of ((width + 1) / 2) * 4 bytes, as a 16-bit bitmap stores them.
    const size_t stride = size_t((width + 1) / 2) * 4;
    std::vector<uint8_t> rows(stride * size_t(height), 0);
    for (int line = 0; line < height; ++line)
        for (int x = 0; x < width; ++x) {
            const uint16_t w = topDown[size_t(line * width + x)];
            uint8_t* p = &rows[size_t(height - 1 - line) * stride + 2 * size_t(x)];
            p[0] = uint8_t(w);
            p[1] = uint8_t(w >> 8);
        }
    return rows;
}

TEST(ImageBitfields, Unpack555And565InPlace) {
    ZtImage img(3, 2, 24, 0);
    // 5-5-5: full red, full green, full blue; then 1s.
    auto rows = Pack16({0x7C00, 0x03E0, 0x001F, 0x0421, 0x0000, 0x7FFF}, 3, 2);
    memcpy(img.RowBits(0), rows.data(), rows.size());  // in place, as a decoder reads it
    img.UnpackBitfields(img.RowBits(0), 0x7C00, 0x03E0, 0x001F, 16);
    EXPECT_EQ(img.ColorAt(0, 1, false), (ZtQuad{0, 0, 248, 0}));
    EXPECT_EQ(img.ColorAt(1, 1, false), (ZtQuad{0, 248, 0, 0}));
    EXPECT_EQ(img.ColorAt(2, 1, false), (ZtQuad{248, 0, 0, 0}));
    EXPECT_EQ(img.ColorAt(0, 0, false), (ZtQuad{8, 8, 8, 0}));
    EXPECT_EQ(img.ColorAt(2, 0, false), (ZtQuad{248, 248, 248, 0}));

    ZtImage six(2, 1, 24, 0);
    auto r565 = Pack16({0xF800, 0x07E0}, 2, 1);
    memcpy(six.RowBits(0), r565.data(), r565.size());
    six.UnpackBitfields(six.RowBits(0), 0xF800, 0x07E0, 0x001F, 16);
    EXPECT_EQ(six.ColorAt(0, 0, false), (ZtQuad{0, 0, 248, 0}));
    EXPECT_EQ(six.ColorAt(1, 0, false), (ZtQuad{0, 252, 0, 0}));

    // 2-3-1 masks: each channel scaled from its own width.
    ZtImage small(1, 1, 24, 0);
    const uint8_t w[4] = {0x3F, 0x00, 0, 0};  // red 0b11, green 0b111, blue 0b1
    small.UnpackBitfields(w, 0x30, 0x0E, 0x01, 16);
    EXPECT_EQ(small.ColorAt(0, 0, false), (ZtQuad{0x80, 0xE0, 0xC0, 0}));
    // A 12-bit mask keeps its top 8 bits; an empty mask gives 0.
    const uint8_t wide[4] = {0xF0, 0xAB, 0, 0};
    small.UnpackBitfields(wide, 0xFFF0, 0x000F, 0x0000, 16);
    EXPECT_EQ(small.ColorAt(0, 0, false), (ZtQuad{0x00, 0x00, 0xAB, 0}));
}

TEST(ImageBitfields, Unpack32BitMasks) {
    ZtImage img(2, 1, 24, 0);
    const uint8_t px[8] = {0x11, 0x22, 0x33, 0x44, 0xAA, 0xBB, 0xCC, 0xDD};
    img.UnpackBitfields(px, 0x00FF0000, 0x0000FF00, 0x000000FF, 32);
    EXPECT_EQ(img.ColorAt(0, 0, false), (ZtQuad{0x11, 0x22, 0x33, 0}));
    // Masks in the top three bytes (red in bits 24..31).
    img.UnpackBitfields(px, 0xFF000000, 0x00FF0000, 0x0000FF00, 32);
    EXPECT_EQ(img.ColorAt(1, 0, false), (ZtQuad{0xBB, 0xCC, 0xDD, 0}));
    // Masks off byte boundaries and wider than a byte: green in bits 4..11,
    // red 11 bits wide (top 8 kept), blue 2 bits wide (shifted up).
    const uint8_t odd[4] = {0x50, 0x0F, 0x00, 0xFF};
    ZtImage o(1, 1, 24, 0);
    o.UnpackBitfields(odd, 0xFFE00000, 0x00000FF0, 0x00000003, 32);
    EXPECT_EQ(o.ColorAt(0, 0, false), (ZtQuad{0x00, 0xF5, 0xFF, 0}));
    // Any other source depth does nothing.
    img.UnpackBitfields(px, 0, 0, 0, 24);
    EXPECT_EQ(img.ColorAt(1, 0, false), (ZtQuad{0xBB, 0xCC, 0xDD, 0}));
}

}  // namespace
