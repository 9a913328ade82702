// GIF decoder: fixtures built in code with a small LZW encoder of the tests'
// own, plus the shared corpus compared with recorded reference includes.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "codecs/builtin/gif.h"
#include "image/zt_file.h"
#include "tests/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Packs codes least significant bit first.
class CodeWriter {
public:
    void Put(uint32_t code, int size) {
        acc_ |= code << bits_;
        bits_ += size;
        while (bits_ >= 8) {
            out_.push_back(uint8_t(acc_));
            acc_ >>= 8;
            bits_ -= 8;
        }
    }
    Bytes Finish() {
        if (bits_ > 0) out_.push_back(uint8_t(acc_));
        acc_ = 0;
        bits_ = 0;
        return out_;
    }

private:
    Bytes out_;
    uint32_t acc_ = 0;
    int bits_ = 0;
};

// LZW-compresses indices; the code width follows the decoder's table (one
// entry per code after the first since the last clear).
Bytes Lzw(const std::vector<uint8_t>& pixels, int minSize) {
    CodeWriter w;
    const int clear = 1 << minSize, end = clear + 1;
    std::map<std::pair<int, uint8_t>, int> dict;
    int size = minSize + 1, top = 1 << size, next = clear + 2, decoderNext = clear + 2;
    int sinceClear = 0;
    auto emit = [&](int code) {
        w.Put(uint32_t(code), size);
        if (sinceClear++ > 0 && decoderNext < 4096) {
            ++decoderNext;
            if (decoderNext >= top && size < 12) {
                top <<= 1;
                ++size;
            }
        }
    };
    auto reset = [&] {
        w.Put(uint32_t(clear), size);
        dict.clear();
        size = minSize + 1;
        top = 1 << size;
        next = decoderNext = clear + 2;
        sinceClear = 0;
    };
    reset();
    int current = -1;
    for (uint8_t p : pixels) {
        if (current < 0) {
            current = p;
            continue;
        }
        auto it = dict.find({current, p});
        if (it != dict.end()) {
            current = it->second;
            continue;
        }
        emit(current);
        dict[{current, p}] = next++;
        current = p;
        if (next >= 4000) {
            emit(current);
            reset();
            current = -1;
        }
    }
    if (current >= 0) emit(current);
    w.Put(uint32_t(end), size);
    return w.Finish();
}

// Minimum code size byte, sub-blocks of at most 255 bytes, terminator.
Bytes SubBlocks(int minSize, const Bytes& data) {
    Bytes out{uint8_t(minSize)};
    for (size_t p = 0; p < data.size(); p += 255) {
        const size_t n = std::min<size_t>(255, data.size() - p);
        out.push_back(uint8_t(n));
        out.insert(out.end(), data.begin() + long(p), data.begin() + long(p + n));
    }
    out.push_back(0);
    return out;
}

struct Frame {
    int left = 0, top = 0, width = 1, height = 1;
    std::vector<uint8_t> pixels;  // top line first
    std::vector<uint32_t> localTable;  // 0xRRGGBB; empty: none
    bool interlaced = false;
    int transparent = -1;  // graphic control block when >= 0 or disposal set
    int disposal = -1;
    int minSize = 0;  // 0: from the table size
};

void Put16(Bytes& b, int v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

int SizeBits(size_t entries) {
    int bits = 0;
    while ((2u << bits) < entries) ++bits;
    return bits;
}

void PutTable(Bytes& b, const std::vector<uint32_t>& table) {
    const size_t n = 2u << SizeBits(table.size());
    for (size_t i = 0; i < n; ++i) {
        const uint32_t c = i < table.size() ? table[i] : 0;
        b.push_back(uint8_t(c >> 16));
        b.push_back(uint8_t(c >> 8));
        b.push_back(uint8_t(c));
    }
}

// Interlaced row order: rows 0, 8.. then 4, 12.. then 2, 6.. then 1, 3..
std::vector<uint8_t> InterlaceOrder(const Frame& f) {
    std::vector<uint8_t> out;
    for (auto [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
        for (int y = start; y < f.height; y += step)
            out.insert(out.end(), f.pixels.begin() + y * f.width,
                       f.pixels.begin() + (y + 1) * f.width);
    return out;
}

Bytes FrameBytes(const Frame& f, size_t globalEntries) {
    Bytes b;
    if (f.transparent >= 0 || f.disposal >= 0) {
        const int flags = (f.transparent >= 0 ? 1 : 0) | ((f.disposal < 0 ? 0 : f.disposal) << 2);
        b.insert(b.end(), {0x21, 0xF9, 4, uint8_t(flags), 0, 0,
                           uint8_t(f.transparent < 0 ? 0 : f.transparent), 0});
    }
    b.push_back(0x2C);
    Put16(b, f.left);
    Put16(b, f.top);
    Put16(b, f.width);
    Put16(b, f.height);
    uint8_t flags = f.interlaced ? 0x40 : 0;
    if (!f.localTable.empty()) flags = uint8_t(flags | 0x80 | SizeBits(f.localTable.size()));
    b.push_back(flags);
    if (!f.localTable.empty()) PutTable(b, f.localTable);
    const size_t entries = f.localTable.empty() ? globalEntries : f.localTable.size();
    const int minSize = f.minSize ? f.minSize : std::max(2, SizeBits(entries) + 1);
    const Bytes data = Lzw(f.interlaced ? InterlaceOrder(f) : f.pixels, minSize);
    const Bytes blocks = SubBlocks(minSize, data);
    b.insert(b.end(), blocks.begin(), blocks.end());
    return b;
}

Bytes Gif(int width, int height, const std::vector<uint32_t>& global,
          const std::vector<Frame>& frames) {
    Bytes b{'G', 'I', 'F', '8', '9', 'a'};
    Put16(b, width);
    Put16(b, height);
    b.push_back(global.empty() ? 0 : uint8_t(0x80 | SizeBits(global.size())));
    b.push_back(0);
    b.push_back(0);
    if (!global.empty()) PutTable(b, global);
    for (const Frame& f : frames) {
        const Bytes fb = FrameBytes(f, global.size());
        b.insert(b.end(), fb.begin(), fb.end());
    }
    b.push_back(0x3B);
    return b;
}

bool DecodeGif(ZtImageGIF& image, const Bytes& bytes) {
    ZtMemFile stream(bytes.data(), bytes.size());
    return image.Decode(&stream);
}

// Colours of the picture as 0xRRGGBB, top line first.
std::vector<uint32_t> Pixels(const ZtImage& image) {
    std::vector<uint32_t> out;
    for (int y = image.Height() - 1; y >= 0; --y)
        for (int x = 0; x < image.Width(); ++x) {
            const ZtQuad q = image.ColorAt(x, y, false);
            out.push_back(uint32_t(q.red) << 16 | uint32_t(q.green) << 8 | q.blue);
        }
    return out;
}

std::vector<uint8_t> Indices(const ZtImage& image) {
    std::vector<uint8_t> out;
    for (int y = image.Height() - 1; y >= 0; --y)
        for (int x = 0; x < image.Width(); ++x) out.push_back(image.IndexAt(x, y));
    return out;
}

const std::vector<uint32_t> kFour{0x000000, 0xFF0000, 0x00FF00, 0x0000FF};

Frame Solid(int left, int top, int w, int h, uint8_t index) {
    Frame f;
    f.left = left;
    f.top = top;
    f.width = w;
    f.height = h;
    f.pixels.assign(size_t(w * h), index);
    return f;
}

TEST(GifDecoder, SingleFramePixelsAndDepth) {
    Frame f = Solid(0, 0, 3, 2, 0);
    f.pixels = {1, 2, 3, 0, 1, 2};
    ZtImageGIF img;
    ASSERT_TRUE(DecodeGif(img, Gif(3, 2, kFour, {f})));
    EXPECT_EQ(img.Width(), 3);
    EXPECT_EQ(img.Height(), 2);
    EXPECT_EQ(img.BitsPerPixel(), 4u);  // 4 entries: a 4-bit frame
    EXPECT_EQ(img.FrameCount(), 1);
    EXPECT_EQ(Pixels(img), (std::vector<uint32_t>{0xFF0000, 0x00FF00, 0x0000FF, 0x000000,
                                                  0xFF0000, 0x00FF00}));

    // Two entries give a 1-bit frame; 256 an 8-bit one with a long LZW run.
    Frame mono = Solid(0, 0, 10, 3, 0);
    for (size_t i = 0; i < mono.pixels.size(); ++i) mono.pixels[i] = uint8_t(i % 3 == 0);
    ZtImageGIF one;
    ASSERT_TRUE(DecodeGif(one, Gif(10, 3, {0x000000, 0xFFFFFF}, {mono})));
    EXPECT_EQ(one.BitsPerPixel(), 1u);
    EXPECT_EQ(Indices(one), mono.pixels);

    std::vector<uint32_t> grey(256);
    for (uint32_t i = 0; i < 256; ++i) grey[i] = i * 0x010101;
    Frame big = Solid(0, 0, 97, 61, 0);
    for (size_t i = 0; i < big.pixels.size(); ++i) big.pixels[i] = uint8_t((i * 7 + i / 97) % 251);
    ZtImageGIF eight;
    ASSERT_TRUE(DecodeGif(eight, Gif(97, 61, grey, {big})));
    EXPECT_EQ(eight.BitsPerPixel(), 8u);
    EXPECT_EQ(Indices(eight), big.pixels);
}

TEST(GifDecoder, InterlacedHeightsTwoFourAndNine) {
    for (int h : {2, 4, 9}) {
        Frame f = Solid(0, 0, 2, h, 0);
        for (int y = 0; y < h; ++y) f.pixels[size_t(2 * y)] = f.pixels[size_t(2 * y + 1)] = uint8_t(y % 4);
        f.interlaced = true;
        ZtImageGIF img;
        ASSERT_TRUE(DecodeGif(img, Gif(2, h, kFour, {f}))) << h;
        EXPECT_EQ(Indices(img), f.pixels) << "height " << h;
    }
    // Height 4 sends the lines in the order 0, 2, 1, 3: line k of the data
    // carries the value k, so the picture reads 0, 2, 1, 3 from the top.
    Frame f = Solid(0, 0, 1, 4, 0);
    f.interlaced = true;
    f.pixels = {0, 2, 1, 3};
    Bytes file = Gif(1, 4, kFour, {f});
    ZtImageGIF img;
    ASSERT_TRUE(DecodeGif(img, file));
    EXPECT_EQ(Indices(img), (std::vector<uint8_t>{0, 2, 1, 3}));
}

TEST(GifDecoder, MinimumCodeSizes) {
    // Size 1 is no LZW data: the frame keeps index 0 and the decode goes on.
    // Sizes 10 and 11 start with a large table but decode like any other.
    for (int size : {1, 10, 11, 12}) {
        Frame f = Solid(0, 0, 4, 2, 3);
        f.pixels = {3, 1, 1, 1, 2, 2, 3, 3};
        f.minSize = size;
        ZtImageGIF img;
        ASSERT_TRUE(DecodeGif(img, Gif(4, 2, kFour, {f}))) << size;
        if (size == 1 || size == 12) {
            EXPECT_EQ(Indices(img), std::vector<uint8_t>(8, 0)) << size;
        } else {
            EXPECT_EQ(Indices(img), f.pixels) << size;
        }
    }
}

// Code stream by hand, min size 2 (clear 4, end 5, first free 6).
TEST(GifDecoder, CodeBeyondNextFreeRepeatsOldCodeThenSearchesNextFrame) {
    CodeWriter w;
    w.Put(4, 3);  // clear
    w.Put(1, 3);  // "1"
    w.Put(7, 3);  // next free is 6: 7 is beyond it, read as old code + first char
    w.Put(5, 3);  // end
    Bytes frame0{0x2C, 0, 0, 0, 0, 3, 0, 1, 0, 0};
    Bytes data = SubBlocks(2, w.Finish());
    frame0.insert(frame0.end(), data.begin(), data.end());
    Frame second = Solid(0, 0, 3, 1, 2);
    Bytes file = Gif(3, 1, kFour, {});
    file.pop_back();  // trailer
    file.insert(file.end(), frame0.begin(), frame0.end());
    // Junk after the data that a plain resynchronisation would read as a
    // trailer; the descriptor search finds the frame behind its 0 byte.
    file.insert(file.end(), {0x3B, 0x3B, 0x00});
    const Bytes fb = FrameBytes(second, 4);
    file.insert(file.end(), fb.begin(), fb.end());
    file.push_back(0x3B);

    ZtImageGIF img;
    ASSERT_TRUE(DecodeGif(img, file));
    EXPECT_EQ(img.FrameCount(), 2);
    EXPECT_EQ(Indices(img), (std::vector<uint8_t>{1, 1, 1}));

    ZtImageGIF next;
    next.SetFrameIndex(1);
    ASSERT_TRUE(DecodeGif(next, file));
    EXPECT_EQ(Indices(next), (std::vector<uint8_t>{2, 2, 2}));
}

// Five 4 x 1 frames over a 4 x 1 screen with index 3 as transparent colour:
// frame 0 fills the screen with 1, frame 1 paints column 1 with 2 under the
// disposal under test, frame 2 paints column 2 with 0.
std::vector<uint8_t> ComposeFrameTwo(int disposal, int32_t* countOut = nullptr) {
    Frame f0 = Solid(0, 0, 4, 1, 1);
    f0.disposal = 1;
    Frame f1 = Solid(1, 0, 1, 1, 2);
    f1.disposal = disposal;
    f1.transparent = 3;
    Frame f2 = Solid(2, 0, 1, 1, 0);
    f2.disposal = 1;
    Frame f3 = Solid(0, 0, 4, 1, 3);
    Frame f4 = f3;
    ZtImageGIF img;
    img.SetFrameIndex(2);
    EXPECT_TRUE(DecodeGif(img, Gif(4, 1, kFour, {f0, f1, f2, f3, f4})));
    if (countOut) *countOut = img.FrameCount();
    EXPECT_EQ(img.FrameIndex(), 2);
    return Indices(img);
}

TEST(GifDecoder, DisposalMethodsComposeFrameTwoOfFive) {
    int32_t count = 0;
    // 0 and 1 leave frame 1 in place.
    EXPECT_EQ(ComposeFrameTwo(0, &count), (std::vector<uint8_t>{1, 2, 0, 1}));
    EXPECT_EQ(count, 5);
    EXPECT_EQ(ComposeFrameTwo(1), (std::vector<uint8_t>{1, 2, 0, 1}));
    // 2 restores the whole screen to the background index; frame 0 had no
    // transparency, so the background index is -1, filled as 255 -> nibble 15.
    EXPECT_EQ(ComposeFrameTwo(2), (std::vector<uint8_t>{15, 15, 0, 15}));
    // 3 restores the screen as it was before frame 1.
    EXPECT_EQ(ComposeFrameTwo(3), (std::vector<uint8_t>{1, 1, 0, 1}));
}

TEST(GifDecoder, DisposalToBackgroundUsesFirstFrameTransparentIndex) {
    Frame f0 = Solid(0, 0, 3, 1, 1);
    f0.transparent = 2;
    f0.pixels = {1, 2, 1};
    f0.disposal = 2;
    Frame f1 = Solid(0, 0, 1, 1, 3);
    ZtImageGIF first;
    ASSERT_TRUE(DecodeGif(first, Gif(3, 1, kFour, {f0, f1})));
    // Transparent pixels of frame 0 show the screen, filled with index 2.
    EXPECT_EQ(Indices(first), (std::vector<uint8_t>{1, 2, 1}));
    EXPECT_EQ(first.TransparentIndex(), 2);
    ZtImageGIF second;
    second.SetFrameIndex(1);
    ASSERT_TRUE(DecodeGif(second, Gif(3, 1, kFour, {f0, f1})));
    EXPECT_EQ(Indices(second), (std::vector<uint8_t>{3, 2, 2}));
}

TEST(GifDecoder, RestoreToPreviousAfterFirstFrameShowsFilledScreen) {
    // The screen starts as the transparent index byte even when the flag
    // that makes it transparent is clear.
    Frame f0 = Solid(0, 0, 3, 1, 1);
    f0.transparent = 2;
    f0.disposal = 3;
    Frame f1 = Solid(1, 0, 1, 1, 3);
    Bytes file = Gif(3, 1, kFour, {f0, f1});
    const size_t flags = 13 + 12 + 3;
    ASSERT_EQ(file[flags - 3], 0x21);
    file[flags] = uint8_t(file[flags] & ~1);
    ZtImageGIF first;
    ASSERT_TRUE(DecodeGif(first, file));
    EXPECT_EQ(Indices(first), (std::vector<uint8_t>{1, 1, 1}));
    EXPECT_EQ(first.TransparentIndex(), -1);
    ZtImageGIF second;
    second.SetFrameIndex(1);
    ASSERT_TRUE(DecodeGif(second, file));
    EXPECT_EQ(Indices(second), (std::vector<uint8_t>{2, 3, 2}));
}

TEST(GifDecoder, ZeroSizedFrames) {
    // A frame without pixels is counted and its data consumed; it changes nothing.
    Frame f0 = Solid(0, 0, 2, 1, 1);
    Frame f1 = Solid(0, 0, 0, 1, 0);
    Frame f2 = Solid(1, 0, 1, 1, 2);
    ZtImageGIF img;
    img.SetFrameIndex(2);
    ASSERT_TRUE(DecodeGif(img, Gif(2, 1, kFour, {f0, f1, f2})));
    EXPECT_EQ(img.FrameCount(), 3);
    EXPECT_EQ(Indices(img), (std::vector<uint8_t>{1, 2}));
    // A 0 x 0 screen whose first frame is 0 x 0 has no picture at all.
    ZtImageGIF none;
    EXPECT_FALSE(DecodeGif(none, Gif(0, 0, kFour, {Solid(0, 0, 0, 0, 0)})));
    EXPECT_FALSE(none.HasPixels());
}

TEST(GifDecoder, KeepAllFramesStoresEveryComposedFrame) {
    Frame f0 = Solid(0, 0, 2, 1, 1);
    Frame f1 = Solid(1, 0, 1, 1, 2);
    Frame f2 = Solid(0, 0, 1, 1, 3);
    ZtImage img;
    img.SetKeepAllFrames(true);
    img.SetFrameIndex(2);
    ASSERT_TRUE(zt_test::DecodeBytes(img, Gif(2, 1, kFour, {f0, f1, f2}), ImageFormat::Gif));
    ASSERT_EQ(img.StoredFrames(), 3u);
    EXPECT_EQ(Indices(*img.Frame(0)), (std::vector<uint8_t>{1, 1}));
    EXPECT_EQ(Indices(*img.Frame(1)), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(Indices(*img.Frame(2)), (std::vector<uint8_t>{3, 2}));
    EXPECT_FALSE(img.Frame(1)->KeepAllFrames());
    EXPECT_EQ(img.FrameCount(), 3);
}

TEST(GifDecoder, CanvasModeComposesAllFramesInTrueColour) {
    // No global table, two frames, the first smaller than the screen both ways.
    Frame f0 = Solid(1, 1, 2, 1, 1);
    f0.localTable = {0x111111, 0xAA0000};
    Frame f1 = Solid(0, 0, 1, 1, 0);
    f1.localTable = {0x0000BB, 0x00CC00};
    Frame f2 = Solid(2, 1, 1, 1, 1);
    f2.localTable = {0x0000BB, 0x00CC00};
    ZtImageGIF img;
    ASSERT_TRUE(DecodeGif(img, Gif(4, 3, {}, {f0, f1, f2})));
    EXPECT_EQ(img.BitsPerPixel(), 24u);
    EXPECT_EQ(img.Width(), 4);
    EXPECT_EQ(img.Height(), 3);
    EXPECT_EQ(img.FrameIndex(), 2);  // every frame is composed
    EXPECT_EQ(img.FrameCount(), 3);
    EXPECT_EQ(Pixels(img), (std::vector<uint32_t>{0x0000BB, 0, 0, 0,  //
                                                  0, 0xAA0000, 0x00CC00, 0,  //
                                                  0, 0, 0, 0}));

    // With a global table the same frames compose by index on the screen.
    ZtImageGIF indexed;
    ASSERT_TRUE(DecodeGif(indexed, Gif(4, 3, kFour, {f0, f1, f2})));
    EXPECT_EQ(indexed.BitsPerPixel(), 1u);
    EXPECT_EQ(indexed.FrameIndex(), 0);
}

TEST(GifDecoder, TransparentIndexWidensPaletteOnlyForEightBitFrames) {
    std::vector<uint32_t> table64(64);
    for (uint32_t i = 0; i < 64; ++i) table64[i] = i * 0x030303;
    Frame f = Solid(0, 0, 2, 1, 5);
    f.transparent = 7;
    ZtImageGIF img;
    ASSERT_TRUE(DecodeGif(img, Gif(2, 1, table64, {f})));
    EXPECT_EQ(img.BitsPerPixel(), 8u);
    EXPECT_EQ(img.TransparentIndex(), 7);
    EXPECT_EQ(img.PaletteEntry(63), (ZtQuad{189, 189, 189, 0}));
    for (uint32_t i : {64u, 100u, 255u}) EXPECT_EQ(img.PaletteEntry(i), (ZtQuad{255, 255, 255, 0}));

    std::vector<uint32_t> table16(16);
    for (uint32_t i = 0; i < 16; ++i) table16[i] = i * 0x100000;
    ZtImageGIF four;
    ASSERT_TRUE(DecodeGif(four, Gif(2, 1, table16, {f})));
    EXPECT_EQ(four.BitsPerPixel(), 4u);
    EXPECT_EQ(four.PaletteEntries(), 16u);
    EXPECT_EQ(four.PaletteEntry(15), (ZtQuad{0, 0, 0xF0, 0}));

    // Without transparency, entries past the table stay black.
    f.transparent = -1;
    ZtImageGIF plain;
    ASSERT_TRUE(DecodeGif(plain, Gif(2, 1, table64, {f})));
    EXPECT_EQ(plain.PaletteEntry(64), (ZtQuad{0, 0, 0, 0}));
}

TEST(GifDecoder, ZeroScreenTakesFirstFrameSize) {
    Frame f = Solid(0, 0, 3, 2, 2);
    ZtImageGIF img;
    ASSERT_TRUE(DecodeGif(img, Gif(0, 0, kFour, {f})));
    EXPECT_EQ(img.Width(), 3);
    EXPECT_EQ(img.Height(), 2);
    EXPECT_EQ(Indices(img), std::vector<uint8_t>(6, 2));
}

TEST(GifDecoder, FrameOutsideScreenIsClipped) {
    Frame inside = Solid(0, 0, 2, 2, 1);
    Frame outside = Solid(1, 1, 2, 2, 3);
    ZtImageGIF img;
    img.SetFrameIndex(1);
    ASSERT_TRUE(DecodeGif(img, Gif(2, 2, kFour, {inside, outside})));
    EXPECT_EQ(img.FrameCount(), 2);
    EXPECT_EQ(img.Width(), 2);
    // Only the frame's top-left pixel lies on the screen.
    EXPECT_EQ(Indices(img), (std::vector<uint8_t>{1, 1, 1, 3}));

    // A file whose only frame sticks out still has a picture.
    ZtImageGIF only;
    ASSERT_TRUE(DecodeGif(only, Gif(2, 2, kFour, {outside})));
    EXPECT_EQ(only.FrameCount(), 1);
    EXPECT_EQ(Indices(only)[3], 3);

    // Canvas mode (no global table, two frames, a small first frame) clips too.
    Frame a = Solid(0, 0, 1, 1, 1), b = Solid(2, 2, 3, 3, 2);
    a.localTable = kFour;
    b.localTable = kFour;
    ZtImageGIF canvas;
    ASSERT_TRUE(DecodeGif(canvas, Gif(3, 3, {}, {a, b})));
    EXPECT_EQ(canvas.BitsPerPixel(), 24u);
    EXPECT_EQ(canvas.ColorAt(2, 0, false), (ZtQuad{0, 255, 0, 0}));
    EXPECT_EQ(canvas.ColorAt(0, 2, false), (ZtQuad{0, 0, 255, 0}));
}

TEST(GifDecoder, SettingsAndRefusals) {
    const Bytes good = Gif(5, 3, kFour, {Solid(0, 0, 5, 3, 1)});
    ZtImageGIF dims;
    dims.SetAbortCode(-1);
    ASSERT_TRUE(DecodeGif(dims, good));
    EXPECT_EQ(dims.Width(), 5);
    EXPECT_EQ(dims.Height(), 3);
    EXPECT_FALSE(dims.HasPixels());
    EXPECT_EQ(dims.FormatId(), uint32_t(ImageFormat::Gif));

    // "GIF8" and any two bytes pass the signature test.
    Bytes odd = good;
    odd[4] = 'x';
    odd[5] = 'y';
    ZtImageGIF oddImg;
    EXPECT_TRUE(DecodeGif(oddImg, odd));
    Bytes bad = good;
    bad[3] = '9';
    ZtImageGIF badImg;
    EXPECT_FALSE(DecodeGif(badImg, bad));
    EXPECT_FALSE(ZtImageGIF().Decode(nullptr));

    // A frame index past the count fails but reports the count.
    ZtImage caller;
    caller.SetFrameIndex(1);
    EXPECT_FALSE(zt_test::DecodeBytes(caller, good, ImageFormat::Gif));
    EXPECT_EQ(caller.FrameCount(), 1);
    ZtImageGIF negative;
    negative.SetFrameIndex(-1);
    EXPECT_FALSE(DecodeGif(negative, good));

    ZtImageGIF cancelled;
    cancelled.SetAbortCode(3);
    EXPECT_FALSE(DecodeGif(cancelled, good));
}

TEST(GifDecoder, HugeScreenFailsCleanly) {
    Frame f = Solid(0, 0, 1, 1, 1);
    ZtImageGIF img;
    EXPECT_FALSE(DecodeGif(img, Gif(65535, 65535, kFour, {f})));
    EXPECT_FALSE(img.HasPixels());
    EXPECT_STREQ(img.LastError(), "ZTIMAGE_MAX_MEMORY exceeded");
}

TEST(GifDecoder, ExtensionsAndBrokenBlocks) {
    const Frame f = Solid(0, 0, 2, 1, 2);
    Bytes file = Gif(2, 1, kFour, {});
    file.pop_back();
    // Comment, looping application block and a plain text block are read.
    const Bytes blocks{0x21, 0xFE, 3, 'a', 'b', 'c', 0,
                       0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 7, 0, 0,
                       0x21, 0x01, 2, 9, 9, 0};
    file.insert(file.end(), blocks.begin(), blocks.end());
    const Bytes fb = FrameBytes(f, 4);
    file.insert(file.end(), fb.begin(), fb.end());
    Bytes withTrailer = file;
    withTrailer.push_back(0x3B);
    ZtImageGIF img;
    ASSERT_TRUE(DecodeGif(img, withTrailer));
    EXPECT_STREQ(img.Comment(), "abc");
    EXPECT_EQ(img.LoopCount(), 7);
    EXPECT_EQ(Indices(img), (std::vector<uint8_t>{2, 2}));

    // An application block that holds no data at all is complete; the scan
    // goes on to the frame behind it.
    const Bytes emptyApp{0x21, 0xFF, 11, 'I', 'C', 'C', 'R', 'G', 'B', 'G', '1', '0', '1', '2', 0};
    Bytes early = Gif(2, 1, kFour, {});
    early.pop_back();
    early.insert(early.end(), emptyApp.begin(), emptyApp.end());
    early.insert(early.end(), fb.begin(), fb.end());
    early.push_back(0x3B);
    ZtImageGIF afterEmpty;
    ASSERT_TRUE(DecodeGif(afterEmpty, early));
    EXPECT_EQ(Indices(afterEmpty), (std::vector<uint8_t>{2, 2}));

    // A malformed block (a graphic control block of length 5) ends the scan:
    // after a frame the decode keeps what it composed...
    const Bytes badControl{0x21, 0xF9, 5, 0, 0, 0, 0, 0, 0};
    const Bytes second = FrameBytes(Solid(0, 0, 2, 1, 3), 4);
    Bytes stop = file;
    stop.insert(stop.end(), badControl.begin(), badControl.end());
    stop.insert(stop.end(), second.begin(), second.end());
    ZtImageGIF stopped;
    stopped.SetFrameIndex(1);
    EXPECT_TRUE(DecodeGif(stopped, stop));
    EXPECT_EQ(stopped.FrameCount(), 2);
    EXPECT_EQ(Indices(stopped), (std::vector<uint8_t>{2, 2}));

    // ...but before any frame there is nothing to show: a failure, not an
    // empty success.
    Bytes broken = Gif(2, 1, kFour, {});
    broken.pop_back();
    broken.insert(broken.end(), badControl.begin(), badControl.end());
    broken.insert(broken.end(), fb.begin(), fb.end());
    ZtImageGIF none;
    EXPECT_FALSE(DecodeGif(none, broken));
    EXPECT_EQ(none.FrameCount(), 1);
    EXPECT_FALSE(none.HasPixels());
}

TEST(GifDecoder, ShortAndSurplusData) {
    Frame f = Solid(0, 0, 4, 4, 0);
    for (size_t i = 0; i < 16; ++i) f.pixels[i] = uint8_t(1 + i % 3);
    const Bytes full = Gif(4, 4, kFour, {f});
    // Truncated data: rows that never came stay index 0.
    Frame half = f;
    half.pixels.resize(6);
    half.height = 4;
    Bytes shortFile = Gif(4, 4, kFour, {half});
    ZtImageGIF img;
    ASSERT_TRUE(DecodeGif(img, shortFile));
    std::vector<uint8_t> expect(f.pixels.begin(), f.pixels.begin() + 6);
    expect.resize(16, 0);
    EXPECT_EQ(Indices(img), expect);

    // Surplus interlaced lines do not overwrite the rows already filled.
    Frame over = Solid(0, 0, 2, 2, 0);
    over.interlaced = true;
    over.pixels = {1, 1, 2, 2, 3, 3, 3, 3};  // four lines of data for two rows
    over.height = 4;
    Bytes overFile = Gif(2, 4, kFour, {over});
    // Rewrite the descriptor height to 2 while the data keeps four lines.
    const size_t desc = 13 + 12;
    ASSERT_EQ(overFile[desc], 0x2C);
    overFile[desc + 7] = 2;
    overFile[8] = 2;  // screen height 2
    ZtImageGIF surplus;
    ASSERT_TRUE(DecodeGif(surplus, overFile));
    EXPECT_EQ(Indices(surplus), (std::vector<uint8_t>{1, 1, 3, 3}));

    // Every prefix of a good file decodes or fails without harm.
    for (size_t n = 0; n < full.size(); ++n) {
        ZtImageGIF prefix;
        ZtMemFile stream(full.data(), n);
        if (prefix.Decode(&stream)) {
            EXPECT_EQ(prefix.Width(), 4);
        }
    }
}

TEST(GifDecoder, SingleByteFlipsDecodeOrFailCleanly) {
    Frame f0 = Solid(0, 0, 5, 4, 1);
    for (size_t i = 0; i < f0.pixels.size(); ++i) f0.pixels[i] = uint8_t(i % 4);
    f0.interlaced = true;
    Frame f1 = Solid(1, 1, 3, 2, 2);
    f1.transparent = 1;
    f1.disposal = 3;
    Frame f2 = Solid(2, 0, 2, 3, 3);
    f2.localTable = {0x123456, 0x654321, 0xABCDEF, 0xFEDCBA, 0x010203};
    const Bytes good = Gif(5, 4, kFour, {f0, f1, f2});
    for (size_t i = 0; i < good.size(); ++i)
        for (uint8_t mask : {0x01, 0x80, 0xFF}) {
            Bytes bad = good;
            bad[i] = uint8_t(bad[i] ^ mask);
            ZtImageGIF img;
            img.SetFrameIndex(2);
            img.SetKeepAllFrames(true);
            if (DecodeGif(img, bad)) {
                ASSERT_TRUE(img.HasPixels()) << "byte " << i;
                EXPECT_GT(img.Width() * img.Height(), 0) << "byte " << i;
            } else {
                EXPECT_FALSE(img.HasPixels()) << "byte " << i;
            }
        }
}

TEST(GifDecoder, CorpusMatchesReferenceDecoder) {
    const std::string corpus = zt_test::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "shared corpus not found next to the checkout";
    const auto refs =
        zt_test::LoadCorpusReferences(std::string(ZENT_SOURCE_DIR) + "/tests/data/gif_reference.tsv");
    ASSERT_GT(refs.size(), 100u);
    int matched = 0;
    for (const auto& r : refs) {
        const Bytes bytes = zt_test::ReadFileBytes(corpus + "/" + r.path);
        ASSERT_FALSE(bytes.empty()) << r.path;
        ZtImage img;
        const bool ok = zt_test::DecodeBytes(img, bytes, ImageFormat::Gif);
        // "any": our decoder differs from the reference by design (see the
        // reference script); a clean decode or a clean failure will do.
        if (r.expect == "valid" && r.reference != "any") {
            EXPECT_TRUE(ok) << r.path;
        }
        if (!ok) {
            EXPECT_FALSE(img.HasPixels()) << r.path;
            continue;
        }
        EXPECT_GT(img.Width(), 0) << r.path;
        if (r.reference == "any" || r.reference == "fail") continue;
        EXPECT_TRUE(zt_test::MatchesReference(img, r));
        ++matched;
    }
    EXPECT_GT(matched, 100);
}

}  // namespace
