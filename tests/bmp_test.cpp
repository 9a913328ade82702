// BMP decoder: headers, depths, masks, RLE, and the shared corpus against
// recorded references.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codecs/builtin/bmp.h"
#include "image/zt_file.h"
#include "tests/test_support.h"

namespace {

void Put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

struct BmpSpec {
    bool fileHeader = true;
    uint32_t headerSize = 40;
    int32_t width = 2;
    int32_t height = 2;
    uint16_t bits = 24;
    uint32_t compression = 0;
    uint32_t imageBytes = 0;
    uint32_t coloursUsed = 0;
    uint16_t planes = 1;
    std::vector<uint8_t> masks;    // written right after the 40 bytes for bit fields
    std::vector<uint8_t> palette;  // as stored (3- or 4-byte entries)
    std::vector<uint8_t> data;
    bool useOffset = true;
};

std::vector<uint8_t> MakeBmp(const BmpSpec& s) {
    std::vector<uint8_t> info;
    Put32(info, s.headerSize);
    if (s.headerSize == 12) {
        Put16(info, uint32_t(s.width));
        Put16(info, uint32_t(s.height));
        Put16(info, s.planes);
        Put16(info, s.bits);
    } else {
        Put32(info, uint32_t(s.width));
        Put32(info, uint32_t(s.height));
        Put16(info, s.planes);
        Put16(info, s.bits);
        Put32(info, s.compression);
        Put32(info, s.imageBytes);
        Put32(info, 2835);
        Put32(info, 2835);
        Put32(info, s.coloursUsed);
        Put32(info, 0);
        info.insert(info.end(), s.masks.begin(), s.masks.end());
        while (info.size() < s.headerSize) info.push_back(0);
    }
    std::vector<uint8_t> out;
    const uint32_t offset = uint32_t((s.fileHeader ? 14 : 0) + info.size() + s.palette.size());
    if (s.fileHeader) {
        out = {'B', 'M'};
        Put32(out, uint32_t(offset + s.data.size()));
        Put32(out, 0);
        Put32(out, s.useOffset ? offset : 0);
    }
    out.insert(out.end(), info.begin(), info.end());
    out.insert(out.end(), s.palette.begin(), s.palette.end());
    out.insert(out.end(), s.data.begin(), s.data.end());
    return out;
}

bool Decode(ZtImage& img, const std::vector<uint8_t>& bytes) {
    return zt_test::DecodeBytes(img, bytes, ImageFormat::Bmp);
}

uint32_t Rgb(const ZtImage& img, int x, int y) {
    const ZtQuad q = img.ColorAt(x, y, false);
    return uint32_t(q.red) << 16 | uint32_t(q.green) << 8 | q.blue;
}

// Two rows of 2 pixels, 24 bits: bottom row red, green; top row blue, white.
std::vector<uint8_t> Rgb24Rows() {
    return {0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0};
}

TEST(BmpDecoder, TwentyFourBitsWithAndWithoutFileHeader) {
    BmpSpec s;
    s.data = Rgb24Rows();
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeBmp(s))) << img.LastError();
    EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Bmp));
    EXPECT_EQ(Rgb(img, 0, 0), 0xFF0000u);
    EXPECT_EQ(Rgb(img, 1, 1), 0xFFFFFFu);
    EXPECT_EQ(img.HorizontalDpi(), 72);

    // A bare DIB: the pixels follow the header directly. Its image size must cover them.
    s.fileHeader = false;
    s.imageBytes = 16;
    ZtImage dib;
    ASSERT_TRUE(zt_test::DecodeBytes(dib, MakeBmp(s), ImageFormat::Unknown)) << dib.LastError();
    EXPECT_EQ(Rgb(dib, 1, 0), 0x00FF00u);
    EXPECT_EQ(Rgb(dib, 0, 1), 0x0000FFu);
}

TEST(BmpDecoder, NegativeHeightIsTopDown) {
    BmpSpec s;
    s.height = -2;
    std::vector<uint8_t> rows = Rgb24Rows();
    // The same picture with its rows stored top line first.
    s.data.assign(rows.begin() + 8, rows.end());
    s.data.insert(s.data.end(), rows.begin(), rows.begin() + 8);
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeBmp(s)));
    EXPECT_EQ(img.Height(), 2);
    EXPECT_EQ(Rgb(img, 0, 0), 0xFF0000u);
    EXPECT_EQ(Rgb(img, 0, 1), 0x0000FFu);
}

TEST(BmpDecoder, CoreHeaderThreeBytePalette) {
    BmpSpec s;
    s.headerSize = 12;
    s.bits = 8;
    s.width = 1;
    s.height = 1;
    for (int i = 0; i < 256; ++i) {
        s.palette.push_back(uint8_t(i));        // blue
        s.palette.push_back(uint8_t(255 - i));  // green
        s.palette.push_back(7);                 // red
    }
    s.data = {200, 0, 0, 0};
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeBmp(s))) << img.LastError();
    EXPECT_EQ(img.ColorAt(0, 0, true), (ZtQuad{200, 55, 7, 0}));
    for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(img.PaletteEntry(i).alpha, 0);
}

TEST(BmpDecoder, ThirtyTwoBitAlpha) {
    BmpSpec s;
    s.bits = 32;
    s.width = 2;
    s.height = 1;
    s.data = {1, 2, 3, 0, 4, 5, 6, 0};
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeBmp(s)));
    // Fourth bytes all 0: the alpha plane becomes fully opaque.
    EXPECT_EQ(img.AlphaAt(0, 0), 255);
    EXPECT_EQ(img.AlphaAt(1, 0), 255);
    EXPECT_EQ(Rgb(img, 1, 0), 0x060504u);

    s.data[7] = 128;  // one non-zero fourth byte keeps the plane as read
    ZtImage img2;
    ASSERT_TRUE(Decode(img2, MakeBmp(s)));
    EXPECT_EQ(img2.AlphaAt(0, 0), 0);
    EXPECT_EQ(img2.AlphaAt(1, 0), 128);

    // Bit fields with red in the top byte, from a V4 header.
    s.headerSize = 108;
    s.compression = 3;
    s.masks.clear();
    Put32(s.masks, 0xFF000000);
    Put32(s.masks, 0x00FF0000);
    Put32(s.masks, 0x0000FF00);
    s.data = {0, 1, 2, 3, 0, 4, 5, 6};
    ZtImage v4;
    ASSERT_TRUE(Decode(v4, MakeBmp(s))) << v4.LastError();
    EXPECT_EQ(Rgb(v4, 0, 0), 0x030201u);
    EXPECT_FALSE(v4.HasAlphaPlane());
}

TEST(BmpDecoder, SixteenBitMasks) {
    BmpSpec s;
    s.bits = 16;
    s.width = 2;
    s.height = 1;
    s.data = {0x00, 0x7C, 0xE0, 0x03};  // 5-5-5 red, green
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeBmp(s)));
    EXPECT_EQ(Rgb(img, 0, 0), 0xF80000u);
    EXPECT_EQ(Rgb(img, 1, 0), 0x00F800u);

    s.compression = 3;  // 5-6-5 masks read before the seek to the pixels
    Put32(s.masks, 0xF800);
    Put32(s.masks, 0x07E0);
    Put32(s.masks, 0x001F);
    s.data = {0xE0, 0x07, 0x1F, 0x00};
    ZtImage six;
    ASSERT_TRUE(Decode(six, MakeBmp(s)));
    EXPECT_EQ(Rgb(six, 0, 0), 0x00FC00u);
    EXPECT_EQ(Rgb(six, 1, 0), 0x0000F8u);
}

TEST(BmpDecoder, LongHeadersWithFileHeader) {
    // A top-down V5 bitmap with image size 0 and a palette that states its count.
    BmpSpec s;
    s.headerSize = 124;
    s.bits = 8;
    s.width = 1;
    s.height = -2;
    s.coloursUsed = 2;
    s.palette = {10, 20, 30, 0, 40, 50, 60, 0};
    s.data = {1, 0, 0, 0, 0, 0, 0, 0};
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeBmp(s))) << img.LastError();
    EXPECT_EQ(Rgb(img, 0, 1), 0x3C3228u);  // the first stored row is the top line
    EXPECT_EQ(Rgb(img, 0, 0), 0x1E140Au);

    // Without an offset the palette still starts after the whole header.
    s.useOffset = false;
    ZtImage noOffset;
    ASSERT_TRUE(Decode(noOffset, MakeBmp(s))) << noOffset.LastError();
    EXPECT_EQ(Rgb(noOffset, 0, 1), 0x3C3228u);

    // A bare DIB with the same header keeps the strict rule and is refused.
    s.fileHeader = false;
    ZtImage bare;
    EXPECT_FALSE(Decode(bare, MakeBmp(s)));
    EXPECT_STREQ(bare.LastError(), "Error reading BMP info");

    // Too many colours for the depth, or two planes, refuse a long header.
    s.fileHeader = true;
    s.coloursUsed = 257;
    ZtImage many;
    EXPECT_FALSE(Decode(many, MakeBmp(s)));
    EXPECT_STREQ(many.LastError(), "Error reading BMP info");
}

TEST(BmpDecoder, PaletteLongerThanImagePaletteIsSkipped) {
    // 1-bit image whose header claims 4 colours and has no data offset.
    BmpSpec s;
    s.bits = 1;
    s.width = 8;
    s.height = 1;
    s.coloursUsed = 4;
    s.useOffset = false;
    s.palette = {0, 0, 0, 0, 255, 255, 255, 0, 1, 1, 1, 0, 2, 2, 2, 0};
    s.data = {0x80, 0, 0, 0};
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeBmp(s)));
    EXPECT_EQ(Rgb(img, 0, 0), 0xFFFFFFu);
    EXPECT_EQ(Rgb(img, 1, 0), 0x000000u);
}

TEST(BmpDecoder, TwoBitRowsWidenToFourBits) {
    BmpSpec s;
    s.bits = 2;
    s.width = 5;
    s.height = 1;
    s.palette = {0, 0, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0};
    s.data = {0x1B, 0x40, 0, 0};  // indices 0, 1, 2, 3, 1
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeBmp(s))) << img.LastError();
    EXPECT_EQ(img.BitsPerPixel(), 4u);
    EXPECT_EQ(Rgb(img, 0, 0), 0x000000u);
    EXPECT_EQ(Rgb(img, 1, 0), 0xFF0000u);
    EXPECT_EQ(Rgb(img, 2, 0), 0x00FF00u);
    EXPECT_EQ(Rgb(img, 3, 0), 0x0000FFu);
    EXPECT_EQ(Rgb(img, 4, 0), 0xFF0000u);
}

BmpSpec Rle8(std::vector<uint8_t> data, int32_t width = 4, int32_t height = 2) {
    BmpSpec s;
    s.bits = 8;
    s.compression = 1;
    s.width = width;
    s.height = height;
    for (int i = 0; i < 256; ++i)
        for (int k = 0; k < 4; ++k) s.palette.push_back(k == 3 ? 0 : uint8_t(i));
    s.data = std::move(data);
    return s;
}

TEST(BmpDecoder, Rle8RunsDeltasAndClipping) {
    // A run of 9 on a 4-wide row is cut at the row stride; an absolute run;
    // a delta that jumps past the picture is consumed; no end code at all.
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeBmp(Rle8({9, 7, 0, 0, 0, 3, 1, 2, 3, 0, 0, 2, 200, 200, 5, 9}))));
    for (int x = 0; x < 4; ++x) EXPECT_EQ(img.IndexAt(x, 0), 7);
    EXPECT_EQ(img.IndexAt(0, 1), 1);
    EXPECT_EQ(img.IndexAt(2, 1), 3);
    EXPECT_EQ(img.IndexAt(3, 1), 0);

    // An absolute run longer than the row and a run on a row past the top.
    ZtImage clip;
    ASSERT_TRUE(Decode(clip, MakeBmp(Rle8({0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 4, 9, 0, 1}, 4, 1))));
    EXPECT_EQ(clip.IndexAt(3, 0), 4);
    EXPECT_EQ(clip.RowStride(), 4u);

    // A delta within the picture.
    ZtImage delta;
    ASSERT_TRUE(Decode(delta, MakeBmp(Rle8({0, 2, 2, 1, 1, 8, 0, 1}))));
    EXPECT_EQ(delta.IndexAt(2, 1), 8);
    EXPECT_EQ(delta.IndexAt(1, 1), 0);
}

TEST(BmpDecoder, Rle4NibblesAndOddDelta) {
    BmpSpec s;
    s.bits = 4;
    s.compression = 2;
    s.width = 8;
    s.height = 2;
    for (int i = 0; i < 16; ++i)
        for (int k = 0; k < 4; ++k) s.palette.push_back(k == 3 ? 0 : uint8_t(i * 16));
    // Row 0: a run of 3 pixels alternating 1, 2; then an absolute run 3, 4, 5
    // (two data bytes, no padding). Row 1: a delta of dx = 3 moves one
    // byte, not one and a half, then a run of 2 pixels of 6.
    s.data = {3, 0x12, 0, 3, 0x34, 0x50, 0, 0, 0, 2, 3, 0, 2, 0x66, 0, 1};
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeBmp(s))) << img.LastError();
    const int expect0[] = {1, 2, 1, 3, 4, 5, 0, 0};
    for (int x = 0; x < 8; ++x) EXPECT_EQ(img.IndexAt(x, 0), expect0[x]) << x;
    EXPECT_EQ(img.IndexAt(1, 1), 0);
    EXPECT_EQ(img.IndexAt(2, 1), 6);
    EXPECT_EQ(img.IndexAt(3, 1), 6);
    EXPECT_EQ(img.IndexAt(4, 1), 0);

    // A run far longer than the image stores nothing outside it.
    s.data = {255, 0x77, 0, 0, 255, 0x77, 0, 0, 255, 0x77, 0, 1};
    ZtImage big;
    ASSERT_TRUE(Decode(big, MakeBmp(s)));
    EXPECT_EQ(big.IndexAt(7, 1), 7);
}

TEST(BmpDecoder, FailuresAndMessages) {
    ZtImage img;
    EXPECT_FALSE(Decode(img, {'B', 'M', 1}));
    EXPECT_STREQ(img.LastError(), "Not a BMP");

    BmpSpec s;
    s.data = Rgb24Rows();
    s.compression = 1;
    EXPECT_FALSE(Decode(img, MakeBmp(s)));
    EXPECT_STREQ(img.LastError(), "unknown compression");
    s.bits = 8;
    s.compression = 4;
    EXPECT_FALSE(Decode(img, MakeBmp(s)));
    EXPECT_STREQ(img.LastError(), "compression type not supported");
    s.bits = 7;  // no such layout
    s.compression = 0;
    EXPECT_FALSE(Decode(img, MakeBmp(s)));
    EXPECT_STREQ(img.LastError(), "Error reading BMP info");
    s.bits = 24;
    s.width = 0;
    EXPECT_FALSE(Decode(img, MakeBmp(s)));
    EXPECT_STREQ(img.LastError(), "ZtImage::Create : width and height must be greater than zero");
    s.width = 100000;
    s.height = 100000;
    EXPECT_FALSE(Decode(img, MakeBmp(s)));
    EXPECT_STREQ(img.LastError(), "ZTIMAGE_MAX_MEMORY exceeded");
    // A header that promises a large picture but carries not one row of it.
    s.width = 4000;
    s.height = 3;
    s.data.resize(8);
    EXPECT_FALSE(Decode(img, MakeBmp(s)));
    EXPECT_STREQ(img.LastError(), "BMP pixel data missing");
    EXPECT_FALSE(img.HasPixels());

    // Dimensions only: the size is reported with success and no pixels.
    ZtImage dims;
    dims.SetAbortCode(-1);
    s.width = 4000;
    s.height = -3;
    ASSERT_TRUE(Decode(dims, MakeBmp(s)));
    EXPECT_EQ(dims.Width(), 4000);
    EXPECT_EQ(dims.Height(), 3);
    EXPECT_FALSE(dims.HasPixels());
    EXPECT_STREQ(dims.LastError(), "output dimensions returned");

    // A file refused in dimensions-only mode is a failure, even for an image
    // that already carries the BMP id from an earlier load.
    BmpSpec plain;
    plain.data.assign(16, 0x40);
    ZtImage refused;
    ASSERT_TRUE(Decode(refused, MakeBmp(plain)));
    refused.SetAbortCode(-1);
    EXPECT_FALSE(Decode(refused, {'B', 'M', 0, 0}));
    EXPECT_STREQ(refused.LastError(), "Not a BMP");

    ZtImage cancelled;
    cancelled.SetAbortCode(5);
    s.width = 2;
    s.height = 2;
    EXPECT_FALSE(Decode(cancelled, MakeBmp(s)));
    EXPECT_STREQ(cancelled.LastError(), "Cancelled");
}

TEST(BmpDecoder, TruncatedPixelDataKeepsWhatArrived) {
    BmpSpec s;
    s.data = Rgb24Rows();
    s.data.resize(12);  // the top row keeps its first pixel and one byte of the second
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeBmp(s)));
    EXPECT_EQ(Rgb(img, 1, 0), 0x00FF00u);
    EXPECT_EQ(Rgb(img, 0, 1), 0x0000FFu);
    EXPECT_EQ(Rgb(img, 1, 1), 0x0000FFu);
}

TEST(BmpDecoder, EveryPrefixAndByteFlipFailsCleanly) {
    BmpSpec s = Rle8({3, 1, 0, 0, 0, 4, 1, 2, 3, 4, 0, 1});
    const std::vector<uint8_t> good = MakeBmp(s);
    for (size_t n = 0; n < good.size(); ++n) {
        ZtImage img;
        std::vector<uint8_t> prefix(good.begin(), good.begin() + long(n));
        const bool ok = Decode(img, prefix);
        EXPECT_TRUE(zt_test::DecodedOrFailedCleanly(ok, img, true)) << "prefix " << n;
    }
    for (size_t i = 0; i < good.size(); ++i)
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            std::vector<uint8_t> bad = good;
            bad[i] ^= flip;
            ZtImage img;
            const bool ok = Decode(img, bad);
            EXPECT_TRUE(zt_test::DecodedOrFailedCleanly(ok, img, true)) << "byte " << i << " ^ " << int(flip);
        }
}

TEST(BmpDecoder, CorpusMatchesIndependentDecoder) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not present; corpus comparison skipped";
    const auto refs = zt_test::LoadCorpusReferences(std::string(ZENT_SOURCE_DIR) + "/tests/data/bmp_reference.tsv");
    ASSERT_FALSE(refs.empty());
    int matched = 0;
    for (const auto& r : refs) {
        SCOPED_TRACE(r.path);
        ZtImage img;
        const bool ok = img.LoadFromPath((corpus + "/" + r.path).c_str(), ImageFormat::Bmp);
        if (!ok) {
            EXPECT_STRNE(img.LastError(), "");
        }
        if (r.expect == "valid") {
            ASSERT_TRUE(ok) << img.LastError();
        }
        if (ok && r.reference.size() == 16 && r.expect != "invalid") {
            EXPECT_TRUE(zt_test::MatchesReference(img, r));
            ++matched;
        }
    }
    EXPECT_GE(matched, 60);
}

}  // namespace
