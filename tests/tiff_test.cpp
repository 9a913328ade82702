// TIFF adapter: pages, resolution, the grey and palette rules, 16-bit
// brightening, damaged strips, orientation on both roads, tiles, L*a*b*,
// CMYK and YCbCr, grey + alpha, messages, sweeps and the shared corpus.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "codecs/adapters/tiff.h"
#include "image/zt_file.h"
#include "tests/test_support.h"
#include "tests/tiff_fixture.h"

namespace {

using zt_test::BuildTiff;
using zt_test::TiffPageSpec;

// Colour of column x on picture line `line` counted from the top.
ZtQuad Pixel(const ZtImage& img, int x, int line) { return img.ColorAt(x, img.Height() - 1 - line, false); }
uint32_t Rgb(const ZtImage& img, int x, int line) {
    const ZtQuad q = Pixel(img, x, line);
    return uint32_t(q.red) << 16 | uint32_t(q.green) << 8 | q.blue;
}

bool Decode(ZtImage& img, const std::vector<uint8_t>& bytes) {
    return zt_test::DecodeBytes(img, bytes, ImageFormat::Tiff);
}

TiffPageSpec Grey(uint32_t w, uint32_t h, std::vector<uint8_t> rows) {
    TiffPageSpec p;
    p.width = w;
    p.height = h;
    p.rows = std::move(rows);
    return p;
}

TiffPageSpec Colour(uint32_t w, uint32_t h, const std::vector<uint32_t>& rgb) {
    TiffPageSpec p = Grey(w, h, {});
    p.spp = 3;
    p.photometric = 2;
    for (uint32_t v : rgb) p.rows.insert(p.rows.end(), {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    return p;
}

TEST(TiffDecoder, PageSelectionAndFrameCount) {
    std::vector<TiffPageSpec> pages;
    for (uint8_t v : {10, 20, 30}) pages.push_back(Grey(2, 1, {v, v}));
    const auto bytes = BuildTiff(pages);
    ZtImage img;
    img.SetFrameIndex(1);
    ASSERT_TRUE(Decode(img, bytes)) << img.LastError();
    EXPECT_EQ(img.FrameCount(), 3);
    EXPECT_EQ(Rgb(img, 1, 0), 0x141414u);

    ZtImage missing;
    missing.SetFrameIndex(3);
    EXPECT_FALSE(Decode(missing, bytes));
    EXPECT_STREQ(missing.LastError(), "Error: page not present in TIFF file");
}

TEST(TiffDecoder, ResolutionInCentimetresAndPosition) {
    TiffPageSpec p = Colour(1, 1, {0x102030});
    p.xResolution = 118.11;  // 118.11 * 2.54 + 0.5 = 300.49...
    p.yResolution = 59.055;
    p.resolutionUnit = 3;
    p.xPosition = 5.9;
    p.yPosition = 2.2;
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildTiff({p}))) << img.LastError();
    EXPECT_EQ(img.HorizontalDpi(), 300);
    EXPECT_EQ(img.VerticalDpi(), 150);
    EXPECT_EQ(img.XOffset(), 5);
    EXPECT_EQ(img.YOffset(), 2);
    EXPECT_EQ(img.DecoderOption(ImageFormat::Tiff), 1u);  // the compression code
}

TEST(TiffDecoder, SixteenBitGreyIsBrightenedAsAWhole) {
    // Largest sample 0x0FFF: every row becomes sample >> 4, including the
    // dim row whose own largest sample would allow more.
    const std::vector<uint16_t> samples = {0x0FFF, 0x0123, 0x0010, 0x0002};
    TiffPageSpec p = Grey(2, 2, {});
    p.bits = 16;
    for (uint16_t v : samples) p.rows.insert(p.rows.end(), {uint8_t(v), uint8_t(v >> 8)});
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildTiff({p}))) << img.LastError();
    ASSERT_EQ(img.BitsPerPixel(), 8u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(img.IndexAt(i % 2, 1 - i / 2), samples[size_t(i)] >> 4) << i;
}

TEST(TiffDecoder, BilevelPaletteFollowsPhotometric) {
    struct Case {
        uint16_t photometric;
        uint32_t entry0, entry1;
    };
    for (const Case c : {Case{0, 0xFFFFFF, 0x000000}, Case{1, 0x000000, 0xFFFFFF}}) {
        TiffPageSpec p = Grey(2, 1, {0x40});  // pixels 0, 1
        p.bits = 1;
        p.photometric = c.photometric;
        ZtImage img;
        ASSERT_TRUE(Decode(img, BuildTiff({p}))) << img.LastError();
        ASSERT_EQ(img.BitsPerPixel(), 1u);
        EXPECT_EQ(Rgb(img, 0, 0), c.entry0) << c.photometric;
        EXPECT_EQ(Rgb(img, 1, 0), c.entry1) << c.photometric;
    }
}

TEST(TiffDecoder, TwoBitGreyIndexesAFourLevelRamp) {
    TiffPageSpec p = Grey(4, 1, {0x1B});  // 0, 1, 2, 3
    p.bits = 2;
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildTiff({p}))) << img.LastError();
    ASSERT_EQ(img.BitsPerPixel(), 8u);
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(img.IndexAt(x, 0), x);
        EXPECT_EQ(img.PaletteEntry(uint32_t(x)).red, 85 * x);
    }
}

TEST(TiffDecoder, ColourMapsOfEightAndSixteenBits) {
    struct Case {
        uint16_t red1, expected;
    };
    // All values below 256: 8-bit values as they stand; else scaled by 255 / 65535.
    for (const Case c : {Case{200, 200}, Case{0x8000, 0x8000 * 255 / 65535}}) {
        TiffPageSpec p = Grey(2, 1, {0, 1});
        p.photometric = 3;
        p.colorMap.assign(3 * 256, 0);
        p.colorMap[1] = c.red1;
        p.colorMap[256 + 1] = 7;
        ZtImage img;
        ASSERT_TRUE(Decode(img, BuildTiff({p}))) << img.LastError();
        EXPECT_EQ(Pixel(img, 1, 0).red, c.expected) << c.red1;
        EXPECT_EQ(Pixel(img, 1, 0).green, c.red1 < 256 ? 7 : 0);
        EXPECT_EQ(Rgb(img, 0, 0), 0u);
    }
}

TEST(TiffDecoder, StripThatCannotBeDecodedKeepsEarlierRows) {
    TiffPageSpec p = Grey(3, 6, {});
    for (uint8_t i = 0; i < 18; ++i) p.rows.push_back(uint8_t(100 + i));
    p.rowsPerStrip = 2;
    p.compression = 32773;
    p.brokenStrip = 2;
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildTiff({p}))) << img.LastError();
    for (int line = 0; line < 6; ++line)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(img.IndexAt(x, 5 - line), line < 4 ? 100 + 3 * line + x : 0) << x << "," << line;
}

// An upright 3 x 2 picture, stored as each orientation tag describes, must
// come back upright on both roads.
TEST(TiffDecoder, EveryOrientationComesOutUpright) {
    const int W = 3, H = 2;
    const uint8_t upright[H][W] = {{1, 2, 3}, {4, 5, 6}};
    for (bool colour : {false, true}) {
        for (uint16_t o = 1; o <= 8; ++o) {
            const bool turned = o >= 5;
            const int C = turned ? H : W, R = turned ? W : H;
            std::vector<uint8_t> stored;
            for (int r = 0; r < R; ++r)
                for (int c = 0; c < C; ++c) {
                    // Where stored (c, r) appears in the upright picture:
                    // {mirrored, flipped, transposed} per tag value.
                    static const int kMap[9][3] = {{0, 0, 0}, {0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                                                   {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
                    const int a = kMap[o][2] ? r : c, b = kMap[o][2] ? c : r;
                    const int x = kMap[o][0] ? W - 1 - a : a;
                    const int y = kMap[o][1] ? H - 1 - b : b;
                    stored.push_back(upright[y][x]);
                }
            TiffPageSpec p;
            if (colour) {
                std::vector<uint32_t> rgb;
                for (uint8_t v : stored) rgb.push_back(uint32_t(v) * 0x102030u);
                p = Colour(uint32_t(C), uint32_t(R), rgb);
            } else {
                p = Grey(uint32_t(C), uint32_t(R), stored);
            }
            p.orientation = o;
            ZtImage img;
            ASSERT_TRUE(Decode(img, BuildTiff({p}))) << img.LastError();
            ASSERT_EQ(img.Width(), W) << o;
            ASSERT_EQ(img.Height(), H) << o;
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x)
                    EXPECT_EQ(Rgb(img, x, y), colour ? upright[y][x] * 0x102030u : upright[y][x] * 0x010101u)
                        << "orientation " << o << (colour ? " colour" : " grey") << " at " << x << "," << y;
        }
    }
}

TEST(TiffDecoder, TiledPageClipsItsLastTileColumn) {
    TiffPageSpec p = Grey(20, 18, {});
    for (uint32_t i = 0; i < 20 * 18; ++i) p.rows.push_back(uint8_t(i * 7));
    p.tileWidth = p.tileLength = 16;
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildTiff({p}))) << img.LastError();
    for (int line = 0; line < 18; ++line)
        for (int x = 0; x < 20; ++x) ASSERT_EQ(img.IndexAt(x, 17 - line), uint8_t((line * 20 + x) * 7)) << x << "," << line;
}

// libtiff's RGBA reader refuses uncompressed tiles read without a map when
// a tile is not a multiple of 1 KiB; the stream is mapped from memory.
TEST(TiffDecoder, UncompressedColourTilesDecode) {
    std::vector<uint32_t> rgb;
    for (uint32_t i = 0; i < 16 * 16; ++i) rgb.push_back(i * 0x010203u);
    TiffPageSpec p = Colour(16, 16, rgb);
    p.tileWidth = p.tileLength = 16;
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildTiff({p}))) << img.LastError();
    EXPECT_EQ(Rgb(img, 5, 3), (3 * 16 + 5) * 0x010203u);
}

// From a file, strips are read through the stream and tiles from a map of
// the file; from memory, tiles come from the stream's own bytes. Both give
// the stored pixels: plain RGB in one tall strip and in tiles that are no
// multiple of 1 KiB, grey in clipped tiles.
TEST(TiffDecoder, FilesAndMemoryGiveTheStoredPixels) {
    auto colour = [](uint32_t w, uint32_t h, uint32_t tile, uint16_t compression) {
        std::vector<uint32_t> rgb;
        for (uint32_t i = 0; i < w * h; ++i) rgb.push_back(i * 0x010203u);
        TiffPageSpec p = Colour(w, h, rgb);
        p.tileWidth = p.tileLength = tile;
        p.compression = compression;
        return p;
    };
    TiffPageSpec grey = Grey(20, 18, {});
    for (uint32_t i = 0; i < 20 * 18; ++i) grey.rows.push_back(uint8_t(i * 7));
    grey.tileWidth = grey.tileLength = 16;
    for (const TiffPageSpec& p : {colour(5, 40, 0, 32773), colour(16, 32, 16, 1), grey}) {
        const std::vector<uint8_t> bytes = BuildTiff({p});
        for (bool fromFile : {false, true}) {
            ZtImage img;
            ASSERT_TRUE(fromFile ? zt_test::DecodeFileBytes(img, bytes, ImageFormat::Tiff) : Decode(img, bytes))
                << img.LastError();
            ASSERT_EQ(img.Width(), int(p.width));
            ASSERT_EQ(img.Height(), int(p.height));
            for (uint32_t line = 0; line < p.height; ++line)
                for (uint32_t x = 0; x < p.width; ++x) {
                    const uint32_t i = line * p.width + x;
                    ASSERT_EQ(Rgb(img, int(x), int(line)), p.spp == 3 ? i * 0x010203u & 0xFFFFFF : uint8_t(i * 7) * 0x010101u)
                        << x << "," << line << (fromFile ? " from a file" : " from memory");
                }
        }
    }
}

// Plain RGB is read without the RGBA reader but fails as it does: a strip
// that cannot be decoded fails the page (grey keeps the earlier rows).
TEST(TiffDecoder, PlainRgbStripThatCannotBeDecodedFailsThePage) {
    std::vector<uint32_t> rgb(18, 0x336699);
    TiffPageSpec p = Colour(3, 6, rgb);
    p.rowsPerStrip = 2;
    p.compression = 32773;
    p.brokenStrip = 2;
    ZtImage img;
    EXPECT_FALSE(Decode(img, BuildTiff({p})));
    EXPECT_STREQ(img.LastError(), "Corrupted TIFF file!");
}

TEST(TiffDecoder, LabPixelsBecomeSrgb) {
    TiffPageSpec p = Grey(2, 1, {255, 0, 0, 0, 0, 0});
    p.spp = 3;
    p.photometric = 8;
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildTiff({p}))) << img.LastError();
    EXPECT_EQ(Rgb(img, 0, 0), 0xFFFEFEu);
    EXPECT_EQ(Rgb(img, 1, 0), 0x080808u);
}

TEST(TiffDecoder, CmykAndYcbcrThroughTheColourRoad) {
    TiffPageSpec cmyk = Grey(2, 1, {0, 255, 255, 0, 0, 0, 0, 255});
    cmyk.spp = 4;
    cmyk.photometric = 5;
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildTiff({cmyk}))) << img.LastError();
    EXPECT_EQ(Rgb(img, 0, 0), 0xFF0000u);
    EXPECT_EQ(Rgb(img, 1, 0), 0x000000u);

    TiffPageSpec ycbcr = Grey(3, 1, {128, 128, 128, 255, 128, 128, 76, 85, 255});
    ycbcr.spp = 3;
    ycbcr.photometric = 6;
    ycbcr.subsampling = {1, 1};
    ZtImage yimg;
    ASSERT_TRUE(Decode(yimg, BuildTiff({ycbcr}))) << yimg.LastError();
    EXPECT_EQ(Rgb(yimg, 0, 0), 0x808080u);
    EXPECT_EQ(Rgb(yimg, 1, 0), 0xFFFFFFu);
    const ZtQuad red = Pixel(yimg, 2, 0);
    EXPECT_GT(red.red, 240);
    EXPECT_LT(red.green, 16);
    EXPECT_LT(red.blue, 16);
}

TEST(TiffDecoder, ColourDepthsTheRgbaReaderLacksGoTheSampleWay) {
    TiffPageSpec p = Grey(1, 1, {0xF5, 0x00});  // 4-bit RGB: 15, 5, 0
    p.bits = 4;
    p.spp = 3;
    p.photometric = 2;
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildTiff({p}))) << img.LastError();
    EXPECT_EQ(Rgb(img, 0, 0), 0xFF5500u);
}

TEST(TiffDecoder, GreyPlusAlpha) {
    TiffPageSpec p = Grey(2, 1, {10, 200, 90, 0});
    p.spp = 2;
    p.extraSamples = {2};
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildTiff({p}))) << img.LastError();
    ASSERT_TRUE(img.HasAlphaPlane());
    EXPECT_EQ(img.IndexAt(0, 0), 10);
    EXPECT_EQ(img.IndexAt(1, 0), 90);
    EXPECT_EQ(img.AlphaAt(0, 0), 200);
    EXPECT_EQ(img.AlphaAt(1, 0), 0);
}

TEST(TiffDecoder, SizeOnlyCancelAndForeignBytes) {
    const auto bytes = BuildTiff({Grey(3, 2, {1, 2, 3, 4, 5, 6})});
    ZtImageTIF probe;
    probe.SetAbortCode(-1);
    ZtMemFile stream(bytes.data(), bytes.size());
    EXPECT_TRUE(probe.Decode(&stream));
    EXPECT_EQ(probe.Width(), 3);
    EXPECT_EQ(probe.Height(), 2);
    EXPECT_FALSE(probe.HasPixels());
    EXPECT_STREQ(probe.LastError(), "output dimensions returned");

    ZtImageTIF cancelled;
    cancelled.SetAbortCode(1);
    ZtMemFile again(bytes.data(), bytes.size());
    EXPECT_FALSE(cancelled.Decode(&again));
    EXPECT_STREQ(cancelled.LastError(), "Cancelled");

    const std::vector<uint8_t> foreign = {'B', 'M', 0, 0, 0, 0, 0, 0};
    ZtImageTIF other;
    ZtMemFile third(foreign.data(), foreign.size());
    EXPECT_FALSE(other.Decode(&third));
    EXPECT_STREQ(other.LastError(), "Error encountered while opening TIFF file");
}

// Every prefix and every single-byte change of a small file either decodes
// to a picture or fails with a message.
TEST(TiffDecoder, EveryPrefixAndByteFlipDecodesOrFailsCleanly) {
    TiffPageSpec p = Grey(5, 4, {});
    for (uint8_t i = 0; i < 20; ++i) p.rows.push_back(uint8_t(i * 13));
    p.rowsPerStrip = 2;
    p.orientation = 6;
    const auto good = BuildTiff({p});
    auto check = [](const std::vector<uint8_t>& bytes, size_t at) {
        ZtImageTIF img;
        ZtMemFile stream(bytes.data(), bytes.size());
        if (img.Decode(&stream)) {
            EXPECT_TRUE(img.HasPixels()) << at;
            EXPECT_GT(img.Width(), 0) << at;
            EXPECT_GT(img.Height(), 0) << at;
        } else {
            EXPECT_NE(img.LastError()[0], '\0') << at;
        }
    };
    for (size_t n = 0; n < good.size(); ++n) check(std::vector<uint8_t>(good.begin(), good.begin() + long(n)), n);
    for (size_t i = 0; i < good.size(); ++i) {
        auto bytes = good;
        bytes[i] ^= 0xA5;
        check(bytes, i);
    }
}

TEST(TiffDecoder, CorpusMatchesIndependentDecoder) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not found beside the checkout";
    const auto refs = zt_test::LoadCorpusReferences(std::string(ZENT_SOURCE_DIR) + "/tests/data/tiff_reference.tsv");
    ASSERT_GT(refs.size(), 300u);
    int matched = 0, edgeMatched = 0, failedCleanly = 0, any = 0;
    for (const auto& r : refs) {
        const std::vector<uint8_t> bytes = zt_test::ReadFileBytes(corpus + "/" + r.path);
        ZtImage img;
        const bool ok = Decode(img, bytes);
        if (!ok) {
            EXPECT_NE(r.expect, "valid") << r.path << ": " << img.LastError();
            EXPECT_NE(img.LastError()[0], '\0') << r.path;
            ++failedCleanly;
        } else if (r.reference == "any" || r.reference == "fail") {
            ++any;
        } else {
            EXPECT_TRUE(zt_test::MatchesReference(img, r));
            ++(r.expect == "valid" ? matched : edgeMatched);
        }
    }
    printf("tiff corpus: %d valid and %d edge files match, %d decode without a reference, %d fail cleanly\n",
           matched, edgeMatched, any, failedCleanly);
}

}  // namespace
