// Icon and cursor decoder: entry choice, bitmap entries with their AND mask
// (alpha plane, transparent colour, transparent index, inversion), PNG
// entries, damaged directories, and the shared corpus.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "codecs/builtin/ico.h"
#include "image/zt_file.h"
#include "tests/png_fixture.h"
#include "tests/test_support.h"

namespace {

void Put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    Put16(v, x & 0xFFFF);
    Put16(v, x >> 16);
}

struct Entry {
    uint8_t width, height;
    std::vector<uint8_t> data;
    uint16_t planesOrHotX = 1, bitsOrHotY = 0;
};

// A directory of the entries, their data laid out one after another.
std::vector<uint8_t> BuildIco(uint16_t type, const std::vector<Entry>& entries) {
    std::vector<uint8_t> out;
    Put16(out, 0);
    Put16(out, type);
    Put16(out, uint32_t(entries.size()));
    uint32_t offset = uint32_t(6 + 16 * entries.size());
    for (const Entry& e : entries) {
        out.push_back(e.width);
        out.push_back(e.height);
        out.push_back(0);
        out.push_back(0);
        Put16(out, e.planesOrHotX);
        Put16(out, e.bitsOrHotY);
        Put32(out, uint32_t(e.data.size()));
        Put32(out, offset);
        offset += uint32_t(e.data.size());
    }
    for (const Entry& e : entries) out.insert(out.end(), e.data.begin(), e.data.end());
    return out;
}

// A DIB entry: info header, palette quads, pixel bytes (bottom-up, padded)
// and mask bytes (bottom-up, rows of ((w + 31) / 32) * 4).
std::vector<uint8_t> BuildDib(uint32_t w, uint32_t h, uint16_t bits, const std::vector<uint8_t>& palette,
                              const std::vector<uint8_t>& pixels, const std::vector<uint8_t>& mask,
                              uint32_t coloursUsed = 0, uint32_t headerSize = 40) {
    std::vector<uint8_t> d;
    Put32(d, headerSize);
    Put32(d, w);
    Put32(d, h * 2);
    Put16(d, 1);
    Put16(d, bits);
    Put32(d, 0);
    Put32(d, uint32_t(pixels.size() + mask.size()));
    Put32(d, 0);
    Put32(d, 0);
    Put32(d, coloursUsed);
    Put32(d, 0);
    d.resize(headerSize, 0xEE);  // a longer header's extra fields
    d.insert(d.end(), palette.begin(), palette.end());
    d.insert(d.end(), pixels.begin(), pixels.end());
    d.insert(d.end(), mask.begin(), mask.end());
    return d;
}

// One mask row for a width up to 32: bit x set for each listed column.
std::vector<uint8_t> MaskRow(std::initializer_list<int> columns) {
    std::vector<uint8_t> row(4, 0);
    for (int x : columns) row[size_t(x) / 8] |= uint8_t(0x80 >> (x % 8));
    return row;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// 2 x 2, 24 bits: bottom row (B,G,R) a b, top row c d; rows padded to 8 bytes.
std::vector<uint8_t> Pixels24(ZtQuad a, ZtQuad b, ZtQuad c, ZtQuad d) {
    return {a.blue, a.green, a.red, b.blue, b.green, b.red, 0, 0,
            c.blue, c.green, c.red, d.blue, d.green, d.red, 0, 0};
}

bool Decode(ZtImage& img, const std::vector<uint8_t>& bytes, int frame = 0) {
    img.SetFrameIndex(frame);
    return zt_test::DecodeBytes(img, bytes, ImageFormat::Icon);
}

const ZtQuad kBlack{0, 0, 0, 0}, kRed{0, 0, 255, 0}, kGreen{0, 255, 0, 0}, kBlue{255, 0, 0, 0};

TEST(IcoDecoder, CursorDecodesLikeIcon) {
    const auto dib = BuildDib(2, 2, 24, {}, Pixels24(kRed, kGreen, kBlue, kBlack),
                              Concat({MaskRow({}), MaskRow({})}));
    ZtImage icon, cursor;
    ASSERT_TRUE(Decode(icon, BuildIco(1, {{2, 2, dib}})));
    ASSERT_TRUE(Decode(cursor, BuildIco(2, {{2, 2, dib, 7, 9}})));  // hotspot 7, 9
    EXPECT_EQ(cursor.FormatId(), uint32_t(ImageFormat::Icon));
    EXPECT_EQ(cursor.Width(), 2);
    EXPECT_EQ(cursor.ColorAt(0, 0, false), kRed);
    EXPECT_EQ(cursor.ColorAt(1, 1, false), kBlack);
    EXPECT_EQ(zt_test::IncludeHash(icon), zt_test::IncludeHash(cursor));
    EXPECT_FALSE(cursor.HasAlphaPlane());  // no mask bit set
    EXPECT_EQ(cursor.TransparentIndex(), -1);
}

TEST(IcoDecoder, FrameIndexPicksEntryAndKeepsCountWhenRefused) {
    const auto mask = Concat({MaskRow({}), MaskRow({})});
    const auto red = BuildDib(2, 2, 24, {}, Pixels24(kRed, kRed, kRed, kRed), mask);
    const auto blue = BuildDib(2, 2, 24, {}, Pixels24(kBlue, kBlue, kBlue, kBlue), mask);
    const auto file = BuildIco(1, {{2, 2, red}, {2, 2, blue}});
    ZtImage second;
    ASSERT_TRUE(Decode(second, file, 1));
    EXPECT_EQ(second.ColorAt(1, 1, false), kBlue);
    EXPECT_EQ(second.FrameCount(), 2);
    for (int frame : {2, -1}) {
        ZtImage refused;
        EXPECT_FALSE(Decode(refused, file, frame));
        EXPECT_EQ(refused.FrameCount(), 2);
        EXPECT_FALSE(refused.HasPixels());
    }
}

TEST(IcoDecoder, PaletteMaskTakesHighestUnusedIndex) {
    // 8 bits, 2 x 2, indices bottom 0 1, top 2 1; the top-left pixel is masked.
    std::vector<uint8_t> palette(256 * 4, 0);
    for (int i = 0; i < 3; ++i) palette[size_t(i) * 4 + size_t(i)] = 200;  // 0 blue, 1 green, 2 red
    const auto dib = BuildDib(2, 2, 8, palette, {0, 1, 0, 0, 2, 1, 0, 0}, Concat({MaskRow({}), MaskRow({0})}));
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildIco(1, {{2, 2, dib}})));
    EXPECT_EQ(img.BitsPerPixel(), 8u);
    EXPECT_EQ(img.IndexAt(0, 1), 255);
    EXPECT_EQ(img.TransparentIndex(), 255);
    EXPECT_FALSE(img.HasAlphaPlane());
    EXPECT_EQ(img.IndexAt(0, 0), 0);
    EXPECT_EQ(img.IndexAt(1, 1), 1);

    // 4 bits with 16 colours, index 15 used: the next free one down is 14.
    std::vector<uint8_t> pal16(16 * 4, 0);
    const auto dib4 = BuildDib(2, 2, 4, pal16, {0xF0, 0, 0, 0, 0x12, 0, 0, 0},
                               Concat({MaskRow({1}), MaskRow({0})}));
    ZtImage four;
    ASSERT_TRUE(Decode(four, BuildIco(1, {{2, 2, dib4}})));
    EXPECT_EQ(four.IndexAt(1, 0), 14);
    EXPECT_EQ(four.IndexAt(0, 1), 14);
    EXPECT_EQ(four.IndexAt(0, 0), 15);
    EXPECT_EQ(four.IndexAt(1, 1), 2);
    EXPECT_EQ(four.TransparentIndex(), 14);
}

TEST(IcoDecoder, FullPaletteKeepsAlphaPlaneForMixedMaskedColours) {
    // 1 bit, both indices used and both under the mask: nothing is free.
    const std::vector<uint8_t> palette = {0, 0, 0, 0, 255, 255, 255, 0};
    const auto dib = BuildDib(2, 2, 1, palette, {0x40, 0, 0, 0, 0x80, 0, 0, 0},
                              Concat({MaskRow({0, 1}), MaskRow({})}));
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildIco(1, {{2, 2, dib}})));
    ASSERT_TRUE(img.HasAlphaPlane());
    EXPECT_EQ(img.AlphaAt(0, 0), 0);
    EXPECT_EQ(img.AlphaAt(1, 0), 0);
    EXPECT_EQ(img.AlphaAt(0, 1), 255);
    EXPECT_EQ(img.IndexAt(1, 0), 1);
    EXPECT_EQ(img.TransparentIndex(), -1);
}

TEST(IcoDecoder, TwentyFourBitMaskCases) {
    // Masked pixels all black: a transparent colour, no alpha plane.
    const auto allBlack = BuildDib(2, 2, 24, {}, Pixels24(kBlack, kRed, kGreen, kBlack),
                                   Concat({MaskRow({0}), MaskRow({1})}));
    ZtImage black;
    ASSERT_TRUE(Decode(black, BuildIco(1, {{2, 2, allBlack}})));
    EXPECT_FALSE(black.HasAlphaPlane());
    EXPECT_EQ(black.TransparentColor(), kBlack);
    EXPECT_EQ(black.TransparentIndex(), 0);
    EXPECT_EQ(black.ColorAt(1, 0, false), kRed);

    // Masked pixels of two colours: an alpha plane, 0 under the mask.
    const auto mixed = BuildDib(2, 2, 24, {}, Pixels24(kBlue, kRed, kGreen, kBlack),
                                Concat({MaskRow({0}), MaskRow({1})}));
    ZtImage alpha;
    ASSERT_TRUE(Decode(alpha, BuildIco(1, {{2, 2, mixed}})));
    ASSERT_TRUE(alpha.HasAlphaPlane());
    EXPECT_EQ(alpha.AlphaAt(0, 0), 0);
    EXPECT_EQ(alpha.AlphaAt(1, 0), 255);
    EXPECT_EQ(alpha.AlphaAt(0, 1), 255);
    EXPECT_EQ(alpha.AlphaAt(1, 1), 0);
    EXPECT_EQ(alpha.ColorAt(0, 0, false), kBlue);  // colours stay as stored
    EXPECT_EQ(alpha.TransparentIndex(), -1);
}

TEST(IcoDecoder, ThirtyTwoBitAlphaCases) {
    // Pixels B, G, R, A; bottom row then top row (no padding at 32 bits).
    const std::vector<uint8_t> px = {0, 0, 255, 77, 0, 255, 0, 255, 255, 0, 0, 10, 9, 9, 9, 0};
    const auto two = BuildDib(2, 2, 32, {}, px, Concat({MaskRow({0}), MaskRow({0})}));
    ZtImage own;
    ASSERT_TRUE(Decode(own, BuildIco(1, {{2, 2, two}})));
    EXPECT_EQ(own.BitsPerPixel(), 24u);
    ASSERT_TRUE(own.HasAlphaPlane());
    EXPECT_EQ(own.AlphaAt(0, 0), 0);  // masked: red, alpha 77 before
    EXPECT_EQ(own.AlphaAt(1, 0), 255);
    EXPECT_EQ(own.AlphaAt(0, 1), 0);  // masked: blue
    EXPECT_EQ(own.AlphaAt(1, 1), 0);  // the file's own alpha
    EXPECT_EQ(own.ColorAt(0, 1, false), kBlue);
    EXPECT_EQ(own.ColorAt(1, 1, false), (ZtQuad{9, 9, 9, 0}));

    // Both masked pixels black: the alpha plane goes, black is transparent.
    const std::vector<uint8_t> pxBlack = {0, 0, 0, 0, 0, 255, 0, 255, 0, 0, 0, 0, 1, 2, 3, 128};
    const auto one = BuildDib(2, 2, 32, {}, pxBlack, Concat({MaskRow({0}), MaskRow({0})}));
    ZtImage colour;
    ASSERT_TRUE(Decode(colour, BuildIco(1, {{2, 2, one}})));
    EXPECT_FALSE(colour.HasAlphaPlane());
    EXPECT_EQ(colour.TransparentColor(), kBlack);
    EXPECT_EQ(colour.ColorAt(1, 1, false), (ZtQuad{1, 2, 3, 0}));

    // No mask bit: the file's alpha plane stays as it is.
    const auto none = BuildDib(2, 2, 32, {}, px, Concat({MaskRow({}), MaskRow({})}));
    ZtImage keeps;
    ASSERT_TRUE(Decode(keeps, BuildIco(1, {{2, 2, none}})));
    ASSERT_TRUE(keeps.HasAlphaPlane());
    EXPECT_EQ(keeps.AlphaAt(0, 0), 77);
    EXPECT_EQ(keeps.AlphaAt(0, 1), 10);
}

TEST(IcoDecoder, AllOnesMaskInvertsColours) {
    std::vector<uint8_t> ones(8, 0xFF);
    const auto dib = BuildDib(2, 2, 24, {}, Pixels24(kBlack, kRed, kGreen, kBlue), ones);
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildIco(1, {{2, 2, dib}})));
    EXPECT_EQ(img.ColorAt(0, 0, false), (ZtQuad{255, 255, 255, 0}));
    EXPECT_EQ(img.ColorAt(1, 0, false), (ZtQuad{255, 255, 0, 0}));
    EXPECT_EQ(img.TransparentIndex(), 0);
    EXPECT_FALSE(img.HasAlphaPlane());

    const std::vector<uint8_t> palette = {10, 20, 30, 0, 200, 210, 220, 0};
    const auto pal = BuildDib(2, 2, 1, palette, {0x40, 0, 0, 0, 0x80, 0, 0, 0}, ones);
    ZtImage onebit;
    ASSERT_TRUE(Decode(onebit, BuildIco(1, {{2, 2, pal}})));
    EXPECT_EQ(onebit.ColorAt(0, 0, false), (ZtQuad{245, 235, 225, 0}));
    EXPECT_EQ(onebit.ColorAt(1, 0, false), (ZtQuad{55, 45, 35, 0}));
}

TEST(IcoDecoder, PngEntriesAreFoundBySignature) {
    zt_test::PngSpec s;
    s.width = 3;
    s.height = 2;
    s.colorType = 2;
    s.samples = {255, 0, 0, 0, 255, 0, 0, 0, 255, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const auto png = zt_test::BuildPng(s);
    // Marked 0 x 0 as usual, and marked with its real size: both are PNG data.
    for (uint8_t size : {uint8_t(0), uint8_t(3)}) {
        ZtImage img;
        ASSERT_TRUE(Decode(img, BuildIco(1, {{size, size, png}, {size, size, png}}))) << img.LastError();
        EXPECT_EQ(img.Width(), 3);
        EXPECT_EQ(img.Height(), 2);
        EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Icon));
        EXPECT_EQ(img.FrameCount(), 2);
        EXPECT_EQ(img.ColorAt(0, 1, false), kRed);
        EXPECT_EQ(img.ColorAt(2, 0, false), (ZtQuad{9, 8, 7, 0}));
    }
    // A PNG entry that does not decode is a failure with libpng's message.
    auto broken = png;
    broken[29] ^= 1;  // IHDR's CRC
    ZtImage bad;
    EXPECT_FALSE(Decode(bad, BuildIco(1, {{0, 0, broken}})));
    EXPECT_STREQ(bad.LastError(), "IHDR: CRC error");
    EXPECT_FALSE(bad.HasPixels());
    EXPECT_EQ(bad.FrameCount(), 1);
}

TEST(IcoDecoder, PngEntryWithGiantTextChunkFailsWithoutReadingIt) {
    zt_test::PngSpec s;
    s.samples = {1, 2, 3};
    s.chunksBefore = {{"tEXt", {'k', 0, 'v'}}};
    const auto png = zt_test::WithClaimedLength(zt_test::BuildPng(s), "tEXt", 0x7FFFFF7Fu);
    const auto bytes = BuildIco(1, {{0, 0, png}});
    zt_test::RecordingStream stream(bytes.data(), bytes.size());
    ZtImage img;
    EXPECT_FALSE(img.Decode(&stream, ImageFormat::Icon));
    EXPECT_STREQ(img.LastError(), "Read Error");
    EXPECT_LE(stream.largest, 8192u);
}

TEST(IcoDecoder, ZeroSizeByteMeans256ForBitmaps) {
    // A 256 x 1 1-bit bitmap entry marked 0 x 1.
    std::vector<uint8_t> pixels(32, 0xAA), mask(32, 0);
    const auto dib = BuildDib(256, 1, 1, {0, 0, 0, 0, 255, 255, 255, 0}, pixels, mask);
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildIco(1, {{0, 1, dib}})));
    EXPECT_EQ(img.Width(), 256);
    EXPECT_EQ(img.Height(), 1);
    EXPECT_EQ(img.ColorAt(0, 0, false), (ZtQuad{255, 255, 255, 0}));
    EXPECT_EQ(img.ColorAt(255, 0, false), kBlack);

    ZtImage size;
    size.SetAbortCode(-1);
    ASSERT_TRUE(Decode(size, BuildIco(1, {{0, 1, dib}})));
    EXPECT_EQ(size.Width(), 256);
    EXPECT_EQ(size.Height(), 1);
    EXPECT_FALSE(size.HasPixels());
}

TEST(IcoDecoder, SizeOnlyReadsPngDimensions) {
    zt_test::PngSpec s;
    s.width = 40;
    s.height = 30;
    s.colorType = 0;
    s.samples.assign(1200, 7);
    ZtImage img;
    img.SetAbortCode(-1);
    ASSERT_TRUE(Decode(img, BuildIco(1, {{0, 0, zt_test::BuildPng(s)}})));
    EXPECT_EQ(img.Width(), 40);
    EXPECT_EQ(img.Height(), 30);
    EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Icon));
    EXPECT_FALSE(img.HasPixels());
}

TEST(IcoDecoder, ColoursUsedAbove256AreClippedAndSkipped) {
    // 300 palette entries in the file: entry i is (i, i, i) mod 256.
    std::vector<uint8_t> palette;
    for (uint32_t i = 0; i < 300; ++i)
        for (int k = 0; k < 3; ++k) palette.push_back(uint8_t(i + uint32_t(k)));
    for (size_t i = 0; i < 300; ++i) palette.insert(palette.begin() + long(i * 4 + 3), 0);
    const auto dib = BuildDib(1, 1, 8, palette, {200, 0, 0, 0}, MaskRow({}), 300);
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildIco(1, {{1, 1, dib}})));
    EXPECT_EQ(img.IndexAt(0, 0), 200);  // read after the 44 extra entries
    EXPECT_EQ(img.PaletteEntry(255), (ZtQuad{255, 0, 1, 0}));
    EXPECT_EQ(img.ColorAt(0, 0, false), (ZtQuad{200, 201, 202, 0}));
}

TEST(IcoDecoder, LongInfoHeaderMovesThePalette) {
    const auto dib = BuildDib(1, 1, 1, {1, 2, 3, 0, 4, 5, 6, 0}, {0x80, 0, 0, 0}, MaskRow({}), 0, 124);
    ZtImage img;
    ASSERT_TRUE(Decode(img, BuildIco(1, {{1, 1, dib}})));
    EXPECT_EQ(img.ColorAt(0, 0, false), (ZtQuad{4, 5, 6, 0}));
}

TEST(IcoDecoder, DamagedFilesFailOrKeepWhatWasRead) {
    const auto dib = BuildDib(2, 2, 24, {}, Pixels24(kRed, kGreen, kBlue, kBlack),
                              Concat({MaskRow({0}), MaskRow({})}));
    const auto good = BuildIco(1, {{2, 2, dib}});

    auto badReserved = good;
    badReserved[0] = 1;
    auto badType = good;
    badType[2] = 3;
    auto farOffset = good;
    farOffset[18] = 0xFF;  // entry offset beyond the file
    auto noEntries = good;
    noEntries[4] = 0;
    std::vector<uint8_t> cutDirectory(good.begin(), good.begin() + 12);
    for (const std::vector<uint8_t>* bytes : {&badReserved, &badType, &farOffset, &noEntries, &cutDirectory}) {
        ZtImage img;
        EXPECT_FALSE(Decode(img, *bytes));
        EXPECT_FALSE(img.HasPixels());
    }
    // Compressed bitmaps and headers of unknown size are refused.
    const size_t dibAt = 6 + 16;
    auto compressed = good;
    compressed[dibAt + 16] = 2;  // RLE4
    auto oddHeader = good;
    oddHeader[dibAt] = 44;
    for (const std::vector<uint8_t>* bytes : {&compressed, &oddHeader}) {
        ZtImage img;
        EXPECT_FALSE(Decode(img, *bytes));
        EXPECT_FALSE(img.HasPixels());
        EXPECT_EQ(img.FrameCount(), 1);
    }
    ZtImage empty;
    EXPECT_FALSE(Decode(empty, noEntries));
    EXPECT_EQ(empty.FrameCount(), 0);

    // Mask cut short: the pixels stand as stored, no transparency at all.
    const std::vector<uint8_t> noMask(good.begin(), good.end() - 2);
    ZtImage unmasked;
    ASSERT_TRUE(Decode(unmasked, noMask));
    EXPECT_FALSE(unmasked.HasAlphaPlane());
    EXPECT_EQ(unmasked.TransparentIndex(), -1);
    EXPECT_EQ(unmasked.ColorAt(0, 0, false), kRed);

    // Pixels cut short: the missing ones are black.
    const std::vector<uint8_t> halfPixels(good.begin(), good.begin() + 22 + 40 + 8);
    ZtImage half;
    ASSERT_TRUE(Decode(half, halfPixels));
    EXPECT_EQ(half.ColorAt(1, 0, false), kGreen);
    EXPECT_EQ(half.ColorAt(0, 1, false), kBlack);

    // Every prefix and every byte flip decodes or fails without harm.
    // Icons fail without a message of their own.
    for (size_t n = 0; n < good.size(); ++n) {
        ZtImage img;
        const bool ok = Decode(img, std::vector<uint8_t>(good.begin(), good.begin() + long(n)));
        EXPECT_TRUE(zt_test::DecodedOrFailedCleanly(ok, img, false)) << "prefix " << n;
    }
    for (size_t i = 0; i < good.size(); ++i) {
        auto flipped = good;
        flipped[i] ^= 0x81;
        ZtImage img;
        const bool ok = Decode(img, flipped);
        EXPECT_TRUE(zt_test::DecodedOrFailedCleanly(ok, img, false)) << "byte " << i;
    }
}

// The first entry of every corpus icon against Pillow's pixels.
TEST(IcoDecoder, CorpusMatchesIndependentDecoder) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not found beside the checkout";
    const auto refs = zt_test::LoadCorpusReferences(std::string(ZENT_SOURCE_DIR) + "/tests/data/ico_reference.tsv");
    ASSERT_GT(refs.size(), 40u);
    int matched = 0, edgeOk = 0, failed = 0;
    for (const auto& r : refs) {
        const std::vector<uint8_t> bytes = zt_test::ReadFileBytes(corpus + "/" + r.path);
        ZtImage img;
        const bool ok = zt_test::DecodeBytes(img, bytes, ImageFormat::Icon);
        if (ok) {
            EXPECT_TRUE(img.HasPixels()) << r.path;
        }
        if (r.expect == "valid") {
            ASSERT_NE(r.reference, "fail") << r.path;
            EXPECT_TRUE(ok) << r.path << ": " << img.LastError();
            if (!ok) continue;
            EXPECT_TRUE(zt_test::MatchesReference(img, r));
            ++matched;
        } else if (ok && r.reference != "fail" && r.reference != "any") {
            EXPECT_EQ(zt_test::IncludeHash(img), r.reference) << r.path;
            ++edgeOk;
        } else if (!ok) {
            ++failed;
        }
    }
    printf("ico corpus: %d valid files match, %d others match, %d others fail\n", matched, edgeOk, failed);
}

}  // namespace
