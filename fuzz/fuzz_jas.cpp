// Fuzz target for the JPEG-2000 family decoder (JP2, code streams, PGX, PNM,
// Sun raster: the content picks the reader). The last input byte picks the
// frame, that is the component the grey path shows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/adapters/jas.h"
#include "fuzz/fuzz_support.h"
#include "image/zt_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        // Dimensions first; skip pictures too large to decode quickly.
        ZtImageJAS probe;
        probe.SetAbortCode(-1);
        ZtMemFile stream(data, size);
        if (!probe.Decode(&stream, ImageFormat::Jp2)) return 0;
        if (int64_t(probe.Width()) * probe.Height() > kFuzzMaxPixels) return 0;
        if (probe.HasPixels()) abort();  // dimensions-only mode makes no pixels
    }
    ZtImageJAS img;
    img.SetFrameIndex(size ? data[size - 1] % 4 : 0);
    ZtMemFile stream(data, size);
    if (img.Decode(&stream, ImageFormat::Jp2)) {
        if (!img.HasPixels() || img.Width() <= 0 || img.Height() <= 0) abort();
        TouchEveryPixel(img);
    } else if (img.LastError()[0] == '\0') {
        abort();  // every failure of this decoder leaves a message
    }
    return 0;
}
