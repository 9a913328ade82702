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

// Walks tile rows [firstRow, endRow) of the picture in record order and hands
// each tile's pixels to visit as a tile_text source: straight from the rows
// of a 24-bit or 8-bit palette picture, through ExtractTile (and ColorAt) for
// any other.
template <class Visit>
bool ForEachTile(const TileRowsView& view, const TileGrid& grid, int32_t firstRow, int32_t endRow, Visit visit) {
    const uint8_t* lines[kTileSize] = {};
    TilePixels block;
    for (int32_t ty = firstRow; ty < endRow; ++ty) {
        const int rows = TileSpan(view.height, ty);
        // Storage rows run bottom-up: line k of the tile row is storage row
        // height - 1 - (15 ty + k).
        for (int k = 0; view.kind != TileRowsView::Kind::Other && k < rows; ++k)
            lines[k] = view.bottomRow + size_t(view.height - 1 - (kTileSize * ty + k)) * view.stride;
        for (int32_t tx = 0; tx < grid.across; ++tx) {
            const int columns = TileSpan(view.width, tx);
            bool go;
            if (view.kind == TileRowsView::Kind::TrueColour) {
                // The tile's fifteen lines are fifteen separate streams through
                // memory, more than the hardware follows on its own: ask for the
                // bytes a few tiles ahead.
#if defined(__GNUC__)
                if (tx + kPrefetchTiles < grid.across)
                    for (int k = 0; k < rows; ++k)
                        __builtin_prefetch(lines[k] + 3 * size_t(kTileSize) * size_t(tx + kPrefetchTiles));
#endif
                go = visit(tile_text::RowSource{lines, 3 * size_t(kTileSize) * size_t(tx)}, columns, rows);
            } else if (view.kind == TileRowsView::Kind::Indexed) {
                go = visit(tile_text::IndexedSource{lines, size_t(kTileSize) * size_t(tx), view.colours}, columns,
                           rows);
            } else {
                ExtractTile(*view.image, tx, ty, block);
                go = visit(tile_text::BlockSource{block}, columns, rows);
            }
            if (!go) return false;
        }
    }
    return true;
}

template <class Visit>
bool ForEachTile(const ZtImage& image, const TileGrid& grid, Visit visit) {
    const TileRowsView view(image);
    return ForEachTile(view, grid, 0, grid.down, visit);
}

}  // namespace

TileRowsView::TileRowsView(const ZtImage& source) : image(&source) {
    width = source.Width();
    height = source.Height();
    if (!source.HasPixels() || width <= 0 || height <= 0) return;
    bottomRow = source.RowBits(0);
    stride = source.RowStride();
    if (source.BitsPerPixel() == 24) {
        kind = Kind::TrueColour;
    } else if (source.BitsPerPixel() == 8 && source.PaletteEntries() == 256) {
        kind = Kind::Indexed;
        for (uint32_t i = 0; i < 256; ++i) {
            const ZtQuad q = source.PaletteEntry(i);
            colours[i] = (uint32_t(q.red) << 16) | (uint32_t(q.green) << 8) | q.blue;
        }
    }
}

void MeasureTileRows(const TileRowsView& view, const TileGrid& grid, int32_t firstRow, int32_t endRow,
                     uint8_t* counts) {
    size_t i = size_t(firstRow) * size_t(grid.across);
    ForEachTile(view, grid, firstRow, endRow, [&](const auto& source, int columns, int rows) {
        counts[i++] = uint8_t(ChunkCount(tile_text::Measure(source, columns, rows)));
        return true;
    });
}

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
    MeasureTileRows(TileRowsView(image), grid, 0, grid.down, counts.data());
    return true;
}

WriteResult WriteImageArt(const ZtImage& image, const std::string& identifier, ArtOutput& out,
                          std::vector<uint8_t>* measured) {
    const TileGrid grid = GridFor(image);
    std::vector<uint8_t> counts;
    if (measured && measured->size() == size_t(grid.Count()))
        counts.swap(*measured);
    else if (!MeasureAllTiles(image, grid, counts))
        return WriteResult::OutOfMemory;
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
