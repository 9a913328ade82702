// Helpers shared by the fuzz targets.
#pragma once

#include <cstdint>

#include "codecs/format_table.h"
#include "image/zt_image.h"

// Decoders that hand part of a file to another format (icon entries holding
// PNG data) go through the loader, which needs the format table.
static const bool kFuzzCodecsInstalled = (InstallCodecs(), true);

// Pictures above this many pixels are skipped after the dimensions pass, so
// one input cannot stall the fuzzer.
constexpr int64_t kFuzzMaxPixels = 4000000;

// Reads every pixel (colour and alpha) so the sanitizers see any bad or
// uninitialised storage; returns a sum the caller keeps alive.
inline uint32_t TouchEveryPixel(const ZtImage& img) {
    uint32_t sum = 0;
    for (int32_t y = 0; y < img.Height(); ++y)
        for (int32_t x = 0; x < img.Width(); ++x) {
            const ZtQuad q = img.ColorAt(x, y, true);
            sum += uint32_t(q.red + q.green + q.blue + q.alpha);
        }
    volatile uint32_t sink = sum;
    return sink;
}
