// PNG adapter: depth choice per colour type, 16-bit reduction, 2-bit
// widening, Adam7, resolution, transparency, errors, and the shared corpus.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "codecs/adapters/png.h"
#include "image/zt_file.h"
#include "tests/png_fixture.h"
#include "tests/test_support.h"

namespace {

using zt_test::BuildPng;
using zt_test::PngSpec;

// ColorAt of the pixel at column x, picture line `line` counted from the top.
ZtQuad Pixel(const ZtImage& img, int x, int line) { return img.ColorAt(x, img.Height() - 1 - line, false); }
uint8_t AlphaOf(const ZtImage& img, int x, int line) { return img.AlphaAt(x, img.Height() - 1 - line); }

bool DecodePng(ZtImagePNG& img, const std::vector<uint8_t>& bytes) {
    ZtMemFile stream(bytes.data(), bytes.size());
    return img.Decode(&stream);
}

// A spec with a deterministic pattern in every sample.
PngSpec Patterned(uint32_t w, uint32_t h, int bitDepth, int colorType) {
    PngSpec s;
    s.width = w;
    s.height = h;
    s.bitDepth = bitDepth;
    s.colorType = colorType;
    const int ch = zt_test::PngChannels(colorType);
    const uint32_t limit = bitDepth == 16 ? 65536u : (1u << bitDepth);
    for (uint32_t i = 0; i < w * h * uint32_t(ch); ++i) s.samples.push_back(uint16_t((i * 2654435761u >> 7) % limit));
    if (colorType == 3) {
        for (uint32_t i = 0; i < (1u << bitDepth); ++i) {
            s.plte.push_back(uint8_t(i * 7 + 1));
            s.plte.push_back(uint8_t(255 - i));
            s.plte.push_back(uint8_t(i * 3));
        }
    }
    return s;
}

TEST(PngDecoder, SixteenBitRgbKeepsHighBytesInBgrOrder) {
    PngSpec s;
    s.width = 2;
    s.height = 1;
    s.bitDepth = 16;
    s.colorType = 2;
    s.samples = {0x1234, 0x5678, 0x9ABC, 0xFF01, 0x00FF, 0x8080};
    ZtImagePNG img;
    ASSERT_TRUE(DecodePng(img, BuildPng(s))) << img.LastError();
    EXPECT_EQ(img.BitsPerPixel(), 24u);
    EXPECT_FALSE(img.HasAlphaPlane());
    EXPECT_EQ(Pixel(img, 0, 0), (ZtQuad{0x9A, 0x56, 0x12, 0}));
    EXPECT_EQ(Pixel(img, 1, 0), (ZtQuad{0x80, 0x00, 0xFF, 0}));
    // The storage row holds blue, green, red bytes.
    const uint8_t* row = img.RowBits(0);
    EXPECT_EQ(row[0], 0x9A);
    EXPECT_EQ(row[2], 0x12);
}

TEST(PngDecoder, GreyAlphaBecomesGreyRampWithAlphaPlane) {
    for (int depth : {8, 16}) {
        PngSpec s;
        s.width = 3;
        s.height = 2;
        s.bitDepth = depth;
        s.colorType = 4;
        const int k = depth == 16 ? 257 : 1;  // the same 8-bit value in both depths
        s.samples = {uint16_t(10 * k), uint16_t(255 * k), uint16_t(20 * k), 0, uint16_t(30 * k), uint16_t(128 * k),
                     uint16_t(40 * k), uint16_t(1 * k), uint16_t(50 * k), uint16_t(2 * k), uint16_t(60 * k),
                     uint16_t(3 * k)};
        ZtImagePNG img;
        ASSERT_TRUE(DecodePng(img, BuildPng(s))) << img.LastError();
        EXPECT_EQ(img.BitsPerPixel(), 8u);
        ASSERT_TRUE(img.HasAlphaPlane());
        EXPECT_TRUE(img.HasGreyPalette());
        const uint8_t greys[2][3] = {{10, 20, 30}, {40, 50, 60}};
        const uint8_t alphas[2][3] = {{255, 0, 128}, {1, 2, 3}};
        for (int line = 0; line < 2; ++line)
            for (int x = 0; x < 3; ++x) {
                EXPECT_EQ(img.IndexAt(x, 1 - line), greys[line][x]) << depth;
                EXPECT_EQ(AlphaOf(img, x, line), alphas[line][x]) << depth;
            }
    }
}

TEST(PngDecoder, RgbaSplitsAlphaIntoPlane) {
    PngSpec s;
    s.width = 2;
    s.height = 1;
    s.colorType = 6;
    s.samples = {1, 2, 3, 4, 200, 100, 50, 255};
    ZtImagePNG img;
    ASSERT_TRUE(DecodePng(img, BuildPng(s))) << img.LastError();
    EXPECT_EQ(img.BitsPerPixel(), 24u);
    EXPECT_EQ(Pixel(img, 0, 0), (ZtQuad{3, 2, 1, 0}));
    EXPECT_EQ(Pixel(img, 1, 0), (ZtQuad{50, 100, 200, 0}));
    EXPECT_EQ(AlphaOf(img, 0, 0), 4);
    EXPECT_EQ(AlphaOf(img, 1, 0), 255);
}

TEST(PngDecoder, TwoBitGreyWidensToFourBits) {
    PngSpec s;
    s.width = 5;
    s.height = 2;
    s.bitDepth = 2;
    s.colorType = 0;
    s.samples = {0, 1, 2, 3, 1, 3, 2, 1, 0, 2};
    ZtImagePNG img;
    ASSERT_TRUE(DecodePng(img, BuildPng(s))) << img.LastError();
    EXPECT_EQ(img.BitsPerPixel(), 4u);
    EXPECT_EQ(img.PaletteEntry(0), (ZtQuad{0, 0, 0, 0}));
    EXPECT_EQ(img.PaletteEntry(1), (ZtQuad{85, 85, 85, 0}));
    EXPECT_EQ(img.PaletteEntry(2), (ZtQuad{170, 170, 170, 0}));
    EXPECT_EQ(img.PaletteEntry(3), (ZtQuad{255, 255, 255, 0}));
    for (int line = 0; line < 2; ++line)
        for (int x = 0; x < 5; ++x) EXPECT_EQ(img.IndexAt(x, 1 - line), s.samples[size_t(line) * 5 + x]);
    // Top line 0 1 2 3 1 packs to nibbles 01 23 10.
    const uint8_t* top = img.RowBits(1);
    EXPECT_EQ(top[0], 0x01);
    EXPECT_EQ(top[1], 0x23);
    EXPECT_EQ(top[2], 0x10);
}

TEST(PngDecoder, ExpandTwoBitRowWorksInPlaceFromTheRight) {
    ZtImagePNG img;
    ASSERT_NE(img.Create(9, 1, 4, ImageFormat::Png), nullptr);
    uint8_t row[8] = {0x1B, 0xE4, 0x80, 0, 0, 0, 0, 0};  // 0 1 2 3 | 3 2 1 0 | 2
    img.ExpandTwoBitRow(row);
    const uint8_t want[5] = {0x01, 0x23, 0x32, 0x10, 0x20};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(row[i], want[i]) << i;
}

TEST(PngDecoder, Adam7MatchesNonInterlacedTwin) {
    struct Case {
        int depth, type;
    };
    const Case cases[] = {{1, 0}, {2, 0}, {4, 0}, {8, 0}, {16, 0}, {1, 3}, {2, 3}, {4, 3}, {8, 3},
                          {8, 2}, {16, 2}, {8, 4}, {16, 4}, {8, 6}, {16, 6}};
    for (const Case& c : cases) {
        for (uint32_t size : {1u, 5u, 13u}) {
            PngSpec s = Patterned(size, size + 2, c.depth, c.type);
            ZtImagePNG plain, adam7;
            ASSERT_TRUE(DecodePng(plain, BuildPng(s))) << plain.LastError();
            s.interlaced = true;
            ASSERT_TRUE(DecodePng(adam7, BuildPng(s))) << adam7.LastError();
            SCOPED_TRACE("depth " + std::to_string(c.depth) + " type " + std::to_string(c.type) + " size " +
                         std::to_string(size));
            EXPECT_EQ(plain.DecoderOption(ImageFormat::Png), 0u);
            EXPECT_EQ(adam7.DecoderOption(ImageFormat::Png), 1u);
            ASSERT_EQ(plain.ImageBytes(), adam7.ImageBytes());
            bool samePixels = true;
            for (int y = 0; y < plain.Height(); ++y)
                for (int x = 0; x < plain.Width(); ++x)
                    samePixels = samePixels && plain.ColorAt(x, y, true) == adam7.ColorAt(x, y, true);
            EXPECT_TRUE(samePixels);
            EXPECT_EQ(zt_test::IncludeHash(plain), zt_test::IncludeHash(adam7));
        }
    }
}

TEST(PngDecoder, SixteenBitGreyAndPalettePixelsAreExact) {
    PngSpec s;
    s.width = 3;
    s.height = 1;
    s.bitDepth = 16;
    s.colorType = 0;
    s.samples = {0x0000, 0x7FFF, 0xFF00};
    ZtImagePNG grey;
    ASSERT_TRUE(DecodePng(grey, BuildPng(s))) << grey.LastError();
    EXPECT_EQ(grey.BitsPerPixel(), 8u);
    EXPECT_EQ(grey.IndexAt(0, 0), 0);
    EXPECT_EQ(grey.IndexAt(1, 0), 0x7F);
    EXPECT_EQ(grey.IndexAt(2, 0), 0xFF);

    PngSpec p;
    p.width = 3;
    p.height = 1;
    p.bitDepth = 4;
    p.colorType = 3;
    p.plte = {10, 20, 30, 40, 50, 60, 70, 80, 90};
    p.samples = {2, 0, 1};
    ZtImagePNG pal;
    ASSERT_TRUE(DecodePng(pal, BuildPng(p))) << pal.LastError();
    EXPECT_EQ(pal.BitsPerPixel(), 4u);
    EXPECT_EQ(pal.Header().importantColors, 3u);
    EXPECT_EQ(Pixel(pal, 0, 0), (ZtQuad{90, 80, 70, 0}));
    EXPECT_EQ(Pixel(pal, 1, 0), (ZtQuad{30, 20, 10, 0}));
    EXPECT_EQ(Pixel(pal, 2, 0), (ZtQuad{60, 50, 40, 0}));
    EXPECT_EQ(pal.TransparentIndex(), -1);
    EXPECT_FALSE(pal.PaletteAlphaEnabled());
}

TEST(PngDecoder, PhysGivesDotsPerInch) {
    PngSpec s = Patterned(2, 2, 8, 2);
    s.phys = true;
    s.physUnit = 1;
    s.physX = 3780;  // 96.01 dpi
    s.physY = 11811;  // 299.9994 dpi
    ZtImagePNG metre;
    ASSERT_TRUE(DecodePng(metre, BuildPng(s)));
    EXPECT_EQ(metre.HorizontalDpi(), 96);
    EXPECT_EQ(metre.VerticalDpi(), 300);

    s.physUnit = 0;  // aspect ratio only: taken as it stands
    s.physX = 72;
    s.physY = 0;
    ZtImagePNG unitless;
    ASSERT_TRUE(DecodePng(unitless, BuildPng(s)));
    EXPECT_EQ(unitless.HorizontalDpi(), 72);
    EXPECT_EQ(unitless.VerticalDpi(), 96);

    s.phys = false;
    ZtImagePNG none;
    ASSERT_TRUE(DecodePng(none, BuildPng(s)));
    EXPECT_EQ(none.HorizontalDpi(), 96);
    EXPECT_EQ(none.VerticalDpi(), 96);
}

TEST(PngDecoder, PaletteTransparency) {
    PngSpec s = Patterned(4, 4, 8, 3);
    s.plte.resize(3 * 5);
    for (uint16_t& v : s.samples) v %= 5;
    s.trns = {0, 128, 7};
    ZtImagePNG img;
    ASSERT_TRUE(DecodePng(img, BuildPng(s))) << img.LastError();
    EXPECT_TRUE(img.PaletteAlphaEnabled());
    EXPECT_EQ(img.PaletteEntry(0).alpha, 0);
    EXPECT_EQ(img.PaletteEntry(1).alpha, 128);
    EXPECT_EQ(img.PaletteEntry(2).alpha, 7);
    EXPECT_EQ(img.PaletteEntry(3).alpha, 255);
    EXPECT_EQ(img.PaletteEntry(255).alpha, 255);
    EXPECT_EQ(img.TransparentIndex(), -1);

    // A one-byte tRNS describes entry 0: that becomes the transparent index.
    s.trns = {0};
    ZtImagePNG single;
    ASSERT_TRUE(DecodePng(single, BuildPng(s))) << single.LastError();
    EXPECT_EQ(single.TransparentIndex(), 0);
    EXPECT_FALSE(single.PaletteAlphaEnabled());
}

TEST(PngDecoder, RgbAndGreyTransparentColour) {
    PngSpec s = Patterned(2, 2, 16, 2);
    s.trns = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};  // red 0x1234, green 0x5678, blue 0x9ABC
    ZtImagePNG rgb;
    ASSERT_TRUE(DecodePng(rgb, BuildPng(s))) << rgb.LastError();
    EXPECT_EQ(rgb.TransparentColor(), (ZtQuad{0x9A, 0x56, 0x12, 0}));
    EXPECT_EQ(rgb.TransparentIndex(), 0);

    PngSpec g = Patterned(2, 2, 4, 0);
    g.trns = {0x00, 0x0B};
    ZtImagePNG grey;
    ASSERT_TRUE(DecodePng(grey, BuildPng(g))) << grey.LastError();
    EXPECT_EQ(grey.TransparentIndex(), 11);
    EXPECT_EQ(grey.PaletteEntry(11), (ZtQuad{187, 187, 187, 0}));  // 4-bit ramp, step 17
}

TEST(PngDecoder, CutInsideImageDataIsReadError) {
    PngSpec s = Patterned(16, 16, 8, 2);
    std::vector<uint8_t> bytes = BuildPng(s);
    bytes.resize(bytes.size() - 12 - 40);  // drop IEND and the end of IDAT
    ZtImagePNG img;
    EXPECT_FALSE(DecodePng(img, bytes));
    EXPECT_STREQ(img.LastError(), "Read Error");
}

TEST(PngDecoder, EveryPrefixFailsWithReadError) {
    const std::vector<uint8_t> bytes = BuildPng(Patterned(7, 5, 8, 6));
    for (size_t n = 0; n < bytes.size(); ++n) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + long(n));
        ZtImagePNG img;
        ASSERT_FALSE(DecodePng(img, cut)) << n;
        ASSERT_STREQ(img.LastError(), "Read Error") << n;
    }
}

TEST(PngDecoder, LibraryMessagesReachLastError) {
    std::vector<uint8_t> bytes = BuildPng(Patterned(4, 4, 8, 2));
    std::vector<uint8_t> badSignature = bytes;
    badSignature[1] = 'Q';
    ZtImagePNG a;
    EXPECT_FALSE(DecodePng(a, badSignature));
    EXPECT_STREQ(a.LastError(), "Not a PNG file");

    std::vector<uint8_t> badCrc = bytes;
    badCrc[8 + 8 + 13] ^= 1;  // IHDR's CRC
    ZtImagePNG b;
    EXPECT_FALSE(DecodePng(b, badCrc));
    EXPECT_STREQ(b.LastError(), "IHDR: CRC error");

    // Through the dispatcher the message survives the temporary decoder.
    ZtImage c;
    EXPECT_FALSE(zt_test::DecodeBytes(c, badSignature, ImageFormat::Png));
    EXPECT_STREQ(c.LastError(), "Not a PNG file");
    EXPECT_FALSE(c.HasPixels());
}

TEST(PngDecoder, EveryByteFlipDecodesOrFailsCleanly) {
    const std::vector<uint8_t> bytes = BuildPng(Patterned(6, 4, 4, 3));
    int failures = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::vector<uint8_t> flipped = bytes;
        flipped[i] ^= 0xA5;
        ZtImagePNG img;
        if (!DecodePng(img, flipped)) {
            ++failures;
            EXPECT_NE(img.LastError()[0], '\0') << i;
        }
    }
    // Every byte is covered by a signature check or a chunk CRC.
    EXPECT_EQ(failures, int(bytes.size()));
}

// Chunks whose handlers would allocate what their length claims, each with
// a length of about 2 GB in a file of a few hundred bytes.
TEST(PngDecoder, AncillaryChunkClaimingGigabytesFailsWithoutReadingIt) {
    for (const char* type : {"tEXt", "zTXt", "iTXt", "sPLT", "pCAL", "sCAL", "eXIf", "iCCP"}) {
        for (bool afterImageData : {false, true}) {
            PngSpec s = Patterned(4, 3, 8, 2);
            (afterImageData ? s.chunksAfter : s.chunksBefore).push_back({type, {'k', 0, 'v'}});
            const auto bytes = zt_test::WithClaimedLength(BuildPng(s), type, 0x7FFFFF00u);
            zt_test::RecordingStream stream(bytes.data(), bytes.size());
            ZtImagePNG img;
            EXPECT_FALSE(img.Decode(&stream)) << type;
            EXPECT_STREQ(img.LastError(), "Read Error") << type;
            EXPECT_LE(stream.largest, 8192u) << type << (afterImageData ? " after" : " before");
        }
    }
}

TEST(PngDecoder, ChunksTheDecoderDoesNotUseLeaveThePictureAlone) {
    PngSpec plain = Patterned(5, 4, 8, 6);
    plain.phys = true;
    plain.physUnit = 1;
    plain.physX = 3780;
    plain.physY = 3780;
    PngSpec busy = plain;
    const std::vector<uint8_t> text = {'T', 'i', 't', 'l', 'e', 0, 'x'};
    busy.chunksBefore = {{"gAMA", {0, 0, 0xB1, 0x8F}}, {"iCCP", {'p', 0, 0, 1, 2, 3}},
                         {"tEXt", text},             {"zTXt", {'k', 0, 0, 0xFF}},
                         {"sPLT", {'s', 0, 8}},      {"abCd", {1, 2}}};
    busy.chunksAfter = {{"iTXt", text}, {"eXIf", {'M', 'M', 0, 42}}, {"tIME", {7, 0xE9, 1, 1, 0, 0, 0}}};
    ZtImagePNG a, b;
    ASSERT_TRUE(DecodePng(a, BuildPng(plain))) << a.LastError();
    ASSERT_TRUE(DecodePng(b, BuildPng(busy))) << b.LastError();
    EXPECT_EQ(zt_test::IncludeHash(a), zt_test::IncludeHash(b));
    for (int line = 0; line < 4; ++line)
        for (int x = 0; x < 5; ++x) ASSERT_EQ(AlphaOf(a, x, line), AlphaOf(b, x, line));
    EXPECT_EQ(b.HorizontalDpi(), 96);  // pHYs is still read
}

TEST(PngDecoder, SizeOnlyAndCancel) {
    const std::vector<uint8_t> bytes = BuildPng(Patterned(37, 21, 8, 2));
    ZtImagePNG sizeOnly;
    sizeOnly.SetAbortCode(-1);
    EXPECT_TRUE(DecodePng(sizeOnly, bytes));
    EXPECT_EQ(sizeOnly.Width(), 37);
    EXPECT_EQ(sizeOnly.Height(), 21);
    EXPECT_EQ(sizeOnly.FormatId(), uint32_t(ImageFormat::Png));
    EXPECT_FALSE(sizeOnly.HasPixels());

    ZtImagePNG cancelled;
    cancelled.SetAbortCode(3);
    EXPECT_FALSE(DecodePng(cancelled, bytes));
    EXPECT_STREQ(cancelled.LastError(), "");

    // Through the dispatcher, and found by the try-every-decoder pass.
    ZtImage any;
    ASSERT_TRUE(zt_test::DecodeBytes(any, bytes, ImageFormat::Unknown)) << any.LastError();
    EXPECT_EQ(any.FormatId(), uint32_t(ImageFormat::Png));
    EXPECT_EQ(any.Width(), 37);
}

TEST(PngDecoder, NullStreamFailsWithReadError) {
    ZtImagePNG img;
    EXPECT_FALSE(img.Decode(nullptr));
    EXPECT_STREQ(img.LastError(), "Read Error");
}

// Every corpus PNG against the include computed from Pillow's pixels.
TEST(PngDecoder, CorpusMatchesIndependentDecoder) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not found beside the checkout";
    const auto refs = zt_test::LoadCorpusReferences(std::string(ZENT_SOURCE_DIR) + "/tests/data/png_reference.tsv");
    ASSERT_GT(refs.size(), 150u);
    int matched = 0, failedCleanly = 0;
    for (const auto& r : refs) {
        const std::vector<uint8_t> bytes = zt_test::ReadFileBytes(corpus + "/" + r.path);
        ZtImage img;
        const bool ok = zt_test::DecodeBytes(img, bytes, ImageFormat::Png);
        if (r.expect == "valid") {
            ASSERT_NE(r.reference, "fail") << r.path;
            EXPECT_TRUE(ok) << r.path << ": " << img.LastError();
            if (!ok) continue;
            EXPECT_TRUE(zt_test::MatchesReference(img, r));
            ++matched;
        } else if (r.expect == "invalid") {
            if (!ok) {
                EXPECT_NE(img.LastError()[0], '\0') << r.path;
                ++failedCleanly;
            } else if (r.reference != "fail" && r.reference != "any") {
                EXPECT_EQ(zt_test::IncludeHash(img), r.reference) << r.path;
            }
        }
    }
    printf("png corpus: %d valid files match, %d invalid files fail cleanly\n", matched, failedCleanly);
}

}  // namespace
