// The tile encoder: a 15 x 15 pixel tile of the picture becomes text of
// colour codes ({RRGGBB}) and glyph letters (one g per pixel), each pixel row
// closed by the two characters backslash and n.
#pragma once

#include <cstddef>
#include <cstdint>

class ZtImage;

constexpr int kTileSize = 15;
constexpr int kTileTextBytes = 4096;

// 15 rows of 15 colours 0x00RRGGBB, top line first; outside the picture 0.
struct TilePixels {
    uint32_t value[kTileSize][kTileSize];
};
static_assert(sizeof(TilePixels) == 900, "a tile block is 900 bytes");

// Copies the colours of tile (tx, ty), counted from the top-left, into block.
void ExtractTile(const ZtImage& image, int tx, int ty, TilePixels& block);

// Writes the text of the first rows x columns of block into out (4096 bytes)
// and returns its length.
size_t EncodeTile(char* out, const TilePixels& block, int columns, int rows);

// The length EncodeTile gives for the same arguments, without writing it:
// rows x (columns + 2) characters plus 8 for every colour change.
size_t MeasureTile(const TilePixels& block, int columns, int rows);

// Writes "{RRGGBB}g" for the low 24 bits of value: 9 characters, no NUL.
void FormatColourCode(uint32_t value, char* out);
