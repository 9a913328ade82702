// The run both metafile fuzz targets share; they differ only in their seeds
// (the decoder tries both kinds of metafile on every input).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/builtin/wmf.h"
#include "fuzz/fuzz_support.h"
#include "image/zt_file.h"

inline int FuzzMetafile(const uint8_t* data, size_t size) {
    {
        // Dimensions first; skip pictures too large to draw quickly. Drawing
        // costs per pixel of the surface, so the bound is tighter than for
        // decoders of stored pixels.
        ZtImageWMF probe;
        probe.SetAbortCode(-1);
        ZtMemFile stream(data, size);
        if (probe.Decode(&stream) && int64_t(probe.Width()) * probe.Height() > kFuzzMaxPixels / 4) return 0;
    }
    ZtImageWMF img;
    ZtMemFile stream(data, size);
    if (img.Decode(&stream)) {
        // Success must leave a 24-bit picture of at most 4000 pixels a side.
        if (!img.HasPixels() || img.BitsPerPixel() != 24 || img.Width() > 4000 || img.Height() > 4000) abort();
        TouchEveryPixel(img);
    } else if (img.LastError()[0] == 0) {
        abort();  // every refusal of a metafile leaves a message
    }
    return 0;
}
