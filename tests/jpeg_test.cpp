// JPEG adapter: small files encoded here with libjpeg (flat 8 x 8 blocks at
// quality 100 without subsampling come back exactly), plus the corpus
// compared with djpeg's pixels (tests/data/jpeg_reference.tsv).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

#include "codecs/adapters/jpeg.h"
#include "converter/art_writer.h"
#include "converter/convert.h"
#include "converter/overlap.h"
#include "image/codec_warnings.h"
#include "exif_fixture.h"
#include "image/zt_file.h"
#include "test_support.h"

using zt_test::ExifPayload;
using zt_test::InsertAfterSoi;
using zt_test::Section;
using zt_test::TiffBlock;

namespace {

using Bytes = std::vector<uint8_t>;

struct EncodeSpec {
    int width = 8;
    int height = 8;
    int components = 3;
    J_COLOR_SPACE input = JCS_RGB;
    J_COLOR_SPACE stored = JCS_RGB;  // RGB stored as RGB: no colour transform
    int quality = 100;
    bool jfif = true;
    uint8_t unit = 1;
    uint16_t xDensity = 72;
    uint16_t yDensity = 72;
    int hSample = 1, vSample = 1;  // the first component's sampling factors
    int restartRows = 0;           // a restart marker every this many MCU rows
    bool progressive = false;
    Bytes samples;  // top line first, interleaved
};

Bytes Encode(const EncodeSpec& spec) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = JDIMENSION(spec.width);
    cinfo.image_height = JDIMENSION(spec.height);
    cinfo.input_components = spec.components;
    cinfo.in_color_space = spec.input;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, spec.stored);
    for (int c = 0; c < cinfo.num_components; ++c) {
        cinfo.comp_info[c].h_samp_factor = c == 0 ? spec.hSample : 1;
        cinfo.comp_info[c].v_samp_factor = c == 0 ? spec.vSample : 1;
    }
    jpeg_set_quality(&cinfo, spec.quality, TRUE);
    cinfo.restart_in_rows = spec.restartRows;
    if (spec.progressive) jpeg_simple_progression(&cinfo);
    // A JFIF marker would make the decoder read three components as YCbCr.
    cinfo.write_JFIF_header = spec.jfif && spec.stored != JCS_RGB ? TRUE : FALSE;
    cinfo.density_unit = spec.unit;
    cinfo.X_density = spec.xDensity;
    cinfo.Y_density = spec.yDensity;
    jpeg_start_compress(&cinfo, TRUE);
    const size_t stride = size_t(spec.width) * size_t(spec.components);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(spec.samples.data() + stride * cinfo.next_scanline);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes result(out, out + outSize);
    free(out);
    return result;
}

// width x height of flat 8 x 8 blocks, colours given per block, left to right, top down.
EncodeSpec Blocks(int blocksAcross, int blocksDown, int components, const std::vector<Bytes>& colours) {
    EncodeSpec spec;
    spec.width = 8 * blocksAcross;
    spec.height = 8 * blocksDown;
    spec.components = components;
    spec.samples.resize(size_t(spec.width) * size_t(spec.height) * size_t(components));
    for (int y = 0; y < spec.height; ++y)
        for (int x = 0; x < spec.width; ++x) {
            const Bytes& c = colours[size_t((y / 8) * blocksAcross + x / 8)];
            memcpy(&spec.samples[(size_t(y) * size_t(spec.width) + size_t(x)) * size_t(components)],
                   c.data(), size_t(components));
        }
    return spec;
}

// A smooth photographic-looking gradient with some texture, w x h RGB.
EncodeSpec Photo(int w, int h, int quality) {
    EncodeSpec spec;
    spec.width = w;
    spec.height = h;
    spec.stored = JCS_YCbCr;
    spec.quality = quality;
    spec.samples.resize(size_t(w) * size_t(h) * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &spec.samples[(size_t(y) * size_t(w) + size_t(x)) * 3];
            p[0] = uint8_t(x * 255 / w);
            p[1] = uint8_t(y * 255 / h);
            p[2] = uint8_t(((x * 7) ^ (y * 13)) & 0xFF);
        }
    return spec;
}

bool DecodeJpeg(ZtImageJPG& jpg, const Bytes& bytes) {
    ZtMemFile stream(bytes.data(), bytes.size());
    return jpg.Decode(&stream);
}

ZtQuad Rgb(uint8_t r, uint8_t g, uint8_t b) { return ZtQuad{b, g, r, 0}; }

// A JPEG carrying an EXIF block with the given first-directory entries.
template <class Fill>
Bytes WithExif(const Bytes& jpeg, Fill fill) {
    TiffBlock b;
    const uint32_t dir = b.ReserveDirectory(8);
    std::vector<TiffBlock::Entry> entries = fill(b);
    b.WriteDirectory(dir, entries, 0);
    return InsertAfterSoi(jpeg, Section(0xE1, ExifPayload(b.bytes)));
}

}  // namespace

TEST(JpegDecoder, EmptyAndForeignInputFailWithLibjpegMessages) {
    ZtImageJPG empty;
    EXPECT_FALSE(DecodeJpeg(empty, {}));
    EXPECT_STREQ(empty.LastError(), "Empty input file");
    EXPECT_FALSE(empty.HasPixels());

    ZtImage viaTable;
    EXPECT_FALSE(zt_test::DecodeBytes(viaTable, {}, ImageFormat::Jpeg));
    EXPECT_STREQ(viaTable.LastError(), "Empty input file");

    ZtImageJPG bmp;
    EXPECT_FALSE(DecodeJpeg(bmp, {'B', 'M', 0, 0, 0, 0}));
    EXPECT_STREQ(bmp.LastError(), "Not a JPEG file: starts with 0x42 0x4d");
}

TEST(JpegDecoder, RgbComesOutTopDownInBgrStorage) {
    const Bytes jpeg = Encode(Blocks(2, 2, 3, {{200, 30, 60}, {10, 220, 90}, {50, 60, 250}, {128, 128, 128}}));
    ZtImageJPG jpg;
    ASSERT_TRUE(DecodeJpeg(jpg, jpeg)) << jpg.LastError();
    EXPECT_EQ(jpg.Width(), 16);
    EXPECT_EQ(jpg.Height(), 16);
    EXPECT_EQ(jpg.BitsPerPixel(), 24u);
    EXPECT_EQ(jpg.PaletteEntries(), 0u);
    EXPECT_EQ(jpg.FormatId(), uint32_t(ImageFormat::Jpeg));
    // y counts from the bottom line.
    EXPECT_EQ(jpg.ColorAt(0, 15, false), Rgb(200, 30, 60));
    EXPECT_EQ(jpg.ColorAt(15, 8, false), Rgb(10, 220, 90));
    EXPECT_EQ(jpg.ColorAt(0, 0, false), Rgb(50, 60, 250));
    EXPECT_EQ(jpg.ColorAt(9, 7, false), Rgb(128, 128, 128));
    const uint8_t* top = jpg.RowBits(15);
    EXPECT_EQ(top[0], 60);  // blue first
    EXPECT_EQ(top[2], 200);
}

TEST(JpegDecoder, GreyGetsAFullRamp) {
    EncodeSpec spec = Blocks(2, 1, 1, {{40}, {200}});
    spec.input = spec.stored = JCS_GRAYSCALE;
    ZtImageJPG jpg;
    ASSERT_TRUE(DecodeJpeg(jpg, Encode(spec))) << jpg.LastError();
    EXPECT_EQ(jpg.BitsPerPixel(), 8u);
    EXPECT_EQ(jpg.PaletteEntries(), 256u);
    EXPECT_TRUE(jpg.HasGreyPalette());
    EXPECT_EQ(jpg.IndexAt(0, 7), 40);
    EXPECT_EQ(jpg.IndexAt(15, 0), 200);
    EXPECT_EQ(jpg.ColorAt(3, 3, false), Rgb(40, 40, 40));
}

TEST(JpegDecoder, CmykIsMultipliedByBlack) {
    EncodeSpec spec = Blocks(2, 1, 4, {{200, 100, 50, 128}, {255, 0, 17, 255}});
    spec.input = spec.stored = JCS_CMYK;
    spec.jfif = false;
    ZtImageJPG jpg;
    ASSERT_TRUE(DecodeJpeg(jpg, Encode(spec))) << jpg.LastError();
    EXPECT_EQ(jpg.BitsPerPixel(), 24u);
    // red = k*c/255, green = k*m/255, blue = k*y/255, truncated.
    EXPECT_EQ(jpg.ColorAt(0, 0, false), Rgb(100, 50, 25));
    EXPECT_EQ(jpg.ColorAt(8, 7, false), Rgb(255, 0, 17));
}

TEST(JpegDecoder, TruncatedFileDecodesAsFarAsItGoes) {
    const Bytes full = Encode(Photo(64, 64, 90));
    ZtImageJPG whole;
    ASSERT_TRUE(DecodeJpeg(whole, full));
    const Bytes cut(full.begin(), full.begin() + long(full.size() * 6 / 10));
    ZtImageJPG part;
    // libjpeg's "Premature end of JPEG file" reaches the warning sink, which
    // is quiet unless a stream is set; then it echoes the text.
    const uint64_t before = CodecWarningCount();
    testing::internal::CaptureStderr();
    const bool quiet = DecodeJpeg(part, cut);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_GT(CodecWarningCount(), before);
    testing::internal::CaptureStderr();
    SetCodecWarningStream(stderr);
    ZtImageJPG again;
    const bool ok = DecodeJpeg(again, cut);
    SetCodecWarningStream(nullptr);
    const std::string warning = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(quiet && ok) << part.LastError();
    EXPECT_NE(warning.find("libjpeg: Premature end of JPEG file"), std::string::npos);
    EXPECT_EQ(part.Width(), 64);
    EXPECT_EQ(part.Height(), 64);
    // The first lines were in the data and match the complete decode.
    EXPECT_EQ(memcmp(part.RowBits(63), whole.RowBits(63), 64 * 3), 0);
    EXPECT_NE(memcmp(part.RowBits(0), whole.RowBits(0), 64 * 3), 0);
}

TEST(JpegDecoder, EveryPrefixAndByteFlipDecodesOrFailsCleanly) {
    const Bytes good = Encode(Photo(24, 16, 75));
    testing::internal::CaptureStderr();
    for (size_t n = 0; n < good.size(); ++n) {
        ZtImageJPG jpg;
        const bool ok = DecodeJpeg(jpg, Bytes(good.begin(), good.begin() + long(n)));
        if (ok) {
            EXPECT_EQ(jpg.Width(), 24);
        } else {
            EXPECT_STRNE(jpg.LastError(), "") << n;
        }
    }
    for (size_t i = 0; i < good.size(); ++i) {
        Bytes flipped = good;
        flipped[i] ^= 0x5A;
        ZtImageJPG jpg;
        if (!DecodeJpeg(jpg, flipped)) {
            EXPECT_STRNE(jpg.LastError(), "") << i;
        }
    }
    testing::internal::GetCapturedStderr();
}

TEST(JpegDecoder, JfifDensityUnits) {
    EncodeSpec spec = Blocks(1, 1, 3, {{1, 2, 3}});
    spec.stored = JCS_YCbCr;
    struct Case {
        uint8_t unit;
        uint16_t x, y;
        int32_t xDpi, yDpi;
    } cases[] = {
        {2, 28, 28, 71, 71},    // 28 * 2.54 + 0.5 = 71.62
        {2, 118, 40, 300, 102},
        {1, 300, 150, 300, 150},
        {0, 1, 2, 96, 192},     // aspect only: Y = X * 2
        {0, 3, 1, 96, 32},
    };
    for (const Case& c : cases) {
        spec.unit = c.unit;
        spec.xDensity = c.x;
        spec.yDensity = c.y;
        ZtImageJPG jpg;
        ASSERT_TRUE(DecodeJpeg(jpg, Encode(spec)));
        EXPECT_EQ(jpg.HorizontalDpi(), c.xDpi) << int(c.unit) << " " << c.x;
        EXPECT_EQ(jpg.VerticalDpi(), c.yDpi) << int(c.unit) << " " << c.y;
    }
    // Aspect only keeps the X value the image already had.
    spec.unit = 0;
    spec.xDensity = 1;
    spec.yDensity = 2;
    ZtImageJPG preset;
    preset.SetHorizontalDpi(150);
    ASSERT_TRUE(DecodeJpeg(preset, Encode(spec)));
    EXPECT_EQ(preset.HorizontalDpi(), 150);
    EXPECT_EQ(preset.VerticalDpi(), 300);
}

TEST(JpegDecoder, ExifResolutionWinsOverJfif) {
    EncodeSpec spec = Blocks(1, 1, 3, {{1, 2, 3}});
    spec.stored = JCS_YCbCr;
    spec.unit = 1;
    spec.xDensity = spec.yDensity = 300;
    const Bytes jfif = Encode(spec);

    ZtImageJPG inches;
    ASSERT_TRUE(DecodeJpeg(inches, WithExif(jfif, [](TiffBlock& b) {
        return std::vector<TiffBlock::Entry>{b.RationalEntry(0x011A, 72, 1), b.RationalEntry(0x011B, 72, 1),
                                             b.ShortEntry(0x0128, 2), b.AsciiEntry(0x010F, "Zent")};
    })));
    EXPECT_TRUE(inches.Exif().isExif);
    EXPECT_STREQ(inches.Exif().make, "Zent");
    EXPECT_EQ(inches.HorizontalDpi(), 72);
    EXPECT_EQ(inches.VerticalDpi(), 72);

    ZtImageJPG cm;  // 100 dots per cm = 254 dpi; no Y resolution keeps 96
    ASSERT_TRUE(DecodeJpeg(cm, WithExif(jfif, [](TiffBlock& b) {
        return std::vector<TiffBlock::Entry>{b.RationalEntry(0x011A, 100, 1), b.ShortEntry(0x0128, 3)};
    })));
    EXPECT_EQ(cm.HorizontalDpi(), 254);
    EXPECT_EQ(cm.VerticalDpi(), 96);

    ZtImageJPG noUnit;  // without a unit the EXIF values are not used, nor is JFIF
    ASSERT_TRUE(DecodeJpeg(noUnit, WithExif(jfif, [](TiffBlock& b) {
        return std::vector<TiffBlock::Entry>{b.RationalEntry(0x011A, 72, 1)};
    })));
    EXPECT_EQ(noUnit.HorizontalDpi(), 96);

    ZtImageJPG broken;  // a block that fails to parse leaves the JFIF density in force
    ASSERT_TRUE(DecodeJpeg(broken, WithExif(jfif, [](TiffBlock& b) {
        return std::vector<TiffBlock::Entry>{b.RationalEntry(0x011A, 72, 1), TiffBlock::Entry{0x0128, 13, 1, 0}};
    })));
    EXPECT_FALSE(broken.Exif().isExif);
    EXPECT_STREQ(broken.ExifReader()->ErrorText(), "Illegal format code in EXIF dir");
    EXPECT_EQ(broken.HorizontalDpi(), 300);

    ZtImageJPG huge;  // a resolution no header field can hold is capped
    ASSERT_TRUE(DecodeJpeg(huge, WithExif(jfif, [](TiffBlock& b) {
        return std::vector<TiffBlock::Entry>{b.RationalEntry(0x011A, 2000000000, 1),
                                             b.RationalEntry(0x011B, 1, 1000), b.ShortEntry(0x0128, 5)};
    })));
    EXPECT_EQ(huge.HorizontalDpi(), 54546084);
    EXPECT_EQ(huge.VerticalDpi(), 25);  // 0.001 dots per micrometre = 25.4 dpi
}

TEST(JpegDecoder, ExifThumbnailStaysReadableWithTheDecoder) {
    const Bytes jpeg = Encode(Blocks(1, 1, 3, {{9, 9, 9}}));
    TiffBlock b;
    const uint32_t ifd0 = b.ReserveDirectory(1);
    const uint32_t ifd1 = b.ReserveDirectory(2);
    const uint32_t thumb = b.AddData({0xFF, 0xD8, 0xAB, 0xFF, 0xD9});
    b.WriteDirectory(ifd0, {b.ShortEntry(0x0112, 1)}, ifd1);
    b.WriteDirectory(ifd1, {b.LongEntry(0x0201, thumb), b.LongEntry(0x0202, 5)}, 0);
    ZtImageJPG jpg;
    ASSERT_TRUE(DecodeJpeg(jpg, InsertAfterSoi(jpeg, Section(0xE1, ExifPayload(b.bytes)))));
    ASSERT_NE(jpg.Exif().thumbnail, nullptr);
    EXPECT_EQ(jpg.Exif().thumbnailSize, 5u);
    EXPECT_EQ(jpg.Exif().thumbnail[2], 0xAB);
    EXPECT_EQ(jpg.Exif().frameWidth, 8);
    // A second decode starts from a clean record.
    ASSERT_TRUE(DecodeJpeg(jpg, jpeg));
    EXPECT_FALSE(jpg.Exif().isExif);
    EXPECT_EQ(jpg.Exif().thumbnail, nullptr);
}

TEST(JpegDecoder, SizeOnlyModeScaleAndCancel) {
    const Bytes jpeg = Encode(Photo(64, 48, 80));
    ZtImageJPG sizes;
    sizes.SetAbortCode(-1);
    ASSERT_TRUE(DecodeJpeg(sizes, jpeg));
    EXPECT_EQ(sizes.Width(), 64);
    EXPECT_EQ(sizes.Height(), 48);
    EXPECT_FALSE(sizes.HasPixels());
    EXPECT_EQ(sizes.FormatId(), uint32_t(ImageFormat::Jpeg));

    ZtImage viaTable;
    viaTable.SetAbortCode(-1);
    viaTable.SetDecodeScale(4);
    ASSERT_TRUE(zt_test::DecodeBytes(viaTable, jpeg, ImageFormat::Jpeg));
    EXPECT_EQ(viaTable.Width(), 16);
    EXPECT_EQ(viaTable.Height(), 12);
    EXPECT_FALSE(viaTable.HasPixels());

    ZtImageJPG half;
    half.SetDecodeScale(2);
    ASSERT_TRUE(DecodeJpeg(half, jpeg));
    EXPECT_EQ(half.Width(), 32);
    EXPECT_EQ(half.Height(), 24);

    ZtImageJPG unscaled;  // the default setting 0 means full size
    unscaled.SetDecodeScale(0);
    ASSERT_TRUE(DecodeJpeg(unscaled, jpeg));
    EXPECT_EQ(unscaled.Width(), 64);

    ZtImageJPG cancelled;
    cancelled.SetAbortCode(7);
    EXPECT_FALSE(DecodeJpeg(cancelled, jpeg));
    EXPECT_STREQ(cancelled.LastError(), "");
}

TEST(JpegDecoder, GreyAndQuantiseOptions) {
    const Bytes jpeg = Encode(Blocks(2, 1, 3, {{200, 30, 60}, {10, 220, 90}}));
    ZtImageJPG grey;
    grey.SetDecoderOption(ZtImageJPG::kOptionGrayscale, ImageFormat::Jpeg);
    ASSERT_TRUE(DecodeJpeg(grey, jpeg)) << grey.LastError();
    EXPECT_EQ(grey.BitsPerPixel(), 8u);
    EXPECT_TRUE(grey.HasGreyPalette());
    // libjpeg's luma: 0.299 R + 0.587 G + 0.114 B
    EXPECT_EQ(grey.IndexAt(0, 0), 84);
    EXPECT_EQ(grey.IndexAt(8, 0), 142);

    ZtImageJPG quantised;
    quantised.SetDecoderOption(ZtImageJPG::kOptionQuantize | ZtImageJPG::kOptionNoTwoPass,
                               ImageFormat::Jpeg);
    ASSERT_TRUE(DecodeJpeg(quantised, jpeg)) << quantised.LastError();
    EXPECT_EQ(quantised.BitsPerPixel(), 8u);
    EXPECT_EQ(quantised.PaletteEntries(), 256u);
    const uint32_t used = quantised.Header().importantColors;
    EXPECT_GT(used, 8u);
    EXPECT_LE(used, 90u);  // the quality setting, 90, asks for at most 90 colours
    EXPECT_LT(quantised.IndexAt(0, 0), used);
}

TEST(JpegDecoder, PictureBeyondTheMemoryCeilingFailsBeforeDecoding) {
    Bytes jpeg = Encode(Blocks(1, 1, 3, {{1, 2, 3}}));
    // Find SOF0 and claim 60000 x 60000.
    for (size_t i = 2; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = jpeg[i + 7] = 0xEA;
            jpeg[i + 6] = jpeg[i + 8] = 0x60;
            break;
        }
    }
    ZtImageJPG jpg;
    EXPECT_FALSE(DecodeJpeg(jpg, jpeg));
    EXPECT_STREQ(jpg.LastError(), "ZTIMAGE_MAX_MEMORY exceeded");
    EXPECT_FALSE(jpg.HasPixels());
}

TEST(JpegDecoder, TryEveryDecoderFindsJpeg) {
    const Bytes jpeg = Encode(Blocks(1, 1, 3, {{10, 20, 30}}));
    ZtImage image;
    ASSERT_TRUE(zt_test::DecodeBytes(image, jpeg, ImageFormat::Unknown)) << image.LastError();
    EXPECT_EQ(image.FormatId(), uint32_t(ImageFormat::Jpeg));
    EXPECT_EQ(image.ColorAt(0, 0, false), Rgb(10, 20, 30));
}

TEST(JpegDecoder, CorpusMatchesDjpeg) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "no shared corpus beside this checkout";
    const auto rows =
        zt_test::LoadCorpusReferences(std::string(ZENT_SOURCE_DIR) + "/tests/data/jpeg_reference.tsv");
    ASSERT_GT(rows.size(), 100u);
    std::map<std::string, int> passed, total;
    testing::internal::CaptureStderr();  // libjpeg's warnings on damaged files
    for (const auto& r : rows) {
        FILE* f = fopen((corpus + "/" + r.path).c_str(), "rb");
        if (!f) {
            ADD_FAILURE() << "missing " << r.path;
            continue;
        }
        ZtIOFile stream(f);
        ZtImageJPG jpg;
        const bool ok = jpg.Decode(&stream);
        fclose(f);
        ++total[r.expect];
        if (r.reference == "fail") {
            EXPECT_FALSE(ok) << r.path;
            EXPECT_STRNE(jpg.LastError(), "") << r.path;
            if (!ok) ++passed[r.expect];
            continue;
        }
        EXPECT_TRUE(ok) << r.path << ": " << jpg.LastError();
        if (!ok) continue;
        EXPECT_EQ(jpg.Width(), r.width) << r.path;
        EXPECT_EQ(jpg.Height(), r.height) << r.path;
        const std::string hash = zt_test::IncludeHash(jpg);
        EXPECT_EQ(hash, r.reference) << r.path;
        if (hash == r.reference) ++passed[r.expect];
    }
    testing::internal::GetCapturedStderr();
    for (const auto& t : total)
        printf("jpeg corpus %s: %d of %d as djpeg\n", t.first.c_str(), passed[t.first], t.second);
}

// A second decompressor on the lower part gives the very picture, warnings
// and failures of one decompressor alone: every sampling, restart markers,
// grey, no fancy upsampling, a progressive file (never split), and files cut
// short or damaged above and below the split (where the first decompressor
// goes on alone).
TEST(JpegDecoder, LowerPartOnASecondThreadGivesTheOneThreadPicture) {
    struct Case {
        const char* name;
        int hSample, vSample, restartRows;
        bool grey, progressive;
        uint32_t options;
    };
    const Case cases[] = {
        {"4:4:4", 1, 1, 0, false, false, 0},
        {"4:2:0, restarts", 2, 2, 1, false, false, 0},
        {"4:2:2", 2, 1, 0, false, false, 0},
        {"4:4:0, restarts", 1, 2, 3, false, false, 0},
        {"4:2:0 without fancy upsampling", 2, 2, 0, false, false, ZtImageJPG::kOptionNoFancyUpsampling},
        {"grey", 1, 1, 0, true, false, 0},
        {"progressive", 2, 2, 0, false, true, 0},
    };
    for (const Case& c : cases) {
        // Just over a megapixel, the least that is split.
        EncodeSpec spec = Photo(1201, 903, 90);
        spec.hSample = c.hSample;
        spec.vSample = c.vSample;
        spec.restartRows = c.restartRows;
        spec.progressive = c.progressive;
        if (c.grey) {
            spec.components = 1;
            spec.input = spec.stored = JCS_GRAYSCALE;
            spec.samples.resize(size_t(spec.width) * size_t(spec.height));
        }
        const Bytes whole = Encode(spec);
        struct Variant {
            const char* name;
            Bytes bytes;
        };
        std::vector<Variant> variants{{"whole", whole}};
        for (const int tenths : {9, 4}) variants.push_back({"cut", Bytes(whole.begin(), whole.begin() + long(whole.size() * size_t(tenths) / 10))});
        for (const int tenths : {3, 8}) {
            Bytes damaged = whole;
            damaged[damaged.size() * size_t(tenths) / 10] ^= 0x5A;
            variants.push_back({"damaged", damaged});
        }
        for (const Variant& v : variants) {
            std::string warnings[2], error[2];
            bool ok[2];
            ZtImageJPG jpg[2];
            for (int i = 0; i < 2; ++i) {
                jpg[i].SetDecoderOption(c.options, ImageFormat::Jpeg);
                jpg[i].SetDecodeThreads(uint8_t(i + 1));
                testing::internal::CaptureStderr();
                SetCodecWarningStream(stderr);
                ok[i] = DecodeJpeg(jpg[i], v.bytes);
                SetCodecWarningStream(nullptr);
                warnings[i] = testing::internal::GetCapturedStderr();
                error[i] = jpg[i].LastError();
            }
            const std::string where = std::string(c.name) + ", " + v.name + " file of " + std::to_string(v.bytes.size());
            ASSERT_EQ(ok[1], ok[0]) << where;
            EXPECT_EQ(warnings[1], warnings[0]) << where;
            EXPECT_EQ(error[1], error[0]) << where;
            if (!ok[0]) continue;
            ASSERT_EQ(jpg[1].Height(), jpg[0].Height()) << where;
            const size_t rowBytes = size_t(jpg[0].Width()) * size_t(jpg[0].BitsPerPixel() / 8);
            int differing = 0;
            for (uint32_t y = 0; y < uint32_t(jpg[0].Height()); ++y)
                differing += memcmp(jpg[1].RowBits(y), jpg[0].RowBits(y), rowBytes) != 0;
            EXPECT_EQ(differing, 0) << where;
        }
    }
}

namespace {

// The include of a picture made the way the program makes it on two cores:
// the lower part decoded on a second thread and the tiles measured while the
// decode goes on, the lines made by two threads from small buffers (many
// bands, and lines of a band that outgrow its buffer).
std::string OverlappedInclude(ZtImage& image, const Bytes& bytes, bool* loaded) {
    TileRowMeasurer measurer;
    image.SetRowObserver(&measurer);
    image.SetDecodeThreads(2);
    *loaded = zt_test::DecodeBytes(image, bytes, ImageFormat::Jpeg);
    image.SetRowObserver(nullptr);
    MeasuredTiles measured;
    if (!*loaded || !measurer.TakeMeasured(image, measured)) return "no counts";
    std::string text;
    ArtOutput out([&text](const char* data, size_t size) {
        text.append(data, size);
        return true;
    }, 4096);
    return WriteImageArt(image, "art", out, &measured, 2) == WriteResult::Ok ? text : "write failed";
}

// Decoding, measuring and writing side by side give the very include of the
// one-thread road, for whole files and for files cut anywhere in their second
// half (whose missing lines libjpeg fills), in colour and grey.
TEST(JpegDecoder, OverlappedConversionGivesTheSequentialInclude) {
    // Both are large enough for the measuring thread to take them.
    EncodeSpec grey = Photo(1024, 1040, 85);
    grey.components = 1;
    grey.input = grey.stored = JCS_GRAYSCALE;
    grey.samples.resize(1024 * 1040);
    const Bytes files[] = {Encode(Photo(1201, 903, 90)), Encode(grey)};
    for (const Bytes& whole : files)
        for (const size_t tenths : {10, 9, 7, 5}) {
            const Bytes bytes(whole.begin(), whole.begin() + long(whole.size() * tenths / 10));
            ZtImage plain;
            ASSERT_TRUE(zt_test::DecodeBytes(plain, bytes, ImageFormat::Jpeg));
            const std::string sequential = ArtIncludeText(plain, "art");
            ZtImage overlapped;
            bool loaded = false;
            const std::string text = OverlappedInclude(overlapped, bytes, &loaded);
            ASSERT_TRUE(loaded) << tenths;
            EXPECT_EQ(text, sequential) << "cut at " << tenths << "/10";
        }
}

}  // namespace
