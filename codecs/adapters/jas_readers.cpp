// Readers for the uncompressed members of the JPEG-2000 family.
//
// PNM: the Netpbm formats as documented in the Netpbm manual pages pbm(5),
// pgm(5) and ppm(5): plain (P1, P2, P3) and raw (P4, P5, P6) variants, maxval
// 1 to 65535, two-byte big-endian raw samples above 255.
// PGX: the JPEG 2000 conformance raw format of ISO/IEC 15444-4 ("PG ML +8 w h").
// Sun raster: the rasterfile(5) layout of SunOS (32-byte big-endian header,
// optional colour map, rows padded to 16 bits, byte-encoded run lengths).
//
// Every reader pulls its bytes through one buffered source and writes each
// picture line into its storage row as soon as it is read: raw PPM and
// 24-bit Sun raster lines are read straight into the row and put in blue,
// green, red order there.
#include "codecs/adapters/jas_readers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "image/byte_reader.h"
#include "image/checked_math.h"
#include "image/decode_outcome.h"
#include "image/zt_file.h"
#include "image/zt_image.h"

namespace jas {
namespace {

constexpr char kCannotLoad[] = "error: cannot load image data";
constexpr char kOverCeiling[] = "ZTIMAGE_MAX_MEMORY exceeded";
// Largest width or height any of these headers may claim; keeps every
// product below in easy reach of 64 bits and every row index in int32.
constexpr uint64_t kMaxSide = 0x7FFFFFFF;
// What a header-only read looks at.
constexpr uint64_t kHeaderBytes = 1 << 20;
constexpr uint64_t kWholeStream = UINT64_MAX;

[[noreturn]] void Damaged() { FailDecode(kCannotLoad); }

// Buffered reading from the stream's position to its end (or to a limit).
// Remaining() is known from the start, so a file too short for its picture
// is refused before anything is allocated.
class Source {
public:
    Source(ZtFile& file, uint64_t limit) : file_(file), buffer_(kChunk) {
        const int32_t at = file.Position();
        const int32_t length = file.Length();
        left_ = at >= 0 && length >= at ? std::min<uint64_t>(uint64_t(length - at), limit) : 0;
    }

    uint64_t Remaining() const { return (end_ - at_) + left_; }
    // The next byte, or -1 at the end.
    int Peek() { return at_ < end_ || Refill() ? buffer_[at_] : -1; }
    int Next() { return at_ < end_ || Refill() ? buffer_[at_++] : -1; }

    // Exactly n bytes, or false.
    bool Read(uint8_t* out, size_t n) {
        const size_t buffered = std::min(n, end_ - at_);
        memcpy(out, buffer_.data() + at_, buffered);
        at_ += buffered;
        out += buffered;
        n -= buffered;
        if (n == 0) return true;
        if (n >= kChunk) {
            // Large reads bypass the buffer.
            if (n > left_) return false;
            const size_t got = file_.ReadBlocks(out, 1, n);
            left_ = got == n ? left_ - n : 0;
            return got == n;
        }
        if (!Refill() || end_ - at_ < n) return false;
        memcpy(out, buffer_.data() + at_, n);
        at_ += n;
        return true;
    }

    bool Skip(uint64_t n) {
        const size_t buffered = size_t(std::min<uint64_t>(n, end_ - at_));
        at_ += buffered;
        n -= buffered;
        if (n == 0) return true;
        if (n > left_ || n > uint64_t(INT32_MAX) || !file_.SeekTo(int32_t(n), 1)) return false;
        left_ -= n;
        return true;
    }

private:
    static constexpr size_t kChunk = 1 << 16;

    bool Refill() {
        at_ = end_ = 0;
        if (left_ == 0) return false;
        const size_t want = size_t(std::min<uint64_t>(kChunk, left_));
        const size_t got = file_.ReadBlocks(buffer_.data(), 1, want);
        // A stream that delivers less than its length promised ends there.
        left_ = got == want ? left_ - got : 0;
        end_ = got;
        return got > 0;
    }

    ZtFile& file_;
    std::vector<uint8_t> buffer_;
    size_t at_ = 0;
    size_t end_ = 0;
    uint64_t left_ = 0;  // bytes still in the stream, not yet buffered
};

bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Whitespace and '#' comments (to the end of the line) between tokens.
void SkipSeparators(Source& s) {
    for (;;) {
        const int c = s.Peek();
        if (IsSpace(c)) {
            s.Next();
        } else if (c == '#') {
            int d;
            while ((d = s.Peek()) >= 0 && d != '\n' && d != '\r') s.Next();
        } else {
            return;
        }
    }
}

// An unsigned decimal number; anything else (a sign, a letter, the end) or a
// value past limit is damage.
uint32_t Number(Source& s, uint32_t limit) {
    SkipSeparators(s);
    int c = s.Peek();
    if (c < '0' || c > '9') Damaged();
    uint64_t v = 0;
    while (c >= '0' && c <= '9') {
        v = v * 10 + uint32_t(c - '0');
        if (v > limit) Damaged();
        s.Next();
        c = s.Peek();
    }
    return uint32_t(v);
}

// A plain PBM digit: '0' or '1', separators optional.
uint32_t Bit(Source& s) {
    SkipSeparators(s);
    const int c = s.Next();
    if (c != '0' && c != '1') Damaged();
    return uint32_t(c - '0');
}

uint32_t BitsFor(uint32_t maxValue) {
    uint32_t bits = 0;
    while (maxValue) {
        ++bits;
        maxValue >>= 1;
    }
    return bits;
}

// An unsigned sample below 2^precision as an 8-bit value: wider samples keep
// their top 8 bits.
inline uint8_t Top8(uint32_t v, uint32_t precision) {
    return uint8_t(precision > 8 ? v >> (precision - 8) : v);
}

// The depth a grey picture of this precision is stored at (Create rounds
// min(precision, 8) up to 1, 4 or 8).
uint32_t GreyDepth(uint32_t precision) { return precision <= 1 ? 1 : precision <= 4 ? 4 : 8; }

// Checks the header's size: a zero or oversized side is damage; a picture
// whose storage would pass the ceiling is refused (not in header-only mode,
// which makes no pixels).
Layout Shape(uint64_t width, uint64_t height, bool colour, uint32_t precision, bool headerOnly) {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) Damaged();
    const uint32_t depth = colour ? 24 : GreyDepth(precision);
    const uint64_t stride = (width * depth + 31) / 32 * 4;
    if (!headerOnly && !ProductAtMost(stride, height, 1, ZTIMAGE_MAX_MEMORY)) FailDecode(kOverCeiling);
    return Layout{uint32_t(width), uint32_t(height), colour};
}

// Creates the picture of a checked layout; returns its depth.
uint32_t MakePicture(ZtImage& image, const Layout& layout, uint32_t precision, Ids ids) {
    if (layout.colour) {
        if (!image.Create(layout.width, layout.height, 24, ids.colour)) FailDecode("");
        return 24;
    }
    if (!image.Create(layout.width, layout.height, std::min<uint32_t>(precision, 8), ids.grey)) FailDecode("");
    image.SetGreyRamp();
    return image.BitsPerPixel();
}

// Storage row of picture line y (counted from the top).
uint8_t* LineRow(const ZtImage& image, const Layout& layout, uint32_t y) {
    return image.RowBits(layout.height - 1 - y);
}

// Puts 8-bit grey indices into a storage row of 1, 4 or 8 bits a pixel. The
// row comes zeroed from Create and is written once, so packed pixels are
// or-ed in.
void PackGrey(uint8_t* out, const uint8_t* values, uint32_t width, uint32_t depth) {
    if (depth == 8) {
        if (out != values) memcpy(out, values, width);
    } else if (depth == 4) {
        for (uint32_t x = 0; x < width; ++x) out[x >> 1] |= uint8_t(values[x] << ((x & 1) ? 0 : 4));
    } else {
        for (uint32_t x = 0; x < width; ++x) out[x >> 3] |= uint8_t(values[x] << (7 - (x & 7)));
    }
}

// A packed 1-bit line whose set bits are black, as a row of the two-entry
// ramp (index 0 black): every bit inverted, the bits past the width cleared.
void InvertBits(uint8_t* row, uint32_t width) {
    const size_t bytes = (size_t(width) + 7) / 8;
    for (size_t i = 0; i < bytes; ++i) row[i] = uint8_t(~row[i]);
    if (width & 7) row[bytes - 1] &= uint8_t(0xFF << (8 - (width & 7)));
}

// Red, green, blue triples to blue, green, red, in place.
void SwapRedBlue(uint8_t* row, uint32_t width) {
    for (uint32_t x = 0; x < width; ++x) std::swap(row[3 * size_t(x)], row[3 * size_t(x) + 2]);
}

// A working row of n bytes, after the picture's own size was checked.
std::vector<uint8_t> WorkRow(uint64_t n) { return std::vector<uint8_t>(size_t(n)); }

// ---------------------------------------------------------------- PNM ----

void ReadPlainPnm(Source& s, char kind, uint32_t maxValue, uint32_t precision, const Layout& layout,
                  ZtImage& image, uint32_t depth) {
    const uint32_t width = layout.width;
    std::vector<uint8_t> values = WorkRow(layout.colour ? 0 : width);
    for (uint32_t y = 0; y < layout.height; ++y) {
        uint8_t* out = LineRow(image, layout, y);
        if (layout.colour) {
            for (uint32_t x = 0; x < width; ++x)
                for (int c = 2; c >= 0; --c) out[3 * size_t(x) + size_t(c)] = Top8(Number(s, maxValue), precision);
            continue;
        }
        for (uint32_t x = 0; x < width; ++x)
            // Plain PBM: 1 is black, stored as index 0 so that black shows black.
            values[x] = kind == '1' ? uint8_t(1 - Bit(s)) : Top8(Number(s, maxValue), precision);
        PackGrey(out, values.data(), width, depth);
    }
}

void ReadRawPnm(Source& s, char kind, uint32_t maxValue, uint32_t precision, const Layout& layout,
                ZtImage& image, uint32_t depth) {
    const uint32_t width = layout.width, height = layout.height;
    // Raw rasters start after exactly one whitespace character.
    if (!IsSpace(s.Next())) Damaged();
    if (kind == '4') {
        const uint64_t rowBytes = (uint64_t(width) + 7) / 8;
        if (rowBytes * height > s.Remaining()) Damaged();
        for (uint32_t y = 0; y < height; ++y) {
            uint8_t* out = LineRow(image, layout, y);
            if (!s.Read(out, size_t(rowBytes))) Damaged();
            InvertBits(out, width);
        }
        return;
    }
    const uint32_t channels = layout.colour ? 3 : 1;
    const uint64_t sampleBytes = maxValue > 255 ? 2 : 1;
    uint64_t need = 0;
    if (!CheckedMul3(uint64_t(width) * height, channels, sampleBytes, &need) || need > s.Remaining()) Damaged();
    const size_t lineSamples = size_t(width) * channels;
    // One-byte samples are read into the row itself when the row holds
    // one byte a sample; everything else passes through a working line.
    const bool inPlace = sampleBytes == 1 && (layout.colour || depth == 8);
    std::vector<uint8_t> line = WorkRow(inPlace ? 0 : lineSamples * sampleBytes);
    std::vector<uint8_t> values = WorkRow(layout.colour || depth == 8 ? 0 : width);
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* out = LineRow(image, layout, y);
        uint8_t* in = inPlace ? out : line.data();
        if (!s.Read(in, lineSamples * sampleBytes)) Damaged();
        // A sample above maxval has no meaning in the format.
        uint8_t* dest = layout.colour || depth == 8 ? out : values.data();
        if (sampleBytes == 1) {
            if (maxValue < 255)
                for (size_t i = 0; i < lineSamples; ++i)
                    if (in[i] > maxValue) Damaged();
            if (dest != in) memcpy(dest, in, lineSamples);
        } else {
            for (size_t i = 0; i < lineSamples; ++i) {
                const uint32_t v = Get16BE(in + 2 * i);
                if (v > maxValue) Damaged();
                dest[i] = Top8(v, precision);
            }
        }
        if (layout.colour)
            SwapRedBlue(out, width);
        else if (depth != 8)
            PackGrey(out, values.data(), width, depth);
    }
}

// ---------------------------------------------------------------- Sun raster ----

// Sun raster header fields (rasterfile(5)).
constexpr uint32_t kSunMagic = 0x59A66A95;
enum SunType : uint32_t { kSunOld = 0, kSunStandard = 1, kSunByteEncoded = 2, kSunRgb = 3 };
enum SunMap : uint32_t { kSunNoMap = 0, kSunRgbMap = 1, kSunRawMap = 2 };

// Undoes the byte encoding line by line: 0x80 0x00 is one 0x80 byte, 0x80 n
// v is n + 1 copies of v, any other byte stands for itself. A run may go on
// into the next line; what runs past the picture's end is dropped.
class SunRuns {
public:
    explicit SunRuns(Source& s) : s_(s) {}

    bool Fill(uint8_t* out, size_t n) {
        while (n > 0) {
            if (runLeft_ > 0) {
                const size_t k = std::min(runLeft_, n);
                memset(out, runValue_, k);
                out += k;
                n -= k;
                runLeft_ -= k;
                continue;
            }
            const int b = s_.Next();
            if (b < 0) return false;
            --n;
            if (b != 0x80) {
                *out++ = uint8_t(b);
                continue;
            }
            // A marker that ends the data stands for itself: only the byte it
            // completes needed it.
            const int count = s_.Next();
            if (count <= 0) {
                *out++ = 0x80;
                continue;
            }
            const int v = s_.Next();
            if (v < 0) return false;
            *out++ = uint8_t(v);
            runLeft_ = size_t(count);
            runValue_ = uint8_t(v);
        }
        return true;
    }

private:
    Source& s_;
    size_t runLeft_ = 0;
    uint8_t runValue_ = 0;
};

}  // namespace

Layout ReadPnm(ZtFile& file, bool headerOnly, ZtImage& image, Ids ids) {
    Source s(file, headerOnly ? kHeaderBytes : kWholeStream);
    const int p = s.Next();
    const int k = s.Next();
    if (p != 'P' || k < '1' || k > '6') Damaged();
    const char kind = char(k);
    const uint32_t width = Number(s, uint32_t(kMaxSide));
    const uint32_t height = Number(s, uint32_t(kMaxSide));
    const bool bitmap = kind == '1' || kind == '4';
    // maxval 0 would make every sample meaningless; Netpbm caps it at 65535.
    const uint32_t maxValue = bitmap ? 1 : Number(s, 65535);
    if (maxValue == 0) Damaged();
    const bool colour = kind == '3' || kind == '6';
    const uint32_t precision = BitsFor(maxValue);
    const Layout layout = Shape(width, height, colour, precision, headerOnly);
    if (headerOnly) return layout;
    // Each plain sample takes at least one character and each raw one at
    // least one byte (a PBM row an eighth of that): refuse a file that cannot
    // hold its picture before anything is read.
    if (kind != '4' && uint64_t(width) * height * (colour ? 3 : 1) > s.Remaining()) Damaged();
    const uint32_t depth = MakePicture(image, layout, precision, ids);
    if (kind <= '3')
        ReadPlainPnm(s, kind, maxValue, precision, layout, image, depth);
    else
        ReadRawPnm(s, kind, maxValue, precision, layout, image, depth);
    return layout;
}

Layout ReadPgx(ZtFile& file, bool headerOnly, ZtImage& image, Ids ids) {
    // "PG", blanks, "ML" (big-endian) or "LM", blanks, an optional sign
    // (possibly next to the depth), depth, width, height, one line end.
    Source s(file, headerOnly ? kHeaderBytes : kWholeStream);
    if (s.Next() != 'P' || s.Next() != 'G') Damaged();
    SkipSeparators(s);
    const int o1 = s.Next();
    const int o2 = s.Next();
    bool bigEndian;
    if (o1 == 'M' && o2 == 'L')
        bigEndian = true;
    else if (o1 == 'L' && o2 == 'M')
        bigEndian = false;
    else
        Damaged();
    SkipSeparators(s);
    bool isSigned = false;
    if (s.Peek() == '+' || s.Peek() == '-') isSigned = s.Next() == '-';
    const uint32_t precision = Number(s, 255);
    const uint32_t width = Number(s, uint32_t(kMaxSide));
    const uint32_t height = Number(s, uint32_t(kMaxSide));
    // Samples wider than 16 bits do not fit the format's two-byte words.
    if (precision == 0 || precision > 16) Damaged();
    const Layout layout = Shape(width, height, false, precision, headerOnly);
    if (headerOnly) return layout;

    const size_t wordBytes = precision > 8 ? 2 : 1;
    const uint64_t need = uint64_t(width) * height * wordBytes;
    // One whitespace character ends the header; some files end it with CR LF,
    // which is taken whole when the data that follows is still complete.
    const int end = s.Next();
    if (!IsSpace(end)) Damaged();
    if (end == '\r' && s.Peek() == '\n' && s.Remaining() > need) s.Next();
    if (need > s.Remaining()) Damaged();

    const uint32_t depth = MakePicture(image, layout, precision, ids);
    std::vector<uint8_t> line = WorkRow(uint64_t(width) * wordBytes);
    std::vector<uint8_t> values = WorkRow(depth == 8 ? 0 : width);
    const uint32_t mask = (1u << precision) - 1;
    const uint32_t signBit = 1u << (precision - 1);
    for (uint32_t y = 0; y < height; ++y) {
        if (!s.Read(line.data(), line.size())) Damaged();
        uint8_t* out = LineRow(image, layout, y);
        uint8_t* dest = depth == 8 ? out : values.data();
        const uint8_t* in = line.data();
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t v = wordBytes == 1 ? in[x] : bigEndian ? Get16BE(in + 2 * x) : Get16LE(in + 2 * x);
            // Bits above the depth carry nothing (a sign extension at most).
            v &= mask;
            // Signed samples move up by half their range, so that the most
            // negative one is black and 0 mid-grey: flipping the sign bit
            // does exactly that within the precision.
            if (isSigned) v ^= signBit;
            dest[x] = Top8(v, precision);
        }
        if (depth != 8) PackGrey(out, values.data(), width, depth);
    }
    return layout;
}

Layout ReadSunRaster(ZtFile& file, bool headerOnly, ZtImage& image, Ids ids) {
    Source s(file, headerOnly ? kHeaderBytes : kWholeStream);
    std::array<uint8_t, 32> head{};
    if (!s.Read(head.data(), head.size()) || Get32BE(head.data()) != kSunMagic) Damaged();
    const uint32_t width = Get32BE(&head[4]);
    const uint32_t height = Get32BE(&head[8]);
    const uint32_t depth = Get32BE(&head[12]);
    const uint32_t type = Get32BE(&head[20]);
    const uint32_t mapType = Get32BE(&head[24]);
    const uint32_t mapLength = Get32BE(&head[28]);
    // The length field (head + 16) is not trusted: old files leave it 0 and
    // damaged ones disagree with the size, which alone decides how many bytes
    // the picture takes.
    if ((depth != 1 && depth != 8 && depth != 24 && depth != 32) ||
        (type != kSunOld && type != kSunStandard && type != kSunByteEncoded && type != kSunRgb) ||
        (mapType != kSunNoMap && mapType != kSunRgbMap && mapType != kSunRawMap))
        Damaged();
    // An RGB map holds three planes of at most 256 entries each; any other
    // map is passed over.
    if (mapType == kSunRgbMap && (mapLength % 3 != 0 || mapLength > 768)) Damaged();
    std::array<uint8_t, 768> map{};
    if (mapType == kSunRgbMap ? !s.Read(map.data(), mapLength) : !s.Skip(mapLength)) Damaged();
    const uint32_t mapEntries = mapType == kSunRgbMap ? mapLength / 3 : 0;
    const bool mapped = depth <= 8 && mapEntries > 0;
    const bool colour = mapped || depth >= 24;
    const uint32_t precision = colour ? 8 : depth;
    const Layout layout = Shape(width, height, colour, precision, headerOnly);
    if (headerOnly) return layout;

    const uint64_t rowBytes = ((uint64_t(width) * depth + 15) / 16) * 2;
    const uint64_t total = rowBytes * height;
    const bool encoded = type == kSunByteEncoded;
    // Three encoded bytes give at most 256: data that short cannot hold the
    // picture. Unencoded, a file cut short fails: the rows it lacks were
    // never written.
    if (encoded ? total > (s.Remaining() / 3 + 1) * 256 : total > s.Remaining()) Damaged();

    MakePicture(image, layout, precision, ids);
    // Blue, green, red of every index; lookups past the map's end read black.
    std::array<uint8_t, 3 * 256> lut{};
    for (uint32_t i = 0; i < mapEntries; ++i)
        for (uint32_t c = 0; c < 3; ++c) lut[3 * i + 2 - c] = map[c * mapEntries + i];
    // 24 bits: B G R (R G B in RGB-type files); 32 bits: a pad byte first.
    const bool rgbOrder = type == kSunRgb;
    const bool straight = depth == 24 && !rgbOrder;  // the file's line is the row
    SunRuns runs(s);
    std::vector<uint8_t> line = WorkRow(straight ? 0 : rowBytes);
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* out = LineRow(image, layout, y);
        uint8_t* in = straight ? out : line.data();
        // The row holds at least the line: both are the pixels' bytes
        // rounded up, to 2 and to 4 bytes.
        if (!(encoded ? runs.Fill(in, size_t(rowBytes)) : s.Read(in, size_t(rowBytes)))) Damaged();
        if (straight) {
            // The line's pad byte is no pixel: the row's padding stays zero.
            if (rowBytes > 3 * uint64_t(width)) out[3 * size_t(width)] = 0;
            continue;
        }
        if (depth == 1 && !mapped) {
            // Without a map a set bit is black, as on the original displays.
            memcpy(out, in, (size_t(width) + 7) / 8);
            InvertBits(out, width);
        } else if (depth == 8 && !mapped) {
            memcpy(out, in, width);
        } else if (depth <= 8) {
            for (uint32_t x = 0; x < width; ++x) {
                const uint32_t index = depth == 1 ? (in[x >> 3] >> (7 - (x & 7))) & 1 : in[x];
                memcpy(out + 3 * size_t(x), &lut[3 * index], 3);
            }
        } else {
            const size_t step = depth / 8;
            const uint8_t* p = in + (depth == 32 ? 1 : 0);
            for (uint32_t x = 0; x < width; ++x, p += step) {
                out[3 * size_t(x)] = rgbOrder ? p[2] : p[0];
                out[3 * size_t(x) + 1] = p[1];
                out[3 * size_t(x) + 2] = rgbOrder ? p[0] : p[2];
            }
        }
    }
    return layout;
}

}  // namespace jas
