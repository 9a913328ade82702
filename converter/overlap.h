// Measuring the tiles of a picture while it is still being decoded: the
// decoder announces its finished rows, and a second thread measures every
// tile row as soon as its fifteen lines are final, so that once the decode
// ends the include's index row is known and its text can be written at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "converter/convert.h"
#include "image/zt_image.h"

class TileRowMeasurer : public ZtRowObserver {
public:
    // Pictures smaller than this are left to the caller (TakeMeasured fails).
    static constexpr int64_t kMinPixels = int64_t(1) << 20;

    TileRowMeasurer();
    ~TileRowMeasurer() override;
    TileRowMeasurer(const TileRowMeasurer&) = delete;
    TileRowMeasurer& operator=(const TileRowMeasurer&) = delete;

    void RowsReady(const ZtImage& image, uint32_t rowsFromTop) override;
    void StorageReleased(const ZtImage& image) override;

    // After the load, for the picture it gave: waits until every tile row is
    // measured and moves the counts into measured. False when
    // the rows measured were not all of this very picture (another decoder's,
    // a picture turned or replaced after its decode, or rows never
    // announced); measured is then left empty and the caller measures itself.
    bool TakeMeasured(const ZtImage& image, MeasuredTiles& measured);

private:
    void Work();
    // With the lock held: forget the picture being measured.
    void Drop();

    std::mutex mutex_;
    std::condition_variable changed_;
    // The picture being measured; its view is made on the decoding thread at
    // its first announcement.
    const uint8_t* block_ = nullptr;
    TileRowsView view_;
    TileGrid grid_;
    std::vector<uint8_t> counts_;
    int32_t readyRows_ = 0;     // tile rows whose lines are all final
    int32_t measuredRows_ = 0;  // tile rows measured
    bool working_ = false;      // the worker is measuring outside the lock
    bool stop_ = false;
    std::thread worker_;
};
