#include "converter/convert.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
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
                go = visit(tile_text::RowSource{lines, 3 * size_t(kTileSize) * size_t(tx), view.wholeLine}, columns,
                           rows);
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

}  // namespace

TileRowsView::TileRowsView(const ZtImage& source) : image(&source) {
    width = source.Width();
    height = source.Height();
    if (!source.HasPixels() || width <= 0 || height <= 0) return;
    bottomRow = source.RowBits(0);
    stride = source.RowStride();
    if (source.BitsPerPixel() == 24) {
        kind = Kind::TrueColour;
        static const tile_text::WholeLineEncoder fastest = tile_text::FastestWholeLineEncoder();
        wholeLine = fastest;
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

bool WriteTileRows(const TileRowsView& view, const TileGrid& grid, int32_t firstRow, int32_t endRow,
                   const uint8_t* counts, ArtOutput& out, const std::atomic<bool>* stop) {
    size_t i = size_t(firstRow) * size_t(grid.across);
    return ForEachTile(view, grid, firstRow, endRow, [&](const auto& source, int columns, int rows) {
        // The tile's lines are made in place, cut as its pixel rows end (the
        // count was measured from the same pixels).
        TileLinesInPlace lines;
        if (!lines.Open(out, counts[i++])) return false;
        const size_t length =
            tile_text::Encode(lines.Text(), source, columns, rows, [&](size_t n) { return lines.RowEnd(n); });
        return lines.Close(length) && !(stop && stop->load(std::memory_order_relaxed));
    });
}

namespace {

// The tile text made by two threads at once. The tile rows are cut into
// bands; a thread takes a free buffer, then the next band, and fills the
// buffer with the band's lines. Whole bands go to the destination strictly in
// band order: a thread that finishes a band writes, if no one else is
// writing, every band that is next and whole, and otherwise goes on with the
// next band, so neither waits for the other's write. A band larger than its
// buffer is handed over piecewise once every band before it is written. A
// failure anywhere stops both.
class BandWriter {
public:
    // Bands of at least this many tiles: few hand-overs, yet small enough
    // that the threads finish together.
    static constexpr int64_t kBandTiles = 256;
    // Buffers in play: one being filled by each thread, one being written and
    // one more so that a thread rarely waits for a buffer.
    static constexpr int kBuffers = 4;

    // Bands of all tile rows.
    BandWriter(const TileRowsView& view, const TileGrid& grid, const uint8_t* counts, const ArtOutput::Sink& sink,
               size_t capacity)
        : view_(view), grid_(grid), counts_(counts), sink_(sink), capacity_(capacity) {
        const int64_t across = grid.across > 0 ? grid.across : 1;
        rowsPerBand_ = int32_t(std::min<int64_t>((kBandTiles + across - 1) / across, grid.down > 0 ? grid.down : 1));
        bands_ = (grid.down + rowsPerBand_ - 1) / rowsPerBand_;
    }

    // head writes what precedes the bands to the same destination (false
    // when that failed), while the helper thread starts on the first band.
    template <class Head>
    WriteResult Run(Head head) {
        for (Slot& slot : slots_) {
            try {
                slot.out = std::make_unique<ArtOutput>([this, &slot](const char* data, size_t size) {
                    return Overflow(slot, data, size);
                }, capacity_);
            } catch (const std::bad_alloc&) {
                break;  // fewer buffers only mean more waiting
            }
            ++free_;
        }
        if (free_ == 0) return WriteResult::OutOfMemory;
        std::thread helper;
        try {
            helper = std::thread([this] { Encode(); });
        } catch (const std::system_error&) {
            // Without a helper this thread makes every band.
        }
        const bool ok = head();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (ok) {
                written_ = 0;
            } else {
                Fail(outputFailed_);
            }
            changed_.notify_all();
        }
        WriteReady();  // what the helper finished meanwhile
        Encode();
        if (helper.joinable()) helper.join();
        if (outputFailed_) return WriteResult::OutputFailed;
        if (noGlyph_) return WriteResult::NoGlyphInWindow;
        return written_ == bands_ ? WriteResult::Ok : WriteResult::OutputFailed;
    }

private:
    struct Slot {
        std::unique_ptr<ArtOutput> out;
        int32_t band = -1;   // the band it holds or is filled with, -1 when free
        bool ready = false;  // the band is whole and waits to be written
    };

    // With the lock held: stops everything, flag says why.
    void Fail(bool& flag) {
        flag = true;
        stop_ = true;
        changed_.notify_all();
    }

    // One thread's share: bands until none is left or all was stopped.
    void Encode() {
        while (EncodeOne()) WriteReady();
    }

    // Takes a free buffer and the next band and fills it; false when no band
    // is left or all was stopped.
    bool EncodeOne() {
        Slot* slot = nullptr;
        int32_t band;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // A buffer first, then a band: the earliest band in hand always
            // has its buffer, so the bands never wait for one another.
            changed_.wait(lock, [this] { return stop_ || free_ > 0 || next_ >= bands_; });
            if (stop_ || next_ >= bands_) return false;
            for (Slot& s : slots_)
                if (s.out && s.band < 0) {
                    slot = &s;
                    break;
                }
            --free_;
            band = next_++;
            slot->band = band;
        }
        const int32_t first = band * rowsPerBand_;
        const int32_t end = std::min(first + rowsPerBand_, grid_.down);
        const bool whole = WriteTileRows(view_, grid_, first, end, counts_, *slot->out, &stop_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!whole) {
            // A malformed text has been reported by the chunk writer.
            if (!slot->out->Failed() && !stop_) Fail(noGlyph_);
            return false;
        }
        slot->ready = true;
        return true;
    }

    // Writes every band that is next and whole, unless another thread is
    // writing already (it then sees them: the check and the end of writing
    // happen under one hold of the lock).
    void WriteReady() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (writing_) return;
        for (;;) {
            Slot* slot = nullptr;
            if (!stop_ && written_ >= 0)
                for (Slot& s : slots_)
                    if (s.band == written_ && s.ready) slot = &s;
            if (!slot) break;
            const std::string_view bytes = slot->out->Gathered();
            const bool ok = bytes.empty() || HandOver(lock, bytes.data(), bytes.size());
            slot->out->Clear();
            slot->band = -1;
            slot->ready = false;
            ++free_;
            if (!ok) break;
            ++written_;
            changed_.notify_all();
        }
    }

    // A band that outgrew its buffer: the piece goes out from its thread as
    // soon as every band before it is written and no one else writes.
    bool Overflow(Slot& slot, const char* data, size_t size) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || (written_ == slot.band && !writing_); });
        if (stop_) return false;
        const bool ok = HandOver(lock, data, size);
        changed_.notify_all();
        return ok;
    }

    // Bytes to the destination with the lock released, marked as writing
    // meanwhile; a failure stops everything.
    bool HandOver(std::unique_lock<std::mutex>& lock, const char* data, size_t size) {
        writing_ = true;
        lock.unlock();
        const bool ok = sink_(data, size);
        lock.lock();
        writing_ = false;
        if (!ok) Fail(outputFailed_);
        return ok;
    }

    const TileRowsView& view_;
    const TileGrid grid_;
    const uint8_t* counts_;
    const ArtOutput::Sink& sink_;
    const size_t capacity_;
    int32_t rowsPerBand_ = 1, bands_ = 0;
    Slot slots_[kBuffers];
    std::mutex mutex_;
    std::condition_variable changed_;
    int free_ = 0;          // buffers without a band
    int32_t next_ = 0;      // the next band to encode
    int32_t written_ = -1;  // bands written; -1 until the head is
    bool writing_ = false;  // a thread is handing bytes to the destination
    // Set under the lock; the encoders also read it per tile without it.
    std::atomic<bool> stop_{false};
    bool outputFailed_ = false, noGlyph_ = false;
};

}  // namespace

uint64_t IncludeBytesAtMost(const TileGrid& grid, const uint8_t* counts, size_t identifierLength) {
    const uint64_t tiles = uint64_t(grid.Count() > 0 ? grid.Count() : 0);
    // A tile's text has at most 250 characters per chunk (its count is its
    // length over 250, rounded up), and each chunk's line adds 5: the comma,
    // space, quotes and line feed.
    uint64_t chunks = 0;
    for (uint64_t i = 0; i < tiles; ++i) chunks += counts[i];
    // The head: its fixed text and numbers of up to 20 digits; per tile two
    // numbers of up to 20 digits with their separators, and a line end for
    // every 27 tiles.
    return 64 + identifierLength + 3 * 20 + tiles * (4 + 2 * 20) + tiles / kPairsPerIndexLine +
           chunks * (kChunkWindow + 5);
}

WriteResult WriteImageArt(const ZtImage& image, const std::string& identifier, ArtOutput& out,
                          MeasuredTiles* measured, int threads) {
    const TileGrid grid = GridFor(image);
    std::vector<uint8_t> counts;
    const bool given = measured && measured->counts.size() == size_t(grid.Count());
    if (given)
        counts.swap(measured->counts);
    else if (!MeasureAllTiles(image, grid, counts))
        return WriteResult::OutOfMemory;
    // The head (the index row), straight to the destination.
    const auto head = [&] {
        WriteArtHeader(out, identifier, grid.across, grid.down, counts.data());
        return out.Flush();
    };

    const TileRowsView view(image);
    if (threads >= 2 && grid.down >= 2) {
        const WriteResult bands = BandWriter(view, grid, counts.data(), out.Destination(), out.Capacity()).Run(head);
        if (bands != WriteResult::Ok) return bands;
    } else {
        if (!head()) return WriteResult::OutputFailed;
        if (!WriteTileRows(view, grid, 0, grid.down, counts.data(), out) && !out.Failed()) {
            out.Flush();
            return WriteResult::NoGlyphInWindow;
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
