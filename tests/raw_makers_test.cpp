// Camera RAW files of the TIFF-based makers: the layouts their TIFF tags
// determine load the samples written; the makers' undocumented formats are
// identified but refused; the Panasonic sensor record and EXIF's filter
// pattern; every prefix and header byte flip ends cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "raw/raw_context.h"
#include "tests/raw_tiff_fixture.h"

namespace {

using namespace raw_fixture;

// The tags of a maker's raw directory: a CFA image of width x height with
// one sample per photosite, and the TIFF/EP filter tags of a GRBG mosaic.
TiffBuilder MakerTags(const std::string& maker, const std::string& model, int width, int height, int bits,
                      int compression, bool big = false) {
    TiffBuilder t;
    t.big = big;
    t.Longs(256, {uint32_t(width)});
    t.Longs(257, {uint32_t(height)});
    t.Shorts(258, {uint32_t(bits)});
    t.Shorts(259, {uint32_t(compression)});
    t.Shorts(262, {32803});
    t.Text(271, maker);
    t.Text(272, model);
    t.Shorts(277, {1});
    t.Shorts(33421, {2, 2});
    t.Raw(33422, 1, {1, 0, 2, 1});
    return t;
}

void ExpectMosaic(const Engine& e, int width, int height, int top = 0, int left = 0, int bits = 16) {
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            ASSERT_EQ(e.At(r, c), Sample(top + r, left + c) & ((1 << bits) - 1)) << r << "," << c;
}

TEST(RawMakers, UncompressedLayoutsLoadTheSamplesWritten) {
    const struct {
        const char* maker;
        int bits;
        bool packed, big;
        uint16_t magic;
    } cases[] = {
        {"NIKON CORPORATION", 12, true, true, 42},  // the TIFF handler's Nikon packed rows
        {"NIKON CORPORATION", 12, false, true, 42}, // 12 bits in words: the bytes say so
        {"PENTAX Corporation", 12, true, false, 42},
        {"PENTAX Corporation", 12, false, false, 42},
        {"OLYMPUS IMAGING CORP.", 16, false, true, 0x4F52},  // "MMOR"
        {"SONY", 14, true, false, 42},
        {"SONY", 14, false, false, 42},
        {"SAMSUNG", 10, true, false, 42},
        {"Leaf", 16, false, true, 42},
    };
    for (const auto& c : cases) {
        TiffBuilder t = MakerTags(c.maker, "Test", 30, 24, c.bits, 1, c.big);
        t.magic = c.magic;
        Engine e(t.Build({c.packed ? PackBits(30, 24, c.bits) : Words(30, 24, c.big)}));
        SCOPED_TRACE(std::string(c.maker) + " " + std::to_string(c.bits) + (c.packed ? " packed" : " words"));
        ASSERT_EQ(e.ctx->rawImageCount, 1);
        EXPECT_EQ(e.ctx->visibleWidth, 30);
        EXPECT_EQ(e.ctx->visibleHeight, 24);
        EXPECT_EQ(e.ctx->whiteLevel, (1 << c.bits) - 1);
        EXPECT_EQ(colourAt(*e.ctx, 0, 0), 1);  // GRBG
        EXPECT_EQ(colourAt(*e.ctx, 0, 1), 0);
        EXPECT_EQ(colourAt(*e.ctx, 1, 0), 2);
        e.Load();
        ExpectMosaic(e, 30, 24, 0, 0, c.bits);
        EXPECT_EQ(e.ctx->dataErrorReported, 0);
    }
}

TEST(RawMakers, TilesAndScatteredStripsAreWalkedBlockByBlock) {
    for (int bits : {16, 14}) {  // four 16 x 16 tiles
        std::vector<Bytes> tiles;
        for (int top : {0, 16})
            for (int left : {0, 16})
                tiles.push_back(bits == 16 ? Words(16, 16, false, top, left) : PackBits(16, 16, bits, top, left));
        TiffBuilder t = MakerTags("Leaf", "Aptus 75", 32, 32, bits, 1);
        t.Longs(322, {16});
        t.Longs(323, {16});
        Engine e(t.Build(tiles, true));
        ASSERT_EQ(e.ctx->rawImageCount, 1) << bits;
        e.Load();
        ExpectMosaic(e, 32, 32);
    }
    // Tiles far larger than the image, with little data: the padding rows
    // are not walked, and the end of the file ends the block.
    TiffBuilder huge = MakerTags("Leaf", "Aptus 75", 30, 24, 16, 1);
    huge.Longs(322, {65535});
    huge.Longs(323, {65535});
    Engine padded(huge.Build({Words(30, 24)}, true));
    ASSERT_EQ(padded.ctx->rawImageCount, 1);
    padded.Load();
    EXPECT_EQ(padded.ctx->dataErrorReported, 1);
    // Two strips, the top one stored second.
    TiffBuilder t = MakerTags("Leaf", "Valeo 6", 30, 24, 16, 1);
    t.Longs(278, {12});
    Bytes file = t.Build({Words(30, 12, false, 12), Words(30, 12)});
    const Bytes offsets = t.fields[273].value;
    const auto at = std::search(file.begin(), file.end(), offsets.begin(), offsets.end());
    std::rotate(at, at + 4, at + 8);
    Engine e(file);
    ASSERT_EQ(e.ctx->rawImageCount, 1);
    e.Load();
    ExpectMosaic(e, 30, 24);
}

TEST(RawMakers, LayoutsWithoutPublishedDescriptionAreIdentifiedButNotLoaded) {
    const struct {
        const char* what;
        int bits, compression, photometric;
        size_t bytes;
    } cases[] = {
        {"Kodak 262", 12, 262, 32803, 1000},
        {"Sony ARW2 (32767)", 12, 32767, 32803, 1000},
        {"Nikon compressed (34713)", 12, 34713, 32803, 1000},
        {"Kodak 65000", 12, 65000, 32803, 1000},
        {"Huffman with its own table (65535)", 12, 65535, 32803, 1000},
        {"32867", 12, 32867, 32803, 1000},
        {"12-bit data of 1.6 bytes a sample", 12, 1, 32803, 30 * 24 * 8 / 5},
        {"12-bit, photometric 2", 12, 1, 2, 30 * 24 * 3 / 2},
    };
    for (const auto& c : cases) {
        TiffBuilder t = MakerTags("OLYMPUS", "E-300", 30, 24, c.bits, c.compression);
        t.Shorts(262, {uint32_t(c.photometric)});
        Engine e(t.Build({Bytes(c.bytes, 0x55)}));
        EXPECT_STREQ(e.ctx->maker, "OLYMPUS") << c.what;
        EXPECT_EQ(e.ctx->rawImageCount, 0) << c.what;
    }
}

// A Panasonic first directory: TIFF magic 0x55, the sensor record's tags.
Bytes PanasonicFile(uint32_t compression) {
    TiffBuilder t;
    t.magic = 0x55;
    t.Shorts(2, {40});   // sensor width
    t.Shorts(3, {30});   // sensor height
    t.Shorts(4, {2});    // top border
    t.Shorts(5, {4});    // left border
    t.Shorts(6, {28});   // bottom border
    t.Shorts(7, {36});   // right border
    t.Shorts(9, {2});    // GRBG
    t.Shorts(0x0A, {16});
    t.Shorts(0x0B, {compression});
    t.Shorts(0x1C, {60});
    t.Shorts(0x1D, {64});
    t.Shorts(0x1E, {72});
    t.Shorts(0x24, {500});
    t.Shorts(0x25, {256});
    t.Shorts(0x26, {400});
    t.Text(271, "Panasonic");
    t.Text(272, "DMC-FZ30");
    return t.Build({Words(40, 30)});
}

TEST(RawMakers, PanasonicSensorRecordSetsSizesBordersPatternAndBlack) {
    Engine e(PanasonicFile(1));
    EXPECT_STREQ(e.ctx->maker, "Panasonic");
    EXPECT_STREQ(e.ctx->modelName, "DMC-FZ30");
    ASSERT_EQ(e.ctx->rawImageCount, 1);
    EXPECT_EQ(e.ctx->sensorWidth, 40);
    EXPECT_EQ(e.ctx->sensorHeight, 30);
    EXPECT_EQ(e.ctx->sensorTop, 2);
    EXPECT_EQ(e.ctx->sensorLeft, 4);
    EXPECT_EQ(e.ctx->visibleWidth, 32);
    EXPECT_EQ(e.ctx->visibleHeight, 26);
    EXPECT_EQ(e.ctx->blackLevel, (60 + 64 + 64 + 72) / 4);
    EXPECT_EQ(e.ctx->recordedMultipliers[0], 500);
    EXPECT_EQ(e.ctx->recordedMultipliers[2], 400);
    EXPECT_EQ(e.ctx->keepCameraColour, 0);  // the camera table knows the FZ30
    // The visible area starts on an even row and column: green, then red.
    EXPECT_EQ(colourAt(*e.ctx, 0, 0), 1);
    EXPECT_EQ(colourAt(*e.ctx, 0, 1), 0);
    EXPECT_EQ(colourAt(*e.ctx, 1, 0), 2);
    e.Load();
    ExpectMosaic(e, 32, 26, 2, 4);

    // The compressed formats have no published description.
    for (uint32_t compression : {34316u, 34826u, 34828u}) {
        Engine packed(PanasonicFile(compression));
        EXPECT_STREQ(packed.ctx->maker, "Panasonic");
        EXPECT_EQ(packed.ctx->rawImageCount, 0) << compression;
    }
}

TEST(RawMakers, ExifFilterPatternInEitherByteOrder) {
    for (bool bigSizes : {false, true}) {
        TiffBuilder t = MakerTags("PENTAX", "K10D", 30, 24, 16, 1);
        t.fields.erase(33421);
        t.fields.erase(33422);
        Bytes pattern;
        Put16(pattern, 2, bigSizes);
        Put16(pattern, 2, bigSizes);
        pattern.insert(pattern.end(), {2, 1, 1, 0});  // BGGR
        t.Raw(41730, 7, pattern);
        Engine e(t.Build({Words(30, 24)}));
        ASSERT_EQ(e.ctx->rawImageCount, 1) << bigSizes;
        EXPECT_EQ(colourAt(*e.ctx, 0, 0), 2) << bigSizes;
        EXPECT_EQ(colourAt(*e.ctx, 1, 1), 0) << bigSizes;
    }
}

TEST(RawMakers, KodakDctJpegIsRefusedWithAMessage) {
    TiffBuilder t = MakerTags("EASTMAN KODAK COMPANY", "KODAK DCS Pro 14N", 32, 24, 12, 7);
    const Bytes dct = {0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0, 24, 0, 32, 1, 1, 0x11, 0, 0xFF, 0xD9};
    testing::internal::CaptureStderr();
    Engine e(t.Build({dct}));
    const std::string message = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(e.ctx->maker, "KODAK");
    EXPECT_EQ(e.ctx->rawImageCount, 0);
    EXPECT_NE(message.find("Kodak raw data in DCT JPEG form"), std::string::npos) << message;
}

TEST(RawMakers, EveryPrefixAndHeaderByteFlipEndsCleanly) {
    TiffBuilder nikon = MakerTags("NIKON", "D70", 30, 24, 12, 1);
    for (const Bytes& good : {nikon.Build({PackBits(30, 24, 12)}), PanasonicFile(1)}) {
        auto run = [](const Bytes& file) {
            Engine e(file);
            if (!e.ctx->rawImageCount) return;
            ASSERT_GE(e.ctx->visibleHeight, 22);
            e.Load();
        };
        for (size_t n = 0; n < good.size(); n += 7) run(Bytes(good.begin(), good.begin() + n));
        for (size_t i = 0; i < 400 && i < good.size(); ++i)
            for (uint8_t flip : {0x01, 0x80, 0xFF}) {
                Bytes bad = good;
                bad[i] ^= flip;
                run(bad);
            }
    }
}

}  // namespace
