// Cutting a loaded picture into tiles and writing its art include.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "converter/art_writer.h"
#include "converter/tile_text.h"

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
    // TrueColour: the encoder of whole tile lines (the fastest this processor
    // runs, or null for pixel by pixel).
    tile_text::WholeLineEncoder wholeLine = nullptr;
    const ZtImage* image = nullptr;  // Other: read through ExtractTile
};

// The chunk counts of the tiles of tile rows [firstRow, endRow) into counts,
// which holds one byte per tile of the whole grid in record order.
void MeasureTileRows(const TileRowsView& view, const TileGrid& grid, int32_t firstRow, int32_t endRow,
                     uint8_t* counts);

// Tile rows [firstRow, endRow) encoded and cut into chunks onto out, with
// their chunk counts (counts holds one per tile of the whole grid). False when
// a window held no glyph letter, out failed, or stop (when given) was raised.
bool WriteTileRows(const TileRowsView& view, const TileGrid& grid, int32_t firstRow, int32_t endRow,
                   const uint8_t* counts, ArtOutput& out, const std::atomic<bool>* stop = nullptr);

// The chunk count of every tile in record order (tile rows from the top, left
// to right), measured without keeping any text. False when the counts (one
// byte per tile) cannot be allocated.
bool MeasureAllTiles(const ZtImage& image, const TileGrid& grid, std::vector<uint8_t>& counts);

// At most how many bytes the include of a picture of this grid and these
// chunk counts (one per tile) takes, under an array name of this length.
uint64_t IncludeBytesAtMost(const TileGrid& grid, const uint8_t* counts, size_t identifierLength);

// What was learnt of a picture while it decoded: the chunk count of every
// tile (record order).
struct MeasuredTiles {
    std::vector<uint8_t> counts;
};

// The whole include for image, written to out in two passes over the picture:
// the first measures every tile for the index row, the second encodes each
// tile again and writes its chunks straight out. Besides the picture it holds
// one byte per tile and out's buffer. OutOfMemory when the counts cannot be
// allocated (nothing is written then). Counts measured already for every
// tile of this very picture can be handed in as measured; the first pass is
// then not done again. With two threads the second pass is shared with a
// helper thread, band by band, each band delivered to out's destination in
// order (the same bytes); there are four buffers of out's capacity.
WriteResult WriteImageArt(const ZtImage& image, const std::string& identifier, ArtOutput& out,
                          MeasuredTiles* measured = nullptr, int threads = 1);

// The whole include for image as text; used by tests and tools that compare
// outputs.
std::string ArtIncludeText(const ZtImage& image, const std::string& identifier);
