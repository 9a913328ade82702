// JPEG-2000 family adapter: the RGB and grey paths, sample shifting, frames,
// dimensions-only mode, detection by content, the PNM, PGX and Sun raster
// readers, damaged input, and the shared corpus.
#include <gtest/gtest.h>

#include <lcms2.h>
#include <openjpeg.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "codecs/adapters/jas.h"
#include "image/zt_file.h"
#include "tests/test_support.h"

namespace {

// ---------------------------------------------------------------- fixtures ----

// One component of a JPEG 2000 fixture: samples top line first.
struct CompSpec {
    uint32_t width;
    uint32_t height;
    uint32_t precision;
    bool isSigned;
    std::vector<int32_t> samples;
    uint32_t dx = 1;
    uint32_t dy = 1;
};

struct Jpeg2000Spec {
    std::vector<CompSpec> components;
    bool jp2 = true;  // false: a bare code stream
    OPJ_COLOR_SPACE colourSpace = OPJ_CLRSPC_UNSPECIFIED;
};

struct OutBuffer {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
};

OPJ_SIZE_T WriteOut(void* data, OPJ_SIZE_T n, void* user) {
    auto* out = static_cast<OutBuffer*>(user);
    if (out->bytes.size() < out->pos + n) out->bytes.resize(out->pos + n);
    memcpy(out->bytes.data() + out->pos, data, n);
    out->pos += n;
    return n;
}
OPJ_OFF_T SkipOut(OPJ_OFF_T n, void* user) {
    auto* out = static_cast<OutBuffer*>(user);
    out->pos += size_t(n);
    if (out->bytes.size() < out->pos) out->bytes.resize(out->pos);
    return n;
}
OPJ_BOOL SeekOut(OPJ_OFF_T at, void* user) {
    static_cast<OutBuffer*>(user)->pos = size_t(at);
    return OPJ_TRUE;
}

// Encodes the fixture losslessly with OpenJPEG's encoder (one resolution, no
// colour transform), so decoded samples are exactly the fixture's.
std::vector<uint8_t> BuildJpeg2000(const Jpeg2000Spec& spec) {
    std::vector<opj_image_cmptparm_t> params(spec.components.size());
    for (size_t k = 0; k < params.size(); ++k) {
        const CompSpec& c = spec.components[k];
        params[k] = opj_image_cmptparm_t{};
        params[k].dx = c.dx;
        params[k].dy = c.dy;
        params[k].w = c.width;
        params[k].h = c.height;
        params[k].prec = c.precision;
        params[k].sgnd = c.isSigned;
    }
    opj_image_t* image = opj_image_create(uint32_t(params.size()), params.data(), spec.colourSpace);
    if (!image) return {};
    const CompSpec& first = spec.components[0];
    image->x0 = image->y0 = 0;
    image->x1 = first.width * first.dx;
    image->y1 = first.height * first.dy;
    for (size_t k = 0; k < params.size(); ++k)
        memcpy(image->comps[k].data, spec.components[k].samples.data(), spec.components[k].samples.size() * 4);
    opj_cparameters_t p;
    opj_set_default_encoder_parameters(&p);
    p.numresolution = 1;
    p.tcp_numlayers = 1;
    p.tcp_rates[0] = 0;
    p.cp_disto_alloc = 1;
    p.tcp_mct = 0;
    OutBuffer out;
    opj_codec_t* codec = opj_create_compress(spec.jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
    opj_stream_t* stream = opj_stream_create(1 << 16, OPJ_FALSE);
    opj_stream_set_user_data(stream, &out, nullptr);
    opj_stream_set_write_function(stream, WriteOut);
    opj_stream_set_skip_function(stream, SkipOut);
    opj_stream_set_seek_function(stream, SeekOut);
    const bool ok = opj_setup_encoder(codec, &p, image) && opj_start_compress(codec, image, stream) &&
                    opj_encode(codec, stream) && opj_end_compress(codec, stream);
    opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    opj_image_destroy(image);
    return ok ? out.bytes : std::vector<uint8_t>{};
}

CompSpec Plane(uint32_t w, uint32_t h, uint32_t precision, std::vector<int32_t> samples, bool isSigned = false) {
    return CompSpec{w, h, precision, isSigned, std::move(samples)};
}

// Sun raster: 32-byte big-endian header, then map and data as given.
std::vector<uint8_t> BuildSunRaster(uint32_t w, uint32_t h, uint32_t depth, uint32_t type, uint32_t mapType,
                                    const std::vector<uint8_t>& map, const std::vector<uint8_t>& data,
                                    uint32_t lengthField = 0) {
    std::vector<uint8_t> out;
    auto put = [&](uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
    };
    put(0x59A66A95);
    put(w);
    put(h);
    put(depth);
    put(lengthField ? lengthField : uint32_t(data.size()));
    put(type);
    put(mapType);
    put(uint32_t(map.size()));
    out.insert(out.end(), map.begin(), map.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool DecodeJas(ZtImageJAS& img, const std::vector<uint8_t>& bytes, uint32_t id) {
    ZtMemFile stream(bytes.data(), bytes.size());
    return img.Decode(&stream, id);
}

// ColorAt of column x on picture line `line` counted from the top.
ZtQuad Pixel(const ZtImage& img, int x, int line) { return img.ColorAt(x, img.Height() - 1 - line, false); }
uint8_t Index(const ZtImage& img, int x, int line) { return img.IndexAt(x, img.Height() - 1 - line); }
ZtQuad Rgb(uint8_t r, uint8_t g, uint8_t b) { return ZtQuad{b, g, r, 0}; }
ZtQuad Grey(uint8_t v) { return ZtQuad{v, v, v, 0}; }

std::vector<uint8_t> Rgb8Jp2() {
    Jpeg2000Spec s;
    s.components = {Plane(2, 2, 8, {255, 0, 10, 200}), Plane(2, 2, 8, {0, 255, 20, 100}),
                    Plane(2, 2, 8, {0, 0, 30, 50})};
    s.colourSpace = OPJ_CLRSPC_SRGB;
    return BuildJpeg2000(s);
}

// ---------------------------------------------------------------- JPEG 2000 ----

TEST(JasDecoder, RgbJp2WithEightBitSamplesIsTwentyFourBit) {
    ZtImage img;
    ASSERT_TRUE(zt_test::DecodeBytes(img, Rgb8Jp2(), ImageFormat::Jp2)) << img.LastError();
    EXPECT_EQ(img.BitsPerPixel(), 24u);
    EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Jp2));
    EXPECT_EQ(Pixel(img, 0, 0), Rgb(255, 0, 0));
    EXPECT_EQ(Pixel(img, 1, 0), Rgb(0, 255, 0));
    EXPECT_EQ(Pixel(img, 0, 1), Rgb(10, 20, 30));
    EXPECT_EQ(Pixel(img, 1, 1), Rgb(200, 100, 50));
}

TEST(JasDecoder, SixteenBitRgbLosesLowBitsWithoutConversion) {
    Jpeg2000Spec s;
    s.components = {Plane(2, 1, 16, {0x1234, 0xFFFF}), Plane(2, 1, 16, {0x56FF, 0x0001}),
                    Plane(2, 1, 16, {0x9A00, 0x8080})};
    s.colourSpace = OPJ_CLRSPC_SYCC;  // not converted above 8 bits
    ZtImage img;
    ASSERT_TRUE(zt_test::DecodeBytes(img, BuildJpeg2000(s), ImageFormat::Jp2)) << img.LastError();
    EXPECT_EQ(Pixel(img, 0, 0), Rgb(0x12, 0x56, 0x9A));
    EXPECT_EQ(Pixel(img, 1, 0), Rgb(0xFF, 0x00, 0x80));
}

TEST(JasDecoder, SyccEightBitBecomesRgbWithChromaRepeated) {
    // 2x2 luma, chroma subsampled to 1x1: every pixel shares Cb, Cr.
    Jpeg2000Spec s;
    CompSpec cb = Plane(1, 1, 8, {128});
    CompSpec cr = Plane(1, 1, 8, {228});
    cb.dx = cb.dy = cr.dx = cr.dy = 2;
    s.components = {Plane(2, 2, 8, {100, 0, 128, 250}), cb, cr};
    s.colourSpace = OPJ_CLRSPC_SYCC;
    ZtImage img;
    ASSERT_TRUE(zt_test::DecodeBytes(img, BuildJpeg2000(s), ImageFormat::Jp2)) << img.LastError();
    ASSERT_EQ(img.Width(), 2);
    // Cr 100 above mid: red + 140, green - 71, clamped to 0..255.
    EXPECT_EQ(Pixel(img, 0, 0), Rgb(240, 29, 100));
    EXPECT_EQ(Pixel(img, 1, 0), Rgb(140, 0, 0));
    EXPECT_EQ(Pixel(img, 0, 1), Rgb(255, 57, 128));
    EXPECT_EQ(Pixel(img, 1, 1), Rgb(255, 179, 250));
}

// An RGB profile with sRGB's primaries but linear tone curves: its mid grey
// is lighter in sRGB, its black and white stay where they are.
std::vector<uint8_t> LinearRgbProfile() {
    cmsCIExyY white;
    cmsWhitePointFromTemp(&white, 6504);
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* curves[3] = {linear, linear, linear};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<uint8_t> bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(linear);
    return bytes;
}

uint32_t BoxLength(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
void SetBoxLength(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}

// OpenJPEG's encoder writes enumerated colour only: swap the JP2 header's
// colour box for one with method 2 (restricted ICC) and the profile.
std::vector<uint8_t> WithIccProfile(std::vector<uint8_t> jp2, const std::vector<uint8_t>& icc) {
    const std::string bytes(jp2.begin(), jp2.end());
    const size_t header = bytes.find("jp2h") - 4;
    const size_t colour = bytes.find("colr") - 4;
    const uint32_t oldLength = BoxLength(jp2, colour);
    std::vector<uint8_t> box = {0, 0, 0, 0, 'c', 'o', 'l', 'r', 2, 0, 0};
    box.insert(box.end(), icc.begin(), icc.end());
    SetBoxLength(box, 0, uint32_t(box.size()));
    jp2.erase(jp2.begin() + long(colour), jp2.begin() + long(colour + oldLength));
    jp2.insert(jp2.begin() + long(colour), box.begin(), box.end());
    SetBoxLength(jp2, header, BoxLength(jp2, header) - oldLength + uint32_t(box.size()));
    return jp2;
}

TEST(JasDecoder, EmbeddedIccProfileIsAppliedToReachSrgb) {
    Jpeg2000Spec s;
    s.components = {Plane(3, 1, 8, {0, 128, 255}), Plane(3, 1, 8, {0, 128, 255}), Plane(3, 1, 8, {0, 128, 255})};
    s.colourSpace = OPJ_CLRSPC_SRGB;
    const std::vector<uint8_t> icc = LinearRgbProfile();
    ASSERT_FALSE(icc.empty());
    ZtImage img;
    ASSERT_TRUE(zt_test::DecodeBytes(img, WithIccProfile(BuildJpeg2000(s), icc), ImageFormat::Jp2)) << img.LastError();
    EXPECT_EQ(Pixel(img, 0, 0), Grey(0));
    EXPECT_EQ(Pixel(img, 2, 0), Grey(255));
    const ZtQuad mid = Pixel(img, 1, 0);
    EXPECT_NEAR(mid.red, 188, 2);  // linear 0.5 is sRGB 0.735
    EXPECT_NEAR(mid.green, mid.red, 1);
    EXPECT_NEAR(mid.blue, mid.red, 1);
}

TEST(JasDecoder, FourComponentsTakeGreyPathChosenByFrame) {
    Jpeg2000Spec s;
    for (int k = 0; k < 4; ++k) s.components.push_back(Plane(2, 1, 8, {10 * (k + 1), 200 + k}));
    const std::vector<uint8_t> file = BuildJpeg2000(s);
    for (int frame = 0; frame < 4; ++frame) {
        ZtImageJAS img;
        img.SetFrameIndex(frame);
        ASSERT_TRUE(DecodeJas(img, file, ImageFormat::Jp2)) << img.LastError();
        EXPECT_EQ(img.FrameCount(), 4);
        EXPECT_EQ(img.BitsPerPixel(), 8u);
        EXPECT_EQ(Pixel(img, 0, 0), Grey(uint8_t(10 * (frame + 1))));
        EXPECT_EQ(Pixel(img, 1, 0), Grey(uint8_t(200 + frame)));
    }
}

TEST(JasDecoder, TwelveBitComponentKeepsTopEightBits) {
    Jpeg2000Spec s;
    s.components = {Plane(3, 1, 12, {0xABC, 0x00F, 0xFFF})};
    s.jp2 = false;
    ZtImage img;
    ASSERT_TRUE(zt_test::DecodeBytes(img, BuildJpeg2000(s), ImageFormat::Jpc)) << img.LastError();
    EXPECT_EQ(img.BitsPerPixel(), 8u);
    EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Jpc));
    EXPECT_EQ(Index(img, 0, 0), 0xAB);
    EXPECT_EQ(Index(img, 1, 0), 0x00);
    EXPECT_EQ(Index(img, 2, 0), 0xFF);
}

TEST(JasDecoder, OneBitComponentIsBlackAndWhite) {
    Jpeg2000Spec s;
    s.components = {Plane(3, 2, 1, {0, 1, 1, 1, 0, 0})};
    ZtImage img;
    ASSERT_TRUE(zt_test::DecodeBytes(img, BuildJpeg2000(s), ImageFormat::Jp2)) << img.LastError();
    EXPECT_EQ(img.BitsPerPixel(), 1u);
    EXPECT_EQ(img.PaletteEntries(), 2u);
    EXPECT_EQ(Pixel(img, 0, 0), Grey(0));
    EXPECT_EQ(Pixel(img, 1, 0), Grey(255));
    EXPECT_EQ(Pixel(img, 0, 1), Grey(255));
    EXPECT_EQ(Pixel(img, 2, 1), Grey(0));
}

TEST(JasDecoder, MissingFrameOfOneComponentFails) {
    Jpeg2000Spec s;
    s.components = {Plane(1, 1, 8, {7})};
    ZtImageJAS img;
    img.SetFrameIndex(3);
    EXPECT_FALSE(DecodeJas(img, BuildJpeg2000(s), ImageFormat::Jp2));
    EXPECT_STREQ(img.LastError(), "wrong frame!");
    EXPECT_EQ(img.FrameCount(), 1);
}

TEST(JasDecoder, SizeOnlyJp2ReportsSizeAndFormat) {
    ZtImage img;
    img.SetAbortCode(-1);
    EXPECT_TRUE(zt_test::DecodeBytes(img, Rgb8Jp2(), ImageFormat::Jp2));
    EXPECT_EQ(img.Width(), 2);
    EXPECT_EQ(img.Height(), 2);
    EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Jp2));
    EXPECT_FALSE(img.HasPixels());
    EXPECT_STREQ(img.LastError(), "output dimensions returned");
}

// A code stream whose SIZ claims 40000 x 40000 samples (6.4 GB as OpenJPEG
// keeps them) is refused after the header, before any tile is decoded; its
// size is still reported in dimensions-only mode.
TEST(JasDecoder, HugeCodeStreamIsRefusedBeforeDecoding) {
    Jpeg2000Spec s;
    s.components = {Plane(1, 1, 8, {1})};
    s.jp2 = false;
    std::vector<uint8_t> file = BuildJpeg2000(s);
    ASSERT_GT(file.size(), 40u);
    for (size_t at : {8, 12, 24, 28}) SetBoxLength(file, at, 40000);  // Xsiz, Ysiz, XTsiz, YTsiz
    ZtImageJAS img;
    EXPECT_FALSE(DecodeJas(img, file, ImageFormat::Jpc));
    EXPECT_STREQ(img.LastError(), "ZTIMAGE_MAX_MEMORY exceeded");
    ZtImageJAS probe;
    probe.SetAbortCode(-1);
    EXPECT_TRUE(DecodeJas(probe, file, ImageFormat::Jpc));
    EXPECT_EQ(probe.Width(), 40000);
    EXPECT_EQ(probe.FormatId(), uint32_t(ImageFormat::Jpc));
}

// Signed samples sit around zero; shown unshifted they would wrap, so they
// move up by half their range. Each component shifts by its own precision.
TEST(JasDecoder, SignedAndNarrowComponentsKeepTheirOwnScale) {
    Jpeg2000Spec s;
    s.components = {Plane(2, 1, 12, {-2048, 2047}, true), Plane(2, 1, 4, {3, 15})};
    ZtImageJAS img;
    ASSERT_TRUE(DecodeJas(img, BuildJpeg2000(s), ImageFormat::Jp2)) << img.LastError();
    EXPECT_EQ(Pixel(img, 0, 0), Grey(0));
    EXPECT_EQ(Pixel(img, 1, 0), Grey(255));
    ZtImageJAS second;
    second.SetFrameIndex(1);
    ASSERT_TRUE(DecodeJas(second, BuildJpeg2000(s), ImageFormat::Jp2)) << second.LastError();
    EXPECT_EQ(second.BitsPerPixel(), 4u);
    EXPECT_EQ(Index(second, 0, 0), 3);
    EXPECT_EQ(Index(second, 1, 0), 15);
}

TEST(JasDecoder, ThreeComponentsOfDifferentSizesTakeGreyPath) {
    Jpeg2000Spec s;
    CompSpec small = Plane(1, 1, 8, {9});
    small.dx = small.dy = 2;
    s.components = {Plane(2, 2, 8, {1, 2, 3, 4}), small, small};
    ZtImageJAS img;
    img.SetFrameIndex(2);
    ASSERT_TRUE(DecodeJas(img, BuildJpeg2000(s), ImageFormat::Jpc)) << img.LastError();
    EXPECT_EQ(img.FrameCount(), 3);
    EXPECT_EQ(img.Width(), 1);
    EXPECT_EQ(Pixel(img, 0, 0), Grey(9));
    // The grey path records the id that was asked for.
    EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Jpc));
}

// ---------------------------------------------------------------- detection ----

TEST(JasDecoder, UnknownDataFailsWhateverIdWasAsked) {
    const std::vector<uint8_t> junk = Bytes("GIF89a not a family member");
    for (uint32_t id : {ImageFormat::Jp2, ImageFormat::Jpc, ImageFormat::Pgx, ImageFormat::Pnm,
                        ImageFormat::SunRaster, ImageFormat::Unknown}) {
        ZtImageJAS img;
        EXPECT_FALSE(DecodeJas(img, junk, id));
        EXPECT_STREQ(img.LastError(), "error: unknowm format");
    }
    ZtImageJAS empty;
    EXPECT_FALSE(DecodeJas(empty, {}, ImageFormat::Jp2));
    EXPECT_STREQ(empty.LastError(), "error: unknowm format");
}

TEST(JasDecoder, SunRasterAskedForAsJp2StillDecodes) {
    const std::vector<uint8_t> ras = BuildSunRaster(1, 1, 24, 1, 0, {}, {30, 20, 10, 0});
    ZtImage img;
    ASSERT_TRUE(zt_test::DecodeBytes(img, ras, ImageFormat::Jp2)) << img.LastError();
    EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::SunRaster));
    EXPECT_EQ(Pixel(img, 0, 0), Rgb(10, 20, 30));
}

// ---------------------------------------------------------------- PNM ----

TEST(JasDecoder, PbmBlackIsBlackPlainAndRaw) {
    for (const std::vector<uint8_t>& file :
         {Bytes("P1\n# c\n3 1\n1 01"), Concat(Bytes("P4 3 1\n"), {0xA0})}) {
        ZtImage img;
        ASSERT_TRUE(zt_test::DecodeBytes(img, file, ImageFormat::Pnm)) << img.LastError();
        EXPECT_EQ(img.BitsPerPixel(), 1u);
        EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Pnm));
        EXPECT_EQ(Pixel(img, 0, 0), Grey(0));
        EXPECT_EQ(Pixel(img, 1, 0), Grey(255));
        EXPECT_EQ(Pixel(img, 2, 0), Grey(0));
    }
}

TEST(JasDecoder, PnmSamplesKeepTheirPrecision) {
    struct Case {
        std::vector<uint8_t> file;
        uint32_t bits;
        std::vector<ZtQuad> expect;
    };
    const Case cases[] = {
        {Concat(Bytes("P5 2 1 255\n"), {7, 250}), 8, {Grey(7), Grey(250)}},
        {Bytes("P2 2 1 4095 4095 16"), 8, {Grey(255), Grey(1)}},
        {Bytes("P2 2 1 15 15 3"), 4, {Grey(255), Grey(51)}},
        {Concat(Bytes("P6 1 1 65535\n"), {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}), 24, {Rgb(0x12, 0x56, 0x9A)}},
        {Bytes("P3 1 1 255 1 2 3"), 24, {Rgb(1, 2, 3)}},
    };
    for (const Case& c : cases) {
        ZtImage img;
        ASSERT_TRUE(zt_test::DecodeBytes(img, c.file, ImageFormat::Pnm)) << img.LastError();
        EXPECT_EQ(img.BitsPerPixel(), c.bits);
        for (size_t x = 0; x < c.expect.size(); ++x) EXPECT_EQ(Pixel(img, int(x), 0), c.expect[x]);
    }
}

TEST(JasDecoder, DamagedPnmFailsCleanly) {
    for (const char* text : {"P5 2 1 0\n\1\2", "P5 2 1 65536\n\1\2\3\4", "P2 2 1 10 3 11", "P6 2 2 255\nabc",
                                    "P5 0 1 255\n", "P2 2 1 -255 1 2"}) {
        ZtImageJAS img;
        EXPECT_FALSE(DecodeJas(img, Bytes(text), ImageFormat::Pnm)) << text;
        EXPECT_STREQ(img.LastError(), "error: cannot load image data") << text;
    }
}

// ---------------------------------------------------------------- PGX ----

TEST(JasDecoder, PgxByteOrderSignAndDepth) {
    ZtImage big;
    ASSERT_TRUE(zt_test::DecodeBytes(big, Concat(Bytes("PG ML + 12 2 1\n"), {0x0A, 0xBC, 0x0F, 0xFF}),
                                     ImageFormat::Pgx));
    EXPECT_EQ(Pixel(big, 0, 0), Grey(0xAB));
    EXPECT_EQ(Pixel(big, 1, 0), Grey(0xFF));
    ZtImage little;
    ASSERT_TRUE(zt_test::DecodeBytes(little, Concat(Bytes("PG LM 12 1 1\r\n"), {0xBC, 0x0A}), ImageFormat::Pgx));
    EXPECT_EQ(Pixel(little, 0, 0), Grey(0xAB));
    ZtImage sign;
    ASSERT_TRUE(zt_test::DecodeBytes(sign, Concat(Bytes("PG ML -8 3 1\n"), {0x80, 0x00, 0x7F}), ImageFormat::Pgx));
    EXPECT_EQ(Pixel(sign, 0, 0), Grey(0));
    EXPECT_EQ(Pixel(sign, 1, 0), Grey(128));
    EXPECT_EQ(Pixel(sign, 2, 0), Grey(255));
    ZtImageJAS deep;
    EXPECT_FALSE(DecodeJas(deep, Concat(Bytes("PG ML + 17 1 1\n"), {0, 0, 0, 0}), ImageFormat::Pgx));
    EXPECT_STREQ(deep.LastError(), "error: cannot load image data");
}

// ---------------------------------------------------------------- Sun raster ----

TEST(JasDecoder, SunRasterDepthsMapsAndRuns) {
    // 1 bit, no map: a set bit is black. Rows pad to 16 bits.
    ZtImage mono;
    ASSERT_TRUE(zt_test::DecodeBytes(mono, BuildSunRaster(2, 1, 1, 1, 0, {}, {0x80, 0}), ImageFormat::SunRaster));
    EXPECT_EQ(Pixel(mono, 0, 0), Grey(0));
    EXPECT_EQ(Pixel(mono, 1, 0), Grey(255));
    // 8 bits with a two-entry colour map (red plane, green plane, blue plane).
    ZtImage mapped;
    ASSERT_TRUE(zt_test::DecodeBytes(mapped, BuildSunRaster(2, 1, 8, 1, 1, {10, 20, 30, 40, 50, 60}, {1, 0}),
                                     ImageFormat::SunRaster));
    EXPECT_EQ(mapped.BitsPerPixel(), 24u);
    EXPECT_EQ(Pixel(mapped, 0, 0), Rgb(20, 40, 60));
    EXPECT_EQ(Pixel(mapped, 1, 0), Rgb(10, 30, 50));
    // 32 bits: pad byte first, then B G R; RGB-type files store R G B.
    ZtImage wide;
    ASSERT_TRUE(zt_test::DecodeBytes(wide, BuildSunRaster(1, 1, 32, 1, 0, {}, {99, 3, 2, 1}), ImageFormat::SunRaster));
    EXPECT_EQ(Pixel(wide, 0, 0), Rgb(1, 2, 3));
    ZtImage rgbType;
    ASSERT_TRUE(zt_test::DecodeBytes(rgbType, BuildSunRaster(1, 1, 24, 3, 0, {}, {1, 2, 3, 0}), ImageFormat::SunRaster));
    EXPECT_EQ(Pixel(rgbType, 0, 0), Rgb(1, 2, 3));
    // Byte-encoded: 0x80 3 7 is four 7s, 0x80 0 one 0x80.
    ZtImage runs;
    ASSERT_TRUE(zt_test::DecodeBytes(runs, BuildSunRaster(6, 1, 8, 2, 0, {}, {0x80, 3, 7, 0x80, 0, 5}),
                                     ImageFormat::SunRaster));
    EXPECT_EQ(Pixel(runs, 3, 0), Grey(7));
    EXPECT_EQ(Pixel(runs, 4, 0), Grey(0x80));
    EXPECT_EQ(Pixel(runs, 5, 0), Grey(5));
}

TEST(JasDecoder, SunRasterLengthFieldDoesNotDecideTheSize) {
    // The header claims a huge length; only the size decides what is read.
    ZtImage img;
    ASSERT_TRUE(zt_test::DecodeBytes(img, BuildSunRaster(1, 1, 8, 1, 0, {}, {42, 0}, 0x7FFFFFFF),
                                     ImageFormat::SunRaster));
    EXPECT_EQ(Pixel(img, 0, 0), Grey(42));
    // A picture larger than its data fails, whatever the length claims.
    ZtImageJAS cut;
    EXPECT_FALSE(DecodeJas(cut, BuildSunRaster(4, 4, 8, 1, 0, {}, {1, 2, 3}, 16), ImageFormat::SunRaster));
    EXPECT_STREQ(cut.LastError(), "error: cannot load image data");
}

// ---------------------------------------------------------------- streaming ----

// The uncompressed readers pull the file through a buffer line by line: the
// same bytes from a file and from memory give the same pixels, with runs that
// go on into the next line, maps passed over beyond the buffer, and lines
// longer than it.
TEST(JasDecoder, UncompressedReadersReadFilesAsMemory) {
    struct Case {
        const char* what;
        std::vector<uint8_t> file;
        std::function<void(const ZtImage&)> check;
    };
    std::vector<uint8_t> wide = Bytes("P6 30000 1 255\n");
    for (uint32_t x = 0; x < 30000; ++x) wide.insert(wide.end(), {uint8_t(x % 251), uint8_t(x % 241), uint8_t(x % 239)});
    const Case cases[] = {
        // 0x80 4 9 is five 9s: four fill line 0 (three pixels and the pad
        // byte), the fifth starts line 1.
        {"run over a line end", BuildSunRaster(3, 2, 8, 2, 0, {}, {0x80, 4, 9, 1, 2, 0}),
         [](const ZtImage& img) {
             for (int x = 0; x < 3; ++x) EXPECT_EQ(Pixel(img, x, 0), Grey(9));
             EXPECT_EQ(Pixel(img, 0, 1), Grey(9));
             EXPECT_EQ(Pixel(img, 1, 1), Grey(1));
             EXPECT_EQ(Pixel(img, 2, 1), Grey(2));
         }},
        {"raw map passed over", BuildSunRaster(1, 1, 24, 1, 2, std::vector<uint8_t>(70000, 0xEE), {3, 2, 1, 0}),
         [](const ZtImage& img) { EXPECT_EQ(Pixel(img, 0, 0), Rgb(1, 2, 3)); }},
        {"line longer than the buffer", wide,
         [](const ZtImage& img) {
             for (int x : {0, 21845, 29999}) EXPECT_EQ(Pixel(img, x, 0), Rgb(x % 251, x % 241, x % 239)) << x;
         }},
        // Signed 4-bit samples -8 and 7 move up by 8: indices 0 and 15.
        {"signed PGX", Concat(Bytes("PG ML -4 2 1\n"), {0x08, 0x07}),
         [](const ZtImage& img) {
             EXPECT_EQ(img.BitsPerPixel(), 4u);
             EXPECT_EQ(Index(img, 0, 0), 0);
             EXPECT_EQ(Index(img, 1, 0), 15);
         }},
    };
    for (const Case& c : cases)
        for (bool fromFile : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (fromFile ? " from a file" : " from memory"));
            ZtImage img;
            ASSERT_TRUE(fromFile ? zt_test::DecodeFileBytes(img, c.file, ImageFormat::Jp2)
                                 : zt_test::DecodeBytes(img, c.file, ImageFormat::Jp2))
                << img.LastError();
            c.check(img);
        }
}

// ---------------------------------------------------------------- sweeps ----

std::vector<std::vector<uint8_t>> SweepFixtures() {
    Jpeg2000Spec grey;
    grey.components = {Plane(5, 3, 8, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15})};
    grey.jp2 = false;
    return {Rgb8Jp2(),
            BuildJpeg2000(grey),
            Concat(Bytes("P6 2 1 255\n"), {1, 2, 3, 4, 5, 6}),
            Bytes("P2 2 2 300 1 2 299 4"),
            Concat(Bytes("PG ML -12 2 1\n"), {0x0F, 0xFF, 0x08, 0x00}),
            BuildSunRaster(3, 2, 8, 2, 1, {1, 2, 3, 4, 5, 6}, {0x80, 4, 1, 0})};
}

// Success means a picture with a positive size; failure leaves a message.
void ExpectCleanOutcome(const std::vector<uint8_t>& bytes, const std::string& what) {
    ZtImageJAS img;
    if (DecodeJas(img, bytes, ImageFormat::Jp2)) {
        EXPECT_TRUE(img.HasPixels()) << what;
        EXPECT_GT(img.Width(), 0) << what;
        EXPECT_GT(img.Height(), 0) << what;
    } else {
        EXPECT_NE(img.LastError()[0], '\0') << what;
    }
}

TEST(JasDecoder, EveryPrefixAndByteFlipEndsCleanly) {
    for (const std::vector<uint8_t>& file : SweepFixtures()) {
        ASSERT_FALSE(file.empty());
        for (size_t n = 0; n < file.size(); ++n)
            ExpectCleanOutcome(std::vector<uint8_t>(file.begin(), file.begin() + long(n)), "prefix " + std::to_string(n));
        for (size_t i = 0; i < file.size(); ++i) {
            std::vector<uint8_t> flipped = file;
            flipped[i] ^= 0xFF;
            ExpectCleanOutcome(flipped, "flip at " + std::to_string(i));
        }
    }
}

// ---------------------------------------------------------------- corpus ----

TEST(JasDecoder, CorpusMatchesIndependentDecoders) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not found beside the checkout";
    const auto refs = zt_test::LoadCorpusReferences(std::string(ZENT_SOURCE_DIR) + "/tests/data/jas_reference.tsv");
    ASSERT_GT(refs.size(), 180u);
    struct Counts {
        int valid = 0, matched = 0, edgeOk = 0, edgeFailed = 0, invalidFailed = 0, invalidDecoded = 0;
    };
    std::map<std::string, Counts> perFolder;
    for (const auto& r : refs) {
        Counts& n = perFolder[r.path.substr(0, r.path.find('/'))];
        const std::vector<uint8_t> bytes = zt_test::ReadFileBytes(corpus + "/" + r.path);
        ZtImage img;
        const bool ok = zt_test::DecodeBytes(img, bytes, ImageFormat::Jp2);
        if (!ok) {
            EXPECT_NE(img.LastError()[0], '\0') << r.path;
        }
        if (r.expect == "valid") {
            ++n.valid;
            ASSERT_NE(r.reference, "fail") << r.path;
            EXPECT_TRUE(ok) << r.path << ": " << img.LastError();
            if (ok) {
                const testing::AssertionResult same = zt_test::MatchesReference(img, r);
                EXPECT_TRUE(same);
                if (same) ++n.matched;
            }
        } else if (r.expect == "edge") {
            ++(ok ? n.edgeOk : n.edgeFailed);
            if (ok && r.reference != "fail" && r.reference != "any") {
                EXPECT_TRUE(zt_test::MatchesReference(img, r));
            }
        } else {
            ++(ok ? n.invalidDecoded : n.invalidFailed);
        }
    }
    for (const auto& [folder, n] : perFolder)
        printf("%s corpus: %d/%d valid match; edge %d decode, %d fail cleanly; invalid %d fail cleanly, %d decode\n",
               folder.c_str(), n.matched, n.valid, n.edgeOk, n.edgeFailed, n.invalidFailed, n.invalidDecoded);
}

}  // namespace
