#include "converter/convert.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

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

namespace {

// The texts of the tiles of a band of tile rows, one after the other.
struct BandText {
    std::vector<char> text;
    std::vector<uint32_t> lengths;
};

// Encodes bands 1, 3, 5, ... of the picture on a thread of its own while the
// caller encodes and writes bands 0, 2, 4, ... and writes the odd ones from
// here, in order. Two slots let the thread run one band ahead.
class OddBandEncoder {
public:
    OddBandEncoder(const TileRowsView& view, const TileGrid& grid, int32_t bandRows)
        : view_(view), grid_(grid), bandRows_(bandRows) {
        thread_ = std::thread([this] { Run(); });
    }
    ~OddBandEncoder() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    // Waits for odd band number band; null when it could not be encoded (no
    // memory), and the caller encodes it itself. Valid until Release.
    const BandText* Take(int32_t band) {
        Slot& slot = slots_[(band / 2) % 2];
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return slot.band == band && slot.ready; });
        return slot.failed ? nullptr : &slot.text;
    }
    void Release(int32_t band) {
        Slot& slot = slots_[(band / 2) % 2];
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot.band = -1;
            slot.ready = false;
        }
        changed_.notify_all();
    }

private:
    struct Slot {
        int32_t band = -1;  // the band it holds or is being filled with; -1 free
        bool ready = false, failed = false;
        BandText text;
    };
    void Run() {
        const int32_t bands = (grid_.down + bandRows_ - 1) / bandRows_;
        for (int32_t band = 1; band < bands; band += 2) {
            Slot& slot = slots_[(band / 2) % 2];
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return stop_ || slot.band < 0; });
                if (stop_) return;
                slot.band = band;
            }
            bool failed = false;
            try {
                slot.text.text.clear();
                slot.text.lengths.clear();
                char text[kTileTextBytes];
                const int32_t first = band * bandRows_;
                ForEachTile(view_, grid_, first, std::min(grid_.down, first + bandRows_),
                            [&](const auto& source, int columns, int rows) {
                                const size_t length = tile_text::Encode(text, source, columns, rows);
                                slot.text.text.insert(slot.text.text.end(), text, text + length);
                                slot.text.lengths.push_back(uint32_t(length));
                                return true;
                            });
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                slot.failed = failed;
                slot.ready = true;
            }
            changed_.notify_all();
        }
    }

    const TileRowsView& view_;
    const TileGrid& grid_;
    const int32_t bandRows_;
    Slot slots_[2];
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
};

}  // namespace

WriteResult WriteImageArt(const ZtImage& image, const std::string& identifier, ArtOutput& out,
                          std::vector<uint8_t>* measured, bool twoEncoders) {
    const TileGrid grid = GridFor(image);
    std::vector<uint8_t> counts;
    if (measured && measured->size() == size_t(grid.Count()))
        counts.swap(*measured);
    else if (!MeasureAllTiles(image, grid, counts))
        return WriteResult::OutOfMemory;
    WriteArtHeader(out, identifier, grid.across, grid.down, counts.data());

    char text[kTileTextBytes];
    size_t i = 0;
    // Each tile's chunks, cut from its text; the same pixels were measured
    // the same way in the first pass.
    const auto writeTile = [&](const char* tileText, size_t length) {
        return WriteTileChunks(out, tileText, length, counts[i++]) && !out.Failed();
    };
    const auto encodeAndWrite = [&](const auto& source, int columns, int rows) {
        return writeTile(text, tile_text::Encode(text, source, columns, rows));
    };
    bool whole = true;
    const TileRowsView view(image);
    if (!twoEncoders || view.kind == TileRowsView::Kind::Other || grid.down < 2) {
        whole = ForEachTile(view, grid, 0, grid.down, encodeAndWrite);
    } else {
        // Bands of about a thousand tiles: enough text to pay for a hand-over.
        const int32_t bandRows = std::max<int32_t>(1, 1024 / std::max<int32_t>(1, grid.across));
        OddBandEncoder odd(view, grid, bandRows);
        for (int32_t band = 0; whole && band * bandRows < grid.down; ++band) {
            const int32_t first = band * bandRows, end = std::min(grid.down, first + bandRows);
            const BandText* ready = band % 2 ? odd.Take(band) : nullptr;
            if (ready) {
                const char* p = ready->text.data();
                for (size_t t = 0; whole && t < ready->lengths.size(); p += ready->lengths[t++])
                    whole = writeTile(p, ready->lengths[t]);
            } else {
                whole = ForEachTile(view, grid, first, end, encodeAndWrite);
            }
            if (band % 2) odd.Release(band);
        }
    }
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
