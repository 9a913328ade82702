// The tile text rules written once for any pixel source, so that the tile
// encoder's block and the converter's direct reading of picture rows give the
// very same text. Internal to the converter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "converter/tile_encoder.h"

namespace tile_text {

// Three uppercase hexadecimal digits for every 12-bit value, in the low three
// bytes of each entry (the first digit lowest): a colour is two lookups.
struct HexTriples {
    uint32_t triple[4096];
    constexpr HexTriples() : triple{} {
        constexpr char kDigits[] = "0123456789ABCDEF";
        for (int i = 0; i < 4096; ++i)
            triple[i] = uint32_t(uint8_t(kDigits[i >> 8])) | uint32_t(uint8_t(kDigits[(i >> 4) & 15])) << 8 |
                        uint32_t(uint8_t(kDigits[i & 15])) << 16;
    }
};
// Built by the compiler, so it costs the program nothing at start.
inline constexpr HexTriples kHex{};

// "{RRGGBB}g", 9 bytes, for the low 24 bits of value. The first eight are
// put together in a register and stored at once: assembling them in memory
// piece by piece and reading them back stalls the store buffer.
inline void PutColourCode(uint32_t value, char* out) {
    const uint32_t high = kHex.triple[(value >> 12) & 0xFFF], low = kHex.triple[value & 0xFFF];
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const uint64_t code = uint64_t('{') | uint64_t(high) << 8 | uint64_t(low) << 32 | uint64_t('}') << 56;
    memcpy(out, &code, 8);
#else
    out[0] = '{';
    for (int i = 0; i < 3; ++i) {
        out[1 + i] = char(high >> (8 * i));
        out[4 + i] = char(low >> (8 * i));
    }
    out[7] = '}';
#endif
    out[8] = 'g';
}

// Pixels of a TilePixels block.
struct BlockSource {
    const TilePixels& block;
    uint32_t At(int k, int c) const { return block.value[k][c]; }
    uint32_t Inner(int k, int c) const { return At(k, c); }
};

// Encodes one whole tile line of 24-bit pixels (45 bytes at line, blue,
// green, red; nothing past them is read) into out, which has room for its
// longest text (135 bytes) plus 64; previous is the colour before the line
// (one the first pixel cannot have at a tile's start) and becomes the line's
// last. Returns the length.
using WholeLineEncoder = size_t (*)(char* out, const uint8_t* line, uint32_t& previous);

// The line encoders for processors with the byte shuffle (SSSE3), and with
// byte permutes and byte compression (AVX-512 VBMI and VBMI2); null where
// this build has none.
extern const WholeLineEncoder kShuffleLines;
extern const WholeLineEncoder kCompressLines;
// The fastest of them this processor runs, null for none.
WholeLineEncoder FastestWholeLineEncoder();

// Pixels read straight from 24-bit picture rows (blue, green, red): rows[k]
// is the k-th line of the tile row from the top, offset the byte offset of
// the tile's first column. Whole lines go through wholeLine when given.
struct RowSource {
    const uint8_t* const* rows;
    size_t offset;
    WholeLineEncoder wholeLine = nullptr;
    uint32_t At(int k, int c) const {
        const uint8_t* p = rows[k] + offset + 3 * size_t(c);
        return (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
    }
    // The same for a pixel that is not the last of its tile line: one load
    // that takes the next pixel's first byte along and drops it.
    uint32_t Inner(int k, int c) const {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        uint32_t v;
        memcpy(&v, rows[k] + offset + 3 * size_t(c), 4);
        return v & 0xFFFFFF;
#else
        return At(k, c);
#endif
    }
};

// Pixels read from 8-bit palette rows through a table of the palette's
// colours (0xRRGGBB): rows[k] is the k-th line of the tile row from the top,
// offset the tile's first column.
struct IndexedSource {
    const uint8_t* const* rows;
    size_t offset;
    const uint32_t* colours;  // 256 entries
    uint32_t At(int k, int c) const { return colours[rows[k][offset + size_t(c)]]; }
    uint32_t Inner(int k, int c) const { return At(k, c); }
};

#if defined(__SSE2__)
// The codes "{RRGGBB}" of two colours (0xRRGGBB) at once, the first in the
// low eight bytes: each channel byte widened to a word holding its two
// nibbles, the nibbles made digits, the words put in red, green, blue order
// and moved up one byte for the opening brace.
inline __m128i TwoColourCodes(uint32_t first, uint32_t second) {
    const __m128i pixels = _mm_set_epi32(0, 0, int(second), int(first));
    const __m128i channels = _mm_unpacklo_epi8(pixels, _mm_setzero_si128());  // B G R 0, B G R 0
    const __m128i nibbles = _mm_or_si128(_mm_srli_epi16(channels, 4),
                                         _mm_slli_epi16(_mm_and_si128(channels, _mm_set1_epi16(0x0F)), 8));
    const __m128i pastNine = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8('A' - '9' - 1));
    __m128i digits = _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), pastNine);
    digits = _mm_shufflelo_epi16(digits, _MM_SHUFFLE(3, 0, 1, 2));
    digits = _mm_shufflehi_epi16(digits, _MM_SHUFFLE(3, 0, 1, 2));  // R G B, R G B
    digits = _mm_and_si128(_mm_slli_epi64(digits, 8), _mm_set1_epi64x(0x00FFFFFFFFFFFF00));
    return _mm_or_si128(digits, _mm_set1_epi64x(int64_t(uint64_t('{') | uint64_t('}') << 56)));
}
#endif

// Whole lines of 24-bit rows go through the source's line encoder when it
// has one; other sources have none.
template <class Source>
inline bool EncodeWholeLine(const Source&, int, char*, size_t&, uint32_t&) {
    return false;
}
inline bool EncodeWholeLine(const RowSource& src, int k, char* out, size_t& n, uint32_t& previous) {
    if (!src.wholeLine) return false;
    n += src.wholeLine(out + n, src.rows[k] + src.offset, previous);
    return true;
}

// The tile text of rows x columns pixels (both 0 to 15) into out, which has
// room for the longest text plus 64 bytes; returns its length (no NUL added).
// After each pixel row's line end, rowEnd(n) is given the length so far and
// returns it again, having perhaps put more bytes at the end (up to what out
// has room for).
template <class Source, class RowEnd>
inline size_t Encode(char* out, const Source& src, int columns, int rows, RowEnd rowEnd) {
    if (rows <= 0) return 0;
    size_t n = 0;
    // The first pixel never equals previous, so the text opens with a colour code.
    uint32_t previous = src.At(0, 0) + 1;
    // The code always, then only its g kept (over the brace) when the colour
    // repeats.
    const auto put = [&](uint32_t v) {
        const bool same = v == previous;
        PutColourCode(v, out + n);
        out[n] = same ? 'g' : '{';
        n += same ? 1 : 9;
        previous = v;
    };
    const bool whole = columns == kTileSize;
    for (int k = 0; k < rows; ++k) {
        if (!whole || !EncodeWholeLine(src, k, out, n, previous)) {
            int c = 0;
#if defined(__SSE2__)
            // Two pixels' codes made together, then laid down one by one.
            const auto putCode = [&](uint32_t v, __m128i code) {
                const bool same = v == previous;
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out + n), code);
                out[n + 8] = 'g';
                out[n] = same ? 'g' : '{';
                n += same ? 1 : 9;
                previous = v;
            };
            for (; c + 2 < columns; c += 2) {
                const uint32_t first = src.Inner(k, c), second = src.Inner(k, c + 1);
                const __m128i codes = TwoColourCodes(first, second);
                putCode(first, codes);
                putCode(second, _mm_unpackhi_epi64(codes, codes));
            }
#endif
            for (; c + 1 < columns; ++c) put(src.Inner(k, c));
            if (columns > 0) put(src.At(k, columns - 1));
        }
        out[n] = '\\';
        out[n + 1] = 'n';
        n = rowEnd(n + 2);
    }
    return n;
}

template <class Source>
inline size_t Encode(char* out, const Source& src, int columns, int rows) {
    return Encode(out, src, columns, rows, [](size_t n) { return n; });
}

// The length Encode gives: rows x (columns + 2) plus 8 per colour change.
template <class Source>
inline size_t Measure(const Source& src, int columns, int rows) {
    if (rows <= 0) return 0;
    size_t changes = 0;
    uint32_t previous = src.At(0, 0) + 1;
    const auto count = [&](uint32_t v) {
        changes += v != previous;
        previous = v;
    };
    for (int k = 0; k < rows; ++k) {
        for (int c = 0; c + 1 < columns; ++c) count(src.Inner(k, c));
        if (columns > 0) count(src.At(k, columns - 1));
    }
    return size_t(rows) * size_t(columns + 2) + 8 * changes;
}

#if defined(__SSE2__)
// Of pixels 1 to 14 of a full 24-bit tile line (45 bytes at p), how many
// repeat the pixel on their left. Byte i is compared with byte i + 3 sixteen
// at a time (i from 0, 16 and 26, so nothing past the line is read); a pixel
// repeats when all three of its bytes match.
inline int RepeatsInLine(const uint8_t* p) {
    const auto matches = [p](int at) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at + 3));
        return uint64_t(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)))) << at;
    };
    const uint64_t same = matches(0) | matches(16) | matches(26);
    // Bit i says byte i equals byte i + 3, so bit 3 (c - 1) starts the
    // comparison of pixel c with pixel c - 1: bits 0, 3, ..., 39 for pixels
    // 1 to 14.
    constexpr uint64_t kPixelStarts = 0x9249249249;
    uint64_t bits = same & same >> 1 & same >> 2 & kPixelStarts;
    // The set bits, counted in parallel: in pairs, in nibbles, in bytes.
    bits -= bits >> 1 & 0x5555555555555555;
    bits = (bits & 0x3333333333333333) + (bits >> 2 & 0x3333333333333333);
    bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0F;
    return int(bits * 0x0101010101010101 >> 56);
}
#endif

// Measure for 24-bit rows: whole tile lines are compared a vector at a time.
inline size_t Measure(const RowSource& src, int columns, int rows) {
#if defined(__SSE2__)
    if (columns == kTileSize && rows > 0) {
        size_t changes = 0;
        const uint8_t* last = nullptr;  // the last pixel of the line above
        for (int k = 0; k < rows; ++k) {
            const uint8_t* line = src.rows[k] + src.offset;
            // The tile's first pixel always opens with a colour code.
            changes += k == 0 || memcmp(line, last, 3) != 0;
            changes += size_t(kTileSize - 1 - RepeatsInLine(line));
            last = line + 3 * (kTileSize - 1);
        }
        return size_t(rows) * size_t(kTileSize + 2) + 8 * changes;
    }
#endif
    return Measure<RowSource>(src, columns, rows);
}

}  // namespace tile_text
