#include "converter/tile_encoder.h"

#include <cstring>

#include "image/zt_image.h"

void ExtractTile(const ZtImage& image, int tx, int ty, TilePixels& block) {
    const int64_t width = image.Width();
    const int64_t height = image.Height();
    const bool trueColour = image.HasPixels() && image.BitsPerPixel() == 24;
    const int64_t x0 = int64_t(kTileSize) * tx;
    const int64_t columnsLeft = width - x0;
    const int columns = int(columnsLeft < 0 ? 0 : columnsLeft > kTileSize ? kTileSize : columnsLeft);
    for (int k = 0; k < kTileSize; ++k) {
        uint32_t* out = block.value[k];
        const int64_t lineFromTop = int64_t(kTileSize) * ty + k;
        int c = 0;
        if (lineFromTop < height) {
            // Storage rows run bottom-up; counting from height - 1 down gives top-down.
            const int32_t row = int32_t(height - 1 - lineFromTop);
            if (trueColour) {
                // The same colours ColorAt gives, read straight from the row.
                const uint8_t* p = image.RowBits(uint32_t(row)) + 3 * x0;
                for (; c < columns; ++c, p += 3)
                    out[c] = (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
            } else {
                for (; c < columns; ++c) {
                    const ZtQuad q = image.ColorAt(int32_t(x0 + c), row, false);
                    out[c] = (uint32_t(q.red) << 16) | (uint32_t(q.green) << 8) | q.blue;
                }
            }
        }
        for (; c < kTileSize; ++c) out[c] = 0;
    }
}

namespace {

// "{RRGGBB}" as 8 bytes, from two hexadecimal digits per byte of one table.
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
const HexPairs kHex;

inline void PutColourCode(uint32_t value, char* out) {
    char code[9] = {'{', 0, 0, 0, 0, 0, 0, '}', 'g'};
    memcpy(code + 1, &kHex.pair[(value >> 16) & 0xFF], 2);
    memcpy(code + 3, &kHex.pair[(value >> 8) & 0xFF], 2);
    memcpy(code + 5, &kHex.pair[value & 0xFF], 2);
    memcpy(out, code, 9);
}

inline int Clamp15(int n) { return n > kTileSize ? kTileSize : n; }

}  // namespace

void FormatColourCode(uint32_t value, char* out) { PutColourCode(value, out); }

size_t EncodeTile(char* out, const TilePixels& block, int columns, int rows) {
    size_t n = 0;
    rows = Clamp15(rows);
    columns = Clamp15(columns);
    if (rows <= 0) {
        out[0] = '\0';
        return 0;
    }
    // The first pixel never equals previous, so the text always opens with a colour code.
    uint32_t previous = block.value[0][0] + 1;
    for (int k = 0; k < rows; ++k) {
        for (int c = 0; c < columns; ++c) {
            const uint32_t v = block.value[k][c];
            if (v == previous) {
                out[n++] = 'g';
            } else {
                previous = v;
                PutColourCode(v, out + n);
                n += 9;
            }
        }
        out[n++] = '\\';
        out[n++] = 'n';
    }
    out[n] = '\0';
    return n;
}

size_t MeasureTile(const TilePixels& block, int columns, int rows) {
    rows = Clamp15(rows);
    columns = Clamp15(columns);
    if (rows <= 0) return 0;
    const int width = columns > 0 ? columns : 0;
    size_t changes = 0;
    uint32_t previous = block.value[0][0] + 1;
    for (int k = 0; k < rows; ++k) {
        for (int c = 0; c < width; ++c) {
            const uint32_t v = block.value[k][c];
            changes += v != previous;
            previous = v;
        }
    }
    return size_t(rows) * size_t(width + 2) + 8 * changes;
}
