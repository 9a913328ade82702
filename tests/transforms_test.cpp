// Flips, mirrors, quarter turns and negatives, with the planes that travel along.
#include <gtest/gtest.h>

#include "image/zt_image.h"

namespace {

// Fills an image of any depth with a pattern that tells pixels apart.
void Pattern(ZtImage& img) {
    const uint32_t bits = img.BitsPerPixel();
    for (int y = 0; y < img.Height(); ++y)
        for (int x = 0; x < img.Width(); ++x) {
            const uint32_t v = uint32_t(x * 7 + y * 13 + (x * y) % 5);
            if (bits == 24)
                img.SetColorAt(x, y, ZtQuad{uint8_t(v), uint8_t(v * 3), uint8_t(x), 0}, false);
            else
                img.SetIndexAt(x, y, bits == 1 ? ((x + 2 * y + x / 3) % 3 == 0) : v);
        }
}

uint32_t Value(const ZtImage& img, int x, int y) {
    if (img.BitsPerPixel() == 24) {
        const ZtQuad q = img.ColorAt(x, y, false);
        return uint32_t(q.blue) | uint32_t(q.green) << 8 | uint32_t(q.red) << 16;
    }
    return img.IndexAt(x, y);
}

class QuarterTurns : public testing::TestWithParam<std::tuple<uint32_t, int, int>> {};

TEST_P(QuarterTurns, MapPixelsAndRoundTrip) {
    const auto [bits, W, H] = GetParam();
    ZtImage src(uint32_t(W), uint32_t(H), bits, 0);
    Pattern(src);
    src.AddAlphaPlane();
    src.AddSelection();
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            src.SetAlphaAt(x, y, uint8_t(x + 10 * y));
            src.SetSelectedAt(x, y, uint8_t((x + y) % 2));
        }

    ZtImage left;
    ASSERT_TRUE(src.RotateLeft(&left));
    ASSERT_EQ(left.Width(), H);
    ASSERT_EQ(left.Height(), W);
    ZtImage right;
    ASSERT_TRUE(src.RotateRight(&right));
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            ASSERT_EQ(Value(left, H - 1 - y, x), Value(src, x, y)) << x << "," << y;
            ASSERT_EQ(Value(right, y, W - 1 - x), Value(src, x, y)) << x << "," << y;
            ASSERT_EQ(left.AlphaAt(H - 1 - y, x), src.AlphaAt(x, y));
            ASSERT_EQ(right.SelectionAtUnchecked(y, W - 1 - x), src.SelectionAtUnchecked(x, y));
        }
    // Turning back restores the first image, spare bits of 1-bit rows included.
    ASSERT_TRUE(left.RotateRight(nullptr));
    ASSERT_EQ(left.Width(), W);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) ASSERT_EQ(Value(left, x, y), Value(src, x, y));
        if (bits == 1) {
            const int spare = W % 8;
            if (spare) {
                EXPECT_EQ(left.RowBits(uint32_t(y))[W / 8] & (0xFF >> spare), 0);
            }
        }
    }
    EXPECT_EQ(left.AlphaAt(W - 1, H - 1), src.AlphaAt(W - 1, H - 1));
}

INSTANTIATE_TEST_SUITE_P(Depths, QuarterTurns,
                         testing::Values(std::make_tuple(1u, 3, 2), std::make_tuple(1u, 13, 5),
                                         std::make_tuple(1u, 70, 9), std::make_tuple(4u, 5, 3),
                                         std::make_tuple(8u, 67, 65), std::make_tuple(24u, 3, 2),
                                         std::make_tuple(24u, 130, 7)));

TEST(Transforms, RotateCornersOfThreeByTwo) {
    ZtImage src(3, 2, 24, 0);
    Pattern(src);
    ZtImage left, right;
    ASSERT_TRUE(src.RotateLeft(&left));
    ASSERT_TRUE(src.RotateRight(&right));
    // Left turn: bottom-left of the result is the source's top-left.
    EXPECT_EQ(Value(left, 0, 0), Value(src, 0, 1));
    // Right turn: bottom-left of the result is the source's bottom-right.
    EXPECT_EQ(Value(right, 0, 0), Value(src, 2, 0));
    EXPECT_TRUE(src.HasPixels());  // a target leaves the source alone
}

TEST(Transforms, FlipVerticalOddHeightWithAlphaAndSelection) {
    ZtImage img(2, 3, 8, 0);
    Pattern(img);
    img.AddAlphaPlane();
    img.SetAlphaAt(1, 0, 5);
    img.AddSelection();
    img.SetSelectedAt(0, 2, 1);
    const uint32_t bottom = Value(img, 1, 0), middle = Value(img, 1, 1), top = Value(img, 1, 2);
    ASSERT_TRUE(img.FlipVertical(true, true));
    EXPECT_EQ(Value(img, 1, 0), top);
    EXPECT_EQ(Value(img, 1, 1), middle);
    EXPECT_EQ(Value(img, 1, 2), bottom);
    EXPECT_EQ(img.AlphaAt(1, 2), 5);
    EXPECT_EQ(img.AlphaAt(1, 0), 255);
    EXPECT_EQ(img.SelectionAtUnchecked(0, 0), 1);
    // The selection box follows: top 0 / bottom 3 become top 0 / bottom 3 again.
    EXPECT_EQ(img.SelectionBox().top, 0);
    EXPECT_EQ(img.SelectionBox().bottom, 3);
    ZtImage empty;
    EXPECT_FALSE(empty.FlipVertical(false, false));
}

TEST(Transforms, MirrorAllDepths) {
    for (uint32_t bits : {1u, 4u, 8u, 24u}) {
        ZtImage img(11, 2, bits, 0);
        Pattern(img);
        img.AddAlphaPlane();
        img.SetAlphaAt(0, 1, 9);
        ZtImage before(img, true, false, false);
        ASSERT_TRUE(img.MirrorHorizontal(false, true));
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 11; ++x) ASSERT_EQ(Value(img, x, y), Value(before, 10 - x, y)) << bits;
        EXPECT_EQ(img.AlphaAt(10, 1), 9);
    }
}

TEST(Transforms, InvertColors) {
    ZtImage colour(2, 1, 8, 0);
    colour.SetPaletteEntry(1, 10, 20, 30, 0);
    colour.SetIndexAt(0, 0, 1);
    ASSERT_TRUE(colour.InvertColors());
    EXPECT_EQ(colour.IndexAt(0, 0), 1);  // only the palette changes
    EXPECT_EQ(colour.PaletteEntry(1), (ZtQuad{225, 235, 245, 0}));

    ZtImage grey(2, 1, 8, 0);
    grey.SetGreyRamp();
    grey.SetIndexAt(0, 0, 3);
    ASSERT_TRUE(grey.InvertColors());
    EXPECT_EQ(grey.IndexAt(0, 0), 252);  // only the pixel bytes change
    EXPECT_EQ(grey.PaletteEntry(3), (ZtQuad{3, 3, 3, 0}));

    ZtImage tc(1, 1, 24, 0);
    tc.SetColorAt(0, 0, ZtQuad{0, 128, 255, 0}, false);
    tc.SetTransparentColor(ZtQuad{1, 2, 3, 0});
    ASSERT_TRUE(tc.InvertColors());
    EXPECT_EQ(tc.ColorAt(0, 0, false), (ZtQuad{255, 127, 0, 0}));
    EXPECT_EQ(tc.TransparentColor(), (ZtQuad{254, 253, 252, 0}));
}

TEST(AlphaPlane, AddDropInvertAndBounds) {
    ZtImage img(3, 2, 24, 0);
    ASSERT_TRUE(img.AddAlphaPlane());
    img.SetAlphaAt(2, 1, 17);
    ASSERT_TRUE(img.AddAlphaPlane());  // keeps the first plane
    EXPECT_EQ(img.AlphaAt(2, 1), 17);
    img.SetAlphaAt(3, 0, 1);  // outside: nothing
    img.SetAlphaAt(-1, 0, 1);
    EXPECT_EQ(img.AlphaAt(3, 0), 0);
    EXPECT_EQ(img.AlphaPointer(3, 0), nullptr);
    img.InvertAlphaPlane();
    EXPECT_EQ(img.AlphaAt(2, 1), 238);
    EXPECT_EQ(img.AlphaAt(0, 0), 0);
    img.DropAlphaPlane();
    EXPECT_FALSE(img.HasAlphaPlane());
    img.SetAlphaAt(0, 0, 3);  // without a plane: nothing
    EXPECT_EQ(img.AlphaAt(0, 0), 0);

    ZtImage mask(3, 2, 8, 0);
    mask.SetGreyRamp();
    mask.SetIndexAt(1, 1, 77);
    ASSERT_TRUE(img.AlphaFromGreyImage(mask));
    EXPECT_EQ(img.AlphaAt(1, 1), 77);
    ZtImage wrong(2, 2, 8, 0);
    wrong.SetGreyRamp();
    EXPECT_FALSE(img.AlphaFromGreyImage(wrong));
}

TEST(SelectionPlane, MirrorMovesBox) {
    ZtImage img(4, 1, 8, 0);
    ASSERT_TRUE(img.AddSelection());
    EXPECT_TRUE(img.Selected(0, 0) == false);
    img.SetSelectedAt(0, 0, 1);
    ASSERT_TRUE(img.MirrorSelection());
    EXPECT_EQ(img.SelectionAtUnchecked(3, 0), 1);
    // Box after DropSelection is left 4, right 0; mirrored: left 4, right 0 again.
    EXPECT_EQ(img.SelectionBox().left, 4);
    EXPECT_EQ(img.SelectionBox().right, 0);
    img.DropSelection();
    EXPECT_TRUE(img.Selected(0, 0));
}

}  // namespace
