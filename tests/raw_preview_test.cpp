// Camera RAW files converted from their embedded JPEG previews: TIFF-based,
// CIFF and RAF files built here with previews of known colours (and broken
// ones), and the corpus files against exiftool's extraction decoded by djpeg
// (tests/data/raw_preview_reference.tsv, scripts/reference/raw_preview_reference.py).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

#include "codecs/adapters/raw.h"
#include "image/zt_file.h"
#include "tests/raw_tiff_fixture.h"
#include "tests/test_support.h"

namespace {

using namespace raw_fixture;

constexpr uint32_t kRed = 0xE01010, kBlue = 0x1010E0, kGreen = 0x10E010, kGrey = 0x808080;

// A JPEG of flat 8 x 8 blocks, colours (0xRRGGBB) left to right, top down.
Bytes Jpeg(int across, int down, const std::vector<uint32_t>& colours) {
    const int width = 8 * across, height = 8 * down;
    Bytes rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint32_t c = colours[size_t(y / 8 * across + x / 8)];
            rgb.insert(rgb.end(), {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
        }
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = rgb.data() + size_t(cinfo.next_scanline) * size_t(width) * 3;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes result(out, out + size);
    free(out);
    return result;
}

// Offset of the JPEG's frame header marker (FF Cn).
size_t FrameAt(const Bytes& jpeg) {
    for (size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) return i;
    return 0;
}

// A NIKON D70 file whose raw data (Nikon's compression 34713) is not decoded
// here: a 64 x 48 sensor, a preview in IFD0 through JPEGInterchangeFormat
// and one in a sub-IFD as a single strip, found in that order. subIfdAt
// replaces the sub-IFD's place (8 makes a loop back to IFD0); small's length
// may be claimed larger than it is.
Bytes Nef(const Bytes& small, const Bytes& large, int orientation, uint32_t subIfdAt = 0, uint32_t claimed = 0) {
    const auto build = [&](uint32_t sub, uint32_t smallAt) {
        TiffBuilder t;
        t.Text(271, "NIKON CORPORATION");
        t.Text(272, "NIKON D70");
        t.Longs(256, {64});
        t.Longs(257, {48});
        t.Shorts(258, {12});
        t.Shorts(259, {34713});
        t.Shorts(274, {uint32_t(orientation)});
        t.Shorts(277, {1});
        t.Longs(330, {sub});
        t.Longs(513, {smallAt});
        t.Longs(514, {claimed ? claimed : uint32_t(small.size())});
        return t.Build({Bytes(64 * 48 * 3 / 2, 0x5A)});
    };
    const uint32_t subAt = uint32_t(build(0, 0).size());
    const uint32_t largeAt = subAt + 2 + 3 * 12 + 4, smallAt = largeAt + uint32_t(large.size());
    Bytes file = build(subIfdAt ? subIfdAt : subAt, smallAt);
    Put16(file, 3);
    for (const auto& [tag, value] : std::vector<std::pair<uint16_t, uint32_t>>{
             {259, 7}, {273, largeAt}, {279, uint32_t(large.size())}}) {
        Put16(file, tag);
        Put16(file, 4);
        Put32(file, 1);
        Put32(file, value);
    }
    Put32(file, 0);
    file.insert(file.end(), large.begin(), large.end());
    file.insert(file.end(), small.begin(), small.end());
    return file;
}

// A CIFF file of Canon's PowerShot S40 whose heap holds the camera's name
// and its JPEG records (0x2007 image, 0x2008 thumbnail), in that order.
Bytes Crw(const Bytes& image, const Bytes& thumbnail) {
    Bytes file = {'I', 'I'};
    Put32(file, 26);
    for (char ch : std::string("HEAPCCDR")) file.push_back(uint8_t(ch));
    Put32(file, 0x00010002);
    file.resize(26, 0);
    const std::string names = std::string("Canon") + '\0' + "Canon PowerShot S40" + '\0';
    Bytes heap(names.begin(), names.end());
    struct Record {
        uint16_t type;
        const Bytes* data;
    };
    std::vector<std::pair<uint16_t, std::pair<uint32_t, uint32_t>>> records = {
        {0x080A, {0, uint32_t(names.size())}}};
    for (const Record& r : {Record{0x2007, &image}, Record{0x2008, &thumbnail}}) {
        records.push_back({r.type, {uint32_t(heap.size()), uint32_t(r.data->size())}});
        heap.insert(heap.end(), r.data->begin(), r.data->end());
    }
    const uint32_t table = uint32_t(heap.size());
    Put16(heap, uint32_t(records.size()));
    for (const auto& [type, place] : records) {
        Put16(heap, type);
        Put32(heap, place.second);
        Put32(heap, place.first);
    }
    Put32(heap, table);
    file.insert(file.end(), heap.begin(), heap.end());
    return file;
}

// A Fujifilm RAF header naming its JPEG (offset at 84, length at 88), with
// no record table and no raw data the engine reads.
Bytes Raf(const Bytes& jpeg) {
    Bytes file(160, 0);
    memcpy(file.data(), "FUJIFILMCCD-RAW 0201FF383501", 28);
    memcpy(file.data() + 28, "FinePix S5Pro", 13);
    const auto put = [&](size_t at, uint32_t v) {
        Bytes b;
        Put32(b, v, true);
        std::copy(b.begin(), b.end(), file.begin() + long(at));
    };
    put(84, 160);
    put(88, uint32_t(jpeg.size()));
    put(92, 156);  // an empty record table
    file.insert(file.end(), jpeg.begin(), jpeg.end());
    return file;
}

struct Decoded {
    bool ok = false;
    std::string error, stderrText;
    int width = 0, height = 0;
    // Colours at the top-left and bottom-right corners, 0xRRGGBB.
    uint32_t topLeft = 0, bottomRight = 0;
};

Decoded Decode(const Bytes& file, uint32_t option = 0, bool sizeOnly = false) {
    ZtImageRAW img;
    img.SetDecoderOption(option, ImageFormat::CameraRaw);
    if (sizeOnly) img.SetAbortCode(-1);
    ZtMemFile stream(file.data(), file.size());
    testing::internal::CaptureStderr();
    Decoded d;
    d.ok = img.Decode(&stream);
    d.stderrText = testing::internal::GetCapturedStderr();
    d.error = img.LastError();
    d.width = img.Width();
    d.height = img.Height();
    if (d.ok && img.HasPixels()) {
        const auto rgb = [](ZtQuad q) { return uint32_t(q.red) << 16 | uint32_t(q.green) << 8 | q.blue; };
        d.topLeft = rgb(img.ColorAt(0, img.Height() - 1, false));
        d.bottomRight = rgb(img.ColorAt(img.Width() - 1, 0, false));
    }
    return d;
}

// JPEG's lossy coding moves flat colours a little.
bool Near(uint32_t a, uint32_t b) {
    for (int shift = 0; shift < 24; shift += 8)
        if (std::abs(int(a >> shift & 0xFF) - int(b >> shift & 0xFF)) > 12) return false;
    return true;
}

TEST(RawPreview, LargestPreviewTurnedByTheFilesOrientation) {
    const Bytes small = Jpeg(1, 1, {kGreen});
    const Bytes large = Jpeg(2, 1, {kRed, kBlue});  // 16 x 8, red on the left
    struct Case {
        int orientation, width, height;
        uint32_t topLeft, bottomRight;
    };
    for (const Case& c : {Case{1, 16, 8, kRed, kBlue}, Case{3, 16, 8, kBlue, kRed}, Case{6, 8, 16, kRed, kBlue},
                          Case{8, 8, 16, kBlue, kRed}, Case{2, 16, 8, kBlue, kRed}}) {
        const Decoded d = Decode(Nef(small, large, c.orientation));
        ASSERT_TRUE(d.ok) << c.orientation << ": " << d.error;
        EXPECT_EQ(d.width, c.width) << c.orientation;
        EXPECT_EQ(d.height, c.height) << c.orientation;
        EXPECT_TRUE(Near(d.topLeft, c.topLeft)) << c.orientation << " " << std::hex << d.topLeft;
        EXPECT_TRUE(Near(d.bottomRight, c.bottomRight)) << c.orientation << " " << std::hex << d.bottomRight;
        EXPECT_EQ(d.stderrText, "camera raw data of NIKON D70 is not decoded here; converting the camera's embedded "
                                "preview (" + std::to_string(c.width) + " x " + std::to_string(c.height) + ")\n");
        // The dimensions pass gives the same, turned size.
        const Decoded size = Decode(Nef(small, large, c.orientation), 0, true);
        EXPECT_TRUE(size.ok);
        EXPECT_EQ(size.width, c.width);
        EXPECT_EQ(size.height, c.height);
    }
}

TEST(RawPreview, ChoiceAmongPreviews) {
    const Bytes redBlue = Jpeg(2, 1, {kRed, kBlue}), greyGrey = Jpeg(2, 1, {kGrey, kGrey});
    const Bytes portrait = Jpeg(1, 2, {kRed, kBlue});  // 8 x 16: stored turned already
    Bytes broken = Jpeg(4, 1, {kRed, kRed, kRed, kRed});
    // After a valid frame header, a marker libjpeg refuses.
    const size_t frame = FrameAt(broken);
    broken.insert(broken.begin() + long(frame + 2 + (broken[frame + 2] << 8 | broken[frame + 3])), {0xFF, 0xFD});
    struct Case {
        const char* what;
        Bytes file;
        int width, height;
        uint32_t topLeft;
    };
    const Case cases[] = {
        {"equal sizes: the first found", Nef(greyGrey, redBlue, 1), 16, 8, kGrey},
        {"a turned preview is not turned twice", Nef(Jpeg(1, 1, {kGreen}), portrait, 6), 8, 16, kRed},
        {"a broken preview gives way to the next", Nef(greyGrey, broken, 1), 16, 8, kGrey},
        {"a sub-IFD loop back to IFD0", Nef(redBlue, Jpeg(1, 1, {kGreen}), 1, 8), 16, 8, kRed},
        {"CIFF: the JPEG image record over the thumbnail", Crw(redBlue, Jpeg(1, 1, {kGreen})), 16, 8, kRed},
        {"RAF: the header's JPEG", Raf(redBlue), 16, 8, kRed},
    };
    for (const Case& c : cases) {
        const Decoded d = Decode(c.file);
        ASSERT_TRUE(d.ok) << c.what << ": " << d.error;
        EXPECT_EQ(d.width, c.width) << c.what;
        EXPECT_EQ(d.height, c.height) << c.what;
        EXPECT_TRUE(Near(d.topLeft, c.topLeft)) << c.what << " " << std::hex << d.topLeft;
    }
}

TEST(RawPreview, UnusablePreviewsKeepTheMessage) {
    const Bytes good = Jpeg(1, 1, {kGreen});
    Bytes lossless = good, huge = good, notJpeg = good, twelveBit = good;
    const size_t frame = FrameAt(good);
    lossless[frame + 1] = 0xC3;  // a lossless frame: the JPEG adapter's library does not read it
    twelveBit[frame + 4] = 12;   // 12-bit samples
    for (size_t i : {frame + 5, frame + 6, frame + 7, frame + 8}) huge[i] = 0xFF;  // 65535 x 65535 passes the ceiling
    notJpeg[0] = 0;
    const Bytes none;
    struct Case {
        const char* what;
        Bytes file;
    };
    const Case cases[] = {
        {"lossless frame", Nef(lossless, none, 1)},
        {"12-bit frame", Nef(twelveBit, none, 1)},
        {"size past the memory ceiling", Nef(huge, none, 1)},
        {"no start-of-image marker", Nef(notJpeg, none, 1)},
        {"length past the end of the file", Nef(good, none, 1, 0, uint32_t(good.size()) + 1)},
        {"a file that is itself a JPEG", good},
    };
    for (const Case& c : cases) {
        const Decoded d = Decode(c.file);
        EXPECT_FALSE(d.ok) << c.what;
        EXPECT_EQ(d.error, "ZtImageRAW: not a raw image") << c.what;
        EXPECT_EQ(d.stderrText, "") << c.what;
    }
}

TEST(RawPreview, OptionPrefersThePreviewOfADecodableFile) {
    // 16-bit samples, one word each: the engine decodes this file.
    TiffBuilder t;
    t.Text(271, "NIKON CORPORATION");
    t.Text(272, "NIKON D70");
    t.Longs(256, {64});
    t.Longs(257, {48});
    t.Shorts(258, {16});
    t.Shorts(259, {1});
    t.Shorts(277, {1});
    const Bytes preview = Jpeg(2, 1, {kRed, kBlue});
    t.Longs(513, {0});
    t.Longs(514, {uint32_t(preview.size())});
    t.Longs(513, {uint32_t(t.Build({Words(64, 48)}).size())});  // the preview follows the file
    Bytes file = t.Build({Words(64, 48)});
    file.insert(file.end(), preview.begin(), preview.end());

    const Decoded raw = Decode(file);
    ASSERT_TRUE(raw.ok) << raw.error;
    EXPECT_EQ(raw.width, 64);
    EXPECT_EQ(raw.height, 48);
    const Decoded asked = Decode(file, ZtImageRAW::kOptionEmbeddedPreview);
    ASSERT_TRUE(asked.ok) << asked.error;
    EXPECT_EQ(asked.width, 16);
    EXPECT_TRUE(Near(asked.topLeft, kRed));
    EXPECT_EQ(asked.stderrText, "");  // nothing to explain: the raw data would decode
    // Demosaicing bits and the option together; without a preview the raw data decodes.
    TiffBuilder plain = t;
    plain.fields.erase(513);
    plain.fields.erase(514);
    const Decoded fallback = Decode(plain.Build({Words(64, 48)}), ZtImageRAW::kOptionEmbeddedPreview | 3);
    ASSERT_TRUE(fallback.ok) << fallback.error;
    EXPECT_EQ(fallback.width, 64);
}

// The corpus files against the previews exiftool extracts, decoded by djpeg.
TEST(RawPreview, CorpusMatchesExtractedPreviews) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not present; RAW preview references skipped";
    const auto rows =
        zt_test::LoadCorpusReferences(std::string(ZENT_SOURCE_DIR) + "/tests/data/raw_preview_reference.tsv");
    ASSERT_EQ(rows.size(), 5u);
    for (const auto& r : rows) {
        ZtImageRAW img;
        if (r.expect == "raw-preview") img.SetDecoderOption(ZtImageRAW::kOptionEmbeddedPreview, ImageFormat::CameraRaw);
        const Bytes bytes = zt_test::ReadFileBytes(corpus + "/" + r.path);
        ZtMemFile stream(bytes.data(), bytes.size());
        testing::internal::CaptureStderr();
        const bool ok = img.Decode(&stream);
        const std::string notice = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ok) << r.path << ": " << img.LastError();
        EXPECT_TRUE(zt_test::MatchesReference(img, r)) << r.path;
        EXPECT_EQ(notice.find("is not decoded here; converting the camera's embedded preview") != std::string::npos,
                  r.expect == "fallback")
            << r.path << ": " << notice;
    }
    // Previews that are stubs of a few bytes (metadata test files), that lie
    // past the end of a cut file, or whose JPEG our adapter refuses (an
    // unsupported marker): today's message.
    for (const char* path : {"raw/exiftool/Nikon.nef", "raw/exiftool/CanonRaw.crw", "raw/exiftool/Sigma.x3f",
                             "raw/exif-py/sony_alpha_a7iii_raw_image.ARW", "raw/exiv2/IMG_1361.dng",
                             "raw/exiv2-poc/issue_841_poc.crw"}) {
        ZtImageRAW img;
        const Bytes bytes = zt_test::ReadFileBytes(corpus + "/" + path);
        ZtMemFile stream(bytes.data(), bytes.size());
        testing::internal::CaptureStderr();
        EXPECT_FALSE(img.Decode(&stream)) << path;
        testing::internal::GetCapturedStderr();
        EXPECT_STREQ(img.LastError(), "ZtImageRAW: not a raw image") << path;
    }
}

}  // namespace
