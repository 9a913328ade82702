// The tile text rules written once for any pixel source, so that the tile
// encoder's block and the converter's direct reading of picture rows give the
// very same text. Internal to the converter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "converter/tile_encoder.h"

namespace tile_text {

// Two uppercase hexadecimal digits for every byte value.
struct HexPairs {
    uint16_t pair[256];
    HexPairs() {
        static const char kDigits[] = "0123456789ABCDEF";
        for (int i = 0; i < 256; ++i) {
            const char two[2] = {kDigits[i >> 4], kDigits[i & 15]};
            memcpy(&pair[i], two, 2);
        }
    }
};
extern const HexPairs kHex;

// "{RRGGBB}g", 9 bytes, for the low 24 bits of value. The first eight are
// put together in a register and stored at once: assembling them in memory
// piece by piece and reading them back stalls the store buffer.
inline void PutColourCode(uint32_t value, char* out) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const uint64_t code = uint64_t('{') | uint64_t(kHex.pair[(value >> 16) & 0xFF]) << 8 |
                          uint64_t(kHex.pair[(value >> 8) & 0xFF]) << 24 |
                          uint64_t(kHex.pair[value & 0xFF]) << 40 | uint64_t('}') << 56;
    memcpy(out, &code, 8);
#else
    out[0] = '{';
    memcpy(out + 1, &kHex.pair[(value >> 16) & 0xFF], 2);
    memcpy(out + 3, &kHex.pair[(value >> 8) & 0xFF], 2);
    memcpy(out + 5, &kHex.pair[value & 0xFF], 2);
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

// Pixels read straight from 24-bit picture rows (blue, green, red): rows[k]
// is the k-th line of the tile row from the top, offset the byte offset of
// the tile's first column.
struct RowSource {
    const uint8_t* const* rows;
    size_t offset;
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

// The tile text of rows x columns pixels (both 0 to 15) into out, which has
// room for the longest text plus 9 bytes; returns its length (no NUL added).
template <class Source>
inline size_t Encode(char* out, const Source& src, int columns, int rows) {
    if (rows <= 0) return 0;
    size_t n = 0;
    // The first pixel never equals previous, so the text opens with a colour code.
    uint32_t previous = src.At(0, 0) + 1;
    // Written without a branch: the code always, then only its g kept (over
    // the brace) when the colour repeats.
    const auto put = [&](uint32_t v) {
        const bool same = v == previous;
        PutColourCode(v, out + n);
        out[n] = same ? 'g' : '{';
        n += same ? 1 : 9;
        previous = v;
    };
    for (int k = 0; k < rows; ++k) {
        for (int c = 0; c + 1 < columns; ++c) put(src.Inner(k, c));
        if (columns > 0) put(src.At(k, columns - 1));
        out[n] = '\\';
        out[n + 1] = 'n';
        n += 2;
    }
    return n;
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

}  // namespace tile_text
