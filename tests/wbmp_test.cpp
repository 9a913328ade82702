// WBMP decoder: multi-byte header integers, 1-bit rows, damaged headers, and
// the shared corpus against ImageMagick's pixels.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "codecs/builtin/wbmp.h"
#include "image/zt_file.h"
#include "tests/test_support.h"

namespace {

// Multi-byte integer: 7-bit groups, most significant first, bit 7 set on
// every byte but the last.
std::vector<uint8_t> MultiByte(uint32_t v) {
    std::vector<uint8_t> out{uint8_t(v & 0x7F)};
    for (v >>= 7; v != 0; v >>= 7) out.insert(out.begin(), uint8_t(0x80 | (v & 0x7F)));
    return out;
}

// The one fixture builder: header fields as values, or raw header bytes
// when a test needs malformed integers.
struct WbmpSpec {
    uint32_t type = 0;
    uint32_t width = 9;
    uint32_t height = 2;
    std::vector<uint8_t> rawHeader;  // replaces the encoded header when not empty
    std::vector<uint8_t> rows;
};

std::vector<uint8_t> MakeWbmp(const WbmpSpec& s) {
    std::vector<uint8_t> out = s.rawHeader;
    if (out.empty())
        for (uint32_t field : {s.type, 0u, s.width, s.height}) {
            const std::vector<uint8_t> bytes = MultiByte(field);
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
    out.insert(out.end(), s.rows.begin(), s.rows.end());
    return out;
}

bool Decode(ZtImage& img, const std::vector<uint8_t>& bytes) {
    return zt_test::DecodeBytes(img, bytes, ImageFormat::Wbmp);
}

// A picture row as text, '#' for white and '.' for black; line 0 is the top.
std::string Line(const ZtImage& img, int line) {
    std::string s;
    for (int x = 0; x < img.Width(); ++x)
        s += img.ColorAt(x, img.Height() - 1 - line, false) == ZtQuad{255, 255, 255, 0} ? '#' : '.';
    return s;
}

TEST(WbmpDecoder, RowsDecodeToExactPixels) {
    EXPECT_EQ(MultiByte(200), (std::vector<uint8_t>{0x81, 0x48}));
    struct Case {
        const char* name;
        WbmpSpec spec;
        std::vector<std::string> lines;  // top line first
    };
    WbmpSpec wide;
    wide.rawHeader = {0x00, 0x00, 0x81, 0x48, 0x01};  // width 200, height 1
    wide.rows.assign(25, 0x00);
    wide.rows[24] = 0x01;
    WbmpSpec nine;
    nine.height = 3;
    // Each second byte has padding bits set: they must not spill into the next row.
    nine.rows = {0xFF, 0xFF, 0x55, 0x7F, 0x80, 0x80};
    WbmpSpec cut = nine;
    cut.rows = {0xFF, 0xFF, 0xF0};  // the second row stops after one byte, the third is missing
    const Case cases[] = {
        {"width 200", wide, {std::string(199, '.') + "#"}},
        {"9-pixel rows", nine, {"#########", ".#.#.#.#.", "#.......#"}},
        {"cut short", cut, {"#########", "####.....", "........."}},
    };
    for (const Case& c : cases) {
        ZtImage img;
        ASSERT_TRUE(Decode(img, MakeWbmp(c.spec))) << c.name << ": " << img.LastError();
        EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Wbmp)) << c.name;
        EXPECT_EQ(img.BitsPerPixel(), 1u) << c.name;
        ASSERT_EQ(img.Height(), int(c.lines.size())) << c.name;
        for (size_t line = 0; line < c.lines.size(); ++line)
            EXPECT_EQ(Line(img, int(line)), c.lines[line]) << c.name << " line " << line;
    }
}

TEST(WbmpDecoder, DamagedHeadersFailWithTheirMessage) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* message;
    };
    const Case cases[] = {
        {"empty file", {}, "Not a WBMP"},
        {"ends right after the height", {0, 0, 9, 2}, "Not a WBMP"},
        {"height never ends", {0, 0, 9, 0x81, 0x81}, "Not a WBMP"},
        {"type 1", {1, 0, 9, 2, 0xFF, 0xFF}, "Unsupported WBMP type"},
        // 0x10 followed by four zero groups shifts out to 0: still not type 0.
        {"type wraps to 0", {0x90, 0x80, 0x80, 0x80, 0x80, 0x00, 0, 9, 2, 0xFF}, "Unsupported WBMP type"},
        {"width 0", {0, 0, 0, 2, 0xFF}, "Corrupted WBMP"},
        {"height 0", {0, 0, 9, 0, 0xFF}, "Corrupted WBMP"},
        // 0x10 << 28 | 8 wraps to 8 in 32 bits.
        {"width wraps to 8", {0, 0, 0x90, 0x80, 0x80, 0x80, 0x08, 1, 0xFF}, "Corrupted WBMP"},
        // 4000 pixels need 500 bytes a row; ten bytes are no picture.
        {"not one whole row", {0, 0, 0x9F, 0x20, 2, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "Corrupted WBMP"},
        // 2^31 - 1 rows of one byte: past the memory ceiling.
        {"height 2^31 - 1", {0, 0, 1, 0x87, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF}, "WBMP Create failed"},
        // 2^27 rows of 8 pixels: 128 MiB in the file, but 512 MiB of 4-byte rows.
        {"8 x 2^27", {0, 0, 8, 0xC0, 0x80, 0x80, 0x00, 0xFF}, "WBMP Create failed"},
    };
    for (const Case& c : cases) {
        ZtImage img;
        EXPECT_FALSE(Decode(img, c.bytes)) << c.name;
        EXPECT_STREQ(img.LastError(), c.message) << c.name;
        EXPECT_FALSE(img.HasPixels()) << c.name;
    }
}

TEST(WbmpDecoder, DimensionsOnlyReportsSizeWithoutPixels) {
    WbmpSpec s;
    s.width = 4000;
    s.height = 3000;
    s.rows = {0xFF};  // far from the whole picture, but there is data
    ZtImage dims;
    dims.SetAbortCode(-1);
    ASSERT_TRUE(Decode(dims, MakeWbmp(s))) << dims.LastError();
    EXPECT_EQ(dims.Width(), 4000);
    EXPECT_EQ(dims.Height(), 3000);
    EXPECT_EQ(dims.FormatId(), uint32_t(ImageFormat::Wbmp));
    EXPECT_FALSE(dims.HasPixels());

    s.rows.clear();
    ZtImage none;
    none.SetAbortCode(-1);
    EXPECT_FALSE(Decode(none, MakeWbmp(s)));
    EXPECT_STREQ(none.LastError(), "Not a WBMP");
}

TEST(WbmpDecoder, ReachedThroughItsExtension) {
    WbmpSpec s;
    s.rows = {0xFF, 0x80, 0x00, 0x00};
    const std::string dir = zt_test::MakeTempDir("wbmp");
    const std::string path = dir + "/pic.wbmp";
    ASSERT_TRUE(zt_test::WriteFileBytes(path, MakeWbmp(s)));
    ZtImage img;
    ASSERT_TRUE(img.LoadFromPath(path.c_str(), FormatIdFromExtension("wbmp"))) << img.LastError();
    EXPECT_EQ(img.FormatId(), uint32_t(ImageFormat::Wbmp));
    EXPECT_EQ(Line(img, 0), "#########");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

TEST(WbmpDecoder, EveryPrefixAndByteFlipDecodesOrFailsCleanly) {
    WbmpSpec s;
    s.width = 200;
    s.height = 3;
    for (int i = 0; i < 75; ++i) s.rows.push_back(uint8_t(i * 37));
    const std::vector<uint8_t> good = MakeWbmp(s);
    const std::set<std::string> messages = {"Not a WBMP", "Unsupported WBMP type", "Corrupted WBMP",
                                            "WBMP Create failed"};
    auto check = [&](const std::vector<uint8_t>& bytes, const std::string& what) {
        ZtImage img;
        const bool ok = Decode(img, bytes);
        EXPECT_TRUE(zt_test::DecodedOrFailedCleanly(ok, img, true)) << what;
        if (!ok) {
            EXPECT_EQ(messages.count(img.LastError()), 1u) << what << ": " << img.LastError();
        }
    };
    for (size_t n = 0; n <= good.size(); ++n)
        check(std::vector<uint8_t>(good.begin(), good.begin() + long(n)), "prefix " + std::to_string(n));
    for (size_t i = 0; i < good.size(); ++i)
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            std::vector<uint8_t> bad = good;
            bad[i] ^= flip;
            check(bad, "flip at " + std::to_string(i));
        }
}

TEST(WbmpDecoder, CorpusMatchesIndependentDecoder) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not present; corpus comparison skipped";
    const auto refs = zt_test::LoadCorpusReferences(std::string(ZENT_SOURCE_DIR) + "/tests/data/wbmp_reference.tsv");
    ASSERT_FALSE(refs.empty());
    int matched = 0;
    for (const auto& r : refs) {
        SCOPED_TRACE(r.path);
        ZtImage img;
        const bool ok = img.LoadFromPath((corpus + "/" + r.path).c_str(), ImageFormat::Wbmp);
        if (r.expect == "valid") {
            ASSERT_TRUE(ok) << img.LastError();
        }
        if (!ok) {
            EXPECT_STRNE(img.LastError(), "");
        }
        if (ok && r.reference.size() == 16) {
            EXPECT_TRUE(zt_test::MatchesReference(img, r));
            ++matched;
        }
    }
    EXPECT_EQ(matched, 8);
}

}  // namespace
