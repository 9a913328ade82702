// Tile encoder and art include writer: exact texts of small pictures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "converter/art_writer.h"
#include "converter/convert.h"
#include "converter/tile_encoder.h"
#include "tests/test_support.h"

namespace {

std::string Encode(const TilePixels& block, int columns, int rows) {
    char out[kTileTextBytes];
    EncodeTile(out, block, columns, rows);
    return out;
}

std::string Repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
}

TEST(TileEncoder, ThreeByTwoExample) {
    TilePixels b{};
    b.value[0][0] = 0xFF0000;
    b.value[0][1] = 0xFF0000;
    b.value[0][2] = 0x0000FF;
    b.value[1][0] = 0x0000FF;
    b.value[1][1] = 0x0000FF;
    b.value[1][2] = 0xFF0000;
    const std::string text = Encode(b, 3, 2);
    EXPECT_EQ(text, "{FF0000}gg{0000FF}g\\ngg{FF0000}g\\n");
    EXPECT_EQ(text.size(), 34u);
}

TEST(TileEncoder, UniformFullTileAndBlackStart) {
    TilePixels b{};  // all black: the first pixel still gets its code
    const std::string text = Encode(b, 15, 15);
    EXPECT_EQ(text, "{000000}" + Repeat(Repeat("g", 15) + "\\n", 15));
    EXPECT_EQ(text.size(), 263u);
}

TEST(TileEncoder, MaximalTextAndUppercaseHex) {
    TilePixels b{};
    for (int k = 0; k < 15; ++k)
        for (int c = 0; c < 15; ++c) b.value[k][c] = uint32_t((k * 15 + c) % 2 ? 0xABCDEF : 0x0A0B0C);
    const std::string text = Encode(b, 15, 15);
    EXPECT_EQ(text.size(), 2055u);
    EXPECT_EQ(text.substr(0, 18), "{0A0B0C}g{ABCDEF}g");
}

TEST(TileEncoder, PartialTileAndRowCarry) {
    TilePixels b{};
    b.value[0][0] = 0x112233;
    b.value[0][1] = 0x445566;
    b.value[1][0] = 0x445566;  // same as the pixel before it in reading order
    b.value[1][1] = 0x445566;
    b.value[0][2] = 0x999999;  // outside the two columns asked for
    EXPECT_EQ(Encode(b, 2, 2), "{112233}g{445566}g\\ngg\\n");
    EXPECT_EQ(Encode(b, 2, 0), "");
    char code[10] = {};
    FormatColourCode(0xFFABCDEF, code);  // only the low 24 bits count
    EXPECT_STREQ(code, "{ABCDEF}g");
}

TEST(TileEncoder, ExtractTileReadsTopDownAndZeroesOutside) {
    ZtImage img;
    // 16 x 16: the tile (1, 1) holds only the bottom-right pixel.
    std::vector<uint32_t> px(256, 0x010203);
    px[0] = 0xFF0000;      // top-left
    px[255] = 0x00FF00;    // bottom-right
    zt_test::MakeTrueColour(img, 16, 16, px);
    TilePixels b;
    memset(&b, 0x55, sizeof b);
    ExtractTile(img, 0, 0, b);
    EXPECT_EQ(b.value[0][0], 0xFF0000u);
    EXPECT_EQ(b.value[14][14], 0x010203u);
    ExtractTile(img, 1, 1, b);
    EXPECT_EQ(b.value[0][0], 0x00FF00u);
    EXPECT_EQ(b.value[0][1], 0u);
    EXPECT_EQ(b.value[1][0], 0u);
}

TEST(ArtWriter, Identifiers) {
    EXPECT_EQ(MakeArtIdentifier(L"My_Pic2"), "my_pic2");
    EXPECT_EQ(MakeArtIdentifier(L""), "");
    EXPECT_EQ(MakeArtIdentifier(std::wstring(40, L'A').c_str()), std::string(32, 'a'));
    // Past 32 accepted characters the rest is ignored, even if it would be refused.
    EXPECT_EQ(MakeArtIdentifier((std::wstring(32, L'b') + L" -").c_str()), std::string(32, 'b'));
    // Only the low 8 bits count: U+0141 has low byte 0x41 ('A'); U+0100 ends the name.
    EXPECT_EQ(MakeArtIdentifier(L"x\u0141y"), "xay");
    EXPECT_EQ(MakeArtIdentifier(L"ab\u0100cd"), "ab");
    for (const wchar_t* bad : {L"2pic", L"a b", L"a-b", L"caf\u00e9"}) {
        const std::string id = MakeArtIdentifier(bad);
        ASSERT_EQ(id.rfind("new_art_", 0), 0u) << id;
        const int n = atoi(id.c_str() + 8);
        EXPECT_GE(n, 0);
        EXPECT_LT(n, 10000);
    }
}

TEST(ArtWriter, ChunkCounts) {
    EXPECT_EQ(ChunkCount(size_t(11)), 1);
    EXPECT_EQ(ChunkCount(size_t(250)), 1);
    EXPECT_EQ(ChunkCount(size_t(251)), 2);
    EXPECT_EQ(ChunkCount(size_t(2055)), 9);
}

std::string WriteToString(const std::string& id, int across, int down, const TileRecord* records) {
    return CaptureClosedStream(
        [&](FILE* f) { EXPECT_EQ(WriteArtInclude(f, id, across, down, records), WriteResult::Ok); });
}

TEST(ArtWriter, PicExampleTwentyByTen) {
    ZtImage img;
    zt_test::MakeTrueColour(img, 20, 10, std::vector<uint32_t>(200, 0x336699));
    const std::string left = "{336699}" + Repeat(Repeat("g", 15) + "\\n", 10);
    const std::string right = "{336699}" + Repeat(Repeat("g", 5) + "\\n", 10);
    ASSERT_EQ(left.size(), 178u);
    ASSERT_EQ(right.size(), 78u);
    EXPECT_EQ(ArtIncludeText(img, "pic"),
              "new pic[3][] = {\n{ 2, 1, 1, 1, 1, 2}\n, \"" + left + "\"\n, \"" + right + "\"\n};\n");
}

TEST(ArtWriter, DotExampleTwoByOne) {
    ZtImage img;
    zt_test::MakeTrueColour(img, 2, 1, {0xFF0000, 0x0000FF});
    EXPECT_EQ(ArtIncludeText(img, MakeArtIdentifier(L"Dot")),
              "new dot[2][] = {\n{ 1, 1, 1, 1}\n, \"{FF0000}g{0000FF}g\\n\"\n};\n");
}

TEST(ArtWriter, EmptyIdentifierHeader) {
    ZtImage img;
    zt_test::MakeTrueColour(img, 1, 1, {0xFFFFFF});
    EXPECT_EQ(ArtIncludeText(img, ""), "new [2][] = {\n{ 1, 1, 1, 1}\n, \"{FFFFFF}g\\n\"\n};\n");
}

TileRecord MakeRecord(const std::string& text) {
    TileRecord r{};
    memcpy(r.text, text.c_str(), text.size() + 1);
    r.chunkCount = ChunkCount(text.size());
    return r;
}

TEST(ArtWriter, Chunking250And251) {
    // 27 codes of 9 characters then the rest: a g sits every 9 characters.
    const std::string base = Repeat("{123456}g", 27) + "ggggggg";  // 243 + 7 = 250
    ASSERT_EQ(base.size(), 250u);
    TileRecord r250 = MakeRecord(base);
    EXPECT_EQ(WriteToString("t", 1, 1, &r250), "new t[2][] = {\n{ 1, 1, 1, 1}\n, \"" + base + "\"\n};\n");

    const std::string text = base + "g";  // 251: the cut is at the last g of the first 250
    TileRecord r251 = MakeRecord(text);
    ASSERT_EQ(r251.chunkCount, 2);
    EXPECT_EQ(WriteToString("t", 1, 1, &r251), "new t[3][] = {\n{ 1, 1, 2, 1}\n, \"" +
                                                    text.substr(0, 249) + "\"\n, \"" +
                                                    text.substr(249) + "\"\n};\n");
}

TEST(ArtWriter, ChunksOfAMaximalTileNeverSplitACode) {
    std::string text;
    for (int i = 0; i < 225; ++i) {
        char code[10] = {};
        FormatColourCode(uint32_t(i % 2 ? 0x123456 : 0x654321), code);
        text += code;
        if (i % 15 == 14) text += "\\n";
    }
    TileRecord r = MakeRecord(text);
    ASSERT_EQ(r.chunkCount, 9);
    const std::string out = WriteToString("m", 1, 1, &r);
    // Rejoining the chunks gives the text back; every chunk after the first starts with g.
    std::string joined;
    size_t pos = out.find("\n, \"");
    int chunks = 0;
    while (pos != std::string::npos) {
        const size_t start = pos + 4;
        const size_t end = out.find("\"\n", start);
        const std::string chunk = out.substr(start, end - start);
        if (chunks > 0) {
            EXPECT_EQ(chunk[0], 'g');
        }
        if (chunks < 8) {
            EXPECT_LE(chunk.size(), 249u);
        }
        joined += chunk;
        ++chunks;
        pos = out.find("\n, \"", end);
    }
    EXPECT_EQ(chunks, 9);
    EXPECT_EQ(joined, text);
}

TEST(ArtWriter, IndexRowBreaksAfter27Pairs) {
    std::vector<TileRecord> records(28, MakeRecord("{000000}g\\n"));
    std::string line27 = "{ 27, 1";
    for (int i = 0; i < 27; ++i) line27 += ", 1, " + std::to_string(i + 1);
    const std::string with27 = WriteToString("x", 27, 1, records.data());
    EXPECT_EQ(with27.substr(0, with27.find(", \"")), "new x[28][] = {\n" + line27 + "\n}\n");

    std::string line28 = "{ 28, 1";
    for (int i = 0; i < 27; ++i) line28 += ", 1, " + std::to_string(i + 1);
    const std::string with28 = WriteToString("x", 28, 1, records.data());
    EXPECT_EQ(with28.substr(0, with28.find(", \"")), "new x[29][] = {\n" + line28.substr(0) + "\n, 1, 28}\n");
}

TEST(ArtWriter, WindowWithoutGlyphStops) {
    TileRecord r = MakeRecord(std::string(300, 'x'));
    testing::internal::CaptureStdout();
    CaptureClosedStream(
        [&](FILE* f) { EXPECT_EQ(WriteArtInclude(f, "bad", 1, 1, &r), WriteResult::NoGlyphInWindow); });
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "ERROR HAPPENED! SORRY!\n" + std::string(250, 'x'));
}

TEST(ArtWriter, GridOfPartialTiles) {
    ZtImage img(31, 16, 24, ImageFormat::Unknown);
    const TileGrid g = GridFor(img);
    EXPECT_EQ(g.across, 3);
    EXPECT_EQ(g.down, 2);
    auto records = EncodeAllTiles(img, g);
    ASSERT_TRUE(records);
    // Bottom-right tile: one column, one row.
    EXPECT_STREQ(records[5].text, "{000000}g\\n");
    EXPECT_EQ(records[2].chunkCount, 1);
}

}  // namespace
