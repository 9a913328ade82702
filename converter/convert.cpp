#include "converter/convert.h"

#include <new>
#include <stdexcept>

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
    TilePixels block;
    const int32_t width = image.Width(), height = image.Height();
    size_t i = 0;
    for (int32_t ty = 0; ty < grid.down; ++ty) {
        const int rows = TileSpan(height, ty);
        for (int32_t tx = 0; tx < grid.across; ++tx) {
            ExtractTile(image, tx, ty, block);
            counts[i++] = uint8_t(ChunkCount(MeasureTile(block, TileSpan(width, tx), rows)));
        }
    }
    return true;
}

WriteResult WriteImageArt(const ZtImage& image, const std::string& identifier, ArtOutput& out) {
    const TileGrid grid = GridFor(image);
    std::vector<uint8_t> counts;
    if (!MeasureAllTiles(image, grid, counts)) return WriteResult::OutOfMemory;
    WriteArtHeader(out, identifier, grid.across, grid.down, counts.data());

    TilePixels block;
    char text[kTileTextBytes];
    const int32_t width = image.Width(), height = image.Height();
    size_t i = 0;
    for (int32_t ty = 0; ty < grid.down && !out.Failed(); ++ty) {
        const int rows = TileSpan(height, ty);
        for (int32_t tx = 0; tx < grid.across; ++tx) {
            ExtractTile(image, tx, ty, block);
            const size_t length = EncodeTile(text, block, TileSpan(width, tx), rows);
            // The same pixels measured the same way in the first pass.
            if (!WriteTileChunks(out, text, length, counts[i++])) {
                out.Flush();
                return WriteResult::NoGlyphInWindow;
            }
        }
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
