// Fuzz target for the TGA decoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/builtin/tga.h"
#include "fuzz/fuzz_support.h"
#include "image/zt_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        // Dimensions first; skip pictures too large to decode quickly.
        ZtImageTGA probe;
        probe.SetAbortCode(-1);
        ZtMemFile stream(data, size);
        if (probe.Decode(&stream) && probe.HasPixels()) abort();  // dimensions only make no pixels
        if (int64_t(probe.Width()) * probe.Height() > kFuzzMaxPixels) return 0;
    }
    ZtImageTGA img;
    ZtMemFile stream(data, size);
    if (img.Decode(&stream)) {
        if (!img.HasPixels() || img.Width() <= 0 || img.Height() <= 0) abort();  // success must leave a picture
        TouchEveryPixel(img);
    } else if (img.LastError()[0] == 0) {
        abort();  // every failure of this decoder leaves a message
    }
    return 0;
}
