// Tile encoder and art include writer: exact texts of small pictures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "converter/art_writer.h"
#include "converter/convert.h"
#include "converter/tile_encoder.h"
#include "converter/tile_text.h"
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

// The identifier and what MakeArtIdentifier printed on standard output.
std::pair<std::string, std::string> IdentifierFor(const std::wstring& baseName) {
    testing::internal::CaptureStdout();
    std::string id = MakeArtIdentifier(baseName.c_str());
    return {id, testing::internal::GetCapturedStdout()};
}

testing::AssertionResult IsFallback(const std::wstring& baseName) {
    const auto [id, printed] = IdentifierFor(baseName);
    if (printed != "Pic name isn't good for pawn, using default name\n")
        return testing::AssertionFailure() << "printed \"" << printed << "\"";
    if (id.rfind("new_art_", 0) != 0) return testing::AssertionFailure() << "identifier " << id;
    const std::string digits = id.substr(8);
    if (digits.empty() || digits.size() > 4 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return testing::AssertionFailure() << "identifier " << id;
    return testing::AssertionSuccess();
}

TEST(ArtIdentifier, NamesThePawnCompilerAcceptsAreKept) {
    const struct {
        const wchar_t* base;
        const char* id;
    } kept[] = {
        {L"My_Pic2", "my_pic2"}, {L"sky", "sky"}, {L"a", "a"}, {L"__", "__"}, {L"_x", "_x"},
        // Only whole reserved words are refused, never names that contain one.
        {L"news", "news"}, {L"new_", "new_"}, {L"xnew", "xnew"}, {L"true1", "true1"},
        {L"mainpic", "mainpic"}, {L"_main", "_main"}, {L"cellmax2", "cellmax2"},
        // The compiler's own spellings with capitals differ after lowering.
        {L"__Pawn", "__pawn"}, {L"EOS", "eos"},
        // Only the low 8 bits count: U+0141 has low byte 0x41 ('A'); U+0100 ends the name.
        {L"x\u0141y", "xay"}, {L"ab\u0100cd", "ab"},
    };
    for (const auto& k : kept) {
        const auto [id, printed] = IdentifierFor(k.base);
        EXPECT_EQ(id, k.id);
        EXPECT_EQ(printed, "") << k.id;
    }
    const std::wstring longest(31, L'q');
    EXPECT_EQ(IdentifierFor(longest).first, std::string(31, 'q'));
}

TEST(ArtIdentifier, NamesThePawnCompilerRefusesFallBack) {
    // Each was an array name that failed to compile: empty, the bare underscore,
    // reserved words, predefined constants and the script's own main.
    for (const wchar_t* base :
         {L"", L"_", L"new", L"char", L"if", L"sizeof", L"true", L"false", L"main", L"Main",
          L"NEW", L"state", L"sleep", L"exit", L"defined", L"tagof", L"operator", L"cellbits",
          L"ucharmax", L"debug", L"__line", L"__file", L"__date", L"__time", L"__compat",
          L"__emit", L"__addressof"})
        EXPECT_TRUE(IsFallback(base)) << std::string(base, base + wcslen(base));
    // Characters Pawn names cannot hold fall back as before.
    for (const wchar_t* base : {L"2pic", L"a b", L"a-b", L"caf\u00e9"}) EXPECT_TRUE(IsFallback(base));
}

TEST(ArtIdentifier, LongNamesAreCutAt31Characters) {
    // The compiler keeps 31 characters and warns about a longer symbol on every build.
    EXPECT_EQ(IdentifierFor(std::wstring(32, L'A')).first, std::string(31, 'a'));
    EXPECT_EQ(IdentifierFor(std::wstring(40, L'A')).first, std::string(31, 'a'));
    // Past 31 accepted characters the rest is ignored, even if it would be refused.
    EXPECT_EQ(IdentifierFor(std::wstring(31, L'b') + L" -").first, std::string(31, 'b'));
}

TEST(ArtWriter, ChunkCounts) {
    EXPECT_EQ(ChunkCount(size_t(11)), 1);
    EXPECT_EQ(ChunkCount(size_t(250)), 1);
    EXPECT_EQ(ChunkCount(size_t(251)), 2);
    EXPECT_EQ(ChunkCount(size_t(2055)), 9);
}

std::string WriteToString(const std::string& id, int across, int down, const TileRecord* records,
                          WriteResult expected = WriteResult::Ok) {
    std::string text;
    // A small buffer, so that the writer also hands over in several pieces.
    ArtOutput out([&text](const char* data, size_t size) {
        text.append(data, size);
        return true;
    }, 64);
    EXPECT_EQ(WriteArtInclude(out, id, across, down, records), expected);
    return text;
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
    WriteToString("bad", 1, 1, &r, WriteResult::NoGlyphInWindow);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "ERROR HAPPENED! SORRY!\n" + std::string(250, 'x'));
}

// Lines made in place, cut as rows of at most 137 characters end (a whole
// pixel row's longest text), are the chunk writer's lines for the same text:
// the same bytes, the same failure and report where a window holds no glyph,
// the lines before that window kept.
TEST(ArtWriter, LinesMadeInPlaceAreTheChunkWritersLines) {
    const std::string codes = Repeat("{123456}g", 27) + "ggggggg";  // 250
    const std::string texts[] = {codes, codes + "g", Repeat("{ABCDEF}gg", 70), std::string(300, 'x'),
                                 codes + std::string(260, 'x')};
    for (const std::string& text : texts) {
        const int32_t chunks = ChunkCount(text.size());
        std::string written[2], printed[2];
        bool ok[2];
        for (int road = 0; road < 2; ++road) {
            ArtOutput out([&](const char* data, size_t size) {
                written[road].append(data, size);
                return true;
            });
            testing::internal::CaptureStdout();
            if (road == 0) {
                ok[0] = WriteTileChunks(out, text.data(), text.size(), chunks);
            } else {
                TileLinesInPlace lines;
                ASSERT_TRUE(lines.Open(out, chunks));
                size_t n = 0;
                for (size_t from = 0; from < text.size(); from += 137) {
                    const size_t piece = std::min<size_t>(137, text.size() - from);
                    memcpy(lines.Text() + n, text.data() + from, piece);
                    n = lines.RowEnd(n + piece);
                }
                ok[1] = lines.Close(n);
            }
            printed[road] = testing::internal::GetCapturedStdout();
            out.Flush();
        }
        EXPECT_EQ(ok[0], text[0] != 'x') << text.size();  // only the all-x text has a window without a glyph
        EXPECT_EQ(ok[1], ok[0]) << text.size();
        EXPECT_EQ(written[1], written[0]) << text.size();
        EXPECT_EQ(printed[1], printed[0]) << text.size();
    }
}

TEST(ArtWriter, GridOfPartialTiles) {
    ZtImage img(31, 16, 24, ImageFormat::Unknown);
    const TileGrid g = GridFor(img);
    EXPECT_EQ(g.across, 3);
    EXPECT_EQ(g.down, 2);
    std::vector<uint8_t> counts;
    ASSERT_TRUE(MeasureAllTiles(img, g, counts));
    // Two full black tiles need 263 characters, two chunks; the rest fit in one.
    EXPECT_EQ(counts, (std::vector<uint8_t>{2, 2, 1, 1, 1, 1}));
    // Bottom-right tile: one column, one row.
    const std::string text = ArtIncludeText(img, "g");
    EXPECT_EQ(text.substr(text.size() - 20), "\n, \"{000000}g\\n\"\n};\n");
}

TEST(ArtWriter, OutputFailureIsReportedAndStopsWriting) {
    // 20 x 20 tiles: with two threads, two bands that outgrow the buffer.
    ZtImage img;
    std::vector<uint32_t> pixels(300 * 300);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint32_t(i * 2654435761u) & 0xFFFFFF;
    zt_test::MakeTrueColour(img, 300, 300, pixels);
    for (const int threads : {1, 2})
        for (const int failing : {1, 2, 40}) {
            int handOvers = 0;
            ArtOutput out([&](const char*, size_t) { return ++handOvers < failing; }, 4096);
            EXPECT_EQ(WriteImageArt(img, "f", out, nullptr, threads), WriteResult::OutputFailed) << threads;
            // Nothing is handed over after the first failure.
            EXPECT_EQ(handOvers, failing) << threads << " threads, failing at " << failing;
        }
}

// The measuring pass must give exactly the length the encoder writes, or the
// index row would not match the chunks that follow it.
TEST(TileEncoder, MeasureMatchesEncodedLength) {
    uint32_t seed = 12345;
    char text[kTileTextBytes];
    for (int trial = 0; trial < 2000; ++trial) {
        TilePixels b;
        // Few distinct colours, so that runs, row carries and changes all occur.
        const int palette = 1 + trial % 5;
        for (auto& row : b.value)
            for (uint32_t& v : row) {
                seed = seed * 1103515245u + 12345u;
                v = (seed >> 16) % uint32_t(palette) * 0x010101u;
            }
        const int columns = trial % 17 - 1, rows = (trial / 17) % 17 - 1;  // -1 to 15
        const size_t encoded = EncodeTile(text, b, columns, rows);
        ASSERT_EQ(encoded, strlen(text));
        ASSERT_EQ(MeasureTile(b, columns, rows), encoded) << columns << " x " << rows;
    }
}

// The line encoders this processor runs: none (pixel by pixel), and each one
// up to the fastest. (A machine without AVX-512 VBMI2 checks fewer.)
std::vector<tile_text::WholeLineEncoder> RunnableLineEncoders() {
    std::vector<tile_text::WholeLineEncoder> all{nullptr};
    const tile_text::WholeLineEncoder fastest = tile_text::FastestWholeLineEncoder();
    if (fastest) all.push_back(tile_text::kShuffleLines);
    if (fastest && fastest == tile_text::kCompressLines) all.push_back(fastest);
    return all;
}

// 24-bit rows are measured a whole tile line at a time and encoded by the
// line encoders; count and text must still be the block encoder's: repeats
// anywhere in a line, runs carried over from the line above, neighbours that
// differ in a single byte, partial tiles, and tiles whose lines end where the
// picture's rows end (the top line at the very end of its storage).
TEST(TileEncoder, RowReadingMatchesBlockEncoderOnTrueColourTiles) {
    const auto encoders = RunnableLineEncoders();
    for (const auto& [w, h] : {std::pair<int, int>{47, 33}, {60, 30}})
        for (const uint32_t repeatPercent : {0u, 10u, 50u, 90u, 100u}) {
            std::vector<uint32_t> topDown;
            uint32_t seed = 7 + repeatPercent, colour = 0x123456;
            for (int i = 0; i < w * h; ++i) {
                seed = seed * 1103515245u + 12345u;
                const uint32_t r = seed >> 16;
                // Otherwise the previous colour with one bit of one channel flipped.
                if (r % 100 >= repeatPercent) colour ^= 1u << (8 * (r / 100 % 3) + r / 300 % 8);
                topDown.push_back(colour);
            }
            ZtImage img;
            zt_test::MakeTrueColour(img, w, h, topDown);
            const TileGrid grid = GridFor(img);
            for (int ty = 0; ty < grid.down; ++ty)
                for (int tx = 0; tx < grid.across; ++tx) {
                    const int columns = std::min(15, w - 15 * tx), rows = std::min(15, h - 15 * ty);
                    const uint8_t* lines[kTileSize] = {};
                    for (int k = 0; k < rows; ++k) lines[k] = img.RowBits(uint32_t(h - 1 - (15 * ty + k)));
                    TilePixels block;
                    ExtractTile(img, tx, ty, block);
                    char text[kTileTextBytes];
                    const size_t encoded = EncodeTile(text, block, columns, rows);
                    EXPECT_EQ(tile_text::Measure(tile_text::RowSource{lines, 45 * size_t(tx)}, columns, rows), encoded)
                        << repeatPercent << "% repeats, tile " << tx << ", " << ty;
                    for (size_t e = 0; e < encoders.size(); ++e) {
                        char rowText[kTileTextBytes];
                        const size_t length = tile_text::Encode(
                            rowText, tile_text::RowSource{lines, 45 * size_t(tx), encoders[e]}, columns, rows);
                        EXPECT_EQ(std::string(rowText, length), std::string(text, encoded))
                            << "line encoder " << e << ", " << w << " x " << h << ", " << repeatPercent
                            << "% repeats, tile " << tx << ", " << ty;
                    }
                }
        }
}

}  // namespace

namespace {

// A picture read from its 24-bit rows, from its 8-bit palette rows and
// through ColorAt (4 bits a pixel) must give the same include, byte for byte:
// partial tiles, runs carried across lines and noisy tiles included.
TEST(ArtWriter, TrueColourRowsAndPaletteGiveTheSameInclude) {
    const int w = 47, h = 33;
    ZtImage indexed(w, h, 8, ImageFormat::Unknown);
    const uint32_t colours[4] = {0x000000, 0xFF0000, 0x12AB34, 0xFFFFFE};
    for (uint32_t i = 0; i < 4; ++i)
        indexed.SetPaletteEntry(i, uint8_t(colours[i] >> 16), uint8_t(colours[i] >> 8), uint8_t(colours[i]), 0);
    std::vector<uint32_t> topDown;
    uint32_t seed = 99;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            // Runs in the upper half, noise below.
            const uint32_t index = y < h / 2 ? uint32_t(x / 6 % 4) : (seed >> 16) % 4;
            indexed.RowBits(uint32_t(h - 1 - y))[x] = uint8_t(index);
            topDown.push_back(colours[index]);
        }
    // Four bits a pixel: read through ColorAt, the tile encoder's own way.
    ZtImage nibbles(w, h, 4, ImageFormat::Unknown);
    for (uint32_t i = 0; i < 4; ++i)
        nibbles.SetPaletteEntry(i, uint8_t(colours[i] >> 16), uint8_t(colours[i] >> 8), uint8_t(colours[i]), 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) nibbles.SetIndexAt(x, y, indexed.RowBits(uint32_t(y))[x]);
    ZtImage trueColour;
    zt_test::MakeTrueColour(trueColour, w, h, topDown);
    const std::string expected = ArtIncludeText(nibbles, "same");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(ArtIncludeText(indexed, "same"), expected);
    EXPECT_EQ(ArtIncludeText(trueColour, "same"), expected);
}

}  // namespace
