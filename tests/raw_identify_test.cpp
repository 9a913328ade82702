// Camera RAW identification, loaders and the adapter, on DNG and CIFF files
// built here from known mosaics, and on the real camera files of the corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/adapters/raw.h"
#include "image/zt_file.h"
#include "raw/raw_context.h"
#include "raw/raw_internal.h"
#include "tests/raw_tiff_fixture.h"
#include "tests/test_support.h"

namespace {

using namespace raw_fixture;

// The DNG tags every test file carries: an RGGB mosaic of width x height.
TiffBuilder DngTags(int width, int height, int bits, int compression) {
    TiffBuilder t;
    t.Longs(256, {uint32_t(width)});
    t.Longs(257, {uint32_t(height)});
    t.Shorts(258, {uint32_t(bits)});
    t.Shorts(259, {uint32_t(compression)});
    t.Shorts(262, {32803});
    t.Text(271, "Canon");
    t.Text(272, "Canon EOS 30D");
    t.Shorts(277, {1});
    t.Longs(278, {uint32_t(height)});
    t.Shorts(33421, {2, 2});
    t.Raw(33422, 1, {0, 1, 1, 2});
    t.Raw(50706, 1, {1, 2, 0, 0});
    t.Longs(50717, {4095});
    return t;
}

// A lossless JPEG of one component (predictor 1) holding width x height
// samples of the mosaic from (top, left); each difference category has a
// 5-bit code.
Bytes LosslessJpeg(int width, int height, int top, int left) {
    Bytes out = {0xFF, 0xD8, 0xFF, 0xC3, 0, 11, 12, uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8),
                 uint8_t(width), 1, 1, 0x11, 0};
    Bytes dht = {0xFF, 0xC4, 0, 3 + 16 + 17, 0};
    for (int i = 0; i < 16; ++i) dht.push_back(i == 4 ? 17 : 0);
    for (int i = 0; i <= 16; ++i) dht.push_back(uint8_t(i));
    out.insert(out.end(), dht.begin(), dht.end());
    out.insert(out.end(), {0xFF, 0xDA, 0, 8, 1, 1, 0, 1, 0, 0});
    uint64_t acc = 0;
    int held = 0;
    auto emit = [&](uint32_t value, int bits) {
        acc = (acc << bits) | (value & ((1u << bits) - 1));
        held += bits;
        while (held >= 8) {
            const uint8_t byte = uint8_t(acc >> (held - 8));
            out.push_back(byte);
            if (byte == 0xFF) out.push_back(0);
            held -= 8;
        }
    };
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            const int v = Sample(top + r, left + c);
            const int predicted = c > 0 ? Sample(top + r, left + c - 1) : r > 0 ? Sample(top + r - 1, left) : 1 << 11;
            const int diff = v - predicted;
            int size = 0;
            while ((std::abs(diff) >> size) != 0) ++size;
            emit(uint32_t(size), 5);
            if (size) emit(uint32_t(diff < 0 ? diff - 1 : diff), size);
        }
    if (held) emit(0x7F, 8 - held);
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

void ExpectMosaic(const Engine& e, int width, int height) {
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) ASSERT_EQ(e.At(r, c), Sample(r, c)) << r << "," << c;
}

TEST(RawIdentify, UncompressedDngOfEveryWidthLoadsTheSamplesWritten) {
    for (int bits : {16, 14, 12}) {  // every sample fits 12 bits
        TiffBuilder t = DngTags(30, 24, bits, 1);
        Bytes data;
        if (bits == 16)
            for (int r = 0; r < 24; ++r)
                for (int c = 0; c < 30; ++c) Put16(data, Sample(r, c));
        else
            data = PackBits(30, 24, bits);
        Engine e(t.Build({data}));
        EXPECT_STREQ(e.ctx->maker, "Canon") << bits;
        EXPECT_STREQ(e.ctx->modelName, "EOS 30D");
        EXPECT_EQ(e.ctx->rawImageCount, 1);
        EXPECT_EQ(e.ctx->visibleWidth, 30);
        EXPECT_EQ(e.ctx->visibleHeight, 24);
        EXPECT_EQ(e.ctx->whiteLevel, 4095);
        EXPECT_EQ(colourAt(*e.ctx, 0, 0), 0);
        EXPECT_EQ(colourAt(*e.ctx, 1, 1), 2);
        EXPECT_EQ(colourAt(*e.ctx, 1, 0), 3);  // the green beside blue
        EXPECT_EQ(e.ctx->keepCameraColour, 0);  // the camera table knows the 30D
        e.Load();
        ExpectMosaic(e, 30, 24);
    }
}

TEST(RawIdentify, LosslessJpegDngTilesLoadTheSamplesWritten) {
    TiffBuilder t = DngTags(32, 24, 12, 7);
    t.fields.erase(278);
    t.Longs(322, {16});
    t.Longs(323, {16});
    Bytes file = t.Build({LosslessJpeg(16, 16, 0, 0), LosslessJpeg(16, 16, 0, 16), LosslessJpeg(16, 16, 16, 0),
                          LosslessJpeg(16, 16, 16, 16)},
                         true);
    Engine e(file);
    ASSERT_EQ(e.ctx->rawImageCount, 1);
    e.Load();
    ExpectMosaic(e, 32, 24);
    EXPECT_EQ(e.ctx->dataErrorReported, 0);
}

TEST(RawIdentify, LosslessJpegTileClaimingHugeFrameEndsAtTheImage) {
    // One 16 x 16 tile whose frame claims 65535 x 65535 samples: the
    // samples of the image come first, then nothing but the end.
    TiffBuilder t = DngTags(16, 24, 12, 7);
    t.fields.erase(278);
    t.Longs(322, {65535});
    t.Longs(323, {65535});
    Bytes jpeg = LosslessJpeg(16, 24, 0, 0);
    jpeg[7] = jpeg[8] = jpeg[9] = jpeg[10] = 0xFF;
    Engine e(t.Build({jpeg}, true));
    ASSERT_EQ(e.ctx->rawImageCount, 1);
    e.Load();  // finishes: rows past the image are not decoded
}

TEST(RawIdentify, ActiveAreaAndBlackComeFromTheDngTags) {
    TiffBuilder t = DngTags(30, 26, 16, 1);
    t.Longs(50829, {1, 2, 25, 30});  // top, left, bottom, right
    t.Shorts(50714, {64});
    Bytes data;
    for (int r = 0; r < 26; ++r)
        for (int c = 0; c < 30; ++c) Put16(data, Sample(r, c));
    Engine e(t.Build({data}));
    EXPECT_EQ(e.ctx->visibleHeight, 24);
    EXPECT_EQ(e.ctx->visibleWidth, 28);
    EXPECT_EQ(e.ctx->blackLevel, 64);
    // The visible area starts on a green row of the RGGB sensor, one column in: blue first.
    EXPECT_EQ(colourAt(*e.ctx, 0, 0), 3);
    EXPECT_EQ(colourAt(*e.ctx, 0, 1), 2);
    e.Load();
    EXPECT_EQ(e.At(0, 0), Sample(1, 2));
    EXPECT_EQ(e.At(23, 27), Sample(24, 29));
}

TEST(RawIdentify, FilesThatAreNoRawImage) {
    const struct {
        const char* what;
        int height;
        int compression;
        bool raw;
    } cases[] = {
        {"visible height 22", 22, 1, true},
        {"visible height 21", 21, 1, false},
        {"compression 5 (LZW)", 24, 5, false},
    };
    for (const auto& c : cases) {
        TiffBuilder t = DngTags(30, c.height, 16, c.compression);
        t.fields.erase(50706);  // a plain TIFF-based raw file, not DNG
        Engine e(t.Build({Bytes(size_t(30 * c.height * 2), 1)}));
        EXPECT_EQ(e.ctx->rawImageCount != 0, c.raw) << c.what;
    }
    Engine text(Bytes{'n', 'o', 't', ' ', 'a', ' ', 'r', 'a', 'w', ' ', 'f', 'i', 'l', 'e'});
    EXPECT_EQ(text.ctx->rawImageCount, 0);
}

TEST(RawIdentify, ExactFileSizeNamesHeaderlessCamera) {
    Engine e(Bytes(5869568, 0));
    EXPECT_STREQ(e.ctx->maker, "NIKON");
    EXPECT_STREQ(e.ctx->modelName, "E4300");
}

TEST(RawIdentify, NamesAreCleanedAndLookedUpInTableOrder) {
    TiffBuilder t = DngTags(30, 24, 16, 1);
    t.fields.erase(50706);
    t.Text(271, "NIKON CORPORATION");
    t.Text(272, "NIKON D70 ");
    Engine nikon(t.Build({Bytes(30 * 24 * 2, 1)}));
    EXPECT_STREQ(nikon.ctx->maker, "NIKON");
    EXPECT_STREQ(nikon.ctx->modelName, "D70");
    EXPECT_EQ(nikon.ctx->keepCameraColour, 0);

    // "EOS-1D Mark III" has its own entry before the shorter "EOS-1D".
    auto derived = [](const char* model) {
        auto ctx = std::make_unique<RawContext>();
        lookup_camera_matrix(*ctx, "Canon", model);
        return std::vector<float>(&ctx->cameraToSrgb[0][0], &ctx->cameraToSrgb[0][0] + 12);
    };
    EXPECT_NE(derived("EOS-1D Mark III"), derived("EOS-1D X"));
    EXPECT_EQ(derived("EOS-1D X"), derived("EOS-1D"));
    auto unknown = std::make_unique<RawContext>();
    lookup_camera_matrix(*unknown, "Nobody", "Camera");
    EXPECT_EQ(unknown->keepCameraColour, 1);
}

TEST(RawIdentify, CiffHeapNamesTheCamera) {
    // Header, then a heap whose one record holds maker and model.
    Bytes file = {'I', 'I'};
    Put32(file, 26);
    for (char ch : std::string("HEAPCCDR")) file.push_back(uint8_t(ch));
    Put32(file, 0x00010002);
    file.resize(26, 0);
    const std::string names = std::string("Canon") + '\0' + "Canon PowerShot S40" + '\0';
    Bytes heap(names.begin(), names.end());
    const uint32_t table = uint32_t(heap.size());
    Put16(heap, 1);
    Put16(heap, 0x080A);
    Put32(heap, uint32_t(names.size()));
    Put32(heap, 0);
    Put32(heap, table);
    file.insert(file.end(), heap.begin(), heap.end());
    Engine e(file);
    EXPECT_STREQ(e.ctx->maker, "Canon");
    EXPECT_STREQ(e.ctx->modelName, "PowerShot S40");
}

// The adapter over a DNG with a textured mosaic; a colour matrix of four
// rows makes it a four-colour camera.
Bytes TexturedDng(int orientation, int matrixRows = 0) {
    TiffBuilder t = DngTags(40, 30, 16, 1);
    if (orientation) t.Shorts(274, {uint32_t(orientation)});
    if (matrixRows) {
        Bytes m;
        for (int i = 0; i < matrixRows * 3; ++i) {
            Put32(m, uint32_t(i % 4 == 0 ? 9000 : 500));  // XYZ to camera, signed rationals over 10000
            Put32(m, 10000);
        }
        t.fields[50721] = TiffBuilder::Field{50721, 10, uint32_t(matrixRows * 3), m};
    }
    Bytes data;
    for (int r = 0; r < 30; ++r)
        for (int c = 0; c < 40; ++c) Put16(data, uint32_t((r * 7 + c * 13) % 50 * 80));
    return t.Build({data});
}

bool DecodeRaw(ZtImageRAW& img, const Bytes& bytes) {
    ZtMemFile stream(bytes.data(), bytes.size());
    return img.Decode(&stream);
}

TEST(RawAdapter, SizeOnlyAndOrientation) {
    ZtImageRAW size;
    size.SetAbortCode(-1);
    ASSERT_TRUE(DecodeRaw(size, TexturedDng(6)));
    EXPECT_STREQ(size.LastError(), "output dimensions returned");
    EXPECT_EQ(size.Width(), 40);
    EXPECT_EQ(size.Height(), 30);
    EXPECT_FALSE(size.HasPixels());
    // A portrait picture comes out with the size-only answer turned.
    ZtImageRAW portrait;
    ASSERT_TRUE(DecodeRaw(portrait, TexturedDng(6))) << portrait.LastError();
    EXPECT_EQ(portrait.Width(), 30);
    EXPECT_EQ(portrait.Height(), 40);
    EXPECT_EQ(portrait.FormatId(), uint32_t(ImageFormat::CameraRaw));
}

TEST(RawAdapter, OptionPicksTheDemosaicingByItsLowBits) {
    std::vector<std::string> hashes;
    for (uint32_t option : {0u, 1u, 5u}) {
        ZtImageRAW img;
        img.SetDecoderOption(option, ImageFormat::CameraRaw);
        ASSERT_TRUE(DecodeRaw(img, TexturedDng(0))) << img.LastError();
        hashes.push_back(zt_test::IncludeHash(img));
    }
    EXPECT_NE(hashes[0], hashes[1]);  // bilinear and VNG differ on texture
    EXPECT_EQ(hashes[1], hashes[2]);  // 5 acts as 1
}

TEST(RawAdapter, FourColourCameraAlwaysUsesVng) {
    std::vector<std::string> hashes;
    for (uint32_t option : {0u, 1u, 2u, 3u}) {
        ZtImageRAW img;
        img.SetDecoderOption(option, ImageFormat::CameraRaw);
        ASSERT_TRUE(DecodeRaw(img, TexturedDng(0, 4))) << img.LastError();
        hashes.push_back(zt_test::IncludeHash(img));
    }
    for (int i = 0; i < 4; ++i) EXPECT_EQ(hashes[size_t(i)], hashes[1]) << "option " << i;
    // The same mosaic with a three-row matrix follows the option.
    std::string three[2];
    for (uint32_t option : {0u, 1u}) {
        ZtImageRAW img;
        img.SetDecoderOption(option, ImageFormat::CameraRaw);
        ASSERT_TRUE(DecodeRaw(img, TexturedDng(0, 3)));
        three[option] = zt_test::IncludeHash(img);
    }
    EXPECT_NE(three[0], three[1]);
}

TEST(RawAdapter, MessagesForWhatIsNoRawImage) {
    ZtImageRAW img;
    EXPECT_FALSE(DecodeRaw(img, Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0}));
    EXPECT_STREQ(img.LastError(), "ZtImageRAW: not a raw image");
    // Every prefix of a good file decodes or fails with a message.
    const Bytes good = TexturedDng(0);
    for (size_t n = 0; n < good.size(); n += 37) {
        ZtImage any;
        ZtMemFile stream(good.data(), n);
        const bool ok = any.Decode(&stream, ImageFormat::CameraRaw);
        EXPECT_TRUE(zt_test::DecodedOrFailedCleanly(ok, any, true)) << n;
    }
}

// Real camera files against their own previews (see scripts/reference/raw_reference.py).
TEST(RawAdapter, RealFilesMatchTheirPreviews) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not present; RAW preview comparison skipped";
    std::ifstream tsv(std::string(ZENT_SOURCE_DIR) + "/tests/data/raw_reference.tsv");
    std::string line;
    int compared = 0;
    while (std::getline(tsv, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string path, expect;
        int width = 0, height = 0;
        fields >> path >> expect >> width >> height;
        std::vector<double> reference;
        for (double v; fields >> v;) reference.push_back(v);
        ZtImageRAW img;
        const bool ok = DecodeRaw(img, zt_test::ReadFileBytes(corpus + "/" + path));
        if (expect == "fail") {
            EXPECT_FALSE(ok) << path;
            EXPECT_STRNE(img.LastError(), "") << path;
            continue;
        }
        ASSERT_TRUE(ok) << path << ": " << img.LastError();
        ASSERT_EQ(reference.size(), size_t(width) * height) << path;
        // Our picture, reduced to the reference's size by box averages of luminance.
        std::vector<double> ours(reference.size(), 0), weight(reference.size(), 0);
        for (int y = 0; y < img.Height(); ++y)
            for (int x = 0; x < img.Width(); ++x) {
                const ZtQuad q = img.ColorAt(x, img.Height() - 1 - y, false);
                const size_t cell = size_t(y * height / img.Height()) * width + size_t(x * width / img.Width());
                ours[cell] += 0.299 * q.red + 0.587 * q.green + 0.114 * q.blue;
                weight[cell] += 1;
            }
        double ma = 0, mb = 0;
        for (size_t i = 0; i < ours.size(); ++i) {
            ours[i] /= std::max(1.0, weight[i]);
            ma += ours[i];
            mb += reference[i];
        }
        ma /= double(ours.size());
        mb /= double(ours.size());
        double sab = 0, saa = 0, sbb = 0;
        for (size_t i = 0; i < ours.size(); ++i) {
            sab += (ours[i] - ma) * (reference[i] - mb);
            saa += (ours[i] - ma) * (ours[i] - ma);
            sbb += (reference[i] - mb) * (reference[i] - mb);
        }
        const double correlation = sab / std::sqrt(saa * sbb);
        // A loader that unpacks wrongly gives noise, near 0.
        EXPECT_GT(correlation, 0.9) << path;
        ++compared;
    }
    EXPECT_GE(compared, 2);
}

// Every other RAW file of the corpus (stubs without pixels, broken files)
// ends with a picture or a message, never a crash.
TEST(RawAdapter, CorpusStubsAndBrokenFilesEndCleanly) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not present";
    std::ifstream manifest(corpus + "/MANIFEST.tsv");
    std::string line;
    int seen = 0;
    while (std::getline(manifest, line)) {
        if (line.rfind("raw/", 0) != 0 || line.find("raw/real/") == 0) continue;
        const std::string path = corpus + "/" + line.substr(0, line.find('\t'));
        ZtImageRAW img;
        const bool ok = DecodeRaw(img, zt_test::ReadFileBytes(path));
        EXPECT_TRUE(zt_test::DecodedOrFailedCleanly(ok, img, true)) << path;
        ++seen;
    }
    EXPECT_GT(seen, 20);
}

}  // namespace
