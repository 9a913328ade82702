// Readers for the uncompressed members of the JPEG-2000 family.
//
// PNM: the Netpbm formats as documented in the Netpbm manual pages pbm(5),
// pgm(5) and ppm(5): plain (P1, P2, P3) and raw (P4, P5, P6) variants, maxval
// 1 to 65535, two-byte big-endian raw samples above 255.
// PGX: the JPEG 2000 conformance raw format of ISO/IEC 15444-4 ("PG ML +8 w h").
// Sun raster: the rasterfile(5) layout of SunOS (32-byte big-endian header,
// optional colour map, rows padded to 16 bits, byte-encoded run lengths).
#include "codecs/adapters/jas_readers.h"

#include <algorithm>
#include <cstring>

#include "image/byte_reader.h"
#include "image/checked_math.h"
#include "image/decode_outcome.h"
#include "image/zt_image.h"

namespace jas {
namespace {

constexpr char kCannotLoad[] = "error: cannot load image data";
constexpr char kOverCeiling[] = "ZTIMAGE_MAX_MEMORY exceeded";
// Largest width or height any of these headers may claim; keeps every
// product below in easy reach of 64 bits and every row index in int32.
constexpr uint64_t kMaxSide = 0x7FFFFFFF;

[[noreturn]] void Damaged() { FailDecode(kCannotLoad); }

uint32_t BitsFor(uint32_t maxValue) {
    uint32_t bits = 0;
    while (maxValue) {
        ++bits;
        maxValue >>= 1;
    }
    return bits;
}

// Sets up count components of one size and precision; with samples they are
// allocated only after the total (4 bytes a sample) was checked against the
// ceiling.
void Shape(Picture& out, uint32_t count, uint64_t width, uint64_t height, uint32_t precision,
           bool isSigned, bool headerOnly) {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) Damaged();
    if (!headerOnly && !ProductAtMost(width * height, count, 4, ZTIMAGE_MAX_MEMORY))
        FailDecode(kOverCeiling);
    out.components.assign(count, Component{});
    for (Component& c : out.components) {
        c.width = uint32_t(width);
        c.height = uint32_t(height);
        c.precision = precision;
        c.isSigned = isSigned;
        if (!headerOnly) c.samples.resize(size_t(width * height));
    }
}

// ---------------------------------------------------------------- PNM ----

// Cursor over the text parts of a Netpbm file.
struct PnmScanner {
    const uint8_t* data;
    size_t size;
    size_t pos;

    static bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

    // Whitespace and '#' comments (to the end of the line) between tokens.
    void SkipSeparators() {
        while (pos < size) {
            if (IsSpace(data[pos])) {
                ++pos;
            } else if (data[pos] == '#') {
                while (pos < size && data[pos] != '\n' && data[pos] != '\r') ++pos;
            } else {
                break;
            }
        }
    }
    // An unsigned decimal number; anything else (a sign, a letter, the end)
    // or a value past limit is damage.
    uint32_t Number(uint32_t limit) {
        SkipSeparators();
        if (pos >= size || data[pos] < '0' || data[pos] > '9') Damaged();
        uint64_t v = 0;
        while (pos < size && data[pos] >= '0' && data[pos] <= '9') {
            v = v * 10 + (data[pos++] - '0');
            if (v > limit) Damaged();
        }
        return uint32_t(v);
    }
    // A plain PBM digit: '0' or '1', separators optional.
    uint32_t Bit() {
        SkipSeparators();
        if (pos >= size || (data[pos] != '0' && data[pos] != '1')) Damaged();
        return uint32_t(data[pos++] - '0');
    }
};

void ReadPnmSamples(PnmScanner& s, char kind, uint32_t maxValue, Picture& out) {
    const uint32_t width = out.components[0].width;
    const uint32_t height = out.components[0].height;
    const size_t channels = out.components.size();
    const size_t pixels = size_t(width) * height;
    int32_t* planes[3] = {};
    for (size_t c = 0; c < channels; ++c) planes[c] = out.components[c].samples.data();

    if (kind == '1') {
        // Plain PBM: 1 is black, stored as sample 0 so that black shows black.
        for (size_t i = 0; i < pixels; ++i) planes[0][i] = int32_t(1 - s.Bit());
        return;
    }
    if (kind == '2' || kind == '3') {
        for (size_t i = 0; i < pixels; ++i)
            for (size_t c = 0; c < channels; ++c) planes[c][i] = int32_t(s.Number(maxValue));
        return;
    }
    // Raw rasters start after exactly one whitespace character.
    if (s.pos >= s.size || !PnmScanner::IsSpace(s.data[s.pos])) Damaged();
    ++s.pos;
    ByteReader reader(s.data + s.pos, s.size - s.pos);
    if (kind == '4') {
        const size_t rowBytes = (size_t(width) + 7) / 8;
        if (uint64_t(rowBytes) * height > reader.Remaining()) Damaged();
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* row = reader.Bytes(rowBytes);
            int32_t* out0 = planes[0] + size_t(y) * width;
            for (uint32_t x = 0; x < width; ++x) out0[x] = 1 - ((row[x >> 3] >> (7 - (x & 7))) & 1);
        }
        return;
    }
    const size_t sampleBytes = maxValue > 255 ? 2 : 1;
    uint64_t need = 0;
    if (!CheckedMul3(pixels, channels, sampleBytes, &need) || need > reader.Remaining()) Damaged();
    for (uint32_t y = 0; y < height; ++y) {
        const size_t base = size_t(y) * width;
        for (uint32_t x = 0; x < width; ++x)
            for (size_t c = 0; c < channels; ++c) {
                const uint32_t v = sampleBytes == 2 ? reader.U16BE() : reader.U8();
                // A sample above maxval has no meaning in the format.
                if (v > maxValue) Damaged();
                planes[c][base + x] = int32_t(v);
            }
        if (reader.Failed()) Damaged();
    }
}

// ---------------------------------------------------------------- PGX ----

struct PgxHeader {
    bool bigEndian = true;
    bool isSigned = false;
    uint32_t depth = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

// Sun raster header fields (rasterfile(5)).
constexpr uint32_t kSunMagic = 0x59A66A95;
enum SunType : uint32_t { kSunOld = 0, kSunStandard = 1, kSunByteEncoded = 2, kSunRgb = 3 };
enum SunMap : uint32_t { kSunNoMap = 0, kSunRgbMap = 1, kSunRawMap = 2 };

// Undoes the byte encoding: 0x80 0x00 is one 0x80 byte, 0x80 n v is n + 1
// copies of v, any other byte stands for itself.
bool ExpandSunRuns(ByteReader& in, std::vector<uint8_t>& out, size_t want) {
    out.resize(want);
    size_t at = 0;
    while (at < want) {
        const uint8_t b = in.U8();
        if (in.Failed()) return false;
        if (b != 0x80) {
            out[at++] = b;
            continue;
        }
        const uint8_t n = in.U8();
        if (n == 0) {
            out[at++] = 0x80;
            continue;
        }
        const uint8_t v = in.U8();
        if (in.Failed()) return false;
        // A run past the picture's end is cut there.
        const size_t run = std::min<size_t>(size_t(n) + 1, want - at);
        memset(out.data() + at, v, run);
        at += run;
    }
    return true;
}

}  // namespace

void ReadPnm(const uint8_t* data, size_t size, bool headerOnly, Picture& out) {
    if (size < 2 || data[0] != 'P' || data[1] < '1' || data[1] > '6') Damaged();
    const char kind = char(data[1]);
    PnmScanner s{data, size, 2};
    const uint32_t width = s.Number(uint32_t(kMaxSide));
    const uint32_t height = s.Number(uint32_t(kMaxSide));
    const bool bitmap = kind == '1' || kind == '4';
    // maxval 0 would make every sample meaningless; Netpbm caps it at 65535.
    const uint32_t maxValue = bitmap ? 1 : s.Number(65535);
    if (maxValue == 0) Damaged();
    const bool colour = kind == '3' || kind == '6';
    const uint32_t channels = colour ? 3 : 1;
    Shape(out, channels, width, height, BitsFor(maxValue), false, headerOnly);
    if (headerOnly) return;
    // Each plain sample takes at least one character and each raw one at
    // least one byte (a PBM row an eighth of that): refuse a file that cannot
    // hold its picture before anything is read.
    if (kind != '4' && uint64_t(width) * height * channels > size - s.pos) Damaged();
    ReadPnmSamples(s, kind, maxValue, out);
}

void ReadPgx(const uint8_t* data, size_t size, bool headerOnly, Picture& out) {
    // "PG", blanks, "ML" (big-endian) or "LM", blanks, an optional sign
    // (possibly next to the depth), depth, width, height, one line end.
    PnmScanner s{data, size, 0};
    if (size < 2 || data[0] != 'P' || data[1] != 'G') Damaged();
    s.pos = 2;
    s.SkipSeparators();
    PgxHeader h;
    if (s.pos + 2 > size) Damaged();
    if (data[s.pos] == 'M' && data[s.pos + 1] == 'L')
        h.bigEndian = true;
    else if (data[s.pos] == 'L' && data[s.pos + 1] == 'M')
        h.bigEndian = false;
    else
        Damaged();
    s.pos += 2;
    s.SkipSeparators();
    if (s.pos < size && (data[s.pos] == '+' || data[s.pos] == '-')) {
        h.isSigned = data[s.pos] == '-';
        ++s.pos;
    }
    h.depth = s.Number(255);
    h.width = s.Number(uint32_t(kMaxSide));
    h.height = s.Number(uint32_t(kMaxSide));
    // Samples wider than 16 bits do not fit the format's two-byte words.
    if (h.depth == 0 || h.depth > 16) Damaged();
    Shape(out, 1, h.width, h.height, h.depth, h.isSigned, headerOnly);
    if (headerOnly) return;

    const size_t wordBytes = h.depth > 8 ? 2 : 1;
    const uint64_t need = uint64_t(h.width) * h.height * wordBytes;
    // One whitespace character ends the header; some files end it with CR LF,
    // which is taken whole when the data that follows is still complete.
    if (s.pos >= size || !PnmScanner::IsSpace(data[s.pos])) Damaged();
    const bool carriageReturn = data[s.pos] == '\r';
    ++s.pos;
    if (carriageReturn && s.pos < size && data[s.pos] == '\n' && size - s.pos > need) ++s.pos;
    if (need > size - s.pos) Damaged();

    ByteReader reader(data + s.pos, size - s.pos);
    const uint32_t mask = (1u << h.depth) - 1;
    const uint32_t signBit = 1u << (h.depth - 1);
    int32_t* samples = out.components[0].samples.data();
    const size_t count = size_t(h.width) * h.height;
    for (size_t i = 0; i < count; ++i) {
        uint32_t v = wordBytes == 1 ? reader.U8() : h.bigEndian ? reader.U16BE() : reader.U16LE();
        // Bits above the depth carry nothing (a sign extension at most).
        v &= mask;
        samples[i] = h.isSigned && (v & signBit) ? int32_t(v) - int32_t(mask) - 1 : int32_t(v);
    }
    if (reader.Failed()) Damaged();
}

void ReadSunRaster(const uint8_t* data, size_t size, bool headerOnly, Picture& out) {
    ByteReader reader(data, size);
    const uint8_t* head = reader.Bytes(32);
    if (!head || Get32BE(head) != kSunMagic) Damaged();
    const uint32_t width = Get32BE(head + 4);
    const uint32_t height = Get32BE(head + 8);
    const uint32_t depth = Get32BE(head + 12);
    const uint32_t type = Get32BE(head + 20);
    const uint32_t mapType = Get32BE(head + 24);
    const uint32_t mapLength = Get32BE(head + 28);
    // The length field (head + 16) is not trusted: old files leave it 0 and
    // damaged ones disagree with the size, which alone decides how many bytes
    // the picture takes.
    if ((depth != 1 && depth != 8 && depth != 24 && depth != 32) ||
        (type != kSunOld && type != kSunStandard && type != kSunByteEncoded && type != kSunRgb) ||
        (mapType != kSunNoMap && mapType != kSunRgbMap && mapType != kSunRawMap))
        Damaged();
    // An RGB map holds three planes of at most 256 entries each.
    if (mapType == kSunRgbMap && (mapLength % 3 != 0 || mapLength > 768)) Damaged();
    const uint8_t* map = reader.Bytes(mapLength);
    if (!map) Damaged();
    const uint32_t mapEntries = mapType == kSunRgbMap ? mapLength / 3 : 0;
    const bool mapped = depth <= 8 && mapEntries > 0;
    const bool colour = mapped || depth >= 24;
    Shape(out, colour ? 3 : 1, width, height, colour ? 8 : depth, false, headerOnly);
    if (headerOnly) return;

    const uint64_t rowBytes = ((uint64_t(width) * depth + 15) / 16) * 2;
    const uint64_t total = rowBytes * height;
    std::vector<uint8_t> expanded;
    const uint8_t* pixels = nullptr;
    if (type == kSunByteEncoded) {
        // Three encoded bytes give at most 256: data that short cannot hold the picture.
        if (total > (uint64_t(reader.Remaining()) / 3 + 1) * 256) Damaged();
        if (!ExpandSunRuns(reader, expanded, size_t(total))) Damaged();
        pixels = expanded.data();
    } else {
        // A file cut short fails: the rows it lacks were never written.
        if (total > reader.Remaining()) Damaged();
        pixels = reader.Bytes(size_t(total));
    }

    // Map lookups past the map's end read black.
    auto mapColour = [&](uint32_t index, uint32_t channel) -> int32_t {
        return index < mapEntries ? map[channel * mapEntries + index] : 0;
    };
    const bool rgbOrder = type == kSunRgb;
    int32_t* planes[3] = {};
    for (size_t c = 0; c < out.components.size(); ++c) planes[c] = out.components[c].samples.data();
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = pixels + size_t(y) * rowBytes;
        const size_t base = size_t(y) * width;
        for (uint32_t x = 0; x < width; ++x) {
            if (depth <= 8) {
                const uint32_t index =
                    depth == 1 ? (row[x >> 3] >> (7 - (x & 7))) & 1 : row[x];
                if (mapped) {
                    for (uint32_t c = 0; c < 3; ++c) planes[c][base + x] = mapColour(index, c);
                } else {
                    // Without a map a set bit is black, as on the original displays.
                    planes[0][base + x] = depth == 1 ? int32_t(1 - index) : int32_t(index);
                }
                continue;
            }
            // 24 bits: B G R (R G B in RGB-type files); 32 bits: a pad byte first.
            const uint8_t* p = row + size_t(x) * (depth / 8) + (depth == 32 ? 1 : 0);
            planes[0][base + x] = rgbOrder ? p[0] : p[2];
            planes[1][base + x] = p[1];
            planes[2][base + x] = rgbOrder ? p[2] : p[0];
        }
    }
}

}  // namespace jas
