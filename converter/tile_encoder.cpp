#include "converter/tile_encoder.h"

#include <cstring>

#include "converter/tile_text.h"
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

inline int Clamp15(int n) { return n < 0 ? 0 : n > kTileSize ? kTileSize : n; }

}  // namespace

void FormatColourCode(uint32_t value, char* out) { tile_text::PutColourCode(value, out); }

size_t EncodeTile(char* out, const TilePixels& block, int columns, int rows) {
    const size_t n = tile_text::Encode(out, tile_text::BlockSource{block}, Clamp15(columns), Clamp15(rows));
    out[n] = '\0';
    return n;
}

size_t MeasureTile(const TilePixels& block, int columns, int rows) {
    return tile_text::Measure(tile_text::BlockSource{block}, Clamp15(columns), Clamp15(rows));
}
