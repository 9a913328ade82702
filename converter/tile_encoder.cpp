#include "converter/tile_encoder.h"

#include <cstring>

#include "image/zt_image.h"

void ExtractTile(const ZtImage& image, int tx, int ty, TilePixels& block) {
    const int width = image.Width();
    const int height = image.Height();
    for (int c = 0; c < kTileSize; ++c) {
        for (int k = 0; k < kTileSize; ++k) {
            const int x = kTileSize * tx + c;
            const int lineFromTop = kTileSize * ty + k;
            uint32_t v = 0;
            if (x < width && lineFromTop < height) {
                // Storage rows run bottom-up; counting from height - 1 down gives top-down.
                const ZtQuad q = image.ColorAt(x, height - 1 - lineFromTop, false);
                v = (uint32_t(q.red) << 16) | (uint32_t(q.green) << 8) | q.blue;
            }
            block.value[k][c] = v;
        }
    }
}

void FormatColourCode(uint32_t value, char* out) {
    static const char kHex[] = "0123456789ABCDEF";
    out[0] = '{';
    for (int i = 0; i < 6; ++i) out[1 + i] = kHex[(value >> (20 - 4 * i)) & 0xF];
    out[7] = '}';
    out[8] = 'g';
}

void EncodeTile(char* out, const TilePixels& block, int columns, int rows) {
    size_t n = 0;
    if (rows > kTileSize) rows = kTileSize;
    if (columns > kTileSize) columns = kTileSize;
    if (rows <= 0) {
        out[0] = '\0';
        return;
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
                FormatColourCode(v, out + n);
                n += 9;
            }
        }
        out[n++] = '\\';
        out[n++] = 'n';
    }
    out[n] = '\0';
}
