// Cutting a loaded picture into tiles and writing its art include.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "converter/art_writer.h"

class ZtImage;

struct TileGrid {
    int32_t across = 0;
    int32_t down = 0;
    int64_t Count() const { return int64_t(across) * down; }
};

// ceil(width / 15) by ceil(height / 15).
TileGrid GridFor(const ZtImage& image);

// The chunk count of every tile in record order (tile rows from the top, left
// to right), measured without keeping any text. False when the counts (one
// byte per tile) cannot be allocated.
bool MeasureAllTiles(const ZtImage& image, const TileGrid& grid, std::vector<uint8_t>& counts);

// The whole include for image, written to out in two passes over the picture:
// the first measures every tile for the index row, the second encodes each
// tile again and writes its chunks straight out. Besides the picture it holds
// one byte per tile and out's buffer. OutOfMemory when the counts cannot be
// allocated (nothing is written then).
WriteResult WriteImageArt(const ZtImage& image, const std::string& identifier, ArtOutput& out);

// The whole include for image as text; used by tests and tools that compare
// outputs.
std::string ArtIncludeText(const ZtImage& image, const std::string& identifier);
