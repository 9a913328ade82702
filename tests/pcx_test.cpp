// PCX decoder: run-length codes, plane layouts, palettes, failures, and the
// shared corpus against recorded references.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "codecs/builtin/pcx.h"
#include "image/zt_file.h"
#include "tests/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The one fixture builder: a 128-byte header, the run-length data as given
// (or, when `plain` is set, those decoded bytes encoded here), then the tail
// (a palette signature and entries, say).
struct PcxSpec {
    uint8_t manufacturer = 10;
    uint8_t encoding = 1;
    uint8_t bits = 8;
    uint8_t planes = 1;
    uint16_t width = 2;
    uint16_t height = 1;
    uint16_t bytesPerLine = 2;
    uint16_t dpi = 150;
    Bytes colourMap;  // up to 16 entries of red, green, blue
    Bytes data;       // run-length data
    Bytes plain;      // decoded bytes, encoded into data when not empty
    Bytes tail;
};

// Literal bytes below 0xC0, runs of 2 and more (and every byte from 0xC0 up)
// as a count and a value.
Bytes Encode(const Bytes& plain) {
    Bytes out;
    for (size_t i = 0; i < plain.size();) {
        size_t n = 1;
        while (i + n < plain.size() && plain[i + n] == plain[i] && n < 63) ++n;
        if (n > 1 || plain[i] >= 0xC0) out.push_back(uint8_t(0xC0 | n));
        out.push_back(plain[i]);
        i += n;
    }
    return out;
}

Bytes MakePcx(const PcxSpec& s) {
    Bytes out(128, 0);
    out[0] = s.manufacturer;
    out[1] = 5;
    out[2] = s.encoding;
    out[3] = s.bits;
    auto put16 = [&](size_t at, uint32_t v) {
        out[at] = uint8_t(v);
        out[at + 1] = uint8_t(v >> 8);
    };
    put16(4, 10);  // the window starts at (10, 20)
    put16(6, 20);
    put16(8, 10u + s.width - 1u);
    put16(10, 20u + s.height - 1u);
    put16(12, s.dpi);
    put16(14, s.dpi + 1u);
    std::copy(s.colourMap.begin(), s.colourMap.end(), out.begin() + 16);
    out[65] = s.planes;
    put16(66, s.bytesPerLine);
    const Bytes data = s.plain.empty() ? s.data : Encode(s.plain);
    out.insert(out.end(), data.begin(), data.end());
    out.insert(out.end(), s.tail.begin(), s.tail.end());
    return out;
}

// A 256-colour palette behind the data: entry i is (i, 255 - i, 7).
Bytes PaletteTail() {
    Bytes tail = {12};
    for (int i = 0; i < 256; ++i) tail.insert(tail.end(), {uint8_t(i), uint8_t(255 - i), 7});
    return tail;
}

// Sixteen header colours: entry i is (16 i, i, 255 - i).
Bytes HeaderColours() {
    Bytes map;
    for (int i = 0; i < 16; ++i) map.insert(map.end(), {uint8_t(16 * i), uint8_t(i), uint8_t(255 - i)});
    return map;
}

// The messages of the format's own a PCX decode can fail with (the cancel
// aside), and those Create leaves.
const std::set<std::string> kMessages = {
    "Can't read PCX image", "Error: Not a PCX file", "PCX file has unknown encoding scheme",
    "Can't handle image with more than 4 planes", "corrupted PCX", "repeat count spans end of image",
    "bad color map signature", "PCX_PlanesToPixels: more than 4 planes or more than 1 bit per pixel",
    "ZTIMAGE_MAX_MEMORY exceeded", "ZtImage::Create : width and height must be greater than zero"};

bool Decode(ZtImage& img, const Bytes& bytes) { return zt_test::DecodeBytes(img, bytes, ImageFormat::Pcx); }

uint32_t Rgb(const ZtImage& img, int x, int y) {
    const ZtQuad q = img.ColorAt(x, y, false);
    return uint32_t(q.red) << 16 | uint32_t(q.green) << 8 | q.blue;
}

// Indices of the picture, top line first.
std::vector<int> Indices(const ZtImage& img) {
    std::vector<int> out;
    for (int y = img.Height() - 1; y >= 0; --y)
        for (int x = 0; x < img.Width(); ++x) out.push_back(img.IndexAt(x, y));
    return out;
}

TEST(PcxDecoder, RunCodesC1WritesOnceAndC0WritesNothing) {
    PcxSpec s;
    s.width = 3;
    s.bytesPerLine = 3;
    s.data = {0xC1, 5, 0xC0, 9, 6, 0xC1, 0xC7};
    s.tail = PaletteTail();
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakePcx(s))) << img.LastError();
    EXPECT_EQ(img.BitsPerPixel(), 8u);
    EXPECT_EQ(Indices(img), (std::vector<int>{5, 6, 0xC7}));
    EXPECT_EQ(Rgb(img, 0, 0), 0x05FA07u);
    EXPECT_EQ(img.HorizontalDpi(), 150);
    EXPECT_EQ(img.VerticalDpi(), 151);
}

TEST(PcxDecoder, RunsCarryOnIntoTheNextLine) {
    PcxSpec s;
    s.width = 3;
    s.height = 2;
    s.bytesPerLine = 4;
    s.data = {1, 0xC5, 2, 3, 0};  // the run of 5 ends the first line and starts the second
    s.tail = PaletteTail();
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakePcx(s))) << img.LastError();
    EXPECT_EQ(Indices(img), (std::vector<int>{1, 2, 2, 2, 2, 3}));
}

TEST(PcxDecoder, OneBitIsBlackAndWhiteWhateverTheHeaderSays) {
    PcxSpec s;
    s.bits = 1;
    s.width = 10;
    s.height = 2;
    s.colourMap = HeaderColours();
    s.plain = {0xA5, 0xC0, 0x01, 0xFF};  // top line: 1010 0101 11, bottom: 0000 0001 11
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakePcx(s))) << img.LastError();
    EXPECT_EQ(img.BitsPerPixel(), 1u);
    EXPECT_EQ(Indices(img), (std::vector<int>{1, 0, 1, 0, 0, 1, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(Rgb(img, 0, 1), 0xFFFFFFu);
    EXPECT_EQ(Rgb(img, 1, 1), 0u);
}

TEST(PcxDecoder, PlanarOneBitMergesIntoFourBitIndices) {
    // Plane p gives bit p of every index, for 2, 3 and 4 planes alike; the
    // indices keep every plane and take the header's colours.
    const Bytes planes = {0xF0, 0xCC, 0xAA, 0x01};
    for (uint8_t n : {2, 3, 4}) {
        SCOPED_TRACE(int(n));
        PcxSpec s;
        s.bits = 1;
        s.planes = n;
        s.width = 8;
        s.bytesPerLine = 1;
        s.colourMap = HeaderColours();
        s.plain.assign(planes.begin(), planes.begin() + n);
        ZtImage img;
        ASSERT_TRUE(Decode(img, MakePcx(s))) << img.LastError();
        EXPECT_EQ(img.BitsPerPixel(), 4u);
        std::vector<int> expect;
        for (int x = 0; x < 8; ++x) {
            int index = 0;
            for (int p = 0; p < n; ++p) index |= ((planes[size_t(p)] >> (7 - x)) & 1) << p;
            expect.push_back(index);
        }
        EXPECT_EQ(Indices(img), expect);
        const uint32_t i = uint32_t(expect[0]);
        EXPECT_EQ(Rgb(img, 0, 0), (16 * i) << 16 | i << 8 | (255 - i));
    }
}

TEST(PcxDecoder, TwoBitPixelsUseTheFirstFourHeaderColours) {
    PcxSpec s;
    s.bits = 2;
    s.width = 5;
    s.colourMap = HeaderColours();
    s.plain = {0x1B, 0xC0};  // 0, 1, 2, 3, then 3
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakePcx(s))) << img.LastError();
    EXPECT_EQ(img.BitsPerPixel(), 4u);
    EXPECT_EQ(Indices(img), (std::vector<int>{0, 1, 2, 3, 3}));
    EXPECT_EQ(Rgb(img, 3, 0), 0x3003FCu);
}

TEST(PcxDecoder, FourBitPixelsKeepTheirNibbles) {
    PcxSpec s;
    s.bits = 4;
    s.width = 3;
    s.colourMap = HeaderColours();
    s.plain = {0x9A, 0xBC};
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakePcx(s))) << img.LastError();
    EXPECT_EQ(Indices(img), (std::vector<int>{9, 10, 11}));
    EXPECT_EQ(img.RowBits(0)[1], 0xB0);  // the nibble past the width stays 0
}

TEST(PcxDecoder, ThreeAndFourPlanesOfEightBits) {
    PcxSpec s;
    s.planes = 3;
    s.plain = {0x10, 0x11, 0x20, 0x21, 0x30, 0x31};  // red, green, blue planes
    ZtImage rgb;
    ASSERT_TRUE(Decode(rgb, MakePcx(s))) << rgb.LastError();
    EXPECT_EQ(rgb.BitsPerPixel(), 24u);
    EXPECT_EQ(Rgb(rgb, 0, 0), 0x102030u);
    EXPECT_EQ(Rgb(rgb, 1, 0), 0x112131u);
    EXPECT_FALSE(rgb.HasAlphaPlane());

    s.planes = 4;
    s.plain.insert(s.plain.end(), {0x80, 0xFE});
    ZtImage rgba;
    ASSERT_TRUE(Decode(rgba, MakePcx(s))) << rgba.LastError();
    EXPECT_EQ(rgba.ColorAt(0, 0, true), (ZtQuad{0x30, 0x20, 0x10, 0x80}));
    EXPECT_EQ(rgba.ColorAt(1, 0, true), (ZtQuad{0x31, 0x21, 0x11, 0xFE}));
}

TEST(PcxDecoder, LinesShorterThanTheWidthLeaveBlack) {
    // Bytes per line of 1 for 3 pixels in each layout: the pixels past the
    // line's bytes are 0, not bytes of the next plane or line.
    struct Case {
        uint8_t bits, planes;
        uint16_t width;
        Bytes plain;
    };
    const Case cases[] = {
        {8, 1, 3, {7, 8}},
        {8, 3, 3, {1, 2, 3, 4, 5, 6}},
        {4, 1, 5, {0x77, 0x88}},
        {2, 1, 9, {0xFF, 0xFF}},
        {1, 1, 12, {0xFF, 0xFF}},
        {1, 4, 12, Bytes(8, 0xFF)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.bits) * 10 + c.planes);
        PcxSpec s;
        s.bits = c.bits;
        s.planes = c.planes;
        s.width = c.width;
        s.height = 2;
        s.bytesPerLine = 1;
        s.colourMap = HeaderColours();
        s.plain = c.plain;
        if (c.bits == 8 && c.planes == 1) s.tail = PaletteTail();
        ZtImage img;
        ASSERT_TRUE(Decode(img, MakePcx(s))) << img.LastError();
        const int covered = 8 / c.bits;  // pixels one byte holds
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < c.width; ++x) {
                if (x < covered) {
                    EXPECT_NE(Rgb(img, x, y), Rgb(img, c.width - 1, y)) << x;
                } else {
                    EXPECT_EQ(c.planes == 3 ? Rgb(img, x, y) : img.IndexAt(x, y), 0u) << x;
                }
            }
    }
}

TEST(PcxDecoder, FailuresAndMessages) {
    struct Case {
        const char* what;
        Bytes bytes;
        const char* message;
    };
    auto spec = [](auto change) {
        PcxSpec s;
        s.height = 2;
        s.plain = {1, 2, 3, 4};
        s.tail = PaletteTail();
        change(s);
        return MakePcx(s);
    };
    const Case cases[] = {
        {"short header", Bytes(127, 10), "Can't read PCX image"},
        {"manufacturer", spec([](PcxSpec& s) { s.manufacturer = 11; }), "Error: Not a PCX file"},
        {"encoding", spec([](PcxSpec& s) { s.encoding = 0; }), "PCX file has unknown encoding scheme"},
        {"5 planes", spec([](PcxSpec& s) { s.planes = 5; }), "Can't handle image with more than 4 planes"},
        {"data cut short", spec([](PcxSpec& s) { s.plain.clear(), s.data = {1, 2, 3}, s.tail.clear(); }),
         "corrupted PCX"},
        {"run without its value", spec([](PcxSpec& s) { s.plain.clear(), s.data = {1, 2, 3, 0xC1}, s.tail.clear(); }),
         "corrupted PCX"},
        {"run past the data", spec([](PcxSpec& s) { s.plain.clear(), s.data = {1, 2, 0xC3, 3}; }),
         "repeat count spans end of image"},
        {"overlong run at the start", spec([](PcxSpec& s) { s.plain.clear(), s.data = {0xFF, 3}; }),
         "repeat count spans end of image"},
        {"no palette signature", spec([](PcxSpec& s) { s.tail[0] = 10; }), "bad color map signature"},
        {"no palette at all", spec([](PcxSpec& s) { s.tail.clear(); }), "bad color map signature"},
        {"2 planes of 8 bits", spec([](PcxSpec& s) { s.planes = 2, s.bytesPerLine = 1; }),
         "PCX_PlanesToPixels: more than 4 planes or more than 1 bit per pixel"},
        {"4 planes of 2 bits", spec([](PcxSpec& s) { s.planes = 4, s.bits = 2, s.bytesPerLine = 1, s.height = 1; }),
         "PCX_PlanesToPixels: more than 4 planes or more than 1 bit per pixel"},
        {"3 bits", spec([](PcxSpec& s) { s.bits = 3; }), "PCX bits per pixel 3 not supported"},
        {"no planes", spec([](PcxSpec& s) { s.planes = 0; }), "PCX planes 0 not supported"},
        {"window upside down", spec([](PcxSpec& s) { s.width = 0; }),
         "ZtImage::Create : width and height must be greater than zero"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZtImage img;
        EXPECT_FALSE(Decode(img, c.bytes));
        EXPECT_STREQ(img.LastError(), c.message);
        EXPECT_FALSE(img.HasPixels());
    }

    // A large claimed size with a few bytes is refused before the picture is made.
    PcxSpec big;
    big.width = big.bytesPerLine = 16000;
    big.height = 16000;
    big.data = {0xFF, 0};
    ZtImagePCX huge;
    const Bytes bigBytes = MakePcx(big);
    ZtMemFile stream(bigBytes.data(), bigBytes.size());
    EXPECT_FALSE(huge.Decode(&stream));
    EXPECT_STREQ(huge.LastError(), "corrupted PCX");
    EXPECT_FALSE(huge.HasPixels());

    ZtImage dims;
    dims.SetAbortCode(-1);
    ASSERT_TRUE(Decode(dims, bigBytes));
    EXPECT_EQ(dims.Width(), 16000);
    EXPECT_EQ(dims.Height(), 16000);
    EXPECT_FALSE(dims.HasPixels());
    EXPECT_EQ(dims.FormatId(), uint32_t(ImageFormat::Pcx));

    ZtImage cancelled;
    cancelled.SetAbortCode(3);
    EXPECT_FALSE(Decode(cancelled, spec([](PcxSpec&) {})));
    EXPECT_STREQ(cancelled.LastError(), "Cancelled");
}

TEST(PcxDecoder, EveryPrefixAndByteFlipDecodesOrFailsCleanly) {
    PcxSpec s;
    s.bits = 1;
    s.planes = 4;
    s.width = 9;
    s.height = 3;
    s.colourMap = HeaderColours();
    s.plain = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
               1, 2, 3, 4, 5, 6, 7, 8};
    PcxSpec eight;
    eight.width = 3;
    eight.height = 2;
    eight.bytesPerLine = 4;
    eight.plain = {1, 1, 1, 1, 2, 0xC5, 3, 4};
    eight.tail = PaletteTail();
    eight.tail.resize(40);
    for (const Bytes& good : {MakePcx(s), MakePcx(eight)}) {
        auto check = [&](const Bytes& bytes, size_t at) {
            ZtImagePCX img;
            ZtMemFile stream(bytes.data(), bytes.size());
            if (img.Decode(&stream)) {
                ASSERT_TRUE(img.HasPixels()) << at;
                EXPECT_GT(img.Width() * img.Height(), 0) << at;
            } else if (kMessages.count(img.LastError()) == 0) {
                // Our own messages name a header field and its value.
                EXPECT_EQ(std::string(img.LastError()).rfind("PCX ", 0), 0u) << at << ": " << img.LastError();
            }
        };
        for (size_t n = 0; n < good.size(); ++n) check(Bytes(good.begin(), good.begin() + long(n)), n);
        for (size_t i = 0; i < good.size(); ++i)
            for (uint8_t mask : {0x01, 0x10, 0x80, 0xFF}) {
                Bytes bad = good;
                bad[i] ^= mask;
                check(bad, i);
            }
    }
}

TEST(PcxDecoder, CorpusMatchesIndependentDecoder) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not present; corpus comparison skipped";
    const auto refs = zt_test::LoadCorpusReferences(std::string(ZENT_SOURCE_DIR) + "/tests/data/pcx_reference.tsv");
    ASSERT_GT(refs.size(), 10u);
    int matched = 0;
    for (const auto& r : refs) {
        SCOPED_TRACE(r.path);
        ZtImage img;
        const bool ok = Decode(img, zt_test::ReadFileBytes(corpus + "/" + r.path));
        if (r.expect == "valid") {
            ASSERT_TRUE(ok) << img.LastError();
        }
        if (!ok) {
            EXPECT_EQ(kMessages.count(img.LastError()), 1u) << img.LastError();
            continue;
        }
        if (r.reference == "any" || r.reference == "fail") continue;
        EXPECT_TRUE(zt_test::MatchesReference(img, r));
        ++matched;
    }
    EXPECT_GE(matched, 13);
}

}  // namespace
