// WMF and EMF loader: header and size rules, and the record player's drawing
// model on small metafiles built by one builder; the shared corpus compared
// with thumbnails of independent renderings (scripts/reference/wmf_reference.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/builtin/wmf.h"
#include "codecs/metafile/records.h"
#include "image/zt_file.h"
#include "tests/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// Builds either kind of metafile: records are appended in order; Build puts
// the headers in front and the end-of-file record behind. WMF record values
// are 16-bit words, EMF values 32-bit, each in the order the file stores them.
class MetafileBuilder {
public:
    // A placeable Windows metafile with the given box and units per inch.
    static MetafileBuilder Placeable(int16_t l, int16_t t, int16_t r, int16_t b, uint16_t unitsPerInch = 1440) {
        MetafileBuilder m;
        m.enhanced_ = false;
        m.box_ = {l, t, r, b};
        m.unitsPerInch_ = unitsPerInch;
        return m;
    }
    // An enhanced metafile whose bounds and frame cover the same pixels
    // (reference device of 4 pixels per millimetre).
    static MetafileBuilder Enhanced(int32_t l, int32_t t, int32_t r, int32_t b) {
        MetafileBuilder m;
        m.enhanced_ = true;
        m.box_ = {l, t, r, b};
        return m;
    }

    MetafileBuilder& Rec(uint32_t type, const std::vector<int32_t>& values) {
        Bytes payload;
        for (int32_t v : values) enhanced_ ? Put32(payload, uint32_t(v)) : Put16(payload, uint32_t(v) & 0xFFFF);
        return Raw(type, payload);
    }
    MetafileBuilder& Raw(uint32_t type, const Bytes& payload) {
        Bytes padded = payload;
        while (padded.size() % (enhanced_ ? 4 : 2)) padded.push_back(0);
        if (enhanced_) {
            Put32(records_, type);
            Put32(records_, uint32_t(8 + padded.size()));
        } else {
            Put32(records_, uint32_t(3 + padded.size() / 2));
            Put16(records_, type);
        }
        records_.insert(records_.end(), padded.begin(), padded.end());
        return *this;
    }

    // Common records of both kinds.
    MetafileBuilder& SolidBrush(uint32_t colorRef) {
        return enhanced_ ? Rec(39, {nextObject_++, 0, int32_t(colorRef), 0}).Rec(37, {nextObject_ - 1})
                         : Rec(0x02FC, {0, int32_t(colorRef & 0xFFFF), int32_t(colorRef >> 16), 0})
                               .Rec(0x012D, {nextObject_++});
    }
    MetafileBuilder& SolidPen(uint32_t colorRef, int32_t width = 0, uint32_t style = 0) {
        return enhanced_ ? Rec(38, {nextObject_++, int32_t(style), width, 0, int32_t(colorRef)}).Rec(37, {nextObject_ - 1})
                         : Rec(0x02FA, {int32_t(style), width, 0, int32_t(colorRef & 0xFFFF), int32_t(colorRef >> 16)})
                               .Rec(0x012D, {nextObject_++});
    }
    MetafileBuilder& NullPen() { return SolidPen(0, 0, 5); }
    MetafileBuilder& Rectangle(int32_t l, int32_t t, int32_t r, int32_t b) {
        return enhanced_ ? Rec(43, {l, t, r, b}) : Rec(0x041B, {b, r, t, l});
    }

    Bytes Build() const {
        Bytes out;
        if (enhanced_) {
            Put32(out, 1);
            Put32(out, 108);
            for (int32_t v : box_) Put32(out, uint32_t(v));
            for (int32_t v : box_) Put32(out, uint32_t(v * 25));  // frame, hundredths of a millimetre
            Put32(out, 0x464D4520);
            Put32(out, 0x10000);
            Put32(out, uint32_t(108 + records_.size() + 20));
            Put32(out, recordCount());
            Put16(out, 64);
            Put16(out, 0);
            for (int i = 0; i < 3; ++i) Put32(out, 0);  // description, palette entries
            Put32(out, 1000), Put32(out, 1000);          // reference device, pixels
            Put32(out, 250), Put32(out, 250);            // and millimetres
            while (out.size() < 108) out.push_back(0);
            out.insert(out.end(), records_.begin(), records_.end());
            Put32(out, 14), Put32(out, 20), Put32(out, 0), Put32(out, 16), Put32(out, 20);
            return out;
        }
        Put32(out, ZtImageWMF::kPlaceableKey);
        Put16(out, 0);
        for (int32_t v : box_) Put16(out, uint32_t(v) & 0xFFFF);
        Put16(out, unitsPerInch_);
        Put32(out, 0);
        uint16_t sum = 0;
        for (size_t i = 0; i < 20; i += 2) sum ^= uint16_t(out[i] | out[i + 1] << 8);
        Put16(out, sum ^ checksumFlip);
        const size_t words = (18 + records_.size() + 6) / 2;
        Put16(out, 1), Put16(out, 9), Put16(out, 0x300);
        Put32(out, uint32_t(words + sizeExtraWords));
        Put16(out, 64), Put32(out, 0), Put16(out, 0);
        out.insert(out.end(), records_.begin(), records_.end());
        Put32(out, 3), Put16(out, 0);
        return out;
    }

    uint16_t checksumFlip = 0;
    uint32_t sizeExtraWords = 0;

private:
    uint32_t recordCount() const { return 2; }
    bool enhanced_ = true;
    std::vector<int32_t> box_;
    uint16_t unitsPerInch_ = 1440;
    Bytes records_;
    int32_t nextObject_ = 0;
};

struct Decoded {
    bool ok = false;
    std::string message;
    ZtImage image;
};

void DecodeInto(Decoded& d, const Bytes& bytes, int32_t abortCode = 0, int32_t w = 0, int32_t h = 0) {
    ZtImageWMF wmf;
    wmf.SetAbortCode(abortCode);
    ZtMemFile stream(bytes.data(), bytes.size());
    d.ok = wmf.Decode(&stream, w, h);
    d.message = wmf.LastError();
    d.image.TakeOver(wmf, true);
}

// 0xRRGGBB at x, counting lines from the top.
uint32_t Rgb(const ZtImage& img, int x, int line) {
    const ZtQuad q = img.ColorAt(x, img.Height() - 1 - line, false);
    return uint32_t(q.red) << 16 | uint32_t(q.green) << 8 | q.blue;
}

constexpr uint32_t kWhite = 0xFFFFFF;
// COLORREFs are 0x00BBGGRR.
constexpr uint32_t kRedRef = 0x0000FF, kBlueRef = 0xFF0000, kGreenRef = 0x00FF00;

TEST(MetafileHeader, PlaceableBoxAtScreenResolution) {
    Decoded d;
    DecodeInto(d, MetafileBuilder::Placeable(0, 0, 1440, 720).Build());
    ASSERT_TRUE(d.ok) << d.message;
    EXPECT_EQ(d.image.Width(), 96);
    EXPECT_EQ(d.image.Height(), 48);
    EXPECT_EQ(d.image.FormatId(), uint32_t(ImageFormat::Metafile));
    EXPECT_EQ(d.image.BitsPerPixel(), 24u);
}

TEST(MetafileHeader, RefusedPlaceableHeadersFallThroughToCorrupted) {
    struct Case {
        const char* name;
        MetafileBuilder file;
    } cases[] = {
        {"checksum", MetafileBuilder::Placeable(0, 0, 1440, 720)},
        {"units 0", MetafileBuilder::Placeable(0, 0, 1440, 720, 0)},
        {"units 2541", MetafileBuilder::Placeable(0, 0, 1440, 720, 2541)},
        {"size beyond stream", MetafileBuilder::Placeable(0, 0, 1440, 720)},
    };
    cases[0].file.checksumFlip = 1;
    cases[3].file.sizeExtraWords = 1000;
    for (const Case& c : cases) {
        Decoded d;
        DecodeInto(d, c.file.Build());
        EXPECT_FALSE(d.ok) << c.name;
        EXPECT_EQ(d.message, "corrupted WMF") << c.name;
    }
}

TEST(MetafileHeader, WindowsMetafileWithoutPlaceableHeaderIsCorrupted) {
    const Bytes placeable = MetafileBuilder::Placeable(0, 0, 1440, 720).Rectangle(0, 0, 10, 10).Build();
    Decoded d;
    DecodeInto(d, Bytes(placeable.begin() + 22, placeable.end()));
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.message, "corrupted WMF");
}

TEST(MetafileHeader, SizeCountingThePlaceableHeaderIsTolerated) {
    // Some writers count the 22 placeable bytes in the size in words.
    MetafileBuilder file = MetafileBuilder::Placeable(0, 0, 1440, 720);
    file.sizeExtraWords = 11;
    Decoded d;
    DecodeInto(d, file.Build());
    EXPECT_TRUE(d.ok) << d.message;
}

TEST(MetafileHeader, EnhancedSizesAreClampedTo4000) {
    struct Case {
        int32_t w, h, expectW, expectH;
    } cases[] = {{8000, 2000, 4000, 1000}, {3000, 6000, 2000, 4000}};
    for (const Case& c : cases) {
        Decoded d;
        DecodeInto(d, MetafileBuilder::Enhanced(0, 0, c.w, c.h).Build());
        ASSERT_TRUE(d.ok) << d.message;
        EXPECT_EQ(d.image.Width(), c.expectW);
        EXPECT_EQ(d.image.Height(), c.expectH);
    }
}

TEST(MetafileHeader, ClampSizeKeepsProportionsAndAtLeastOnePixel) {
    struct Case {
        int32_t w, h, expectW, expectH;
    } cases[] = {{8000, 2000, 4000, 1000}, {3000, 6000, 2000, 4000}, {4000, 4000, 4000, 4000},
                 {12000, 9000, 4000, 3000}, {8001, 1, 4000, 1}, {100, 50, 100, 50}};
    for (const Case& c : cases) {
        int32_t w = c.w, h = c.h;
        ZtImageWMF::ClampSize(w, h);
        EXPECT_EQ(w, c.expectW) << c.w << " x " << c.h;
        EXPECT_EQ(h, c.expectH) << c.w << " x " << c.h;
    }
}

TEST(MetafileHeader, DimensionsOnlyModeReportsTheSize) {
    Decoded d;
    DecodeInto(d, MetafileBuilder::Enhanced(10, 20, 310, 220).Build(), -1);
    EXPECT_TRUE(d.ok);
    EXPECT_FALSE(d.image.HasPixels());
    EXPECT_EQ(d.image.Width(), 300);
    EXPECT_EQ(d.image.Height(), 200);
    EXPECT_EQ(d.message, "output dimensions returned");
}

TEST(MetafileHeader, EmptyAndInvertedBoxesAreEmpty) {
    for (const Bytes& file : {MetafileBuilder::Placeable(0, 0, 0, 720).Build(),
                              MetafileBuilder::Enhanced(0, 0, -1, -1).Build()}) {
        Decoded d;
        DecodeInto(d, file);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.message, "empty WMF");
    }
}

TEST(MetafileHeader, AbortAfterPlaybackIsCancelled) {
    Decoded d;
    DecodeInto(d, MetafileBuilder::Enhanced(0, 0, 20, 20).Build(), 1);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.message, "Cancelled");
}

TEST(MetafileHeader, PositiveWidthAndHeightReplaceTheFileSize) {
    Decoded d;
    DecodeInto(d, MetafileBuilder::Enhanced(0, 0, 200, 100).Build(), 0, 50, 20);
    ASSERT_TRUE(d.ok) << d.message;
    EXPECT_EQ(d.image.Width(), 50);
    EXPECT_EQ(d.image.Height(), 20);
}

TEST(MetafileDrawing, UndrawnAreasAreWhite) {
    Decoded d;
    DecodeInto(d, MetafileBuilder::Placeable(0, 0, 1440, 1440).Build());
    ASSERT_TRUE(d.ok);
    for (int y = 0; y < d.image.Height(); ++y)
        for (int x = 0; x < d.image.Width(); ++x) ASSERT_EQ(Rgb(d.image, x, y), kWhite) << x << "," << y;
}

// A red rectangle from (10, 10) to (30, 20) in output pixels.
void ExpectRedBox(const ZtImage& img) {
    EXPECT_EQ(Rgb(img, 10, 10), 0xFF0000u);
    EXPECT_EQ(Rgb(img, 29, 19), 0xFF0000u);
    EXPECT_EQ(Rgb(img, 20, 15), 0xFF0000u);
    EXPECT_EQ(Rgb(img, 9, 15), kWhite);
    EXPECT_EQ(Rgb(img, 30, 15), kWhite);
    EXPECT_EQ(Rgb(img, 20, 9), kWhite);
    EXPECT_EQ(Rgb(img, 20, 20), kWhite);
}

TEST(MetafileDrawing, FilledRectangleUnderEachMapping) {
    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"EMF MM_TEXT", MetafileBuilder::Enhanced(0, 0, 40, 40).NullPen().SolidBrush(kRedRef).Rectangle(10, 10, 30, 20).Build()},
        // Window 0..1000 onto viewport 0..100: a tenth.
        {"EMF MM_ANISOTROPIC", MetafileBuilder::Enhanced(0, 0, 40, 40)
                                   .Rec(17, {8})
                                   .Rec(9, {1000, 1000})
                                   .Rec(11, {100, 100})
                                   .NullPen()
                                   .SolidBrush(kRedRef)
                                   .Rectangle(100, 100, 300, 200)
                                   .Build()},
        // Window origin moved: logical (-50, -50) is the top left corner.
        {"EMF window origin", MetafileBuilder::Enhanced(0, 0, 40, 40)
                                  .Rec(10, {-50, -50})
                                  .NullPen()
                                  .SolidBrush(kRedRef)
                                  .Rectangle(-40, -40, -20, -30)
                                  .Build()},
        // Box 0..400 at 960 units per inch: 40 pixels, a tenth.
        {"WMF placeable box", MetafileBuilder::Placeable(0, 0, 400, 400, 960)
                                  .NullPen()
                                  .SolidBrush(kRedRef)
                                  .Rectangle(100, 100, 300, 200)
                                  .Build()},
        // The metafile's own window (0..4000) fills the frame.
        {"WMF window", MetafileBuilder::Placeable(0, 0, 400, 400, 960)
                           .Rec(0x020B, {0, 0})
                           .Rec(0x020C, {4000, 4000})
                           .NullPen()
                           .SolidBrush(kRedRef)
                           .Rectangle(1000, 1000, 3000, 2000)
                           .Build()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        DecodeInto(d, c.file);
        ASSERT_TRUE(d.ok) << d.message;
        ASSERT_EQ(d.image.Width(), 40);
        ExpectRedBox(d.image);
    }
}

TEST(MetafileDrawing, PolygonFillModes) {
    // Two squares drawn the same way round as one poly-polygon: ALTERNATE
    // leaves the inner one empty, WINDING fills it.
    for (int mode : {1, 2}) {
        Decoded d;
        DecodeInto(d, MetafileBuilder::Enhanced(0, 0, 60, 60)
                          .NullPen()
                          .SolidBrush(kBlueRef)
                          .Rec(19, {mode})
                          .Rec(8, {0, 0, 60, 60, 2, 8, 4, 4, 10, 10, 50, 10, 50, 50, 10, 50, 20, 20, 40, 20, 40, 40, 20, 40})
                          .Build());
        ASSERT_TRUE(d.ok) << d.message;
        EXPECT_EQ(Rgb(d.image, 15, 30), 0x0000FFu) << mode;
        EXPECT_EQ(Rgb(d.image, 30, 30), mode == 1 ? kWhite : 0x0000FFu) << mode;
    }
}

TEST(MetafileDrawing, RestoreDcBringsBackThePen) {
    // A wide red pen, saved; a blue one selected; restored; a line drawn.
    Decoded d;
    DecodeInto(d, MetafileBuilder::Enhanced(0, 0, 40, 40)
                      .SolidPen(kRedRef, 5)
                      .Rec(33, {})
                      .SolidPen(kBlueRef, 5)
                      .Rec(34, {-1})
                      .Rec(27, {5, 20})
                      .Rec(54, {35, 20})
                      .Build());
    ASSERT_TRUE(d.ok) << d.message;
    EXPECT_EQ(Rgb(d.image, 20, 20), 0xFF0000u);
    EXPECT_EQ(Rgb(d.image, 20, 10), kWhite);
}

// A 24-bit 2 x 2 DIB: BITMAPINFOHEADER, then the bottom row (blue, green)
// and the top row (red, white).
Bytes TwoByTwoDib() {
    Bytes b;
    Put32(b, 40), Put32(b, 2), Put32(b, 2), Put16(b, 1), Put16(b, 24);
    for (int i = 0; i < 6; ++i) Put32(b, 0);
    const uint8_t rows[] = {255, 0, 0, 0, 255, 0, 0, 0, 0, 0, 255, 255, 255, 255, 0, 0};
    b.insert(b.end(), rows, rows + sizeof rows);
    return b;
}

TEST(MetafileDrawing, StretchDiBitsLandsWhereItIsPlaced) {
    const Bytes dib = TwoByTwoDib();
    Bytes payload;
    for (int32_t v : {0, 0, 40, 40, 10, 10, 0, 0, 2, 2}) Put32(payload, uint32_t(v));  // bounds, dest, source
    Put32(payload, 80), Put32(payload, 40), Put32(payload, 120), Put32(payload, 16);    // bitmap at 80, bits at 120
    Put32(payload, 0), Put32(payload, 0x00CC0020), Put32(payload, 20), Put32(payload, 20);
    payload.insert(payload.end(), dib.begin(), dib.end());
    Decoded d;
    DecodeInto(d, MetafileBuilder::Enhanced(0, 0, 40, 40).Raw(81, payload).Build());
    ASSERT_TRUE(d.ok) << d.message;
    EXPECT_EQ(Rgb(d.image, 12, 12), 0xFF0000u);  // top left: red
    EXPECT_EQ(Rgb(d.image, 27, 12), kWhite);     // top right: white
    EXPECT_EQ(Rgb(d.image, 12, 27), 0x0000FFu);  // bottom left: blue
    EXPECT_EQ(Rgb(d.image, 27, 27), 0x00FF00u);  // bottom right: green
    EXPECT_EQ(Rgb(d.image, 5, 5), kWhite);
    EXPECT_EQ(Rgb(d.image, 32, 32), kWhite);
}

TEST(MetafileDrawing, TextIsDrawnInTheTextColour) {
    // A 40-pixel "H" in green, transparent background, from (5, 5).
    Bytes font;
    for (int32_t v : {0, -40, 0, 0, 0, 700}) Put32(font, uint32_t(v));
    font.resize(4 + 92, 0);
    const std::string face = "DejaVu Sans";
    for (size_t i = 0; i < face.size(); ++i) font[32 + 2 * i] = uint8_t(face[i]);  // UTF-16 face name
    Bytes text;
    for (int32_t v : {0, 0, 60, 60, 1, 0, 0, 5, 5, 1, 76, 0, 0, 0, 0, 0, 0}) Put32(text, uint32_t(v));
    Put16(text, 'H'), Put16(text, 0);
    Decoded d;
    DecodeInto(d, MetafileBuilder::Enhanced(0, 0, 60, 60)
                      .Raw(82, font)
                      .Rec(37, {0})
                      .Rec(24, {int32_t(kGreenRef)})
                      .Rec(18, {1})
                      .Raw(84, text)
                      .Build());
    ASSERT_TRUE(d.ok) << d.message;
    int green = 0, other = 0;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 60; ++x) {
            const uint32_t c = Rgb(d.image, x, y);
            if (c == 0x00FF00) ++green;
            // Anti-aliased edges mix green with white; nothing else may appear.
            else if (c != kWhite && ((c >> 8) & 0xFF) != 0xFF) ++other;
        }
    EXPECT_GT(green, 40);
    EXPECT_EQ(other, 0);
}

TEST(MetafileDrawing, GradientRectangleShadesFromLeftToRight) {
    // Two vertices, red at (0, 0) and blue at (40, 10), one horizontal rectangle.
    Bytes payload;
    for (int32_t v : {0, 0, 40, 10, 2, 1, 0}) Put32(payload, uint32_t(v));
    for (int32_t v : {0, 0}) Put32(payload, uint32_t(v));
    Put16(payload, 0xFF00), Put16(payload, 0), Put16(payload, 0), Put16(payload, 0);
    for (int32_t v : {40, 10}) Put32(payload, uint32_t(v));
    Put16(payload, 0), Put16(payload, 0), Put16(payload, 0xFF00), Put16(payload, 0);
    Put32(payload, 0), Put32(payload, 1);
    Decoded d;
    DecodeInto(d, MetafileBuilder::Enhanced(0, 0, 40, 20).Raw(118, payload).Build());
    ASSERT_TRUE(d.ok) << d.message;
    const uint32_t left = Rgb(d.image, 1, 5), right = Rgb(d.image, 38, 5);
    EXPECT_GT(left >> 16, 230u);
    EXPECT_LT(left & 0xFF, 25u);
    EXPECT_GT(right & 0xFF, 230u);
    EXPECT_LT(right >> 16, 25u);
    EXPECT_EQ(Rgb(d.image, 20, 15), kWhite);
}

TEST(MetafileText, CodePagesAndTheSymbolCharacterSet) {
    const uint8_t ansi[] = {'D', 0x80, 0xE9, 0};
    EXPECT_EQ(metafile::TextFromAnsi(ansi, 4), "D\u20AC\u00E9");  // Windows-1252; the NUL is dropped
    EXPECT_EQ(metafile::TextFromAnsi(ansi, 1, true), "\u0394");     // symbol D is Delta
    const uint8_t wide[] = {0x44, 0xF0, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xD8};
    EXPECT_EQ(metafile::TextFromUtf16(wide, 1, true), "\u0394");  // U+F044 in a symbol font
    // A surrogate pair, then a lone high surrogate.
    EXPECT_EQ(metafile::TextFromUtf16(wide + 2, 3), "\U0001F600\uFFFD");
}

TEST(MetafileSafety, HugeCoordinatesAndDeepNestingFinishQuickly) {
    MetafileBuilder m = MetafileBuilder::Enhanced(0, 0, 400, 400);
    m.SolidPen(kRedRef, 0, 1).SolidBrush(kBlueRef);  // a dashed pen: work grows with length
    m.Rec(43, {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX});
    m.Rec(4, {0, 0, 0, 0, 3, INT32_MIN, 0, INT32_MAX, 7, 0, INT32_MAX});
    // A world transform that scales by a million, then more shapes.
    Bytes xform;
    for (float f : {1e6f, 0.f, 0.f, 1e6f, 0.f, 0.f}) {
        uint32_t bits;
        memcpy(&bits, &f, 4);
        Put32(xform, bits);
    }
    m.Raw(35, xform).Rec(42, {-1000, -1000, 1000, 1000}).Rec(45, {-9, -9, 9, 9, 0, 9, 9, 0});
    for (int i = 0; i < 3000; ++i) m.Rec(33, {});
    m.Rec(37, {99999}).Rec(40, {99999}).Rec(34, {-100000});
    const auto start = std::chrono::steady_clock::now();
    Decoded d;
    DecodeInto(d, m.Build());
    EXPECT_TRUE(d.ok) << d.message;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// Every prefix and every single-byte flip of a fixture with many kinds of
// record either decodes to a picture or fails with a message.
void Sweep(const Bytes& good) {
    auto check = [](const Bytes& bytes, const std::string& what) {
        Decoded d;
        DecodeInto(d, bytes);
        if (d.ok) {
            ASSERT_TRUE(d.image.HasPixels()) << what;
            ASSERT_GT(d.image.Width(), 0) << what;
        } else {
            ASSERT_FALSE(d.message.empty()) << what;
        }
    };
    for (size_t n = 0; n < good.size(); n += 3) check(Bytes(good.begin(), good.begin() + long(n)), "prefix");
    for (size_t i = 0; i < good.size(); ++i) {
        Bytes flipped = good;
        flipped[i] ^= uint8_t(0x5A + i);
        check(flipped, "flip " + std::to_string(i));
    }
}

TEST(MetafileSafety, EnhancedPrefixAndFlipSweep) {
    const Bytes dib = TwoByTwoDib();
    Bytes blit;
    for (int32_t v : {0, 0, 40, 40, 2, 2, 0, 0, 2, 2, 80, 40, 120, 16, 0, 0x00CC0020, 9, 9}) Put32(blit, uint32_t(v));
    blit.insert(blit.end(), dib.begin(), dib.end());
    Sweep(MetafileBuilder::Enhanced(0, 0, 24, 24)
              .SolidPen(kRedRef, 2)
              .SolidBrush(kBlueRef)
              .Rec(17, {8})
              .Rec(9, {48, 48})
              .Rec(11, {24, 24})
              .Rectangle(2, 2, 20, 20)
              .Rec(8, {0, 0, 9, 9, 1, 3, 3, 1, 1, 8, 1, 4, 8})
              .Rec(59, {})
              .Rec(42, {3, 3, 30, 30})
              .Rec(60, {})
              .Rec(63, {0, 0, 9, 9})
              .Raw(81, blit)
              .Build());
}

TEST(MetafileSafety, WindowsPrefixAndFlipSweep) {
    Bytes stretch;
    for (int32_t v : {0x0020, 0x00CC, 0, 2, 2, 0, 0, 10, 10, 5, 5}) Put16(stretch, uint32_t(v));
    const Bytes dib = TwoByTwoDib();
    stretch.insert(stretch.end(), dib.begin(), dib.end());
    Sweep(MetafileBuilder::Placeable(0, 0, 40, 40, 96 * 2)
              .SolidPen(kRedRef, 2)
              .SolidBrush(kBlueRef)
              .Rec(0x0324, {3, 1, 1, 30, 1, 15, 30})
              .Rec(0x0418, {30, 30, 2, 2})
              .Rec(0x0521, {2, 'H' | 'i' << 8, 5, 5})
              .Raw(0x0F43, stretch)
              .Build());
}

// The shared corpus against thumbnails of independent renderings.
struct Reference {
    std::string path, expect, status;
    int width = 0, height = 0;
    std::vector<uint8_t> thumb, drawn;
};

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<Reference> LoadReferences() {
    std::vector<Reference> rows;
    std::ifstream in(std::string(ZENT_SOURCE_DIR) + "/tests/data/wmf_reference.tsv");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::stringstream ss(line);
        Reference r;
        std::string w, h, hex, drawn;
        std::getline(ss, r.path, '\t');
        std::getline(ss, r.expect, '\t');
        std::getline(ss, r.status, '\t');
        std::getline(ss, w, '\t');
        std::getline(ss, h, '\t');
        std::getline(ss, hex, '\t');
        std::getline(ss, drawn, '\t');
        r.width = atoi(w.c_str());
        r.height = atoi(h.c_str());
        r.thumb = FromHex(hex);
        r.drawn = FromHex(drawn);
        rows.push_back(r);
    }
    return rows;
}

constexpr int kGrid = 16;

struct Box {
    int left, top, width, height;
};

const uint8_t* TopDownRow(const ZtImage& img, int y) { return img.RowBits(uint32_t(int(img.Height()) - 1 - y)); }

// The bounding box of the picture's non-white pixels (the whole picture
// when it is all white).
Box DrawnExtent(const ZtImage& img) {
    const int w = img.Width(), h = img.Height();
    int x0 = w, y0 = h, x1 = -1, y1 = -1;
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = TopDownRow(img, y);
        for (int x = 0; x < w; ++x)
            if (row[3 * x] != 255 || row[3 * x + 1] != 255 || row[3 * x + 2] != 255)
                x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
    return x1 < 0 ? Box{0, 0, w, h} : Box{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

// The mean colour of each cell of a 16 x 16 cut of the box, top line first,
// as the reference script computes it.
std::vector<uint8_t> Thumbnail(const ZtImage& img, const Box& box) {
    const int w = box.width, h = box.height;
    std::vector<uint8_t> out;
    for (int gy = 0; gy < kGrid; ++gy) {
        const int y0 = gy * h / kGrid, y1 = std::max((gy + 1) * h / kGrid, y0 + 1);
        for (int gx = 0; gx < kGrid; ++gx) {
            const int x0 = gx * w / kGrid, x1 = std::max((gx + 1) * w / kGrid, x0 + 1);
            uint64_t sum[3] = {0, 0, 0};
            for (int y = y0; y < y1; ++y) {
                const uint8_t* row = TopDownRow(img, box.top + y) + 3 * box.left;  // blue, green, red
                for (int x = x0; x < x1; ++x) sum[0] += row[3 * x + 2], sum[1] += row[3 * x + 1], sum[2] += row[3 * x];
            }
            const uint64_t n = uint64_t(x1 - x0) * uint64_t(y1 - y0);
            for (uint64_t s : sum) out.push_back(uint8_t(s / n));
        }
    }
    return out;
}

// Pictures whose thumbnails differ from the reference by at most this mean
// absolute difference per channel (0..255), as a whole or cut to the extent
// each one draws, count as the same drawing. The second measure lets framing
// differ: for an enhanced metafile the reference maps the bounds where we map
// the frame, and for a Windows metafile it fits what the records draw where
// we map the window the file sets.
constexpr double kSimilarity = 12.0;

// Files where the reference renderer and ours differ by design. Our player
// maps the picture frame onto the output, as playing an enhanced metafile
// into a rectangle does; the reference maps the bounds. On pictures of about
// 54 pixels the frame's extra pixel shifts every edge by a pixel or two.
const char* const kSmallFrameShift = "54-pixel picture: frame and bounds differ by a pixel, every edge moves";
const std::map<std::string, std::string> kDifferent = {
    {"emf/libemf2svg/test-007.emf", kSmallFrameShift},
    {"emf/libemf2svg/test-008.emf", kSmallFrameShift},
    {"emf/libemf2svg/test-025.emf", kSmallFrameShift},
    {"emf/libemf2svg/test-104.emf", kSmallFrameShift},
    {"emf/libemf2svg/test-123.emf", kSmallFrameShift},
    {"emf/libemf2svg/test-065.emf", "the reference fills with black where no brush was selected; the default brush is white"},
    {"emf/libemf2svg/test-152.emf", "a geometric pen of 15 logical units is 5 pixels here; the reference draws it unscaled"},
    {"wmf/pillow/drawing.wmf", "its circle reaches to 1587 in the window 0..1369: we clip it at the frame as Windows does; the reference fits all that is drawn"},
};

TEST(MetafileCorpus, EveryFileConvertsOrEndsWithAMessage) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "no shared corpus beside this checkout";
    const std::vector<Reference> refs = LoadReferences();
    ASSERT_GT(refs.size(), 60u);
    int compared = 0, similar = 0;
    std::string report;
    for (const Reference& r : refs) {
        SCOPED_TRACE(r.path);
        ZtImage img;
        const bool ok = img.LoadFromPath((corpus + "/" + r.path).c_str(), ImageFormat::Metafile);
        if (r.status == "fail") {
            // Files the size rules refuse: Windows metafiles without the placeable header, broken headers.
            EXPECT_FALSE(ok);
            EXPECT_FALSE(std::string(img.LastError()).empty());
            continue;
        }
        if (!ok) {
            EXPECT_NE(r.expect, "valid") << img.LastError();
            EXPECT_FALSE(std::string(img.LastError()).empty());
            continue;
        }
        EXPECT_EQ(img.Width(), r.width);
        EXPECT_EQ(img.Height(), r.height);
        if (r.status != "ref" || r.expect != "valid" || r.thumb.size() != kGrid * kGrid * 3) continue;
        auto difference = [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
            double total = 0;
            for (size_t i = 0; i < a.size(); ++i) total += std::abs(int(a[i]) - int(b[i]));
            return total / double(a.size());
        };
        const double whole = difference(Thumbnail(img, Box{0, 0, int(img.Width()), int(img.Height())}), r.thumb);
        const double drawn = r.drawn.size() == r.thumb.size() ? difference(Thumbnail(img, DrawnExtent(img)), r.drawn) : whole;
        const double mad = std::min(whole, drawn);
        ++compared;
        if (mad <= kSimilarity) ++similar;
        const auto known = kDifferent.find(r.path);
        if (known == kDifferent.end()) {
            EXPECT_LE(mad, kSimilarity) << "differs from the reference as a whole (" << whole << ") and in its drawn extent";
        }
        char line[300];
        snprintf(line, sizeof line, "%-36s %6.2f %6.2f %s\n", r.path.c_str(), whole, drawn,
                 known == kDifferent.end() ? "" : known->second.c_str());
        report += line;
    }
    RecordProperty("similar", similar);
    std::cout << "metafile thumbnails within " << kSimilarity << ": " << similar << " of " << compared
              << "\n(file, difference as a whole, difference of the drawn extents)\n"
              << report;
}

}  // namespace
