// The RAW engine's processing stages on mosaics built here from known pictures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "raw/raw_context.h"
#include "raw/raw_stages.h"
#include "tests/test_support.h"

namespace {

constexpr uint32_t kRggb = 0x94949494;  // red at (0, 0), blue at (1, 1)

using Picture = std::function<RawPixel(int row, int col)>;

// A context whose pixel array holds the Bayer mosaic of picture: every
// photosite keeps only the sample of its own filter colour.
std::unique_ptr<RawContext> Mosaic(int height, int width, const Picture& picture, uint32_t pattern = kRggb) {
    auto ctx = std::make_unique<RawContext>();
    ctx->cfaPattern = pattern;
    ctx->colourCount = 3;
    ctx->visibleHeight = ctx->arrayHeight = uint16_t(height);
    ctx->visibleWidth = ctx->arrayWidth = uint16_t(width);
    ctx->whiteLevel = 65535;
    allocate_pixel_array(*ctx, "test");
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col) {
            const int c = colourAt(*ctx, row, col);
            ctx->pixelArray[size_t(row) * width + size_t(col)][c] = picture(row, col)[c];
        }
    return ctx;
}

using Demosaic = void (*)(RawContext&);
const struct {
    const char* name;
    Demosaic run;
} kMethods[] = {{"bilinear", bilinear_interpolate},
                {"VNG", vng_interpolate},
                {"PPG", ppg_demosaic},
                {"AHD", ahd_interpolate}};

TEST(RawStages, FlatGreyMosaicStaysFlatUnderEveryMethod) {
    for (const auto& method : kMethods) {
        auto ctx = Mosaic(40, 36, [](int, int) { return RawPixel{3000, 3000, 3000, 0}; });
        method.run(*ctx);
        for (const RawPixel& p : ctx->pixelArray)
            ASSERT_TRUE(p[0] == 3000 && p[1] == 3000 && p[2] == 3000) << method.name;
    }
}

TEST(RawStages, SmoothPictureComesBackCloseUnderEveryMethod) {
    // A gentle colour ramp: every method should restore it to within 1 % of
    // full scale away from the border.
    const Picture ramp = [](int row, int col) {
        return RawPixel{uint16_t(8000 + 120 * col), uint16_t(20000 + 60 * row + 40 * col), uint16_t(30000 - 90 * row),
                        0};
    };
    for (const auto& method : kMethods) {
        auto ctx = Mosaic(64, 72, ramp);
        method.run(*ctx);
        double worst = 0;
        for (int row = 6; row < 58; ++row)
            for (int col = 6; col < 66; ++col)
                for (int c = 0; c < 3; ++c)
                    worst = std::max(worst, std::fabs(double(ctx->pixelArray[size_t(row) * 72 + size_t(col)][c]) -
                                                      ramp(row, col)[c]));
        EXPECT_LT(worst, 655) << method.name;
    }
}

TEST(RawStages, TinyArraysStayInsideTheirPixels) {
    for (int size = 1; size <= 6; ++size)
        for (const auto& method : kMethods) {
            auto ctx = Mosaic(size, size + 1, [](int r, int c) { return RawPixel{uint16_t(r * 99), uint16_t(c * 77), 5, 0}; });
            method.run(*ctx);
            EXPECT_EQ(ctx->pixelArray.size(), size_t(size) * (size + 1)) << method.name;
        }
}

TEST(RawStages, OrientationFiveMapsOriginToTopRight) {
    RawContext ctx;
    ctx.arrayHeight = 4;
    ctx.arrayWidth = 6;
    ctx.orientation = 5;  // swap, then mirror columns
    EXPECT_EQ(oriented_index(ctx, 0, 0), size_t(5));
    ctx.orientation = 0;
    EXPECT_EQ(oriented_index(ctx, 2, 3), size_t(15));
    ctx.orientation = 3;  // both mirrors
    EXPECT_EQ(oriented_index(ctx, 0, 0), size_t(23));
}

TEST(RawStages, ScaleColorsSubtractsBlackAndBalances) {
    auto ctx = Mosaic(2, 2, [](int, int) { return RawPixel{1100, 1100, 1100, 0}; });
    ctx->blackLevel = 100;
    ctx->whiteLevel = 4095;
    ctx->balanceMultipliers[0] = 2;  // red twice as strong; green and blue 1
    scale_colors(*ctx);
    EXPECT_EQ(ctx->whiteLevel, 3995);
    // (1100 - 100) x multiplier / smallest multiplier x 65535 / 3995.
    EXPECT_EQ(ctx->pixelArray[0][0], uint16_t(std::trunc(1000 * 2 * 65535.0 / 3995)));
    EXPECT_EQ(ctx->pixelArray[1][1], uint16_t(std::trunc(1000 * 65535.0 / 3995)));
    EXPECT_EQ(ctx->pixelArray[1][0], 0);  // empty samples stay empty
}

TEST(RawStages, UnshrinkFoldsTheSecondGreenIntoTheFirst) {
    // The identification's rewrite: the green beside blue is colour 3.
    auto ctx = Mosaic(2, 2, [](int, int) { return RawPixel{10, 20, 30, 40}; }, 0xB4B4B4B4);
    ASSERT_EQ(colourAt(*ctx, 1, 0), 3);
    unshrink(*ctx);
    EXPECT_EQ(colourAt(*ctx, 1, 0), 1);
    EXPECT_EQ(ctx->cfaPattern, kRggb);
    EXPECT_EQ(ctx->pixelArray[2][1], 40);
}

TEST(RawStages, OutputCurvePutsTheBrightestPercentAtFullScale) {
    // Every sample below 1/8 of full scale; two rows in a hundred at 7000.
    auto ctx = Mosaic(100, 100, [](int, int) { return RawPixel{}; });
    for (size_t i = 0; i < ctx->pixelArray.size(); ++i) {
        const uint16_t v = i < 200 ? 7000 : 3000;
        ctx->pixelArray[i] = RawPixel{v, v, v, 0};
    }
    ctx->keepCameraColour = 1;
    convert_to_rgb(*ctx);
    std::vector<uint8_t> curve(0x10000);
    build_output_curve(*ctx, curve.data());
    EXPECT_EQ(curve[7000], 255);
    EXPECT_LT(curve[6000], 255);
    // BT.709: 256 x (1.099 x (3000 / 7000)^0.45 - 0.099).
    EXPECT_EQ(curve[3000], uint8_t(256 * (1.099 * std::pow(3000.0 / 7000, 0.45) - 0.099)));
    EXPECT_EQ(curve[0], 0);
}

TEST(RawStages, ConvertWithoutCameraMatrixKeepsSamplesAndCounts) {
    auto ctx = Mosaic(2, 3, [](int, int) { return RawPixel{800, 1600, 2400, 0}; });
    for (RawPixel& p : ctx->pixelArray) p = RawPixel{800, 1600, 2400, 0};
    ctx->keepCameraColour = 1;
    ctx->cameraToSrgb[0][1] = 5;  // would change red if it were applied
    convert_to_rgb(*ctx);
    EXPECT_EQ(ctx->pixelArray[4], (RawPixel{800, 1600, 2400, 0}));
    EXPECT_EQ(ctx->channelHistogram[0][800 >> 3], 6u);
    EXPECT_EQ(ctx->channelHistogram[2][2400 >> 3], 6u);
}

TEST(RawStages, FujiRotationTurnsTheDiamondUpright) {
    // A rotated sensor as identification leaves it: 39 x 40 for a layout width of 20.
    auto ctx = Mosaic(39, 40, [](int, int) { return RawPixel{}; });
    for (RawPixel& p : ctx->pixelArray) p = RawPixel{5000, 5000, 5000, 0};
    ctx->fujiLayoutWidth = 20;
    fuji_rotate(*ctx);
    EXPECT_EQ(ctx->visibleWidth, int(19 / std::sqrt(0.5)));
    EXPECT_EQ(ctx->visibleHeight, int((39 - 19) / std::sqrt(0.5)));
    EXPECT_EQ(ctx->fujiLayoutWidth, 0);
    const int width = ctx->arrayWidth, height = ctx->arrayHeight;
    EXPECT_EQ(ctx->pixelArray[size_t(height - 1) * width][0], 0);  // a corner outside the diamond
    EXPECT_NEAR(ctx->pixelArray[size_t(height / 2) * width + size_t(width / 2)][0], 5000, 1);  // the middle
}

TEST(RawStages, BadPixelListRepairsListedPhotosite) {
    const std::string dir = zt_test::MakeTempDir("badpixels");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    auto ctx = Mosaic(30, 30, [](int, int) { return RawPixel{1000, 1000, 1000, 0}; });
    const size_t dead = size_t(20) * 30 + 10;  // column 10 of row 20 (red)
    ctx->pixelArray[dead][0] = 0;
    fix_bad_pixels(*ctx);  // no list anywhere up the tree: nothing changes
    EXPECT_EQ(ctx->pixelArray[dead][0], 0);
    FILE* f = fopen(".badpixels", "w");
    ASSERT_NE(f, nullptr);
    fputs("# column row time\n10 20 0\n2 2 99999  # died after the picture\n", f);
    fclose(f);
    ctx->pixelArray[size_t(2) * 30 + 2][0] = 7;
    fix_bad_pixels(*ctx);
    EXPECT_EQ(ctx->pixelArray[dead][0], 1000);
    EXPECT_EQ(ctx->pixelArray[size_t(2) * 30 + 2][0], 7);
    remove(".badpixels");
    std::filesystem::current_path(previous);
}

TEST(RawStages, StretchCorrectsPhotositeAspect) {
    auto ctx = Mosaic(10, 8, [](int, int) { return RawPixel{100, 200, 300, 0}; });
    for (RawPixel& p : ctx->pixelArray) p = RawPixel{100, 200, 300, 0};
    ctx->photositeAspect = 2.0;
    stretch(*ctx);
    EXPECT_EQ(ctx->visibleWidth, 16);
    EXPECT_EQ(ctx->pixelArray.size(), size_t(10 * 16));
    EXPECT_EQ(ctx->pixelArray[17], (RawPixel{100, 200, 300, 0}));
    ctx->photositeAspect = 0.5;
    stretch(*ctx);
    EXPECT_EQ(ctx->visibleHeight, 20);
}

}  // namespace
