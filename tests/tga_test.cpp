// TGA decoder: packets across line ends, orientations, colour maps, pixel
// depths, failures, and the shared corpus against recorded references.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "codecs/builtin/tga.h"
#include "image/zt_file.h"
#include "tests/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The one fixture builder: an 18-byte header, then the image ID, the colour
// map and the pixel data exactly as given.
struct TgaSpec {
    uint8_t imageType = 2;
    uint8_t mapType = 0;
    uint16_t mapFirst = 0;
    uint16_t mapLength = 0;
    uint8_t mapBits = 24;
    uint16_t width = 2;
    uint16_t height = 1;
    uint8_t depth = 24;
    uint8_t descriptor = 0;
    Bytes id;
    Bytes map;
    Bytes data;
};

Bytes MakeTga(const TgaSpec& s) {
    Bytes out = {uint8_t(s.id.size()), s.mapType, s.imageType,
                 uint8_t(s.mapFirst), uint8_t(s.mapFirst >> 8), uint8_t(s.mapLength), uint8_t(s.mapLength >> 8),
                 s.mapBits, 0, 0, 0, 0,
                 uint8_t(s.width), uint8_t(s.width >> 8), uint8_t(s.height), uint8_t(s.height >> 8),
                 s.depth, s.descriptor};
    for (const Bytes* part : {&s.id, &s.map, &s.data}) out.insert(out.end(), part->begin(), part->end());
    return out;
}

// A grey picture (8-bit levels), plain or run-length encoded.
TgaSpec Grey(uint16_t width, uint16_t height, Bytes data, bool rle) {
    TgaSpec s;
    s.imageType = rle ? 11 : 3;
    s.width = width;
    s.height = height;
    s.depth = 8;
    s.data = std::move(data);
    return s;
}

// Every message a TGA decode can fail with (the cancel aside).
const std::set<std::string> kMessages = {"Not a TGA", "Unknown TGA image type", "bad TGA header",
                                         "TGA Create failed", "corrupted TGA"};

bool Decode(ZtImage& img, const Bytes& bytes) { return zt_test::DecodeBytes(img, bytes, ImageFormat::Targa); }

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

TEST(TgaDecoder, RunPacketCrossingLineEnd) {
    // Width 8: four raw pixels, then a run of 10 that fills the last 4 of the
    // bottom line and the first 6 of the next; a raw packet ends that line.
    const Bytes data = {0x03, 1, 2, 3, 4, 0x89, 9, 0x01, 5, 6};
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeTga(Grey(8, 2, data, true)))) << img.LastError();
    EXPECT_EQ(Indices(img), (std::vector<int>{9, 9, 9, 9, 9, 9, 5, 6, 1, 2, 3, 4, 9, 9, 9, 9}));
    EXPECT_TRUE(img.HasGreyPalette());
}

TEST(TgaDecoder, RawPacketCrossingLineEnd) {
    // 24 bits, width 3: a raw packet of 5 pixels runs on into the second line.
    TgaSpec s;
    s.imageType = 10;
    s.width = 3;
    s.height = 2;
    s.data = {0x04, 1, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0, 0, 5, 0, 0, 0x80, 6, 0, 0};
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeTga(s))) << img.LastError();
    EXPECT_EQ(Rgb(img, 0, 0), 1u);
    EXPECT_EQ(Rgb(img, 2, 0), 3u);
    EXPECT_EQ(Rgb(img, 0, 1), 4u);
    EXPECT_EQ(Rgb(img, 1, 1), 5u);
    EXPECT_EQ(Rgb(img, 2, 1), 6u);
}

TEST(TgaDecoder, PacketsPastTheLastLineAreIgnored) {
    // A run of 128 on a 2 x 2 picture, and a raw packet longer than the data
    // that is left: the surplus is never read or stored.
    ZtImage run;
    ASSERT_TRUE(Decode(run, MakeTga(Grey(2, 2, {0xFF, 7}, true))));
    EXPECT_EQ(Indices(run), (std::vector<int>{7, 7, 7, 7}));
    ZtImage raw;
    ASSERT_TRUE(Decode(raw, MakeTga(Grey(2, 2, {0x02, 1, 2, 3, 0x7F, 4}, true))));
    EXPECT_EQ(Indices(raw), (std::vector<int>{3, 4, 1, 2}));
}

TEST(TgaDecoder, TopDown32BitKeepsAlphaWithItsPixels) {
    for (uint8_t type : {2, 10}) {
        SCOPED_TRACE(int(type));
        TgaSpec s;
        s.imageType = type;
        s.depth = 32;
        s.height = 2;
        s.descriptor = 0x28;  // top-down, 8 alpha bits
        const Bytes top = {1, 2, 3, 10, 4, 5, 6, 20}, bottom = {7, 8, 9, 30, 7, 8, 9, 30};
        if (type == 2) {
            s.data = top;
            s.data.insert(s.data.end(), bottom.begin(), bottom.end());
        } else {
            s.data = {0x01, 1, 2, 3, 10, 4, 5, 6, 20, 0x81, 7, 8, 9, 30};
        }
        ZtImage img;
        ASSERT_TRUE(Decode(img, MakeTga(s))) << img.LastError();
        EXPECT_EQ(img.ColorAt(0, 1, true), (ZtQuad{1, 2, 3, 10}));
        EXPECT_EQ(img.ColorAt(1, 1, true), (ZtQuad{4, 5, 6, 20}));
        EXPECT_EQ(img.ColorAt(1, 0, true), (ZtQuad{7, 8, 9, 30}));
    }
}

TEST(TgaDecoder, Bit4MirrorsPixelsAndAlpha) {
    TgaSpec s;
    s.depth = 32;
    s.width = 3;
    s.descriptor = 0x10;
    s.data = {1, 1, 1, 11, 2, 2, 2, 22, 3, 3, 3, 33};
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeTga(s)));
    EXPECT_EQ(img.ColorAt(0, 0, true), (ZtQuad{3, 3, 3, 33}));
    EXPECT_EQ(img.ColorAt(1, 0, true), (ZtQuad{2, 2, 2, 22}));
    EXPECT_EQ(img.ColorAt(2, 0, true), (ZtQuad{1, 1, 1, 11}));

    TgaSpec grey = Grey(4, 1, {1, 2, 3, 4}, false);
    grey.descriptor = 0x30;  // right to left and top-down
    ZtImage g;
    ASSERT_TRUE(Decode(g, MakeTga(grey)));
    EXPECT_EQ(Indices(g), (std::vector<int>{4, 3, 2, 1}));
}

TEST(TgaDecoder, GreyWithColourMapKeepsTheRamp) {
    TgaSpec s = Grey(2, 1, {5, 200}, false);
    s.mapType = 1;
    s.mapLength = 2;
    s.map = {0, 0, 255, 0, 255, 0};
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeTga(s)));
    EXPECT_EQ(Rgb(img, 0, 0), 0x050505u);
    EXPECT_EQ(Rgb(img, 1, 0), 0xC8C8C8u);
}

TEST(TgaDecoder, SixteenBitGreyCarriesAlpha) {
    TgaSpec s = Grey(2, 1, {0x40, 0xFF, 0x80, 0x10}, false);
    s.depth = 16;
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeTga(s))) << img.LastError();
    EXPECT_EQ(img.BitsPerPixel(), 8u);
    EXPECT_EQ(img.ColorAt(0, 0, true), (ZtQuad{0x40, 0x40, 0x40, 0xFF}));
    EXPECT_EQ(img.ColorAt(1, 0, true), (ZtQuad{0x80, 0x80, 0x80, 0x10}));
}

TEST(TgaDecoder, FifteenAndSixteenBitPixelsShiftTheirChannels) {
    for (uint8_t depth : {15, 16}) {
        TgaSpec s;
        s.depth = depth;
        s.width = 4;
        s.data = {0xFF, 0x7F, 0xFF, 0xFF, 0x1F, 0x00, 0x00, 0x7C};
        ZtImage img;
        ASSERT_TRUE(Decode(img, MakeTga(s)));
        EXPECT_EQ(img.BitsPerPixel(), 24u);
        EXPECT_EQ(Rgb(img, 0, 0), 0xF8F8F8u);  // 0x7FFF
        EXPECT_EQ(Rgb(img, 1, 0), 0xF8F8F8u);  // bit 15 is no colour
        EXPECT_EQ(Rgb(img, 2, 0), 0x0000F8u);
        EXPECT_EQ(Rgb(img, 3, 0), 0xF80000u);
    }
}

TEST(TgaDecoder, ColourMapEntriesOfEachSize) {
    // Two entries, red then blue, in each entry size; the pixels after the
    // map must be found whatever its size.
    struct Case {
        uint8_t bits;
        Bytes map;
        uint32_t red, blue;
    };
    const Case cases[] = {
        {15, {0x00, 0x7C, 0x1F, 0x00}, 0xF80000, 0x0000F8},
        {16, {0x00, 0xFC, 0x1F, 0x80}, 0xF80000, 0x0000F8},
        {24, {0, 0, 255, 255, 0, 0}, 0xFF0000, 0x0000FF},
        {32, {0, 0, 255, 9, 255, 0, 0, 9}, 0xFF0000, 0x0000FF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.bits));
        TgaSpec s;
        s.imageType = 1;
        s.mapType = 1;
        s.mapLength = 2;
        s.mapBits = c.bits;
        s.map = c.map;
        s.depth = 8;
        s.data = {1, 0};
        ZtImage img;
        ASSERT_TRUE(Decode(img, MakeTga(s))) << img.LastError();
        EXPECT_EQ(Rgb(img, 0, 0), c.blue);
        EXPECT_EQ(Rgb(img, 1, 0), c.red);
        EXPECT_EQ(img.PaletteEntry(0).alpha, 0);

        // The same map in front of true-colour pixels is skipped by its size.
        s.imageType = 2;
        s.depth = 24;
        s.data = {1, 2, 3, 4, 5, 6};
        ZtImage tc;
        ASSERT_TRUE(Decode(tc, MakeTga(s)));
        EXPECT_EQ(Rgb(tc, 1, 0), 0x060504u);
    }
}

TEST(TgaDecoder, ColourMapFirstIndexOffsetsTheEntries) {
    TgaSpec s;
    s.imageType = 1;
    s.mapType = 1;
    s.mapFirst = 3;
    s.mapLength = 2;
    s.map = {10, 20, 30, 40, 50, 60};
    s.depth = 8;
    s.width = 3;
    s.data = {3, 4, 0};
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeTga(s)));
    EXPECT_EQ(Rgb(img, 0, 0), 0x1E140Au);
    EXPECT_EQ(Rgb(img, 1, 0), 0x3C3228u);
    EXPECT_EQ(Rgb(img, 2, 0), 0u);  // below the first entry: no colour
}

TEST(TgaDecoder, ImageIdIsSkipped) {
    TgaSpec s = Grey(2, 1, {7, 8}, false);
    s.id = Bytes(40, 0xAB);
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeTga(s)));
    EXPECT_EQ(Indices(img), (std::vector<int>{7, 8}));
}

TEST(TgaDecoder, ShortLastLineKeepsWhatArrived) {
    TgaSpec s;
    s.height = 2;
    s.data = {1, 0, 0, 2, 0, 0, 3, 0, 0, 4};  // the top line ends inside its second pixel
    ZtImage img;
    ASSERT_TRUE(Decode(img, MakeTga(s)));
    EXPECT_EQ(Rgb(img, 0, 1), 3u);
    EXPECT_EQ(Rgb(img, 1, 1), 4u);  // one byte of the second pixel
}

// A stream that cannot tell its length, as a pipe cannot.
class UnknownLengthStream : public ZtMemFile {
public:
    using ZtMemFile::ZtMemFile;
    int32_t Length() override { return -1; }
};

TEST(TgaDecoder, PlainDataFromAStreamOfUnknownLength) {
    TgaSpec s;
    s.depth = 16;
    s.height = 2;
    s.data = {0x1F, 0x00, 0x00, 0x7C, 0xE0, 0x03, 0xFF, 0x7F};
    const Bytes good = MakeTga(s);
    ZtImageTGA img;
    UnknownLengthStream stream(good.data(), good.size());
    ASSERT_TRUE(img.Decode(&stream)) << img.LastError();
    EXPECT_EQ(Rgb(img, 0, 0), 0x0000F8u);
    EXPECT_EQ(Rgb(img, 1, 1), 0xF8F8F8u);

    // Its data is still measured before the picture is made.
    s.width = s.height = 8000;
    const Bytes big = MakeTga(s);
    ZtImageTGA huge;
    UnknownLengthStream bigStream(big.data(), big.size());
    EXPECT_FALSE(huge.Decode(&bigStream));
    EXPECT_STREQ(huge.LastError(), "corrupted TGA");
    EXPECT_FALSE(huge.HasPixels());
}

TEST(TgaDecoder, FailuresAndMessages) {
    struct Case {
        const char* what;
        Bytes bytes;
        const char* message;
    };
    auto spec = [](auto change) {
        TgaSpec s = Grey(2, 2, {1, 2, 3, 4}, false);
        change(s);
        return MakeTga(s);
    };
    Bytes idCut = MakeTga(Grey(2, 1, {1, 2}, false));
    idCut[0] = 200;
    const Case cases[] = {
        {"short header", Bytes(17, 0), "Not a TGA"},
        {"type 0", spec([](TgaSpec& s) { s.imageType = 0; }), "Unknown TGA image type"},
        {"type 4", spec([](TgaSpec& s) { s.imageType = 4; }), "Unknown TGA image type"},
        {"type 12", spec([](TgaSpec& s) { s.imageType = 12; }), "Unknown TGA image type"},
        {"width 0", spec([](TgaSpec& s) { s.width = 0; }), "bad TGA header"},
        {"depth 12", spec([](TgaSpec& s) { s.depth = 12; }), "bad TGA header"},
        {"colour map of 257, nothing after the header",
         spec([](TgaSpec& s) { s.mapLength = 257, s.data.clear(); }), "bad TGA header"},
        {"16-bit indices", spec([](TgaSpec& s) { s.imageType = 1, s.depth = 16; }), "bad TGA header"},
        {"8-bit true colour", spec([](TgaSpec& s) { s.imageType = 2; }), "bad TGA header"},
        {"24-bit grey", spec([](TgaSpec& s) { s.depth = 24; }), "bad TGA header"},
        {"8-bit map entries", spec([](TgaSpec& s) { s.imageType = 1, s.mapType = 1, s.mapLength = 2, s.mapBits = 8; }),
         "bad TGA header"},
        {"first line short", spec([](TgaSpec& s) { s.data.resize(1); }), "corrupted TGA"},
        {"RLE cut inside a packet, then one more line",
         spec([](TgaSpec& s) { s.imageType = 11, s.height = 3, s.data = {0x81, 5, 0x02, 1}; }), "corrupted TGA"},
        {"ID longer than the file", idCut, "corrupted TGA"},
        {"65535 x 65535", spec([](TgaSpec& s) { s.width = s.height = 65535, s.imageType = 2, s.depth = 24; }),
         "TGA Create failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZtImage img;
        EXPECT_FALSE(Decode(img, c.bytes));
        EXPECT_STREQ(img.LastError(), c.message);
        EXPECT_FALSE(img.HasPixels());
    }
    // A large claimed size with a few bytes is refused before the picture is made.
    TgaSpec big = Grey(16000, 16000, {0xFF, 1}, true);
    ZtImageTGA huge;
    const Bytes bigBytes = MakeTga(big);
    ZtMemFile bigStream(bigBytes.data(), bigBytes.size());
    EXPECT_FALSE(huge.Decode(&bigStream));
    EXPECT_STREQ(huge.LastError(), "corrupted TGA");
    EXPECT_FALSE(huge.HasPixels());

    ZtImage dims;
    dims.SetAbortCode(-1);
    ASSERT_TRUE(Decode(dims, MakeTga(big)));
    EXPECT_EQ(dims.Width(), 16000);
    EXPECT_EQ(dims.Height(), 16000);
    EXPECT_FALSE(dims.HasPixels());
    EXPECT_EQ(dims.FormatId(), uint32_t(ImageFormat::Targa));

    ZtImage cancelled;
    cancelled.SetAbortCode(3);
    EXPECT_FALSE(Decode(cancelled, MakeTga(Grey(2, 1, {1, 2}, false))));
    EXPECT_STREQ(cancelled.LastError(), "Cancelled");
}

TEST(TgaDecoder, EveryPrefixAndByteFlipDecodesOrFailsCleanly) {
    TgaSpec s;
    s.imageType = 10;
    s.depth = 32;
    s.width = 5;
    s.height = 3;
    s.descriptor = 0x38;
    s.id = {1, 2};
    s.mapType = 1;
    s.mapLength = 2;
    s.mapBits = 16;
    s.map = {1, 2, 3, 4};
    s.data = {0x86, 1, 2, 3, 4, 0x03, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 0x83, 0, 0, 0, 0};
    const Bytes good = MakeTga(s);
    auto check = [&](const Bytes& bytes, size_t at) {
        ZtImageTGA img;
        ZtMemFile stream(bytes.data(), bytes.size());
        if (img.Decode(&stream)) {
            ASSERT_TRUE(img.HasPixels()) << at;
            EXPECT_GT(img.Width() * img.Height(), 0) << at;
        } else {
            EXPECT_EQ(kMessages.count(img.LastError()), 1u) << at << ": " << img.LastError();
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

TEST(TgaDecoder, CorpusMatchesIndependentDecoder) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not present; corpus comparison skipped";
    const auto refs = zt_test::LoadCorpusReferences(std::string(ZENT_SOURCE_DIR) + "/tests/data/tga_reference.tsv");
    ASSERT_GT(refs.size(), 100u);
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
    EXPECT_GE(matched, 97);
}

}  // namespace
