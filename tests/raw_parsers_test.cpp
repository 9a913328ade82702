// The RAW families with headers of their own (Fujifilm RAF, Minolta MRW,
// Phantom Cine, Foveon X3F, Contax): files written here from known samples
// must identify with the sizes and pattern written and load those samples
// back; the corpus files of these families (headers without pixel data)
// identify the camera their header names.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image/zt_file.h"
#include "raw/raw_context.h"
#include "raw/raw_internal.h"
#include "tests/raw_tiff_fixture.h"
#include "tests/test_support.h"

namespace {

using raw_fixture::Bytes;
using raw_fixture::Engine;
using raw_fixture::Sample;

void Be16(Bytes& b, uint32_t v) { raw_fixture::Put16(b, v, true); }
void Be32(Bytes& b, uint32_t v) { raw_fixture::Put32(b, v, true); }
void Le16(Bytes& b, uint32_t v) { raw_fixture::Put16(b, v); }
void Le32(Bytes& b, uint32_t v) { raw_fixture::Put32(b, v); }
void Text(Bytes& b, const std::string& s, size_t size) {
    Bytes field(size, 0);
    std::memcpy(field.data(), s.data(), std::min(size, s.size()));
    b.insert(b.end(), field.begin(), field.end());
}
void Set32Be(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}

// Every visible photosite holds the sample of sensor (row + top, col + left).
void ExpectSamples(const Engine& e, int top, int left) {
    for (int r = 0; r < e.ctx->visibleHeight; ++r)
        for (int c = 0; c < e.ctx->visibleWidth; ++c) ASSERT_EQ(e.At(r, c), Sample(r + top, c + left)) << r << "," << c;
}

// --- Fujifilm RAF --------------------------------------------------------------------
struct Raf {
    int width = 40, height = 30;
    int cropTop = 0, cropLeft = 0, cropHeight = 0, cropWidth = 0;  // no crop record when 0
    int64_t rawLengthDelta = 0;  // a raw block that is not rows of 16-bit samples
    size_t cutData = 0;          // bytes missing at the end of the file
    uint32_t secondImage = 0;    // the value at 120
    Bytes Build() const {
        Bytes b;
        Text(b, "FUJIFILMCCD-RAW ", 16);
        Text(b, "0201", 4);
        Text(b, "FF389501", 8);
        Text(b, "FinePix S5000", 32);
        Text(b, "0100", 4);
        b.resize(124, 0);
        Set32Be(b, 120, secondImage);
        const size_t thumbnail = b.size();
        Text(b, "no preview here", 16);
        Bytes records;
        uint32_t count = 2;
        Be16(records, 0x100), Be16(records, 4), Be16(records, uint32_t(height)), Be16(records, uint32_t(width));
        Be16(records, 0x2FF0), Be16(records, 8);
        for (uint32_t v : {302u, 511u, 303u, 407u}) Be16(records, v);
        if (cropHeight) {
            count += 2;
            Be16(records, 0x110), Be16(records, 4), Be16(records, uint32_t(cropTop)), Be16(records, uint32_t(cropLeft));
            Be16(records, 0x111), Be16(records, 4), Be16(records, uint32_t(cropHeight)), Be16(records, uint32_t(cropWidth));
        }
        const size_t recordsAt = b.size();
        Be32(b, count);
        b.insert(b.end(), records.begin(), records.end());
        const size_t rawAt = b.size();
        for (int r = 0; r < height; ++r)
            for (int c = 0; c < width; ++c) Be16(b, Sample(r, c));
        Set32Be(b, 84, uint32_t(thumbnail));
        Set32Be(b, 88, 16);
        Set32Be(b, 92, uint32_t(recordsAt));
        Set32Be(b, 96, uint32_t(rawAt - recordsAt));
        Set32Be(b, 100, uint32_t(rawAt));
        Set32Be(b, 104, uint32_t(int64_t(width) * height * 2 + rawLengthDelta));
        b.resize(b.size() - cutData);
        return b;
    }
};

TEST(RawParsersFuji, HeaderRecordsGiveSizesCropAndMultipliers) {
    struct Case {
        Raf raf;
        int top, left, height, width;
    };
    const Case cases[] = {
        {Raf{}, 0, 0, 30, 40},
        {[] { Raf r; r.cropTop = 2, r.cropLeft = 4, r.cropHeight = 24, r.cropWidth = 32; return r; }(), 2, 4, 24, 32},
        // A crop reaching past the sensor is ignored.
        {[] { Raf r; r.cropTop = 10, r.cropLeft = 0, r.cropHeight = 24, r.cropWidth = 32; return r; }(), 0, 0, 30, 40},
    };
    for (const Case& k : cases) {
        Engine e(k.raf.Build());
        const RawContext& c = *e.ctx;
        EXPECT_STREQ(c.maker, "FUJIFILM");
        EXPECT_STREQ(c.modelName, "FinePix S5000");
        EXPECT_EQ(c.rawImageCount, 1);
        EXPECT_EQ(c.sensorHeight, 30);
        EXPECT_EQ(c.sensorWidth, 40);
        EXPECT_EQ(c.sensorTop, k.top);
        EXPECT_EQ(c.sensorLeft, k.left);
        EXPECT_EQ(c.visibleHeight, k.height);
        EXPECT_EQ(c.visibleWidth, k.width);
        EXPECT_EQ(c.fujiLayoutWidth, 0);
        EXPECT_EQ(c.whiteLevel, 4095);
        // Stored green, red, green, blue.
        EXPECT_FLOAT_EQ(c.recordedMultipliers[0], 511);
        EXPECT_FLOAT_EQ(c.recordedMultipliers[1], 302);
        EXPECT_FLOAT_EQ(c.recordedMultipliers[2], 407);
        EXPECT_EQ(c.keepCameraColour, 0);  // the camera table knows the S5000
        e.Load();
        ExpectSamples(e, k.top, k.left);
        EXPECT_EQ(c.dataErrorReported, 0);
    }
}

TEST(RawParsersFuji, OtherLayoutsAndCutFiles) {
    Raf odd;
    odd.rawLengthDelta = -200;  // not 16-bit rows: no loader, no RAW image
    EXPECT_EQ(Engine(odd.Build()).ctx->rawImageCount, 0);
    Raf second;
    second.secondImage = 1;
    EXPECT_EQ(Engine(second.Build()).ctx->rawImageCount, 2);
    // A cut file keeps the rows it has and reports once.
    Raf cut;
    cut.cutData = 40 * 2 * 10 + 3;
    Engine e(cut.Build());
    e.Load();
    EXPECT_EQ(e.ctx->dataErrorReported, 1);
    EXPECT_EQ(e.At(0, 0), Sample(0, 0));
    EXPECT_EQ(e.At(19, 37), Sample(19, 37));  // the last whole sample
    EXPECT_EQ(e.At(19, 38), 0);
    EXPECT_EQ(e.At(25, 5), 0);
}

// --- Minolta MRW -------------------------------------------------------------------
// Big-endian TIFF with the camera's Make and Model.
Bytes NamesTiff(const std::string& make, const std::string& model) {
    Bytes t = {'M', 'M', 0, 42};
    Be32(t, 8);
    Be16(t, 2);
    const uint32_t strings = 8 + 2 + 2 * 12 + 4;
    Be16(t, 271), Be16(t, 2), Be32(t, uint32_t(make.size() + 1)), Be32(t, strings);
    Be16(t, 272), Be16(t, 2), Be32(t, uint32_t(model.size() + 1)), Be32(t, strings + uint32_t(make.size() + 1));
    Be32(t, 0);
    Text(t, make, make.size() + 1);
    Text(t, model, model.size() + 1);
    return t;
}

struct Mrw {
    int sensorWidth = 48, sensorHeight = 32, width = 40, height = 30;
    int rawDepth = 16, bayer = 1;
    Bytes Build() const {
        Bytes blocks;
        auto block = [&](const char* name, const Bytes& data) {
            blocks.insert(blocks.end(), name, name + 4);
            Be32(blocks, uint32_t(data.size()));
            blocks.insert(blocks.end(), data.begin(), data.end());
        };
        Bytes prd;
        Text(prd, "21810002", 8);
        Be16(prd, uint32_t(sensorHeight)), Be16(prd, uint32_t(sensorWidth));
        Be16(prd, uint32_t(height)), Be16(prd, uint32_t(width));
        prd.push_back(uint8_t(rawDepth));
        prd.push_back(12);
        prd.push_back(rawDepth == 12 ? 0x59 : 0x52);
        prd.insert(prd.end(), {0, 0, 0, 0, uint8_t(bayer)});
        block(std::string("\0PRD", 4).c_str(), prd);
        block(std::string("\0TTW", 4).c_str(), NamesTiff("KONICA MINOLTA", "DiMAGE A2"));
        block(std::string("\0WBG", 4).c_str(), Bytes(12, 1));
        Bytes b = {0, 'M', 'R', 'M'};
        Be32(b, uint32_t(blocks.size()));
        b.insert(b.end(), blocks.begin(), blocks.end());
        // Sensor rows: 16-bit words, or two 12-bit samples in three bytes.
        uint32_t held = 0;
        int bits = 0;
        for (int r = 0; r < sensorHeight; ++r)
            for (int c = 0; c < sensorWidth; ++c) {
                if (rawDepth == 16) {
                    Be16(b, Sample(r, c));
                    continue;
                }
                held = held << 12 | Sample(r, c);
                for (bits += 12; bits >= 8; bits -= 8) b.push_back(uint8_t(held >> (bits - 8)));
            }
        return b;
    }
};

TEST(RawParsersMinolta, PrdBlockChoosesLayoutAndPattern) {
    for (int depth : {16, 12})
        for (int bayer : {1, 4}) {
            Mrw m;
            m.rawDepth = depth, m.bayer = bayer;
            Engine e(m.Build());
            const RawContext& c = *e.ctx;
            SCOPED_TRACE(testing::Message() << depth << " bits, pattern " << bayer);
            EXPECT_STREQ(c.maker, "MINOLTA");
            EXPECT_STREQ(c.modelName, "DiMAGE A2");
            EXPECT_EQ(c.rawImageCount, 1);
            EXPECT_EQ(c.sensorHeight, 32);
            EXPECT_EQ(c.sensorWidth, 48);
            EXPECT_EQ(c.visibleHeight, 30);
            EXPECT_EQ(c.visibleWidth, 40);
            EXPECT_EQ(c.whiteLevel, 4095);
            EXPECT_EQ(c.byteOrder, 0x4D4D);
            // Red first (RGGB) or green, blue over red, green (GBRG); the
            // green beside blue is told apart as colour 3.
            const int expected[2][2][2] = {{{0, 1}, {3, 2}}, {{3, 2}, {0, 1}}};
            for (int r = 0; r < 2; ++r)
                for (int col = 0; col < 2; ++col)
                    EXPECT_EQ(colourAt(c, r, col), expected[bayer == 4][r][col]) << r << "," << col;
            e.Load();
            ExpectSamples(e, 0, 0);
            EXPECT_EQ(c.dataErrorReported, 0);
        }
    Mrw other;
    other.rawDepth = 10;  // a stored width without a loader
    EXPECT_EQ(Engine(other.Build()).ctx->rawImageCount, 0);
}

// --- Phantom Cine ------------------------------------------------------------------
struct Cine {
    int width = 40, height = 30, bits = 16;
    uint16_t compression = 2;
    Bytes Build() const {
        Bytes b = {'C', 'I'};
        Le16(b, 44), Le16(b, compression), Le16(b, 1);
        Le32(b, 0), Le32(b, 1), Le32(b, 0), Le32(b, 1);
        const uint32_t bitmapAt = 44, setupAt = 84, offsetsAt = 100, frameAt = 108;
        Le32(b, bitmapAt), Le32(b, setupAt), Le32(b, offsetsAt);
        Le32(b, 0), Le32(b, 1200000000);  // trigger time: fractions, seconds
        Le32(b, 40), Le32(b, uint32_t(width)), Le32(b, uint32_t(height)), Le16(b, 1), Le16(b, uint32_t(bits));
        b.resize(offsetsAt, 0);
        Le32(b, frameAt), Le32(b, 0);
        Le32(b, 8);  // annotation: its size and the frame's size
        Le32(b, uint32_t(width * std::abs(height) * bits / 8));
        for (int r = 0; r < std::abs(height); ++r)
            for (int c = 0; c < width; ++c) {
                if (bits == 16) Le16(b, Sample(r, c));
                else b.push_back(uint8_t(Sample(r, c)));
            }
        return b;
    }
};

TEST(RawParsersCine, FramesOfEitherWidthAndRowOrder) {
    struct Case {
        int bits, height, orientation;
    };
    for (const Case& k : {Case{16, 30, 2}, Case{16, -30, 0}, Case{8, 30, 2}}) {
        Cine cine;
        cine.bits = k.bits, cine.height = k.height;
        Engine e(cine.Build());
        const RawContext& c = *e.ctx;
        SCOPED_TRACE(testing::Message() << k.bits << " bits, height " << k.height);
        EXPECT_STREQ(c.maker, "CINE");
        EXPECT_STREQ(c.modelName, "40x30");
        EXPECT_EQ(c.rawImageCount, 1);
        EXPECT_EQ(c.visibleHeight, 30);
        EXPECT_EQ(c.visibleWidth, 40);
        EXPECT_EQ(c.orientation, k.orientation);
        EXPECT_EQ(c.timestamp, 1200000000);
        EXPECT_EQ(c.rawDataOffset, 116u);
        e.Load();
        if (k.bits == 16) {
            ExpectSamples(e, 0, 0);
        } else {
            for (int r = 0; r < 30; ++r)
                for (int col = 0; col < 40; ++col) ASSERT_EQ(e.At(r, col), Sample(r, col) & 0xFF);
        }
    }
    Cine interpolated;
    interpolated.compression = 0;
    EXPECT_EQ(Engine(interpolated.Build()).ctx->rawImageCount, 0);
    Cine padded;  // 8-bit rows of 38 bytes carry padding the loaders do not skip
    padded.bits = 8, padded.width = 38;
    EXPECT_EQ(Engine(padded.Build()).ctx->rawImageCount, 0);
}

// --- Contax and Foveon headers: named, measured, no loader ------------------------------------
TEST(RawParsersHeaders, ContaxMultipliersAndFoveonSize) {
    Bytes contax(80, 0);
    std::memcpy(&contax[25], "ARECOYK", 7);
    for (int i = 0; i < 4; ++i) Set32Be(contax, 60 + 4 * size_t(i), uint32_t(100 + i));
    Engine c(contax);
    EXPECT_STREQ(c.ctx->maker, "Contax");
    EXPECT_STREQ(c.ctx->modelName, "N Digital");
    const float multipliers[4] = {100, 101, 103, 102};
    for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(c.ctx->recordedMultipliers[i], multipliers[i]) << i;
    EXPECT_EQ(c.ctx->rawImageCount, 0);

    Bytes x3f = {'F', 'O', 'V', 'b'};
    Le32(x3f, 0x00020001);
    x3f.resize(28, 7);
    Le32(x3f, 2268), Le32(x3f, 1512), Le32(x3f, 0);
    x3f.resize(256, 0);
    Engine f(x3f);
    EXPECT_STREQ(f.ctx->maker, "Sigma");
    EXPECT_EQ(f.ctx->sensorWidth, 2268);
    EXPECT_EQ(f.ctx->sensorHeight, 1512);
    EXPECT_EQ(f.ctx->layeredSensor, 1);
    EXPECT_EQ(f.ctx->rawImageCount, 0);
}

// The corpus files of these families carry headers without pixel data. The
// cameras' published sizes: the S5Pro's 4256-wide crop of its stored rows,
// the A2's 3264 x 2448 inside a 3272 x 2456 sensor, the SD10's 2268 x 1512.
TEST(RawParsersCorpus, HeaderOnlyFilesNameTheirCameraAndSize) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not present; RAW header files skipped";
    struct Case {
        const char* path;
        const char* maker;
        const char* model;
        int images;  // the cut MRW still loads what it has, as any cut file
        int sensorHeight, sensorWidth, top, left, visibleHeight, visibleWidth;
    };
    const Case cases[] = {
        {"raw/exiftool/FujiFilm.raf", "FUJIFILM", "FinePix S5Pro", 0, 1444, 4352, 10, 48, 1424, 4256},
        {"raw/exiftool/Minolta.mrw", "Minolta", "DiMAGE A2", 1, 2456, 3272, 0, 0, 2448, 3264},
        // No model in the header: columns and rows stand for it.
        {"raw/exiftool/Sigma.x3f", "Sigma", "2268x1512", 0, 1512, 2268, 0, 0, 1512, 2268},
    };
    for (const Case& k : cases) {
        Engine e(zt_test::ReadFileBytes(corpus + "/" + k.path));
        const RawContext& c = *e.ctx;
        SCOPED_TRACE(k.path);
        EXPECT_STREQ(c.maker, k.maker);
        EXPECT_STREQ(c.modelName, k.model);
        EXPECT_EQ(c.rawImageCount, k.images);
        EXPECT_EQ(c.sensorHeight, k.sensorHeight);
        EXPECT_EQ(c.sensorWidth, k.sensorWidth);
        EXPECT_EQ(c.sensorTop, k.top);
        EXPECT_EQ(c.sensorLeft, k.left);
        EXPECT_EQ(c.visibleHeight, k.visibleHeight);
        EXPECT_EQ(c.visibleWidth, k.visibleWidth);
    }
}

}  // namespace
