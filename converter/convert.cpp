#include "converter/convert.h"

#include <new>
#include <stdexcept>

#include "converter/tile_text.h"
#include "image/zt_image.h"

namespace {

// Pixels of tile column tx and tile row ty that lie inside the picture.
int TileSpan(int32_t extent, int32_t index) {
    const int64_t left = int64_t(extent) - int64_t(kTileSize) * index;
    return int(left < 0 ? 0 : left > kTileSize ? kTileSize : left);
}

}  // namespace

TileGrid GridFor(const ZtImage& image) {
    TileGrid g;
    const int32_t w = image.Width() > 0 ? image.Width() : 0;
    const int32_t h = image.Height() > 0 ? image.Height() : 0;
    g.across = (w + kTileSize - 1) / kTileSize;
    g.down = (h + kTileSize - 1) / kTileSize;
    return g;
}

namespace {

constexpr int kPrefetchTiles = 4;

// Walks the tiles in record order and hands each one's pixels to visit as a
// tile_text source: straight from the rows of a 24-bit or 8-bit palette
// picture, through ExtractTile (and ColorAt) for any other.
template <class Visit>
bool ForEachTile(const ZtImage& image, const TileGrid& grid, Visit visit) {
    const int32_t width = image.Width(), height = image.Height();
    const bool trueColour = image.HasPixels() && image.BitsPerPixel() == 24;
    const bool indexed = image.HasPixels() && image.BitsPerPixel() == 8 && image.PaletteEntries() == 256;
    uint32_t colours[256] = {};
    for (uint32_t i = 0; indexed && i < 256; ++i) {
        const ZtQuad q = image.PaletteEntry(i);
        colours[i] = (uint32_t(q.red) << 16) | (uint32_t(q.green) << 8) | q.blue;
    }
    const uint8_t* lines[kTileSize] = {};
    TilePixels block;
    for (int32_t ty = 0; ty < grid.down; ++ty) {
        const int rows = TileSpan(height, ty);
        // Storage rows run bottom-up: line k of the tile row is storage row
        // height - 1 - (15 ty + k).
        for (int k = 0; (trueColour || indexed) && k < rows; ++k)
            lines[k] = image.RowBits(uint32_t(height - 1 - (kTileSize * ty + k)));
        for (int32_t tx = 0; tx < grid.across; ++tx) {
            const int columns = TileSpan(width, tx);
            bool go;
            if (trueColour) {
                // The tile's fifteen lines are fifteen separate streams through
                // memory, more than the hardware follows on its own: ask for the
                // bytes a few tiles ahead.
#if defined(__GNUC__)
                if (tx + kPrefetchTiles < grid.across)
                    for (int k = 0; k < rows; ++k)
                        __builtin_prefetch(lines[k] + 3 * size_t(kTileSize) * size_t(tx + kPrefetchTiles));
#endif
                go = visit(tile_text::RowSource{lines, 3 * size_t(kTileSize) * size_t(tx)}, columns, rows);
            } else if (indexed) {
                go = visit(tile_text::IndexedSource{lines, size_t(kTileSize) * size_t(tx), colours}, columns, rows);
            } else {
                ExtractTile(image, tx, ty, block);
                go = visit(tile_text::BlockSource{block}, columns, rows);
            }
            if (!go) return false;
        }
    }
    return true;
}

}  // namespace

bool MeasureAllTiles(const ZtImage& image, const TileGrid& grid, std::vector<uint8_t>& counts) {
    counts.clear();
    if (grid.Count() <= 0) return true;
    try {
        counts.resize(size_t(grid.Count()));
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    size_t i = 0;
    ForEachTile(image, grid, [&](const auto& source, int columns, int rows) {
        counts[i++] = uint8_t(ChunkCount(tile_text::Measure(source, columns, rows)));
        return true;
    });
    return true;
}

WriteResult WriteImageArt(const ZtImage& image, const std::string& identifier, ArtOutput& out) {
    const TileGrid grid = GridFor(image);
    std::vector<uint8_t> counts;
    if (!MeasureAllTiles(image, grid, counts)) return WriteResult::OutOfMemory;
    WriteArtHeader(out, identifier, grid.across, grid.down, counts.data());

    char text[kTileTextBytes];
    size_t i = 0;
    const bool whole = ForEachTile(image, grid, [&](const auto& source, int columns, int rows) {
        const size_t length = tile_text::Encode(text, source, columns, rows);
        // The same pixels, measured the same way in the first pass.
        return WriteTileChunks(out, text, length, counts[i++]) && !out.Failed();
    });
    if (!whole && !out.Failed()) {
        out.Flush();
        return WriteResult::NoGlyphInWindow;
    }
    WriteArtFooter(out);
    return out.Flush() ? WriteResult::Ok : WriteResult::OutputFailed;
}

std::string ArtIncludeText(const ZtImage& image, const std::string& identifier) {
    std::string text;
    ArtOutput out([&text](const char* data, size_t size) {
        text.append(data, size);
        return true;
    });
    return WriteImageArt(image, identifier, out) == WriteResult::Ok ? text : std::string();
}
