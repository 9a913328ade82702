// SKA decoder: fixtures built from the layout (9-byte header, 768-byte
// palette, unpadded top-down rows); no public SKA files exist to compare with.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "codecs/builtin/ska.h"
#include "image/zt_file.h"
#include "tests/test_support.h"

namespace {

// The one fixture builder. Palette entry i is red i, green 255 - i, blue 7.
struct SkaSpec {
    uint32_t width = 3;
    uint32_t height = 2;
    uint8_t kind = 3;
    std::vector<uint8_t> marker = {0, 0, 0, 1};
    size_t paletteBytes = 768;  // fewer cuts the palette short
    std::vector<uint8_t> pixels;
};

std::vector<uint8_t> MakeSka(const SkaSpec& s) {
    std::vector<uint8_t> out = {uint8_t(s.width), uint8_t(s.width >> 8), uint8_t(s.height),
                                uint8_t(s.height >> 8), s.kind};
    out.insert(out.end(), s.marker.begin(), s.marker.end());
    for (size_t i = 0; i < s.paletteBytes; ++i) {
        const uint8_t entry = uint8_t(i / 3);
        out.push_back(i % 3 == 0 ? entry : i % 3 == 1 ? uint8_t(255 - entry) : 7);
    }
    out.insert(out.end(), s.pixels.begin(), s.pixels.end());
    return out;
}

bool Decode(ZtImage& img, const std::vector<uint8_t>& bytes) {
    return zt_test::DecodeBytes(img, bytes, ImageFormat::Ska);
}

// Palette indices of one picture line (line 0 is the top).
std::vector<int> Line(const ZtImage& img, int line) {
    std::vector<int> v;
    for (int x = 0; x < img.Width(); ++x) v.push_back(img.IndexAt(x, img.Height() - 1 - line));
    return v;
}

TEST(SkaDecoder, RowsMoveToTheirStrideTopRowFirst) {
    struct Case {
        const char* name;
        uint32_t width, height;
        std::vector<uint8_t> pixels;
        std::vector<std::vector<int>> lines;  // top line first
    };
    const Case cases[] = {
        {"3 x 2, stride 4", 3, 2, {1, 2, 3, 4, 5, 6}, {{1, 2, 3}, {4, 5, 6}}},
        {"4 x 3, stride = width", 4, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
         {{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}}},
        // The second line stops after one pixel, the third is missing: index 0.
        {"cut short", 3, 3, {1, 2, 3, 4}, {{1, 2, 3}, {4, 0, 0}, {0, 0, 0}}},
    };
    for (const Case& c : cases) {
        SkaSpec s;
        s.width = c.width;
        s.height = c.height;
        s.pixels = c.pixels;
        ZtImage img;
        ASSERT_TRUE(Decode(img, MakeSka(s))) << c.name;
        EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Ska)) << c.name;
        EXPECT_EQ(img.BitsPerPixel(), 8u) << c.name;
        EXPECT_EQ(img.RowStride(), 4u) << c.name;
        ASSERT_EQ(img.Height(), int(c.lines.size())) << c.name;
        for (size_t line = 0; line < c.lines.size(); ++line)
            EXPECT_EQ(Line(img, int(line)), c.lines[line]) << c.name << " line " << line;
    }
}

TEST(SkaDecoder, ReachedThroughItsExtensionWithRedGreenBluePalette) {
    SkaSpec s;
    s.pixels = {1, 2, 3, 4, 5, 6};
    const std::string dir = zt_test::MakeTempDir("ska");
    const std::string path = dir + "/pic.ska";
    ASSERT_TRUE(zt_test::WriteFileBytes(path, MakeSka(s)));
    ZtImage img;
    ASSERT_TRUE(img.LoadFromPath(path.c_str(), FormatIdFromExtension("ska")));
    EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Ska));
    EXPECT_EQ(img.ColorAt(2, 0, false), (ZtQuad{7, 249, 6, 0}));
    EXPECT_EQ(img.PaletteEntry(255), (ZtQuad{7, 0, 255, 0}));
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

TEST(SkaDecoder, HeaderAndSizeChecksRefuseWithoutMessage) {
    struct Case {
        const char* name;
        SkaSpec spec;
        bool decodes;
    };
    auto with = [](auto change) {
        SkaSpec s;
        s.pixels = {1, 2, 3, 4, 5, 6};
        change(s);
        return s;
    };
    const Case cases[] = {
        {"good", with([](SkaSpec&) {}), true},
        {"marker 01 00 00 00", with([](SkaSpec& s) { s.marker = {1, 0, 0, 0}; }), false},
        {"kind 2", with([](SkaSpec& s) { s.kind = 2; }), false},
        {"width 0x8000", with([](SkaSpec& s) { s.width = 0x8000; }), false},
        {"height 0x8000", with([](SkaSpec& s) { s.height = 0x8000; }), false},
        {"width 0", with([](SkaSpec& s) { s.width = 0; }), false},
        {"height 0", with([](SkaSpec& s) { s.height = 0; }), false},
        {"width 0x7FFF, one row", with([](SkaSpec& s) {
             s.width = 0x7FFF;
             s.height = 1;
             s.pixels.assign(0x7FFF, 9);
         }), true},
        // 0x7FFF x 0x7FFF bytes exceed the memory ceiling.
        {"0x7FFF x 0x7FFF", with([](SkaSpec& s) { s.width = s.height = 0x7FFF; }), false},
        // 16384 x 16384 fits the ceiling, but six bytes are not one row.
        {"16384 x 16384 over six bytes", with([](SkaSpec& s) { s.width = s.height = 0x4000; }), false},
        {"palette cut short", with([](SkaSpec& s) {
             s.paletteBytes = 700;
             s.pixels.clear();
         }), false},
        {"header cut short", with([](SkaSpec& s) {
             s.marker = {0, 0};
             s.paletteBytes = 0;
             s.pixels.clear();
         }), false},
    };
    for (const Case& c : cases) {
        ZtImage img;
        EXPECT_EQ(Decode(img, MakeSka(c.spec)), c.decodes) << c.name;
        EXPECT_EQ(img.HasPixels(), c.decodes) << c.name;
        EXPECT_STREQ(img.LastError(), "") << c.name;
    }
}

TEST(SkaDecoder, DimensionsOnlyAcceptsTheLargestHeader) {
    SkaSpec s;
    s.width = s.height = 0x7FFF;
    ZtImage dims;
    dims.SetAbortCode(-1);
    ASSERT_TRUE(Decode(dims, MakeSka(s)));
    EXPECT_EQ(dims.Width(), 0x7FFF);
    EXPECT_EQ(dims.Height(), 0x7FFF);
    EXPECT_EQ(dims.FormatId(), uint32_t(ImageFormat::Ska));
    EXPECT_FALSE(dims.HasPixels());
}

TEST(SkaDecoder, EveryPrefixAndByteFlipDecodesOrFailsCleanly) {
    SkaSpec s;
    s.width = 5;
    s.height = 3;
    for (int i = 0; i < 15; ++i) s.pixels.push_back(uint8_t(i * 17));
    const std::vector<uint8_t> good = MakeSka(s);
    auto check = [](const std::vector<uint8_t>& bytes, const std::string& what) {
        ZtImage img;
        const bool ok = Decode(img, bytes);
        EXPECT_TRUE(zt_test::DecodedOrFailedCleanly(ok, img, false)) << what;
        EXPECT_STREQ(img.LastError(), "") << what;
        return ok;
    };
    // The header, the palette and one row make the shortest picture.
    for (size_t n = 0; n <= good.size(); ++n)
        EXPECT_EQ(check({good.begin(), good.begin() + long(n)}, "prefix " + std::to_string(n)), n >= 9 + 768 + 5);
    for (size_t i = 0; i < good.size(); ++i)
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            std::vector<uint8_t> bad = good;
            bad[i] ^= flip;
            check(bad, "flip at " + std::to_string(i));
        }
}

}  // namespace
