#include "converter/tile_encoder.h"

#include <cstring>

#include "image/zt_image.h"

void ExtractTile(const ZtImage& image, int tx, int ty, TilePixels& block) {
    const int width = image.Width();
    const int height = image.Height();
    const bool trueColour = image.HasPixels() && image.BitsPerPixel() == 24;
    for (int k = 0; k < kTileSize; ++k) {
        const int lineFromTop = kTileSize * ty + k;
        // Storage rows run bottom-up; counting from height - 1 down gives top-down.
        const int row = height - 1 - lineFromTop;
        const uint8_t* bits = trueColour && lineFromTop < height ? image.RowBits(uint32_t(row)) : nullptr;
        for (int c = 0; c < kTileSize; ++c) {
            const int x = kTileSize * tx + c;
            uint32_t v = 0;
            if (x < width && lineFromTop < height) {
                if (bits) {
                    // The same colour ColorAt gives, read straight from the row.
                    const uint8_t* p = bits + 3 * size_t(x);
                    v = (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
                } else {
                    const ZtQuad q = image.ColorAt(x, row, false);
                    v = (uint32_t(q.red) << 16) | (uint32_t(q.green) << 8) | q.blue;
                }
            }
            block.value[k][c] = v;
        }
    }
}

void FormatColourCode(uint32_t value, char* out) {
    // Two hexadecimal digits per byte from one table.
    static const char kHexPairs[] =
        "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
        "202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D3E3F"
        "404142434445464748494A4B4C4D4E4F505152535455565758595A5B5C5D5E5F"
        "606162636465666768696A6B6C6D6E6F707172737475767778797A7B7C7D7E7F"
        "808182838485868788898A8B8C8D8E8F909192939495969798999A9B9C9D9E9F"
        "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF"
        "C0C1C2C3C4C5C6C7C8C9CACBCCCDCECFD0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF"
        "E0E1E2E3E4E5E6E7E8E9EAEBECEDEEEFF0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF";
    out[0] = '{';
    for (int i = 0; i < 3; ++i) {
        const char* pair = kHexPairs + 2 * ((value >> (16 - 8 * i)) & 0xFF);
        out[1 + 2 * i] = pair[0];
        out[2 + 2 * i] = pair[1];
    }
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
