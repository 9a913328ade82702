// EXIF reader: the section scan, frame header, comment, EXIF block and its
// directories, on streams built byte by byte.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/adapters/exif.h"
#include "exif_fixture.h"
#include "image/zt_file.h"

using zt_test::ExifPayload;
using zt_test::FramePayload;
using zt_test::Section;
using zt_test::TiffBlock;

namespace {

using Bytes = std::vector<uint8_t>;

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// SOI, the given sections, a 3-component SOF0 (40 x 30) and a start of scan.
Bytes Stream(const Bytes& sections) {
    Bytes s = {0xFF, 0xD8};
    Append(s, sections);
    Append(s, Section(0xC0, FramePayload(40, 30, 3)));
    Append(s, Section(0xDA, {1, 1, 0, 0, 63, 0}));
    Append(s, {0x12, 0x34});  // scan data the reader never touches
    return s;
}

struct Scan {
    ExifRecord record{};
    ZtExifReader reader{&record};
    bool result = false;
    std::string printed;
};

void ScanBytes(Scan& scan, const Bytes& bytes) {
    ZtMemFile stream(bytes.data(), bytes.size());
    testing::internal::CaptureStdout();
    scan.result = scan.reader.ScanSections(&stream, ZtExifReader::kReadExif);
    scan.printed = testing::internal::GetCapturedStdout();
}

Bytes ExifSection(const TiffBlock& block) { return Section(0xE1, ExifPayload(block.bytes)); }

// A block whose first directory (at 8) holds the given entries.
TiffBlock BlockWith(const std::vector<TiffBlock::Entry>& entries, bool big = false) {
    TiffBlock b(big);
    const uint32_t dir = b.ReserveDirectory(entries.size());
    b.WriteDirectory(dir, entries, 0);
    return b;
}

}  // namespace

TEST(ExifReader, PlainJpegGivesFrameSizeAndNoExif) {
    Scan s;
    ScanBytes(s, Stream(Section(0xE0, {'J', 'F', 'I', 'F', 0, 1, 2, 0, 0, 1, 0, 1, 0, 0})));
    EXPECT_TRUE(s.result);
    EXPECT_FALSE(s.record.isExif);
    EXPECT_EQ(s.record.frameWidth, 40);
    EXPECT_EQ(s.record.frameHeight, 30);
    EXPECT_EQ(s.record.isColour, 1);
    EXPECT_EQ(s.record.frameMarker, 0xC0);
    // APP0 is dropped; SOF and SOS are kept.
    ASSERT_EQ(s.reader.SectionCount(), 2);
    EXPECT_EQ(s.reader.SectionMarker(0), 0xC0);
    EXPECT_EQ(s.reader.SectionMarker(1), 0xDA);
    EXPECT_EQ(s.reader.SectionSize(1), 8);
    EXPECT_STREQ(s.reader.ErrorText(), "");
}

TEST(ExifReader, StreamWithoutSoiFailsAtOnce) {
    Scan s;
    ScanBytes(s, {0xFF, 0xD9, 0xFF, 0xD8});
    EXPECT_FALSE(s.result);
    EXPECT_STREQ(s.reader.ErrorText(), "");
    EXPECT_EQ(s.reader.SectionCount(), 0);
}

TEST(ExifReader, SixPaddingBytesPassSevenDoNot) {
    Bytes six = {0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    Append(six, {0xFE, 0x00, 0x04, 'h', 'i'});
    Bytes sixStream = six;
    Append(sixStream, Section(0xDA, {0}));
    Scan ok;
    ScanBytes(ok, sixStream);
    EXPECT_TRUE(ok.result);
    EXPECT_STREQ(ok.record.comment, "hi");

    Bytes seven = {0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x04, 'h', 'i'};
    Scan bad;
    ScanBytes(bad, seven);
    EXPECT_FALSE(bad.result);
    EXPECT_EQ(bad.printed, "too many padding bytes\n");
    EXPECT_STREQ(bad.reader.ErrorText(), "");
}

TEST(ExifReader, ShortLengthsAndEndsOfStream) {
    for (uint8_t len : {0, 1}) {
        Scan s;
        ScanBytes(s, {0xFF, 0xD8, 0xFF, 0xE5, 0x00, len, 0, 0});
        EXPECT_FALSE(s.result);
        EXPECT_STREQ(s.reader.ErrorText(), "invalid marker") << int(len);
    }
    Scan end;  // the stream ends where a marker should be
    ScanBytes(end, {0xFF, 0xD8});
    EXPECT_FALSE(end.result);
    EXPECT_STREQ(end.reader.ErrorText(), "invalid marker");

    Scan cut;  // a section longer than the rest of the stream
    ScanBytes(cut, {0xFF, 0xD8, 0xFF, 0xE5, 0x00, 0x10, 1, 2, 3});
    EXPECT_FALSE(cut.result);
    EXPECT_STREQ(cut.reader.ErrorText(), "Premature end of file?");
    EXPECT_EQ(cut.reader.SectionCount(), 0);

    Scan eoi;
    ScanBytes(eoi, {0xFF, 0xD8, 0xFF, 0xD9, 0x00, 0x02});
    EXPECT_FALSE(eoi.result);
    EXPECT_EQ(eoi.printed, "No image in jpeg!\n");
}

TEST(ExifReader, TwentySectionsAreTooManyButDroppedOnesDoNotCount) {
    Bytes many;
    for (int i = 0; i < 20; ++i) Append(many, Section(0xDB, {uint8_t(i)}));
    Scan s;
    ScanBytes(s, Stream(many));
    EXPECT_FALSE(s.result);
    EXPECT_STREQ(s.reader.ErrorText(), "Too many sections in jpg file");
    EXPECT_EQ(s.reader.SectionCount(), 20);

    // 17 kept tables + SOF + SOS = 19, with APP0s, a non-EXIF APP1 and a
    // second comment dropped along the way.
    Bytes mixed;
    for (int i = 0; i < 17; ++i) {
        Append(mixed, Section(0xDB, {uint8_t(i)}));
        Append(mixed, Section(0xE0, {'J'}));
    }
    Append(mixed, Section(0xE1, {'h', 't', 't', 'p'}));
    Append(mixed, Section(0xFE, {'o', 'n', 'e'}));
    Append(mixed, Section(0xFE, {'t', 'w', 'o'}));
    Scan m;
    ScanBytes(m, Stream(mixed));
    EXPECT_TRUE(m.result);
    EXPECT_EQ(m.reader.SectionCount(), 20);  // 17 + comment + SOF + SOS
    EXPECT_STREQ(m.record.comment, "one");
}

TEST(ExifReader, ShortFrameHeaderIsSkipped) {
    Bytes s = {0xFF, 0xD8};
    Append(s, Section(0xC2, {8, 0, 5, 0}));  // 6 bytes: no width, no component count
    Append(s, Section(0xDA, {0}));
    Scan scan;
    ScanBytes(scan, s);
    EXPECT_TRUE(scan.result);
    EXPECT_EQ(scan.record.frameHeight, 0);
    EXPECT_EQ(scan.record.frameMarker, 0);

    Bytes grey = {0xFF, 0xD8};
    Append(grey, Section(0xC2, FramePayload(7, 9, 1)));
    Append(grey, Section(0xDA, {0}));
    Scan g;
    ScanBytes(g, grey);
    EXPECT_EQ(g.record.frameWidth, 7);
    EXPECT_EQ(g.record.frameHeight, 9);
    EXPECT_EQ(g.record.isColour, 0);
    EXPECT_EQ(g.record.frameMarker, 0xC2);
}

TEST(ExifReader, CommentIsCleanedAndCapped) {
    Scan s;
    ScanBytes(s, Stream(Section(0xFE, {'a', '\r', '\n', 'b', '\r', 'c', '\t', 0x01, 0x80, '~'})));
    EXPECT_STREQ(s.record.comment, "a\nb?c\t??~");

    Bytes longText(1200, 'x');
    Scan l;
    ScanBytes(l, Stream(Section(0xFE, longText)));
    EXPECT_EQ(strlen(l.record.comment), 998u);
}

TEST(ExifReader, HeaderChecksOfTheExifBlock) {
    struct Case {
        Bytes payload;
        const char* text;
    } cases[] = {
        {{'E', 'x', 'i', 'f', 0, 1, 'I', 'I', 42, 0, 8, 0, 0, 0}, "Incorrect Exif header"},
        {{'E', 'x', 'i', 'f', 0, 0, 'I', 'M', 42, 0, 8, 0, 0, 0}, "Invalid Exif alignment marker."},
        {{'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 42, 0, 0, 0, 0, 8}, "Invalid Exif start (1)"},
        {{'E', 'x', 'i', 'f', 0, 0, 'I', 'I'}, "Invalid Exif start (1)"},
        {{'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0}, "Illegally sized directory"},
        {{'E', 'x', 'i', 'f', 0}, "Incorrect Exif header"},
    };
    for (const Case& c : cases) {
        Scan s;
        ScanBytes(s, Stream(Section(0xE1, c.payload)));
        EXPECT_TRUE(s.result);  // a bad block does not stop the scan
        EXPECT_FALSE(s.record.isExif);
        EXPECT_STREQ(s.reader.ErrorText(), c.text);
    }
}

TEST(ExifReader, TagsInBothByteOrders) {
    for (bool big : {false, true}) {
        TiffBlock b(big);
        const uint32_t dir = b.ReserveDirectory(10);
        std::vector<TiffBlock::Entry> e = {
            b.AsciiEntry(0x010F, "Maker"),
            b.AsciiEntry(0x0110, "A model name longer than thirty-nine characters"),
            b.ShortEntry(0x0112, 6),
            b.RationalEntry(0x011A, 300, 1),
            b.RationalEntry(0x011B, 150, 2),
            b.ShortEntry(0x0128, 2),
            b.ShortEntry(0x8827, 2),
            b.RationalEntry(0x829D, 28, 10),
            b.ShortEntry(0x9209, 0x19),
            TiffBlock::Entry{0x9204, 10, 1, b.AddRational(uint32_t(-1), 3)},
        };
        b.WriteDirectory(dir, e, 0);
        Scan s;
        ScanBytes(s, Stream(ExifSection(b)));
        ASSERT_TRUE(s.record.isExif) << big;
        EXPECT_EQ(s.reader.BigEndian(), big);
        EXPECT_STREQ(s.record.make, "Maker");
        EXPECT_STREQ(s.record.model, "A model name longer than thirty-nine ch");
        EXPECT_EQ(s.record.exifOrientation, 6);
        EXPECT_FLOAT_EQ(s.record.xResolution, 300.0f);
        EXPECT_FLOAT_EQ(s.record.yResolution, 75.0f);
        EXPECT_FLOAT_EQ(s.record.resolutionUnitFactor, 1.0f);
        EXPECT_EQ(s.record.isoSpeed, 400);  // below 50: times 200
        EXPECT_FLOAT_EQ(s.record.fNumber, 2.8f);
        EXPECT_EQ(s.record.flashFired, 1);
        EXPECT_FLOAT_EQ(s.record.exposureBias, -1.0f / 3.0f);
    }
}

TEST(ExifReader, OrientationNineIsDroppedAndTheRestStillRead) {
    TiffBlock b;
    const uint32_t dir = b.ReserveDirectory(3);
    b.WriteDirectory(dir, {b.ShortEntry(0x0112, 9), b.ShortEntry(0x8827, 100),
                           b.AsciiEntry(0x9000, "0230")}, 0);
    Scan s;
    ScanBytes(s, Stream(ExifSection(b)));
    EXPECT_TRUE(s.record.isExif);
    EXPECT_EQ(s.record.exifOrientation, 0);
    EXPECT_STREQ(s.reader.ErrorText(), "Undefined rotation value");
    EXPECT_EQ(s.record.isoSpeed, 100);
    EXPECT_STREQ(s.record.exifVersion, "0230");
}

TEST(ExifReader, ApexValuesAndUnitFactors) {
    TiffBlock b;
    const uint32_t dir = b.ReserveDirectory(8);
    b.WriteDirectory(dir, {
        TiffBlock::Entry{0x9201, 10, 1, b.AddRational(8, 1)},  // 2^-8 s
        b.RationalEntry(0x9202, 4, 1),                         // f/4
        b.RationalEntry(0x011A, 100, 1),
        b.ShortEntry(0x0128, 3),  // centimetres
        b.LongEntry(0xA002, 3000),
        b.LongEntry(0xA003, 2000),
        b.RationalEntry(0xA20E, 1000, 1),
        b.ShortEntry(0xA210, 4),  // millimetres
    }, 0);
    Scan s;
    ScanBytes(s, Stream(ExifSection(b)));
    ASSERT_TRUE(s.record.isExif);
    EXPECT_FLOAT_EQ(s.record.exposureTime, 0.00390625f);
    EXPECT_FLOAT_EQ(s.record.fNumber, 4.0f);
    EXPECT_EQ(s.record.resolutionUnitFactor, 0.3937007784843445f);
    EXPECT_EQ(s.record.focalPlaneUnitFactor, 0.03937007859349251f);
    // 0.03937 * 3000 / 1000 inches
    EXPECT_FLOAT_EQ(s.record.sensorWidthInches, 0.11811024f);
}

TEST(ExifReader, ExposureTimeTagWinsOverShutterSpeed) {
    TiffBlock b;
    const uint32_t dir = b.ReserveDirectory(2);
    b.WriteDirectory(dir, {b.RationalEntry(0x829A, 1, 60), b.RationalEntry(0x9201, 8, 1)}, 0);
    Scan s;
    ScanBytes(s, Stream(ExifSection(b)));
    EXPECT_FLOAT_EQ(s.record.exposureTime, 1.0f / 60.0f);
}

TEST(ExifReader, SubDirectoriesAndNestingDepth) {
    // IFD0 -> EXIF IFD -> four more levels by the same tag: the sixth level
    // fails with the nesting message, its parent carries on.
    TiffBlock b;
    uint32_t dirs[6];
    for (uint32_t& d : dirs) d = b.ReserveDirectory(2);
    for (int i = 0; i < 6; ++i) {
        std::vector<TiffBlock::Entry> e = {b.LongEntry(0x8827, uint32_t(100 + i))};
        if (i < 5) e.push_back(TiffBlock::Entry{0x8769, 4, 1, dirs[i + 1]});
        b.WriteDirectory(dirs[i], e, 0);
    }
    Scan s;
    ScanBytes(s, Stream(ExifSection(b)));
    EXPECT_TRUE(s.record.isExif);
    EXPECT_EQ(s.record.isoSpeed, 104);  // levels 0..4 were read, level 5 was not
    EXPECT_STREQ(s.reader.ErrorText(), "Maximum directory nesting exceeded (corrupt exif header)");
}

TEST(ExifReader, BadLinksAndOffsets) {
    {  // a sub-directory link beyond the block fails the directory
        TiffBlock b = BlockWith({TiffBlock::Entry{0x8769, 4, 1, 5000}});
        Scan s;
        ScanBytes(s, Stream(ExifSection(b)));
        EXPECT_FALSE(s.record.isExif);
        EXPECT_STREQ(s.reader.ErrorText(), "Illegal subdirectory link");
    }
    {  // links of 8 or less are ignored
        TiffBlock b = BlockWith({TiffBlock::Entry{0xA005, 4, 1, 4}});
        Scan s;
        ScanBytes(s, Stream(ExifSection(b)));
        EXPECT_TRUE(s.record.isExif);
    }
    {  // a count whose byte size wraps 32 bits must not pass the bounds check
        TiffBlock b = BlockWith({TiffBlock::Entry{0x010F, 12, 0x20000001, 8}});
        Scan s;
        ScanBytes(s, Stream(ExifSection(b)));
        EXPECT_FALSE(s.record.isExif);
        EXPECT_STREQ(s.reader.ErrorText(), "Illegal pointer offset value in EXIF.");
    }
    {
        TiffBlock b = BlockWith({TiffBlock::Entry{0x010F, 13, 1, 0}});
        Scan s;
        ScanBytes(s, Stream(ExifSection(b)));
        EXPECT_STREQ(s.reader.ErrorText(), "Illegal format code in EXIF dir");
    }
    {  // an entry count that runs past the block
        TiffBlock b;
        b.Put16(8, 500);
        b.Put32(10, 0);
        Scan s;
        ScanBytes(s, Stream(ExifSection(b)));
        EXPECT_FALSE(s.record.isExif);
        EXPECT_STREQ(s.reader.ErrorText(), "Illegally sized directory");
    }
    {  // the next-directory link past the block fails; its four bytes missing count as 0
        TiffBlock b = BlockWith({TiffBlock().ShortEntry(0x0112, 3)});
        b.Put32(8 + 2 + 12, 0x7FFF);
        Scan s;
        ScanBytes(s, Stream(ExifSection(b)));
        EXPECT_FALSE(s.record.isExif);
        EXPECT_STREQ(s.reader.ErrorText(), "Illegal subdirectory link");

        TiffBlock cut = BlockWith({TiffBlock().ShortEntry(0x0112, 3)});
        cut.bytes.resize(cut.bytes.size() - 4);  // the block ends after the entries
        Scan c;
        ScanBytes(c, Stream(ExifSection(cut)));
        EXPECT_TRUE(c.record.isExif);
        EXPECT_EQ(c.record.exifOrientation, 3);
    }
}

TEST(ExifReader, ChainedDirectoryAndThumbnailBounds) {
    TiffBlock b;
    const uint32_t ifd0 = b.ReserveDirectory(1);
    const uint32_t ifd1 = b.ReserveDirectory(2);
    const uint32_t thumb = b.AddData({0xFF, 0xD8, 0xFF, 0xD9});
    b.WriteDirectory(ifd0, {b.ShortEntry(0x0112, 1)}, ifd1);
    b.WriteDirectory(ifd1, {b.LongEntry(0x0201, thumb), b.LongEntry(0x0202, 4)}, 0);
    Scan s;
    ScanBytes(s, Stream(ExifSection(b)));
    ASSERT_TRUE(s.record.isExif);
    ASSERT_NE(s.record.thumbnail, nullptr);
    EXPECT_EQ(s.record.thumbnailSize, 4u);
    EXPECT_EQ(s.record.thumbnail[1], 0xD8);
    EXPECT_EQ(s.record.thumbnail[3], 0xD9);

    TiffBlock over;
    const uint32_t d = over.ReserveDirectory(2);
    const uint32_t t = over.AddData({1, 2, 3, 4});
    over.WriteDirectory(d, {over.LongEntry(0x0201, t), over.LongEntry(0x0202, 5)}, 0);
    Scan o;
    ScanBytes(o, Stream(ExifSection(over)));
    EXPECT_TRUE(o.record.isExif);
    EXPECT_EQ(o.record.thumbnail, nullptr);
    EXPECT_EQ(o.record.thumbnailSize, 0u);
}

TEST(ExifReader, UserCommentForms) {
    struct Case {
        Bytes value;
        const char* comment;
    } cases[] = {
        {{'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'H', 'e', 'l', 'l', 'o', ' ', ' ', ' '}, "Hello"},
        // No text in positions 5 to 9: the comment stays as the first tag left it.
        {{'A', 'S', 'C', 'I', 'I', ' ', ' ', ' ', ' ', ' ', 'X'}, "First"},
        {{'P', 'l', 'a', 'i', 'n', ' ', 't', 'e', 'x', 't', ' '}, "Plain text"},
    };
    for (const Case& c : cases) {
        TiffBlock b;
        const uint32_t d = b.ReserveDirectory(2);
        b.WriteDirectory(d, {b.UndefinedEntry(0x9286, {'F', 'i', 'r', 's', 't', 0}),
                             b.UndefinedEntry(0x9286, c.value)}, 0);
        Scan s;
        ScanBytes(s, Stream(ExifSection(b)));
        EXPECT_TRUE(s.record.isExif);
        EXPECT_STREQ(s.record.comment, c.comment);
    }
    // A comment section before the EXIF block is dropped by the block.
    Bytes first = Section(0xFE, {'e', 'a', 'r', 'l', 'y'});
    Append(first, ExifSection(BlockWith({TiffBlock().ShortEntry(0x0112, 1)})));
    Scan e;
    ScanBytes(e, Stream(first));
    EXPECT_STREQ(e.record.comment, "");
}

TEST(ExifReader, FanOutOfLinksStaysBounded) {
    // One directory of 400 entries all linking back to itself: without a
    // bound this is 400^5 directory visits.
    TiffBlock b;
    const uint32_t ifd0 = b.ReserveDirectory(1);
    const uint32_t d = b.ReserveDirectory(400);
    b.WriteDirectory(ifd0, {TiffBlock::Entry{0x8769, 4, 1, d}}, 0);
    std::vector<TiffBlock::Entry> e(400, TiffBlock::Entry{0x8769, 4, 1, d});
    b.WriteDirectory(d, e, d);
    const auto start = std::chrono::steady_clock::now();
    Scan s;
    ScanBytes(s, Stream(ExifSection(b)));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(s.result);
    EXPECT_LT(seconds, 2.0);
}

TEST(ExifReader, ConvertValueFormats) {
    ExifRecord rec{};
    ZtExifReader reader(&rec);  // little-endian until a block says otherwise
    const uint8_t v[8] = {0xFE, 0xFF, 0xFF, 0xFF, 0x04, 0x00, 0x00, 0x00};
    EXPECT_EQ(reader.ConvertValue(v, 1), 254.0);
    EXPECT_EQ(reader.ConvertValue(v, 6), -2.0);
    EXPECT_EQ(reader.ConvertValue(v, 3), 65534.0);
    EXPECT_EQ(reader.ConvertValue(v, 8), -2.0);
    EXPECT_EQ(reader.ConvertValue(v, 4), 4294967294.0);
    EXPECT_EQ(reader.ConvertValue(v, 9), -2.0);
    EXPECT_EQ(reader.ConvertValue(v, 5), -0.5);  // both rationals read signed
    EXPECT_EQ(reader.ConvertValue(v, 10), -0.5);
    EXPECT_EQ(reader.ConvertValue(v, 2), 0.0);
    EXPECT_EQ(reader.ConvertValue(v, 7), 0.0);
    const uint8_t zeroDen[8] = {5, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(reader.ConvertValue(zeroDen, 5), 0.0);
    const uint8_t f[4] = {0x00, 0x00, 0xC0, 0x3F};  // 1.5f
    EXPECT_EQ(reader.ConvertValue(f, 11), 1.5);
    const uint8_t d[8] = {0, 0, 0, 0, 0, 0, 0x04, 0x40};  // 2.5
    EXPECT_EQ(reader.ConvertValue(d, 12), 2.5);
}
