// MNG adapter: JNG images, frame counting and selection (with and without
// frame delays), alpha, the background colour, size-only mode, bounds on
// loops and canvas size, damaged streams, and the shared corpus.
#include <gtest/gtest.h>

#include <jpeglib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "codecs/adapters/mng.h"
#include "image/zt_file.h"
#include "tests/png_fixture.h"
#include "tests/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using zt_test::PngSpec;
using zt_test::PutBE32;
using zt_test::PutChunk;

// The one MNG builder: MHDR, an optional FRAM and LOOP, every layer as PNG
// chunks of one pixel value (RGB, or RGBA with four samples), MEND.
struct MngSpec {
    uint32_t width = 4;
    uint32_t height = 3;
    int framingMode = 0;     // non-zero: a FRAM chunk with this mode before the layers
    int frameDelay = -1;     // with framingMode: the FRAM's default delay in ticks (100 a second)
    uint32_t loopCount = 0;  // non-zero: the layers sit in a LOOP of this many iterations
    std::vector<std::vector<uint16_t>> layers;
};

Bytes BuildMng(const MngSpec& m) {
    Bytes out = {0x8A, 'M', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes mhdr;
    for (uint32_t v : {m.width, m.height, 100u, 0u, 0u, 0u, 0u}) PutBE32(mhdr, v);
    PutChunk(out, "MHDR", mhdr);
    if (m.framingMode) {
        Bytes fram = {uint8_t(m.framingMode)};
        if (m.frameDelay >= 0) {
            fram.insert(fram.end(), {0, 2, 0, 0, 0});  // no name; new default delay
            PutBE32(fram, uint32_t(m.frameDelay));
        }
        PutChunk(out, "FRAM", fram);
    }
    if (m.loopCount) {
        Bytes loop = {0};
        PutBE32(loop, m.loopCount);
        PutChunk(out, "LOOP", loop);
    }
    for (const auto& pixel : m.layers) {
        PngSpec s;
        s.width = m.width;
        s.height = m.height;
        s.colorType = pixel.size() == 4 ? 6 : 2;
        for (uint32_t i = 0; i < m.width * m.height; ++i) s.samples.insert(s.samples.end(), pixel.begin(), pixel.end());
        const Bytes png = zt_test::BuildPng(s);
        out.insert(out.end(), png.begin() + 8, png.end());  // without the PNG signature
    }
    if (m.loopCount) PutChunk(out, "ENDL", {0});
    PutChunk(out, "MEND", {});
    return out;
}

// A baseline (or progressive) JPEG of one solid colour: 3 samples RGB, 1 grey.
Bytes EncodeJpeg(uint32_t w, uint32_t h, const std::vector<uint8_t>& pixel, bool progressive) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long memSize = 0;
    jpeg_mem_dest(&cinfo, &mem, &memSize);
    cinfo.image_width = w;
    cinfo.image_height = h;
    cinfo.input_components = int(pixel.size());
    cinfo.in_color_space = pixel.size() == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    if (progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row;
    for (uint32_t x = 0; x < w; ++x) row.insert(row.end(), pixel.begin(), pixel.end());
    while (cinfo.next_scanline < h) {
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    const Bytes jpeg(mem, mem + memSize);
    jpeg_destroy_compress(&cinfo);
    free(mem);
    return jpeg;
}

// The one JNG builder: JHDR, JDAT, optional JDAA of one alpha value, IEND.
struct JngSpec {
    uint32_t width = 16;
    uint32_t height = 8;
    std::vector<uint8_t> rgb = {200, 40, 90};
    uint8_t alphaDepth = 0;  // written as it stands (8 with no JDAA: a writer's quirk)
    int alpha = -1;          // 0..255: a JDAA chunk of this value
    bool progressiveAlpha = false;
};

Bytes BuildJng(const JngSpec& j) {
    Bytes out = {0x8B, 'J', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes jhdr;
    PutBE32(jhdr, j.width);
    PutBE32(jhdr, j.height);
    // colour (14 with alpha), 8-bit samples, Huffman, sequential; alpha
    // depth, compression (8: JPEG), filter and interlace
    const bool alpha = j.alpha >= 0;
    jhdr.insert(jhdr.end(), {uint8_t(alpha ? 14 : 10), 8, 8, 0, uint8_t(alpha ? 8 : j.alphaDepth),
                             uint8_t(alpha ? 8 : 0), 0, 0});
    PutChunk(out, "JHDR", jhdr);
    PutChunk(out, "JDAT", EncodeJpeg(j.width, j.height, j.rgb, false));
    if (alpha) {
        const Bytes a = EncodeJpeg(j.width, j.height, {uint8_t(j.alpha)}, j.progressiveAlpha);
        // Split in two chunks: the alpha stream may span several.
        PutChunk(out, "JDAA", Bytes(a.begin(), a.begin() + long(a.size() / 2)));
        PutChunk(out, "JDAA", Bytes(a.begin() + long(a.size() / 2), a.end()));
    }
    PutChunk(out, "IEND", {});
    return out;
}

const std::vector<uint16_t> kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255};

bool DecodeMng(ZtImageMNG& img, const Bytes& bytes, int32_t frame = 0) {
    img.SetFrameIndex(frame);
    ZtMemFile stream(bytes.data(), bytes.size());
    return img.Decode(&stream);
}

// Colour (with the alpha plane's value) at column x of the top line.
ZtQuad TopLeft(const ZtImage& img, int x = 0) { return img.ColorAt(x, img.Height() - 1, true); }

// A three-frame animation (red, green, blue), ten ticks a frame.
MngSpec ThreeFrames() {
    MngSpec m;
    m.framingMode = 1;
    m.frameDelay = 10;
    m.layers = {kRed, kGreen, kBlue};
    return m;
}

TEST(MngDecoder, SingleJngHasOneFrameAndRefusesFrameOne) {
    const Bytes jng = BuildJng(JngSpec{});
    ZtImageMNG img;
    ASSERT_TRUE(DecodeMng(img, jng)) << img.LastError();
    EXPECT_EQ(img.Width(), 16);
    EXPECT_EQ(img.Height(), 8);
    EXPECT_EQ(img.FrameCount(), 1);
    const ZtQuad q = TopLeft(img, 5);
    EXPECT_NEAR(q.red, 200, 2);
    EXPECT_NEAR(q.green, 40, 2);
    EXPECT_NEAR(q.blue, 90, 2);

    ZtImageMNG second;
    EXPECT_FALSE(DecodeMng(second, jng, 1));
    EXPECT_STREQ(second.LastError(), "Error: frame not present in MNG file");
    EXPECT_EQ(second.FrameCount(), 1);
    EXPECT_FALSE(second.HasPixels());
}

TEST(MngDecoder, JngWithoutAlphaButWithAlphaDepthIsRead) {
    // Colour type 10 has no alpha; a stray alpha depth of 8 (as some writers
    // leave it) is not a reason to refuse the picture.
    JngSpec j;
    j.alphaDepth = 8;
    ZtImageMNG img;
    ASSERT_TRUE(DecodeMng(img, BuildJng(j))) << img.LastError();
    EXPECT_NEAR(TopLeft(img).red, 200, 2);
}

TEST(MngDecoder, JngProgressiveAlphaDecodesLikeSequential) {
    // libmng refuses a progressive JDAA stream; it is handed on reordered.
    JngSpec j;
    j.alpha = 100;
    ZtImageMNG sequential, progressive;
    ASSERT_TRUE(DecodeMng(sequential, BuildJng(j))) << sequential.LastError();
    j.progressiveAlpha = true;
    ASSERT_TRUE(DecodeMng(progressive, BuildJng(j))) << progressive.LastError();
    EXPECT_NEAR(TopLeft(progressive).alpha, 100, 1);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            ASSERT_EQ(progressive.ColorAt(x, y, true), sequential.ColorAt(x, y, true)) << x << "," << y;
}

TEST(MngDecoder, AnimationCountsEveryFrameAndSelectsEach) {
    const Bytes mng = BuildMng(ThreeFrames());
    const ZtQuad expected[] = {{0, 0, 255, 255}, {0, 255, 0, 255}, {255, 0, 0, 255}};
    for (int32_t frame = 0; frame < 3; ++frame) {
        ZtImageMNG img;
        ASSERT_TRUE(DecodeMng(img, mng, frame)) << img.LastError();
        EXPECT_EQ(img.FrameCount(), 3);
        EXPECT_EQ(TopLeft(img), expected[frame]) << frame;
    }
    // Through the dispatcher a refused frame still reports the count.
    for (int32_t frame : {3, -1}) {
        ZtImage img;
        img.SetFrameIndex(frame);
        EXPECT_FALSE(zt_test::DecodeBytes(img, mng, ImageFormat::Mng));
        EXPECT_STREQ(img.LastError(), "Error: frame not present in MNG file");
        EXPECT_EQ(img.FrameCount(), 3);
    }
}

TEST(MngDecoder, FramesWithoutDelayStillStopAtEachLayer) {
    // Zero delays give libmng no timer break: it would draw all three layers
    // in one call and leave the last on the canvas.
    MngSpec m = ThreeFrames();
    m.frameDelay = 0;
    ZtImageMNG first;
    ASSERT_TRUE(DecodeMng(first, BuildMng(m))) << first.LastError();
    EXPECT_EQ(first.FrameCount(), 3);
    EXPECT_EQ(TopLeft(first), (ZtQuad{0, 0, 255, 255}));
    ZtImageMNG last;
    ASSERT_TRUE(DecodeMng(last, BuildMng(m), 2));
    EXPECT_EQ(TopLeft(last), (ZtQuad{255, 0, 0, 255}));
}

TEST(MngDecoder, LayersOfOneSubframeMakeOneFrame) {
    // Framing mode 2: the layers after a FRAM are composed into one frame.
    MngSpec m = ThreeFrames();
    m.framingMode = 2;
    m.frameDelay = 0;
    ZtImageMNG img;
    ASSERT_TRUE(DecodeMng(img, BuildMng(m))) << img.LastError();
    EXPECT_EQ(img.FrameCount(), 1);
    EXPECT_EQ(TopLeft(img), (ZtQuad{255, 0, 0, 255}));
}

// Sets the width (field 0) or height (field 1) in the IHDR of the given
// layer, with its CRC kept right.
void SetLayerSize(Bytes& mng, int layer, int field, uint32_t value) {
    const Bytes name = {'I', 'H', 'D', 'R'};
    auto at = mng.begin();
    for (int i = 0; i <= layer; ++i) at = std::search(at + 1, mng.end(), name.begin(), name.end());
    ASSERT_NE(at, mng.end());
    Bytes chunk(at + 4, at + 4 + 13);
    PutBE32(chunk, value);
    std::copy(chunk.begin() + 13, chunk.end(), at + 4 + 4 * field);
    PutBE32(chunk, uint32_t(crc32(0, &*at, 4 + 13)));
    std::copy(chunk.end() - 4, chunk.end(), at + 4 + 13);
}

TEST(MngDecoder, LoopRepeatsFramesAndEndlessLoopsAreBounded) {
    MngSpec m = ThreeFrames();
    m.layers = {kRed, kGreen};
    m.loopCount = 3;
    ZtImageMNG img;
    ASSERT_TRUE(DecodeMng(img, BuildMng(m), 5)) << img.LastError();
    EXPECT_EQ(img.FrameCount(), 6);
    EXPECT_EQ(TopLeft(img), (ZtQuad{0, 255, 0, 255}));

    // Two billion iterations without a delay run inside one libmng call;
    // the drawing budget stops them, and the first frame stands.
    m.frameDelay = 0;
    m.loopCount = 0x7FFFFFFF;
    const auto start = std::chrono::steady_clock::now();
    ZtImageMNG endless;
    ASSERT_TRUE(DecodeMng(endless, BuildMng(m))) << endless.LastError();
    EXPECT_EQ(TopLeft(endless), (ZtQuad{0, 0, 255, 255}));
    EXPECT_GE(endless.FrameCount(), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

    // Layers of four million rows on the three-row canvas draw three lines
    // each, but every repeat copies the whole 64 MB layer: what libmng
    // allocates ends the loop long before the drawing budget would (it
    // allows over a hundred thousand such frames).
    Bytes tall = BuildMng(m);
    SetLayerSize(tall, 0, 1, 4000000);
    SetLayerSize(tall, 1, 1, 4000000);
    ZtImageMNG tallLoop;
    ASSERT_TRUE(DecodeMng(tallLoop, tall)) << tallLoop.LastError();
    EXPECT_EQ(TopLeft(tallLoop), (ZtQuad{0, 0, 255, 255}));
    EXPECT_GE(tallLoop.FrameCount(), 2);
    EXPECT_LT(tallLoop.FrameCount(), 200);
}

TEST(MngDecoder, AlphaArrivesInAlphaPlaneWithRowsOverWhite) {
    // Layers of 1 x 1, each drawn over the last: clear red, half green, blue.
    MngSpec m;
    m.width = m.height = 1;
    m.layers = {{255, 0, 0, 0}, {0, 255, 0, 128}, {0, 0, 255, 255}};
    const ZtQuad expected[] = {{255, 255, 255, 0}, {127, 255, 127, 128}, {255, 0, 0, 255}};
    for (int32_t frame = 0; frame < 3; ++frame) {
        ZtImageMNG img;
        ASSERT_TRUE(DecodeMng(img, BuildMng(m), frame)) << img.LastError();
        ASSERT_TRUE(img.HasAlphaPlane());
        EXPECT_EQ(TopLeft(img), expected[frame]) << frame;
    }
}

TEST(MngDecoder, WhiteBackgroundIsTheTransparentColour) {
    ZtImageMNG img;
    ASSERT_TRUE(DecodeMng(img, BuildMng(ThreeFrames())));
    EXPECT_EQ(img.TransparentIndex(), 0);
    EXPECT_EQ(img.TransparentColor(), (ZtQuad{255, 255, 255, 0}));
}

TEST(MngDecoder, SizeOnlyReportsHeaderWithoutPixels) {
    MngSpec m = ThreeFrames();
    m.width = 37;
    m.height = 21;
    JngSpec j;
    j.width = 37;
    j.height = 21;
    for (const Bytes& bytes : {BuildMng(m), BuildJng(j)}) {
        ZtImageMNG img;
        img.SetAbortCode(-1);
        img.SetLastError("untouched");
        ASSERT_TRUE(DecodeMng(img, bytes));
        EXPECT_EQ(img.Width(), 37);
        EXPECT_EQ(img.Height(), 21);
        EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Mng));
        EXPECT_FALSE(img.HasPixels());
        EXPECT_STREQ(img.LastError(), "untouched");
    }
}

TEST(MngDecoder, CanvasBeyondCeilingFailsWithLibraryText) {
    // 9000 x 9000 passes libmng's own limit but not the memory ceiling:
    // the header callback refuses before allocating.
    MngSpec m = ThreeFrames();
    m.width = m.height = 9000;
    m.layers.clear();
    ZtImageMNG img;
    EXPECT_FALSE(DecodeMng(img, BuildMng(m)));
    EXPECT_STREQ(img.LastError(), "Application signalled an error");
    EXPECT_FALSE(img.HasPixels());
}

TEST(MngDecoder, LayerTooLargeForLibraryEndsTheStreamThere) {
    // A width near 2^30 wraps libmng's 32-bit row sizes; such a layer never
    // reaches it. Before any frame the decode fails; after one, the frames
    // drawn stand.
    for (uint32_t width : {0x40000004u, 0x01000000u}) {
        Bytes first = BuildMng(ThreeFrames());
        SetLayerSize(first, 0, 0, width);
        ZtImageMNG img;
        EXPECT_FALSE(DecodeMng(img, first)) << width;
        EXPECT_STREQ(img.LastError(), "Error in MNG file");
        EXPECT_FALSE(img.HasPixels());

        Bytes third = BuildMng(ThreeFrames());
        SetLayerSize(third, 2, 0, width);
        ZtImageMNG frame1;
        ASSERT_TRUE(DecodeMng(frame1, third, 1)) << frame1.LastError();
        EXPECT_EQ(frame1.FrameCount(), 2);
        EXPECT_EQ(TopLeft(frame1), (ZtQuad{0, 255, 0, 255}));
    }
}

TEST(MngDecoder, NullStreamFails) {
    ZtImageMNG img;
    EXPECT_FALSE(img.Decode(nullptr));
}

// Success must leave a picture of the declared size with frame 0 intact;
// failure must leave a message.
void ExpectCleanOutcome(const Bytes& bytes, const std::string& what) {
    ZtImageMNG img;
    if (DecodeMng(img, bytes)) {
        ASSERT_TRUE(img.HasPixels()) << what;
        ASSERT_EQ(img.Width(), 4) << what;
        ASSERT_GE(img.FrameCount(), 1) << what;
    } else {
        ASSERT_NE(img.LastError()[0], '\0') << what;
        ASSERT_FALSE(img.HasPixels()) << what;
    }
}

TEST(MngDecoder, EveryPrefixDecodesOrFailsWithLibraryText) {
    const Bytes mng = BuildMng(ThreeFrames());
    int decoded = 0;
    for (size_t n = 0; n < mng.size(); ++n) {
        const Bytes cut(mng.begin(), mng.begin() + long(n));
        ExpectCleanOutcome(cut, "prefix " + std::to_string(n));
        ZtImageMNG img;
        if (DecodeMng(img, cut)) {
            // A cut after the first layer keeps that layer.
            EXPECT_EQ(TopLeft(img), (ZtQuad{0, 0, 255, 255})) << n;
            ++decoded;
        }
    }
    EXPECT_GT(decoded, 0);
    ZtImageMNG cut;
    EXPECT_FALSE(DecodeMng(cut, Bytes(mng.begin(), mng.begin() + 60)));
    EXPECT_STREQ(cut.LastError(), "Encountered unexpected end-of-file");

    JngSpec j;
    j.alpha = 7;
    j.progressiveAlpha = true;
    const Bytes jng = BuildJng(j);
    for (size_t n = 0; n + 12 < jng.size(); ++n) {
        ZtImageMNG img;
        EXPECT_FALSE(DecodeMng(img, Bytes(jng.begin(), jng.begin() + long(n)))) << n;
        EXPECT_NE(img.LastError()[0], '\0') << n;
    }
}

TEST(MngDecoder, EveryByteFlipDecodesOrFailsCleanly) {
    const Bytes mng = BuildMng(ThreeFrames());
    for (size_t i = 0; i < mng.size(); ++i) {
        Bytes flipped = mng;
        flipped[i] ^= 0xA5;
        ExpectCleanOutcome(flipped, "flip " + std::to_string(i));
    }
}

TEST(MngDecoder, CorpusMatchesImageMagickFirstFrame) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not found next to the checkout";
    const auto refs =
        zt_test::LoadCorpusReferences(std::string(ZENT_SOURCE_DIR) + "/tests/data/mng_reference.tsv");
    ASSERT_GE(refs.size(), 18u);
    int matched = 0;
    for (const auto& r : refs) {
        const Bytes bytes = zt_test::ReadFileBytes(corpus + "/" + r.path);
        ASSERT_FALSE(bytes.empty()) << r.path;
        ZtImage img;
        const bool ok = zt_test::DecodeBytes(img, bytes, ImageFormat::Mng);
        if (r.expect == "valid" && r.reference != "any") {
            EXPECT_TRUE(ok) << r.path << ": " << img.LastError();
        }
        if (r.expect == "invalid") {
            EXPECT_FALSE(ok) << r.path;
        }
        if (!ok) {
            EXPECT_NE(img.LastError()[0], '\0') << r.path;
            EXPECT_FALSE(img.HasPixels()) << r.path;
            continue;
        }
        if (r.reference == "any" || r.reference == "fail") continue;
        EXPECT_TRUE(zt_test::MatchesReference(img, r));
        ++matched;
    }
    EXPECT_EQ(matched, 16);
}

}  // namespace
