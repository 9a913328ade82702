// Byte streams, the extension table, the dispatcher and the loader.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "codecs/format_table.h"
#include "image/format_table.h"
#include "image/image_format.h"
#include "image/zt_file.h"
#include "image/zt_image.h"
#include "tests/test_support.h"

namespace {

TEST(IOFile, LengthKeepsPositionAndCallerFileStaysOpen) {
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    fputs("abcdef", f);
    rewind(f);
    {
        ZtIOFile s(f);
        EXPECT_EQ(s.GetByte(), 'a');
        EXPECT_EQ(s.Length(), 6);
        EXPECT_EQ(s.Position(), 1);
        EXPECT_EQ(s.GetByte(), 'b');
        EXPECT_TRUE(s.CloseStream());  // not its file: nothing happens
    }
    // Still open and usable after the stream is gone.
    EXPECT_EQ(fgetc(f), 'c');
    EXPECT_EQ(fclose(f), 0);
}

TEST(IOFile, WithoutFile) {
    ZtIOFile s(nullptr);
    uint8_t b[4];
    EXPECT_EQ(s.ReadBlocks(b, 1, 4), 0u);
    EXPECT_TRUE(s.AtEnd());
    EXPECT_EQ(s.ErrorState(), -1);
    EXPECT_EQ(s.Length(), -1);
    EXPECT_EQ(s.GetByte(), -1);
    EXPECT_FALSE(s.SeekTo(0, 0));
    EXPECT_FALSE(s.PutByte(1));
    EXPECT_EQ(s.GetLine(reinterpret_cast<char*>(b), 4), nullptr);
}

TEST(IOFile, ReadsSeeksLinesAndScans) {
    FILE* f = tmpfile();
    fputs("12 line\nrest", f);
    rewind(f);
    ZtIOFile s(f);
    int v = 0;
    EXPECT_EQ(s.ScanFormatted("%d", &v), 1);
    EXPECT_EQ(v, 12);
    char line[16];
    ASSERT_NE(s.GetLine(line, sizeof line), nullptr);
    EXPECT_STREQ(line, " line\n");
    EXPECT_TRUE(s.SeekTo(-2, 2));
    char two[3] = {};
    EXPECT_EQ(s.ReadBlocks(two, 2, 1), 1u);
    EXPECT_STREQ(two, "st");
    EXPECT_EQ(s.ReadBlocks(two, 1, 1), 0u);
    EXPECT_TRUE(s.AtEnd());
    fclose(f);
}

TEST(MemFile, BehavesLikeAFile) {
    const uint8_t data[] = {1, 2, 3, 4, 5};
    ZtMemFile s(data, sizeof data);
    uint8_t buf[6] = {};
    EXPECT_EQ(s.ReadBlocks(buf, 2, 3), 2u);  // a partial block is consumed, not counted
    EXPECT_TRUE(s.AtEnd());
    EXPECT_EQ(s.Position(), 5);
    EXPECT_TRUE(s.SeekTo(1, 0));
    EXPECT_FALSE(s.AtEnd());
    EXPECT_EQ(s.GetByte(), 2);
    EXPECT_EQ(s.Length(), 5);
    EXPECT_EQ(s.Position(), 2);
    EXPECT_FALSE(s.SeekTo(-3, 1));
}

TEST(Registry, ExtensionTable) {
    EXPECT_EQ(FormatIdFromExtension(L"JPEG"), uint32_t(ImageFormat::Jpeg));
    EXPECT_EQ(FormatIdFromExtension(L"Jpg"), uint32_t(ImageFormat::Jpeg));
    EXPECT_EQ(FormatIdFromExtension(L"jPe"), uint32_t(ImageFormat::Jpeg));
    EXPECT_EQ(FormatIdFromExtension(L"jfif"), uint32_t(ImageFormat::Jpeg));
    EXPECT_EQ(FormatIdFromExtension(L"jp"), uint32_t(ImageFormat::Unknown));
    EXPECT_EQ(FormatIdFromExtension(L""), uint32_t(ImageFormat::Unknown));
    EXPECT_EQ(FormatIdFromExtension(L"tiff"), uint32_t(ImageFormat::Tiff));
    EXPECT_EQ(FormatIdFromExtension(L"wbmp"), uint32_t(ImageFormat::Wbmp));
    EXPECT_EQ(FormatIdFromExtension(L"png\""), uint32_t(ImageFormat::Png));
    EXPECT_EQ(FormatIdFromExtension(L"CUR"), uint32_t(ImageFormat::Icon));
    EXPECT_EQ(FormatIdFromExtension(L"ppm"), uint32_t(ImageFormat::Pnm));
    EXPECT_EQ(FormatIdFromExtension(L"ras"), uint32_t(ImageFormat::SunRaster));
    EXPECT_EQ(FormatIdFromExtension(L"j2c"), uint32_t(ImageFormat::Jpc));
    EXPECT_EQ(FormatIdFromExtension(L"jng"), uint32_t(ImageFormat::Mng));
    EXPECT_EQ(FormatIdFromExtension(L"3FR"), uint32_t(ImageFormat::CameraRaw));
    EXPECT_EQ(FormatIdFromExtension(L"orf"), uint32_t(ImageFormat::CameraRaw));
    EXPECT_EQ(FormatIdFromExtension(L"txt"), uint32_t(ImageFormat::Unknown));
    EXPECT_EQ(FormatIdFromExtension("Bmp"), uint32_t(ImageFormat::Bmp));
}

TEST(Registry, DispatcherRules) {
    ZtImage img;
    EXPECT_FALSE(img.Decode(static_cast<ZtFile*>(nullptr), ImageFormat::Bmp));
    EXPECT_STREQ(img.LastError(), "null file handler");
    EXPECT_FALSE(img.Decode(static_cast<FILE*>(nullptr), ImageFormat::Bmp));
    EXPECT_STREQ(img.LastError(), "null file handler");

    // Id 16 and ids past 19 name no decoder and read nothing.
    const uint8_t data[] = {'B', 'M', 0, 0};
    for (uint32_t id : {16u, 20u, 1000u}) {
        ZtMemFile s(data, sizeof data);
        img.SetLastError("");
        EXPECT_FALSE(img.Decode(&s, id));
        EXPECT_STREQ(img.LastError(), "Decode: Unknown or wrong format");
        EXPECT_EQ(s.Position(), 0);
    }
    // Plain text is taken by no decoder.
    const std::string text = "hello, this is not a picture at all\n";
    ZtMemFile s(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_FALSE(img.Decode(&s, ImageFormat::Unknown));
    EXPECT_STREQ(img.LastError(), "Decode: Unknown or wrong format");
    EXPECT_FALSE(img.HasPixels());
}

TEST(Registry, LoadFromPathMissingFileLeavesErrorEmpty) {
    ZtImage img;
    EXPECT_FALSE(img.LoadFromPath("/nonexistent/dir/picture.bmp", ImageFormat::Bmp));
    EXPECT_STREQ(img.LastError(), "");
    EXPECT_FALSE(img.LoadFromPath(L"/nonexistent/dir/picture.bmp", ImageFormat::Unknown));
    EXPECT_STREQ(img.LastError(), "");
}

TEST(Registry, LoadFromPathRestoresFirstMessage) {
    const std::string dir = zt_test::MakeTempDir("registry");
    const std::string path = dir + "/notes.bmp";
    ASSERT_TRUE(zt_test::WriteFileBytes(path, std::vector<uint8_t>(64, 'x')));
    ZtImage img;
    img.SetLastError("earlier text");
    EXPECT_FALSE(img.LoadFromPath(path.c_str(), ImageFormat::Bmp));
    // The message of the extension's decoder attempt comes back, not the generic one.
    EXPECT_STREQ(img.LastError(), "Error reading BMP info");
    ZtImage any;
    EXPECT_FALSE(any.LoadFromPath(path.c_str(), ImageFormat::Unknown));
    EXPECT_STREQ(any.LastError(), "Decode: Unknown or wrong format");
}

// A stand-in decoder that records which ids it was run with and refuses.
std::vector<uint32_t> g_calls;
bool RecordAndRefuse(ZtImage& caller, ZtFile&, uint32_t id) {
    g_calls.push_back(id);
    caller.SetLastError("refused");
    return false;
}

TEST(FormatTable, RowsDriveLookupDispatchAndTheTryAllPass) {
    const FormatRow rows[] = {
        {ImageFormat::Bmp, "bmp", &RecordAndRefuse, true},
        {ImageFormat::Tiff, "tif", nullptr, true},  // known, no decoder in this build
        {ImageFormat::Jp2, "jp2 j2k", &RecordAndRefuse, true},
        {ImageFormat::Pnm, "pnm pgm ppm", &RecordAndRefuse, false},  // family: tried at the Jp2 row
    };
    InstallFormatTable(rows, 4);
    EXPECT_EQ(FormatIdFromExtension(L"PGM"), ImageFormat::Pnm);
    EXPECT_EQ(FormatIdFromExtension(L"tiff"), ImageFormat::Tiff);
    EXPECT_EQ(FormatIdFromExtension(L"gif"), ImageFormat::Unknown);  // no row
    const uint8_t bytes[] = {1, 2, 3};
    ZtMemFile stream(bytes, sizeof bytes);
    ZtImage img;
    g_calls.clear();
    EXPECT_FALSE(img.Decode(&stream, ImageFormat::Tiff));
    EXPECT_STREQ(img.LastError(), "Decode: Unknown or wrong format");
    EXPECT_FALSE(img.Decode(&stream, ImageFormat::Pnm));
    EXPECT_STREQ(img.LastError(), "refused");
    EXPECT_FALSE(img.Decode(&stream, ImageFormat::Unknown));
    EXPECT_STREQ(img.LastError(), "Decode: Unknown or wrong format");
    // The family decoder runs once in the pass over every decoder, with id 0.
    EXPECT_EQ(g_calls, (std::vector<uint32_t>{ImageFormat::Pnm, 0, 0}));
    InstallCodecs();
}

}  // namespace
