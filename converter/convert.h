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

// How the tiles of a picture are read: where its rows are and what they hold.
// A copy of the image's geometry and palette, so it stays usable while the
// image object itself changes hands (the rows must stay where they are).
struct TileRowsView {
    explicit TileRowsView(const ZtImage& source);
    TileRowsView() = default;
    enum class Kind { TrueColour, Indexed, Other };
    Kind kind = Kind::Other;
    int32_t width = 0, height = 0;
    const uint8_t* bottomRow = nullptr;  // storage row 0
    size_t stride = 0;
    uint32_t colours[256] = {};    // Indexed: 0x00RRGGBB per palette entry
    const ZtImage* image = nullptr;  // Other: read through ExtractTile
};

// The chunk counts of the tiles of tile rows [firstRow, endRow) into counts,
// which holds one byte per tile of the whole grid in record order.
void MeasureTileRows(const TileRowsView& view, const TileGrid& grid, int32_t firstRow, int32_t endRow,
                     uint8_t* counts);

// The chunk count of every tile in record order (tile rows from the top, left
// to right), measured without keeping any text. False when the counts (one
// byte per tile) cannot be allocated.
bool MeasureAllTiles(const ZtImage& image, const TileGrid& grid, std::vector<uint8_t>& counts);

// The whole include for image, written to out in two passes over the picture:
// the first measures every tile for the index row, the second encodes each
// tile again and writes its chunks straight out. Besides the picture it holds
// one byte per tile and out's buffer. OutOfMemory when the counts cannot be
// allocated (nothing is written then). Counts already measured (one per tile
// of this picture, as MeasureAllTiles gives them) can be handed in as
// measured, which the first pass then takes instead of measuring.
WriteResult WriteImageArt(const ZtImage& image, const std::string& identifier, ArtOutput& out,
                          std::vector<uint8_t>* measured = nullptr);

// The whole include for image as text; used by tests and tools that compare
// outputs.
std::string ArtIncludeText(const ZtImage& image, const std::string& identifier);
