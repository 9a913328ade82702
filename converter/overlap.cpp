#include "converter/overlap.h"

#include <cstring>
#include <new>
#include <system_error>

#include "converter/tile_encoder.h"

TileRowMeasurer::TileRowMeasurer() = default;

TileRowMeasurer::~TileRowMeasurer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void TileRowMeasurer::Drop() {
    block_ = nullptr;
    view_ = TileRowsView();
    grid_ = TileGrid();
    counts_.clear();
    readyRows_ = measuredRows_ = 0;
}

void TileRowMeasurer::RowsReady(const ZtImage& image, uint32_t rowsFromTop) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (image.BlockPointer() != block_) {
        // A picture not seen before: the worker is told about it only once
        // its geometry and palette are copied (they are final by now).
        changed_.wait(lock, [this] { return !working_; });
        Drop();
        TileRowsView view(image);
        // Only rows read in place can be measured while the decoder goes on,
        // and only a large picture repays the thread (a small one is measured
        // in less time than it takes to start it).
        if (view.kind == TileRowsView::Kind::Other || int64_t(view.width) * view.height < kMinPixels) return;
        if (!worker_.joinable()) {
            try {
                worker_ = std::thread([this] { Work(); });
            } catch (const std::system_error&) {
                return;
            }
        }
        const TileGrid grid = GridFor(image);
        try {
            counts_.assign(size_t(grid.Count()), 0);
        } catch (const std::bad_alloc&) {
            return;
        }
        block_ = image.BlockPointer();
        view_ = view;
        grid_ = grid;
    }
    const int32_t ready = int64_t(rowsFromTop) >= int64_t(view_.height) ? grid_.down
                                                                         : int32_t(rowsFromTop / kTileSize);
    if (ready <= readyRows_) return;
    readyRows_ = ready;
    lock.unlock();
    changed_.notify_all();
}

void TileRowMeasurer::StorageReleased(const ZtImage& image) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!block_ || image.BlockPointer() != block_) return;
    changed_.wait(lock, [this] { return !working_; });
    Drop();
}

void TileRowMeasurer::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || (block_ && measuredRows_ < readyRows_); });
        if (stop_) return;
        const int32_t first = measuredRows_, end = readyRows_;
        // The view and the counts change only while the worker is not working.
        working_ = true;
        lock.unlock();
        MeasureTileRows(view_, grid_, first, end, counts_.data());
        lock.lock();
        working_ = false;
        measuredRows_ = end;
        changed_.notify_all();
    }
}

bool TileRowMeasurer::TakeMeasured(const ZtImage& image, MeasuredTiles& measured) {
    measured.counts.clear();
    std::unique_lock<std::mutex> lock(mutex_);
    const TileRowsView now(image);
    // The very rows that were measured, read the same way.
    const bool same = block_ && image.BlockPointer() == block_ && now.kind == view_.kind &&
                      now.width == view_.width && now.height == view_.height &&
                      now.bottomRow == view_.bottomRow && now.stride == view_.stride &&
                      memcmp(now.colours, view_.colours, sizeof now.colours) == 0;
    // The decode is over: rows not announced by now never will be.
    if (!same || readyRows_ < grid_.down) return false;
    changed_.wait(lock, [this] { return measuredRows_ == grid_.down; });
    measured.counts.swap(counts_);
    Drop();
    return true;
}
